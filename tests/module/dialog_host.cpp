#include "module/dialog_host.h"

#include <commctrl.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <utility>

#include "module/window_watcher.h"

namespace tessellon::testing {
namespace {

constexpr UINT kSendTimeoutMs = 5000;
constexpr char kHostWindowClass[] = "TessellonTestHostWindow";

// advanceState takes no context: the host whose Start call is running.
DialogHost* active_host = nullptr;

bool IsEmpty(const psapi::Rect& r) { return r.bottom <= r.top || r.right <= r.left; }

// Sent to the host window: wParam nonzero holds Shift on the host's thread, zero
// releases it.
constexpr UINT kHoldShiftMessage = WM_APP + 1;

// Posted to the host window with a sequence number in wParam, which it records. Posted
// messages of one thread are handled in the order they were posted, so once it arrives
// every message posted before it has been handled. (A sent message would not do: a
// thread handles sent messages before the posted ones that wait in its queue.)
constexpr UINT kSyncMessage = WM_APP + 2;
std::atomic<WPARAM> synced_up_to{0};

void SetShiftState(bool held) {
    BYTE keys[256] = {};
    GetKeyboardState(keys);
    const BYTE state = held ? 0x80 : 0;
    keys[VK_SHIFT] = keys[VK_LSHIFT] = state;
    SetKeyboardState(keys);
}

LRESULT CALLBACK HostWindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) noexcept {
    if (message == kHoldShiftMessage) {
        SetShiftState(wparam != 0);
        return (GetKeyState(VK_SHIFT) & 0x8000) != 0 ? 1 : 0;
    }
    if (message == kSyncMessage) {
        synced_up_to = wparam;
        return 0;
    }
    return DefWindowProcA(window, message, wparam, lparam);
}

constexpr psapi::Fixed kUnitRate = 0x10000;

// How many sampled positions cover `size` image pixels at `rate`.
int SampledExtent(int size, psapi::Fixed rate) {
    return static_cast<int>((static_cast<std::int64_t>(size) * kUnitRate + rate - 1) / rate);
}

psapi::Rect ClampedRect(const psapi::Rect& r, int width, int height) {
    auto clamp = [](int v, int hi) { return static_cast<psapi::int16>(v < 0 ? 0 : v > hi ? hi : v); };
    return {clamp(r.top, height), clamp(r.left, width), clamp(r.bottom, height), clamp(r.right, width)};
}

HWND CreateHostWindow() {
    WNDCLASSA window_class{};
    window_class.lpfnWndProc = HostWindowProc;
    window_class.hInstance = GetModuleHandleA(nullptr);
    window_class.lpszClassName = kHostWindowClass;
    RegisterClassA(&window_class);  // fails harmlessly when already registered
    return CreateWindowExA(0, kHostWindowClass, "Tessellon test host", WS_OVERLAPPEDWINDOW, 0, 0, 200, 100,
                           nullptr, nullptr, GetModuleHandleA(nullptr), nullptr);
}

// A picture that shows what the filter does: diagonal colour bands with a dark ring.
std::vector<std::uint8_t> SourcePicture() {
    std::vector<std::uint8_t> pixels(static_cast<std::size_t>(DialogHost::kWidth) * DialogHost::kHeight * 3);
    for (int y = 0; y < DialogHost::kHeight; ++y) {
        for (int x = 0; x < DialogHost::kWidth; ++x) {
            std::uint8_t* p = &pixels[(static_cast<std::size_t>(y) * DialogHost::kWidth + x) * 3];
            const int dx = x - DialogHost::kWidth / 3, dy = y - DialogHost::kHeight / 2;
            const int ring = dx * dx + dy * dy;
            const bool dark = ring > 100 && ring < 180;
            p[0] = static_cast<std::uint8_t>(dark ? 30 : 120 + x * 2);
            p[1] = static_cast<std::uint8_t>(dark ? 30 : 60 + ((x + y) % 16) * 10);
            p[2] = static_cast<std::uint8_t>(dark ? 60 : 200 - y * 2);
        }
    }
    return pixels;
}

}  // namespace

