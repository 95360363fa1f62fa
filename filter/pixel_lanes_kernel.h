// The lane kernels themselves, written once with the compiler's vector types for N
// lanes, and compiled by each file that includes this for its own instruction set:
// pixel_lanes.cpp for the target's baseline with 4 lanes, pixel_lanes_sse41.cpp for
// SSE4.1 with 4 and pixel_lanes_avx2.cpp for AVX2 with 8. Everything here has internal linkage and is inlined into the variant entry
// points, so that no function compiled for one instruction set is ever shared with the
// other. Both variants compute the same integers. No Windows headers.
#pragma once

#include <cstring>

#if defined(__SSE2__)
#include <immintrin.h>
#endif

#include "filter/pixel_lanes.h"

// The lane helpers pass vectors by value between inline functions of this header only;
// the calling-convention note about wide vectors does not concern them.
#pragma GCC diagnostic ignored "-Wpsabi"

namespace tessellon::tiling_lanes {

// The variants' entry points, one pair per compiled instruction set.
namespace variants {
void PortableColours(const PassConstants& constants, const Group& group, std::uint8_t* dst) noexcept;
void PortableFill(const CacheFill& fill, const std::uint8_t* source, std::uint8_t* slot) noexcept;
void Sse41Colours(const PassConstants& constants, const Group& group, std::uint8_t* dst) noexcept;
void Sse41Fill(const CacheFill& fill, const std::uint8_t* source, std::uint8_t* slot) noexcept;
void Avx2Colours(const PassConstants& constants, const Group& group, std::uint8_t* dst) noexcept;
void Avx2Fill(const CacheFill& fill, const std::uint8_t* source, std::uint8_t* slot) noexcept;
}  // namespace variants

namespace {

#define LANE_INLINE inline __attribute__((always_inline))
#define LANE_INLINE_LAMBDA __attribute__((always_inline))

using i32 = std::int32_t;

template <int N>
struct Vectors {
    static_assert(N == 4 || N == 8);
    typedef std::int32_t Lanes __attribute__((vector_size(N * 4)));
    typedef std::uint32_t Unsigned __attribute__((vector_size(N * 4)));
    typedef float Floats __attribute__((vector_size(N * 4)));
    typedef double Doubles __attribute__((vector_size(N * 8)));
    typedef std::int64_t Words __attribute__((vector_size(N * 4)));
    typedef std::uint8_t LaneBytes __attribute__((vector_size(N * 4)));
    typedef std::uint16_t Halves __attribute__((vector_size(N * 4)));
    typedef std::uint8_t Bytes16 __attribute__((vector_size(16)));
    typedef std::uint16_t Halves8 __attribute__((vector_size(16)));
    typedef std::int64_t Words2 __attribute__((vector_size(16)));
};

// The lane operations the kernels are made of. (Casts between vector types of one size
// keep the bits.)
template <int N>
struct Ops {
    using V = Vectors<N>;
    using Lanes = typename V::Lanes;
    using Floats = typename V::Floats;
    using Doubles = typename V::Doubles;

    static LANE_INLINE Lanes Splat(i32 x) noexcept { return Lanes{} + x; }

    // N bytes widened to 32-bit lanes, written as interleaves with zero, which the
    // compiler turns into a single widening load where the instruction set has one.
    static LANE_INLINE Lanes LoadBytes(const std::uint8_t* p) noexcept {
        using Bytes16 = typename V::Bytes16;
        using Halves8 = typename V::Halves8;
        if constexpr (N == 8) {
            std::uint64_t word;
            std::memcpy(&word, p, sizeof word);
            const typename V::Words2 packed = {static_cast<std::int64_t>(word), 0};
            const auto bytes = reinterpret_cast<Bytes16>(packed);
            const Bytes16 wide = __builtin_shufflevector(bytes, Bytes16{}, 0, 16, 1, 17, 2, 18, 3, 19, 4, 20, 5, 21,
                                                         6, 22, 7, 23);
            const auto halves = reinterpret_cast<Halves8>(wide);
            const typename V::Halves widest =
                __builtin_shufflevector(halves, Halves8{}, 0, 8, 1, 9, 2, 10, 3, 11, 4, 12, 5, 13, 6, 14, 7, 15);
            return reinterpret_cast<Lanes>(widest);
        } else {
            std::uint32_t word;
            std::memcpy(&word, p, sizeof word);
            const typename V::Lanes packed = {static_cast<i32>(word), 0, 0, 0};
            const auto bytes = reinterpret_cast<Bytes16>(packed);
            const Bytes16 wide = __builtin_shufflevector(bytes, Bytes16{}, 0, 16, 1, 17, 2, 18, 3, 19, 4, 20, 5, 21,
                                                         6, 22, 7, 23);
            const auto halves = reinterpret_cast<Halves8>(wide);
            const Halves8 widest = __builtin_shufflevector(halves, Halves8{}, 0, 8, 1, 9, 2, 10, 3, 11);
            return reinterpret_cast<Lanes>(widest);
        }
    }

