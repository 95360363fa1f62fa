// The built module driven through a host's whole sequence of selectors over a real
// image, with what differs between 32-bit and 64-bit hosts: the host's data word is
// pointer-sized and must keep every bit, and the filter record a host hands over may
// end right after the fields the module knows, at an inaccessible page.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "module/dialog_host.h"
#include "module/window_watcher.h"
#include "support/record_lengths.h"

namespace tessellon::testing {
namespace {

// Overlap 20/20, fade 50, freq 4, "Wave": a run that changes every edge pixel.
std::vector<std::uint8_t> TilingSettings() {
    const std::int32_t values[16] = {20, 20, 50, 0, 10, 4, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0};
    std::vector<std::uint8_t> bytes(sizeof values);
    std::memcpy(bytes.data(), values, sizeof values);
    return bytes;
}

TEST(HostSequence, AboutParametersPrepareStartFinishKeepTheWholeDataWord) {
    const SettingsSnapshot snapshot;
    DeleteSettings();
    DialogHost host;
    ASSERT_TRUE(host.loaded()) << "LoadLibrary error " << host.load_error();

    WindowWatcher about("About...", [](HWND box) { PressOk(box); });
    EXPECT_EQ(host.About(), 0);
    EXPECT_TRUE(about.Wait());

    // A word the host set itself, with bits in its upper half where pointers have them.
    const std::intptr_t kHostWord =
        psapi::kWide ? static_cast<std::intptr_t>(0x5A5A5A5A00C0FFEEull) : static_cast<std::intptr_t>(0x00C0FFEE);
    host.data() = kHostWord;
    EXPECT_EQ(host.Prepare(), 0);
    EXPECT_EQ(host.data(), kHostWord);

    const psapi::int16 result = RunDialog(host, [](HWND dialog) {
        Scroll(dialog, 0, SB_THUMBPOSITION, 20);
        Scroll(dialog, 1, SB_THUMBPOSITION, 20);
        EXPECT_TRUE(EndWith(dialog, IDOK));
    });
    EXPECT_EQ(result, 0);
    EXPECT_NE(host.output(), host.source());
    EXPECT_EQ(host.data(), kHostWord);
    EXPECT_EQ(host.Finish(), 0);
    EXPECT_EQ(host.data(), kHostWord);
}

TEST(HostSequence, PrepareStoresAWholeAddressInsideTheModule) {
    DialogHost host;
    ASSERT_TRUE(host.loaded()) << "LoadLibrary error " << host.load_error();
    EXPECT_EQ(host.Prepare(), 0);
    ASSERT_NE(host.data(), 0);
    // A truncated address would point outside the module's image, or nowhere.
    MEMORY_BASIC_INFORMATION region{};
    ASSERT_NE(VirtualQuery(reinterpret_cast<const void*>(host.data()), &region, sizeof region), 0u);
    EXPECT_EQ(region.AllocationBase, static_cast<void*>(host.module_handle()))
        << std::hex << "data word 0x" << host.data();
}

class ShortRecord : public ::testing::TestWithParam<RecordLength> {
protected:
    SettingsSnapshot snapshot;
};

// Start without Parameters (the saved settings, no dialog shown) gives the same image
// as with a whole record; then Parameters and Start with the dialog, whose preview
// reads the record too, ended with OK.
TEST_P(ShortRecord, RunsTheFilterAndTheDialogWithoutReadingPastItsEnd) {
    WriteSetting("SliderSettings", TilingSettings());
    HostAbilities full_record;
    DialogHost reference(ModuleFilePath(), TestPicture(), full_record);
    ASSERT_TRUE(reference.loaded()) << "LoadLibrary error " << reference.load_error();
    ASSERT_EQ(reference.Start(), 0);
    ASSERT_NE(reference.output(), reference.source());

    HostAbilities short_record;
    short_record.record_bytes = GetParam().bytes;
    DialogHost host(ModuleFilePath(), TestPicture(), short_record);
    ASSERT_TRUE(host.loaded()) << "LoadLibrary error " << host.load_error();
    EXPECT_EQ(host.Start(), 0);
    EXPECT_EQ(host.output(), reference.output());

    const psapi::int16 result = RunDialog(host, [](HWND dialog) { EXPECT_TRUE(EndWith(dialog, IDOK)); });
    EXPECT_EQ(result, 0);
}

INSTANTIATE_TEST_SUITE_P(Hosts, ShortRecord, ::testing::ValuesIn(kHostRecordLengths), RecordLengthName());

}  // namespace
}  // namespace tessellon::testing
