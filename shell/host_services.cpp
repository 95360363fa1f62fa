// Wrappers of the host's callbacks. Each one tolerates a missing callback, because
// hosts leave the ones they do not implement null. No Windows headers.
#include "runtime/wrap32.h"
#include "shell/host.h"

namespace tessellon {

namespace {
constexpr std::int32_t kNoAdvanceState = -123;
constexpr std::int32_t kUnitRate = 65536;  // 1.0 in 16.16
}  // namespace

std::int32_t SamplingRate(std::int32_t kind, std::int32_t zoom) noexcept {
    if (zoom >= 1) {
        // Host kind 2 reads the step with the zoom in its fraction as well.
        return wrap_mul(zoom, kind == 2 ? kUnitRate + 1 : kUnitRate);
    }
    // Magnification: a step below one pixel. Host kind 2 gets the same step here, since
    // its rule, z * 65537, would ask for a step of zero or less.
    return wrap_div(kUnitRate, wrap_sub(2, zoom));
}

std::int32_t TestAbort() noexcept {
    // A host without abortProc never stops the run.
    if (filter_record == nullptr || filter_record->abortProc == nullptr) return 0;
    return filter_record->abortProc();
}

void ReportProgress(std::int32_t done, std::int32_t total) noexcept {
    // Progress is optional for hosts.
    if (filter_record == nullptr || filter_record->progressProc == nullptr) return;
    filter_record->progressProc(done, total);
}

std::int32_t AdvanceHost() noexcept {
    // A host without advanceState cannot deliver; callers see -123 and nothing changes.
    if (filter_record == nullptr || filter_record->advanceState == nullptr) return kNoAdvanceState;
    const std::int32_t rate = SamplingRate(host_kind, preview_zoom);
    filter_record->inputRate = rate;
    filter_record->maskRate = rate;
    return filter_record->advanceState();
}

std::int32_t ReleaseHostData() noexcept {
    if (filter_record == nullptr) return kNoAdvanceState;
    filter_record->inRect = {};
    filter_record->outRect = {};
    filter_record->maskRect = {};
    return AdvanceHost();
}

}  // namespace tessellon
