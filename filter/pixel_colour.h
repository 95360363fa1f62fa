// The colour of one pixel inside the tile, from the strip's tables and the sampling of
// its row's rows of copies (pixel_fast.cpp): with every cell the pixel code writes
// (InsidePixel), or the colour alone (InsideColour). No Windows headers.
#pragma once

#include <cstddef>
#include <cstdint>

#include "filter/context_mirror.h"
#include "filter/pixel_tables.h"

namespace tessellon::tiling_pass {

// src_interp for channels 0..2 (and 3 when the copy alpha is sampled) of one copy.
inline void SampleCopy(const StripTables& t, const RowSampling& s, i32 offset, i32* rgb, i32* alpha) noexcept {
    const std::ptrdiff_t c = t.channel_stride;
    const std::uint8_t* top = s.top + offset;
    if (s.step == nullptr) {
        rgb[0] = top[0];
        rgb[1] = top[c];
        rgb[2] = top[2 * c];
        *alpha = t.alpha_sampled ? top[3 * c] : 255;
        return;
    }
    const std::uint8_t* u = s.under + offset;
    const std::int16_t* step = s.step + 255;
    rgb[0] = top[0] + step[u[0] - top[0]];
    rgb[1] = top[c] + step[u[c] - top[c]];
    rgb[2] = top[2 * c] + step[u[2 * c] - top[2 * c]];
    *alpha = t.alpha_sampled ? top[3 * c] + step[u[3 * c] - top[3 * c]] : 255;
}

// One pixel inside the tile, every copy, as the reference computes it: its colour into
// dst and every cell it writes into st. kGeneric: the built-ins' arithmetic unabridged.
template <bool kGeneric>
void InsidePixel(const StripTables& t, const RowSampling* sampling, State& st, const RowInfo& row,
                 const Column& column, std::uint8_t* dst) noexcept;

// The colour of a pixel inside the tile with several copies, without its cells (see
// StripTables::colour_only); the same bytes as InsidePixel<false>.
void InsideColour(const StripTables& t, const RowSampling* sampling, const RowInfo& row, const Column& column,
                  std::uint8_t* dst) noexcept;

}  // namespace tessellon::tiling_pass