    // The low bytes of the lanes, stored side by side.
    static LANE_INLINE void StoreBytes(Lanes x, std::uint8_t* p) noexcept {
        const auto bytes = reinterpret_cast<typename V::LaneBytes>(x);
        if constexpr (N == 8) {
            const auto low = __builtin_shufflevector(bytes, bytes, 0, 4, 8, 12, 16, 20, 24, 28);
            std::memcpy(p, &low, sizeof low);
        } else {
            const auto low = __builtin_shufflevector(bytes, bytes, 0, 4, 8, 12);
            std::memcpy(p, &low, sizeof low);
        }
    }

    static LANE_INLINE Lanes LoadWords(const i32* p) noexcept {
        Lanes words;
        std::memcpy(&words, p, sizeof words);
        return words;
    }

    static LANE_INLINE Floats LoadFloats(const float* p) noexcept {
        Floats values;
        std::memcpy(&values, p, sizeof values);
        return values;
    }

    // Four bytes from each lane's offset, as one word per lane (first byte lowest).
    static LANE_INLINE Lanes LoadPixels(const std::uint8_t* row, const i32* offsets) noexcept {
        i32 w[N];
        for (int l = 0; l < N; ++l) {
            std::uint8_t b[4];
            std::memcpy(b, row + offsets[l], 4);
            w[l] = static_cast<i32>(b[0] | (std::uint32_t{b[1]} << 8) | (std::uint32_t{b[2]} << 16) |
                                    (std::uint32_t{b[3]} << 24));
        }
        return LoadWords(w);
    }

    static LANE_INLINE Doubles ToDouble(Lanes x) noexcept { return __builtin_convertvector(x, Doubles); }

    // Truncation toward zero, for values well within the 32-bit range.
    static LANE_INLINE Lanes Truncate(Doubles x) noexcept { return __builtin_convertvector(x, Lanes); }
    static LANE_INLINE Lanes Truncate(Floats x) noexcept { return __builtin_convertvector(x, Lanes); }

    // Whether every lane of a comparison's mask (-1 true, 0 false) is true. On x86 from
    // the lanes' sign bits; the 64-bit words of the portable form go through memory in
    // 32-bit builds.
    static LANE_INLINE bool AllLanes(Lanes mask) noexcept {
#if defined(__AVX__)
        if constexpr (N == 8) return _mm256_movemask_ps(reinterpret_cast<__m256>(mask)) == 0xff;
#endif
#if defined(__SSE2__)
        if constexpr (N == 4) return _mm_movemask_ps(reinterpret_cast<__m128>(mask)) == 0xf;
#endif
        const auto words = reinterpret_cast<typename V::Words>(mask);
        std::int64_t all = words[0];
        for (int w = 1; w < N / 2; ++w) all &= words[w];
        return all == -1;
    }

    static LANE_INLINE bool AllEqual(Lanes words, i32 value) noexcept { return AllLanes(words == value); }

    // a + floor(d * f / n) from f / n's multipliers, d = b - a within -255..255.
    static LANE_INLINE Lanes Step(Lanes a, Lanes b, Lanes up, Lanes down) noexcept {
        const Lanes d = b - a;
        return a + ((d * (d < 0 ? down : up)) >> kShift);
    }

