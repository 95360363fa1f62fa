// The specialised pixel pass against the reference transcription of the pixel code:
// the same Start run through the in-memory host, once with the reference routine bound
// to the pixel entry (every pixel through run_phase) and once with the filter's own
// routine (whole rows through the specialised pass), over a table of images and
// settings. Every output byte, the whole execution context, the whole put array, the
// abort counter, the host's abortProc calls and progress reports must agree, and the
// specialised run must really have taken the specialised way. Also the pass's inline
// arithmetic against the built-ins, and preview-like passes driven by hand.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <map>
#include <optional>
#include <set>
#include <random>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "filter/definition.h"
#include "filter/pixel_fast.h"
#include "filter/pixel_lanes.h"
#include "filter/variables.h"
#include "memhost/memhost.h"
#include "runtime/builtins.h"
#include "runtime/context.h"
#include "hostapi/host_state.h"
#include "shell/run_filter.h"
#include "support/recording_platform.h"
#include "support/thread_count.h"
#include "ui/settings.h"
#include "filter/control_rows.h"

namespace tessellon {
namespace {

using memhost::HostOptions;
using memhost::Image;
using memhost::MemHost;

enum Shape : std::int32_t { kNormal = 0, kWave = 1, kZigzag = 2, kFractal = 3 };

struct Settings {
    std::int32_t overlap_x = 0, overlap_y = 0, fade = 50, thru_bg = 0, bg_smooth = 10, freq = 4, phase_x = 0,
                 phase_y = 0;
    std::int32_t shape = kNormal;
    bool fit = false, opaque_out = false, repeat = false;
};

// A settings store of this process alone, swapped into the platform table while a run
// is compared. The real store of the Windows build, the registry, is shared by the test
// processes that ctest runs side by side, and another process's settings must not land
// between the two runs of a comparison.
class PrivateSettingsStore {
public:
    PrivateSettingsStore() : saved_(Platform()) {
        PlatformApi& api = Platform();
        api.settings_open_key = [](const char* key) {
            return keys().count(key) != 0 ? SettingsStatus::ok : SettingsStatus::not_found;
        };
        api.settings_create_key = [](const char* key, const char*) {
            keys().insert(key);
            return SettingsStatus::ok;
        };
        api.settings_read = Read;
        api.settings_read_values = [](const char* key, SettingsReadValue* batch, std::size_t count) {
            for (std::size_t i = 0; i < count; ++i) {
                batch[i].status = Read(key, batch[i].name, batch[i].buffer, &batch[i].size, &batch[i].type);
            }
            return keys().count(key) != 0 ? SettingsStatus::ok : SettingsStatus::not_found;
        };
        api.settings_write = [](const char* key, const char* name, std::uint32_t type, const void* data,
                                std::uint32_t size) {
            if (keys().count(key) == 0) return SettingsStatus::not_found;
            const auto* bytes = static_cast<const std::uint8_t*>(data);
            values()[std::string(key) + '\\' + name] = {type, std::vector<std::uint8_t>(bytes, bytes + size)};
            return SettingsStatus::ok;
        };
        api.settings_write_values = [](const char* key, const SettingsValue* batch, std::size_t count) {
            if (keys().count(key) == 0) return SettingsStatus::not_found;
            for (std::size_t i = 0; i < count; ++i) {
                const auto* bytes = static_cast<const std::uint8_t*>(batch[i].data);
                values()[std::string(key) + '\\' + batch[i].name] = {
                    batch[i].type, std::vector<std::uint8_t>(bytes, bytes + batch[i].size)};
            }
            return SettingsStatus::ok;
        };
        api.settings_error = [] { return ""; };
    }
    ~PrivateSettingsStore() {
        PlatformApi& api = Platform();
        api.settings_open_key = saved_.settings_open_key;
        api.settings_create_key = saved_.settings_create_key;
        api.settings_read = saved_.settings_read;
        api.settings_read_values = saved_.settings_read_values;
        api.settings_write = saved_.settings_write;
        api.settings_write_values = saved_.settings_write_values;
        api.settings_error = saved_.settings_error;
    }
    PrivateSettingsStore(const PrivateSettingsStore&) = delete;
    PrivateSettingsStore& operator=(const PrivateSettingsStore&) = delete;

private:
    static SettingsStatus Read(const char* key, const char* name, void* buffer, std::uint32_t* size,
                               std::uint32_t* type) {
        const auto found = values().find(std::string(key) + '\\' + name);
        if (found == values().end()) return SettingsStatus::not_found;
        const std::vector<std::uint8_t>& bytes = found->second.second;
        const auto length = static_cast<std::uint32_t>(bytes.size());
        if (type != nullptr) *type = found->second.first;
        if (length > *size) {
            *size = length;
            return SettingsStatus::failed;
        }
        if (length != 0) std::memcpy(buffer, bytes.data(), length);
        *size = length;
        return SettingsStatus::ok;
    }
    static std::set<std::string>& keys() {
        static std::set<std::string> k;
        return k;
    }
    static std::map<std::string, std::pair<std::uint32_t, std::vector<std::uint8_t>>>& values() {
        static std::map<std::string, std::pair<std::uint32_t, std::vector<std::uint8_t>>> v;
        return v;
    }
    PlatformApi saved_;
};

// Stores the control values as the dialog saves them; Start without Parameters reads
// them back.
void Store(const Settings& s) {
    EnsureSettingsKey(nullptr);
    Platform().settings_create_key(Bound().settings_key, kSettingsKeyClass);
    const std::int32_t sliders[8] = {s.overlap_x, s.overlap_y, s.fade,   s.thru_bg,
                                     s.bg_smooth, s.freq,      s.phase_x, s.phase_y};
    for (int i = 0; i < 8; ++i) Live().controls[i] = sliders[i];
    Live().controls[kSeamRow] = s.shape;
    Live().controls[kFitRow] = s.fit ? 1 : 0;
    Live().controls[kOpaqueOutRow] = s.opaque_out ? 1 : 0;
    Live().controls[kRepeatRow] = s.repeat ? 1 : 0;
    SaveSettings();
}

enum class Picture { pattern, gradient, background, alpha_252 };

// The next 32 random bits.
std::uint32_t Next(std::mt19937& random) { return static_cast<std::uint32_t>(random()); }

// `background`: noise in which about a third of the pixels are the host's background
// colour exactly and a sixth lie close to it; the fourth plane takes 0, 255, 252 and
// other values.
Image MakePicture(Picture kind, int width, int height, int planes, const memhost::Rgb& back) {
    if (kind == Picture::pattern) return memhost::PatternImage(width, height, planes);
    Image image(width, height, planes, 0);
    std::mt19937 random(static_cast<std::uint32_t>(width * 131 + height * 17 + planes));
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            if (kind == Picture::alpha_252) {
                for (int p = 0; p < planes; ++p) image.At(x, y, p) = static_cast<std::uint8_t>(Next(random));
                if (planes > 3) image.At(x, y, 3) = 252;
                continue;
            }
            if (kind == Picture::gradient) {
                image.At(x, y, 0) = static_cast<std::uint8_t>(x * 5);
                image.At(x, y, 1) = static_cast<std::uint8_t>(y * 7);
                image.At(x, y, 2) = static_cast<std::uint8_t>(x * y);
            } else {
                const std::uint32_t pick = Next(random) % 6;
                for (int p = 0; p < 3; ++p) {
                    const int close_by = back[static_cast<std::size_t>(p)] + static_cast<int>(Next(random) % 41) - 20;
                    image.At(x, y, p) = pick < 2   ? back[static_cast<std::size_t>(p)]
                                        : pick < 3 ? static_cast<std::uint8_t>(std::clamp(close_by, 0, 255))
                                                   : static_cast<std::uint8_t>(Next(random));
                }
            }
            if (planes > 3) {
                const std::uint8_t alphas[] = {0, 255, 252, 128, 17, 255};
                image.At(x, y, 3) = alphas[Next(random) % 6];
            }
        }
    }
    return image;
}

