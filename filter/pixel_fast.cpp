// The tiling filter's specialised pixel pass. What the reference routine computes per
// pixel splits into parts that depend on the column only (tile column, own source x,
// x profile, vertical seam band, the x positions of the copies and how to sample them),
// parts that depend on the row only (the same for y) and the per-pixel remainder:
// sampling the copies, background transparency, weights and blends. The first two are
// tabled once per strip; the remainder runs inline with the built-ins' arithmetic.
//
// Exactness. Every formula below is the reference's, with its wrap-around and
// truncation; shortcuts are taken only where they give the same value:
//  - a copy at whole-pixel positions is the source byte (src_interp reads just that);
//  - the bilinear sample's vertical step (b*yf + t*(n - yf)) / n has a non-negative
//    numerator, so it equals t + floor((b - t)*yf / n), which is tabled per yf for the
//    511 possible differences of two bytes;
//  - horizontal steps are computed once per source row and copy column and kept in a
//    small row cache (Fit), since every output row of a pass reads the same columns;
//  - divisions by the run constants scale, weight_full and bg_hi - bg_lo are done as a
//    multiplication and a shift that is exact for every 32-bit dividend (Divisor); the
//    in-band weight's quotient, whose product stays below 2^46, from the band's
//    reciprocal with one exact correction step;
//  - blends with alpha 255 or 0 and mixes with weight 0 or weight_full are the copy
//    itself or the old value, as the built-ins' arithmetic gives for in-range values;
//  - a copy's x weight is the same for every row of copies, so it is worked out once.
//    These range arguments need every value to stay within 0..255; where the set-up's
//    values allow anything else (rescale's "a = c and b = d" rule could turn a weight or
//    an alpha into a coordinate or a distance), the pass runs a variant without the
//    shortcuts ("generic"), still tabled but with the built-ins' arithmetic unabridged.
//
// Work that cannot change a result is skipped. A pixel's scratch cells (its variables
// and put-array cells 0..12) only matter when nothing writes them again before they are
// looked at, and with the filter's own set-up every pixel inside the tile has copies,
// so a pixel of several copies overwrites every cell any pixel writes. Such a pixel is
// therefore computed for its colour alone (InsideColour), leaving out copies of weight
// 0 and everything before a copy of full weight and alpha 255; only when its cells are
// needed (a following pixel that writes fewer cells, a pixel handed to the reference
// routine, the end of a row or of the pass) is it computed again with every cell. That
// trades a second computation of one pixel per row for skipping a third to a half of
// the copies of all the others (75 % overlap with Fit). Runs of eight such pixels go
// through the lane kernels of filter/pixel_lanes together, which compute the same
// colours with exact multiply-shift arithmetic, one pixel per vector lane.
//
// State. The pass keeps, as the per-pixel calls do, every variable cell the pixel code
// writes and put-array cells 0..12, in a mirror that goes back into the context and the
// put array whenever the reference routine has to run (a pixel that crosses the abort
// counter's limit) and at the end. At the end it also sets the run environment's
// current pixel to the last one processed and has the loader fill the context for it
// (then applies that pixel's set_out values), so the context ends exactly as after the
// per-pixel calls. Nothing else is dropped. No Windows headers.
#include "filter/pixel_fast.h"

#include <algorithm>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <mutex>
#include <new>
#include <utility>
#include <vector>

#include "filter/pixel_lanes.h"
#include "filter/variables.h"
#include "runtime/builtins.h"
#include "hostapi/host_state.h"
#include "platform/worker_threads.h"

namespace tessellon {

using namespace tiling;
using tiling_fast::BandWeight;
using tiling_fast::Blend255;
using tiling_fast::Divisor;
using tiling_fast::Rescale;

namespace {

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

i32 Div(i32 a, i32 b) noexcept { return b == 0 ? 0 : wrap_div(a, b); }
i32 Rem(i32 a, i32 b) noexcept { return b == 0 ? 0 : wrap_rem(a, b); }
i32 Clamp(i32 v, i32 lo, i32 hi) noexcept { return v < lo ? lo : v > hi ? hi : v; }
std::uint8_t Clamp255(i32 v) noexcept { return static_cast<std::uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v); }
i32 Abs(i32 a) noexcept { return a < 0 ? wrap_neg(a) : a; }  // absval, -2^31 stays itself

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

}  // namespace

// The pass's tables and mirror, private to this file.
namespace {

// A blend band of one row (horizontal) or column (vertical), shifted by the seam, with
// what the exact in-band weight needs: the band's width and its reciprocal.
struct Band {
    i32 lo, hi;
    bool open;  // lo < hi
    double span, inverse;
};

// |after - before| / (hi - lo) for an open band, 0 for a closed one: what the lane
// kernels' band weights start from.
float LaneRatio(const Band& band, i32 before, i32 after) noexcept {
    if (!band.open) return 0.0f;
    const double magnitude =
        after < before ? static_cast<double>(before) - after : static_cast<double>(after) - before;
    return static_cast<float>(magnitude * band.inverse);
}

Band MakeBand(i32 lo, i32 hi) noexcept {
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

}  // namespace

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
    // Per cell in planar order, for the cache rows' horizontal steps.
    Block<i32> fill_left, fill_right, fill_up, fill_down;
    tiling_lanes::CacheFill cache_fill{};

    bool any_several_columns = false;  // some column has copies > 1
    // For the row's abort checks without a mask (CheckSum), per column from the first:
    // the columns inside the tile's x range and their copies, and every column's copies.
    std::vector<std::uint32_t> sum_in_x, sum_in_x_copies, sum_copies;

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

    bool Prepare() noexcept;
    bool ReadProfile(i32 base, i32 index, i32* value) const noexcept;
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

