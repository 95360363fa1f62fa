// The "FilterPreview" window: timers for the render debounce and the marker blink,
// paint through the preview renderer, panning, marker clicks and colour picking.
// Translate only.
#include "ui/win32/preview_window.h"

#include <windowsx.h>

#include "filter/definition.h"
#include "hostapi/host_state.h"
#include "runtime/block_format.h"
#include "runtime/context.h"
#include "ui/colour_pick.h"
#include "ui/dialog_model.h"
#include "ui/dialog_run.h"
#include "ui/win32/colour_wells.h"

namespace tessellon {
namespace {

constexpr UINT_PTR kDebounceTimer = 1;
constexpr UINT_PTR kBlinkTimer = 2;

HCURSOR arrow_cursor = nullptr;
HCURSOR pan_cursor = nullptr;
HCURSOR picker_cursor = nullptr;
HCURSOR current_cursor = nullptr;
POINT last_mouse{};

// Drawing on the preview through the GDI.
class GdiCanvas : public PreviewCanvas {
public:
    explicit GdiCanvas(HDC dc) : dc_(dc) {}
    void* Context() override { return dc_; }
    void FillGrey(std::int32_t left, std::int32_t top, std::int32_t right, std::int32_t bottom) override {
        const RECT area{left, top, right, bottom};
        FillRect(dc_, &area, static_cast<HBRUSH>(GetStockObject(LTGRAY_BRUSH)));
    }
    void DrawCross(std::int32_t x, std::int32_t y, bool black) override {
        const HGDIOBJ old = SelectObject(dc_, GetStockObject(black ? BLACK_PEN : WHITE_PEN));
        MoveToEx(dc_, x - 4, y, nullptr);
        LineTo(dc_, x + 5, y);  // the end point is not drawn
        MoveToEx(dc_, x, y - 4, nullptr);
        LineTo(dc_, x, y + 5);
        SelectObject(dc_, old);
    }
    void DrawTimeLimitText(std::int32_t centre_x, std::int32_t top_y) override {
        static constexpr char kText[] = "Time Limit Exceeded";
        const HGDIOBJ old_font = SelectObject(dc_, GetStockObject(SYSTEM_FONT));
        SetTextColor(dc_, RGB(255, 0, 0));
        SetBkMode(dc_, TRANSPARENT);
        const UINT old_align = SetTextAlign(dc_, TA_CENTER | TA_TOP);
        TextOutA(dc_, centre_x, top_y, kText, static_cast<int>(sizeof kText - 1));
        SetTextAlign(dc_, old_align);
        SelectObject(dc_, old_font);
    }

private:
    HDC dc_;
};

bool IsLargePreview(HWND window) noexcept { return GetDlgCtrlID(window) == kLargePreviewId; }

void Render(HWND window, HDC dc, std::int32_t mode) noexcept {
    RECT client;
    GetClientRect(window, &client);
    // The preview exists only inside the dialog, which knows the run behind it.
    if (Dialog().run == nullptr) return;
    GdiCanvas canvas(dc);
    Dialog().run->RenderPreview(canvas, client.right, client.bottom, Preview().view_offset,
                                Preview().flags.render_quality, mode,
                                Preview().large_preview_present && IsLargePreview(window));
}

// The preview is redrawn without erasing: the renderer paints every pixel.
void Invalidate(HWND window) noexcept {
    InvalidateRect(window, nullptr, FALSE);
    if (Preview().large_preview_present) {
        if (HWND large = GetDlgItem(GetParent(window), kLargePreviewId)) InvalidateRect(large, nullptr, FALSE);
    }
}

ViewPoint ImageAt(LPARAM lparam) noexcept {
    return WindowToImage(GET_X_LPARAM(lparam), GET_Y_LPARAM(lparam), Preview().view_offset, Preview().view_margin, Host().preview_zoom);
}

void UseCursor(HCURSOR cursor) noexcept {
    current_cursor = cursor;
    SetCursor(cursor);
}

void OnCreate(HWND window) noexcept {
    arrow_cursor = LoadCursor(nullptr, IDC_ARROW);
    pan_cursor = LoadCursor(nullptr, IDC_SIZEALL);
    picker_cursor = LoadCursorA(static_cast<HINSTANCE>(Host().module), "FPICKER");
    if (picker_cursor == nullptr) picker_cursor = arrow_cursor;
    UseCursor(arrow_cursor);
    if (GetDlgCtrlID(window) == kPreviewId) {
        SetTimer(window, kDebounceTimer, 500, nullptr);
        SetTimer(window, kBlinkTimer, 1000, nullptr);
    }
    Preview().view_offset = {0, 0};
    Preview().pick_mode = false;
    Preview().flags.render_quality = 1;
    Preview().flags.render_pending = 1;
}

LRESULT CALLBACK PreviewWindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) noexcept {
    const bool large = Preview().large_preview_present && IsLargePreview(window);
    switch (message) {
        case WM_CREATE:
            OnCreate(window);
            return 0;
        case WM_TIMER:
            if (wparam == kDebounceTimer && !large) {
                if (DebounceTick(Preview().flags)) Invalidate(window);
            } else if (wparam == kBlinkTimer) {
                Preview().flags.blink_phase = static_cast<std::int16_t>(1 - Preview().flags.blink_phase);
                HDC dc = GetDC(window);
                Render(window, dc, Preview().flags.blink_phase + 1);
                ReleaseDC(window, dc);
            }
            return 0;
        case WM_PAINT: {
            PAINTSTRUCT paint;
            HDC dc = BeginPaint(window, &paint);
            Render(window, dc, kRenderFull);
            EndPaint(window, &paint);
            return 0;
        }
        case WM_LBUTTONDOWN:
            if (large) return 0;
            if (Preview().pick_mode) {
                const ViewPoint at = ImageAt(lparam);
                FinishColourPick(at.x, at.y);
            }
            UseCursor(pan_cursor);
            last_mouse = {GET_X_LPARAM(lparam), GET_Y_LPARAM(lparam)};
            SetCapture(window);
            return 0;
        case WM_MOUSEMOVE: {
            if (large) return 0;
            const POINT at{GET_X_LPARAM(lparam), GET_Y_LPARAM(lparam)};
            if ((wparam & MK_LBUTTON) != 0) {
                // The image follows the mouse; the quick paint shows the source.
                Preview().view_offset.x -= at.x - last_mouse.x;
                Preview().view_offset.y -= at.y - last_mouse.y;
                Preview().flags.render_quality = 0;
                Invalidate(window);
            } else if (Preview().pick_mode) {
                const ViewPoint image = ImageAt(lparam);
                FollowColourPick(image.x, image.y);
                current_cursor = picker_cursor;
            }
            last_mouse = at;
            SetCursor(current_cursor);  // the class has no cursor of its own
            return 0;
        }
        case WM_LBUTTONUP:
            if (large) return 0;
            UseCursor(Preview().pick_mode ? picker_cursor : arrow_cursor);
            Preview().flags.render_pending = 1;
            ReleaseCapture();
            return 0;
        case WM_RBUTTONDOWN:
            if (large) return 0;
            if (SetMarkerAt(ImageAt(lparam), (wparam & MK_CONTROL) != 0, definition_block.point_count)) {
                CheckRadioButton(GetParent(window), kFirstMarkerButtonId, kFirstMarkerButtonId + 5,
                                 kFirstMarkerButtonId + Live().current_marker);
            }
            return 0;
        case WM_CLOSE:
            if (!large) {
                KillTimer(window, kDebounceTimer);
                KillTimer(window, kBlinkTimer);
            }
            DestroyWindow(window);
            return 0;
        case kPreviewMessage:
            if (large) return 0;
            if (wparam == kPreviewParametersChanged) NoteParametersChanged(Preview().flags);
            if (wparam == kPreviewRendering) Preview().flags.rendering_enabled = static_cast<std::int16_t>(LOWORD(lparam));
            return 0;
        default:
            return DefWindowProcA(window, message, wparam, lparam);
    }
}

}  // namespace

