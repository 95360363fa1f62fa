// The group colour kernel, written with the compiler's vector types so that it compiles
// for whatever vector unit the target has. On x86-64 ELF builds it is also compiled for
// AVX2 and picked at load time when the processor has it; both versions compute the
// same integers. No Windows headers.
#include "filter/pixel_lanes.h"

#include <cstring>

// The lane helpers pass vectors by value between inline functions of this file only; the
// calling-convention note about wide vectors does not concern them.
#pragma GCC diagnostic ignored "-Wpsabi"

// Everything below is inlined into GroupColours, so that each compiled version of it
// holds the whole kernel for its instruction set.
#define LANE_INLINE inline __attribute__((always_inline))

namespace tessellon::tiling_lanes {
namespace {

using i32 = std::int32_t;
typedef std::int32_t Lanes __attribute__((vector_size(kLanes * sizeof(std::int32_t))));
typedef float FloatLanes __attribute__((vector_size(kLanes * sizeof(float))));
typedef std::uint8_t Bytes16 __attribute__((vector_size(16)));
typedef std::uint16_t Halves8 __attribute__((vector_size(16)));
typedef std::uint16_t Halves16 __attribute__((vector_size(32)));
typedef std::int64_t Words64 __attribute__((vector_size(16)));
typedef std::uint8_t Bytes32 __attribute__((vector_size(32)));
typedef std::uint8_t Bytes8 __attribute__((vector_size(8)));
typedef std::uint32_t Unsigned __attribute__((vector_size(kLanes * sizeof(std::uint32_t))));
typedef std::int64_t Words256 __attribute__((vector_size(32)));
typedef double DoubleLanes __attribute__((vector_size(kLanes * sizeof(double))));

LANE_INLINE Lanes Splat(i32 x) noexcept { return Lanes{} + x; }

// Eight bytes widened to 32-bit lanes, written as interleaves with zero, which the
// compiler turns into a single widening load where the instruction set has one. (The
// casts between vector types of one size keep the bits.)
LANE_INLINE Lanes LoadBytes(const std::uint8_t* p) noexcept {
    static_assert(kLanes == 8);
    std::uint64_t word;
    std::memcpy(&word, p, sizeof word);
    const Words64 packed = {static_cast<std::int64_t>(word), 0};
    const auto bytes = reinterpret_cast<Bytes16>(packed);
    const Bytes16 wide = __builtin_shufflevector(bytes, Bytes16{}, 0, 16, 1, 17, 2, 18, 3, 19, 4, 20, 5, 21, 6, 22,
                                                 7, 23);
    const auto halves = reinterpret_cast<Halves8>(wide);
    const Halves16 widest =
        __builtin_shufflevector(halves, Halves8{}, 0, 8, 1, 9, 2, 10, 3, 11, 4, 12, 5, 13, 6, 14, 7, 15);
    return reinterpret_cast<Lanes>(widest);
}

// The low bytes of the lanes, stored side by side.
LANE_INLINE void StoreBytes(Lanes x, std::uint8_t* p) noexcept {
    const auto bytes = reinterpret_cast<Bytes32>(x);
    const Bytes8 low = __builtin_shufflevector(bytes, bytes, 0, 4, 8, 12, 16, 20, 24, 28);
    std::memcpy(p, &low, sizeof low);
}

// Four bytes from each lane's offset, as one word per lane (first byte lowest).
LANE_INLINE Lanes LoadPixels(const std::uint8_t* row, const i32* offsets) noexcept {
    std::uint32_t w[kLanes];
    for (int l = 0; l < kLanes; ++l) {
        std::uint8_t b[4];
        std::memcpy(b, row + offsets[l], 4);
        w[l] = b[0] | (std::uint32_t{b[1]} << 8) | (std::uint32_t{b[2]} << 16) | (std::uint32_t{b[3]} << 24);
    }
    return Lanes{static_cast<i32>(w[0]), static_cast<i32>(w[1]), static_cast<i32>(w[2]), static_cast<i32>(w[3]),
                 static_cast<i32>(w[4]), static_cast<i32>(w[5]), static_cast<i32>(w[6]), static_cast<i32>(w[7])};
}

// a + floor(d * f / n) from f / n's multipliers, d = b - a within -255..255.
LANE_INLINE Lanes Step(Lanes a, Lanes b, Lanes up, Lanes down) noexcept {
    const Lanes d = b - a;
    return a + ((d * (d < 0 ? down : up)) >> kShift);
}

LANE_INLINE Lanes LoadWords(const i32* p) noexcept {
    Lanes words;
    std::memcpy(&words, p, sizeof words);
    return words;
}

LANE_INLINE DoubleLanes ToDouble(Lanes x) noexcept { return __builtin_convertvector(x, DoubleLanes); }

// Truncation toward zero, for values well within the 32-bit range.
LANE_INLINE Lanes Truncate(DoubleLanes x) noexcept { return __builtin_convertvector(x, Lanes); }

// Whether every lane of a comparison's mask (-1 true, 0 false) is true.
LANE_INLINE bool AllLanes(Lanes mask) noexcept {
    const auto words = reinterpret_cast<Words256>(mask);
    return (words[0] & words[1] & words[2] & words[3]) == -1;
}

LANE_INLINE bool AllEqual(Lanes words, i32 value) noexcept { return AllLanes(words == value); }

// The pixel code's band weight of copies at `position` across bands that may differ
// per lane: before ahead of the band, after past it, and inside an open band before
// plus the truncated quotient (after - before) * (position - lo) / (hi - lo). The
// quotient of the magnitudes comes from single precision (relative error below
// 2^-21, so it is off by at most one) and one correction step on the exact remainder
// mag * offset - q * span: that lies within -span..2 * span, which with spans up to
// kMaxSpan fits 32 bits, so it is computed with wrap-around.
LANE_INLINE Lanes Weight(Lanes position, Lanes lo, Lanes hi, FloatLanes ratio, i32 before, i32 after) noexcept {
    // Groups often lie wholly ahead of or past their bands.
    if (AllLanes(position < lo)) return Splat(before);
    if (AllLanes((position > hi) & (position > lo))) return Splat(after);
    const Lanes open = lo < hi;
    const Lanes below = position < lo;
    const Lanes above = position > hi;
    const Lanes span = open != 0 ? hi - lo : Splat(1);
    const Lanes offset = open != 0 ? (below != 0 ? Splat(0) : (above != 0 ? span : position - lo)) : Splat(0);
    const i32 difference = after - before;
    const i32 magnitude = difference < 0 ? -difference : difference;
    Lanes quotient = __builtin_convertvector(__builtin_convertvector(offset, FloatLanes) * ratio, Lanes);
    const auto rest = reinterpret_cast<Lanes>(static_cast<std::uint32_t>(magnitude) * reinterpret_cast<Unsigned>(offset) -
                                              reinterpret_cast<Unsigned>(quotient) * reinterpret_cast<Unsigned>(span));
    quotient = quotient + (rest < 0) - (rest >= span);
    const Lanes inside = before + (difference < 0 ? -quotient : quotient);
    const Lanes open_weight = below != 0 ? Splat(before) : (above != 0 ? Splat(after) : inside);
    const Lanes closed_weight = position <= lo ? Splat(before) : Splat(after);
    return open != 0 ? open_weight : closed_weight;
}

// WeightMultiplier (see the header), lane by lane.
LANE_INLINE Lanes WeightMultiplier(Lanes weight, i32 full, double per_weight) noexcept {
    const Lanes m = Truncate(ToDouble(weight) * per_weight) + 1;
    return weight == 0 ? Splat(0) : (weight == full ? Splat(kOne) : m);
}

LANE_INLINE double Magnitude(i32 before, i32 after) noexcept {
    return after < before ? static_cast<double>(before) - after : static_cast<double>(after) - before;
}

// trunc(d * w / full) for |d| <= 255, from w's multiplier.
LANE_INLINE Lanes ScaleDifference(Lanes d, Lanes multiplier) noexcept {
    const Lanes negative = d < 0;
    const Lanes q = ((negative != 0 ? -d : d) * multiplier) >> kShift;
    return negative != 0 ? -q : q;
}

// blend(over, under, alpha, 255) for values within 0..255.
LANE_INLINE Lanes Blend(Lanes over, Lanes under, Lanes alpha) noexcept {
    return ((over * alpha + under * (255 - alpha)) * 32897) >> 23;
}

// rescale(weight, 0, full, old, blend(over, old, alpha, 255)).
LANE_INLINE Lanes Mix(Lanes old, Lanes over, Lanes alpha, Lanes multiplier) noexcept {
    return old + ScaleDifference(Blend(over, old, alpha) - old, multiplier);
}

struct Sample {
    Lanes c[3];
    Lanes alpha;
};

class Kernel {
public:
    LANE_INLINE Kernel(const PassConstants& k, const Group& g) noexcept : k_(k), g_(g) {}

