// The arithmetic and mathematical built-ins, as tables of calls: each row names the
// built-in, its arguments, the result and what `status` holds afterwards. `status` is
// set to a sentinel before every call, so a row that expects the sentinel proves the
// built-in left it alone. Floating-point rows run in every build, so the native and the
// 32-bit Windows builds are held to the same integers.
#include <gtest/gtest.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <ostream>
#include <string>
#include <utility>

#include "runtime/builtins.h"
#include "runtime/context.h"

namespace tessellon {
namespace {

constexpr i32 kMin = INT32_MIN;
constexpr i32 kMax = INT32_MAX;
constexpr i32 kKept = 77;  // `status` before each call; still there when untouched
constexpr i32 kRange = kStatusRange;
constexpr i32 kDomain = kStatusDomain;

using Args = std::array<i32, 5>;

// A built-in with its name and arity, callable with the leading arguments of an Args.
struct Builtin {
    const char* name;
    std::size_t arity;
    i32 (*call)(const Args&);
};

template <typename F>
struct Arity;
template <typename... P>
struct Arity<i32 (*)(P...) noexcept> {
    static constexpr std::size_t value = sizeof...(P);
};

template <auto Fn, std::size_t... I>
i32 Apply(const Args& args, std::index_sequence<I...>) {
    return Fn(args[I]...);
}

template <auto Fn>
Builtin Bind(const char* name) {
    constexpr std::size_t arity = Arity<decltype(Fn)>::value;
    return {name, arity, [](const Args& args) { return Apply<Fn>(args, std::make_index_sequence<arity>{}); }};
}

#define BUILTIN(fn) Bind<&fn>(#fn)

struct BuiltinCase {
    const char* name;
    Builtin fn;
    Args args;
    i32 expected;
    i32 status;  // kKept: the built-in must not touch `status`
};

void PrintTo(const BuiltinCase& c, std::ostream* os) {
    *os << c.fn.name << "(";
    for (std::size_t i = 0; i < c.fn.arity; ++i) *os << (i ? ", " : "") << c.args[i];
    *os << ") -> " << c.expected << ", status " << c.status;
}

std::string CaseName(const ::testing::TestParamInfo<BuiltinCase>& info) { return info.param.name; }

// Calls one row's built-in with `status` at the sentinel and checks result and status.
void ExpectCase(const BuiltinCase& c) {
    Execution().context.status = kKept;
    EXPECT_EQ(c.fn.call(c.args), c.expected);
    EXPECT_EQ(Execution().context.status, c.status);
}

class ArithBuiltin : public ::testing::TestWithParam<BuiltinCase> {
protected:
    // The trigonometric rows are written for the default unit of 1024 steps per turn.
    void SetUp() override { ASSERT_EQ(angle_unit(0), 512); }
    void TearDown() override { Execution().context.status = 0; }
};

TEST_P(ArithBuiltin, ResultAndStatus) { ExpectCase(GetParam()); }

const BuiltinCase kIntegerCases[] = {
    {"absval_negative", BUILTIN(absval), {-5}, 5, kKept},
    {"absval_zero", BUILTIN(absval), {0}, 0, kKept},
    {"absval_of_minus_max", BUILTIN(absval), {-kMax}, kMax, kKept},
    {"absval_of_min_stays_min", BUILTIN(absval), {kMin}, kMin, kKept},

    {"plus_cap_below_cap", BUILTIN(plus_cap), {3, 4, 10}, 7, kKept},
    {"plus_cap_at_cap", BUILTIN(plus_cap), {3, 7, 10}, 10, kKept},
    {"plus_cap_above_cap", BUILTIN(plus_cap), {3, 8, 10}, 10, kKept},
    {"plus_cap_negative_sum", BUILTIN(plus_cap), {-5, -5, 0}, -10, kKept},
    {"plus_cap_sum_wraps_below_cap", BUILTIN(plus_cap), {kMax, 1, 0}, kMin, kKept},

    {"minus_floor_above_floor", BUILTIN(minus_floor), {10, 3, 0}, 7, kKept},
    {"minus_floor_below_floor", BUILTIN(minus_floor), {3, 10, 0}, 0, kKept},
    {"minus_floor_difference_wraps_above_floor", BUILTIN(minus_floor), {kMin, 1, 0}, kMax, kKept},
    {"minus_floor_difference_wraps_below_floor", BUILTIN(minus_floor), {0, kMin, 5}, 5, kKept},

    {"absdiff_rising", BUILTIN(absdiff), {3, 10}, 7, kKept},
    {"absdiff_falling", BUILTIN(absdiff), {10, 3}, 7, kKept},
    {"absdiff_wraps_to_max", BUILTIN(absdiff), {kMin, 1}, kMax, kKept},
    {"absdiff_wraps_to_min", BUILTIN(absdiff), {kMax, -1}, kMin, kKept},
    {"absdiff_across_full_range", BUILTIN(absdiff), {kMin, kMax}, 1, kKept},

    {"max_of_mixed_signs", BUILTIN(max_of), {3, -4}, 3, kKept},
    {"max_of_extremes", BUILTIN(max_of), {kMax, kMin}, kMax, kKept},
    {"min_of_mixed_signs", BUILTIN(min_of), {3, -4}, -4, kKept},
    {"min_of_extremes", BUILTIN(min_of), {kMax, kMin}, kMin, kKept},

    {"blend_k_equal_n_gives_a", BUILTIN(blend), {10, 20, 4, 4}, 10, kKept},
    {"blend_k_zero_gives_b", BUILTIN(blend), {10, 20, 0, 4}, 20, kKept},
    {"blend_quarter_truncates", BUILTIN(blend), {10, 20, 1, 4}, 17, kKept},
    {"blend_negative_truncates_toward_zero", BUILTIN(blend), {-10, -20, 1, 4}, -17, kKept},
    {"blend_negative_n", BUILTIN(blend), {10, 20, -1, -4}, 17, kKept},
    {"blend_k_beyond_n_extrapolates", BUILTIN(blend), {10, 20, 8, 4}, 0, kKept},
    {"blend_product_wraps", BUILTIN(blend), {100000, 0, 50000, 100000}, 7050, kKept},
    {"blend_product_wraps_to_zero", BUILTIN(blend), {65536, 0, 65536, 65536}, 0, kKept},
    {"blend_n_zero_refused", BUILTIN(blend), {10, 20, 3, 0}, 0, kDomain},

    {"no_op", BUILTIN(no_op), {5, 6}, 0, kKept},

    {"isqrt_one", BUILTIN(isqrt), {1}, 1, kKept},
    {"isqrt_fifteen_truncates", BUILTIN(isqrt), {15}, 3, kKept},
    {"isqrt_sixteen", BUILTIN(isqrt), {16}, 4, kKept},
    {"isqrt_max", BUILTIN(isqrt), {kMax}, 46340, kKept},
    {"isqrt_zero_refused", BUILTIN(isqrt), {0}, 0, kDomain},
    {"isqrt_negative_refused", BUILTIN(isqrt), {-4}, 0, kDomain},
    {"isqrt_min_refused", BUILTIN(isqrt), {kMin}, 0, kDomain},

    {"vec_length_3_4", BUILTIN(vec_length), {3, 4}, 5, kKept},
    {"vec_length_negative_parts", BUILTIN(vec_length), {-3, -4}, 5, kKept},
    {"vec_length_diagonal_truncates", BUILTIN(vec_length), {1, 1}, 1, kKept},
    {"vec_length_largest_square", BUILTIN(vec_length), {46340, 0}, 46340, kKept},
    {"vec_length_large_sum", BUILTIN(vec_length), {30000, 30000}, 42426, kKept},
    {"vec_length_origin_refused", BUILTIN(vec_length), {0, 0}, 0, kDomain},
    {"vec_length_sum_wraps_negative", BUILTIN(vec_length), {40000, 30000}, 0, kDomain},
    {"vec_length_square_wraps_negative", BUILTIN(vec_length), {46341, 0}, 0, kDomain},
    {"vec_length_square_wraps_to_zero", BUILTIN(vec_length), {65536, 0}, 0, kDomain},
};
INSTANTIATE_TEST_SUITE_P(Integer, ArithBuiltin, ::testing::ValuesIn(kIntegerCases), CaseName);

// rescale's rules in their order: same ranges, below a, above b, empty input range,
// then the mapping, in integers while v - a and d - c are below 32768, else in doubles.
const BuiltinCase kRescaleCases[] = {
    {"inside", BUILTIN(rescale), {5, 0, 10, 0, 100}, 50, kKept},
    {"below_a_gives_c", BUILTIN(rescale), {-3, 0, 10, 0, 100}, 0, kKept},
    {"above_b_gives_d", BUILTIN(rescale), {15, 0, 10, 0, 100}, 100, kKept},
    {"same_ranges_give_v", BUILTIN(rescale), {7, 0, 10, 0, 10}, 7, kKept},
    {"same_ranges_give_v_outside", BUILTIN(rescale), {15, 0, 10, 0, 10}, 15, kKept},
    {"empty_input_range", BUILTIN(rescale), {5, 5, 5, 0, 100}, 5, kKept},
    {"empty_input_range_gives_a_not_c", BUILTIN(rescale), {5, 5, 5, 20, 100}, 5, kKept},
    {"below_a_before_empty_range", BUILTIN(rescale), {4, 5, 5, 20, 100}, 20, kKept},
    {"falling_output", BUILTIN(rescale), {3, 0, 10, 100, 0}, 70, kKept},
    {"quotient_truncates_toward_zero", BUILTIN(rescale), {1, 0, 3, 0, -10}, -3, kKept},
    // v - a = 32767 still takes the integer path, where -3,276,700,000 wraps.
    {"offset_32767_integer_product_wraps", BUILTIN(rescale), {32767, 0, 65536, 0, -100000}, 15537, kKept},
    // v - a = 32768 takes the double path: -100000 * 32768 / 65536 exactly.
    {"offset_32768_in_double", BUILTIN(rescale), {32768, 0, 65536, 0, -100000}, -50000, kKept},
    {"large_offset_and_span_in_double", BUILTIN(rescale), {50000, 0, 100000, 0, 100000}, 50000, kKept},
    {"wide_output_in_double", BUILTIN(rescale), {30000, 0, 60000, 0, 2000000000}, 1000000000, kKept},
    {"double_quotient_truncates_toward_zero", BUILTIN(rescale), {50000, 0, 150000, 0, -100000}, -33333, kKept},
    // d - c = -2e9 is below 32768, so the product stays in integers and wraps.
    {"negative_wide_output_integer_product_wraps", BUILTIN(rescale), {30000, 0, 60000, 2000000000, 0},
     2000011552, kKept},
};
INSTANTIATE_TEST_SUITE_P(Rescale, ArithBuiltin, ::testing::ValuesIn(kRescaleCases), CaseName);

const BuiltinCase kPowerCases[] = {
    {"pow_frac_square_root_truncates", BUILTIN(pow_frac), {2, 1, 2}, 1, kKept},
    {"pow_frac_square_root_exact", BUILTIN(pow_frac), {4, 1, 2}, 2, kKept},
    {"pow_frac_cube", BUILTIN(pow_frac), {10, 3, 1}, 1000, kKept},
    // 1000^(1/3) with the exponent rounded below 1/3 lies just below 10.
    {"pow_frac_cube_root_just_below_ten", BUILTIN(pow_frac), {1000, 1, 3}, 9, kKept},
    {"pow_frac_negative_exponent", BUILTIN(pow_frac), {2, -1, 1}, 0, kKept},
    {"pow_frac_negative_divisor", BUILTIN(pow_frac), {9, 1, -2}, 0, kKept},
    {"pow_frac_largest_in_range", BUILTIN(pow_frac), {46340, 2, 1}, 2147395600, kKept},
    {"pow_frac_beyond_range", BUILTIN(pow_frac), {46341, 2, 1}, kMin, kKept},
    {"pow_frac_two_to_31_beyond_range", BUILTIN(pow_frac), {2, 31, 1}, kMin, kKept},
    {"pow_frac_zero_base", BUILTIN(pow_frac), {0, 1, 2}, 0, kKept},
    {"pow_frac_zero_to_zero_is_one", BUILTIN(pow_frac), {0, 0, 5}, 1, kKept},
    {"pow_frac_zero_pole_converts_to_min", BUILTIN(pow_frac), {0, -1, 1}, kMin, kKept},
    {"pow_frac_negative_base_refused", BUILTIN(pow_frac), {-1, 1, 1}, 0, kDomain},
    {"pow_frac_zero_divisor_refused", BUILTIN(pow_frac), {5, 1, 0}, 0, kDomain},
    {"pow_frac_zero_divisor_zero_base_refused", BUILTIN(pow_frac), {0, 0, 0}, 0, kDomain},

    {"pow_scaled_square", BUILTIN(pow_scaled), {50, 100, 2, 1}, 25, kKept},
    {"pow_scaled_root_truncates", BUILTIN(pow_scaled), {50, 100, 1, 2}, 70, kKept},
    {"pow_scaled_ratio_above_one", BUILTIN(pow_scaled), {200, 100, 2, 1}, 400, kKept},
    {"pow_scaled_cube_root", BUILTIN(pow_scaled), {3, 4, 1, 3}, 3, kKept},
    {"pow_scaled_negative_b_positive_ratio", BUILTIN(pow_scaled), {-50, -100, 1, 1}, -50, kKept},
    {"pow_scaled_zero_ratio", BUILTIN(pow_scaled), {0, 5, 1, 1}, 0, kKept},
    {"pow_scaled_zero_to_zero", BUILTIN(pow_scaled), {0, 5, 0, 1}, 5, kKept},
    {"pow_scaled_zero_pole_converts_to_min", BUILTIN(pow_scaled), {0, 5, -1, 1}, kMin, kKept},
    {"pow_scaled_beyond_range", BUILTIN(pow_scaled), {kMax, 1, 2, 1}, kMin, kKept},
    {"pow_scaled_b_zero_refused", BUILTIN(pow_scaled), {1, 0, 1, 1}, -1, kKept},
    {"pow_scaled_d_zero_refused", BUILTIN(pow_scaled), {1, 1, 1, 0}, -1, kKept},
    {"pow_scaled_negative_ratio_refused", BUILTIN(pow_scaled), {-1, 1, 1, 1}, -1, kKept},
    {"pow_scaled_negative_b_negative_ratio_refused", BUILTIN(pow_scaled), {100, -100, 1, 2}, -1, kKept},
};
INSTANTIATE_TEST_SUITE_P(Power, ArithBuiltin, ::testing::ValuesIn(kPowerCases), CaseName);

// math_fn(f, a, b, s) = trunc(s * F_f(a / b)); angles in half turns of 3.1415926535.
const BuiltinCase kMathFnCases[] = {
    {"sin_half", BUILTIN(math_fn), {0, 1, 2, 1000}, 1000, kKept},
    {"sin_minus_half", BUILTIN(math_fn), {0, -1, 2, 1000}, -1000, kKept},
    {"sin_sixth_just_below_half", BUILTIN(math_fn), {0, 1, 6, 1000}, 499, kKept},
    {"sin_third", BUILTIN(math_fn), {0, 1, 3, 1000}, 866, kKept},
    {"cos_one", BUILTIN(math_fn), {1, 1, 1, 1000}, -1000, kKept},
    {"cos_third", BUILTIN(math_fn), {1, 1, 3, 1000}, 500, kKept},
    {"cos_two_thirds_negative_scale", BUILTIN(math_fn), {1, 2, 3, -1000}, 499, kKept},
    {"tan_quarter_just_below_one", BUILTIN(math_fn), {2, 1, 4, 1000}, 999, kKept},
    {"tan_minus_quarter", BUILTIN(math_fn), {2, -1, 4, 1000}, -999, kKept},
    {"tan_third", BUILTIN(math_fn), {2, 1, 3, 1000}, 1732, kKept},
    {"tan_half_beyond_range", BUILTIN(math_fn), {2, 1, 2, 1}, kMin, kKept},
    {"tan_half_zero_scale", BUILTIN(math_fn), {2, 1, 2, 0}, 0, kKept},
    {"asin_half", BUILTIN(math_fn), {3, 1, 2, 1000}, 166, kKept},
    {"asin_one", BUILTIN(math_fn), {3, 1, 1, 1000}, 500, kKept},
    {"asin_minus_one", BUILTIN(math_fn), {3, -1, 1, 1000}, -500, kKept},
    {"asin_two_refused", BUILTIN(math_fn), {3, 2, 1, 100}, 0, kDomain},
    {"asin_two_negative_divisor_refused", BUILTIN(math_fn), {3, 2, -1, 100}, 0, kDomain},
    {"asin_just_below_minus_one_refused", BUILTIN(math_fn), {3, -1001, 1000, 100}, 0, kDomain},
    {"acos_minus_one", BUILTIN(math_fn), {4, -1, 1, 1000}, 1000, kKept},
    {"acos_one", BUILTIN(math_fn), {4, 1, 1, 1000}, 0, kKept},
    {"acos_half", BUILTIN(math_fn), {4, 1, 2, 1000}, 333, kKept},
    {"acos_minus_one_and_a_half_refused", BUILTIN(math_fn), {4, -3, 2, 100}, 0, kDomain},
    {"atan_one", BUILTIN(math_fn), {5, 1, 1, 1000}, 250, kKept},
    {"atan_minus_one", BUILTIN(math_fn), {5, -1, 1, 1000}, -250, kKept},
    {"atan_large", BUILTIN(math_fn), {5, 1000000, 1, 1000}, 499, kKept},
    {"sqrt_quarter", BUILTIN(math_fn), {6, 1, 4, 100}, 50, kKept},
    {"sqrt_quarter_negative_scale", BUILTIN(math_fn), {6, 1, 4, -100}, -50, kKept},
    {"sqrt_two", BUILTIN(math_fn), {6, 2, 1, 1000}, 1414, kKept},
    {"sqrt_of_zero_over_negative", BUILTIN(math_fn), {6, 0, -5, 100}, 0, kKept},
    {"sqrt_beyond_range", BUILTIN(math_fn), {6, 4, 1, kMax}, kMin, kKept},
    {"sqrt_negative_refused", BUILTIN(math_fn), {6, -1, 4, 100}, 0, kDomain},
    {"sqrt_negative_divisor_refused", BUILTIN(math_fn), {6, 1, -4, 100}, 0, kDomain},
    {"circle_half", BUILTIN(math_fn), {7, 1, 2, 1000}, 866, kKept},
    {"circle_edge", BUILTIN(math_fn), {7, 1, 1, 100}, 0, kKept},
    // 1 - 0.8 * 0.8 in doubles is a little below 0.36: the result lies just below 60.
    {"circle_just_below_sixty", BUILTIN(math_fn), {7, -4, 5, 100}, 59, kKept},
    {"circle_outside_refused", BUILTIN(math_fn), {7, 2, 1, 100}, 0, kDomain},
    {"ln_one", BUILTIN(math_fn), {8, 1, 1, 100}, 0, kKept},
    {"ln_e", BUILTIN(math_fn), {8, 27183, 10000, 1000}, 1000, kKept},
    {"ln_half", BUILTIN(math_fn), {8, 1, 2, 1000}, -693, kKept},
    {"ln_ten", BUILTIN(math_fn), {8, 10, 1, 1000}, 2302, kKept},
    {"ln_negative_over_negative", BUILTIN(math_fn), {8, -3, -1, 1000}, 1098, kKept},
    {"ln_zero_refused", BUILTIN(math_fn), {8, 0, 1, 100}, 0, kDomain},
    {"ln_negative_refused", BUILTIN(math_fn), {8, -1, 1, 100}, 0, kDomain},
    {"log2_eight", BUILTIN(math_fn), {9, 8, 1, 100}, 300, kKept},
    {"log2_of_1_over_1024", BUILTIN(math_fn), {9, 1, 1024, 1}, -10, kKept},
    {"log2_three", BUILTIN(math_fn), {9, 3, 1, 1000}, 1584, kKept},
    {"log2_third", BUILTIN(math_fn), {9, 1, 3, 1000}, -1584, kKept},
    {"log2_zero_refused", BUILTIN(math_fn), {9, 0, 5, 1}, 0, kDomain},
    {"zero_divisor_refused", BUILTIN(math_fn), {0, 1, 0, 5}, 0, kDomain},
    {"function_10_refused", BUILTIN(math_fn), {10, 1, 1, 1}, 0, kRange},
    {"function_minus_1_refused", BUILTIN(math_fn), {-1, 1, 1, 1}, 0, kRange},
    {"zero_divisor_refused_before_function_number", BUILTIN(math_fn), {10, 1, 0, 1}, 0, kDomain},
};
INSTANTIATE_TEST_SUITE_P(MathFn, ArithBuiltin, ::testing::ValuesIn(kMathFnCases), CaseName);

// Default unit: 1024 steps per turn, one step 3.1415926535 / 512 radians.
const BuiltinCase kTrigonometryCases[] = {
    {"vec_angle_plus_x", BUILTIN(vec_angle), {1, 0}, 0, kKept},
    {"vec_angle_plus_y", BUILTIN(vec_angle), {0, 5}, 256, kKept},
    {"vec_angle_minus_y", BUILTIN(vec_angle), {0, -5}, -256, kKept},
    {"vec_angle_minus_x", BUILTIN(vec_angle), {-1, 0}, 512, kKept},
    {"vec_angle_origin", BUILTIN(vec_angle), {0, 0}, 256, kKept},
    {"vec_angle_first_diagonal", BUILTIN(vec_angle), {1, 1}, 128, kKept},
    {"vec_angle_fourth_diagonal", BUILTIN(vec_angle), {1, -1}, -128, kKept},
    {"vec_angle_third_diagonal", BUILTIN(vec_angle), {-1, -1}, -384, kKept},
    {"vec_angle_3_4", BUILTIN(vec_angle), {3, 4}, 151, kKept},
    // atan gives -151.1 steps; truncated toward zero before the half turn is added.
    {"vec_angle_second_quadrant_truncates", BUILTIN(vec_angle), {-3, 4}, 361, kKept},
    {"vec_angle_third_quadrant_truncates", BUILTIN(vec_angle), {-3, -4}, -361, kKept},
    {"vec_angle_near_x_axis", BUILTIN(vec_angle), {1000, 1}, 0, kKept},
    {"vec_angle_near_y_axis", BUILTIN(vec_angle), {1, 1000}, 255, kKept},
    {"vec_angle_extremes", BUILTIN(vec_angle), {kMax, kMin}, -128, kKept},
    {"vec_angle_min_x", BUILTIN(vec_angle), {kMin, 1}, 512, kKept},

    {"cos_scaled_0", BUILTIN(cos_scaled), {0}, 512, kKept},
    {"cos_scaled_quarter_turn", BUILTIN(cos_scaled), {256}, 0, kKept},
    {"cos_scaled_half_turn", BUILTIN(cos_scaled), {512}, -512, kKept},
    {"cos_scaled_full_turn", BUILTIN(cos_scaled), {1024}, 512, kKept},
    {"cos_scaled_85", BUILTIN(cos_scaled), {85}, 443, kKept},
    {"cos_scaled_171", BUILTIN(cos_scaled), {171}, 255, kKept},
    {"cos_scaled_minus_171", BUILTIN(cos_scaled), {-171}, 255, kKept},
    {"cos_scaled_341_truncates_toward_zero", BUILTIN(cos_scaled), {341}, -255, kKept},
    {"cos_scaled_683", BUILTIN(cos_scaled), {683}, -255, kKept},
    {"cos_scaled_many_turns", BUILTIN(cos_scaled), {1000000}, -473, kKept},
    {"cos_scaled_max", BUILTIN(cos_scaled), {kMax}, 511, kKept},

    {"sin_scaled_0", BUILTIN(sin_scaled), {0}, 0, kKept},
    {"sin_scaled_quarter_turn", BUILTIN(sin_scaled), {256}, 512, kKept},
    {"sin_scaled_minus_quarter_turn", BUILTIN(sin_scaled), {-256}, -512, kKept},
    {"sin_scaled_three_quarters", BUILTIN(sin_scaled), {768}, -512, kKept},
    {"sin_scaled_half_turn", BUILTIN(sin_scaled), {512}, 0, kKept},
    {"sin_scaled_85", BUILTIN(sin_scaled), {85}, 255, kKept},
    {"sin_scaled_minus_85_truncates_toward_zero", BUILTIN(sin_scaled), {-85}, -255, kKept},
    {"sin_scaled_100", BUILTIN(sin_scaled), {100}, 294, kKept},
    {"sin_scaled_171", BUILTIN(sin_scaled), {171}, 443, kKept},
    {"sin_scaled_many_turns_back", BUILTIN(sin_scaled), {-1000000}, 195, kKept},
    // 69.096 with pi taken as 3.1415926535; the true pi would give 68.905.
    {"sin_scaled_uses_the_programs_pi", BUILTIN(sin_scaled), {2147463658}, 69, kKept},

    {"tan_scaled_0", BUILTIN(tan_scaled), {0}, 0, kKept},
    // tan of a step short of 45 degrees: 511.99999998.
    {"tan_scaled_eighth_turn", BUILTIN(tan_scaled), {128}, 511, kKept},
    {"tan_scaled_minus_eighth_turn", BUILTIN(tan_scaled), {-128}, -511, kKept},
    {"tan_scaled_100", BUILTIN(tan_scaled), {100}, 360, kKept},
    {"tan_scaled_255", BUILTIN(tan_scaled), {255}, 83441, kKept},
    {"tan_scaled_minus_255", BUILTIN(tan_scaled), {-255}, -83441, kKept},
    {"tan_scaled_half_turn", BUILTIN(tan_scaled), {512}, 0, kKept},
    {"tan_scaled_quarter_turn_beyond_range", BUILTIN(tan_scaled), {256}, kMin, kKept},

    {"polar_x_0", BUILTIN(polar_x), {0, 100}, 100, kKept},
    {"polar_x_quarter_turn", BUILTIN(polar_x), {256, 100}, 0, kKept},
    {"polar_x_half_turn", BUILTIN(polar_x), {512, 100}, -100, kKept},
    {"polar_x_171", BUILTIN(polar_x), {171, 1000}, 498, kKept},
    {"polar_x_minus_85", BUILTIN(polar_x), {-85, 1000}, 867, kKept},
    {"polar_x_negative_radius", BUILTIN(polar_x), {0, -7}, -7, kKept},
    {"polar_x_min_radius", BUILTIN(polar_x), {0, kMin}, kMin, kKept},
    {"polar_x_max_radius", BUILTIN(polar_x), {341, kMax}, -1069935767, kKept},
    {"polar_y_0", BUILTIN(polar_y), {0, 100}, 0, kKept},
    {"polar_y_quarter_turn", BUILTIN(polar_y), {256, 100}, 100, kKept},
    {"polar_y_171", BUILTIN(polar_y), {171, 1000}, 867, kKept},
    {"polar_y_minus_85_truncates_toward_zero", BUILTIN(polar_y), {-85, 1000}, -498, kKept},
    {"polar_y_max_radius", BUILTIN(polar_y), {341, kMax}, 1861967633, kKept},
    {"polar_y_max_radius_backwards", BUILTIN(polar_y), {-341, kMax}, -1861967633, kKept},
};
INSTANTIATE_TEST_SUITE_P(Trigonometry, ArithBuiltin, ::testing::ValuesIn(kTrigonometryCases), CaseName);

// The angle unit is process-wide: every test leaves it at the default.
class ArithBuiltinAngleUnit : public ::testing::Test {
protected:
    void TearDown() override {
        angle_unit(512);
        Execution().context.status = 0;
    }
};

TEST_F(ArithBuiltinAngleUnit, NonPositiveUnitsChangeNothing) {
    for (const i32 n : {0, -5, kMin}) {
        SCOPED_TRACE(n);
        Execution().context.status = kKept;
        EXPECT_EQ(angle_unit(n), 512);
        EXPECT_EQ(cos_scaled(512), -512);
        EXPECT_EQ(Execution().context.status, kKept);
    }
    ASSERT_EQ(angle_unit(180), 180);
    EXPECT_EQ(angle_unit(0), 180);
    EXPECT_EQ(angle_unit(-5), 180);
}

TEST_F(ArithBuiltinAngleUnit, HalfTurnOf180Steps) {
    ASSERT_EQ(angle_unit(180), 180);
    const BuiltinCase cases[] = {
        {"cos_half_turn", BUILTIN(cos_scaled), {180}, -512, kKept},
        {"cos_full_turn", BUILTIN(cos_scaled), {360}, 512, kKept},
        {"cos_60", BUILTIN(cos_scaled), {60}, 256, kKept},
        {"cos_120", BUILTIN(cos_scaled), {120}, -255, kKept},
        {"sin_90", BUILTIN(sin_scaled), {90}, 512, kKept},
        {"sin_minus_45", BUILTIN(sin_scaled), {-45}, -362, kKept},
        {"tan_45", BUILTIN(tan_scaled), {45}, 511, kKept},
        {"polar_x_60", BUILTIN(polar_x), {60, 1000}, 500, kKept},
        {"polar_y_90", BUILTIN(polar_y), {90, 1000}, 1000, kKept},
        {"vec_angle_diagonal", BUILTIN(vec_angle), {1, 1}, 45, kKept},
        {"vec_angle_3_4", BUILTIN(vec_angle), {3, 4}, 53, kKept},
        // The axis and quadrant offsets stay 256 and 512 whatever the unit.
        {"vec_angle_plus_y_stays_256", BUILTIN(vec_angle), {0, 1}, 256, kKept},
        {"vec_angle_minus_x_stays_512", BUILTIN(vec_angle), {-1, 0}, 512, kKept},
        {"vec_angle_second_quadrant", BUILTIN(vec_angle), {-1, 1}, 467, kKept},
        {"vec_angle_third_quadrant", BUILTIN(vec_angle), {-1, -1}, -467, kKept},
    };
    for (const BuiltinCase& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c));
        ExpectCase(c);
    }
}

}  // namespace
}  // namespace tessellon
