// Module-wide host state and the load and unload steps, shared by DllMain on Windows
// and by the native build's explicit load. No Windows headers.
#include "filter/definition.h"
#include "shell/host.h"

namespace tessellon {

ModuleHandle module_instance = nullptr;
psapi::FilterRecord* filter_record = nullptr;
std::intptr_t* data_slot = nullptr;
std::int32_t parameters_requested = 0;
std::int32_t host_kind = 0;
std::int32_t preview_zoom = 1;

void LoadModule(ModuleHandle module, const WindowingHooks* windowing) noexcept {
    module_instance = module;
    if (windowing != nullptr && windowing->attach != nullptr) windowing->attach(module);
    VerifyDefinitionBlock();
}

void UnloadModule(const WindowingHooks* windowing) noexcept {
    if (windowing != nullptr && windowing->detach != nullptr) windowing->detach(module_instance);
}

WindowHandle HostWindow() noexcept {
    if (filter_record == nullptr || filter_record->platformData == nullptr) return nullptr;
    const auto* platform = static_cast<const psapi::PlatformData*>(filter_record->platformData);
    return reinterpret_cast<WindowHandle>(platform->hwnd);
}

}  // namespace tessellon
