// The dialog's window-free decisions: slider steps, number-box correction, the selector
// list, the placeable metafile header, the background picture read from the module
// file, and the error box.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ostream>
#include <string>
#include <vector>

#include "filter/definition.h"
#include "support/recording_platform.h"
#include "ui/dialog_model.h"
#include "ui/settings.h"

namespace tessellon {
namespace {

// ---- Slider steps -------------------------------------------------------------------

constexpr std::uint32_t Thumb(std::int32_t code, std::uint16_t position) {
    return static_cast<std::uint32_t>(code) | (static_cast<std::uint32_t>(position) << 16);
}

struct StepCase {
    const char* name;
    std::uint32_t wparam;
    std::int32_t value, min, max;
    std::int32_t expected;
};

// Printed by name, so that a case's test name is the same in every process.
void PrintTo(const StepCase& c, std::ostream* os) { *os << c.name; }

class SliderStepTest : public ::testing::TestWithParam<StepCase> {};

TEST_P(SliderStepTest, GivesTheNewValue) {
    const StepCase& c = GetParam();
    EXPECT_EQ(SliderStep(c.wparam, c.value, c.min, c.max), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Steps, SliderStepTest,
    ::testing::Values(
        // Page steps are an eighth of the range, truncated.
        StepCase{"page_down_overlap", kScrollPageDown, 0, -76, 75, 18},
        StepCase{"page_up_overlap", kScrollPageUp, 0, -76, 75, -18},
        StepCase{"page_down_percent", kScrollPageDown, 50, 0, 100, 62},
        StepCase{"page_up_percent", kScrollPageUp, 50, 0, 100, 38},
        StepCase{"page_down_byte", kScrollPageDown, 0, 0, 255, 31},
        StepCase{"page_down_freq", kScrollPageDown, 4, 1, 128, 19},
        StepCase{"page_up_freq", kScrollPageUp, 19, 1, 128, 4},
        // ... and stop at the ends.
        StepCase{"page_down_near_max", kScrollPageDown, 70, -76, 75, 75},
        StepCase{"page_up_near_min", kScrollPageUp, 3, 1, 128, 1},
        StepCase{"page_down_at_max", kScrollPageDown, 100, 0, 100, 100},
        // Line steps move by one and stop at the ends.
        StepCase{"line_down", kScrollLineDown, 50, 0, 100, 51},
        StepCase{"line_up", kScrollLineUp, 50, 0, 100, 49},
        StepCase{"line_down_at_max", kScrollLineDown, 100, 0, 100, 100},
        StepCase{"line_up_at_min", kScrollLineUp, -76, -76, 75, -76},
        StepCase{"line_up_at_freq_min", kScrollLineUp, 1, 1, 128, 1},
        // Thumb positions are signed 16-bit numbers in the high word.
        StepCase{"thumb_position_negative", Thumb(kScrollThumbPosition, 0xFFB5), 0, -76, 75, -75},
        StepCase{"thumb_track_negative", Thumb(kScrollThumbTrack, 0xFFB4), 10, -76, 75, -76},
        StepCase{"thumb_position_positive", Thumb(kScrollThumbPosition, 75), 0, -76, 75, 75},
        StepCase{"thumb_track_high_bit", Thumb(kScrollThumbTrack, 0x8000), 0, -76, 75, -32768},
        StepCase{"top", kScrollTop, 20, -76, 75, -76},
        StepCase{"bottom", kScrollBottom, 20, -76, 75, 75},
        // End of tracking and unknown codes keep the value; the high word is ignored.
        StepCase{"end_scroll", Thumb(8, 0x1234), 33, 0, 100, 33},
        StepCase{"unknown_code", 0x0000FFFFu, 33, 0, 100, 33},
        StepCase{"line_down_ignores_high_word", Thumb(kScrollLineDown, 0xFFFF), 33, 0, 100, 34},
        // Wide ranges cannot overflow a step.
        StepCase{"page_down_full_range", kScrollPageDown, 0x7FFFFFF0, INT32_MIN, INT32_MAX, INT32_MAX},
        StepCase{"page_up_full_range", kScrollPageUp, INT32_MIN + 5, INT32_MIN, INT32_MAX, INT32_MIN}),
    [](const ::testing::TestParamInfo<StepCase>& p) { return std::string(p.param.name); });

// ---- Number boxes -------------------------------------------------------------------

struct NumberCase {
    const char* name;
    const char* text;
    std::int32_t min, max;
    std::int32_t value;
    bool corrected;
};

// Printed by name, so that a case's test name is the same in every process.
void PrintTo(const NumberCase& c, std::ostream* os) { *os << c.name; }

class NumberBoxTest : public ::testing::TestWithParam<NumberCase> {};

TEST_P(NumberBoxTest, ReadsAndCorrects) {
    const NumberCase& c = GetParam();
    const NumberBoxReading reading = ReadNumberBox(c.text, c.min, c.max);
    EXPECT_EQ(reading.value, c.value);
    EXPECT_EQ(reading.corrected, c.corrected);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, NumberBoxTest,
    ::testing::Values(
        NumberCase{"in_range", "50", 0, 100, 50, false},
        NumberCase{"above_max", "200", 0, 100, 100, true},
        NumberCase{"below_min", "-5", 0, 100, 0, true},
        NumberCase{"negative_in_range", "-76", -76, 75, -76, false},
        NumberCase{"below_negative_min", "-77", -76, 75, -76, true},
        // An empty box reads 0, brought into the range: the minimum when 0 is below it,
        // the maximum when 0 is above it.
        NumberCase{"empty_zero_in_range", "", 0, 100, 0, true},
        NumberCase{"empty_min_above_zero", "", 1, 128, 1, true},
        NumberCase{"empty_max_below_zero", "", -10, -5, -5, true},
        NumberCase{"empty_signed_range", "", -76, 75, 0, true},
        // Not a number: read as 0 and written back.
        NumberCase{"letters", "abc", 0, 100, 0, true},
        NumberCase{"trailing_letters", "4x", 0, 100, 0, true},
        NumberCase{"inner_blank", "1 2", 0, 100, 0, true},
        NumberCase{"lone_sign", "-", 0, 100, 0, true},
        NumberCase{"double_sign", "--1", -76, 75, 0, true},
        NumberCase{"letters_min_above_zero", "x", 1, 128, 1, true},
        // Blanks around the number and a plus sign are accepted.
        NumberCase{"blanks", "  42 ", 0, 100, 42, false},
        NumberCase{"plus", "+7", 0, 100, 7, false},
        NumberCase{"leading_zeros", "007", 0, 100, 7, false},
        // Beyond 32 bits the text is no number.
        NumberCase{"too_big", "2147483648", INT32_MIN, INT32_MAX, 0, true},
        NumberCase{"far_too_big", "99999999999999999999", 0, 100, 0, true},
        NumberCase{"int_min", "-2147483648", INT32_MIN, INT32_MAX, INT32_MIN, false},
        NumberCase{"int_max", "2147483647", INT32_MIN, INT32_MAX, INT32_MAX, false},
        NumberCase{"below_int_min", "-2147483649", INT32_MIN, INT32_MAX, 0, true}),
    [](const ::testing::TestParamInfo<NumberCase>& p) { return std::string(p.param.name); });

TEST(NumberBox, ParseLeavesTheValueAloneOnFailure) {
    std::int32_t value = 17;
    EXPECT_FALSE(ParseNumberBox("", &value));
    EXPECT_FALSE(ParseNumberBox(nullptr, &value));
    EXPECT_EQ(value, 17);
    EXPECT_TRUE(ParseNumberBox("-3", &value));
    EXPECT_EQ(value, -3);
}

// ---- Selector -----------------------------------------------------------------------

struct SelectorCase {
    const char* name;
    std::string text;  // may hold NULs; the parse sees exactly these bytes
    std::vector<std::string> items;
};

// Printed by name, so that a case's test name is the same in every process.
void PrintTo(const SelectorCase& c, std::ostream* os) { *os << c.name; }

class SelectorTest : public ::testing::TestWithParam<SelectorCase> {};

TEST_P(SelectorTest, SplitsIntoItems) {
    const SelectorCase& c = GetParam();
    EXPECT_EQ(ParseSelectorItems(c.text.data(), c.text.size()), c.items);
}

const std::string kLongItem(140, 'a');

INSTANTIATE_TEST_SUITE_P(
    Texts, SelectorTest,
    ::testing::Values(
        SelectorCase{"this_filter", "Normal\r\nWave\r\nZigzag\r\nFractal", {"Normal", "Wave", "Zigzag", "Fractal"}},
        SelectorCase{"bare_cr", "One\rTwo", {"One", "Two"}},
        SelectorCase{"leading_blanks_and_tabs", "  One\r\t\tTwo\r \n Three", {"One", "Two", "Three"}},
        SelectorCase{"blank_lines", "\r\n\r\nOne\r\n\r\n\r\nTwo\r\n", {"One", "Two"}},
        SelectorCase{"only_separators", "\r\n \r\t\r", {}},
        SelectorCase{"empty", "", {}},
        SelectorCase{"inner_blanks_kept", "Big wave \rx", {"Big wave ", "x"}},
        SelectorCase{"lf_only_does_not_split", "One\nTwo", {"One\nTwo"}},
        SelectorCase{"control_bytes_skipped_at_start", "\x01\x1f\x7f"
                                                       "A",
                     {"\x7f"
                      "A"}},
        SelectorCase{"high_bytes_not_skipped", "\xe9t\xe9", {"\xe9t\xe9"}},
        SelectorCase{"stops_at_nul", std::string("One\rTwo\0Three", 13), {"One", "Two"}},
        SelectorCase{"ends_without_nul", "One\rTwo", {"One", "Two"}},
        SelectorCase{"cap_131", kLongItem + "\rB", {std::string(131, 'a'), "B"}},
        SelectorCase{"exactly_131", std::string(131, 'b'), {std::string(131, 'b')}}),
    [](const ::testing::TestParamInfo<SelectorCase>& p) { return std::string(p.param.name); });

TEST(Selector, TheEmbeddedFiltersFieldGivesItsFourShapes) {
    const std::vector<std::string> expected{"Normal", "Wave", "Zigzag", "Fractal"};
    EXPECT_EQ(ParseSelectorItems(definition_block.selector_items, sizeof definition_block.selector_items), expected);
}

// ---- Placeable metafile header ------------------------------------------------------

std::vector<std::uint8_t> PlaceableHeaderBytes(std::int16_t left, std::int16_t top, std::int16_t right,
                                               std::int16_t bottom, std::uint16_t inch) {
    std::vector<std::uint8_t> bytes(22, 0);
    auto put = [&bytes](int at, std::uint16_t v) {
        bytes[static_cast<std::size_t>(at)] = static_cast<std::uint8_t>(v & 0xFF);
        bytes[static_cast<std::size_t>(at) + 1] = static_cast<std::uint8_t>(v >> 8);
    };
    put(0, 0xCDD7);
    put(2, 0x9AC6);
    put(6, static_cast<std::uint16_t>(left));
    put(8, static_cast<std::uint16_t>(top));
    put(10, static_cast<std::uint16_t>(right));
    put(12, static_cast<std::uint16_t>(bottom));
    put(14, inch);
    put(20, 0xBEEF);  // checksum: not checked
    return bytes;
}

struct HeaderCase {
    const char* name;
    std::int16_t left, top, right, bottom;
    std::uint16_t inch;
};

// Printed by name, so that a case's test name is the same in every process.
void PrintTo(const HeaderCase& c, std::ostream* os) { *os << c.name; }

class PlaceableHeaderTest : public ::testing::TestWithParam<HeaderCase> {};

TEST_P(PlaceableHeaderTest, ReadsBoxAndUnits) {
    const HeaderCase& c = GetParam();
    const std::vector<std::uint8_t> bytes = PlaceableHeaderBytes(c.left, c.top, c.right, c.bottom, c.inch);
    PlaceableHeader header{};
    ASSERT_TRUE(ReadPlaceableHeader(bytes.data(), static_cast<std::int32_t>(bytes.size()), &header));
    EXPECT_EQ(header.left, c.left);
    EXPECT_EQ(header.top, c.top);
    EXPECT_EQ(header.right, c.right);
    EXPECT_EQ(header.bottom, c.bottom);
    EXPECT_EQ(header.units_per_inch, c.inch);
}

INSTANTIATE_TEST_SUITE_P(Headers, PlaceableHeaderTest,
                         ::testing::Values(HeaderCase{"plain", 0, 0, 1000, 800, 1440},
                                           HeaderCase{"negative_box", -500, -250, 500, 250, 96},
                                           HeaderCase{"units_above_int16", 0, 0, 10, 10, 40000}),
                         [](const ::testing::TestParamInfo<HeaderCase>& p) { return std::string(p.param.name); });

TEST(PlaceableHeader, ShorterThan22BytesIsNoHeader) {
    const std::vector<std::uint8_t> bytes = PlaceableHeaderBytes(0, 0, 1, 1, 1);
    PlaceableHeader header{};
    EXPECT_FALSE(ReadPlaceableHeader(bytes.data(), 21, &header));
    EXPECT_FALSE(ReadPlaceableHeader(nullptr, 22, &header));
    EXPECT_TRUE(ReadPlaceableHeader(bytes.data(), 22, &header));
}

// ---- Dialog template ----------------------------------------------------------------

std::vector<std::uint8_t> TemplateHeader(bool extended, std::uint32_t style) {
    std::vector<std::uint8_t> bytes(extended ? 26 : 18, 0);
    std::size_t at = 0;
    if (extended) {
        bytes[0] = 1;
        bytes[2] = bytes[3] = 0xFF;
        for (std::size_t i = 4; i < 12; ++i) bytes[i] = 0xAA;  // help id, extended style
        at = 12;
    }
    std::memcpy(bytes.data() + at, &style, sizeof style);
    return bytes;
}

std::uint32_t StyleOf(const std::vector<std::uint8_t>& bytes, bool extended) {
    std::uint32_t style = 0;
    std::memcpy(&style, bytes.data() + (extended ? 12 : 0), sizeof style);
    return style;
}

TEST(DialogTemplate, ClearingTheVisibleStyleKeepsEveryOtherBit) {
    // WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_3DLOOK | DS_CONTEXTHELP | DS_SETFONT
    constexpr std::uint32_t kFrame = 0x00C00000u | 0x00080000u | 0x80u | 0x4u | 0x2000u | 0x40u;
    for (bool extended : {true, false}) {
        SCOPED_TRACE(extended ? "extended" : "plain");
        std::vector<std::uint8_t> bytes = TemplateHeader(extended, kFrame | 0x10000000u);
        const std::vector<std::uint8_t> before = bytes;
        ASSERT_TRUE(ClearTemplateVisibleStyle(bytes.data(), bytes.size()));
        EXPECT_EQ(StyleOf(bytes, extended), kFrame);
        // Only the style's bytes change.
        std::size_t changed = 0;
        for (std::size_t i = 0; i < bytes.size(); ++i) changed += bytes[i] != before[i];
        EXPECT_EQ(changed, 1u);
        // A template without the style stays as it is.
        ASSERT_TRUE(ClearTemplateVisibleStyle(bytes.data(), bytes.size()));
        EXPECT_EQ(StyleOf(bytes, extended), kFrame);
    }
}

TEST(DialogTemplate, TooFewBytesAreLeftAlone) {
    std::vector<std::uint8_t> extended = TemplateHeader(true, 0x10000000u);
    EXPECT_FALSE(ClearTemplateVisibleStyle(extended.data(), 25));
    EXPECT_EQ(StyleOf(extended, true), 0x10000000u);
    std::vector<std::uint8_t> plain = TemplateHeader(false, 0x10000000u);
    EXPECT_FALSE(ClearTemplateVisibleStyle(plain.data(), 17));
    EXPECT_EQ(StyleOf(plain, false), 0x10000000u);
    EXPECT_FALSE(ClearTemplateVisibleStyle(nullptr, 64));
}

// ---- Background picture -------------------------------------------------------------

class BackgroundPictureTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::memcpy(saved_path_, Settings().module_path, sizeof saved_path_);
        saved_offset_ = definition_block.background_picture_offset;
        const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
        path_ = ::testing::TempDir() + "tessellon_picture_" + info->name() + ".bin";
        std::snprintf(Settings().module_path, sizeof Settings().module_path, "%s", path_.c_str());
    }
    void TearDown() override {
        ReleaseBackgroundPicture();
        std::remove(path_.c_str());
        std::memcpy(Settings().module_path, saved_path_, sizeof saved_path_);
        definition_block.background_picture_offset = saved_offset_;
    }
    void WriteModule(const std::vector<std::uint8_t>& bytes) const {
        std::FILE* file = std::fopen(path_.c_str(), "wb");
        ASSERT_NE(file, nullptr);
        ASSERT_EQ(std::fwrite(bytes.data(), 1, bytes.size(), file), bytes.size());
        std::fclose(file);
    }
    static std::vector<std::uint8_t> Held() {
        if (!HaveBackgroundPicture()) return {};
        return {Dialog().background_picture.bytes, Dialog().background_picture.bytes + Dialog().background_picture.length};
    }

