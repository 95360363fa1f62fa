// The tiling filter's specialised pixel pass. What the reference routine computes per
// pixel splits into parts that depend on the column only (tile column, own source x,
// x profile, vertical seam band, the x positions of the copies and how to sample them),
// parts that depend on the row only (the same for y) and the per-pixel remainder:
// sampling the copies, background transparency, weights and blends. The first two are
// tabled once per strip; the remainder runs inline with the built-ins' arithmetic.
//
// Exactness. Every formula below is the reference's, with its wrap-around and
// truncation; shortcuts are taken only where they give the same value:
//  - a copy at whole-pixel positions is the source byte (src_interp reads just that);
//  - the bilinear sample's vertical step (b*yf + t*(n - yf)) / n has a non-negative
//    numerator, so it equals t + floor((b - t)*yf / n), which is tabled per yf for the
//    511 possible differences of two bytes;
//  - horizontal steps are computed once per source row and copy column and kept in a
//    small row cache (Fit), since every output row of a pass reads the same columns;
//  - divisions by the run constants scale, weight_full and bg_hi - bg_lo are done as a
//    multiplication and a shift that is exact for every 32-bit dividend (Divisor); the
//    in-band weight's quotient, whose product stays below 2^46, from the band's
//    reciprocal with one exact correction step;
//  - blends with alpha 255 or 0 and mixes with weight 0 or weight_full are the copy
//    itself or the old value, as the built-ins' arithmetic gives for in-range values;
//  - a copy's x weight is the same for every row of copies, so it is worked out once.
//    These range arguments need every value to stay within 0..255; where the set-up's
//    values allow anything else (rescale's "a = c and b = d" rule could turn a weight or
//    an alpha into a coordinate or a distance), the pass runs a variant without the
//    shortcuts ("generic"), still tabled but with the built-ins' arithmetic unabridged.
//
// Work that cannot change a result is skipped. A pixel's scratch cells (its variables
// and put-array cells 0..12) only matter when nothing writes them again before they are
// looked at, and with the filter's own set-up every pixel inside the tile has copies,
// so a pixel of several copies overwrites every cell any pixel writes. Such a pixel is
// therefore computed for its colour alone (InsideColour), leaving out copies of weight
// 0 and everything before a copy of full weight and alpha 255; only when its cells are
// needed (a following pixel that writes fewer cells, a pixel handed to the reference
// routine, the end of a row or of the pass) is it computed again with every cell. That
// trades a second computation of one pixel per row for skipping a third to a half of
// the copies of all the others (75 % overlap with Fit). Runs of eight such pixels go
// through the lane kernels of filter/pixel_lanes together, which compute the same
// colours with exact multiply-shift arithmetic, one pixel per vector lane. Runs of
// pixels of one copy on whole source pixels are copies of the source row, and runs
// outside the tile copies of a row of the outside colour: both are copied whole, and
// only the run's last pixel is left pending, since each pixel of a run writes the cells
// of the one before.
//
// Asking the host. The abort counter passes its limit inside some pixel now and then,
// where the per-pixel calls ask the host (or the preview's watchdog) whether to stop.
// Outside a preview the pass asks the host there itself; when it answers "go on" the
// pixel is the one computed without asking, and the counter is left as after it. Only a
// pixel in which the run has to stop, or a preview's, goes through the reference
// routine, which is handed the host's answer for the check that asks (abort_ask).
//
// State. The pass keeps, as the per-pixel calls do, every variable cell the pixel code
// writes and put-array cells 0..12, in a mirror that goes back into the context and the
// put array whenever the reference routine has to run (a pixel that crosses the abort
// counter's limit) and at the end. At the end it also sets the run environment's
// current pixel to the last one processed and has the loader fill the context for it
// (then applies that pixel's set_out values), so the context ends exactly as after the
// per-pixel calls. Nothing else is dropped. No Windows headers.
#include "filter/pixel_pass.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace tessellon {

// --- Pixels -------------------------------------------------------------------------

