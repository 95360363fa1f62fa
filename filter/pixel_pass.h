// The tiling filter's specialised pixel pass, inside: its constants, the per-column
// and per-row tables, the mirror of the cells the pixel code writes, and the pass's
// state (TilingPixelPass::Impl), which the files of the pass share:
//   pixel_tables.cpp    the tables, from the set-up's values and the strip;
//   row_cache.cpp       the rows of horizontal steps that samples under Fit read;
//   context_mirror.cpp  the cells between the pass and the execution context;
//   pixel_fast.cpp      the pixels themselves and the pass's public face;
//   pixel_groups.cpp    groups of pixels for the lane kernels;
//   pixel_ahead.cpp     rows computed ahead on other threads.
// Private to filter/. No Windows headers.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "filter/pixel_fast.h"
#include "filter/pixel_lanes.h"
#include "filter/variables.h"
#include "platform/worker_threads.h"
#include "runtime/builtins.h"
#include "runtime/wrap32.h"

namespace tessellon {

using namespace tiling;
using tiling_fast::BandWeight;
using tiling_fast::Blend255;
using tiling_fast::Divisor;
using tiling_fast::Rescale;

namespace tiling_pass {

// Copies per row and per column the pass handles; the filter's controls give at most
// five. A larger count (set-up values no control can produce) takes the generic way.
constexpr std::int32_t kMaxCopies = 32;
// The abort check asks the host (or the watchdog) on the call that takes its counter
// past this value.
constexpr std::uint32_t kCallsBetweenTests = 100000;
// Strips with fewer pixels than this per thread are done by fewer threads.
constexpr std::int64_t kMinPixelsPerThread = 64 * 1024;
// Tables larger than this are not worth it; the generic way needs no memory.
constexpr std::size_t kMaxTableBytes = std::size_t{192} << 20;
// Largest scale for which the sampling sums stay below 2^31 (510 * scale at most).
constexpr std::int32_t kMaxScale = 1 << 22;

inline std::uint8_t Clamp255(i32 v) noexcept { return static_cast<std::uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v); }
inline i32 Abs(i32 a) noexcept { return a < 0 ? wrap_neg(a) : a; }  // absval, -2^31 stays itself

// A block of plain values from malloc, freed with its owner; null when the memory is
// not there, which sends the pass the generic way.
template <class T>
class Block {
public:
    Block() = default;
    ~Block() { std::free(data_); }
    Block(const Block&) = delete;
    Block& operator=(const Block&) = delete;
    bool Allocate(std::size_t count) noexcept {
        std::free(data_);
        data_ = static_cast<T*>(std::malloc(count == 0 ? 1 : count * sizeof(T)));
        return data_ != nullptr;
    }
    T* get() const noexcept { return data_; }
    T& operator[](std::size_t i) const noexcept { return data_[i]; }

private:
    T* data_ = nullptr;
};

}  // namespace tiling_pass

