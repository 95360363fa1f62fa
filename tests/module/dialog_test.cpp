// The real filter dialog inside the built module, driven as a person and a host drive
// it: the host loads the module, calls Parameters and Start over an image in memory,
// and a watcher thread finds the dialog by its caption, works its controls through
// window messages, reads them back and presses OK or Cancel.
#include <gtest/gtest.h>

#include <windows.h>
#include <commctrl.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "module/dialog_host.h"
#include "module/module_support.h"
#include "module/window_watcher.h"

namespace tessellon::testing {
namespace {

using Handler = std::function<void(HWND dialog)>;

constexpr psapi::int16 kUserCanceled = -128;
const std::vector<std::string> kShapes{"Normal", "Wave", "Zigzag", "Fractal"};

struct SliderRow {
    const char* caption;
    std::int32_t min, max, default_value;
};
constexpr SliderRow kRows[8] = {
    {"Overlap X:", -76, 75, 0}, {"Overlap Y:", -76, 75, 0}, {"Fade:", 0, 100, 50},   {"Thru BG:", 0, 255, 0},
    {"BGSmooth:", 0, 100, 10},  {"Freq:", 1, 128, 4},       {"Phase X:", 0, 100, 0}, {"Phase Y:", 0, 100, 0},
};

class FilterDialog : public ::testing::Test {
protected:
    explicit FilterDialog(const std::string& module_path = ModuleFilePath()) : host(module_path) {}

    void SetUp() override { ASSERT_TRUE(host.loaded()) << "LoadLibrary error " << host.load_error(); }

    // Parameters, then Start, as a host asks for the dialog. The handler works the
    // dialog from the watcher thread; the dialog is cancelled if the handler leaves it
    // open. Returns Start's result.
    psapi::int16 RunDialog(const Handler& handler) {
        return testing::RunDialog(host, handler);
    }

