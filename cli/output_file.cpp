// Files the command-line host writes: a temporary file beside the target, flushed and
// renamed over it. The signal handler of WriteInterruptGuard may run at any moment, so
// what it needs (the temporary file's name and its message) lives in fixed buffers
// filled while the signals are blocked, and the handler calls only unlink, write and
// _exit.
#include "cli/output_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <tuple>

namespace tessellon::cli {
namespace {

std::string Quoted(const std::string& path) { return "'" + path + "'"; }

std::string SystemReason() { return std::strerror(errno); }

// The folder part of a path: "." for a bare name, "/" for a file at the root.
std::string DirectoryOf(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

std::string BaseNameOf(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// What the signal handler removes and says. Filled and cleared with the signals
// blocked, so the handler never sees half a name.
char pending_temporary[PATH_MAX + 64];
char pending_message[PATH_MAX + 128];
std::size_t pending_message_length = 0;
volatile sig_atomic_t temporary_live = 0;
char interrupt_note[PATH_MAX + 128] = "tessellon: interrupted\n";
std::size_t interrupt_note_length = std::strlen(interrupt_note);

}  // namespace

void LeaveOnInterrupt(int) noexcept {
    const char* message = interrupt_note;
    std::size_t length = interrupt_note_length;
    if (temporary_live != 0) {
        unlink(pending_temporary);
        message = pending_message;
        length = pending_message_length;
    }
    const ssize_t ignored = write(STDERR_FILENO, message, length);
    (void)ignored;
    _exit(130);
}

namespace {

extern "C" void OnWriteInterrupt(int signal) { LeaveOnInterrupt(signal); }

// The longest "<pid>-<n>" after a temporary file's prefix: a pid of up to ten digits
// and an attempt number below 100.
constexpr std::size_t kTemporarySuffixBytes = 10 + 1 + 2;
constexpr char kTemporaryMark[] = ".tessellon-";

// The longest file name the folder takes, in bytes.
std::size_t NameLimitOf(const std::string& directory) {
    errno = 0;
    const long limit = pathconf(directory.c_str(), _PC_NAME_MAX);
    return limit > 0 ? static_cast<std::size_t>(limit) : std::size_t{NAME_MAX};
}

// FNV-1a, 64 bits, in hexadecimal: stands for the part of a name cut off.
std::string NameHash(const std::string& name) {
    std::uint64_t hash = 0xcbf29ce484222325ull;
    for (const char c : name) {
        hash ^= static_cast<unsigned char>(c);
        hash *= 0x100000001b3ull;
    }
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(hash));
    return text;
}

void SetPendingMessage(const std::string& name) {
    const std::string text =
        "tessellon: interrupted while writing " + Quoted(name) + "; the file was left as it was\n";
    std::snprintf(pending_message, sizeof pending_message, "%s", text.c_str());
    pending_message_length = std::strlen(pending_message);
}

// The temporary files that a killed run left for a target: those in `directory` that
// begin with its prefix (see TemporaryPrefix), followed by "<pid>-<n>", whose process
// no longer exists. Names of any other form are never touched.
void RemoveStaleTemporaries(const std::string& directory, const std::string& prefix) {
    DIR* folder = opendir(directory.c_str());
    if (folder == nullptr) return;
    while (const dirent* entry = readdir(folder)) {
        const std::string name = entry->d_name;
        if (name.compare(0, prefix.size(), prefix) != 0) continue;
        // "<pid>-<n>", digits only.
        const std::string rest = name.substr(prefix.size());
        const std::size_t dash = rest.find('-');
        if (dash == 0 || dash == std::string::npos || dash + 1 == rest.size() || dash > 9 ||
            rest.find_first_not_of("0123456789", 0) != dash ||
            rest.find_first_not_of("0123456789", dash + 1) != std::string::npos) {
            continue;
        }
        const pid_t pid = static_cast<pid_t>(std::strtol(rest.substr(0, dash).c_str(), nullptr, 10));
        if (pid <= 0 || pid == getpid() || kill(pid, 0) == 0 || errno != ESRCH) continue;
        unlinkat(dirfd(folder), name.c_str(), 0);
    }
    closedir(folder);
}

// Creates a new temporary file for the target, open for writing and readable only by
// us, and says where in *path. -1 when it cannot (errno says why). Called with the
// interrupts held back, so that the handler learns of the file as it appears.
int CreateTemporary(const OutputTarget& target, std::string* path) {
    const std::string base =
        target.directory + "/" + TemporaryPrefix(target.directory, BaseNameOf(target.path)) +
        std::to_string(getpid()) + "-";
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string candidate = base + std::to_string(attempt);
        const int fd = open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd >= 0) {
            *path = candidate;
            return fd;
        }
        if (errno != EEXIST) return -1;
    }
    errno = EEXIST;
    return -1;
}

}  // namespace

