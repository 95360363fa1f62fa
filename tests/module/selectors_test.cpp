// The built module's selectors, called through its exported entry point as a host
// calls them.
#include <gtest/gtest.h>

#include <cstring>

#include "module/module_support.h"
#include "resources/version.h"
#include "module/window_watcher.h"

namespace tessellon::testing {
namespace {

class ModuleSelectors : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(module.handle(), nullptr) << "LoadLibrary error " << module.load_error();
        using AnyFunction = void (*)();
        entry = reinterpret_cast<EntryPoint>(
            reinterpret_cast<AnyFunction>(GetProcAddress(module.handle(), "ENTRYPOINT")));
        ASSERT_NE(entry, nullptr);
        // Padding included: the record is compared as bytes.
        std::memset(&record, 0, sizeof record);
    }

    void Call(psapi::int16 selector, void* host_record) { entry(selector, host_record, &data, &result); }

    static bool IsEmpty(const psapi::Rect& r) { return r.bottom <= r.top || r.right <= r.left; }

    LoadedModule module;
    EntryPoint entry = nullptr;
    psapi::FilterRecord record;
    std::intptr_t data = 0;
    psapi::int16 result = 0;
};

TEST_F(ModuleSelectors, AboutShowsTheCreditBoxAndClearsAPresetResult) {
    psapi::AboutRecord about{};
    result = 1;  // as some hosts preset it
    MessageBoxWatcher watcher("About...");
    Call(psapi::filterSelectorAbout, &about);
    const auto box = watcher.Result();
    ASSERT_TRUE(box.has_value()) << "no \"About...\" box; closed instead: "
                                 << ::testing::PrintToString(watcher.closed_instead());
    EXPECT_EQ(box->text.rfind("Tessellon", 0), 0u) << box->text;
    EXPECT_NE(box->text.find("Made with the Vextrel filter-building system by Dravik."), std::string::npos)
        << box->text;
    // The same release as the version resource and the command-line host name.
    EXPECT_NE(box->text.find("Version " TESSELLON_VERSION "."), std::string::npos) << box->text;
    EXPECT_FALSE(box->has_icon);
    EXPECT_EQ(result, 0);
}

TEST_F(ModuleSelectors, ParametersAnswersZero) {
    result = 7;
    Call(psapi::filterSelectorParameters, &record);
    EXPECT_EQ(result, 0);
}

TEST_F(ModuleSelectors, PrepareFillsAnEmptyDataWordOnly) {
    result = 7;
    Call(psapi::filterSelectorPrepare, &record);
    EXPECT_EQ(result, 0);
    EXPECT_NE(data, 0);

    data = 0x1234;
    Call(psapi::filterSelectorPrepare, &record);
    EXPECT_EQ(data, 0x1234);
}

TEST_F(ModuleSelectors, ContinueFinishAndUnknownSelectorsAnswerZeroAndTouchNothing) {
    static const unsigned char kZeroRecord[sizeof(psapi::FilterRecord)] = {};
    for (psapi::int16 selector : {psapi::int16{psapi::filterSelectorContinue},
                                  psapi::int16{psapi::filterSelectorFinish}, psapi::int16{7}}) {
        SCOPED_TRACE(selector);
        result = 99;
        data = 0;
        Call(selector, &record);
        EXPECT_EQ(result, 0);
        EXPECT_EQ(data, 0);
        EXPECT_EQ(std::memcmp(&record, kZeroRecord, sizeof record), 0);
    }
}

TEST_F(ModuleSelectors, StartOverNoImageRequestsNothing) {
    record.imageMode = psapi::plugInModeRGBColor;
    record.planes = 3;
    record.inRect = record.outRect = record.maskRect = {0, 0, 10, 10};
    result = 5;
    Call(psapi::filterSelectorStart, &record);
    EXPECT_EQ(result, 0);
    EXPECT_TRUE(IsEmpty(record.inRect));
    EXPECT_TRUE(IsEmpty(record.outRect));
    EXPECT_TRUE(IsEmpty(record.maskRect));
}

}  // namespace
}  // namespace tessellon::testing
