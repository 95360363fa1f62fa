// Test entry: the module is loaded once, as the native build's hosts load it, before
// any test runs.
#include <gtest/gtest.h>

#include "shell/host.h"

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    tessellon::LoadModule(nullptr, nullptr);
    return RUN_ALL_TESTS();
}
