// The preview renderer: fetches the visible part of the image at the preview's scale,
// runs the filter's phases over it as a run does, hands the result to the host's
// displayPixels, greys the rest of the window and draws the marker crosses. Drawing on
// the window goes through a small canvas that the windowing layer implements.
// No Windows headers.
#pragma once

#include <cstdint>

#include "ui/dialog_run.h"
#include "ui/preview_view.h"

namespace tessellon {

// The canvas and the render modes are the dialog's (ui/dialog_run.h).
void RenderPreview(PreviewCanvas& canvas, std::int32_t client_w, std::int32_t client_h, ViewPoint& offset,
                   std::int16_t render_quality, std::int32_t mode, bool is_large_preview) noexcept;

// Draws the host's current output buffer through displayPixels at (column, row).
void DisplayOutData(void* context, std::int32_t column, std::int32_t row) noexcept;

}  // namespace tessellon
