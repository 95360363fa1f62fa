// The GEGL operation's side of the filter, without GEGL: the operation's properties as
// the filter's control records state them, and one run of the filter over a picture in
// memory. The run goes through the module's ENTRYPOINT as the command-line host's does:
// the settings are put into a settings store held in memory for the run alone, then the
// lean in-memory host calls Start without Parameters, so that the module reads them
// through its own load path. Nothing is written to the user's store, and nothing of the
// environment is read but the filter's thread count.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "memhost/host_record.h"
#include "runtime/block_format.h"

namespace tessellon::gegl_host {

enum class PropertyKind { slider, selector, check_box, colour, background, foreground };

// One property of the operation. Sliders take their range from the control record;
// the selector's range is its items; check boxes are booleans (0 or 1). The default is
// the command line's `--preset tile` value.
struct PropertyInfo {
    std::string name;   // from the caption: "overlap-x", "seam", "opaque-out"
    std::string nick;   // the caption without its colon: "Overlap X"
    std::string blurb;  // a line of help, for the colours
    PropertyKind kind = PropertyKind::slider;
    int control = -1;  // the control record and control_values entry; -1 for colours
    std::int32_t min = 0, max = 0, default_value = 0;
    std::vector<std::string> items;  // the selector's items, in order
    memhost::Rgb default_rgb{};      // colours
};

// The operation's properties: the visible sliders, the selector, the check boxes in
// the dialog's order, the colour outside the tile, then the host's background and
// foreground colours. Read from the live definition block; the call takes the run's
// lock, since it works in the module's control values.
std::vector<PropertyInfo> OperationProperties();

// The values of one run.
struct TileSettings {
    std::int32_t controls[kControlCount] = {};
    memhost::Rgb colour{};      // outside the tile
    memhost::Rgb background{};  // the host's colours; Thru BG compares with the background
    memhost::Rgb foreground{};
};
TileSettings DefaultSettings(const std::vector<PropertyInfo>& properties);

// Empty when a picture of width x height with `planes` planes can be filtered in one
// pass, else why not: larger than the host interface's 16-bit rectangles, or too large
// for the filter to take whole within the largest memory budget the interface can
// state. Checked before any memory is taken for the picture.
std::string CheckPicture(int width, int height, int planes);

struct TileResult {
    psapi::int16 result = 0;  // the module's result word: 0 done
    memhost::Image output;    // the filtered picture when result is 0
};

// Told the share of the run done, 0..1, as the module reports it.
using ProgressSink = void (*)(void* context, double done);

// Filters `picture` (3 or 4 planes, passed by CheckPicture) with `settings`. One run at a
// time in the process: a second caller waits for the first.
TileResult RunTile(memhost::Image picture, const TileSettings& settings, ProgressSink progress = nullptr,
                   void* progress_context = nullptr);

// What a nonzero result word means.
std::string ResultText(psapi::int16 result);

}  // namespace tessellon::gegl_host
