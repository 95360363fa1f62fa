// The "FilterPreview" window class of the dialog's preview. Translate only.
#pragma once

#include <windows.h>

namespace tessellon {

constexpr char kPreviewClassName[] = "FilterPreview";

void RegisterPreviewClass(HINSTANCE module) noexcept;
void UnregisterPreviewClass(HINSTANCE module) noexcept;

}  // namespace tessellon
