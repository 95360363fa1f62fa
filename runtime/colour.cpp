// Built-ins converting between RGB and hue, lightness, saturation (hue 1024 per turn).
// Both directions share one cache of the last pair of triples, so a hue read back right
// after set_hls is the hue that was set. No Windows headers.
#include "runtime/builtins.h"
#include "runtime/context.h"
#include "runtime/wrap32.h"

namespace tessellon {
namespace {

struct Triple {
    i32 a, b, c;
    bool operator==(const Triple&) const = default;
};

// At load no input matches.
Triple cached_rgb{-1, -1, -1};
Triple cached_hls{-1, -1, -1};


const Triple& HlsOf(i32 r, i32 g, i32 b) noexcept {
    const Triple rgb{clamp32(r, 0, 255), clamp32(g, 0, 255), clamp32(b, 0, 255)};
    if (rgb == cached_rgb) return cached_hls;
    r = rgb.a;
    g = rgb.b;
    b = rgb.c;
    const i32 mx = max_of(r, max_of(g, b));
    const i32 mn = min_of(r, min_of(g, b));
    const i32 l = (mx + mn) / 2;
    i32 h = 0;
    i32 s = 0;
    if (mx != mn) {
        const i32 delta = mx - mn;
        s = l <= 128 ? delta * 255 / (mx + mn) : delta * 255 / (510 - mx - mn);
        const i32 rc = (mx - r) * 256 / delta;
        const i32 gc = (mx - g) * 256 / delta;
        const i32 bc = (mx - b) * 256 / delta;
        // Ties go to red, then green.
        if (r == mx) {
            h = bc - gc;
        } else if (g == mx) {
            h = 512 + rc - bc;
        } else {
            h = 1024 + gc - rc;
        }
        if (h < 0) h += 1536;
        h = h * 1024 / 1536;
    }
    cached_rgb = rgb;
    cached_hls = {h, l, s};
    return cached_hls;
}

i32 Part(i32 x, i32 m1, i32 m2) noexcept {
    x &= 1023;
    const i32 delta = m2 - m1;
    if (x < 171) return m1 + delta * x * 6 / 1024;
    if (x < 512) return m2;
    if (x < 683) return m1 + delta * (683 - x) * 6 / 1024;
    return m1;
}

}  // namespace

i32 rgb_hue(i32 r, i32 g, i32 b) noexcept { return HlsOf(r, g, b).a; }
i32 rgb_lightness(i32 r, i32 g, i32 b) noexcept { return HlsOf(r, g, b).b; }
i32 rgb_saturation(i32 r, i32 g, i32 b) noexcept { return HlsOf(r, g, b).c; }

i32 set_hls(i32 h, i32 l, i32 s) noexcept {
    const Triple hls{h & 1023, clamp32(l, 0, 255), clamp32(s, 0, 255)};
    if (!(hls == cached_hls)) {
        h = hls.a;
        l = hls.b;
        s = hls.c;
        const i32 m2 = l < 128 ? l * (s + 255) / 255 : l + s - l * s / 255;
        const i32 m1 = 2 * l - m2;
        Triple rgb{l, l, l};
        if (s != 0) rgb = {Part(h + 341, m1, m2), Part(h, m1, m2), Part(h - 341, m1, m2)};
        cached_hls = hls;
        cached_rgb = rgb;
    }
    ExecutionContext& c = Execution().context;
    c.out_r = cached_rgb.a;
    c.out_g = cached_rgb.b;
    c.out_b = cached_rgb.c;
    return 0;
}

}  // namespace tessellon