std::string TestBlocksModulePath() {
    std::string path = ModuleFilePath();
    path.resize(path.find_last_of("\\/") + 1);
    return path + "TessellonTestBlocks.8bf";
}

HostImage TestPicture() { return HostImage{DialogHost::kWidth, DialogHost::kHeight, SourcePicture()}; }

DialogHost::DialogHost(const std::string& module_path)
    : DialogHost(module_path, TestPicture(), HostAbilities{}) {}

DialogHost::GuardedRecord::GuardedRecord(std::size_t bytes) {
    SYSTEM_INFO system{};
    GetSystemInfo(&system);
    const std::size_t page = system.dwPageSize;
    const std::size_t committed = (bytes + page - 1) / page * page;
    pages_ = VirtualAlloc(nullptr, committed + page, MEM_RESERVE, PAGE_NOACCESS);
    if (pages_ == nullptr || VirtualAlloc(pages_, committed, MEM_COMMIT, PAGE_READWRITE) == nullptr) {
        std::fprintf(stderr, "DialogHost: cannot set up a guarded filter record\n");
        std::abort();
    }
    // 4-aligned like every host's record; only the fields inside `bytes` are touched.
    record_ = reinterpret_cast<psapi::FilterRecord*>(static_cast<std::uint8_t*>(pages_) + committed - bytes);
    std::memset(record_, 0, bytes);
}

DialogHost::GuardedRecord::~GuardedRecord() {
    if (pages_ != nullptr) VirtualFree(pages_, 0, MEM_RELEASE);
}

DialogHost::DialogHost(const std::string& module_path, HostImage image, HostAbilities abilities)
    : module_(module_path),
      window_(CreateHostWindow()),
      guarded_(abilities.record_bytes),
      record_(*guarded_),
      width_(image.width),
      height_(image.height),
      source_(std::move(image.rgb)),
      output_(source_) {
    if (module_.handle() != nullptr) {
        using AnyFunction = void (*)();
        entry_ = reinterpret_cast<EntryPoint>(
            reinterpret_cast<AnyFunction>(GetProcAddress(module_.handle(), "ENTRYPOINT")));
    }
    platform_.hwnd = reinterpret_cast<std::intptr_t>(window_);
    record_.abortProc = [] { return psapi::Boolean{0}; };
    record_.progressProc = [](psapi::int32, psapi::int32) {};
    record_.imageSize = {static_cast<psapi::int16>(height_), static_cast<psapi::int16>(width_)};
    record_.planes = 3;
    record_.filterRect = {0, 0, static_cast<psapi::int16>(height_), static_cast<psapi::int16>(width_)};
    record_.maxSpace = 1 << 24;
    record_.bufferSpace = 1 << 24;
    record_.imageMode = psapi::plugInModeRGBColor;
    record_.backColor[0] = record_.backColor[1] = record_.backColor[2] = 255;
    record_.platformData = &platform_;
    record_.displayPixels = DisplayPixels;
    record_.advanceState = AdvanceState;
    record_.colorServices = abilities.colour_services ? ColorServices : nullptr;
    record_.samplingSupport = static_cast<char>(abilities.sampling_support);
    record_.inputRate = record_.maskRate = kUnitRate;
    record_.hostSig = 0x54455354;  // "TEST"
}

DialogHost::~DialogHost() {
    if (window_ != nullptr) DestroyWindow(window_);
}

psapi::int16 DialogHost::Call(psapi::int16 selector) {
    psapi::int16 result = 0x7777;
    if (entry_ == nullptr) return result;
    active_host = this;
    entry_(selector, &record_, &data_, &result);
    active_host = nullptr;
    return result;
}

psapi::int16 DialogHost::About() {
    psapi::int16 result = 0x7777;
    if (entry_ == nullptr) return result;
    psapi::AboutRecord about{};
    about.platformData = &platform_;
    entry_(psapi::filterSelectorAbout, &about, &data_, &result);
    return result;
}