void RegisterPreviewClass(HINSTANCE module) noexcept {
    WNDCLASSA window_class{};
    window_class.lpfnWndProc = PreviewWindowProc;
    window_class.hInstance = module;
    window_class.lpszClassName = kPreviewClassName;
    RegisterClassA(&window_class);
}

void UnregisterPreviewClass(HINSTANCE module) noexcept { UnregisterClassA(kPreviewClassName, module); }

void NotifyPreview(HWND dialog, WPARAM code, LPARAM value) noexcept {
    if (HWND preview = GetDlgItem(dialog, kPreviewId)) SendMessageA(preview, kPreviewMessage, code, value);
}

void SetZoomLabel(HWND dialog) noexcept {
    const std::int32_t sampling = Host().record != nullptr ? Host().record->samplingSupport : 0;
    SetDlgItemTextA(dialog, kZoomLabelId, ZoomLabel(Host().preview_zoom, sampling).c_str());
}

void ZoomPreview(HWND dialog, ZoomDirection direction) noexcept {
    HWND preview = GetDlgItem(dialog, kPreviewId);
    if (preview == nullptr || Host().record == nullptr) return;
    RECT client;
    GetClientRect(preview, &client);
    const bool shift = (GetKeyState(VK_SHIFT) & 0x8000) != 0;
    const ZoomStep step = StepZoom(direction, shift, Host().preview_zoom, Preview().fit_zoom, Host().record->samplingSupport,
                                   client.right, client.bottom, Preview().view_offset);
    Host().preview_zoom = step.zoom;
    if (Host().record->samplingSupport == 0) return;
    Preview().view_offset = step.offset;
    ReleaseHostData();  // the host drops the section fetched at the old zoom
    Invalidate(preview);
    SetZoomLabel(dialog);
}

void FilteringToggled(HWND dialog) noexcept {
    Preview().filtering_enabled = IsDlgButtonChecked(dialog, kFilteringId) == BST_CHECKED ? 1 : 0;
    if (HWND preview = GetDlgItem(dialog, kPreviewId)) Invalidate(preview);
}

void MarkerButtonClicked(HWND dialog, int id) noexcept {
    if (IsDlgButtonChecked(dialog, id) == BST_CHECKED) Live().current_marker = id - kFirstMarkerButtonId;
}

}  // namespace tessellon