    template <bool kGeneric>
    void InsidePixel(const RowInfo& row, const Column& column, std::uint8_t* dst) noexcept;
    i32 BackgroundAlpha(const i32* rgb, i32 alpha) const noexcept;
    void MixOver(i32* into, const i32* over, i32 alpha, i32 weight) const noexcept;
    void RowOfCopies(const RowSampling& sampler, bool first_row, const Cell* cells_of_column, i32 copies,
                     const i32* weights_x, i32 last_full, i32* acc) const noexcept;
    void InsideColour(const RowInfo& row, const Column& column, std::uint8_t* dst) const noexcept;
    bool PrepareLanes() noexcept;
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

// --- Preparation -----------------------------------------------------------------

bool TilingPixelPass::Impl::ReadProfile(i32 base, i32 index, i32* value) const noexcept {
    const i32 cell = wrap_add(base, index);
    // A read outside the array would set the status; one inside cells 0..12 would see
    // the pixels' own writes. Neither happens with the filter's set-up.
    if (cell < 13 || cell >= put_cell_count) return false;
    *value = put_array[cell];
    return true;
}

bool TilingPixelPass::Impl::Prepare() noexcept {
    if (filter_record == nullptr || put_array == nullptr || put_cell_count < 13) return false;
    if (preview_zoom != 1 || preview_start == -1) return false;
    const std::uint8_t* flags = definition_block.use_flags[kPhasePixel];
    // Fields the loader computes per pixel from more than the pixel itself: the pass
    // recreates the loader's work for the last pixel only.
    for (int k : {kFieldLuma, kFieldChromaU, kFieldChromaV, kFieldAngle, kFieldRadius, kFieldMaskValue,
                  kFieldStatus}) {
        if (flags[k] != 0) return false;
    }
    // The colour entry must exist, or color_part would set the status.
    if (definition_block.colour_count < 1) return false;

    const psapi::FilterRecord& record = *filter_record;
    if (record.inData == nullptr || record.inRect.right <= record.inRect.left ||
        record.inRect.bottom <= record.inRect.top) {
        return false;
    }
    in_data = static_cast<const std::uint8_t*>(record.inData);
    in_row_bytes = record.inRowBytes;
    out_data = static_cast<std::uint8_t*>(record.outData);
    out_row_bytes = record.outRowBytes;
    mask_data = static_cast<const std::uint8_t*>(record.maskData);
    mask_row_bytes = record.maskRowBytes;
    mask_left = record.maskRect.left;
    mask_top = record.maskRect.top;
    in_left = record.inRect.left;
    in_top = record.inRect.top;
    in_right = record.inRect.right;
    in_bottom = record.inRect.bottom;
    out_left = record.outRect.left;
    out_top = record.outRect.top;
    out_right = record.outRect.right;
    out_bottom = record.outRect.bottom;
    origin_x = tessellon::origin_x;
    origin_y = tessellon::origin_y;

    const ExecutionContext& c = execution_context;
    const RunRecord& r = run_record;
    planes = r.plane_count;
    if (planes < 3) return false;
    // A field the loader does not refresh keeps its value through the pass.
    ctx_planes = flags[kFieldPlaneCount] ? r.plane_count : c.plane_count;
    width = flags[kFieldWidth] ? r.area_w : c.width;
    height = flags[kFieldHeight] ? r.area_h : c.height;
    back_r = flags[kFieldBackR] ? r.back_color[0] : c.back_r;
    back_g = flags[kFieldBackG] ? r.back_color[1] : c.back_g;
    back_b = flags[kFieldBackB] ? r.back_color[2] : c.back_b;

    const i32* v = c.vars;
    if (v[kCellOut] != kOutCell || v[kCellAcc] != kAccCell || v[kCellSrc] != kSrcCell) return false;
    scale = v[kScale];
    if (scale < 1 || scale > kMaxScale) return false;
    tile_w = v[kTileW];
    tile_h = v[kTileH];
    tile_x0 = v[kTileX0];
    tile_x1 = v[kTileX1];
    tile_y0 = v[kTileY0];
    tile_y1 = v[kTileY1];
    step_x = v[kStepX];
    step_y = v[kStepY];
    weight_full = v[kWeightFull];
    bg_lo = v[kBgLo];
    bg_hi = v[kBgHi];
    len_x = v[kProfileLenX];
    len_y = v[kProfileLenY];
    base_x = v[kCellProfileX];
    base_y = v[kCellProfileY];
    band_x_lo = v[kBandXLo];
    band_x_hi = v[kBandXHi];
    wx_after = v[kWeightXAfter];
    wx_before = v[kWeightXBefore];
    band_y_lo = v[kBandYLo];
    band_y_hi = v[kBandYHi];
    wy_after = v[kWeightYAfter];
    wy_before = v[kWeightYBefore];

    fit = check_box(0) != 0;
    repeat = check_box(2) != 0;
    opaque_out = check_box(1) != 0;
    thru_bg = slider(3) > 0;
    for (int ch = 0; ch < 3; ++ch) colour[ch] = color_part(0, ch);
    alpha_sampled = ctx_planes >= 4 && planes > 3;

    // The shortcuts' conditions: weights within 0..weight_full, background colour and
    // thresholds in their ranges, and no "a = c and b = d" case of rescale that could
    // hand back a distance as an alpha.
    const auto within = [](i32 value, i32 lo, i32 hi) { return value >= lo && value <= hi; };
    generic = !(within(weight_full, 1, 32767) && within(wx_after, 0, weight_full) &&
                within(wx_before, 0, weight_full) && within(wy_after, 0, weight_full) &&
                within(wy_before, 0, weight_full) && within(back_r, 0, 255) && within(back_g, 0, 255) &&
                within(back_b, 0, 255));
    if (thru_bg && bg_lo != bg_hi) {
        if (!(within(bg_lo, 0, 765) && within(bg_hi, bg_lo + 1, 1 << 20))) generic = true;
        if (bg_lo == 0 && bg_hi <= 255) generic = true;
    }
    by_scale = Divisor(scale);
    by_full = Divisor(generic ? 1 : weight_full);
    by_bg = Divisor(!generic && thru_bg && bg_hi > bg_lo ? wrap_sub(bg_hi, bg_lo) : 1);

    if (!BuildColumns() || !BuildRows() || !PrepareSampling()) return false;
    colour_only = !generic;
    for (i32 i = 0; i < out_right - out_left; ++i) {
        const Column& col = columns[static_cast<std::size_t>(i)];
        if (col.may_be_in && col.copies == 0) colour_only = false;
        if (col.copies > 1) any_several_columns = true;
    }
    for (i32 i = 0; i < out_bottom - out_top; ++i) {
        const RowInfo& row = rows[static_cast<std::size_t>(i)];
        if (row.may_be_in && row.copies == 0) colour_only = false;
    }
    if (!PrepareLanes()) return false;
    LoadState();
    return true;
}

bool TilingPixelPass::Impl::BuildColumns() noexcept {
    const i32 count = out_right - out_left;
    if (count <= 0) {
        cell_count = 0;
        return columns.Allocate(0) && cells.Allocate(0);
    }
    if (!columns.Allocate(static_cast<std::size_t>(count))) return false;
    const i32 limit_x = wrap_mul(width, scale);
    // First the copy counts, to size the cells.
    std::size_t total = 0;
    for (i32 i = 0; i < count; ++i) {
        Column& col = columns[static_cast<std::size_t>(i)];
        const i32 pos_x = wrap_sub(out_left + i, origin_x);
        col.in_x = tile_x0 <= pos_x && pos_x < tile_x1;
        col.may_be_in = fit || repeat || col.in_x;
        col.copies = 0;
        col.first_cell = static_cast<i32>(total);
        if (!col.may_be_in) continue;
        if (fit) {
            col.tile_px = pos_x;
            col.src_x0 = wrap_add(wrap_mul(tile_x0, scale), wrap_mul(Div(wrap_mul(tile_w, scale), width), pos_x));
        } else {
            col.tile_px = Rem(wrap_add(wrap_sub(pos_x, tile_x0), wrap_mul(wrap_add(Div(width, tile_w), 1), tile_w)),
                              tile_w);
            col.src_x0 = wrap_mul(wrap_add(tile_x0, col.tile_px), scale);
        }
        if (!ReadProfile(base_x, col.tile_px, &col.prof_here) ||
            !ReadProfile(base_x, Rem(wrap_sub(wrap_add(len_x, col.tile_px), 1), len_x), &col.prof_prev) ||
            !ReadProfile(base_x, Rem(wrap_add(col.tile_px, 1), len_x), &col.prof_next)) {
            return false;
        }
        const i32 here = col.prof_here;
        col.seam_y_lo =
            wrap_sub(band_y_lo, wrap_add(max_of(max_of(col.prof_prev, col.prof_next), here), here) / 2);
        col.seam_y_hi =
            wrap_sub(band_y_hi, wrap_add(min_of(min_of(col.prof_prev, col.prof_next), here), here) / 2);
        col.band_y = MakeBand(col.seam_y_lo, col.seam_y_hi);
        i32 copy_x = col.src_x0;
        while (0 <= copy_x && copy_x < limit_x) {
            // A further copy that coincides with the first would count as the first
            // again; the pass relies on only copy 0 being the pixel's own.
            if (col.copies == kMaxCopies || (col.copies > 0 && copy_x == col.src_x0)) return false;
            ++col.copies;
            copy_x = wrap_add(copy_x, step_x);
        }
        col.copy_x_end = copy_x;
        total += static_cast<std::size_t>(col.copies);
    }
    if (total * sizeof(Cell) > kMaxTableBytes || !cells.Allocate(total)) return false;
    cell_count = static_cast<i32>(total);
    direct = true;
    for (i32 i = 0; i < count; ++i) {
        const Column& col = columns[static_cast<std::size_t>(i)];
        i32 copy_x = col.src_x0;
        for (i32 k = 0; k < col.copies; ++k, copy_x = wrap_add(copy_x, step_x)) {
            Cell& cell = cells[static_cast<std::size_t>(col.first_cell + k)];
            cell.copy_x = copy_x;
            const i32 xi = copy_x / scale;
            cell.xf = copy_x % scale;
            // Where sample_at reads: the image x moved by the origin, kept inside the
            // input band.
            const i32 left = Clamp(wrap_add(xi, origin_x), in_left, in_right - 1);
            const i32 right = Clamp(wrap_add(wrap_add(xi, 1), origin_x), in_left, in_right - 1);
            cell.left = (left - in_left) * planes;
            cell.right = (right - in_left) * planes;
            if (cell.xf != 0) direct = false;
        }
    }
    return true;
}

bool TilingPixelPass::Impl::BuildRows() noexcept {
    const i32 count = out_bottom - out_top;
    if (count <= 0) return rows.Allocate(0) && row_copies.Allocate(0);
    if (!rows.Allocate(static_cast<std::size_t>(count))) return false;
    const i32 limit_y = wrap_mul(height, scale);
    std::size_t total = 0;
    max_row_copies = 0;
    for (i32 i = 0; i < count; ++i) {
        RowInfo& row = rows[static_cast<std::size_t>(i)];
        const i32 pos_y = wrap_sub(out_top + i, origin_y);
        row.in_y = tile_y0 <= pos_y && pos_y < tile_y1;
        row.may_be_in = fit || repeat || row.in_y;
        row.copies = 0;
        row.first_copy = static_cast<i32>(total);
        if (!row.may_be_in) continue;
        if (fit) {
            row.tile_py = pos_y;
            row.src_y0 = wrap_add(wrap_mul(tile_y0, scale), wrap_mul(Div(wrap_mul(tile_h, scale), height), pos_y));
        } else {
            row.tile_py = Rem(
                wrap_add(wrap_sub(pos_y, tile_y0), wrap_mul(wrap_add(Div(height, tile_h), 1), tile_h)), tile_h);
            row.src_y0 = wrap_mul(wrap_add(tile_y0, row.tile_py), scale);
        }
        if (!ReadProfile(base_y, row.tile_py, &row.prof_here) ||
            !ReadProfile(base_y, Rem(wrap_sub(wrap_add(len_y, row.tile_py), 1), len_y), &row.prof_prev) ||
            !ReadProfile(base_y, Rem(wrap_add(row.tile_py, 1), len_y), &row.prof_next)) {
            return false;
        }
        const i32 here = row.prof_here;
        row.seam_x_lo =
            wrap_sub(band_x_lo, wrap_add(max_of(max_of(row.prof_prev, row.prof_next), here), here) / 2);
        row.seam_x_hi =
            wrap_sub(band_x_hi, wrap_add(min_of(min_of(row.prof_prev, row.prof_next), here), here) / 2);
        row.band_x = MakeBand(row.seam_x_lo, row.seam_x_hi);
        // rescale works with the band's width as a 32-bit value; a wider band (which
        // the controls never give) is left to the unabridged arithmetic.
        if (row.band_x.span > 2147483647.0) generic = true;
        i32 copy_y = row.src_y0;
        while (0 <= copy_y && copy_y < limit_y) {
            if (row.copies == kMaxCopies || (row.copies > 0 && copy_y == row.src_y0)) return false;
            ++row.copies;
            copy_y = wrap_add(copy_y, step_y);
        }
        row.copy_y_end = copy_y;
        if (row.copies > max_row_copies) max_row_copies = row.copies;
        total += static_cast<std::size_t>(row.copies);
        // rescale's "a = c and b = d" rule would return the copy's position as its
        // weight; only the unabridged arithmetic follows that.
        if (row.seam_x_lo < row.seam_x_hi && row.seam_x_lo == wx_before && row.seam_x_hi == wx_after) generic = true;
    }
    if (!row_copies.Allocate(total)) return false;
    for (i32 i = 0; i < count; ++i) {
        const RowInfo& row = rows[static_cast<std::size_t>(i)];
        i32 copy_y = row.src_y0;
        for (i32 j = 0; j < row.copies; ++j, copy_y = wrap_add(copy_y, step_y)) {
            RowCopy& copy = row_copies[static_cast<std::size_t>(row.first_copy + j)];
            copy.copy_y = copy_y;
            const i32 yi = copy_y / scale;
            copy.yf = copy_y % scale;
            copy.top = Clamp(wrap_add(yi, origin_y), in_top, in_bottom - 1) - in_top;
            copy.under = Clamp(wrap_add(wrap_add(yi, 1), origin_y), in_top, in_bottom - 1) - in_top;
        }
    }
    const i32 column_count = out_right - out_left;
    for (i32 i = 0; i < column_count; ++i) {
        const Column& col = columns[static_cast<std::size_t>(i)];
        if (col.may_be_in && col.seam_y_lo < col.seam_y_hi &&
            ((col.seam_y_lo == wy_before && col.seam_y_hi == wy_after) || col.band_y.span > 2147483647.0)) {
            generic = true;
        }
    }
    return true;
}

bool TilingPixelPass::Impl::PrepareSampling() noexcept {
    for (i32& yf : step_yf) yf = -1;
    if (direct) {
        for (i32 k = 0; k < cell_count; ++k) cells[static_cast<std::size_t>(k)].sample_offset = cells[static_cast<std::size_t>(k)].left;
        channel_stride = 1;
        cache_slots = 0;
        return true;
    }
    // Fit with fractional positions: one cache row holds the horizontal steps of every
    // copy column for one source row. It is planar: one plane per copy index and
    // channel, one byte per column of outRect, so that the samples of neighbouring
    // columns lie side by side. An output row needs at most two source rows per row of
    // copies; one spare slot keeps the next row's.
    const i32 column_count = out_right - out_left;
    max_column_copies = 0;
    for (i32 i = 0; i < column_count; ++i) {
        const Column& col = columns[static_cast<std::size_t>(i)];
        if (col.copies > max_column_copies) max_column_copies = col.copies;
        for (i32 k = 0; k < col.copies; ++k) {
            cells[static_cast<std::size_t>(col.first_cell + k)].sample_offset = k * 4 * column_count + i;
        }
    }
    channel_stride = column_count;
    cache_slots = 2 * max_row_copies + 1;
    const std::size_t row_bytes = CacheRowBytes();
    if (row_bytes * static_cast<std::size_t>(cache_slots) > kMaxTableBytes) return false;
    if (!cache.Allocate(row_bytes * static_cast<std::size_t>(cache_slots)) ||
        !cache_tag.Allocate(static_cast<std::size_t>(cache_slots)) ||
        !cache_used.Allocate(static_cast<std::size_t>(cache_slots))) {
        return false;
    }
    // Cells no column has stay 0; the fourth plane reads 255 on images of three planes,
    // as the built-in answers for plane 3 there, and is never filled.
    std::memset(cache.get(), 0, row_bytes * static_cast<std::size_t>(cache_slots));
    for (i32 s = 0; s < cache_slots; ++s) {
        cache_tag[static_cast<std::size_t>(s)] = -1;
        cache_used[static_cast<std::size_t>(s)] = -1;
        if (planes > 3) continue;
        std::uint8_t* slot = cache.get() + row_bytes * static_cast<std::size_t>(s);
        for (i32 k = 0; k < max_column_copies; ++k) {
            std::memset(slot + static_cast<std::size_t>((k * 4 + 3) * column_count), 255,
                        static_cast<std::size_t>(column_count));
        }
    }
    return true;
}

std::size_t TilingPixelPass::Impl::CacheRowBytes() const noexcept {
    return static_cast<std::size_t>(max_column_copies) * 4 * static_cast<std::size_t>(out_right - out_left);
}

// src_interp's horizontal step for every copy column of one source row:
// (a * (n - xf) + b * xf) / n, or a itself when xf is 0.
void TilingPixelPass::Impl::FillCacheRow(std::uint8_t* slot, i32 buffer_row) noexcept {
    const std::uint8_t* row = in_data + static_cast<std::ptrdiff_t>(buffer_row) * in_row_bytes;
    if (lanes) {
        tiling_lanes::FillCacheRow(cache_fill, row, slot);
        return;
    }
    const int channels = planes > 3 ? 4 : 3;
    const std::ptrdiff_t stride = channel_stride;
    for (i32 k = 0; k < cell_count; ++k) {
        const Cell& cell = cells[static_cast<std::size_t>(k)];
        const std::uint8_t* a = row + cell.left;
        const std::uint8_t* b = row + cell.right;
        std::uint8_t* out = slot + cell.sample_offset;
        if (cell.xf == 0) {
            for (int ch = 0; ch < channels; ++ch) out[ch * stride] = a[ch];
        } else {
            const auto rest = static_cast<std::uint32_t>(scale - cell.xf);
            const auto xf = static_cast<std::uint32_t>(cell.xf);
            for (int ch = 0; ch < channels; ++ch) {
                out[ch * stride] = static_cast<std::uint8_t>(by_scale.DivideSmall(a[ch] * rest + b[ch] * xf));
            }
        }
    }
}

const std::uint8_t* TilingPixelPass::Impl::CacheRow(i32 buffer_row, const i32* needed, int needed_count) noexcept {
    const std::size_t row_bytes = CacheRowBytes();
    i32 victim = -1;
    for (i32 s = 0; s < cache_slots; ++s) {
        if (cache_tag[static_cast<std::size_t>(s)] == buffer_row) {
            cache_used[static_cast<std::size_t>(s)] = current_row;
            return cache.get() + row_bytes * static_cast<std::size_t>(s);
        }
    }
    // The slot used longest ago among those this output row does not need.
    for (i32 s = 0; s < cache_slots; ++s) {
        const i32 tag = cache_tag[static_cast<std::size_t>(s)];
        bool wanted = false;
        for (int n = 0; n < needed_count; ++n) wanted = wanted || (tag != -1 && tag == needed[n]);
        if (wanted) continue;
        if (victim == -1 || cache_used[static_cast<std::size_t>(s)] < cache_used[static_cast<std::size_t>(victim)]) {
            victim = s;
        }
    }
    std::uint8_t* slot = cache.get() + row_bytes * static_cast<std::size_t>(victim);
    FillCacheRow(slot, buffer_row);
    cache_tag[static_cast<std::size_t>(victim)] = buffer_row;
    cache_used[static_cast<std::size_t>(victim)] = current_row;
    return slot;
}

// floor(d * yf / n) for every difference d of two bytes, computed as the built-in's
// quotient (255 * (n - yf) + (255 + d) * yf) / n minus 255.
const std::int16_t* TilingPixelPass::Impl::StepTable(int j, i32 yf) noexcept {
    std::int16_t* table = steps[j];
    if (step_yf[j] != yf) {
        const auto rest = static_cast<std::uint32_t>(scale - yf);
        for (i32 d = -255; d <= 255; ++d) {
            const std::uint32_t numerator = 255u * rest + static_cast<std::uint32_t>(255 + d) * static_cast<std::uint32_t>(yf);
            table[d + 255] = static_cast<std::int16_t>(static_cast<i32>(by_scale.DivideSmall(numerator)) - 255);
        }
        step_yf[j] = yf;
    }
    return table;
}

void TilingPixelPass::Impl::PrepareRow(const RowInfo& row) noexcept {
    const RowCopy* copies = &row_copies[static_cast<std::size_t>(row.first_copy)];
    i32 needed[2 * kMaxCopies];
    int needed_count = 0;
    for (i32 j = 0; j < row.copies; ++j) {
        needed[needed_count++] = copies[j].top;
        if (copies[j].yf != 0) needed[needed_count++] = copies[j].under;
    }
    for (i32 j = 0; j < row.copies; ++j) {
        RowSampling& s = sampling[j];
        const RowCopy& copy = copies[j];
        if (direct) {
            s.top = in_data + static_cast<std::ptrdiff_t>(copy.top) * in_row_bytes;
            s.under = in_data + static_cast<std::ptrdiff_t>(copy.under) * in_row_bytes;
        } else {
            s.top = CacheRow(copy.top, needed, needed_count);
            s.under = copy.yf != 0 ? CacheRow(copy.under, needed, needed_count) : s.top;
        }
        s.step = copy.yf != 0 ? StepTable(static_cast<int>(j), copy.yf) : nullptr;
        if (lanes) {
            copy_rows[j] = {s.top, s.under, tiling_lanes::MultiplierUp(copy.yf, scale),
                            tiling_lanes::MultiplierDown(copy.yf, scale), copy.yf != 0, copy.copy_y};
        }
    }
}

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

// --- Pixels -------------------------------------------------------------------------

namespace {

// blend(over, under, alpha, 255) for values within 0..255.
inline i32 BlendFast(i32 over, i32 under, i32 alpha) noexcept {
    if (alpha == 255) return over;
    if (alpha == 0) return under;
    return (over * alpha + under * (255 - alpha)) / 255;
}

// rescale(weight, 0, full, old, mixed) for old and mixed within 0..255 and weight within
// 0..full (full below 32768): the integer formula, whose ends are old and mixed.
inline i32 MixFast(i32 weight, i32 old, i32 mixed, i32 full, const Divisor& by_full) noexcept {
    if (weight <= 0) return old;
    if (weight >= full) return mixed;
    // The product's magnitude stays below 255 * 32767: its sign is taken off and put
    // back without a branch on it.
    const i32 product = (mixed - old) * weight;
    const i32 sign = product >> 31;
    const auto quotient = static_cast<i32>(by_full.DivideSmall(static_cast<std::uint32_t>((product ^ sign) - sign)));
    return old + ((quotient ^ sign) - sign);
}

// The pixel code's band weight for weights within 0..weight_full (weight_full below
// 32768) and a band no wider than 2^31 - 1. Inside the band rescale gives before plus
// the truncated quotient (after - before) * (position - lo) / (hi - lo): its integer
// formula does not wrap there, and its floating-point one is exact, since the product
// stays below 2^46. The quotient comes from the band's reciprocal, which is off by at
// most one, and one correction step (the remainder is exact in double as well).
inline i32 WeightFast(i32 position, const Band& band, i32 before, i32 after) noexcept {
    if (!band.open) return position <= band.lo ? before : after;
    if (position < band.lo) return before;
    if (position > band.hi) return after;
    const i32 difference = after - before;
    const double magnitude = difference < 0 ? -static_cast<double>(difference) : static_cast<double>(difference);
    const double product = magnitude * (static_cast<double>(position) - static_cast<double>(band.lo));
    i32 quotient = static_cast<i32>(product * band.inverse);
    const double rest = product - static_cast<double>(quotient) * band.span;
    if (rest < 0) {
        --quotient;
    } else if (rest >= band.span) {
        ++quotient;
    }
    return before + (difference < 0 ? -quotient : quotient);
}

}  // namespace

// Mixes `over` (colour, alpha 255) composited with `alpha` into the colour and alpha in
// `into` by weight / weight_full, for values within 0..255 and weights within
// 0..weight_full.
inline void TilingPixelPass::Impl::MixOver(i32* into, const i32* over, i32 alpha, i32 weight) const noexcept {
    for (int ch = 0; ch < 3; ++ch) {
        into[ch] = MixFast(weight, into[ch], BlendFast(over[ch], into[ch], alpha), weight_full, by_full);
    }
    into[3] = MixFast(weight, into[3], BlendFast(255, into[3], alpha), weight_full, by_full);
}

// One pixel inside the tile, every copy, as the reference computes it.
template <bool kGeneric>
void TilingPixelPass::Impl::InsidePixel(const RowInfo& row, const Column& column, std::uint8_t* dst) noexcept {
    State& st = state;
    WritePositionCells(row, column);
    i32 out[4] = {st.put[0], st.put[1], st.put[2], st.put[3]};
    i32 acc[4] = {st.put[5], st.put[6], st.put[7], st.put[8]};
    i32 sample[3] = {st.put[10], st.put[11], st.put[12]};
    i32 alpha = st.copy_alpha;
    i32 distance = st.bg_distance;
    i32 weight = st.copy_weight;
    i32 previous = st.previous_value;
    i32 previous_alpha = st.previous_alpha;
    const Cell* column_cells = &cells[static_cast<std::size_t>(column.first_cell)];
    const RowCopy* copies = &row_copies[static_cast<std::size_t>(row.first_copy)];
    const i32 full = weight_full;
    // A copy's x weight depends on its column and the row's band only, the same for
    // every row of copies; so does a row of copies' y weight on the column's band.
    // Worked out first, they do not hold up the blends.
    i32 weights_x[kMaxCopies];
    i32 weights_y[kMaxCopies];
    if (!kGeneric) {
        for (i32 k = 1; k < column.copies; ++k) {
            weights_x[k] = WeightFast(column_cells[k].copy_x, row.band_x, wx_before, wx_after);
        }
        for (i32 j = 1; j < row.copies; ++j) {
            weights_y[j] = WeightFast(copies[j].copy_y, column.band_y, wy_before, wy_after);
        }
    }

    for (i32 j = 0; j < row.copies; ++j) {
        const RowSampling& sampler = sampling[j];
        for (i32 k = 0; k < column.copies; ++k) {
            const Cell& cell = column_cells[k];
            SampleCopy(sampler, cell.sample_offset, sample, &alpha);
            if (thru_bg && (j | k) != 0) {
                distance = wrap_add(wrap_add(Abs(wrap_sub(sample[0], back_r)), Abs(wrap_sub(sample[1], back_g))),
                                    Abs(wrap_sub(sample[2], back_b)));
                if (bg_lo == bg_hi) {
                    if (distance <= bg_lo) alpha = 0;
                } else if (kGeneric) {
                    alpha = Rescale(distance, bg_lo, bg_hi, 0, alpha);
                } else if (distance < bg_lo) {
                    alpha = 0;
                } else if (distance <= bg_hi) {
                    alpha = static_cast<i32>(by_bg.DivideSmall(static_cast<std::uint32_t>(alpha * (distance - bg_lo))));
                }
            }
            if (k == 0) {
                acc[0] = sample[0];
                acc[1] = sample[1];
                acc[2] = sample[2];
                acc[3] = alpha;
                continue;
            }
            weight = kGeneric ? BandWeight(cell.copy_x, row.seam_x_lo, row.seam_x_hi, wx_before, wx_after)
                              : weights_x[k];
            if (kGeneric) {
                for (int ch = 0; ch < 3; ++ch) {
                    const i32 o = previous = acc[ch];
                    acc[ch] = Rescale(weight, 0, full, o, Blend255(sample[ch], o, alpha));
                }
                const i32 o = previous_alpha = acc[3];
                acc[3] = Rescale(weight, 0, full, o, Blend255(255, o, alpha));
            } else {
                previous = acc[2];
                previous_alpha = acc[3];
                if (weight > 0 && alpha != 0) MixOver(acc, sample, alpha, weight);
            }
        }
        if (j == 0) {
            out[0] = acc[0];
            out[1] = acc[1];
            out[2] = acc[2];
            out[3] = acc[3];
            continue;
        }
        const i32 a = acc[3];
        weight = kGeneric ? BandWeight(copies[j].copy_y, column.seam_y_lo, column.seam_y_hi, wy_before, wy_after)
                          : weights_y[j];
        if (kGeneric) {
            for (int ch = 0; ch < 3; ++ch) {
                const i32 o = previous = out[ch];
                out[ch] = Rescale(weight, 0, full, o, Blend255(acc[ch], o, a));
            }
            const i32 o = previous_alpha = out[3];
            out[3] = Rescale(weight, 0, full, o, Blend255(255, o, a));
        } else {
            previous = out[2];
            previous_alpha = out[3];
            if (weight > 0 && a != 0) MixOver(out, acc, a, weight);
        }
    }

    if (row.copies > 0) {
        st.copy_x = column.copy_x_end;
        if (column.copies > 0) st.pass = 3;
    }
    st.copy_alpha = alpha;
    st.bg_distance = distance;
    st.copy_weight = weight;
    st.previous_value = previous;
    st.previous_alpha = previous_alpha;
    st.loop_inner = 4;
    for (int ch = 0; ch < 4; ++ch) {
        st.put[kOutCell + ch] = out[ch];
        st.put[kAccCell + ch] = acc[ch];
    }
    for (int ch = 0; ch < 3; ++ch) st.put[kSrcCell + ch] = sample[ch];

    // set_out for channels 0..3, then the loader's write-back with its clamping.
    dst[0] = Clamp255(out[0]);
    dst[1] = Clamp255(out[1]);
    dst[2] = Clamp255(out[2]);
    if (planes > 3) dst[3] = Clamp255(out[3]);
}

// The copy alpha after the background test (not for the pixel's own position).
inline i32 TilingPixelPass::Impl::BackgroundAlpha(const i32* rgb, i32 alpha) const noexcept {
    if (!thru_bg) return alpha;
    const i32 distance = Abs(rgb[0] - back_r) + Abs(rgb[1] - back_g) + Abs(rgb[2] - back_b);
    if (bg_lo == bg_hi) return distance <= bg_lo ? 0 : alpha;
    if (distance < bg_lo) return 0;
    if (distance <= bg_hi) {
        return static_cast<i32>(by_bg.DivideSmall(static_cast<std::uint32_t>(alpha * (distance - bg_lo))));
    }
    return alpha;
}

// The accumulated colour of one row of copies, as InsidePixel<false> computes it, with
// the work that cannot change it left out: a copy of weight 0 leaves the accumulator
// as it is, and a copy of full weight and alpha 255 replaces it (colour and alpha 255),
// so the copies before the last such copy do not count when its alpha is 255.
inline void TilingPixelPass::Impl::RowOfCopies(const RowSampling& sampler, bool first_row,
                                               const Cell* cells_of_column, i32 copies, const i32* weights_x,
                                               i32 last_full, i32* acc) const noexcept {
    i32 sample[3];
    i32 alpha;
    i32 k = 0;
    if (last_full > 0) {
        SampleCopy(sampler, cells_of_column[last_full].sample_offset, sample, &alpha);
        if (BackgroundAlpha(sample, alpha) == 255) {
            acc[0] = sample[0];
            acc[1] = sample[1];
            acc[2] = sample[2];
            acc[3] = 255;
            k = last_full + 1;
        }
    }
    if (k == 0) {
        SampleCopy(sampler, cells_of_column[0].sample_offset, sample, &alpha);
        if (!first_row) alpha = BackgroundAlpha(sample, alpha);
        acc[0] = sample[0];
        acc[1] = sample[1];
        acc[2] = sample[2];
        acc[3] = alpha;
        k = 1;
    }
    for (; k < copies; ++k) {
        const i32 weight = weights_x[k];
        if (weight == 0) continue;
        SampleCopy(sampler, cells_of_column[k].sample_offset, sample, &alpha);
        alpha = BackgroundAlpha(sample, alpha);
        if (alpha == 0) continue;
        MixOver(acc, sample, alpha, weight);
    }
}

// The colour of a pixel inside the tile with several copies, without its cells (see
// colour_only); the same bytes as InsidePixel<false>. Rows of copies of weight 0 leave
// the colour as it is; a row of full weight whose accumulated alpha is 255 replaces it.
void TilingPixelPass::Impl::InsideColour(const RowInfo& row, const Column& column,
                                         std::uint8_t* dst) const noexcept {
    const Cell* column_cells = &cells[static_cast<std::size_t>(column.first_cell)];
    const RowCopy* copies = &row_copies[static_cast<std::size_t>(row.first_copy)];
    const i32 full = weight_full;
    i32 weights_x[kMaxCopies];
    i32 weights_y[kMaxCopies];
    i32 last_full_x = 0;
    for (i32 k = 1; k < column.copies; ++k) {
        weights_x[k] = WeightFast(column_cells[k].copy_x, row.band_x, wx_before, wx_after);
        if (weights_x[k] == full) last_full_x = k;
    }
    i32 last_full_y = 0;
    for (i32 j = 1; j < row.copies; ++j) {
        weights_y[j] = WeightFast(copies[j].copy_y, column.band_y, wy_before, wy_after);
        if (weights_y[j] == full) last_full_y = j;
    }
    i32 out[4];
    i32 acc[4];
    i32 j = 0;
    if (last_full_y > 0) {
        RowOfCopies(sampling[last_full_y], false, column_cells, column.copies, weights_x, last_full_x, acc);
        if (acc[3] == 255) {
            for (int ch = 0; ch < 4; ++ch) out[ch] = acc[ch];
            j = last_full_y + 1;
        }
    }
    if (j == 0) {
        RowOfCopies(sampling[0], true, column_cells, column.copies, weights_x, last_full_x, out);
        j = 1;
    }
    for (; j < row.copies; ++j) {
        const i32 weight = weights_y[j];
        if (weight == 0) continue;
        RowOfCopies(sampling[j], false, column_cells, column.copies, weights_x, last_full_x, acc);
        const i32 a = acc[3];
        if (a == 0) continue;
        MixOver(out, acc, a, weight);
    }
    dst[0] = Clamp255(out[0]);
    dst[1] = Clamp255(out[1]);
    dst[2] = Clamp255(out[2]);
    if (planes > 3) dst[3] = Clamp255(out[3]);
}

// Whether groups of pixels may go through the lane kernel, and its tables. False only
// when the memory for them is not there.
bool TilingPixelPass::Impl::PrepareLanes() noexcept {
    using namespace tiling_lanes;
    const i32 count = out_right - out_left;
    lanes = colour_only && !direct && scale <= kMaxDenominator && weight_full <= kMaxDenominator &&
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
    const std::size_t cell_slots = n * static_cast<std::size_t>(max_column_copies);
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
    const auto r = static_cast<std::uint32_t>(row.copies);
    std::uint32_t total = 0;
    int most = 0;
    for (i32 l = 0; l < tiling_lanes::kLanes; ++l) {
        if (mask != nullptr && mask[first + l] == 0) return false;
        const Column& column = columns[static_cast<std::size_t>(first + l)];
        if (!(fit || repeat || (row.in_y && column.in_x))) return false;
        if (row.copies == 1 && column.copies == 1) return false;
        total += 4 * r + 5 + 7 * r * static_cast<std::uint32_t>(column.copies);
        if (column.copies > most) most = column.copies;
    }
    *checks = total;
    *copies = most;
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
                                    &lane_y_ratio[at]};
    tiling_lanes::GroupColours(lane_constants, group, dst);
}

