// The user's saved settings: what a first run finds, values of the wrong size or type,
// clamping at set-up, and (on the native store) that a write is all or nothing.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "filter/definition.h"
#include "runtime/builtins.h"
#include "runtime/context.h"
#include "ui/dialog_model.h"
#include "ui/settings.h"

#if !defined(_WIN32)
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace tessellon {
namespace {

// Each test works on a key of its own, so that values left by other tests or runs do
// not leak in.
class SettingsTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::memcpy(saved_key_, settings_key_name, sizeof saved_key_);
        saved_colours_ = std::vector<std::uint32_t>(std::begin(definition_block.colours),
                                                     std::end(definition_block.colours));
        const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
        std::snprintf(settings_key_name, sizeof settings_key_name, "Software\\Dravik-Vextrel\\Tests\\%s",
                      info->name());
        for (std::int32_t& value : control_values) value = -9;
    }
    void TearDown() override {
        settings_ready = 0;
        std::memcpy(settings_key_name, saved_key_, sizeof saved_key_);
        std::copy(saved_colours_.begin(), saved_colours_.end(), definition_block.colours);
        for (std::int32_t& value : control_values) value = 0;
    }

    static void CreateKey() {
        ASSERT_EQ(Platform().settings_create_key(settings_key_name, kSettingsKeyClass), SettingsStatus::ok);
    }
    static void Write(const char* name, std::uint32_t type, const std::vector<std::uint8_t>& bytes) {
        ASSERT_EQ(Platform().settings_write(settings_key_name, name, type, bytes.data(),
                                            static_cast<std::uint32_t>(bytes.size())),
                  SettingsStatus::ok);
    }
    static std::vector<std::uint8_t> Read(const char* name, std::uint32_t* type) {
        std::vector<std::uint8_t> bytes(256);
        std::uint32_t size = 256;
        if (Platform().settings_read(settings_key_name, name, bytes.data(), &size, type) != SettingsStatus::ok) {
            return {};
        }
        bytes.resize(size);
        return bytes;
    }
    static std::vector<std::uint8_t> Int32Bytes(std::initializer_list<std::int32_t> values) {
        std::vector<std::uint8_t> bytes;
        for (std::int32_t v : values) {
            for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<std::uint8_t>(static_cast<std::uint32_t>(v) >> (8 * i)));
        }
        return bytes;
    }

    const std::int32_t kDefaults[8] = {0, 0, 50, 0, 10, 4, 0, 0};

private:
    char saved_key_[kSettingsKeySize]{};
    std::vector<std::uint32_t> saved_colours_;
};

TEST_F(SettingsTest, FirstRunCreatesTheKeyThenStoresDefaultsAndBlackColours) {
    settings_ready = 0;
    EXPECT_EQ(Platform().settings_open_key(settings_key_name), SettingsStatus::not_found);
    EnsureSettingsKey(nullptr);
    EXPECT_EQ(settings_ready, 0) << "a created key is found by the next run";
    EXPECT_EQ(Platform().settings_open_key(settings_key_name), SettingsStatus::ok);
    EnsureSettingsKey(nullptr);
    EXPECT_EQ(settings_ready, 1);

    InitialiseDialogValues();
    for (int i = 0; i < 8; ++i) EXPECT_EQ(control_values[i], kDefaults[i]) << i;
    for (int i = 8; i < 16; ++i) EXPECT_EQ(control_values[i], -9) << "entries 8..15 stay as they were";
    for (std::uint32_t colour : definition_block.colours) EXPECT_EQ(colour, 0u);

    SaveSettings();
    std::uint32_t type = 0;
    const std::vector<std::uint8_t> sliders = Read(kSliderSettingsName, &type);
    EXPECT_EQ(type, kSettingsTypeBinary);
    EXPECT_EQ(sliders, Int32Bytes({0, 0, 50, 0, 10, 4, 0, 0, -9, -9, -9, -9, -9, -9, -9, -9}));
    EXPECT_EQ(Read(kCustomColorsName, &type), std::vector<std::uint8_t>(32, 0));
}

