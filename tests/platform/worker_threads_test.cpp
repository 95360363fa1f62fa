// The worker threads a filtering run shares among its strips, and the thread count that
// TESSELLON_THREADS sets.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/worker_threads.h"
#include "support/thread_count.h"

namespace tessellon {
namespace {

TEST(WorkerThreads, EachJobRunsOnceOnTheThreadsItAsksForWhichStayForTheNextJob) {
    WorkerThreads workers;
    std::map<int, std::thread::id> thread_of;  // index -> the thread that ran it first
    int most = 0;
    for (const int count : {2, 1, 3, 0, 3, 2}) {
        std::mutex mutex;
        std::vector<int> ran;
        std::vector<std::thread::id> threads;
        const std::function<void(int)> job = [&](int index) {
            const std::lock_guard<std::mutex> lock(mutex);
            ran.push_back(index);
            threads.push_back(std::this_thread::get_id());
        };
        ASSERT_EQ(workers.Run(count, job), count);
        workers.Wait();
        std::vector<int> sorted = ran;
        std::sort(sorted.begin(), sorted.end());
        std::vector<int> expected;
        for (int i = 1; i <= count; ++i) expected.push_back(i);
        EXPECT_EQ(sorted, expected) << "job for " << count << " threads";
        for (std::size_t k = 0; k < ran.size(); ++k) {
            EXPECT_NE(threads[k], std::this_thread::get_id());
            const auto [at, first] = thread_of.emplace(ran[k], threads[k]);
            EXPECT_EQ(at->second, threads[k]) << "thread " << ran[k] << " was started again";
        }
        most = std::max(most, count);
        EXPECT_EQ(workers.started(), most);
    }
}

TEST(WorkerThreads, TheEnvironmentSetsTheCountOnlyWithAWholeNumberFrom1To64) {
    const int machine = [] {
        const testing::ScopedThreadCount unset(nullptr);
        EXPECT_FALSE(ThreadCountForced());
        return ConfiguredThreadCount();
    }();
    EXPECT_GE(machine, 1);
    struct Case {
        const char* value;
        int count;  // 0: the machine's
    };
    for (const Case& c : {Case{"1", 1}, Case{"3", 3}, Case{"64", 64}, Case{"0", 0}, Case{"65", 0}, Case{"", 0},
                          Case{"2x", 0}, Case{"-2", 0}, Case{"99999999999", 0}}) {
        const testing::ScopedThreadCount set(c.value);
        EXPECT_EQ(ThreadCountForced(), c.count > 0) << '"' << c.value << '"';
        EXPECT_EQ(ConfiguredThreadCount(), c.count > 0 ? c.count : machine) << '"' << c.value << '"';
    }
}

// A host in the process sets the count for its lifetime, over the environment; a count
// out of 1..64 leaves whatever held before, and the end of the host's scope restores it.
TEST(WorkerThreads, AHostsCountTakesThePlaceOfTheEnvironmentWhileItLasts) {
    const testing::ScopedThreadCount environment(5);
    struct Case {
        int host;
        int count;  // what a run then uses
    };
    for (const Case& c : {Case{1, 1}, Case{7, 7}, Case{64, 64}, Case{0, 5}, Case{-3, 5}, Case{65, 5}}) {
        {
            const HostThreadCount host(c.host);
            EXPECT_EQ(ConfiguredThreadCount(), c.count) << c.host;
            EXPECT_TRUE(ThreadCountForced()) << c.host;
        }
        EXPECT_EQ(ConfiguredThreadCount(), 5) << "after a host of " << c.host;
    }
    const HostThreadCount outer(3);
    {
        const HostThreadCount inner(0);
        EXPECT_EQ(ConfiguredThreadCount(), 3) << "a host that sets nothing keeps the outer count";
    }
    const testing::ScopedThreadCount unset(nullptr);
    EXPECT_EQ(ConfiguredThreadCount(), 3) << "without the environment";
    EXPECT_TRUE(ThreadCountForced());
}

}  // namespace
}  // namespace tessellon