// A mask with holes: every pixel whose (x + 2y) % 5 is 0 is not selected.
Image HoleMask(int width, int height) {
    Image mask(width, height, 1, 255);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            if ((x + 2 * y) % 5 == 0) mask.At(x, y, 0) = 0;
        }
    }
    return mask;
}

struct Case {
    std::string name;
    int width = 24, height = 18, planes = 3;
    Settings settings;
    Picture picture = Picture::pattern;
    memhost::Rgb back{255, 255, 255};
    std::optional<psapi::Rect> filter_rect;
    std::optional<psapi::Rect> selected;  // a rectangular mask
    bool holes = false;                   // the hole mask
    int rows_per_strip = 0;               // 0: one strip
    bool selection_relative = false;
    std::uint32_t counter_start = 0;  // AbortState().calls when Start begins
    // AbortState().calls when the main pass begins (set at its first advanceState, after
    // the set-up has made its own checks), when present.
    std::optional<std::uint32_t> counter_at_pixels;
    std::vector<int> stop_calls;  // abortProc answers stop on these calls (1-based)
    int in_pixel_host_calls = -1;  // abortProc calls from within pixels the case makes at least
    int tweak = 0;                 // set-up values no control produces (TweakedSetup)
};

// The filter's set-up, then one of its values changed, to reach corners of the pixel
// code that the controls never reach: rows or columns without copies, weights outside
// 0..weight_full, a zero weight_full, crossed background thresholds, an odd scale.
int setup_tweak = 0;
std::int32_t TweakedSetup(ExecutionContext& c, const BuiltinTable& builtins) noexcept {
    const std::int32_t result = filter_setup(c, builtins);
    std::int32_t* v = c.vars;
    using namespace tiling;
    switch (setup_tweak) {
        case 1: v[kTileY0] = wrap_add(v[kTileY0], c.height); break;  // no rows of copies
        case 2: v[kTileX0] = wrap_add(v[kTileX0], c.width); break;   // no copies in a row
        case 3: v[kWeightFull] = 0; break;
        case 4:
            v[kWeightXBefore] = -5;
            v[kWeightXAfter] = 40000;
            v[kWeightYAfter] = 70000;
            break;
        case 5:
            v[kBgLo] = 300;
            v[kBgHi] = 200;
            break;
        case 6: v[kScale] = wrap_add(v[kScale], 3); break;  // fractional positions without Fit
        default: break;
    }
    return result;
}

// The host's calls in their order: 'a' for abortProc, followed by what the host then
// sees in its output buffer, and 'p' for progressProc.
std::string host_calls;

// The output buffer's rows of outRect, folded into one number (FNV-1a).
std::string OutputSeen() {
    const psapi::FilterRecord& r = *Host().record;
    std::uint32_t hash = 2166136261u;
    if (r.outData != nullptr) {
        const auto row_bytes = static_cast<std::size_t>(r.outRect.right - r.outRect.left) *
                               static_cast<std::size_t>(r.outHiPlane - r.outLoPlane + 1);
        for (int y = 0; y < r.outRect.bottom - r.outRect.top; ++y) {
            const auto* row = static_cast<const std::uint8_t*>(r.outData) + static_cast<std::ptrdiff_t>(y) * r.outRowBytes;
            for (std::size_t b = 0; b < row_bytes; ++b) hash = (hash ^ row[b]) * 16777619u;
        }
    }
    return std::to_string(hash);
}

