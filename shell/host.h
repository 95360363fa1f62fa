// The module's face to the host: the entry point, the load and unload steps, host
// detection, the About box and the Start selector's run. The host state and the
// wrappers of the host's callbacks that these work on lie one floor down, in
// hostapi/host_state.h. No Windows headers.
#pragma once

#include <cstddef>
#include <cstdint>

#include "hostapi/filter_record.h"
#include "hostapi/host_state.h"
#include "platform/platform.h"

#if defined(_WIN32)
#define TESSELLON_EXPORT __declspec(dllexport)
#else
#define TESSELLON_EXPORT __attribute__((visibility("default")))
#endif

// The host calls this with a selector, its filter record (the about record for About),
// its data word for this plug-in and its result word.
extern "C" TESSELLON_EXPORT void PSAPI_CALL ENTRYPOINT(psapi::int16 selector, void* record,
                                                        std::intptr_t* data,
                                                        psapi::int16* result) noexcept;

namespace tessellon {

// What the module sets up and tears down in the windowing system: the common controls
// and the preview window class. Null where there is no windowing (the native build).
struct WindowingHooks {
    void (*attach)(ModuleHandle module);
    void (*detach)(ModuleHandle module);
};

// The load sequence: module handle, windowing, block verification (which ends the
// process when the block is damaged), entry relocation and the settings key.
void LoadModule(ModuleHandle module, const WindowingHooks* windowing) noexcept;
void UnloadModule(const WindowingHooks* windowing) noexcept;

// Host recognition from the executable's file name; keeps host_kind when nothing
// matches. MatchHostKind answers a HostKind, kHostUnknown for any other name.
void DetectHost() noexcept;
HostKind MatchHostKind(const char* executable_path) noexcept;

// The About box: filter name, author text and the credit line, under "About...".
void ShowAbout(WindowHandle owner) noexcept;
constexpr std::size_t kAboutTextSize = 512;
void FormatAboutText(char (&text)[kAboutTextSize]) noexcept;

// The Start selector's work.
psapi::int16 RunFilter() noexcept;

}  // namespace tessellon
