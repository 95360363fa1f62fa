// The Windows library entry: translate only. It runs the same load and unload steps
// that the native build calls explicitly, with the common controls and the preview
// window class as the windowing to set up.
#include <windows.h>
#include <commctrl.h>

#include "shell/host.h"
#include "ui/win32/preview_window.h"

namespace {

void AttachWindowing(tessellon::ModuleHandle module) {
    InitCommonControls();  // the dialog's trackbars
    tessellon::RegisterPreviewClass(static_cast<HINSTANCE>(module));
}

void DetachWindowing(tessellon::ModuleHandle module) {
    tessellon::UnregisterPreviewClass(static_cast<HINSTANCE>(module));
}

constexpr tessellon::WindowingHooks kWindowing{AttachWindowing, DetachWindowing};

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) noexcept {
    switch (reason) {
        case DLL_PROCESS_ATTACH:
            tessellon::LoadModule(instance, &kWindowing);
            break;
        case DLL_PROCESS_DETACH:
            tessellon::UnloadModule(&kWindowing);
            break;
        default:
            break;
    }
    return TRUE;
}
