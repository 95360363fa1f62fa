// The preview's geometry and render timing. No Windows headers.
#include "ui/preview_view.h"

#include <cstdio>

#include "runtime/context.h"
#include "runtime/wrap32.h"

namespace tessellon {


namespace {

// The smallest zoom code: 10:1.
constexpr std::int32_t kMostMagnified = -8;

std::int32_t Magnification(std::int32_t zoom) noexcept { return wrap_sub(2, zoom); }

}  // namespace

std::int32_t ComputeFitZoom(std::int32_t window_w, std::int32_t window_h, std::int32_t image_w,
                            std::int32_t image_h) noexcept {
    if (window_w <= 0 || window_h <= 0) return 1;
    const std::int32_t across = (image_w - 1) / window_w + 1;
    const std::int32_t down = (image_h - 1) / window_h + 1;
    return across > down ? across : down;
}

std::int32_t ZoomedSize(std::int32_t size, std::int32_t zoom) noexcept {
    return zoom >= 1 ? size / zoom : wrap_mul(size, Magnification(zoom));
}

AxisFit FitAxis(std::int32_t client, std::int32_t image_size, std::int32_t zoom, std::int32_t offset) noexcept {
    AxisFit fit{client - 1, 0, offset};
    const std::int32_t zoomed = ZoomedSize(image_size, zoom);
    if (zoomed - 1 < fit.span) {
        fit.margin = (client - 1 - (zoomed - 1)) / 2;
        fit.span = zoomed - 1;
    }
    const std::int32_t end = zoom >= 1 ? wrap_mul(wrap_add(wrap_add(fit.offset, fit.span), 1), zoom)
                                       : wrap_add(wrap_add(fit.offset, fit.span), 1) / Magnification(zoom);
    if (end >= image_size) fit.offset = zoomed - 1 - fit.span;
    if (fit.offset < 0) fit.offset = 0;
    return fit;
}

ViewPoint WindowToImage(std::int32_t wx, std::int32_t wy, ViewPoint offset, ViewPoint margin,
                        std::int32_t zoom) noexcept {
    const std::int32_t u = wrap_sub(wrap_add(static_cast<std::int16_t>(wx), offset.x), margin.x);
    const std::int32_t v = wrap_sub(wrap_add(static_cast<std::int16_t>(wy), offset.y), margin.y);
    if (zoom >= 1) return {wrap_mul(u, zoom), wrap_mul(v, zoom)};
    return {u / Magnification(zoom), v / Magnification(zoom)};
}

ViewPoint ImageToView(ViewPoint image, ViewPoint offset, std::int32_t zoom) noexcept {
    if (zoom >= 1) return {wrap_sub(image.x / zoom, offset.x), wrap_sub(image.y / zoom, offset.y)};
    const std::int32_t m = Magnification(zoom);
    return {wrap_sub(wrap_mul(image.x, m), offset.x), wrap_sub(wrap_mul(image.y, m), offset.y)};
}

ZoomStep StepZoom(ZoomDirection direction, bool shift, std::int32_t zoom, std::int32_t fit_zoom,
                  std::int32_t sampling_support, std::int32_t client_w, std::int32_t client_h,
                  ViewPoint offset) noexcept {
    if (sampling_support == 0) return {1, offset};
    const std::int32_t hw = client_w / 2;
    const std::int32_t hh = client_h / 2;
    // The image point at the window's centre.
    ViewPoint centre;
    if (zoom >= 1) {
        centre = {wrap_mul(zoom, wrap_add(hw, offset.x)), wrap_mul(zoom, wrap_add(hh, offset.y))};
    } else {
        centre = {wrap_add(hw, offset.x) / Magnification(zoom), wrap_add(hh, offset.y) / Magnification(zoom)};
    }
    std::int32_t next = zoom;
    if (direction == ZoomDirection::out) {
        next = shift ? fit_zoom : zoom < fit_zoom ? zoom + 1 : zoom;
    } else if (shift) {
        next = 1;
    } else {
        const std::int32_t lowest = sampling_support >= 2 ? kMostMagnified : 1;
        if (zoom > lowest) next = zoom - 1;
    }
    if (next >= 1) return {next, {wrap_sub(centre.x / next, hw), wrap_sub(centre.y / next, hh)}};
    const std::int32_t m = Magnification(next);
    return {next, {wrap_sub(wrap_mul(centre.x, m), hw), wrap_sub(wrap_mul(centre.y, m), hh)}};
}

std::string ZoomLabel(std::int32_t zoom, std::int32_t sampling_support) {
    if (sampling_support == 0) return "N/A";
    char text[24];
    if (zoom >= 1) {
        std::snprintf(text, sizeof text, "1:%d", static_cast<int>(zoom));
    } else {
        std::snprintf(text, sizeof text, "%d:1", static_cast<int>(Magnification(zoom)));
    }
    return text;
}

void NoteParametersChanged(PreviewFlags& flags) noexcept {
    flags.render_pending = 1;
    flags.change_recent = 1;
}

bool DebounceTick(PreviewFlags& flags) noexcept {
    if (flags.render_pending == 0) return false;
    if (flags.change_recent == 1) {
        // Values still moving: wait one more tick.
        flags.change_recent = 0;
        return false;
    }
    flags.render_pending = 0;
    flags.render_quality = 1;
    return true;
}

bool SetMarkerAt(ViewPoint image, bool ctrl, std::int32_t point_count) noexcept {
    if (point_count <= 0) return false;
    const std::int32_t count = point_count < kMarkerCount ? point_count : kMarkerCount;
    if (Live().current_marker < 0 || Live().current_marker >= count) Live().current_marker = 0;
    Live().markers[Live().current_marker] = ctrl ? MarkerPoint{-1, -1} : MarkerPoint{image.x, image.y};
    Live().current_marker = Live().current_marker + 1 >= count ? 0 : Live().current_marker + 1;
    Preview().flags.render_pending = 1;
    return true;
}

}  // namespace tessellon
