// The ground floor of the module: the host state that every layer reads (the filter
// record of the current call, the module's handle, the host's kind and the preview's
// zoom) and the wrappers through which every layer reaches the host's callbacks. It
// sits on the host interface's declarations and the platform's handle types only, so
// that the runtime, the filter and the dialog models can use it without the module's
// face (shell/host.h). No Windows headers.
#pragma once

#include <cstdint>

#include "hostapi/filter_record.h"
#include "platform/platform.h"

namespace tessellon {

// What DetectHost recognises from the host's executable name (its part before the first
// dot, in any case). Only kHostPhotoPaint changes behaviour: its sampling rate.
enum HostKind : std::int32_t {
    kHostUnknown = 0,
    kHostPhotoshop = 1,   // "photoshp"
    kHostPhotoPaint = 2,  // "photopnt"
    kHostPaintShop = 3,   // "psp"
};

// The module's host state: what the host handed in its current call and what the
// module learnt of the host. The module is a DLL whose entry point the host calls many
// times, so this is static storage that lives between calls; the entry point writes
// it, every floor reads it through Host(). record and data_slot are valid only during
// the ENTRYPOINT call that set them.
struct HostState {
    ModuleHandle module = nullptr;
    psapi::FilterRecord* record = nullptr;
    std::intptr_t* data_slot = nullptr;
    std::int32_t parameters_requested = 0;  // set by Parameters, never cleared
    HostKind kind = kHostUnknown;           // kHostUnknown until recognised
    std::int32_t preview_zoom = 1;          // z >= 1 every z-th pixel, z <= 0 magnified 2 - z
};
// The one host state of the module (constant-initialised, so reaching it costs nothing).
inline HostState& Host() noexcept {
    constinit static HostState state;
    return state;
}

// 16.16 sampling step that asks the host for every z-th pixel (z >= 1) or magnifies.
std::int32_t SamplingRate(HostKind kind, std::int32_t zoom) noexcept;

std::int32_t TestAbort() noexcept;
void ReportProgress(std::int32_t done, std::int32_t total) noexcept;
std::int32_t AdvanceHost() noexcept;
std::int32_t ReleaseHostData() noexcept;

// The host's window from the record's platform data, or null.
WindowHandle HostWindow() noexcept;

// Asks the host's colour picker for an RGB colour, starting from `rgb`, under `prompt`
// (a Pascal string: length byte, then the characters). False, without asking, for a
// host without colour services. Otherwise `rgb` takes the components that the host
// leaves in the request; its result code is not examined, since a host that leaves
// them alone on cancel thereby leaves the colour alone.
bool ChooseColourWithPicker(std::uint8_t (&rgb)[3], const unsigned char* prompt) noexcept;

}  // namespace tessellon
