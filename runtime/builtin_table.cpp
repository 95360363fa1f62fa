// The built-in table: the 53 code addresses that compiled code calls by slot number.
// The slot order is part of the compiled-code interface and never changes. No Windows
// headers.
#include "runtime/builtins.h"
#include "runtime/context.h"

namespace tessellon {
namespace {

template <typename Function>
constexpr BuiltinAddress Address(Function* function) noexcept {
    return reinterpret_cast<BuiltinAddress>(function);
}

}  // namespace

const BuiltinTable builtin_table{{
    Address(&absval),         // 0
    Address(&plus_cap),       // 1
    Address(&vec_angle),      // 2
    Address(&vec_length),     // 3
    Address(&conv3_r),        // 4
    Address(&conv3_g),        // 5
    Address(&conv3_b),        // 6
    Address(&slider),         // 7
    Address(&cos_scaled),     // 8
    Address(&absdiff),        // 9
    Address(&put_read),       // 10
    Address(&slider_ramp),    // 11
    Address(&max_of),         // 12
    Address(&min_of),         // 13
    Address(&blend),          // 14
    Address(&put_write),      // 15
    Address(&src_polar),      // 16
    Address(&random_range),   // 17
    Address(&polar_x),        // 18
    Address(&polar_y),        // 19
    Address(&rescale),        // 20
    Address(&sin_scaled),     // 21
    Address(&isqrt),          // 22
    Address(&src),            // 23
    Address(&minus_floor),    // 24
    Address(&tan_scaled),     // 25
    Address(&slider_map),     // 26
    Address(&set_hls),        // 27
    Address(&rgb_hue),        // 28
    Address(&rgb_lightness),  // 29
    Address(&rgb_saturation), // 30
    Address(&dr),             // 31
    Address(&dg),             // 32
    Address(&db),             // 33
    Address(&dalpha),         // 34
    Address(&dchan),          // 35
    Address(&src_here),       // 36
    Address(&set_out),        // 37
    Address(&put_gamma),      // 38
    Address(&put_sort),       // 39
    Address(&src_interp),     // 40
    Address(&random_seed),    // 41
    Address(&color_part),     // 42
    Address(&check_box),      // 43
    Address(&pow_frac),       // 44
    Address(&angle_unit),     // 45
    Address(&math_fn),        // 46
    Address(&selector),       // 47
    Address(&pick_point),     // 48
    Address(&pow_scaled),     // 49
    Address(&grid_array),     // 50
    Address(&no_op),          // 51
    Address(&abort_check),    // 52
}};

}  // namespace tessellon
