// Built-ins for angles in integer steps: the angle unit, directions, polar positions
// and scaled trigonometric functions. No Windows headers.
#include <cmath>

#include "runtime/builtins.h"
#include "runtime/float_convert.h"

namespace tessellon {
namespace {

// Steps per half turn and the size of one step in radians; process-wide, changed only
// by angle_unit and never reset by a run.
i32 steps_per_half_turn = 512;
double unit_radians = kPi / 512;

}  // namespace

i32 angle_unit(i32 n) noexcept {
    if (n > 0) {
        steps_per_half_turn = n;
        unit_radians = kPi / n;
    }
    return steps_per_half_turn;
}

// The offsets 256 and 512 are constants: a quarter and a half turn of the default unit.
i32 vec_angle(i32 x, i32 y) noexcept {
    if (x == 0) return y < 0 ? -256 : 256;
    const i32 t = TruncToInt32(std::atan(static_cast<double>(y) / x) / unit_radians);
    if (x > 0) return t;
    return y < 0 ? t - 512 : t + 512;
}

i32 cos_scaled(i32 a) noexcept { return TruncToInt32(512 * std::cos(a * unit_radians)); }

i32 sin_scaled(i32 a) noexcept { return TruncToInt32(512 * std::sin(a * unit_radians)); }

i32 tan_scaled(i32 a) noexcept { return TruncToInt32(512 * std::tan(a * unit_radians)); }

i32 polar_x(i32 angle, i32 r) noexcept { return TruncToInt32(r * std::cos(angle * unit_radians)); }

i32 polar_y(i32 angle, i32 r) noexcept { return TruncToInt32(r * std::sin(angle * unit_radians)); }

}  // namespace tessellon
