// Built-ins that read the dialog's live values: sliders, the selector, check boxes,
// colours and marker points. No Windows headers.
#include "runtime/builtins.h"
#include "runtime/context.h"
#include "runtime/wrap32.h"

namespace tessellon {
namespace {

i32 Refuse(i32 status) noexcept {
    Execution().context.status = status;
    return 0;
}

bool IsSlider(i32 i) noexcept { return i >= 0 && i < kSliderCount; }

}  // namespace

i32 slider(i32 i) noexcept { return IsSlider(i) ? Live().controls[i] : Refuse(kStatusRange); }

// Falls from 255 at slider 2k to 0 at slider 2k + 1. Reaching the far end is reported.
i32 slider_ramp(i32 k, i32 v) noexcept {
    const i32 lo_index = wrap_mul(k, 2);
    const i32 hi_index = wrap_add(lo_index, 1);
    const i32 lo = IsSlider(lo_index) ? Live().controls[lo_index] : 0;
    const i32 hi = IsSlider(hi_index) ? Live().controls[hi_index] : 0;
    if (lo == hi) return v;
    if (lo < hi) {
        if (v <= lo) return 255;
        if (v >= hi) return Refuse(kStatusRange);
        return wrap_sub(255, wrap_div(wrap_mul(wrap_sub(v, lo), 255), wrap_sub(hi, lo)));
    }
    if (v <= hi) return Refuse(kStatusRange);
    if (v >= lo) return 255;
    return wrap_div(wrap_mul(wrap_sub(v, hi), 255), wrap_sub(lo, hi));
}

// Maps slider i from its record's min..max onto lo..hi. An index outside the sliders is
// refused as slider() refuses it. A record whose min equals its max has one position;
// it maps to lo, and the zero span is reported as a division by zero.
i32 slider_map(i32 i, i32 lo, i32 hi) noexcept {
    if (!IsSlider(i)) return Refuse(kStatusRange);
    const ControlRecord& record = Bound().block->controls[i];
    const i32 span = wrap_sub(record.max, record.min);
    if (span == 0) {
        Execution().context.status = kStatusDomain;
        return lo;
    }
    return wrap_add(lo, wrap_div(wrap_mul(wrap_sub(Live().controls[i], record.min), wrap_sub(hi, lo)), span));
}

i32 color_part(i32 k, i32 c) noexcept {
    if (c < 0 || c > 2) return Refuse(kStatusRange);
    if (k == -2) return Execution().record.back_color[c];
    if (k == -1) return Execution().record.fore_color[c];
    const i32 count = min_of(Bound().block->colour_count, kColourCount);
    if (k < 0 || k >= count) return Refuse(kStatusRange);
    return static_cast<i32>((Bound().block->colours[k] >> (8 * c)) & 0xFFu);
}

// Check box k lives in control value 15 - k. Other k answer 0 without a status.
i32 check_box(i32 k) noexcept { return k >= 0 && k < kCheckBoxCount ? Live().controls[CheckBoxRecordOf(k)] : 0; }

i32 selector(i32) noexcept { return Live().controls[kSelectorRecord]; }

// Coordinate c of marker point k; -1, without a status, for anything else.
i32 pick_point(i32 k, i32 c) noexcept {
    const i32 count = min_of(Bound().block->point_count, kMarkerCount);
    if (k < 0 || k >= count || c < 0 || c > 1) return -1;
    return c == 0 ? Live().markers[k].x : Live().markers[k].y;
}

}  // namespace tessellon
