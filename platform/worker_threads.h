// Threads that share the jobs of a filtering run: started when the run first needs them
// and joined when it ends, never one per row or per strip. std::thread throughout;
// the Windows modules link the threading runtime statically, so no DLL is added. No
// Windows headers.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace tessellon {

// How many threads a run may use: the count a host in the same process set
// (HostThreadCount), else the value of the environment variable TESSELLON_THREADS
// when it is a whole number 1..64, else the processors the machine has (at least 1).
int ConfiguredThreadCount() noexcept;
// True when a host or TESSELLON_THREADS sets the count, which then holds for every
// image size.
bool ThreadCountForced() noexcept;

// The thread count of an in-process host (the command line, the GEGL operation) for
// its lifetime: a whole number 1..64 takes the place of TESSELLON_THREADS; 0, or a
// number out of range, leaves the count as it was. The count a host hands its module
// is a parameter of that host, not of the process's environment. One at a time.
class HostThreadCount {
public:
    explicit HostThreadCount(int count) noexcept;
    ~HostThreadCount();
    HostThreadCount(const HostThreadCount&) = delete;
    HostThreadCount& operator=(const HostThreadCount&) = delete;

private:
    int previous_;
};

// Worker threads that take one job after another: Run hands job(i) to threads
// i = 1..count, starting those not yet running, and Wait waits until each of them has
// returned from it. The threads stay for the next job until the object goes, which
// waits for them. A thread that cannot be started is left out: Run says how many took
// the job. Run and Wait belong to one thread, and a job's function lives until Wait.
class WorkerThreads {
public:
    WorkerThreads() = default;
    ~WorkerThreads();
    WorkerThreads(const WorkerThreads&) = delete;
    WorkerThreads& operator=(const WorkerThreads&) = delete;

    int Run(int count, const std::function<void(int)>& job) noexcept;
    void Wait() noexcept;
    int started() const { return static_cast<int>(threads_.size()); }

private:
    void Loop(int index);

    std::vector<std::thread> threads_;
    std::mutex mutex_;
    std::condition_variable changed_;
    const std::function<void(int)>* job_ = nullptr;
    std::uint64_t round_ = 0;  // counts the jobs handed out
    int taking_ = 0;           // threads 1..taking_ take the current job
    int busy_ = 0;             // of them, those not yet back from it
    bool quit_ = false;
};

}  // namespace tessellon