    SettingsSnapshot snapshot;  // restored after the module is gone
    DialogHost host;
};

TEST_F(FilterDialog, OpensWithTheFiltersTextsControlsAndDefaults) {
    DeleteSettings();
    const psapi::int16 result = RunDialog([this](HWND dialog) {
        EXPECT_EQ(GetWindow(dialog, GW_OWNER), host.window());
        EXPECT_EQ(ControlText(dialog, 0xFFFD), "Tessellon Ver.1.0");
        EXPECT_TRUE(ControlVisible(dialog, 0xFFFD));
        for (int row = 0; row < 8; ++row) {
            SCOPED_TRACE(kRows[row].caption);
            EXPECT_EQ(ControlText(dialog, 101 + row), kRows[row].caption);
            for (int id : {101, 201, 301}) EXPECT_TRUE(ControlVisible(dialog, id + row)) << id + row;
            EXPECT_EQ(SendTo(Control(dialog, 201 + row), TBM_GETRANGEMIN), kRows[row].min);
            EXPECT_EQ(SendTo(Control(dialog, 201 + row), TBM_GETRANGEMAX), kRows[row].max);
            EXPECT_EQ(TrackbarPosition(dialog, row), kRows[row].default_value);
            EXPECT_EQ(ControlText(dialog, 301 + row), std::to_string(kRows[row].default_value));
        }
        EXPECT_EQ(SelectorItems(dialog), kShapes);
        EXPECT_EQ(SelectorSelection(dialog), 0);
        EXPECT_TRUE(ControlVisible(dialog, 601));
        const char* const checks[3] = {"Fit", "OpaqueOut", "Repeat"};
        for (int k = 0; k < 3; ++k) {
            EXPECT_EQ(ControlText(dialog, 501 + k), checks[k]);
            EXPECT_TRUE(ControlVisible(dialog, 501 + k));
            EXPECT_FALSE(IsChecked(dialog, 501 + k));
        }
        // One colour well; the other five and their frames are hidden.
        EXPECT_TRUE(ControlVisible(dialog, 400));
        EXPECT_TRUE(ControlVisible(dialog, 401));
        EXPECT_TRUE(ControlVisible(dialog, 491));
        for (int k = 1; k < 6; ++k) {
            EXPECT_FALSE(ControlVisible(dialog, 401 + k)) << 401 + k;
            EXPECT_FALSE(ControlVisible(dialog, 491 + k)) << 491 + k;
        }
        // No help target: no Help button. No marker points: no marker buttons.
        EXPECT_FALSE(ControlVisible(dialog, 12));
        for (int k = 0; k < 6; ++k) EXPECT_FALSE(ControlVisible(dialog, 801 + k)) << 801 + k;
        for (int id : {1, 2, 10, 610, 91, 92, 93, 110}) EXPECT_TRUE(ControlVisible(dialog, id)) << id;
        EXPECT_TRUE(IsChecked(dialog, 93));
        EXPECT_EQ(ControlText(dialog, 110), "1:1");  // the 64 x 48 image fits at 1:1
        EXPECT_TRUE(EndWith(dialog, IDOK));
    });
    EXPECT_EQ(result, 0);
}

struct TypedCase {
    int box;
    const char* typed;
    const char* shown;
    std::int32_t position;
};

TEST_F(FilterDialog, NumberBoxesCorrectWhatIsTypedAndMoveTheTrackbar) {
    static const TypedCase kCases[] = {
        {303, "200", "100", 100},  // Fade 0..100: above the range
        {303, "", "0", 0},         // cleared: the clamped 0
        {303, "37", "37", 37},     // in range: kept as typed
        {306, "", "1", 1},         // Freq 1..128: cleared gives the minimum
        {306, "500", "128", 128},
        {301, "-100", "-76", -76},  // Overlap X -76..75
        {301, "-20", "-20", -20},
        {304, "300", "255", 255},  // Thru BG 0..255
        {305, "x1", "0", 0},       // not a number
    };
    RunDialog([](HWND dialog) {
        for (const TypedCase& c : kCases) {
            SCOPED_TRACE(std::to_string(c.box) + " <- \"" + c.typed + "\"");
            TypeInto(dialog, c.box, c.typed);
            EXPECT_EQ(ControlText(dialog, c.box), c.shown);
            EXPECT_EQ(TrackbarPosition(dialog, c.box - 301), c.position);
        }
        EndWith(dialog, IDCANCEL);
    });
}

struct PageCase {
    int row;
    std::int32_t step;  // (max - min) / 8
};

TEST_F(FilterDialog, PageStepsAreAnEighthOfTheRangeAndStopAtItsEnds) {
    static const PageCase kCases[] = {{0, 18}, {2, 12}, {3, 31}, {5, 15}};
    RunDialog([](HWND dialog) {
        for (const PageCase& c : kCases) {
            const SliderRow& row = kRows[c.row];
            SCOPED_TRACE(row.caption);
            Scroll(dialog, c.row, SB_TOP);
            Scroll(dialog, c.row, SB_PAGEDOWN);
            EXPECT_EQ(TrackbarPosition(dialog, c.row), row.min + c.step);
            EXPECT_EQ(ControlText(dialog, 301 + c.row), std::to_string(row.min + c.step));
            Scroll(dialog, c.row, SB_PAGEDOWN);
            EXPECT_EQ(TrackbarPosition(dialog, c.row), row.min + 2 * c.step);
            Scroll(dialog, c.row, SB_PAGEUP);
            EXPECT_EQ(TrackbarPosition(dialog, c.row), row.min + c.step);
            Scroll(dialog, c.row, SB_PAGEUP);
            Scroll(dialog, c.row, SB_PAGEUP);
            EXPECT_EQ(TrackbarPosition(dialog, c.row), row.min);
            Scroll(dialog, c.row, SB_BOTTOM);
            Scroll(dialog, c.row, SB_PAGEDOWN);
            EXPECT_EQ(TrackbarPosition(dialog, c.row), row.max);
            EXPECT_EQ(ControlText(dialog, 301 + c.row), std::to_string(row.max));
        }
        EndWith(dialog, IDCANCEL);
    });
}

TEST_F(FilterDialog, LineStepsStopAtTheRangesEnds) {
    RunDialog([](HWND dialog) {
        for (int r = 0; r < 8; ++r) {
            const SliderRow& row = kRows[r];
            SCOPED_TRACE(row.caption);
            Scroll(dialog, r, SB_TOP);
            Scroll(dialog, r, SB_LINEUP);
            EXPECT_EQ(TrackbarPosition(dialog, r), row.min);
            EXPECT_EQ(ControlText(dialog, 301 + r), std::to_string(row.min));
            Scroll(dialog, r, SB_LINEDOWN);
            EXPECT_EQ(TrackbarPosition(dialog, r), row.min + 1);
            Scroll(dialog, r, SB_BOTTOM);
            Scroll(dialog, r, SB_LINEDOWN);
            EXPECT_EQ(TrackbarPosition(dialog, r), row.max);
            Scroll(dialog, r, SB_LINEUP);
            EXPECT_EQ(ControlText(dialog, 301 + r), std::to_string(row.max - 1));
        }
        EndWith(dialog, IDCANCEL);
    });
}

TEST_F(FilterDialog, ThumbPositionsArriveAsSigned16BitNumbers) {
    RunDialog([](HWND dialog) {
        Scroll(dialog, 0, SB_THUMBPOSITION, 0xFFB5);
        EXPECT_EQ(ControlText(dialog, 301), "-75");
        EXPECT_EQ(TrackbarPosition(dialog, 0), -75);
        Scroll(dialog, 1, SB_THUMBTRACK, 0xFFB4);
        EXPECT_EQ(ControlText(dialog, 302), "-76");
        EXPECT_EQ(TrackbarPosition(dialog, 1), -76);
        Scroll(dialog, 2, SB_THUMBTRACK, 77);
        EXPECT_EQ(ControlText(dialog, 303), "77");
        // End of tracking keeps the value.
        Scroll(dialog, 2, SB_ENDSCROLL);
        EXPECT_EQ(ControlText(dialog, 303), "77");
        // A scroll message from a control that is no trackbar is not the dialog's.
        SendTo(dialog, WM_HSCROLL, MAKEWPARAM(SB_PAGEDOWN, 0), reinterpret_cast<LPARAM>(Control(dialog, 303)));
        EXPECT_EQ(ControlText(dialog, 303), "77");
        EndWith(dialog, IDCANCEL);
    });
}

TEST_F(FilterDialog, ResetRestoresTheSliderDefaultsOnly) {
    DeleteSettings();
    const psapi::int16 result = RunDialog([](HWND dialog) {
        for (int r = 0; r < 8; ++r) Scroll(dialog, r, SB_BOTTOM);
        Press(dialog, 501);  // Fit
        EXPECT_TRUE(IsChecked(dialog, 501));
        ChooseSelectorItem(dialog, 2);  // Zigzag
        Press(dialog, 610);
        for (int r = 0; r < 8; ++r) {
            EXPECT_EQ(ControlText(dialog, 301 + r), std::to_string(kRows[r].default_value)) << kRows[r].caption;
            EXPECT_EQ(TrackbarPosition(dialog, r), kRows[r].default_value) << kRows[r].caption;
        }
        EXPECT_TRUE(IsChecked(dialog, 501));
        EXPECT_FALSE(IsChecked(dialog, 502));
        EXPECT_EQ(SelectorSelection(dialog), 2);
        EXPECT_TRUE(EndWith(dialog, IDOK));
    });
    EXPECT_EQ(result, 0);
    const auto sliders = ReadSetting("SliderSettings");
    ASSERT_TRUE(sliders.has_value());
    const std::vector<std::int32_t> values = Int32sOf(sliders->bytes);
    ASSERT_EQ(values.size(), 16u);
    EXPECT_EQ(std::vector<std::int32_t>(values.begin(), values.begin() + 8),
              (std::vector<std::int32_t>{0, 0, 50, 0, 10, 4, 0, 0}));
    EXPECT_EQ(values[10], 2);  // selector
    EXPECT_EQ(values[15], 1);  // "Fit", check box 1
    EXPECT_EQ(values[14], 0);
    EXPECT_EQ(values[13], 0);
}

TEST_F(FilterDialog, CancelEndsTheRunAsCancelledAndTheNextDialogShowsTheMovedValue) {
    const psapi::int16 cancelled = RunDialog([](HWND dialog) {
        Scroll(dialog, 2, SB_THUMBPOSITION, 83);
        EXPECT_TRUE(EndWith(dialog, IDCANCEL));
    });
    EXPECT_EQ(cancelled, kUserCanceled);

    const psapi::int16 again = RunDialog([](HWND dialog) {
        EXPECT_EQ(ControlText(dialog, 303), "83");
        EXPECT_EQ(TrackbarPosition(dialog, 2), 83);
        EXPECT_TRUE(EndWith(dialog, IDOK));
    });
    EXPECT_EQ(again, 0);
}

struct EndCase {
    const char* name;
    int button;
    psapi::int16 result;
};

void PrintTo(const EndCase& c, std::ostream* os) { *os << c.name; }

class SavedSettings : public FilterDialog, public ::testing::WithParamInterface<EndCase> {};

TEST_P(SavedSettings, HoldExactly64And32BinaryBytesWithTheDialogsValues) {
    DeleteSettings();
    const EndCase& c = GetParam();
    const psapi::int16 result = RunDialog([&c](HWND dialog) {
        Scroll(dialog, 2, SB_THUMBPOSITION, 33);
        TypeInto(dialog, 306, "9");
        Press(dialog, 503);  // Repeat
        ChooseSelectorItem(dialog, 3);
        EXPECT_TRUE(EndWith(dialog, c.button));
    });
    EXPECT_EQ(result, c.result);
    const auto sliders = ReadSetting("SliderSettings");
    const auto colours = ReadSetting("CustomColors");
    ASSERT_TRUE(sliders.has_value());
    ASSERT_TRUE(colours.has_value());
    EXPECT_EQ(sliders->type, static_cast<DWORD>(REG_BINARY));
    EXPECT_EQ(colours->type, static_cast<DWORD>(REG_BINARY));
    ASSERT_EQ(sliders->bytes.size(), 64u);
    ASSERT_EQ(colours->bytes.size(), 32u);
    const std::vector<std::int32_t> values = Int32sOf(sliders->bytes);
    EXPECT_EQ(std::vector<std::int32_t>(values.begin(), values.begin() + 8),
              (std::vector<std::int32_t>{0, 0, 33, 0, 10, 9, 0, 0}));
    EXPECT_EQ(values[10], 3);
    EXPECT_EQ(values[13], 1);  // "Repeat", check box 3
    EXPECT_EQ(values[15], 0);
    // A first dialog finds no saved colours: every entry is black.
    EXPECT_EQ(colours->bytes, std::vector<std::uint8_t>(32, 0));
}

INSTANTIATE_TEST_SUITE_P(Buttons, SavedSettings,
                         ::testing::Values(EndCase{"ok", IDOK, 0}, EndCase{"cancel", IDCANCEL, kUserCanceled}),
                         [](const ::testing::TestParamInfo<EndCase>& p) { return std::string(p.param.name); });

TEST_F(FilterDialog, StartWithoutParametersNeverShowsTheDialogAndSavesNothing) {
    DeleteSettings();
    DialogSpy spy;
    EXPECT_EQ(host.Start(), 0);
    EXPECT_EQ(DialogSpy::created, 1);  // the dialog ran its initialisation...
    EXPECT_EQ(DialogSpy::shown, 0);    // ...and ended before it was shown
    EXPECT_FALSE(ReadSetting("SliderSettings").has_value());
    EXPECT_FALSE(ReadSetting("CustomColors").has_value());
}

TEST_F(FilterDialog, AboutShowsTheAboutBoxOwnedByTheDialog) {
    MessageBoxContent content;
    HWND owner = nullptr;
    HWND dialog_seen = nullptr;
    bool about_found = false;
    RunDialog([&](HWND dialog) {
        dialog_seen = dialog;
        WindowWatcher about("About...", [&](HWND box) {
            content = ReadMessageBox(box);
            owner = GetWindow(box, GW_OWNER);
            PressOk(box);
        });
        PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(10, BN_CLICKED), reinterpret_cast<LPARAM>(Control(dialog, 10)));
        about_found = about.Wait();
        // The dialog goes on after the About box.
        EXPECT_TRUE(IsWindowVisible(dialog));
        EXPECT_TRUE(EndWith(dialog, IDOK));
    });
    ASSERT_TRUE(about_found);
    EXPECT_EQ(owner, dialog_seen);
    EXPECT_EQ(content.text.rfind("Tessellon", 0), 0u) << content.text;
    EXPECT_NE(content.text.find("Made with the Vextrel filter-building system by Dravik."), std::string::npos)
        << content.text;
}

BOOL CALLBACK CountOwnVisibleWindow(HWND window, LPARAM context) noexcept {
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    if (process == GetCurrentProcessId() && IsWindowVisible(window)) ++*reinterpret_cast<int*>(context);
    return TRUE;
}

int VisibleWindowsOfThisProcess() {
    int count = 0;
    EnumWindows(CountOwnVisibleWindow, reinterpret_cast<LPARAM>(&count));
    return count;
}

TEST_F(FilterDialog, F1WithoutAHelpTargetDoesNothing) {
    RunDialog([](HWND dialog) {
        const int before = VisibleWindowsOfThisProcess();
        HELPINFO help{};
        help.cbSize = sizeof help;
        SendTo(dialog, WM_HELP, 0, reinterpret_cast<LPARAM>(&help));
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        EXPECT_EQ(VisibleWindowsOfThisProcess(), before);
        EXPECT_TRUE(IsWindowVisible(dialog));
        EndWith(dialog, IDOK);
    });
}

// ---- The dialog of other filters: the test-blocks module ----------------------------

std::string TemporaryDirectory(const std::string& name) {
    char base[MAX_PATH] = {};
    GetTempPathA(MAX_PATH, base);
    std::string directory = std::string(base) + name;
    CreateDirectoryA(directory.c_str(), nullptr);
    return directory;
}

std::vector<std::uint8_t> FileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

bool WriteBytes(const std::string& path, const std::vector<std::uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out);
}

