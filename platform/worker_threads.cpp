// The run's worker threads and their count.
#include "platform/worker_threads.h"

#include <atomic>
#include <cstdlib>
#include <exception>

#if defined(_WIN32)
#include <windows.h>
#endif

namespace tessellon {
namespace {

constexpr int kMaxThreads = 64;

// The count a host in this process set, or 0. Atomic: a host's run may start worker
// threads that ask for it while another thread reads it.
std::atomic<int> host_count{0};

// TESSELLON_THREADS as a whole number 1..kMaxThreads, or 0. A Windows module asks the
// process's environment: its own C runtime keeps a copy made when it was loaded.
int ForcedCount() noexcept {
#if defined(_WIN32)
    char buffer[16];
    const unsigned long length = GetEnvironmentVariableA("TESSELLON_THREADS", buffer, sizeof buffer);
    const char* text = length > 0 && length < sizeof buffer ? buffer : nullptr;
#else
    const char* text = std::getenv("TESSELLON_THREADS");
#endif
    if (text == nullptr || *text == '\0') return 0;
    int value = 0;
    for (const char* c = text; *c != '\0'; ++c) {
        if (*c < '0' || *c > '9') return 0;
        value = value * 10 + (*c - '0');
        if (value > kMaxThreads) return 0;
    }
    return value;
}

}  // namespace

int ConfiguredThreadCount() noexcept {
    if (const int hosts = host_count.load(); hosts > 0) return hosts;
    if (const int forced = ForcedCount(); forced > 0) return forced;
    const unsigned processors = std::thread::hardware_concurrency();
    if (processors == 0) return 1;
    return processors > static_cast<unsigned>(kMaxThreads) ? kMaxThreads : static_cast<int>(processors);
}

bool ThreadCountForced() noexcept { return host_count.load() > 0 || ForcedCount() > 0; }

HostThreadCount::HostThreadCount(int count) noexcept : previous_(host_count.load()) {
    if (count > 0 && count <= kMaxThreads) host_count.store(count);
}

HostThreadCount::~HostThreadCount() { host_count.store(previous_); }

int WorkerThreads::Run(int count, const std::function<void(int)>& job) noexcept {
    std::unique_lock<std::mutex> lock(mutex_);
    job_ = &job;
    ++round_;
    try {
        threads_.reserve(static_cast<std::size_t>(count > 0 ? count : 0));
        // A new thread waits for the lock, then finds the job of this round.
        for (int i = started() + 1; i <= count; ++i) threads_.emplace_back([this, i] { Loop(i); });
    } catch (const std::exception&) {
        // Out of threads or memory: the job goes on with those that run.
    }
    taking_ = count < started() ? count : started();
    if (taking_ < 0) taking_ = 0;
    busy_ = taking_;
    changed_.notify_all();
    return taking_;
}

void WorkerThreads::Wait() noexcept {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return busy_ == 0; });
}

void WorkerThreads::Loop(int index) {
    std::uint64_t done = 0;  // the last round this thread has seen
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        changed_.wait(lock, [&] { return quit_ || (round_ != done && index <= taking_); });
        if (quit_) return;
        done = round_;
        const std::function<void(int)>& job = *job_;
        lock.unlock();
        job(index);
        lock.lock();
        if (--busy_ == 0) changed_.notify_all();
    }
}

WorkerThreads::~WorkerThreads() {
    Wait();
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        quit_ = true;
        changed_.notify_all();
    }
    for (std::thread& thread : threads_) thread.join();
}

}  // namespace tessellon
