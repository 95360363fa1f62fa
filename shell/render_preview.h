// The preview renderer: fetches the visible part of the image at the preview's scale,
// runs the filter's phases over it as a run does, hands the result to the host's
// displayPixels, greys the rest of the window and draws the marker crosses. Drawing on
// the window goes through a small canvas that the windowing layer implements.
// No Windows headers.
#pragma once

#include <cstdint>

#include "ui/preview_view.h"

namespace tessellon {

// Drawing on the preview window; rectangles exclude their right and bottom edges.
class PreviewCanvas {
public:
    virtual ~PreviewCanvas() = default;
    // The platform's drawing context, handed to the host's displayPixels (an HDC).
    virtual void* Context() = 0;
    virtual void FillGrey(std::int32_t left, std::int32_t top, std::int32_t right, std::int32_t bottom) = 0;
    // A cross of 9 by 9 pixels centred on (x, y), black or white.
    virtual void DrawCross(std::int32_t x, std::int32_t y, bool black) = 0;
    // "Time Limit Exceeded" in red, centred on x, its top at y.
    virtual void DrawTimeLimitText(std::int32_t centre_x, std::int32_t top_y) = 0;
};

enum RenderMode : std::int32_t { kRenderFull = 0, kRenderMarkersBlack = 1, kRenderMarkersWhite = 2 };

// Set when the dialog holds a second, large preview (control 1100); the filter is then
// applied there only and the small one shows no markers.
extern bool large_preview_present;

void RenderPreview(PreviewCanvas& canvas, std::int32_t client_w, std::int32_t client_h, ViewPoint& offset,
                   std::int16_t render_quality, std::int32_t mode, bool is_large_preview) noexcept;

// Draws the host's current output buffer through displayPixels at (column, row).
void DisplayOutData(void* context, std::int32_t column, std::int32_t row) noexcept;

}  // namespace tessellon
