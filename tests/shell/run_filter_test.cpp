// The filtering run of the Start selector, driven through ENTRYPOINT by the in-memory
// host: strips, selections, masks, abort, progress, the size warning, the result codes,
// and the tiling filter's output bit for bit on small worked examples.
#include <gtest/gtest.h>

#include <vector>

#include "filter/definition.h"
#include "hostapi/host_state.h"
#include "memhost/memhost.h"
#include "runtime/builtins.h"
#include "runtime/context.h"
#include "shell/host.h"
#include "shell/run_filter.h"
#include "support/recording_platform.h"
#include "ui/dialog_model.h"
#include "ui/settings.h"
#include "filter/control_rows.h"

namespace tessellon {
namespace {

using memhost::HostOptions;
using memhost::Image;
using memhost::MemHost;

// Control values for a run, stored as the dialog saves them, so that Start without
// Parameters reads them back through the settings store.
struct Settings {
    std::int32_t sliders[8] = {0, 0, 50, 0, 10, 4, 0, 0};
    std::int32_t shape = 0;
    bool fit = false, opaque_out = false, repeat = false;
    std::uint32_t colour0 = 0x00E94BEB;
};

void Store(const Settings& s) {
    EnsureSettingsKey(nullptr);
    Platform().settings_create_key(Bound().settings_key, kSettingsKeyClass);
    for (int i = 0; i < 8; ++i) Live().controls[i] = s.sliders[i];
    Live().controls[kSelectorRecord] = s.shape;
    Live().controls[CheckBoxRecordOf(0)] = s.fit ? 1 : 0;
    Live().controls[CheckBoxRecordOf(1)] = s.opaque_out ? 1 : 0;
    Live().controls[CheckBoxRecordOf(2)] = s.repeat ? 1 : 0;
    definition_block.colours[0] = s.colour0;
    SaveSettings();
}

// Red x, green y, blue 0.
Image Gradient(int width, int height, int planes) {
    Image image(width, height, planes, 0);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            image.At(x, y, 0) = static_cast<std::uint8_t>(x);
            image.At(x, y, 1) = static_cast<std::uint8_t>(y);
            if (planes > 3) image.At(x, y, 3) = 200;
        }
    }
    return image;
}

class RunFilterTest : public ::testing::Test {
protected:
    // The abort check's counter spans runs; from 0 no run here reaches the host's
    // abortProc through it.
    void SetUp() override { AbortState().calls = 0; }
    void TearDown() override {
        Host().parameters_requested = 0;
        for (std::int32_t& value : Live().controls) value = 0;
        definition_block.colours[0] = 0x00E94BEB;
    }
    testing::RecordingPlatform platform;
};

TEST_F(RunFilterTest, PixelTableOfTheWorkedExample) {
    Settings s;
    s.sliders[0] = 20;
    s.sliders[1] = -10;
    Store(s);
    MemHost host(Gradient(200, 100, 3));
    ASSERT_EQ(host.RunAsHost(), 0);
    struct Row {
        int x, y, red, green, blue;
    };
    const Row rows[] = {
        {0, 5, 235, 75, 233}, {0, 10, 160, 10, 0}, {20, 10, 180, 10, 0}, {30, 10, 110, 10, 0},
        {39, 10, 47, 10, 0},  {40, 10, 40, 10, 0}, {159, 10, 159, 10, 0}, {0, 95, 160, 5, 0},
        {0, 99, 160, 9, 0},   {100, 60, 100, 60, 0},
    };
    const Image& out = host.Document();
    for (const Row& row : rows) {
        SCOPED_TRACE(::testing::Message() << "(" << row.x << ", " << row.y << ")");
        EXPECT_EQ(out.At(row.x, row.y, 0), row.red);
        EXPECT_EQ(out.At(row.x, row.y, 1), row.green);
        EXPECT_EQ(out.At(row.x, row.y, 2), row.blue);
    }
    EXPECT_TRUE(host.CheckGuards().empty());
    EXPECT_TRUE(platform.message_boxes.empty());
}

