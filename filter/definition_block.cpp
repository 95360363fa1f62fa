// The module's live copy of the definition block, sealed at compile time. Its colour
// table holds the user's current colours. No Windows headers.
#include "filter/embedded_block.h"

namespace tessellon {

constinit DefinitionBlock definition_block = EmbeddedBlock();

}  // namespace tessellon
