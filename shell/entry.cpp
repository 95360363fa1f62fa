// The exported entry point and its selector dispatch. No Windows headers.
#include "hostapi/host_state.h"
#include "shell/host.h"
#include "shell/scripting.h"

namespace tessellon {
namespace {

// Handed to the host's data word at Prepare. The host keeps the address between calls;
// the module never reads it back, its settings live in the settings store.
std::int32_t parameter_area[4];

}  // namespace
}  // namespace tessellon

extern "C" void PSAPI_CALL ENTRYPOINT(psapi::int16 selector, void* record, std::intptr_t* data,
                                      psapi::int16* result) noexcept {
    using namespace tessellon;
    Host().record = static_cast<psapi::FilterRecord*>(record);
    Host().data_slot = data;
    // Written at every selector, About included: some hosts preset the word to 1 before
    // About and would report a successful About as a failure.
    if (result != nullptr) *result = psapi::noErr;

    // Only the low 16 bits count; selectors above 5 and "negative" ones are unknown.
    switch (static_cast<std::uint16_t>(selector)) {
        case psapi::filterSelectorAbout:
            ShowAbout(nullptr);
            break;
        case psapi::filterSelectorParameters:
            Host().parameters_requested = 1;
            break;
        case psapi::filterSelectorPrepare:
            if (data != nullptr && *data == 0) *data = reinterpret_cast<std::intptr_t>(&parameter_area);
            break;
        case psapi::filterSelectorStart: {
            DetectHost();
            // A host that calls Start without a record gives the module nothing to work on.
            if (Host().record == nullptr) {
                if (result != nullptr) *result = psapi::filterBadParameters;
                break;
            }
            // A descriptor from the host's automation comes before the run; a successful
            // run hands the host the values it used, for an action or a Smart Filter to
            // record. A cancelled or failed run records nothing.
            ReadScriptParameters();
            const psapi::int16 outcome = RunFilter();
            if (outcome == psapi::noErr) WriteScriptParameters();
            if (result != nullptr) *result = outcome;
            break;
        }
        case psapi::filterSelectorContinue:
            DetectHost();
            break;
        default:
            break;
    }
}