psapi::OSErr PSAPI_CALL DialogHost::AdvanceState() {
    active_host->Deliver();
    return 0;
}

const std::uint8_t* DialogHost::SourceAt(int x, int y) const {
    x = x < 0 ? 0 : x >= width_ ? width_ - 1 : x;
    y = y < 0 ? 0 : y >= height_ ? height_ - 1 : y;
    return &source_[(static_cast<std::size_t>(y) * width_ + x) * 3];
}

const std::uint8_t* DialogHost::SampledSourceAt(int x, int y, psapi::Fixed rate) const {
    return SourceAt(static_cast<int>(static_cast<std::int64_t>(x) * rate / kUnitRate),
                    static_cast<int>(static_cast<std::int64_t>(y) * rate / kUnitRate));
}

void DialogHost::Deliver() {
    psapi::FilterRecord& r = record_;
    // Without sampling support the rates are not read.
    psapi::Fixed rate = r.samplingSupport != 0 ? r.inputRate : kUnitRate;
    if (rate <= 0) rate = kUnitRate;
    const int row_bytes = width_ * 3;
    if (rate == kUnitRate) {
        // The whole image at full resolution: the buffers are the image's own rows.
        r.inRowBytes = r.outRowBytes = row_bytes;
        r.inData = IsEmpty(r.inRect) ? nullptr : source_.data() + r.inRect.top * row_bytes + r.inRect.left * 3;
        r.outData = IsEmpty(r.outRect) ? nullptr : output_.data() + r.outRect.top * row_bytes + r.outRect.left * 3;
    } else {
        // A sampled section: position (x, y) stands for image pixel (x, y) * rate.
        const int extent_w = SampledExtent(width_, rate);
        const int extent_h = SampledExtent(height_, rate);
        auto fill = [&](psapi::Rect& rect, std::vector<std::uint8_t>& buffer, const std::vector<std::uint8_t>& from,
                        psapi::int32& rect_row_bytes) -> void* {
            rect = ClampedRect(rect, extent_w, extent_h);
            if (IsEmpty(rect)) return nullptr;
            const int w = rect.right - rect.left;
            const int h = rect.bottom - rect.top;
            rect_row_bytes = w * 3;
            buffer.assign(static_cast<std::size_t>(w) * h * 3, 0);
            for (int y = 0; y < h; ++y) {
                for (int x = 0; x < w; ++x) {
                    const std::uint8_t* p = SampledSourceAt(rect.left + x, rect.top + y, rate);
                    const std::size_t at = static_cast<std::size_t>(p - source_.data());
                    std::memcpy(&buffer[(static_cast<std::size_t>(y) * w + x) * 3], &from[at], 3);
                }
            }
            return buffer.data();
        };
        r.inData = fill(r.inRect, sampled_in_, source_, r.inRowBytes);
        r.outData = fill(r.outRect, sampled_out_, output_, r.outRowBytes);
    }
    r.maskData = nullptr;
    delivered_rate_ = rate;
    if (!IsEmpty(r.inRect)) {
        std::lock_guard<std::mutex> lock(records_mutex_);
        advance_calls_.push_back({std::chrono::steady_clock::now(), r.inRect, rate});
    }
}

psapi::OSErr PSAPI_CALL DialogHost::DisplayPixels(const psapi::PSPixelMap* source, const psapi::VRect* area,
                                                  psapi::int32 row, psapi::int32 column, void* context) {
    if (source == nullptr || area == nullptr || context == nullptr) return 0;
    const int width = area->right - area->left;
    const int height = area->bottom - area->top;
    if (width <= 0 || height <= 0) return 0;
    const int stride = (width * 3 + 3) & ~3;
    std::vector<std::uint8_t> bits(static_cast<std::size_t>(stride) * height);
    const auto* base = static_cast<const std::uint8_t*>(source->baseAddr);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const std::uint8_t* p = base + static_cast<std::ptrdiff_t>(area->top - source->bounds.top + y) * source->rowBytes +
                                    static_cast<std::ptrdiff_t>(area->left - source->bounds.left + x) * source->colBytes;
            std::uint8_t* q = &bits[static_cast<std::size_t>(y) * stride + x * 3];
            q[0] = p[2 * source->planeBytes];  // blue
            q[1] = p[source->planeBytes];      // green
            q[2] = p[0];                       // red
        }
    }
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height;  // top row first
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 24;
    info.bmiHeader.biCompression = BI_RGB;
    SetDIBitsToDevice(static_cast<HDC>(context), column, row, static_cast<DWORD>(width), static_cast<DWORD>(height), 0, 0, 0,
                      static_cast<UINT>(height), bits.data(), &info, DIB_RGB_COLORS);
    if (active_host != nullptr) active_host->Record(*source, *area, row, column);
    return 0;
}