// The scripted abortProc: stop on the listed calls only.
std::vector<int> stop_on_calls;
int scripted_abort_calls = 0;
psapi::Boolean PSAPI_CALL ScriptedAbort() {
    ++scripted_abort_calls;
    host_calls += 'a' + OutputSeen();
    return std::find(stop_on_calls.begin(), stop_on_calls.end(), scripted_abort_calls) != stop_on_calls.end() ? 1
                                                                                                             : 0;
}

// progressProc logged, then passed on to the host.
psapi::ProgressProc host_progress = nullptr;
void PSAPI_CALL ScriptedProgress(psapi::int32 done, psapi::int32 total) {
    host_calls += 'p';
    host_progress(done, total);
}

// advanceState passed on to the host. The first request of pixels after the set-up has
// run (the run starts with Execution().phase at -1) starts the main pass: the counter is
// set there, so that the set-up's own checks do not count.
psapi::AdvanceStateProc host_advance = nullptr;
std::optional<std::uint32_t> counter_at_main_pass;
psapi::OSErr PSAPI_CALL ScriptedAdvance() {
    const psapi::OSErr result = host_advance();
    const psapi::Rect& out = Host().record->outRect;
    if (counter_at_main_pass && Execution().phase == kPhaseSetup && out.bottom > out.top) {
        AbortState().calls = *counter_at_main_pass;
        counter_at_main_pass.reset();
    }
    return result;
}

struct Outcome {
    psapi::int16 result = 0;
    Image document;
    std::uint32_t counter = 0;
    int abort_calls = 0;
    std::vector<std::pair<psapi::int32, psapi::int32>> progress;
    std::string host_calls;
    std::int32_t done = 0;
    ExecutionContext context{};
    std::vector<std::int32_t> put;
    std::int32_t cur_x = 0, cur_y = 0;
    bool cur_mask = false;
    std::int32_t phase = 0;
    std::uint32_t fast_passes = 0;
    std::uint32_t threaded_passes = 0;
    std::vector<std::string> guard_problems;
};

Outcome RunStart(const Case& c, NativeEntry routine) {
    const PrivateSettingsStore store;
    const DefinitionBlock saved_block = definition_block;
    if (c.selection_relative) definition_block.option_flags = 1;
    Store(c.settings);
    HostOptions options;
    options.back_color = c.back;
    options.filter_rect = c.filter_rect;
    if (c.selected) options.mask = memhost::RectangularMask(c.width, c.height, *c.selected);
    if (c.holes) options.mask = HoleMask(c.width, c.height);
    if (c.rows_per_strip > 0) options.max_space = RowCost(c.planes, c.width) * c.rows_per_strip;
    MemHost host(MakePicture(c.picture, c.width, c.height, c.planes, c.back), options);
    host.record().abortProc = &ScriptedAbort;
    host_progress = host.record().progressProc;
    host.record().progressProc = &ScriptedProgress;
    host_calls.clear();
    host_advance = host.record().advanceState;
    host.record().advanceState = &ScriptedAdvance;
    counter_at_main_pass = c.counter_at_pixels;
    Execution().phase = -1;
    stop_on_calls = c.stop_calls;
    scripted_abort_calls = 0;
    AbortState().calls = c.counter_start;

    const NativeEntry bound = Bound().entry_routine[EntryWordOf(kPhasePixel)];
    const NativeEntry setup = Bound().entry_routine[EntryWordOf(kPhaseSetup)];
    Bound().entry_routine[EntryWordOf(kPhasePixel)] = routine;
    if (c.tweak != 0) Bound().entry_routine[EntryWordOf(kPhaseSetup)] = &TweakedSetup;
    setup_tweak = c.tweak;
    const std::uint32_t passes = TilingPasses().pixel_passes;
    const std::uint32_t threaded = TilingPasses().threaded_passes;
    Outcome o;
    o.result = host.RunAsHost();
    Bound().entry_routine[EntryWordOf(kPhasePixel)] = bound;
    Bound().entry_routine[EntryWordOf(kPhaseSetup)] = setup;
    definition_block = saved_block;

    o.fast_passes = TilingPasses().pixel_passes - passes;
    o.threaded_passes = TilingPasses().threaded_passes - threaded;
    o.host_calls = host_calls;
    o.document = host.Document();
    o.counter = AbortState().calls;
    o.abort_calls = scripted_abort_calls;
    o.progress = host.progress;
    o.done = Strips().done;
    o.context = Execution().context;
    o.put.assign(Execution().put_array, Execution().put_array + Execution().put_cell_count);
    o.cur_x = Execution().record.cur_x;
    o.cur_y = Execution().record.cur_y;
    o.cur_mask = Execution().record.cur_mask != nullptr;
    o.phase = Execution().phase;
    o.guard_problems = host.CheckGuards();
    return o;
}

// The first context word that differs, or -1.
int FirstDifferentWord(const ExecutionContext& a, const ExecutionContext& b) {
    ExecutionContext x = a, y = b;
    for (int k = 0; k < kContextWords; ++k) {
        if (x.word(k) != y.word(k)) return k;
    }
    return -1;
}

