// Rows of the pass computed ahead on other threads and handed out in order by the pass
// of the host's thread (see the comment below and TilingPixelPass::Ahead). No Windows
// headers.
#include "filter/pixel_pass.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <new>

namespace tessellon {

// --- Rows computed ahead -------------------------------------------------------------
//
// On a machine with more than one core the pixels of a strip are computed by several
// passes at once, each on its own thread with tables, row cache and cells of its own,
// row by row into scratch rows a few ahead of the row being handed out. They count
// their abort checks but never ask anyone. The pass of the host's own thread (the one
// ProcessOutRect drives) then takes the rows in order, as the step-by-step code would
// finish them: it copies each row's pixels into the host's buffer, keeps the abort
// counter and, at the pixel where the counter reaches its limit, asks the host as the
// single pass does (AskedAndGoingOn), so that the host is asked at the same check as
// ever; a host that says "stop" there gets that pixel from the reference routine and
// the same pixels as ever. Before the reference routine runs, and at the end of a row,
// it brings its cells up to date by computing again, per stretch of the row since the
// last such point, only the pixels whose cells are not written again later in the
// stretch: the last one of several copies, a
// later one of one copy, a later one outside the tile (each kind writes every cell the
// kinds after it in that list write). Pixels never depend on cells a pixel before them
// left, so every output byte, the cells, the context at the end and the count and order
// of the host's calls are those of the single pass.

const std::uint8_t* TilingPixelPass::Impl::SourceRow(i32 y) const noexcept {
    return in_data + static_cast<std::ptrdiff_t>(y - in_top) * in_row_bytes +
           static_cast<std::ptrdiff_t>(out_left - in_left) * planes;
}

const std::uint8_t* TilingPixelPass::Impl::MaskRow(i32 y) const noexcept {
    if (mask_data == nullptr) return nullptr;
    return mask_data + static_cast<std::ptrdiff_t>(y - mask_top) * mask_row_bytes + (out_left - mask_left);
}

void TilingPixelPass::Impl::Detach() noexcept {
    calls = &own_calls;
    calls_limit = UINT32_MAX;
}

// The abort checks of the row's pixels, summed from its first pixel: checks[i] for
// pixels 0..i. A masked pixel makes none.
void TilingPixelPass::Impl::RowChecks(const RowInfo& row, const std::uint8_t* mask,
                                      std::uint32_t* checks) const noexcept {
    const RowCheckCounts counts = ChecksOfRow(row);
    const bool all_inside = fit || repeat;
    std::uint32_t sum = 0;
    for (i32 i = 0; i < out_right - out_left; ++i) {
        if (mask == nullptr || mask[i] != 0) {
            const Column& column = columns[static_cast<std::size_t>(i)];
            sum += ChecksOfPixel(counts, all_inside || (row.in_y && column.in_x), column.copies);
        }
        checks[i] = sum;
    }
}

// Row y's pixels into `pixels` (a row of outRect's width), and its checks.
void TilingPixelPass::Impl::ComputeRow(i32 y, std::uint8_t* pixels, std::uint32_t* checks) noexcept {
    const std::uint8_t* mask = MaskRow(y);
    // Masked pixels keep what the host delivered.
    if (mask != nullptr) {
        std::memcpy(pixels, out_data + static_cast<std::ptrdiff_t>(y - out_top) * out_row_bytes,
                    static_cast<std::size_t>(out_right - out_left) * static_cast<std::size_t>(planes));
    }
    own_calls = 0;
    bool stop = false;
    Row(y, SourceRow(y), pixels, mask, &stop);
    // Without a mask the pass of the host's thread works the checks out itself.
    if (mask != nullptr) RowChecks(rows[static_cast<std::size_t>(y - out_top)], mask, checks);
}

void TilingPixelPass::Impl::PrepareCheckSums() {
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
        if (column.in_x) {
            ++in_x;
            in_x_copies += c;
            in = static_cast<i32>(i);
        } else {
            out = static_cast<i32>(i);
        }
        if (fit || repeat || column.in_x) {
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
std::uint32_t TilingPixelPass::Impl::CheckSum(const RowInfo& row, i32 i) const noexcept {
    const RowCheckCounts counts = ChecksOfRow(row);
    const auto at = static_cast<std::size_t>(i);
    const std::uint32_t pixels = static_cast<std::uint32_t>(i) + 1;
    if (fit || repeat) return counts.inside_base * pixels + counts.inside_per_copy * sum_copies[at];
    if (!row.in_y) return kOutsideChecks * pixels;
    return counts.inside_base * sum_in_x[at] + counts.inside_per_copy * sum_in_x_copies[at] +
           kOutsideChecks * (pixels - sum_in_x[at]);
}

// FillCacheRow for the copies of a few columns only.
void TilingPixelPass::Impl::FillColumns(std::uint8_t* slot, i32 buffer_row, const i32* wanted, int count) noexcept {
    const std::uint8_t* row = in_data + static_cast<std::ptrdiff_t>(buffer_row) * in_row_bytes;
    for (int n = 0; n < count; ++n) {
        const Column& column = columns[static_cast<std::size_t>(wanted[n])];
        for (i32 k = 0; k < column.copies; ++k) {
            FillCell(slot, row, cells[static_cast<std::size_t>(column.first_cell + k)]);
        }
    }
}

// PrepareRow for the few pixels ReplayCells computes again. From the row cache (Fit)
// only their own columns' samples are made, each row of copies into two slots of its
// own: the pass of the host's thread uses its cache for nothing else.
void TilingPixelPass::Impl::PrepareReplay(const RowInfo& row, const i32* wanted, int count) noexcept {
    if (direct || !(row.may_be_in && row.copies > 0)) {
        if (row.may_be_in && row.copies > 0) PrepareRow(row);
        return;
    }
    const RowCopy* copies = &row_copies[static_cast<std::size_t>(row.first_copy)];
    const std::size_t row_bytes = CacheRowBytes();
    for (i32 j = 0; j < row.copies; ++j) {
        const RowCopy& copy = copies[j];
        std::uint8_t* top = cache.get() + row_bytes * static_cast<std::size_t>(2 * j);
        std::uint8_t* under = cache.get() + row_bytes * static_cast<std::size_t>(2 * j + 1);
        FillColumns(top, copy.top, wanted, count);
        if (copy.yf != 0) FillColumns(under, copy.under, wanted, count);
        sampling[j] = {top, copy.yf != 0 ? under : top, copy.yf != 0 ? StepTable(static_cast<int>(j), copy.yf) : nullptr};
    }
}

// The cells the pixels from..to-1 of a row leave, as the single pass would leave them
// after them: the last pixel of several copies computed again in full, then the last
// later pixel of one copy, then the last later pixel outside the tile.
void TilingPixelPass::Impl::ReplayCells(const RowInfo& row, i32 from, i32 to, const std::uint8_t* mask,
                                        std::uint8_t* dst) noexcept {
    const bool all_inside = fit || repeat;
    // Without pixels of several copies in the row, the scan ends at its last pixel of one.
    const bool several_possible = row.copies > 1 || any_several_columns;
    i32 several = -1, one = -1, outside = -1;
    if (mask == nullptr && to > from) {
        // Without a mask, from the last columns of each kind up to a column.
        const auto last = [from](const std::vector<i32>& of, i32 at) {
            const i32 c = of[static_cast<std::size_t>(at)];
            return c >= from ? c : -1;
        };
        const i32 end = to - 1;
        if (!all_inside && !row.in_y) {
            outside = end;
        } else {
            if (row.copies != 1) {
                several = all_inside ? end : last(last_in_x, end);
            } else {
                several = last(last_several, end);
                one = last(last_single, end);
                if (one < several) one = -1;
            }
            if (!all_inside) {
                outside = last(last_out_x, end);
                if (outside < several || outside < one) outside = -1;
            }
        }
    }
    for (i32 i = to - 1; mask != nullptr && i >= from; --i) {
        if (mask != nullptr && mask[i] == 0) continue;
        const Column& column = columns[static_cast<std::size_t>(i)];
        if (!(all_inside || (row.in_y && column.in_x))) {
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
        PrepareReplay(row, wanted, wanted[0] == wanted[1] ? 1 : 2);
    }
    if (several >= 0) {
        pending = Pending::general;
        pending_row = &row;
        pending_column = several;
        pending_dst = dst + static_cast<std::ptrdiff_t>(several) * planes;
        Materialize();
    }
    if (one >= 0) {
        pending = Pending::simple;
        pending_row = &row;
        pending_column = one;
        Materialize();
    }
    if (outside >= 0) {
        pending = Pending::outside;
        Materialize();
    }
}

// Hands out row y from the pixels and checks a pass computed ahead; see above.
i32 TilingPixelPass::Impl::CommitRow(i32 y, const std::uint8_t* src, std::uint8_t* dst, const std::uint8_t* mask,
                                     const std::uint8_t* pixels, const std::uint32_t* checks) noexcept {
    const i32 width_px = out_right - out_left;
    const RowInfo& row = rows[static_cast<std::size_t>(y - out_top)];
    current_row = y;
    // The row's checks summed from its first pixel: worked out by the pass that
    // computed the row when there is a mask, else from the column sums.
    const auto sum = [&](i32 i) { return checks != nullptr ? checks[i] : CheckSum(row, i); };
    i32 from = 0;              // the first pixel of the stretch, whose cells are replayed
    i32 next = 0;              // where the next pixel at the counter's limit is looked for
    std::uint32_t before = 0;  // the row's checks before `next`
    i32 handed = -1;           // the last pixel handed to the reference routine
    i32 copied = 0;
    const auto copy_up_to = [&](i32 end) {
        if (end > copied) {
            std::memcpy(dst + static_cast<std::ptrdiff_t>(copied) * planes,
                        pixels + static_cast<std::ptrdiff_t>(copied) * planes,
                        static_cast<std::size_t>(end - copied) * static_cast<std::size_t>(planes));
        }
        copied = end;
    };
    for (;;) {
        // The first pixel of the stretch at which the counter passes its limit.
        // A counter already past its limit (a host's abortProc set it so) asks at the
        // next pixel that makes a check.
        const std::uint32_t room = *calls > calls_limit ? 0 : calls_limit - *calls;
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
        *calls += up_to - before;
        // As the single pass does it at this pixel, with the pixels before it in the
        // host's buffer: a host that answers "go on" gets the pixel computed ahead, and
        // the stretch goes on over it.
        copy_up_to(crossing);
        const bool going_on = AskedAndGoingOn(sum(crossing) - up_to);
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
    *calls += (width_px > next ? sum(width_px - 1) : before) - before;
    copy_up_to(width_px);
    // The last pixel processed, unless the reference routine had it.
    i32 last = width_px - 1;
    while (last >= 0 && mask != nullptr && mask[last] == 0) --last;
    if (last >= 0 && last != handed) NoteLastFastPixel(y, last, src, dst, mask);
    return width_px;
}

namespace {
// The worker threads of the current filtering run, while a PixelPassThreads keeps them.
WorkerThreads* run_threads = nullptr;
}  // namespace

PixelPassThreads::PixelPassThreads() noexcept {
    if (run_threads != nullptr) return;
    run_threads = new (std::nothrow) WorkerThreads;
    owner_ = run_threads != nullptr;
}

PixelPassThreads::~PixelPassThreads() {
    if (!owner_) return;
    delete run_threads;
    run_threads = nullptr;
}

void TilingPixelPass::StartAhead() noexcept {
    Impl& serial = *impl_;
    const i32 width_px = serial.out_right - serial.out_left;
    const i32 row_count = serial.out_bottom - serial.out_top;
    int threads = ConfiguredThreadCount();
    // Small strips are done sooner by one thread than threads can be started; pixels
    // that are copied rather than computed do not count, since the rows computed ahead
    // are copied once more.
    if (!ThreadCountForced()) {
        const std::int64_t pixels = std::int64_t{width_px} * row_count - serial.plain_pixels;
        threads = static_cast<int>(std::min<std::int64_t>(threads, pixels / kMinPixelsPerThread));
    }
    // A preview keeps to one thread: its watchdog may stop it inside any pixel. So does
    // a pass whose pixels each write their cells (set-up values the shortcuts do not
    // take), whose cells could not be brought up to date by a few pixels.
    if (threads < 2 || row_count < 2 || preview_start != 0 || !serial.colour_only) return;
    try {
        impl_->PrepareCheckSums();
        auto ahead = std::make_unique<Ahead>();
        for (int k = 0; k < threads; ++k) {
            auto pass = std::make_unique<Impl>();
            if (!pass->Prepare(serial.strip_)) return;
            pass->Detach();
            ahead->passes.push_back(std::move(pass));
        }
        ahead->Allocate(threads, width_px, row_count, serial.planes);
        Ahead* raw = ahead.get();
        ahead->job = [raw](int pass) { raw->Work(pass); };
        ahead->workers = run_threads;
        if (ahead->workers == nullptr) {
            ahead->own_workers = std::make_unique<WorkerThreads>();
            ahead->workers = ahead->own_workers.get();
        }
        ahead->workers->Run(threads - 1, ahead->job);
        ahead_ = ahead.release();
        ++tiling_threaded_passes;
    } catch (const std::exception&) {
        // No memory for the scratch rows or the threads: one thread does it all.
    }
}

}  // namespace tessellon