// The pass's tables and mirror.
namespace tiling_pass {

// A blend band of one row (horizontal) or column (vertical), shifted by the seam, with
// what the exact in-band weight needs: the band's width and its reciprocal.
struct Band {
    i32 lo, hi;
    bool open;  // lo < hi
    double span, inverse;
};

// |after - before| / (hi - lo) for an open band, 0 for a closed one: what the lane
// kernels' band weights start from.
inline float LaneRatio(const Band& band, i32 before, i32 after) noexcept {
    if (!band.open) return 0.0f;
    const double magnitude =
        after < before ? static_cast<double>(before) - after : static_cast<double>(after) - before;
    return static_cast<float>(magnitude * band.inverse);
}

inline Band MakeBand(i32 lo, i32 hi) noexcept {
    Band band{lo, hi, lo < hi, 1.0, 1.0};
    if (band.open) {
        band.span = static_cast<double>(hi) - static_cast<double>(lo);
        band.inverse = 1.0 / band.span;
    }
    return band;
}

// Everything of one column of outRect that the pixel code derives from pos_x.
struct Column {
    i32 tile_px, src_x0;
    i32 prof_here, prof_prev, prof_next;  // x profile around tile_px
    i32 seam_y_lo, seam_y_hi;
    Band band_y;
    i32 copy_x_end;  // the copy_x that ends the loop of copies, left in its cell
    i32 first_cell, copies;
    bool in_x;       // tile_x0 <= pos_x < tile_x1
    bool may_be_in;  // Fit, Repeat or in_x: the column has pixels inside the tile
};

// One copy of a column: its sub-pixel x and where its samples come from.
struct Cell {
    i32 copy_x;
    i32 sample_offset;      // into a source row (whole pixels) or a cache row (Fit)
    i32 left, right;        // byte offsets of the two source columns within a row
    i32 xf;                 // copy_x % scale
};

// Everything of one row of outRect that the pixel code derives from pos_y.
struct RowInfo {
    i32 tile_py, src_y0;
    i32 prof_here, prof_prev, prof_next;  // y profile around tile_py
    i32 seam_x_lo, seam_x_hi;
    Band band_x;
    float lane_x_ratio;  // for the lane kernels (LaneRatio)
    i32 copy_y_end;
    i32 first_copy, copies;
    bool in_y;
    bool may_be_in;
};

// One row of copies of a row.
struct RowCopy {
    i32 copy_y;
    i32 yf;          // copy_y % scale
    i32 top, under;  // buffer rows (relative to inRect.top) of the sample and of the row below
};

// The variable cells the pixel code writes, and put-array cells 0..12.
struct State {
    i32 tile_px, tile_py, src_x0, src_y0;
    i32 prof_y_here, prof_x_here, prof_y_prev, prof_y_next, prof_x_prev, prof_x_next;
    i32 seam_x_lo, seam_x_hi, seam_y_lo, seam_y_hi;
    i32 copy_y, copy_x, pass, copy_alpha, bg_distance, copy_weight, previous_value, previous_alpha, loop_inner;
    i32 put[13];
};

// What the samples of the current output row's copy rows read: the top row and the row
// below (for a fractional y) and the table of the vertical step.
struct RowSampling {
    const std::uint8_t* top;
    const std::uint8_t* under;
    const std::int16_t* step;  // null when yf is 0
};

// Abort checks of a pixel of a row: inside the tile, per row of copies one, seven per
// copy (loop, three samples, three blends) and four (first row) or three (others) to
// combine, then four to hand the colour out; outside the tile, three plus four.
struct RowCheckCounts {
    std::uint32_t inside_base;      // inside: this ...
    std::uint32_t inside_per_copy;  // ... plus this per copy of the column
};
constexpr std::uint32_t kOutsideChecks = 7;
inline RowCheckCounts ChecksOfRow(const RowInfo& row) noexcept {
    const auto r = static_cast<std::uint32_t>(row.copies);
    return {row.copies > 0 ? 4 * r + 5 : 4, 7 * r};
}
// The checks of one pixel of a row with these counts.
inline std::uint32_t ChecksOfPixel(const RowCheckCounts& counts, bool inside, i32 copies) noexcept {
    return inside ? counts.inside_base + counts.inside_per_copy * static_cast<std::uint32_t>(copies)
                  : kOutsideChecks;
}

}  // namespace tiling_pass


using namespace tiling_pass;

struct TilingPixelPass::Impl {
    // The strip.
    const std::uint8_t* in_data = nullptr;
    std::int32_t in_row_bytes = 0;
    i32 in_left = 0, in_top = 0, in_right = 0, in_bottom = 0;
    i32 out_left = 0, out_top = 0, out_right = 0, out_bottom = 0;
    i32 planes = 0;       // the run's plane count: pixel stride, fourth plane, write-back
    i32 ctx_planes = 0;   // the context's plane_count, which the pixel code tests
    i32 origin_x = 0, origin_y = 0;

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

    // Tables.
    Block<Column> columns;
    Block<Cell> cells;
    Block<RowInfo> rows;
    Block<RowCopy> row_copies;
    i32 cell_count = 0;
    i32 max_row_copies = 0;

    // Sampling: whole pixels straight from the input, or horizontal steps from the
    // row cache.
    bool direct = true;
    Block<std::uint8_t> cache;
    Block<i32> cache_tag;   // buffer row held by each slot, -1 for none
    Block<i32> cache_used;  // output row that last used each slot
    i32 cache_slots = 0;
    i32 max_column_copies = 0;
    std::ptrdiff_t channel_stride = 1;  // between the channels of a sample
    i32 current_row = 0;
    std::int16_t steps[kMaxCopies][511] = {};
    i32 step_yf[kMaxCopies] = {};
    RowSampling sampling[kMaxCopies] = {};

