// The exact multiply-shift forms the group kernel uses in place of divisions, checked
// over every input they are used for at the limits of the denominators they accept.
#include <gtest/gtest.h>

#include <cstdint>

#include "filter/pixel_lanes.h"

namespace tessellon::tiling_lanes {
namespace {

std::int64_t FloorDiv(std::int64_t a, std::int64_t b) { return a / b - ((a % b != 0) && ((a < 0) != (b < 0))); }

// floor(d * f / n) for every byte difference d and every fraction f / n: the
// interpolation steps along and across rows.
TEST(LaneArithmetic, StepMultipliersGiveExactFloors) {
    for (std::int32_t n : {1, 2, 3, 7, 255, 4000, 30001, kMaxDenominator}) {
        int wrong = 0;
        for (std::int32_t f = 0; f < n; ++f) {
            const std::int32_t up = MultiplierUp(f, n);
            const std::int32_t down = MultiplierDown(f, n);
            for (std::int32_t d = -255; d <= 255; ++d) {
                const std::int32_t got = (d * (d < 0 ? down : up)) >> kShift;
                if (got != FloorDiv(std::int64_t{d} * f, n)) ++wrong;
            }
        }
        EXPECT_EQ(wrong, 0) << "n = " << n;
    }
}

// trunc(d * w / full) for every byte difference and every weight: the blends.
TEST(LaneArithmetic, WeightMultipliersTruncateExactly) {
    for (std::int32_t full : {1, 2, 3, 255, 256, 3000, 30001, kMaxDenominator}) {
        int wrong = 0;
        for (std::int32_t w = 0; w <= full; ++w) {
            const std::int32_t m = WeightMultiplier(w, full);
            if ((m == kOne) != (w == full) || (m == 0) != (w == 0)) ++wrong;
            for (std::int32_t d = 0; d <= 255; ++d) {
                if (((d * m) >> kShift) != d * w / full) ++wrong;
            }
        }
        EXPECT_EQ(wrong, 0) << "full = " << full;
    }
}

// x / 255 as the blends compute it, and the background fade's float division.
TEST(LaneArithmetic, ByteDivisionsAreExact) {
    int wrong = 0;
    for (std::int32_t x = 0; x <= 255 * 255; ++x) {
        if (((x * 32897) >> 23) != x / 255) ++wrong;
    }
    for (std::int32_t band : {1, 3, 255, 765, kMaxBackgroundBand}) {
        for (std::int32_t alpha = 0; alpha <= 255; ++alpha) {
            for (std::int32_t e = 0; e <= band; e += band > 765 ? 97 : 1) {
                const float q = static_cast<float>(alpha * e) / static_cast<float>(band);
                if (static_cast<std::int32_t>(q) != alpha * e / band) ++wrong;
            }
        }
    }
    EXPECT_EQ(wrong, 0);
}

// Every x86 build (the native one and both Windows modules) carries the SSE4.1 and AVX2
// kernels and takes the widest the processor runs.
TEST(LaneKernels, TheBestChoiceIsTheWidestTheProcessorRuns) {
#if defined(__i386__) || defined(__x86_64__)
    __builtin_cpu_init();
    const char* expected = __builtin_cpu_supports("avx2")     ? "avx2"
                           : __builtin_cpu_supports("sse4.1") ? "sse4.1"
                                                              : "portable";
    EXPECT_STREQ(UseKernels(KernelChoice::best), expected);
#else
    EXPECT_STREQ(UseKernels(KernelChoice::best), "portable");
#endif
    EXPECT_STREQ(UseKernels(KernelChoice::portable), "portable");
    UseKernels(KernelChoice::best);
}

}  // namespace
}  // namespace tessellon::tiling_lanes
