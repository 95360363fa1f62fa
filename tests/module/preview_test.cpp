// The dialog's live preview and colour selection in a real Win32 session: the host
// loads the module, draws what displayPixels hands it into the preview with the GDI and
// records every call; a watcher thread works the dialog with window messages (slider
// scrolls, mouse messages to the preview, zoom buttons with and without Shift, the
// "Filtering" box, the colour well) and reads the preview's pixels back from the screen.
//
// The filter here tiles the image; with "Overlap Y" at n % the rows below the tile take
// colour entry 0, and the rows inside it keep the source's red wherever the source's red
// depends on the column only (the copies blended into a pixel lie one tile height
// apart, in the same column). The test pictures are made so, which lets a test tell a
// filtered view from the source and check it pixel by pixel.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "module/dialog_host.h"
#include "module/module_support.h"
#include "module/window_watcher.h"
#include "ui/win32/colour_wells.h"
#include "ui/win32/preview_window.h"

namespace tessellon::testing {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using Handler = std::function<void(HWND dialog)>;

constexpr int kZoomIn = kZoomInId;
constexpr int kZoomOut = kZoomOutId;
constexpr int kFiltering = kFilteringId;
constexpr int kZoomLabel = kZoomLabelId;
constexpr int kColourWell = kFirstColourWellId;
constexpr int kOverlapYRow = 1;
constexpr psapi::Fixed kUnitRate = 0x10000;

// Colour entry 0 of the saved settings: no test picture holds its red.
constexpr std::uint8_t kOutside[3] = {250, 20, 230};
constexpr COLORREF kGrey = RGB(192, 192, 192);  // the light-grey stock brush

// Red from the column only (40..190), green from the row, blue a checkerboard: never
// pure red, black, white or the preview's grey.
HostImage Pattern(int width, int height) {
    HostImage image{width, height, std::vector<std::uint8_t>(static_cast<std::size_t>(width) * height * 3)};
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            std::uint8_t* p = &image.rgb[(static_cast<std::size_t>(y) * width + x) * 3];
            p[0] = static_cast<std::uint8_t>(40 + x * 150 / (width - 1));
            p[1] = static_cast<std::uint8_t>(30 + y * 180 / (height - 1));
            p[2] = static_cast<std::uint8_t>(80 + ((x / 6 + y / 6) % 2) * 70);
        }
    }
    return image;
}

// ---- Saved settings that the dialog opens with --------------------------------------

struct FilterSettings {
    std::int32_t values[16] = {0, 0, 50, 0, 10, 4, 0, 0};  // the filter's slider defaults
    std::uint32_t colours[8] = {};
};

FilterSettings TileSettings(int overlap_y) {
    FilterSettings settings;
    settings.values[kOverlapYRow] = overlap_y;
    settings.colours[0] = kOutside[0] | kOutside[1] << 8 | static_cast<std::uint32_t>(kOutside[2]) << 16;
    return settings;
}

void Save(const FilterSettings& settings) {
    std::vector<std::uint8_t> values(sizeof settings.values), colours(sizeof settings.colours);
    std::memcpy(values.data(), settings.values, values.size());
    std::memcpy(colours.data(), settings.colours, colours.size());
    WriteSetting("SliderSettings", values);
    WriteSetting("CustomColors", colours);
}

std::uint32_t SavedColour(int k) {
    const auto colours = ReadSetting("CustomColors");
    if (!colours.has_value() || colours->bytes.size() != 32) {
        ADD_FAILURE() << "no saved colours";
        return 0xFFFFFFFFu;
    }
    return static_cast<std::uint32_t>(Int32sOf(colours->bytes)[k]);
}

std::uint32_t Packed(const std::uint8_t* rgb) {
    return rgb[0] | rgb[1] << 8 | static_cast<std::uint32_t>(rgb[2]) << 16;
}

// ---- What the preview shows ----------------------------------------------------------

int ZoomedSize(int size, int zoom) { return zoom >= 1 ? size / zoom : size * (2 - zoom); }

psapi::Fixed RateOf(int zoom) { return zoom >= 1 ? zoom * kUnitRate : kUnitRate / (2 - zoom); }

std::string LabelOf(int zoom) { return zoom >= 1 ? "1:" + std::to_string(zoom) : std::to_string(2 - zoom) + ":1"; }

int FitZoom(SIZE client, int width, int height) {
    return std::max((width - 1) / client.cx + 1, (height - 1) / client.cy + 1);
}

// The zoom code of a delivery's input rate: 1:z reads every z-th pixel, m:1 repeats
// each one m times.
int ZoomOfRate(psapi::Fixed rate) { return rate >= kUnitRate ? rate / kUnitRate : 2 - kUnitRate / rate; }

// Checks a filtered view of the tiling filter with "Overlap Y" at `overlap_y` %: image
// rows from the tile's height on show `outside`, the rows above keep the red of the
// input pixel that the filter reads for their image column.
::testing::AssertionResult ShowsTile(const DisplayCall& call, const DialogHost& host, int overlap_y,
                                     const std::uint8_t (&outside)[3]) {
    const int tile_height = host.height() - overlap_y * host.height() / 100;
    const int zoom = ZoomOfRate(call.rate);
    // A view position's image position, and the input position that stands for it.
    auto image_at = [zoom](int v) { return zoom >= 1 ? v * zoom : v / (2 - zoom); };
    auto input_at = [zoom](int image) { return zoom >= 1 ? image / zoom : image * (2 - zoom); };
    int inside_rows = 0, outside_rows = 0;
    for (int y = 0; y < call.height(); ++y) {
        const int image_y = image_at(call.bounds.top + y);
        const bool out = image_y >= tile_height;
        (out ? outside_rows : inside_rows)++;
        for (int x = 0; x < call.width(); ++x) {
            const std::uint8_t* shown = call.At(x, y);
            const std::uint8_t* source =
                host.SampledSourceAt(input_at(image_at(call.bounds.left + x)), input_at(image_y), call.rate);
            if (out ? std::memcmp(shown, outside, 3) != 0 : shown[0] != source[0]) {
                return ::testing::AssertionFailure()
                       << "at (" << x << ", " << y << "), image row " << image_y << ", tile height " << tile_height
                       << ": shown " << int{shown[0]} << "," << int{shown[1]} << "," << int{shown[2]} << ", source "
                       << int{source[0]} << "," << int{source[1]} << "," << int{source[2]};
            }
        }
    }
    if (inside_rows == 0 || outside_rows == 0) {
        return ::testing::AssertionFailure() << "the view holds " << inside_rows << " rows inside the tile and "
                                             << outside_rows << " outside: nothing to tell";
    }
    return ::testing::AssertionSuccess();
}

