// RowCache: one cursor's sampling of the rows of copies of its current output row.
// Under Fit with fractional positions it owns the cache of source rows turned into
// horizontal steps (each slot holds the steps of every copy column for one source row,
// planar, so that neighbouring columns' samples lie side by side), filled on first use
// and kept while later rows need them; it owns the tables of the vertical step per
// fraction, and per row of copies what its samples read (RowSampling) and what the lane
// kernels read (CopyRow). Reads the strip's tables, never writes them. No Windows
// headers.
#pragma once

#include <cstddef>
#include <cstdint>

#include "filter/pixel_lanes.h"
#include "filter/pixel_pass.h"

namespace tessellon::tiling_pass {

struct StripTables;

class RowCache {
public:
    explicit RowCache(const StripTables& strip) noexcept : t_(strip) {}
    RowCache(const RowCache&) = delete;
    RowCache& operator=(const RowCache&) = delete;

    // The cache's slots, when the strip's samples come from it; false without memory.
    bool Allocate() noexcept;
    // The sampling of output row y's rows of copies (a row with copies).
    void PrepareRow(const RowInfo& row, i32 y) noexcept;
    // PrepareRow for the few pixels of the columns `wanted` only: from the row cache
    // (Fit) only their own columns' samples are made, each row of copies into two slots
    // of its own. For a cursor that uses its cache for nothing else.
    void PrepareReplay(const RowInfo& row, const i32* wanted, int count) noexcept;

    const RowSampling* sampling() const noexcept { return sampling_; }
    const tiling_lanes::CopyRow* copy_rows() const noexcept { return copy_rows_; }

private:
    void FillCacheRow(std::uint8_t* slot, i32 buffer_row) const noexcept;
    void FillCell(std::uint8_t* slot, const std::uint8_t* row, const Cell& cell) const noexcept;
    void FillColumns(std::uint8_t* slot, i32 buffer_row, const i32* wanted, int count) const noexcept;
    const std::uint8_t* CacheRow(i32 buffer_row, const i32* needed, int needed_count) noexcept;
    const std::int16_t* StepTable(int j, i32 yf) noexcept;

    const StripTables& t_;
    Block<std::uint8_t> cache_;
    Block<i32> tag_;   // buffer row held by each slot, -1 for none
    Block<i32> used_;  // output row that last used each slot
    i32 current_row_ = 0;
    std::int16_t steps_[kMaxCopies][511] = {};
    i32 step_yf_[kMaxCopies] = {};
    RowSampling sampling_[kMaxCopies] = {};
    tiling_lanes::CopyRow copy_rows_[kMaxCopies] = {};
};

}  // namespace tessellon::tiling_pass
