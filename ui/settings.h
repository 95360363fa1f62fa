// The user's last settings: the sixteen control values and the eight colour entries,
// kept under the filter's own key of the per-user settings store. No Windows headers.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/platform.h"
#include "runtime/block_format.h"

namespace tessellon {

constexpr char kSliderSettingsName[] = "SliderSettings";  // 64 bytes
constexpr char kCustomColorsName[] = "CustomColors";      // 32 bytes
constexpr char kSettingsKeyClass[] = "Filter settings";

constexpr std::size_t kModulePathSize = 255;
constexpr std::size_t kModuleDirectorySize = 250;
// Where the settings live and where the module lies: set once the key has been found
// (from then on EnsureSettingsKey does nothing), and the module file's path and its
// directory, captured by EnsureSettingsKey. Kept across the host's calls.
struct SettingsHome {
    std::int32_t ready = 0;
    char module_path[kModulePathSize] = {};
    char module_directory[kModuleDirectorySize] = {};
};
inline SettingsHome& Settings() noexcept {
    constinit static SettingsHome home;
    return home;
}

// Makes sure the key exists. A key that had to be created is found by the next run.
void EnsureSettingsKey(WindowHandle owner) noexcept;
// Reads the saved values, both in one batch, over the defaults just applied; values of
// the wrong size or type bring the defaults back (sliders) or black (colours). Into
// the live values and the live block's colours, or into `controls` and `colours`.
void LoadSettings() noexcept;
void LoadSettings(std::int32_t (&controls)[kControlCount], std::uint32_t (&colours)[kColourCount]) noexcept;
// Writes both values in one batch: the live ones, or `controls` and `colours`.
// Failures are silent here; the store's settings_error tells what went wrong.
void SaveSettings() noexcept;
void SaveSettings(const std::int32_t (&controls)[kControlCount], const std::uint32_t (&colours)[kColourCount]) noexcept;

}  // namespace tessellon
