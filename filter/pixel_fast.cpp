// The colour of a pixel inside the tile (pixel_colour.h): the per-pixel arithmetic of
// the tiling filter's specialised pixel pass, with every cell (InsidePixel) or for the
// colour alone (InsideColour); one blend (MixCopy) takes a copy into its row of copies
// and a row of copies into the pixel. Below, how the pass as a whole stays exact.
//
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
#include "filter/pixel_colour.h"

namespace tessellon::tiling_pass {

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

// Mixes `over` (colour, alpha 255) composited with `alpha` into the colour and alpha in
// `into` by weight / weight_full, for values within 0..255 and weights within
// 0..weight_full.
inline void MixOver(const StripTables& t, i32* into, const i32* over, i32 alpha, i32 weight) noexcept {
    for (int ch = 0; ch < 3; ++ch) {
        into[ch] = MixFast(weight, into[ch], BlendFast(over[ch], into[ch], alpha), t.weight_full, t.by_full);
    }
    into[3] = MixFast(weight, into[3], BlendFast(255, into[3], alpha), t.weight_full, t.by_full);
}

// `over` (colour, alpha 255) composited with `alpha` into the colour and alpha in
// `into` by weight / weight_full: how a copy goes into its row of copies, and a row of
// copies into the pixel. Leaves the cells of the last channel mixed and of the alpha in
// *previous and *previous_alpha, as the pixel code does. kGeneric: with the built-ins'
// arithmetic unabridged; otherwise for values within 0..255 and weights within
// 0..weight_full, leaving out what cannot change the result.
template <bool kGeneric>
inline void MixCopy(const StripTables& t, i32* into, const i32* over, i32 alpha, i32 weight, i32* previous,
                    i32* previous_alpha) noexcept {
    if (kGeneric) {
        for (int ch = 0; ch < 3; ++ch) {
            const i32 o = *previous = into[ch];
            into[ch] = Rescale(weight, 0, t.weight_full, o, Blend255(over[ch], o, alpha));
        }
        const i32 o = *previous_alpha = into[3];
        into[3] = Rescale(weight, 0, t.weight_full, o, Blend255(255, o, alpha));
    } else {
        *previous = into[2];
        *previous_alpha = into[3];
        if (weight > 0 && alpha != 0) MixOver(t, into, over, alpha, weight);
    }
}

}  // namespace

