// The "FilterPreview" window of the dialog's preview, and the dialog commands that
// steer it (zoom buttons, "Filtering", marker buttons). Translate only: the decisions
// live in ui/preview_view and shell/render_preview.
#pragma once

#include <windows.h>

#include "ui/preview_view.h"

namespace tessellon {

constexpr char kPreviewClassName[] = "FilterPreview";
constexpr int kPreviewId = 100;
constexpr int kLargePreviewId = 1100;
constexpr int kZoomInId = 91;
constexpr int kZoomOutId = 92;
constexpr int kFilteringId = 93;
constexpr int kZoomLabelId = 110;
constexpr int kFirstMarkerButtonId = 801;

// Private message to the preview: wParam 1 = parameters changed; 2 = rendering on/off
// (lParam 1 or 0).
constexpr UINT kPreviewMessage = WM_USER;
constexpr WPARAM kPreviewParametersChanged = 1;
constexpr WPARAM kPreviewRendering = 2;

void RegisterPreviewClass(HINSTANCE module) noexcept;
void UnregisterPreviewClass(HINSTANCE module) noexcept;

// Dialog commands served by the preview.
void ZoomPreview(HWND dialog, ZoomDirection direction) noexcept;
void SetZoomLabel(HWND dialog) noexcept;
void FilteringToggled(HWND dialog) noexcept;
void MarkerButtonClicked(HWND dialog, int id) noexcept;

// Sends the preview its private message.
void NotifyPreview(HWND dialog, WPARAM code, LPARAM value = 0) noexcept;

}  // namespace tessellon