void ExpectSame(const Outcome& reference, const Outcome& fast) {
    EXPECT_EQ(reference.fast_passes, 0u) << "the reference run took the specialised way";
    EXPECT_GT(fast.fast_passes, 0u) << "the specialised run took the generic way: the case proves nothing";
    EXPECT_EQ(fast.result, reference.result);
    EXPECT_EQ(fast.document.bytes.size(), reference.document.bytes.size());
    if (fast.document.bytes != reference.document.bytes) {
        for (std::size_t i = 0; i < fast.document.bytes.size(); ++i) {
            if (fast.document.bytes[i] != reference.document.bytes[i]) {
                const std::size_t pixel = i / static_cast<std::size_t>(fast.document.planes);
                ADD_FAILURE() << "first different byte: pixel (" << pixel % static_cast<std::size_t>(fast.document.width)
                              << ", " << pixel / static_cast<std::size_t>(fast.document.width) << ") plane "
                              << i % static_cast<std::size_t>(fast.document.planes) << ": "
                              << int{fast.document.bytes[i]} << " instead of " << int{reference.document.bytes[i]};
                break;
            }
        }
    }
    EXPECT_EQ(fast.counter, reference.counter) << "AbortState().calls";
    EXPECT_EQ(fast.abort_calls, reference.abort_calls) << "abortProc calls";
    EXPECT_EQ(fast.progress, reference.progress);
    EXPECT_EQ(fast.host_calls, reference.host_calls)
        << "the order of abortProc and progressProc calls, and the output the host sees at abortProc";
    EXPECT_EQ(fast.done, reference.done);
    const int word = FirstDifferentWord(reference.context, fast.context);
    EXPECT_EQ(word, -1) << "context word " << word << " (byte offset 0x" << std::hex << word * 4 << std::dec
                        << "): " << (word >= 0 ? ExecutionContext(fast.context).word(word) : 0) << " instead of "
                        << (word >= 0 ? ExecutionContext(reference.context).word(word) : 0);
    ASSERT_EQ(fast.put.size(), reference.put.size());
    for (std::size_t i = 0; i < fast.put.size(); ++i) {
        if (fast.put[i] != reference.put[i]) {
            ADD_FAILURE() << "put cell " << i << ": " << fast.put[i] << " instead of " << reference.put[i];
            break;
        }
    }
    EXPECT_EQ(fast.cur_x, reference.cur_x);
    EXPECT_EQ(fast.cur_y, reference.cur_y);
    EXPECT_EQ(fast.cur_mask, reference.cur_mask);
    EXPECT_EQ(fast.phase, reference.phase);
    EXPECT_TRUE(fast.guard_problems.empty());
}

Settings With(std::int32_t ox, std::int32_t oy, std::int32_t shape = kNormal) {
    Settings s;
    s.overlap_x = ox;
    s.overlap_y = oy;
    s.shape = shape;
    return s;
}

