// The lean host against the test host: the same record for the same options, the same
// rectangles and pixels for the same requests, byte-identical images from the golden
// runs (whole, with a selection, in strips), and the account of strips.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <ostream>
#include <string>
#include <tuple>
#include <type_traits>
#include <vector>

#include "memhost/lean_host.h"
#include "memhost/memhost.h"
#include "platform/memory_settings.h"
#include "platform/platform.h"
#include "platform/worker_threads.h"
#include "runtime/builtins.h"
#include "shell/run_filter.h"
#include "support/golden_cases.h"
#include "support/recording_platform.h"

namespace tessellon::memhost {
namespace {

// The record is packed to 4 bytes, so in the 64-bit build its pointers are misaligned:
// they are compared by value, never bound to a reference.

bool SameRect(const psapi::Rect& a, const psapi::Rect& b) {
    return a.top == b.top && a.left == b.left && a.bottom == b.bottom && a.right == b.right;
}

std::string Text(const psapi::Rect& r) {
    char text[48];
    std::snprintf(text, sizeof text, "{%d,%d,%d,%d}", r.top, r.left, r.bottom, r.right);
    return text;
}

// The record as the module finds it before Start, with the host's own addresses (its
// callbacks and its platform data) taken out: each must be offered by both hosts or by
// neither, and everything else must match byte for byte.
std::vector<std::uint8_t> RecordWithoutAddresses(const psapi::FilterRecord& record) {
    psapi::FilterRecord copy;
    std::memcpy(&copy, &record, sizeof copy);
    copy.abortProc = copy.abortProc != nullptr ? reinterpret_cast<psapi::TestAbortProc>(1) : nullptr;
    copy.progressProc = copy.progressProc != nullptr ? reinterpret_cast<psapi::ProgressProc>(1) : nullptr;
    copy.displayPixels = copy.displayPixels != nullptr ? reinterpret_cast<psapi::DisplayPixelsProc>(1) : nullptr;
    copy.advanceState = copy.advanceState != nullptr ? reinterpret_cast<psapi::AdvanceStateProc>(1) : nullptr;
    copy.colorServices = copy.colorServices != nullptr ? reinterpret_cast<psapi::ColorServicesProc>(1) : nullptr;
    copy.platformData = copy.platformData != nullptr ? reinterpret_cast<void*>(1) : nullptr;
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(&copy);
    return {bytes, bytes + sizeof copy};
}

std::intptr_t HostWindowOf(const psapi::FilterRecord& record) {
    return static_cast<const psapi::PlatformData*>(record.platformData)->hwnd;
}

struct OptionsCase {
    const char* name;
    int planes;
    HostOptions options;
};

std::vector<OptionsCase> OptionsCases() {
    std::vector<OptionsCase> cases;
    cases.push_back({"defaults", 3, {}});
    {
        HostOptions o;
        const psapi::Rect selected{3, 4, 9, 11};
        o.filter_rect = selected;
        o.mask = RectangularMask(13, 10, selected);
        o.back_color = {1, 2, 3};
        o.fore_color = {250, 251, 252};
        o.max_space = 4321;
        cases.push_back({"selection_colours_budget", 3, o});
    }
    {
        HostOptions o;
        o.layer = true;
        o.mask = RectangularMask(13, 10, {0, 0, 5, 5});
        o.hwnd = 0x4711;
        cases.push_back({"layer_with_mask", 4, o});
    }
    {
        HostOptions o;
        o.floating = true;
        o.image_mode = psapi::plugInModeRGBColor + 1;
        o.sampling_support = 0;
        o.host_sig = 0x12345678;
        o.with_abort = o.with_progress = o.with_display_pixels = o.with_color_services = false;
        cases.push_back({"floating_no_callbacks", 4, o});
    }
    return cases;
}

TEST(LeanHostRecord, IsTheTestHostsForTheSameOptions) {
    for (const OptionsCase& c : OptionsCases()) {
        SCOPED_TRACE(c.name);
        MemHost test_host(PatternImage(13, 10, c.planes), c.options);
        LeanHost lean_host(PatternImage(13, 10, c.planes), c.options);
        EXPECT_TRUE(RecordWithoutAddresses(lean_host.record()) == RecordWithoutAddresses(test_host.record()));
        EXPECT_EQ(HostWindowOf(lean_host.record()), HostWindowOf(test_host.record()));
        EXPECT_EQ(lean_host.Document(), test_host.Document());
    }
}

// A delivered buffer read back through its rect, row bytes and column bytes.
Image Delivered(const void* data, psapi::int32 row_bytes, const psapi::Rect& rect, int planes) {
    if (data == nullptr) return {};
    Image image(rect.right - rect.left, rect.bottom - rect.top, planes);
    for (int y = 0; y < image.height; ++y) {
        for (int x = 0; x < image.width; ++x) {
            for (int p = 0; p < planes; ++p) {
                image.At(x, y, p) = static_cast<const std::uint8_t*>(data)[y * row_bytes + x * planes + p];
            }
        }
    }
    return image;
}

struct Request {
    const char* what;
    psapi::Rect in, out, mask;
    psapi::int16 lo, hi;
    psapi::Fixed rate;
};

TEST(LeanHostDelivery, AnswersEveryRequestAsTheTestHost) {
    const Request requests[] = {
        {"whole image, all planes", {0, 0, 10, 13}, {0, 0, 10, 13}, {0, 0, 10, 13}, 0, 3, kUnitRate},
        {"a strip", {4, 0, 7, 13}, {4, 0, 7, 13}, {4, 0, 7, 13}, 0, 3, kUnitRate},
        {"part of a row range", {2, 3, 6, 9}, {3, 4, 5, 8}, {3, 4, 5, 8}, 0, 3, kUnitRate},
        {"reaching outside", {-2, -3, 30, 40}, {8, 11, 12, 20}, {-1, -1, 3, 3}, 0, 3, kUnitRate},
        {"some planes", {1, 1, 5, 6}, {1, 1, 5, 6}, {}, 1, 2, kUnitRate},
        {"one plane", {0, 0, 10, 13}, {0, 0, 10, 13}, {}, 3, 3, kUnitRate},
        {"every other pixel", {0, 0, 5, 7}, {}, {0, 0, 5, 7}, 0, 3, 2 * kUnitRate},
        {"every third pixel, some planes", {1, 1, 4, 5}, {}, {1, 0, 4, 5}, 0, 2, 3 * kUnitRate},
        {"wholly outside", {20, 20, 30, 30}, {20, 20, 30, 30}, {20, 20, 30, 30}, 0, 3, kUnitRate},
        {"nothing", {}, {}, {}, 0, 3, kUnitRate},
        {"planes out of range", {0, 0, 2, 2}, {0, 0, 2, 2}, {}, 2, 4, kUnitRate},
        {"rate zero", {0, 0, 2, 2}, {}, {}, 0, 3, 0},
    };
    HostOptions options;
    options.mask = RectangularMask(13, 10, {2, 3, 8, 9});
    for (const Request& q : requests) {
        SCOPED_TRACE(q.what);
        MemHost test_host(PatternImage(13, 10, 4), options);
        LeanHost lean_host(PatternImage(13, 10, 4), options);
        psapi::FilterRecord* records[] = {&test_host.record(), &lean_host.record()};
        psapi::OSErr results[2];
        for (int h = 0; h < 2; ++h) {
            psapi::FilterRecord& r = *records[h];
            r.inRect = q.in;
            r.outRect = q.out;
            r.maskRect = q.mask;
            r.inLoPlane = r.outLoPlane = q.lo;
            r.inHiPlane = r.outHiPlane = q.hi;
            r.inputRate = r.maskRate = q.rate;
            results[h] = r.advanceState();
        }
        const psapi::FilterRecord& t = *records[0];
        const psapi::FilterRecord& l = *records[1];
        EXPECT_EQ(results[1], results[0]);
        EXPECT_TRUE(SameRect(l.inRect, t.inRect)) << Text(l.inRect) << " " << Text(t.inRect);
        EXPECT_TRUE(SameRect(l.outRect, t.outRect)) << Text(l.outRect) << " " << Text(t.outRect);
        EXPECT_TRUE(SameRect(l.maskRect, t.maskRect)) << Text(l.maskRect) << " " << Text(t.maskRect);
        EXPECT_EQ(l.inColumnBytes, t.inColumnBytes);
        EXPECT_EQ(l.outColumnBytes, t.outColumnBytes);
        EXPECT_EQ(l.inPlaneBytes, t.inPlaneBytes);
        EXPECT_EQ(l.outPlaneBytes, t.outPlaneBytes);
        const int n = q.hi - q.lo + 1;
        EXPECT_EQ(Delivered(l.inData, l.inRowBytes, l.inRect, n), Delivered(t.inData, t.inRowBytes, t.inRect, n));
        EXPECT_EQ(Delivered(l.outData, l.outRowBytes, l.outRect, n),
                  Delivered(t.outData, t.outRowBytes, t.outRect, n));
        EXPECT_EQ(Delivered(l.maskData, l.maskRowBytes, l.maskRect, 1),
                  Delivered(t.maskData, t.maskRowBytes, t.maskRect, 1));
    }
}

TEST(LeanHostDelivery, WholePlanesAreTheImagesThemselves) {
    LeanHost host(PatternImage(13, 10, 3));
    psapi::FilterRecord& r = host.record();
    r.inRect = r.outRect = {2, 3, 6, 9};
    r.inLoPlane = r.outLoPlane = 0;
    r.inHiPlane = r.outHiPlane = 2;
    ASSERT_EQ(r.advanceState(), psapi::noErr);
    EXPECT_TRUE(r.inData == host.Source().bytes.data() + (2 * 13 + 3) * 3);
    EXPECT_TRUE(r.outData == host.Document().bytes.data() + (2 * 13 + 3) * 3);
    EXPECT_EQ(r.inRowBytes, 13 * 3);
    EXPECT_EQ(r.outRowBytes, 13 * 3);
    // Output lands in the document at once; the source stays as it was.
    static_cast<std::uint8_t*>(r.outData)[r.outRowBytes + 1] = 0x99;
    EXPECT_EQ(host.Document().At(3, 3, 1), 0x99);
    EXPECT_EQ(host.Source(), PatternImage(13, 10, 3));
}

TEST(LeanHostDelivery, SomePlanesAreCopiedAndWrittenBackAtTheNextStep) {
    const Image source = PatternImage(6, 5, 4);
    LeanHost host(source);
    psapi::FilterRecord& r = host.record();
    const psapi::Rect rect{1, 1, 3, 4};
    r.outRect = rect;
    r.outLoPlane = 1;
    r.outHiPlane = 2;
    ASSERT_EQ(r.advanceState(), psapi::noErr);
    ASSERT_EQ(r.outRowBytes, 3 * 2);
    for (int i = 0; i < 2 * 3 * 2; ++i) static_cast<std::uint8_t*>(r.outData)[i] = 0x99;
    EXPECT_EQ(host.Document(), source);
    r.outRect = {};
    ASSERT_EQ(r.advanceState(), psapi::noErr);
    EXPECT_TRUE(r.outData == nullptr);
    for (int y = 0; y < 5; ++y) {
        for (int x = 0; x < 6; ++x) {
            for (int p = 0; p < 4; ++p) {
                const bool written = x >= 1 && x < 4 && y >= 1 && y < 3 && (p == 1 || p == 2);
                ASSERT_EQ(host.Document().At(x, y, p), written ? 0x99 : source.At(x, y, p)) << x << "," << y;
            }
        }
    }
}

TEST(LeanHostDocument, TakenWithoutACopyAndMadeAgainByReset) {
    LeanHost host(PatternImage(5, 4, 3));
    const std::uint8_t* pixels = host.Document().bytes.data();
    const Image taken = host.TakeDocument();
    EXPECT_TRUE(taken.bytes.data() == pixels);
    EXPECT_EQ(taken, PatternImage(5, 4, 3));
    EXPECT_TRUE(host.Document().bytes.empty());
    host.Reset();
    EXPECT_EQ(host.Document(), PatternImage(5, 4, 3));
}

// The thread count the host was given is the module's while the run lasts, and only
// then; 0 leaves the module to its own count.
int threads_at_start = 0;
void PSAPI_CALL CountThreadsAtStart(psapi::int16 selector, void*, std::intptr_t*, psapi::int16* result) noexcept {
    if (selector == psapi::filterSelectorStart) threads_at_start = ConfiguredThreadCount();
    if (result != nullptr) *result = psapi::noErr;
}

TEST(LeanHostThreads, TheHostsCountHoldsForTheRunAlone) {
    const int own = ConfiguredThreadCount();
    for (const int threads : {0, 1, 3}) {
        HostOptions options;
        options.threads = threads;
        LeanHost host(PatternImage(5, 4, 3), options, &CountThreadsAtStart);
        threads_at_start = -1;
        EXPECT_EQ(host.RunAsHost(), psapi::noErr);
        EXPECT_EQ(threads_at_start, threads > 0 ? threads : own) << threads;
        EXPECT_EQ(ConfiguredThreadCount(), own) << "after a run with " << threads;
    }
}

TEST(LeanHostCallbacks, NoPickerNoScreenAndAbortGoesOn) {
    LeanHost host(PatternImage(5, 4, 3));
    psapi::FilterRecord& r = host.record();
    EXPECT_EQ(r.abortProc(), 0);
    EXPECT_EQ(r.abortProc(), 0);
    EXPECT_EQ(host.abort_calls, 2);
    psapi::ColorServicesInfo info{};
    info.infoSize = sizeof info;
    info.selector = psapi::plugIncolorServicesChooseColor;
    EXPECT_EQ(r.colorServices(&info), psapi::userCanceledErr);
    info.selector = 1;
    EXPECT_EQ(r.colorServices(&info), kHostInsufficient);
    std::uint8_t pixels[4 * 3] = {};
    psapi::PSPixelMap map{};
    map.version = 1;
    map.bounds = {0, 0, 1, 4};
    map.imageMode = psapi::plugInModeRGBColor;
    map.rowBytes = 12;
    map.colBytes = 3;
    map.planeBytes = 1;
    map.baseAddr = pixels;
    const psapi::VRect area{0, 0, 1, 4};
    int context = 0;
    EXPECT_EQ(r.displayPixels(&map, &area, 0, 0, &context), psapi::noErr);
    EXPECT_EQ(r.displayPixels(&map, &area, 0, 0, nullptr), psapi::filterBadParameters);
}

// The saved settings of the runs below, kept in memory for the life of the object:
// what these tests store never reaches the store that later tests read.
using InMemorySettings = ScopedMemorySettings;

// The golden runs through both hosts, with the host options a run of the command-line
// host can have.
struct HostSetup {
    const char* name;
    bool selection;
    int strip_rows;  // rows per strip the memory budget allows; 0: the default budget
};

void PrintTo(const HostSetup& setup, std::ostream* os) { *os << setup.name; }

constexpr HostSetup kHostSetups[] = {
    {"whole", false, 0},
    {"selection", true, 0},
    {"strips", false, 10},
    {"selection_in_strips", true, 10},
};

HostOptions OptionsFor(const HostSetup& setup, const testing::GoldenCase& c) {
    HostOptions options;
    if (setup.selection) {
        const psapi::Rect selected{5, 7, 40, 50};
        options.filter_rect = selected;
        options.mask = RectangularMask(c.width, c.height, selected);
        options.back_color = {200, 180, 40};
        options.fore_color = {10, 90, 160};
    }
    if (setup.strip_rows > 0) options.max_space = setup.strip_rows * RowCost(c.planes, c.width);
    return options;
}

struct Outcome {
    psapi::int16 result = 0;
    Image document;
    int input_rects = 0;
    bool one_pass = false;
};

template <typename Host>
Outcome RunThrough(const testing::GoldenCase& c, const HostOptions& options) {
    testing::StoreGoldenSettings(c);
    AbortState().calls = 0;
    Host host(testing::Picture(c.width, c.height, c.planes), options);
    Outcome outcome;
    outcome.result = host.RunAsHost();
    outcome.document = host.Document();
    outcome.input_rects = host.InputRects();
    outcome.one_pass = host.WholeImageInOnePass();
    if constexpr (std::is_same_v<Host, MemHost>) {
        EXPECT_TRUE(host.CheckGuards().empty());
    }
    return outcome;
}

std::size_t DifferingBytes(const Image& a, const Image& b) {
    if (a.bytes.size() != b.bytes.size()) return std::max(a.bytes.size(), b.bytes.size());
    std::size_t count = 0;
    for (std::size_t i = 0; i < a.bytes.size(); ++i) count += a.bytes[i] != b.bytes[i] ? 1 : 0;
    return count;
}

class LeanHostGolden : public ::testing::TestWithParam<std::tuple<testing::GoldenCase, HostSetup>> {};

TEST_P(LeanHostGolden, MakesTheTestHostsImage) {
    const auto& [c, setup] = GetParam();
    testing::RecordingPlatform platform;
    const InMemorySettings settings;
    const HostOptions options = OptionsFor(setup, c);
    const Outcome test_run = RunThrough<MemHost>(c, options);
    const Outcome lean_run = RunThrough<LeanHost>(c, options);
    ASSERT_EQ(test_run.result, 0);
    ASSERT_EQ(lean_run.result, 0);
    if (!setup.selection && setup.strip_rows == 0) {
        EXPECT_EQ(testing::Fnv1a(lean_run.document), c.hash);
    }
    EXPECT_EQ(lean_run.document.width, test_run.document.width);
    EXPECT_EQ(lean_run.document.height, test_run.document.height);
    EXPECT_EQ(lean_run.document.planes, test_run.document.planes);
    EXPECT_EQ(DifferingBytes(lean_run.document, test_run.document), 0u);
    EXPECT_EQ(lean_run.input_rects, test_run.input_rects);
    EXPECT_EQ(lean_run.one_pass, test_run.one_pass);
    for (std::int32_t& value : Live().controls) value = 0;
}

INSTANTIATE_TEST_SUITE_P(Runs, LeanHostGolden,
                         ::testing::Combine(::testing::ValuesIn(testing::kGoldenCases),
                                            ::testing::ValuesIn(kHostSetups)),
                         [](const auto& row) {
                             return std::string(std::get<0>(row.param).name) + "_" + std::get<1>(row.param).name;
                         });

// Strips: whether the module took the image in one piece, as the command-line host
// asks before it writes a result.
class StripCount : public ::testing::Test {
protected:
    const testing::GoldenCase& c = testing::kGoldenCases[1];  // overlap 20/20, 61 x 47 RGB
    testing::RecordingPlatform platform;
    const InMemorySettings settings;