i32 TilingPixelPass::Impl::Row(i32 y, const std::uint8_t* src, std::uint8_t* dst, const std::uint8_t* mask,
                               bool* stop) noexcept {
    const i32 width_px = out_right - out_left;
    const RowInfo& row = rows[static_cast<std::size_t>(y - out_top)];
    current_row = y;
    if (row.may_be_in && row.copies > 0) PrepareRow(row);
    // Abort checks of a pixel inside the tile: per row of copies one, seven per copy
    // (loop, three samples, three blends) and four (first row) or three (others) to
    // combine; then four to hand the colour out. Outside: three plus four.
    const auto r = static_cast<std::uint32_t>(row.copies);
    const std::uint32_t inside_base = row.copies > 0 ? 4 * r + 5 : 4;
    const std::uint32_t inside_per_copy = 7 * r;
    const bool all_inside = fit || repeat;
    i32 last_column = -1;

    const bool lanes_here = lanes && row.may_be_in && row.copies > 0;
    for (i32 i = 0; i < width_px; ++i) {
        std::uint32_t group_checks = 0;
        int group_copies = 0;
        if (lanes_here && i + tiling_lanes::kLanes <= width_px &&
            Groupable(row, i, mask, &group_checks, &group_copies) &&
            *calls <= calls_limit - group_checks) {
            // As many InsideColour calls, one after the other.
            *calls += group_checks;
            GroupColours(row, i, group_copies, dst + static_cast<std::ptrdiff_t>(i) * planes);
            i += tiling_lanes::kLanes - 1;
            pending = Pending::general;
            pending_row = &row;
            pending_column = i;
            pending_dst = dst + static_cast<std::ptrdiff_t>(i) * planes;
            last_column = i;
            continue;
        }
        if (mask != nullptr && mask[i] == 0) continue;
        const Column& column = columns[static_cast<std::size_t>(i)];
        const bool inside = all_inside || (row.in_y && column.in_x);
        const std::uint32_t checks =
            inside ? inside_base + inside_per_copy * static_cast<std::uint32_t>(column.copies) : 7u;
        std::uint8_t* pixel_dst = dst + static_cast<std::ptrdiff_t>(i) * planes;
        last_column = i;
        if (*calls > calls_limit - checks) {
            // The counter reaches its limit inside this pixel: the reference routine
            // makes the calls one by one, asks the host or the watchdog at the right
            // one, and stops the pixel where it says so.
            Materialize();
            StoreState();
            run_record.cur_src = const_cast<std::uint8_t*>(src + static_cast<std::ptrdiff_t>(i) * planes);
            run_record.cur_dst = pixel_dst;
            run_record.cur_mask = mask != nullptr ? const_cast<std::uint8_t*>(mask + i) : nullptr;
            run_record.cur_x = out_left + i - origin_x;
            run_record.cur_y = y - origin_y;
            run_phase(kPhasePixel);
            LoadState();
            last_fast = false;
            any_processed = true;
            last_x = out_left + i;
            last_y = y;
            last_src = src + static_cast<std::ptrdiff_t>(i) * planes;
            last_dst = pixel_dst;
            last_mask = mask != nullptr ? mask + i : nullptr;
            last_column = -1;
            if (preview_start == -1) {
                *stop = true;
                return i + 1;
            }
            continue;
        }
        *calls += checks;
        if (!inside) {
            pixel_dst[0] = static_cast<std::uint8_t>(colour[0]);
            pixel_dst[1] = static_cast<std::uint8_t>(colour[1]);
            pixel_dst[2] = static_cast<std::uint8_t>(colour[2]);
            if (planes > 3) pixel_dst[3] = opaque_out ? 255 : 0;
            // An outside pixel writes a part of what a simple one writes: a simple pixel
            // pending before it must write its cells first.
            if (pending == Pending::simple || pending == Pending::general) Materialize();
            pending = Pending::outside;
        } else if (row.copies == 1 && column.copies == 1) {
            // One copy: the pixel's colour is its sample, alpha included.
            i32 rgb[3];
            i32 alpha;
            SampleCopy(sampling[0], cells[static_cast<std::size_t>(column.first_cell)].sample_offset, rgb, &alpha);
            pixel_dst[0] = static_cast<std::uint8_t>(rgb[0]);
            pixel_dst[1] = static_cast<std::uint8_t>(rgb[1]);
            pixel_dst[2] = static_cast<std::uint8_t>(rgb[2]);
            if (planes > 3) pixel_dst[3] = static_cast<std::uint8_t>(alpha);
            // A simple pixel writes every cell an outside one does, and all of its own,
            // but not all of a general one's.
            if (pending == Pending::general) Materialize();
            pending = Pending::simple;
            pending_row = &row;
            pending_column = i;
        } else if (colour_only) {
            // Writes every cell the pending pixel would have written: that one's cells
            // are not needed any more.
            InsideColour(row, column, pixel_dst);
            pending = Pending::general;
            pending_row = &row;
            pending_column = i;
            pending_dst = pixel_dst;
        } else {
            Materialize();
            if (generic) {
                InsidePixel<true>(row, column, pixel_dst);
            } else {
                InsidePixel<false>(row, column, pixel_dst);
            }
        }
    }
    Materialize();
    if (last_column >= 0) {
        any_processed = true;
        last_fast = true;
        last_x = out_left + last_column;
        last_y = y;
        last_src = src + static_cast<std::ptrdiff_t>(last_column) * planes;
        last_dst = dst + static_cast<std::ptrdiff_t>(last_column) * planes;
        last_mask = mask != nullptr ? mask + last_column : nullptr;
    }
    return width_px;
}