std::vector<Case> Cases() {
    std::vector<Case> cases;
    const auto add = [&cases](std::string name, Settings s, auto&& adjust) {
        Case c;
        c.name = std::move(name);
        c.settings = s;
        adjust(c);
        cases.push_back(std::move(c));
    };
    const auto none = [](Case&) {};

    add("defaults", Settings{}, none);
    add("defaults_rgba", Settings{}, [](Case& c) { c.planes = 4; });
    add("worked_example", With(20, -10), [](Case& c) {
        c.width = 40;
        c.height = 20;
        c.picture = Picture::gradient;
    });
    // All four seams, each with overlaps both ways and both signs.
    const char* shape_names[] = {"normal", "wave", "zigzag", "fractal"};
    for (std::int32_t shape = kNormal; shape <= kFractal; ++shape) {
        for (const auto& [ox, oy] : {std::pair{30, 40}, std::pair{-35, 25}, std::pair{45, -60}}) {
            Settings s = With(ox, oy, shape);
            s.fade = 30;
            s.freq = 3;
            s.phase_x = 20;
            s.phase_y = 70;
            add(std::string(shape_names[shape]) + "_" + std::to_string(ox) + "_" + std::to_string(oy), s, none);
        }
        Settings fit = With(50, 50, shape);
        fit.fit = true;
        add(std::string(shape_names[shape]) + "_fit", fit, [](Case& c) {
            c.width = 29;
            c.height = 21;
        });
    }
    // Extreme overlaps: the most copies, both directions.
    for (const auto& [ox, oy] : {std::pair{75, 75}, std::pair{-76, -76}, std::pair{-76, 75}, std::pair{75, -76}}) {
        const std::string tag = std::to_string(ox) + "_" + std::to_string(oy);
        add("extreme_" + tag, With(ox, oy, kWave), none);
        Settings fit = With(ox, oy, kFractal);
        fit.fit = true;
        fit.thru_bg = 40;
        add("extreme_fit_thru_bg_" + tag, fit, [](Case& c) {
            c.width = 23;
            c.height = 17;
            c.picture = Picture::background;
        });
        Settings hard = With(ox, oy, kZigzag);
        hard.fade = 0;
        add("extreme_fade_0_" + tag, hard, none);
        Settings full = With(ox, oy, kNormal);
        full.fade = 100;
        add("extreme_fade_100_" + tag, full, [](Case& c) { c.planes = 4; });
    }
    // Repeat and OpaqueOut, with pixels outside the tile and a fourth plane.
    for (bool opaque : {false, true}) {
        Settings s = With(40, -30, kWave);
        s.opaque_out = opaque;
        add(std::string("outside_rgba_opaque_") + (opaque ? "on" : "off"), s, [](Case& c) { c.planes = 4; });
        s.repeat = true;
        add(std::string("repeat_rgba_opaque_") + (opaque ? "on" : "off"), s, [](Case& c) { c.planes = 4; });
    }
    Settings fit_repeat = With(-40, 30, kZigzag);
    fit_repeat.fit = true;
    fit_repeat.repeat = true;
    add("fit_and_repeat", fit_repeat, none);
    // Fit with no horizontal overlap: every copy on a whole column, the rows of copies
    // between source rows, and wide enough for groups of pixels.
    for (const int planes : {3, 4}) {
        Settings s = With(0, 40, kWave);
        s.fit = true;
        s.thru_bg = 30;
        add("fit_whole_columns_planes_" + std::to_string(planes), s, [planes](Case& c) {
            c.width = 61;
            c.height = 23;
            c.planes = planes;
            c.picture = Picture::background;
        });
    }
    // Thru BG on an image that holds the background colour: hard (BGSmooth 0, and Thru
    // BG 1, where bg_lo = bg_hi = 0), soft, and the case where bg_hi equals a copy's
    // alpha with bg_lo 0, where rescale hands back the distance itself.
    for (const auto& [thru, smooth] : {std::pair{1, 0}, std::pair{60, 0}, std::pair{40, 10}, std::pair{200, 90},
                                       std::pair{1, 33}}) {
        for (int planes : {3, 4}) {
            Settings s = With(35, 35, kFractal);
            s.thru_bg = thru;
            s.bg_smooth = smooth;
            add("thru_bg_" + std::to_string(thru) + "_smooth_" + std::to_string(smooth) + "_planes_" +
                    std::to_string(planes),
                s, [planes](Case& c) {
                    c.planes = planes;
                    c.picture = Picture::background;
                    c.back = {200, 40, 90};
                });
        }
    }
    // Every copy's alpha 252 = bg_hi with bg_lo 0: alphas become distances up to 765 and
    // the blends leave 0..255.
    Settings quirk = With(60, 60, kNormal);
    quirk.thru_bg = 1;
    quirk.bg_smooth = 33;
    quirk.fade = 100;
    add("thru_bg_quirk_out_of_range", quirk, [](Case& c) {
        c.planes = 4;
        c.picture = Picture::alpha_252;
        c.back = {0, 0, 0};
    });
    Settings quirk_fit = With(60, -45, kWave);
    quirk_fit.thru_bg = 1;
    quirk_fit.bg_smooth = 33;
    quirk_fit.fit = true;
    add("thru_bg_quirk_fit_rgba", quirk_fit, [](Case& c) {
        c.planes = 4;
        c.picture = Picture::background;
    });
    // Odd sizes and tiny tiles.
    for (const auto& [w, h] : {std::pair{1, 1}, std::pair{1, 9}, std::pair{9, 1}, std::pair{2, 2}, std::pair{3, 2},
                               std::pair{5, 7}}) {
        const std::string size = std::to_string(w) + "x" + std::to_string(h);
        add("size_" + size + "_overlap", With(75, -76, kFractal), [w = w, h = h](Case& c) {
            c.width = w;
            c.height = h;
        });
        Settings fit = With(-76, 50, kWave);
        fit.fit = true;
        fit.thru_bg = 30;
        fit.fade = 0;
        add("size_" + size + "_fit", fit, [w = w, h = h](Case& c) {
            c.width = w;
            c.height = h;
            c.planes = 4;
            c.picture = Picture::background;
        });
    }
    // Selections, masks and strips.
    add("filter_rect", With(30, 30, kWave), [](Case& c) { c.filter_rect = psapi::Rect{3, 4, 15, 19}; });
    add("filter_rect_relative", With(-30, 40, kZigzag), [](Case& c) {
        c.filter_rect = psapi::Rect{3, 4, 15, 19};
        c.selection_relative = true;
    });
    add("mask_rect", With(40, 40), [](Case& c) {
        c.selected = psapi::Rect{2, 5, 16, 20};
        c.filter_rect = psapi::Rect{2, 5, 16, 20};
    });
    add("mask_holes", With(40, -40, kFractal), [](Case& c) {
        c.holes = true;
        c.planes = 4;
    });
    Settings strips_fit = With(50, 50, kFractal);
    strips_fit.fit = true;
    add("strips_fit", strips_fit, [](Case& c) {
        c.rows_per_strip = 5;
        c.holes = true;
    });
    add("strips_overlap", With(-50, -50, kWave), [](Case& c) { c.rows_per_strip = 4; });
    // Fit on wider images, where runs of eight pixels go through the group kernel:
    // columns with different copy counts, the fourth plane sampled, hard and soft
    // background thresholds, holes breaking the runs, strips, a short tail.
    for (const auto& [ox, oy, thru, smooth, planes] :
         {std::tuple{60, -45, 1, 0, 4}, std::tuple{-62, 58, 40, 10, 3}, std::tuple{75, 75, 60, 0, 3},
          std::tuple{33, 70, 200, 90, 4}}) {
        Settings s = With(ox, oy, kFractal);
        s.fit = true;
        s.thru_bg = thru;
        s.bg_smooth = smooth;
        s.fade = 20 + ox % 50;
        add("fit_wide_" + std::to_string(ox) + "_" + std::to_string(oy) + "_planes_" + std::to_string(planes), s,
            [planes = planes, oy = oy](Case& c) {
                c.width = 70;
                c.height = 19;
                c.planes = planes;
                c.picture = Picture::background;
                c.holes = oy > 60;
                c.rows_per_strip = oy < 0 ? 6 : 0;
            });
    }
    // Set-up values beyond the controls' reach.
    for (int tweak = 1; tweak <= 6; ++tweak) {
        Settings s = With(-45, 40, kWave);
        s.repeat = true;
        s.thru_bg = 30;
        s.bg_smooth = 40;
        add("set_up_tweak_" + std::to_string(tweak), s, [tweak](Case& c) {
            c.tweak = tweak;
            c.picture = Picture::background;
        });
        s.fit = true;
        add("set_up_tweak_fit_" + std::to_string(tweak), s, [tweak](Case& c) {
            c.tweak = tweak;
            c.planes = 4;
            c.picture = Picture::background;
            c.counter_at_pixels = 100000 - 500;
        });
    }
    // The abort counter reaching its limit inside pixels, with abortProc answering stop
    // there (the pixel keeps its loaded colour and the row goes on) or at a row end.
    add("counter_in_set_up_stop", With(30, 30, kFractal), [](Case& c) {
        c.counter_start = 100000 - 20;
        c.stop_calls = {1};
    });
    add("counter_first_pixel_stop", With(30, 30), [](Case& c) {
        c.counter_at_pixels = 100000 - 3;
        c.stop_calls = {1};
        c.in_pixel_host_calls = 1;
    });
    add("counter_first_pixel_go_on", With(30, 30), [](Case& c) {
        c.counter_at_pixels = 100000 - 15;
        c.in_pixel_host_calls = 1;
    });
    add("counter_above_limit_in_set_up", Settings{}, [](Case& c) {
        c.counter_start = 150000;
        c.stop_calls = {1};
    });
    add("counter_above_limit_at_pixels", With(-20, 30, kWave), [](Case& c) {
        c.counter_at_pixels = 150000;
        c.stop_calls = {1};
        c.in_pixel_host_calls = 1;
    });
    Settings many = With(75, 75, kFractal);
    many.fit = true;
    many.thru_bg = 50;
    add("counter_mid_image_stop_in_pixel", many, [](Case& c) {
        c.counter_at_pixels = 100000 - 2000;  // within the first row
        c.stop_calls = {1};
        c.picture = Picture::background;
        c.in_pixel_host_calls = 1;
    });
    add("counter_mid_image_stop_at_row_end", many, [](Case& c) {
        c.counter_at_pixels = 100000 - 2000;
        c.stop_calls = {2};
        c.in_pixel_host_calls = 1;
        c.planes = 4;
    });
    Settings repeated = With(-76, 75, kZigzag);
    repeated.repeat = true;  // every pixel inside, with up to sixteen copies
    add("counter_mid_image_twice", repeated, [](Case& c) {
        c.width = 64;
        c.height = 48;
        c.counter_at_pixels = 100000 - 2000;
        c.stop_calls = {1};
        c.in_pixel_host_calls = 2;
        c.holes = true;
    });
    // Rows that are copies of the source's rows (one copy per pixel, whole pixels),
    // with the counter's limit inside them: it falls in the 22nd pixel of the first
    // row and 6250 pixels later in the 64th pixel of row 64. Between the two come the
    // 64 row ends' calls, so calls 1 and 66 are the ones inside pixels.
    for (const bool stop : {false, true}) {
        for (const int planes : {3, 4}) {
            Settings s;
            s.fit = planes == 4;  // the tile is the whole image: Fit samples whole pixels
            add(std::string("copies_counter_") + (stop ? "stop" : "go_on") + "_planes_" + std::to_string(planes),
                s, [stop, planes](Case& c) {
                    c.width = 97;
                    c.height = 70;
                    c.planes = planes;
                    c.counter_at_pixels = 100000 - 16 * 21 - 5;
                    if (stop) c.stop_calls = {1, 66};
                    c.in_pixel_host_calls = 2;
                });
        }
    }
    add("counter_defaults_outside", With(50, 0), [](Case& c) {
        c.counter_at_pixels = 100000 - 100;
        c.stop_calls = {1};
        c.in_pixel_host_calls = 1;
    });
    return cases;
}

