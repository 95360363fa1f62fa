// The pass's abort counter asking the host inside a pixel. No Windows headers.
#include "filter/pixel_checks.h"

#include "runtime/context.h"

namespace tessellon::tiling_pass {

// For a pixel of `checks` abort checks in which the counter reaches its limit: asks the
// host there and then, where a run outside a preview asks nothing but the host, and
// whether it answered "go on". Then the pixel's result is the one computed without
// asking, and the counter is left as after the pixel; otherwise it is put back, and the
// answer waits for the reference routine's call at the same check.
bool AbortCounter::AskedAndGoingOn(std::uint32_t checks) noexcept {
    if (calls != &AbortState().calls || Execution().preview_start != 0) return false;
    const std::uint32_t before = *calls;
    // The pixel's check that asks: the one past the limit, or its first when the
    // counter is past the limit already (a host's abortProc can set it).
    const std::uint32_t at = before > limit ? 1 : limit - before + 1;
    const i32 answer = abort_ask();
    if (answer == 0) {
        *calls = checks - at;
        return true;
    }
    *calls = before;
    AbortState().answer_ahead = answer;
    return false;
}

}  // namespace tessellon::tiling_pass
