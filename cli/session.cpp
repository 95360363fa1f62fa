// One filtering run of the command-line host: settings through the module's own store,
// then the image through the in-memory host.
#include "cli/session.h"

#include <signal.h>

#include <algorithm>
#include <csignal>
#include <cstring>
#include <utility>
#include <vector>

#include "filter/definition.h"
#include "memhost/lean_host.h"
#include "shell/run_filter.h"
#include "platform/memory_settings.h"
#include "platform/platform.h"
#include "ui/dialog_model.h"
#include "ui/settings.h"

namespace tessellon::cli {
namespace {

volatile std::sig_atomic_t cancel_requested = 0;
ProgressBar* active_progress = nullptr;

// The first interrupt asks the filter to stop; a second one ends the program at once,
// removing the output file being written, if any.
extern "C" void OnInterrupt(int signal) {
    if (cancel_requested != 0) LeaveOnInterrupt(signal);
    cancel_requested = 1;
}

// The host's callbacks for abort and progress, in place of the in-memory host's own
// recording ones.
psapi::Boolean PSAPI_CALL OnAbort() { return cancel_requested != 0 ? 1 : 0; }

// The rows being handed to an encoder, and what RowsFinishedAt needs to know of the run.
struct PublishedRows {
    RowPipeline* pipeline = nullptr;
    int image_width = 0, image_height = 0;
    TileBounds area;
};
PublishedRows active_rows;

void PSAPI_CALL OnProgress(psapi::int32 done, psapi::int32 total) {
    if (active_progress != nullptr) active_progress->Update(done, total);
    if (active_rows.pipeline != nullptr) {
        active_rows.pipeline->Publish(
            RowsFinishedAt(done, total, active_rows.image_width, active_rows.image_height, active_rows.area));
    }
}

std::string Padded(const std::string& label) {
    std::string text = label + ":";
    if (text.size() < 13) text.append(13 - text.size(), ' ');
    return text;
}

bool ReadsBack(const char* name, const void* expected, std::uint32_t size) {
    std::uint8_t stored[64];
    std::uint32_t length = sizeof stored;
    std::uint32_t type = 0;
    return Platform().settings_read(Bound().settings_key, name, stored, &length, &type) == SettingsStatus::ok &&
           type == kSettingsTypeBinary && length == size && std::memcmp(stored, expected, size) == 0;
}

// The settings store of one run: the values the run starts from, held in memory in
// place of the user's store while the module reads them. The user's saved settings are
// written only after the run and its files have succeeded.
class RunSettingsStore {
public:
    explicit RunSettingsStore(const RunSettings& settings) {
        ScopedMemorySettings::Put(kSliderSettingsName, settings.controls, sizeof settings.controls);
        ScopedMemorySettings::Put(kCustomColorsName, settings.colours, sizeof settings.colours);
    }

private:
    ScopedMemorySettings store_;
};

}  // namespace

namespace {

// The control of the option named `name`, or -1 when the filter has none such.
int ControlNamed(const std::string& name) {
    for (const ControlOption& control : ControlOptions()) {
        if (control.name == name) return control.control;
    }
    return -1;
}

void StartFromFilterDefaults(RunSettings& settings) {
    std::fill(std::begin(settings.controls), std::end(settings.controls), 0);
    ApplyControlDefaults(settings.controls);
    std::memcpy(settings.colours, StoredDefinitionBlock().colours, sizeof settings.colours);
}

}  // namespace

RunSettings PrepareSettings(const Options& options) {
    RunSettings settings;
    switch (options.start) {
        case StartingPoint::saved:
            EnsureSettingsKey(nullptr);
            ApplyControlDefaults(settings.controls);
            LoadSettings(settings.controls, settings.colours);
            break;
        case StartingPoint::filter:
            StartFromFilterDefaults(settings);
            break;
        case StartingPoint::tile:
            StartFromFilterDefaults(settings);
            // Fit stays off: OUT is the tile at the picture's own resolution, and every
            // pixel inside it is the picture's own.
            ApplyTilePreset(settings.controls);
            break;
    }
    ClampSliderValues(settings.controls);
    for (int i = 0; i < kControlCount; ++i) {
        if (const auto& value = options.controls[static_cast<std::size_t>(i)]) settings.controls[i] = *value;
    }
    if (options.colour) settings.colours[0] = *options.colour;
    return settings;
}

bool FitIsOn(const RunSettings& settings) {
    const int fit = ControlNamed("fit");
    return fit >= 0 && settings.controls[fit] != 0;
}

TileBounds TileOf(const RunSettings& settings, int width, int height) {
    // The filter's own geometry: an overlap of s % takes s * size / 100 pixels (cut
    // toward zero) off the tile, at the far edge for a positive overlap and at the near
    // edge for a negative one; with Fit the tile is stretched over the whole picture.
    if (FitIsOn(settings)) return {0, 0, width, height};
    const auto axis = [&settings](const char* name, int size, int& start, int& length) {
        const int control = ControlNamed(name);
        const std::int64_t overlap =
            control >= 0 ? std::int64_t{settings.controls[control]} * size / 100 : std::int64_t{0};
        const std::int64_t magnitude = overlap < 0 ? -overlap : overlap;
        length = static_cast<int>(std::max<std::int64_t>(1, size - std::min<std::int64_t>(magnitude, size - 1)));
        start = overlap < 0 ? size - length : 0;
    };
    TileBounds tile;
    axis("overlap-x", width, tile.x, tile.width);
    axis("overlap-y", height, tile.y, tile.height);
    return tile;
}

Image CropTo(const Image& image, const TileBounds& area) {
    Image result(area.width, area.height, image.planes);
    const std::size_t row_bytes = static_cast<std::size_t>(area.width) * static_cast<std::size_t>(image.planes);
    for (int y = 0; y < area.height; ++y) {
        const std::size_t from =
            (static_cast<std::size_t>(area.y + y) * static_cast<std::size_t>(image.width) + static_cast<std::size_t>(area.x)) *
            static_cast<std::size_t>(image.planes);
        std::memcpy(result.bytes.data() + static_cast<std::size_t>(y) * row_bytes, image.bytes.data() + from, row_bytes);
    }
    return result;
}

std::string FormatSettings(const RunSettings& settings, const Options& options) {
    std::string text;
    for (const ControlOption& control : ControlOptions()) {
        if (control.check_box) continue;
        text += Padded(control.caption) + std::to_string(settings.controls[control.control]) + "\n";
    }
    const std::vector<std::string> seams = SelectorItems();
    if (!seams.empty()) {
        const std::int32_t seam = settings.controls[kSelectorControl];
        const bool known = seam >= 0 && static_cast<std::size_t>(seam) < seams.size();
        text += Padded("Seam") +
                (known ? seams[static_cast<std::size_t>(seam)] : "item " + std::to_string(seam) + " (none such)") + "\n";
    }
    for (const ControlOption& control : ControlOptions()) {
        if (!control.check_box) continue;
        text += Padded(control.caption) + (settings.controls[control.control] != 0 ? "on" : "off") + "\n";
    }
    text += Padded("Colour") + HexColour(settings.colours[0]) + "\n";
    text += Padded("Background") + HexColour(options.background) + "\n";
    text += Padded("Foreground") + HexColour(options.foreground) + "\n";
    return text;
}

std::string StoreSettings(const RunSettings& settings) {
    const PlatformApi& api = Platform();
    // Why the key's folder could not be made, if it could not: the save then fails too,
    // and only this says why (the save itself finds just that the folder is missing).
    std::string create_reason;
    if (api.settings_open_key(Bound().settings_key) != SettingsStatus::ok &&
        api.settings_create_key(Bound().settings_key, kSettingsKeyClass) != SettingsStatus::ok) {
        create_reason = api.settings_error();
    }
    SaveSettings(settings.controls, settings.colours);
    // The store's own account of a failure names the file and the reason.
    const std::string reason = !create_reason.empty() ? create_reason : api.settings_error();
    if (!ReadsBack(kSliderSettingsName, settings.controls, sizeof settings.controls) ||
        !ReadsBack(kCustomColorsName, settings.colours, sizeof settings.colours)) {
        const std::string detail = api.settings_error();
        return std::string("cannot save the filter's settings under the key ") + Bound().settings_key + ": " +
               (!reason.empty() ? reason : !detail.empty() ? detail : "the values did not read back");
    }
    return {};
}

int RowsFinishedAt(std::int32_t done, std::int32_t total, int image_width, int image_height, const TileBounds& area) {
    // In 32 bits with wrap-around, as the module counts.
    const std::uint32_t pixels = static_cast<std::uint32_t>(image_width) * static_cast<std::uint32_t>(image_height);
    const std::uint32_t area_pixels = static_cast<std::uint32_t>(area.width) * static_cast<std::uint32_t>(area.height);
    const auto reported = static_cast<std::uint32_t>(done);
    std::uint32_t first_pass = 0;
    if (static_cast<std::uint32_t>(total) == pixels * 2 && pixels * 2 != pixels) {
        first_pass = area_pixels;
    } else if (static_cast<std::uint32_t>(total) != pixels || area.width <= 0) {
        return area.y;
    }
    if (reported < first_pass) return area.y;
    const std::uint32_t rows = (reported - first_pass) / static_cast<std::uint32_t>(area.width);
    if (rows >= static_cast<std::uint32_t>(area.height)) return image_height;
    return area.y + static_cast<int>(rows);
}

RunResult RunFilterOnImage(Image image, const RunSettings& settings, const Options& options, int threads,
                           ProgressBar* progress, RowPipeline* rows) {
    memhost::HostOptions host_options;
    host_options.threads = threads;
    host_options.back_color = options.background;
    host_options.fore_color = options.foreground;
    host_options.max_space = options.max_space;
    if (options.selection) {
        const Selection& s = *options.selection;
        const psapi::Rect rect{static_cast<psapi::int16>(s.y), static_cast<psapi::int16>(s.x),
                               static_cast<psapi::int16>(s.y + s.height), static_cast<psapi::int16>(s.x + s.width)};
        host_options.filter_rect = rect;
        host_options.mask = memhost::RectangularMask(image.width, image.height, rect);
    }
    // Whatever ends the run, an encoder waiting for rows is told.
    struct AbandonUnlessClosed {
        RowPipeline* rows;
        ~AbandonUnlessClosed() {
            if (rows != nullptr) rows->Abandon(Image{});
        }
    } abandon{rows};
    RunResult run;
    {
        const RunSettingsStore store(settings);
        memhost::LeanHost host(std::move(image), std::move(host_options));
        host.record().abortProc = &OnAbort;
        host.record().progressProc = &OnProgress;
        active_progress = progress;
        if (rows != nullptr) {
            const Image& document = host.Document();
            const psapi::Rect& f = host.record().filterRect;
            active_rows = {rows, document.width, document.height, {f.left, f.top, f.right - f.left, f.bottom - f.top}};
            rows->Attach(document.bytes.data());
        }
        run.result = host.RunAsHost();
        active_progress = nullptr;
        active_rows = {};
        if (run.result == psapi::noErr) {
            run.unchanged = host.Document() == host.Source();
            run.in_strips = !host.WholeImageInOnePass();
            // The document's buffer moves out with it, so the rows attached stay where they are.
            run.output = host.TakeDocument();
            if (rows != nullptr) rows->Finish();
        } else if (rows != nullptr) {
            rows->Abandon(host.TakeDocument());
        }
    }
    return run;
}

bool NeedsStrips(const Image& image, const Options& options) {
    return NeedsStrips(image.planes, image.width, image.height, options);
}

bool NeedsStrips(int planes, int width, int height, const Options& options) {
    const Selection area = options.selection.value_or(Selection{0, 0, width, height});
    return StripHeightFor(options.max_space, planes, area.width, area.height) < area.height;
}

std::string StripsRefusal(int planes, int width, int height, const Options& options) {
    constexpr std::int32_t kLargest = 0x7FFFFFFF;
    std::string message = "the image is too large for the filter to take in one pass with a memory budget of " +
                          std::to_string(options.max_space) + " bytes; in strips the seams may show. ";
    Options larger = options;
    larger.max_space = kLargest;
    if (options.max_space >= kLargest || NeedsStrips(planes, width, height, larger)) {
        // No budget the host interface can express takes it whole.
        return message + "No --max-space takes " + (options.selection ? "this selection" : "an image this large") +
               " in one pass: give a smaller --selection, or --allow-strips to accept strips";
    }
    // The smallest budget that takes the area in one pass: the budget's rows per strip
    // only grow with it.
    std::int32_t low = std::max<std::int32_t>(options.max_space, 0), high = kLargest;
    while (high - low > 1) {
        const std::int32_t middle = low + (high - low) / 2;
        larger.max_space = middle;
        (NeedsStrips(planes, width, height, larger) ? low : high) = middle;
    }
    return message + "Give --max-space " + std::to_string(high) +
           " or more (at most 2147483647), or --allow-strips to accept strips";
}

void RequestCancel() noexcept { cancel_requested = 1; }
bool CancelRequested() noexcept { return cancel_requested != 0; }
void ClearCancel() noexcept { cancel_requested = 0; }

InterruptGuard::InterruptGuard() : handler_(OnInterrupt) {}

std::string ResultMessage(psapi::int16 result) {
    if (result == psapi::noErr) return {};
    if (result == psapi::userCanceledErr) return "the run was cancelled; nothing was written";
    if (result == psapi::filterBadMode) return "the filter refused the run: the image is not RGB (result -30101)";
    return "the filter refused the run (result " + std::to_string(result) + ")";
}

int ExitStatusFor(psapi::int16 result) {
    if (result == psapi::noErr) return kExitOk;
    return result == psapi::userCanceledErr ? kExitCancelled : kExitRefused;
}

}  // namespace tessellon::cli