class PixelEquivalenceTest : public ::testing::TestWithParam<Case> {
protected:
    void TearDown() override {
        Host().parameters_requested = 0;
        for (std::int32_t& value : Live().controls) value = 0;
        AbortState().calls = 0;
    }
    testing::RecordingPlatform platform;
};

TEST_P(PixelEquivalenceTest, SpecialisedPassMatchesTheReference) {
    const Case& c = GetParam();
    const Outcome reference = RunStart(c, &filter_pixel_reference);
    // Every compiled kernel the pass may use on this processor, with one, two and three
    // threads (three on any machine: the rows' split does not follow the cores).
    for (const int threads : {1, 2, 3}) {
        const testing::ScopedThreadCount count(threads);
        for (const auto choice : {tiling_lanes::KernelChoice::portable, tiling_lanes::KernelChoice::sse41,
                                  tiling_lanes::KernelChoice::best}) {
            SCOPED_TRACE(std::string(tiling_lanes::UseKernels(choice)) + ", threads " + std::to_string(threads));
            const Outcome fast = RunStart(c, &filter_pixel);
            ExpectSame(reference, fast);
            if (threads == 1) {
                EXPECT_EQ(fast.threaded_passes, 0u);
            }
        }
    }
    if (c.in_pixel_host_calls >= 0) {
        // Every row end asks once, and the row whose end answered stop asked too.
        const int row_ends = static_cast<int>(reference.progress.size()) +
                             (reference.result == psapi::userCanceledErr ? 1 : 0);
        EXPECT_GE(reference.abort_calls - row_ends, c.in_pixel_host_calls) << "the case must cross the limit in pixels";
    }
}

INSTANTIATE_TEST_SUITE_P(Table, PixelEquivalenceTest, ::testing::ValuesIn(Cases()),
                         [](const ::testing::TestParamInfo<Case>& param_info) {
                             std::string name = param_info.param.name;
                             std::replace(name.begin(), name.end(), '-', 'm');
                             return name;
                         });

// The in-pixel stop really happens: with the counter three calls short of its limit
// and abortProc answering stop on its first call, the first pixel keeps its source
// colour although the filter would change it.
TEST(PixelEquivalenceStop, TheFirstPixelKeepsItsLoadedColour) {
    testing::RecordingPlatform platform;
    Case c;
    c.settings = With(50, 0);  // pixel (0, 0) blends two copies
    c.settings.fade = 100;
    c.counter_at_pixels = 100000 - 3;
    c.stop_calls = {1};
    const Outcome fast = RunStart(c, &filter_pixel);
    const Image source = memhost::PatternImage(c.width, c.height, c.planes);
    for (int p = 0; p < 3; ++p) EXPECT_EQ(fast.document.At(0, 0, p), source.At(0, 0, p));
    EXPECT_EQ(fast.result, 0) << "only the first call said stop";
    EXPECT_EQ(fast.abort_calls, 1 + c.height) << "the pixel's call and one per row";
    Case go_on = c;
    go_on.stop_calls = {};
    const Outcome filtered = RunStart(go_on, &filter_pixel);
    EXPECT_NE(filtered.document.At(0, 0, 0), source.At(0, 0, 0)) << "the case must change the pixel";
    for (std::int32_t& value : Live().controls) value = 0;
    AbortState().calls = 0;
}

