// The preview's geometry and timing without a window: fit zoom, view clamping and
// margins, window and image positions, zoom steps and labels, markers, the debounce.
#include <gtest/gtest.h>

#include "runtime/context.h"
#include "ui/preview_view.h"

namespace tessellon {
namespace {

TEST(PreviewGeometry, FitZoomIsTheSmallestReductionThatShowsTheWholeImage) {
    EXPECT_EQ(ComputeFitZoom(192, 192, 1000, 600), 6);
    EXPECT_EQ(ComputeFitZoom(192, 192, 192, 100), 1);
    EXPECT_EQ(ComputeFitZoom(128, 128, 129, 10), 2);
    EXPECT_EQ(ComputeFitZoom(128, 128, 10, 1280), 10);
}

TEST(PreviewGeometry, ZoomedSizes) {
    EXPECT_EQ(ZoomedSize(1000, 4), 250);
    EXPECT_EQ(ZoomedSize(1000, 0), 2000);
    EXPECT_EQ(ZoomedSize(1000, -8), 10000);
    EXPECT_EQ(ZoomedSize(1000, 1), 1000);
}

TEST(PreviewGeometry, FitCentresSmallImagesAndClampsTheView) {
    struct Row {
        const char* name;
        std::int32_t client, image, zoom, offset;
        AxisFit expected;
    };
    const Row rows[] = {
        {"100 wide in 128: centred", 128, 100, 1, 0, {99, 14, 0}},
        {"80 high in 128: centred", 128, 80, 1, 0, {79, 24, 0}},
        {"1000 at 1:1, offset 950 clamped", 128, 1000, 1, 950, {127, 0, 872}},
        {"negative offset becomes 0", 128, 1000, 1, -40, {127, 0, 0}},
        {"1000 at 1:4 fits with a margin", 128, 1000, 4, 0, {127, 0, 0}},
        {"2:1 view clamped at the far edge", 128, 100, 0, 500, {127, 0, 72}},
        {"offset inside stays", 128, 1000, 1, 300, {127, 0, 300}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const AxisFit fit = FitAxis(row.client, row.image, row.zoom, row.offset);
        EXPECT_EQ(fit.span, row.expected.span);
        EXPECT_EQ(fit.margin, row.expected.margin);
        EXPECT_EQ(fit.offset, row.expected.offset);
    }
}

TEST(PreviewGeometry, WindowAndImagePositions) {
    // A marker at (500, 300) at zoom 4 with offset (100, 50) sits at (25, 25) of the view.
    EXPECT_EQ(ImageToView({500, 300}, {100, 50}, 4), (ViewPoint{25, 25}));
    EXPECT_EQ(ImageToView({10, 10}, {5, 0}, 0), (ViewPoint{15, 20}));
    EXPECT_EQ(WindowToImage(25, 25, {100, 50}, {0, 0}, 4), (ViewPoint{500, 300}));
    EXPECT_EQ(WindowToImage(20, 30, {0, 0}, {14, 24}, 1), (ViewPoint{6, 6}));
    EXPECT_EQ(WindowToImage(15, 20, {5, 0}, {0, 0}, 0), (ViewPoint{10, 10}));
    // Mouse coordinates are signed 16-bit; division truncates toward zero.
    EXPECT_EQ(WindowToImage(0xFFFF, 1, {0, 0}, {0, 0}, -1), (ViewPoint{0, 0}));
    EXPECT_EQ(WindowToImage(0xFFFA, 1, {0, 0}, {0, 0}, 1), (ViewPoint{-6, 1}));
}

TEST(PreviewGeometry, ZoomStepsAndLabels) {
    struct Row {
        const char* name;
        ZoomDirection direction;
        bool shift;
        std::int32_t zoom, fit, sampling, expected;
        const char* label;
    };
    const Row rows[] = {
        {"in from 1:1 without fractional sampling", ZoomDirection::in, false, 1, 6, 1, 1, "1:1"},
        {"in from 1:1 with fractional sampling", ZoomDirection::in, false, 1, 6, 2, 0, "2:1"},
        {"in stops at 10:1", ZoomDirection::in, false, -8, 6, 2, -8, "10:1"},
        {"in from 1:3", ZoomDirection::in, false, 3, 6, 1, 2, "1:2"},
        {"out stops at the fit zoom", ZoomDirection::out, false, 6, 6, 1, 6, "1:6"},
        {"out one step", ZoomDirection::out, false, 2, 6, 1, 3, "1:3"},
        {"shift out jumps to fit", ZoomDirection::out, true, -3, 6, 2, 6, "1:6"},
        {"shift in jumps to 1:1", ZoomDirection::in, true, 5, 6, 1, 1, "1:1"},
        {"no sampling stays 1:1", ZoomDirection::out, false, 1, 6, 0, 1, "N/A"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const ZoomStep step = StepZoom(row.direction, row.shift, row.zoom, row.fit, row.sampling, 128, 128, {0, 0});
        EXPECT_EQ(step.zoom, row.expected);
        EXPECT_EQ(ZoomLabel(step.zoom, row.sampling), row.label);
    }
}

TEST(PreviewGeometry, ZoomKeepsTheCentrePointAtTheCentre) {
    // At 1:4 with offset (100, 50) the centre (64, 64) shows image point (656, 456).
    const ZoomStep in = StepZoom(ZoomDirection::in, false, 4, 8, 1, 128, 128, {100, 50});
    EXPECT_EQ(in.zoom, 3);
    EXPECT_EQ(in.offset, (ViewPoint{656 / 3 - 64, 456 / 3 - 64}));
    const ZoomStep magnified = StepZoom(ZoomDirection::in, true, 4, 8, 2, 128, 128, {100, 50});
    EXPECT_EQ(magnified.offset, (ViewPoint{656 - 64, 456 - 64}));
    const ZoomStep back = StepZoom(ZoomDirection::in, false, 1, 8, 2, 128, 128, magnified.offset);
    EXPECT_EQ(back.zoom, 0);
    EXPECT_EQ(back.offset, (ViewPoint{656 * 2 - 64, 456 * 2 - 64}));
}

TEST(PreviewTiming, ASingleChangeRendersOnTheSecondTick) {
    PreviewFlags flags;
    NoteParametersChanged(flags);
    EXPECT_FALSE(DebounceTick(flags)) << "the first tick only notes that values are still";
    EXPECT_TRUE(DebounceTick(flags));
    EXPECT_EQ(flags.render_pending, 0);
    EXPECT_FALSE(DebounceTick(flags)) << "nothing due any more";
}

TEST(PreviewTiming, ChangesFasterThanATickHoldTheRenderBack) {
    PreviewFlags flags;
    for (int tick = 0; tick < 5; ++tick) {
        NoteParametersChanged(flags);
        EXPECT_FALSE(DebounceTick(flags)) << tick;
    }
    EXPECT_TRUE(DebounceTick(flags));
}

TEST(PreviewTiming, ReleaseAfterPanningRendersAtTheNextTick) {
    PreviewFlags flags;
    flags.render_quality = 0;  // panning
    flags.render_pending = 1;  // button released
    EXPECT_TRUE(DebounceTick(flags));
    EXPECT_EQ(flags.render_quality, 1);
}

TEST(PreviewMarkers, RightClicksCycleThroughThePointsInUse) {
    for (MarkerPoint& point : Live().markers) point = {-1, -1};
    Live().current_marker = 0;
    EXPECT_FALSE(SetMarkerAt({5, 5}, false, 0)) << "markers off";
    EXPECT_EQ(Live().markers[0].x, -1);
    EXPECT_TRUE(SetMarkerAt({1, 2}, false, 3));
    EXPECT_TRUE(SetMarkerAt({3, 4}, false, 3));
    EXPECT_TRUE(SetMarkerAt({5, 6}, false, 3));
    EXPECT_EQ(Live().current_marker, 0);
    EXPECT_TRUE(SetMarkerAt({7, 8}, true, 3)) << "Ctrl unsets and still advances";
    EXPECT_EQ(Live().markers[0].x, -1);
    EXPECT_EQ(Live().markers[1].y, 4);
    EXPECT_EQ(Live().markers[2].x, 5);
    EXPECT_EQ(Live().current_marker, 1);
    for (MarkerPoint& point : Live().markers) point = {-1, -1};
    Live().current_marker = 0;
}

}  // namespace
}  // namespace tessellon
