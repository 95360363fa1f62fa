// The abort check that compiled code calls in every loop, and the preview watchdog's
// clock. The expensive part (host call, clock, message queue) runs once in 100001
// calls; in between a call is one increment and one comparison. No Windows headers.
#include "hostapi/host_state.h"
#include "runtime/builtins.h"
#include "runtime/context.h"
#include "runtime/wrap32.h"

namespace tessellon {

namespace {
constexpr std::uint32_t kCallsBetweenTests = 100000;
constexpr i32 kPreviewTimeLimitMs = 15000;
constexpr i32 kDayMs = 86'400'000;
}  // namespace

i32 MsOfDay() noexcept { return Platform().ms_of_day(); }

i32 ElapsedMs(i32 start, i32 now) noexcept {
    // A render that started before midnight is measured across it.
    i32 elapsed = wrap_sub(now, start);
    while (elapsed < 0) elapsed = wrap_add(elapsed, kDayMs);
    return elapsed;
}

i32 abort_check() noexcept {
    if (++AbortState().calls <= kCallsBetweenTests) return 0;
    return abort_ask();
}

i32 abort_ask() noexcept {
    AbortState().calls = 0;
    if (AbortState().answer_ahead >= 0) {
        const i32 answer = AbortState().answer_ahead;
        AbortState().answer_ahead = -1;
        return answer;
    }
    // Outside a preview (or once it has been abandoned) the host's answer is passed on.
    if (Execution().preview_start == 0 || Execution().preview_start == -1) return TestAbort();
    // A preview render gives up after its time limit, or as soon as the user clicks a
    // button or moves a slider; the message stays queued for the dialog.
    if (ElapsedMs(Execution().preview_start, MsOfDay()) > kPreviewTimeLimitMs ||
        Platform().peek_message(Live().dialog_window, kMessageCommand, kMessageCommand) ||
        Platform().peek_message(Live().dialog_window, kMessageHScroll, kMessageHScroll)) {
        Execution().preview_start = -1;
        return 1;
    }
    return 0;
}

}  // namespace tessellon
