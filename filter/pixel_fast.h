// The tiling filter's pixel pass, specialised: instead of one phase call per pixel
// (loader, entry, some sixty built-in calls, write-back), the pass works out per column
// and per row everything that depends on one coordinate only, and then computes each
// pixel from those tables with the built-ins' own arithmetic written inline. Every
// output byte, every value the filter leaves in the execution context and in put-array
// cells 0..12, the pixel fields the loader sets, and the number and order of abort
// checks (hence of the host's abortProc calls) are the ones the per-pixel calls of the
// reference routine give.
//
// The abort checks a pixel would make are counted arithmetically and added to the
// process-wide counter in one step. In a pixel during which the counter would pass its
// limit (when the check asks the host, or the preview watchdog looks at the clock) the
// host is asked there; unless it answers "go on" outside a preview, the pixel is handed
// to the reference routine through run_phase, exactly as the generic loop would, and
// the pass then picks up the state that pixel left behind. No Windows headers.
#pragma once

#include <cstddef>
#include <cstdint>

#include "filter/definition.h"
#include "hostapi/filter_record.h"
#include "runtime/context.h"
#include "runtime/float_convert.h"
#include "runtime/wrap32.h"

namespace tessellon {

// The step-by-step transcription of the filter's pixel code, built-in call for
// built-in call. filter_pixel, the routine bound to the pixel entry, does the same per
// pixel; its address is what tells the pixel loop that the specialised pass may stand
// in for it. Binding this routine instead makes every pixel take the generic way.
std::int32_t filter_pixel_reference(ExecutionContext& context, const BuiltinTable& builtins) noexcept;

namespace tiling_fast {

// Truncating signed division by a divisor fixed for a whole pass, as a multiplication
// and a shift: exact for every 32-bit dividend (the one dividend whose magnitude does
// not fit 31 bits, -2^31, takes the hardware division). The divisor must be at least 1.
class Divisor {
public:
    Divisor() noexcept : Divisor(1) {}
    explicit Divisor(std::int32_t d) noexcept : d_(d) {
        int l = 0;
        while ((std::uint64_t{1} << l) < static_cast<std::uint64_t>(d)) ++l;
        const std::uint64_t power = std::uint64_t{1} << (31 + l);
        multiplier_ = (power + static_cast<std::uint64_t>(d) - 1) / static_cast<std::uint64_t>(d);
        shift_ = 31 + l;
    }
    std::int32_t divisor() const noexcept { return d_; }

