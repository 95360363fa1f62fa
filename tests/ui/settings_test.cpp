// The user's saved settings: what a first run finds, values of the wrong size or type,
// clamping at set-up, batches and error texts, and on the native store: a write is all
// or nothing, a save's sliders and colours stay paired, concurrent writers lose nothing,
// damaged or odd files fail without blocking, stale temporary files go, and settings
// saved by 1.1.0 stay readable.
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
#include "filter/control_rows.h"

#if !defined(_WIN32)
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <functional>
#include <random>
#include <set>
#endif

namespace tessellon {
namespace {

// Each test works on a key of its own, so that values left by other tests or runs do
// not leak in.
class SettingsTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::memcpy(saved_key_, Bound().settings_key, sizeof saved_key_);
        saved_colours_ = std::vector<std::uint32_t>(std::begin(definition_block.colours),
                                                     std::end(definition_block.colours));
        const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
        std::snprintf(Bound().settings_key, sizeof Bound().settings_key, "Software\\Dravik-Vextrel\\Tests\\%s",
                      info->name());
        for (std::int32_t& value : Live().controls) value = -9;
    }
    void TearDown() override {
        Settings().ready = 0;
        std::memcpy(Bound().settings_key, saved_key_, sizeof saved_key_);
        std::copy(saved_colours_.begin(), saved_colours_.end(), definition_block.colours);
        for (std::int32_t& value : Live().controls) value = 0;
    }

