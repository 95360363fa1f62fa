// LaneTables: the strip's tables for groups of kLanes neighbouring pixels in the lane
// kernels (filter/pixel_lanes): whether the strip may use them at all, the per-column
// copy positions, bands and offsets the kernels read, the per-group flags and copy
// counts that tell which groups of a row qualify, and the recipe the row cache fills
// its rows by. Built once per strip as part of StripTables, read-only afterwards.
// No Windows headers.
#pragma once

#include <cstdint>

#include "filter/pixel_lanes.h"
#include "filter/pixel_pass.h"

namespace tessellon::tiling_pass {

struct StripTables;

struct LaneTables {
    bool enabled = false;
    tiling_lanes::PassConstants constants{};
    // Per column of outRect: its copy count, its copies' x positions (planar, one row
    // per copy index) and its vertical band.
    Block<i32> copies, x_position, y_lo, y_hi;
    Block<float> y_ratio;
    // Per cell in planar order, for the cache rows' horizontal steps; or, when the
    // copies are sampled straight from the source rows, each copy's byte offset in a
    // source row.
    Block<i32> fill_left, fill_right, fill_up, fill_down;
    Block<i32> offset;
    // Per group of kLanes columns from a column on (see Groupable): flags, the sum of
    // their copy counts and the largest.
    static constexpr std::uint8_t kGroupInX = 1;         // every column in the tile's x range
    static constexpr std::uint8_t kGroupReadable = 2;    // every column's copies can go to the lanes
    static constexpr std::uint8_t kGroupNoneSingle = 4;  // no column with exactly one copy
    Block<std::uint8_t> group_flags;
    Block<std::uint32_t> group_copy_sum;
    Block<i32> group_copy_most;
    tiling_lanes::CacheFill cache_fill{};

    // Whether groups may go through the lanes, and the tables; sets the rows' lane
    // ratios. False only when the memory for them is not there.
    bool Build(StripTables& strip) noexcept;
    // Whether the kLanes pixels from column `first` are all unmasked pixels of several
    // copies inside the tile, and the abort checks they make together.
    bool Groupable(const StripTables& strip, const RowInfo& row, i32 first, const std::uint8_t* mask,
                   std::uint32_t* checks, int* group_copies) const noexcept;
    // InsideColour for the kLanes pixels from column `first`, from the row's copy rows.
    void GroupColours(const StripTables& strip, const tiling_lanes::CopyRow* copy_rows, const RowInfo& row,
                      i32 first, int group_copies, std::uint8_t* dst) const noexcept;
};

}  // namespace tessellon::tiling_pass