// A copy of the test-blocks module in a directory of its own, with bytes appended.
std::string ModuleCopy(const std::string& directory, const std::vector<std::uint8_t>& appended = {},
                       std::size_t* original_size = nullptr) {
    std::vector<std::uint8_t> bytes = FileBytes(TestBlocksModulePath());
    if (original_size != nullptr) *original_size = bytes.size();
    bytes.insert(bytes.end(), appended.begin(), appended.end());
    const std::string path = directory + "\\TessellonTestBlocks.8bf";
    WriteBytes(path, bytes);
    return path;
}

class TestBlockDialog : public FilterDialog {
protected:
    explicit TestBlockDialog(const std::string& variant, const std::string& module_path = TestBlocksModulePath())
        : FilterDialog(module_path), variant_("TESSELLON_TEST_BLOCK", variant) {}

private:
    ScopedEnvironment variant_;
};

class NoColours : public TestBlockDialog {
protected:
    NoColours() : TestBlockDialog("colour_count=0;point_count=3;title=") {}
};

TEST_F(NoColours, HideTheColourGroupWhileThreeMarkerButtonsShow) {
    RunDialog([](HWND dialog) {
        EXPECT_FALSE(ControlVisible(dialog, 400));
        for (int k = 0; k < 6; ++k) {
            EXPECT_FALSE(ControlVisible(dialog, 401 + k)) << 401 + k;
            EXPECT_FALSE(ControlVisible(dialog, 491 + k)) << 491 + k;
        }
        for (int k = 0; k < 6; ++k) EXPECT_EQ(ControlVisible(dialog, 801 + k), k < 3) << 801 + k;
        EXPECT_FALSE(ControlVisible(dialog, 0xFFFD));  // an empty title hides the title box
        EXPECT_TRUE(ControlVisible(dialog, 601));
        EndWith(dialog, IDOK);
    });
}

