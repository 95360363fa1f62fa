// Building the strip's tables (StripTables, pixel_tables.h): the set-up's values and
// the controls read once, then everything of a column of outRect (its AxisPosition,
// its copies' Cells) and of a row (its AxisPosition, its RowCopies) that the pixel code
// derives from one coordinate, the sampling layout, the lane tables and the runs; and
// the tables' read-only questions. No Windows headers.
#include "filter/pixel_tables.h"

#include <cstring>

#include "filter/control_rows.h"

namespace tessellon::tiling_pass {

// --- Preparation -----------------------------------------------------------------

bool StripTables::ReadProfile(i32 base, i32 index, i32* value) const noexcept {
    const i32 cell = wrap_add(base, index);
    // A read outside the array would set the status; one inside cells 0..12 would see
    // the pixels' own writes. Neither happens with the filter's set-up.
    if (cell < 13 || cell >= Execution().put_cell_count) return false;
    *value = Execution().put_array[cell];
    return true;
}

bool StripTables::Build(const StripDescription& strip) noexcept {
    if (Execution().put_array == nullptr || Execution().put_cell_count < 13) return false;
    if (strip.zoom != 1 || Execution().preview_start == -1) return false;
    const std::uint8_t* flags = definition_block.use_flags[kPhasePixel];
    // Fields the loader computes per pixel from more than the pixel itself: the pass
    // recreates the loader's work for the last pixel only.
    for (int k : {kFieldLuma, kFieldChromaU, kFieldChromaV, kFieldAngle, kFieldRadius, kFieldMaskValue,
                  kFieldStatus}) {
        if (flags[k] != 0) return false;
    }
    // The colour entry must exist, or color_part would set the status.
    if (definition_block.colour_count < 1) return false;

    if (strip.in_data == nullptr || strip.in_rect.right <= strip.in_rect.left ||
        strip.in_rect.bottom <= strip.in_rect.top) {
        return false;
    }
    in_data = strip.in_data;
    in_row_bytes = strip.in_row_bytes;
    out_data = strip.out_data;
    out_row_bytes = strip.out_row_bytes;
    mask_data = strip.mask_data;
    mask_row_bytes = strip.mask_row_bytes;
    mask_left = strip.mask_rect.left;
    mask_top = strip.mask_rect.top;
    in_left = strip.in_rect.left;
    in_top = strip.in_rect.top;
    in_right = strip.in_rect.right;
    in_bottom = strip.in_rect.bottom;
    out_left = strip.out_rect.left;
    out_top = strip.out_rect.top;
    out_right = strip.out_rect.right;
    out_bottom = strip.out_rect.bottom;
    origin_x = Execution().origin_x;
    origin_y = Execution().origin_y;

    const ExecutionContext& c = Execution().context;
    const RunRecord& r = Execution().record;
    planes = r.plane_count;
    if (planes < 3) return false;
    // A field the loader does not refresh keeps its value through the pass.
    ctx_planes = flags[kFieldPlaneCount] ? r.plane_count : c.plane_count;
    width = flags[kFieldWidth] ? r.area_w : c.width;
    height = flags[kFieldHeight] ? r.area_h : c.height;
    back_r = flags[kFieldBackR] ? r.back_color[0] : c.back_r;
    back_g = flags[kFieldBackG] ? r.back_color[1] : c.back_g;
    back_b = flags[kFieldBackB] ? r.back_color[2] : c.back_b;

    const i32* v = c.vars;
    if (v[kCellOut] != kOutCell || v[kCellAcc] != kAccCell || v[kCellSrc] != kSrcCell) return false;
    scale = v[kScale];
    if (scale < 1 || scale > kMaxScale) return false;
    tile_w = v[kTileW];
    tile_h = v[kTileH];
    tile_x0 = v[kTileX0];
    tile_x1 = v[kTileX1];
    tile_y0 = v[kTileY0];
    tile_y1 = v[kTileY1];
    step_x = v[kStepX];
    step_y = v[kStepY];
    weight_full = v[kWeightFull];
    bg_lo = v[kBgLo];
    bg_hi = v[kBgHi];
    len_x = v[kProfileLenX];
    len_y = v[kProfileLenY];
    base_x = v[kCellProfileX];
    base_y = v[kCellProfileY];
    band_x_lo = v[kBandXLo];
    band_x_hi = v[kBandXHi];
    wx_after = v[kWeightXAfter];
    wx_before = v[kWeightXBefore];
    band_y_lo = v[kBandYLo];
    band_y_hi = v[kBandYHi];
    wy_after = v[kWeightYAfter];
    wy_before = v[kWeightYBefore];

    fit = check_box(kFitBox) != 0;
    repeat = check_box(kRepeatBox) != 0;
    opaque_out = check_box(kOpaqueOutBox) != 0;
    thru_bg = slider(kThruBgRow) > 0;
    for (int ch = 0; ch < 3; ++ch) colour[ch] = color_part(0, ch);
    alpha_sampled = ctx_planes >= 4 && planes > 3;

    // The shortcuts' conditions: weights within 0..weight_full, background colour and
    // thresholds in their ranges, and no "a = c and b = d" case of rescale that could
    // hand back a distance as an alpha.
    const auto within = [](i32 value, i32 lo, i32 hi) { return value >= lo && value <= hi; };
    generic = !(within(weight_full, 1, 32767) && within(wx_after, 0, weight_full) &&
                within(wx_before, 0, weight_full) && within(wy_after, 0, weight_full) &&
                within(wy_before, 0, weight_full) && within(back_r, 0, 255) && within(back_g, 0, 255) &&
                within(back_b, 0, 255));
    if (thru_bg && bg_lo != bg_hi) {
        if (!(within(bg_lo, 0, 765) && within(bg_hi, bg_lo + 1, 1 << 20))) generic = true;
        if (bg_lo == 0 && bg_hi <= 255) generic = true;
    }
    by_scale = Divisor(scale);
    by_full = Divisor(generic ? 1 : weight_full);
    by_bg = Divisor(!generic && thru_bg && bg_hi > bg_lo ? wrap_sub(bg_hi, bg_lo) : 1);

    if (!BuildColumns() || !BuildRows() || !PrepareSampling()) return false;
    colour_only = !generic;
    for (i32 i = 0; i < out_right - out_left; ++i) {
        const Column& col = columns[static_cast<std::size_t>(i)];
        if (col.may_be_in && col.copies == 0) colour_only = false;
        if (col.copies > 1) any_several_columns = true;
    }
    for (i32 i = 0; i < out_bottom - out_top; ++i) {
        const RowInfo& row = rows[static_cast<std::size_t>(i)];
        if (row.may_be_in && row.copies == 0) colour_only = false;
    }
    return lane.Build(*this) && PrepareRuns();
}

// The axis the position is taken along, from the set-up's values.
struct AxisGeometry {
    i32 size, tile_size, tile0, tile1;  // width, tile_w, tile_x0, tile_x1 (or the y ones)
    i32 profile_base, profile_length;   // the profile along this axis
    i32 band_lo, band_hi;               // the seam band the profile shifts
    i32 step;                           // between copies
};

// One coordinate's AxisPosition; false when the pass cannot take it (a profile read
// outside its cells, too many copies, a further copy on the first).
bool StripTables::PositionOnAxis(const AxisGeometry& axis, i32 pos, AxisPosition& p) const noexcept {
    // A position outside the tile keeps zeros: the lane set-up reads every line's band.
    p = AxisPosition{};
    p.in_tile = axis.tile0 <= pos && pos < axis.tile1;
    p.may_be_in = fit || repeat || p.in_tile;
    p.copies = 0;
    if (!p.may_be_in) return true;
    if (fit) {
        p.tile_p = pos;
        p.src0 = wrap_add(wrap_mul(axis.tile0, scale), wrap_mul(div_or_zero(wrap_mul(axis.tile_size, scale), axis.size), pos));
    } else {
        p.tile_p = rem_or_zero(wrap_add(wrap_sub(pos, axis.tile0),
                                wrap_mul(wrap_add(div_or_zero(axis.size, axis.tile_size), 1), axis.tile_size)),
                       axis.tile_size);
        p.src0 = wrap_mul(wrap_add(axis.tile0, p.tile_p), scale);
    }
    const i32 len = axis.profile_length;
    if (!ReadProfile(axis.profile_base, p.tile_p, &p.prof_here) ||
        !ReadProfile(axis.profile_base, rem_or_zero(wrap_sub(wrap_add(len, p.tile_p), 1), len), &p.prof_prev) ||
        !ReadProfile(axis.profile_base, rem_or_zero(wrap_add(p.tile_p, 1), len), &p.prof_next)) {
        return false;
    }
    const i32 here = p.prof_here;
    p.seam_lo = wrap_sub(axis.band_lo, wrap_add(max_of(max_of(p.prof_prev, p.prof_next), here), here) / 2);
    p.seam_hi = wrap_sub(axis.band_hi, wrap_add(min_of(min_of(p.prof_prev, p.prof_next), here), here) / 2);
    p.band = MakeBand(p.seam_lo, p.seam_hi);
    const i32 limit = wrap_mul(axis.size, scale);
    i32 copy = p.src0;
    while (0 <= copy && copy < limit) {
        // A further copy that coincides with the first would count as the first again;
        // the pass relies on only copy 0 being the pixel's own.
        if (p.copies == kMaxCopies || (p.copies > 0 && copy == p.src0)) return false;
        ++p.copies;
        copy = wrap_add(copy, axis.step);
    }
    p.copy_end = copy;
    return true;
}

bool StripTables::BuildColumns() noexcept {
    const i32 count = out_right - out_left;
    if (count <= 0) {
        cell_count = 0;
        return columns.Allocate(0) && cells.Allocate(0);
    }
    if (!columns.Allocate(static_cast<std::size_t>(count))) return false;
    const AxisGeometry axis{width, tile_w, tile_x0, tile_x1, base_x, len_x, band_y_lo, band_y_hi, step_x};
    // First the copy counts, to size the cells.
    std::size_t total = 0;
    for (i32 i = 0; i < count; ++i) {
        Column& col = columns[static_cast<std::size_t>(i)];
        if (!PositionOnAxis(axis, wrap_sub(out_left + i, origin_x), col)) return false;
        col.first = static_cast<i32>(total);
        if (!col.may_be_in) continue;
        total += static_cast<std::size_t>(col.copies);
    }
    if (total * sizeof(Cell) > kMaxTableBytes || !cells.Allocate(total)) return false;
    cell_count = static_cast<i32>(total);
    direct = true;
    for (i32 i = 0; i < count; ++i) {
        const Column& col = columns[static_cast<std::size_t>(i)];
        i32 copy_x = col.src0;
        for (i32 k = 0; k < col.copies; ++k, copy_x = wrap_add(copy_x, step_x)) {
            Cell& cell = cells[static_cast<std::size_t>(col.first + k)];
            cell.copy_x = copy_x;
            const i32 xi = copy_x / scale;
            cell.xf = copy_x % scale;
            // Where sample_at reads: the image x moved by the origin, kept inside the
            // input band.
            const i32 left = clamp32(wrap_add(xi, origin_x), in_left, in_right - 1);
            const i32 right = clamp32(wrap_add(wrap_add(xi, 1), origin_x), in_left, in_right - 1);
            cell.left = (left - in_left) * planes;
            cell.right = (right - in_left) * planes;
            if (cell.xf != 0) direct = false;
        }
    }
    return true;
}

bool StripTables::BuildRows() noexcept {
    const i32 count = out_bottom - out_top;
    if (count <= 0) return rows.Allocate(0) && row_copies.Allocate(0);
    if (!rows.Allocate(static_cast<std::size_t>(count))) return false;
    const AxisGeometry axis{height, tile_h, tile_y0, tile_y1, base_y, len_y, band_x_lo, band_x_hi, step_y};
    std::size_t total = 0;
    max_row_copies = 0;
    for (i32 i = 0; i < count; ++i) {
        RowInfo& row = rows[static_cast<std::size_t>(i)];
        if (!PositionOnAxis(axis, wrap_sub(out_top + i, origin_y), row)) return false;
        row.first = static_cast<i32>(total);
        if (!row.may_be_in) continue;
        // rescale works with the band's width as a 32-bit value; a wider band (which
        // the controls never give) is left to the unabridged arithmetic.
        if (row.band.span > 2147483647.0) generic = true;
        if (row.copies > max_row_copies) max_row_copies = row.copies;
        total += static_cast<std::size_t>(row.copies);
        // rescale's "a = c and b = d" rule would return the copy's position as its
        // weight; only the unabridged arithmetic follows that.
        if (row.seam_lo < row.seam_hi && row.seam_lo == wx_before && row.seam_hi == wx_after) generic = true;
    }
    if (!row_copies.Allocate(total)) return false;
    for (i32 i = 0; i < count; ++i) {
        const RowInfo& row = rows[static_cast<std::size_t>(i)];
        i32 copy_y = row.src0;
        for (i32 j = 0; j < row.copies; ++j, copy_y = wrap_add(copy_y, step_y)) {
            RowCopy& copy = row_copies[static_cast<std::size_t>(row.first + j)];
            copy.copy_y = copy_y;
            const i32 yi = copy_y / scale;
            copy.yf = copy_y % scale;
            copy.top = clamp32(wrap_add(yi, origin_y), in_top, in_bottom - 1) - in_top;
            copy.under = clamp32(wrap_add(wrap_add(yi, 1), origin_y), in_top, in_bottom - 1) - in_top;
        }
    }
    const i32 column_count = out_right - out_left;
    for (i32 i = 0; i < column_count; ++i) {
        const Column& col = columns[static_cast<std::size_t>(i)];
        if (col.may_be_in && col.seam_lo < col.seam_hi &&
            ((col.seam_lo == wy_before && col.seam_hi == wy_after) || col.band.span > 2147483647.0)) {
            generic = true;
        }
    }
    return true;
}

bool StripTables::PrepareSampling() noexcept {
    const i32 column_count = out_right - out_left;
    max_column_copies = 0;
    for (i32 i = 0; i < column_count; ++i) {
        const Column& col = columns[static_cast<std::size_t>(i)];
        if (col.copies > max_column_copies) max_column_copies = col.copies;
    }
    if (direct) {
        for (i32 k = 0; k < cell_count; ++k) cells[static_cast<std::size_t>(k)].sample_offset = cells[static_cast<std::size_t>(k)].left;
        channel_stride = 1;
        cache_slots = 0;
        return true;
    }
    // Fit with fractional positions: one cache row holds the horizontal steps of every
    // copy column for one source row. It is planar: one plane per copy index and
    // channel, one byte per column of outRect, so that the samples of neighbouring
    // columns lie side by side. An output row needs at most two source rows per row of
    // copies; one spare slot keeps the next row's.
    for (i32 i = 0; i < column_count; ++i) {
        const Column& col = columns[static_cast<std::size_t>(i)];
        for (i32 k = 0; k < col.copies; ++k) {
            cells[static_cast<std::size_t>(col.first + k)].sample_offset = k * 4 * column_count + i;
        }
    }
    channel_stride = column_count;
    cache_slots = 2 * max_row_copies + 1;
    const std::size_t row_bytes = CacheRowBytes();
    if (row_bytes * static_cast<std::size_t>(cache_slots) > kMaxTableBytes) return false;
    return true;
}

// Whether the pixels of a row inside the tile are its copies at whole-pixel positions,
// one each: then a column's copy run is a copy of the source row.
bool StripTables::RowCopiesSource(const RowInfo& row) const noexcept {
    return copy_runs && row.copies == 1 && (fit || repeat || row.in_tile) &&
           row_copies[static_cast<std::size_t>(row.first)].yf == 0;
}

// The copy runs and the outside runs, for pixels of three or four planes: a pixel
// writes those and leaves any further plane as the host delivered it. Copy runs only
// where a pixel's bytes are the source's bytes, which needs whole pixels, channels side
// by side and the fourth plane either absent or sampled.
bool StripTables::PrepareRuns() noexcept {
    const i32 count = out_right - out_left;
    const i32 row_count = out_bottom - out_top;
    plain_pixels = 0;
    copy_runs = false;
    if (count <= 0 || planes > 4) return true;
    const auto n = static_cast<std::size_t>(count);
    copy_runs = direct && channel_stride == 1 && (planes == 3 || alpha_sampled);
    i32 copy_columns = 0;
    if (copy_runs) {
        if (!copy_run.Allocate(n)) return false;
        for (i32 i = count - 1; i >= 0; --i) {
            const Column& column = columns[static_cast<std::size_t>(i)];
            i32 run = 0;
            if (column.copies == 1 && (fit || repeat || column.in_tile)) {
                run = 1;
                if (i + 1 < count && copy_run[static_cast<std::size_t>(i) + 1] > 0) {
                    const Column& next = columns[static_cast<std::size_t>(i) + 1];
                    const i32 here = cells[static_cast<std::size_t>(column.first)].sample_offset;
                    const i32 there = cells[static_cast<std::size_t>(next.first)].sample_offset;
                    if (there == here + planes) run += copy_run[static_cast<std::size_t>(i) + 1];
                }
                ++copy_columns;
            }
            copy_run[static_cast<std::size_t>(i)] = run;
        }
    }
    if (fit || repeat) {
        for (i32 y = 0; y < row_count; ++y) {
            if (RowCopiesSource(rows[static_cast<std::size_t>(y)])) plain_pixels += copy_columns;
        }
        return true;
    }
    // Outside the tile: the outside colour, and the fourth plane opaque or clear.
    if (!outside_run.Allocate(n) || !outside_pixels.Allocate(n * static_cast<std::size_t>(planes))) return false;
    i32 outside_columns = 0;
    for (i32 i = count - 1; i >= 0; --i) {
        const bool outside = !columns[static_cast<std::size_t>(i)].in_tile;
        outside_run[static_cast<std::size_t>(i)] =
            outside ? 1 + (i + 1 < count ? outside_run[static_cast<std::size_t>(i) + 1] : 0) : 0;
        if (outside) ++outside_columns;
        std::uint8_t* pixel = &outside_pixels[static_cast<std::size_t>(i) * static_cast<std::size_t>(planes)];
        for (int ch = 0; ch < 3; ++ch) pixel[ch] = static_cast<std::uint8_t>(colour[ch]);
        for (i32 ch = 3; ch < planes; ++ch) pixel[ch] = opaque_out ? 255 : 0;
    }
    for (i32 y = 0; y < row_count; ++y) {
        const RowInfo& row = rows[static_cast<std::size_t>(y)];
        if (!row.in_tile) {
            plain_pixels += count;
            continue;
        }
        plain_pixels += outside_columns;
        if (RowCopiesSource(row)) plain_pixels += copy_columns;
    }
    return true;
}


// --- For the rows computed ahead ---------------------------------------------------

const std::uint8_t* StripTables::SourceRow(i32 y) const noexcept {
    return in_data + static_cast<std::ptrdiff_t>(y - in_top) * in_row_bytes +
           static_cast<std::ptrdiff_t>(out_left - in_left) * planes;
}

const std::uint8_t* StripTables::MaskRow(i32 y) const noexcept {
    if (mask_data == nullptr) return nullptr;
    return mask_data + static_cast<std::ptrdiff_t>(y - mask_top) * mask_row_bytes + (out_left - mask_left);
}

// The abort checks of the row's pixels, summed from its first pixel: checks[i] for
// pixels 0..i. A masked pixel makes none.
void StripTables::RowChecks(const RowInfo& row, const std::uint8_t* mask,
                                      std::uint32_t* checks) const noexcept {
    const RowCheckCounts counts = ChecksOfRow(row);
    const bool all_inside = fit || repeat;
    std::uint32_t sum = 0;
    for (i32 i = 0; i < out_right - out_left; ++i) {
        if (mask == nullptr || mask[i] != 0) {
            const Column& column = columns[static_cast<std::size_t>(i)];
            sum += ChecksOfPixel(counts, all_inside || (row.in_tile && column.in_tile), column.copies);
        }
        checks[i] = sum;
    }
}

void StripTables::PrepareCheckSums() {
    const auto count = static_cast<std::size_t>(out_right - out_left);
    sum_in_x.resize(count);
    sum_in_x_copies.resize(count);
    sum_copies.resize(count);
    last_in_x.resize(count);
    last_out_x.resize(count);
    last_several.resize(count);
    last_single.resize(count);
    std::uint32_t in_x = 0, in_x_copies = 0, copies = 0;
    i32 in = -1, out = -1, several = -1, single = -1;
    for (std::size_t i = 0; i < count; ++i) {
        const Column& column = columns[i];
        const auto c = static_cast<std::uint32_t>(column.copies);
        if (column.in_tile) {
            ++in_x;
            in_x_copies += c;
            in = static_cast<i32>(i);
        } else {
            out = static_cast<i32>(i);
        }
        if (fit || repeat || column.in_tile) {
            (column.copies == 1 ? single : several) = static_cast<i32>(i);
        }
        copies += c;
        sum_in_x[i] = in_x;
        sum_in_x_copies[i] = in_x_copies;
        sum_copies[i] = copies;
        last_in_x[i] = in;
        last_out_x[i] = out;
        last_several[i] = several;
        last_single[i] = single;
    }
}

// RowChecks' checks[i] for a row without a mask, from the column sums: the same sum
// in the same 32-bit arithmetic.
std::uint32_t StripTables::CheckSum(const RowInfo& row, i32 i) const noexcept {
    const RowCheckCounts counts = ChecksOfRow(row);
    const auto at = static_cast<std::size_t>(i);
    const std::uint32_t pixels = static_cast<std::uint32_t>(i) + 1;
    if (fit || repeat) return counts.inside_base * pixels + counts.inside_per_copy * sum_copies[at];
    if (!row.in_tile) return kOutsideChecks * pixels;
    return counts.inside_base * sum_in_x[at] + counts.inside_per_copy * sum_in_x_copies[at] +
           kOutsideChecks * (pixels - sum_in_x[at]);
}

}  // namespace tessellon::tiling_pass
