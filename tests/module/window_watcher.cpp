#include "module/window_watcher.h"

#include <cstdio>
#include <utility>

namespace tessellon::testing {
namespace {

constexpr std::chrono::milliseconds kPollInterval{10};
constexpr UINT kMessageTimeoutMs = 1000;

// The stored text of a window, read without sending it WM_GETTEXT: GetWindowText sends
// that message to windows of this process, which would wait on their busy thread.
std::string StoredText(HWND window) {
    wchar_t wide[1024];
    const int length = InternalGetWindowText(window, wide, static_cast<int>(std::size(wide)));
    if (length <= 0) return {};
    const int bytes = WideCharToMultiByte(CP_ACP, 0, wide, length, nullptr, 0, nullptr, nullptr);
    std::string text(static_cast<std::size_t>(bytes), '\0');
    WideCharToMultiByte(CP_ACP, 0, wide, length, text.data(), bytes, nullptr, nullptr);
    return text;
}

struct WindowSearch {
    const std::string* caption;
    DWORD process;
    HWND found;
};

BOOL CALLBACK MatchWindow(HWND window, LPARAM context) {
    auto& search = *reinterpret_cast<WindowSearch*>(context);
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    // Visible means initialised: a dialog shows itself after WM_INITDIALOG has set
    // its texts.
    if (process != search.process || !IsWindowVisible(window)) return TRUE;
    if (StoredText(window) != *search.caption) return TRUE;
    search.found = window;
    return FALSE;
}

HWND FindOwnWindow(const std::string& caption) {
    WindowSearch search{&caption, GetCurrentProcessId(), nullptr};
    EnumWindows(MatchWindow, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

bool HasClass(HWND window, const char* class_name) {
    char name[32] = {};
    GetClassNameA(window, name, static_cast<int>(sizeof name));
    return lstrcmpiA(name, class_name) == 0;
}

bool IsStatic(HWND window) { return HasClass(window, "Static"); }

// Posts WM_CLOSE to every visible dialog box of this process and records its caption.
BOOL CALLBACK CloseOwnDialog(HWND window, LPARAM context) {
    auto& closed = *reinterpret_cast<std::vector<std::string>*>(context);
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    if (process == GetCurrentProcessId() && IsWindowVisible(window) && HasClass(window, "#32770")) {
        closed.push_back(StoredText(window));
        PostMessageA(window, WM_CLOSE, 0, 0);
    }
    return TRUE;
}

bool IsIconStatic(HWND window) {
    return (static_cast<DWORD>(GetWindowLongA(window, GWL_STYLE)) & SS_TYPEMASK) == SS_ICON;
}

BOOL CALLBACK ReadChild(HWND child, LPARAM context) {
    auto& content = *reinterpret_cast<MessageBoxContent*>(context);
    if (!IsStatic(child)) return TRUE;
    if (IsIconStatic(child)) {
        DWORD_PTR icon = 0;
        if (IsWindowVisible(child) &&
            SendMessageTimeoutA(child, STM_GETICON, 0, 0, SMTO_ABORTIFHUNG, kMessageTimeoutMs, &icon) != 0 &&
            icon != 0) {
            content.has_icon = true;
        }
    } else if (content.text.empty()) {
        content.text = StoredText(child);
    }
    return TRUE;
}

bool WaitUntilGone(HWND window, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (IsWindow(window)) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(kPollInterval);
    }
    return true;
}

}  // namespace

MessageBoxContent ReadMessageBox(HWND box) {
    MessageBoxContent content;
    content.caption = StoredText(box);
    EnumChildWindows(box, ReadChild, reinterpret_cast<LPARAM>(&content));
    return content;
}

bool PressOk(HWND box, std::chrono::milliseconds timeout) {
    PostMessageA(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
    if (WaitUntilGone(box, timeout)) return true;
    PostMessageA(box, WM_CLOSE, 0, 0);
    return WaitUntilGone(box, timeout);
}

WindowWatcher::WindowWatcher(std::string caption, Handler handler, std::chrono::milliseconds timeout)
    : caption_(std::move(caption)),
      handler_(std::move(handler)),
      timeout_(timeout),
      started_(CreateEventA(nullptr, TRUE, FALSE, nullptr)),
      thread_([this] { Watch(); }) {
    WaitForSingleObject(started_, static_cast<DWORD>(timeout_.count()));
}

WindowWatcher::~WindowWatcher() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    CloseHandle(started_);
}

bool WindowWatcher::Wait() {
    if (thread_.joinable()) thread_.join();
    return found_;
}

void WindowWatcher::Watch() {
    const auto deadline = std::chrono::steady_clock::now() + timeout_;
    // Under wine a thread's first windowing call waits for the loader lock, so the first
    // search runs before the caller may take that lock: a module's DllMain holds it for
    // as long as its message box is open.
    HWND window = FindOwnWindow(caption_);
    SetEvent(started_);
    while (window == nullptr) {
        if (stop_) return;
        if (std::chrono::steady_clock::now() >= deadline) {
            EnumWindows(CloseOwnDialog, reinterpret_cast<LPARAM>(&closed_instead_));
            return;
        }
        std::this_thread::sleep_for(kPollInterval);
        window = FindOwnWindow(caption_);
    }
    found_ = true;
    handler_(window);
}

MessageBoxWatcher::MessageBoxWatcher(std::string caption, bool echo_to_stderr)
    : echo_(echo_to_stderr),
      watcher_(std::move(caption), [this](HWND box) {
          content_ = ReadMessageBox(box);
          if (echo_) {
              std::fprintf(stderr, "%s\n%s\n", content_.caption.c_str(), content_.text.c_str());
              std::fflush(stderr);
          }
          PressOk(box);
      }) {}

std::optional<MessageBoxContent> MessageBoxWatcher::Result() {
    if (!watcher_.Wait()) return std::nullopt;
    return content_;
}

}  // namespace tessellon::testing
