// The tiling filter's set-up (phase 0): derives the tile geometry from the controls and
// the area's size, and builds the two seam profiles (straight, wave, zigzag or fractal)
// in the put array. Every loop starts with the abort check, as the stored code does, so
// the host sees the same number of checks. No Windows headers.
#include "filter/control_rows.h"
#include "filter/definition.h"
#include "filter/variables.h"
#include "runtime/builtins.h"
#include "runtime/context.h"
#include "runtime/wrap32.h"

namespace tessellon {
namespace {

using namespace tiling;

// Division and remainder by a variable: a zero divisor gives 0.

// One axis's tile span and blend band, written to seven consecutive cells: first and
// past-last tile position, band start and end (sub-pixels), weight after and before the
// band, band width. The band lies at the far edge of a positive overlap (copies fade out
// across it) and at the near edge of a negative one (copies fade in).
void SetUpBand(i32* cells, i32 overlap, i32 overlap_abs, i32 size, i32 tile, i32 scale, i32 weight_full) noexcept {
    static_assert(kTileX1 == kTileX0 + 1 && kBandXWidth == kTileX0 + 6 && kTileY0 == kTileX0 + 7 &&
                  kBandYWidth == kTileY0 + 6);
    if (overlap > 0) {
        cells[0] = 0;
        cells[1] = tile;
        cells[2] = slider_map(2, wrap_mul(size, scale), wrap_mul(tile, scale));
        cells[3] = wrap_mul(size, scale);
        cells[4] = 0;
        cells[5] = weight_full;
    } else {
        cells[0] = overlap_abs;
        cells[1] = size;
        cells[2] = 0;
        cells[3] = slider_map(2, 0, wrap_mul(overlap_abs, scale));
        cells[4] = weight_full;
        cells[5] = 0;
    }
    cells[6] = wrap_sub(cells[3], cells[2]);
}

void SetUpGeometry(ExecutionContext& c) noexcept {
    i32* v = c.vars;
    const i32 width = c.width;
    const i32 height = c.height;
    v[kCellOut] = kOutCell;
    v[kCellAcc] = kAccCell;
    v[kCellSrc] = kSrcCell;
    v[kCellProfileX] = kProfileXCell;
    v[kCellProfileY] = kProfileYCell;
    const i32 scale = v[kScale] = max_of(width, height);
    const i32 overlap_x = v[kOverlapX] = wrap_mul(slider(kOverlapXRow), width) / 100;
    const i32 overlap_y = v[kOverlapY] = wrap_mul(slider(kOverlapYRow), height) / 100;
    const i32 overlap_x_abs = v[kOverlapXAbs] = absval(overlap_x);
    const i32 overlap_y_abs = v[kOverlapYAbs] = absval(overlap_y);
    const i32 tile_w = v[kTileW] = wrap_sub(width, overlap_x_abs);
    const i32 tile_h = v[kTileH] = wrap_sub(height, overlap_y_abs);
    v[kStepX] = overlap_x < 0 ? wrap_neg(wrap_mul(tile_w, scale)) : wrap_mul(tile_w, scale);
    v[kStepY] = overlap_y < 0 ? wrap_neg(wrap_mul(tile_h, scale)) : wrap_mul(tile_h, scale);
    i32 weight_full = max_of(overlap_x_abs, overlap_y_abs);
    if (weight_full == 0) weight_full = 1;
    v[kWeightFull] = weight_full;
    v[kBgLo] = rescale(slider(kThruBgRow), 1, 256, 0, 765);
    v[kBgHi] = slider_map(4, v[kBgLo], 765);
    if (check_box(kFitBox) != 0) {
        v[kProfileLenX] = width;
        v[kProfileLenY] = height;
    } else {
        v[kProfileLenX] = tile_w;
        v[kProfileLenY] = tile_h;
    }

    SetUpBand(v + kTileX0, overlap_x, overlap_x_abs, width, tile_w, scale, weight_full);
    SetUpBand(v + kTileY0, overlap_y, overlap_y_abs, height, tile_h, scale, weight_full);
}

// Midpoint-style noise, periodic over the profile, then stretched to 0..amplitude.
// Returns false when the abort check asked to stop.
bool BuildFractalProfile(ExecutionContext& c) noexcept {
    i32* v = c.vars;
    const i32 base = v[kProfileBase];
    const i32 len = v[kProfileLen];
    const i32 scale = v[kScale];
    const i32 top_amp = wrap_mul(scale, 128);
    for (i32 level = 1; (len >> level) > 0; ++level) {
        v[kLoopOuter] = level;
        if (abort_check() != 0) return false;
        i32 amp = top_amp >> (level - 1);
        amp = min_of(amp, div_or_zero(top_amp, v[kFrequency]));
        v[kLevelAmp] = amp;
        v[kFirstPoint] = v[kNextPoint] = random_range(wrap_neg(amp), amp);
        const i32 segments = v[kSegments] = 1 << level;
        v[kSegment] = 0;
        v[kSegmentPos] = 0;
        const i32 segment_len = div_or_zero(len, segments);
        for (i32 i = 0; i < len; ++i) {
            v[kLoopInner] = i;
            if (abort_check() != 0) return false;
            if (i >= div_or_zero(wrap_mul(len, v[kSegment]), segments)) {
                v[kSegmentPos] = 0;
                v[kPreviousPoint] = v[kNextPoint];
                v[kSegment] = wrap_add(v[kSegment], 1);
                // The last segment closes back on the level's first point.
                v[kNextPoint] = div_or_zero(wrap_mul(len, v[kSegment]), segments) >= len
                                    ? v[kFirstPoint]
                                    : random_range(wrap_neg(amp), amp);
            }
            const i32 d = blend(v[kNextPoint], v[kPreviousPoint], v[kSegmentPos], segment_len);
            v[kProfileValue] = d;
            const i32 cell = v[kCellIndex] =
                wrap_add(base, rem_or_zero(wrap_add(wrap_add(i, v[kPhaseOffset]), segment_len / 2), len));
            put_write(wrap_add(put_read(cell), d), cell);
            v[kSegmentPos] = wrap_add(v[kSegmentPos], 1);
        }
    }

    i32 low = put_read(base);
    i32 high = low;
    for (i32 i = 1; i < len; ++i) {
        v[kLoopInner] = i;
        if (abort_check() != 0) return false;
        high = v[kRunningMax] = max_of(high, put_read(wrap_add(base, i)));
        low = v[kRunningMin] = min_of(low, put_read(wrap_add(base, i)));
    }
    if (low == high) high = wrap_add(low, v[kAmplitude]);
    v[kRunningMax] = high;
    v[kRunningMin] = low;

    for (i32 i = 0; i < len; ++i) {
        v[kLoopInner] = i;
        if (abort_check() != 0) return false;
        const i32 cell = wrap_add(base, i);
        put_write(wrap_mul(rescale(put_read(cell), low, high, 0, v[kAmplitude]), v[kDirection]), cell);
    }
    return true;
}

// One seam profile: pass 0 the x profile, pass 1 the y profile. Returns false when the
// abort check asked to stop.
bool BuildProfile(ExecutionContext& c, i32 pass) noexcept {
    i32* v = c.vars;
    v[kPass] = pass;
    if (abort_check() != 0) return false;
    if (pass == 0) {
        v[kProfileBase] = v[kCellProfileX];
        v[kProfileLen] = v[kProfileLenX];
        v[kAmplitude] = wrap_sub(wrap_mul(v[kOverlapYAbs], v[kScale]), v[kBandYWidth]);
        v[kDirection] = v[kOverlapY] < 0 ? -1 : 1;
    } else {
        v[kProfileBase] = v[kCellProfileY];
        v[kProfileLen] = v[kProfileLenY];
        v[kAmplitude] = wrap_sub(wrap_mul(v[kOverlapXAbs], v[kScale]), v[kBandXWidth]);
        v[kDirection] = v[kOverlapX] < 0 ? -1 : 1;
    }
    const i32 base = v[kProfileBase];
    const i32 len = v[kProfileLen];
    const i32 amplitude = v[kAmplitude];
    const i32 direction = v[kDirection];
    const i32 frequency = v[kFrequency] = slider(kFreqRow);
    v[kRunningMax] = 128;
    const i32 phase_offset = v[kPhaseOffset] = slider_map(6 + pass, len, 0);
    // The noise of a pass depends only on its phase offset, so the same settings and
    // size always give the same fractal seam.
    random_seed(phase_offset);

    for (i32 i = 0; i < len; ++i) {
        v[kLoopInner] = i;
        if (abort_check() != 0) return false;
        put_write(0, wrap_add(base, i));
    }

    const i32 shape = selector(0);
    if (shape == 3) return BuildFractalProfile(c);
    for (i32 j = 0; j < len; ++j) {
        v[kLoopInner] = j;
        if (abort_check() != 0) return false;
        const i32 position = wrap_add(wrap_mul(frequency, j), phase_offset);
        i32 value = 0;
        if (shape == 1) {  // Wave: frequency full sine periods between 0 and amplitude
            const i32 t = math_fn(0, wrap_mul(position, 2), len, amplitude);
            value = wrap_mul(wrap_add(t, amplitude), direction) / 2;
        } else if (shape == 2) {  // Zigzag: the slope is truncated once
            const i32 p = v[kZigzagPos] = wrap_mul(rem_or_zero(position, len), 2);
            value = wrap_mul(div_or_zero(wrap_mul(direction, amplitude), len), p <= len ? p : wrap_sub(wrap_mul(2, len), p));
        }
        v[kProfileValue] = value;
        put_write(value, wrap_add(base, j));
    }
    return true;
}

}  // namespace

std::int32_t filter_setup(ExecutionContext& context, const BuiltinTable&) noexcept {
    SetUpGeometry(context);
    for (i32 pass = 0; pass < 2; ++pass) {
        if (!BuildProfile(context, pass)) return 0;
    }
    return 0;
}

}  // namespace tessellon
