// POSIX implementation of the platform seam for the native build. Message boxes go to
// stderr (caption, then text), and there is no message queue to peek at. The settings
// store keeps each key as a directory under the XDG configuration directory (the
// registry's "Software" root maps onto it), with all of the key's values in one file
// that is replaced as a whole; see "Settings store" below.
#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

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

// ---- Settings store ------------------------------------------------------------------
//
// A key is a directory. All of its values live in one file, ".values" (no value name
// starts with '.'), which is only ever replaced as a whole: the new contents are written
// beside it as ".values.tmp.<pid>", flushed, then renamed over it. So a reader sees every
// value of one write or every value of the one before, whenever the writer dies; a batch
// read opens and reads the file once, and so gets all of its values from one write.
// Writers of one key take turns through flock on the key's ".lock", so that the
// read-modify-write of one process does not drop what another has just written. Release
// 1.1.0 kept each value in a file of its own, named after the value; a value that
// ".values" lacks is still looked up there, so that settings saved by 1.1.0 stay
// readable.

constexpr char kKeyFileName[] = ".values";
constexpr char kLockFileName[] = ".lock";
constexpr char kTemporaryMark[] = ".tmp.";

constexpr std::size_t kMaxNameBytes = 255;           // a file name, for the older layout
constexpr std::size_t kMaxValueBytes = 1 << 20;      // one value
constexpr std::size_t kMaxKeyFileBytes = 16u << 20;  // all values of a key, with their names
constexpr int kLockPatienceMs = 5000;

// The text of the thread's last failure; see PlatformApi::settings_error.
thread_local char error_text[1024];

void ClearError() { error_text[0] = '\0'; }

SettingsStatus Fail(SettingsStatus status, const std::string& text) {
    std::snprintf(error_text, sizeof error_text, "%s", text.c_str());
    return status;
}

const char* LastError() { return error_text; }

std::string Quoted(const std::string& text) { return "'" + text + "'"; }

// The system's text for an errno value (glibc's strerror_r returns it).
std::string Reason(int error) {
    char buffer[256];
    return strerror_r(error, buffer, sizeof buffer);
}

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

// Directory of a settings key, or empty when the key path cannot name one.
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

bool ResolveKey(const char* key_path, std::string* directory) {
    *directory = KeyDirectory(key_path);
    if (!directory->empty()) return true;
    if (ConfigRoot().empty()) {
        Fail(SettingsStatus::failed, "no settings directory: neither $XDG_CONFIG_HOME nor a home directory is known");
    } else {
        Fail(SettingsStatus::failed, Quoted(key_path != nullptr ? key_path : "") + " does not name a settings key");
    }
    return false;
}

bool ValidValueName(const char* name) {
    return name != nullptr && name[0] != '\0' && name[0] != '.' && std::strchr(name, '/') == nullptr &&
           std::strlen(name) <= kMaxNameBytes;
}

SettingsStatus InvalidName(const char* name) {
    return Fail(SettingsStatus::failed, Quoted(name != nullptr ? name : "") + " is not a valid value name");
}

SettingsStatus KeyState(const std::string& directory) {
    struct stat info {};
    if (stat(directory.c_str(), &info) != 0) {
        const int error = errno;
        if (error == ENOENT) return Fail(SettingsStatus::not_found, Quoted(directory) + " does not exist");
        return Fail(SettingsStatus::failed, "cannot open " + Quoted(directory) + ": " + Reason(error));
    }
    if (!S_ISDIR(info.st_mode)) return Fail(SettingsStatus::failed, Quoted(directory) + " is not a directory");
    return SettingsStatus::ok;
}

SettingsStatus OpenKey(const char* key_path) {
    ClearError();
    std::string directory;
    if (!ResolveKey(key_path, &directory)) return SettingsStatus::failed;
    return KeyState(directory);
}

