// Verification of the definition block at load, entry relocation, the settings key,
// and the binding of entries to native routines. No Windows headers.
#include <cstdio>

#include "filter/definition.h"
#include "platform/platform.h"

namespace tessellon {

const std::uint8_t* entry_address[4] = {};
char settings_key_name[kSettingsKeySize] = {};

bool VerifyDefinitionBlock(DefinitionBlock& block) noexcept {
    if (ComputeBlockChecksum(block) != block.checksum) {
        Platform().message_box(nullptr, "Not a valid Vextrel filter! Cannot execute!", "Severe error",
                               MessageIcon::none);
        Platform().exit_process(1);
        return false;
    }
    // Every word is relocated, offset 0 included.
    for (int word = 0; word < 4; ++word) {
        entry_address[word] = block.code_area + block.entry_offsets[word];
    }
    // Both texts end within their 24-byte fields when the block is sound; the precision
    // keeps a damaged field from running past it.
    std::snprintf(settings_key_name, sizeof settings_key_name, "Software\\Dravik-Vextrel\\%.23s\\%.23s",
                  block.category, block.filter_name);
    return true;
}

NativeEntry BoundNativeEntry(const DefinitionBlock& block, const std::uint8_t* address) noexcept {
    struct Binding {
        std::uint32_t word;
        NativeEntry routine;
    };
    // Block word 2 is the set-up entry, word 0 the pixel entry.
    static constexpr Binding kBindings[] = {{2, &filter_setup}, {0, &filter_pixel}};
    if (address == nullptr || *address == kReturnOpcode) return nullptr;
    for (const Binding& binding : kBindings) {
        const std::uint32_t offset = block.entry_offsets[binding.word];
        if (address == block.code_area + offset) return binding.routine;
    }
    return nullptr;
}

}  // namespace tessellon
