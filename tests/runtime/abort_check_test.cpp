// abort_check: one stop test per 100,001 calls. Outside a preview the test asks the
// host's abortProc; during a preview render it is the watchdog, which abandons the
// render after more than 15,000 ms (measured across midnight) or when a command or a
// slider scroll waits in the dialog's queue. The clock and the queue are scripted
// through the recording platform; nothing sleeps.
#include <gtest/gtest.h>

#include <cstdint>
#include <ostream>
#include <string>

#include "hostapi/host_state.h"
#include "runtime/builtins.h"
#include "runtime/context.h"
#include "runtime/runtime_state.h"
#include "support/recording_platform.h"

namespace tessellon {
namespace {

constexpr std::uint32_t kQuietCalls = 100000;  // calls between two stop tests
using testing::RowName;
constexpr i32 kKept = testing::kUntouched;  // `status` before each call
constexpr std::uint32_t kMessageVScroll = 0x0115;
constexpr std::uint32_t kMessagePaint = 0x000F;

int dialog_tag;
int other_window_tag;
const WindowHandle kDialog = &dialog_tag;
const WindowHandle kOtherWindow = &other_window_tag;

struct AbortAnswers {
    int calls = 0;
    psapi::Boolean answer = 0;
};
AbortAnswers host;

psapi::Boolean PSAPI_CALL CountingAbortProc() {
    ++host.calls;
    return host.answer;
}

class AbortCheck : public ::testing::Test {
protected:
    void SetUp() override {
        host = AbortAnswers{};
        record.abortProc = CountingAbortProc;
        Host().record = &record;
        saved_dialog_ = Live().dialog_window;
        Live().dialog_window = kDialog;
        Execution().preview_start = 0;
        AbortState().calls = 0;
    }
    void TearDown() override {
        Host().record = nullptr;
        Live().dialog_window = saved_dialog_;
        Execution().preview_start = 0;
        AbortState().calls = 0;
        Execution().context.status = 0;
    }

    // The calls before a stop test; answers how many of them did not return 0.
    static int QuietCalls() {
        int nonzero = 0;
        for (std::uint32_t i = 0; i < kQuietCalls; ++i) nonzero += abort_check() != 0;
        return nonzero;
    }