// The client area of a window as the screen shows it, read with BitBlt into a DIB.
struct Capture {
    int width = 0;
    int height = 0;
    std::vector<std::uint32_t> pixels;  // 0x00RRGGBB, top row first

    COLORREF At(int x, int y) const {
        const std::uint32_t p = pixels[static_cast<std::size_t>(y) * width + x];
        return RGB((p >> 16) & 0xFF, (p >> 8) & 0xFF, p & 0xFF);
    }
};

Capture CaptureClient(HWND window) {
    Capture capture;
    RECT client{};
    GetClientRect(window, &client);
    capture.width = client.right;
    capture.height = client.bottom;
    capture.pixels.resize(static_cast<std::size_t>(capture.width) * capture.height);
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = capture.width;
    info.bmiHeader.biHeight = -capture.height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    HDC screen = GetDC(window);
    HDC memory = CreateCompatibleDC(screen);
    HBITMAP bitmap = CreateDIBSection(memory, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    if (bitmap != nullptr) {
        const HGDIOBJ old = SelectObject(memory, bitmap);
        BitBlt(memory, 0, 0, capture.width, capture.height, screen, 0, 0, SRCCOPY);
        GdiFlush();
        std::memcpy(capture.pixels.data(), bits, capture.pixels.size() * 4);
        SelectObject(memory, old);
        DeleteObject(bitmap);
    }
    DeleteDC(memory);
    ReleaseDC(window, screen);
    return capture;
}

COLORREF ColourOf(const std::uint8_t* rgb) { return RGB(rgb[0], rgb[1], rgb[2]); }

// Compares the preview on the screen with a displayPixels call: the call's pixels at
// its destination, light grey around them. Empty when they agree.
std::string ScreenDifference(const Capture& screen, const DisplayCall& call) {
    for (int y = 0; y < screen.height; ++y) {
        for (int x = 0; x < screen.width; ++x) {
            const int u = x - call.column, v = y - call.row;
            const bool image = u >= 0 && v >= 0 && u < call.width() && v < call.height();
            const COLORREF wanted = image ? ColourOf(call.At(u, v)) : kGrey;
            if (screen.At(x, y) != wanted) {
                char text[160];
                std::snprintf(text, sizeof text, "screen (%d, %d) is %06lX, wanted %06lX (%s)", x, y,
                              static_cast<unsigned long>(screen.At(x, y)), static_cast<unsigned long>(wanted),
                              image ? "image" : "grey");
                return text;
            }
        }
    }
    return {};
}

// Waits until the screen shows the call (the paint may still be on its way).
std::string SettledScreenDifference(HWND preview, const DisplayCall& call) {
    std::string difference;
    const auto deadline = Clock::now() + std::chrono::seconds(3);
    do {
        difference = ScreenDifference(CaptureClient(preview), call);
        if (difference.empty()) break;
        std::this_thread::sleep_for(milliseconds(50));
    } while (Clock::now() < deadline);
    return difference;
}

// The colour in the middle of a window on the screen, once it is `wanted` or after 3 s.
COLORREF SettledCentre(HWND window, COLORREF wanted) {
    COLORREF colour = CLR_INVALID;
    const auto deadline = Clock::now() + std::chrono::seconds(3);
    do {
        const Capture capture = CaptureClient(window);
        colour = capture.At(capture.width / 2, capture.height / 2);
        if (colour == wanted) break;
        std::this_thread::sleep_for(milliseconds(30));
    } while (Clock::now() < deadline);
    return colour;
}

// ---- Waiting on the host's records ----------------------------------------------------

// Waits until the preview has been still (no displayPixels call) for `quiet`.
bool WaitQuiet(const DialogHost& host, milliseconds quiet = milliseconds(1200),
               milliseconds limit = milliseconds(10000)) {
    const auto deadline = Clock::now() + limit;
    std::size_t count = host.DisplayCount();
    auto still_since = Clock::now();
    while (Clock::now() < deadline) {
        std::this_thread::sleep_for(milliseconds(25));
        const std::size_t now = host.DisplayCount();
        if (now != count) {
            count = now;
            still_since = Clock::now();
        } else if (Clock::now() - still_since >= quiet && count > 0) {
            return true;
        }
    }
    return false;
}

// The first displayPixels call from index `from` on that satisfies `wanted`, waiting
// up to `limit`.
std::optional<DisplayCall> WaitForDisplay(const DialogHost& host, std::size_t from,
                                          const std::function<bool(const DisplayCall&)>& wanted,
                                          milliseconds limit = milliseconds(5000)) {
    const auto deadline = Clock::now() + limit;
    for (;;) {
        const std::vector<DisplayCall> calls = host.DisplayCalls();
        for (std::size_t i = from; i < calls.size(); ++i) {
            if (wanted(calls[i])) return calls[i];
        }
        if (Clock::now() >= deadline) return std::nullopt;
        std::this_thread::sleep_for(milliseconds(20));
    }
}

bool Any(const DisplayCall&) { return true; }
bool Filtered(const DisplayCall& call) { return !call.shows_source; }

long long MsBetween(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration_cast<milliseconds>(to - from).count();
}

// ---- Mouse messages to the preview -----------------------------------------------------

void PostMouse(HWND preview, UINT message, WPARAM keys, int x, int y) {
    PostMessageA(preview, message, keys, MAKELPARAM(x, y));
}

SIZE ClientSize(HWND window) {
    RECT client{};
    GetClientRect(window, &client);
    return {client.right, client.bottom};
}

// ---- The dialog with the test host ---------------------------------------------------------

class PreviewDialog : public ::testing::Test {
protected:
    PreviewDialog(HostImage image, HostAbilities abilities, const std::string& module_path = ModuleFilePath())
        : host(module_path, std::move(image), abilities) {}

    void SetUp() override {
        ASSERT_TRUE(host.loaded()) << "LoadLibrary error " << host.load_error();
        // The real pointer away from the dialog: no stray mouse message reaches the
        // preview.
        SetCursorPos(GetSystemMetrics(SM_CXSCREEN) - 1, GetSystemMetrics(SM_CYSCREEN) - 1);
    }

    psapi::int16 RunDialog(const Handler& handler) {
        return testing::RunDialog(host, handler);
    }

    SettingsSnapshot snapshot;  // restored after the module is gone
    DialogHost host;
};

// A picture that fits the preview at 1:1, with grey around it.
class SmallPicture : public PreviewDialog {
protected:
    SmallPicture() : PreviewDialog(Pattern(160, 120), HostAbilities{1, true}) {}
};

// A picture several times the preview's size, with fractional sampling.
class LargePicture : public PreviewDialog {
protected:
    LargePicture() : PreviewDialog(Pattern(600, 450), HostAbilities{2, false}) {}
};

// ---- First paint -----------------------------------------------------------------------------

struct FirstPaintCase {
    const char* name;
    int width, height;
    int overlap_y;
};

void PrintTo(const FirstPaintCase& c, std::ostream* os) { *os << c.name; }

class FirstPaint : public ::testing::WithParamInterface<FirstPaintCase>, public PreviewDialog {
protected:
    FirstPaint() : PreviewDialog(Pattern(GetParam().width, GetParam().height), HostAbilities{1, false}) {}
};

TEST_P(FirstPaint, ShowsTheFilteredSectionAtTheFitZoomWithGreyAround) {
    const FirstPaintCase& c = GetParam();
    Save(TileSettings(c.overlap_y));
    RunDialog([&](HWND dialog) {
        HWND preview = Control(dialog, kPreviewId);
        ASSERT_NE(preview, nullptr);
        const SIZE client = ClientSize(preview);
        const int fit = FitZoom(client, c.width, c.height);
        EXPECT_EQ(ControlText(dialog, kZoomLabel), LabelOf(fit));

        const auto first = WaitForDisplay(host, 0, Any);
        ASSERT_TRUE(first.has_value()) << "the preview never drew";
        EXPECT_FALSE(first->shows_source) << "the first paint shows the source";
        EXPECT_TRUE(ShowsTile(*first, host, c.overlap_y, kOutside));
        EXPECT_EQ(first->rate, RateOf(fit));
        // The whole image, less its last column and row, centred.
        const int span_w = std::min(static_cast<int>(client.cx) - 1, ZoomedSize(c.width, fit) - 1);
        const int span_h = std::min(static_cast<int>(client.cy) - 1, ZoomedSize(c.height, fit) - 1);
        EXPECT_EQ(first->width(), span_w);
        EXPECT_EQ(first->height(), span_h);
        EXPECT_EQ(first->bounds.left, 0);
        EXPECT_EQ(first->bounds.top, 0);
        EXPECT_EQ(first->column, (client.cx - 1 - span_w) / 2);
        EXPECT_EQ(first->row, (client.cy - 1 - span_h) / 2);

        ASSERT_TRUE(WaitQuiet(host));
        const std::vector<DisplayCall> calls = host.DisplayCalls();
        EXPECT_EQ(SettledScreenDifference(preview, calls.back()), "");
        EXPECT_TRUE(ShowsTile(calls.back(), host, c.overlap_y, kOutside));
        EndWith(dialog, IDCANCEL);
    });
}

INSTANTIATE_TEST_SUITE_P(
    Pictures, FirstPaint,
    ::testing::Values(FirstPaintCase{"fits_at_1_to_1", 160, 120, 50}, FirstPaintCase{"reduced", 600, 450, 30}),
    [](const ::testing::TestParamInfo<FirstPaintCase>& p) { return std::string(p.param.name); });

// ---- The debounce ------------------------------------------------------------------------------

TEST_F(SmallPicture, ASliderChangeIsRenderedHalfASecondToASecondLaterAndNotBefore) {
    Save(TileSettings(50));
    RunDialog([&](HWND dialog) {
        ASSERT_TRUE(WaitQuiet(host));
        const std::size_t before = host.DisplayCount();
        const auto changed = Clock::now();
        Scroll(dialog, kOverlapYRow, SB_THUMBPOSITION, 25);
        std::this_thread::sleep_for(milliseconds(1700));
        const std::vector<DisplayCall> calls = host.DisplayCalls();
        ASSERT_GT(calls.size(), before) << "no render followed the change";
        const DisplayCall& render = calls[before];
        const long long after = MsBetween(changed, render.at);
        RecordProperty("render_after_ms", static_cast<int>(after));
        EXPECT_GE(after, 450) << "rendered before the debounce let it";
        EXPECT_LE(after, 1600) << "the render came late";
        EXPECT_FALSE(render.shows_source);
        EXPECT_TRUE(ShowsTile(render, host, 25, kOutside)) << "the render does not show the new value";
        EndWith(dialog, IDCANCEL);
    });
}

TEST_F(SmallPicture, ChangesFasterThanTheTickHoldTheRenderBackUntilTheyStop) {
    Save(TileSettings(50));
    RunDialog([&](HWND dialog) {
        ASSERT_TRUE(WaitQuiet(host));
        const std::size_t before = host.DisplayCount();
        long long longest_gap = 0;
        auto last = Clock::now();
        for (int value = 20; value <= 40; value += 2) {  // 11 steps, 150 ms apart
            const auto now = Clock::now();
            longest_gap = std::max(longest_gap, MsBetween(last, now));
            last = now;
            Scroll(dialog, kOverlapYRow, SB_THUMBTRACK, static_cast<WORD>(value));
            std::this_thread::sleep_for(milliseconds(150));
        }
        const auto stopped = last;
        const std::vector<DisplayCall> during = host.DisplayCalls();
        std::this_thread::sleep_for(milliseconds(1700));
        const std::vector<DisplayCall> calls = host.DisplayCalls();
        // Only a machine too busy to send every 450 ms can let a tick pass unchanged.
        if (longest_gap < 450) {
            for (std::size_t i = before; i < during.size(); ++i) {
                EXPECT_GE(MsBetween(stopped, during[i].at), 0) << "rendered while the slider moved";
            }
        }
        ASSERT_GT(calls.size(), before) << "no render after the slider stopped";
        const DisplayCall& render = calls.back();
        EXPECT_LE(MsBetween(stopped, render.at), 1600);
        EXPECT_TRUE(ShowsTile(render, host, 40, kOutside));
        EndWith(dialog, IDCANCEL);
    });
}

// ---- Panning -------------------------------------------------------------------------------------

TEST_F(LargePicture, DraggingShowsTheSourceAndTheFilterFollowsTheRelease) {
    Save(TileSettings(40));
    RunDialog([&](HWND dialog) {
        HWND preview = Control(dialog, kPreviewId);
        ASSERT_TRUE(WaitQuiet(host));
        // 1:1, so that the view is a section of the picture that can move.
        host.HoldShift(true);
        Press(dialog, kZoomIn);
        host.HoldShift(false);
        ASSERT_EQ(ControlText(dialog, kZoomLabel), "1:1");
        ASSERT_TRUE(WaitQuiet(host));
        const DisplayCall start = host.DisplayCalls().back();
        ASSERT_FALSE(start.shows_source);
        ASSERT_EQ(start.rate, kUnitRate);

        const std::size_t before = host.DisplayCount();
        PostMouse(preview, WM_LBUTTONDOWN, MK_LBUTTON, 120, 100);
        PostMouse(preview, WM_MOUSEMOVE, MK_LBUTTON, 100, 95);
        PostMouse(preview, WM_MOUSEMOVE, MK_LBUTTON, 80, 90);
        ASSERT_TRUE(host.Sync());
        const auto moved = WaitForDisplay(host, before, [&](const DisplayCall& call) {
            return call.bounds.left == start.bounds.left + 40 && call.bounds.top == start.bounds.top + 10;
        });
        ASSERT_TRUE(moved.has_value()) << "the view did not follow the mouse";
        EXPECT_EQ(SettledScreenDifference(preview, *moved), "");
        // Held still with the button down: the source stays, however many ticks pass.
        std::this_thread::sleep_for(milliseconds(1200));
        const std::vector<DisplayCall> held = host.DisplayCalls();
        for (std::size_t i = before; i < held.size(); ++i) EXPECT_TRUE(held[i].shows_source) << "call " << i;

        const std::size_t before_release = held.size();
        const auto released = Clock::now();
        PostMouse(preview, WM_LBUTTONUP, 0, 80, 90);
        const auto render = WaitForDisplay(host, before_release, Any, milliseconds(3000));
        ASSERT_TRUE(render.has_value()) << "no render after the release";
        EXPECT_LE(MsBetween(released, render->at), 1600);
        EXPECT_FALSE(render->shows_source);
        EXPECT_EQ(render->bounds.left, moved->bounds.left);
        EXPECT_EQ(render->bounds.top, moved->bounds.top);
        EXPECT_TRUE(ShowsTile(*render, host, 40, kOutside));
        EXPECT_EQ(SettledScreenDifference(preview, *render), "");
        EndWith(dialog, IDCANCEL);
    });
}

// ---- Zoom ------------------------------------------------------------------------------------------

struct ZoomStep {
    int button;
    bool shift;
    std::function<int(int fit)> zoom;  // the code after the click
};

struct ZoomCase {
    const char* name;
    psapi::int16 sampling;
    std::vector<ZoomStep> steps;
};

void PrintTo(const ZoomCase& c, std::ostream* os) { *os << c.name; }

class Zoom : public ::testing::WithParamInterface<ZoomCase>, public PreviewDialog {
protected:
    Zoom() : PreviewDialog(Pattern(600, 450), HostAbilities{GetParam().sampling, false}) {}
};

// "Overlap Y" 44 %: the tile ends at image row 252. A zoom step keeps the image point at
// the window's centre, margins left aside, so the views of these steps lie between image
// rows 140 and 414 and shrink to about rows 210..280 at 3:1; each holds rows of both
// kinds.
TEST_P(Zoom, ButtonsStepTheLabelAndTheHostsInputRate) {
    const ZoomCase& c = GetParam();
    Save(TileSettings(44));
    RunDialog([&](HWND dialog) {
        const SIZE client = ClientSize(Control(dialog, kPreviewId));
        const int fit = FitZoom(client, host.width(), host.height());
        ASSERT_GE(fit, 3) << "the picture must be several times the preview";
        ASSERT_EQ(ControlText(dialog, kZoomLabel), LabelOf(fit));
        ASSERT_TRUE(WaitQuiet(host, milliseconds(700)));
        for (std::size_t i = 0; i < c.steps.size(); ++i) {
            const ZoomStep& step = c.steps[i];
            const int zoom = step.zoom(fit);
            SCOPED_TRACE("step " + std::to_string(i + 1) + ": " + (step.shift ? "Shift + " : "") +
                         (step.button == kZoomIn ? "\"+\"" : "\"-\"") + ", wanted " + LabelOf(zoom));
            const std::size_t before = host.DisplayCount();
            if (step.shift) host.HoldShift(true);
            Press(dialog, step.button);
            if (step.shift) host.HoldShift(false);
            EXPECT_EQ(ControlText(dialog, kZoomLabel), LabelOf(zoom));
            // The paint that follows shows the picture at the new scale, fetched at the
            // new rate.
            const auto shown = WaitForDisplay(host, before, Any);
            ASSERT_TRUE(shown.has_value());
            EXPECT_EQ(shown->rate, RateOf(zoom));
            EXPECT_EQ(shown->width(), std::min(static_cast<int>(client.cx) - 1, ZoomedSize(host.width(), zoom) - 1));
            EXPECT_EQ(shown->height(), std::min(static_cast<int>(client.cy) - 1, ZoomedSize(host.height(), zoom) - 1));
            EXPECT_FALSE(shown->shows_source);
            EXPECT_TRUE(ShowsTile(*shown, host, 44, kOutside));
            const std::vector<AdvanceCall> requests = host.AdvanceCalls();
            ASSERT_FALSE(requests.empty());
            EXPECT_EQ(requests.back().input_rate, RateOf(zoom));
            ASSERT_TRUE(WaitQuiet(host, milliseconds(700)));
        }
        EndWith(dialog, IDCANCEL);
    });
}

int Same(int fit) { return fit; }

INSTANTIATE_TEST_SUITE_P(
    Sampling, Zoom,
    ::testing::Values(
        ZoomCase{"fractional",
                 2,
                 {
                     {kZoomOut, false, Same},                        // at the fit: no farther out
                     {kZoomIn, false, [](int fit) { return fit - 1; }},
                     {kZoomIn, true, [](int) { return 1; }},         // Shift: straight to 1:1
                     {kZoomIn, false, [](int) { return 0; }},        // 2:1
                     {kZoomIn, false, [](int) { return -1; }},       // 3:1
                     {kZoomOut, true, Same},                         // Shift: straight to the fit
                     {kZoomIn, true, [](int) { return 1; }},
                     {kZoomOut, false, [](int) { return 2; }},
                 }},
        ZoomCase{"integral",
                 1,
                 {
                     {kZoomIn, true, [](int) { return 1; }},
                     {kZoomIn, false, [](int) { return 1; }},  // no magnification without fractional sampling
                     {kZoomOut, false, [](int) { return 2; }},
                     {kZoomOut, true, Same},
                 }}),
    [](const ::testing::TestParamInfo<ZoomCase>& p) { return std::string(p.param.name); });

TEST_F(LargePicture, MagnifiesUpToTenToOne) {
    Save(TileSettings(30));
    RunDialog([&](HWND dialog) {
        host.HoldShift(true);
        Press(dialog, kZoomIn);
        host.HoldShift(false);
        std::vector<std::string> labels{ControlText(dialog, kZoomLabel)};
        for (int i = 0; i < 10; ++i) {
            Press(dialog, kZoomIn);
            labels.push_back(ControlText(dialog, kZoomLabel));
        }
        EXPECT_EQ(labels, (std::vector<std::string>{"1:1", "2:1", "3:1", "4:1", "5:1", "6:1", "7:1", "8:1", "9:1",
                                                    "10:1", "10:1"}));
        ASSERT_TRUE(WaitQuiet(host, milliseconds(700)));
        EXPECT_EQ(host.DisplayCalls().back().rate, kUnitRate / 10);
        EndWith(dialog, IDCANCEL);
    });
}

class NoSampling : public PreviewDialog {
protected:
    NoSampling() : PreviewDialog(Pattern(600, 450), HostAbilities{0, false}) {}
};

TEST_F(NoSampling, ShowsNAAndASectionAt1To1WithTheZoomButtonsDisabled) {
    Save(TileSettings(60));
    RunDialog([&](HWND dialog) {
        EXPECT_EQ(ControlText(dialog, kZoomLabel), "N/A");
        EXPECT_FALSE(IsWindowEnabled(Control(dialog, kZoomIn)));
        EXPECT_FALSE(IsWindowEnabled(Control(dialog, kZoomOut)));
        const auto shown = WaitForDisplay(host, 0, Any);
        ASSERT_TRUE(shown.has_value());
        const SIZE client = ClientSize(Control(dialog, kPreviewId));
        EXPECT_EQ(shown->width(), client.cx - 1);
        EXPECT_EQ(shown->height(), client.cy - 1);
        EXPECT_TRUE(ShowsTile(*shown, host, 60, kOutside));
        // A command to the disabled buttons changes nothing.
        SendTo(dialog, WM_COMMAND, MAKEWPARAM(kZoomIn, BN_CLICKED), reinterpret_cast<LPARAM>(Control(dialog, kZoomIn)));
        EXPECT_EQ(ControlText(dialog, kZoomLabel), "N/A");
        EndWith(dialog, IDCANCEL);
    });
}

// ---- "Filtering" ---------------------------------------------------------------------------------

TEST_F(SmallPicture, FilteringOffShowsTheSourceAtOnceAndOnBringsTheFilterBack) {
    Save(TileSettings(50));
    RunDialog([&](HWND dialog) {
        HWND preview = Control(dialog, kPreviewId);
        ASSERT_TRUE(WaitQuiet(host));
        std::size_t before = host.DisplayCount();
        Press(dialog, kFiltering);
        EXPECT_FALSE(IsChecked(dialog, kFiltering));
        const auto off = WaitForDisplay(host, before, Any, milliseconds(1500));
        ASSERT_TRUE(off.has_value()) << "the preview was not repainted";
        EXPECT_TRUE(off->shows_source);
        EXPECT_EQ(SettledScreenDifference(preview, *off), "");
        // Ticks and changes render the source as long as the box is clear.
        Scroll(dialog, kOverlapYRow, SB_THUMBPOSITION, 20);
        std::this_thread::sleep_for(milliseconds(1700));
        const std::vector<DisplayCall> later = host.DisplayCalls();
        for (std::size_t i = before; i < later.size(); ++i) EXPECT_TRUE(later[i].shows_source) << "call " << i;

        before = later.size();
        Press(dialog, kFiltering);
        EXPECT_TRUE(IsChecked(dialog, kFiltering));
        const auto on = WaitForDisplay(host, before, Any, milliseconds(1500));
        ASSERT_TRUE(on.has_value());
        EXPECT_TRUE(ShowsTile(*on, host, 20, kOutside));
        EXPECT_EQ(SettledScreenDifference(preview, *on), "");
        EndWith(dialog, IDCANCEL);
    });
}

// ---- The watchdog ------------------------------------------------------------------------------------

// The test-blocks module with a pixel routine that never finishes a preview render on
// its own: only the watchdog ends it.
class SlowFilter : public PreviewDialog {
protected:
    SlowFilter()
        : PreviewDialog(Pattern(160, 120), HostAbilities{1, false}, TestBlocksModulePath()),
          variant_("TESSELLON_TEST_BLOCK", "slow_preview=1") {}

    // Posts `message` to the dialog every 250 ms until a render shows, up to 10 s.
    std::optional<DisplayCall> InterruptRender(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam) {
        const auto deadline = Clock::now() + std::chrono::seconds(10);
        while (Clock::now() < deadline) {
            PostMessageA(dialog, message, wparam, lparam);
            if (auto shown = WaitForDisplay(host, 0, Any, milliseconds(250))) return shown;
        }
        return std::nullopt;
    }

    // The preview once it shows pure red pixels, or after 3 s.
    static Capture SettledRed(HWND preview) {
        Capture capture;
        const auto deadline = Clock::now() + std::chrono::seconds(3);
        do {
            capture = CaptureClient(preview);
            if (std::count(capture.pixels.begin(), capture.pixels.end(), 0x00FF0000u) > 0) break;
            std::this_thread::sleep_for(milliseconds(50));
        } while (Clock::now() < deadline);
        return capture;
    }

private:
    ScopedEnvironment variant_;
};

TEST_F(SlowFilter, AWaitingCommandAbandonsTheRenderWhichSaysSoInRed) {
    Save(TileSettings(50));
    RunDialog([&](HWND dialog) {
        HWND preview = Control(dialog, kPreviewId);
        // A command of no control: the dialog ignores it once the render has given up.
        const auto shown = InterruptRender(dialog, WM_COMMAND, MAKEWPARAM(4321, BN_CLICKED), 0);
        ASSERT_TRUE(shown.has_value()) << "the render was not abandoned";
        const Capture capture = SettledRed(preview);
        int red = 0, top = capture.height, bottom = -1;
        for (int y = 0; y < capture.height; ++y) {
            for (int x = 0; x < capture.width; ++x) {
                if (capture.At(x, y) != RGB(255, 0, 0)) continue;
                ++red;
                top = std::min(top, y);
                bottom = std::max(bottom, y);
            }
        }
        EXPECT_GT(red, 20) << "no \"Time Limit Exceeded\" in red";
        // One line of text, its top at the middle of the preview.
        EXPECT_GE(top, capture.height / 2);
        EXPECT_LT(bottom, capture.height / 2 + 30);
        EndWith(dialog, IDCANCEL);
    });
}

TEST_F(SlowFilter, AWaitingSliderMessageAbandonsTheRenderToo) {
    Save(TileSettings(50));
    RunDialog([&](HWND dialog) {
        HWND preview = Control(dialog, kPreviewId);
        const auto shown = InterruptRender(dialog, WM_HSCROLL, MAKEWPARAM(SB_ENDSCROLL, 0),
                                           reinterpret_cast<LPARAM>(Control(dialog, 201 + kOverlapYRow)));
        ASSERT_TRUE(shown.has_value()) << "the render was not abandoned";
        const Capture capture = SettledRed(preview);
        EXPECT_GT(std::count(capture.pixels.begin(), capture.pixels.end(), 0x00FF0000u), 20)
            << "no \"Time Limit Exceeded\" in red";
        // The Cancel that follows ends the next render as well, and the dialog.
        EXPECT_TRUE(EndWith(dialog, IDCANCEL));
    });
}

// ---- Colour selection ---------------------------------------------------------------------------------

TEST_F(SmallPicture, TheHostPickersColourReachesTheNextRenderAndTheSavedSettings) {
    Save(TileSettings(50));
    constexpr std::uint8_t kChosen[3] = {12, 200, 77};
    host.AnswerColour(kChosen[0], kChosen[1], kChosen[2]);
    const psapi::int16 result = RunDialog([&](HWND dialog) {
        HWND well = Control(dialog, kColourWell);
        HWND preview = Control(dialog, kPreviewId);
        EXPECT_EQ(SettledCentre(well, ColourOf(kOutside)), ColourOf(kOutside));
        ASSERT_TRUE(WaitQuiet(host));
        const std::size_t before = host.DisplayCount();
        const auto pressed = Clock::now();
        Press(dialog, kColourWell);

        const std::vector<ColourRequest> requests = host.ColourRequests();
        ASSERT_EQ(requests.size(), 1u);
        const ColourRequest& request = requests[0];
        EXPECT_EQ(request.info_size, sizeof(void*) == 8 ? 56 : 36);
        EXPECT_EQ(request.selector, 0);
        EXPECT_EQ(request.source_space, 0);
        EXPECT_EQ(request.result_space, 0);
        EXPECT_EQ(std::vector<int>(request.components, request.components + 4),
                  (std::vector<int>{kOutside[0], kOutside[1], kOutside[2], 0}));
        EXPECT_EQ(request.prompt, "Vextrel: Select Color");

        EXPECT_EQ(SettledCentre(well, ColourOf(kChosen)), ColourOf(kChosen));
        const auto render = WaitForDisplay(host, before, Any, milliseconds(3000));
        ASSERT_TRUE(render.has_value()) << "no render after the colour changed";
        EXPECT_GE(MsBetween(pressed, render->at), 450) << "the change skipped the debounce";
        EXPECT_TRUE(ShowsTile(*render, host, 50, kChosen));
        EXPECT_EQ(SettledScreenDifference(preview, *render), "");
        EXPECT_TRUE(EndWith(dialog, IDOK));
    });
    EXPECT_EQ(result, 0);
    EXPECT_EQ(SavedColour(0), Packed(kChosen));
}

TEST_F(SmallPicture, ShiftPickFollowsTheMouseOverThePreviewAndAClickFixesTheColour) {
    Save(TileSettings(50));
    host.AnswerColour(1, 2, 3);
    std::uint32_t fixed = 0;
    const psapi::int16 result = RunDialog([&](HWND dialog) {
        HWND well = Control(dialog, kColourWell);
        HWND preview = Control(dialog, kPreviewId);
        ASSERT_TRUE(WaitQuiet(host));
        const DisplayCall view = host.DisplayCalls().back();
        // The image pixel under a point of the preview (1:1 here).
        auto under = [&](int x, int y) { return host.SourceAt(x - view.column, y - view.row); };

        host.HoldShift(true);
        Press(dialog, kColourWell);
        host.HoldShift(false);
        EXPECT_TRUE(host.ColourRequests().empty()) << "Shift opened the host's picker";
        const std::size_t before = host.DisplayCount();

        const POINT places[] = {{view.column + 10, view.row + 20}, {view.column + 100, view.row + 90},
                                {view.column + 50, view.row + 5}};
        for (const POINT& place : places) {
            SCOPED_TRACE("mouse at " + std::to_string(place.x) + ", " + std::to_string(place.y));
            PostMouse(preview, WM_MOUSEMOVE, 0, place.x, place.y);
            EXPECT_EQ(SettledCentre(well, ColourOf(under(place.x, place.y))), ColourOf(under(place.x, place.y)));
        }
        // Outside the image the well keeps its colour.
        const COLORREF kept = ColourOf(under(places[2].x, places[2].y));
        PostMouse(preview, WM_MOUSEMOVE, 0, 2, 2);
        ASSERT_TRUE(host.Sync());
        std::this_thread::sleep_for(milliseconds(200));
        EXPECT_EQ(SettledCentre(well, kept), kept);

        // A change during the pick is rendered without the filter.
        Scroll(dialog, kOverlapYRow, SB_THUMBPOSITION, 40);
        const auto during = WaitForDisplay(host, before, Any, milliseconds(3000));
        ASSERT_TRUE(during.has_value()) << "the change during the pick was not rendered";
        EXPECT_TRUE(during->shows_source) << "filtered while picking";

        const POINT click{view.column + 70, view.row + 30};
        const std::uint8_t* picked = under(click.x, click.y);
        fixed = Packed(picked);
        const std::size_t before_click = host.DisplayCount();
        PostMouse(preview, WM_LBUTTONDOWN, MK_LBUTTON, click.x, click.y);
        PostMouse(preview, WM_LBUTTONUP, 0, click.x, click.y);
        ASSERT_TRUE(host.Sync());
        EXPECT_EQ(SettledCentre(well, ColourOf(picked)), ColourOf(picked));
        // The pick has ended: the mouse no longer changes the colour.
        PostMouse(preview, WM_MOUSEMOVE, 0, places[1].x, places[1].y);
        ASSERT_TRUE(host.Sync());
        std::this_thread::sleep_for(milliseconds(200));
        EXPECT_EQ(SettledCentre(well, ColourOf(picked)), ColourOf(picked));

        // Rendering resumes with the picked colour.
        const std::uint8_t picked_rgb[3] = {picked[0], picked[1], picked[2]};
        const auto render = WaitForDisplay(host, before_click, Filtered, milliseconds(3000));
        ASSERT_TRUE(render.has_value()) << "no filtered render after the pick";
        EXPECT_TRUE(ShowsTile(*render, host, 40, picked_rgb));
        EXPECT_TRUE(host.ColourRequests().empty());
        EXPECT_TRUE(EndWith(dialog, IDOK));
    });
    EXPECT_EQ(result, 0);
    EXPECT_EQ(SavedColour(0), fixed);
    EXPECT_EQ(SavedColour(0) >> 24, 0u);
}

TEST_F(LargePicture, AShiftPickAtAReducedZoomTakesTheSampleShownThereNotAnAverage) {
    Save(TileSettings(50));
    std::uint32_t fixed = 0;
    RunDialog([&](HWND dialog) {
        HWND preview = Control(dialog, kPreviewId);
        ASSERT_TRUE(WaitQuiet(host));
        const DisplayCall view = host.DisplayCalls().back();
        const int zoom = ZoomOfRate(view.rate);
        ASSERT_GE(zoom, 2);
        host.HoldShift(true);
        Press(dialog, kColourWell);
        host.HoldShift(false);
        // The checkerboard's squares are 6 pixels wide: an average would mix them.
        const POINT click{view.column + 41, view.row + 37};
        const std::uint8_t* sample = host.SourceAt((click.x - view.column) * zoom, (click.y - view.row) * zoom);
        fixed = Packed(sample);
        PostMouse(preview, WM_LBUTTONDOWN, MK_LBUTTON, click.x, click.y);
        PostMouse(preview, WM_LBUTTONUP, 0, click.x, click.y);
        ASSERT_TRUE(host.Sync());
        EXPECT_EQ(SettledCentre(Control(dialog, kColourWell), ColourOf(sample)), ColourOf(sample));
        EXPECT_TRUE(EndWith(dialog, IDOK));
    });
    EXPECT_EQ(SavedColour(0), fixed);
}

TEST_F(LargePicture, WithoutColourServicesAPlainClickKeepsTheColourAndARenderFollows) {
    Save(TileSettings(50));
    RunDialog([&](HWND dialog) {
        ASSERT_TRUE(WaitQuiet(host));
        const std::size_t before = host.DisplayCount();
        const auto pressed = Clock::now();
        Press(dialog, kColourWell);
        EXPECT_EQ(SettledCentre(Control(dialog, kColourWell), ColourOf(kOutside)), ColourOf(kOutside));
        const auto render = WaitForDisplay(host, before, Any, milliseconds(3000));
        ASSERT_TRUE(render.has_value()) << "no render was scheduled";
        EXPECT_GE(MsBetween(pressed, render->at), 450);
        EXPECT_TRUE(ShowsTile(*render, host, 50, kOutside)) << "rendering was not enabled again";
        EXPECT_TRUE(EndWith(dialog, IDOK));
    });
    EXPECT_EQ(SavedColour(0), Packed(kOutside));
}

// ---- Marker points ----------------------------------------------------------------------------------

class ThreeMarkers : public PreviewDialog {
protected:
    ThreeMarkers()
        : PreviewDialog(Pattern(160, 120), HostAbilities{1, false}, TestBlocksModulePath()),
          variant_("TESSELLON_TEST_BLOCK", "point_count=3") {}

private:
    ScopedEnvironment variant_;
};

TEST_F(ThreeMarkers, ARightClickSetsAMarkerWhoseCrossBlinksBlackAndWhite) {
    Save(TileSettings(50));
    RunDialog([&](HWND dialog) {
        HWND preview = Control(dialog, kPreviewId);
        ASSERT_TRUE(WaitQuiet(host));
        const DisplayCall view = host.DisplayCalls().back();
        const POINT at{view.column + 40, view.row + 30};
        PostMouse(preview, WM_RBUTTONDOWN, MK_RBUTTON, at.x, at.y);
        ASSERT_TRUE(host.Sync());
        EXPECT_TRUE(IsChecked(dialog, 802)) << "the next marker's button";
        EXPECT_FALSE(IsChecked(dialog, 801));
        // The cross: 9 pixels each way; a pixel just beyond it keeps the image.
        bool seen_black = false, seen_white = false;
        const auto deadline = Clock::now() + std::chrono::seconds(4);
        while (Clock::now() < deadline && !(seen_black && seen_white)) {
            const Capture capture = CaptureClient(preview);
            const COLORREF arm = capture.At(at.x + 4, at.y);
            const COLORREF centre = capture.At(at.x, at.y - 4);
            if (arm == RGB(0, 0, 0) && centre == RGB(0, 0, 0)) seen_black = true;
            if (arm == RGB(255, 255, 255) && centre == RGB(255, 255, 255)) seen_white = true;
            const COLORREF beyond = capture.At(at.x + 5, at.y);
            EXPECT_NE(beyond, RGB(0, 0, 0));
            EXPECT_NE(beyond, RGB(255, 255, 255));
            std::this_thread::sleep_for(milliseconds(100));
        }
        EXPECT_TRUE(seen_black);
        EXPECT_TRUE(seen_white);
        EndWith(dialog, IDCANCEL);
    });
}

// ---- For scripts/screenshot_preview.sh ---------------------------------------------------------------

// Writes the dialog's screen rectangle to DIR\NAME.rect and waits for DIR\NAME.done.
void HoldForPicture(HWND dialog, const std::string& directory, const std::string& name) {
    RECT frame;
    GetWindowRect(dialog, &frame);
    {
        std::ofstream out(directory + "\\" + name + ".rect", std::ios::trunc);
        out << frame.right - frame.left << "x" << frame.bottom - frame.top << "+" << frame.left << "+" << frame.top
            << "\n";
    }
    const std::string done = directory + "\\" + name + ".done";
    const auto deadline = Clock::now() + std::chrono::seconds(60);
    while (GetFileAttributesA(done.c_str()) == INVALID_FILE_ATTRIBUTES && Clock::now() < deadline) {
        std::this_thread::sleep_for(milliseconds(100));
    }
}

std::string EnvironmentText(const char* name) {
    char text[MAX_PATH] = {};
    const DWORD length = GetEnvironmentVariableA(name, text, MAX_PATH);
    return length > 0 && length < MAX_PATH ? std::string(text, length) : std::string();
}

class ScreenshotPicture : public PreviewDialog {
protected:
    ScreenshotPicture()
        : PreviewDialog(ReadPpm(EnvironmentText("TESSELLON_SCREENSHOT_IMAGE")), HostAbilities{2, false}) {}
};

// The sample photograph in the dialog, tiled with the settings of scripts/run.sh: the
// filtered preview at the fit zoom, then at 1:1.
TEST_F(ScreenshotPicture, DISABLED_HoldsTheFilteredPreviewAtFitAndAt1To1) {
    const std::string directory = EnvironmentText("TESSELLON_SCREENSHOT_DIR");
    ASSERT_FALSE(directory.empty());
    ASSERT_GT(host.width(), 0) << "TESSELLON_SCREENSHOT_IMAGE is no readable PPM";
    FilterSettings settings;
    settings.values[0] = settings.values[1] = 20;
    settings.values[10] = 1;  // Wave
    settings.values[15] = 1;  // Fit
    Save(settings);
    RunDialog([&](HWND dialog) {
        ASSERT_TRUE(WaitQuiet(host));
        EXPECT_FALSE(host.DisplayCalls().back().shows_source);
        HoldForPicture(dialog, directory, "fit");
        host.HoldShift(true);
        Press(dialog, kZoomIn);
        host.HoldShift(false);
        ASSERT_EQ(ControlText(dialog, kZoomLabel), "1:1");
        ASSERT_TRUE(WaitQuiet(host));
        EXPECT_FALSE(host.DisplayCalls().back().shows_source);
        HoldForPicture(dialog, directory, "1to1");
        EndWith(dialog, IDCANCEL);
    });
}

}  // namespace
}  // namespace tessellon::testing
