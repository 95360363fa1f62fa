// The tiling filter's pixel colour for a group of neighbouring pixels of one row at
// once, one pixel per vector lane. It computes what the specialised pass computes for
// one pixel of several copies (every copy sampled, made transparent near the background
// colour, blended along its row of copies and then across the rows), with the same
// integer results, in 32-bit lanes (four or eight to a vector, by instruction set). The divisions of the scalar code become exact
// multiplications:
//  - floor(d * f / n) for a difference d of two bytes and a fraction f / n with
//    n <= kMaxDenominator is (d * m) >> kShift, where m is f * 2^kShift / n rounded
//    up for d >= 0 and down for d < 0 (the product's error stays below 1 / n, less
//    than the distance of a non-whole quotient to the next whole number);
//  - truncating mixes trunc(d * w / full) use the same multiplier, a negative
//    product rounded up instead of down;
//  - x / 255 for 0 <= x <= 65025 is (x * 32897) >> 23;
//  - the background fade's one remaining division is a correctly rounded float
//    division of integers below 2^24, whose truncation is exact.
// No Windows headers.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tessellon::tiling_lanes {

constexpr int kLanes = 8;
constexpr int kShift = 23;
constexpr std::int32_t kOne = std::int32_t{1} << kShift;
// Largest denominator (weight_full, scale) for which the multipliers are exact.
constexpr std::int32_t kMaxDenominator = 32767;
// Largest background band (bg_hi - bg_lo) for which the float division is exact.
constexpr std::int32_t kMaxBackgroundBand = 65535;
// Bands no wider than this keep the weights' remainders within 32 bits.
constexpr std::int32_t kMaxSpan = (std::int32_t{1} << 30) - 1;
// Copies per row and rows of copies a group handles.
constexpr int kMaxCopies = 32;

// The multiplier of floor(d * f / n) (or of trunc for d >= 0) for 0 <= f <= n.
constexpr std::int32_t MultiplierUp(std::int32_t f, std::int32_t n) noexcept {
    return static_cast<std::int32_t>(((static_cast<std::int64_t>(f) << kShift) + n - 1) / n);
}
constexpr std::int32_t MultiplierDown(std::int32_t f, std::int32_t n) noexcept {
    return static_cast<std::int32_t>((static_cast<std::int64_t>(f) << kShift) / n);
}

// The multiplier the kernel uses for a copy's weight w (0 <= w <= full): any m with
// x <= m < x + 2^23 / (255 * full), x = w * 2^23 / full, makes (|d| * m) >> kShift equal
// to trunc(|d| * w / full) for |d| <= 255, and that interval is longer than 1 for
// full <= kMaxDenominator. w times the rounded 2^23 / full is within 2^-29 of x, so its
// truncation plus one lies in it; the ends take 0 and kOne, which are x there. The
// kernel computes this lane by lane.
inline std::int32_t WeightMultiplier(std::int32_t w, std::int32_t full) noexcept {
    if (w == 0) return 0;
    if (w == full) return kOne;
    return static_cast<std::int32_t>(static_cast<double>(w) * (static_cast<double>(kOne) / full)) + 1;
}

// Constant through a pass.
struct PassConstants {
    bool alpha_sampled;  // the copy alpha comes from the fourth plane, else it is 255
    bool thru_bg;        // copies near the background colour fade out
    std::int32_t back_r, back_g, back_b;
    std::int32_t bg_lo, bg_hi;  // 0 <= bg_lo <= bg_hi, bg_hi - bg_lo <= kMaxBackgroundBand
    int planes;                 // bytes per output pixel; the fourth is written when > 3
    // Weights run from `before` to `after` across a band, both within 0..weight_full,
    // weight_full within 1..kMaxDenominator.
    std::int32_t weight_full;
    std::int32_t x_before, x_after, y_before, y_after;
};

// One row of copies of the output row: the planar cache rows holding the horizontal
// steps of its source row and of the row below (or the source rows themselves), the vertical step's multipliers (step
// false when the copy lies on a whole row), and the copies' y position.
struct CopyRow {
    const std::uint8_t* top;
    const std::uint8_t* under;
    std::int32_t up, down;
    bool step;
    std::int32_t copy_y;
};

// A group of kLanes neighbouring pixels from column `column` of the cache rows on, all
// inside the tile, all with copy_rows rows of copies. Channel ch of copy k lies at
// (k * 4 + ch) * plane_stride from a cache row's start. Per lane (each array at the
// group's first column): the copy count of its column, copy k's x position at
// x_position[k * position_stride], and its column's vertical band. A band's ratio is
// |after - before| / (hi - lo) for an open band (lo < hi), 0 for a closed one. When
// `offsets` is given, the copies lie on whole pixels and the rows are source rows
// instead: copy k of a lane is the pixel at byte offsets[k * position_stride], of which
// four bytes are read.
struct Group {
    const CopyRow* rows;
    int copy_rows;
    int copies;  // the largest copy count among the lanes
    std::ptrdiff_t column;
    std::ptrdiff_t plane_stride;
    std::int32_t x_lo, x_hi;  // the row's horizontal band
    float x_ratio;
    const std::int32_t* column_copies;
    const std::int32_t* x_position;
    std::ptrdiff_t position_stride;
    const std::int32_t* y_lo;
    const std::int32_t* y_hi;
    const float* y_ratio;
    const std::int32_t* offsets;
};

// The horizontal steps of one source row for every copy column, into a planar cache
// row: (a * (n - xf) + b * xf) / n for the channels a and b of the two source pixels
// around a copy, which is a + floor((b - a) * xf / n). Per cell (copy k of column i at
// k * columns + i): the byte offsets of the two pixels within a source row and the
// multipliers of xf / n (0 for a cell no column has). Channel ch of the cell goes to
// (k * 4 + ch) * columns + i; the fourth plane only when channels is 4. Bytes from
// `readable` on are never read.
struct CacheFill {
    const std::int32_t* left;
    const std::int32_t* right;
    const std::int32_t* up;
    const std::int32_t* down;
    int copies;
    std::ptrdiff_t columns;
    int channels;
    std::int32_t readable;
};

void FillCacheRow(const CacheFill& fill, const std::uint8_t* source, std::uint8_t* slot) noexcept;

// Which compiled kernels GroupColours and FillCacheRow use: the best the processor runs
// (the default), the SSE4.1 ones, or the portable ones, so that tests can run each; a
// choice the processor or the build does not have falls to the next one down. Returns
// the name of the kernels now in use.
enum class KernelChoice { best, sse41, portable };
const char* UseKernels(KernelChoice choice) noexcept;

// Writes the group's pixels: channels 0..2 (and 3 when planes > 3) of lane l at
// dst + l * planes.
void GroupColours(const PassConstants& constants, const Group& group, std::uint8_t* dst) noexcept;

}  // namespace tessellon::tiling_lanes