    testing::RecordingPlatform platform;
    psapi::FilterRecord record{};

private:
    WindowHandle saved_dialog_ = nullptr;
};

TEST_F(AbortCheck, RealRunAsksTheHostOncePer100001Calls) {
    host.answer = 1;
    EXPECT_EQ(QuietCalls(), 0);
    EXPECT_EQ(host.calls, 0);
    EXPECT_EQ(abort_check(), 1);
    EXPECT_EQ(host.calls, 1);

    host.answer = 0;
    EXPECT_EQ(QuietCalls(), 0);
    EXPECT_EQ(host.calls, 1);
    EXPECT_EQ(abort_check(), 0);
    EXPECT_EQ(host.calls, 2);

    EXPECT_EQ(platform.ms_of_day_reads, 0);
    EXPECT_EQ(platform.peek_calls, 0);
}

// The count is not restarted by anyone but the stop test: calls left over from an
// earlier run bring the next test forward.
TEST_F(AbortCheck, CountCarriesOverBetweenRuns) {
    host.answer = 1;
    AbortState().calls = kQuietCalls - 10;
    for (int i = 0; i < 10; ++i) EXPECT_EQ(abort_check(), 0);
    EXPECT_EQ(abort_check(), 1);
    EXPECT_EQ(AbortState().calls, 0u);
}

// An answer given ahead is the next stop test's, once, and the host is not asked for
// it; the test after that asks the host again.
TEST_F(AbortCheck, AnAnswerGivenAheadIsTakenOnceInsteadOfAskingTheHost) {
    host.answer = 0;
    AbortState().calls = kQuietCalls;
    AbortState().answer_ahead = 1;
    EXPECT_EQ(abort_check(), 1);
    EXPECT_EQ(host.calls, 0);
    EXPECT_EQ(AbortState().answer_ahead, -1);
    EXPECT_EQ(AbortState().calls, 0u);

    AbortState().calls = kQuietCalls;
    EXPECT_EQ(abort_check(), 0);
    EXPECT_EQ(host.calls, 1);

    // Asking straight away, as the pixel pass does inside a pixel.
    host.answer = 1;
    AbortState().calls = 1234;
    EXPECT_EQ(abort_ask(), 1);
    EXPECT_EQ(host.calls, 2);
    EXPECT_EQ(AbortState().calls, 0u);
}

TEST_F(AbortCheck, HostWithoutAbortProcNeverStops) {
    record.abortProc = nullptr;
    AbortState().calls = kQuietCalls;
    EXPECT_EQ(abort_check(), 0);
    Host().record = nullptr;
    AbortState().calls = kQuietCalls;
    EXPECT_EQ(abort_check(), 0);
}

TEST_F(AbortCheck, AbandonedPreviewAsksTheHost) {
    Execution().preview_start = -1;
    platform.ms_of_day = 86'000'000;
    platform.queued_messages.push_back({kDialog, kMessageCommand});
    host.answer = 1;
    AbortState().calls = kQuietCalls;
    EXPECT_EQ(abort_check(), 1);
    EXPECT_EQ(host.calls, 1);
    EXPECT_EQ(Execution().preview_start, -1);
    EXPECT_EQ(platform.ms_of_day_reads, 0);
    EXPECT_EQ(platform.peek_calls, 0);
}

TEST_F(AbortCheck, PreviewReadsClockAndQueueOnlyOnTheTestCall) {
    Execution().preview_start = 1000;
    platform.ms_of_day = 500'000;  // long past the limit
    platform.queued_messages.push_back({kDialog, kMessageCommand});
    EXPECT_EQ(QuietCalls(), 0);
    EXPECT_EQ(platform.ms_of_day_reads, 0);
    EXPECT_EQ(platform.peek_calls, 0);
    EXPECT_EQ(Execution().preview_start, 1000);

    EXPECT_EQ(abort_check(), 1);
    EXPECT_EQ(platform.ms_of_day_reads, 1);
    EXPECT_EQ(Execution().preview_start, -1);
    EXPECT_EQ(host.calls, 0);
}

struct WatchdogCase {
    const char* name;
    i32 start;               // Execution().preview_start when the test call comes
    i32 now;                 // the clock, ms of the UTC day
    std::uint32_t queued;    // a message waiting, 0 for none
    WindowHandle queued_to;  // the window it waits for
    i32 expected;
    i32 start_after;  // Execution().preview_start after the call
    i32 status;
};

void PrintTo(const WatchdogCase& c, std::ostream* os) {
    *os << "start " << c.start << ", now " << c.now << ", queued 0x" << std::hex << c.queued << std::dec
        << (c.queued_to == kDialog ? " for the dialog" : " for another window") << " -> " << c.expected
        << ", Execution().preview_start " << c.start_after << ", status " << c.status;
}

class AbortCheckWatchdog : public AbortCheck, public ::testing::WithParamInterface<WatchdogCase> {};

TEST_P(AbortCheckWatchdog, StopTestDuringPreview) {
    const WatchdogCase& c = GetParam();
    platform.ms_of_day = c.now;
    if (c.queued != 0) platform.queued_messages.push_back({c.queued_to, c.queued});
    Execution().preview_start = c.start;
    host.answer = 1;
    AbortState().calls = kQuietCalls;
    Execution().context.status = kKept;
    EXPECT_EQ(abort_check(), c.expected);
    EXPECT_EQ(Execution().preview_start, c.start_after);
    EXPECT_EQ(Execution().context.status, c.status);
    EXPECT_EQ(host.calls, 0);
    EXPECT_EQ(platform.ms_of_day_reads, 1);
}

const WatchdogCase kWatchdogCases[] = {
    {"nothing_elapsed_goes_on", 5000, 5000, 0, kDialog, 0, 5000, kKept},
    {"limit_reached_goes_on", 1'000'000, 1'015'000, 0, kDialog, 0, 1'000'000, kKept},
    {"limit_passed_abandons", 1'000'000, 1'015'001, 0, kDialog, 1, -1, kKept},
    // 23:59:59.000 to 00:00:14.500 is 15,500 ms.
    {"across_midnight_past_limit_abandons", 86'399'000, 14'500, 0, kDialog, 1, -1, kKept},
    {"across_midnight_within_limit_goes_on", 86'399'000, 13'999, 0, kDialog, 0, 86'399'000, kKept},
    {"command_waiting_abandons", 1'000'000, 1'000'001, kMessageCommand, kDialog, 1, -1, kKept},
    {"slider_scroll_waiting_abandons", 1'000'000, 1'000'001, kMessageHScroll, kDialog, 1, -1, kKept},
    {"vertical_scroll_ignored", 1'000'000, 1'000'001, kMessageVScroll, kDialog, 0, 1'000'000, kKept},
    {"paint_ignored", 1'000'000, 1'000'001, kMessagePaint, kDialog, 0, 1'000'000, kKept},
    {"command_for_another_window_ignored", 1'000'000, 1'000'001, kMessageCommand, kOtherWindow, 0, 1'000'000,
     kKept},
};
INSTANTIATE_TEST_SUITE_P(Table, AbortCheckWatchdog, ::testing::ValuesIn(kWatchdogCases),
                         RowName<WatchdogCase>);

TEST(AbortCheckClock, ElapsedMsAcrossMidnight) {
    struct Row {
        i32 start, now, expected;
    };
    const Row rows[] = {
        {0, 0, 0},
        {1'000'000, 1'015'000, 15'000},
        {86'399'000, 14'500, 15'500},
        {86'399'999, 0, 1},
        {0, 86'399'999, 86'399'999},
        {5000, 4999, 86'399'999},  // a clock a millisecond behind counts a whole day
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(::testing::Message() << "start " << row.start << ", now " << row.now);
        EXPECT_EQ(ElapsedMs(row.start, row.now), row.expected);
    }
}

TEST(AbortCheckClock, MsOfDayReadsThePlatformClock) {
    testing::RecordingPlatform platform;
    platform.ms_of_day = 43'210'987;
    EXPECT_EQ(MsOfDay(), 43'210'987);
    EXPECT_EQ(platform.ms_of_day_reads, 1);
}

}  // namespace
}  // namespace tessellon