// A host that answers "stop" at one of its calls, or at every call from one on, gets
// the same buffers, context and calls from two threads as from one: rows computed ahead
// are handed out only up to where the single pass would have got. The counter starts
// near its limit, so that the calls come from inside pixels as well as at row ends.
TEST(PixelEquivalenceStop, TwoThreadsStopWhereOneThreadStops) {
    testing::RecordingPlatform platform;
    Case c;
    c.width = 40;
    c.height = 30;
    c.settings = With(60, 60, kFractal);
    c.settings.fit = true;
    c.counter_at_pixels = 100000 - 2000;
    for (const bool from_then_on : {false, true}) {
        for (const int k : {1, 2, 3, 5, 8, 13}) {
            SCOPED_TRACE("stop at call " + std::to_string(k) + (from_then_on ? " and after" : " only"));
            c.stop_calls.clear();
            for (int call = k; call <= (from_then_on ? k + 200 : k); ++call) c.stop_calls.push_back(call);
            Outcome one, two;
            {
                const testing::ScopedThreadCount count(1);
                one = RunStart(c, &filter_pixel);
            }
            {
                const testing::ScopedThreadCount count(2);
                two = RunStart(c, &filter_pixel);
            }
            EXPECT_GT(two.threaded_passes, 0u) << "the case must take two threads";
            EXPECT_EQ(two.result, one.result);
            EXPECT_EQ(two.document.bytes, one.document.bytes);
            EXPECT_EQ(two.host_calls, one.host_calls);
            EXPECT_EQ(two.counter, one.counter);
            EXPECT_EQ(two.put, one.put);
            EXPECT_EQ(FirstDifferentWord(one.context, two.context), -1);
        }
    }
    for (std::int32_t& value : Live().controls) value = 0;
    AbortState().calls = 0;
}

// --- Preview-like passes, driven by hand as the preview renderer drives them --------

struct PreviewOutcome {
    Image document;
    std::int32_t result = 0;
    std::int32_t preview_start = 0;
    std::uint32_t counter = 0;
    std::int32_t done = 0;
    ExecutionContext context{};
    std::vector<std::int32_t> put;
    std::uint32_t fast_passes = 0;
};

PreviewOutcome RunPreview(NativeEntry routine, std::int32_t zoom, std::uint32_t counter_start,
                          std::int32_t clock_now) {
    Settings s = With(40, 30, kFractal);
    s.thru_bg = 20;
    for (int i = 0; i < 8; ++i) {
        const std::int32_t sliders[8] = {s.overlap_x, s.overlap_y, s.fade,   s.thru_bg,
                                         s.bg_smooth, s.freq,      s.phase_x, s.phase_y};
        Live().controls[i] = sliders[i];
    }
    Live().controls[kSeamRow] = s.shape;
    HostOptions options;
    MemHost host(MakePicture(Picture::background, 30, 24, 4, options.back_color), options);
    psapi::FilterRecord& record = host.record();
    Host().record = &record;
    Execution().record = RunRecord{};
    Execution().record.area_w = record.imageSize.h;
    Execution().record.area_h = record.imageSize.v;
    Execution().record.plane_count = record.planes;
    for (int ch = 0; ch < 3; ++ch) Execution().record.back_color[ch] = record.backColor[ch];
    Host().preview_zoom = zoom;
    Execution().origin_x = Execution().origin_y = 0;
    // The visible part at the preview's scale, as the renderer requests it.
    const int zw = zoom >= 1 ? 30 / zoom : 30 * (2 - zoom);
    const int zh = zoom >= 1 ? 24 / zoom : 24 * (2 - zoom);
    const psapi::Rect view{0, 0, static_cast<psapi::int16>(std::min(zh, 20)), static_cast<psapi::int16>(std::min(zw, 25))};
    record.outRect = record.inRect = view;
    record.maskRect = {};
    record.inLoPlane = record.outLoPlane = 0;
    record.inHiPlane = record.outHiPlane = 3;
    AdvanceHost();

    const NativeEntry bound = Bound().entry_routine[EntryWordOf(kPhasePixel)];
    Bound().entry_routine[EntryWordOf(kPhasePixel)] = routine;
    const std::uint32_t passes = TilingPasses().pixel_passes;
    testing::RecordingPlatform::current->ms_of_day = 1000;
    Strips().done = 0;
    Execution().preview_start = MsOfDay();
    SetReferencePoint();
    run_phase(kPhaseBetween);
    AbortState().calls = counter_start;
    testing::RecordingPlatform::current->ms_of_day = clock_now;
    PreviewOutcome o;
    o.result = ProcessOutRect(0, kPhasePixel);
    Bound().entry_routine[EntryWordOf(kPhasePixel)] = bound;
    o.fast_passes = TilingPasses().pixel_passes - passes;
    o.preview_start = Execution().preview_start;
    o.counter = AbortState().calls;
    o.done = Strips().done;
    o.context = Execution().context;
    o.put.assign(Execution().put_array, Execution().put_array + Execution().put_cell_count);
    host.WriteBackAndRelease();
    o.document = host.Document();
    Execution().preview_start = 0;
    Host().preview_zoom = 1;
    Host().record = nullptr;
    for (std::int32_t& value : Live().controls) value = 0;
    AbortState().calls = 0;
    return o;
}

