// Host recognition from the executable's name, and the sampling rate derived from the
// preview's zoom.
#include <gtest/gtest.h>

#include "hostapi/host_state.h"
#include "shell/host.h"
#include "support/recording_platform.h"

namespace tessellon {
namespace {

struct HostCase {
    const char* name;
    const char* path;
    HostKind kind;
};
void PrintTo(const HostCase& c, std::ostream* os) { *os << c.path; }

class MatchHostKindTest : public ::testing::TestWithParam<HostCase> {};

TEST_P(MatchHostKindTest, NameWithoutExtensionMustEqualAKnownHost) {
    EXPECT_EQ(MatchHostKind(GetParam().path), GetParam().kind);
}

INSTANTIATE_TEST_SUITE_P(
    Paths, MatchHostKindTest,
    ::testing::Values(
        HostCase{"photoshp_plain", "C:\\Adobe\\Photoshp.exe", kHostPhotoshop},
        HostCase{"photopnt_upper_case", "C:\\Apps\\PhotoPnt.EXE", kHostPhotoPaint},
        HostCase{"psp", "D:\\Jasc\\PSP.exe", kHostPaintShop},
        HostCase{"photoshop_is_not_photoshp", "C:\\Adobe\\photoshop.exe", kHostUnknown},
        HostCase{"dotted_folder_name", "C:\\Apps\\Editor 5.0\\photoshp.exe", kHostPhotoshop},
        HostCase{"cut_at_first_dot", "C:\\x\\psp.v9.exe", kHostPaintShop},
        HostCase{"no_separator", "photopnt.exe", kHostPhotoPaint},
        HostCase{"no_extension", "C:\\bin\\psp", kHostPaintShop},
        HostCase{"prefix_only", "C:\\bin\\ps.exe", kHostUnknown},
        HostCase{"longer_name", "C:\\bin\\pspx.exe", kHostUnknown},
        HostCase{"empty", "", kHostUnknown},
        HostCase{"folder_matches_file_does_not", "C:\\psp\\editor.exe", kHostUnknown},
        HostCase{"posix_separator", "/opt/wine/photoshp.exe", kHostPhotoshop}),
    [](const ::testing::TestParamInfo<HostCase>& row) { return std::string(row.param.name); });

TEST(DetectHost, KeepsThePreviousKindWhenNothingMatches) {
    testing::RecordingPlatform platform;
    Host().kind = kHostUnknown;
    platform.host_path = "C:\\Paint\\PHOTOPNT.exe";
    DetectHost();
    EXPECT_EQ(Host().kind, kHostPhotoPaint);
    platform.host_path = "C:\\Paint\\other.exe";
    DetectHost();
    EXPECT_EQ(Host().kind, kHostPhotoPaint);
    platform.host_path_known = false;
    DetectHost();
    EXPECT_EQ(Host().kind, kHostPhotoPaint);
    Host().kind = kHostUnknown;
}

struct RateCase {
    const char* name;
    HostKind kind;
    std::int32_t zoom;
    std::int32_t rate;
};
void PrintTo(const RateCase& c, std::ostream* os) { *os << "kind " << c.kind << ", zoom " << c.zoom; }

class SamplingRateTest : public ::testing::TestWithParam<RateCase> {};

TEST_P(SamplingRateTest, SixteenDotSixteenStep) {
    EXPECT_EQ(SamplingRate(GetParam().kind, GetParam().zoom), GetParam().rate);
}

INSTANTIATE_TEST_SUITE_P(
    Zooms, SamplingRateTest,
    ::testing::Values(
        RateCase{"real_run", kHostUnknown, 1, 65536},
        RateCase{"real_run_host_2", kHostPhotoPaint, 1, 65537},
        RateCase{"every_third_pixel", kHostUnknown, 3, 196608},
        RateCase{"every_third_pixel_host_2", kHostPhotoPaint, 3, 196611},
        RateCase{"every_third_pixel_host_1", kHostPhotoshop, 3, 196608},
        RateCase{"zoom_zero_doubles", kHostUnknown, 0, 32768},
        RateCase{"zoom_minus_one_triples", kHostUnknown, -1, 21845},
        RateCase{"zoom_minus_two_magnifies_four_times", kHostUnknown, -2, 16384},
        RateCase{"host_2_magnifies_like_the_others", kHostPhotoPaint, -2, 16384},
        RateCase{"large_zoom_wraps", kHostUnknown, 40000, static_cast<std::int32_t>(40000u * 65536u)},
        RateCase{"lowest_zoom_stays_defined", kHostUnknown, INT32_MIN, 0}),
    [](const ::testing::TestParamInfo<RateCase>& row) { return std::string(row.param.name); });

}  // namespace
}  // namespace tessellon
