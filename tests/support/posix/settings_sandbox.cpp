// The per-process settings directory for tests: a fresh XDG configuration directory,
// removed when the process exits.
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "support/settings_sandbox.h"

namespace tessellon::testing {

bool IsolateSettingsStore() {
    char config[] = "/tmp/tessellon-tests-XXXXXX";
    if (mkdtemp(config) == nullptr) return false;
    setenv("XDG_CONFIG_HOME", config, 1);
    static const std::string directory = config;
    std::atexit([] {
        std::error_code ignored;
        std::filesystem::remove_all(directory, ignored);
    });
    return true;
}

}  // namespace tessellon::testing