TEST_F(SettingsTest, ValuesOfOtherSizesAndTypes) {
    CreateKey();
    struct Row {
        const char* name;
        std::vector<std::uint8_t> bytes;
        std::uint32_t type;
        std::vector<std::int32_t> expected;  // all sixteen entries after loading
    };
    const std::vector<std::uint8_t> forty = Int32Bytes({1, 2, 3, 4, 5, 6, 7, 8, 9, 10});
    std::vector<std::uint8_t> eighty = Int32Bytes({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16});
    eighty.resize(80, 0);
    const std::vector<std::uint8_t> sixty_four = Int32Bytes({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16});
    const Row rows[] = {
        {"forty bytes fill entries 0 to 9", forty, kSettingsTypeBinary,
         {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, -9, -9, -9, -9, -9, -9}},
        {"eighty bytes are refused", eighty, kSettingsTypeBinary,
         {0, 0, 50, 0, 10, 4, 0, 0, -9, -9, -9, -9, -9, -9, -9, -9}},
        {"another type is copied, then the sliders get their defaults", sixty_four, 4 /* a number */,
         {0, 0, 50, 0, 10, 4, 0, 0, 9, 10, 11, 12, 13, 14, 15, 16}},
        {"a full value", sixty_four, kSettingsTypeBinary, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        for (std::int32_t& value : control_values) value = -9;
        Write(kSliderSettingsName, row.type, row.bytes);
        ApplyControlDefaults();
        LoadSettings();
        EXPECT_EQ(std::vector<std::int32_t>(std::begin(control_values), std::end(control_values)), row.expected);
    }
}

TEST_F(SettingsTest, ShortColoursFillTheFirstEntriesAndWrongTypesTurnBlack) {
    CreateKey();
    definition_block.colours[0] = 0x00010203;
    definition_block.colours[1] = 0x00040506;
    Write(kCustomColorsName, kSettingsTypeBinary, Int32Bytes({0x00AABBCC}));
    LoadSettings();
    EXPECT_EQ(definition_block.colours[0], 0x00AABBCCu);
    EXPECT_EQ(definition_block.colours[1], 0x00040506u);
    Write(kCustomColorsName, 1 /* text */, Int32Bytes({0x00AABBCC}));
    LoadSettings();
    for (std::uint32_t colour : definition_block.colours) EXPECT_EQ(colour, 0u);
}

TEST_F(SettingsTest, OutOfRangeSlidersAreClampedAndSavedClamped) {
    CreateKey();
    Write(kSliderSettingsName, kSettingsTypeBinary, Int32Bytes({-500, 75, 1000, 300, 100, 0, 101, -1}));
    InitialiseDialogValues();
    const std::int32_t expected[8] = {-76, 75, 100, 255, 100, 1, 100, 0};
    for (int i = 0; i < 8; ++i) EXPECT_EQ(control_values[i], expected[i]) << i;
    SaveSettings();
    std::uint32_t type = 0;
    const std::vector<std::uint8_t> saved = Read(kSliderSettingsName, &type);
    ASSERT_EQ(saved.size(), 64u);
    EXPECT_EQ(std::vector<std::uint8_t>(saved.begin() + 8, saved.begin() + 12), Int32Bytes({100}));
}

TEST_F(SettingsTest, WithoutAKeyNothingLoadsAndNothingSaves) {
    definition_block.colours[0] = 0x00123456;
    InitialiseDialogValues();
    for (int i = 0; i < 8; ++i) EXPECT_EQ(control_values[i], kDefaults[i]) << i;
    EXPECT_EQ(definition_block.colours[0], 0x00123456u) << "colours stay as they are in memory";
    SaveSettings();
    EXPECT_EQ(Platform().settings_open_key(settings_key_name), SettingsStatus::not_found);
}

TEST_F(SettingsTest, DefaultsKeepMarkedSlidersAndAddJitter) {
    const DefinitionBlock saved = definition_block;
    definition_block.control_defaults[0] = kKeepCurrentValue;
    definition_block.control_jitter[0] = 50;
    definition_block.control_jitter[1] = 10;
    SeedRandom(1);  // the generator's first value is 16838
    control_values[0] = 33;
    ApplyControlDefaults();
    definition_block = saved;
    EXPECT_EQ(control_values[0], 33) << "kept, even with a jitter";
    EXPECT_EQ(control_values[1], 0 + 10 * 16838 / 32767);
    EXPECT_EQ(control_values[2], 50);
    EXPECT_EQ(control_values[10], -9) << "the selector is never touched";
}

#if !defined(_WIN32)
// A writer killed at any moment leaves either the old value or a new one, never a part.
TEST_F(SettingsTest, AWriterKilledMidWriteLeavesAWholeValue) {
    CreateKey();
    std::vector<std::uint8_t> big(64 * 1024, 0);
    Write("Big", kSettingsTypeBinary, big);
    for (int attempt = 0; attempt < 5; ++attempt) {
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            std::vector<std::uint8_t> value(64 * 1024);
            for (std::uint8_t fill = 1;; ++fill) {
                std::fill(value.begin(), value.end(), fill);
                Platform().settings_write(settings_key_name, "Big", kSettingsTypeBinary, value.data(),
                                          static_cast<std::uint32_t>(value.size()));
            }
        }
        usleep(20'000 + attempt * 7'000);
        kill(child, SIGKILL);
        int status = 0;
        waitpid(child, &status, 0);
        std::vector<std::uint8_t> read(64 * 1024);
        std::uint32_t size = static_cast<std::uint32_t>(read.size());
        std::uint32_t type = 0;
        ASSERT_EQ(Platform().settings_read(settings_key_name, "Big", read.data(), &size, &type), SettingsStatus::ok);
        ASSERT_EQ(size, 64u * 1024u);
        EXPECT_EQ(type, kSettingsTypeBinary);
        EXPECT_EQ(std::count(read.begin(), read.end(), read[0]), static_cast<std::ptrdiff_t>(read.size()))
            << "a value mixed from two writes";
    }
}

TEST_F(SettingsTest, DamagedValueFilesReadAsFailures) {
    CreateKey();
    Write(kSliderSettingsName, kSettingsTypeBinary, Int32Bytes({1, 2}));
    // Overwrite the file with bytes that are not a value.
    const char* home = std::getenv("XDG_CONFIG_HOME");
    ASSERT_NE(home, nullptr);
    const std::string file =
        std::string(home) + "/Dravik-Vextrel/Tests/" + ::testing::UnitTest::GetInstance()->current_test_info()->name() +
        "/" + kSliderSettingsName;
    FILE* f = std::fopen(file.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fputs("garbage", f);
    std::fclose(f);
    InitialiseDialogValues();
    for (int i = 0; i < 8; ++i) EXPECT_EQ(control_values[i], kDefaults[i]) << i;
}
#endif

}  // namespace
}  // namespace tessellon
