// The phase dispatcher, the context loader and the write-back, driven through a small
// test filter whose routines are bound to the block's entries. Also the built-in
// table's slot order.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <memory>
#include <vector>

#include "filter/definition.h"
#include "hostapi/host_state.h"
#include "runtime/builtins.h"
#include "runtime/context.h"
#include "support/recording_platform.h"

namespace tessellon {
namespace {

// What the test filter's routines see and do.
struct Probe {
    int calls = 0;
    std::vector<ExecutionContext> seen;
    void (*action)(ExecutionContext&) = nullptr;
    std::int32_t answer = 0;
};
Probe probe[4];  // by phase

template <int Phase>
std::int32_t ProbeRoutine(ExecutionContext& context, const BuiltinTable& builtins) noexcept {
    EXPECT_EQ(&builtins, &builtin_table);
    Probe& p = probe[Phase];
    ++p.calls;
    p.seen.push_back(context);
    if (p.action != nullptr) p.action(context);
    return p.answer;
}

class RunPhaseTest : public ::testing::Test {
protected:
    void SetUp() override {
        saved_block_ = std::make_unique<DefinitionBlock>(definition_block);
        std::memcpy(saved_address_, Bound().entry_address, sizeof saved_address_);
        std::memcpy(saved_routine_, Bound().entry_routine, sizeof saved_routine_);
        for (Probe& p : probe) p = Probe{};
        // Every entry present and bound to the probe of its phase.
        for (int phase = 0; phase < 4; ++phase) {
            const int word = EntryWordOf(phase);
            Bound().entry_address[word] = &present_;
        }
        Bound().entry_routine[EntryWordOf(0)] = &ProbeRoutine<0>;
        Bound().entry_routine[EntryWordOf(1)] = &ProbeRoutine<1>;
        Bound().entry_routine[EntryWordOf(2)] = &ProbeRoutine<2>;
        Bound().entry_routine[EntryWordOf(3)] = &ProbeRoutine<3>;
        std::memset(definition_block.use_flags, 0, sizeof definition_block.use_flags);

        Execution().record = RunRecord{};
        Execution().record.plane_count = 3;
        Execution().record.area_w = 10;
        Execution().record.area_h = 8;
        SetPixel(10, 20, 30, 40);
        Host().preview_zoom = 1;
        Execution().preview_start = 0;
    }

    void TearDown() override {
        definition_block = *saved_block_;
        std::memcpy(Bound().entry_address, saved_address_, sizeof saved_address_);
        std::memcpy(Bound().entry_routine, saved_routine_, sizeof saved_routine_);
        Execution().record = RunRecord{};
        Host().preview_zoom = 1;
        Execution().preview_start = 0;
    }

    // Source and destination of the current pixel, with a guard byte after each.
    void SetPixel(std::uint8_t r, std::uint8_t g, std::uint8_t b, std::uint8_t a) {
        source_ = {r, g, b, a, 0xEE};
        dest_ = {0xAA, 0xAA, 0xAA, 0xAA, 0xAA};
        Execution().record.cur_src = source_.data();
        Execution().record.cur_dst = dest_.data();
    }

    void Flag(int phase, int field) { definition_block.use_flags[phase][field] = 1; }

