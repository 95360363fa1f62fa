// Test entry: the module is loaded once, as the native build's hosts load it, before
// any test runs.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "shell/host.h"

#if !defined(_WIN32)
#include <unistd.h>
#endif

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
#if !defined(_WIN32)
    // The settings store of the native build lives under the XDG configuration
    // directory; tests get a fresh one of their own, never the user's.
    char config[] = "/tmp/tessellon-tests-XXXXXX";
    if (mkdtemp(config) == nullptr) return 2;
    setenv("XDG_CONFIG_HOME", config, 1);
    static const std::string config_directory = config;
    std::atexit([] {
        std::error_code ignored;
        std::filesystem::remove_all(config_directory, ignored);
    });
#endif
    tessellon::LoadModule(nullptr, nullptr);
    return RUN_ALL_TESTS();
}
