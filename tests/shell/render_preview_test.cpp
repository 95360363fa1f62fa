// The preview renderer with the in-memory host: what is requested at which scale, what
// reaches displayPixels, the grey margins, the watchdog and its red text, the marker
// crosses, and colour picking from the preview and through the host's picker.
#include <gtest/gtest.h>

#include <vector>

#include "filter/definition.h"
#include "hostapi/host_state.h"
#include "memhost/memhost.h"
#include "runtime/builtins.h"
#include "runtime/context.h"
#include "shell/render_preview.h"
#include "shell/run_filter.h"
#include "support/recording_platform.h"
#include "ui/colour_pick.h"
#include "ui/preview_view.h"
#include "filter/control_rows.h"

namespace tessellon {
namespace {

using memhost::HostOptions;
using memhost::Image;
using memhost::MemHost;

struct Rectangle {
    std::int32_t left, top, right, bottom;
    bool operator==(const Rectangle&) const = default;
};

class RecordingCanvas : public PreviewCanvas {
public:
    void* Context() override { return this; }
    void FillGrey(std::int32_t left, std::int32_t top, std::int32_t right, std::int32_t bottom) override {
        greys.push_back({left, top, right, bottom});
    }
    void DrawCross(std::int32_t x, std::int32_t y, bool black) override { crosses.push_back({x, y, black}); }
    void DrawTimeLimitText(std::int32_t x, std::int32_t y) override { time_limit_text.push_back({x, y}); }

    struct Cross {
        std::int32_t x, y;
        bool black;
    };
    std::vector<Rectangle> greys;
    std::vector<Cross> crosses;
    std::vector<ViewPoint> time_limit_text;
};

// Red x, green y, blue 7.
Image Gradient(int width, int height) {
    Image image(width, height, 3, 7);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            image.At(x, y, 0) = static_cast<std::uint8_t>(x);
            image.At(x, y, 1) = static_cast<std::uint8_t>(y);
        }
    }
    return image;
}

class RenderPreviewTest : public ::testing::Test {
protected:
    void SetUp() override {
        AbortState().calls = 0;
        Preview().flags = PreviewFlags{};
        Preview().flags.rendering_enabled = 1;
        Preview().filtering_enabled = 1;
        for (std::int32_t& value : Live().controls) value = 0;
        Live().controls[kFadeRow] = 50;
        Live().controls[kFreqRow] = 4;
    }
    void TearDown() override {
        Host().preview_zoom = 1;
        Preview().filtering_enabled = 0;
        Preview().flags = PreviewFlags{};
        for (std::int32_t& value : Live().controls) value = 0;
        definition_block = saved_block_;
        for (MarkerPoint& point : Live().markers) point = {-1, -1};
        Host().record = nullptr;
    }
    // What RunFilter sets before the dialog opens.
    void PrepareRun(MemHost& host) {
        Host().record = &host.record();
        Execution().record = RunRecord{};
        Execution().record.area_w = host.record().imageSize.h;
        Execution().record.area_h = host.record().imageSize.v;
        Execution().record.plane_count = host.record().planes;
    }

    testing::RecordingPlatform platform;
    DefinitionBlock saved_block_ = definition_block;
};

TEST_F(RenderPreviewTest, SmallImageIsCentredGreyedAroundAndShownFiltered) {
    MemHost host(Gradient(100, 80));
    PrepareRun(host);
    Host().preview_zoom = 1;
    Live().controls[kOverlapYRow] = 50;  // tile = top half; the rest takes colour entry 0
    ViewPoint offset{0, 0};
    RecordingCanvas canvas;
    RenderPreview(canvas, 128, 128, offset, 1, kRenderFull, false);

    EXPECT_EQ(Preview().view_margin, (ViewPoint{14, 24}));
    ASSERT_EQ(host.display_calls.size(), 1u);
    const memhost::DisplayCall& shown = host.display_calls[0];
    EXPECT_EQ(shown.version, 1);
    EXPECT_EQ(shown.bounds.right - shown.bounds.left, 99);
    EXPECT_EQ(shown.bounds.bottom - shown.bounds.top, 79);
    EXPECT_EQ(shown.dst_col, 14);
    EXPECT_EQ(shown.dst_row, 24);
    EXPECT_EQ(shown.platform_context, static_cast<void*>(&canvas));
    EXPECT_FALSE(shown.has_masks);
    EXPECT_EQ(shown.pixels.At(10, 10, 0), 10) << "inside the tile";
    EXPECT_EQ(shown.pixels.At(10, 60, 0), 235) << "outside the tile: colour entry 0";
    // Grey above, below, left and right of the 99 x 79 image at (14, 24).
    EXPECT_EQ(canvas.greys, (std::vector<Rectangle>{
                                {0, 0, 128, 24}, {0, 103, 128, 128}, {0, 24, 14, 103}, {113, 24, 128, 103}}));
    EXPECT_EQ(Execution().preview_start, 0) << "the watchdog is disarmed after the render";
    // The output buffer holds the source again, for the next render.
    const auto* out = static_cast<const std::uint8_t*>(host.record().outData);
    EXPECT_EQ(out[static_cast<std::ptrdiff_t>(60) * host.record().outRowBytes + 10 * 3], 10);
}

