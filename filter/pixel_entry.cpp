// The tiling filter's pixel code (phase 2): gathers the copies of a tile pixel that lie
// one tile period apart in the direction of the overlap, blends them along each row and
// then row over row across the seam-shaped blend bands, makes copies close to the
// background colour transparent, and gives pixels outside the tile colour entry 0.
// This is the reference transcription, built-in call for built-in call; the pixel loop
// replaces whole rows of its calls by the specialised pass of filter/pixel_fast while
// filter_pixel is the bound routine. No Windows headers.
#include "filter/control_rows.h"
#include "filter/definition.h"
#include "filter/pixel_fast.h"
#include "filter/variables.h"
#include "runtime/builtins.h"
#include "runtime/context.h"
#include "runtime/wrap32.h"

namespace tessellon {
namespace {

using namespace tiling;


// Blend weight of a copy at `position` across a band: from `before` at its start to
// `after` at its end; a band of no width switches at its start, which still counts as
// before.
i32 BandWeight(i32 position, i32 lo, i32 hi, i32 before, i32 after) noexcept {
    if (lo < hi) return rescale(position, lo, hi, before, after);
    return position <= lo ? before : after;
}

i32 ProfileAt(const i32* v, int base_cell, i32 index) noexcept { return put_read(wrap_add(v[base_cell], index)); }

// Mixes `over` composited with `alpha` into the value of `cell` by weight / full.
void MixInto(i32 cell, i32 over, i32 alpha, i32 weight, i32 full, i32* previous) noexcept {
    const i32 o = *previous = put_read(cell);
    put_write(rescale(weight, 0, full, o, blend(over, o, alpha, 255)), cell);
}

}  // namespace

std::int32_t filter_pixel_reference(ExecutionContext& c, const BuiltinTable&) noexcept {
    i32* v = c.vars;
    const i32 pos_x = c.pos_x;
    const i32 pos_y = c.pos_y;
    const i32 width = c.width;
    const i32 height = c.height;
    const i32 scale = v[kScale];
    const i32 out = v[kCellOut];
    const i32 acc = v[kCellAcc];
    const i32 srcc = v[kCellSrc];

    const bool fit = check_box(kFitBox) != 0;
    const bool inside = fit || check_box(kRepeatBox) != 0 ||
                        (v[kTileX0] <= pos_x && pos_x < v[kTileX1] && v[kTileY0] <= pos_y && pos_y < v[kTileY1]);
    if (inside) {
        if (fit) {
            v[kTilePx] = pos_x;
            v[kTilePy] = pos_y;
            v[kSrcX0] = wrap_add(wrap_mul(v[kTileX0], scale), wrap_mul(div_or_zero(wrap_mul(v[kTileW], scale), width), pos_x));
            v[kSrcY0] = wrap_add(wrap_mul(v[kTileY0], scale), wrap_mul(div_or_zero(wrap_mul(v[kTileH], scale), height), pos_y));
        } else {
            const i32 tile_w = v[kTileW];
            const i32 tile_h = v[kTileH];
            v[kTilePx] = rem_or_zero(wrap_add(wrap_sub(pos_x, v[kTileX0]), wrap_mul(wrap_add(div_or_zero(width, tile_w), 1), tile_w)), tile_w);
            v[kTilePy] = rem_or_zero(wrap_add(wrap_sub(pos_y, v[kTileY0]), wrap_mul(wrap_add(div_or_zero(height, tile_h), 1), tile_h)), tile_h);
            v[kSrcX0] = wrap_mul(wrap_add(v[kTileX0], v[kTilePx]), scale);
            v[kSrcY0] = wrap_mul(wrap_add(v[kTileY0], v[kTilePy]), scale);
        }
        const i32 tile_px = v[kTilePx];
        const i32 tile_py = v[kTilePy];
        const i32 len_x = v[kProfileLenX];
        const i32 len_y = v[kProfileLenY];
        v[kProfYHere] = ProfileAt(v, kCellProfileY, tile_py);
        v[kProfXHere] = ProfileAt(v, kCellProfileX, tile_px);
        v[kProfYPrev] = ProfileAt(v, kCellProfileY, rem_or_zero(wrap_sub(wrap_add(len_y, tile_py), 1), len_y));
        v[kProfYNext] = ProfileAt(v, kCellProfileY, rem_or_zero(wrap_add(tile_py, 1), len_y));
        v[kProfXPrev] = ProfileAt(v, kCellProfileX, rem_or_zero(wrap_sub(wrap_add(len_x, tile_px), 1), len_x));
        v[kProfXNext] = ProfileAt(v, kCellProfileX, rem_or_zero(wrap_add(tile_px, 1), len_x));

        // The neighbours' extremes widen a band where the seam moves between rows or
        // columns, so the blend stays continuous.
        const i32 y_here = v[kProfYHere];
        const i32 x_here = v[kProfXHere];
        v[kSeamXLo] = wrap_sub(v[kBandXLo], wrap_add(max_of(max_of(v[kProfYPrev], v[kProfYNext]), y_here), y_here) / 2);
        v[kSeamXHi] = wrap_sub(v[kBandXHi], wrap_add(min_of(min_of(v[kProfYPrev], v[kProfYNext]), y_here), y_here) / 2);
        v[kSeamYLo] = wrap_sub(v[kBandYLo], wrap_add(max_of(max_of(v[kProfXPrev], v[kProfXNext]), x_here), x_here) / 2);
        v[kSeamYHi] = wrap_sub(v[kBandYHi], wrap_add(min_of(min_of(v[kProfXPrev], v[kProfXNext]), x_here), x_here) / 2);

        const i32 src_x0 = v[kSrcX0];
        const i32 src_y0 = v[kSrcY0];
        const i32 limit_x = wrap_mul(width, scale);
        const i32 limit_y = wrap_mul(height, scale);
        const i32 weight_full = v[kWeightFull];
        for (v[kCopyY] = src_y0; 0 <= v[kCopyY] && v[kCopyY] < limit_y; v[kCopyY] = wrap_add(v[kCopyY], v[kStepY])) {
            if (abort_check() != 0) return 0;
            const i32 copy_y = v[kCopyY];
            for (v[kCopyX] = src_x0; 0 <= v[kCopyX] && v[kCopyX] < limit_x;
                 v[kCopyX] = wrap_add(v[kCopyX], v[kStepX])) {
                if (abort_check() != 0) return 0;
                const i32 copy_x = v[kCopyX];
                for (v[kPass] = 0; v[kPass] < 3; ++v[kPass]) {
                    if (abort_check() != 0) return 0;
                    put_write(src_interp(copy_x, copy_y, scale, v[kPass]), wrap_add(srcc, v[kPass]));
                }
                v[kCopyAlpha] = c.plane_count < 4 ? 255 : src_interp(copy_x, copy_y, scale, 3);

                if (slider(kThruBgRow) > 0 && (copy_y != src_y0 || copy_x != src_x0)) {
                    v[kBgDistance] = wrap_add(wrap_add(absval(wrap_sub(put_read(srcc), c.back_r)),
                                                       absval(wrap_sub(put_read(srcc + 1), c.back_g))),
                                              absval(wrap_sub(put_read(srcc + 2), c.back_b)));
                    if (v[kBgLo] == v[kBgHi]) {
                        if (v[kBgDistance] <= v[kBgLo]) v[kCopyAlpha] = 0;
                    } else {
                        v[kCopyAlpha] = rescale(v[kBgDistance], v[kBgLo], v[kBgHi], 0, v[kCopyAlpha]);
                    }
                }

                if (copy_x == src_x0) {
                    for (v[kPass] = 0; v[kPass] < 3; ++v[kPass]) {
                        if (abort_check() != 0) return 0;
                        put_write(put_read(wrap_add(srcc, v[kPass])), wrap_add(acc, v[kPass]));
                    }
                    put_write(v[kCopyAlpha], acc + 3);
                } else {
                    v[kCopyWeight] = BandWeight(copy_x, v[kSeamXLo], v[kSeamXHi], v[kWeightXBefore], v[kWeightXAfter]);
                    for (v[kPass] = 0; v[kPass] < 3; ++v[kPass]) {
                        if (abort_check() != 0) return 0;
                        MixInto(wrap_add(acc, v[kPass]), put_read(wrap_add(srcc, v[kPass])), v[kCopyAlpha],
                                v[kCopyWeight], weight_full, &v[kPreviousValue]);
                    }
                    MixInto(acc + 3, 255, v[kCopyAlpha], v[kCopyWeight], weight_full, &v[kPreviousAlpha]);
                }
            }

            if (copy_y == src_y0) {
                for (v[kLoopInner] = 0; v[kLoopInner] < 4; ++v[kLoopInner]) {
                    if (abort_check() != 0) return 0;
                    put_write(put_read(wrap_add(acc, v[kLoopInner])), wrap_add(out, v[kLoopInner]));
                }
            } else {
                const i32 a = put_read(acc + 3);
                v[kCopyWeight] = BandWeight(copy_y, v[kSeamYLo], v[kSeamYHi], v[kWeightYBefore], v[kWeightYAfter]);
                for (v[kLoopInner] = 0; v[kLoopInner] < 3; ++v[kLoopInner]) {
                    if (abort_check() != 0) return 0;
                    MixInto(wrap_add(out, v[kLoopInner]), put_read(wrap_add(acc, v[kLoopInner])), a, v[kCopyWeight],
                            weight_full, &v[kPreviousValue]);
                }
                MixInto(out + 3, 255, a, v[kCopyWeight], weight_full, &v[kPreviousAlpha]);
            }
        }
    } else {
        for (v[kPass] = 0; v[kPass] < 3; ++v[kPass]) {
            if (abort_check() != 0) return 0;
            put_write(color_part(0, v[kPass]), wrap_add(out, v[kPass]));
        }
        put_write(check_box(kOpaqueOutBox) != 0 ? 255 : 0, out + 3);
    }

    for (v[kLoopInner] = 0; v[kLoopInner] < 4; ++v[kLoopInner]) {
        if (abort_check() != 0) return 0;
        set_out(v[kLoopInner], put_read(wrap_add(out, v[kLoopInner])));
    }
    return 0;
}

// The routine bound to the pixel entry. Per pixel it is the reference itself; its
// address is what allows the pixel loop to run the specialised pass instead.
std::int32_t filter_pixel(ExecutionContext& c, const BuiltinTable& builtins) noexcept {
    return filter_pixel_reference(c, builtins);
}

}  // namespace tessellon
