// Threads that share one job for the length of a filtering run: started once when the
// run needs them and joined when it ends, never one per row. std::thread throughout;
// the Windows modules link the threading runtime statically, so no DLL is added. No
// Windows headers.
#pragma once

#include <functional>
#include <thread>
#include <vector>

namespace tessellon {

// How many threads a run may use: the value of the environment variable
// TESSELLON_THREADS when it is a whole number 1..64, else the processors the machine
// has (at least 1).
int ConfiguredThreadCount() noexcept;
// True when TESSELLON_THREADS sets the count, which then holds for every image size.
bool ThreadCountForced() noexcept;

// `count` threads, each running job(i) for its own index i = 1..count, from the
// constructor on; the destructor waits for them. A thread that cannot be started is
// left out: started() says how many run.
class WorkerThreads {
public:
    WorkerThreads(int count, const std::function<void(int)>& job) noexcept;
    ~WorkerThreads();
    WorkerThreads(const WorkerThreads&) = delete;
    WorkerThreads& operator=(const WorkerThreads&) = delete;

    int started() const { return static_cast<int>(threads_.size()); }

private:
    std::vector<std::thread> threads_;
};

}  // namespace tessellon