void ExpectSamePreview(const PreviewOutcome& reference, const PreviewOutcome& fast) {
    EXPECT_EQ(fast.document, reference.document);
    EXPECT_EQ(fast.result, reference.result);
    EXPECT_EQ(fast.preview_start, reference.preview_start);
    EXPECT_EQ(fast.counter, reference.counter);
    EXPECT_EQ(fast.done, reference.done);
    EXPECT_EQ(FirstDifferentWord(reference.context, fast.context), -1);
    EXPECT_EQ(fast.put, reference.put);
}

TEST(PixelEquivalencePreview, AtZoomOneTheWatchdogStopsAfterThePixelThatTrippedIt) {
    testing::RecordingPlatform platform;
    for (const std::uint32_t start : {100000u - 40u, 100000u - 2000u}) {
        SCOPED_TRACE(start);
        // 20 seconds after the render began: the first look at the clock abandons it.
        const PreviewOutcome reference = RunPreview(&filter_pixel_reference, 1, start, 21000);
        const PreviewOutcome fast = RunPreview(&filter_pixel, 1, start, 21000);
        EXPECT_EQ(reference.preview_start, -1) << "the case must trip the watchdog";
        EXPECT_LT(reference.done, 20 * 25) << "and stop early";
        EXPECT_GT(fast.fast_passes, 0u);
        ExpectSamePreview(reference, fast);
    }
}

TEST(PixelEquivalencePreview, AtZoomOneAWatchdogThatLetsGoChangesNothing) {
    testing::RecordingPlatform platform;
    const PreviewOutcome reference = RunPreview(&filter_pixel_reference, 1, 100000u - 500u, 2000);
    const PreviewOutcome fast = RunPreview(&filter_pixel, 1, 100000u - 500u, 2000);
    EXPECT_EQ(reference.preview_start, 1000);
    EXPECT_EQ(reference.done, 20 * 25);
    EXPECT_GT(fast.fast_passes, 0u);
    ExpectSamePreview(reference, fast);
}

TEST(PixelEquivalencePreview, OtherZoomsTakeTheGenericWay) {
    testing::RecordingPlatform platform;
    for (const std::int32_t zoom : {2, 0}) {
        SCOPED_TRACE(zoom);
        const PreviewOutcome reference = RunPreview(&filter_pixel_reference, zoom, 100000u - 40u, 21000);
        const PreviewOutcome fast = RunPreview(&filter_pixel, zoom, 100000u - 40u, 21000);
        EXPECT_EQ(fast.fast_passes, 0u);
        ExpectSamePreview(reference, fast);
    }
}

// --- The pass's inline arithmetic against the built-ins ------------------------------

TEST(PixelFastArithmetic, DivisorDividesExactly) {
    const std::int32_t divisors[] = {1,    2,     3,     5,      7,       100,     255,        256,
                                     257,  1000,  3000,  4000,   32767,   32768,   65535,      1 << 22,
                                     12345679, 1 << 30, INT32_MAX - 1, INT32_MAX};
    std::mt19937 random(7);
    for (const std::int32_t d : divisors) {
        const tiling_fast::Divisor divisor(d);
        // Around 0, d, -d and the ends of the range (formed with wrap-around, as d may be
        // the largest value).
        std::vector<std::int32_t> dividends = {0,
                                               1,
                                               -1,
                                               wrap_sub(d, 1),
                                               d,
                                               wrap_add(d, 1),
                                               wrap_add(wrap_neg(d), 1),
                                               wrap_neg(d),
                                               wrap_sub(wrap_neg(d), 1),
                                               d / 2,
                                               INT32_MAX,
                                               INT32_MIN,
                                               INT32_MIN + 1,
                                               INT32_MAX - 1};
        for (int i = 0; i < 2000; ++i) dividends.push_back(static_cast<std::int32_t>(Next(random)));
        for (int i = 0; i < 200; ++i) {
            const std::int32_t q = static_cast<std::int32_t>(Next(random) % 1000);
            dividends.push_back(wrap_add(wrap_mul(q, d), -1));
            dividends.push_back(wrap_mul(q, d));
        }
        for (const std::int32_t x : dividends) {
            ASSERT_EQ(divisor.Divide(x), x / d) << x << " / " << d;
        }
    }
}

TEST(PixelFastArithmetic, InlineFormulasAreTheBuiltIns) {
    std::mt19937 random(11);
    const std::int32_t edges[] = {0, 1, -1, 2, 255, 256, 32767, 32768, -32768, 765, 1000000, INT32_MAX, INT32_MIN};
    const auto pick = [&]() -> std::int32_t {
        switch (Next(random) % 4) {
            case 0: return edges[Next(random) % (sizeof edges / sizeof edges[0])];
            case 1: return static_cast<std::int32_t>(Next(random) % 512) - 128;
            case 2: return static_cast<std::int32_t>(Next(random) % 40000000) - 20000000;
            default: return static_cast<std::int32_t>(Next(random));
        }
    };
    for (int i = 0; i < 200000; ++i) {
        const std::int32_t v = pick(), a = pick(), b = pick(), c = pick(), d = pick();
        ASSERT_EQ(tiling_fast::Rescale(v, a, b, c, d), rescale(v, a, b, c, d)) << v << " " << a << " " << b << " " << c
                                                                               << " " << d;
        ASSERT_EQ(tiling_fast::Blend255(v, a, b), blend(v, a, b, 255));
        ASSERT_EQ(tiling_fast::BandWeight(v, a, b, c, d), a < b ? rescale(v, a, b, c, d) : (v <= a ? c : d));
    }
}

}  // namespace
}  // namespace tessellon
