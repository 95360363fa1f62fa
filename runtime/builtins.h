// The 53 built-in functions that the filter's compiled code calls through the built-in
// table, by slot. Arguments are in push order (first argument pushed first); every
// argument and result is a signed 32-bit integer. A built-in never stops a run: a
// refusal sets the context's `status` (1 out of range, 2 division or domain) and returns
// a neutral value. No Windows headers.
#pragma once

#include <cstdint>

namespace tessellon {

using i32 = std::int32_t;

// Arithmetic and mathematics.
i32 absval(i32 a) noexcept;                                  // slot 0
i32 plus_cap(i32 a, i32 b, i32 cap) noexcept;                // slot 1
i32 vec_angle(i32 x, i32 y) noexcept;                        // slot 2
i32 vec_length(i32 x, i32 y) noexcept;                       // slot 3
i32 cos_scaled(i32 a) noexcept;                              // slot 8
i32 absdiff(i32 a, i32 b) noexcept;                          // slot 9
i32 max_of(i32 a, i32 b) noexcept;                           // slot 12
i32 min_of(i32 a, i32 b) noexcept;                           // slot 13
i32 blend(i32 a, i32 b, i32 k, i32 n) noexcept;              // slot 14
i32 random_range(i32 lo, i32 hi) noexcept;                   // slot 17
i32 polar_x(i32 angle, i32 r) noexcept;                      // slot 18
i32 polar_y(i32 angle, i32 r) noexcept;                      // slot 19
i32 rescale(i32 v, i32 a, i32 b, i32 c, i32 d) noexcept;     // slot 20
i32 sin_scaled(i32 a) noexcept;                              // slot 21
i32 isqrt(i32 a) noexcept;                                   // slot 22
i32 minus_floor(i32 a, i32 b, i32 floor) noexcept;           // slot 24
i32 tan_scaled(i32 a) noexcept;                              // slot 25
i32 set_hls(i32 h, i32 l, i32 s) noexcept;                   // slot 27
i32 rgb_hue(i32 r, i32 g, i32 b) noexcept;                   // slot 28
i32 rgb_lightness(i32 r, i32 g, i32 b) noexcept;             // slot 29
i32 rgb_saturation(i32 r, i32 g, i32 b) noexcept;            // slot 30
i32 random_seed(i32 s) noexcept;                             // slot 41
i32 pow_frac(i32 a, i32 b, i32 c) noexcept;                  // slot 44
i32 angle_unit(i32 n) noexcept;                              // slot 45
i32 math_fn(i32 f, i32 a, i32 b, i32 s) noexcept;            // slot 46
i32 pow_scaled(i32 a, i32 b, i32 c, i32 d) noexcept;         // slot 49
i32 no_op(i32 a, i32 b) noexcept;                            // slot 51
i32 abort_check() noexcept;                                  // slot 52

// Pixel access, controls and memory.
i32 conv3_r(i32 w1, i32 w2, i32 w3, i32 w4, i32 w5, i32 w6, i32 w7, i32 w8, i32 w9, i32 d) noexcept;  // 4
i32 conv3_g(i32 w1, i32 w2, i32 w3, i32 w4, i32 w5, i32 w6, i32 w7, i32 w8, i32 w9, i32 d) noexcept;  // 5
i32 conv3_b(i32 w1, i32 w2, i32 w3, i32 w4, i32 w5, i32 w6, i32 w7, i32 w8, i32 w9, i32 d) noexcept;  // 6
i32 slider(i32 i) noexcept;                                  // slot 7
i32 put_read(i32 i) noexcept;                                // slot 10
i32 slider_ramp(i32 k, i32 v) noexcept;                      // slot 11
i32 put_write(i32 v, i32 i) noexcept;                        // slot 15
i32 src_polar(i32 angle, i32 r, i32 z) noexcept;             // slot 16
i32 src(i32 x, i32 y, i32 z) noexcept;                       // slot 23
i32 slider_map(i32 i, i32 lo, i32 hi) noexcept;              // slot 26
i32 dr(i32 dx, i32 dy) noexcept;                             // slot 31
i32 dg(i32 dx, i32 dy) noexcept;                             // slot 32
i32 db(i32 dx, i32 dy) noexcept;                             // slot 33
i32 dalpha(i32 dx, i32 dy) noexcept;                         // slot 34
i32 dchan(i32 dx, i32 dy, i32 z) noexcept;                   // slot 35
i32 src_here(i32 z) noexcept;                                // slot 36
i32 set_out(i32 z, i32 v) noexcept;                          // slot 37
i32 put_gamma(i32 g, i32 start, i32 n) noexcept;             // slot 38
i32 put_sort(i32 start, i32 n) noexcept;                     // slot 39
i32 src_interp(i32 x, i32 y, i32 n, i32 z) noexcept;         // slot 40
i32 color_part(i32 k, i32 c) noexcept;                       // slot 42
i32 check_box(i32 k) noexcept;                               // slot 43
i32 selector(i32 ignored) noexcept;                          // slot 47
i32 pick_point(i32 k, i32 c) noexcept;                       // slot 48
i32 grid_array(i32 op, i32 x, i32 y, i32 z, i32 v) noexcept; // slot 50

// Shared state of the built-ins, process-wide.

// The random generator: state 1 at load; seeded with the calendar time at every run.
void SeedRandom(std::uint32_t seed) noexcept;
i32 NextRandom() noexcept;  // 0..32767

// The abort check's state, process-wide: abort_check and abort_ask write it; the pixel
// pass sets the answer ahead and advances the counter as the routines it stands in for
// would; tests read and reset it.
struct AbortCheckState {
    // Calls of abort_check since the last expensive test (0 at load, never reset by runs).
    std::uint32_t calls = 0;
    // An answer asked ahead of time (see abort_ask), or -1 when there is none.
    i32 answer_ahead = -1;
};
inline AbortCheckState& AbortState() noexcept {
    constinit static AbortCheckState state;
    return state;
}
// The expensive test itself, which abort_check makes on the call that takes the counter
// past its limit: sets the counter to 0 and asks the host (or the preview's watchdog).
// A code path that asks ahead of the routine that would have asked (the pixel pass,
// before it computes a pixel itself) and then runs that routine after all sets
// AbortState().answer_ahead to the answer: the next expensive test returns it instead of
// asking again, and sets it back to -1.
i32 abort_ask() noexcept;

// The grid array's extents and element size, for tests.
struct GridArrayShape {
    bool allocated;
    i32 x, y, z, element_size;
};
GridArrayShape grid_array_shape() noexcept;

// The watchdog's clock: milliseconds of the current UTC day, and the time from start to
// now across midnight.
i32 MsOfDay() noexcept;
i32 ElapsedMs(i32 start, i32 now) noexcept;

// Sampling of the source by image position and of the mask (no zoom step), and the
// weighted 3x3 sum around the current pixel.
const std::uint8_t* sample_at(i32 x, i32 y) noexcept;
const std::uint8_t* sample_near(i32 dx, i32 dy) noexcept;
i32 mask_at(i32 x, i32 y) noexcept;
i32 sum3x3(const i32 (&weights)[9], i32 plane) noexcept;

}  // namespace tessellon
