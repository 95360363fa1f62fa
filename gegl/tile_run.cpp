// The filter for the GEGL operation: properties from the control records, and a run
// through ENTRYPOINT with the lean in-memory host and a settings store of its own.
#include "gegl/tile_run.h"

#include <cstring>
#include <mutex>
#include <utility>

#include "filter/definition.h"
#include "filter/terminology.h"
#include "memhost/lean_host.h"
#include "platform/memory_settings.h"
#include "shell/host.h"
#include "shell/run_filter.h"
#include "ui/control_names.h"
#include "ui/dialog_model.h"
#include "ui/settings.h"

namespace tessellon::gegl_host {
namespace {

// The largest memory budget the host interface can state (a signed 32-bit count).
constexpr psapi::int32 kLargestBudget = 0x7FFFFFFF;

// The module's state (its control values, its block, its host record) is one per
// process, as in an image editor that loads it once: runs and the reading of the
// defaults take turns.
std::mutex& ModuleLock() {
    static std::mutex lock;
    return lock;
}

// The module's load step, once per process, as the operating system's loader runs it.
void EnsureModuleLoaded() {
    static std::once_flag loaded;
    std::call_once(loaded, [] { LoadModule(nullptr, nullptr); });
}

// The script key of a kind that has no control record caption of its own (the
// selector's caption is not read; the colour has no record).
const char* ScriptName(ScriptValueKind kind) {
    for (const ScriptKey& key : kScriptKeys) {
        if (key.kind == kind) return key.name;
    }
    return nullptr;
}

memhost::Rgb RgbOfEntry(std::uint32_t bbggrr) {
    return {static_cast<std::uint8_t>(bbggrr), static_cast<std::uint8_t>(bbggrr >> 8),
            static_cast<std::uint8_t>(bbggrr >> 16)};
}

std::uint32_t EntryOfRgb(const memhost::Rgb& rgb) {
    return std::uint32_t{rgb[0]} | std::uint32_t{rgb[1]} << 8 | std::uint32_t{rgb[2]} << 16;
}

// Called by the module with its pixel count done of its total.
ProgressSink active_progress = nullptr;
void* active_progress_context = nullptr;

void PSAPI_CALL OnProgress(psapi::int32 done, psapi::int32 total) {
    if (active_progress == nullptr || total <= 0) return;
    const double share = static_cast<double>(done) / static_cast<double>(total);
    active_progress(active_progress_context, share < 0 ? 0.0 : share > 1 ? 1.0 : share);
}

}  // namespace

std::vector<PropertyInfo> OperationProperties() {
    EnsureModuleLoaded();
    const std::lock_guard<std::mutex> hold(ModuleLock());
    std::int32_t preset[kControlCount];
    ApplyTilePreset(preset);

    std::vector<PropertyInfo> properties;
    const auto add_control = [&properties, &preset](int index, PropertyKind kind, const char* caption) {
        const ControlRecord& record = definition_block.controls[index];
        if (record.enabled == 0 || caption == nullptr) return;
        PropertyInfo property;
        property.name = ControlNameFromCaption(caption);
        property.nick = CaptionText(caption);
        if (property.name.empty()) return;
        property.kind = kind;
        property.control = index;
        property.default_value = preset[index];
        if (kind == PropertyKind::slider) {
            property.min = record.min;
            property.max = record.max;
        } else if (kind == PropertyKind::selector) {
            property.items = ParseSelectorItems(definition_block.selector_items, sizeof definition_block.selector_items);
            if (property.items.empty()) return;
            property.max = static_cast<std::int32_t>(property.items.size()) - 1;
        } else {
            property.max = 1;
        }
        properties.push_back(std::move(property));
    };
    for (int i = 0; i < kSliderCount; ++i) add_control(i, PropertyKind::slider, definition_block.controls[i].caption);
    add_control(kSelectorRecord, PropertyKind::selector, ScriptName(ScriptValueKind::selector));
    // In the dialog's order: check box 0 (the last record) first.
    for (int k = 0; k < kCheckBoxCount; ++k) {
        const int index = CheckBoxRecordOf(k);
        add_control(index, PropertyKind::check_box, definition_block.controls[index].caption);
    }
    if (definition_block.colour_count > 0) {
        PropertyInfo colour;
        const char* caption = ScriptName(ScriptValueKind::colour);
        colour.name = ControlNameFromCaption(caption);
        colour.nick = CaptionText(caption);
        colour.blurb = "The colour of the area outside the tile, where Fit and Repeat are off";
        colour.kind = PropertyKind::colour;
        colour.default_rgb = RgbOfEntry(StoredDefinitionBlock().colours[kOutsideColourEntry]);
        properties.push_back(std::move(colour));
    }
    const memhost::HostOptions host;  // the in-memory hosts' own colours
    properties.push_back({"background", "Background", "The host's background colour; Thru BG compares with it",
                          PropertyKind::background, -1, 0, 0, 0, {}, host.back_color});
    properties.push_back({"foreground", "Foreground", "The host's foreground colour", PropertyKind::foreground, -1,
                          0, 0, 0, {}, host.fore_color});

    return properties;
}

TileSettings DefaultSettings(const std::vector<PropertyInfo>& properties) {
    TileSettings settings;
    for (const PropertyInfo& property : properties) {
        switch (property.kind) {
            case PropertyKind::colour: settings.colour = property.default_rgb; break;
            case PropertyKind::background: settings.background = property.default_rgb; break;
            case PropertyKind::foreground: settings.foreground = property.default_rgb; break;
            default: settings.controls[property.control] = property.default_value; break;
        }
    }
    return settings;
}

std::string CheckPicture(int width, int height, int planes) {
    const std::string size = std::to_string(width) + " x " + std::to_string(height);
    if (width > memhost::kMaxCoordinate || height > memhost::kMaxCoordinate) {
        return "the picture is " + size + " pixels; the filter takes at most " +
               std::to_string(memhost::kMaxCoordinate) + " pixels either way (the host interface's rectangles)";
    }
    if (StripHeightFor(kLargestBudget, planes, width, height) < height) {
        return "the picture is " + size + " pixels, too large for the filter to take in one pass within the largest " +
               "memory budget the host interface can state; in strips the seams would show";
    }
    return {};
}

TileResult RunTile(memhost::Image picture, const TileSettings& settings, ProgressSink progress,
                   void* progress_context) {
    EnsureModuleLoaded();
    const std::lock_guard<std::mutex> hold(ModuleLock());
    // The colour table as the module holds it, with the outside colour of the settings.
    std::uint32_t colours[kColourCount];
    std::memcpy(colours, definition_block.colours, sizeof colours);
    colours[kOutsideColourEntry] = EntryOfRgb(settings.colour);

    memhost::HostOptions options;
    options.back_color = settings.background;
    options.fore_color = settings.foreground;
    options.max_space = kLargestBudget;

    TileResult run;
    // The run's settings store: the values the module reads back at Start, held in
    // memory in place of the user's store for the run alone.
    const ScopedMemorySettings store;
    ScopedMemorySettings::Put(kSliderSettingsName, settings.controls, sizeof settings.controls);
    ScopedMemorySettings::Put(kCustomColorsName, colours, sizeof colours);
    memhost::LeanHost host(std::move(picture), std::move(options));
    host.record().progressProc = &OnProgress;
    active_progress = progress;
    active_progress_context = progress_context;
    run.result = host.RunAsHost();
    active_progress = nullptr;
    active_progress_context = nullptr;
    if (run.result == psapi::noErr) run.output = host.TakeDocument();
    return run;
}

std::string ResultText(psapi::int16 result) {
    if (result == psapi::noErr) return {};
    if (result == psapi::userCanceledErr) return "the run was cancelled";
    if (result == psapi::filterBadMode) return "the filter refused the run: the picture is not RGB";
    return "the filter refused the run (result " + std::to_string(result) + ")";
}

}  // namespace tessellon::gegl_host
