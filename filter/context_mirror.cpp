// The mirror of the cells the pixel code writes (ContextMirror, context_mirror.h):
// loading and storing it, the position cells, and writing the cells a pending pixel
// left unwritten. No Windows headers.
#include "filter/context_mirror.h"

#include <cstring>

#include "filter/pixel_colour.h"

namespace tessellon::tiling_pass {

// --- The mirror of the context ----------------------------------------------------

void ContextMirror::Load() noexcept {
    const i32* v = Execution().context.vars;
    State& s = state;
    s.tile_px = v[kTilePx];
    s.tile_py = v[kTilePy];
    s.src_x0 = v[kSrcX0];
    s.src_y0 = v[kSrcY0];
    s.prof_y_here = v[kProfYHere];
    s.prof_x_here = v[kProfXHere];
    s.prof_y_prev = v[kProfYPrev];
    s.prof_y_next = v[kProfYNext];
    s.prof_x_prev = v[kProfXPrev];
    s.prof_x_next = v[kProfXNext];
    s.seam_x_lo = v[kSeamXLo];
    s.seam_x_hi = v[kSeamXHi];
    s.seam_y_lo = v[kSeamYLo];
    s.seam_y_hi = v[kSeamYHi];
    s.copy_y = v[kCopyY];
    s.copy_x = v[kCopyX];
    s.pass = v[kPass];
    s.copy_alpha = v[kCopyAlpha];
    s.bg_distance = v[kBgDistance];
    s.copy_weight = v[kCopyWeight];
    s.previous_value = v[kPreviousValue];
    s.previous_alpha = v[kPreviousAlpha];
    s.loop_inner = v[kLoopInner];
    std::memcpy(s.put, Execution().put_array, sizeof s.put);
}

void ContextMirror::Store() const noexcept {
    i32* v = Execution().context.vars;
    const State& s = state;
    v[kTilePx] = s.tile_px;
    v[kTilePy] = s.tile_py;
    v[kSrcX0] = s.src_x0;
    v[kSrcY0] = s.src_y0;
    v[kProfYHere] = s.prof_y_here;
    v[kProfXHere] = s.prof_x_here;
    v[kProfYPrev] = s.prof_y_prev;
    v[kProfYNext] = s.prof_y_next;
    v[kProfXPrev] = s.prof_x_prev;
    v[kProfXNext] = s.prof_x_next;
    v[kSeamXLo] = s.seam_x_lo;
    v[kSeamXHi] = s.seam_x_hi;
    v[kSeamYLo] = s.seam_y_lo;
    v[kSeamYHi] = s.seam_y_hi;
    v[kCopyY] = s.copy_y;
    v[kCopyX] = s.copy_x;
    v[kPass] = s.pass;
    v[kCopyAlpha] = s.copy_alpha;
    v[kBgDistance] = s.bg_distance;
    v[kCopyWeight] = s.copy_weight;
    v[kPreviousValue] = s.previous_value;
    v[kPreviousAlpha] = s.previous_alpha;
    v[kLoopInner] = s.loop_inner;
    std::memcpy(Execution().put_array, s.put, sizeof s.put);
}

// The cells every pixel inside the tile writes before its copies.
void State::WritePosition(const RowInfo& row, const Column& column) noexcept {
    State& s = *this;
    s.tile_px = column.tile_p;
    s.tile_py = row.tile_p;
    s.src_x0 = column.src0;
    s.src_y0 = row.src0;
    s.prof_y_here = row.prof_here;
    s.prof_x_here = column.prof_here;
    s.prof_y_prev = row.prof_prev;
    s.prof_y_next = row.prof_next;
    s.prof_x_prev = column.prof_prev;
    s.prof_x_next = column.prof_next;
    s.seam_x_lo = row.seam_lo;
    s.seam_x_hi = row.seam_hi;
    s.seam_y_lo = column.seam_lo;
    s.seam_y_hi = column.seam_hi;
    s.copy_y = row.copy_end;
}

// Writes the cells that the pending pixel left unwritten.
void ContextMirror::Materialize() noexcept {
    State& s = state;
    if (pending == Pending::outside) {
        s.pass = 3;
        s.put[kOutCell + 0] = t.colour[0];
        s.put[kOutCell + 1] = t.colour[1];
        s.put[kOutCell + 2] = t.colour[2];
        s.put[kOutCell + 3] = t.opaque_out ? 255 : 0;
        s.loop_inner = 4;
    } else if (pending == Pending::simple) {
        const RowInfo& row = *pending_row;
        const Column& column = t.columns[static_cast<std::size_t>(pending_column)];
        const Cell& cell = t.cells[static_cast<std::size_t>(column.first)];
        i32 rgb[3];
        i32 alpha;
        SampleCopy(t, sampling_[0], cell.sample_offset, rgb, &alpha);
        s.WritePosition(row, column);
        s.copy_x = column.copy_end;
        s.pass = 3;
        s.copy_alpha = alpha;
        for (int ch = 0; ch < 3; ++ch) {
            s.put[kSrcCell + ch] = rgb[ch];
            s.put[kAccCell + ch] = rgb[ch];
            s.put[kOutCell + ch] = rgb[ch];
        }
        s.put[kAccCell + 3] = alpha;
        s.put[kOutCell + 3] = alpha;
        s.loop_inner = 4;
    } else if (pending == Pending::general) {
        pending = Pending::none;
        InsidePixel<false>(t, sampling_, s, *pending_row, t.columns[static_cast<std::size_t>(pending_column)], pending_dst);
    }
    pending = Pending::none;
}

}  // namespace tessellon::tiling_pass
