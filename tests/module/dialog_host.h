// A small host for the module's filter dialog: it loads a built module with
// LoadLibrary, hands its ENTRYPOINT a filter record over an RGB image in memory (with
// advanceState delivering the requested rectangles, sampled at the input rate asked
// for, displayPixels drawing the preview with the GDI, and optionally colorServices
// answering with a chosen colour), records what the module asked of it, owns a host
// window that becomes the dialog's owner, and calls Parameters and Start as an image
// editor does. Helpers for the person at the screen drive the dialog from the watcher
// thread through window messages.
#pragma once

#include <windows.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "hostapi/filter_record.h"
#include "module/module_support.h"

namespace tessellon::testing {

// Full path of TessellonTestBlocks.8bf next to the test program: the same module whose
// dialog takes its definition block's fields from TESSELLON_TEST_BLOCK.
std::string TestBlocksModulePath();

// An image for the host: RGB bytes, row by row.
struct HostImage {
    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> rgb;

    const std::uint8_t* At(int x, int y) const { return &rgb[(static_cast<std::size_t>(y) * width + x) * 3]; }
};

// What the host offers besides its image: its sampling support (0 none, 1 integral,
// 2 fractional), whether it has a colour picker (colorServices), and how many bytes of
// filter record it hands over. The record always ends at an inaccessible page, so a
// module that reads past the record's end faults at once.
struct HostAbilities {
    psapi::int16 sampling_support = 1;
    bool colour_services = false;
    std::size_t record_bytes = sizeof(psapi::FilterRecord);
};

// One displayPixels call as the host saw it: when, where it drew, the rate of the data
// it showed, the pixels of the map (RGB, row by row) and whether every one of them is
// the source pixel sampled at the same place, that is an unfiltered view.
struct DisplayCall {
    std::chrono::steady_clock::time_point at;
    psapi::VRect bounds{};
    int row = 0;
    int column = 0;
    psapi::Fixed rate = 0;
    std::vector<std::uint8_t> rgb;
    bool shows_source = false;

    int width() const { return bounds.right - bounds.left; }
    int height() const { return bounds.bottom - bounds.top; }
    const std::uint8_t* At(int x, int y) const { return &rgb[(static_cast<std::size_t>(y) * width() + x) * 3]; }
};

// One advanceState call that asked for input: the rectangle in sampled coordinates and
// the input rate (16.16 fixed point).
struct AdvanceCall {
    std::chrono::steady_clock::time_point at;
    psapi::Rect in_rect{};
    psapi::Fixed input_rate = 0;
};

// One request to the host's colour picker, and the colour it came with.
struct ColourRequest {
    psapi::int32 info_size = 0;
    psapi::int16 selector = -1;
    psapi::int16 source_space = -1;
    psapi::int16 result_space = -1;
    psapi::int16 components[4] = {};
    std::string prompt;
};

class DialogHost {
public:
    static constexpr int kWidth = 64;
    static constexpr int kHeight = 48;

    explicit DialogHost(const std::string& module_path = ModuleFilePath());
    // A host over the given image. A rate other than 1 makes it deliver sampled input
    // (every n-th pixel, or each pixel repeated) as image editors do for previews.
    DialogHost(const std::string& module_path, HostImage image, HostAbilities abilities);
    ~DialogHost();
    DialogHost(const DialogHost&) = delete;
    DialogHost& operator=(const DialogHost&) = delete;

    bool loaded() const { return entry_ != nullptr; }
    HMODULE module_handle() const { return module_.handle(); }
    DWORD load_error() const { return module_.load_error(); }
    HWND window() const { return window_; }

    psapi::int16 Parameters() { return Call(psapi::filterSelectorParameters); }
    psapi::int16 Prepare() { return Call(psapi::filterSelectorPrepare); }
    psapi::int16 Start() { return Call(psapi::filterSelectorStart); }
    psapi::int16 Finish() { return Call(psapi::filterSelectorFinish); }
    // About with an about record whose platform data names the host window.
    psapi::int16 About();

    // The host's data word for the module, which it keeps between calls.
    std::intptr_t& data() { return data_; }

    const std::vector<std::uint8_t>& source() const { return source_; }
    const std::vector<std::uint8_t>& output() const { return output_; }
    int width() const { return width_; }
    int height() const { return height_; }
    // The source pixel (RGB) at an image position, clamped into the image.
    const std::uint8_t* SourceAt(int x, int y) const;
    // The source pixel that sampled position (x, y) stands for at the given rate.
    const std::uint8_t* SampledSourceAt(int x, int y, psapi::Fixed rate) const;

