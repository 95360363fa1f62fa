// The preview renderer. Shares the reference point and the per-pixel loop with the
// filtering run, so a preview shows what the run will compute. No Windows headers.
#include "shell/render_preview.h"

#include <cstdio>
#include <cstring>

#include "filter/definition.h"
#include "hostapi/host_state.h"
#include "runtime/block_format.h"
#include "runtime/builtins.h"
#include "runtime/context.h"
#include "shell/run_filter.h"

namespace tessellon {


namespace {

psapi::int16 Short(std::int32_t v) noexcept { return static_cast<psapi::int16>(v); }

// Puts the unfiltered input into the output buffer, so that the preview and the next
// render start from the source. Hosts normally give both buffers the same row length;
// when they do not, the rows are copied one by one.
void CopyInputToOutput() noexcept {
    const psapi::FilterRecord& record = *Host().record;
    const std::int32_t rows = record.outRect.bottom - record.outRect.top;
    if (rows <= 0 || record.inData == nullptr || record.outData == nullptr) return;
    const auto* in = static_cast<const std::uint8_t*>(record.inData);
    auto* out = static_cast<std::uint8_t*>(record.outData);
    if (record.inRowBytes == record.outRowBytes) {
        std::memmove(out, in, static_cast<std::size_t>(rows) * static_cast<std::size_t>(record.inRowBytes));
        return;
    }
    const std::int32_t width = record.outRect.right - record.outRect.left;
    const std::int32_t row_bytes = width * (record.outHiPlane - record.outLoPlane + 1);
    const std::int32_t count = row_bytes < record.inRowBytes ? row_bytes : record.inRowBytes;
    if (count <= 0) return;
    for (std::int32_t y = 0; y < rows; ++y) {
        std::memmove(out + static_cast<std::ptrdiff_t>(y) * record.outRowBytes,
                     in + static_cast<std::ptrdiff_t>(y) * record.inRowBytes, static_cast<std::size_t>(count));
    }
}

void DrawMarkers(PreviewCanvas& canvas, ViewPoint offset, std::int32_t span_w, std::int32_t span_h,
                 std::int32_t mode) noexcept {
    const std::int32_t count = definition_block.point_count < kMarkerCount ? definition_block.point_count : kMarkerCount;
    for (std::int32_t i = 0; i < count; ++i) {
        const MarkerPoint point = Live().markers[i];
        if (point.x < 0 || point.y < 0) continue;
        const ViewPoint at = ImageToView({point.x, point.y}, offset, Host().preview_zoom);
        if (at.x < 0 || at.x > span_w || at.y < 0 || at.y > span_h) continue;
        canvas.DrawCross(at.x + Preview().view_margin.x, at.y + Preview().view_margin.y, mode == kRenderMarkersBlack);
    }
}

}  // namespace

void DisplayOutData(void* context, std::int32_t column, std::int32_t row) noexcept {
    const psapi::FilterRecord& record = *Host().record;
    // A host without displayPixels cannot show the preview.
    if (record.displayPixels == nullptr) return;
    psapi::PSPixelMap map{};
    psapi::PSPixelMask mask{};
    map.version = 1;
    map.bounds = {record.outRect.top, record.outRect.left, record.outRect.bottom, record.outRect.right};
    map.imageMode = record.imageMode;
    map.rowBytes = record.outRowBytes;
    map.colBytes = record.outHiPlane - record.outLoPlane + 1;
    map.planeBytes = 1;
    map.baseAddr = record.outData;
    if (record.isFloating != 0) {
        mask.maskData = record.maskData;
        mask.rowBytes = record.maskRowBytes;
        mask.colBytes = 1;
        map.masks = &mask;
    } else if (record.inLayerPlanes != 0 && record.inTransparencyMask != 0) {
        // The last interleaved plane is the layer's transparency.
        mask.maskData = static_cast<std::uint8_t*>(record.outData) + (record.outHiPlane - record.outLoPlane);
        mask.rowBytes = record.outRowBytes;
        mask.colBytes = record.outHiPlane - record.outLoPlane + 1;
        map.masks = &mask;
    }
    const psapi::VRect source = map.bounds;
    record.displayPixels(&map, &source, row, column, context);
}

void RenderPreview(PreviewCanvas& canvas, std::int32_t client_w, std::int32_t client_h, ViewPoint& offset,
                   std::int16_t render_quality, std::int32_t mode, bool is_large_preview) noexcept {
    if (Host().record == nullptr) return;
    psapi::FilterRecord& record = *Host().record;
    const bool filter = render_quality != 0 && Preview().flags.rendering_enabled != 0 && Preview().filtering_enabled != 0 &&
                        (!Preview().large_preview_present || is_large_preview);

    const AxisFit across = FitAxis(client_w, record.imageSize.h, Host().preview_zoom, offset.x);
    const AxisFit down = FitAxis(client_h, record.imageSize.v, Host().preview_zoom, offset.y);
    offset = {across.offset, down.offset};
    Preview().view_margin = {across.margin, down.margin};
    const std::int32_t w = across.span;
    const std::int32_t h = down.span;

    Execution().origin_x = 0;
    Execution().origin_y = 0;
    record.outRect = {Short(offset.y), Short(offset.x), Short(offset.y + h), Short(offset.x + w)};
    record.inRect = record.outRect;
    record.maskRect = {};
    record.inLoPlane = record.outLoPlane = 0;
    record.inHiPlane = record.outHiPlane = Short(record.planes - 1);
    record.inputPadding = record.outputPadding = record.maskPadding = 255;

    if (mode == kRenderFull) {
        const std::int32_t error = AdvanceHost();
        if (error != 0) {
            char text[128];
            std::snprintf(text, sizeof text, "Error %d in advanceState!\nInternal error - please report to the authors!",
                          static_cast<int>(error));
            Platform().message_box(Platform().active_window(), text, "Filter Error", MessageIcon::none);
            return;
        }
        CopyInputToOutput();
        // Grey around the image rectangle.
        const std::int32_t left = Preview().view_margin.x;
        const std::int32_t top = Preview().view_margin.y;
        const std::int32_t right = Preview().view_margin.x + w;
        const std::int32_t bottom = Preview().view_margin.y + h;
        if (top > 0) canvas.FillGrey(0, 0, client_w, top);
        if (bottom < client_h) canvas.FillGrey(0, bottom, client_w, client_h);
        if (left > 0) canvas.FillGrey(0, top, left, bottom);
        if (right < client_w) canvas.FillGrey(right, top, client_w, bottom);

        if (!filter) {
            DisplayOutData(canvas.Context(), Preview().view_margin.x, Preview().view_margin.y);
        } else {
            Strips().done = 0;
            Execution().preview_start = MsOfDay();
            Execution().record.plane_count = record.planes;
            SetReferencePoint();
            if (Execution().preview_start != -1 && EntryPresent(Bound().entry_address[EntryWordOf(kPhaseFirstPass)])) {
                ProcessOutRect(0, kPhaseFirstPass);
            }
            if (Execution().preview_start != -1) run_phase(kPhaseBetween);
            if (Execution().preview_start != -1) ProcessOutRect(0, kPhasePixel);
            DisplayOutData(canvas.Context(), Preview().view_margin.x, Preview().view_margin.y);
            if (Execution().preview_start == -1) canvas.DrawTimeLimitText(client_w / 2, client_h / 2);
            CopyInputToOutput();
            Execution().preview_start = 0;
        }
    }
    if (!(Preview().large_preview_present && is_large_preview)) DrawMarkers(canvas, offset, w, h, mode);
}

}  // namespace tessellon