    // The mirror of the context and the put array, and what the last pixels left
    // pending: simple and outside pixels write their cells only when something needs
    // them (the next general pixel, a fallback, the end of the row).
    State state{};
    enum class Pending { none, simple, outside, general } pending = Pending::none;
    const RowInfo* pending_row = nullptr;
    i32 pending_column = 0;
    std::uint8_t* pending_dst = nullptr;
    // Every pixel inside the tile has copies (the filter's set-up guarantees it), so a
    // pixel of several copies writes every cell any pixel writes, and its cells matter
    // only if nothing writes them again. Such pixels then compute their colour alone
    // (InsideColour), and only the last one before the cells are needed computes them.
    bool colour_only = false;
    // Groups of neighbouring pixels of that kind go through the lane kernel, with the
    // weights' multipliers from a table and the vertical steps' per row of copies.
    bool lanes = false;
    tiling_lanes::PassConstants lane_constants{};
    tiling_lanes::CopyRow copy_rows[kMaxCopies] = {};
    // Per column of outRect: its copy count, its copies' x positions (planar, one row
    // per copy index) and its vertical band.
    Block<i32> lane_copies, lane_x_position, lane_y_lo, lane_y_hi;
    Block<float> lane_y_ratio;
    // Per cell in planar order, for the cache rows' horizontal steps; or, when the
    // copies are sampled straight from the source rows, each copy's byte offset in a
    // source row.
    Block<i32> fill_left, fill_right, fill_up, fill_down;
    Block<i32> lane_offset;
    // Per group of kLanes columns from a column on (see Groupable): flags, the sum of
    // their copy counts and the largest.
    static constexpr std::uint8_t kGroupInX = 1;         // every column in the tile's x range
    static constexpr std::uint8_t kGroupReadable = 2;    // every column's copies can go to the lanes
    static constexpr std::uint8_t kGroupNoneSingle = 4;  // no column with exactly one copy
    Block<std::uint8_t> group_flags;
    Block<std::uint32_t> group_copy_sum;
    Block<i32> group_copy_most;
    tiling_lanes::CacheFill cache_fill{};
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

    bool any_several_columns = false;  // some column has copies > 1
    // For the row's abort checks without a mask (CheckSum), per column from the first:
    // the columns inside the tile's x range and their copies, and every column's copies.
    std::vector<std::uint32_t> sum_in_x, sum_in_x_copies, sum_copies;
    // For ReplayCells without a mask, per column: the last column up to it in the tile's
    // x range, outside it, and of those inside (all with Fit or Repeat) the last with
    // other than one copy and the last with one; -1 for none.
    std::vector<i32> last_in_x, last_out_x, last_several, last_single;

    // The abort counter the pass counts in: the process-wide one; or, for a pass that
    // computes rows ahead on a thread of its own, a counter of its own whose limit is
    // never reached, so that it never asks anyone.
    std::uint32_t* calls = &abort_check_calls;
    std::uint32_t calls_limit = kCallsBetweenTests;
    std::uint32_t own_calls = 0;

    // Where the rows of the strip lie in the host's buffers, for rows computed ahead.
    std::uint8_t* out_data = nullptr;
    std::int32_t out_row_bytes = 0;
    const std::uint8_t* mask_data = nullptr;
    std::int32_t mask_row_bytes = 0;
    i32 mask_left = 0, mask_top = 0;

    // The last pixel processed, for the end.
    bool any_processed = false;
    bool last_fast = false;
    i32 last_x = 0, last_y = 0;
    const std::uint8_t* last_src = nullptr;
    std::uint8_t* last_dst = nullptr;
    const std::uint8_t* last_mask = nullptr;

    bool Prepare(const StripDescription& strip) noexcept;
    StripDescription strip_{};  // what Prepare was handed, for the passes computing ahead
    bool ReadProfile(i32 base, i32 index, i32* value) const noexcept;
    bool PositionOnAxis(const struct AxisGeometry& axis, i32 pos, struct AxisPosition& p) const noexcept;
    bool BuildColumns() noexcept;
    bool BuildRows() noexcept;
    bool PrepareSampling() noexcept;
    std::size_t CacheRowBytes() const noexcept;
    void FillCacheRow(std::uint8_t* slot, i32 buffer_row) noexcept;
    const std::uint8_t* CacheRow(i32 buffer_row, const i32* needed, int needed_count) noexcept;
    void PrepareRow(const RowInfo& row) noexcept;
    const std::int16_t* StepTable(int j, i32 yf) noexcept;