namespace {

// blend(over, under, alpha, 255) for values within 0..255.
inline i32 BlendFast(i32 over, i32 under, i32 alpha) noexcept {
    if (alpha == 255) return over;
    if (alpha == 0) return under;
    return (over * alpha + under * (255 - alpha)) / 255;
}

// rescale(weight, 0, full, old, mixed) for old and mixed within 0..255 and weight within
// 0..full (full below 32768): the integer formula, whose ends are old and mixed.
inline i32 MixFast(i32 weight, i32 old, i32 mixed, i32 full, const Divisor& by_full) noexcept {
    if (weight <= 0) return old;
    if (weight >= full) return mixed;
    // The product's magnitude stays below 255 * 32767: its sign is taken off and put
    // back without a branch on it.
    const i32 product = (mixed - old) * weight;
    const i32 sign = product >> 31;
    const auto quotient = static_cast<i32>(by_full.DivideSmall(static_cast<std::uint32_t>((product ^ sign) - sign)));
    return old + ((quotient ^ sign) - sign);
}

// The pixel code's band weight for weights within 0..weight_full (weight_full below
// 32768) and a band no wider than 2^31 - 1. Inside the band rescale gives before plus
// the truncated quotient (after - before) * (position - lo) / (hi - lo): its integer
// formula does not wrap there, and its floating-point one is exact, since the product
// stays below 2^46. The quotient comes from the band's reciprocal, which is off by at
// most one, and one correction step (the remainder is exact in double as well).
inline i32 WeightFast(i32 position, const Band& band, i32 before, i32 after) noexcept {
    if (!band.open) return position <= band.lo ? before : after;
    if (position < band.lo) return before;
    if (position > band.hi) return after;
    const i32 difference = after - before;
    const double magnitude = difference < 0 ? -static_cast<double>(difference) : static_cast<double>(difference);
    const double product = magnitude * (static_cast<double>(position) - static_cast<double>(band.lo));
    i32 quotient = static_cast<i32>(product * band.inverse);
    const double rest = product - static_cast<double>(quotient) * band.span;
    if (rest < 0) {
        --quotient;
    } else if (rest >= band.span) {
        ++quotient;
    }
    return before + (difference < 0 ? -quotient : quotient);
}

}  // namespace

// Mixes `over` (colour, alpha 255) composited with `alpha` into the colour and alpha in
// `into` by weight / weight_full, for values within 0..255 and weights within
// 0..weight_full.
inline void TilingPixelPass::Impl::MixOver(i32* into, const i32* over, i32 alpha, i32 weight) const noexcept {
    for (int ch = 0; ch < 3; ++ch) {
        into[ch] = MixFast(weight, into[ch], BlendFast(over[ch], into[ch], alpha), weight_full, by_full);
    }
    into[3] = MixFast(weight, into[3], BlendFast(255, into[3], alpha), weight_full, by_full);
}