void TilingPixelPass::Impl::End() noexcept {
    Materialize();
    if (!any_processed) return;
    current_phase = kPhasePixel;
    current_entry = entry_address[EntryWordOf(kPhasePixel)];
    run_record.cur_src = const_cast<std::uint8_t*>(last_src);
    run_record.cur_dst = last_dst;
    run_record.cur_mask = const_cast<std::uint8_t*>(last_mask);
    run_record.cur_x = last_x - origin_x;
    run_record.cur_y = last_y - origin_y;
    if (last_fast) {
        // The loader's fields for the last pixel, then what its set_out calls stored.
        load_context(kPhasePixel);
        ExecutionContext& c = execution_context;
        c.out_r = state.put[kOutCell + 0];
        c.out_g = state.put[kOutCell + 1];
        c.out_b = state.put[kOutCell + 2];
        if (planes > 3) c.out_a = state.put[kOutCell + 3];
    }
    StoreState();
}

// --- Rows computed ahead -------------------------------------------------------------
//
// On a machine with more than one core the pixels of a strip are computed by several
// passes at once, each on its own thread with tables, row cache and cells of its own,
// row by row into scratch rows a few ahead of the row being handed out. They count
// their abort checks but never ask anyone. The pass of the host's own thread (the one
// ProcessOutRect drives) then takes the rows in order, as the step-by-step code would
// finish them: it copies each row's pixels into the host's buffer, keeps the abort
// counter and, at the pixel where the counter reaches its limit, hands that pixel to
// the reference routine itself, so that the host is asked at the same check as ever and
// a host that says "stop" there gets the same pixels. It brings its cells up to date by
// computing again, per stretch of a row between such pixels, only the pixels whose
// cells are not written again later in the stretch: the last one of several copies, a
// later one of one copy, a later one outside the tile (each kind writes every cell the
// kinds after it in that list write). Pixels never depend on cells a pixel before them
// left, so every output byte, the cells, the context at the end and the count and order
// of the host's calls are those of the single pass.

