// The benchmark runs' settings and document, and the plain copy they are compared
// with. No Windows headers.
#include "bench/bench_runs.h"

#include <cstring>

#include "filter/definition.h"
#include "runtime/context.h"
#include "shell/run_filter.h"
#include "ui/settings.h"

namespace tessellon::bench {

Settings Defaults() { return Settings{}; }

Settings Wave20() {
    Settings s;
    s.sliders[0] = 20;
    s.sliders[1] = 20;
    s.sliders[2] = 50;
    s.shape = 1;
    return s;
}

Settings WorstCase() {
    Settings s;
    s.sliders[0] = 75;
    s.sliders[1] = 75;
    s.sliders[3] = 40;
    s.shape = 3;
    s.fit = true;
    return s;
}

void Store(const Settings& s) {
    EnsureSettingsKey(nullptr);
    Platform().settings_create_key(Bound().settings_key, kSettingsKeyClass);
    for (int i = 0; i < 8; ++i) Live().controls[i] = s.sliders[i];
    Live().controls[10] = s.shape;
    Live().controls[15] = s.fit ? 1 : 0;
    Live().controls[14] = s.opaque_out ? 1 : 0;
    Live().controls[13] = s.repeat ? 1 : 0;
    SaveSettings();
}

memhost::Image BenchImage(int width, int height, int planes) {
    memhost::Image image(width, height, planes);
    std::uint32_t noise = 12345;
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            std::uint8_t* pixel = image.bytes.data() + (static_cast<std::size_t>(y) * width + x) * planes;
            noise = noise * 1103515245u + 12345u;
            // Every 64 by 64 block on a diagonal is white, the host's background colour.
            const bool background = ((x >> 6) + (y >> 6)) % 5 == 0;
            for (int p = 0; p < planes; ++p) {
                const unsigned smooth = static_cast<unsigned>(x * 3 + y * 5 + p * 85);
                pixel[p] = background ? 255 : static_cast<std::uint8_t>(smooth + ((noise >> (16 + p * 3)) & 15u));
            }
            if (planes > 3) pixel[3] = static_cast<std::uint8_t>(128 + ((x + y) & 127));
        }
    }
    return image;
}

const memhost::Image& Document() {
    static const memhost::Image image = BenchImage(kWidth, kHeight, 3);
    return image;
}

int PlainCopyThroughHost(LeanHost& host) {
    psapi::FilterRecord& r = host.record();
    const int width = r.imageSize.h;
    const int height = r.imageSize.v;
    const int planes = r.planes;
    const int rows = StripHeightFor(r.maxSpace, planes, width, height);
    const auto request = [&r, width, height](int top, int strip) {
        const int bottom = top + strip < height ? top + strip : height;
        r.inRect = r.outRect = r.maskRect = {static_cast<psapi::int16>(top), 0, static_cast<psapi::int16>(bottom),
                                             static_cast<psapi::int16>(width)};
        r.inLoPlane = r.outLoPlane = 0;
        r.inHiPlane = r.outHiPlane = static_cast<psapi::int16>(r.planes - 1);
        r.advanceState();
    };
    request(0, rows);  // as for the set-up
    for (int top = 0; top < height; top += rows) {
        request(top, rows);
        const std::size_t row_bytes = static_cast<std::size_t>(width) * planes;
        const auto* in = static_cast<const std::uint8_t*>(r.inData);
        auto* out = static_cast<std::uint8_t*>(r.outData);
        for (int y = r.outRect.top; y < r.outRect.bottom; ++y) {
            std::memcpy(out, in, row_bytes);
            in += r.inRowBytes;
            out += r.outRowBytes;
        }
    }
    r.inRect = r.outRect = r.maskRect = {};
    host.WriteBackAndRelease();
    return rows;
}

}  // namespace tessellon::bench
