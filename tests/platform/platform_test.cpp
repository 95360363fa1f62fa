// The build's own platform implementation: clock, paths, memory, and on Windows the
// registry-backed settings store.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "platform/platform.h"

namespace tessellon {
namespace {

TEST(NativePlatform, TimeOfDayIsUtcAndAgreesWithTheCalendar) {
    const PlatformApi& api = NativePlatform();
    const std::int64_t seconds = api.calendar_seconds();
    const std::int32_t ms = api.ms_of_day();
    ASSERT_GE(ms, 0);
    ASSERT_LT(ms, 86'400'000);
    // Both clocks count UTC, so they agree to within a second or two (across midnight
    // the difference wraps by a whole day).
    std::int64_t difference = (seconds % 86'400) * 1000 - ms;
    if (difference > 43'200'000) difference -= 86'400'000;
    if (difference < -43'200'000) difference += 86'400'000;
    EXPECT_LE(difference < 0 ? -difference : difference, 2000);
    EXPECT_GT(seconds, 1'700'000'000);  // a plausible present, not a zero clock
}

TEST(NativePlatform, PathsAreTerminatedWithinTheBuffer) {
    const PlatformApi& api = NativePlatform();
    char path[256];
    ASSERT_TRUE(api.host_path(path, sizeof path));
    EXPECT_GT(std::strlen(path), 0u);
    char tiny[4];
    std::memset(tiny, 'x', sizeof tiny);
    api.host_path(tiny, sizeof tiny);
    EXPECT_LT(std::strlen(tiny), sizeof tiny);
    ASSERT_TRUE(api.module_path(nullptr, path, sizeof path));
    EXPECT_GT(std::strlen(path), 0u);
}

TEST(NativePlatform, AllocationIsZeroFilled) {
    const PlatformApi& api = NativePlatform();
    constexpr std::size_t kBytes = 41000 * 4;
    auto* block = static_cast<unsigned char*>(api.alloc_zeroed(kBytes));
    ASSERT_NE(block, nullptr);
    std::size_t nonzero = 0;
    for (std::size_t i = 0; i < kBytes; ++i) nonzero += block[i] != 0;
    EXPECT_EQ(nonzero, 0u);
    api.free_memory(block);
    api.free_memory(nullptr);
}

TEST(NativePlatform, NoMessageWaitsForNoWindow) {
    EXPECT_FALSE(NativePlatform().peek_message(nullptr, kMessageCommand, kMessageCommand));
}

#if defined(_WIN32)
TEST(NativePlatform, RegistryKeepsBinaryValuesWithTheirType) {
    const PlatformApi& api = NativePlatform();
    const char* key = "Software\\Dravik-Vextrel\\Tests\\PlatformStore";
    ASSERT_EQ(api.settings_create_key(key, "Filter settings"), SettingsStatus::ok);
    ASSERT_EQ(api.settings_open_key(key), SettingsStatus::ok);
    const std::uint8_t bytes[5] = {1, 2, 3, 4, 5};
    ASSERT_EQ(api.settings_write(key, "Value", kSettingsTypeBinary, bytes, sizeof bytes), SettingsStatus::ok);

    std::uint8_t read[8] = {};
    std::uint32_t size = sizeof read;
    std::uint32_t type = 0;
    ASSERT_EQ(api.settings_read(key, "Value", read, &size, &type), SettingsStatus::ok);
    EXPECT_EQ(size, 5u);
    EXPECT_EQ(type, kSettingsTypeBinary);
    EXPECT_EQ(std::memcmp(read, bytes, sizeof bytes), 0);

    // A value longer than the buffer is not read.
    std::uint8_t small[2];
    size = sizeof small;
    EXPECT_NE(api.settings_read(key, "Value", small, &size, &type), SettingsStatus::ok);
    size = sizeof read;
    EXPECT_EQ(api.settings_read(key, "Missing", read, &size, &type), SettingsStatus::not_found);
    EXPECT_EQ(api.settings_open_key("Software\\Dravik-Vextrel\\Tests\\NoSuchKey"), SettingsStatus::not_found);
}
#endif

}  // namespace
}  // namespace tessellon
