// Settings persistence through the platform's settings store (the registry on Windows).
// No Windows headers.
#include "ui/settings.h"

#include <cstdio>
#include <cstring>

#include "filter/definition.h"
#include "hostapi/host_state.h"
#include "runtime/block_format.h"
#include "runtime/context.h"
#include "ui/dialog_model.h"

namespace tessellon {


namespace {

static_assert(sizeof Live().controls == 64);
static_assert(sizeof definition_block.colours == 32);

}  // namespace

void EnsureSettingsKey(WindowHandle) noexcept {
    SettingsHome& home = Settings();
    if (home.ready == 1) return;
    const PlatformApi& api = Platform();
    if (!api.module_path(Host().module, home.module_path, sizeof home.module_path)) home.module_path[0] = '\0';
    if (!api.module_path(Host().module, home.module_directory, sizeof home.module_directory)) {
        home.module_directory[0] = '\0';
    }
    // The directory ends at the last separator ('/' too, for the native build's paths).
    char* separator = std::strrchr(home.module_directory, '\\');
    if (char* slash = std::strrchr(home.module_directory, '/'); slash != nullptr && (separator == nullptr || slash > separator)) {
        separator = slash;
    }
    if (separator != nullptr) *separator = '\0';
    if (api.settings_open_key(Bound().settings_key) == SettingsStatus::ok) {
        home.ready = 1;
        return;
    }
    // Found, and settings_ready set, by the next run.
    api.settings_create_key(Bound().settings_key, kSettingsKeyClass);
}

namespace {

// Takes a value of the batch read into `target`. The bytes land only when the read
// succeeded; a value longer than the target failed and leaves it as it was. Returns
// true for a read of binary type.
bool TakeBinary(const SettingsReadValue& value, void* target, std::uint32_t capacity) noexcept {
    if (value.status != SettingsStatus::ok) return false;
    std::memcpy(target, value.buffer, value.size < capacity ? value.size : capacity);
    return value.type == kSettingsTypeBinary;
}

}  // namespace

void LoadSettings() noexcept { LoadSettings(Live().controls, definition_block.colours); }

void LoadSettings(std::int32_t (&controls)[kControlCount], std::uint32_t (&colours)[kColourCount]) noexcept {
    if (Platform().settings_open_key(Bound().settings_key) != SettingsStatus::ok) return;
    // Both values in one call, so that the sliders and colours are those of one save
    // even while another process saves (the Linux store reads them from one snapshot).
    std::uint8_t slider_bytes[sizeof controls];
    std::uint8_t colour_bytes[sizeof colours];
    SettingsReadValue values[] = {
        {kSliderSettingsName, slider_bytes, sizeof slider_bytes, 0, SettingsStatus::failed},
        {kCustomColorsName, colour_bytes, sizeof colour_bytes, 0, SettingsStatus::failed},
    };
    Platform().settings_read_values(Bound().settings_key, values, sizeof values / sizeof values[0]);
    // A shorter value fills the first entries only. A value of another type has been
    // copied already; the defaults then restore the sliders only.
    if (!TakeBinary(values[0], controls, sizeof controls)) ApplyControlDefaults(controls);
    // Missing or damaged colours become black, not the block's own colours.
    if (!TakeBinary(values[1], colours, sizeof colours)) std::memset(colours, 0, sizeof colours);
}

void SaveSettings() noexcept { SaveSettings(Live().controls, definition_block.colours); }

void SaveSettings(const std::int32_t (&controls)[kControlCount], const std::uint32_t (&colours)[kColourCount]) noexcept {
    const PlatformApi& api = Platform();
    if (api.settings_open_key(Bound().settings_key) != SettingsStatus::ok) return;
    // In one call, so that the store can keep the pair together: sliders and colours of
    // different saves are never read side by side.
    const SettingsValue values[] = {
        {kSliderSettingsName, kSettingsTypeBinary, controls, sizeof controls},
        {kCustomColorsName, kSettingsTypeBinary, colours, sizeof colours},
    };
    api.settings_write_values(Bound().settings_key, values, sizeof values / sizeof values[0]);
}

}  // namespace tessellon
