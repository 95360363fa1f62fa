// Signed 32-bit arithmetic with two's-complement wrap-around, as the compiled-code
// interface defines it, written without undefined behaviour: sums and products are
// formed in unsigned 32-bit and converted back. No Windows headers.
#pragma once

#include <cstdint>

namespace tessellon {

constexpr std::int32_t wrap32(std::uint32_t bits) noexcept { return static_cast<std::int32_t>(bits); }

constexpr std::int32_t wrap_add(std::int32_t a, std::int32_t b) noexcept {
    return wrap32(static_cast<std::uint32_t>(a) + static_cast<std::uint32_t>(b));
}

constexpr std::int32_t wrap_sub(std::int32_t a, std::int32_t b) noexcept {
    return wrap32(static_cast<std::uint32_t>(a) - static_cast<std::uint32_t>(b));
}

constexpr std::int32_t wrap_mul(std::int32_t a, std::int32_t b) noexcept {
    return wrap32(static_cast<std::uint32_t>(a) * static_cast<std::uint32_t>(b));
}

constexpr std::int32_t wrap_neg(std::int32_t a) noexcept {
    return wrap32(0u - static_cast<std::uint32_t>(a));
}

// Quotient truncated toward zero. The divisor must not be 0; the one quotient that does
// not fit, INT32_MIN / -1, wraps to INT32_MIN.
constexpr std::int32_t wrap_div(std::int32_t a, std::int32_t b) noexcept {
    return b == -1 ? wrap_neg(a) : a / b;
}

// Remainder with the sign of the dividend. The divisor must not be 0.
constexpr std::int32_t wrap_rem(std::int32_t a, std::int32_t b) noexcept {
    return b == -1 ? 0 : a % b;
}

// v brought into lo..hi: lo below lo, hi above hi.
constexpr std::int32_t clamp32(std::int32_t v, std::int32_t lo, std::int32_t hi) noexcept {
    return v < lo ? lo : v > hi ? hi : v;
}

// Quotient and remainder as the filter's own code forms them: a zero divisor gives 0
// instead of a fault.
constexpr std::int32_t div_or_zero(std::int32_t a, std::int32_t b) noexcept { return b == 0 ? 0 : wrap_div(a, b); }
constexpr std::int32_t rem_or_zero(std::int32_t a, std::int32_t b) noexcept { return b == 0 ? 0 : wrap_rem(a, b); }

}  // namespace tessellon