TEST_F(RenderPreviewTest, FilteringOffQualityOffOrRenderingOffShowTheSource) {
    struct Row {
        const char* name;
        std::int16_t quality, rendering, filtering;
    };
    const Row rows[] = {{"filtering box cleared", 1, 1, 0}, {"panning", 0, 1, 1}, {"picking a colour", 1, 0, 1}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        MemHost host(Gradient(40, 30));
        PrepareRun(host);
        Live().controls[kOverlapYRow] = 50;
        Preview().flags.rendering_enabled = row.rendering;
        Preview().filtering_enabled = row.filtering;
        ViewPoint offset{0, 0};
        RecordingCanvas canvas;
        RenderPreview(canvas, 64, 64, offset, row.quality, kRenderFull, false);
        ASSERT_EQ(host.display_calls.size(), 1u);
        EXPECT_EQ(host.display_calls[0].pixels.At(10, 20, 0), 10) << "the source";
    }
}

TEST_F(RenderPreviewTest, ReducedPreviewAsksTheHostForSampledData) {
    MemHost host(Gradient(400, 300));
    PrepareRun(host);
    Host().preview_zoom = 4;  // every fourth pixel: 100 x 75 zoomed
    ViewPoint offset{0, 0};
    RecordingCanvas canvas;
    RenderPreview(canvas, 128, 128, offset, 1, kRenderFull, false);
    ASSERT_FALSE(host.advance_calls.empty());
    EXPECT_EQ(host.advance_calls.back().input_rate, 4 * 65536);
    EXPECT_EQ(host.advance_calls.back().in_rect.right, 99);
    EXPECT_EQ(host.record().inputPadding, 255);
    ASSERT_EQ(host.display_calls.size(), 1u);
    EXPECT_EQ(host.display_calls[0].pixels.At(10, 0, 0), 40) << "zoomed pixel 10 is image pixel 40";
}

TEST_F(RenderPreviewTest, AdvanceStateErrorIsReportedAndNothingDrawn) {
    MemHost host(Gradient(20, 20));
    PrepareRun(host);
    host.advance_result = -50;
    ViewPoint offset{0, 0};
    RecordingCanvas canvas;
    RenderPreview(canvas, 64, 64, offset, 1, kRenderFull, false);
    ASSERT_EQ(platform.message_boxes.size(), 1u);
    EXPECT_EQ(platform.message_boxes[0].text, "Error -50 in advanceState!\nInternal error - please report to the authors!");
    EXPECT_EQ(platform.message_boxes[0].caption, "Filter Error");
    EXPECT_TRUE(host.display_calls.empty());
    EXPECT_TRUE(canvas.greys.empty());
}

TEST_F(RenderPreviewTest, SlowRenderIsAbandonedWithTheRedText) {
    MemHost host(Gradient(300, 300));
    PrepareRun(host);
    Live().controls[kOverlapXRow] = 75;
    Live().controls[kOverlapYRow] = 75;  // many copies per pixel: many abort checks
    platform.ms_of_day = 86'379'000;  // the render starts just before midnight
    Platform().ms_of_day = [] {
        // The clock runs 20 ms per reading: the first reading arms the watchdog, the
        // following ones come once per 100,001 checks.
        testing::RecordingPlatform::current->ms_of_day += 20'000;
        return testing::RecordingPlatform::current->ms_of_day % 86'400'000;
    };
    ViewPoint offset{0, 0};
    RecordingCanvas canvas;
    RenderPreview(canvas, 128, 128, offset, 1, kRenderFull, false);
    ASSERT_EQ(canvas.time_limit_text.size(), 1u);
    EXPECT_EQ(canvas.time_limit_text[0], (ViewPoint{64, 64}));
    EXPECT_EQ(host.display_calls.size(), 1u) << "the partial result is shown";
    EXPECT_EQ(Execution().preview_start, 0);
}