class NoSelector : public TestBlockDialog {
protected:
    NoSelector() : TestBlockDialog("selector_enabled=0") {}
};

TEST_F(NoSelector, HidesTheSelectorAndItsCaptionOnly) {
    RunDialog([](HWND dialog) {
        EXPECT_FALSE(ControlVisible(dialog, 600));
        EXPECT_FALSE(ControlVisible(dialog, 601));
        for (int id : {400, 401, 501, 502, 503, 610, 0xFFFD}) EXPECT_TRUE(ControlVisible(dialog, id)) << id;
        EndWith(dialog, IDOK);
    });
}

class MissingTemplate : public TestBlockDialog {
protected:
    MissingTemplate() : TestBlockDialog("template=NOSUCHDIALOG") {}
};

TEST_F(MissingTemplate, TheRunGoesOnAsAfterOkAndNothingIsSaved) {
    DeleteSettings();
    DialogSpy spy;
    EXPECT_EQ(host.Parameters(), 0);
    EXPECT_EQ(host.Start(), 0);
    EXPECT_EQ(DialogSpy::created, 0);
    EXPECT_FALSE(ReadSetting("SliderSettings").has_value());
}

// The help document: a command script beside the module that writes the directory it
// runs in, so that the test sees the verb, the target and the working directory.
class HelpTarget : public TestBlockDialog {
protected:
    HelpTarget() : TestBlockDialog("help_target=help.cmd", PrepareDirectory()) {}