template <bool kGeneric>
void InsidePixel(const StripTables& t, const RowSampling* sampling, State& st, const RowInfo& row,
                 const Column& column, std::uint8_t* dst) noexcept {
    st.WritePosition(row, column);
    i32 out[4] = {st.put[0], st.put[1], st.put[2], st.put[3]};
    i32 acc[4] = {st.put[5], st.put[6], st.put[7], st.put[8]};
    i32 sample[3] = {st.put[10], st.put[11], st.put[12]};
    i32 alpha = st.copy_alpha;
    i32 distance = st.bg_distance;
    i32 weight = st.copy_weight;
    i32 previous = st.previous_value;
    i32 previous_alpha = st.previous_alpha;
    const Cell* column_cells = &t.cells[static_cast<std::size_t>(column.first)];
    const RowCopy* copies = &t.row_copies[static_cast<std::size_t>(row.first)];
    // A copy's x weight depends on its column and the row's band only, the same for
    // every row of copies; so does a row of copies' y weight on the column's band.
    // Worked out first, they do not hold up the blends.
    i32 weights_x[kMaxCopies];
    i32 weights_y[kMaxCopies];
    if (!kGeneric) {
        for (i32 k = 1; k < column.copies; ++k) {
            weights_x[k] = WeightFast(column_cells[k].copy_x, row.band, t.wx_before, t.wx_after);
        }
        for (i32 j = 1; j < row.copies; ++j) {
            weights_y[j] = WeightFast(copies[j].copy_y, column.band, t.wy_before, t.wy_after);
        }
    }

    for (i32 j = 0; j < row.copies; ++j) {
        const RowSampling& sampler = sampling[j];
        for (i32 k = 0; k < column.copies; ++k) {
            const Cell& cell = column_cells[k];
            SampleCopy(t, sampler, cell.sample_offset, sample, &alpha);
            if (t.thru_bg && (j | k) != 0) {
                distance = wrap_add(wrap_add(Abs(wrap_sub(sample[0], t.back_r)), Abs(wrap_sub(sample[1], t.back_g))),
                                    Abs(wrap_sub(sample[2], t.back_b)));
                if (t.bg_lo == t.bg_hi) {
                    if (distance <= t.bg_lo) alpha = 0;
                } else if (kGeneric) {
                    alpha = Rescale(distance, t.bg_lo, t.bg_hi, 0, alpha);
                } else if (distance < t.bg_lo) {
                    alpha = 0;
                } else if (distance <= t.bg_hi) {
                    alpha = static_cast<i32>(t.by_bg.DivideSmall(static_cast<std::uint32_t>(alpha * (distance - t.bg_lo))));
                }
            }
            if (k == 0) {
                acc[0] = sample[0];
                acc[1] = sample[1];
                acc[2] = sample[2];
                acc[3] = alpha;
                continue;
            }
            weight = kGeneric ? BandWeight(cell.copy_x, row.seam_lo, row.seam_hi, t.wx_before, t.wx_after)
                              : weights_x[k];
            MixCopy<kGeneric>(t, acc, sample, alpha, weight, &previous, &previous_alpha);
        }
        if (j == 0) {
            out[0] = acc[0];
            out[1] = acc[1];
            out[2] = acc[2];
            out[3] = acc[3];
            continue;
        }
        weight = kGeneric ? BandWeight(copies[j].copy_y, column.seam_lo, column.seam_hi, t.wy_before, t.wy_after)
                          : weights_y[j];
        MixCopy<kGeneric>(t, out, acc, acc[3], weight, &previous, &previous_alpha);
    }

    if (row.copies > 0) {
        st.copy_x = column.copy_end;
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
    if (t.planes > 3) dst[3] = Clamp255(out[3]);
}

// Materialize (context_mirror.cpp) and the cursor use both variants.
template void InsidePixel<false>(const StripTables&, const RowSampling*, State&, const RowInfo&, const Column&,
                                 std::uint8_t*) noexcept;
template void InsidePixel<true>(const StripTables&, const RowSampling*, State&, const RowInfo&, const Column&,
                                std::uint8_t*) noexcept;

// --- The colour alone ----------------------------------------------------------------

namespace {

// The copy alpha after the background test (not for the pixel's own position).
inline i32 BackgroundAlpha(const StripTables& t, const i32* rgb, i32 alpha) noexcept {
    if (!t.thru_bg) return alpha;
    const i32 distance = Abs(rgb[0] - t.back_r) + Abs(rgb[1] - t.back_g) + Abs(rgb[2] - t.back_b);
    if (t.bg_lo == t.bg_hi) return distance <= t.bg_lo ? 0 : alpha;
    if (distance < t.bg_lo) return 0;
    if (distance <= t.bg_hi) {
        return static_cast<i32>(t.by_bg.DivideSmall(static_cast<std::uint32_t>(alpha * (distance - t.bg_lo))));
    }
    return alpha;
}

// The accumulated colour of one row of copies, as InsidePixel<false> computes it, with
// the work that cannot change it left out: a copy of weight 0 leaves the accumulator
// as it is, and a copy of full weight and alpha 255 replaces it (colour and alpha 255),
// so the copies before the last such copy do not count when its alpha is 255.
inline void RowOfCopies(const StripTables& t, const RowSampling& sampler, bool first_row,
                        const Cell* cells_of_column, i32 copies, const i32* weights_x, i32 last_full,
                        i32* acc) noexcept {
    i32 sample[3];
    i32 alpha;
    i32 k = 0;
    if (last_full > 0) {
        SampleCopy(t, sampler, cells_of_column[last_full].sample_offset, sample, &alpha);
        if (BackgroundAlpha(t, sample, alpha) == 255) {
            acc[0] = sample[0];
            acc[1] = sample[1];
            acc[2] = sample[2];
            acc[3] = 255;
            k = last_full + 1;
        }
    }
    if (k == 0) {
        SampleCopy(t, sampler, cells_of_column[0].sample_offset, sample, &alpha);
        if (!first_row) alpha = BackgroundAlpha(t, sample, alpha);
        acc[0] = sample[0];
        acc[1] = sample[1];
        acc[2] = sample[2];
        acc[3] = alpha;
        k = 1;
    }
    for (; k < copies; ++k) {
        const i32 weight = weights_x[k];
        if (weight == 0) continue;
        SampleCopy(t, sampler, cells_of_column[k].sample_offset, sample, &alpha);
        alpha = BackgroundAlpha(t, sample, alpha);
        if (alpha == 0) continue;
        MixOver(t, acc, sample, alpha, weight);
    }
}

}  // namespace

// The colour of a pixel inside the tile with several copies, without its cells (see
// StripTables::colour_only); the same bytes as InsidePixel<false>. Rows of copies of weight 0 leave
// the colour as it is; a row of full weight whose accumulated alpha is 255 replaces it.
void InsideColour(const StripTables& t, const RowSampling* sampling, const RowInfo& row, const Column& column,
                  std::uint8_t* dst) noexcept {
    const Cell* column_cells = &t.cells[static_cast<std::size_t>(column.first)];
    const RowCopy* copies = &t.row_copies[static_cast<std::size_t>(row.first)];
    const i32 full = t.weight_full;
    i32 weights_x[kMaxCopies];
    i32 weights_y[kMaxCopies];
    i32 last_full_x = 0;
    for (i32 k = 1; k < column.copies; ++k) {
        weights_x[k] = WeightFast(column_cells[k].copy_x, row.band, t.wx_before, t.wx_after);
        if (weights_x[k] == full) last_full_x = k;
    }
    i32 last_full_y = 0;
    for (i32 j = 1; j < row.copies; ++j) {
        weights_y[j] = WeightFast(copies[j].copy_y, column.band, t.wy_before, t.wy_after);
        if (weights_y[j] == full) last_full_y = j;
    }
    i32 out[4];
    i32 acc[4];
    i32 j = 0;
    if (last_full_y > 0) {
        RowOfCopies(t, sampling[last_full_y], false, column_cells, column.copies, weights_x, last_full_x, acc);
        if (acc[3] == 255) {
            for (int ch = 0; ch < 4; ++ch) out[ch] = acc[ch];
            j = last_full_y + 1;
        }
    }
    if (j == 0) {
        RowOfCopies(t, sampling[0], true, column_cells, column.copies, weights_x, last_full_x, out);
        j = 1;
    }
    for (; j < row.copies; ++j) {
        const i32 weight = weights_y[j];
        if (weight == 0) continue;
        RowOfCopies(t, sampling[j], false, column_cells, column.copies, weights_x, last_full_x, acc);
        const i32 a = acc[3];
        if (a == 0) continue;
        MixOver(t, out, acc, a, weight);
    }
    dst[0] = Clamp255(out[0]);
    dst[1] = Clamp255(out[1]);
    dst[2] = Clamp255(out[2]);
    if (t.planes > 3) dst[3] = Clamp255(out[3]);
}


}  // namespace tessellon::tiling_pass