    void LoadState() noexcept;
    void StoreState() noexcept;
    void Materialize() noexcept;
    void SampleCopy(const RowSampling& s, i32 offset, i32* rgb, i32* alpha) const noexcept;
    void WritePositionCells(const RowInfo& row, const Column& column) noexcept;
    void FillCell(std::uint8_t* slot, const std::uint8_t* row, const Cell& cell) const noexcept;
    bool AskedAndGoingOn(std::uint32_t checks) noexcept;
    void HandToReference(i32 y, i32 i, const std::uint8_t* src, std::uint8_t* dst, const std::uint8_t* mask) noexcept;
    void NoteLastFastPixel(i32 y, i32 i, const std::uint8_t* src, std::uint8_t* dst,
                           const std::uint8_t* mask) noexcept;

    template <bool kGeneric>
    void InsidePixel(const RowInfo& row, const Column& column, std::uint8_t* dst) noexcept;
    i32 BackgroundAlpha(const i32* rgb, i32 alpha) const noexcept;
    void MixOver(i32* into, const i32* over, i32 alpha, i32 weight) const noexcept;
    void RowOfCopies(const RowSampling& sampler, bool first_row, const Cell* cells_of_column, i32 copies,
                     const i32* weights_x, i32 last_full, i32* acc) const noexcept;
    void InsideColour(const RowInfo& row, const Column& column, std::uint8_t* dst) const noexcept;
    bool PrepareLanes() noexcept;
    bool PrepareRuns() noexcept;
    bool RowCopiesSource(const RowInfo& row) const noexcept;
    bool Groupable(const RowInfo& row, i32 first, const std::uint8_t* mask, std::uint32_t* checks,
                   int* copies) const noexcept;
    void GroupColours(const RowInfo& row, i32 first, int copies, std::uint8_t* dst) const noexcept;
    i32 Row(i32 y, const std::uint8_t* src, std::uint8_t* dst, const std::uint8_t* mask, bool* stop) noexcept;
    void End() noexcept;

    // Rows computed ahead (see TilingPixelPass::Ahead).
    const std::uint8_t* SourceRow(i32 y) const noexcept;
    const std::uint8_t* MaskRow(i32 y) const noexcept;
    void Detach() noexcept;
    void ComputeRow(i32 y, std::uint8_t* pixels, std::uint32_t* checks) noexcept;
    void RowChecks(const RowInfo& row, const std::uint8_t* mask, std::uint32_t* checks) const noexcept;
    void PrepareCheckSums();
    std::uint32_t CheckSum(const RowInfo& row, i32 i) const noexcept;
    void FillColumns(std::uint8_t* slot, i32 buffer_row, const i32* wanted, int count) noexcept;
    void PrepareReplay(const RowInfo& row, const i32* wanted, int count) noexcept;
    void ReplayCells(const RowInfo& row, i32 from, i32 to, const std::uint8_t* mask, std::uint8_t* dst) noexcept;
    i32 CommitRow(i32 y, const std::uint8_t* src, std::uint8_t* dst, const std::uint8_t* mask,
                  const std::uint8_t* pixels, const std::uint32_t* checks) noexcept;
};

// src_interp for channels 0..2 (and 3 when the copy alpha is sampled) of one copy.
inline void TilingPixelPass::Impl::SampleCopy(const RowSampling& s, i32 offset, i32* rgb, i32* alpha) const noexcept {
    const std::ptrdiff_t c = channel_stride;
    const std::uint8_t* t = s.top + offset;
    if (s.step == nullptr) {
        rgb[0] = t[0];
        rgb[1] = t[c];
        rgb[2] = t[2 * c];
        *alpha = alpha_sampled ? t[3 * c] : 255;
        return;
    }
    const std::uint8_t* u = s.under + offset;
    const std::int16_t* step = s.step + 255;
    rgb[0] = t[0] + step[u[0] - t[0]];
    rgb[1] = t[c] + step[u[c] - t[c]];
    rgb[2] = t[2 * c] + step[u[2 * c] - t[2 * c]];
    *alpha = alpha_sampled ? t[3 * c] + step[u[3 * c] - t[3 * c]] : 255;
}

// The passes that compute rows ahead and the scratch rows between them and the pass of
// the host's thread. Rows go in blocks of a few (fewer, the wider the strip), so that a
// thread takes work and hands it over once per block rather than once per row; slot s
// holds the block whose index is s modulo the slot count. A block is taken only when
// its slot is free, so no thread runs more than a few rows ahead of the row handed out.
struct TilingPixelPass::Ahead {
    static constexpr int kSlotsPerThread = 2;
    static constexpr i32 kPixelsPerBlock = 64 * 1024;
    static constexpr i32 kMaxRowsPerBlock = 8;