    // The pixel code's band weight of copies at `position` across bands that may differ
    // per lane: before ahead of the band, after past it, and inside an open band before
    // plus the truncated quotient (after - before) * (position - lo) / (hi - lo). The
    // quotient of the magnitudes comes from single precision (relative error below
    // 2^-21, so it is off by at most one) and one correction step on the exact
    // remainder mag * offset - q * span: that lies within -span..2 * span, which with
    // spans up to kMaxSpan fits 32 bits, so it is computed with wrap-around.
    static LANE_INLINE Lanes Weight(Lanes position, Lanes lo, Lanes hi, Floats ratio, i32 before,
                                    i32 after) noexcept {
        using Unsigned = typename V::Unsigned;
        const Lanes open = lo < hi;
        const Lanes below = position < lo;
        const Lanes above = position > hi;
        const Lanes span = open != 0 ? hi - lo : Splat(1);
        const Lanes offset = open != 0 ? (below != 0 ? Splat(0) : (above != 0 ? span : position - lo)) : Splat(0);
        const i32 difference = after - before;
        const i32 magnitude = difference < 0 ? -difference : difference;
        Lanes quotient = Truncate(__builtin_convertvector(offset, Floats) * ratio);
        const auto rest =
            reinterpret_cast<Lanes>(static_cast<std::uint32_t>(magnitude) * reinterpret_cast<Unsigned>(offset) -
                                    reinterpret_cast<Unsigned>(quotient) * reinterpret_cast<Unsigned>(span));
        quotient = quotient + (rest < 0) - (rest >= span);
        const Lanes inside = before + (difference < 0 ? -quotient : quotient);
        const Lanes open_weight = below != 0 ? Splat(before) : (above != 0 ? Splat(after) : inside);
        const Lanes closed_weight = position <= lo ? Splat(before) : Splat(after);
        return open != 0 ? open_weight : closed_weight;
    }

    // WeightMultiplier (see pixel_lanes.h), lane by lane.
    static LANE_INLINE Lanes Multiplier(Lanes weight, i32 full, double per_weight) noexcept {
        const Lanes m = Truncate(ToDouble(weight) * per_weight) + 1;
        return weight == 0 ? Splat(0) : (weight == full ? Splat(kOne) : m);
    }

    // The multiplier of Weight's weight. Groups often lie wholly ahead of or past their
    // bands; theirs is the scalar WeightMultiplier of before or after, the same
    // arithmetic on one value.
    static LANE_INLINE Lanes BandMultiplier(Lanes position, Lanes lo, Lanes hi, Floats ratio, i32 before,
                                            i32 after, i32 full, double per_weight) noexcept {
        if (AllLanes(position < lo)) return Splat(WeightMultiplier(before, full));
        if (AllLanes((position > hi) & (position > lo))) return Splat(WeightMultiplier(after, full));
        return Multiplier(Weight(position, lo, hi, ratio, before, after), full, per_weight);
    }

    // trunc(d * w / full) for |d| <= 255, from w's multiplier. For d < 0 that is
    // -floor(|d| * m / 2^kShift) = ceil(d * m / 2^kShift), the floor of d * m plus
    // 2^kShift - 1; the magnitudes stay below 2^31. Adding that only to the negative
    // lanes takes two shifts of d's sign and no select.
    static LANE_INLINE Lanes ScaleDifference(Lanes d, Lanes multiplier) noexcept {
        using Unsigned = typename V::Unsigned;
        const auto round_up = reinterpret_cast<Lanes>(reinterpret_cast<Unsigned>(d >> 31) >> (32 - kShift));
        return (d * multiplier + round_up) >> kShift;
    }

    // a * b for a and b within 0..255, whose product fits the low 16 bits of a lane: a
    // 16-bit multiply, quicker than a 32-bit one and native to SSE2 (the high halves,
    // 0 * 0, stay 0).
    static LANE_INLINE Lanes ByteProduct(Lanes a, Lanes b) noexcept {
        using Halves = typename V::Halves;
        return reinterpret_cast<Lanes>(reinterpret_cast<Halves>(a) * reinterpret_cast<Halves>(b));
    }