    // The accumulated colour of row of copies j.
    LANE_INLINE void Row(int j, Lanes* acc) const noexcept {
        const CopyRow& row = g_.rows[j];
        int k = 0;
        int full = 0;
        for (int c = g_.copies - 1; c >= 1 && full == 0; --c) {
            if (AllEqual(x_weight_[c], kOne)) full = c;
        }
        if (full > 0) {
            // A copy of full weight and alpha 255 replaces what came before it.
            Sample s = Take(row, full);
            s.alpha = Background(s);
            if (AllLanes(s.alpha == 255)) {
                for (int ch = 0; ch < 3; ++ch) acc[ch] = s.c[ch];
                acc[3] = s.alpha;
                k = full + 1;
            }
        }
        if (k == 0) {
            Sample s = Take(row, 0);
            if (j != 0) s.alpha = Background(s);
            for (int ch = 0; ch < 3; ++ch) acc[ch] = s.c[ch];
            acc[3] = s.alpha;
            k = 1;
        }
        for (; k < g_.copies; ++k) {
            const Lanes w = x_weight_[k];
            if (AllEqual(w, 0)) continue;
            Sample s = Take(row, k);
            s.alpha = Background(s);
            for (int ch = 0; ch < 3; ++ch) acc[ch] = Mix(acc[ch], s.c[ch], s.alpha, w);
            acc[3] = Mix(acc[3], Splat(255), s.alpha, w);
        }
    }