    // What the module asked of the host; safe to call from any thread.
    std::vector<DisplayCall> DisplayCalls() const;
    std::size_t DisplayCount() const;
    std::vector<AdvanceCall> AdvanceCalls() const;
    std::vector<ColourRequest> ColourRequests() const;
    void ClearRecords();
    // The colour the host's picker answers with (red, green, blue 0..255).
    void AnswerColour(std::uint8_t red, std::uint8_t green, std::uint8_t blue);

    // Waits until the host's thread, which runs the modal dialog, has handled every
    // message posted to its windows so far (mouse messages to the preview, say). Called
    // from another thread while the dialog runs; false when it did not come to that.
    bool Sync();

    // Holds or releases Shift on the host's thread, the thread of the dialog, whose key
    // state GetKeyState reads there. Called from another thread while the dialog runs.
    void HoldShift(bool held);
    // The filter record the module is handed, for hosts that add suites to it.
    psapi::FilterRecord& record() { return record_; }

private:
    psapi::int16 Call(psapi::int16 selector);
    static psapi::OSErr PSAPI_CALL AdvanceState();
    static psapi::OSErr PSAPI_CALL DisplayPixels(const psapi::PSPixelMap* source, const psapi::VRect* area,
                                                 psapi::int32 row, psapi::int32 column, void* context);
    static psapi::OSErr PSAPI_CALL ColorServices(psapi::ColorServicesInfo* info);
    void Deliver();
    void Record(const psapi::PSPixelMap& source, const psapi::VRect& area, psapi::int32 row, psapi::int32 column);

    // The record's pages: the record fills the end of the committed part, the page after
    // it is reserved only.
    class GuardedRecord {
    public:
        explicit GuardedRecord(std::size_t bytes);
        ~GuardedRecord();
        GuardedRecord(const GuardedRecord&) = delete;
        GuardedRecord& operator=(const GuardedRecord&) = delete;
        psapi::FilterRecord& operator*() const { return *record_; }
        psapi::FilterRecord* get() const { return record_; }

    private:
        void* pages_ = nullptr;
        psapi::FilterRecord* record_ = nullptr;
    };

    LoadedModule module_;
    EntryPoint entry_ = nullptr;
    HWND window_ = nullptr;
    psapi::PlatformData platform_{};
    GuardedRecord guarded_;
    psapi::FilterRecord& record_;
    std::intptr_t data_ = 0;
    int width_ = kWidth;
    int height_ = kHeight;
    std::vector<std::uint8_t> source_;
    std::vector<std::uint8_t> output_;
    // Sampled deliveries; the whole-image buffers above serve rate 1.
    std::vector<std::uint8_t> sampled_in_;
    std::vector<std::uint8_t> sampled_out_;
    psapi::Fixed delivered_rate_ = 0x10000;

    mutable std::mutex records_mutex_;
    std::vector<DisplayCall> display_calls_;
    std::vector<AdvanceCall> advance_calls_;
    std::vector<ColourRequest> colour_requests_;
    std::uint8_t answer_[3] = {0, 0, 0};
};

// The default host's picture: diagonal colour bands with a dark ring.
HostImage TestPicture();

// An image file in binary PPM (P6, 8-bit) as a host image; empty when unreadable.
HostImage ReadPpm(const std::string& path);

// ---- Driving the dialog from another thread ----------------------------------------
// Every message is sent with a timeout, so that a dialog that hangs fails the test.

LRESULT SendTo(HWND window, UINT message, WPARAM wparam = 0, LPARAM lparam = 0);
HWND Control(HWND dialog, int id);
std::string TextOf(HWND window);
std::string ControlText(HWND dialog, int id);
bool ControlVisible(HWND dialog, int id);
// Replaces a number box's text, as typing does; the box reports the change.
void TypeInto(HWND dialog, int id, const char* text);
// A trackbar's scroll message to the dialog, as the trackbar sends it.
void Scroll(HWND dialog, int row, WORD code, WORD position = 0);
LRESULT TrackbarPosition(HWND dialog, int row);
// A button press as the button reports it to the dialog.
void Press(HWND dialog, int id);
bool IsChecked(HWND dialog, int id);
std::vector<std::string> SelectorItems(HWND dialog);
LRESULT SelectorSelection(HWND dialog);
// Chooses an item of the selector as the user does: the list reports the change.
void ChooseSelectorItem(HWND dialog, int index);

// Ends the dialog with Cancel unless it has already gone: every handler leaves with
// the dialog closed, whatever it found, so that the Start call it waits in returns.
class CloseGuard {
public:
    explicit CloseGuard(HWND dialog) : dialog_(dialog) {}
    ~CloseGuard();
    CloseGuard(const CloseGuard&) = delete;
    CloseGuard& operator=(const CloseGuard&) = delete;

private:
    HWND dialog_;
};
// Presses OK or Cancel and waits for the dialog to go.
bool EndWith(HWND dialog, int button);

// Parameters, then Start, as a host asks for the dialog. The handler works the dialog
// from a watcher thread; the dialog is cancelled if the handler leaves it open.
// Returns Start's result.
psapi::int16 RunDialog(DialogHost& host, const std::function<void(HWND dialog)>& handler);

// Records, on the host's thread, which dialogs were created and whether one was shown.
struct DialogSpy {
    static inline int created = 0;
    static inline int shown = 0;
    HHOOK cbt = nullptr;
    HHOOK calls = nullptr;