    static std::string PrepareDirectory() {
        directory_ = TemporaryDirectory("tessellon_help_test");
        marker_ = directory_ + "\\help_ran.txt";
        DeleteFileA(marker_.c_str());
        std::ofstream script(directory_ + "\\help.cmd", std::ios::trunc);
        script << "@cd > \"" << marker_ << "\"\r\n";
        return ModuleCopy(directory_);
    }

    static std::string WaitForMarker() {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (std::chrono::steady_clock::now() < deadline) {
            std::ifstream in(marker_);
            std::string line;
            if (in && std::getline(in, line) && !line.empty()) {
                while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
                return line;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return {};
    }

    static inline std::string directory_;
    static inline std::string marker_;
};

TEST_F(HelpTarget, ShowsHelpAndOpensTheDocumentInTheModulesDirectoryOnF1AndOnHelp) {
    std::string by_f1, by_button;
    RunDialog([&](HWND dialog) {
        EXPECT_TRUE(ControlVisible(dialog, 12));
        HELPINFO help{};
        help.cbSize = sizeof help;
        SendTo(dialog, WM_HELP, 0, reinterpret_cast<LPARAM>(&help));
        by_f1 = WaitForMarker();
        DeleteFileA(marker_.c_str());
        Press(dialog, 12);
        by_button = WaitForMarker();
        EndWith(dialog, IDOK);
    });
    EXPECT_EQ(lstrcmpiA(by_f1.c_str(), directory_.c_str()), 0) << by_f1 << " vs " << directory_;
    EXPECT_EQ(lstrcmpiA(by_button.c_str(), directory_.c_str()), 0) << by_button << " vs " << directory_;
    DeleteFileA(marker_.c_str());
}

// ---- Background picture --------------------------------------------------------------

constexpr COLORREF kPictureColour = RGB(0, 160, 80);

// A placeable metafile that fills its 1000 x 1000 box with one colour.
std::vector<std::uint8_t> PlaceableMetafile() {
    HDC recorder = CreateMetaFileA(nullptr);
    HBRUSH brush = CreateSolidBrush(kPictureColour);
    SelectObject(recorder, brush);
    SelectObject(recorder, GetStockObject(NULL_PEN));
    Rectangle(recorder, 0, 0, 1001, 1001);
    HMETAFILE metafile = CloseMetaFile(recorder);
    DeleteObject(brush);
    const UINT size = GetMetaFileBitsEx(metafile, 0, nullptr);
    std::vector<std::uint8_t> records(size);
    GetMetaFileBitsEx(metafile, size, records.data());
    DeleteMetaFile(metafile);

    const WORD header_words[10] = {0xCDD7, 0x9AC6, 0, 0, 0, 1000, 1000, 1, 0, 0};  // key, handle, box, inch
    WORD checksum = 0;
    for (WORD w : header_words) checksum ^= w;
    std::vector<std::uint8_t> bytes(22);
    std::memcpy(bytes.data(), header_words, sizeof header_words);
    std::memcpy(bytes.data() + 20, &checksum, 2);
    bytes.insert(bytes.end(), records.begin(), records.end());
    return bytes;
}

// The colour of a client point given in dialog units, once the dialog has painted it.
COLORREF SettledPixel(HWND dialog, int x, int y, COLORREF wanted) {
    RECT point{x, y, x, y};
    MapDialogRect(dialog, &point);
    COLORREF colour = CLR_INVALID;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (std::chrono::steady_clock::now() < deadline) {
        HDC dc = GetDC(dialog);
        colour = GetPixel(dc, point.left, point.top);
        ReleaseDC(dialog, dc);
        if (colour == wanted) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return colour;
}

// Free places of the dialog: between the colour wells and the buttons, and in the
// hidden colour wells 2..6.
constexpr POINT kFreePlaces[] = {{150, 186}, {110, 172}};

class BackgroundPicture : public TestBlockDialog {
protected:
    BackgroundPicture() : TestBlockDialog(Variant(), module_path_) {}

    static std::string Variant() {
        std::size_t size = 0;
        module_path_ = ModuleCopy(TemporaryDirectory("tessellon_picture_test"), PlaceableMetafile(), &size);
        return "picture_offset=" + std::to_string(size);
    }
    static inline std::string module_path_;
};

TEST_F(BackgroundPicture, IsPaintedBehindTheControls) {
    RunDialog([](HWND dialog) {
        for (const POINT& place : kFreePlaces) {
            EXPECT_EQ(SettledPixel(dialog, place.x, place.y, kPictureColour), kPictureColour)
                << "at " << place.x << ", " << place.y;
        }
        EndWith(dialog, IDOK);
    });
}

TEST_F(FilterDialog, WithoutAPictureTheDialogHasItsUsualFace) {
    RunDialog([](HWND dialog) {
        const COLORREF face = GetSysColor(COLOR_3DFACE);
        for (const POINT& place : kFreePlaces) {
            EXPECT_EQ(SettledPixel(dialog, place.x, place.y, face), face) << "at " << place.x << ", " << place.y;
        }
        EndWith(dialog, IDOK);
    });
}

// ---- For scripts/screenshot_dialog.sh ------------------------------------------------

// Opens the dialog and keeps it open until the file named by TESSELLON_SCREENSHOT_DONE
// appears; the dialog's screen rectangle goes to TESSELLON_SCREENSHOT_RECT first.
TEST_F(FilterDialog, DISABLED_HoldsTheDialogOpenForAScreenshot) {
    char rect_path[MAX_PATH] = {}, done_path[MAX_PATH] = {};
    ASSERT_NE(GetEnvironmentVariableA("TESSELLON_SCREENSHOT_RECT", rect_path, MAX_PATH), 0u);
    ASSERT_NE(GetEnvironmentVariableA("TESSELLON_SCREENSHOT_DONE", done_path, MAX_PATH), 0u);
    RunDialog([&](HWND dialog) {
        Scroll(dialog, 0, SB_THUMBPOSITION, 12);
        Scroll(dialog, 1, SB_THUMBPOSITION, 8);
        ChooseSelectorItem(dialog, 1);
        Press(dialog, 503);
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));  // the preview's debounce
        RECT frame;
        GetWindowRect(dialog, &frame);
        {
            std::ofstream out(rect_path, std::ios::trunc);
            out << frame.right - frame.left << "x" << frame.bottom - frame.top << "+" << frame.left << "+" << frame.top
                << "\n";
        }
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (GetFileAttributesA(done_path) == INVALID_FILE_ATTRIBUTES && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        EndWith(dialog, IDCANCEL);
    });
}

}  // namespace
}  // namespace tessellon::testing