    LANE_INLINE void Run(std::uint8_t* dst) noexcept {
        Weights();
        Lanes out[4];
        Lanes acc[4];
        int j = 0;
        int full = 0;
        for (int r = g_.copy_rows - 1; r >= 1 && full == 0; --r) {
            if (AllEqual(y_weight_[r], kOne)) full = r;
        }
        if (full > 0) {
            Row(full, acc);
            if (AllLanes(acc[3] == 255)) {
                for (int ch = 0; ch < 4; ++ch) out[ch] = acc[ch];
                j = full + 1;
            }
        }
        if (j == 0) {
            Row(0, out);
            j = 1;
        }
        for (; j < g_.copy_rows; ++j) {
            const Lanes w = y_weight_[j];
            if (AllEqual(w, 0)) continue;
            Row(j, acc);
            for (int ch = 0; ch < 3; ++ch) out[ch] = Mix(out[ch], acc[ch], acc[3], w);
            out[3] = Mix(out[3], Splat(255), acc[3], w);
        }
        i32 bytes[4][kLanes];
        for (int ch = 0; ch < 4; ++ch) {
            // The values stay within 0..255; the write-back clamps all the same.
            const Lanes clamped = out[ch] < 0 ? Splat(0) : (out[ch] > 255 ? Splat(255) : out[ch]);
            std::memcpy(bytes[ch], &clamped, sizeof bytes[ch]);
        }
        const int channels = k_.planes > 3 ? 4 : 3;
        for (int l = 0; l < kLanes; ++l) {
            std::uint8_t* p = dst + static_cast<std::ptrdiff_t>(l) * k_.planes;
            for (int ch = 0; ch < channels; ++ch) p[ch] = static_cast<std::uint8_t>(bytes[ch][l]);
        }
    }

private:
    // The multipliers of the copies' weights along the row (0 for a copy the lane's
    // column does not have) and of the rows of copies across it.
    LANE_INLINE void Weights() noexcept {
        const Lanes copies = LoadWords(g_.column_copies);
        const double per_weight = static_cast<double>(kOne) / k_.weight_full;
        const BandBounds& x = g_.x_band;
        const auto x_ratio = static_cast<float>(Magnitude(k_.x_before, k_.x_after) * x.inverse);
        for (int k = 1; k < g_.copies; ++k) {
            const Lanes position = LoadWords(g_.x_position + k * g_.position_stride);
            const Lanes weight = Weight(position, Splat(x.lo), Splat(x.hi), FloatLanes{} + x_ratio, k_.x_before,
                                        k_.x_after);
            x_weight_[k] = Splat(k) < copies ? WeightMultiplier(weight, k_.weight_full, per_weight) : Splat(0);
        }
        if (g_.copy_rows < 2) return;
        const Lanes lo = LoadWords(g_.y_lo);
        const Lanes hi = LoadWords(g_.y_hi);
        FloatLanes ratio;
        std::memcpy(&ratio, g_.y_ratio, sizeof ratio);
        for (int j = 1; j < g_.copy_rows; ++j) {
            const Lanes weight = Weight(Splat(g_.rows[j].copy_y), lo, hi, ratio, k_.y_before, k_.y_after);
            y_weight_[j] = WeightMultiplier(weight, k_.weight_full, per_weight);
        }
    }

