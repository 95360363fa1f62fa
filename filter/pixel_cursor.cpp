// One thread's walk over the rows of a strip (PixelCursor, pixel_cursor.h): a row
// computed in place, pixel by pixel or in runs and groups, with the pixel at which the
// abort counter reaches its limit handed to the reference routine; a row computed into
// a scratch row ahead; a row computed ahead handed out, with the cells brought up to
// date; and the end of the pass. No Windows headers.
#include "filter/pixel_cursor.h"

#include <algorithm>
#include <cstring>

#include "filter/pixel_colour.h"

namespace tessellon::tiling_pass {

bool PixelCursor::Start() noexcept {
    if (!cache_.Allocate()) return false;
    mirror_.Load();
    return true;
}

i32 PixelCursor::Row(i32 y, const std::uint8_t* src, std::uint8_t* dst, const std::uint8_t* mask,
                     bool* stop) noexcept {
    const i32 width_px = t_.out_right - t_.out_left;
    const RowInfo& row = t_.rows[static_cast<std::size_t>(y - t_.out_top)];
    if (row.may_be_in && row.copies > 0) cache_.PrepareRow(row, y);
    const RowCheckCounts counts = ChecksOfRow(row);
    const bool all_inside = t_.fit || t_.repeat;
    i32 last_column = -1;

    const bool lanes_here = t_.lane.enabled && row.may_be_in && row.copies > 0;
    // Runs of pixels whose bytes are copied (see PrepareRuns), as many of them as the
    // counter allows before its limit: the pixel that reaches it goes the way below.
    const bool copies_here = mask == nullptr && t_.RowCopiesSource(row) && cache_.sampling()[0].step == nullptr;
    const bool outside_here = mask == nullptr && t_.outside_pixels.get() != nullptr;
    const std::uint32_t copy_checks = counts.inside_base + counts.inside_per_copy;
    const auto run_length = [&](i32 i, i32 run, std::uint32_t checks) {
        if (*counter_.calls > counter_.limit - checks) return 0;
        const auto fit_in = static_cast<i32>(
            std::min<std::uint32_t>((counter_.limit - *counter_.calls) / checks,
                                    static_cast<std::uint32_t>(width_px - i)));
        const i32 n = std::min(run, fit_in);
        *counter_.calls += checks * static_cast<std::uint32_t>(n);
        return n;
    };
    // Set to -1 by the watchdog when a preview render is abandoned.
    const std::int32_t& preview_start = Execution().preview_start;
    for (i32 i = 0; i < width_px; ++i) {
        if (copies_here && t_.copy_run[static_cast<std::size_t>(i)] > 0) {
            if (const i32 n = run_length(i, t_.copy_run[static_cast<std::size_t>(i)], copy_checks); n > 0) {
                const i32 offset =
                    t_.cells[static_cast<std::size_t>(t_.columns[static_cast<std::size_t>(i)].first)].sample_offset;
                std::memcpy(dst + static_cast<std::ptrdiff_t>(i) * t_.planes, cache_.sampling()[0].top + offset,
                            static_cast<std::size_t>(n) * static_cast<std::size_t>(t_.planes));
                i += n - 1;
                mirror_.PendSimple(row, i);
                last_column = i;
                continue;
            }
        }
        if (outside_here && (!row.in_tile || t_.outside_run[static_cast<std::size_t>(i)] > 0)) {
            const i32 run = row.in_tile ? t_.outside_run[static_cast<std::size_t>(i)] : width_px - i;
            if (const i32 n = run_length(i, run, kOutsideChecks); n > 0) {
                std::memcpy(dst + static_cast<std::ptrdiff_t>(i) * t_.planes,
                            t_.outside_pixels.get() + static_cast<std::ptrdiff_t>(i) * t_.planes,
                            static_cast<std::size_t>(n) * static_cast<std::size_t>(t_.planes));
                i += n - 1;
                mirror_.PendOutside();
                last_column = i;
                continue;
            }
        }
        std::uint32_t group_checks = 0;
        int group_copies = 0;
        if (lanes_here && i + tiling_lanes::kLanes <= width_px &&
            t_.lane.Groupable(t_, row, i, mask, &group_checks, &group_copies) &&
            *counter_.calls <= counter_.limit - group_checks) {
            // As many InsideColour calls, one after the other.
            *counter_.calls += group_checks;
            t_.lane.GroupColours(t_, cache_.copy_rows(), row, i, group_copies,
                                 dst + static_cast<std::ptrdiff_t>(i) * t_.planes);
            i += tiling_lanes::kLanes - 1;
            mirror_.PendGeneral(row, i, dst + static_cast<std::ptrdiff_t>(i) * t_.planes);
            last_column = i;
            continue;
        }
        if (mask != nullptr && mask[i] == 0) continue;
        const Column& column = t_.columns[static_cast<std::size_t>(i)];
        const bool inside = all_inside || (row.in_tile && column.in_tile);
        const std::uint32_t checks = ChecksOfPixel(counts, inside, column.copies);
        std::uint8_t* pixel_dst = dst + static_cast<std::ptrdiff_t>(i) * t_.planes;
        last_column = i;
        if (*counter_.calls > counter_.limit - checks) {
            // The counter reaches its limit inside this pixel. Unless the host answers
            // "go on", the reference routine makes the calls one by one, asks the host
            // or the watchdog at the right one, and stops the pixel where it says so.
            if (!counter_.AskedAndGoingOn(checks)) {
                HandToReference(y, i, src, dst, mask);
                last_column = -1;
                if (preview_start == -1) {
                    *stop = true;
                    return i + 1;
                }
                continue;
            }
        } else {
            *counter_.calls += checks;
        }
        if (!inside) {
            pixel_dst[0] = static_cast<std::uint8_t>(t_.colour[0]);
            pixel_dst[1] = static_cast<std::uint8_t>(t_.colour[1]);
            pixel_dst[2] = static_cast<std::uint8_t>(t_.colour[2]);
            if (t_.planes > 3) pixel_dst[3] = t_.opaque_out ? 255 : 0;
            // An outside pixel writes a part of what a simple one writes: a simple pixel
            // pending before it must write its cells first.
            mirror_.PendOutside();
        } else if (row.copies == 1 && column.copies == 1) {
            // One copy: the pixel's colour is its sample, alpha included.
            i32 rgb[3];
            i32 alpha;
            SampleCopy(t_, cache_.sampling()[0], t_.cells[static_cast<std::size_t>(column.first)].sample_offset, rgb,
                       &alpha);
            pixel_dst[0] = static_cast<std::uint8_t>(rgb[0]);
            pixel_dst[1] = static_cast<std::uint8_t>(rgb[1]);
            pixel_dst[2] = static_cast<std::uint8_t>(rgb[2]);
            if (t_.planes > 3) pixel_dst[3] = static_cast<std::uint8_t>(alpha);
            // A simple pixel writes every cell an outside one does, and all of its own,
            // but not all of a general one's.
            mirror_.PendSimple(row, i);
        } else if (t_.colour_only) {
            // Writes every cell the pending pixel would have written: that one's cells
            // are not needed any more.
            InsideColour(t_, cache_.sampling(), row, column, pixel_dst);
            mirror_.PendGeneral(row, i, pixel_dst);
        } else {
            mirror_.Materialize();
            if (t_.generic) {
                InsidePixel<true>(t_, cache_.sampling(), mirror_.state, row, column, pixel_dst);
            } else {
                InsidePixel<false>(t_, cache_.sampling(), mirror_.state, row, column, pixel_dst);
            }
        }
    }
    mirror_.Materialize();
    if (last_column >= 0) NoteLastFastPixel(y, last_column, src, dst, mask);
    return width_px;
}

// Pixel i of row y through the reference routine, with the mirror stored before and
// loaded after; the pixel becomes the last one processed.
void PixelCursor::HandToReference(i32 y, i32 i, const std::uint8_t* src, std::uint8_t* dst,
                                            const std::uint8_t* mask) noexcept {
    mirror_.Materialize();
    mirror_.Store();
    const std::ptrdiff_t at = static_cast<std::ptrdiff_t>(i) * t_.planes;
    RunRecord& record = Execution().record;
    record.cur_src = const_cast<std::uint8_t*>(src + at);
    record.cur_dst = dst + at;
    record.cur_mask = mask != nullptr ? const_cast<std::uint8_t*>(mask + i) : nullptr;
    record.cur_x = t_.out_left + i - t_.origin_x;
    record.cur_y = y - t_.origin_y;
    run_phase(kPhasePixel);
    AbortState().answer_ahead = -1;  // taken by the call that asks, which the pixel makes
    mirror_.Load();
    NoteLastFastPixel(y, i, src, dst, mask);
    last_fast_ = false;
}

// Pixel i of row y is the last one processed, computed by the pass.
void PixelCursor::NoteLastFastPixel(i32 y, i32 i, const std::uint8_t* src, std::uint8_t* dst,
                                              const std::uint8_t* mask) noexcept {
    const std::ptrdiff_t at = static_cast<std::ptrdiff_t>(i) * t_.planes;
    any_processed_ = true;
    last_fast_ = true;
    last_x_ = t_.out_left + i;
    last_y_ = y;
    last_src_ = src + at;
    last_dst_ = dst + at;
    last_mask_ = mask != nullptr ? mask + i : nullptr;
}

void PixelCursor::End() noexcept {
    mirror_.Materialize();
    if (!any_processed_) return;
    ExecutionState& execution = Execution();
    execution.phase = kPhasePixel;
    execution.entry = Bound().entry_address[EntryWordOf(kPhasePixel)];
    execution.record.cur_src = const_cast<std::uint8_t*>(last_src_);
    execution.record.cur_dst = last_dst_;
    execution.record.cur_mask = const_cast<std::uint8_t*>(last_mask_);
    execution.record.cur_x = last_x_ - t_.origin_x;
    execution.record.cur_y = last_y_ - t_.origin_y;
    if (last_fast_) {
        // The loader's fields for the last pixel, then what its set_out calls stored.
        load_context(kPhasePixel);
        ExecutionContext& c = execution.context;
        c.out_r = mirror_.state.put[kOutCell + 0];
        c.out_g = mirror_.state.put[kOutCell + 1];
        c.out_b = mirror_.state.put[kOutCell + 2];
        if (t_.planes > 3) c.out_a = mirror_.state.put[kOutCell + 3];
    }
    mirror_.Store();
}

// Row y's pixels into `pixels` (a row of outRect's width), and its checks.
void PixelCursor::ComputeRow(i32 y, std::uint8_t* pixels, std::uint32_t* checks) noexcept {
    const std::uint8_t* mask = t_.MaskRow(y);
    // Masked pixels keep what the host delivered.
    if (mask != nullptr) {
        std::memcpy(pixels, t_.out_data + static_cast<std::ptrdiff_t>(y - t_.out_top) * t_.out_row_bytes,
                    static_cast<std::size_t>(t_.out_right - t_.out_left) * static_cast<std::size_t>(t_.planes));
    }
    counter_.own = 0;
    bool stop = false;
    Row(y, t_.SourceRow(y), pixels, mask, &stop);
    // Without a mask the pass of the host's thread works the checks out itself.
    if (mask != nullptr) t_.RowChecks(t_.rows[static_cast<std::size_t>(y - t_.out_top)], mask, checks);
}

// The cells the pixels from..to-1 of a row leave, as the single pass would leave them
// after them: the last pixel of several copies computed again in full, then the last
// later pixel of one copy, then the last later pixel outside the tile.
void PixelCursor::ReplayCells(const RowInfo& row, i32 from, i32 to, const std::uint8_t* mask,
                                        std::uint8_t* dst) noexcept {
    const bool all_inside = t_.fit || t_.repeat;
    // Without pixels of several copies in the row, the scan ends at its last pixel of one.
    const bool several_possible = row.copies > 1 || t_.any_several_columns;
    i32 several = -1, one = -1, outside = -1;
    if (mask == nullptr && to > from) {
        // Without a mask, from the last columns of each kind up to a column.
        const auto last = [from](const std::vector<i32>& of, i32 at) {
            const i32 c = of[static_cast<std::size_t>(at)];
            return c >= from ? c : -1;
        };
        const i32 end = to - 1;
        if (!all_inside && !row.in_tile) {
            outside = end;
        } else {
            if (row.copies != 1) {
                several = all_inside ? end : last(t_.last_in_x, end);
            } else {
                several = last(t_.last_several, end);
                one = last(t_.last_single, end);
                if (one < several) one = -1;
            }
            if (!all_inside) {
                outside = last(t_.last_out_x, end);
                if (outside < several || outside < one) outside = -1;
            }
        }
    }
    for (i32 i = to - 1; mask != nullptr && i >= from; --i) {
        if (mask != nullptr && mask[i] == 0) continue;
        const Column& column = t_.columns[static_cast<std::size_t>(i)];
        if (!(all_inside || (row.in_tile && column.in_tile))) {
            if (outside < 0 && one < 0) outside = i;
        } else if (row.copies == 1 && column.copies == 1) {
            if (one < 0) one = i;
            if (!several_possible) break;
        } else {
            several = i;
            break;
        }
    }
    if (several >= 0 || one >= 0) {
        const i32 wanted[2] = {several >= 0 ? several : one, one >= 0 ? one : several};
        cache_.PrepareReplay(row, wanted, wanted[0] == wanted[1] ? 1 : 2);
    }
    if (several >= 0) {
        mirror_.PendGeneral(row, several, dst + static_cast<std::ptrdiff_t>(several) * t_.planes);
        mirror_.Materialize();
    }
    if (one >= 0) {
        mirror_.PendSimple(row, one);
        mirror_.Materialize();
    }
    if (outside >= 0) {
        mirror_.PendOutside();
        mirror_.Materialize();
    }
}

// Hands out row y from the pixels and checks a cursor computed ahead, keeping the abort
// counter and asking the host at the same check as the single pass would (see the
// comment on rows computed ahead in pixel_ahead.cpp).
i32 PixelCursor::CommitRow(i32 y, const std::uint8_t* src, std::uint8_t* dst, const std::uint8_t* mask,
                                     const std::uint8_t* pixels, const std::uint32_t* checks) noexcept {
    const i32 width_px = t_.out_right - t_.out_left;
    const RowInfo& row = t_.rows[static_cast<std::size_t>(y - t_.out_top)];
    // The row's checks summed from its first pixel: worked out by the pass that
    // computed the row when there is a mask, else from the column sums.
    const auto sum = [&](i32 i) { return checks != nullptr ? checks[i] : t_.CheckSum(row, i); };
    i32 from = 0;              // the first pixel of the stretch, whose t_.cells are replayed
    i32 next = 0;              // where the next pixel at the counter's limit is looked for
    std::uint32_t before = 0;  // the row's checks before `next`
    i32 handed = -1;           // the last pixel handed to the reference routine
    i32 copied = 0;
    const auto copy_up_to = [&](i32 end) {
        if (end > copied) {
            std::memcpy(dst + static_cast<std::ptrdiff_t>(copied) * t_.planes,
                        pixels + static_cast<std::ptrdiff_t>(copied) * t_.planes,
                        static_cast<std::size_t>(end - copied) * static_cast<std::size_t>(t_.planes));
        }
        copied = end;
    };
    for (;;) {
        // The first pixel of the stretch at which the counter passes its limit.
        // A counter already past its limit (a host's abortProc set it so) asks at the
        // next pixel that makes a check.
        const std::uint32_t room = *counter_.calls > counter_.limit ? 0 : counter_.limit - *counter_.calls;
        i32 lo = next, hi = width_px;
        while (lo < hi) {
            const i32 mid = lo + (hi - lo) / 2;
            if (sum(mid) - before > room) {
                hi = mid;
            } else {
                lo = mid + 1;
            }
        }
        const i32 crossing = lo;
        if (crossing == width_px) break;
        const std::uint32_t up_to = crossing > next ? sum(crossing - 1) : before;
        *counter_.calls += up_to - before;
        // As the single pass does it at this pixel, with the pixels before it in the
        // host's buffer: a host that answers "go on" gets the pixel computed ahead, and
        // the stretch goes on over it.
        copy_up_to(crossing);
        const bool going_on = counter_.AskedAndGoingOn(sum(crossing) - up_to);
        before = sum(crossing);
        next = crossing + 1;
        if (going_on) continue;
        ReplayCells(row, from, crossing, mask, dst);
        HandToReference(y, crossing, src, dst, mask);
        handed = crossing;
        copied = crossing + 1;
        from = crossing + 1;
    }
    ReplayCells(row, from, width_px, mask, dst);
    *counter_.calls += (width_px > next ? sum(width_px - 1) : before) - before;
    copy_up_to(width_px);
    // The last pixel processed, unless the reference routine had it.
    i32 last = width_px - 1;
    while (last >= 0 && mask != nullptr && mask[last] == 0) --last;
    if (last >= 0 && last != handed) NoteLastFastPixel(y, last, src, dst, mask);
    return width_px;
}

}  // namespace tessellon::tiling_pass