const std::uint8_t* TilingPixelPass::Impl::SourceRow(i32 y) const noexcept {
    return in_data + static_cast<std::ptrdiff_t>(y - in_top) * in_row_bytes +
           static_cast<std::ptrdiff_t>(out_left - in_left) * planes;
}

const std::uint8_t* TilingPixelPass::Impl::MaskRow(i32 y) const noexcept {
    if (mask_data == nullptr) return nullptr;
    return mask_data + static_cast<std::ptrdiff_t>(y - mask_top) * mask_row_bytes + (out_left - mask_left);
}

void TilingPixelPass::Impl::Detach() noexcept {
    calls = &own_calls;
    calls_limit = UINT32_MAX;
}

// The abort checks of the row's pixels, summed from its first pixel: checks[i] for
// pixels 0..i. A masked pixel makes none.
void TilingPixelPass::Impl::RowChecks(const RowInfo& row, const std::uint8_t* mask,
                                      std::uint32_t* checks) const noexcept {
    const auto r = static_cast<std::uint32_t>(row.copies);
    const std::uint32_t inside_base = row.copies > 0 ? 4 * r + 5 : 4;
    const std::uint32_t inside_per_copy = 7 * r;
    const bool all_inside = fit || repeat;
    std::uint32_t sum = 0;
    for (i32 i = 0; i < out_right - out_left; ++i) {
        if (mask == nullptr || mask[i] != 0) {
            const Column& column = columns[static_cast<std::size_t>(i)];
            const bool inside = all_inside || (row.in_y && column.in_x);
            sum += inside ? inside_base + inside_per_copy * static_cast<std::uint32_t>(column.copies) : 7u;
        }
        checks[i] = sum;
    }
}