    // x / d for 0 <= x < 2^31.
    std::uint32_t DivideSmall(std::uint32_t x) const noexcept {
        return static_cast<std::uint32_t>((static_cast<std::uint64_t>(x) * multiplier_) >> shift_);
    }
    // x / d truncated toward zero, for every x.
    std::int32_t Divide(std::int32_t x) const noexcept {
        if (x == INT32_MIN) return x / d_;
        if (x < 0) return -static_cast<std::int32_t>(DivideSmall(static_cast<std::uint32_t>(-x)));
        return static_cast<std::int32_t>(DivideSmall(static_cast<std::uint32_t>(x)));
    }

private:
    std::int32_t d_;
    std::uint64_t multiplier_;  // below 2^32
    int shift_;
};

// rescale (slot 20) and blend with n = 255 (slot 14), written out as the built-ins
// compute them, so that the pass can inline them. The equivalence tests hold them to
// the built-ins.
inline std::int32_t Rescale(std::int32_t v, std::int32_t a, std::int32_t b, std::int32_t c, std::int32_t d) noexcept {
    if (a == c && b == d) return v;
    if (v < a) return c;
    if (v > b) return d;
    if (a == b) return a;
    const std::int32_t span_in = wrap_sub(b, a);
    const std::int32_t span_out = wrap_sub(d, c);
    const std::int32_t offset = wrap_sub(v, a);
    std::int32_t quotient;
    if (offset < 32768 && span_out < 32768) {
        quotient = wrap_div(wrap_mul(span_out, offset), span_in);
    } else {
        quotient = TruncToInt32(static_cast<double>(span_out) * offset / span_in);
    }
    return wrap_add(c, quotient);
}

inline std::int32_t Blend255(std::int32_t a, std::int32_t b, std::int32_t k) noexcept {
    return wrap_add(wrap_mul(a, k), wrap_mul(b, wrap_sub(255, k))) / 255;
}

// The blend weight of a copy at `position` across a band (the pixel code's rule).
inline std::int32_t BandWeight(std::int32_t position, std::int32_t lo, std::int32_t hi, std::int32_t before,
                               std::int32_t after) noexcept {
    if (lo < hi) return Rescale(position, lo, hi, before, after);
    return position <= lo ? before : after;
}

}  // namespace tiling_fast

// Counters of the specialised pixel pass since the module was loaded: the pass
// (TilingPixelPass, on the host's thread) counts; tests read them to tell which way a
// pass took.
struct TilingPassCounts {
    // Passes the specialised way has run.
    std::uint32_t pixel_passes = 0;
    // Passes that computed rows ahead on more than one thread.
    std::uint32_t threaded_passes = 0;
};
inline TilingPassCounts& TilingPasses() noexcept {
    constinit static TilingPassCounts counts;
    return counts;
}

// The strip a pass works on, as the run hands it over from the host's record: where
// the input, output and mask buffers lie and which rectangles of the image they hold,
// and the preview's zoom (the pass takes only zoom 1, whole pixels).
struct StripDescription {
    const std::uint8_t* in_data = nullptr;
    std::int32_t in_row_bytes = 0;
    psapi::Rect in_rect{};
    std::uint8_t* out_data = nullptr;
    std::int32_t out_row_bytes = 0;
    psapi::Rect out_rect{};
    const std::uint8_t* mask_data = nullptr;  // null without a selection mask
    std::int32_t mask_row_bytes = 0;
    psapi::Rect mask_rect{};
    std::int32_t zoom = 1;
};

// The pixel pass over the host's current outRect, row by row. ProcessOutRect keeps the
// rows, the masks' row starts, the row-end abort test and the progress; the pass does
// the pixels of each row.
// Keeps the worker threads of the pixel passes from one strip to the next: while one
// exists (the filtering run holds one), the strips' passes share one set of threads,
// started by the first pass that wants them and ended with this object. Without one a
// pass starts and ends threads of its own. Belongs to the host's thread.
class PixelPassThreads {
public:
    PixelPassThreads() noexcept;
    ~PixelPassThreads();
    PixelPassThreads(const PixelPassThreads&) = delete;
    PixelPassThreads& operator=(const PixelPassThreads&) = delete;

private:
    bool owner_ = false;  // false for one made while another keeps the threads
};

class TilingPixelPass {
public:
    TilingPixelPass() = default;
    ~TilingPixelPass();
    TilingPixelPass(const TilingPixelPass&) = delete;
    TilingPixelPass& operator=(const TilingPixelPass&) = delete;

    // Prepares the pass for the current strip. False when the pass cannot stand in for
    // the per-pixel calls (another routine bound to the pixel entry, a preview zoom
    // other than 1, set-up values outside what the pass handles, no input, no memory
    // for its tables): the caller then takes the generic way; nothing has changed.
    bool Begin(const StripDescription& strip) noexcept;

    // One row of outRect: y is its image row, the pointers are the row starts as
    // ProcessOutRect computes them (mask null without a mask). Returns the pixels
    // visited, masked ones included; *stop is set when a preview render was abandoned
    // during the last of them, after which the caller returns at once.
    std::int32_t Row(std::int32_t y, const std::uint8_t* src, std::uint8_t* dst, const std::uint8_t* mask,
                     bool* stop) noexcept;

    // Leaves the execution context, the put array and the run environment as the
    // per-pixel calls would have left them after the last pixel processed, and frees
    // the pass's tables. Call it whenever the loop ends, early returns included.
    void End() noexcept;

    struct Impl;
    struct Ahead;

private:
    // Starts the threads that compute rows ahead, when the machine has cores to spare
    // and the strip is large enough; otherwise the pass stays on the calling thread.
    void StartAhead() noexcept;

    Impl* impl_ = nullptr;
    Ahead* ahead_ = nullptr;
};

}  // namespace tessellon
