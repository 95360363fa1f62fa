// The hue-lightness-saturation built-ins: RGB to HLS (hue 1024 per turn), HLS to RGB
// written into the output channels, input clamping, and the one cache the two
// directions share, which makes a colour read back right after a conversion answer
// with the triple it came from.
#include <gtest/gtest.h>

#include <array>
#include <ostream>
#include <string>

#include "runtime/builtins.h"
#include "runtime/context.h"
#include "runtime/runtime_state.h"

namespace tessellon {
namespace {

using testing::RowName;
constexpr i32 kKept = testing::kUntouched;  // `status` before each call; still there when untouched

using Triple = std::array<i32, 3>;

// Fills the cache with a plainly converted pair that none of the rows below uses, so a
// row's answer cannot come from an earlier test's set_hls.
void ForgetHls() {
    rgb_hue(1, 2, 3);
    rgb_hue(3, 2, 1);  // remembers (3, 2, 1) with (85, 2, 127)
}

Triple Out() { return {Execution().context.out_r, Execution().context.out_g, Execution().context.out_b}; }

Triple SetHls(i32 h, i32 l, i32 s) {
    EXPECT_EQ(set_hls(h, l, s), 0);
    return Out();
}

class ColourBuiltin : public ::testing::Test {
protected:
    void SetUp() override {
        saved_ = Execution().context;
        Execution().context.status = kKept;
    }
    void TearDown() override { Execution().context = saved_; }

private:
    ExecutionContext saved_{};
};

struct RgbCase {
    const char* name;
    i32 r, g, b;
    Triple hls;  // hue, lightness, saturation
    i32 status;
};

void PrintTo(const RgbCase& c, std::ostream* os) {
    *os << "rgb (" << c.r << ", " << c.g << ", " << c.b << ") -> hls (" << c.hls[0] << ", " << c.hls[1] << ", "
        << c.hls[2] << "), status " << c.status;
}

class ColourBuiltinFromRgb : public ColourBuiltin, public ::testing::WithParamInterface<RgbCase> {};

// Each function is asked with the cache holding another colour.
TEST_P(ColourBuiltinFromRgb, HueLightnessSaturation) {
    const RgbCase& c = GetParam();
    ForgetHls();
    const i32 hue = rgb_hue(c.r, c.g, c.b);
    ForgetHls();
    const i32 lightness = rgb_lightness(c.r, c.g, c.b);
    ForgetHls();
    const i32 saturation = rgb_saturation(c.r, c.g, c.b);
    EXPECT_EQ((Triple{hue, lightness, saturation}), c.hls);
    EXPECT_EQ(Execution().context.status, c.status);
}

const RgbCase kRgbCases[] = {
    {"red", 255, 0, 0, {0, 127, 255}, kKept},
    {"green", 0, 255, 0, {341, 127, 255}, kKept},
    {"blue", 0, 0, 255, {682, 127, 255}, kKept},
    {"yellow_tie_goes_to_red", 255, 255, 0, {170, 127, 255}, kKept},
    {"cyan_tie_goes_to_green", 0, 255, 255, {512, 127, 255}, kKept},
    {"magenta", 255, 0, 255, {853, 127, 255}, kKept},
    {"red_towards_blue_wraps_below_zero", 255, 0, 1, {1022, 127, 255}, kKept},
    {"orange", 255, 128, 0, {86, 127, 255}, kKept},
    {"brown", 200, 100, 50, {57, 125, 153}, kKept},
    {"dark_blue_grey", 10, 20, 30, {597, 20, 127}, kKept},
    // Lightness 128 still divides by mx + mn (256), not by 510 - mx - mn (254).
    {"lightness_128_lower_saturation_formula", 255, 1, 1, {0, 128, 253}, kKept},
    {"light_blue_upper_saturation_formula", 100, 200, 255, {572, 177, 255}, kKept},
    {"near_white_pink", 255, 254, 254, {0, 254, 255}, kKept},
    {"white", 255, 255, 255, {0, 255, 0}, kKept},
    {"black", 0, 0, 0, {0, 0, 0}, kKept},
    {"grey", 128, 128, 128, {0, 128, 0}, kKept},
    {"clamped_to_red", 300, -5, 0, {0, 127, 255}, kKept},
};
INSTANTIATE_TEST_SUITE_P(Table, ColourBuiltinFromRgb, ::testing::ValuesIn(kRgbCases),
                         RowName<RgbCase>);

struct HlsCase {
    const char* name;
    i32 h, l, s;
    Triple rgb;
    i32 status;
};

void PrintTo(const HlsCase& c, std::ostream* os) {
    *os << "set_hls(" << c.h << ", " << c.l << ", " << c.s << ") -> rgb (" << c.rgb[0] << ", " << c.rgb[1] << ", "
        << c.rgb[2] << "), status " << c.status;
}

class ColourBuiltinSetHls : public ColourBuiltin, public ::testing::WithParamInterface<HlsCase> {};

TEST_P(ColourBuiltinSetHls, WritesTheOutputChannels) {
    const HlsCase& c = GetParam();
    ForgetHls();
    Execution().context.out_r = Execution().context.out_g = Execution().context.out_b = -1;
    Execution().context.out_a = 66;
    EXPECT_EQ(SetHls(c.h, c.l, c.s), c.rgb);
    EXPECT_EQ(Execution().context.out_a, 66);
    EXPECT_EQ(Execution().context.status, c.status);
}

const HlsCase kHlsCases[] = {
    {"red", 0, 128, 255, {255, 1, 1}, kKept},
    {"green", 341, 128, 255, {2, 255, 1}, kKept},
    {"blue", 682, 128, 255, {1, 2, 255}, kKept},
    {"yellow", 171, 128, 255, {255, 255, 1}, kKept},
    {"orange", 85, 128, 255, {255, 127, 1}, kKept},
    {"blue_at_683", 683, 128, 255, {1, 1, 255}, kKept},
    {"dark_yellow", 170, 64, 128, {96, 95, 32}, kKept},
    {"pastel_pink", 900, 200, 100, {222, 178, 209}, kKept},
    {"muted_blue", 600, 100, 50, {81, 99, 119}, kKept},
    {"hue_minus_1_is_1023", -1, 128, 255, {255, 1, 2}, kKept},
    {"hue_1023", 1023, 128, 255, {255, 1, 2}, kKept},
    {"hue_1024_is_0", 1024, 128, 255, {255, 1, 1}, kKept},
    {"white_at_hue_0", 0, 255, 255, {255, 255, 255}, kKept},
    {"white_at_hue_100", 100, 255, 200, {255, 255, 255}, kKept},
    {"white_without_saturation", 700, 255, 0, {255, 255, 255}, kKept},
    {"white_from_clamped_lightness", 100, 300, -7, {255, 255, 255}, kKept},
    {"grey_at_hue_500", 500, 77, 0, {77, 77, 77}, kKept},
    {"grey_at_hue_1023", 1023, 77, 0, {77, 77, 77}, kKept},
    {"grey_from_clamped_saturation", 300, 77, -50, {77, 77, 77}, kKept},
    {"black", 0, 0, 255, {0, 0, 0}, kKept},
    {"black_from_clamped_lightness", 341, -9, 255, {0, 0, 0}, kKept},
};
INSTANTIATE_TEST_SUITE_P(Table, ColourBuiltinSetHls, ::testing::ValuesIn(kHlsCases),
                         RowName<HlsCase>);

// set_hls(3, 128, 200) gives (228, 31, 28), whose plain conversion is (2, 128, 199).
TEST_F(ColourBuiltin, ColourReadBackAfterSetHlsGivesTheTripleThatWasSet) {
    ForgetHls();
    ASSERT_EQ(SetHls(3, 128, 200), (Triple{228, 31, 28}));
    EXPECT_EQ(rgb_hue(228, 31, 28), 3);
    EXPECT_EQ(rgb_lightness(228, 31, 28), 128);
    EXPECT_EQ(rgb_saturation(228, 31, 28), 200);
    // set_hls(1027, ...) is hue 3 again: the remembered colour.
    EXPECT_EQ(SetHls(1027, 128, 200), (Triple{228, 31, 28}));

    ForgetHls();
    EXPECT_EQ(rgb_hue(228, 31, 28), 2);
    EXPECT_EQ(rgb_saturation(228, 31, 28), 199);
    EXPECT_EQ(Execution().context.status, kKept);
}

// rgb_hue(10, 20, 30) gives (597, 20, 127), whose plain conversion back is (11, 20, 29).
TEST_F(ColourBuiltin, SetHlsAfterReadingAColourGivesTheColourBack) {
    ForgetHls();
    ASSERT_EQ(rgb_hue(10, 20, 30), 597);
    ASSERT_EQ(rgb_lightness(10, 20, 30), 20);
    ASSERT_EQ(rgb_saturation(10, 20, 30), 127);
    EXPECT_EQ(SetHls(597, 20, 127), (Triple{10, 20, 30}));

    ForgetHls();
    EXPECT_EQ(SetHls(597, 20, 127), (Triple{11, 20, 29}));
    EXPECT_EQ(Execution().context.status, kKept);
}

TEST_F(ColourBuiltin, CacheIsKeyedByClampedChannels) {
    ForgetHls();
    ASSERT_EQ(SetHls(0, 255, 255), (Triple{255, 255, 255}));
    // White read back through the cache is (0, 255, 255), not the plain (0, 255, 0);
    // channels beyond 255 name the same white.
    EXPECT_EQ(rgb_saturation(300, 999, 256), 255);
    ForgetHls();
    EXPECT_EQ(rgb_saturation(300, 999, 256), 0);
}

}  // namespace
}  // namespace tessellon
