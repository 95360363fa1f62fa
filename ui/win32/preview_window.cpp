// The "FilterPreview" window class. The window paints its client area grey until the
// preview renderer is wired to it. Translate only.
#include "ui/win32/preview_window.h"

namespace tessellon {
namespace {

LRESULT CALLBACK PreviewWindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) noexcept {
    if (message == WM_PAINT) {
        PAINTSTRUCT paint;
        HDC dc = BeginPaint(window, &paint);
        FillRect(dc, &paint.rcPaint, static_cast<HBRUSH>(GetStockObject(LTGRAY_BRUSH)));
        EndPaint(window, &paint);
        return 0;
    }
    return DefWindowProcA(window, message, wparam, lparam);
}

}  // namespace

void RegisterPreviewClass(HINSTANCE module) noexcept {
    WNDCLASSA window_class{};
    window_class.style = CS_HREDRAW | CS_VREDRAW;
    window_class.lpfnWndProc = PreviewWindowProc;
    window_class.hInstance = module;
    window_class.hCursor = LoadCursor(nullptr, IDC_ARROW);
    window_class.lpszClassName = kPreviewClassName;
    RegisterClassA(&window_class);
}

void UnregisterPreviewClass(HINSTANCE module) noexcept { UnregisterClassA(kPreviewClassName, module); }

}  // namespace tessellon