std::string TemporaryPrefix(const std::string& directory, const std::string& name) {
    const std::size_t limit = NameLimitOf(directory);
    const std::size_t fixed = 1 + (sizeof kTemporaryMark - 1) + kTemporarySuffixBytes;
    std::string prefix(1, '.');
    if (fixed + name.size() <= limit) {
        prefix.append(name);
    } else {
        // The name's start, "~" and 16 hexadecimal digits.
        const std::size_t hashed = 1 + 16;
        std::size_t keep = limit > fixed + hashed ? limit - fixed - hashed : 0;
        keep = std::min(keep, name.size());
        // Not in the middle of a UTF-8 character.
        while (keep > 0 && (static_cast<unsigned char>(name[keep]) & 0xC0) == 0x80) --keep;
        prefix.append(name, 0, keep);
        prefix += '~';
        prefix += NameHash(name);
    }
    prefix += kTemporaryMark;
    return prefix;
}

std::string ResolveOutput(const std::string& name, OutputTarget& target) {
    target = OutputTarget{};
    target.name = name;
    target.path = name;
    if (name.empty()) return "no output file named";
    if (name == "-") {
        target.name = "standard output";
        target.stream = target.standard_output = true;
        return {};
    }
    struct stat info {};
    if (lstat(name.c_str(), &info) == 0) {
        if (S_ISLNK(info.st_mode)) {
            // Writing through a link replaces the file it points to, not the link.
            char resolved[PATH_MAX];
            if (realpath(name.c_str(), resolved) == nullptr) {
                return "cannot write " + Quoted(name) + ": it is a symbolic link to a missing file or folder";
            }
            target.path = resolved;
            if (stat(target.path.c_str(), &info) != 0) return "cannot write " + Quoted(name) + ": " + SystemReason();
        }
        if (S_ISDIR(info.st_mode)) return "cannot write " + Quoted(name) + ": it is a folder";
        if (!S_ISREG(info.st_mode)) {
            target.stream = true;
            return {};
        }
        if (access(target.path.c_str(), W_OK) != 0) return "cannot write " + Quoted(name) + ": " + SystemReason();
    } else if (errno != ENOENT) {
        return "cannot write " + Quoted(name) + ": " + SystemReason();
    }
    target.directory = DirectoryOf(target.path);
    if (stat(target.directory.c_str(), &info) != 0) {
        if (errno == ENOENT) {
            return "cannot write " + Quoted(name) + ": the folder " + Quoted(target.directory) + " does not exist";
        }
        return "cannot write " + Quoted(name) + ": " + SystemReason();
    }
    if (!S_ISDIR(info.st_mode)) {
        return "cannot write " + Quoted(name) + ": " + Quoted(target.directory) + " is not a folder";
    }
    if (access(target.directory.c_str(), W_OK | X_OK) != 0) {
        return "cannot write " + Quoted(name) + ": the folder " + Quoted(target.directory) +
               " does not take new files: " + SystemReason();
    }
    // The file is written under a temporary name first: one is made and removed at
    // once, so that whatever would stop it (a read-only file system, a name the folder
    // does not take) is found before any work is done.
    const InterruptsHeld held;
    std::string trial;
    const int fd = CreateTemporary(target, &trial);
    if (fd < 0) {
        return "cannot write " + Quoted(name) + ": the folder " + Quoted(target.directory) +
               " does not take new files: " + SystemReason();
    }
    close(fd);
    unlink(trial.c_str());
    return {};
}

FileIdentity IdentityOf(const std::string& path) {
    FileIdentity identity;
    struct stat info {};
    if (stat(path.c_str(), &info) == 0) {
        identity.known = identity.exists = true;
        identity.device = info.st_dev;
        identity.inode = info.st_ino;
        return identity;
    }
    if (stat(DirectoryOf(path).c_str(), &info) == 0) {
        identity.known = true;
        identity.device = info.st_dev;
        identity.inode = info.st_ino;
        identity.name = BaseNameOf(path);
    }
    return identity;
}

bool FileIdentity::operator<(const FileIdentity& other) const {
    return std::tie(known, exists, device, inode, name) <
           std::tie(other.known, other.exists, other.device, other.inode, other.name);
}

bool SameFile(const std::string& a, const std::string& b) {
    if (a == "-" || b == "-") return a == b;
    const FileIdentity first = IdentityOf(a);
    const FileIdentity second = IdentityOf(b);
    if (!first.known || !second.known) return a == b;
    return first == second;
}

OutputFile::~OutputFile() { Discard(); }

void OutputFile::Fail(const std::string& what, const std::string& path) {
    if (error_.empty()) error_ = "cannot " + what + " " + Quoted(path) + ": " + SystemReason();
}

void OutputFile::Discard() {
    InterruptsHeld block;
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
    if (!temporary_.empty() && !committed_) unlink(temporary_.c_str());
    temporary_.clear();
    temporary_live = 0;
}

