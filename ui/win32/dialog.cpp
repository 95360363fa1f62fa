// The filter dialog on Windows. The procedure moves values between the dialog's
// controls and the live control values; slider steps, number-box correction, the
// selector list and the picture header are decided by ui/dialog_model. The preview's
// controls (zoom, "Filtering", markers) and the colour wells are served by
// ui/win32/preview_window and ui/win32/colour_wells. Translate only.
#include "ui/win32/dialog.h"

#include <commctrl.h>
#include <shellapi.h>

#include <cstdio>
#include <cstring>

#include "filter/definition.h"
#include "hostapi/host_state.h"
#include "resources/resource_ids.h"
#include "runtime/block_format.h"
#include "runtime/context.h"
#include "ui/dialog_model.h"
#include "ui/dialog_run.h"
#include "ui/preview_view.h"
#include "ui/settings.h"
#include "ui/win32/colour_wells.h"
#include "ui/win32/preview_window.h"

namespace tessellon {
namespace {

constexpr int kColourWellCount = 6;
constexpr int kMarkerButtonCount = 6;

HWND Item(HWND dialog, int id) noexcept { return GetDlgItem(dialog, id); }

void Hide(HWND dialog, int id) noexcept { ShowWindow(Item(dialog, id), SW_HIDE); }

// Every change of a control value schedules a new preview render.
void ParametersChanged(HWND dialog) noexcept { NotifyPreview(dialog, kPreviewParametersChanged); }

const ControlRecord& SliderRecord(int row) noexcept { return definition_block.controls[row]; }

void SetTrackbarPosition(HWND dialog, int row, std::int32_t value) noexcept {
    SendDlgItemMessageA(dialog, IDC_TRACKBAR + row, TBM_SETPOS, TRUE, static_cast<LPARAM>(value));
}

// Setting the text makes the box send EN_CHANGE, which reads it back (NumberBoxChanged).
void SetNumberBox(HWND dialog, int row, std::int32_t value) noexcept {
    SetDlgItemInt(dialog, IDC_NUMBER_BOX + row, static_cast<UINT>(value), TRUE);
}

// A text field of the block, cut at its field's end in case its terminator is missing.
template <std::size_t N>
void CopyField(char (&target)[N], const char* field, std::size_t field_size) noexcept {
    std::snprintf(target, N, "%.*s", static_cast<int>(field_size - 1), field);
}

// The zoom label is transparent over a background picture: before its text changes,
// the picture under it is redrawn, which wipes the old text.
void EraseUnderZoomLabel(HWND dialog) noexcept {
    HWND label = Item(dialog, IDC_ZOOM_LABEL);
    if (!HaveBackgroundPicture() || label == nullptr) return;
    RECT area;
    GetWindowRect(label, &area);
    MapWindowPoints(nullptr, dialog, reinterpret_cast<POINT*>(&area), 2);
    InvalidateRect(dialog, &area, TRUE);
}

SIZE PreviewClientSize(HWND dialog) noexcept {
    RECT client{};
    GetClientRect(Item(dialog, IDC_PREVIEW), &client);
    return {client.right - client.left, client.bottom - client.top};
}

void OpenHelp(HWND dialog) noexcept {
    if (definition_block.help_target[0] == '\0') return;
    char target[sizeof definition_block.help_target];
    CopyField(target, definition_block.help_target, sizeof definition_block.help_target);
    // The shell's answer is not examined: a document that cannot be opened is the
    // shell's to report.
    ShellExecuteA(dialog, "open", target, nullptr, Settings().module_directory, SW_SHOWNORMAL);
}

void SliderScrolled(HWND dialog, int row, WPARAM wparam) noexcept {
    const ControlRecord& record = SliderRecord(row);
    const std::int32_t value = SliderStep(static_cast<std::uint32_t>(wparam), Live().controls[row], record.min, record.max);
    Live().controls[row] = value;
    SetNumberBox(dialog, row, value);
    SetTrackbarPosition(dialog, row, value);
    ParametersChanged(dialog);
}

void NumberBoxChanged(HWND dialog, int row) noexcept {
    char text[64] = {};
    GetDlgItemTextA(dialog, IDC_NUMBER_BOX + row, text, static_cast<int>(sizeof text));
    const ControlRecord& record = SliderRecord(row);
    const NumberBoxReading reading = ReadNumberBox(text, record.min, record.max);
    if (reading.value != Live().controls[row]) SetTrackbarPosition(dialog, row, reading.value);
    Live().controls[row] = reading.value;
    // Writing the corrected text back raises EN_CHANGE once more, with a valid value.
    if (reading.corrected) SetNumberBox(dialog, row, reading.value);
    ParametersChanged(dialog);
}

void CheckBoxClicked(HWND dialog, int k) noexcept {
    Live().controls[CheckBoxRecordOf(k)] = IsDlgButtonChecked(dialog, IDC_CHECK_BOX + k) == BST_CHECKED ? 1 : 0;
    ParametersChanged(dialog);
}

void SelectorChanged(HWND dialog) noexcept {
    const LRESULT selection = SendDlgItemMessageA(dialog, IDC_SELECTOR, CB_GETCURSEL, 0, 0);
    if (selection == CB_ERR || selection == Live().controls[kSelectorRecord]) return;
    Live().controls[kSelectorRecord] = static_cast<std::int32_t>(selection);
    ParametersChanged(dialog);
}

void Reset(HWND dialog) noexcept {
    ApplyControlDefaults();
    SetUpControls(dialog);
}

void RepaintColourWells(HWND dialog) noexcept {
    for (int k = 0; k < kColourWellCount; ++k) InvalidateRect(Item(dialog, IDC_COLOUR_WELL + k), nullptr, TRUE);
}

BOOL Initialise(HWND dialog) noexcept {
    Live().dialog_window = dialog;
    if (Item(dialog, IDC_LARGE_PREVIEW) != nullptr) Preview().large_preview_present = true;

    char text[sizeof definition_block.title];
    CopyField(text, definition_block.filter_name, sizeof definition_block.filter_name);
    SetWindowTextA(dialog, text);
    if (definition_block.title[0] != '\0') {
        CopyField(text, definition_block.title, sizeof definition_block.title);
        SetDlgItemTextA(dialog, IDC_TITLE_BOX, text);
    } else {
        Hide(dialog, IDC_TITLE_BOX);
    }

    ApplyControlDefaults();
    LoadSettings();
    ApplyScriptedValues();
    SetUpControls(dialog);

    const std::int32_t sampling = Host().record != nullptr ? Host().record->samplingSupport : 0;
    const SIZE size = PreviewClientSize(dialog);
    const std::int32_t image_width = Host().record != nullptr ? Host().record->imageSize.h : 0;
    const std::int32_t image_height = Host().record != nullptr ? Host().record->imageSize.v : 0;
    Preview().fit_zoom = Host().preview_zoom = ComputeFitZoom(size.cx, size.cy, image_width, image_height);
    if (sampling == 0) Host().preview_zoom = 1;

    for (int row = 0; row < kSliderCount; ++row) {
        SetTrackbarPosition(dialog, row, Live().controls[row]);
        SetNumberBox(dialog, row, Live().controls[row]);
    }
    RepaintColourWells(dialog);
    NotifyPreview(dialog, kPreviewRendering, 1);

    if (sampling == 0) {
        EnableWindow(Item(dialog, IDC_ZOOM_IN), FALSE);
        EnableWindow(Item(dialog, IDC_ZOOM_OUT), FALSE);
    }
    EraseUnderZoomLabel(dialog);
    SetZoomLabel(dialog);

    // The host did not ask for parameters: the run takes the values just loaded, and
    // nothing is saved.
    if (Dialog().show == 0) EndDialog(dialog, 1);

    Preview().filtering_enabled = 1;
    CheckDlgButton(dialog, IDC_FILTERING, BST_CHECKED);
    return TRUE;
}

INT_PTR Command(HWND dialog, int id, int notification) noexcept {
    if (id >= IDC_NUMBER_BOX && id < IDC_NUMBER_BOX + kSliderCount) {
        if (notification == EN_CHANGE) NumberBoxChanged(dialog, id - IDC_NUMBER_BOX);
        return TRUE;
    }
    if (id >= IDC_COLOUR_WELL && id < IDC_COLOUR_WELL + kColourWellCount) {
        ColourWellPressed(dialog, id - IDC_COLOUR_WELL);
        return TRUE;
    }
    if (id >= IDC_CHECK_BOX && id < IDC_CHECK_BOX + kCheckBoxCount) {
        CheckBoxClicked(dialog, id - IDC_CHECK_BOX);
        return TRUE;
    }
    if (id >= IDC_MARKER && id < IDC_MARKER + kMarkerButtonCount) {
        MarkerButtonClicked(dialog, id);
        return TRUE;
    }
    switch (id) {
        case IDOK:
            SaveSettings();
            EndDialog(dialog, 1);
            return 1;
        case IDCANCEL:
            // Cancel keeps what the user set, exactly as OK does.
            SaveSettings();
            EndDialog(dialog, 0);
            return TRUE;
        case IDC_ABOUT:
            Dialog().run->ShowAbout(dialog);
            return TRUE;
        case IDC_HELP_BUTTON:
            OpenHelp(dialog);
            return TRUE;
        case IDC_ZOOM_IN:
        case IDC_ZOOM_OUT:
            EraseUnderZoomLabel(dialog);
            ZoomPreview(dialog, id == IDC_ZOOM_IN ? ZoomDirection::in : ZoomDirection::out);
            return TRUE;
        case IDC_FILTERING:
            FilteringToggled(dialog);
            return TRUE;
        case IDC_SELECTOR:
            SelectorChanged(dialog);
            return TRUE;
        case IDC_RESET:
            Reset(dialog);
            return TRUE;
        default:
            return FALSE;
    }
}

void PaintBackground(HWND dialog) noexcept {
    PAINTSTRUCT paint;
    HDC dc = BeginPaint(dialog, &paint);
    RECT client;
    GetClientRect(dialog, &client);
    FillRect(dc, &client, static_cast<HBRUSH>(GetStockObject(LTGRAY_BRUSH)));
    DrawBackgroundPicture(dc, client.left, client.top, client.right, client.bottom);
    EndPaint(dialog, &paint);
}

INT_PTR TransparentOverPicture(HDC dc) noexcept {
    SetBkMode(dc, TRANSPARENT);
    return reinterpret_cast<INT_PTR>(GetStockObject(NULL_BRUSH));
}

// Runs the dialog modally; -1 when the platform cannot create it, and the caller then
// runs with the current values.
INT_PTR RunModal(HWND owner) noexcept {
    const auto module = static_cast<HINSTANCE>(Host().module);
    const char* name = DialogTemplateName();
    if (Dialog().show != 0) return DialogBoxParamA(module, name, owner, FilterDialogProc, 0);
    // The dialog ends itself during its initialisation. Some dialog managers show a
    // template's visible dialog after its initialisation even when it has ended there;
    // a copy without the visible style is never shown.
    HRSRC resource = FindResourceA(module, name, MAKEINTRESOURCEA(5));  // RT_DIALOG
    HGLOBAL loaded = resource != nullptr ? LoadResource(module, resource) : nullptr;
    const void* bytes = loaded != nullptr ? LockResource(loaded) : nullptr;
    const DWORD size = resource != nullptr ? SizeofResource(module, resource) : 0;
    auto* copy = bytes != nullptr ? static_cast<std::uint8_t*>(Platform().alloc_zeroed(size)) : nullptr;
    if (copy == nullptr) return DialogBoxParamA(module, name, owner, FilterDialogProc, 0);
    std::memcpy(copy, bytes, size);
    INT_PTR result = -1;
    if (ClearTemplateVisibleStyle(copy, size)) {
        result = DialogBoxIndirectParamA(module, reinterpret_cast<LPCDLGTEMPLATEA>(copy), owner, FilterDialogProc, 0);
    }
    Platform().free_memory(copy);
    return result;
}

}  // namespace

void SetUpControls(HWND dialog) noexcept {
    const DefinitionBlock& block = definition_block;
    for (int row = 0; row < kSliderCount; ++row) {
        const ControlRecord& record = block.controls[row];
        char caption[sizeof record.caption];
        CopyField(caption, record.caption, sizeof record.caption);
        SetDlgItemTextA(dialog, IDC_SLIDER_CAPTION + row, caption);
        if (record.enabled == 0) {
            Hide(dialog, IDC_SLIDER_CAPTION + row);
            Hide(dialog, IDC_TRACKBAR + row);
            Hide(dialog, IDC_NUMBER_BOX + row);
        }
        // One message: min in the low 16 bits, max in the high 16 bits.
        const auto range = static_cast<LPARAM>(static_cast<DWORD>(static_cast<WORD>(record.min)) |
                                               (static_cast<DWORD>(static_cast<WORD>(record.max)) << 16));
        SendDlgItemMessageA(dialog, IDC_TRACKBAR + row, TBM_SETRANGE, TRUE, range);
        if (Live().controls[row] < record.min) Live().controls[row] = record.min;
        if (Live().controls[row] > record.max) Live().controls[row] = record.max;
        SetTrackbarPosition(dialog, row, Live().controls[row]);
        SetNumberBox(dialog, row, Live().controls[row]);
    }

    for (int k = 0; k < kCheckBoxCount; ++k) {
        const ControlRecord& record = block.controls[CheckBoxRecordOf(k)];
        char caption[sizeof record.caption];
        CopyField(caption, record.caption, sizeof record.caption);
        SetDlgItemTextA(dialog, IDC_CHECK_BOX + k, caption);
        if (record.enabled == 0) Hide(dialog, IDC_CHECK_BOX + k);
        CheckDlgButton(dialog, IDC_CHECK_BOX + k, Live().controls[CheckBoxRecordOf(k)] != 0 ? BST_CHECKED : BST_UNCHECKED);
    }

    if (block.help_target[0] == '\0') Hide(dialog, IDC_HELP_BUTTON);

    if (block.colour_count < 1) Hide(dialog, IDC_COLOUR_CAPTION);
    for (int k = block.colour_count < 0 ? 0 : block.colour_count; k < kColourWellCount; ++k) {
        Hide(dialog, IDC_COLOUR_WELL + k);
        Hide(dialog, IDC_COLOUR_FRAME + k);
    }
    RepaintColourWells(dialog);

    if (block.controls[kSelectorRecord].enabled == 0) {
        Hide(dialog, IDC_SELECTOR_CAPTION);
        Hide(dialog, IDC_SELECTOR);
    }
    SendDlgItemMessageA(dialog, IDC_SELECTOR, CB_RESETCONTENT, 0, 0);
    for (const std::string& item : ParseSelectorItems(block.selector_items, sizeof block.selector_items)) {
        SendDlgItemMessageA(dialog, IDC_SELECTOR, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(item.c_str()));
    }
    // An index outside the list leaves no item selected.
    SendDlgItemMessageA(dialog, IDC_SELECTOR, CB_SETCURSEL, static_cast<WPARAM>(Live().controls[kSelectorRecord]), 0);

    for (int k = block.point_count < 0 ? 0 : block.point_count; k < kMarkerButtonCount; ++k) {
        Hide(dialog, IDC_MARKER + k);
    }
}

void DrawBackgroundPicture(HDC dc, int left, int top, int right, int bottom) noexcept {
    PlaceableHeader header{};
    if (!HaveBackgroundPicture() || right - left <= 4 || bottom - top <= 4 ||
        !ReadPlaceableHeader(Dialog().background_picture.bytes, Dialog().background_picture.length, &header)) {
        SelectObject(dc, GetStockObject(BLACK_PEN));
        SelectObject(dc, GetStockObject(WHITE_BRUSH));
        Rectangle(dc, left, top, right + 1, bottom + 1);
        return;
    }
    const int saved = SaveDC(dc);
    SetMapMode(dc, MM_ANISOTROPIC);
    const int u = header.units_per_inch;
    SetWindowOrgEx(dc, header.left * u, header.top * u, nullptr);
    SetWindowExtEx(dc, (header.right - header.left) * u, (header.bottom - header.top) * u, nullptr);
    SetViewportOrgEx(dc, left, top, nullptr);
    SetViewportExtEx(dc, right - left, bottom - top, nullptr);
    const std::int32_t records = Dialog().background_picture.length - kPlaceableHeaderSize;
    if (records > 0) {
        HMETAFILE metafile = SetMetaFileBitsEx(static_cast<UINT>(records), Dialog().background_picture.bytes + kPlaceableHeaderSize);
        if (metafile != nullptr) {
            PlayMetaFile(dc, metafile);
            DeleteMetaFile(metafile);
        }
    }
    RestoreDC(dc, saved);
    SelectObject(dc, GetStockObject(BLACK_PEN));
}

INT_PTR CALLBACK FilterDialogProc(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam) noexcept {
    switch (message) {
        case WM_INITDIALOG:
            return Initialise(dialog);
        case WM_COMMAND:
            return Command(dialog, LOWORD(wparam), HIWORD(wparam));
        case WM_HSCROLL: {
            const int id = GetDlgCtrlID(reinterpret_cast<HWND>(lparam));
            if (id < IDC_TRACKBAR || id >= IDC_TRACKBAR + kSliderCount) return FALSE;
            SliderScrolled(dialog, id - IDC_TRACKBAR, wparam);
            return TRUE;
        }
        case WM_DRAWITEM: {
            const int id = static_cast<int>(wparam);
            if (id < IDC_COLOUR_WELL || id >= IDC_COLOUR_WELL + kColourWellCount) return FALSE;
            PaintColourWell(id - IDC_COLOUR_WELL, *reinterpret_cast<const DRAWITEMSTRUCT*>(lparam));
            return TRUE;
        }
        case WM_HELP:
            OpenHelp(dialog);
            return TRUE;
        case WM_PAINT:
            if (HaveBackgroundPicture()) PaintBackground(dialog);
            return FALSE;
        case WM_CTLCOLORBTN:
        case WM_CTLCOLORDLG:
            if (!HaveBackgroundPicture()) return FALSE;
            return TransparentOverPicture(reinterpret_cast<HDC>(wparam));
        case WM_CTLCOLORSTATIC: {
            if (!HaveBackgroundPicture()) return FALSE;
            const int id = GetDlgCtrlID(reinterpret_cast<HWND>(lparam));
            if (id >= IDC_TRACKBAR && id < IDC_TRACKBAR + kSliderCount) {
                return reinterpret_cast<INT_PTR>(GetStockObject(LTGRAY_BRUSH));
            }
            return TransparentOverPicture(reinterpret_cast<HDC>(wparam));
        }
        default:
            return FALSE;
    }
}

std::int32_t RunFilterDialog(std::int32_t show, WindowHandle owner, DialogRun& run) noexcept {
    Dialog().run = &run;
    PrepareDialogVariant();
    LoadBackgroundPicture();
    for (MarkerPoint& point : Live().markers) point = {-1, -1};
    Dialog().show = show;
    const INT_PTR result = RunModal(static_cast<HWND>(owner));
    // The host drops the image data it fetched for the preview.
    ReleaseHostData();
    ReleaseBackgroundPicture();
    Dialog().run = nullptr;
    return static_cast<std::int32_t>(result);
}

}  // namespace tessellon
