// The built-ins that read the dialog's live values: slider, slider_ramp, slider_map,
// color_part, check_box, selector and pick_point.
#include <gtest/gtest.h>

#include <cstdint>
#include <ostream>
#include <string>

#include "filter/definition.h"
#include "runtime/builtins.h"
#include "runtime/context.h"
#include "runtime/runtime_state.h"

namespace tessellon {
namespace {

using tessellon::testing::kUntouched;
using tessellon::testing::RowName;

class ControlBuiltinsTest : public ::testing::Test {
protected:
    void SetUp() override {
        // Every control value distinct, so that a wrong index reads a wrong value.
        for (int i = 0; i < kControlCount; ++i) Live().controls[i] = 1000 + i;
    }

    tessellon::testing::SavedRuntimeState saved_;
};

TEST_F(ControlBuiltinsTest, SliderReadsOnlyTheEightSliders) {
    Live().controls[0] = -76;
    Live().controls[7] = 75;
    struct Row {
        i32 i;
        i32 expected, status;
    };
    const Row rows[] = {
        {0, -76, kUntouched}, {1, 1001, kUntouched}, {6, 1006, kUntouched}, {7, 75, kUntouched},
        {8, 0, 1},            {10, 0, 1},            {-1, 0, 1},            {INT32_MIN, 0, 1},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(::testing::Message() << "slider(" << row.i << ")");
        Execution().context.status = kUntouched;
        EXPECT_EQ(slider(row.i), row.expected);
        EXPECT_EQ(Execution().context.status, row.status);
    }
}

// --- slider_ramp ---

struct RampCase {
    const char* name;
    i32 k, v;
    i32 expected;
    i32 status;
};

void PrintTo(const RampCase& c, std::ostream* os) {
    *os << c.name << ": slider_ramp(" << c.k << ", " << c.v << ") -> " << c.expected << ", status " << c.status;
}

class SliderRampTest : public ControlBuiltinsTest, public ::testing::WithParamInterface<RampCase> {};

// Sliders: pair 0 rises 10..20, pair 1 falls 20..10, pair 2 is flat at 7, pair 3 spans
// -30..-10. Entries 8 and 9 are not sliders; they hold values that would make a ramp.
TEST_P(SliderRampTest, FallsFrom255AtLoTo0AtHi) {
    const RampCase& c = GetParam();
    const i32 values[10] = {10, 20, 20, 10, 7, 7, -30, -10, 50, 60};
    for (int i = 0; i < 10; ++i) Live().controls[i] = values[i];
    Execution().context.status = kUntouched;
    EXPECT_EQ(slider_ramp(c.k, c.v), c.expected);
    EXPECT_EQ(Execution().context.status, c.status);
}

INSTANTIATE_TEST_SUITE_P(
    Table, SliderRampTest,
    ::testing::Values(RampCase{"RisingBelowLo", 0, 5, 255, kUntouched},
                      RampCase{"RisingAtLo", 0, 10, 255, kUntouched},
                      RampCase{"RisingMiddle", 0, 15, 128, kUntouched},
                      // 255 - 9 * 255 / 10 = 255 - 229
                      RampCase{"RisingJustBeforeHi", 0, 19, 26, kUntouched},
                      RampCase{"RisingAtHi", 0, 20, 0, 1},
                      RampCase{"RisingPastHi", 0, 25, 0, 1},
                      RampCase{"FallingPastHi", 1, 5, 0, 1},
                      RampCase{"FallingAtHi", 1, 10, 0, 1},
                      RampCase{"FallingJustAfterHi", 1, 11, 25, kUntouched},
                      RampCase{"FallingMiddle", 1, 15, 127, kUntouched},
                      RampCase{"FallingAtLo", 1, 20, 255, kUntouched},
                      RampCase{"FallingPastLo", 1, 30, 255, kUntouched},
                      RampCase{"FlatGivesV", 2, -3, -3, kUntouched},
                      RampCase{"FlatGivesVUnbounded", 2, 1000, 1000, kUntouched},
                      RampCase{"NegativeSliders", 3, -20, 128, kUntouched},
                      RampCase{"PairFourIsNotSlidersSoFlat", 4, 55, 55, kUntouched},
                      RampCase{"NegativePairIsFlat", -1, 55, 55, kUntouched},
                      RampCase{"HugePairIsFlat", INT32_MAX, 55, 55, kUntouched}),
    RowName<RampCase>);

// --- slider_map ---

struct MapCase {
    const char* name;
    i32 i, value;  // slider i holds value
    i32 lo, hi;
    i32 expected;
    i32 status;
};

void PrintTo(const MapCase& c, std::ostream* os) {
    *os << c.name << ": slider_map(" << c.i << ", " << c.lo << ", " << c.hi << ") with slider value " << c.value
        << " -> " << c.expected << ", status " << c.status;
}

class SliderMapTest : public ControlBuiltinsTest, public ::testing::WithParamInterface<MapCase> {};

// Record 0 ("Overlap X:") spans -76..75, record 2 ("Fade:") 0..100, record 3 ("Thru BG:")
// 0..255; record 4 is narrowed to 5..5 for the cases of an empty span.
TEST_P(SliderMapTest, MapsTheRecordsRangeOntoLoHi) {
    const MapCase& c = GetParam();
    definition_block.controls[4].min = 5;
    definition_block.controls[4].max = 5;
    if (c.i >= 0 && c.i < 8) Live().controls[c.i] = c.value;
    Execution().context.status = kUntouched;
    EXPECT_EQ(slider_map(c.i, c.lo, c.hi), c.expected);
    EXPECT_EQ(Execution().context.status, c.status);
}

INSTANTIATE_TEST_SUITE_P(
    Table, SliderMapTest,
    ::testing::Values(MapCase{"MinGivesLo", 0, -76, 0, 100, 0, kUntouched},
                      MapCase{"MaxGivesHi", 0, 75, 0, 100, 100, kUntouched},
                      // 76 * 100 / 151 = 50.3
                      MapCase{"ZeroOfOverlap", 0, 0, 0, 100, 50, kUntouched},
                      MapCase{"DescendingTarget", 0, 0, 100, 0, 50, kUntouched},
                      // 76 * -100 / 151 = -50.3 truncates to -50
                      MapCase{"NegativeQuotientTruncatesTowardZero", 0, 0, 0, -100, -50, kUntouched},
                      // 37 * 255 / 100 = 94.35
                      MapCase{"Fade", 2, 37, 0, 255, 94, kUntouched},
                      MapCase{"ValueOutsideTheRecordIsNotClamped", 2, 200, 0, 10, 20, kUntouched},
                      // 255 * 10000000 wraps in 32 bits to -1744967296; / 255 = -6843009
                      MapCase{"ProductWrapsAt32Bits", 3, 255, 0, 10000000, -6843009, kUntouched},
                      MapCase{"EmptySpanGivesLo", 4, 5, 30, 60, 30, 2},
                      MapCase{"EmptySpanGivesLoWhateverTheValue", 4, 9, -4, 60, -4, 2},
                      MapCase{"IndexEightRefused", 8, 0, 30, 60, 0, 1},
                      MapCase{"NegativeIndexRefused", -1, 0, 30, 60, 0, 1}),
    RowName<MapCase>);

// --- color_part ---

struct ColourCase {
    const char* name;
    i32 k, c;
    i32 expected;
    i32 status;
};

void PrintTo(const ColourCase& c, std::ostream* os) {
    *os << c.name << ": color_part(" << c.k << ", " << c.c << ") -> " << c.expected << ", status " << c.status;
}

class ColorPartTest : public ControlBuiltinsTest, public ::testing::WithParamInterface<ColourCase> {};

// Two colour entries: the stored entry 0 (0x00E94BEB) and an added entry 1; the host's
// background and foreground colours from the run environment.
TEST_P(ColorPartTest, ReadsOneByteOfAColour) {
    const ColourCase& c = GetParam();
    definition_block.colour_count = 2;
    definition_block.colours[1] = 0xFFABCDEFu;  // the top byte is not a component
    definition_block.colours[2] = 0x00445566u;  // beyond the count
    const std::uint8_t back[4] = {1, 2, 3, 4};
    const std::uint8_t fore[4] = {5, 6, 7, 8};
    for (int i = 0; i < 4; ++i) {
        Execution().record.back_color[i] = back[i];
        Execution().record.fore_color[i] = fore[i];
    }
    Execution().context.status = kUntouched;
    EXPECT_EQ(color_part(c.k, c.c), c.expected);
    EXPECT_EQ(Execution().context.status, c.status);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ColorPartTest,
    ::testing::Values(ColourCase{"BackRed", -2, 0, 1, kUntouched}, ColourCase{"BackBlue", -2, 2, 3, kUntouched},
                      ColourCase{"ForeRed", -1, 0, 5, kUntouched}, ColourCase{"ForeGreen", -1, 1, 6, kUntouched},
                      ColourCase{"StoredRed", 0, 0, 235, kUntouched},
                      ColourCase{"StoredGreen", 0, 1, 75, kUntouched},
                      ColourCase{"StoredBlue", 0, 2, 233, kUntouched},
                      ColourCase{"SecondRed", 1, 0, 0xEF, kUntouched},
                      ColourCase{"SecondBlue", 1, 2, 0xAB, kUntouched},
                      ColourCase{"EntryAtCountRefused", 2, 0, 0, 1},
                      ColourCase{"EntryBelowBackRefused", -3, 0, 0, 1},
                      ColourCase{"ComponentThreeRefused", 0, 3, 0, 1},
                      ColourCase{"ComponentThreeOfBackRefused", -2, 3, 0, 1},
                      ColourCase{"NegativeComponentRefused", -1, -1, 0, 1}),
    RowName<ColourCase>);

// --- check_box, selector, pick_point: no status in any case ---

TEST_F(ControlBuiltinsTest, CheckBoxReadsEntriesFifteenDownToThirteen) {
    Live().controls[15] = 1;
    Live().controls[14] = 0;
    Live().controls[13] = 7;  // distinct, to catch a reversed order
    Live().controls[12] = 9;  // what check box 3 would read if it were not refused
    struct Row {
        i32 k;
        i32 expected;
    };
    const Row rows[] = {{0, 1}, {1, 0}, {2, 7}, {3, 0}, {-1, 0}, {15, 0}};
    for (const Row& row : rows) {
        SCOPED_TRACE(::testing::Message() << "check_box(" << row.k << ")");
        Execution().context.status = kUntouched;
        EXPECT_EQ(check_box(row.k), row.expected);
        EXPECT_EQ(Execution().context.status, kUntouched);
    }
}

TEST_F(ControlBuiltinsTest, SelectorIgnoresItsArgument) {
    Live().controls[10] = 3;
    for (const i32 argument : {0, 10, -1, INT32_MAX}) {
        SCOPED_TRACE(::testing::Message() << "selector(" << argument << ")");
        Execution().context.status = kUntouched;
        EXPECT_EQ(selector(argument), 3);
        EXPECT_EQ(Execution().context.status, kUntouched);
    }
}

TEST_F(ControlBuiltinsTest, PickPointReadsMarkersUpToThePointCount) {
    Live().markers[0] = {30, 40};
    Live().markers[1] = {50, 60};
    Live().markers[2] = {70, 80};
    struct Row {
        const char* name;
        i32 point_count, k, c;
        i32 expected;
    };
    const Row rows[] = {
        {"no points in the stored filter", 0, 0, 0, -1},
        {"first x", 2, 0, 0, 30},
        {"first y", 2, 0, 1, 40},
        {"second y", 2, 1, 1, 60},
        {"marker at the count", 2, 2, 0, -1},
        {"negative marker", 2, -1, 0, -1},
        {"coordinate 2", 2, 0, 2, -1},
        {"negative coordinate", 2, 1, -1, -1},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        definition_block.point_count = row.point_count;
        Execution().context.status = kUntouched;
        EXPECT_EQ(pick_point(row.k, row.c), row.expected);
        EXPECT_EQ(Execution().context.status, kUntouched);
    }
}

}  // namespace
}  // namespace tessellon
