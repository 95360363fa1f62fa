// The runs every speed figure of the project is measured on: a 4000 x 3000 RGB image
// and three settings (the filter's defaults; overlap 20/20 with the wave seam and fade
// 50; the worst case, overlap 75/75 with Fit, the fractal seam and Thru BG 40), shared
// by the native benchmark and the benchmark of the built Windows modules so that their
// figures compare. No Windows headers.
#pragma once

#include <cstdint>

#include "memhost/lean_host.h"

namespace tessellon::bench {

using memhost::EntryPoint;
using memhost::LeanHost;

constexpr int kWidth = 4000;
constexpr int kHeight = 3000;
constexpr double kPixels = static_cast<double>(kWidth) * kHeight;

struct Settings {
    std::int32_t sliders[8] = {0, 0, 50, 0, 10, 4, 0, 0};
    std::int32_t shape = 0;
    bool fit = false, opaque_out = false, repeat = false;
};

Settings Defaults();
Settings Wave20();
Settings WorstCase();

// Stores the control values as the dialog saves them, into the settings store of this
// build (the registry on Windows); Start without Parameters reads them back, whether
// the module is linked into this program or loaded from its file.
void Store(const Settings& settings);

// A document whose neighbouring bytes differ and in which some stretches equal the
// host's white background colour, so that "Thru BG:" has something to find.
memhost::Image BenchImage(int width, int height, int planes);

// The benchmark document, made once.
const memhost::Image& Document();

// The baseline: the same strip requests a filtering run makes through the same host
// (the first strip once for the set-up, then every strip of the main pass), with the
// input rows copied into the output rows and nothing else. Returns the strip height.
int PlainCopyThroughHost(LeanHost& host);

}  // namespace tessellon::bench