// One pixel inside the tile, every copy, as the reference computes it.
template <bool kGeneric>
void TilingPixelPass::Impl::InsidePixel(const RowInfo& row, const Column& column, std::uint8_t* dst) noexcept {
    State& st = state;
    WritePositionCells(row, column);
    i32 out[4] = {st.put[0], st.put[1], st.put[2], st.put[3]};
    i32 acc[4] = {st.put[5], st.put[6], st.put[7], st.put[8]};
    i32 sample[3] = {st.put[10], st.put[11], st.put[12]};
    i32 alpha = st.copy_alpha;
    i32 distance = st.bg_distance;
    i32 weight = st.copy_weight;
    i32 previous = st.previous_value;
    i32 previous_alpha = st.previous_alpha;
    const Cell* column_cells = &cells[static_cast<std::size_t>(column.first_cell)];
    const RowCopy* copies = &row_copies[static_cast<std::size_t>(row.first_copy)];
    const i32 full = weight_full;
    // A copy's x weight depends on its column and the row's band only, the same for
    // every row of copies; so does a row of copies' y weight on the column's band.
    // Worked out first, they do not hold up the blends.
    i32 weights_x[kMaxCopies];
    i32 weights_y[kMaxCopies];
    if (!kGeneric) {
        for (i32 k = 1; k < column.copies; ++k) {
            weights_x[k] = WeightFast(column_cells[k].copy_x, row.band_x, wx_before, wx_after);
        }
        for (i32 j = 1; j < row.copies; ++j) {
            weights_y[j] = WeightFast(copies[j].copy_y, column.band_y, wy_before, wy_after);
        }
    }

    for (i32 j = 0; j < row.copies; ++j) {
        const RowSampling& sampler = sampling[j];
        for (i32 k = 0; k < column.copies; ++k) {
            const Cell& cell = column_cells[k];
            SampleCopy(sampler, cell.sample_offset, sample, &alpha);
            if (thru_bg && (j | k) != 0) {
                distance = wrap_add(wrap_add(Abs(wrap_sub(sample[0], back_r)), Abs(wrap_sub(sample[1], back_g))),
                                    Abs(wrap_sub(sample[2], back_b)));
                if (bg_lo == bg_hi) {
                    if (distance <= bg_lo) alpha = 0;
                } else if (kGeneric) {
                    alpha = Rescale(distance, bg_lo, bg_hi, 0, alpha);
                } else if (distance < bg_lo) {
                    alpha = 0;
                } else if (distance <= bg_hi) {
                    alpha = static_cast<i32>(by_bg.DivideSmall(static_cast<std::uint32_t>(alpha * (distance - bg_lo))));
                }
            }
            if (k == 0) {
                acc[0] = sample[0];
                acc[1] = sample[1];
                acc[2] = sample[2];
                acc[3] = alpha;
                continue;
            }
            weight = kGeneric ? BandWeight(cell.copy_x, row.seam_x_lo, row.seam_x_hi, wx_before, wx_after)
                              : weights_x[k];
            if (kGeneric) {
                for (int ch = 0; ch < 3; ++ch) {
                    const i32 o = previous = acc[ch];
                    acc[ch] = Rescale(weight, 0, full, o, Blend255(sample[ch], o, alpha));
                }
                const i32 o = previous_alpha = acc[3];
                acc[3] = Rescale(weight, 0, full, o, Blend255(255, o, alpha));
            } else {
                previous = acc[2];
                previous_alpha = acc[3];
                if (weight > 0 && alpha != 0) MixOver(acc, sample, alpha, weight);
            }
        }
        if (j == 0) {
            out[0] = acc[0];
            out[1] = acc[1];
            out[2] = acc[2];
            out[3] = acc[3];
            continue;
        }
        const i32 a = acc[3];
        weight = kGeneric ? BandWeight(copies[j].copy_y, column.seam_y_lo, column.seam_y_hi, wy_before, wy_after)
                          : weights_y[j];
        if (kGeneric) {
            for (int ch = 0; ch < 3; ++ch) {
                const i32 o = previous = out[ch];
                out[ch] = Rescale(weight, 0, full, o, Blend255(acc[ch], o, a));
            }
            const i32 o = previous_alpha = out[3];
            out[3] = Rescale(weight, 0, full, o, Blend255(255, o, a));
        } else {
            previous = out[2];
            previous_alpha = out[3];
            if (weight > 0 && a != 0) MixOver(out, acc, a, weight);
        }
    }

    if (row.copies > 0) {
        st.copy_x = column.copy_x_end;
        if (column.copies > 0) st.pass = 3;
    }
    st.copy_alpha = alpha;
    st.bg_distance = distance;
    st.copy_weight = weight;
    st.previous_value = previous;
    st.previous_alpha = previous_alpha;
    st.loop_inner = 4;
    for (int ch = 0; ch < 4; ++ch) {
        st.put[kOutCell + ch] = out[ch];
        st.put[kAccCell + ch] = acc[ch];
    }
    for (int ch = 0; ch < 3; ++ch) st.put[kSrcCell + ch] = sample[ch];

    // set_out for channels 0..3, then the loader's write-back with its clamping.
    dst[0] = Clamp255(out[0]);
    dst[1] = Clamp255(out[1]);
    dst[2] = Clamp255(out[2]);
    if (planes > 3) dst[3] = Clamp255(out[3]);
}

