// The golden runs: settings, a photo-like picture to filter and the hash of the image
// each run makes, shared by the golden test and the tests that run the same cases
// through other hosts. No Windows headers.
#pragma once

#include <cstdint>
#include <ostream>

#include "filter/definition.h"
#include "memhost/host_record.h"
#include "platform/platform.h"
#include "runtime/context.h"
#include "ui/settings.h"

namespace tessellon::testing {

struct GoldenCase {
    const char* name;
    int width, height, planes;
    std::int32_t sliders[8];
    std::int32_t shape;
    bool fit, opaque_out, repeat;
    std::uint64_t hash;
};

inline void PrintTo(const GoldenCase& c, std::ostream* os) { *os << c.name; }

// Sliders: overlap x, overlap y, fade, thru bg, bg smooth, freq, phase x, phase y.
inline constexpr GoldenCase kGoldenCases[] = {
    {"defaults_rgb", 61, 47, 3, {0, 0, 50, 0, 10, 4, 0, 0}, 0, false, false, false, 0xa83be19616b19893ull},
    {"normal_positive_overlap", 61, 47, 3, {20, 20, 50, 0, 10, 4, 0, 0}, 0, false, false, false, 0x31717f844f713613ull},
    {"wave_mixed_overlap", 61, 47, 3, {20, -10, 50, 0, 10, 4, 0, 0}, 1, false, false, false, 0xcf01beff39b86c07ull},
    {"zigzag_phases", 61, 47, 3, {33, 25, 30, 0, 10, 3, 40, 70}, 2, false, false, false, 0x6cc1506a909ace85ull},
    {"fractal_freq", 61, 47, 3, {25, 25, 60, 0, 10, 2, 10, 20}, 3, false, false, false, 0x270ab8e184b41279ull},
    {"extreme_negative", 61, 47, 3, {-76, -76, 50, 0, 10, 4, 0, 0}, 1, false, false, false, 0x50d994317d543f9dull},
    {"extreme_positive_fade_0", 61, 47, 3, {75, 75, 0, 0, 10, 4, 0, 0}, 2, false, false, false, 0x3a3aaf0168d3e510ull},
    {"fit_fractal", 61, 47, 3, {75, 75, 50, 40, 10, 4, 0, 0}, 3, true, false, false, 0xff6074a109c6d867ull},
    {"repeat_wave", 61, 47, 3, {30, -20, 70, 0, 10, 5, 0, 0}, 1, false, false, true, 0x7ef769b33e95a942ull},
    {"thru_bg_hard", 61, 47, 3, {40, 40, 50, 1, 0, 4, 0, 0}, 0, false, false, false, 0x9e89e88e732ed044ull},
    {"thru_bg_soft_rgba", 61, 47, 4, {40, 40, 50, 60, 50, 4, 0, 0}, 1, false, false, false, 0x62fab70335cdfb7dull},
    {"opaque_out_rgba", 61, 47, 4, {30, 30, 50, 0, 10, 4, 0, 0}, 2, false, true, false, 0x36dc2b90bda45b34ull},
    {"outside_transparent_rgba", 61, 47, 4, {-30, 30, 50, 0, 10, 4, 0, 0}, 3, false, false, false, 0xcb59e31e2b4fa77full},
    {"fit_rgba_thru_bg", 61, 47, 4, {20, 40, 40, 30, 20, 6, 50, 50}, 0, true, false, false, 0xdda0c18790405097ull},
};

// A photo-like test image: smooth gradients with grain, a few flat patches in the
// background colour (white) and, with four planes, a varying alpha.
inline memhost::Image Picture(int width, int height, int planes) {
    memhost::Image image(width, height, planes, 0);
    std::uint32_t grain = 12345;
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            grain = grain * 1103515245u + 12345u;
            const int noise = static_cast<int>((grain >> 16) & 31u) - 16;
            const bool patch = (x / 7 + y / 5) % 6 == 0;
            const int values[4] = {x * 255 / width + noise, y * 255 / height - noise,
                                   (x + y) * 127 / (width + height) + 64 + noise, 255 - (x * y) % 97};
            for (int p = 0; p < planes; ++p) {
                const int v = patch && p < 3 ? 255 : values[p];
                image.At(x, y, p) = static_cast<std::uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v);
            }
        }
    }
    return image;
}

inline std::uint64_t Fnv1a(const memhost::Image& image) {
    std::uint64_t hash = 0xcbf29ce484222325ull;
    for (std::uint8_t byte : image.bytes) hash = (hash ^ byte) * 0x100000001b3ull;
    return hash;
}

// Saves the case's control values and the colour the golden hashes were made with into
// the settings store, where Start without Parameters reads them back.
inline void StoreGoldenSettings(const GoldenCase& c) {
    EnsureSettingsKey(nullptr);
    Platform().settings_create_key(Bound().settings_key, kSettingsKeyClass);
    for (int i = 0; i < 8; ++i) Live().controls[i] = c.sliders[i];
    Live().controls[kSelectorRecord] = c.shape;
    Live().controls[CheckBoxRecordOf(0)] = c.fit;
    Live().controls[CheckBoxRecordOf(1)] = c.opaque_out;
    Live().controls[CheckBoxRecordOf(2)] = c.repeat;
    definition_block.colours[0] = 0x00E94BEB;
    SaveSettings();
}

}  // namespace tessellon::testing
