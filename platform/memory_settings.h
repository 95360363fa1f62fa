// A settings store held in memory: for its lifetime the settings entries of the
// platform table answer from a table of its own, so that what is written there never
// reaches the user's store. Used for a run of the command-line host (the module reads
// the run's settings through its own load path) and by tests. One at a time.
#pragma once

#include <cstdint>

#include "platform/platform.h"

namespace tessellon {

class ScopedMemorySettings {
public:
    // Starts empty; every key exists.
    ScopedMemorySettings();
    ~ScopedMemorySettings();
    ScopedMemorySettings(const ScopedMemorySettings&) = delete;
    ScopedMemorySettings& operator=(const ScopedMemorySettings&) = delete;

    // Stores a value, as settings_write does.
    static void Put(const char* name, const void* data, std::uint32_t size,
                    std::uint32_t type = kSettingsTypeBinary);

private:
    PlatformApi saved_;
};

}  // namespace tessellon
