// Gives the test process a settings store of its own. On Windows every process of the
// build's wine prefix shares one registry, and tests run two at a time, so each process
// keeps its keys under a root of its own that is deleted when it exits. The native
// build does the same with a temporary XDG configuration directory.
#pragma once

namespace tessellon::testing {

// Returns false when the sandbox cannot be made.
bool IsolateSettingsStore();

}  // namespace tessellon::testing
