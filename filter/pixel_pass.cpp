// The pass's public face (TilingPixelPass, pixel_fast.h): a strip's tables built once
// on the host's thread, the cursor of the host's thread that walks the rows over them,
// and, when the strip is large enough and the machine has cores to spare, the cursors
// that compute rows ahead on other threads over the same tables. No Windows headers.
#include <exception>
#include <memory>
#include <new>

#include "filter/pixel_ahead.h"
#include "filter/pixel_cursor.h"
#include "filter/pixel_tables.h"

namespace tessellon {

// The strip's tables and the cursor of the host's thread.
struct TilingPixelPass::Impl {
    StripTables tables;
    PixelCursor cursor{tables};
};

TilingPixelPass::~TilingPixelPass() {
    if (ahead_ != nullptr) ahead_->Stop();
    delete ahead_;
    delete impl_;
}

bool TilingPixelPass::Begin(const StripDescription& strip) noexcept {
    const int word = EntryWordOf(kPhasePixel);
    if (Bound().entry_routine[word] != &filter_pixel || !EntryPresent(Bound().entry_address[word])) return false;
    impl_ = new (std::nothrow) Impl;
    if (impl_ == nullptr) return false;
    if (!impl_->tables.Build(strip) || !impl_->cursor.Start()) {
        delete impl_;
        impl_ = nullptr;
        return false;
    }
    ++TilingPasses().pixel_passes;
    StartAhead();
    return true;
}

void TilingPixelPass::StartAhead() noexcept {
    StripTables& tables = impl_->tables;
    const i32 width_px = tables.ColumnCount();
    const i32 row_count = tables.RowCount();
    int threads = ConfiguredThreadCount();
    // Small strips are done sooner by one thread than threads can be started; pixels
    // that are copied rather than computed do not count, since the rows computed ahead
    // are copied once more.
    if (!ThreadCountForced()) {
        const std::int64_t pixels = std::int64_t{width_px} * row_count - tables.plain_pixels;
        threads = static_cast<int>(std::min<std::int64_t>(threads, pixels / kMinPixelsPerThread));
    }
    // A preview keeps to one thread: its watchdog may stop it inside any pixel. So does
    // a pass whose pixels each write their cells (set-up values the shortcuts do not
    // take), whose cells could not be brought up to date by a few pixels.
    if (threads < 2 || row_count < 2 || Execution().preview_start != 0 || !tables.colour_only) return;
    try {
        // The last change to the tables, before any other thread reads them.
        tables.PrepareCheckSums();
        auto ahead = std::make_unique<Ahead>();
        ahead->first_row = tables.out_top;
        for (int k = 0; k < threads; ++k) {
            auto cursor = std::make_unique<PixelCursor>(tables);
            if (!cursor->Start()) return;
            cursor->Detach();
            ahead->passes.push_back(std::move(cursor));
        }
        ahead->Allocate(threads, width_px, row_count, tables.planes);
        Ahead* raw = ahead.get();
        ahead->job = [raw](int pass) { raw->Work(pass); };
        ahead->workers = PixelPassRunThreads();
        if (ahead->workers == nullptr) {
            ahead->own_workers = std::make_unique<WorkerThreads>();
            ahead->workers = ahead->own_workers.get();
        }
        ahead->workers->Run(threads - 1, ahead->job);
        ahead_ = ahead.release();
        ++TilingPasses().threaded_passes;
    } catch (const std::exception&) {
        // No memory for the scratch rows or the threads: one thread does it all.
    }
}

std::int32_t TilingPixelPass::Row(std::int32_t y, const std::uint8_t* src, std::uint8_t* dst,
                                  const std::uint8_t* mask, bool* stop) noexcept {
    if (ahead_ == nullptr) return impl_->cursor.Row(y, src, dst, mask, stop);
    const i32 index = y - impl_->tables.out_top;
    const auto [pixels, checks] = ahead_->WaitFor(index);
    const i32 visited = impl_->cursor.CommitRow(y, src, dst, mask, pixels, mask != nullptr ? checks : nullptr);
    ahead_->HandedOut(index);
    return visited;
}

void TilingPixelPass::End() noexcept {
    if (ahead_ != nullptr) {
        ahead_->Stop();
        delete ahead_;
        ahead_ = nullptr;
    }
    if (impl_ == nullptr) return;
    impl_->cursor.End();
    delete impl_;
    impl_ = nullptr;
}

}  // namespace tessellon
