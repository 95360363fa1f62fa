// The tiling filter's specialised pixel pass, inside: the vocabulary its files share
// (its limits, a block of plain values, a blend band, the position of one column or
// row on its axis, a copy of a column, a row of copies, what a row's samples read).
// The pass is split by ownership:
//   pixel_tables   StripTables: everything that is a pure function of the set-up's
//                  values and the strip, built once per strip, read-only afterwards;
//   pixel_groups   LaneTables: the strip's tables for groups of pixels in the lane
//                  kernels, part of StripTables;
//   pixel_checks   the abort checks a pixel makes and AbortCounter, the counter one
//                  cursor counts them in;
//   row_cache      RowCache: one thread's rows of horizontal steps (Fit) and the
//                  sampling of its current row;
//   context_mirror ContextMirror: one thread's mirror of the cells the pixel code
//                  writes and the pixel whose cells are still pending;
//   pixel_fast     the colour of a pixel inside the tile (pixel_colour.h);
//   pixel_cursor   PixelCursor: one thread's walk over rows, owning the above;
//   pixel_ahead    TilingPixelPass::Ahead: rows computed ahead on other threads;
//   pixel_pass     the public face, TilingPixelPass.
// Private to filter/. No Windows headers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "filter/pixel_fast.h"
#include "filter/variables.h"
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

// What one coordinate of outRect gives along one axis, the same for a column (x, with
// the vertical seam band) and a row (y, with the horizontal one): whether it lies in
// the tile, its tile position and own source position, the profile around it, the seam
// band shifted by the profile, its copies up to the image's end and where they lie in
// the strip's tables. A position outside the tile keeps zeros.
struct AxisPosition {
    i32 tile_p, src0;                     // tile_px, src_x0 (or tile_py, src_y0)
    i32 prof_here, prof_prev, prof_next;  // the profile around tile_p
    i32 seam_lo, seam_hi;                 // seam_y_lo/hi of a column, seam_x_lo/hi of a row
    Band band;                            // the band the seam gives
    float lane_ratio;                     // LaneRatio of the band, for the lane kernels
    i32 copy_end;  // the copy position that ends the loop of copies, left in its cell
    i32 first;     // the first of its copies: a Cell of a column, a RowCopy of a row
    i32 copies;
    bool in_tile;    // tile_x0 <= pos < tile_x1 (or the y ones)
    bool may_be_in;  // Fit, Repeat or in_tile: the line has pixels inside the tile
};
using Column = AxisPosition;
using RowInfo = AxisPosition;

// One copy of a column: its sub-pixel x and where its samples come from.
struct Cell {
    i32 copy_x;
    i32 sample_offset;      // into a source row (whole pixels) or a cache row (Fit)
    i32 left, right;        // byte offsets of the two source columns within a row
    i32 xf;                 // copy_x % scale
};

// One row of copies of a row.
struct RowCopy {
    i32 copy_y;
    i32 yf;          // copy_y % scale
    i32 top, under;  // buffer rows (relative to inRect.top) of the sample and of the row below
};

// What the samples of the current output row's copy rows read: the top row and the row
// below (for a fractional y) and the table of the vertical step.
struct RowSampling {
    const std::uint8_t* top;
    const std::uint8_t* under;
    const std::int16_t* step;  // null when yf is 0
};

}  // namespace tiling_pass

using namespace tiling_pass;

}  // namespace tessellon