    static void CreateKey() {
        ASSERT_EQ(Platform().settings_create_key(Bound().settings_key, kSettingsKeyClass), SettingsStatus::ok);
    }
    static void Write(const char* name, std::uint32_t type, const std::vector<std::uint8_t>& bytes) {
        ASSERT_EQ(Platform().settings_write(Bound().settings_key, name, type, bytes.data(),
                                            static_cast<std::uint32_t>(bytes.size())),
                  SettingsStatus::ok);
    }
    static std::vector<std::uint8_t> Read(const char* name, std::uint32_t* type) {
        std::vector<std::uint8_t> bytes(256);
        std::uint32_t size = 256;
        if (Platform().settings_read(Bound().settings_key, name, bytes.data(), &size, type) != SettingsStatus::ok) {
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
    Settings().ready = 0;
    EXPECT_EQ(Platform().settings_open_key(Bound().settings_key), SettingsStatus::not_found);
    EnsureSettingsKey(nullptr);
    EXPECT_EQ(Settings().ready, 0) << "a created key is found by the next run";
    EXPECT_EQ(Platform().settings_open_key(Bound().settings_key), SettingsStatus::ok);
    EnsureSettingsKey(nullptr);
    EXPECT_EQ(Settings().ready, 1);

    InitialiseDialogValues();
    for (int i = 0; i < 8; ++i) EXPECT_EQ(Live().controls[i], kDefaults[i]) << i;
    for (int i = 8; i < 16; ++i) EXPECT_EQ(Live().controls[i], -9) << "entries 8..15 stay as they were";
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
        for (std::int32_t& value : Live().controls) value = -9;
        Write(kSliderSettingsName, row.type, row.bytes);
        ApplyControlDefaults();
        LoadSettings();
        EXPECT_EQ(std::vector<std::int32_t>(std::begin(Live().controls), std::end(Live().controls)), row.expected);
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
    for (int i = 0; i < 8; ++i) EXPECT_EQ(Live().controls[i], expected[i]) << i;
    SaveSettings();
    std::uint32_t type = 0;
    const std::vector<std::uint8_t> saved = Read(kSliderSettingsName, &type);
    ASSERT_EQ(saved.size(), 64u);
    EXPECT_EQ(std::vector<std::uint8_t>(saved.begin() + 8, saved.begin() + 12), Int32Bytes({100}));
}

TEST_F(SettingsTest, WithoutAKeyNothingLoadsAndNothingSaves) {
    definition_block.colours[0] = 0x00123456;
    InitialiseDialogValues();
    for (int i = 0; i < 8; ++i) EXPECT_EQ(Live().controls[i], kDefaults[i]) << i;
    EXPECT_EQ(definition_block.colours[0], 0x00123456u) << "colours stay as they are in memory";
    SaveSettings();
    EXPECT_EQ(Platform().settings_open_key(Bound().settings_key), SettingsStatus::not_found);
}

TEST_F(SettingsTest, DefaultsKeepMarkedSlidersAndAddJitter) {
    const DefinitionBlock saved = definition_block;
    definition_block.control_defaults[0] = kKeepCurrentValue;
    definition_block.control_jitter[0] = 50;
    definition_block.control_jitter[1] = 10;
    SeedRandom(1);  // the generator's first value is 16838
    Live().controls[kOverlapXRow] = 33;
    ApplyControlDefaults();
    definition_block = saved;
    EXPECT_EQ(Live().controls[kOverlapXRow], 33) << "kept, even with a jitter";
    EXPECT_EQ(Live().controls[kOverlapYRow], 0 + 10 * 16838 / 32767);
    EXPECT_EQ(Live().controls[kFadeRow], 50);
    EXPECT_EQ(Live().controls[kSelectorRecord], -9) << "the selector is never touched";
}

TEST_F(SettingsTest, ABatchWritesEveryValueAndFailuresNameTheKey) {
    CreateKey();
    const SettingsValue first[] = {{"One", kSettingsTypeBinary, "\x01\x02\x03", 3}, {"Two", 4, "\x04", 1}};
    ASSERT_EQ(Platform().settings_write_values(Bound().settings_key, first, 2), SettingsStatus::ok);
    EXPECT_STREQ(Platform().settings_error(), "");
    // A second batch replaces one value, adds one and keeps the other.
    const SettingsValue second[] = {{"One", kSettingsTypeBinary, "\x09", 1}, {"Three", kSettingsTypeBinary, "", 0}};
    ASSERT_EQ(Platform().settings_write_values(Bound().settings_key, second, 2), SettingsStatus::ok);
    struct Row {
        const char* name;
        std::uint32_t type;
        std::vector<std::uint8_t> bytes;
    };
    const Row rows[] = {{"One", kSettingsTypeBinary, {9}}, {"Two", 4, {4}}, {"Three", kSettingsTypeBinary, {}}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        std::uint8_t bytes[8];
        std::uint32_t size = sizeof bytes;
        std::uint32_t type = 0;
        ASSERT_EQ(Platform().settings_read(Bound().settings_key, row.name, bytes, &size, &type), SettingsStatus::ok);
        EXPECT_EQ(std::vector<std::uint8_t>(bytes, bytes + size), row.bytes);
        EXPECT_EQ(type, row.type);
    }

    const std::string test_name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    std::uint8_t bytes[8];
    std::uint32_t size = sizeof bytes;
    std::uint32_t type = 0;
    EXPECT_EQ(Platform().settings_read(Bound().settings_key, "Missing", bytes, &size, &type), SettingsStatus::not_found);
    EXPECT_NE(std::string(Platform().settings_error()).find("Missing"), std::string::npos) << Platform().settings_error();
    const std::string absent = std::string(Bound().settings_key) + "\\Absent";
    EXPECT_EQ(Platform().settings_write_values(absent.c_str(), first, 2), SettingsStatus::not_found);
    const std::string error = Platform().settings_error();
#if defined(_WIN32)
    EXPECT_NE(error.find("HKEY_CURRENT_USER\\"), std::string::npos) << error;
    EXPECT_NE(error.find(test_name + "\\Absent"), std::string::npos) << error;
#else
    EXPECT_NE(error.find(test_name + "/Absent' does not exist"), std::string::npos) << error;
#endif
}

#if !defined(_WIN32)
// The directory of the test's key in the native store.
std::string KeyDirectory() {
    return std::string(std::getenv("XDG_CONFIG_HOME")) + "/Dravik-Vextrel/Tests/" +
           ::testing::UnitTest::GetInstance()->current_test_info()->name();
}

void WriteFile(const std::string& path, const std::vector<std::uint8_t>& bytes) {
    FILE* file = std::fopen(path.c_str(), "wb");
    ASSERT_NE(file, nullptr) << path;
    std::fwrite(bytes.data(), 1, bytes.size(), file);
    std::fclose(file);
}

// Runs `body` in a child process and returns its exit status, or -1 when it has not
// ended within five seconds (it is killed then): a store that blocks fails the test
// instead of hanging it.
int InChild(const std::function<int()>& body) {
    const pid_t child = fork();
    if (child == 0) _exit(body());
    if (child < 0) return -2;
    for (int waited_ms = 0; waited_ms < 5000; waited_ms += 5) {
        int status = 0;
        if (waitpid(child, &status, WNOHANG) == child) return WIFEXITED(status) ? WEXITSTATUS(status) : -3;
        usleep(5000);
    }
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    return -1;
}

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
                Platform().settings_write(Bound().settings_key, "Big", kSettingsTypeBinary, value.data(),
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
        ASSERT_EQ(Platform().settings_read(Bound().settings_key, "Big", read.data(), &size, &type), SettingsStatus::ok);
        ASSERT_EQ(size, 64u * 1024u);
        EXPECT_EQ(type, kSettingsTypeBinary);
        EXPECT_EQ(std::count(read.begin(), read.end(), read[0]), static_cast<std::ptrdiff_t>(read.size()))
            << "a value mixed from two writes";
    }
}

// Damaged files and files that are no files at all read as failures, at once: a FIFO
// would block a plain open or read for good. A write replaces a damaged key file.
TEST_F(SettingsTest, DamagedValueFilesReadAsFailuresWithoutWaiting) {
    CreateKey();
    const std::string key = KeyDirectory();
    enum class Damage { garbage, fifo, directory };
    struct Row {
        const char* name;
        const char* file;
        Damage damage;
        SettingsStatus write;  // of a value after the damage
    };
    const Row rows[] = {
        {"garbage as the key file", ".values", Damage::garbage, SettingsStatus::ok},
        {"a FIFO as the key file", ".values", Damage::fifo, SettingsStatus::ok},
        {"a directory as the key file", ".values", Damage::directory, SettingsStatus::failed},
        {"garbage as a 1.1.0 value file", kSliderSettingsName, Damage::garbage, SettingsStatus::ok},
        {"a FIFO as a 1.1.0 value file", kSliderSettingsName, Damage::fifo, SettingsStatus::ok},
        {"a directory as a 1.1.0 value file", kSliderSettingsName, Damage::directory, SettingsStatus::ok},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        // A saved (1, 2) first; then the damage, in place of the key file or, with no key
        // file, in place of the value's own file.
        Write(kSliderSettingsName, kSettingsTypeBinary, Int32Bytes({1, 2}));
        std::filesystem::remove(key + "/.values");
        const std::string path = key + "/" + row.file;
        switch (row.damage) {
            case Damage::garbage: WriteFile(path, {'g', 'a', 'r', 'b', 'a', 'g', 'e'}); break;
            case Damage::fifo: ASSERT_EQ(mkfifo(path.c_str(), 0600), 0); break;
            case Damage::directory: ASSERT_EQ(mkdir(path.c_str(), 0700), 0); break;
        }
        EXPECT_EQ(InChild([] {
                      std::uint8_t bytes[64];
                      std::uint32_t size = sizeof bytes;
                      std::uint32_t type = 0;
                      return static_cast<int>(
                          Platform().settings_read(Bound().settings_key, kSliderSettingsName, bytes, &size, &type));
                  }),
                  static_cast<int>(SettingsStatus::failed));
        // The dialog then starts from the defaults.
        EXPECT_EQ(InChild([this] {
                      InitialiseDialogValues();
                      return std::equal(kDefaults, kDefaults + 8, Live().controls) ? 0 : 1;
                  }),
                  0);
        const int written = InChild([] {
            const std::int32_t value = 3;
            return static_cast<int>(Platform().settings_write(Bound().settings_key, kSliderSettingsName,
                                                              kSettingsTypeBinary, &value, sizeof value));
        });
        EXPECT_EQ(written, static_cast<int>(row.write));
        if (written == static_cast<int>(SettingsStatus::ok)) {
            std::uint32_t type = 0;
            EXPECT_EQ(Read(kSliderSettingsName, &type), Int32Bytes({3}));
        }
        std::filesystem::remove_all(path);
    }
}

// Writers use "<name>.tmp.<pid>"; one that was killed leaves its file. The next write
// removes those of processes that are gone, and nothing else.
TEST_F(SettingsTest, StaleTemporaryFilesOfDeadWritersAreRemoved) {
    CreateKey();
    const std::string key = KeyDirectory();
    const pid_t dead = fork();
    ASSERT_GE(dead, 0);
    if (dead == 0) _exit(0);
    waitpid(dead, nullptr, 0);
    ASSERT_EQ(kill(dead, 0), -1);
    ASSERT_EQ(errno, ESRCH);
    const std::string gone = std::to_string(dead);
    const std::string alive = std::to_string(getppid());
    struct Row {
        std::string name;
        bool directory;
        bool removed;
    };
    const Row rows[] = {
        {".values.tmp." + gone, false, true},
        {"SliderSettings.tmp." + gone, false, true},  // as 1.1.0 wrote them
        {"Name.tmp.with.tmp." + gone, false, true},
        {".values.tmp." + alive, false, false},
        {"SliderSettings.tmp." + alive, false, false},
        {"SliderSettings", false, false},
        {"notes.txt", false, false},
        {".values.tmp." + gone + "x", false, false},
        {".values.tmp.0" + gone, false, false},
        {".hidden.tmp." + gone, false, false},
        {"Folder.tmp." + gone, true, false},
    };
    for (const Row& row : rows) {
        const std::string path = key + "/" + row.name;
        if (row.directory) {
            ASSERT_EQ(mkdir(path.c_str(), 0700), 0) << path;
        } else {
            WriteFile(path, {1, 2, 3});
        }
    }
    Write("Value", kSettingsTypeBinary, {7});
    for (const Row& row : rows) {
        EXPECT_EQ(std::filesystem::exists(key + "/" + row.name), !row.removed) << row.name;
    }
}

// Sets every slider and every colour to `value`: the pair a save of `value` writes.
void FillPair(std::int32_t value) {
    std::fill(std::begin(Live().controls), std::end(Live().controls), value);
    std::fill(std::begin(definition_block.colours), std::end(definition_block.colours), static_cast<std::uint32_t>(value));
}

// A writer saving pairs (v, v) again and again is killed at random moments; what is left
// is always the sliders and the colours of one save.
TEST_F(SettingsTest, ASaveKilledAtAnyMomentLeavesAMatchingPair) {
    CreateKey();
    const auto repeated = [](std::int32_t value, int count) {
        std::vector<std::uint8_t> bytes;
        for (int i = 0; i < count; ++i) {
            for (int b = 0; b < 4; ++b) bytes.push_back(static_cast<std::uint8_t>(static_cast<std::uint32_t>(value) >> (8 * b)));
        }
        return bytes;
    };
    FillPair(0);
    SaveSettings();
    std::mt19937 random(20261210);
    std::set<std::int32_t> saves_seen;
    for (int round = 1; round <= 25; ++round) {
        // The writer says when its first save of the round is in, so that the kill
        // comes during its later saves however busy the machine is.
        int started[2];
        ASSERT_EQ(pipe(started), 0);
        const pid_t writer = fork();
        ASSERT_GE(writer, 0);
        if (writer == 0) {
            close(started[0]);
            for (std::int32_t value = round * 1'000'000;; ++value) {
                FillPair(value);
                SaveSettings();
                if (value == round * 1'000'000) {
                    const char byte = 1;
                    const ssize_t ignored = write(started[1], &byte, 1);
                    (void)ignored;
                    close(started[1]);
                }
            }
        }
        close(started[1]);
        char byte = 0;
        ASSERT_EQ(read(started[0], &byte, 1), 1);
        close(started[0]);
        usleep(std::uniform_int_distribution<useconds_t>(500, 15'000)(random));
        kill(writer, SIGKILL);
        waitpid(writer, nullptr, 0);
        std::uint32_t type = 0;
        const std::vector<std::uint8_t> sliders = Read(kSliderSettingsName, &type);
        const std::vector<std::uint8_t> colours = Read(kCustomColorsName, &type);
        ASSERT_EQ(sliders.size(), 64u);
        std::int32_t value = 0;
        std::memcpy(&value, sliders.data(), sizeof value);
        EXPECT_EQ(sliders, repeated(value, 16)) << "round " << round;
        EXPECT_EQ(colours, repeated(value, 8)) << "round " << round << ": sliders of save " << value;
        saves_seen.insert(value);
    }
    EXPECT_GT(saves_seen.size(), 10u) << "the writer hardly got to save";
}

// A process saving pairs (v, v), (v + 1, v + 1), ... as fast as it can while this one
// loads: every load gets the sliders and the colours of one save.
TEST_F(SettingsTest, ALoadWhileAnotherProcessSavesGetsThePairOfOneSave) {
    CreateKey();
    FillPair(0);
    SaveSettings();
    const pid_t writer = fork();
    ASSERT_GE(writer, 0);
    if (writer == 0) {
        for (std::int32_t value = 1;; ++value) {
            FillPair(value);
            SaveSettings();
        }
    }
    // Loads until a hundred saves have been seen, or for ten seconds on a slow machine.
    std::set<std::int32_t> saves_seen;
    int loads = 0;
    int mixed = 0;
    std::string first_mixed;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (saves_seen.size() < 100 && std::chrono::steady_clock::now() < deadline) {
        FillPair(-1);
        LoadSettings();
        ++loads;
        const std::int32_t value = Live().controls[kOverlapXRow];
        const bool paired =
            std::all_of(std::begin(Live().controls), std::end(Live().controls), [&](std::int32_t v) { return v == value; }) &&
            std::all_of(std::begin(definition_block.colours), std::end(definition_block.colours),
                        [&](std::uint32_t c) { return c == static_cast<std::uint32_t>(value); });
        if (!paired && mixed++ == 0) {
            first_mixed = "sliders of save " + std::to_string(value) + ", colours of save " +
                          std::to_string(static_cast<std::int32_t>(definition_block.colours[0]));
        }
        saves_seen.insert(value);
    }
    kill(writer, SIGKILL);
    waitpid(writer, nullptr, 0);
    EXPECT_EQ(mixed, 0) << "loads out of " << loads << " that mixed two saves; the first: " << first_mixed;
    EXPECT_EQ(saves_seen.size(), 100u) << "the writer hardly got to save";
}

// Two processes writing values of one key at the same time: every value of both lands.
TEST_F(SettingsTest, ConcurrentWritersKeepEachOthersValues) {
    CreateKey();
    constexpr int kValuesEach = 40;
    const auto name = [](int writer, int i) {
        std::string text(1, static_cast<char>('A' + writer));
        text += std::to_string(i);  // appended, not added: gcc 12 warns falsely about string + string here
        return text;
    };
    pid_t writers[2];
    for (int w = 0; w < 2; ++w) {
        writers[w] = fork();
        ASSERT_GE(writers[w], 0);
        if (writers[w] == 0) {
            bool all_written = true;
            for (int i = 0; i < kValuesEach; ++i) {
                const std::int32_t value = w * 1000 + i;
                all_written &= Platform().settings_write(Bound().settings_key, name(w, i).c_str(), kSettingsTypeBinary,
                                                         &value, sizeof value) == SettingsStatus::ok;
            }
            _exit(all_written ? 0 : 1);
        }
    }
    for (const pid_t writer : writers) {
        int status = 0;
        ASSERT_EQ(waitpid(writer, &status, 0), writer);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    for (int w = 0; w < 2; ++w) {
        for (int i = 0; i < kValuesEach; ++i) {
            std::uint32_t type = 0;
            EXPECT_EQ(Read(name(w, i).c_str(), &type), Int32Bytes({w * 1000 + i})) << name(w, i);
        }
    }
}

// Release 1.1.0 kept each value in a file of its own: "TSV1", the type, the bytes.
TEST_F(SettingsTest, ValuesSavedBy110StayReadable) {
    CreateKey();
    const auto older_file = [](const char* name, const std::vector<std::uint8_t>& bytes) {
        std::vector<std::uint8_t> file = {'T', 'S', 'V', '1', 3, 0, 0, 0};
        file.insert(file.end(), bytes.begin(), bytes.end());
        WriteFile(KeyDirectory() + "/" + name, file);
    };
    older_file(kSliderSettingsName, Int32Bytes({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16}));
    older_file(kCustomColorsName, Int32Bytes({0x00112233, 1, 2, 3, 4, 5, 6, 7}));
    older_file("Other", Int32Bytes({42}));
    LoadSettings();
    for (int i = 0; i < 16; ++i) EXPECT_EQ(Live().controls[i], i + 1) << i;
    EXPECT_EQ(definition_block.colours[0], 0x00112233u);
    EXPECT_EQ(definition_block.colours[7], 7u);

    // A save goes into the key file, which is read first from then on; a value it lacks
    // still comes from its own file.
    std::fill(std::begin(Live().controls), std::end(Live().controls), 5);
    SaveSettings();
    std::fill(std::begin(Live().controls), std::end(Live().controls), 0);
    LoadSettings();
    for (int i = 0; i < 16; ++i) EXPECT_EQ(Live().controls[i], 5) << i;
    std::uint32_t type = 0;
    EXPECT_EQ(Read("Other", &type), Int32Bytes({42}));
}

// What settings_error says: the file or directory and the system's reason. The tests
// run as root, where permission bits stop no write, so the failures come from files
// standing where directories should be, and the other way round.
TEST_F(SettingsTest, ErrorsNameThePathAndTheReason) {
    CreateKey();
    const std::string key = KeyDirectory();
    const std::string config = std::getenv("XDG_CONFIG_HOME");
    const std::string plain_file = config + "/plain-file";
    WriteFile(plain_file, {1});
    const auto read = [](const char* name) {
        std::uint8_t bytes[64];
        std::uint32_t size = sizeof bytes;
        std::uint32_t type = 0;
        return Platform().settings_read(Bound().settings_key, name, bytes, &size, &type);
    };
    const auto write = [] {
        const std::uint8_t byte = 1;
        return Platform().settings_write(Bound().settings_key, "Value", kSettingsTypeBinary, &byte, 1);
    };
    struct Row {
        const char* name;
        std::function<void()> prepare;
        std::function<SettingsStatus()> call;
        SettingsStatus status;
        std::string text;
    };
    const std::string beneath_file = plain_file + "/Dravik-Vextrel";
    const Row rows[] = {
        {"a success", [] {}, write, SettingsStatus::ok, ""},
        {"a value file that is a folder", [&] { mkdir((key + "/Folder").c_str(), 0700); },
         [&] { return read("Folder"); }, SettingsStatus::failed, "'" + key + "/Folder' is not a regular file"},
        {"a missing value", [] {}, [&] { return read("Missing"); }, SettingsStatus::not_found,
         "no value 'Missing' in '" + key + "'"},
        {"a key file that is a folder",
         [&] {
             std::filesystem::remove(key + "/.values");
             mkdir((key + "/.values").c_str(), 0700);
         },
         write, SettingsStatus::failed, "cannot replace '" + key + "/.values': " + std::strerror(EISDIR)},
        {"a key beneath a regular file: creating it", [&] { setenv("XDG_CONFIG_HOME", plain_file.c_str(), 1); },
         [] { return Platform().settings_create_key(Bound().settings_key, kSettingsKeyClass); }, SettingsStatus::failed,
         "cannot create '" + beneath_file + "': " + std::strerror(ENOTDIR)},
        {"a key beneath a regular file: writing", [] {}, write, SettingsStatus::failed,
         "cannot open '" + beneath_file + "/Tests/" +
             ::testing::UnitTest::GetInstance()->current_test_info()->name() + "': " + std::strerror(ENOTDIR)},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        row.prepare();
        EXPECT_EQ(row.call(), row.status);
        EXPECT_EQ(Platform().settings_error(), row.text);
    }
    setenv("XDG_CONFIG_HOME", config.c_str(), 1);
}
#endif

// A batch read gives each value what a read of it alone gives, and tells whether the
// key could be read at all.
TEST_F(SettingsTest, ABatchReadAnswersEachValueAsASingleReadDoes) {
    CreateKey();
    Write("Full", kSettingsTypeBinary, {1, 2, 3, 4});
    Write("Typed", 4, {5});
    Write("Long", kSettingsTypeBinary, std::vector<std::uint8_t>(16, 6));
    ASSERT_EQ(Platform().settings_write(Bound().settings_key, "Empty", kSettingsTypeBinary, "", 0), SettingsStatus::ok);
    struct Row {
        const char* name;
        SettingsStatus status;
        std::vector<std::uint8_t> bytes;  // what is read; for a value too long, its length in bytes
        std::uint32_t type;               // of a value read
    };
    std::vector<Row> rows = {
        {"Full", SettingsStatus::ok, {1, 2, 3, 4}, kSettingsTypeBinary},
        {"Typed", SettingsStatus::ok, {5}, 4},
        {"Long", SettingsStatus::failed, std::vector<std::uint8_t>(16, 6), 0},
        {"Empty", SettingsStatus::ok, {}, kSettingsTypeBinary},
        {"Missing", SettingsStatus::not_found, {}, 0},
    };
#if !defined(_WIN32)
    // A name the native store refuses, and a value kept only in 1.1.0's file of its own.
    rows.push_back({".Hidden", SettingsStatus::failed, {}, 0});
    WriteFile(KeyDirectory() + "/Older", {'T', 'S', 'V', '1', 3, 0, 0, 0, 7, 8});
    rows.push_back({"Older", SettingsStatus::ok, {7, 8}, kSettingsTypeBinary});
#endif
    constexpr std::uint32_t kCapacity = 8;
    constexpr std::uint32_t kUntouched = 77;
    std::vector<std::vector<std::uint8_t>> buffers(rows.size(), std::vector<std::uint8_t>(kCapacity, 0xEE));
    std::vector<SettingsReadValue> batch;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        batch.push_back({rows[i].name, buffers[i].data(), kCapacity, kUntouched, SettingsStatus::ok});
    }
    ASSERT_EQ(Platform().settings_read_values(Bound().settings_key, batch.data(), batch.size()), SettingsStatus::ok);
    const std::string batch_error = Platform().settings_error();
    EXPECT_NE(batch_error.find("'Long'"), std::string::npos) << "the first value not read: " << batch_error;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const Row& row = rows[i];
        SCOPED_TRACE(row.name);
        std::vector<std::uint8_t> single(kCapacity, 0xEE);
        std::uint32_t size = kCapacity;
        std::uint32_t type = kUntouched;
        const SettingsStatus status = Platform().settings_read(Bound().settings_key, row.name, single.data(), &size, &type);
        EXPECT_EQ(batch[i].status, row.status);
        EXPECT_EQ(batch[i].status, status);
        EXPECT_EQ(batch[i].size, size);
        EXPECT_EQ(batch[i].type, type);
        if (row.status == SettingsStatus::ok) {
            EXPECT_EQ(std::vector<std::uint8_t>(buffers[i].begin(), buffers[i].begin() + batch[i].size), row.bytes);
            EXPECT_EQ(batch[i].type, row.type);
            EXPECT_EQ(buffers[i], single);
        } else if (row.status == SettingsStatus::failed && !row.bytes.empty()) {
            EXPECT_EQ(batch[i].size, row.bytes.size()) << "the length of a value too long";
        }
    }

    // A key that cannot be read: the call says so, and so does every value it holds.
    struct KeyRow {
        const char* name;
        std::string key;
        SettingsStatus status;
    };
    std::vector<KeyRow> keys = {{"a missing key", std::string(Bound().settings_key) + "\\Absent", SettingsStatus::not_found}};
#if !defined(_WIN32)
    keys.push_back({"a damaged key file", std::string(Bound().settings_key) + "\\Damaged", SettingsStatus::failed});
    ASSERT_EQ(Platform().settings_create_key(keys.back().key.c_str(), kSettingsKeyClass), SettingsStatus::ok);
    WriteFile(KeyDirectory() + "/Damaged/.values", {'g', 'a', 'r', 'b', 'a', 'g', 'e'});
#endif
    for (const KeyRow& row : keys) {
        SCOPED_TRACE(row.name);
        std::uint8_t bytes[3][kCapacity];
        std::vector<SettingsReadValue> values = {{"Full", bytes[0], kCapacity, 0, SettingsStatus::ok},
                                                 {"Missing", bytes[1], kCapacity, 0, SettingsStatus::ok}};
#if !defined(_WIN32)
        // A name the native store refuses is refused before the key is looked at.
        values.push_back({".Hidden", bytes[2], kCapacity, 0, SettingsStatus::ok});
#endif
        EXPECT_EQ(Platform().settings_read_values(row.key.c_str(), values.data(), values.size()), row.status);
        for (const SettingsReadValue& value : values) {
            EXPECT_EQ(value.status, value.name[0] == '.' ? SettingsStatus::failed : row.status) << value.name;
        }
        EXPECT_NE(std::string(Platform().settings_error()), "");
    }
}

}  // namespace
}  // namespace tessellon