    // rescale(weight, 0, full, old, blend(over, old, alpha, 255)) for values within
    // 0..255, from over * alpha and 255 - alpha, which do not depend on old.
    static LANE_INLINE Lanes Lay(Lanes old, Lanes over_alpha, Lanes inverse, Lanes multiplier) noexcept {
        const Lanes blend = ((over_alpha + ByteProduct(old, inverse)) * 32897) >> 23;
        return old + ScaleDifference(blend - old, multiplier);
    }
};

// N of a group's pixels, from lane `first` of the group on, their copies read from the
// source rows (kWholePixels: the group's offsets) or from the cache rows. Each row of copies, and
// then the rows, are a stack of layers laid one over the other: first every layer's
// colour and alpha, then the layers combined channel by channel, so that few values
// are live while they are combined.
template <int N, bool kWholePixels>
class Kernel : Ops<N> {
    using O = Ops<N>;
    using Lanes = typename O::Lanes;
    using O::AllEqual;
    using O::AllLanes;
    using O::Lay;
    using O::Splat;

    struct Sample {
        Lanes c[3];
        Lanes alpha;
    };

    // The bottom colour, and the layers over it with what Lay needs of each.
    struct Layers {
        Lanes bottom[4];
        Lanes over_alpha[4][kMaxCopies];  // the fourth is 255 * alpha
        Lanes inverse[kMaxCopies];        // 255 - alpha
        Lanes weight[kMaxCopies];         // multipliers
        int count;

        LANE_INLINE void Bottom(Lanes c0, Lanes c1, Lanes c2, Lanes alpha) noexcept {
            bottom[0] = c0;
            bottom[1] = c1;
            bottom[2] = c2;
            bottom[3] = alpha;
            count = 0;
        }

        LANE_INLINE void Add(Lanes c0, Lanes c1, Lanes c2, Lanes alpha, Lanes multiplier) noexcept {
            over_alpha[0][count] = O::ByteProduct(c0, alpha);
            over_alpha[1][count] = O::ByteProduct(c1, alpha);
            over_alpha[2][count] = O::ByteProduct(c2, alpha);
            over_alpha[3][count] = alpha * 255;
            inverse[count] = 255 - alpha;
            weight[count] = multiplier;
            ++count;
        }

        // Hands the combined channels 0..3 to `use`. Four running values and two
        // temporaries fit the eight vector registers of 32-bit x86; the result goes on as
        // four values, since 32-bit builds copy an array of vectors in halves and read
        // them back whole, which the processor cannot forward.
        template <class Use>
        LANE_INLINE void Combine(Use&& use) const noexcept {
            Lanes v[4];
            for (int ch = 0; ch < 4; ++ch) v[ch] = bottom[ch];
            for (int i = 0; i < count; ++i) {
                for (int ch = 0; ch < 4; ++ch) v[ch] = Lay(v[ch], over_alpha[ch][i], inverse[i], weight[i]);
            }
            use(v[0], v[1], v[2], v[3]);
        }
    };

public:
    LANE_INLINE Kernel(const PassConstants& k, const Group& g, int first) noexcept : k_(k), g_(g), first_(first) {}

