// Rows of the strip computed ahead on other threads (TilingPixelPass::Ahead,
// pixel_ahead.h), and the worker threads a filtering run keeps for them
// (PixelPassThreads). No Windows headers.
//
// On a machine with more than one core the pixels of a strip are computed by several
// cursors at once, each on its own thread with a row cache and cells of its own but
// the strip's one set of tables, built once on the host's thread before the threads
// start and read-only from then on; row by row into scratch rows a few ahead of the
// row being handed out. They count their abort checks but never ask anyone. The cursor
// of the host's own thread (the one ProcessOutRect drives) then takes the rows in order,
// as the step-by-step code would finish them (PixelCursor::CommitRow): it copies each
// row's pixels into the host's buffer, keeps the abort counter and, at the pixel where
// the counter reaches its limit, asks the host as the single pass does
// (AbortCounter::AskedAndGoingOn), so that the host is asked at the same check as ever;
// a host that says "stop" there gets that pixel from the reference routine and the same
// pixels as ever. Before the reference routine runs, and at the end of a row, it brings
// its cells up to date by computing again, per stretch of the row since the last such
// point, only the pixels whose cells are not written again later in the stretch
// (PixelCursor::ReplayCells): the last one of several copies, a later one of one copy,
// a later one outside the tile (each kind writes every cell the kinds after it in that
// list write). Pixels never depend on cells a pixel before them left, so every output
// byte, the cells, the context at the end and the count and order of the host's calls
// are those of the single pass.
#include "filter/pixel_ahead.h"

#include <algorithm>
#include <new>

namespace tessellon {

namespace {
// The worker threads of the current filtering run, while a PixelPassThreads keeps them.
WorkerThreads* run_threads = nullptr;
}  // namespace

WorkerThreads* PixelPassRunThreads() noexcept { return run_threads; }

void TilingPixelPass::Ahead::Allocate(int threads, i32 width, i32 rows, i32 planes) {
    row_width = width;
    row_count = rows;
    block_rows = std::clamp<i32>(kPixelsPerBlock / std::max<i32>(width, 1), 1, kMaxRowsPerBlock);
    block_count = (rows + block_rows - 1) / block_rows;
    row_bytes = static_cast<std::size_t>(width) * static_cast<std::size_t>(planes);
    const auto slot_count = static_cast<std::size_t>(kSlotsPerThread * threads);
    pixels.assign(slot_count, std::vector<std::uint8_t>(row_bytes * static_cast<std::size_t>(block_rows)));
    checks.assign(slot_count, std::vector<std::uint32_t>(static_cast<std::size_t>(width) *
                                                         static_cast<std::size_t>(block_rows)));
    ready.assign(slot_count, -1);
}


// Takes the next block if its slot is free; -1 when there is none to take. Called
// with the mutex held.
i32 TilingPixelPass::Ahead::Take() {
    if (next >= block_count || next >= handed_out + slots()) return -1;
    return next++;
}

void TilingPixelPass::Ahead::Compute(int pass, i32 block, std::unique_lock<std::mutex>& lock) {
    lock.unlock();
    PixelCursor& p = *passes[static_cast<std::size_t>(pass)];
    const auto slot = static_cast<std::size_t>(block % slots());
    const i32 first = block * block_rows;
    const i32 end = std::min(first + block_rows, row_count);
    for (i32 index = first; index < end; ++index) {
        const auto k = static_cast<std::size_t>(index - first);
        p.ComputeRow(first_row + index, pixels[slot].data() + k * row_bytes,
                     checks[slot].data() + k * static_cast<std::size_t>(row_width));
    }
    lock.lock();
    ready[slot] = block;
    changed.notify_all();
}

void TilingPixelPass::Ahead::Work(int pass) {
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
        i32 block = -1;
        changed.wait(lock, [&] { return quit || next >= block_count || (block = Take()) >= 0; });
        if (block < 0) return;
        Compute(pass, block, lock);
    }
}

// Waits for row `index` (from outRect's top), computing blocks meanwhile; then
// where its pixels and checks lie.
std::pair<const std::uint8_t*, const std::uint32_t*> TilingPixelPass::Ahead::WaitFor(i32 index) {
    const i32 block = index / block_rows;
    const auto slot = static_cast<std::size_t>(block % slots());
    if (index % block_rows == 0) {
        std::unique_lock<std::mutex> lock(mutex);
        while (ready[slot] != block) {
            if (const i32 take = Take(); take >= 0) {
                Compute(0, take, lock);
            } else {
                changed.wait(lock);
            }
        }
    }
    const auto k = static_cast<std::size_t>(index % block_rows);
    return {pixels[slot].data() + k * row_bytes, checks[slot].data() + k * static_cast<std::size_t>(row_width)};
}

// Row `index` has been handed out; at the end of its block the slot is free.
void TilingPixelPass::Ahead::HandedOut(i32 index) {
    if ((index + 1) % block_rows != 0 && index + 1 != row_count) return;
    const std::lock_guard<std::mutex> lock(mutex);
    handed_out = index / block_rows + 1;
    changed.notify_all();
}

void TilingPixelPass::Ahead::Stop() {
    {
        const std::lock_guard<std::mutex> lock(mutex);
        quit = true;
        changed.notify_all();
    }
    if (workers != nullptr) workers->Wait();
    workers = nullptr;
    own_workers.reset();
}

PixelPassThreads::PixelPassThreads() noexcept {
    if (run_threads != nullptr) return;
    run_threads = new (std::nothrow) WorkerThreads;
    owner_ = run_threads != nullptr;
}

PixelPassThreads::~PixelPassThreads() {
    if (!owner_) return;
    delete run_threads;
    run_threads = nullptr;
}

}  // namespace tessellon
