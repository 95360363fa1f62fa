// The per-process registry root for tests. Translate only.
#define _WIN32_WINNT 0x0600
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/platform.h"
#include "support/settings_sandbox.h"

namespace tessellon::testing {
namespace {

std::string root;

std::string Under(const char* key_path) { return root + "\\" + (key_path != nullptr ? key_path : ""); }

}  // namespace

bool IsolateSettingsStore() {
    char name[96];
    std::snprintf(name, sizeof name, "Software\\TessellonTests\\%lu-%lu", GetCurrentProcessId(), GetTickCount());
    root = name;
    PlatformApi& api = Platform();
    api.settings_open_key = [](const char* key) { return NativePlatform().settings_open_key(Under(key).c_str()); };
    api.settings_create_key = [](const char* key, const char* class_name) {
        return NativePlatform().settings_create_key(Under(key).c_str(), class_name);
    };
    api.settings_read = [](const char* key, const char* value, void* buffer, std::uint32_t* size, std::uint32_t* type) {
        return NativePlatform().settings_read(Under(key).c_str(), value, buffer, size, type);
    };
    api.settings_read_values = [](const char* key, SettingsReadValue* values, std::size_t count) {
        return NativePlatform().settings_read_values(Under(key).c_str(), values, count);
    };
    api.settings_write = [](const char* key, const char* value, std::uint32_t type, const void* data,
                            std::uint32_t size) {
        return NativePlatform().settings_write(Under(key).c_str(), value, type, data, size);
    };
    api.settings_write_values = [](const char* key, const SettingsValue* values, std::size_t count) {
        return NativePlatform().settings_write_values(Under(key).c_str(), values, count);
    };
    std::atexit([] { RegDeleteTreeA(HKEY_CURRENT_USER, root.c_str()); });
    return true;
}

}  // namespace tessellon::testing
