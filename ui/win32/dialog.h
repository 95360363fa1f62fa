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

// The name of the dialog template to create: "FCREATOR", or the one a test block names.
const char* DialogTemplateName() noexcept;

#if defined(TESSELLON_TEST_BLOCKS)
// Test-only module: changes fields of the live definition block as the environment
// variable TESSELLON_TEST_BLOCK says, so that one module can show the dialog of other
// filters. The shipped module is built without it.
void ApplyTestBlockVariant() noexcept;
// The template a test block names instead of "FCREATOR", or null.
const char* TestBlockTemplateName() noexcept;
#endif

}  // namespace tessellon