TEST_F(RenderPreviewTest, MarkersAreDrawnInEveryModeWithoutCallingTheHost) {
    definition_block.point_count = 2;
    MemHost host(Gradient(1000, 800));
    PrepareRun(host);
    Host().preview_zoom = 4;
    Live().markers[0] = {500, 300};
    Live().markers[1] = {-1, 300};
    ViewPoint offset{100, 50};
    RecordingCanvas canvas;
    RenderPreview(canvas, 128, 128, offset, 1, kRenderMarkersBlack, false);
    EXPECT_TRUE(host.advance_calls.empty());
    EXPECT_TRUE(host.display_calls.empty());
    ASSERT_EQ(canvas.crosses.size(), 1u);
    EXPECT_EQ(canvas.crosses[0].x, 25);
    EXPECT_EQ(canvas.crosses[0].y, 25);
    EXPECT_TRUE(canvas.crosses[0].black);
    RenderPreview(canvas, 128, 128, offset, 1, kRenderMarkersWhite, false);
    EXPECT_FALSE(canvas.crosses.back().black);
}

TEST_F(RenderPreviewTest, LayerTransparencyAndFloatingSelectionsGoWithTheMap) {
    HostOptions layer;
    layer.layer = true;
    MemHost host(memhost::PatternImage(10, 10, 4), layer);
    PrepareRun(host);
    Preview().filtering_enabled = 0;
    ViewPoint offset{0, 0};
    RecordingCanvas canvas;
    RenderPreview(canvas, 32, 32, offset, 1, kRenderFull, false);
    ASSERT_EQ(host.display_calls.size(), 1u);
    const memhost::DisplayCall& shown = host.display_calls[0];
    EXPECT_EQ(shown.col_bytes, 4);
    ASSERT_TRUE(shown.has_masks);
    EXPECT_EQ(shown.first_mask.colBytes, 4);
    EXPECT_TRUE(static_cast<std::uint8_t*>(shown.first_mask.maskData) ==
                static_cast<std::uint8_t*>(host.record().outData) + 3);
}

TEST_F(RenderPreviewTest, ColourPickFromThePreviewAndFromTheHost) {
    MemHost host(Gradient(100, 100));
    PrepareRun(host);
    Host().preview_zoom = 2;
    ViewPoint offset{0, 0};
    RecordingCanvas canvas;
    RenderPreview(canvas, 64, 64, offset, 0, kRenderFull, false);  // the sampled section
    Preview().pick_slot = 0;
    ASSERT_TRUE(PickColourAt(31, 41));
    // The sample shown at that place: zoomed pixel (15, 20) is image pixel (30, 40).
    EXPECT_EQ(definition_block.colours[0], 30u | 40u << 8 | 7u << 16);
    EXPECT_FALSE(PickColourAt(100, 5)) << "outside the image";

    host.color_answer = {1, 2, 3};
    ChooseColourWithHost(0);
    EXPECT_EQ(definition_block.colours[0], 0x00030201u);
    ASSERT_EQ(host.color_requests.size(), 1u);
    // 36 bytes in the 32-bit module, as hosts expect; larger with 64-bit pointers.
    EXPECT_EQ(host.color_requests[0].info_size, static_cast<int>(sizeof(psapi::ColorServicesInfo)));
    EXPECT_EQ(host.color_requests[0].prompt, "Vextrel: Select Color");
    EXPECT_EQ(host.color_requests[0].components[0], 30);
    EXPECT_EQ(host.color_requests[0].components[1], 40);
    host.color_cancel = true;
    ChooseColourWithHost(0);
    EXPECT_EQ(definition_block.colours[0], 0x00030201u) << "a cancelled picker leaves the colour";
}

}  // namespace
}  // namespace tessellon
