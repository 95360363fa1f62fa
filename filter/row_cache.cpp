// The row cache of one cursor (RowCache, row_cache.h): its slots of horizontal steps
// (Fit), the vertical steps' tables, and the sampling of a row's rows of copies. No
// Windows headers.
#include "filter/row_cache.h"

#include <cstring>

#include "filter/pixel_tables.h"

namespace tessellon::tiling_pass {

bool RowCache::Allocate() noexcept {
    for (i32& yf : step_yf_) yf = -1;
    const i32 slots = t_.cache_slots;
    if (t_.direct || slots == 0) return true;
    const std::size_t row_bytes = t_.CacheRowBytes();
    if (!cache_.Allocate(row_bytes * static_cast<std::size_t>(slots)) ||
        !tag_.Allocate(static_cast<std::size_t>(slots)) || !used_.Allocate(static_cast<std::size_t>(slots))) {
        return false;
    }
    // Cells no column has stay 0; the fourth plane reads 255 on images of three planes,
    // as the built-in answers for plane 3 there, and is never filled.
    std::memset(cache_.get(), 0, row_bytes * static_cast<std::size_t>(slots));
    const i32 column_count = t_.ColumnCount();
    for (i32 s = 0; s < slots; ++s) {
        tag_[static_cast<std::size_t>(s)] = -1;
        used_[static_cast<std::size_t>(s)] = -1;
        if (t_.planes > 3) continue;
        std::uint8_t* slot = cache_.get() + row_bytes * static_cast<std::size_t>(s);
        for (i32 k = 0; k < t_.max_column_copies; ++k) {
            std::memset(slot + static_cast<std::size_t>((k * 4 + 3) * column_count), 255,
                        static_cast<std::size_t>(column_count));
        }
    }
    return true;
}

// src_interp's horizontal step for every copy column of one source row:
// (a * (n - xf) + b * xf) / n, or a itself when xf is 0.
void RowCache::FillCacheRow(std::uint8_t* slot, i32 buffer_row) const noexcept {
    const std::uint8_t* row = t_.in_data + static_cast<std::ptrdiff_t>(buffer_row) * t_.in_row_bytes;
    if (t_.lane.enabled) {
        tiling_lanes::FillCacheRow(t_.lane.cache_fill, row, slot);
        return;
    }
    for (i32 k = 0; k < t_.cell_count; ++k) FillCell(slot, row, t_.cells[static_cast<std::size_t>(k)]);
}

// One cell's horizontal step: (a * (n - xf) + b * xf) / n per channel, or a itself.
void RowCache::FillCell(std::uint8_t* slot, const std::uint8_t* row, const Cell& cell) const noexcept {
    const int channels = t_.planes > 3 ? 4 : 3;
    const std::ptrdiff_t stride = t_.channel_stride;
    const std::uint8_t* a = row + cell.left;
    const std::uint8_t* b = row + cell.right;
    std::uint8_t* out = slot + cell.sample_offset;
    if (cell.xf == 0) {
        for (int ch = 0; ch < channels; ++ch) out[ch * stride] = a[ch];
        return;
    }
    const auto rest = static_cast<std::uint32_t>(t_.scale - cell.xf);
    const auto xf = static_cast<std::uint32_t>(cell.xf);
    for (int ch = 0; ch < channels; ++ch) {
        out[ch * stride] = static_cast<std::uint8_t>(t_.by_scale.DivideSmall(a[ch] * rest + b[ch] * xf));
    }
}

// FillCacheRow for the copies of a few columns only.
void RowCache::FillColumns(std::uint8_t* slot, i32 buffer_row, const i32* wanted, int count) const noexcept {
    const std::uint8_t* row = t_.in_data + static_cast<std::ptrdiff_t>(buffer_row) * t_.in_row_bytes;
    for (int n = 0; n < count; ++n) {
        const Column& column = t_.columns[static_cast<std::size_t>(wanted[n])];
        for (i32 k = 0; k < column.copies; ++k) {
            FillCell(slot, row, t_.cells[static_cast<std::size_t>(column.first + k)]);
        }
    }
}

const std::uint8_t* RowCache::CacheRow(i32 buffer_row, const i32* needed, int needed_count) noexcept {
    const std::size_t row_bytes = t_.CacheRowBytes();
    const i32 slots = t_.cache_slots;
    i32 victim = -1;
    for (i32 s = 0; s < slots; ++s) {
        if (tag_[static_cast<std::size_t>(s)] == buffer_row) {
            used_[static_cast<std::size_t>(s)] = current_row_;
            return cache_.get() + row_bytes * static_cast<std::size_t>(s);
        }
    }
    // The slot used longest ago among those this output row does not need.
    for (i32 s = 0; s < slots; ++s) {
        const i32 tag = tag_[static_cast<std::size_t>(s)];
        bool wanted = false;
        for (int n = 0; n < needed_count; ++n) wanted = wanted || (tag != -1 && tag == needed[n]);
        if (wanted) continue;
        if (victim == -1 || used_[static_cast<std::size_t>(s)] < used_[static_cast<std::size_t>(victim)]) {
            victim = s;
        }
    }
    std::uint8_t* slot = cache_.get() + row_bytes * static_cast<std::size_t>(victim);
    FillCacheRow(slot, buffer_row);
    tag_[static_cast<std::size_t>(victim)] = buffer_row;
    used_[static_cast<std::size_t>(victim)] = current_row_;
    return slot;
}

// floor(d * yf / n) for every difference d of two bytes, computed as the built-in's
// quotient (255 * (n - yf) + (255 + d) * yf) / n minus 255.
const std::int16_t* RowCache::StepTable(int j, i32 yf) noexcept {
    std::int16_t* table = steps_[j];
    if (step_yf_[j] != yf) {
        const auto rest = static_cast<std::uint32_t>(t_.scale - yf);
        for (i32 d = -255; d <= 255; ++d) {
            const std::uint32_t numerator = 255u * rest + static_cast<std::uint32_t>(255 + d) * static_cast<std::uint32_t>(yf);
            table[d + 255] = static_cast<std::int16_t>(static_cast<i32>(t_.by_scale.DivideSmall(numerator)) - 255);
        }
        step_yf_[j] = yf;
    }
    return table;
}

void RowCache::PrepareRow(const RowInfo& row, i32 y) noexcept {
    current_row_ = y;
    const RowCopy* copies = &t_.row_copies[static_cast<std::size_t>(row.first)];
    i32 needed[2 * kMaxCopies];
    int needed_count = 0;
    for (i32 j = 0; j < row.copies; ++j) {
        needed[needed_count++] = copies[j].top;
        if (copies[j].yf != 0) needed[needed_count++] = copies[j].under;
    }
    for (i32 j = 0; j < row.copies; ++j) {
        RowSampling& s = sampling_[j];
        const RowCopy& copy = copies[j];
        if (t_.direct) {
            s.top = t_.in_data + static_cast<std::ptrdiff_t>(copy.top) * t_.in_row_bytes;
            s.under = t_.in_data + static_cast<std::ptrdiff_t>(copy.under) * t_.in_row_bytes;
        } else {
            s.top = CacheRow(copy.top, needed, needed_count);
            s.under = copy.yf != 0 ? CacheRow(copy.under, needed, needed_count) : s.top;
        }
        s.step = copy.yf != 0 ? StepTable(static_cast<int>(j), copy.yf) : nullptr;
        if (t_.lane.enabled) {
            copy_rows_[j] = {s.top, s.under, tiling_lanes::MultiplierUp(copy.yf, t_.scale),
                             tiling_lanes::MultiplierDown(copy.yf, t_.scale), copy.yf != 0, copy.copy_y};
        }
    }
}

void RowCache::PrepareReplay(const RowInfo& row, const i32* wanted, int count) noexcept {
    if (t_.direct || !(row.may_be_in && row.copies > 0)) {
        if (row.may_be_in && row.copies > 0) PrepareRow(row, current_row_);
        return;
    }
    const RowCopy* copies = &t_.row_copies[static_cast<std::size_t>(row.first)];
    const std::size_t row_bytes = t_.CacheRowBytes();
    for (i32 j = 0; j < row.copies; ++j) {
        const RowCopy& copy = copies[j];
        std::uint8_t* top = cache_.get() + row_bytes * static_cast<std::size_t>(2 * j);
        std::uint8_t* under = cache_.get() + row_bytes * static_cast<std::size_t>(2 * j + 1);
        FillColumns(top, copy.top, wanted, count);
        if (copy.yf != 0) FillColumns(under, copy.under, wanted, count);
        sampling_[j] = {top, copy.yf != 0 ? under : top,
                        copy.yf != 0 ? StepTable(static_cast<int>(j), copy.yf) : nullptr};
    }
}

}  // namespace tessellon::tiling_pass
