/* Names and control ids of the filter dialog's resources. Plain C: windres reads it too.
   The ids follow one scheme that the dialog procedure relies on: slider row i (0..7) has
   caption 101 + i, trackbar 201 + i and number box 301 + i; colour well k (0..5) is
   401 + k inside frame 491 + k; check box k (0..2) is 501 + k; marker button k (0..5)
   is 801 + k. */
#pragma once

#define TESSELLON_DIALOG_TEMPLATE "FCREATOR"
#define TESSELLON_PICKER_CURSOR "FPICKER"

#define IDC_PREVIEW_FRAME 0xFFFB
#define IDC_PREVIEW 100
#define IDC_LARGE_PREVIEW 1100
#define IDC_SLIDER_CAPTION 101 /* ... 108 */
#define IDC_TRACKBAR 201       /* ... 208 */
#define IDC_NUMBER_BOX 301     /* ... 308 */
#define IDC_COLOUR_CAPTION 400
#define IDC_COLOUR_WELL 401  /* ... 406 */
#define IDC_COLOUR_FRAME 491 /* ... 496 */
#define IDC_CHECK_BOX 501    /* ... 503 */
#define IDC_SELECTOR_CAPTION 600
#define IDC_SELECTOR 601
#define IDC_RESET 610
#define IDC_MARKER 801 /* ... 806 */
#define IDC_PREVIEW_CAPTION 0xFFFE
#define IDC_TITLE_BOX 0xFFFD
#define IDC_ABOUT 10
#define IDC_HELP_BUTTON 12
#define IDC_ZOOM_IN 91
#define IDC_ZOOM_OUT 92
#define IDC_FILTERING 93
#define IDC_ZOOM_LABEL 110