    std::uint8_t present_ = 0x55;  // any first byte but a bare return
    std::uint8_t bare_return_ = kReturnOpcode;
    std::array<std::uint8_t, 5> source_{};
    std::array<std::uint8_t, 5> dest_{};

private:
    std::unique_ptr<DefinitionBlock> saved_block_;
    const std::uint8_t* saved_address_[4]{};
    NativeEntry saved_routine_[4]{};
};

TEST_F(RunPhaseTest, EachPhaseRunsTheEntryOfItsBlockWordAndReturnsItsAnswer) {
    for (int phase = 0; phase < 4; ++phase) probe[phase].answer = 100 + phase;
    EXPECT_EQ(run_phase(0), 100);
    EXPECT_EQ(run_phase(1), 101);
    EXPECT_EQ(run_phase(2), 102);
    EXPECT_EQ(run_phase(3), 103);
    for (const Probe& p : probe) EXPECT_EQ(p.calls, 1);
    EXPECT_EQ(Execution().phase, 3);
    EXPECT_EQ(Execution().entry, &present_);
}

TEST_F(RunPhaseTest, SetupClearsTheContextAndRenewsThePutArrayEvenWithoutAnEntry) {
    Bound().entry_address[EntryWordOf(0)] = nullptr;
    Execution().context.vars[0] = 5;
    Execution().context.status = 2;
    alloc_put_array(10);
    Execution().put_array[3] = 9;
    EXPECT_EQ(run_phase(0), 0);
    EXPECT_EQ(probe[0].calls, 0);
    const ExecutionContext zero{};
    EXPECT_EQ(std::memcmp(&Execution().context, &zero, sizeof zero), 0);
    ASSERT_EQ(Execution().put_cell_count, 41000);
    EXPECT_EQ(Execution().put_array[3], 0);
    EXPECT_EQ(Execution().put_array[40999], 0);

    definition_block.put_cell_count = 0;  // means 256
    run_phase(0);
    EXPECT_EQ(Execution().put_cell_count, 256);
}

TEST_F(RunPhaseTest, BareReturnIsAbsentNothingLoadedCalledOrWritten) {
    Bound().entry_address[EntryWordOf(2)] = &bare_return_;
    Execution().context.src_r = 77;
    EXPECT_EQ(run_phase(2), 0);
    EXPECT_EQ(probe[2].calls, 0);
    EXPECT_EQ(Execution().context.src_r, 77);
    EXPECT_EQ(dest_[0], 0xAA);
}

TEST_F(RunPhaseTest, ContextKeepsVariablesFromSetupThroughEveryPixel) {
    probe[0].action = [](ExecutionContext& c) { c.vars[0] = 1000; };
    probe[2].action = [](ExecutionContext& c) { c.vars[0] += 1; };
    run_phase(0);
    for (int i = 0; i < 3; ++i) run_phase(2);
    EXPECT_EQ(Execution().context.vars[0], 1003);
}

TEST_F(RunPhaseTest, PixelWriteBackIsClampedAndSkipsTheFourthByteOfThreePlanes) {
    probe[2].action = [](ExecutionContext& c) {
        c.out_r = -5;
        c.out_g = 300;
        c.out_b = 128;
        c.out_a = 7;
    };
    run_phase(2);
    EXPECT_EQ(dest_[0], 0);
    EXPECT_EQ(dest_[1], 255);
    EXPECT_EQ(dest_[2], 128);
    EXPECT_EQ(dest_[3], 0xAA) << "byte 3 of a three-plane image is never written";
    ASSERT_EQ(probe[2].seen.size(), 1u);
    EXPECT_EQ(probe[2].seen[0].src_a, 255);
    EXPECT_EQ(probe[2].seen[0].out_a, 255);

    Execution().record.plane_count = 4;
    probe[2].action = [](ExecutionContext& c) { c.out_a = 999; };
    run_phase(2);
    EXPECT_EQ(probe[2].seen[1].src_a, 40);
    EXPECT_EQ(dest_[3], 255);
    EXPECT_EQ(dest_[4], 0xAA);
}

TEST_F(RunPhaseTest, FirstPassLoadsPixelsButWritesNothingBack) {
    probe[1].action = [](ExecutionContext& c) { c.out_r = 1; };
    run_phase(1);
    ASSERT_EQ(probe[1].seen.size(), 1u);
    EXPECT_EQ(probe[1].seen[0].out_r, 10);
    EXPECT_EQ(probe[1].seen[0].src_b, 30);
    EXPECT_EQ(dest_[0], 0xAA);
}

TEST_F(RunPhaseTest, OptionalFieldsLoadOnlyWhenTheirPhaseFlagsThem) {
    Execution().record.half_diag = 6;
    Execution().record.ref_x = 3;
    Execution().record.ref_y = 4;
    Execution().record.back_color[0] = 200;
    Execution().record.fore_color[2] = 255;
    Execution().context.width = -1;
    Execution().context.luma = -1;
    Execution().context.back_r = -1;
    run_phase(2);  // nothing flagged
    EXPECT_EQ(probe[2].seen[0].width, -1);
    EXPECT_EQ(probe[2].seen[0].luma, -1);
    EXPECT_EQ(probe[2].seen[0].back_r, -1);
    EXPECT_EQ(probe[2].seen[0].src_r, 10) << "pixel fields are always loaded";

    for (int field : {kFieldLuma, kFieldWidth, kFieldHeight, kFieldPlaneCount, kFieldHalfDiag, kFieldBackR,
                      kFieldForeB, kFieldRefX, kFieldRefY}) {
        Flag(kPhasePixel, field);
    }
    run_phase(2);
    const ExecutionContext& c = probe[2].seen[1];
    EXPECT_EQ(c.luma, (76 * 10 + 150 * 20 + 29 * 30) / 256);
    EXPECT_EQ(c.width, 10);
    EXPECT_EQ(c.height, 8);
    EXPECT_EQ(c.plane_count, 3);
    EXPECT_EQ(c.half_diag, 6);
    EXPECT_EQ(c.back_r, 200);
    EXPECT_EQ(c.fore_b, 255) << "colour bytes are widened without sign";
    EXPECT_EQ(c.ref_x, 3);
    EXPECT_EQ(c.ref_y, 4);
}

TEST_F(RunPhaseTest, ColourDifferenceFieldsTruncateTowardZero) {
    struct Row {
        const char* name;
        std::uint8_t r, g, b;
        std::int32_t luma, chroma_u, chroma_v;
    };
    const Row rows[] = {
        {"white", 255, 255, 255, 254, 0, 0},
        {"small negative u and v give 0", 0, 1, 0, 0, 0, 0},
        {"pure green", 0, 255, 0, 149, -36, -64},
        {"pure blue", 0, 0, 255, 28, 55, -12},
    };
    Flag(kPhasePixel, kFieldLuma);
    Flag(kPhasePixel, kFieldChromaU);
    Flag(kPhasePixel, kFieldChromaV);
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        SetPixel(row.r, row.g, row.b, 0);
        run_phase(2);
        const ExecutionContext& c = probe[2].seen.back();
        EXPECT_EQ(c.luma, row.luma);
        EXPECT_EQ(c.chroma_u, row.chroma_u);
        EXPECT_EQ(c.chroma_v, row.chroma_v);
    }
}

TEST_F(RunPhaseTest, CentrePixelHasRadiusZeroAngleQuarterTurnAndStatusRules) {
    Execution().record.cur_x = 5;  // area 10 x 8: the centre is (5, 4)
    Execution().record.cur_y = 4;
    Flag(kPhasePixel, kFieldAngle);
    Flag(kPhasePixel, kFieldRadius);
    run_phase(2);
    EXPECT_EQ(probe[2].seen[0].radius, 0);
    EXPECT_EQ(probe[2].seen[0].angle, 256);
    // The square root of 0 is refused; the status stays unless the phase clears it last.
    EXPECT_EQ(probe[2].seen[0].status, 2);
    Flag(kPhasePixel, kFieldStatus);
    run_phase(2);
    EXPECT_EQ(probe[2].seen[1].status, 0);

    Execution().record.cur_x = 8;  // (3, -4) from the centre
    Execution().record.cur_y = 0;
    run_phase(2);
    EXPECT_EQ(probe[2].seen[2].radius, 5);
    EXPECT_EQ(probe[2].seen[2].angle, vec_angle(3, -4));
}

TEST_F(RunPhaseTest, PositionFollowsThePreviewZoom) {
    struct Row {
        const char* name;
        std::int32_t zoom, cur, pos;
    };
    const Row rows[] = {
        {"real run", 1, 7, 7},           {"every third pixel", 3, 7, 21},
        {"zoom 2", 2, -4, -8},           {"magnified twice", 0, 7, 3},
        {"magnified three times", -1, 7, 2}, {"negative truncates toward zero", 0, -3, -1},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Host().preview_zoom = row.zoom;
        Execution().record.cur_x = row.cur;
        Execution().record.cur_y = row.cur;
        run_phase(2);
        EXPECT_EQ(probe[2].seen.back().pos_x, row.pos);
        EXPECT_EQ(probe[2].seen.back().pos_y, row.pos);
    }
}

TEST_F(RunPhaseTest, PreviewScaleAndMaskValue) {
    Flag(kPhasePixel, kFieldPreviewScale);
    Flag(kPhasePixel, kFieldMaskValue);
    run_phase(2);
    EXPECT_EQ(probe[2].seen[0].preview_scale, 0) << "0 in a real run";
    EXPECT_EQ(probe[2].seen[0].mask_value, 255) << "no host mask";

    std::uint8_t mask = 17;
    Execution().record.cur_mask = &mask;
    Execution().preview_start = 1234;
    Host().preview_zoom = 3;
    run_phase(2);
    EXPECT_EQ(probe[2].seen[1].preview_scale, 3);
    EXPECT_EQ(probe[2].seen[1].mask_value, 17);
    Host().preview_zoom = -1;
    run_phase(2);
    EXPECT_EQ(probe[2].seen[2].preview_scale, -2);
}

TEST_F(RunPhaseTest, SetupAndBetweenPhasesKeepTheLastPixelButRecomputeThePosition) {
    Flag(kPhaseBetween, kFieldMaskValue);
    SetPixel(1, 2, 3, 4);
    Execution().record.cur_x = 6;
    run_phase(2);
    SetPixel(9, 9, 9, 9);
    Execution().record.cur_x = 2;
    Execution().context.mask_value = -7;
    run_phase(3);
    const ExecutionContext& c = probe[3].seen[0];
    EXPECT_EQ(c.src_r, 1);
    EXPECT_EQ(c.out_b, 3);
    EXPECT_EQ(c.pos_x, 2);
    EXPECT_EQ(c.mask_value, -7) << "the mask value is a pixel field";
}

TEST(PutArray, FailedAllocationIsReportedAndLeavesNoCells) {
    testing::RecordingPlatform platform;
    Platform().alloc_zeroed = [](std::size_t) -> void* { return nullptr; };
    alloc_put_array(100);
    ASSERT_EQ(platform.message_boxes.size(), 1u);
    EXPECT_EQ(platform.message_boxes[0].text, "Cannot initialize put array (internal error)!");
    EXPECT_EQ(platform.message_boxes[0].caption, "Vextrel Error");
    EXPECT_EQ(platform.message_boxes[0].icon, MessageIcon::stop);
    EXPECT_EQ(Execution().put_cell_count, 0);
    Execution().context.status = 0;
    EXPECT_EQ(put_read(0), 0);
    EXPECT_EQ(Execution().context.status, 1);
    Platform().alloc_zeroed = NativePlatform().alloc_zeroed;
    alloc_put_array(16);
    EXPECT_EQ(Execution().put_cell_count, 16);
}

TEST(BuiltinTable, EverySlotHoldsItsFunction) {
    const BuiltinAddress expected[kBuiltinCount] = {
        reinterpret_cast<BuiltinAddress>(&absval),      reinterpret_cast<BuiltinAddress>(&plus_cap),
        reinterpret_cast<BuiltinAddress>(&vec_angle),   reinterpret_cast<BuiltinAddress>(&vec_length),
        reinterpret_cast<BuiltinAddress>(&conv3_r),     reinterpret_cast<BuiltinAddress>(&conv3_g),
        reinterpret_cast<BuiltinAddress>(&conv3_b),     reinterpret_cast<BuiltinAddress>(&slider),
        reinterpret_cast<BuiltinAddress>(&cos_scaled),  reinterpret_cast<BuiltinAddress>(&absdiff),
        reinterpret_cast<BuiltinAddress>(&put_read),    reinterpret_cast<BuiltinAddress>(&slider_ramp),
        reinterpret_cast<BuiltinAddress>(&max_of),      reinterpret_cast<BuiltinAddress>(&min_of),
        reinterpret_cast<BuiltinAddress>(&blend),       reinterpret_cast<BuiltinAddress>(&put_write),
        reinterpret_cast<BuiltinAddress>(&src_polar),   reinterpret_cast<BuiltinAddress>(&random_range),
        reinterpret_cast<BuiltinAddress>(&polar_x),     reinterpret_cast<BuiltinAddress>(&polar_y),
        reinterpret_cast<BuiltinAddress>(&rescale),     reinterpret_cast<BuiltinAddress>(&sin_scaled),
        reinterpret_cast<BuiltinAddress>(&isqrt),       reinterpret_cast<BuiltinAddress>(&src),
        reinterpret_cast<BuiltinAddress>(&minus_floor), reinterpret_cast<BuiltinAddress>(&tan_scaled),
        reinterpret_cast<BuiltinAddress>(&slider_map),  reinterpret_cast<BuiltinAddress>(&set_hls),
        reinterpret_cast<BuiltinAddress>(&rgb_hue),     reinterpret_cast<BuiltinAddress>(&rgb_lightness),
        reinterpret_cast<BuiltinAddress>(&rgb_saturation), reinterpret_cast<BuiltinAddress>(&dr),
        reinterpret_cast<BuiltinAddress>(&dg),          reinterpret_cast<BuiltinAddress>(&db),
        reinterpret_cast<BuiltinAddress>(&dalpha),      reinterpret_cast<BuiltinAddress>(&dchan),
        reinterpret_cast<BuiltinAddress>(&src_here),    reinterpret_cast<BuiltinAddress>(&set_out),
        reinterpret_cast<BuiltinAddress>(&put_gamma),   reinterpret_cast<BuiltinAddress>(&put_sort),
        reinterpret_cast<BuiltinAddress>(&src_interp),  reinterpret_cast<BuiltinAddress>(&random_seed),
        reinterpret_cast<BuiltinAddress>(&color_part),  reinterpret_cast<BuiltinAddress>(&check_box),
        reinterpret_cast<BuiltinAddress>(&pow_frac),    reinterpret_cast<BuiltinAddress>(&angle_unit),
        reinterpret_cast<BuiltinAddress>(&math_fn),     reinterpret_cast<BuiltinAddress>(&selector),
        reinterpret_cast<BuiltinAddress>(&pick_point),  reinterpret_cast<BuiltinAddress>(&pow_scaled),
        reinterpret_cast<BuiltinAddress>(&grid_array),  reinterpret_cast<BuiltinAddress>(&no_op),
        reinterpret_cast<BuiltinAddress>(&abort_check),
    };
    for (int slot = 0; slot < kBuiltinCount; ++slot) {
        EXPECT_EQ(builtin_table.slot[slot], expected[slot]) << "slot " << slot;
    }
}

}  // namespace
}  // namespace tessellon
