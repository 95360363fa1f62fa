// The module's face to the host: module-wide host state, the load and unload steps,
// the entry point, host detection and the wrappers through which every other part
// reaches the host's callbacks. No Windows headers.
#pragma once

#include <cstddef>
#include <cstdint>

#include "hostapi/filter_record.h"
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

// Module-wide host state. filter_record and data_slot are valid only during the
// ENTRYPOINT call that set them.
extern ModuleHandle module_instance;
extern psapi::FilterRecord* filter_record;
extern std::intptr_t* data_slot;
extern std::int32_t parameters_requested;  // set by Parameters, never cleared
extern std::int32_t host_kind;             // 0 unknown, 1 photoshp, 2 photopnt, 3 psp
extern std::int32_t preview_zoom;          // z >= 1 every z-th pixel, z <= 0 magnified 2 - z

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
// matches.
void DetectHost() noexcept;
std::int32_t MatchHostKind(const char* executable_path) noexcept;

// 16.16 sampling step that asks the host for every z-th pixel (z >= 1) or magnifies.
std::int32_t SamplingRate(std::int32_t kind, std::int32_t zoom) noexcept;

std::int32_t TestAbort() noexcept;
void ReportProgress(std::int32_t done, std::int32_t total) noexcept;
std::int32_t AdvanceHost() noexcept;
std::int32_t ReleaseHostData() noexcept;

// The About box: filter name, author text and the credit line, under "About...".
void ShowAbout(WindowHandle owner) noexcept;
constexpr std::size_t kAboutTextSize = 512;
void FormatAboutText(char (&text)[kAboutTextSize]) noexcept;

// The Start selector's work.
psapi::int16 RunFilter() noexcept;

// The host's window from the record's platform data, or null.
WindowHandle HostWindow() noexcept;

}  // namespace tessellon
