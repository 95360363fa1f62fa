// The tiling filter's set-up: tile geometry and seam profiles, run through the phase
// dispatcher as a run does.
#include <gtest/gtest.h>

#include <vector>

#include "filter/variables.h"
#include "hostapi/host_state.h"
#include "runtime/builtins.h"
#include "runtime/context.h"
#include "support/recording_platform.h"
#include "filter/control_rows.h"

namespace tessellon {
namespace {

using namespace tiling;

struct Controls {
    std::int32_t overlap_x = 0, overlap_y = 0, fade = 50, thru_bg = 0, bg_smooth = 10, freq = 4, phase_x = 0,
                 phase_y = 0;
    std::int32_t shape = 0;
    bool fit = false;
};

// Runs the set-up for an area of the given size.
void RunSetup(std::int32_t width, std::int32_t height, const Controls& k) {
    const std::int32_t sliders[8] = {k.overlap_x, k.overlap_y, k.fade, k.thru_bg,
                                     k.bg_smooth, k.freq,      k.phase_x, k.phase_y};
    for (int i = 0; i < 8; ++i) Live().controls[i] = sliders[i];
    Live().controls[kSeamRow] = k.shape;
    Live().controls[kFitRow] = k.fit ? 1 : 0;
    Execution().record = RunRecord{};
    Execution().record.area_w = width;
    Execution().record.area_h = height;
    run_phase(0);
}

std::vector<std::int32_t> Profile(std::int32_t first_cell, int count) {
    std::vector<std::int32_t> values;
    for (int i = 0; i < count; ++i) values.push_back(Execution().put_array[first_cell + i]);
    return values;
}

class SetupEntryTest : public ::testing::Test {
protected:
    void TearDown() override {
        for (std::int32_t& value : Live().controls) value = 0;
        Execution().record = RunRecord{};
    }
    const std::int32_t* v = Execution().context.vars;
};

TEST_F(SetupEntryTest, GeometryOfTheWorkedExample) {
    RunSetup(200, 100, Controls{.overlap_x = 20, .overlap_y = -10});
    struct Row {
        const char* name;
        int var;
        std::int32_t value;
    };
    const Row rows[] = {
        {"cell_out", kCellOut, 0},          {"cell_acc", kCellAcc, 5},
        {"cell_src", kCellSrc, 10},         {"cell_profile_x", kCellProfileX, 100},
        {"cell_profile_y", kCellProfileY, 20100}, {"scale", kScale, 200},
        {"overlap_x", kOverlapX, 40},       {"overlap_y", kOverlapY, -10},
        {"overlap_x_abs", kOverlapXAbs, 40}, {"overlap_y_abs", kOverlapYAbs, 10},
        {"tile_w", kTileW, 160},            {"tile_h", kTileH, 90},
        {"step_x", kStepX, 32000},          {"step_y", kStepY, -18000},
        {"weight_full", kWeightFull, 40},   {"bg_lo", kBgLo, 0},
        {"bg_hi", kBgHi, 76},               {"profile_len_x", kProfileLenX, 160},
        {"profile_len_y", kProfileLenY, 90}, {"tile_x0", kTileX0, 0},
        {"tile_x1", kTileX1, 160},          {"band_x_lo", kBandXLo, 36000},
        {"band_x_hi", kBandXHi, 40000},     {"weight_x_after", kWeightXAfter, 0},
        {"weight_x_before", kWeightXBefore, 40}, {"band_x_width", kBandXWidth, 4000},
        {"tile_y0", kTileY0, 10},           {"tile_y1", kTileY1, 100},
        {"band_y_lo", kBandYLo, 0},         {"band_y_hi", kBandYHi, 1000},
        {"weight_y_after", kWeightYAfter, 40}, {"weight_y_before", kWeightYBefore, 0},
        {"band_y_width", kBandYWidth, 1000},
    };
    for (const Row& row : rows) EXPECT_EQ(v[row.var], row.value) << row.name;
}

TEST_F(SetupEntryTest, ProfilesOfTheWorkedExample) {
    struct Row {
        const char* name;
        std::int32_t shape;
        std::vector<std::int32_t> x, y;
    };
    const Row rows[] = {
        {"normal", 0, {0, 0, 0}, {0, 0, 0}},
        {"wave", 1, {-500, -578, -654, -726}, {2000, 2551, 3059}},
        {"zigzag", 2, {0, -48, -96}, {0, 352, 704}},
        {"fractal", 3, {-647, -621, -599}, {2535, 2213, 2375}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        RunSetup(200, 100, Controls{.overlap_x = 20, .overlap_y = -10, .shape = row.shape});
        EXPECT_EQ(Profile(kProfileXCell, static_cast<int>(row.x.size())), row.x);
        EXPECT_EQ(Profile(kProfileYCell, static_cast<int>(row.y.size())), row.y);
        EXPECT_EQ(v[kAmplitude], 4000) << "the last pass builds the y profile";
    }
    RunSetup(200, 100, Controls{.overlap_x = 20, .overlap_y = -10, .shape = 1});
    EXPECT_EQ(Execution().put_array[kProfileXCell + 10], -1000);
}

TEST_F(SetupEntryTest, EveryProfileValueLiesBetweenZeroAndTheAmplitude) {
    for (std::int32_t shape = 0; shape < 4; ++shape) {
        SCOPED_TRACE(shape);
        RunSetup(200, 100, Controls{.overlap_x = 20, .overlap_y = -10, .freq = 7, .phase_x = 30, .shape = shape});
        for (std::int32_t value : Profile(kProfileXCell, 160)) {
            EXPECT_LE(value, 0);
            EXPECT_GE(value, -1000);
        }
        for (std::int32_t value : Profile(kProfileYCell, 90)) {
            EXPECT_GE(value, 0);
            EXPECT_LE(value, 4000);
        }
    }
}

TEST_F(SetupEntryTest, ZeroOverlapGivesTheWholeImageAndFlatProfiles) {
    for (std::int32_t shape = 0; shape < 4; ++shape) {
        SCOPED_TRACE(shape);
        RunSetup(64, 48, Controls{.shape = shape});
        EXPECT_EQ(v[kTileW], 64);
        EXPECT_EQ(v[kTileH], 48);
        EXPECT_EQ(v[kWeightFull], 1);
        EXPECT_EQ(v[kBandXLo], 0);
        EXPECT_EQ(v[kBandXHi], 0);
        EXPECT_EQ(v[kTileX0], 0);
        for (std::int32_t value : Profile(kProfileXCell, 64)) EXPECT_EQ(value, 0);
        for (std::int32_t value : Profile(kProfileYCell, 48)) EXPECT_EQ(value, 0);
    }
}

TEST_F(SetupEntryTest, FitProfilesSpanTheImageAndFullFadeFlattensTheSeam) {
    RunSetup(200, 100, Controls{.overlap_x = 20, .overlap_y = -10, .fade = 100, .shape = 1, .fit = true});
    EXPECT_EQ(v[kProfileLenX], 200);
    EXPECT_EQ(v[kProfileLenY], 100);
    // The band covers the whole overlap, so no amplitude is left for the seam.
    for (std::int32_t value : Profile(kProfileXCell, 200)) EXPECT_EQ(value, 0);
    for (std::int32_t value : Profile(kProfileYCell, 100)) EXPECT_EQ(value, 0);
}

TEST_F(SetupEntryTest, ThruBackgroundThresholds) {
    struct Row {
        std::int32_t thru_bg, bg_smooth, lo, hi;
    };
    const Row rows[] = {{0, 10, 0, 76}, {1, 0, 0, 0}, {2, 0, 3, 3}, {255, 100, 762, 765}, {100, 50, 297, 531}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.thru_bg);
        RunSetup(10, 10, Controls{.thru_bg = row.thru_bg, .bg_smooth = row.bg_smooth});
        EXPECT_EQ(v[kBgLo], row.lo);
        EXPECT_EQ(v[kBgHi], row.hi);
    }
}

TEST_F(SetupEntryTest, AbortStopsTheSetUpWhereItIs) {
    testing::RecordingPlatform platform;
    AbortState().calls = 100000;  // the next check asks the host
    psapi::FilterRecord record{};
    record.abortProc = []() -> psapi::Boolean { return 1; };
    Host().record = &record;
    RunSetup(200, 100, Controls{.overlap_x = 20, .overlap_y = -10, .shape = 2});
    Host().record = nullptr;
    EXPECT_EQ(v[kTileW], 160) << "the geometry comes before the first check";
    EXPECT_EQ(v[kProfileBase], 0);
    EXPECT_EQ(v[kProfileLen], 0) << "the first pass stopped at its first check";
}

}  // namespace
}  // namespace tessellon