// Row y's pixels into `pixels` (a row of outRect's width), and its checks.
void TilingPixelPass::Impl::ComputeRow(i32 y, std::uint8_t* pixels, std::uint32_t* checks) noexcept {
    const std::uint8_t* mask = MaskRow(y);
    // Masked pixels keep what the host delivered.
    if (mask != nullptr) {
        std::memcpy(pixels, out_data + static_cast<std::ptrdiff_t>(y - out_top) * out_row_bytes,
                    static_cast<std::size_t>(out_right - out_left) * static_cast<std::size_t>(planes));
    }
    own_calls = 0;
    bool stop = false;
    Row(y, SourceRow(y), pixels, mask, &stop);
    // Without a mask the pass of the host's thread works the checks out itself.
    if (mask != nullptr) RowChecks(rows[static_cast<std::size_t>(y - out_top)], mask, checks);
}

void TilingPixelPass::Impl::PrepareCheckSums() {
    const auto count = static_cast<std::size_t>(out_right - out_left);
    sum_in_x.resize(count);
    sum_in_x_copies.resize(count);
    sum_copies.resize(count);
    std::uint32_t in_x = 0, in_x_copies = 0, copies = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const Column& column = columns[i];
        const auto c = static_cast<std::uint32_t>(column.copies);
        if (column.in_x) {
            ++in_x;
            in_x_copies += c;
        }
        copies += c;
        sum_in_x[i] = in_x;
        sum_in_x_copies[i] = in_x_copies;
        sum_copies[i] = copies;
    }
}

