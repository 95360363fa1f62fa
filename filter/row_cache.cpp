// The row cache of the pass under Fit: each slot holds the horizontal steps of every
// copy column for one source row, planar, so that neighbouring columns' samples lie
// side by side; the vertical steps come from a table per fraction. The rows an output
// row needs are filled on first use and kept while later rows need them. No Windows
// headers.
#include "filter/pixel_pass.h"

#include <cstring>

namespace tessellon {

std::size_t TilingPixelPass::Impl::CacheRowBytes() const noexcept {
    return static_cast<std::size_t>(max_column_copies) * 4 * static_cast<std::size_t>(out_right - out_left);
}

// src_interp's horizontal step for every copy column of one source row:
// (a * (n - xf) + b * xf) / n, or a itself when xf is 0.
void TilingPixelPass::Impl::FillCacheRow(std::uint8_t* slot, i32 buffer_row) noexcept {
    const std::uint8_t* row = in_data + static_cast<std::ptrdiff_t>(buffer_row) * in_row_bytes;
    if (lanes) {
        tiling_lanes::FillCacheRow(cache_fill, row, slot);
        return;
    }
    for (i32 k = 0; k < cell_count; ++k) FillCell(slot, row, cells[static_cast<std::size_t>(k)]);
}

// One cell's horizontal step: (a * (n - xf) + b * xf) / n per channel, or a itself.
void TilingPixelPass::Impl::FillCell(std::uint8_t* slot, const std::uint8_t* row, const Cell& cell) const noexcept {
    const int channels = planes > 3 ? 4 : 3;
    const std::ptrdiff_t stride = channel_stride;
    const std::uint8_t* a = row + cell.left;
    const std::uint8_t* b = row + cell.right;
    std::uint8_t* out = slot + cell.sample_offset;
    if (cell.xf == 0) {
        for (int ch = 0; ch < channels; ++ch) out[ch * stride] = a[ch];
        return;
    }
    const auto rest = static_cast<std::uint32_t>(scale - cell.xf);
    const auto xf = static_cast<std::uint32_t>(cell.xf);
    for (int ch = 0; ch < channels; ++ch) {
        out[ch * stride] = static_cast<std::uint8_t>(by_scale.DivideSmall(a[ch] * rest + b[ch] * xf));
    }
}

const std::uint8_t* TilingPixelPass::Impl::CacheRow(i32 buffer_row, const i32* needed, int needed_count) noexcept {
    const std::size_t row_bytes = CacheRowBytes();
    i32 victim = -1;
    for (i32 s = 0; s < cache_slots; ++s) {
        if (cache_tag[static_cast<std::size_t>(s)] == buffer_row) {
            cache_used[static_cast<std::size_t>(s)] = current_row;
            return cache.get() + row_bytes * static_cast<std::size_t>(s);
        }
    }
    // The slot used longest ago among those this output row does not need.
    for (i32 s = 0; s < cache_slots; ++s) {
        const i32 tag = cache_tag[static_cast<std::size_t>(s)];
        bool wanted = false;
        for (int n = 0; n < needed_count; ++n) wanted = wanted || (tag != -1 && tag == needed[n]);
        if (wanted) continue;
        if (victim == -1 || cache_used[static_cast<std::size_t>(s)] < cache_used[static_cast<std::size_t>(victim)]) {
            victim = s;
        }
    }
    std::uint8_t* slot = cache.get() + row_bytes * static_cast<std::size_t>(victim);
    FillCacheRow(slot, buffer_row);
    cache_tag[static_cast<std::size_t>(victim)] = buffer_row;
    cache_used[static_cast<std::size_t>(victim)] = current_row;
    return slot;
}

// floor(d * yf / n) for every difference d of two bytes, computed as the built-in's
// quotient (255 * (n - yf) + (255 + d) * yf) / n minus 255.
const std::int16_t* TilingPixelPass::Impl::StepTable(int j, i32 yf) noexcept {
    std::int16_t* table = steps[j];
    if (step_yf[j] != yf) {
        const auto rest = static_cast<std::uint32_t>(scale - yf);
        for (i32 d = -255; d <= 255; ++d) {
            const std::uint32_t numerator = 255u * rest + static_cast<std::uint32_t>(255 + d) * static_cast<std::uint32_t>(yf);
            table[d + 255] = static_cast<std::int16_t>(static_cast<i32>(by_scale.DivideSmall(numerator)) - 255);
        }
        step_yf[j] = yf;
    }
    return table;
}

void TilingPixelPass::Impl::PrepareRow(const RowInfo& row) noexcept {
    const RowCopy* copies = &row_copies[static_cast<std::size_t>(row.first_copy)];
    i32 needed[2 * kMaxCopies];
    int needed_count = 0;
    for (i32 j = 0; j < row.copies; ++j) {
        needed[needed_count++] = copies[j].top;
        if (copies[j].yf != 0) needed[needed_count++] = copies[j].under;
    }
    for (i32 j = 0; j < row.copies; ++j) {
        RowSampling& s = sampling[j];
        const RowCopy& copy = copies[j];
        if (direct) {
            s.top = in_data + static_cast<std::ptrdiff_t>(copy.top) * in_row_bytes;
            s.under = in_data + static_cast<std::ptrdiff_t>(copy.under) * in_row_bytes;
        } else {
            s.top = CacheRow(copy.top, needed, needed_count);
            s.under = copy.yf != 0 ? CacheRow(copy.under, needed, needed_count) : s.top;
        }
        s.step = copy.yf != 0 ? StepTable(static_cast<int>(j), copy.yf) : nullptr;
        if (lanes) {
            copy_rows[j] = {s.top, s.under, tiling_lanes::MultiplierUp(copy.yf, scale),
                            tiling_lanes::MultiplierDown(copy.yf, scale), copy.yf != 0, copy.copy_y};
        }
    }
}

}  // namespace tessellon