SettingsStatus CreateKey(const char* key_path, const char*) {
    ClearError();
    std::string directory;
    if (!ResolveKey(key_path, &directory)) return SettingsStatus::failed;
    for (std::size_t slash = directory.find('/', 1); ; slash = directory.find('/', slash + 1)) {
        const std::string prefix = directory.substr(0, slash);
        if (mkdir(prefix.c_str(), 0700) != 0 && errno != EEXIST) {
            return Fail(SettingsStatus::failed, "cannot create " + Quoted(prefix) + ": " + Reason(errno));
        }
        if (slash == std::string::npos) break;
    }
    const SettingsStatus state = KeyState(directory);
    return state == SettingsStatus::not_found ? SettingsStatus::failed : state;
}

// Whole reads and writes. A read that meets the end of the file early fails with
// *error 0; otherwise *error is the system's reason.
bool ReadAll(int fd, void* data, std::size_t size, int* error) {
    auto* bytes = static_cast<unsigned char*>(data);
    while (size > 0) {
        const ssize_t n = read(fd, bytes, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            *error = n == 0 ? 0 : errno;
            return false;
        }
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
        if (n <= 0) {
            if (n == 0) errno = EIO;
            return false;
        }
        bytes += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

enum class FileState {
    missing,
    opened,
    damaged,     // not a file of the store: a write may replace it
    unreadable,  // could not be looked at: it may hold values, so it stays
};

// Opens a file of the store for reading without waiting on it: a FIFO or a device in
// its place would block the open or the read, so only a regular file counts as opened.
FileState OpenRegular(const std::string& path, int* fd, std::size_t* size) {
    *fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (*fd < 0) {
        const int error = errno;
        if (error == ENOENT) return FileState::missing;
        Fail(SettingsStatus::failed, "cannot read " + Quoted(path) + ": " + Reason(error));
        return FileState::unreadable;
    }
    struct stat info {};
    if (fstat(*fd, &info) != 0) {
        const int error = errno;
        close(*fd);
        Fail(SettingsStatus::failed, "cannot read " + Quoted(path) + ": " + Reason(error));
        return FileState::unreadable;
    }
    if (!S_ISREG(info.st_mode)) {
        close(*fd);
        Fail(SettingsStatus::failed, Quoted(path) + " is not a regular file");
        return FileState::damaged;
    }
    *size = static_cast<std::size_t>(info.st_size);
    return FileState::opened;
}

FileState Damaged(const std::string& path) {
    Fail(SettingsStatus::failed, Quoted(path) + " is damaged: it is not a settings file");
    return FileState::damaged;
}

// Reads a whole file of at most `limit` bytes.
FileState ReadFile(const std::string& path, std::size_t limit, std::vector<unsigned char>* bytes) {
    int fd = -1;
    std::size_t size = 0;
    const FileState state = OpenRegular(path, &fd, &size);
    if (state != FileState::opened) return state;
    int error = 0;
    bool complete = false;
    if (size <= limit) {
        bytes->resize(size);
        complete = ReadAll(fd, bytes->data(), size, &error);
    }
    close(fd);
    if (complete) return FileState::opened;
    if (error == 0) return Damaged(path);  // too long, or shorter than it said
    Fail(SettingsStatus::failed, "cannot read " + Quoted(path) + ": " + Reason(error));
    return FileState::unreadable;
}

std::uint32_t LittleEndian(const unsigned char* bytes) {
    return static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
           static_cast<std::uint32_t>(bytes[2]) << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
}

void PutLittleEndian(std::vector<unsigned char>* out, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) out->push_back(static_cast<unsigned char>(value >> (8 * i)));
}

struct StoredValue {
    std::string name;
    std::uint32_t type;
    std::vector<unsigned char> bytes;
};

// The key file: the magic "TSK1", the number of values, then for each value the length
// of its name, the name, its type, its length and its bytes; numbers are 32-bit
// little-endian. Release 1.1.0's value file: the magic "TSV1", the type, the bytes.
constexpr unsigned char kKeyMagic[4] = {'T', 'S', 'K', '1'};
constexpr unsigned char kValueMagic[4] = {'T', 'S', 'V', '1'};
constexpr std::size_t kValueHeader = 8;
constexpr std::size_t kSmallestEntry = 4 + 1 + 4 + 4;

class ByteReader {
public:
    explicit ByteReader(const std::vector<unsigned char>& bytes) : next_(bytes.data()), left_(bytes.size()) {}
    bool Take(std::size_t count, const unsigned char** bytes) {
        if (count > left_) return false;
        *bytes = next_;
        next_ += count;
        left_ -= count;
        return true;
    }
    bool Number(std::uint32_t* value) {
        const unsigned char* bytes = nullptr;
        if (!Take(4, &bytes)) return false;
        *value = LittleEndian(bytes);
        return true;
    }
    std::size_t left() const { return left_; }

private:
    const unsigned char* next_;
    std::size_t left_;
};

const StoredValue* Find(const std::vector<StoredValue>& values, const char* name) {
    for (const StoredValue& value : values) {
        if (value.name == name) return &value;
    }
    return nullptr;
}

bool ParseKeyFile(const std::vector<unsigned char>& bytes, std::vector<StoredValue>* values) {
    ByteReader in(bytes);
    const unsigned char* magic = nullptr;
    std::uint32_t count = 0;
    if (!in.Take(sizeof kKeyMagic, &magic) || std::memcmp(magic, kKeyMagic, sizeof kKeyMagic) != 0 ||
        !in.Number(&count) || count > in.left() / kSmallestEntry) {
        return false;
    }
    std::unordered_set<std::string> names;
    for (std::uint32_t i = 0; i < count; ++i) {
        StoredValue value;
        std::uint32_t name_length = 0;
        std::uint32_t length = 0;
        const unsigned char* name = nullptr;
        const unsigned char* data = nullptr;
        if (!in.Number(&name_length) || name_length > kMaxNameBytes || !in.Take(name_length, &name)) return false;
        value.name.assign(reinterpret_cast<const char*>(name), name_length);
        if (value.name.size() != std::strlen(value.name.c_str()) || !ValidValueName(value.name.c_str()) ||
            !names.insert(value.name).second) {
            return false;
        }
        if (!in.Number(&value.type) || !in.Number(&length) || length > kMaxValueBytes || !in.Take(length, &data)) {
            return false;
        }
        value.bytes.assign(data, data + length);
        values->push_back(std::move(value));
    }
    return in.left() == 0;
}

std::vector<unsigned char> KeyFileBytes(const std::vector<StoredValue>& values) {
    std::vector<unsigned char> out(std::begin(kKeyMagic), std::end(kKeyMagic));
    PutLittleEndian(&out, static_cast<std::uint32_t>(values.size()));
    for (const StoredValue& value : values) {
        PutLittleEndian(&out, static_cast<std::uint32_t>(value.name.size()));
        out.insert(out.end(), value.name.begin(), value.name.end());
        PutLittleEndian(&out, value.type);
        PutLittleEndian(&out, static_cast<std::uint32_t>(value.bytes.size()));
        out.insert(out.end(), value.bytes.begin(), value.bytes.end());
    }
    return out;
}

FileState ReadKeyFile(const std::string& path, std::vector<StoredValue>* values) {
    values->clear();
    std::vector<unsigned char> bytes;
    const FileState state = ReadFile(path, kMaxKeyFileBytes, &bytes);
    if (state != FileState::opened) return state;
    if (ParseKeyFile(bytes, values)) return FileState::opened;
    values->clear();
    return Damaged(path);
}

// Hands a value to the caller. As the registry does, a value longer than the buffer is
// not read; *size then tells its length.
SettingsStatus Deliver(const StoredValue& value, const std::string& file, void* buffer, std::uint32_t* size,
                       std::uint32_t* type) {
    const auto length = static_cast<std::uint32_t>(value.bytes.size());
    if (length > *size) {
        const std::uint32_t room = *size;
        *size = length;
        return Fail(SettingsStatus::failed, "value " + Quoted(value.name) + " in " + Quoted(file) + " holds " +
                                                std::to_string(length) + " bytes, more than the " +
                                                std::to_string(room) + " asked for");
    }
    if (length != 0) std::memcpy(buffer, value.bytes.data(), length);
    *size = length;
    *type = value.type;
    return SettingsStatus::ok;
}

// A value in release 1.1.0's file of its own.
SettingsStatus ReadOlderValue(const std::string& directory, const char* value_name, void* buffer,
                              std::uint32_t* size, std::uint32_t* type) {
    const std::string path = directory + '/' + value_name;
    std::vector<unsigned char> bytes;
    switch (ReadFile(path, kValueHeader + kMaxValueBytes, &bytes)) {
        case FileState::missing:
            return Fail(SettingsStatus::not_found, "no value " + Quoted(value_name) + " in " + Quoted(directory));
        case FileState::damaged:
        case FileState::unreadable: return SettingsStatus::failed;
        case FileState::opened: break;
    }
    if (bytes.size() < kValueHeader || std::memcmp(bytes.data(), kValueMagic, sizeof kValueMagic) != 0) {
        Damaged(path);
        return SettingsStatus::failed;
    }
    const StoredValue value{value_name, LittleEndian(bytes.data() + 4),
                            std::vector<unsigned char>(bytes.begin() + kValueHeader, bytes.end())};
    return Deliver(value, path, buffer, size, type);
}

// What concerns the whole key is found out once: its directory, whether it exists, and
// its file, read in one go, so that every value answered from the file comes from one
// write. Each value then gets what a read of it alone would give, in the same order of
// checks: a key path that names no key, then the value's name, then the key's state,
// then the key file and, for a value it lacks, release 1.1.0's file of the value.
SettingsStatus ReadValues(const char* key_path, SettingsReadValue* values, std::size_t count) {
    ClearError();
    std::string directory;
    SettingsStatus key = SettingsStatus::failed;
    if (ResolveKey(key_path, &directory)) key = KeyState(directory);
    const std::string key_file = directory + '/' + kKeyFileName;
    std::vector<StoredValue> stored;
    if (key == SettingsStatus::ok) {
        switch (ReadKeyFile(key_file, &stored)) {
            case FileState::damaged:
            case FileState::unreadable: key = SettingsStatus::failed; break;
            case FileState::missing:
            case FileState::opened: break;
        }
    }
    const std::string key_error = error_text;
    std::string first_error;
    for (std::size_t i = 0; i < count; ++i) {
        SettingsReadValue& value = values[i];
        ClearError();
        if (!directory.empty() && !ValidValueName(value.name)) {
            value.status = InvalidName(value.name);
        } else if (key != SettingsStatus::ok) {
            value.status = Fail(key, key_error);
        } else if (const StoredValue* found = Find(stored, value.name)) {
            value.status = Deliver(*found, key_file, value.buffer, &value.size, &value.type);
        } else {
            value.status = ReadOlderValue(directory, value.name, value.buffer, &value.size, &value.type);
        }
        if (value.status != SettingsStatus::ok && first_error.empty()) first_error = error_text;
    }
    std::snprintf(error_text, sizeof error_text, "%s", first_error.c_str());
    return key;
}

SettingsStatus ReadValue(const char* key_path, const char* value_name, void* buffer, std::uint32_t* size,
                         std::uint32_t* type) {
    SettingsReadValue value{value_name, buffer, *size, *type, SettingsStatus::failed};
    ReadValues(key_path, &value, 1);
    *size = value.size;
    *type = value.type;
    return value.status;
}

// flock on the key's lock file, held for the life of the object. Another writer holds it
// only while it writes; one that keeps it longer than kLockPatienceMs is stuck, and the
// write fails rather than wait for it for good.
class KeyLock {
public:
    KeyLock() = default;
    KeyLock(const KeyLock&) = delete;
    KeyLock& operator=(const KeyLock&) = delete;
    ~KeyLock() {
        if (fd_ >= 0) close(fd_);
    }

    bool Acquire(const std::string& directory) {
        const std::string path = directory + '/' + kLockFileName;
        fd_ = open(path.c_str(), O_RDWR | O_CREAT | O_NONBLOCK | O_CLOEXEC, 0600);
        if (fd_ < 0) {
            Fail(SettingsStatus::failed, "cannot open " + Quoted(path) + ": " + Reason(errno));
            return false;
        }
        struct stat info {};
        if (fstat(fd_, &info) != 0 || !S_ISREG(info.st_mode)) {
            Fail(SettingsStatus::failed, Quoted(path) + " is not a regular file");
            return false;
        }
        for (int waited_ms = 0;; waited_ms += 2) {
            if (flock(fd_, LOCK_EX | LOCK_NB) == 0) return true;
            const int error = errno;
            if (error != EWOULDBLOCK && error != EINTR) {
                Fail(SettingsStatus::failed, "cannot lock " + Quoted(path) + ": " + Reason(error));
                return false;
            }
            if (waited_ms >= kLockPatienceMs) {
                Fail(SettingsStatus::failed, Quoted(path) + " stayed locked by another process for " +
                                                 std::to_string(kLockPatienceMs / 1000) + " seconds");
                return false;
            }
            const timespec pause{0, 2'000'000};
            nanosleep(&pause, nullptr);
        }
    }

private:
    int fd_ = -1;
};

// The writer's process of a temporary file "<value name>.tmp.<pid>" or
// ".values.tmp.<pid>" (this release writes the second, 1.1.0 wrote the first); 0 for
// any other name.
pid_t TemporaryFileWriter(const std::string& name) {
    const std::size_t mark = name.rfind(kTemporaryMark);
    if (mark == std::string::npos) return 0;
    const std::string owner = name.substr(0, mark);
    if (owner != kKeyFileName && !ValidValueName(owner.c_str())) return 0;
    const std::string digits = name.substr(mark + sizeof kTemporaryMark - 1);
    if (digits.empty() || digits.size() > 10 || digits[0] == '0') return 0;
    long long pid = 0;
    for (const char digit : digits) {
        if (digit < '0' || digit > '9') return 0;
        pid = pid * 10 + (digit - '0');
    }
    return pid <= INT_MAX ? static_cast<pid_t>(pid) : 0;
}

// A writer that was killed leaves its temporary file behind. Removes those whose process
// is gone; a live writer's (or a stranger's: another user's process, or one that merely
// reuses the number) stays. Called under the key's lock, so no writer of this release
// is halfway through its file.
void RemoveStaleTemporaries(const std::string& directory) {
    DIR* listing = opendir(directory.c_str());
    if (listing == nullptr) return;
    const int directory_fd = dirfd(listing);
    while (const dirent* entry = readdir(listing)) {
        const pid_t writer = TemporaryFileWriter(entry->d_name);
        if (writer <= 0 || writer == getpid()) continue;
        struct stat info {};
        if (fstatat(directory_fd, entry->d_name, &info, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(info.st_mode)) continue;
        if (kill(writer, 0) == 0 || errno != ESRCH) continue;
        unlinkat(directory_fd, entry->d_name, 0);
    }
    closedir(listing);
}

// Writes the key file beside the old one, flushes it, then renames it over the old one;
// a crash at any point leaves one whole file or the other.
bool ReplaceKeyFile(const std::string& directory, const std::vector<unsigned char>& bytes) {
    const std::string target = directory + '/' + kKeyFileName;
    const std::string temporary = target + kTemporaryMark + std::to_string(getpid());
    unlink(temporary.c_str());  // left by an earlier process with the same number
    const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
        Fail(SettingsStatus::failed, "cannot create " + Quoted(temporary) + ": " + Reason(errno));
        return false;
    }
    int error = 0;
    if (!WriteAll(fd, bytes.data(), bytes.size()) || fsync(fd) != 0) error = errno;
    if (close(fd) != 0 && error == 0) error = errno;
    if (error != 0) {
        unlink(temporary.c_str());
        Fail(SettingsStatus::failed, "cannot write " + Quoted(target) + ": " + Reason(error));
        return false;
    }
    if (rename(temporary.c_str(), target.c_str()) != 0) {
        error = errno;
        unlink(temporary.c_str());
        Fail(SettingsStatus::failed, "cannot replace " + Quoted(target) + ": " + Reason(error));
        return false;
    }
    // The new name reaches the disk with the directory.
    const int directory_fd = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (directory_fd >= 0) {
        fsync(directory_fd);
        close(directory_fd);
    }
    return true;
}

SettingsStatus WriteValues(const char* key_path, const SettingsValue* values, std::size_t count) {
    ClearError();
    std::string directory;
    if (!ResolveKey(key_path, &directory)) return SettingsStatus::failed;
    for (std::size_t i = 0; i < count; ++i) {
        const SettingsValue& value = values[i];
        if (!ValidValueName(value.name)) return InvalidName(value.name);
        if (value.size > kMaxValueBytes || (value.data == nullptr && value.size != 0)) {
            return Fail(SettingsStatus::failed, "value " + Quoted(value.name) + " of " + std::to_string(value.size) +
                                                    " bytes cannot be stored (at most " +
                                                    std::to_string(kMaxValueBytes) + ")");
        }
    }
    const SettingsStatus key = KeyState(directory);
    if (key != SettingsStatus::ok || count == 0) return key;

    KeyLock lock;
    if (!lock.Acquire(directory)) return SettingsStatus::failed;
    RemoveStaleTemporaries(directory);
    std::vector<StoredValue> stored;
    // A damaged key file holds nothing that could be kept and is replaced; one that could
    // not be read may hold values, and stays.
    if (ReadKeyFile(directory + '/' + kKeyFileName, &stored) == FileState::unreadable) return SettingsStatus::failed;
    for (std::size_t i = 0; i < count; ++i) {
        const SettingsValue& value = values[i];
        const auto* data = static_cast<const unsigned char*>(value.data);
        StoredValue replacement{value.name, value.type,
                                data != nullptr ? std::vector<unsigned char>(data, data + value.size)
                                                : std::vector<unsigned char>()};
        auto same = std::find_if(stored.begin(), stored.end(),
                                 [&](const StoredValue& old) { return old.name == value.name; });
        if (same != stored.end()) {
            *same = std::move(replacement);
        } else {
            stored.push_back(std::move(replacement));
        }
    }
    const std::vector<unsigned char> bytes = KeyFileBytes(stored);
    if (bytes.size() > kMaxKeyFileBytes) {
        return Fail(SettingsStatus::failed, "the values of " + Quoted(directory) + " would take " +
                                                std::to_string(bytes.size()) + " bytes, more than the " +
                                                std::to_string(kMaxKeyFileBytes) + " a key may hold");
    }
    if (!ReplaceKeyFile(directory, bytes)) return SettingsStatus::failed;
    ClearError();  // a damaged key file met on the way has been replaced
    return SettingsStatus::ok;
}

SettingsStatus WriteValue(const char* key_path, const char* value_name, std::uint32_t type, const void* data,
                          std::uint32_t size) {
    const SettingsValue value{value_name, type, data, size};
    return WriteValues(key_path, &value, 1);
}

bool NoQueue(WindowHandle, std::uint32_t, std::uint32_t) { return false; }

void* CallocZeroed(std::size_t bytes) { return std::calloc(bytes == 0 ? 1 : bytes, 1); }
void FreeMemory(void* block) { std::free(block); }

}  // namespace

const PlatformApi& NativePlatform() noexcept {
    static const PlatformApi table{
        MessageBoxToStderr, ExitProcess, NoActiveWindow, ModulePath, ExecutablePath,
        MsOfDayUtc,         CalendarSeconds, OpenKey,    CreateKey,  ReadValue,
        ReadValues,         WriteValue,      WriteValues, LastError, NoQueue,
        CallocZeroed,       FreeMemory,
    };
    return table;
}

}  // namespace tessellon