void DialogHost::Record(const psapi::PSPixelMap& source, const psapi::VRect& area, psapi::int32 row,
                        psapi::int32 column) {
    DisplayCall call;
    call.at = std::chrono::steady_clock::now();
    call.bounds = area;
    call.row = row;
    call.column = column;
    call.rate = delivered_rate_;
    const int width = area.right - area.left;
    const int height = area.bottom - area.top;
    call.rgb.resize(static_cast<std::size_t>(width) * height * 3);
    call.shows_source = true;
    const auto* base = static_cast<const std::uint8_t*>(source.baseAddr);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const std::uint8_t* p = base +
                                    static_cast<std::ptrdiff_t>(area.top - source.bounds.top + y) * source.rowBytes +
                                    static_cast<std::ptrdiff_t>(area.left - source.bounds.left + x) * source.colBytes;
            std::uint8_t* q = &call.rgb[(static_cast<std::size_t>(y) * width + x) * 3];
            for (int c = 0; c < 3; ++c) q[c] = p[c * source.planeBytes];
            const std::uint8_t* s = SampledSourceAt(area.left + x, area.top + y, delivered_rate_);
            if (q[0] != s[0] || q[1] != s[1] || q[2] != s[2]) call.shows_source = false;
        }
    }
    std::lock_guard<std::mutex> lock(records_mutex_);
    display_calls_.push_back(std::move(call));
}

psapi::OSErr PSAPI_CALL DialogHost::ColorServices(psapi::ColorServicesInfo* info) {
    if (info == nullptr || active_host == nullptr) return 0;
    ColourRequest request;
    request.info_size = info->infoSize;
    request.selector = info->selector;
    request.source_space = info->sourceSpace;
    request.result_space = info->resultSpace;
    for (int c = 0; c < 4; ++c) request.components[c] = info->colorComponents[c];
    // As real hosts do, a request whose size is not this build's structure is refused
    // (a 64-bit host answers the 32-bit size of 36 so).
    if (info->infoSize != static_cast<psapi::int32>(sizeof(psapi::ColorServicesInfo))) {
        std::lock_guard<std::mutex> lock(active_host->records_mutex_);
        active_host->colour_requests_.push_back(request);
        return -30900;  // errPlugInHostInsufficient
    }
    if (const unsigned char* prompt = info->selectorParameter.pickerPrompt; prompt != nullptr) {
        request.prompt.assign(reinterpret_cast<const char*>(prompt + 1), prompt[0]);
    }
    std::lock_guard<std::mutex> lock(active_host->records_mutex_);
    active_host->colour_requests_.push_back(request);
    for (int c = 0; c < 3; ++c) info->colorComponents[c] = active_host->answer_[c];
    return 0;
}

std::vector<DisplayCall> DialogHost::DisplayCalls() const {
    std::lock_guard<std::mutex> lock(records_mutex_);
    return display_calls_;
}

std::size_t DialogHost::DisplayCount() const {
    std::lock_guard<std::mutex> lock(records_mutex_);
    return display_calls_.size();
}

std::vector<AdvanceCall> DialogHost::AdvanceCalls() const {
    std::lock_guard<std::mutex> lock(records_mutex_);
    return advance_calls_;
}

