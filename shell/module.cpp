// The load and unload steps, shared by DllMain on Windows and by the native build's
// explicit load. No Windows headers.
#include "filter/definition.h"
#include "hostapi/host_state.h"
#include "shell/host.h"

namespace tessellon {

void LoadModule(ModuleHandle module, const WindowingHooks* windowing) noexcept {
    Host().module = module;
    if (windowing != nullptr && windowing->attach != nullptr) windowing->attach(module);
    VerifyDefinitionBlock();
}

void UnloadModule(const WindowingHooks* windowing) noexcept {
    if (windowing != nullptr && windowing->detach != nullptr) windowing->detach(Host().module);
}

}  // namespace tessellon
