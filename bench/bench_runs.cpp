// The benchmark runs' settings and document. No Windows headers.
#include "bench/bench_runs.h"

#include "filter/definition.h"
#include "runtime/context.h"
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
    Platform().settings_create_key(settings_key_name, kSettingsKeyClass);
    for (int i = 0; i < 8; ++i) control_values[i] = s.sliders[i];
    control_values[10] = s.shape;
    control_values[15] = s.fit ? 1 : 0;
    control_values[14] = s.opaque_out ? 1 : 0;
    control_values[13] = s.repeat ? 1 : 0;
    SaveSettings();
}

const LeanImage& Document() {
    static const LeanImage image = BenchImage(kWidth, kHeight, 3);
    return image;
}

}  // namespace tessellon::bench
