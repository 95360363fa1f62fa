// The run's worker threads and their count.
#include "platform/worker_threads.h"

#include <cstdlib>
#include <exception>

#if defined(_WIN32)
#include <windows.h>
#endif

namespace tessellon {
namespace {

constexpr int kMaxThreads = 64;

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
    if (const int forced = ForcedCount(); forced > 0) return forced;
    const unsigned processors = std::thread::hardware_concurrency();
    if (processors == 0) return 1;
    return processors > static_cast<unsigned>(kMaxThreads) ? kMaxThreads : static_cast<int>(processors);
}

bool ThreadCountForced() noexcept { return ForcedCount() > 0; }

WorkerThreads::WorkerThreads(int count, const std::function<void(int)>& job) noexcept {
    try {
        threads_.reserve(static_cast<std::size_t>(count > 0 ? count : 0));
        for (int i = 1; i <= count; ++i) threads_.emplace_back(job, i);
    } catch (const std::exception&) {
        // Out of threads or memory: the run goes on with those that started.
    }
}

WorkerThreads::~WorkerThreads() {
    for (std::thread& thread : threads_) thread.join();
}

}  // namespace tessellon
