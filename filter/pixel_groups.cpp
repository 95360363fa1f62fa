// Groups of neighbouring pixels for the lane kernels (filter/pixel_lanes): whether a
// pass may use them and the per-column tables they read, which groups of a row qualify
// and with how many abort checks, and a group's colours. No Windows headers.
#include "filter/pixel_pass.h"

namespace tessellon {

// Whether groups of pixels may go through the lane kernel, and its tables. False only
// when the memory for them is not there.
bool TilingPixelPass::Impl::PrepareLanes() noexcept {
    using namespace tiling_lanes;
    const i32 count = out_right - out_left;
    // Only pixels of several copies go through the lanes.
    lanes = colour_only && (any_several_columns || max_row_copies > 1) &&
            scale <= kMaxDenominator && weight_full <= kMaxDenominator &&
            (!thru_bg || bg_hi - bg_lo <= kMaxBackgroundBand) && count >= kLanes;
    if (!lanes) return true;
    lane_constants = {alpha_sampled, thru_bg, back_r, back_g, back_b, bg_lo, bg_hi, static_cast<int>(planes),
                      weight_full, wx_before, wx_after, wy_before, wy_after};
    const auto n = static_cast<std::size_t>(count);
    if (!lane_copies.Allocate(n) || !lane_x_position.Allocate(n * static_cast<std::size_t>(max_column_copies)) ||
        !lane_y_lo.Allocate(n) || !lane_y_hi.Allocate(n) || !lane_y_ratio.Allocate(n)) {
        return false;
    }
    for (std::size_t i = 0; i < n; ++i) {
        const Column& col = columns[i];
        lane_copies[i] = col.copies;
        for (i32 k = 0; k < max_column_copies; ++k) {
            lane_x_position[static_cast<std::size_t>(k) * n + i] =
                k < col.copies ? cells[static_cast<std::size_t>(col.first_cell + k)].copy_x : 0;
        }
        lane_y_lo[i] = col.band_y.lo;
        lane_y_hi[i] = col.band_y.hi;
        lane_y_ratio[i] = LaneRatio(col.band_y, wy_before, wy_after);
        if (col.band_y.span > kMaxSpan) lanes = false;
    }
    for (i32 i = 0; i < out_bottom - out_top; ++i) {
        RowInfo& row = rows[static_cast<std::size_t>(i)];
        row.lane_x_ratio = LaneRatio(row.band_x, wx_before, wx_after);
        if (row.band_x.span > kMaxSpan) lanes = false;
    }
    if (!lanes) return true;
    // Per group of kLanes columns from each column on: what Groupable asks of them.
    const std::size_t starts = n - (tiling_lanes::kLanes - 1);
    if (!group_flags.Allocate(starts) || !group_copy_sum.Allocate(starts) || !group_copy_most.Allocate(starts)) {
        return false;
    }
    for (std::size_t i = 0; i < starts; ++i) {
        std::uint8_t flags = kGroupInX | kGroupReadable | kGroupNoneSingle;
        std::uint32_t sum = 0;
        i32 most = 0;
        for (std::size_t l = i; l < i + tiling_lanes::kLanes; ++l) {
            const Column& col = columns[l];
            if (!col.in_x) flags &= static_cast<std::uint8_t>(~kGroupInX);
            if (col.copies == 1) flags &= static_cast<std::uint8_t>(~kGroupNoneSingle);
            sum += static_cast<std::uint32_t>(col.copies);
            if (col.copies > most) most = col.copies;
        }
        group_flags[i] = flags;
        group_copy_sum[i] = sum;
        group_copy_most[i] = most;
    }
    const std::size_t cell_slots = n * static_cast<std::size_t>(max_column_copies);
    if (direct) {
        // The kernels read whole source pixels at each copy's offset, four bytes at a
        // time: a column whose copies reach the last pixel of a three-plane row is left
        // to the scalar way.
        if (!lane_offset.Allocate(cell_slots)) return false;
        const i32 readable = (in_right - in_left) * planes;
        for (std::size_t i = 0; i < n; ++i) {
            const Column& col = columns[i];
            bool whole_words = true;
            for (i32 k = 0; k < max_column_copies; ++k) {
                const i32 offset = k < col.copies ? cells[static_cast<std::size_t>(col.first_cell + k)].left : 0;
                lane_offset[static_cast<std::size_t>(k) * n + i] = offset;
                if (offset > readable - 4) whole_words = false;
            }
            if (!whole_words) {
                // Every group that holds the column.
                for (std::size_t g = i >= tiling_lanes::kLanes - 1 ? i - (tiling_lanes::kLanes - 1) : 0;
                     g <= i && g < starts; ++g) {
                    group_flags[g] &= static_cast<std::uint8_t>(~kGroupReadable);
                }
            }
        }
        return true;
    }
    if (!fill_left.Allocate(cell_slots) || !fill_right.Allocate(cell_slots) || !fill_up.Allocate(cell_slots) ||
        !fill_down.Allocate(cell_slots)) {
        return false;
    }
    for (std::size_t i = 0; i < n; ++i) {
        const Column& col = columns[i];
        for (i32 k = 0; k < max_column_copies; ++k) {
            const std::size_t at = static_cast<std::size_t>(k) * n + i;
            fill_left[at] = fill_right[at] = fill_up[at] = fill_down[at] = 0;
            if (k >= col.copies) continue;
            const Cell& cell = cells[static_cast<std::size_t>(col.first_cell + k)];
            fill_left[at] = cell.left;
            fill_right[at] = cell.right;
            fill_up[at] = MultiplierUp(cell.xf, scale);
            fill_down[at] = MultiplierDown(cell.xf, scale);
        }
    }
    cache_fill = {fill_left.get(), fill_right.get(), fill_up.get(), fill_down.get(), max_column_copies,
                  static_cast<std::ptrdiff_t>(count), planes > 3 ? 4 : 3, (in_right - in_left) * planes};
    return true;
}

// Whether the kLanes pixels from column `first` are all unmasked pixels of several
// copies inside the tile, and the abort checks they make together.
bool TilingPixelPass::Impl::Groupable(const RowInfo& row, i32 first, const std::uint8_t* mask,
                                      std::uint32_t* checks, int* copies) const noexcept {
    const auto at = static_cast<std::size_t>(first);
    const std::uint8_t flags = group_flags[at];
    if (!(fit || repeat || (row.in_y && (flags & kGroupInX) != 0))) return false;
    if ((flags & kGroupReadable) == 0) return false;
    if (row.copies == 1 && (flags & kGroupNoneSingle) == 0) return false;
    if (mask != nullptr) {
        for (i32 l = 0; l < tiling_lanes::kLanes; ++l) {
            if (mask[first + l] == 0) return false;
        }
    }
    const auto r = static_cast<std::uint32_t>(row.copies);
    *checks = tiling_lanes::kLanes * (4 * r + 5) + 7 * r * group_copy_sum[at];
    *copies = group_copy_most[at];
    return true;
}

// InsideColour for the kLanes pixels from column `first`.
void TilingPixelPass::Impl::GroupColours(const RowInfo& row, i32 first, int copies,
                                         std::uint8_t* dst) const noexcept {
    const auto at = static_cast<std::size_t>(first);
    const tiling_lanes::Group group{copy_rows,
                                    static_cast<int>(row.copies),
                                    copies,
                                    first,
                                    channel_stride,
                                    row.band_x.lo,
                                    row.band_x.hi,
                                    row.lane_x_ratio,
                                    &lane_copies[at],
                                    &lane_x_position[at],
                                    out_right - out_left,
                                    &lane_y_lo[at],
                                    &lane_y_hi[at],
                                    &lane_y_ratio[at],
                                    direct ? &lane_offset[at] : nullptr};
    tiling_lanes::GroupColours(lane_constants, group, dst);
}

}  // namespace tessellon