// RowChecks' checks[i] for a row without a mask, from the column sums: the same sum
// in the same 32-bit arithmetic.
std::uint32_t TilingPixelPass::Impl::CheckSum(const RowInfo& row, i32 i) const noexcept {
    const auto r = static_cast<std::uint32_t>(row.copies);
    const std::uint32_t inside_base = row.copies > 0 ? 4 * r + 5 : 4;
    const std::uint32_t inside_per_copy = 7 * r;
    const auto at = static_cast<std::size_t>(i);
    const std::uint32_t pixels = static_cast<std::uint32_t>(i) + 1;
    if (fit || repeat) return inside_base * pixels + inside_per_copy * sum_copies[at];
    if (!row.in_y) return 7u * pixels;
    return inside_base * sum_in_x[at] + inside_per_copy * sum_in_x_copies[at] + 7u * (pixels - sum_in_x[at]);
}

// FillCacheRow for the copies of a few columns only.
void TilingPixelPass::Impl::FillColumns(std::uint8_t* slot, i32 buffer_row, const i32* wanted, int count) noexcept {
    const std::uint8_t* row = in_data + static_cast<std::ptrdiff_t>(buffer_row) * in_row_bytes;
    const int channels = planes > 3 ? 4 : 3;
    const std::ptrdiff_t stride = channel_stride;
    for (int n = 0; n < count; ++n) {
        const Column& column = columns[static_cast<std::size_t>(wanted[n])];
        for (i32 k = 0; k < column.copies; ++k) {
            const Cell& cell = cells[static_cast<std::size_t>(column.first_cell + k)];
            const std::uint8_t* a = row + cell.left;
            const std::uint8_t* b = row + cell.right;
            std::uint8_t* out = slot + cell.sample_offset;
            if (cell.xf == 0) {
                for (int ch = 0; ch < channels; ++ch) out[ch * stride] = a[ch];
            } else {
                const auto rest = static_cast<std::uint32_t>(scale - cell.xf);
                const auto xf = static_cast<std::uint32_t>(cell.xf);
                for (int ch = 0; ch < channels; ++ch) {
                    out[ch * stride] = static_cast<std::uint8_t>(by_scale.DivideSmall(a[ch] * rest + b[ch] * xf));
                }
            }
        }
    }
}

// PrepareRow for the few pixels ReplayCells computes again. From the row cache (Fit)
// only their own columns' samples are made, each row of copies into two slots of its
// own: the pass of the host's thread uses its cache for nothing else.
void TilingPixelPass::Impl::PrepareReplay(const RowInfo& row, const i32* wanted, int count) noexcept {
    if (direct || !(row.may_be_in && row.copies > 0)) {
        if (row.may_be_in && row.copies > 0) PrepareRow(row);
        return;
    }
    const RowCopy* copies = &row_copies[static_cast<std::size_t>(row.first_copy)];
    const std::size_t row_bytes = CacheRowBytes();
    for (i32 j = 0; j < row.copies; ++j) {
        const RowCopy& copy = copies[j];
        std::uint8_t* top = cache.get() + row_bytes * static_cast<std::size_t>(2 * j);
        std::uint8_t* under = cache.get() + row_bytes * static_cast<std::size_t>(2 * j + 1);
        FillColumns(top, copy.top, wanted, count);
        if (copy.yf != 0) FillColumns(under, copy.under, wanted, count);
        sampling[j] = {top, copy.yf != 0 ? under : top, copy.yf != 0 ? StepTable(static_cast<int>(j), copy.yf) : nullptr};
    }
}

// The cells the pixels from..to-1 of a row leave, as the single pass would leave them
// after them: the last pixel of several copies computed again in full, then the last
// later pixel of one copy, then the last later pixel outside the tile.
void TilingPixelPass::Impl::ReplayCells(const RowInfo& row, i32 from, i32 to, const std::uint8_t* mask,
                                        std::uint8_t* dst) noexcept {
    const bool all_inside = fit || repeat;
    // Without pixels of several copies in the row, the scan ends at its last pixel of one.
    const bool several_possible = row.copies > 1 || any_several_columns;
    i32 several = -1, one = -1, outside = -1;
    for (i32 i = to - 1; i >= from; --i) {
        if (mask != nullptr && mask[i] == 0) continue;
        const Column& column = columns[static_cast<std::size_t>(i)];
        if (!(all_inside || (row.in_y && column.in_x))) {
            if (outside < 0 && one < 0) outside = i;
        } else if (row.copies == 1 && column.copies == 1) {
            if (one < 0) one = i;
            if (!several_possible) break;
        } else {
            several = i;
            break;
        }
    }
    if (several >= 0 || one >= 0) {
        const i32 wanted[2] = {several >= 0 ? several : one, one >= 0 ? one : several};
        PrepareReplay(row, wanted, wanted[0] == wanted[1] ? 1 : 2);
    }
    if (several >= 0) {
        pending = Pending::general;
        pending_row = &row;
        pending_column = several;
        pending_dst = dst + static_cast<std::ptrdiff_t>(several) * planes;
        Materialize();
    }
    if (one >= 0) {
        pending = Pending::simple;
        pending_row = &row;
        pending_column = one;
        Materialize();
    }
    if (outside >= 0) {
        pending = Pending::outside;
        Materialize();
    }
}

