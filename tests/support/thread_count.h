// Sets TESSELLON_THREADS, the threads a filtering run may use, for the lifetime of the
// object, and restores the value that was there before.
#pragma once

#include <cstdlib>
#include <optional>
#include <string>

#if defined(_WIN32)
#include <windows.h>
#endif

namespace tessellon::testing {

class ScopedThreadCount {
public:
    explicit ScopedThreadCount(int threads) : ScopedThreadCount(std::to_string(threads).c_str()) {}
    // Any text, or unset for null.
    explicit ScopedThreadCount(const char* value) {
        if (const char* old = std::getenv(kName)) previous_ = old;
        Set(value);
    }
    ~ScopedThreadCount() { Set(previous_ ? previous_->c_str() : nullptr); }
    ScopedThreadCount(const ScopedThreadCount&) = delete;
    ScopedThreadCount& operator=(const ScopedThreadCount&) = delete;

private:
    static constexpr const char* kName = "TESSELLON_THREADS";
    static void Set(const char* value) {
#if defined(_WIN32)
        // The process's environment, which the module reads, and the C runtime's copy.
        SetEnvironmentVariableA(kName, value);
        _putenv_s(kName, value != nullptr ? value : "");
#else
        if (value != nullptr) {
            setenv(kName, value, 1);
        } else {
            unsetenv(kName);
        }
#endif
    }
    std::optional<std::string> previous_;
};

}  // namespace tessellon::testing