// The copy alpha after the background test (not for the pixel's own position).
inline i32 TilingPixelPass::Impl::BackgroundAlpha(const i32* rgb, i32 alpha) const noexcept {
    if (!thru_bg) return alpha;
    const i32 distance = Abs(rgb[0] - back_r) + Abs(rgb[1] - back_g) + Abs(rgb[2] - back_b);
    if (bg_lo == bg_hi) return distance <= bg_lo ? 0 : alpha;
    if (distance < bg_lo) return 0;
    if (distance <= bg_hi) {
        return static_cast<i32>(by_bg.DivideSmall(static_cast<std::uint32_t>(alpha * (distance - bg_lo))));
    }
    return alpha;
}

// The accumulated colour of one row of copies, as InsidePixel<false> computes it, with
// the work that cannot change it left out: a copy of weight 0 leaves the accumulator
// as it is, and a copy of full weight and alpha 255 replaces it (colour and alpha 255),
// so the copies before the last such copy do not count when its alpha is 255.
inline void TilingPixelPass::Impl::RowOfCopies(const RowSampling& sampler, bool first_row,
                                               const Cell* cells_of_column, i32 copies, const i32* weights_x,
                                               i32 last_full, i32* acc) const noexcept {
    i32 sample[3];
    i32 alpha;
    i32 k = 0;
    if (last_full > 0) {
        SampleCopy(sampler, cells_of_column[last_full].sample_offset, sample, &alpha);
        if (BackgroundAlpha(sample, alpha) == 255) {
            acc[0] = sample[0];
            acc[1] = sample[1];
            acc[2] = sample[2];
            acc[3] = 255;
            k = last_full + 1;
        }
    }
    if (k == 0) {
        SampleCopy(sampler, cells_of_column[0].sample_offset, sample, &alpha);
        if (!first_row) alpha = BackgroundAlpha(sample, alpha);
        acc[0] = sample[0];
        acc[1] = sample[1];
        acc[2] = sample[2];
        acc[3] = alpha;
        k = 1;
    }
    for (; k < copies; ++k) {
        const i32 weight = weights_x[k];
        if (weight == 0) continue;
        SampleCopy(sampler, cells_of_column[k].sample_offset, sample, &alpha);
        alpha = BackgroundAlpha(sample, alpha);
        if (alpha == 0) continue;
        MixOver(acc, sample, alpha, weight);
    }
}

// The colour of a pixel inside the tile with several copies, without its cells (see
// colour_only); the same bytes as InsidePixel<false>. Rows of copies of weight 0 leave
// the colour as it is; a row of full weight whose accumulated alpha is 255 replaces it.
void TilingPixelPass::Impl::InsideColour(const RowInfo& row, const Column& column,
                                         std::uint8_t* dst) const noexcept {
    const Cell* column_cells = &cells[static_cast<std::size_t>(column.first_cell)];
    const RowCopy* copies = &row_copies[static_cast<std::size_t>(row.first_copy)];
    const i32 full = weight_full;
    i32 weights_x[kMaxCopies];
    i32 weights_y[kMaxCopies];
    i32 last_full_x = 0;
    for (i32 k = 1; k < column.copies; ++k) {
        weights_x[k] = WeightFast(column_cells[k].copy_x, row.band_x, wx_before, wx_after);
        if (weights_x[k] == full) last_full_x = k;
    }
    i32 last_full_y = 0;
    for (i32 j = 1; j < row.copies; ++j) {
        weights_y[j] = WeightFast(copies[j].copy_y, column.band_y, wy_before, wy_after);
        if (weights_y[j] == full) last_full_y = j;
    }
    i32 out[4];
    i32 acc[4];
    i32 j = 0;
    if (last_full_y > 0) {
        RowOfCopies(sampling[last_full_y], false, column_cells, column.copies, weights_x, last_full_x, acc);
        if (acc[3] == 255) {
            for (int ch = 0; ch < 4; ++ch) out[ch] = acc[ch];
            j = last_full_y + 1;
        }
    }
    if (j == 0) {
        RowOfCopies(sampling[0], true, column_cells, column.copies, weights_x, last_full_x, out);
        j = 1;
    }
    for (; j < row.copies; ++j) {
        const i32 weight = weights_y[j];
        if (weight == 0) continue;
        RowOfCopies(sampling[j], false, column_cells, column.copies, weights_x, last_full_x, acc);
        const i32 a = acc[3];
        if (a == 0) continue;
        MixOver(out, acc, a, weight);
    }
    dst[0] = Clamp255(out[0]);
    dst[1] = Clamp255(out[1]);
    dst[2] = Clamp255(out[2]);
    if (planes > 3) dst[3] = Clamp255(out[3]);
}

