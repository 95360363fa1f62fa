// A pristine copy of the definition block as built, for comparisons. Kept in a file of
// its own so that a module that never asks for it does not carry a second block.
// No Windows headers.
#include "filter/embedded_block.h"

namespace tessellon {

const DefinitionBlock& StoredDefinitionBlock() noexcept {
    static constexpr DefinitionBlock kStored = EmbeddedBlock();
    return kStored;
}

}  // namespace tessellon