    LANE_INLINE void Run(std::uint8_t* dst) noexcept {
        Weights();
        int j = 0;
        int full = 0;
        for (int r = g_.copy_rows - 1; r >= 1 && full == 0; --r) {
            if (AllEqual(y_weight_[r], kOne)) full = r;
        }
        if (full > 0) {
            // A row of full weight whose alpha is 255 replaces what came before it.
            Row(full, [&](Lanes c0, Lanes c1, Lanes c2, Lanes alpha) LANE_INLINE_LAMBDA {
                if (AllLanes(alpha == 255)) {
                    rows_.Bottom(c0, c1, c2, alpha);
                    j = full + 1;
                }
            });
        }
        if (j == 0) {
            Row(0, [&](Lanes c0, Lanes c1, Lanes c2, Lanes alpha)
                       LANE_INLINE_LAMBDA { rows_.Bottom(c0, c1, c2, alpha); });
            j = 1;
        }
        for (; j < g_.copy_rows; ++j) {
            const Lanes w = y_weight_[j];
            if (AllEqual(w, 0)) continue;
            Row(j, [&](Lanes c0, Lanes c1, Lanes c2, Lanes alpha)
                       LANE_INLINE_LAMBDA { rows_.Add(c0, c1, c2, alpha, w); });
        }
        rows_.Combine([&](Lanes c0, Lanes c1, Lanes c2, Lanes alpha) LANE_INLINE_LAMBDA {
            // The values stay within 0..255; the write-back clamps all the same.
            const auto clamp = [](Lanes x) LANE_INLINE_LAMBDA {
                return x < 0 ? Splat(0) : (x > 255 ? Splat(255) : x);
            };
            c0 = clamp(c0);
            c1 = clamp(c1);
            c2 = clamp(c2);
            alpha = clamp(alpha);
            const bool fourth = k_.planes > 3;
            for (int l = 0; l < N; ++l) {
                std::uint8_t* p = dst + static_cast<std::ptrdiff_t>(l) * k_.planes;
                p[0] = static_cast<std::uint8_t>(c0[l]);
                p[1] = static_cast<std::uint8_t>(c1[l]);
                p[2] = static_cast<std::uint8_t>(c2[l]);
                if (fourth) p[3] = static_cast<std::uint8_t>(alpha[l]);
            }
        });
    }

private:
    // The multipliers of the copies' weights along the row (0 for a copy the lane's
    // column does not have) and of the rows of copies across it.
    LANE_INLINE void Weights() noexcept {
        const Lanes copies = O::LoadWords(g_.column_copies + first_);
        const double per_weight = static_cast<double>(kOne) / k_.weight_full;
        for (int k = 1; k < g_.copies; ++k) {
            const Lanes position = O::LoadWords(g_.x_position + k * g_.position_stride + first_);
            const Lanes multiplier =
                O::BandMultiplier(position, Splat(g_.x_lo), Splat(g_.x_hi), typename O::Floats{} + g_.x_ratio,
                                  k_.x_before, k_.x_after, k_.weight_full, per_weight);
            x_weight_[k] = Splat(k) < copies ? multiplier : Splat(0);
        }
        if (g_.copy_rows < 2) return;
        const Lanes lo = O::LoadWords(g_.y_lo + first_);
        const Lanes hi = O::LoadWords(g_.y_hi + first_);
        const typename O::Floats ratio = O::LoadFloats(g_.y_ratio + first_);
        for (int j = 1; j < g_.copy_rows; ++j) {
            y_weight_[j] = O::BandMultiplier(Splat(g_.rows[j].copy_y), lo, hi, ratio, k_.y_before, k_.y_after,
                                             k_.weight_full, per_weight);
        }
    }

    // Hands the accumulated colour of row of copies j to `use`, as Combine does.
    template <class Use>
    LANE_INLINE void Row(int j, Use&& use) noexcept {
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
                copies_.Bottom(s.c[0], s.c[1], s.c[2], s.alpha);
                k = full + 1;
            }
        }
        if (k == 0) {
            Sample s = Take(row, 0);
            if (j != 0) s.alpha = Background(s);
            copies_.Bottom(s.c[0], s.c[1], s.c[2], s.alpha);
            k = 1;
        }
        for (; k < g_.copies; ++k) {
            const Lanes w = x_weight_[k];
            if (AllEqual(w, 0)) continue;
            const Sample s = Take(row, k);
            copies_.Add(s.c[0], s.c[1], s.c[2], Background(s), w);
        }
        copies_.Combine(use);
    }

    // src_interp of a copy's channel: the cached horizontal steps, then the vertical
    // step.
    LANE_INLINE Lanes Channel(const CopyRow& row, std::ptrdiff_t offset) const noexcept {
        const Lanes t = O::LoadBytes(row.top + offset);
        if (!row.step) return t;
        return O::Step(t, O::LoadBytes(row.under + offset), Splat(row.up), Splat(row.down));
    }

    LANE_INLINE Sample Take(const CopyRow& row, int k) const noexcept {
        if constexpr (kWholePixels) return TakePixels(row, k);
        Sample s;
        const std::ptrdiff_t base = static_cast<std::ptrdiff_t>(k) * 4 * g_.plane_stride + g_.column + first_;
        for (int ch = 0; ch < 3; ++ch) s.c[ch] = Channel(row, base + ch * g_.plane_stride);
        s.alpha = k_.alpha_sampled ? Channel(row, base + 3 * g_.plane_stride) : Splat(255);
        return s;
    }

