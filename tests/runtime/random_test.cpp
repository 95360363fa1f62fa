// The random built-ins: the ISO C sample generator behind random_seed and random_range,
// its repeatability after seeding, and random_range's product taken modulo 2^32 and
// divided as an unsigned number (which reaches hi + 1 and folds wide ranges).
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <ostream>
#include <string>

#include "runtime/builtins.h"
#include "runtime/context.h"
#include "runtime/runtime_state.h"

namespace tessellon {
namespace {

using testing::RowName;
constexpr i32 kKept = testing::kUntouched;  // `status` before each call; still there when untouched

class RandomBuiltin : public ::testing::Test {
protected:
    void SetUp() override { Execution().context.status = kKept; }
    void TearDown() override { Execution().context.status = 0; }
};

// random_range(0, 32766) multiplies by 32767 and divides by it again: the raw values.
TEST_F(RandomBuiltin, SeedOneGivesTheIsoSampleSequence) {
    EXPECT_EQ(random_seed(1), 0);
    const i32 expected[] = {16838, 5758, 10113, 17515, 31051, 5627, 23010, 7419};
    for (const i32 value : expected) EXPECT_EQ(random_range(0, 32766), value);
    EXPECT_EQ(Execution().context.status, kKept);
}

// The dialog's jitter draws from the same generator as the built-ins.
TEST_F(RandomBuiltin, BuiltinsAndJitterShareOneGenerator) {
    random_seed(1);
    EXPECT_EQ(NextRandom(), 16838);
    EXPECT_EQ(random_range(0, 32766), 5758);
    SeedRandom(1);
    EXPECT_EQ(random_range(0, 32766), 16838);
}

TEST_F(RandomBuiltin, ReseedingRepeatsTheSequence) {
    std::array<i32, 50> first{};
    random_seed(-123456);
    for (i32& value : first) value = random_range(-1000, 1000);
    random_seed(-123456);
    for (std::size_t i = 0; i < first.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(random_range(-1000, 1000), first[i]);
    }
    EXPECT_EQ(Execution().context.status, kKept);
}

TEST_F(RandomBuiltin, CanReturnOneAboveHi) {
    // Find a seed whose first value is the generator's largest, 32767.
    std::uint32_t seed = 0;
    for (;; ++seed) {
        ASSERT_LT(seed, 1u << 20);
        SeedRandom(seed);
        if (NextRandom() == 32767) break;
    }
    random_seed(static_cast<i32>(seed));
    EXPECT_EQ(random_range(10, 20), 21);
    random_seed(static_cast<i32>(seed));
    EXPECT_EQ(random_range(-5, -5), -4);
}

struct RangeCase {
    const char* name;
    i32 seed, lo, hi;
    std::array<i32, 4> expected;  // the first four results after the seed
    i32 status;
};

void PrintTo(const RangeCase& c, std::ostream* os) {
    *os << "seed " << c.seed << ", random_range(" << c.lo << ", " << c.hi << ") -> " << c.expected[0] << ", "
        << c.expected[1] << ", " << c.expected[2] << ", " << c.expected[3] << ", status " << c.status;
}

class RandomBuiltinRange : public ::testing::TestWithParam<RangeCase> {
protected:
    void TearDown() override { Execution().context.status = 0; }
};

TEST_P(RandomBuiltinRange, FirstValuesAfterSeed) {
    const RangeCase& c = GetParam();
    Execution().context.status = kKept;
    random_seed(c.seed);
    std::array<i32, 4> values{};
    for (i32& value : values) value = random_range(c.lo, c.hi);
    EXPECT_EQ(values, c.expected);
    EXPECT_EQ(Execution().context.status, c.status);
}

// Generator values after seed 1: 16838, 5758, 10113, 17515; after seed 2: 908, 22817,
// 10239, 12914.
const RangeCase kRangeCases[] = {
    {"percent", 1, 0, 100, {51, 17, 31, 53}, kKept},
    {"die", 5, 1, 6, {4, 2, 2, 6}, kKept},
    // 2,000,001 * r exceeds 2^32 and wraps before the division.
    {"two_million_wide_wraps", 1, -1000000, 1000000, {-889791, -910701, -907037, -979545}, kKept},
    // The span 2^31 keeps only the generator's lowest bit: 0 or 2^31 / 32767.
    {"half_range_keeps_lowest_bit", 2, 0, INT32_MAX, {0, 65538, 65538, 0}, kKept},
    // The span 2^32 wraps to 0.
    {"full_range_always_lo", 99, INT32_MIN, INT32_MAX, {INT32_MIN, INT32_MIN, INT32_MIN, INT32_MIN}, kKept},
    // hi < lo: the span -9 counts as 2^32 - 9.
    {"reversed_bounds", 7, 10, 0, {131080, 131083, 131083, 131079}, kKept},
};
INSTANTIATE_TEST_SUITE_P(Table, RandomBuiltinRange, ::testing::ValuesIn(kRangeCases),
                         RowName<RangeCase>);

}  // namespace
}  // namespace tessellon
