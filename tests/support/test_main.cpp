// Test entry: the process gets a settings store of its own, then the module is loaded
// once, as the native build's hosts load it, before any test runs.
#include <gtest/gtest.h>

#include "shell/host.h"
#include "support/settings_sandbox.h"

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    if (!tessellon::testing::IsolateSettingsStore()) return 2;
    tessellon::LoadModule(nullptr, nullptr);
    return RUN_ALL_TESTS();
}
