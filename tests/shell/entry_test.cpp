// The entry point's selector dispatch and result-word rules, driven as a host drives it.
#include <gtest/gtest.h>

#include <cstring>

#include "hostapi/host_state.h"
#include "resources/version.h"
#include "shell/host.h"
#include "support/recording_platform.h"

namespace tessellon {
namespace {

class EntryTest : public ::testing::Test {
protected:
    void Call(std::int32_t selector, void* host_record) {
        ENTRYPOINT(static_cast<psapi::int16>(selector), host_record, &data, &result);
    }

    testing::RecordingPlatform platform;
    psapi::FilterRecord record{};
    psapi::AboutRecord about{};
    std::intptr_t data = 0;
    psapi::int16 result = 0;
};

TEST_F(EntryTest, AboutShowsTheBoxAndWritesZeroOverAPresetResult) {
    result = 1;  // as some hosts preset it
    Call(psapi::filterSelectorAbout, &about);
    EXPECT_EQ(result, 0);
    ASSERT_EQ(platform.message_boxes.size(), 1u);
    EXPECT_EQ(platform.message_boxes[0].caption, "About...");
    EXPECT_EQ(platform.message_boxes[0].owner, nullptr);
    EXPECT_EQ(platform.message_boxes[0].text.rfind("Tessellon\n", 0), 0u);
}

TEST_F(EntryTest, AboutTextHasNameAuthorTextAndCreditLine) {
    char text[kAboutTextSize];
    FormatAboutText(text);
    EXPECT_STREQ(text,
                 "Tessellon\n"
                 "Tessellon by the Tessellon team\r\n"
                 "tiles@tessellon.example\r\n"
                 "https://tessellon.example\r\n"
                 "https://www.example.org/tiles\n\n"
                 "Version " TESSELLON_VERSION ". Made with the Vextrel filter-building system by Dravik.");
}

TEST_F(EntryTest, ParametersSetsTheShowFlagForGood) {
    Host().parameters_requested = 0;
    result = 7;
    Call(psapi::filterSelectorParameters, &record);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(Host().parameters_requested, 1);
    Call(psapi::filterSelectorFinish, &record);
    EXPECT_EQ(Host().parameters_requested, 1);
}

TEST_F(EntryTest, PrepareFillsAnEmptyDataWordAndKeepsAnother) {
    result = 7;
    Call(psapi::filterSelectorPrepare, &record);
    EXPECT_EQ(result, 0);
    EXPECT_NE(data, 0);
    const std::intptr_t first = data;
    Call(psapi::filterSelectorPrepare, &record);
    EXPECT_EQ(data, first);
    data = 0x1234;
    Call(psapi::filterSelectorPrepare, &record);
    EXPECT_EQ(data, 0x1234);
}

TEST_F(EntryTest, OtherSelectorsAnswerZeroAndChangeNothing) {
    const std::int32_t selectors[] = {psapi::filterSelectorContinue, psapi::filterSelectorFinish, 6, 7,
                                      0x7FFF, -1};
    for (std::int32_t selector : selectors) {
        SCOPED_TRACE(selector);
        result = 99;
        data = 0;
        psapi::FilterRecord before{};
        before.inRect = {1, 2, 3, 4};
        record = before;
        Call(selector, &record);
        EXPECT_EQ(result, 0);
        EXPECT_EQ(data, 0);
        EXPECT_EQ(std::memcmp(&record, &before, sizeof record), 0);
    }
    EXPECT_TRUE(platform.message_boxes.empty());
}

TEST_F(EntryTest, OnlyTheLowSixteenBitsOfTheSelectorCount) {
    // The host passes the selector in a 32-bit stack slot; garbage above bit 15 is
    // dropped by the 16-bit parameter, so 0x10001 is Parameters.
    Host().parameters_requested = 0;
    using Entry = void(PSAPI_CALL*)(std::int32_t, void*, std::intptr_t*, psapi::int16*);
    using AnyFunction = void (*)();
    const auto entry = reinterpret_cast<Entry>(reinterpret_cast<AnyFunction>(&ENTRYPOINT));
    entry(0x10001, &record, &data, &result);
    EXPECT_EQ(Host().parameters_requested, 1);
}

TEST_F(EntryTest, StartLeavesTheRequestRectanglesEmpty) {
    record.imageMode = psapi::plugInModeRGBColor;
    record.planes = 3;
    record.inRect = {0, 0, 10, 10};
    record.outRect = {0, 0, 10, 10};
    record.maskRect = {0, 0, 10, 10};
    result = 5;
    Call(psapi::filterSelectorStart, &record);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(record.inRect.right, 0);
    EXPECT_EQ(record.outRect.bottom, 0);
    EXPECT_EQ(record.maskRect.right, 0);
}

TEST_F(EntryTest, StartWithoutARecordIsRefusedNotCrashed) {
    Call(psapi::filterSelectorStart, nullptr);
    EXPECT_EQ(result, psapi::filterBadParameters);
}

TEST_F(EntryTest, NullResultAndDataPointersAreTolerated) {
    ENTRYPOINT(psapi::filterSelectorPrepare, &record, nullptr, nullptr);
    ENTRYPOINT(psapi::filterSelectorAbout, &about, nullptr, nullptr);
    EXPECT_EQ(platform.message_boxes.size(), 1u);
}

TEST_F(EntryTest, StartAndContinueDetectTheHost) {
    Host().kind = kHostUnknown;
    platform.host_path = "C:\\Apps\\Editor 5.0\\PhotoPnt.EXE";
    Call(psapi::filterSelectorContinue, &record);
    EXPECT_EQ(Host().kind, kHostPhotoPaint);
    platform.host_path = "C:\\Apps\\photoshp.exe";
    record.imageMode = psapi::plugInModeRGBColor;
    record.planes = 3;
    Call(psapi::filterSelectorStart, &record);
    EXPECT_EQ(Host().kind, kHostPhotoshop);
    Host().kind = kHostUnknown;
}

}  // namespace
}  // namespace tessellon
