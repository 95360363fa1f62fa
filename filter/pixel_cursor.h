// PixelCursor: one thread's walk over the rows of a strip. It reads the strip's tables
// (StripTables, shared read-only by every thread) and owns what changes as it goes: its
// mirror of the cells and the pixel whose cells are pending (ContextMirror), its row
// cache and the sampling of its current row (RowCache), its abort counter
// (AbortCounter) and the last pixel it processed. The cursor of the host's thread
// computes rows itself (Row) or hands out rows computed ahead by the others
// (CommitRow); those compute rows into scratch rows (ComputeRow). No Windows headers.
#pragma once

#include <cstdint>

#include "filter/context_mirror.h"
#include "filter/pixel_checks.h"
#include "filter/pixel_tables.h"
#include "filter/row_cache.h"

namespace tessellon::tiling_pass {

class PixelCursor {
public:
    explicit PixelCursor(const StripTables& strip) noexcept
        : t_(strip), cache_(strip), mirror_(strip, cache_.sampling()) {}
    PixelCursor(const PixelCursor&) = delete;
    PixelCursor& operator=(const PixelCursor&) = delete;

    // Its row cache, and the cells as the context holds them now; false without memory.
    bool Start() noexcept;
    // For a cursor that computes rows ahead: counts in a counter of its own that never
    // asks anyone.
    void Detach() noexcept { counter_.Detach(); }

    // One row of outRect, as TilingPixelPass::Row.
    i32 Row(i32 y, const std::uint8_t* src, std::uint8_t* dst, const std::uint8_t* mask, bool* stop) noexcept;
    // Row y's pixels into `pixels` (a row of outRect's width), and with a mask its
    // checks (StripTables::RowChecks).
    void ComputeRow(i32 y, std::uint8_t* pixels, std::uint32_t* checks) noexcept;
    // Hands out row y from the pixels and checks a cursor computed ahead (checks null
    // without a mask); see pixel_cursor.cpp.
    i32 CommitRow(i32 y, const std::uint8_t* src, std::uint8_t* dst, const std::uint8_t* mask,
                  const std::uint8_t* pixels, const std::uint32_t* checks) noexcept;
    // Leaves the context as the per-pixel calls would after the last pixel processed.
    void End() noexcept;

private:
    void HandToReference(i32 y, i32 i, const std::uint8_t* src, std::uint8_t* dst, const std::uint8_t* mask) noexcept;
    void NoteLastFastPixel(i32 y, i32 i, const std::uint8_t* src, std::uint8_t* dst,
                           const std::uint8_t* mask) noexcept;
    void ReplayCells(const RowInfo& row, i32 from, i32 to, const std::uint8_t* mask, std::uint8_t* dst) noexcept;

    const StripTables& t_;
    RowCache cache_;
    ContextMirror mirror_;
    AbortCounter counter_;
    // The last pixel processed, for the end.
    bool any_processed_ = false;
    bool last_fast_ = false;
    i32 last_x_ = 0, last_y_ = 0;
    const std::uint8_t* last_src_ = nullptr;
    std::uint8_t* last_dst_ = nullptr;
    const std::uint8_t* last_mask_ = nullptr;
};

}  // namespace tessellon::tiling_pass
