// POSIX implementation of the platform seam for the native build. Message boxes go to
// stderr (caption, then text), there is no message queue to peek at, and the settings
// store finds nothing yet.
#include <sys/time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "platform/platform.h"

namespace tessellon {
namespace {

const char* IconName(MessageIcon icon) {
    switch (icon) {
        case MessageIcon::information: return "information";
        case MessageIcon::exclamation: return "warning";
        case MessageIcon::stop: return "error";
        case MessageIcon::none: break;
    }
    return nullptr;
}

void MessageBoxToStderr(WindowHandle, const char* text, const char* caption, MessageIcon icon) {
    const char* kind = IconName(icon);
    if (kind != nullptr) {
        std::fprintf(stderr, "[%s] %s\n%s\n", kind, caption, text);
    } else {
        std::fprintf(stderr, "%s\n%s\n", caption, text);
    }
    std::fflush(stderr);
}

void ExitProcess(int status) { std::exit(status); }

WindowHandle NoActiveWindow() { return nullptr; }

bool CopyPath(const char* path, char* buffer, std::size_t size) {
    if (buffer == nullptr || size == 0) return false;
    std::snprintf(buffer, size, "%s", path);
    return true;
}

// The native build links the module into the program that uses it, so the module file
// and the host executable are the same file.
bool ExecutablePath(char* buffer, std::size_t size) {
    if (buffer == nullptr || size == 0) return false;
    char path[4096];
    const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) {
        buffer[0] = '\0';
        return false;
    }
    path[n] = '\0';
    return CopyPath(path, buffer, size);
}

bool ModulePath(ModuleHandle, char* buffer, std::size_t size) { return ExecutablePath(buffer, size); }

std::int32_t MsOfDayUtc() {
    timeval now{};
    gettimeofday(&now, nullptr);
    const std::int64_t day_ms = 86'400'000;
    const std::int64_t ms = static_cast<std::int64_t>(now.tv_sec) * 1000 + now.tv_usec / 1000;
    return static_cast<std::int32_t>(ms % day_ms);
}

std::int64_t CalendarSeconds() { return static_cast<std::int64_t>(std::time(nullptr)); }

SettingsStatus NoKey(const char*) { return SettingsStatus::not_found; }
SettingsStatus NoCreate(const char*, const char*) { return SettingsStatus::failed; }
SettingsStatus NoRead(const char*, const char*, void*, std::uint32_t*, std::uint32_t*) {
    return SettingsStatus::not_found;
}
SettingsStatus NoWrite(const char*, const char*, std::uint32_t, const void*, std::uint32_t) {
    return SettingsStatus::failed;
}

bool NoQueue(WindowHandle, std::uint32_t, std::uint32_t) { return false; }

void* CallocZeroed(std::size_t bytes) { return std::calloc(bytes == 0 ? 1 : bytes, 1); }
void FreeMemory(void* block) { std::free(block); }

}  // namespace

const PlatformApi& NativePlatform() noexcept {
    static const PlatformApi table{
        MessageBoxToStderr, ExitProcess, NoActiveWindow, ModulePath, ExecutablePath,
        MsOfDayUtc,         CalendarSeconds, NoKey,      NoCreate,   NoRead,
        NoWrite,            NoQueue,         CallocZeroed, FreeMemory,
    };
    return table;
}

}  // namespace tessellon
