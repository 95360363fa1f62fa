// The in-memory settings store: one table of named values, whatever the key.
#include "platform/memory_settings.h"

#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace tessellon {
namespace {

struct Value {
    std::uint32_t type = 0;
    std::vector<std::uint8_t> bytes;
};

std::map<std::string, Value>& Values() {
    static std::map<std::string, Value> table;
    return table;
}

SettingsStatus Read(const char*, const char* name, void* buffer, std::uint32_t* size, std::uint32_t* type) {
    const auto found = Values().find(name);
    if (found == Values().end()) return SettingsStatus::not_found;
    const auto length = static_cast<std::uint32_t>(found->second.bytes.size());
    // As the registry does: a value longer than the buffer is not read.
    const bool fits = length <= *size;
    if (fits) {
        if (length != 0) std::memcpy(buffer, found->second.bytes.data(), length);
        *type = found->second.type;
    }
    *size = length;
    return fits ? SettingsStatus::ok : SettingsStatus::failed;
}

}  // namespace

void ScopedMemorySettings::Put(const char* name, const void* data, std::uint32_t size, std::uint32_t type) {
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    Values()[name] = Value{type, std::vector<std::uint8_t>(bytes, bytes + size)};
}

ScopedMemorySettings::ScopedMemorySettings() : saved_(Platform()) {
    Values().clear();
    PlatformApi& api = Platform();
    api.settings_open_key = [](const char*) { return SettingsStatus::ok; };
    api.settings_create_key = [](const char*, const char*) { return SettingsStatus::ok; };
    api.settings_read = Read;
    api.settings_read_values = [](const char* key, SettingsReadValue* batch, std::size_t count) {
        for (std::size_t i = 0; i < count; ++i) {
            batch[i].status = Read(key, batch[i].name, batch[i].buffer, &batch[i].size, &batch[i].type);
        }
        return SettingsStatus::ok;
    };
    api.settings_write = [](const char*, const char* name, std::uint32_t type, const void* data, std::uint32_t size) {
        Put(name, data, size, type);
        return SettingsStatus::ok;
    };
    api.settings_write_values = [](const char*, const SettingsValue* batch, std::size_t count) {
        for (std::size_t i = 0; i < count; ++i) Put(batch[i].name, batch[i].data, batch[i].size, batch[i].type);
        return SettingsStatus::ok;
    };
    api.settings_error = [] { return ""; };
}

ScopedMemorySettings::~ScopedMemorySettings() { Platform() = saved_; }

}  // namespace tessellon
