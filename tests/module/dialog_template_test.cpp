// The module's dialog template "FCREATOR" and cursor "FPICKER", read from its resources
// as the dialog manager reads them: the dialog's frame, and every control with its id,
// class, text, position, size and style, in template (tab) order.
#include <gtest/gtest.h>

#include <windows.h>
#include <commctrl.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "module/module_support.h"

namespace tessellon::testing {
namespace {

struct TemplateItem {
    DWORD id = 0;
    std::string class_name;
    std::string text;
    short x = 0, y = 0, cx = 0, cy = 0;
    DWORD style = 0;
};

struct DialogTemplate {
    DWORD style = 0;
    short x = 0, y = 0, cx = 0, cy = 0;
    std::string caption;
    WORD point_size = 0;
    std::string typeface;
    std::vector<TemplateItem> items;
};

// Reads the parts of an extended dialog template (DLGTEMPLATEEX) in order.
class TemplateReader {
public:
    TemplateReader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    bool ok() const { return ok_; }
    template <typename T>
    T Read() {
        T value{};
        if (at_ + sizeof value > size_) {
            ok_ = false;
            return value;
        }
        std::memcpy(&value, data_ + at_, sizeof value);
        at_ += sizeof value;
        return value;
    }
    std::string Text() {
        std::string text;
        for (WORD c = Read<WORD>(); ok_ && c != 0; c = Read<WORD>()) text.push_back(static_cast<char>(c));
        return text;
    }
    // A name or an ordinal: ordinals of the predefined control classes become names.
    std::string NameOrOrdinal() {
        const WORD first = Read<WORD>();
        if (first == 0) return {};
        if (first == 0xFFFF) {
            switch (const WORD ordinal = Read<WORD>()) {
                case 0x80: return "button";
                case 0x81: return "edit";
                case 0x82: return "static";
                case 0x83: return "listbox";
                case 0x84: return "scrollbar";
                case 0x85: return "combobox";
                default: {
                    char name[16];
                    std::snprintf(name, sizeof name, "#%u", static_cast<unsigned>(ordinal));
                    return name;
                }
            }
        }
        at_ -= sizeof first;
        return Text();
    }
    void AlignTo4() { at_ = (at_ + 3) & ~static_cast<std::size_t>(3); }
    void Skip(std::size_t bytes) { at_ += bytes; }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t at_ = 0;
    bool ok_ = true;
};

std::string Lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

bool ReadTemplate(const std::uint8_t* data, std::size_t size, DialogTemplate* out) {
    TemplateReader r(data, size);
    if (r.Read<WORD>() != 1 || r.Read<WORD>() != 0xFFFF) return false;  // version, signature
    r.Read<DWORD>();                                                   // help id
    r.Read<DWORD>();                                                   // extended style
    out->style = r.Read<DWORD>();
    const WORD count = r.Read<WORD>();
    out->x = r.Read<short>();
    out->y = r.Read<short>();
    out->cx = r.Read<short>();
    out->cy = r.Read<short>();
    r.NameOrOrdinal();  // menu
    r.NameOrOrdinal();  // class
    out->caption = r.Text();
    if ((out->style & (DS_SETFONT | DS_SHELLFONT)) != 0) {
        out->point_size = r.Read<WORD>();
        r.Read<WORD>();  // weight
        r.Read<BYTE>();  // italic
        r.Read<BYTE>();  // character set
        out->typeface = r.Text();
    }
    for (WORD i = 0; i < count && r.ok(); ++i) {
        r.AlignTo4();
        TemplateItem item;
        r.Read<DWORD>();  // help id
        r.Read<DWORD>();  // extended style
        item.style = r.Read<DWORD>();
        item.x = r.Read<short>();
        item.y = r.Read<short>();
        item.cx = r.Read<short>();
        item.cy = r.Read<short>();
        item.id = r.Read<DWORD>();
        item.class_name = Lower(r.NameOrOrdinal());
        item.text = r.NameOrOrdinal();
        r.Skip(r.Read<WORD>());  // creation data
        out->items.push_back(item);
    }
    return r.ok();
}

// The template as the dialog's table lays it out.
std::vector<TemplateItem> ExpectedItems() {
    constexpr DWORD kChild = WS_CHILD | WS_VISIBLE;
    const DWORD kPush = kChild | BS_PUSHBUTTON | WS_TABSTOP;
    std::vector<TemplateItem> items;
    auto add = [&items](DWORD id, const char* cls, std::string text, short x, short y, short cx, short cy, DWORD style) {
        items.push_back({id, cls, std::move(text), x, y, cx, cy, style});
    };
    add(0xFFFB, "static", "", 5, 20, 130, 130, kChild | SS_GRAYFRAME | SS_SUNKEN);
    add(100, "filterpreview", "", 6, 21, 128, 128, kChild);
    const short rows[8] = {27, 44, 60, 78, 95, 111, 129, 145};
    for (int i = 0; i < 8; ++i) {
        const auto n = static_cast<DWORD>(i);
        add(101 + n, "static", "Slider &" + std::to_string(i + 1) + ":", 139, rows[i], 36, 8, kChild | SS_LEFT);
        add(201 + n, "msctls_trackbar32", "", 177, rows[i], 116, 16, kChild | TBS_HORZ | WS_TABSTOP);
        add(301 + n, "edit", "", 295, rows[i], 21, 12,
            kChild | WS_BORDER | WS_TABSTOP | ES_NUMBER | ES_AUTOHSCROLL | ES_RIGHT);
    }
    add(400, "static", "C&ust.Colors:", 5, 166, 38, 8, kChild | SS_LEFT);
    for (int k = 0; k < 6; ++k) {
        const auto n = static_cast<DWORD>(k);
        const auto dx = static_cast<short>(20 * k);
        add(491 + n, "static", "", static_cast<short>(47 + dx), 166, 16, 14, kChild | SS_GRAYFRAME | SS_SUNKEN | WS_TABSTOP);
        add(401 + n, "button", "Col" + std::to_string(k + 1), static_cast<short>(48 + dx), 167, 14, 12,
            kChild | BS_OWNERDRAW | WS_TABSTOP);
    }
    const short check_x[3] = {179, 229, 279};
    for (int k = 0; k < 3; ++k) {
        add(501 + static_cast<DWORD>(k), "button", "Check " + std::to_string(k + 1), check_x[k], 170, 48, 10,
            kChild | BS_AUTOCHECKBOX | WS_TABSTOP);
    }
    add(600, "static", "Se&lector:", 139, 7, 35, 8, kChild | SS_LEFT);
    add(601, "combobox", "", 181, 5, 92, 98, kChild | CBS_DROPDOWNLIST | CBS_HASSTRINGS | WS_VSCROLL | WS_TABSTOP);
    add(610, "button", "Reset", 276, 4, 40, 14, kPush);
    const short marker_x[6] = {6, 29, 51, 73, 93, 113};
    for (int k = 0; k < 6; ++k) {
        add(801 + static_cast<DWORD>(k), "button", std::to_string(k + 1), marker_x[k], 153, 19, 10,
            kChild | BS_AUTORADIOBUTTON);
    }
    add(0xFFFE, "static", "Preview:", 4, 7, 35, 8, kChild | SS_LEFT);
    add(1, "button", "&OK", 235, 191, 40, 14, kPush);
    add(2, "button", "&Cancel", 277, 191, 40, 14, kPush);
    add(0xFFFD, "static", "", 3, 182, 131, 24, kChild | SS_CENTER | SS_SUNKEN);
    add(10, "button", "&About..", 137, 191, 40, 14, kPush);
    add(12, "button", "&Help", 184, 191, 40, 14, kPush);
    add(91, "button", "&+", 40, 5, 14, 12, kPush);
    add(92, "button", "&-", 57, 5, 14, 12, kPush);
    add(110, "static", "1:16", 75, 7, 17, 8, kChild | SS_LEFT);
    add(93, "button", "Filtering", 93, 6, 41, 10, kChild | BS_AUTOCHECKBOX | WS_TABSTOP);
    return items;
}

class DialogResources : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_NE(module.handle(), nullptr) << "LoadLibrary error " << module.load_error(); }

