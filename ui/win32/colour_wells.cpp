// Colour wells. Translate only: the colour requests and picks are in ui/colour_pick.
#include "ui/win32/colour_wells.h"

#include "filter/definition.h"
#include "runtime/block_format.h"
#include "ui/colour_pick.h"
#include "ui/preview_view.h"
#include "ui/win32/preview_window.h"

namespace tessellon {
namespace {

HWND pick_dialog = nullptr;

COLORREF ColourOf(int k) noexcept { return static_cast<COLORREF>(definition_block.colours[k]); }

void RepaintWell(HWND dialog, int k, BOOL erase) noexcept {
    if (HWND well = GetDlgItem(dialog, kFirstColourWellId + k)) InvalidateRect(well, nullptr, erase);
}

}  // namespace

void PaintColourWell(int k, const DRAWITEMSTRUCT& item) noexcept {
    if (k < 0 || k >= definition_block.colour_count || k >= 6) {
        FillRect(item.hDC, &item.rcItem, static_cast<HBRUSH>(GetStockObject(LTGRAY_BRUSH)));
        return;
    }
    const HGDIOBJ old_pen = SelectObject(item.hDC, GetStockObject(BLACK_PEN));
    HBRUSH brush = CreateSolidBrush(ColourOf(k));
    const HGDIOBJ old_brush = SelectObject(item.hDC, brush);
    Rectangle(item.hDC, item.rcItem.left, item.rcItem.top, item.rcItem.right, item.rcItem.bottom);
    SelectObject(item.hDC, GetStockObject(NULL_BRUSH));
    DeleteObject(brush);
    SelectObject(item.hDC, old_brush);
    SelectObject(item.hDC, old_pen);
}

void ColourWellPressed(HWND dialog, int k) noexcept {
    if (k < 0 || k >= definition_block.colour_count || k >= 6) return;
    NotifyPreview(dialog, kPreviewRendering, 0);  // the preview shows the source meanwhile
    if ((GetKeyState(VK_SHIFT) & 0x8000) == 0) {
        ChooseColourWithHost(k);
        NotifyPreview(dialog, kPreviewRendering, 1);
        NotifyPreview(dialog, kPreviewParametersChanged);
        RepaintWell(dialog, k, FALSE);
        return;
    }
    Preview().pick_slot = k;
    pick_dialog = dialog;
    Preview().pick_mode = true;
}

void FollowColourPick(int x, int y) noexcept {
    if (PickColourAt(x, y) && pick_dialog != nullptr) RepaintWell(pick_dialog, Preview().pick_slot, TRUE);
}

void FinishColourPick(int x, int y) noexcept {
    FollowColourPick(x, y);
    Preview().pick_mode = false;
    if (pick_dialog == nullptr) return;
    NotifyPreview(pick_dialog, kPreviewRendering, 1);
    NotifyPreview(pick_dialog, kPreviewParametersChanged);
    RepaintWell(pick_dialog, Preview().pick_slot, FALSE);
}

}  // namespace tessellon