std::vector<ColourRequest> DialogHost::ColourRequests() const {
    std::lock_guard<std::mutex> lock(records_mutex_);
    return colour_requests_;
}

void DialogHost::ClearRecords() {
    std::lock_guard<std::mutex> lock(records_mutex_);
    display_calls_.clear();
    advance_calls_.clear();
    colour_requests_.clear();
}

void DialogHost::AnswerColour(std::uint8_t red, std::uint8_t green, std::uint8_t blue) {
    std::lock_guard<std::mutex> lock(records_mutex_);
    answer_[0] = red;
    answer_[1] = green;
    answer_[2] = blue;
}

bool DialogHost::Sync() {
    static WPARAM sequence = 0;
    const WPARAM mine = ++sequence;
    if (!PostMessageA(window_, kSyncMessage, mine, 0)) return false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kSendTimeoutMs);
    while (synced_up_to.load() < mine) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

void DialogHost::HoldShift(bool held) {
    const LRESULT shift_down = SendTo(window_, kHoldShiftMessage, held ? 1 : 0);
    EXPECT_EQ(shift_down != 0, held) << "the host's thread does not see Shift as set";
}

HostImage ReadPpm(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::string magic;
    in >> magic;
    if (!in || magic != "P6") return {};
    int values[3] = {};
    for (int& value : values) {
        in >> std::ws;
        while (in.peek() == '#') {
            std::string comment;
            std::getline(in, comment);
            in >> std::ws;
        }
        in >> value;
    }
    in.get();  // the single white-space character before the pixels
    const int width = values[0], height = values[1];
    if (!in || width <= 0 || height <= 0 || width > 4096 || height > 4096 || values[2] != 255) return {};
    HostImage image{width, height, std::vector<std::uint8_t>(static_cast<std::size_t>(width) * height * 3)};
    in.read(reinterpret_cast<char*>(image.rgb.data()), static_cast<std::streamsize>(image.rgb.size()));
    if (!in) return {};
    return image;
}

LRESULT SendTo(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    DWORD_PTR result = 0;
    if (SendMessageTimeoutA(window, message, wparam, lparam, SMTO_NORMAL, kSendTimeoutMs, &result) == 0) {
        ADD_FAILURE() << "message 0x" << std::hex << message << " to a dialog window got no answer";
        return 0;
    }
    return static_cast<LRESULT>(result);
}

HWND Control(HWND dialog, int id) { return GetDlgItem(dialog, id); }

std::string TextOf(HWND window) {
    char text[512] = {};
    SendTo(window, WM_GETTEXT, sizeof text, reinterpret_cast<LPARAM>(text));
    return text;
}

std::string ControlText(HWND dialog, int id) { return TextOf(Control(dialog, id)); }

bool ControlVisible(HWND dialog, int id) {
    HWND control = Control(dialog, id);
    return control != nullptr && (GetWindowLongA(control, GWL_STYLE) & WS_VISIBLE) != 0;
}

void TypeInto(HWND dialog, int id, const char* text) {
    SendTo(Control(dialog, id), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text));
}

void Scroll(HWND dialog, int row, WORD code, WORD position) {
    SendTo(dialog, WM_HSCROLL, MAKEWPARAM(code, position), reinterpret_cast<LPARAM>(Control(dialog, 201 + row)));
}

LRESULT TrackbarPosition(HWND dialog, int row) { return SendTo(Control(dialog, 201 + row), TBM_GETPOS); }

void Press(HWND dialog, int id) { SendTo(Control(dialog, id), BM_CLICK); }

bool IsChecked(HWND dialog, int id) { return SendTo(Control(dialog, id), BM_GETCHECK) == BST_CHECKED; }

std::vector<std::string> SelectorItems(HWND dialog) {
    HWND list = Control(dialog, 601);
    std::vector<std::string> items;
    const LRESULT count = SendTo(list, CB_GETCOUNT);
    for (LRESULT i = 0; i < count; ++i) {
        char text[256] = {};
        SendTo(list, CB_GETLBTEXT, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(text));
        items.emplace_back(text);
    }
    return items;
}

