// The Start selector's work: the run environment, the dialog, then the image in
// full-width strips requested from the host one after the other, with the filter's
// phases run over every unmasked pixel. No Windows headers.
#include "shell/run_filter.h"

#include <cmath>

#include "filter/pixel_fast.h"
#include "hostapi/host_state.h"
#include "runtime/block_format.h"
#include "runtime/builtins.h"
#include "runtime/context.h"
#include "runtime/wrap32.h"
#include "shell/host.h"
#include "shell/render_preview.h"
#include "ui/dialog_model.h"
#include "ui/dialog_run.h"
#include "ui/settings.h"

namespace tessellon {


namespace {

std::int32_t Clamp(std::int32_t v, std::int32_t lo, std::int32_t hi) noexcept {
    return v <= lo ? lo : v >= hi ? hi : v;
}

psapi::int16 Short(std::int32_t v) noexcept { return static_cast<psapi::int16>(v); }

std::int32_t HalfDiagonal(std::int32_t w, std::int32_t h) noexcept {
    const std::int32_t sum = wrap_add(wrap_mul(w, w), wrap_mul(h, h));
    return sum < 1 ? 0 : static_cast<std::int32_t>(std::sqrt(static_cast<double>(sum))) / 2;
}

bool SelectionRelative() noexcept { return (definition_block.option_flags & 1u) != 0; }

void SetProcessedArea() noexcept {
    const psapi::FilterRecord& record = *Host().record;
    if (SelectionRelative()) {
        Execution().record.area_w = record.filterRect.right - record.filterRect.left;
        Execution().record.area_h = record.filterRect.bottom - record.filterRect.top;
    } else {
        Execution().record.area_w = record.imageSize.h;
        Execution().record.area_h = record.imageSize.v;
    }
    Execution().record.half_diag = HalfDiagonal(Execution().record.area_w, Execution().record.area_h);
}

void SetOriginAndLimit() noexcept {
    const psapi::FilterRecord& record = *Host().record;
    if (SelectionRelative()) {
        Execution().origin_x = record.filterRect.left;
        Execution().origin_y = record.filterRect.top;
        Strips().end_y = record.filterRect.bottom;
    } else {
        Execution().origin_x = 0;
        Execution().origin_y = 0;
        Strips().end_y = record.imageSize.v;
    }
    Strips().x = Execution().origin_x;
    Strips().y = Execution().origin_y;
}

void RequestPlanes() noexcept {
    psapi::FilterRecord& record = *Host().record;
    record.inLoPlane = record.outLoPlane = 0;
    record.inHiPlane = record.outHiPlane = Short(record.planes - 1);
}

void EmptyRequests() noexcept {
    Host().record->inRect = {};
    Host().record->outRect = {};
    Host().record->maskRect = {};
}

// The run as its dialog sees it: the preview renderer and the About box of this face.
class ModuleRun final : public DialogRun {
public:
    void RenderPreview(PreviewCanvas& canvas, std::int32_t client_w, std::int32_t client_h, ViewPoint& offset,
                       std::int16_t render_quality, std::int32_t mode, bool is_large_preview) noexcept override {
        tessellon::RenderPreview(canvas, client_w, client_h, offset, render_quality, mode, is_large_preview);
    }
    void ShowAbout(WindowHandle owner) noexcept override { tessellon::ShowAbout(owner); }
};

}  // namespace

std::int32_t RowCost(std::int32_t planes, std::int32_t width) noexcept {
    return wrap_mul(wrap_add(wrap_mul(2, planes), 2), wrap_add(width, 4));
}

std::int32_t StripHeightFor(std::int32_t max_space, std::int32_t planes, std::int32_t width,
                            std::int32_t height) noexcept {
    const std::int32_t cost = RowCost(planes, width);
    const std::int32_t rows = cost > 0 ? max_space / cost : height;
    // A budget below one row's cost still processes one row per strip.
    return rows < height ? (rows < 1 ? 1 : rows) : height;
}

void RequestStrip(std::int32_t x, std::int32_t y) noexcept {
    psapi::FilterRecord& record = *Host().record;
    const psapi::Rect& f = record.filterRect;
    const std::int32_t right = wrap_add(x, Strips().width);
    const std::int32_t bottom = wrap_add(y, Strips().height);
    record.outRect.left = Short(Clamp(x, f.left, f.right));
    record.outRect.top = Short(Clamp(y, f.top, f.bottom));
    record.outRect.right = Short(Clamp(right, f.left, f.right));
    record.outRect.bottom = Short(Clamp(bottom, f.top, f.bottom));
    record.maskRect = record.outRect;
    record.inRect.left = Short(Clamp(x, 0, record.imageSize.h));
    record.inRect.top = Short(Clamp(y, 0, record.imageSize.v));
    record.inRect.right = Short(Clamp(right, 0, record.imageSize.h));
    record.inRect.bottom = Short(Clamp(bottom, 0, record.imageSize.v));
}

void SetReferencePoint() noexcept {
    const std::int32_t marker = Live().current_marker;
    if (marker >= 0 && marker < kMarkerCount && Live().markers[marker].x >= 0 && Live().markers[marker].y >= 0) {
        Execution().record.ref_x = Live().markers[marker].x;
        Execution().record.ref_y = Live().markers[marker].y;
    } else {
        Execution().record.ref_x = Execution().record.area_w / 2;
        Execution().record.ref_y = Execution().record.area_h / 2;
    }
    run_phase(kPhaseSetup);
}

std::int32_t ProcessOutRect(std::int32_t check_abort, std::int32_t phase) noexcept {
    const psapi::FilterRecord& record = *Host().record;
    const psapi::Rect out = record.outRect;
    const std::int32_t planes = Execution().record.plane_count;
    // Nothing delivered, nothing to visit: a host that failed to fill the buffers must
    // not make the loop write through a null pointer.
    const bool have_rows = out.bottom > out.top && out.right > out.left;
    if (have_rows && (record.inData == nullptr || record.outData == nullptr)) return 0;

    auto* src_row = static_cast<std::uint8_t*>(record.inData);
    auto* dst_row = static_cast<std::uint8_t*>(record.outData);
    auto* mask_row = static_cast<std::uint8_t*>(record.maskData);
    if (have_rows) {
        src_row += static_cast<std::ptrdiff_t>(out.top - record.inRect.top) * record.inRowBytes +
                   static_cast<std::ptrdiff_t>(out.left - record.inRect.left) * planes;
        if (mask_row != nullptr) {
            mask_row += static_cast<std::ptrdiff_t>(out.top - record.maskRect.top) * record.maskRowBytes +
                        (out.left - record.maskRect.left);
        }
    }
    // The tiling filter's pixel pass does whole rows at a time, with the same results,
    // context and abort checks as the calls below (filter/pixel_fast). done_count, which
    // nothing reads while a pixel runs, is brought up to date once per row.
    TilingPixelPass fast;
    StripDescription strip;
    strip.in_data = static_cast<const std::uint8_t*>(record.inData);
    strip.in_row_bytes = record.inRowBytes;
    strip.in_rect = record.inRect;
    strip.out_data = static_cast<std::uint8_t*>(record.outData);
    strip.out_row_bytes = record.outRowBytes;
    strip.out_rect = record.outRect;
    strip.mask_data = static_cast<const std::uint8_t*>(record.maskData);
    strip.mask_row_bytes = record.maskRowBytes;
    strip.mask_rect = record.maskRect;
    strip.zoom = Host().preview_zoom;
    if (phase == kPhasePixel && have_rows && fast.Begin(strip)) {
        for (std::int32_t y = out.top; y < out.bottom; ++y) {
            bool stop = false;
            Strips().done = wrap_add(Strips().done, fast.Row(y, src_row, dst_row, mask_row, &stop));
            if (stop) {
                fast.End();
                return 0;  // an abandoned preview render
            }
            src_row += record.inRowBytes;
            dst_row += record.outRowBytes;
            if (mask_row != nullptr) mask_row += record.maskRowBytes;
            if (check_abort != 0) {
                if (TestAbort() != 0) {
                    fast.End();
                    return psapi::userCanceledErr;
                }
                ReportProgress(Strips().done, Strips().total);
            }
        }
        fast.End();
        return 0;
    }
    for (std::int32_t y = out.top; y < out.bottom; ++y) {
        std::uint8_t* src = src_row;
        std::uint8_t* dst = dst_row;
        std::uint8_t* mask = mask_row;
        for (std::int32_t x = out.left; x < out.right; ++x) {
            Strips().done = wrap_add(Strips().done, 1);
            // A masked-out pixel keeps what the host delivered.
            if (mask == nullptr || *mask != 0) {
                Execution().record.cur_src = src;
                Execution().record.cur_dst = dst;
                Execution().record.cur_mask = mask;
                Execution().record.cur_x = x - Execution().origin_x;
                Execution().record.cur_y = y - Execution().origin_y;
                run_phase(phase);
                if (Execution().preview_start == -1) return 0;  // an abandoned preview render
            }
            src += planes;
            dst += planes;
            if (mask != nullptr) ++mask;
        }
        src_row += record.inRowBytes;
        dst_row += record.outRowBytes;
        if (mask_row != nullptr) mask_row += record.maskRowBytes;
        if (check_abort != 0) {
            if (TestAbort() != 0) return psapi::userCanceledErr;
            ReportProgress(Strips().done, Strips().total);
        }
    }
    return 0;
}

psapi::int16 RunFilter() noexcept {
    psapi::FilterRecord& record = *Host().record;
    const WindowHandle host_window = HostWindow();
    EnsureSettingsKey(host_window);
    SeedRandom(static_cast<std::uint32_t>(Platform().calendar_seconds()));

    Execution().record = RunRecord{};
    Execution().record.area_w = record.imageSize.h;
    Execution().record.area_h = record.imageSize.v;
    Execution().record.plane_count = record.planes;
    Execution().record.half_diag = HalfDiagonal(Execution().record.area_w, Execution().record.area_h);
    for (int c = 0; c < 3; ++c) {
        Execution().record.back_color[c] = record.backColor[c];
        Execution().record.fore_color[c] = record.foreColor[c];
    }
    Preview().fit_zoom = 32;
    Host().preview_zoom = record.samplingSupport == 0 ? 1 : 32;

    // With a descriptor from the host's automation the host's playInfo decides whether
    // the dialog shows; otherwise whether the host asked for parameters.
    const std::int32_t show = Dialog().scripted.delivered
                                  ? (Dialog().scripted.play_info == psapi::plugInDialogDisplay ? 1 : 0)
                                  : Host().parameters_requested;
    ModuleRun run;
    if (RunFilterDialog(show, host_window, run) == 0) return psapi::userCanceledErr;
    Host().preview_zoom = 1;

    SetProcessedArea();
    const bool first_pass = EntryPresent(Bound().entry_address[EntryWordOf(kPhaseFirstPass)]);
    Strips().done = 0;
    Strips().total = wrap_mul(record.imageSize.h, record.imageSize.v);
    if (first_pass) Strips().total = wrap_mul(Strips().total, 2);

    Strips().width = record.imageSize.h;
    Strips().height = StripHeightFor(record.maxSpace, record.planes, record.imageSize.h, record.imageSize.v);
    if (Strips().height < record.imageSize.v) {
        Platform().message_box(host_window, "The picture is too big to be processed in one pass!\n",
                               "The functions src and dr,dg,db could possibly not work as desired!",
                               MessageIcon::exclamation);
    }
    // Only RGB is filtered; fewer than three planes cannot hold it either, and writing
    // three bytes per pixel into such buffers would run past them.
    if (record.imageMode != psapi::plugInModeRGBColor || record.planes < 3) return psapi::filterBadMode;

    // The pixel passes of every strip share one set of worker threads.
    const PixelPassThreads pass_threads;

    SetOriginAndLimit();
    RequestStrip(Strips().x, Strips().y);
    RequestPlanes();
    AdvanceHost();
    SetReferencePoint();

    if (first_pass) {
        for (;;) {
            if (ProcessOutRect(1, kPhaseFirstPass) == psapi::userCanceledErr) return psapi::userCanceledErr;
            Strips().y = wrap_add(Strips().y, Strips().height);
            if (Strips().y >= Strips().end_y) {
                Strips().y = Execution().origin_y;
                break;
            }
            RequestStrip(Strips().x, Strips().y);
            AdvanceHost();
        }
        ReleaseHostData();
    }

    SetOriginAndLimit();
    RequestStrip(Strips().x, Strips().y);
    RequestPlanes();
    AdvanceHost();
    run_phase(kPhaseBetween);
    for (;;) {
        if (ProcessOutRect(1, kPhasePixel) == psapi::userCanceledErr) return psapi::userCanceledErr;
        Strips().y = wrap_add(Strips().y, Strips().height);
        if (Strips().y >= Strips().end_y) {
            // Nothing left to deliver: the host goes straight to Finish.
            EmptyRequests();
            break;
        }
        RequestStrip(Strips().x, Strips().y);
        AdvanceHost();
    }
    return psapi::noErr;
}

}  // namespace tessellon