    template <typename Host>
    Outcome RunWithRows(int strip_rows, bool selection = false) {
        const HostOptions options = OptionsFor({"", selection, strip_rows}, c);
        return RunThrough<Host>(c, options);
    }
    void TearDown() override {
        for (std::int32_t& value : Live().controls) value = 0;
    }
};

TEST_F(StripCount, DefaultBudgetIsOnePass) {
    const Outcome lean = RunWithRows<LeanHost>(0);
    EXPECT_EQ(lean.input_rects, 1);
    EXPECT_TRUE(lean.one_pass);
    const Outcome test = RunWithRows<MemHost>(0);
    EXPECT_EQ(test.input_rects, 1);
    EXPECT_TRUE(test.one_pass);
}

TEST_F(StripCount, SelectionWithTheDefaultBudgetIsOnePass) {
    const Outcome lean = RunWithRows<LeanHost>(0, true);
    EXPECT_EQ(lean.input_rects, 1);
    EXPECT_TRUE(lean.one_pass);
}

TEST_F(StripCount, SmallBudgetMakesOneRectPerStrip) {
    // 47 rows, 10 per strip: 5 strips.
    const Outcome lean = RunWithRows<LeanHost>(10);
    EXPECT_EQ(lean.input_rects, 5);
    EXPECT_FALSE(lean.one_pass);
    const Outcome test = RunWithRows<MemHost>(10);
    EXPECT_EQ(test.input_rects, 5);
    EXPECT_FALSE(test.one_pass);
}

TEST_F(StripCount, BudgetOfExactlyTheImageIsOnePassAndOneRowLessIsTwo) {
    const Outcome exact = RunWithRows<LeanHost>(c.height);
    EXPECT_EQ(exact.input_rects, 1);
    EXPECT_TRUE(exact.one_pass);
    const Outcome short_one_row = RunWithRows<LeanHost>(c.height - 1);
    EXPECT_EQ(short_one_row.input_rects, 2);
    EXPECT_FALSE(short_one_row.one_pass);
}

TEST_F(StripCount, CountsTheLastRunOnly) {
    LeanHost host(testing::Picture(c.width, c.height, c.planes), OptionsFor({"", false, 10}, c));
    testing::StoreGoldenSettings(c);
    ASSERT_EQ(host.RunAsHost(), 0);
    ASSERT_EQ(host.InputRects(), 5);
    host.Reset();
    host.record().maxSpace = 1 << 30;
    ASSERT_EQ(host.RunAsHost(), 0);
    EXPECT_EQ(host.InputRects(), 1);
    EXPECT_TRUE(host.WholeImageInOnePass());
}

psapi::Boolean PSAPI_CALL AlwaysStop() { return 1; }

TEST_F(StripCount, AReplacedAbortProcStopsTheRun) {
    testing::StoreGoldenSettings(c);
    LeanHost host(testing::Picture(c.width, c.height, c.planes));
    host.record().abortProc = &AlwaysStop;
    EXPECT_EQ(host.RunAsHost(), psapi::userCanceledErr);
    EXPECT_EQ(host.abort_calls, 0);
}

}  // namespace
}  // namespace tessellon::memhost
