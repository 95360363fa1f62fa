// Building and reading the strip's tables for groups of pixels in the lane kernels
// (LaneTables, pixel_groups.h): whether a strip may use them, the per-column tables
// they read, which groups of a row qualify and with how many abort checks, and a
// group's colours. No Windows headers.
#include "filter/pixel_groups.h"

#include "filter/pixel_tables.h"

namespace tessellon::tiling_pass {

bool LaneTables::Build(StripTables& t) noexcept {
    using namespace tiling_lanes;
    const i32 count = t.ColumnCount();
    // Only pixels of several copies go through the lanes.
    enabled = t.colour_only && (t.any_several_columns || t.max_row_copies > 1) && t.scale <= kMaxDenominator &&
              t.weight_full <= kMaxDenominator && (!t.thru_bg || t.bg_hi - t.bg_lo <= kMaxBackgroundBand) &&
              count >= kLanes;
    if (!enabled) return true;
    constants = {t.alpha_sampled, t.thru_bg, t.back_r,     t.back_g,   t.back_b,    t.bg_lo,    t.bg_hi,
                 static_cast<int>(t.planes), t.weight_full, t.wx_before, t.wx_after, t.wy_before, t.wy_after};
    const auto n = static_cast<std::size_t>(count);
    const i32 most = t.max_column_copies;
    if (!copies.Allocate(n) || !x_position.Allocate(n * static_cast<std::size_t>(most)) || !y_lo.Allocate(n) ||
        !y_hi.Allocate(n) || !y_ratio.Allocate(n)) {
        return false;
    }
    for (std::size_t i = 0; i < n; ++i) {
        const Column& col = t.columns[i];
        copies[i] = col.copies;
        for (i32 k = 0; k < most; ++k) {
            x_position[static_cast<std::size_t>(k) * n + i] =
                k < col.copies ? t.cells[static_cast<std::size_t>(col.first + k)].copy_x : 0;
        }
        y_lo[i] = col.band.lo;
        y_hi[i] = col.band.hi;
        y_ratio[i] = LaneRatio(col.band, t.wy_before, t.wy_after);
        if (col.band.span > kMaxSpan) enabled = false;
    }
    for (i32 i = 0; i < t.RowCount(); ++i) {
        RowInfo& row = t.rows[static_cast<std::size_t>(i)];
        row.lane_ratio = LaneRatio(row.band, t.wx_before, t.wx_after);
        if (row.band.span > kMaxSpan) enabled = false;
    }
    if (!enabled) return true;
    // Per group of kLanes columns from each column on: what Groupable asks of them.
    const std::size_t starts = n - (kLanes - 1);
    if (!group_flags.Allocate(starts) || !group_copy_sum.Allocate(starts) || !group_copy_most.Allocate(starts)) {
        return false;
    }
    for (std::size_t i = 0; i < starts; ++i) {
        std::uint8_t flags = kGroupInX | kGroupReadable | kGroupNoneSingle;
        std::uint32_t sum = 0;
        i32 group_most = 0;
        for (std::size_t l = i; l < i + kLanes; ++l) {
            const Column& col = t.columns[l];
            if (!col.in_tile) flags &= static_cast<std::uint8_t>(~kGroupInX);
            if (col.copies == 1) flags &= static_cast<std::uint8_t>(~kGroupNoneSingle);
            sum += static_cast<std::uint32_t>(col.copies);
            if (col.copies > group_most) group_most = col.copies;
        }
        group_flags[i] = flags;
        group_copy_sum[i] = sum;
        group_copy_most[i] = group_most;
    }
    const std::size_t cell_slots = n * static_cast<std::size_t>(most);
    if (t.direct) {
        // The kernels read whole source pixels at each copy's offset, four bytes at a
        // time: a column whose copies reach the last pixel of a three-plane row is left
        // to the scalar way.
        if (!offset.Allocate(cell_slots)) return false;
        const i32 readable = (t.in_right - t.in_left) * t.planes;
        for (std::size_t i = 0; i < n; ++i) {
            const Column& col = t.columns[i];
            bool whole_words = true;
            for (i32 k = 0; k < most; ++k) {
                const i32 at = k < col.copies ? t.cells[static_cast<std::size_t>(col.first + k)].left : 0;
                offset[static_cast<std::size_t>(k) * n + i] = at;
                if (at > readable - 4) whole_words = false;
            }
            if (!whole_words) {
                // Every group that holds the column.
                for (std::size_t g = i >= kLanes - 1 ? i - (kLanes - 1) : 0; g <= i && g < starts; ++g) {
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
        const Column& col = t.columns[i];
        for (i32 k = 0; k < most; ++k) {
            const std::size_t at = static_cast<std::size_t>(k) * n + i;
            fill_left[at] = fill_right[at] = fill_up[at] = fill_down[at] = 0;
            if (k >= col.copies) continue;
            const Cell& cell = t.cells[static_cast<std::size_t>(col.first + k)];
            fill_left[at] = cell.left;
            fill_right[at] = cell.right;
            fill_up[at] = MultiplierUp(cell.xf, t.scale);
            fill_down[at] = MultiplierDown(cell.xf, t.scale);
        }
    }
    cache_fill = {fill_left.get(), fill_right.get(), fill_up.get(), fill_down.get(), most,
                  static_cast<std::ptrdiff_t>(count), t.planes > 3 ? 4 : 3, (t.in_right - t.in_left) * t.planes};
    return true;
}

bool LaneTables::Groupable(const StripTables& t, const RowInfo& row, i32 first, const std::uint8_t* mask,
                           std::uint32_t* checks, int* group_copies) const noexcept {
    const auto at = static_cast<std::size_t>(first);
    const std::uint8_t flags = group_flags[at];
    if (!(t.fit || t.repeat || (row.in_tile && (flags & kGroupInX) != 0))) return false;
    if ((flags & kGroupReadable) == 0) return false;
    if (row.copies == 1 && (flags & kGroupNoneSingle) == 0) return false;
    if (mask != nullptr) {
        for (i32 l = 0; l < tiling_lanes::kLanes; ++l) {
            if (mask[first + l] == 0) return false;
        }
    }
    const auto r = static_cast<std::uint32_t>(row.copies);
    *checks = tiling_lanes::kLanes * (4 * r + 5) + 7 * r * group_copy_sum[at];
    *group_copies = group_copy_most[at];
    return true;
}

void LaneTables::GroupColours(const StripTables& t, const tiling_lanes::CopyRow* copy_rows, const RowInfo& row,
                              i32 first, int group_copies, std::uint8_t* dst) const noexcept {
    const auto at = static_cast<std::size_t>(first);
    const tiling_lanes::Group group{copy_rows,
                                    static_cast<int>(row.copies),
                                    group_copies,
                                    first,
                                    t.channel_stride,
                                    row.band.lo,
                                    row.band.hi,
                                    row.lane_ratio,
                                    &copies[at],
                                    &x_position[at],
                                    t.ColumnCount(),
                                    &y_lo[at],
                                    &y_hi[at],
                                    &y_ratio[at],
                                    t.direct ? &offset[at] : nullptr};
    tiling_lanes::GroupColours(constants, group, dst);
}

}  // namespace tessellon::tiling_pass
