// The command line of the command-line host: one option per control of the filter,
// named after the control's caption and checked against the control's range as the
// filter's definition block states it, plus the host's own options.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "runtime/block_format.h"

namespace tessellon::cli {

// Exit statuses of the program.
constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;     // files: missing, unreadable, unsupported, damaged, not written
constexpr int kExitUsage = 2;       // the command line: unknown option, bad or out-of-range value
constexpr int kExitRefused = 3;     // the filter refused the run
constexpr int kExitCancelled = 130; // the run was cancelled (interrupt)

// Control values of the check boxes and the selector, as the block's format numbers them.
constexpr int kSelectorControl = tessellon::kSelectorRecord;
constexpr int kFirstCheckBox = CheckBoxRecordOf(kCheckBoxCount - 1);
constexpr int kLastCheckBox = CheckBoxRecordOf(0);
constexpr int kSliderCount = tessellon::kSliderCount;

// An option that sets one control: a slider (takes an integer within min..max) or a
// check box (--name sets it, --no-name clears it).
struct ControlOption {
    std::string name;     // without the leading dashes
    std::string caption;  // the caption without its trailing colon
    int control = 0;      // index into control_values
    bool check_box = false;
    std::int32_t min = 0, max = 0;
};

// The options of the filter's visible sliders and check boxes, in control order.
std::vector<ControlOption> ControlOptions();
// The selector's items as the definition block lists them ("Normal", "Wave", ...).
std::vector<std::string> SelectorItems();

using Rgb = std::array<std::uint8_t, 3>;

struct Selection {
    int x = 0, y = 0, width = 0, height = 0;
};

// Where a run's settings start before the command line's options apply.
enum class StartingPoint {
    tile,    // a seamless tile at the input's resolution, written alone (the default)
    filter,  // the filter's own defaults, as a first run in an image editor
    saved,   // the settings the last run saved
};


struct Options {
    bool help = false;
    bool version = false;
    bool about = false;
    bool print_settings = false;
    StartingPoint start = StartingPoint::tile;
    bool start_given = false;  // --preset, --defaults or --saved given
    bool save = false;         // save the run's settings for the next --saved run
    // Write only the tile (the part that repeats) rather than the whole filtered picture;
    // unset: as the starting point says (the tile preset writes the tile alone).
    std::optional<bool> crop;
    bool alpha = false;     // add an opaque alpha plane to an RGB image
    std::string input, output;
    std::string tile_preview;
    int tile_columns = 2, tile_rows = 2;
    bool tiles_given = false;  // --tiles given
    // --size WxH or N: the tile resampled to exactly this size, its edges wrapping.
    struct Size {
        int width = 0, height = 0;
    };
    std::optional<Size> size;
    bool jobs_given = false;   // -j or --jobs given
    // Control values set on the command line, by control index.
    std::array<std::optional<std::int32_t>, kControlCount> controls{};
    std::optional<std::uint32_t> colour;  // colour entry 0, 0x00BBGGRR
    Rgb background{255, 255, 255};
    Rgb foreground{0, 0, 0};
    std::optional<Selection> selection;
    // The host's memory budget: by default as much as the host interface can express,
    // so that the module can take the whole image in one pass.
    std::int32_t max_space = 0x7FFFFFFF;
    bool allow_strips = false;  // accept a run that works in strips (seams may show)
    std::optional<std::uint64_t> max_pixels;  // unset: the reader's default limit
    std::optional<std::string> format;        // the output format's name, over the extension
    std::optional<int> quality;               // JPEG and lossy WebP, 1..100
    bool lossless = false;                    // WebP lossless even from a lossy input
    std::optional<int> compression;           // PNG and TIFF, 0..9
    // Several inputs into one folder: --out-dir DIR, -j N files at a time (0: one per
    // core).
    std::vector<std::string> inputs;
    std::string out_dir;
    int jobs = 0;
    // Threads the filter may use (TESSELLON_THREADS for the module); unset: as the
    // environment says, else one per core.
    std::optional<int> threads;

    // True when the command names files to filter; false for --help and the like, and
    // for --print-settings on its own.
    bool files = false;
    bool Filters() const { return files; }
    // True when OUT holds the tile alone (when Fit is off): --crop, --no-crop, else the
    // tile preset or --size, which resamples the tile.
    bool Crops() const { return crop.value_or(start == StartingPoint::tile || size.has_value()); }
};

struct ParseResult {
    bool ok = false;
    Options options;
    std::string error;  // set when !ok
};

// Parses the arguments after the program name. Options take their value as
// --name=value or as the next argument.
ParseResult ParseCommandLine(const std::vector<std::string>& arguments);

// Colours as RRGGBB.
std::string HexColour(const Rgb& rgb);
std::string HexColour(std::uint32_t bbggrr);

std::string HelpText();

// The manual page tessellon(1) in troff, made from HelpText so that the two say the
// same; `version` goes into its header.
std::string ManPage(const std::string& version);
// A bash completion for the program: its options, and the values of those that take
// one of a few names.
std::string BashCompletion();

// The long option (without dashes) closest to `name`, when one is at most two edits
// away (a letter added, removed, changed, or two neighbours swapped); else empty.
std::string NearestOption(const std::string& name);

}  // namespace tessellon::cli
