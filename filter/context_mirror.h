// ContextMirror: one cursor's mirror of the cells the pixel code writes (its variables
// and put-array cells 0..12), loaded from and stored into the execution context around
// the reference routine and at the end, and the pixel whose cells are still pending:
// simple and outside pixels, and pixels of several copies computed for their colour
// alone, write their cells only when something needs them (the next pixel that writes
// fewer cells, a fallback, the end of a row). Reads the strip's tables, never writes
// them. No Windows headers.
#pragma once

#include <cstdint>

#include "filter/pixel_pass.h"

namespace tessellon::tiling_pass {

struct StripTables;

// The variable cells the pixel code writes, and put-array cells 0..12.
struct State {
    i32 tile_px, tile_py, src_x0, src_y0;
    i32 prof_y_here, prof_x_here, prof_y_prev, prof_y_next, prof_x_prev, prof_x_next;
    i32 seam_x_lo, seam_x_hi, seam_y_lo, seam_y_hi;
    i32 copy_y, copy_x, pass, copy_alpha, bg_distance, copy_weight, previous_value, previous_alpha, loop_inner;
    i32 put[13];

    // The cells every pixel inside the tile writes before its copies.
    void WritePosition(const RowInfo& row, const Column& column) noexcept;
};

class ContextMirror {
public:
    // `sampling`: the cursor's sampling of its current row, which a pending pixel's
    // cells are worked out from.
    ContextMirror(const StripTables& strip, const RowSampling* sampling) noexcept : t(strip), sampling_(sampling) {}
    ContextMirror(const ContextMirror&) = delete;
    ContextMirror& operator=(const ContextMirror&) = delete;

    State state{};

    void Load() noexcept;
    void Store() const noexcept;
    // Writes the cells the pending pixel left unwritten.
    void Materialize() noexcept;

    // Leaves a pixel's cells pending: of one copy (column of row), outside the tile, or
    // of several copies whose colour went to dst. Each kind writes every cell the kinds
    // after it in the order general, simple, outside write; a pending pixel of an
    // earlier kind writes its cells first.
    void PendSimple(const RowInfo& row, i32 column) noexcept {
        if (pending == Pending::general) Materialize();
        pending = Pending::simple;
        pending_row = &row;
        pending_column = column;
    }
    void PendOutside() noexcept {
        if (pending == Pending::simple || pending == Pending::general) Materialize();
        pending = Pending::outside;
    }
    // The pending pixel's cells are all written again by this one.
    void PendGeneral(const RowInfo& row, i32 column, std::uint8_t* dst) noexcept {
        pending = Pending::general;
        pending_row = &row;
        pending_column = column;
        pending_dst = dst;
    }

private:
    const StripTables& t;
    const RowSampling* sampling_;
    enum class Pending { none, simple, outside, general } pending = Pending::none;
    const RowInfo* pending_row = nullptr;
    i32 pending_column = 0;
    std::uint8_t* pending_dst = nullptr;
};

}  // namespace tessellon::tiling_pass