    // Take for copies on whole pixels of the source rows: each lane's pixel as one word,
    // its channels the word's bytes. (Whole shifts: see Fill.)
    LANE_INLINE Sample TakePixels(const CopyRow& row, int k) const noexcept {
        const i32* offsets = g_.offsets + static_cast<std::ptrdiff_t>(k) * g_.position_stride + first_;
        const Lanes top = O::LoadPixels(row.top, offsets);
        Sample s;
        if (!row.step) {
            s.c[0] = top & 255;
            s.c[1] = (top >> 8) & 255;
            s.c[2] = (top >> 16) & 255;
            s.alpha = k_.alpha_sampled ? (top >> 24) & 255 : Splat(255);
            return s;
        }
        const Lanes under = O::LoadPixels(row.under, offsets);
        const Lanes up = Splat(row.up);
        const Lanes down = Splat(row.down);
        s.c[0] = O::Step(top & 255, under & 255, up, down);
        s.c[1] = O::Step((top >> 8) & 255, (under >> 8) & 255, up, down);
        s.c[2] = O::Step((top >> 16) & 255, (under >> 16) & 255, up, down);
        s.alpha = k_.alpha_sampled ? O::Step((top >> 24) & 255, (under >> 24) & 255, up, down) : Splat(255);
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
        const auto product = __builtin_convertvector(s.alpha * (distance - k_.bg_lo), typename O::Floats);
        const Lanes faded = O::Truncate(product / static_cast<float>(k_.bg_hi - k_.bg_lo));
        return distance < k_.bg_lo ? Splat(0) : (distance <= k_.bg_hi ? faded : s.alpha);
    }

    const PassConstants& k_;
    const Group& g_;
    const int first_;
    Lanes x_weight_[kMaxCopies];
    Lanes y_weight_[kMaxCopies];
    Layers copies_;
    Layers rows_;
};

// GroupColours with N lanes.
template <int N>
LANE_INLINE void Colours(const PassConstants& constants, const Group& group, std::uint8_t* dst) noexcept {
    for (int first = 0; first < kLanes; first += N) {
        std::uint8_t* lanes_dst = dst + static_cast<std::ptrdiff_t>(first) * constants.planes;
        if (group.offsets != nullptr) {
            Kernel<N, true>(constants, group, first).Run(lanes_dst);
        } else {
            Kernel<N, false>(constants, group, first).Run(lanes_dst);
        }
    }
}

// FillCacheRow with N lanes.
template <int N>
LANE_INLINE void Fill(const CacheFill& fill, const std::uint8_t* source, std::uint8_t* slot) noexcept {
    using O = Ops<N>;
    using Lanes = typename O::Lanes;
    const std::ptrdiff_t columns = fill.columns;
    for (int k = 0; k < fill.copies; ++k) {
        const std::ptrdiff_t first = k * columns;
        std::uint8_t* planes = slot + 4 * first;
        std::ptrdiff_t i = 0;
        for (; i + N <= columns; i += N) {
            const i32* left = fill.left + first + i;
            const i32* right = fill.right + first + i;
            // Whole words are read at each offset: near the end of a row the rest goes
            // byte by byte.
            bool readable = true;
            for (int l = 0; l < N; ++l) {
                readable = readable && right[l] <= fill.readable - 4 && left[l] <= fill.readable - 4;
            }
            if (!readable) break;
            const Lanes a = O::LoadPixels(source, left);
            const Lanes b = O::LoadPixels(source, right);
            const Lanes up = O::LoadWords(fill.up + first + i);
            const Lanes down = O::LoadWords(fill.down + first + i);
            // Whole shifts, not a shift by a counted amount: i686 builds a variable vector
            // shift's count through memory on every channel.
            const auto channel = [&](int ch, int shift) LANE_INLINE_LAMBDA {
                const Lanes value = O::Step((a >> shift) & 255, (b >> shift) & 255, up, down);
                O::StoreBytes(value, planes + ch * columns + i);
            };
            channel(0, 0);
            channel(1, 8);
            channel(2, 16);
            if (fill.channels > 3) channel(3, 24);
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

#undef LANE_INLINE
#undef LANE_INLINE_LAMBDA

}  // namespace
}  // namespace tessellon::tiling_lanes