    static bool IsDialogClass(HWND window) {
        char name[16] = {};
        GetClassNameA(window, name, sizeof name);
        return std::strcmp(name, "#32770") == 0;
    }
    static LRESULT CALLBACK Cbt(int code, WPARAM wparam, LPARAM lparam) noexcept {
        if (code == HCBT_CREATEWND && IsDialogClass(reinterpret_cast<HWND>(wparam))) ++created;
        return CallNextHookEx(nullptr, code, wparam, lparam);
    }
    static LRESULT CALLBACK Calls(int code, WPARAM wparam, LPARAM lparam) noexcept {
        const auto* message = reinterpret_cast<const CWPSTRUCT*>(lparam);
        if (code == HC_ACTION && IsDialogClass(message->hwnd)) {
            if (message->message == WM_SHOWWINDOW && message->wParam != 0) ++shown;
            if (message->message == WM_WINDOWPOSCHANGING &&
                (reinterpret_cast<const WINDOWPOS*>(message->lParam)->flags & SWP_SHOWWINDOW) != 0) {
                ++shown;
            }
        }
        return CallNextHookEx(nullptr, code, wparam, lparam);
    }
    DialogSpy() {
        created = shown = 0;
        cbt = SetWindowsHookExA(WH_CBT, Cbt, nullptr, GetCurrentThreadId());
        calls = SetWindowsHookExA(WH_CALLWNDPROC, Calls, nullptr, GetCurrentThreadId());
    }
    ~DialogSpy() {
        if (cbt != nullptr) UnhookWindowsHookEx(cbt);
        if (calls != nullptr) UnhookWindowsHookEx(calls);
    }
};

// ---- The filter's saved settings ---------------------------------------------------

constexpr char kSettingsKey[] = "Software\\Dravik-Vextrel\\Kinsel Pro\\Tessellon";

struct RegistryValue {
    DWORD type = 0;
    std::vector<std::uint8_t> bytes;
};
// A value under the filter's key, read with RegQueryValueEx; nothing when absent.
std::optional<RegistryValue> ReadSetting(const char* name);
// Writes a binary value under the filter's key, as a dialog's OK would.
void WriteSetting(const char* name, const std::vector<std::uint8_t>& bytes);
void DeleteSettings();
std::vector<std::int32_t> Int32sOf(const std::vector<std::uint8_t>& bytes);

// Keeps the filter's saved settings as they were before a test and puts them back
// afterwards, so that the tests leave the user's (and other tests') settings alone.
class SettingsSnapshot {
public:
    SettingsSnapshot();
    ~SettingsSnapshot();
    SettingsSnapshot(const SettingsSnapshot&) = delete;
    SettingsSnapshot& operator=(const SettingsSnapshot&) = delete;

private:
    std::optional<RegistryValue> sliders_;
    std::optional<RegistryValue> colours_;
};

// Sets an environment variable for the life of the object.
class ScopedEnvironment {
public:
    ScopedEnvironment(const char* name, const std::string& value);
    ~ScopedEnvironment();
    ScopedEnvironment(const ScopedEnvironment&) = delete;
    ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

private:
    std::string name_;
};

}  // namespace tessellon::testing
