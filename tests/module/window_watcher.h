// A stand-in for the person at the screen: a background thread waits for a visible
// top-level window of this process with a given caption and hands it to a handler,
// which may read it, press its buttons or close it. Every wait is bounded, so that a
// window that never comes, never goes, or comes with another caption fails the test
// instead of hanging it.
//
// The watching thread never sends a message without a timeout, so a test thread that
// waits for it (or sits in a modal loop, or holds the loader lock) cannot block it.
#pragma once

#include <windows.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace tessellon::testing {

constexpr std::chrono::milliseconds kWindowTimeout{10'000};

// What a message box shows.
struct MessageBoxContent {
    std::string caption;
    std::string text;   // the first non-empty static text that is not the icon
    bool has_icon = false;
};

// Reads caption, text and icon of a message box from any thread of this process.
MessageBoxContent ReadMessageBox(HWND box);

// Presses OK (posted, not sent) and waits for the window to go; if it stays, asks it
// to close. True when the window is gone.
bool PressOk(HWND box, std::chrono::milliseconds timeout = kWindowTimeout);

class WindowWatcher {
public:
    using Handler = std::function<void(HWND window)>;

    // Starts watching. Returns once the watching thread has made its first search, so
    // that the caller may then take the loader lock (LoadLibrary) without blocking it.
    WindowWatcher(std::string caption, Handler handler,
                  std::chrono::milliseconds timeout = kWindowTimeout);
    ~WindowWatcher();
    WindowWatcher(const WindowWatcher&) = delete;
    WindowWatcher& operator=(const WindowWatcher&) = delete;

    // Waits until the handler has returned or the timeout has passed; true when the
    // window was found and handed over.
    bool Wait();

    // When the window did not come in time, the watcher closes every dialog box this
    // process shows instead, so that a modal call the test waits in returns and the
    // test fails rather than hangs. Their captions, for the failure message.
    const std::vector<std::string>& closed_instead() const { return closed_instead_; }

private:
    void Watch();

    std::string caption_;
    Handler handler_;
    std::chrono::milliseconds timeout_;
    std::atomic<bool> stop_{false};
    bool found_ = false;
    std::vector<std::string> closed_instead_;
    HANDLE started_;
    std::thread thread_;  // last: starts once the members above are set
};

// Watches for a message box, records what it shows and presses OK. With echo, caption
// and text also go to stderr, one per line, where a death test's parent reads them.
class MessageBoxWatcher {
public:
    explicit MessageBoxWatcher(std::string caption, bool echo_to_stderr = false);

    // Waits for the box; what it showed, or nothing when no box came in time.
    std::optional<MessageBoxContent> Result();
    const std::vector<std::string>& closed_instead() const { return watcher_.closed_instead(); }

private:
    MessageBoxContent content_;
    bool echo_;
    WindowWatcher watcher_;  // last: starts after the members its handler writes
};

}  // namespace tessellon::testing
