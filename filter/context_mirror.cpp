// The mirror of the cells the pixel code writes (its variables and put-array cells
// 0..12): loaded from and stored into the execution context around the reference
// routine and at the end, and the cells that pending pixels of one copy or outside the
// tile leave unwritten until they are needed. No Windows headers.
#include "filter/pixel_pass.h"

#include <cstring>

namespace tessellon {

// --- The mirror of the context ----------------------------------------------------

void TilingPixelPass::Impl::LoadState() noexcept {
    const i32* v = execution_context.vars;
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
    std::memcpy(s.put, put_array, sizeof s.put);
}

void TilingPixelPass::Impl::StoreState() noexcept {
    i32* v = execution_context.vars;
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
    std::memcpy(put_array, s.put, sizeof s.put);
}

// The cells every pixel inside the tile writes before its copies.
void TilingPixelPass::Impl::WritePositionCells(const RowInfo& row, const Column& column) noexcept {
    State& s = state;
    s.tile_px = column.tile_px;
    s.tile_py = row.tile_py;
    s.src_x0 = column.src_x0;
    s.src_y0 = row.src_y0;
    s.prof_y_here = row.prof_here;
    s.prof_x_here = column.prof_here;
    s.prof_y_prev = row.prof_prev;
    s.prof_y_next = row.prof_next;
    s.prof_x_prev = column.prof_prev;
    s.prof_x_next = column.prof_next;
    s.seam_x_lo = row.seam_x_lo;
    s.seam_x_hi = row.seam_x_hi;
    s.seam_y_lo = column.seam_y_lo;
    s.seam_y_hi = column.seam_y_hi;
    s.copy_y = row.copy_y_end;
}

// Writes the cells that pending simple or outside pixels left unwritten.
void TilingPixelPass::Impl::Materialize() noexcept {
    State& s = state;
    if (pending == Pending::outside) {
        s.pass = 3;
        s.put[kOutCell + 0] = colour[0];
        s.put[kOutCell + 1] = colour[1];
        s.put[kOutCell + 2] = colour[2];
        s.put[kOutCell + 3] = opaque_out ? 255 : 0;
        s.loop_inner = 4;
    } else if (pending == Pending::simple) {
        const RowInfo& row = *pending_row;
        const Column& column = columns[static_cast<std::size_t>(pending_column)];
        const Cell& cell = cells[static_cast<std::size_t>(column.first_cell)];
        i32 rgb[3];
        i32 alpha;
        SampleCopy(sampling[0], cell.sample_offset, rgb, &alpha);
        WritePositionCells(row, column);
        s.copy_x = column.copy_x_end;
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
        InsidePixel<false>(*pending_row, columns[static_cast<std::size_t>(pending_column)], pending_dst);
    }
    pending = Pending::none;
}

}  // namespace tessellon
