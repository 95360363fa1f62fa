// Colour selection for the dialog's colour wells. No Windows headers.
#include "ui/colour_pick.h"

#include "filter/definition.h"
#include "hostapi/host_state.h"
#include "runtime/block_format.h"
#include "runtime/builtins.h"
#include "ui/preview_view.h"

namespace tessellon {


namespace {
// A Pascal string: length byte, then the characters.
constexpr unsigned char kPickerPrompt[] = "\x15Vextrel: Select Color";
static_assert(sizeof kPickerPrompt - 2 == 0x15);
}  // namespace

void ChooseColourWithHost(std::int32_t k) noexcept {
    if (k < 0 || k >= kColourCount) return;
    const std::uint32_t colour = definition_block.colours[k];
    std::uint8_t rgb[3];
    for (int c = 0; c < 3; ++c) rgb[c] = static_cast<std::uint8_t>((colour >> (8 * c)) & 0xFFu);
    // A host without colour services leaves the colour as it is.
    if (!ChooseColourWithPicker(rgb, kPickerPrompt)) return;
    definition_block.colours[k] = static_cast<std::uint32_t>(rgb[0]) | static_cast<std::uint32_t>(rgb[1]) << 8 |
                                  static_cast<std::uint32_t>(rgb[2]) << 16;
}

bool PickColourAt(std::int32_t x, std::int32_t y) noexcept {
    if (Host().record == nullptr || x < 0 || y < 0 || x >= Host().record->imageSize.h || y >= Host().record->imageSize.v) {
        return false;
    }
    const std::uint8_t* pixel = sample_at(x, y);
    const std::int32_t slot = Preview().pick_slot >= 0 && Preview().pick_slot < kColourCount ? Preview().pick_slot : 0;
    definition_block.colours[slot] = static_cast<std::uint32_t>(pixel[0]) | static_cast<std::uint32_t>(pixel[1]) << 8 |
                                     static_cast<std::uint32_t>(pixel[2]) << 16;
    return true;
}

}  // namespace tessellon