i32 TilingPixelPass::Impl::Row(i32 y, const std::uint8_t* src, std::uint8_t* dst, const std::uint8_t* mask,
                               bool* stop) noexcept {
    const i32 width_px = out_right - out_left;
    const RowInfo& row = rows[static_cast<std::size_t>(y - out_top)];
    current_row = y;
    if (row.may_be_in && row.copies > 0) PrepareRow(row);
    const RowCheckCounts counts = ChecksOfRow(row);
    const bool all_inside = fit || repeat;
    i32 last_column = -1;

    const bool lanes_here = lanes && row.may_be_in && row.copies > 0;
    // Runs of pixels whose bytes are copied (see PrepareRuns), as many of them as the
    // counter allows before its limit: the pixel that reaches it goes the way below.
    const bool copies_here = mask == nullptr && RowCopiesSource(row) && sampling[0].step == nullptr;
    const bool outside_here = mask == nullptr && outside_pixels.get() != nullptr;
    const std::uint32_t copy_checks = counts.inside_base + counts.inside_per_copy;
    const auto run_length = [&](i32 i, i32 run, std::uint32_t checks) {
        if (*calls > calls_limit - checks) return 0;
        const auto fit_in = static_cast<i32>(
            std::min<std::uint32_t>((calls_limit - *calls) / checks, static_cast<std::uint32_t>(width_px - i)));
        const i32 n = std::min(run, fit_in);
        *calls += checks * static_cast<std::uint32_t>(n);
        return n;
    };
    for (i32 i = 0; i < width_px; ++i) {
        if (copies_here && copy_run[static_cast<std::size_t>(i)] > 0) {
            if (const i32 n = run_length(i, copy_run[static_cast<std::size_t>(i)], copy_checks); n > 0) {
                const i32 offset =
                    cells[static_cast<std::size_t>(columns[static_cast<std::size_t>(i)].first_cell)].sample_offset;
                std::memcpy(dst + static_cast<std::ptrdiff_t>(i) * planes, sampling[0].top + offset,
                            static_cast<std::size_t>(n) * static_cast<std::size_t>(planes));
                i += n - 1;
                if (pending == Pending::general) Materialize();
                pending = Pending::simple;
                pending_row = &row;
                pending_column = i;
                last_column = i;
                continue;
            }
        }
        if (outside_here && (!row.in_y || outside_run[static_cast<std::size_t>(i)] > 0)) {
            const i32 run = row.in_y ? outside_run[static_cast<std::size_t>(i)] : width_px - i;
            if (const i32 n = run_length(i, run, kOutsideChecks); n > 0) {
                std::memcpy(dst + static_cast<std::ptrdiff_t>(i) * planes,
                            outside_pixels.get() + static_cast<std::ptrdiff_t>(i) * planes,
                            static_cast<std::size_t>(n) * static_cast<std::size_t>(planes));
                i += n - 1;
                if (pending == Pending::simple || pending == Pending::general) Materialize();
                pending = Pending::outside;
                last_column = i;
                continue;
            }
        }
        std::uint32_t group_checks = 0;
        int group_copies = 0;
        if (lanes_here && i + tiling_lanes::kLanes <= width_px &&
            Groupable(row, i, mask, &group_checks, &group_copies) &&
            *calls <= calls_limit - group_checks) {
            // As many InsideColour calls, one after the other.
            *calls += group_checks;
            GroupColours(row, i, group_copies, dst + static_cast<std::ptrdiff_t>(i) * planes);
            i += tiling_lanes::kLanes - 1;
            pending = Pending::general;
            pending_row = &row;
            pending_column = i;
            pending_dst = dst + static_cast<std::ptrdiff_t>(i) * planes;
            last_column = i;
            continue;
        }
        if (mask != nullptr && mask[i] == 0) continue;
        const Column& column = columns[static_cast<std::size_t>(i)];
        const bool inside = all_inside || (row.in_y && column.in_x);
        const std::uint32_t checks = ChecksOfPixel(counts, inside, column.copies);
        std::uint8_t* pixel_dst = dst + static_cast<std::ptrdiff_t>(i) * planes;
        last_column = i;
        if (*calls > calls_limit - checks) {
            // The counter reaches its limit inside this pixel. Unless the host answers
            // "go on", the reference routine makes the calls one by one, asks the host
            // or the watchdog at the right one, and stops the pixel where it says so.
            if (!AskedAndGoingOn(checks)) {
                HandToReference(y, i, src, dst, mask);
                last_column = -1;
                if (preview_start == -1) {
                    *stop = true;
                    return i + 1;
                }
                continue;
            }
        } else {
            *calls += checks;
        }
        if (!inside) {
            pixel_dst[0] = static_cast<std::uint8_t>(colour[0]);
            pixel_dst[1] = static_cast<std::uint8_t>(colour[1]);
            pixel_dst[2] = static_cast<std::uint8_t>(colour[2]);
            if (planes > 3) pixel_dst[3] = opaque_out ? 255 : 0;
            // An outside pixel writes a part of what a simple one writes: a simple pixel
            // pending before it must write its cells first.
            if (pending == Pending::simple || pending == Pending::general) Materialize();
            pending = Pending::outside;
        } else if (row.copies == 1 && column.copies == 1) {
            // One copy: the pixel's colour is its sample, alpha included.
            i32 rgb[3];
            i32 alpha;
            SampleCopy(sampling[0], cells[static_cast<std::size_t>(column.first_cell)].sample_offset, rgb, &alpha);
            pixel_dst[0] = static_cast<std::uint8_t>(rgb[0]);
            pixel_dst[1] = static_cast<std::uint8_t>(rgb[1]);
            pixel_dst[2] = static_cast<std::uint8_t>(rgb[2]);
            if (planes > 3) pixel_dst[3] = static_cast<std::uint8_t>(alpha);
            // A simple pixel writes every cell an outside one does, and all of its own,
            // but not all of a general one's.
            if (pending == Pending::general) Materialize();
            pending = Pending::simple;
            pending_row = &row;
            pending_column = i;
        } else if (colour_only) {
            // Writes every cell the pending pixel would have written: that one's cells
            // are not needed any more.
            InsideColour(row, column, pixel_dst);
            pending = Pending::general;
            pending_row = &row;
            pending_column = i;
            pending_dst = pixel_dst;
        } else {
            Materialize();
            if (generic) {
                InsidePixel<true>(row, column, pixel_dst);
            } else {
                InsidePixel<false>(row, column, pixel_dst);
            }
        }
    }
    Materialize();
    if (last_column >= 0) NoteLastFastPixel(y, last_column, src, dst, mask);
    return width_px;
}

