// Files the command-line host writes. A regular file is never written in place: the
// bytes go to a new temporary file beside it, which is flushed to the disk and then
// renamed over the target in one step, so that a failure, a full disk, a kill or an
// interrupt at any moment leaves either the old file or the complete new one. Only the
// temporary file the program created itself is ever removed. A target that is not a
// regular file (a terminal, a pipe, a device) is written as a stream.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <signal.h>
#include <sys/types.h>

namespace tessellon::cli {

// Where the bytes written for a path end up.
struct OutputTarget {
    std::string name;       // as given, for messages
    std::string path;       // the file replaced: the name with symbolic links followed
    std::string directory;  // the folder holding `path`, where the temporary file goes
    bool stream = false;    // an existing file that is not a regular one: written in place
    bool standard_output = false;  // "-": the program's standard output, a stream
};

// Resolves a path named for writing and checks, before any work is done, that the
// folder exists and can take a new file. "-" names standard output. Empty on success,
// else why not.
std::string ResolveOutput(const std::string& name, OutputTarget& target);

// What a path names, comparable with another: the device and inode of the file when it
// exists (so that links and every spelling of its folder count as the same), else
// those of its folder together with its name. Unknown when neither can be looked at.
struct FileIdentity {
    bool known = false;
    bool exists = false;
    dev_t device = 0;
    ino_t inode = 0;
    std::string name;  // for a file that does not exist (yet)

    bool operator==(const FileIdentity& other) const {
        return known && other.known && exists == other.exists && device == other.device && inode == other.inode &&
               name == other.name;
    }
    bool operator<(const FileIdentity& other) const;
};
FileIdentity IdentityOf(const std::string& path);

// True when the two paths name the same file (existing or to be created); "-" is the
// same only as "-".
bool SameFile(const std::string& a, const std::string& b);

// How the temporary files of a target named `name` in `directory` begin:
// "." + name + ".tessellon-", followed by "<pid>-<n>". When that would pass the folder's
// name limit, the name is cut (at a character's start) and a hash of the whole name
// stands for the rest, so that every name the folder takes can be written.
std::string TemporaryPrefix(const std::string& directory, const std::string& name);

// Receives the bytes of an encoded image.
class ByteSink {
public:
    virtual ~ByteSink() = default;
    // False when the bytes could not be taken; Error() then says why.
    virtual bool Write(const void* data, std::size_t size) = 0;
    virtual std::string Error() const = 0;
};

// One file being written. Commit() makes it appear whole under the target's name; a
// file destroyed without Commit() leaves the target as it was.
class OutputFile final : public ByteSink {
public:
    OutputFile() = default;
    ~OutputFile() override;
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    // Creates the temporary file (or opens the stream). False on failure; Error() says why.
    bool Open(const OutputTarget& target);
    bool Write(const void* data, std::size_t size) override;
    // Flushes the bytes to the disk and renames the temporary file over the target.
    bool Commit();
    std::string Error() const override { return error_; }

    // The temporary file's path while one exists, for tests.
    const std::string& temporary_path() const { return temporary_; }

private:
    void Fail(const std::string& what, const std::string& path);
    void Discard();

    OutputTarget target_;
    std::string temporary_;
    int fd_ = -1;
    bool committed_ = false;
    std::string error_;
};

// Holds back SIGINT and SIGTERM on the calling thread for its lifetime; a thread
// started meanwhile keeps them held back for good.
class InterruptsHeld {
public:
    InterruptsHeld() noexcept;
    ~InterruptsHeld();
    InterruptsHeld(const InterruptsHeld&) = delete;
    InterruptsHeld& operator=(const InterruptsHeld&) = delete;

private:
    sigset_t previous_;
};

// Sets `handler` for SIGINT and SIGTERM (each held back while the handler runs) and
// puts the previous actions back when destroyed or restored. A signal that is ignored
// stays ignored: the program never ignores them itself, so an ignored one was ignored
// when the program started, as SIGINT is in a shell's background job.
class InterruptHandler {
public:
    explicit InterruptHandler(void (*handler)(int)) noexcept;
    ~InterruptHandler() { Restore(); }
    InterruptHandler(const InterruptHandler&) = delete;
    InterruptHandler& operator=(const InterruptHandler&) = delete;

    // Puts the previous actions back now (the destructor then does nothing).
    void Restore() noexcept;

private:
    struct sigaction previous_[2] = {};
    bool replaced_[2] = {};
};

// What an interrupt does while a file is written: removes the temporary file being
// written (if any), says so, and ends the program with status 130. With no file being
// written it says the note of SetInterruptNote. Safe in a signal handler.
[[noreturn]] void LeaveOnInterrupt(int signal) noexcept;

// What LeaveOnInterrupt says when no file is being written ("interrupted" until set),
// without the program's name.
void SetInterruptNote(const std::string& note);

// For the lifetime of the guard an interrupt or a termination request ends the program
// through LeaveOnInterrupt: with status 130, removing the temporary file being written.
class WriteInterruptGuard {
public:
    WriteInterruptGuard();
    WriteInterruptGuard(const WriteInterruptGuard&) = delete;
    WriteInterruptGuard& operator=(const WriteInterruptGuard&) = delete;

private:
    InterruptHandler handler_;
};

}  // namespace tessellon::cli
