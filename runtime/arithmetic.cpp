// Built-ins for integer arithmetic, roots, powers and the table of functions of a
// quotient. Sums, differences and products wrap modulo 2^32; quotients truncate toward
// zero; floating-point results are truncated toward zero. No Windows headers.
#include <algorithm>
#include <cmath>

#include "runtime/builtins.h"
#include "runtime/context.h"
#include "runtime/float_convert.h"
#include "runtime/wrap32.h"

namespace tessellon {
namespace {

i32 Refuse(i32 status) noexcept {
    Execution().context.status = status;
    return 0;
}

}  // namespace

i32 absval(i32 a) noexcept { return a < 0 ? wrap_neg(a) : a; }

i32 plus_cap(i32 a, i32 b, i32 cap) noexcept {
    const i32 sum = wrap_add(a, b);
    return sum < cap ? sum : cap;
}

i32 minus_floor(i32 a, i32 b, i32 floor) noexcept {
    const i32 difference = wrap_sub(a, b);
    return difference > floor ? difference : floor;
}

i32 absdiff(i32 a, i32 b) noexcept { return absval(wrap_sub(a, b)); }

i32 max_of(i32 a, i32 b) noexcept { return a > b ? a : b; }

i32 min_of(i32 a, i32 b) noexcept { return a < b ? a : b; }

i32 no_op(i32, i32) noexcept { return 0; }

i32 blend(i32 a, i32 b, i32 k, i32 n) noexcept {
    if (n == 0) return Refuse(kStatusDomain);
    return wrap_div(wrap_add(wrap_mul(a, k), wrap_mul(b, wrap_sub(n, k))), n);
}

i32 vec_length(i32 x, i32 y) noexcept {
    const i32 sum = wrap_add(wrap_mul(x, x), wrap_mul(y, y));
    if (sum < 1) return Refuse(kStatusDomain);
    return TruncToInt32(std::sqrt(static_cast<double>(sum)));
}

i32 isqrt(i32 a) noexcept {
    if (a < 1) return Refuse(kStatusDomain);
    return TruncToInt32(std::sqrt(static_cast<double>(a)));
}

i32 rescale(i32 v, i32 a, i32 b, i32 c, i32 d) noexcept {
    if (a == c && b == d) return v;
    if (v < a) return c;
    if (v > b) return d;
    if (a == b) return a;
    const i32 span_in = wrap_sub(b, a);
    const i32 span_out = wrap_sub(d, c);
    const i32 offset = wrap_sub(v, a);
    i32 quotient;
    if (offset < 32768 && span_out < 32768) {
        // Small operands: the product fits the integer path (and wraps where it does not).
        quotient = wrap_div(wrap_mul(span_out, offset), span_in);
    } else {
        quotient = TruncToInt32(static_cast<double>(span_out) * offset / span_in);
    }
    return wrap_add(c, quotient);
}

// 0^negative is a pole (an infinite power) and converts as every out-of-range value
// does, to -2147483648; 0^0 is 1, as the power function defines it.
i32 pow_frac(i32 a, i32 b, i32 c) noexcept {
    if (a < 0 || c == 0) return Refuse(kStatusDomain);
    return TruncToInt32(std::pow(static_cast<double>(a), static_cast<double>(b) / c));
}

i32 pow_scaled(i32 a, i32 b, i32 c, i32 d) noexcept {
    if (b == 0 || d == 0) return -1;
    const double t = static_cast<double>(a) / b;
    if (t < 0) return -1;
    return TruncToInt32(b * std::pow(t, static_cast<double>(c) / d));
}

i32 math_fn(i32 f, i32 a, i32 b, i32 s) noexcept {
    if (b == 0) return Refuse(kStatusDomain);
    const double t = static_cast<double>(a) / b;
    double value = 0;
    switch (f) {
        case 0: value = std::sin(t * kPi); break;
        case 1: value = std::cos(t * kPi); break;
        case 2: value = std::tan(t * kPi); break;
        case 3:
            if (t < -1 || t > 1) return Refuse(kStatusDomain);
            value = std::asin(t) / kPi;
            break;
        case 4:
            if (t < -1 || t > 1) return Refuse(kStatusDomain);
            value = std::acos(t) / kPi;
            break;
        case 5: value = std::atan(t) / kPi; break;
        case 6:
            if (t < 0) return Refuse(kStatusDomain);
            value = std::sqrt(t);
            break;
        case 7:
            if (t < -1 || t > 1) return Refuse(kStatusDomain);
            value = std::sqrt(1 - t * t);
            break;
        case 8:
            if (t <= 0) return Refuse(kStatusDomain);
            value = std::log(t);
            break;
        case 9:
            if (t <= 0) return Refuse(kStatusDomain);
            value = std::log2(t);
            break;
        default: return Refuse(kStatusRange);
    }
    return TruncToInt32(s * value);
}

}  // namespace tessellon