    bool LoadTemplate(DialogTemplate* out) const {
        HRSRC resource = FindResourceA(module.handle(), "FCREATOR", MAKEINTRESOURCEA(5));  // RT_DIALOG
        if (resource == nullptr) return false;
        HGLOBAL loaded = LoadResource(module.handle(), resource);
        if (loaded == nullptr) return false;
        return ReadTemplate(static_cast<const std::uint8_t*>(LockResource(loaded)),
                            SizeofResource(module.handle(), resource), out);
    }

    LoadedModule module;
};

TEST_F(DialogResources, TheDialogFrameIsAnExtendedTemplateWithTheHelvFont) {
    DialogTemplate dialog;
    ASSERT_TRUE(LoadTemplate(&dialog));
    EXPECT_EQ(dialog.x, 23);
    EXPECT_EQ(dialog.y, 18);
    EXPECT_EQ(dialog.cx, 321);
    EXPECT_EQ(dialog.cy, 210);
    EXPECT_EQ(dialog.caption, "Vextrel STANDALONE VERSION");
    EXPECT_EQ(dialog.point_size, 8);
    EXPECT_EQ(dialog.typeface, "Helv");
    for (DWORD flag : {DWORD{WS_CAPTION}, DWORD{WS_SYSMENU}, DWORD{DS_MODALFRAME}, DWORD{DS_3DLOOK},
                       DWORD{DS_CONTEXTHELP}, DWORD{WS_VISIBLE}}) {
        EXPECT_EQ(dialog.style & flag, flag) << "style 0x" << std::hex << dialog.style << " lacks 0x" << flag;
    }
}

TEST_F(DialogResources, EveryControlAsTheTableGivesItInTabOrder) {
    DialogTemplate dialog;
    ASSERT_TRUE(LoadTemplate(&dialog));
    const std::vector<TemplateItem> expected = ExpectedItems();
    ASSERT_EQ(dialog.items.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        const TemplateItem& got = dialog.items[i];
        const TemplateItem& want = expected[i];
        SCOPED_TRACE("item " + std::to_string(i) + ", id " + std::to_string(want.id));
        EXPECT_EQ(got.id, want.id);
        EXPECT_EQ(got.class_name, want.class_name);
        EXPECT_EQ(got.text, want.text);
        EXPECT_EQ(got.x, want.x);
        EXPECT_EQ(got.y, want.y);
        EXPECT_EQ(got.cx, want.cx);
        EXPECT_EQ(got.cy, want.cy);
        EXPECT_EQ(got.style, want.style) << std::hex << got.style << " vs " << want.style;
    }
}

TEST_F(DialogResources, ThePickerCursorLoadsWithItsHotSpotInTheMiddle) {
    HCURSOR cursor = LoadCursorA(module.handle(), "FPICKER");
    ASSERT_NE(cursor, nullptr);
    ICONINFO info{};
    ASSERT_TRUE(GetIconInfo(cursor, &info));
    EXPECT_FALSE(info.fIcon);
    EXPECT_EQ(info.xHotspot, 16u);
    EXPECT_EQ(info.yHotspot, 15u);
    if (info.hbmMask != nullptr) DeleteObject(info.hbmMask);
    if (info.hbmColor != nullptr) DeleteObject(info.hbmColor);
}

}  // namespace
}  // namespace tessellon::testing
