// TilingPixelPass::Ahead: the rows of a strip computed ahead on other threads. It owns
// the worker cursors (one per thread, each reading the strip's one set of tables), the
// scratch rows they compute into, which block of rows each slot holds, and the threads
// while they may run; the cursor of the host's thread takes the rows in order
// (PixelCursor::CommitRow). No Windows headers.
#pragma once

#include <algorithm>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "filter/pixel_cursor.h"
#include "filter/pixel_fast.h"
#include "platform/worker_threads.h"

namespace tessellon {

// The worker threads of the current filtering run, while a PixelPassThreads keeps them;
// null otherwise.
WorkerThreads* PixelPassRunThreads() noexcept;

// The cursors that compute rows ahead, each on a thread of its own, and the scratch rows
// between them and the cursor of the host's thread. Rows go in blocks of a few (fewer,
// the wider the strip), so that a thread takes work and hands it over once per block
// rather than once per row; slot s holds the block whose index is s modulo the slot
// count. A block is taken only when its slot is free, so no thread runs more than a few
// rows ahead of the row handed out.
struct TilingPixelPass::Ahead {
    static constexpr int kSlotsPerThread = 2;
    static constexpr i32 kPixelsPerBlock = 64 * 1024;
    static constexpr i32 kMaxRowsPerBlock = 8;

    std::vector<std::unique_ptr<PixelCursor>> passes;  // 0: the host's thread's helper cursor
    i32 first_row = 0;  // outRect's top
    std::vector<std::vector<std::uint8_t>> pixels;   // per slot, block_rows rows
    std::vector<std::vector<std::uint32_t>> checks;  // per slot, block_rows rows
    std::vector<i32> ready;  // per slot: the block it holds, -1 while none
    i32 row_count = 0, row_width = 0, block_rows = 1, block_count = 0;
    std::size_t row_bytes = 0;
    i32 next = 0;        // the next block to compute
    i32 handed_out = 0;  // blocks handed out so far
    bool quit = false;
    std::mutex mutex;
    std::condition_variable changed;
    // The threads computing ahead: the run's (PixelPassThreads), or the strip's own when
    // the run keeps none. The job lives as long as they may run it.
    WorkerThreads* workers = nullptr;
    std::unique_ptr<WorkerThreads> own_workers;
    std::function<void(int)> job;

    // The scratch rows and slots for `threads` cursors over rows of `width` pixels.
    void Allocate(int threads, i32 width, i32 rows, i32 planes);
    int slots() const { return static_cast<int>(ready.size()); }
    // Takes the next block if its slot is free; -1 when there is none to take. Called
    // with the mutex held.
    i32 Take();
    // Block `block` by cursor `pass`, the mutex released meanwhile.
    void Compute(int pass, i32 block, std::unique_lock<std::mutex>& lock);
    // A worker thread's loop, for cursor `pass`.
    void Work(int pass);
    // Waits for row `index` (from outRect's top), computing blocks meanwhile; then
    // where its pixels and checks lie.
    std::pair<const std::uint8_t*, const std::uint32_t*> WaitFor(i32 index);
    // Row `index` has been handed out; at the end of its block the slot is free.
    void HandedOut(i32 index);
    // Ends the work and waits for the threads to leave it.
    void Stop();
};

}  // namespace tessellon