TEST_F(RunFilterTest, ZeroOverlapGivesTheSourceBack) {
    for (int planes : {3, 4}) {
        SCOPED_TRACE(planes);
        Store(Settings{});
        MemHost host(memhost::PatternImage(37, 23, planes));
        ASSERT_EQ(host.RunAsHost(), 0);
        EXPECT_EQ(host.Document(), host.Source());
    }
}

TEST_F(RunFilterTest, OutsideTheTileTakesColourEntryZeroAndOpaqueOutDecidesItsAlpha) {
    for (bool opaque : {false, true}) {
        SCOPED_TRACE(opaque);
        Settings s;
        s.sliders[1] = 50;  // the tile is the top half
        s.opaque_out = opaque;
        s.colour0 = 0x00332211;
        Store(s);
        MemHost host(Gradient(8, 8, 4));
        ASSERT_EQ(host.RunAsHost(), 0);
        EXPECT_EQ(host.Document().At(3, 6, 0), 0x11);
        EXPECT_EQ(host.Document().At(3, 6, 1), 0x22);
        EXPECT_EQ(host.Document().At(3, 6, 2), 0x33);
        EXPECT_EQ(host.Document().At(3, 6, 3), opaque ? 255 : 0);
    }
}

TEST_F(RunFilterTest, StripsFollowTheMemoryBudgetAndWarnWhenThereIsMoreThanOne) {
    EXPECT_EQ(StripHeightFor(8'032'000, 3, 1000, 1200), 1000);
    EXPECT_EQ(StripHeightFor(8'032'000, 3, 1000, 900), 900);
    EXPECT_EQ(StripHeightFor(100, 3, 1000, 1200), 1) << "at least one row per strip";
    EXPECT_EQ(StripHeightFor(0, 4, 10, 10), 1);

    Store(Settings{});
    HostOptions options;
    options.max_space = RowCost(3, 40) * 7;  // 7 rows per strip
    MemHost host(memhost::PatternImage(40, 20, 3), options);
    ASSERT_EQ(host.RunAsHost(), 0);
    EXPECT_EQ(host.Document(), host.Source());
    ASSERT_EQ(platform.message_boxes.size(), 1u);
    EXPECT_EQ(platform.message_boxes[0].text, "The picture is too big to be processed in one pass!\n");
    EXPECT_EQ(platform.message_boxes[0].caption, "The functions src and dr,dg,db could possibly not work as desired!");
    EXPECT_EQ(platform.message_boxes[0].icon, MessageIcon::exclamation);
    // The strips start at rows 0, 7 and 14; the last is cut at the image's end. The first
    // is requested twice: once for the set-up, once more when the main pass starts.
    std::vector<int> tops;
    for (const memhost::AdvanceCall& call : host.advance_calls) {
        if (call.out_rect.bottom > call.out_rect.top) tops.push_back(call.out_rect.top);
    }
    EXPECT_EQ(tops, (std::vector<int>{0, 0, 7, 14}));
    EXPECT_EQ(Strips().height, 7);
}

TEST_F(RunFilterTest, ATinyBudgetStillFinishesRowByRow) {
    Store(Settings{});
    HostOptions options;
    options.max_space = 10;
    MemHost host(memhost::PatternImage(9, 5, 3), options);
    ASSERT_EQ(host.RunAsHost(), 0);
    EXPECT_EQ(Strips().height, 1);
    EXPECT_EQ(host.Document(), host.Source());
}

TEST_F(RunFilterTest, SelectionWithoutTheOptionRunsInImageCoordinatesOverAllStrips) {
    Settings s;
    s.sliders[0] = 50;  // the tile is the left half: x decides what a pixel becomes
    Store(s);
    HostOptions options;
    options.filter_rect = psapi::Rect{4, 2, 8, 6};  // top, left, bottom, right
    options.max_space = RowCost(3, 10) * 3;
    options.mask = memhost::RectangularMask(10, 10, psapi::Rect{4, 2, 8, 6});
    MemHost host(Gradient(10, 10, 3), options);
    ASSERT_EQ(host.RunAsHost(), 0);
    // Strips from row 0, every input band requested though only rows 4..7 are output.
    ASSERT_GE(host.advance_calls.size(), 4u);
    EXPECT_EQ(host.advance_calls[1].in_rect.top, 0);
    EXPECT_EQ(host.advance_calls[1].out_rect.bottom, 4) << "clipped to the filter rectangle";
    // Pixel (5, 5) is right of the tile (width 5): colour entry 0, as in image coordinates.
    EXPECT_EQ(host.Document().At(5, 5, 0), 235);
    EXPECT_EQ(host.Document().At(0, 5, 0), 0) << "left of the selection";
    EXPECT_EQ(host.Document().At(2, 5, 0), 7) << "its copy at x = 7 is taken in full";
    // Outside the selection nothing changed.
    EXPECT_EQ(host.Document().At(6, 5, 0), 6);
    EXPECT_EQ(host.Document().At(6, 1, 1), 1);
}

