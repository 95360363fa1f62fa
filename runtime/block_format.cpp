// Verification of the definition block at load, entry relocation and binding, and the
// settings key. No Windows headers.
#include "runtime/block_format.h"

#include <cstdio>

#include "platform/platform.h"

namespace tessellon {

bool VerifyAndBindBlock(DefinitionBlock& block, NativeRoutineLookup routine_at) noexcept {
    if (ComputeBlockChecksum(block) != block.checksum) {
        Platform().message_box(nullptr, "Not a valid Vextrel filter! Cannot execute!", "Severe error",
                               MessageIcon::none);
        Platform().exit_process(1);
        return false;
    }
    // Every word is relocated, offset 0 included. An offset beyond the code area would
    // point outside the block; such an entry counts as absent.
    for (int word = 0; word < 4; ++word) {
        const std::uint32_t offset = block.entry_offsets[word];
        const bool inside = offset < kCodeAreaSize;
        Bound().entry_address[word] = inside ? block.code_area + offset : nullptr;
        Bound().entry_routine[word] =
            inside && block.code_area[offset] != kReturnOpcode ? routine_at(offset) : nullptr;
    }
    // Both texts end within their 24-byte fields when the block is sound; the precision
    // keeps a damaged field from running past it.
    Bound().block = &block;
    std::snprintf(Bound().settings_key, sizeof Bound().settings_key, "Software\\Dravik-Vextrel\\%.23s\\%.23s",
                  block.category, block.filter_name);
    return true;
}

}  // namespace tessellon
