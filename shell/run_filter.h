// The filtering run of the Start selector, and the steps it shares with the preview
// renderer: strip requests, the reference point and the per-pixel loop. No Windows
// headers.
#pragma once

#include <cstdint>

#include "hostapi/filter_record.h"

namespace tessellon {

// Strip bookkeeping of the current run.
extern std::int32_t strip_x, strip_y;
extern std::int32_t end_y;
extern std::int32_t strip_width, strip_height;
extern std::int32_t done_count, total_count;
// The zoom at which the whole image fits the preview; the limit for zooming out.
extern std::int32_t fit_zoom;

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
