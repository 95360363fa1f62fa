// The wrappers of the host's callbacks: present and missing callbacks, the sampling
// rate handed to advanceState, and the release of the request rectangles.
#include <gtest/gtest.h>

#include <vector>

#include "hostapi/host_state.h"

namespace tessellon {
namespace {

struct Calls {
    int abort_calls = 0;
    psapi::Boolean abort_answer = 0;
    std::vector<std::pair<std::int32_t, std::int32_t>> progress;
    int advance_calls = 0;
    psapi::OSErr advance_answer = 0;
    psapi::Fixed rate_seen = 0;
};
Calls calls;

class HostServicesTest : public ::testing::Test {
protected:
    void SetUp() override {
        calls = Calls{};
        Host().record = &record;
        Host().preview_zoom = 1;
        Host().kind = kHostUnknown;
    }
    void TearDown() override {
        Host().record = nullptr;
        Host().preview_zoom = 1;
        Host().kind = kHostUnknown;
    }

    psapi::FilterRecord record{};
};

psapi::Boolean PSAPI_CALL Abort() {
    ++calls.abort_calls;
    return calls.abort_answer;
}
void PSAPI_CALL Progress(std::int32_t done, std::int32_t total) { calls.progress.emplace_back(done, total); }
psapi::OSErr PSAPI_CALL Advance() {
    ++calls.advance_calls;
    calls.rate_seen = Host().record->inputRate;
    return calls.advance_answer;
}

TEST_F(HostServicesTest, MissingCallbacksAreTolerated) {
    record.inputRate = 77;
    EXPECT_EQ(TestAbort(), 0);
    ReportProgress(1, 2);
    EXPECT_EQ(AdvanceHost(), -123);
    EXPECT_EQ(record.inputRate, 77);  // nothing changed
    EXPECT_EQ(record.maskRate, 0);
}

TEST_F(HostServicesTest, AbortAndProgressReachTheHost) {
    record.abortProc = Abort;
    record.progressProc = Progress;
    EXPECT_EQ(TestAbort(), 0);
    calls.abort_answer = 1;
    EXPECT_NE(TestAbort(), 0);
    EXPECT_EQ(calls.abort_calls, 2);
    ReportProgress(10, 200);
    ASSERT_EQ(calls.progress.size(), 1u);
    EXPECT_EQ(calls.progress[0], std::make_pair(10, 200));
}

TEST_F(HostServicesTest, AdvanceHostSetsBothRatesAndSignExtendsTheResult) {
    record.advanceState = Advance;
    Host().kind = kHostPhotoPaint;
    Host().preview_zoom = 3;
    calls.advance_answer = -50;
    EXPECT_EQ(AdvanceHost(), -50);
    EXPECT_EQ(calls.rate_seen, 196611);
    EXPECT_EQ(record.inputRate, 196611);
    EXPECT_EQ(record.maskRate, 196611);
}

TEST_F(HostServicesTest, ReleaseHostDataEmptiesEveryRequestAndAsksTheHost) {
    record.advanceState = Advance;
    record.inRect = {1, 2, 3, 4};
    record.outRect = {5, 6, 7, 8};
    record.maskRect = {9, 10, 11, 12};
    EXPECT_EQ(ReleaseHostData(), 0);
    EXPECT_EQ(calls.advance_calls, 1);
    for (const psapi::Rect& r : {record.inRect, record.outRect, record.maskRect}) {
        EXPECT_EQ(r.top, 0);
        EXPECT_EQ(r.left, 0);
        EXPECT_EQ(r.bottom, 0);
        EXPECT_EQ(r.right, 0);
    }
}

TEST_F(HostServicesTest, HostWindowComesFromPlatformData) {
    EXPECT_EQ(HostWindow(), nullptr);
    psapi::PlatformData platform{0x4242};
    record.platformData = &platform;
    EXPECT_EQ(HostWindow(), reinterpret_cast<WindowHandle>(0x4242));
}

}  // namespace
}  // namespace tessellon