LRESULT SelectorSelection(HWND dialog) { return SendTo(Control(dialog, 601), CB_GETCURSEL); }

void ChooseSelectorItem(HWND dialog, int index) {
    HWND list = Control(dialog, 601);
    SendTo(list, CB_SETCURSEL, static_cast<WPARAM>(index));
    SendTo(dialog, WM_COMMAND, MAKEWPARAM(601, CBN_SELCHANGE), reinterpret_cast<LPARAM>(list));
}

bool EndWith(HWND dialog, int button) {
    PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED), reinterpret_cast<LPARAM>(Control(dialog, button)));
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (IsWindow(dialog)) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

CloseGuard::~CloseGuard() {
    if (IsWindow(dialog_)) EndWith(dialog_, IDCANCEL);
}

psapi::int16 RunDialog(DialogHost& host, const std::function<void(HWND dialog)>& handler) {
    WindowWatcher watcher("Tessellon", [&handler](HWND dialog) {
        CloseGuard guard(dialog);
        handler(dialog);
    });
    EXPECT_EQ(host.Parameters(), 0);
    const psapi::int16 result = host.Start();
    EXPECT_TRUE(watcher.Wait()) << "no dialog \"Tessellon\"; closed instead: "
                                << ::testing::PrintToString(watcher.closed_instead());
    return result;
}

std::optional<RegistryValue> ReadSetting(const char* name) {
    HKEY key;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, kSettingsKey, 0, KEY_READ, &key) != ERROR_SUCCESS) return std::nullopt;
    RegistryValue value;
    DWORD size = 0;
    LONG status = RegQueryValueExA(key, name, nullptr, &value.type, nullptr, &size);
    if (status == ERROR_SUCCESS) {
        value.bytes.resize(size);
        status = RegQueryValueExA(key, name, nullptr, &value.type, value.bytes.data(), &size);
        value.bytes.resize(size);
    }
    RegCloseKey(key);
    if (status != ERROR_SUCCESS) return std::nullopt;
    return value;
}

void WriteSetting(const char* name, const std::vector<std::uint8_t>& bytes) {
    HKEY key;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, kSettingsKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) !=
        ERROR_SUCCESS) {
        ADD_FAILURE() << "cannot create the settings key";
        return;
    }
    RegSetValueExA(key, name, 0, REG_BINARY, bytes.data(), static_cast<DWORD>(bytes.size()));
    RegCloseKey(key);
}

void DeleteSettings() {
    HKEY key;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, kSettingsKey, 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS) return;
    RegDeleteValueA(key, "SliderSettings");
    RegDeleteValueA(key, "CustomColors");
    RegCloseKey(key);
}

std::vector<std::int32_t> Int32sOf(const std::vector<std::uint8_t>& bytes) {
    std::vector<std::int32_t> values(bytes.size() / 4);
    std::memcpy(values.data(), bytes.data(), values.size() * 4);
    return values;
}

namespace {

void Restore(const char* name, const std::optional<RegistryValue>& value) {
    HKEY key;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, kSettingsKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) !=
        ERROR_SUCCESS) {
        return;
    }
    if (value.has_value()) {
        RegSetValueExA(key, name, 0, value->type, value->bytes.data(), static_cast<DWORD>(value->bytes.size()));
    } else {
        RegDeleteValueA(key, name);
    }
    RegCloseKey(key);
}

}  // namespace

SettingsSnapshot::SettingsSnapshot() : sliders_(ReadSetting("SliderSettings")), colours_(ReadSetting("CustomColors")) {}

SettingsSnapshot::~SettingsSnapshot() {
    Restore("SliderSettings", sliders_);
    Restore("CustomColors", colours_);
}

ScopedEnvironment::ScopedEnvironment(const char* name, const std::string& value) : name_(name) {
    SetEnvironmentVariableA(name, value.c_str());
}

ScopedEnvironment::~ScopedEnvironment() { SetEnvironmentVariableA(name_.c_str(), nullptr); }

}  // namespace tessellon::testing
