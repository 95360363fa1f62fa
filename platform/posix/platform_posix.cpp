// POSIX implementation of the platform seam for the native build. Message boxes go to
// stderr (caption, then text), and there is no message queue to peek at. The settings
// store keeps each key as a directory under the XDG configuration directory (the
// registry's "Software" root maps onto it) and each value as a file holding a small
// header with the value's type, then its bytes; a value is replaced atomically.
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <string>

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

// Directory of a settings key, or empty when the key path cannot name one.
std::string ConfigRoot() {
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    if (xdg != nullptr && xdg[0] == '/') return xdg;
    const char* home = std::getenv("HOME");
    if (home == nullptr || home[0] != '/') {
        const passwd* entry = getpwuid(getuid());
        home = entry != nullptr ? entry->pw_dir : nullptr;
    }
    return home != nullptr ? std::string(home) + "/.config" : std::string();
}

std::string KeyDirectory(const char* key_path) {
    std::string root = ConfigRoot();
    if (root.empty() || key_path == nullptr) return {};
    std::string path(key_path);
    constexpr char kSoftware[] = "Software\\";
    if (path.rfind(kSoftware, 0) == 0) path.erase(0, sizeof kSoftware - 1);
    std::string directory = root;
    std::size_t start = 0;
    while (start <= path.size()) {
        std::size_t end = path.find('\\', start);
        if (end == std::string::npos) end = path.size();
        const std::string part = path.substr(start, end - start);
        // Each component names one directory: nothing empty, nothing that climbs.
        if (part.empty() || part == "." || part == ".." || part.find('/') != std::string::npos) return {};
        directory += '/';
        directory += part;
        start = end + 1;
    }
    return directory;
}

bool ValidValueName(const char* name) {
    return name != nullptr && name[0] != '\0' && name[0] != '.' && std::strchr(name, '/') == nullptr;
}

bool IsDirectory(const std::string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

SettingsStatus OpenKey(const char* key_path) {
    const std::string directory = KeyDirectory(key_path);
    if (directory.empty()) return SettingsStatus::failed;
    return IsDirectory(directory) ? SettingsStatus::ok : SettingsStatus::not_found;
}

SettingsStatus CreateKey(const char* key_path, const char*) {
    const std::string directory = KeyDirectory(key_path);
    if (directory.empty()) return SettingsStatus::failed;
    for (std::size_t slash = directory.find('/', 1); ; slash = directory.find('/', slash + 1)) {
        const std::string prefix = directory.substr(0, slash);
        if (mkdir(prefix.c_str(), 0700) != 0 && errno != EEXIST) return SettingsStatus::failed;
        if (slash == std::string::npos) break;
    }
    return IsDirectory(directory) ? SettingsStatus::ok : SettingsStatus::failed;
}

// A value file: the magic "TSV1", the value's type (little-endian), then its bytes.
constexpr char kValueMagic[4] = {'T', 'S', 'V', '1'};
constexpr std::size_t kValueHeader = 8;
constexpr std::size_t kMaxValueBytes = 1 << 20;

bool ReadAll(int fd, void* data, std::size_t size) {
    auto* bytes = static_cast<unsigned char*>(data);
    while (size > 0) {
        const ssize_t n = read(fd, bytes, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        bytes += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

bool WriteAll(int fd, const void* data, std::size_t size) {
    const auto* bytes = static_cast<const unsigned char*>(data);
    while (size > 0) {
        const ssize_t n = write(fd, bytes, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        bytes += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

SettingsStatus ReadValue(const char* key_path, const char* value_name, void* buffer, std::uint32_t* size,
                         std::uint32_t* type) {
    const std::string directory = KeyDirectory(key_path);
    if (directory.empty() || !ValidValueName(value_name)) return SettingsStatus::failed;
    if (!IsDirectory(directory)) return SettingsStatus::not_found;
    const int fd = open((directory + '/' + value_name).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return errno == ENOENT ? SettingsStatus::not_found : SettingsStatus::failed;
    struct stat info {};
    unsigned char header[kValueHeader];
    SettingsStatus status = SettingsStatus::failed;
    // A damaged file (short header, wrong magic, absurd size) reads as a failure.
    if (fstat(fd, &info) == 0 && info.st_size >= static_cast<off_t>(kValueHeader) &&
        static_cast<std::size_t>(info.st_size) - kValueHeader <= kMaxValueBytes && ReadAll(fd, header, kValueHeader) &&
        std::memcmp(header, kValueMagic, sizeof kValueMagic) == 0) {
        const auto length = static_cast<std::uint32_t>(static_cast<std::size_t>(info.st_size) - kValueHeader);
        const std::uint32_t value_type = static_cast<std::uint32_t>(header[4]) | static_cast<std::uint32_t>(header[5]) << 8 |
                                         static_cast<std::uint32_t>(header[6]) << 16 |
                                         static_cast<std::uint32_t>(header[7]) << 24;
        // As the registry does: a value longer than the buffer is not read.
        if (length <= *size && ReadAll(fd, buffer, length)) {
            *type = value_type;
            status = SettingsStatus::ok;
        }
        *size = length;
    }
    close(fd);
    return status;
}

SettingsStatus WriteValue(const char* key_path, const char* value_name, std::uint32_t type, const void* data,
                          std::uint32_t size) {
    const std::string directory = KeyDirectory(key_path);
    if (directory.empty() || !ValidValueName(value_name) || size > kMaxValueBytes) return SettingsStatus::failed;
    if (!IsDirectory(directory)) return SettingsStatus::not_found;
    // Written beside the value, flushed, then renamed over it: a crash at any point leaves
    // either the old value or the new one, never a part of it.
    const std::string target = directory + '/' + value_name;
    const std::string temporary = target + ".tmp." + std::to_string(getpid());
    const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) return SettingsStatus::failed;
    unsigned char header[kValueHeader];
    std::memcpy(header, kValueMagic, sizeof kValueMagic);
    for (int i = 0; i < 4; ++i) header[4 + i] = static_cast<unsigned char>(type >> (8 * i));
    const bool written = WriteAll(fd, header, sizeof header) && WriteAll(fd, data, size) && fsync(fd) == 0;
    const bool closed = close(fd) == 0;
    if (!written || !closed || rename(temporary.c_str(), target.c_str()) != 0) {
        unlink(temporary.c_str());
        return SettingsStatus::failed;
    }
    const int dir_fd = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir_fd >= 0) {
        fsync(dir_fd);
        close(dir_fd);
    }
    return SettingsStatus::ok;
}

bool NoQueue(WindowHandle, std::uint32_t, std::uint32_t) { return false; }

void* CallocZeroed(std::size_t bytes) { return std::calloc(bytes == 0 ? 1 : bytes, 1); }
void FreeMemory(void* block) { std::free(block); }

}  // namespace

const PlatformApi& NativePlatform() noexcept {
    static const PlatformApi table{
        MessageBoxToStderr, ExitProcess, NoActiveWindow, ModulePath, ExecutablePath,
        MsOfDayUtc,         CalendarSeconds, OpenKey,    CreateKey,  ReadValue,
        WriteValue,            NoQueue,         CallocZeroed, FreeMemory,
    };
    return table;
}

}  // namespace tessellon
