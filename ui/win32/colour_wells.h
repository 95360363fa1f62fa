// The dialog's colour wells: owner-drawn buttons showing the filter's colours, the
// host's colour picker, and picking a colour from the preview. Translate only.
#pragma once

#include <windows.h>

namespace tessellon {

constexpr int kFirstColourWellId = 401;

// WM_DRAWITEM of well k.
void PaintColourWell(int k, const DRAWITEMSTRUCT& item) noexcept;
// The dialog's command for well k: the host's picker, or with Shift a pick from the
// preview.
void ColourWellPressed(HWND dialog, int k) noexcept;
// From the preview, with an image position: the well follows the mouse; a click fixes
// the colour and ends the pick.
void FollowColourPick(int x, int y) noexcept;
void FinishColourPick(int x, int y) noexcept;

}  // namespace tessellon
