// The built module in a host that records actions: a dialog run with OK records every
// key with the dialog's values; replaying that step without the dialog gives the same
// picture and leaves the saved settings as another run left them; playInfo "display"
// opens the dialog with the recorded values. The scripting host is the tests' own
// (memhost/descriptor_host), here handed to the real module.
#include <gtest/gtest.h>

#include <windows.h>

#include <optional>
#include <string>
#include <vector>

#include "memhost/descriptor_host.h"
#include "module/dialog_host.h"
#include "module/module_support.h"

namespace tessellon::testing {
namespace {

using memhost::Descriptor;
using memhost::DescriptorHost;
using psapi::FourCharCode;

constexpr int kFadeNumberBox = 303;
constexpr int kRepeatBox = 503;

// A dialog run: Overlap 20 / 20, Fade 33, Freq 9, "Repeat", "Fractal", then OK.
void SetValuesAndOk(HWND dialog) {
    Scroll(dialog, 0, SB_THUMBPOSITION, 20);
    Scroll(dialog, 1, SB_THUMBPOSITION, 20);
    Scroll(dialog, 2, SB_THUMBPOSITION, 33);
    TypeInto(dialog, 306, "9");
    Press(dialog, kRepeatBox);
    ChooseSelectorItem(dialog, 3);
    EXPECT_TRUE(EndWith(dialog, IDOK));
}

class ModuleScripting : public ::testing::Test {
protected:
    void SetUp() override { DeleteSettings(); }
    void TearDown() override { EXPECT_EQ(scripting.misuse, std::vector<std::string>{}); }

    // A dialog run with OK in a host of its own; what it recorded and its picture.
    std::optional<Descriptor> Record(std::vector<std::uint8_t>* picture) {
        DialogHost host;
        EXPECT_TRUE(host.loaded());
        scripting.Attach(host.record());
        EXPECT_EQ(RunDialog(host, SetValuesAndOk), 0);
        if (picture != nullptr) *picture = host.output();
        return scripting.TakeRecorded();
    }

    SettingsSnapshot snapshot;
    DescriptorHost scripting;
};

TEST_F(ModuleScripting, ADialogRunRecordsEveryKeyWithTheDialogsValues) {
    const std::optional<Descriptor> recorded = Record(nullptr);
    ASSERT_TRUE(recorded.has_value());
    EXPECT_EQ(recorded->items.size(), 13u);
    const auto integer = [&](const char (&key)[5]) {
        const memhost::DescriptorItem* item = recorded->Find(FourCharCode(key));
        return item != nullptr && item->type == psapi::typeInteger ? item->integer : -999;
    };
    EXPECT_EQ(integer("faDe"), 33);
    EXPECT_EQ(integer("frQy"), 9);
    EXPECT_EQ(integer("ovrX"), 20);
    const memhost::DescriptorItem* seam = recorded->Find(FourCharCode("smSh"));
    ASSERT_NE(seam, nullptr);
    EXPECT_EQ(seam->type, FourCharCode("smST"));
    EXPECT_EQ(seam->enumerated, FourCharCode("smFr"));
    const memhost::DescriptorItem* repeat = recorded->Find(FourCharCode("rpeT"));
    ASSERT_NE(repeat, nullptr);
    EXPECT_TRUE(repeat->boolean);
    const memhost::DescriptorItem* colour = recorded->Find(FourCharCode("clrO"));
    ASSERT_NE(colour, nullptr);
    EXPECT_EQ(colour->object_class, psapi::classRGBColor);
    EXPECT_EQ(scripting.parameters.recordInfo, psapi::plugInDialogOptional);
    EXPECT_EQ(scripting.LiveHandles(), 0);
}

TEST_F(ModuleScripting, AReplayWithoutTheDialogGivesTheRecordedPictureAndLeavesTheSettingsAlone) {
    std::vector<std::uint8_t> recorded_picture;
    const std::optional<Descriptor> recorded = Record(&recorded_picture);
    ASSERT_TRUE(recorded.has_value());
    {
        // Another run changes the saved settings.
        DialogHost other;
        ASSERT_EQ(RunDialog(other, [](HWND dialog) {
                      Scroll(dialog, 2, SB_THUMBPOSITION, 70);
                      EXPECT_TRUE(EndWith(dialog, IDOK));
                  }),
                  0);
        EXPECT_NE(other.output(), recorded_picture);
    }
    const auto sliders = ReadSetting("SliderSettings");
    const auto colours = ReadSetting("CustomColors");

    DialogHost replay;
    scripting.Attach(replay.record());
    scripting.Deliver(*recorded, psapi::plugInDialogDontDisplay);
    DialogSpy spy;
    EXPECT_EQ(replay.Start(), 0);
    EXPECT_EQ(DialogSpy::shown, 0);
    EXPECT_EQ(replay.output(), recorded_picture);
    EXPECT_EQ(ReadSetting("SliderSettings")->bytes, sliders->bytes);
    EXPECT_EQ(ReadSetting("CustomColors")->bytes, colours->bytes);
    scripting.TakeRecorded();
    EXPECT_EQ(scripting.LiveHandles(), 0);
}

TEST_F(ModuleScripting, PlayInfoDisplayOpensTheDialogWithTheRecordedValues) {
    const std::optional<Descriptor> recorded = Record(nullptr);
    ASSERT_TRUE(recorded.has_value());
    DeleteSettings();

    DialogHost replay;
    scripting.Attach(replay.record());
    scripting.Deliver(*recorded, psapi::plugInDialogDisplay);
    bool seen = false;
    EXPECT_EQ(RunDialog(replay,
                        [&](HWND dialog) {
                            seen = true;
                            EXPECT_EQ(ControlText(dialog, kFadeNumberBox), "33");
                            EXPECT_TRUE(IsChecked(dialog, kRepeatBox));
                            EXPECT_EQ(SelectorSelection(dialog), 3);
                            EXPECT_TRUE(EndWith(dialog, IDOK));
                        }),
              0);
    EXPECT_TRUE(seen);
    scripting.TakeRecorded();
}

}  // namespace
}  // namespace tessellon::testing
