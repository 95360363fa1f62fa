// What the filter dialog asks of the run that opened it: its preview renders and the
// About box. The module's face implements it and hands it to RunFilterDialog; the
// Windows dialog reaches the run through it alone, never through the face's headers.
// No Windows headers.
#pragma once

#include <cstdint>

#include "platform/platform.h"
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

// The run behind an open dialog.
class DialogRun {
public:
    // Renders the preview into a window of client_w x client_h pixels (see
    // RenderPreview, shell/render_preview.h).
    virtual void RenderPreview(PreviewCanvas& canvas, std::int32_t client_w, std::int32_t client_h,
                               ViewPoint& offset, std::int16_t render_quality, std::int32_t mode,
                               bool is_large_preview) noexcept = 0;
    // The About box, owned by the dialog.
    virtual void ShowAbout(WindowHandle owner) noexcept = 0;

protected:
    ~DialogRun() = default;
};

}  // namespace tessellon
