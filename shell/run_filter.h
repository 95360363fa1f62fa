// The filtering run of the Start selector, and the steps it shares with the preview
// renderer: strip requests, the reference point and the per-pixel loop. No Windows
// headers.
#pragma once

#include <cstdint>

#include "hostapi/filter_record.h"

namespace tessellon {

// Strip bookkeeping of the current run: where the strip being filtered starts, the
// last row, the strip's size and the progress counted so far. The run owns it; the
// preview renderer, which runs the same per-pixel loop, resets the progress.
struct StripState {
    std::int32_t x = 0, y = 0;
    std::int32_t end_y = 0;
    std::int32_t width = 0, height = 0;
    std::int32_t done = 0, total = 0;
};
inline StripState& Strips() noexcept {
    constinit static StripState state;
    return state;
}

// Bytes the host must hold per row of a strip: input, output and mask rows with a
// little slack.
std::int32_t RowCost(std::int32_t planes, std::int32_t width) noexcept;
// Rows per strip for the host's memory budget; at least one, so that a strip loop
// always advances.
std::int32_t StripHeightFor(std::int32_t max_space, std::int32_t planes, std::int32_t width,
                            std::int32_t height) noexcept;

void RequestStrip(std::int32_t x, std::int32_t y) noexcept;
void SetReferencePoint() noexcept;
std::int32_t ProcessOutRect(std::int32_t check_abort, std::int32_t phase) noexcept;

}  // namespace tessellon
