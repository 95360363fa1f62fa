// Colour selection for the dialog's colour wells. No Windows headers.
#include "ui/colour_pick.h"

#include <cstring>

#include "filter/definition.h"
#include "runtime/builtins.h"
#include "shell/host.h"

namespace tessellon {

bool pick_mode = false;
std::int32_t pick_slot = 0;

namespace {
// A Pascal string: length byte, then the characters.
constexpr unsigned char kPickerPrompt[] = "\x15Vextrel: Select Color";
static_assert(sizeof kPickerPrompt - 2 == 0x15);
}  // namespace

void ChooseColourWithHost(std::int32_t k) noexcept {
    if (k < 0 || k >= kColourCount || filter_record == nullptr || filter_record->colorServices == nullptr) return;
    const std::uint32_t colour = definition_block.colours[k];
    psapi::ColorServicesInfo request;
    std::memset(&request, 0, sizeof request);
    request.infoSize = sizeof request;
    request.selector = psapi::plugIncolorServicesChooseColor;
    request.sourceSpace = psapi::plugIncolorServicesRGBSpace;
    request.resultSpace = psapi::plugIncolorServicesRGBSpace;
    for (int c = 0; c < 3; ++c) request.colorComponents[c] = static_cast<psapi::int16>((colour >> (8 * c)) & 0xFFu);
    unsigned char prompt[sizeof kPickerPrompt];
    std::memcpy(prompt, kPickerPrompt, sizeof prompt);
    request.selectorParameter.pickerPrompt = prompt;
    // The result is not examined: a host that leaves the components alone on cancel
    // thereby leaves the colour alone.
    filter_record->colorServices(&request);
    std::uint32_t chosen = 0;
    for (int c = 0; c < 3; ++c) {
        chosen |= (static_cast<std::uint32_t>(request.colorComponents[c]) & 0xFFu) << (8 * c);
    }
    definition_block.colours[k] = chosen;
}

bool PickColourAt(std::int32_t x, std::int32_t y) noexcept {
    if (filter_record == nullptr || x < 0 || y < 0 || x >= filter_record->imageSize.h || y >= filter_record->imageSize.v) {
        return false;
    }
    const std::uint8_t* pixel = sample_at(x, y);
    const std::int32_t slot = pick_slot >= 0 && pick_slot < kColourCount ? pick_slot : 0;
    definition_block.colours[slot] = static_cast<std::uint32_t>(pixel[0]) | static_cast<std::uint32_t>(pixel[1]) << 8 |
                                     static_cast<std::uint32_t>(pixel[2]) << 16;
    return true;
}

}  // namespace tessellon