// For a pixel of `checks` abort checks in which the counter reaches its limit: asks the
// host there and then, where a run outside a preview asks nothing but the host, and
// whether it answered "go on". Then the pixel's result is the one computed without
// asking, and the counter is left as after the pixel; otherwise it is put back, and the
// answer waits for the reference routine's call at the same check.
bool TilingPixelPass::Impl::AskedAndGoingOn(std::uint32_t checks) noexcept {
    if (calls != &abort_check_calls || preview_start != 0) return false;
    const std::uint32_t before = *calls;
    // The pixel's check that asks: the one past the limit, or its first when the
    // counter is past the limit already (a host's abortProc can set it).
    const std::uint32_t at = before > calls_limit ? 1 : calls_limit - before + 1;
    const i32 answer = abort_ask();
    if (answer == 0) {
        *calls = checks - at;
        return true;
    }
    *calls = before;
    abort_answer_ahead = answer;
    return false;
}

// Pixel i of row y through the reference routine, with the mirror stored before and
// loaded after; the pixel becomes the last one processed.
void TilingPixelPass::Impl::HandToReference(i32 y, i32 i, const std::uint8_t* src, std::uint8_t* dst,
                                            const std::uint8_t* mask) noexcept {
    Materialize();
    StoreState();
    const std::ptrdiff_t at = static_cast<std::ptrdiff_t>(i) * planes;
    run_record.cur_src = const_cast<std::uint8_t*>(src + at);
    run_record.cur_dst = dst + at;
    run_record.cur_mask = mask != nullptr ? const_cast<std::uint8_t*>(mask + i) : nullptr;
    run_record.cur_x = out_left + i - origin_x;
    run_record.cur_y = y - origin_y;
    run_phase(kPhasePixel);
    abort_answer_ahead = -1;  // taken by the call that asks, which the pixel makes
    LoadState();
    NoteLastFastPixel(y, i, src, dst, mask);
    last_fast = false;
}

