// The filter dialog "FCREATOR" on Windows: the dialog procedure and the steps it shares
// with Reset and painting. Translate only: every decision lives in ui/dialog_model.
#pragma once

#include <windows.h>

namespace tessellon {

// The dialog procedure of "FCREATOR".
INT_PTR CALLBACK FilterDialogProc(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam) noexcept;

// Fills every control from the definition block and control_values: captions, ranges,
// positions, number boxes, check boxes, the selector list, and hides the controls the
// filter does not use. It never shows a control again.
void SetUpControls(HWND dialog) noexcept;

// Plays the background picture into (left, top)..(right, bottom); without a picture, or
// for a rectangle of 4 pixels or less across, draws a white rectangle with a black rim.
void DrawBackgroundPicture(HDC dc, int left, int top, int right, int bottom) noexcept;

// The dialog's variant, one per module, linked in beside this file: before each dialog
// it may change the live definition block, and it names the dialog template to create.
// The shipped module's (ui/win32/dialog_variant.cpp) changes nothing and names
// "FCREATOR"; a module built for the tests links one of its own in its place.
void PrepareDialogVariant() noexcept;
const char* DialogTemplateName() noexcept;

}  // namespace tessellon
