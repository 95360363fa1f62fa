// The preview window's decisions that need no window: where the view lies over the
// image, zoom steps and their labels, window-to-image positions, marker points, and the
// render debounce as a state machine fed by timer ticks and notifications.
// No Windows headers.
#pragma once

#include <cstdint>
#include <string>

namespace tessellon {

struct ViewPoint {
    std::int32_t x, y;
    bool operator==(const ViewPoint&) const = default;
};

// The preview's flags: a filtered render is due, a change arrived since the last tick,
// the filter may be rendered (0 while panning), rendering is on (off while a colour is
// picked), the "Filtering" box, and the marker blink.
struct PreviewFlags {
    std::int16_t render_pending = 0;
    std::int16_t change_recent = 0;
    std::int16_t render_quality = 1;
    std::int16_t rendering_enabled = 0;
    std::int16_t blink_phase = 0;
};

// The preview's state while the modal dialog is open: the dialog and its preview
// windows write it, the preview renderer reads and clamps it. Static storage, since
// the window procedures that use it are called back by the system.
struct PreviewState {
    // Scroll position (zoomed-image pixel at the window's top-left) and the margins that
    // centre an image smaller than the window; the renderer clamps and writes them.
    ViewPoint view_offset{0, 0};
    ViewPoint view_margin{0, 0};
    PreviewFlags flags{};
    std::int16_t filtering_enabled = 0;
    // The zoom at which the whole image fits the preview; the limit for zooming out.
    std::int32_t fit_zoom = 32;
    // Set when the dialog holds a second, large preview (control 1100); the filter is
    // then applied there only and the small one shows no markers.
    bool large_preview_present = false;
    // Colour entry pick_slot is being picked from the preview while pick_mode is set.
    bool pick_mode = false;
    std::int32_t pick_slot = 0;
};
inline PreviewState& Preview() noexcept {
    constinit static PreviewState state;
    return state;
}

// The smallest reduction at which a W x H image fits a w x h window.
std::int32_t ComputeFitZoom(std::int32_t window_w, std::int32_t window_h, std::int32_t image_w,
                            std::int32_t image_h) noexcept;

// Size of an image dimension at zoom z: reduced 1:z for z >= 1, magnified (2 - z):1.
std::int32_t ZoomedSize(std::int32_t size, std::int32_t zoom) noexcept;

// What a render covers along one axis of a window of `client` pixels: the visible span
// w (one less than the client, or than the zoomed image when that is smaller), the
// centring margin, and the scroll offset clamped into the image.
struct AxisFit {
    std::int32_t span;
    std::int32_t margin;
    std::int32_t offset;
};
AxisFit FitAxis(std::int32_t client, std::int32_t image_size, std::int32_t zoom, std::int32_t offset) noexcept;

// Window coordinates (signed 16-bit from a mouse message) to an image position.
ViewPoint WindowToImage(std::int32_t wx, std::int32_t wy, ViewPoint offset, ViewPoint margin,
                        std::int32_t zoom) noexcept;

// An image position to its place in the window, before the margin is added; the marker
// cross is drawn when 0 <= x <= span_w and 0 <= y <= span_h.
ViewPoint ImageToView(ViewPoint image, ViewPoint offset, std::int32_t zoom) noexcept;

// A zoom step of the "&+" / "&-" buttons: the new zoom and the offset that keeps the
// image point at the window's centre where it was.
struct ZoomStep {
    std::int32_t zoom;
    ViewPoint offset;
};
enum class ZoomDirection { in, out };
ZoomStep StepZoom(ZoomDirection direction, bool shift, std::int32_t zoom, std::int32_t fit_zoom,
                  std::int32_t sampling_support, std::int32_t client_w, std::int32_t client_h,
                  ViewPoint offset) noexcept;

// "1:z", "n:1", or "N/A" without host sampling.
std::string ZoomLabel(std::int32_t zoom, std::int32_t sampling_support);

// The debounce. A notification marks a render due; a tick renders once the values have
// been still for a whole tick. Returns true when the preview must be repainted with the
// filter.
void NoteParametersChanged(PreviewFlags& flags) noexcept;
bool DebounceTick(PreviewFlags& flags) noexcept;

// A right click in the preview with `point_count` markers in use: sets (or, with Ctrl,
// unsets) the current marker and moves on to the next. False when markers are off.
bool SetMarkerAt(ViewPoint image, bool ctrl, std::int32_t point_count) noexcept;

}  // namespace tessellon
