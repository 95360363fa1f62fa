// Built-ins that read the source image: by image position (with the preview's zoom
// undone), next to the current pixel, in polar form, interpolated, as 3x3 weighted
// sums, and the current pixel's own values. Positions outside the strip's input band
// are clamped to its edge. No Windows headers.
#include <cmath>

#include "hostapi/host_state.h"
#include "runtime/builtins.h"
#include "runtime/context.h"
#include "runtime/float_convert.h"
#include "runtime/wrap32.h"

namespace tessellon {
namespace {

i32 Refuse(i32 status) noexcept {
    Execution().context.status = status;
    return 0;
}


// Image position to buffer position: the preview's zoom undone.
i32 BufferPosition(i32 v) noexcept {
    if (Host().preview_zoom >= 2) return v / Host().preview_zoom;
    if (Host().preview_zoom <= 0) return wrap_mul(v, wrap_sub(2, Host().preview_zoom));
    return v;
}

// Planes 0..2 always exist; plane 3 only with more than three planes. On a three-plane
// image the byte after blue belongs to the next pixel, so plane 3 reads as opaque, as
// dalpha answers.
i32 PlaneOf(const std::uint8_t* pixel, i32 z) noexcept {
    if (z == 3 && Execution().record.plane_count <= 3) return 255;
    return pixel[z];
}

// True when the host has delivered a non-empty input band to read from.
bool HaveInput() noexcept {
    return Host().record != nullptr && Host().record->inData != nullptr &&
           Host().record->inRect.right > Host().record->inRect.left &&
           Host().record->inRect.bottom > Host().record->inRect.top;
}

// What a read finds when the host has delivered nothing: a black, transparent pixel.
constexpr std::uint8_t kNoPixel[4] = {0, 0, 0, 0};

}  // namespace

const std::uint8_t* sample_at(i32 x, i32 y) noexcept {
    if (!HaveInput()) return kNoPixel;
    const psapi::FilterRecord& record = *Host().record;
    x = wrap_add(BufferPosition(x), Execution().origin_x);
    y = wrap_add(BufferPosition(y), Execution().origin_y);
    x = clamp32(x, record.inRect.left, record.inRect.right - 1);
    y = clamp32(y, record.inRect.top, record.inRect.bottom - 1);
    return static_cast<const std::uint8_t*>(record.inData) +
           static_cast<std::ptrdiff_t>(y - record.inRect.top) * record.inRowBytes +
           static_cast<std::ptrdiff_t>(x - record.inRect.left) * Execution().record.plane_count;
}

const std::uint8_t* sample_near(i32 dx, i32 dy) noexcept {
    const ExecutionContext& c = Execution().context;
    return sample_at(wrap_add(c.pos_x, dx), wrap_add(c.pos_y, dy));
}

i32 mask_at(i32 x, i32 y) noexcept {
    if (Host().record == nullptr) return 255;
    const psapi::FilterRecord& record = *Host().record;
    x = wrap_add(x, Execution().origin_x);
    y = wrap_add(y, Execution().origin_y);
    const psapi::Rect& r = record.maskRect;
    if (x < r.left || x >= r.right || y < r.top || y >= r.bottom) return 0;
    if (record.maskData == nullptr) return 255;
    return static_cast<const std::uint8_t*>(record.maskData)[static_cast<std::ptrdiff_t>(y - r.top) *
                                                                 record.maskRowBytes +
                                                             (x - r.left)];
}

i32 sum3x3(const i32 (&weights)[9], i32 plane) noexcept {
    if (!HaveInput()) return 0;
    const psapi::FilterRecord& record = *Host().record;
    const i32 x = wrap_add(Execution().record.cur_x, Execution().origin_x);
    const i32 y = wrap_add(Execution().record.cur_y, Execution().origin_y);
    const std::uint8_t* centre = static_cast<const std::uint8_t*>(record.inData) +
                                 static_cast<std::ptrdiff_t>(y - record.inRect.top) * record.inRowBytes +
                                 static_cast<std::ptrdiff_t>(x - record.inRect.left) * Execution().record.plane_count;
    // A missing neighbour column or row is replaced by the pixel's own.
    const std::ptrdiff_t left = x > record.inRect.left ? -Execution().record.plane_count : 0;
    const std::ptrdiff_t right = x < record.inRect.right - 1 ? Execution().record.plane_count : 0;
    const std::ptrdiff_t up = y > record.inRect.top ? -record.inRowBytes : 0;
    const std::ptrdiff_t down = y < record.inRect.bottom - 1 ? record.inRowBytes : 0;
    const std::ptrdiff_t rows[3] = {up, 0, down};
    const std::ptrdiff_t columns[3] = {left, 0, right};
    i32 sum = 0;
    for (int row = 0; row < 3; ++row) {
        for (int column = 0; column < 3; ++column) {
            const i32 byte = centre[rows[row] + columns[column] + plane];
            sum = wrap_add(sum, wrap_mul(weights[row * 3 + column], byte));
        }
    }
    return sum;
}

namespace {
i32 Conv3(i32 w1, i32 w2, i32 w3, i32 w4, i32 w5, i32 w6, i32 w7, i32 w8, i32 w9, i32 d,
          i32 plane) noexcept {
    if (d == 0) return Refuse(kStatusRange);
    const i32 weights[9] = {w1, w2, w3, w4, w5, w6, w7, w8, w9};
    return wrap_div(sum3x3(weights, plane), d);
}
}  // namespace

i32 conv3_r(i32 w1, i32 w2, i32 w3, i32 w4, i32 w5, i32 w6, i32 w7, i32 w8, i32 w9, i32 d) noexcept {
    return Conv3(w1, w2, w3, w4, w5, w6, w7, w8, w9, d, 0);
}
i32 conv3_g(i32 w1, i32 w2, i32 w3, i32 w4, i32 w5, i32 w6, i32 w7, i32 w8, i32 w9, i32 d) noexcept {
    return Conv3(w1, w2, w3, w4, w5, w6, w7, w8, w9, d, 1);
}
i32 conv3_b(i32 w1, i32 w2, i32 w3, i32 w4, i32 w5, i32 w6, i32 w7, i32 w8, i32 w9, i32 d) noexcept {
    return Conv3(w1, w2, w3, w4, w5, w6, w7, w8, w9, d, 2);
}

i32 src(i32 x, i32 y, i32 z) noexcept {
    if (z >= 0 && z <= 3) return PlaneOf(sample_at(x, y), z);
    if (z == 4) return mask_at(x, y);
    return Refuse(kStatusRange);
}

i32 src_polar(i32 angle, i32 r, i32 z) noexcept {
    const i32 px = wrap_add(Execution().record.area_w / 2, polar_x(angle, r));
    const i32 py = wrap_add(Execution().record.area_h / 2, polar_y(angle, r));
    return src(px, py, z);
}

i32 dr(i32 dx, i32 dy) noexcept { return sample_near(dx, dy)[0]; }
i32 dg(i32 dx, i32 dy) noexcept { return sample_near(dx, dy)[1]; }
i32 db(i32 dx, i32 dy) noexcept { return sample_near(dx, dy)[2]; }

i32 dalpha(i32 dx, i32 dy) noexcept {
    return Execution().record.plane_count > 3 ? sample_near(dx, dy)[3] : 255;
}

i32 dchan(i32 dx, i32 dy, i32 z) noexcept {
    if (z < 0 || z >= Execution().record.plane_count) return Refuse(kStatusRange);
    const std::uint8_t* pixel = sample_near(dx, dy);
    // Without input the placeholder pixel has four planes only.
    return pixel == kNoPixel ? 0 : pixel[z];
}

i32 src_here(i32 z) noexcept {
    const ExecutionContext& c = Execution().context;
    switch (z) {
        case 0: return c.src_r;
        case 1: return c.src_g;
        case 2: return c.src_b;
        case 3:
            if (Execution().record.plane_count > 3) return c.src_a;
            break;
        default: break;
    }
    return Refuse(kStatusRange);
}

i32 set_out(i32 z, i32 v) noexcept {
    ExecutionContext& c = Execution().context;
    switch (z) {
        case 0: c.out_r = v; return v;
        case 1: c.out_g = v; return v;
        case 2: c.out_b = v; return v;
        case 3:
            // Without a fourth plane there is nothing to set, and that is no error.
            if (Execution().record.plane_count > 3) c.out_a = v;
            return v;
        default: return Refuse(kStatusRange);
    }
}

// Reads only the pixels whose weights are not zero: one, two or four.
i32 src_interp(i32 x, i32 y, i32 n, i32 z) noexcept {
    if (z < 0 || z > 3) return Refuse(kStatusRange);
    if (n <= 0) return Refuse(kStatusDomain);
    const i32 xi = x / n;
    const i32 xf = x % n;
    const i32 yi = y / n;
    const i32 yf = y % n;
    const i32 a = PlaneOf(sample_at(xi, yi), z);
    i32 top = a;
    if (xf != 0) {
        const i32 b = PlaneOf(sample_at(wrap_add(xi, 1), yi), z);
        top = wrap_div(wrap_add(wrap_mul(a, wrap_sub(n, xf)), wrap_mul(b, xf)), n);
    }
    if (yf == 0) return top;
    const i32 c = PlaneOf(sample_at(xi, wrap_add(yi, 1)), z);
    i32 bottom = c;
    if (xf != 0) {
        const i32 d = PlaneOf(sample_at(wrap_add(xi, 1), wrap_add(yi, 1)), z);
        bottom = wrap_div(wrap_add(wrap_mul(c, wrap_sub(n, xf)), wrap_mul(d, xf)), n);
    }
    return wrap_div(wrap_add(wrap_mul(bottom, yf), wrap_mul(top, wrap_sub(n, yf))), n);
}

}  // namespace tessellon
