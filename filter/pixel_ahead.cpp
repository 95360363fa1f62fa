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

#include <new>

namespace tessellon {

namespace {
// The worker threads of the current filtering run, while a PixelPassThreads keeps them.
WorkerThreads* run_threads = nullptr;
}  // namespace

WorkerThreads* PixelPassRunThreads() noexcept { return run_threads; }

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