// Hands out row y from the pixels and checks a pass computed ahead; see above.
i32 TilingPixelPass::Impl::CommitRow(i32 y, const std::uint8_t* src, std::uint8_t* dst, const std::uint8_t* mask,
                                     const std::uint8_t* pixels, const std::uint32_t* checks) noexcept {
    const i32 width_px = out_right - out_left;
    const RowInfo& row = rows[static_cast<std::size_t>(y - out_top)];
    current_row = y;
    // The row's checks summed from its first pixel: worked out by the pass that
    // computed the row when there is a mask, else from the column sums.
    const auto sum = [&](i32 i) { return checks != nullptr ? checks[i] : CheckSum(row, i); };
    i32 from = 0;          // the first pixel of the stretch
    std::uint32_t before = 0;  // the row's checks before it
    i32 handed = -1;       // the last pixel handed to the reference routine
    i32 copied = 0;
    const auto copy_pixels = [&](i32 end) {
        if (end > copied) {
            std::memcpy(dst + static_cast<std::ptrdiff_t>(copied) * planes,
                        pixels + static_cast<std::ptrdiff_t>(copied) * planes,
                        static_cast<std::size_t>(end - copied) * static_cast<std::size_t>(planes));
        }
        copied = end;
    };
    for (;;) {
        // The first pixel of the stretch at which the counter passes its limit.
        // A counter already past its limit (a host's abortProc set it so) asks at the
        // next pixel that makes a check.
        const std::uint32_t room = *calls > calls_limit ? 0 : calls_limit - *calls;
        i32 lo = from, hi = width_px;
        while (lo < hi) {
            const i32 mid = lo + (hi - lo) / 2;
            if (sum(mid) - before > room) {
                hi = mid;
            } else {
                lo = mid + 1;
            }
        }
        const i32 crossing = lo;
        if (crossing == width_px) break;
        ReplayCells(row, from, crossing, mask, dst);
        *calls += (crossing > from ? sum(crossing - 1) : before) - before;
        copy_pixels(crossing);
        // As the single pass does it at this pixel.
        Materialize();
        StoreState();
        run_record.cur_src = const_cast<std::uint8_t*>(src + static_cast<std::ptrdiff_t>(crossing) * planes);
        run_record.cur_dst = dst + static_cast<std::ptrdiff_t>(crossing) * planes;
        run_record.cur_mask = mask != nullptr ? const_cast<std::uint8_t*>(mask + crossing) : nullptr;
        run_record.cur_x = out_left + crossing - origin_x;
        run_record.cur_y = y - origin_y;
        run_phase(kPhasePixel);
        LoadState();
        last_fast = false;
        any_processed = true;
        last_x = out_left + crossing;
        last_y = y;
        last_src = src + static_cast<std::ptrdiff_t>(crossing) * planes;
        last_dst = dst + static_cast<std::ptrdiff_t>(crossing) * planes;
        last_mask = mask != nullptr ? mask + crossing : nullptr;
        handed = crossing;
        copied = crossing + 1;
        before = sum(crossing);
        from = crossing + 1;
    }
    ReplayCells(row, from, width_px, mask, dst);
    *calls += (width_px > from ? sum(width_px - 1) : before) - before;
    copy_pixels(width_px);
    // The last pixel processed, unless the reference routine had it.
    i32 last = width_px - 1;
    while (last >= 0 && mask != nullptr && mask[last] == 0) --last;
    if (last >= 0 && last != handed) {
        any_processed = true;
        last_fast = true;
        last_x = out_left + last;
        last_y = y;
        last_src = src + static_cast<std::ptrdiff_t>(last) * planes;
        last_dst = dst + static_cast<std::ptrdiff_t>(last) * planes;
        last_mask = mask != nullptr ? mask + last : nullptr;
    }
    return width_px;
}

// The passes that compute rows ahead and the scratch rows between them and the pass of
// the host's thread. Rows go in blocks of a few (fewer, the wider the strip), so that a
// thread takes work and hands it over once per block rather than once per row; slot s
// holds the block whose index is s modulo the slot count. A block is taken only when
// its slot is free, so no thread runs more than a few rows ahead of the row handed out.
struct TilingPixelPass::Ahead {
    static constexpr int kSlotsPerThread = 2;
    static constexpr i32 kPixelsPerBlock = 16 * 1024;
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
    std::unique_ptr<WorkerThreads> workers;

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
        workers.reset();
    }
};

// --- The public face ----------------------------------------------------------------

std::uint32_t tiling_pixel_passes = 0;
std::uint32_t tiling_threaded_passes = 0;

TilingPixelPass::~TilingPixelPass() {
    if (ahead_ != nullptr) ahead_->Stop();
    delete ahead_;
    delete impl_;
}

bool TilingPixelPass::Begin() noexcept {
    const int word = EntryWordOf(kPhasePixel);
    if (entry_routine[word] != &filter_pixel || !EntryPresent(entry_address[word])) return false;
    impl_ = new (std::nothrow) Impl;
    if (impl_ == nullptr) return false;
    if (!impl_->Prepare()) {
        delete impl_;
        impl_ = nullptr;
        return false;
    }
    ++tiling_pixel_passes;
    StartAhead();
    return true;
}

void TilingPixelPass::StartAhead() noexcept {
    Impl& serial = *impl_;
    const i32 width_px = serial.out_right - serial.out_left;
    const i32 row_count = serial.out_bottom - serial.out_top;
    int threads = ConfiguredThreadCount();
    // Small strips are done sooner by one thread than threads can be started.
    if (!ThreadCountForced()) {
        const std::int64_t pixels = std::int64_t{width_px} * row_count;
        threads = static_cast<int>(std::min<std::int64_t>(threads, pixels / kMinPixelsPerThread));
    }
    // A preview keeps to one thread: its watchdog may stop it inside any pixel. So does
    // a pass whose pixels each write their cells (set-up values the shortcuts do not
    // take), whose cells could not be brought up to date by a few pixels.
    if (threads < 2 || row_count < 2 || preview_start != 0 || !serial.colour_only) return;
    try {
        impl_->PrepareCheckSums();
        auto ahead = std::make_unique<Ahead>();
        for (int k = 0; k < threads; ++k) {
            auto pass = std::make_unique<Impl>();
            if (!pass->Prepare()) return;
            pass->Detach();
            ahead->passes.push_back(std::move(pass));
        }
        ahead->Allocate(threads, width_px, row_count, serial.planes);
        Ahead* raw = ahead.get();
        ahead->workers = std::make_unique<WorkerThreads>(threads - 1, [raw](int pass) { raw->Work(pass); });
        ahead_ = ahead.release();
        ++tiling_threaded_passes;
    } catch (const std::exception&) {
        // No memory for the scratch rows or the threads: one thread does it all.
    }
}

std::int32_t TilingPixelPass::Row(std::int32_t y, const std::uint8_t* src, std::uint8_t* dst,
                                  const std::uint8_t* mask, bool* stop) noexcept {
    if (ahead_ == nullptr) return impl_->Row(y, src, dst, mask, stop);
    const i32 index = y - impl_->out_top;
    const auto [pixels, checks] = ahead_->WaitFor(index);
    const i32 visited = impl_->CommitRow(y, src, dst, mask, pixels, mask != nullptr ? checks : nullptr);
    ahead_->HandedOut(index);
    return visited;
}

void TilingPixelPass::End() noexcept {
    if (ahead_ != nullptr) {
        ahead_->Stop();
        delete ahead_;
        ahead_ = nullptr;
    }
    if (impl_ == nullptr) return;
    impl_->End();
    delete impl_;
    impl_ = nullptr;
}

}  // namespace tessellon
