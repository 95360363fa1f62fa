// Module-wide host state and the wrappers of the host's callbacks. Each wrapper
// tolerates a missing callback, because hosts leave the ones they do not implement
// null. No Windows headers.
#include "hostapi/host_state.h"

#include <cstring>

namespace tessellon {

namespace {

constexpr std::int32_t kNoAdvanceState = -123;
constexpr std::int32_t kUnitRate = 65536;  // 1.0 in 16.16

// The product with two's-complement wrap-around, formed without undefined behaviour.
std::int32_t WrappedProduct(std::int32_t a, std::int32_t b) noexcept {
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(a) * static_cast<std::uint32_t>(b));
}

}  // namespace

std::int32_t SamplingRate(HostKind kind, std::int32_t zoom) noexcept {
    if (zoom >= 1) {
        // Photo-Paint reads the step with the zoom in its fraction as well.
        return WrappedProduct(zoom, kind == kHostPhotoPaint ? kUnitRate + 1 : kUnitRate);
    }
    // Magnification: a step below one pixel. Photo-Paint gets the same step here, since
    // its rule, z * 65537, would ask for a step of zero or less. 2 - z, wrapped, is never
    // 0 or -1 for z <= 0, so the quotient is plain.
    const auto magnification = static_cast<std::int32_t>(2u - static_cast<std::uint32_t>(zoom));
    return kUnitRate / magnification;
}

std::int32_t TestAbort() noexcept {
    // A host without abortProc never stops the run.
    if (Host().record == nullptr || Host().record->abortProc == nullptr) return 0;
    return Host().record->abortProc();
}

void ReportProgress(std::int32_t done, std::int32_t total) noexcept {
    // Progress is optional for hosts.
    if (Host().record == nullptr || Host().record->progressProc == nullptr) return;
    Host().record->progressProc(done, total);
}

std::int32_t AdvanceHost() noexcept {
    // A host without advanceState cannot deliver; callers see -123 and nothing changes.
    if (Host().record == nullptr || Host().record->advanceState == nullptr) return kNoAdvanceState;
    const std::int32_t rate = SamplingRate(Host().kind, Host().preview_zoom);
    Host().record->inputRate = rate;
    Host().record->maskRate = rate;
    return Host().record->advanceState();
}

std::int32_t ReleaseHostData() noexcept {
    if (Host().record == nullptr) return kNoAdvanceState;
    Host().record->inRect = {};
    Host().record->outRect = {};
    Host().record->maskRect = {};
    return AdvanceHost();
}

WindowHandle HostWindow() noexcept {
    if (Host().record == nullptr || Host().record->platformData == nullptr) return nullptr;
    const auto* platform = static_cast<const psapi::PlatformData*>(Host().record->platformData);
    return reinterpret_cast<WindowHandle>(platform->hwnd);
}

bool ChooseColourWithPicker(std::uint8_t (&rgb)[3], const unsigned char* prompt) noexcept {
    if (Host().record == nullptr || Host().record->colorServices == nullptr) return false;
    psapi::ColorServicesInfo request;
    std::memset(&request, 0, sizeof request);
    request.infoSize = sizeof request;
    request.selector = psapi::plugIncolorServicesChooseColor;
    request.sourceSpace = psapi::plugIncolorServicesRGBSpace;
    request.resultSpace = psapi::plugIncolorServicesRGBSpace;
    for (int c = 0; c < 3; ++c) request.colorComponents[c] = rgb[c];
    // The request names a writable string; the host gets a copy of the prompt, its
    // length byte and characters, and zeros after them.
    unsigned char prompt_copy[256] = {};
    if (prompt != nullptr) std::memcpy(prompt_copy, prompt, static_cast<std::size_t>(prompt[0]) + 1);
    request.selectorParameter.pickerPrompt = prompt_copy;
    Host().record->colorServices(&request);
    for (int c = 0; c < 3; ++c) rgb[c] = static_cast<std::uint8_t>(request.colorComponents[c] & 0xFF);
    return true;
}

}  // namespace tessellon