bool OutputFile::Open(const OutputTarget& target) {
    Discard();
    target_ = target;
    committed_ = false;
    error_.clear();
    if (target.standard_output) {
        // A copy of the descriptor, so that finishing the file leaves standard output open.
        fd_ = fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 0);
        if (fd_ < 0) Fail("write", target.name);
        return fd_ >= 0;
    }
    if (target.stream) {
        fd_ = open(target.path.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY);
        if (fd_ < 0) Fail("write", target.name);
        return fd_ >= 0;
    }
    // The new file takes the old one's permissions, or those a new file gets.
    struct stat old {};
    const bool replacing = stat(target.path.c_str(), &old) == 0;
    mode_t mode = 0666;
    if (!replacing) {
        const mode_t mask = umask(0);
        umask(mask);
        mode &= ~mask;
    }
    RemoveStaleTemporaries(target.directory, TemporaryPrefix(target.directory, BaseNameOf(target.path)));
    {
        InterruptsHeld block;
        std::string candidate;
        const int fd = CreateTemporary(target, &candidate);
        if (fd < 0) {
            Fail("write", target.name);
            return false;
        }
        fd_ = fd;
        temporary_ = candidate;
        std::snprintf(pending_temporary, sizeof pending_temporary, "%s", candidate.c_str());
        SetPendingMessage(target.name);
        temporary_live = 1;
    }
    if (replacing) {
        fchmod(fd_, old.st_mode & 07777);
        // Keeps the owner where the system lets us (as the superuser); else the file
        // becomes ours, as any rewritten file would.
        const int ignored = fchown(fd_, old.st_uid, old.st_gid);
        (void)ignored;
    } else {
        fchmod(fd_, mode);
    }
    return true;
}

bool OutputFile::Write(const void* data, std::size_t size) {
    if (fd_ < 0) {
        if (error_.empty()) error_ = "cannot write " + Quoted(target_.name) + ": the file is not open";
        return false;
    }
    const auto* bytes = static_cast<const unsigned char*>(data);
    while (size > 0) {
        const ssize_t n = write(fd_, bytes, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n == 0) errno = EIO;
            Fail("write", target_.name);
            return false;
        }
        bytes += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

bool OutputFile::Commit() {
    if (fd_ < 0 || !error_.empty()) {
        if (error_.empty()) error_ = "cannot write " + Quoted(target_.name) + ": the file is not open";
        Discard();
        return false;
    }
    if (target_.stream) {
        // A pipe or terminal cannot be synced; what matters is that close succeeds.
        const int fd = fd_;
        fd_ = -1;
        if (close(fd) != 0) {
            Fail("write", target_.name);
            return false;
        }
        committed_ = true;
        return true;
    }
    if (fsync(fd_) != 0) {
        Fail("write", target_.name);
        Discard();
        return false;
    }
    const int fd = fd_;
    fd_ = -1;
    if (close(fd) != 0) {
        Fail("write", target_.name);
        Discard();
        return false;
    }
    {
        InterruptsHeld block;
        if (rename(temporary_.c_str(), target_.path.c_str()) != 0) {
            Fail("write", target_.name);
        } else {
            committed_ = true;
            temporary_live = 0;
        }
    }
    if (!committed_) {
        Discard();
        return false;
    }
    temporary_.clear();
    // The rename itself reaches the disk with the folder's entry.
    const int folder = open(target_.directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder >= 0) {
        fsync(folder);
        close(folder);
    }
    return true;
}

InterruptsHeld::InterruptsHeld() noexcept {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &set, &previous_);
}

InterruptsHeld::~InterruptsHeld() { pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }

void SetInterruptNote(const std::string& note) {
    const InterruptsHeld held;
    std::snprintf(interrupt_note, sizeof interrupt_note, "tessellon: %s\n", note.c_str());
    interrupt_note_length = std::strlen(interrupt_note);
}

InterruptHandler::InterruptHandler(void (*handler)(int)) noexcept {
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    sigaddset(&action.sa_mask, SIGINT);
    sigaddset(&action.sa_mask, SIGTERM);
    const int signals[2] = {SIGINT, SIGTERM};
    for (int i = 0; i < 2; ++i) {
        if (sigaction(signals[i], nullptr, &previous_[i]) != 0) continue;
        if (!(previous_[i].sa_flags & SA_SIGINFO) && previous_[i].sa_handler == SIG_IGN) continue;
        replaced_[i] = sigaction(signals[i], &action, nullptr) == 0;
    }
}

void InterruptHandler::Restore() noexcept {
    const int signals[2] = {SIGINT, SIGTERM};
    for (int i = 0; i < 2; ++i) {
        if (replaced_[i]) sigaction(signals[i], &previous_[i], nullptr);
        replaced_[i] = false;
    }
}

WriteInterruptGuard::WriteInterruptGuard() : handler_(OnWriteInterrupt) {}

}  // namespace tessellon::cli
