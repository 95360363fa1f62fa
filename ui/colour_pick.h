// Choosing the filter's colours: through the host's colour picker, or by picking a
// pixel from the preview. No Windows headers.
#pragma once

#include <cstdint>

namespace tessellon {

// The colour entry being picked from the preview lies in the preview's state
// (Preview().pick_mode, Preview().pick_slot, ui/preview_view.h).

// Asks the host's colour services for colour entry k, starting from its current value.
// A host without colour services leaves the colour as it is.
void ChooseColourWithHost(std::int32_t k) noexcept;

// Takes the colour of the source pixel at an image position (the preview's fetched
// section at its current zoom) into the entry being picked. False for a position
// outside the image, which leaves the colour alone.
bool PickColourAt(std::int32_t x, std::int32_t y) noexcept;

}  // namespace tessellon