    std::vector<std::unique_ptr<Impl>> passes;  // 0: the host's thread's helper pass
    std::vector<std::vector<std::uint8_t>> pixels;   // per slot, block_rows rows
    std::vector<std::vector<std::uint32_t>> checks;  // per slot, block_rows rows
    std::vector<i32> ready;  // per slot: the block it holds, -1 while none
    i32 row_count = 0, row_width = 0, block_rows = 1, block_count = 0;
    std::size_t row_bytes = 0;
    i32 next = 0;        // the next block to compute
    i32 handed_out = 0;  // blocks handed out so far
    bool quit = false;
    std::mutex mutex;
    std::condition_variable changed;
    // The threads computing ahead: the run's (PixelPassThreads), or the strip's own when
    // the run keeps none. The job lives as long as they may run it.
    WorkerThreads* workers = nullptr;
    std::unique_ptr<WorkerThreads> own_workers;
    std::function<void(int)> job;

    void Allocate(int threads, i32 width, i32 rows, i32 planes) {
        row_width = width;
        row_count = rows;
        block_rows = std::clamp<i32>(kPixelsPerBlock / std::max<i32>(width, 1), 1, kMaxRowsPerBlock);
        block_count = (rows + block_rows - 1) / block_rows;
        row_bytes = static_cast<std::size_t>(width) * static_cast<std::size_t>(planes);
        const auto slot_count = static_cast<std::size_t>(kSlotsPerThread * threads);
        pixels.assign(slot_count, std::vector<std::uint8_t>(row_bytes * static_cast<std::size_t>(block_rows)));
        checks.assign(slot_count, std::vector<std::uint32_t>(static_cast<std::size_t>(width) *
                                                             static_cast<std::size_t>(block_rows)));
        ready.assign(slot_count, -1);
    }

    int slots() const { return static_cast<int>(ready.size()); }

    // Takes the next block if its slot is free; -1 when there is none to take. Called
    // with the mutex held.
    i32 Take() {
        if (next >= block_count || next >= handed_out + slots()) return -1;
        return next++;
    }

    void Compute(int pass, i32 block, std::unique_lock<std::mutex>& lock) {
        lock.unlock();
        Impl& p = *passes[static_cast<std::size_t>(pass)];
        const auto slot = static_cast<std::size_t>(block % slots());
        const i32 first = block * block_rows;
        const i32 end = std::min(first + block_rows, row_count);
        for (i32 index = first; index < end; ++index) {
            const auto k = static_cast<std::size_t>(index - first);
            p.ComputeRow(p.out_top + index, pixels[slot].data() + k * row_bytes,
                         checks[slot].data() + k * static_cast<std::size_t>(row_width));
        }
        lock.lock();
        ready[slot] = block;
        changed.notify_all();
    }

    void Work(int pass) {
        std::unique_lock<std::mutex> lock(mutex);
        for (;;) {
            i32 block = -1;
            changed.wait(lock, [&] { return quit || next >= block_count || (block = Take()) >= 0; });
            if (block < 0) return;
            Compute(pass, block, lock);
        }
    }

    // Waits for row `index` (from outRect's top), computing blocks meanwhile; then
    // where its pixels and checks lie.
    std::pair<const std::uint8_t*, const std::uint32_t*> WaitFor(i32 index) {
        const i32 block = index / block_rows;
        const auto slot = static_cast<std::size_t>(block % slots());
        if (index % block_rows == 0) {
            std::unique_lock<std::mutex> lock(mutex);
            while (ready[slot] != block) {
                if (const i32 take = Take(); take >= 0) {
                    Compute(0, take, lock);
                } else {
                    changed.wait(lock);
                }
            }
        }
        const auto k = static_cast<std::size_t>(index % block_rows);
        return {pixels[slot].data() + k * row_bytes, checks[slot].data() + k * static_cast<std::size_t>(row_width)};
    }

    // Row `index` has been handed out; at the end of its block the slot is free.
    void HandedOut(i32 index) {
        if ((index + 1) % block_rows != 0 && index + 1 != row_count) return;
        const std::lock_guard<std::mutex> lock(mutex);
        handed_out = index / block_rows + 1;
        changed.notify_all();
    }

    void Stop() {
        {
            const std::lock_guard<std::mutex> lock(mutex);
            quit = true;
            changed.notify_all();
        }
        if (workers != nullptr) workers->Wait();
        workers = nullptr;
        own_workers.reset();
    }
};

}  // namespace tessellon