TEST_F(RunFilterTest, SelectionRelativeOptionCountsFromTheSelectionsCorner) {
    const DefinitionBlock saved = definition_block;
    definition_block.option_flags = 1;
    Settings s;
    s.sliders[0] = 50;  // tile = left half of the selection: columns 2..3 of 2..5
    Store(s);
    HostOptions options;
    options.filter_rect = psapi::Rect{4, 2, 8, 6};
    MemHost host(Gradient(10, 10, 3), options);
    ASSERT_EQ(host.RunAsHost(), 0);
    definition_block = saved;
    EXPECT_EQ(Execution().record.area_w, 4);
    EXPECT_EQ(Execution().record.area_h, 4);
    EXPECT_EQ(host.Document().At(2, 4, 0), 4) << "the corner takes its copy two columns on";
    EXPECT_EQ(host.Document().At(4, 4, 0), 235) << "right of the tile within the selection";
    EXPECT_EQ(host.Document().At(7, 4, 0), 7) << "outside the filter rectangle";
}

TEST_F(RunFilterTest, MaskedPixelsCountButAreNotFiltered) {
    Settings s;
    s.sliders[1] = 50;
    Store(s);
    HostOptions options;
    options.mask = memhost::RectangularMask(6, 6, psapi::Rect{0, 0, 6, 3});  // left half selected
    MemHost host(Gradient(6, 6, 3), options);
    ASSERT_EQ(host.RunAsHost(), 0);
    EXPECT_EQ(host.Document().At(1, 4, 0), 235) << "selected, outside the tile";
    EXPECT_EQ(host.Document().At(4, 4, 0), 4) << "not selected: as delivered";
    ASSERT_FALSE(host.progress.empty());
    EXPECT_EQ(host.progress.back(), std::make_pair(36, 36)) << "masked pixels count";
    EXPECT_EQ(host.progress.size(), 6u) << "progress after every row";
}

TEST_F(RunFilterTest, AbortAfterTheFirstRowStopsTheRun) {
    Settings s;
    s.sliders[1] = 50;
    Store(s);
    MemHost host(Gradient(5, 6, 3));
    host.abort_from_call = 1;
    EXPECT_EQ(host.RunAsHost(), psapi::userCanceledErr);
    EXPECT_EQ(host.abort_calls, 1);
    EXPECT_TRUE(host.progress.empty());
    EXPECT_EQ(Strips().done, 5) << "one row of five pixels";
}

TEST_F(RunFilterTest, NonRgbImagesAreRefusedAfterTheWarning) {
    Store(Settings{});
    HostOptions options;
    options.image_mode = psapi::plugInModeGrayScale;
    options.max_space = 1;
    MemHost host(Gradient(4, 4, 3), options);
    EXPECT_EQ(host.Call(psapi::filterSelectorStart), psapi::filterBadMode);
    EXPECT_EQ(platform.message_boxes.size(), 1u) << "the size warning comes first";
    EXPECT_EQ(host.Document(), host.Source());
}

TEST_F(RunFilterTest, StartWithoutParametersNeitherShowsNorSaves) {
    Settings s;
    s.sliders[2] = 77;
    Store(s);
    Live().controls[kFadeRow] = 1;  // the saved value, not this one, drives the run
    MemHost host(Gradient(4, 4, 3));
    ASSERT_EQ(host.RunAsHost(), 0);
    EXPECT_EQ(Live().controls[kFadeRow], 77);
    EXPECT_EQ(Dialog().show, 0);
}

}  // namespace
}  // namespace tessellon
