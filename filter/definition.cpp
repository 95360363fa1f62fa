// The embedded filter's verification at load, and the binding of its code entries to
// the native routines written for them. No Windows headers.
#include "filter/definition.h"

namespace tessellon {

bool VerifyDefinitionBlock(DefinitionBlock& block) noexcept { return VerifyAndBindBlock(block, &NativeRoutineAt); }

NativeEntry NativeRoutineAt(std::uint32_t code_offset) noexcept {
    switch (code_offset) {
        case 0x0C9B: return &filter_setup;  // phase 0
        case 0x0000: return &filter_pixel;  // phase 2
        default: return nullptr;
    }
}

}  // namespace tessellon