    std::string path_;

private:
    char saved_path_[kModulePathSize]{};
    std::int32_t saved_offset_ = 0;
};

TEST_F(BackgroundPictureTest, ReadsFromTheOffsetToTheEndOfTheModuleFile) {
    std::vector<std::uint8_t> file(100, 0x11);
    const std::vector<std::uint8_t> picture = PlaceableHeaderBytes(0, 0, 64, 64, 1);
    file.insert(file.end(), picture.begin(), picture.end());
    file.push_back(0x42);
    WriteModule(file);
    definition_block.background_picture_offset = 100;
    LoadBackgroundPicture();
    std::vector<std::uint8_t> expected = picture;
    expected.push_back(0x42);
    EXPECT_EQ(Held(), expected);
}

TEST_F(BackgroundPictureTest, NoPictureWithoutAPositiveOffsetOrBytesBehindIt) {
    WriteModule(std::vector<std::uint8_t>(50, 0x22));
    // Offset, and whether the module file exists.
    const struct {
        std::int32_t offset;
        bool file_there;
    } cases[] = {{0, true}, {-5, true}, {50, true}, {60, true}, {10, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.offset);
        if (!c.file_there) std::remove(path_.c_str());
        definition_block.background_picture_offset = c.offset;
        LoadBackgroundPicture();
        EXPECT_FALSE(HaveBackgroundPicture());
        EXPECT_EQ(Dialog().background_picture.bytes, nullptr);
    }
}

TEST_F(BackgroundPictureTest, EveryLoadReadsAnewAndReleaseDropsIt) {
    WriteModule({1, 2, 3, 4, 5, 6});
    definition_block.background_picture_offset = 2;
    LoadBackgroundPicture();
    EXPECT_EQ(Held(), (std::vector<std::uint8_t>{3, 4, 5, 6}));
    WriteModule({9, 8, 7});
    LoadBackgroundPicture();
    EXPECT_EQ(Held(), (std::vector<std::uint8_t>{7}));
    ReleaseBackgroundPicture();
    EXPECT_FALSE(HaveBackgroundPicture());
    EXPECT_EQ(Dialog().background_picture.length, 0);
}

// ---- Error box ----------------------------------------------------------------------

TEST(ErrorBox, HasTheVextrelErrorCaptionTheErrorIconAndTheOwner) {
    testing::RecordingPlatform platform;
    int owner_stand_in = 0;
    ShowErrorBox(&owner_stand_in, "Out of memory");
    ASSERT_EQ(platform.message_boxes.size(), 1u);
    const testing::RecordedMessageBox& box = platform.message_boxes[0];
    EXPECT_EQ(box.caption, "Vextrel Error");
    EXPECT_EQ(box.text, "Out of memory");
    EXPECT_EQ(box.icon, MessageIcon::stop);
    EXPECT_EQ(box.owner, &owner_stand_in);
}

}  // namespace
}  // namespace tessellon