    // src_interp of copy k: the cached horizontal steps, then the vertical step.
    LANE_INLINE Lanes Channel(const CopyRow& row, std::ptrdiff_t offset) const noexcept {
        const Lanes t = LoadBytes(row.top + offset);
        if (!row.step) return t;
        const Lanes d = LoadBytes(row.under + offset) - t;
        return t + ((d * (d < 0 ? Splat(row.down) : Splat(row.up))) >> kShift);
    }

    LANE_INLINE Sample Take(const CopyRow& row, int k) const noexcept {
        Sample s;
        const std::ptrdiff_t base = static_cast<std::ptrdiff_t>(k) * 4 * g_.plane_stride;
        for (int ch = 0; ch < 3; ++ch) s.c[ch] = Channel(row, base + ch * g_.plane_stride);
        s.alpha = k_.alpha_sampled ? Channel(row, base + 3 * g_.plane_stride) : Splat(255);
        return s;
    }

    // The copy alpha after the background test.
    LANE_INLINE Lanes Background(const Sample& s) const noexcept {
        if (!k_.thru_bg) return s.alpha;
        const Lanes dr = s.c[0] - k_.back_r;
        const Lanes dg = s.c[1] - k_.back_g;
        const Lanes db = s.c[2] - k_.back_b;
        const Lanes distance = (dr < 0 ? -dr : dr) + (dg < 0 ? -dg : dg) + (db < 0 ? -db : db);
        if (k_.bg_lo == k_.bg_hi) return distance <= k_.bg_lo ? Splat(0) : s.alpha;
        const FloatLanes product = __builtin_convertvector(s.alpha * (distance - k_.bg_lo), FloatLanes);
        const Lanes faded = __builtin_convertvector(product / static_cast<float>(k_.bg_hi - k_.bg_lo), Lanes);
        return distance < k_.bg_lo ? Splat(0) : (distance <= k_.bg_hi ? faded : s.alpha);
    }

    const PassConstants& k_;
    const Group& g_;
    Lanes x_weight_[kMaxCopies];
    Lanes y_weight_[kMaxCopies];
};

}  // namespace

// The sanitizer build keeps the portable version only, so that the tests run it too.
#if defined(__x86_64__) && defined(__ELF__) && defined(__GNUC__) && !defined(__clang__) && \
    !defined(__SANITIZE_ADDRESS__)
#define LANE_VERSIONS __attribute__((target_clones("avx2", "default")))
#else
#define LANE_VERSIONS
#endif

LANE_VERSIONS
void FillCacheRow(const CacheFill& fill, const std::uint8_t* source, std::uint8_t* slot) noexcept {
    const std::ptrdiff_t columns = fill.columns;
    for (int k = 0; k < fill.copies; ++k) {
        const std::ptrdiff_t first = k * columns;
        std::uint8_t* planes = slot + 4 * first;
        std::ptrdiff_t i = 0;
        for (; i + kLanes <= columns; i += kLanes) {
            const i32* left = fill.left + first + i;
            const i32* right = fill.right + first + i;
            bool readable = true;
            for (int l = 0; l < kLanes; ++l) readable = readable && right[l] <= fill.readable - 4 && left[l] <= fill.readable - 4;
            if (!readable) break;
            const Lanes a = LoadPixels(source, left);
            const Lanes b = LoadPixels(source, right);
            const Lanes up = LoadWords(fill.up + first + i);
            const Lanes down = LoadWords(fill.down + first + i);
            for (int ch = 0; ch < fill.channels; ++ch) {
                const Lanes value = Step((a >> (8 * ch)) & 255, (b >> (8 * ch)) & 255, up, down);
                StoreBytes(value, planes + ch * columns + i);
            }
        }
        for (; i < columns; ++i) {
            const std::ptrdiff_t c = first + i;
            const std::uint8_t* a = source + fill.left[c];
            const std::uint8_t* b = source + fill.right[c];
            for (int ch = 0; ch < fill.channels; ++ch) {
                const i32 d = b[ch] - a[ch];
                planes[ch * columns + i] =
                    static_cast<std::uint8_t>(a[ch] + ((d * (d < 0 ? fill.down[c] : fill.up[c])) >> kShift));
            }
        }
    }
}

LANE_VERSIONS
void GroupColours(const PassConstants& constants, const Group& group, std::uint8_t* dst) noexcept {
    Kernel kernel(constants, group);
    kernel.Run(dst);
}

}  // namespace tessellon::tiling_lanes