// Pixel i of row y is the last one processed, computed by the pass.
void TilingPixelPass::Impl::NoteLastFastPixel(i32 y, i32 i, const std::uint8_t* src, std::uint8_t* dst,
                                              const std::uint8_t* mask) noexcept {
    const std::ptrdiff_t at = static_cast<std::ptrdiff_t>(i) * planes;
    any_processed = true;
    last_fast = true;
    last_x = out_left + i;
    last_y = y;
    last_src = src + at;
    last_dst = dst + at;
    last_mask = mask != nullptr ? mask + i : nullptr;
}

void TilingPixelPass::Impl::End() noexcept {
    Materialize();
    if (!any_processed) return;
    current_phase = kPhasePixel;
    current_entry = entry_address[EntryWordOf(kPhasePixel)];
    run_record.cur_src = const_cast<std::uint8_t*>(last_src);
    run_record.cur_dst = last_dst;
    run_record.cur_mask = const_cast<std::uint8_t*>(last_mask);
    run_record.cur_x = last_x - origin_x;
    run_record.cur_y = last_y - origin_y;
    if (last_fast) {
        // The loader's fields for the last pixel, then what its set_out calls stored.
        load_context(kPhasePixel);
        ExecutionContext& c = execution_context;
        c.out_r = state.put[kOutCell + 0];
        c.out_g = state.put[kOutCell + 1];
        c.out_b = state.put[kOutCell + 2];
        if (planes > 3) c.out_a = state.put[kOutCell + 3];
    }
    StoreState();
}

// Materialize (context_mirror.cpp) and the rows computed ahead use both variants.
template void TilingPixelPass::Impl::InsidePixel<false>(const RowInfo&, const Column&, std::uint8_t*) noexcept;
template void TilingPixelPass::Impl::InsidePixel<true>(const RowInfo&, const Column&, std::uint8_t*) noexcept;

// --- The public face ----------------------------------------------------------------

std::uint32_t tiling_pixel_passes = 0;
std::uint32_t tiling_threaded_passes = 0;

TilingPixelPass::~TilingPixelPass() {
    if (ahead_ != nullptr) ahead_->Stop();
    delete ahead_;
    delete impl_;
}

bool TilingPixelPass::Begin(const StripDescription& strip) noexcept {
    const int word = EntryWordOf(kPhasePixel);
    if (entry_routine[word] != &filter_pixel || !EntryPresent(entry_address[word])) return false;
    impl_ = new (std::nothrow) Impl;
    if (impl_ == nullptr) return false;
    if (!impl_->Prepare(strip)) {
        delete impl_;
        impl_ = nullptr;
        return false;
    }
    ++tiling_pixel_passes;
    StartAhead();
    return true;
}

std::int32_t TilingPixelPass::Row(std::int32_t y, const std::uint8_t* src, std::uint8_t* dst,
                                  const std::uint8_t* mask, bool* stop) noexcept {
    if (ahead_ == nullptr) return impl_->Row(y, src, dst, mask, stop);
    const i32 index = y - impl_->out_top;
    const auto [pixels, checks] = ahead_->WaitFor(index);
    const i32 visited = impl_->CommitRow(y, src, dst, mask, pixels, mask != nullptr ? checks : nullptr);
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
    impl_->End();
    delete impl_;
    impl_ = nullptr;
}

}  // namespace tessellon
