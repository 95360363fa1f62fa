// StripTables: everything of the pass that is a pure function of the set-up's values,
// the controls and the strip, built once per strip on the host's thread and then read,
// never written, by every thread's cursor: the strip's rectangles and buffers, the
// set-up's values and their divisors, per column of outRect its AxisPosition and its
// copies' Cells, per row its AxisPosition and its RowCopies, how samples are laid out
// (straight from the source rows or from a row cache), the lane tables, the runs of
// pixels that are copied rather than computed, and the column sums that the rows
// computed ahead are handed out by. No Windows headers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "filter/pixel_checks.h"
#include "filter/pixel_groups.h"
#include "filter/pixel_pass.h"

namespace tessellon::tiling_pass {

struct StripTables {
    // The strip.
    const std::uint8_t* in_data = nullptr;
    std::int32_t in_row_bytes = 0;
    i32 in_left = 0, in_top = 0, in_right = 0, in_bottom = 0;
    i32 out_left = 0, out_top = 0, out_right = 0, out_bottom = 0;
    i32 planes = 0;       // the run's plane count: pixel stride, fourth plane, write-back
    i32 ctx_planes = 0;   // the context's plane_count, which the pixel code tests
    i32 origin_x = 0, origin_y = 0;
    // Where the rows of the strip lie in the host's buffers, for rows computed ahead.
    std::uint8_t* out_data = nullptr;
    std::int32_t out_row_bytes = 0;
    const std::uint8_t* mask_data = nullptr;
    std::int32_t mask_row_bytes = 0;
    i32 mask_left = 0, mask_top = 0;

    // The set-up's values and the controls, constant through the pass.
    i32 width = 0, height = 0, scale = 0;
    i32 tile_w = 0, tile_h = 0, tile_x0 = 0, tile_x1 = 0, tile_y0 = 0, tile_y1 = 0;
    i32 step_x = 0, step_y = 0, weight_full = 0, bg_lo = 0, bg_hi = 0;
    i32 len_x = 0, len_y = 0, base_x = 0, base_y = 0;
    i32 band_x_lo = 0, band_x_hi = 0, wx_after = 0, wx_before = 0;
    i32 band_y_lo = 0, band_y_hi = 0, wy_after = 0, wy_before = 0;
    i32 back_r = 0, back_g = 0, back_b = 0;
    bool fit = false, repeat = false, opaque_out = false, thru_bg = false;
    i32 colour[3] = {};
    bool alpha_sampled = false;  // copy alpha read from the fourth plane, else 255
    bool generic = false;        // values outside what the shortcuts assume
    Divisor by_scale, by_full, by_bg;

    // Per column and per row of outRect, and their copies.
    Block<Column> columns;
    Block<Cell> cells;
    Block<RowInfo> rows;
    Block<RowCopy> row_copies;
    i32 cell_count = 0;
    i32 max_row_copies = 0;
    i32 max_column_copies = 0;
    bool any_several_columns = false;  // some column has copies > 1

    // Sampling: whole pixels straight from the input, or horizontal steps from a row
    // cache of cache_slots rows (Fit with fractional positions).
    bool direct = true;
    std::ptrdiff_t channel_stride = 1;  // between the channels of a sample
    i32 cache_slots = 0;

    // Every pixel inside the tile has copies (the filter's set-up guarantees it), so a
    // pixel of several copies writes every cell any pixel writes, and its cells matter
    // only if nothing writes them again. Such pixels then compute their colour alone
    // (InsideColour), and only the last one before the cells are needed computes them.
    bool colour_only = false;
    // Groups of neighbouring pixels of that kind go through the lane kernels.
    LaneTables lane;

    // Runs of pixels whose bytes are copied rather than computed. Per column of outRect:
    // copy_run, how many columns from it on are inside the tile with one copy at a
    // whole-pixel position, each the next source pixel (0 for a column that is not); in
    // a row of one copy at a whole-pixel position such a run is a copy of the source
    // row. outside_run, how many columns from it on lie outside the tile's x range; in a
    // row inside the tile's y range such a run, and outside it the whole row, takes the
    // outside colour, copied from outside_pixels (a row of it). plain_pixels counts the
    // strip's pixels that go either way.
    bool copy_runs = false;
    Block<i32> copy_run;
    Block<i32> outside_run;
    Block<std::uint8_t> outside_pixels;
    std::int64_t plain_pixels = 0;

    // For handing out rows computed ahead (PrepareCheckSums), per column from the first:
    // the columns inside the tile's x range and their copies, and every column's copies
    // (CheckSum); the last column up to it in the tile's x range, outside it, and of
    // those inside (all with Fit or Repeat) the last with other than one copy and the
    // last with one, -1 for none (PixelCursor::ReplayCells).
    std::vector<std::uint32_t> sum_in_x, sum_in_x_copies, sum_copies;
    std::vector<i32> last_in_x, last_out_x, last_several, last_single;

    // Builds the tables for the strip; false when the pass cannot stand in for the
    // per-pixel calls (see TilingPixelPass::Begin).
    bool Build(const StripDescription& strip) noexcept;
    // The column sums, for a strip whose rows are computed ahead; may throw bad_alloc.
    void PrepareCheckSums();

    i32 ColumnCount() const noexcept { return out_right - out_left; }
    i32 RowCount() const noexcept { return out_bottom - out_top; }
    // The bytes of one row of the row cache.
    std::size_t CacheRowBytes() const noexcept {
        return static_cast<std::size_t>(max_column_copies) * 4 * static_cast<std::size_t>(ColumnCount());
    }
    // Whether the pixels of a row inside the tile are its copies at whole-pixel
    // positions, one each: then a column's copy run is a copy of the source row.
    bool RowCopiesSource(const RowInfo& row) const noexcept;
    // Row y's starts in the input and mask buffers, at outRect's left.
    const std::uint8_t* SourceRow(i32 y) const noexcept;
    const std::uint8_t* MaskRow(i32 y) const noexcept;
    // The abort checks of the row's pixels, summed from its first pixel: checks[i] for
    // pixels 0..i. A masked pixel makes none.
    void RowChecks(const RowInfo& row, const std::uint8_t* mask, std::uint32_t* checks) const noexcept;
    // RowChecks' checks[i] for a row without a mask, from the column sums.
    std::uint32_t CheckSum(const RowInfo& row, i32 i) const noexcept;

private:
    bool ReadProfile(i32 base, i32 index, i32* value) const noexcept;
    bool PositionOnAxis(const struct AxisGeometry& axis, i32 pos, AxisPosition& p) const noexcept;
    bool BuildColumns() noexcept;
    bool BuildRows() noexcept;
    bool PrepareSampling() noexcept;
    bool PrepareRuns() noexcept;
};

}  // namespace tessellon::tiling_pass
