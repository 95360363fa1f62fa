// Conversion of floating-point results to the compiled-code interface's integers, and
// the interface's value of pi. No Windows headers.
#pragma once

#include <cmath>
#include <cstdint>

namespace tessellon {

// The value of pi used throughout the built-ins; the filters were tuned with it.
constexpr double kPi = 3.1415926535;

// Truncates toward zero. A value outside the 32-bit range, infinite or not a number
// converts to -2147483648, as the x86 conversion instruction answers; written out here
// because the C++ conversion of such a value is undefined.
inline std::int32_t TruncToInt32(double value) noexcept {
    if (!(value > -2147483649.0 && value < 2147483648.0)) return INT32_MIN;
    return static_cast<std::int32_t>(value);
}

}  // namespace tessellon
