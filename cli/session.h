// One filtering run of the command-line host, done as an image editor repeats a filter:
// the settings the module would start from, the command line's options over them,
// those values put into a settings store of the run's own, then Start without
// Parameters, so that the module reads them back through its own load path. The image
// goes through the in-memory host. The user's store is written only after the run and
// its files have succeeded. The host keeps the run's values itself (RunSettings) and
// hands them to the module only through the store; it never writes the module's live
// values.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "cli/image_io.h"
#include "cli/options.h"
#include "cli/output_file.h"
#include "cli/progress.h"
#include "cli/row_pipeline.h"
#include "hostapi/filter_record.h"
#include "runtime/block_format.h"

namespace tessellon::cli {

// The values a run starts from, as the settings store keeps them: the sixteen control
// values and the eight colour entries.
struct RunSettings {
    std::int32_t controls[kControlCount] = {};
    std::uint32_t colours[kColourCount] = {};
};

// The values of the options' starting point: the tile preset (the filter's defaults
// and colours with overlap 20/20, Fit off), the filter's own defaults, or the saved
// settings as the module loads them (slider defaults, then the saved values; colours
// black when none are saved); slider values clamped into their ranges as the dialog
// clamps them; then the options over them. Only the saved starting point reads the
// user's settings store.
RunSettings PrepareSettings(const Options& options);

// The tile of `settings` within a filtered area of width × height: the part of the
// result that repeats seamlessly.
struct TileBounds {
    int x = 0, y = 0, width = 0, height = 0;
};
TileBounds TileOf(const RunSettings& settings, int width, int height);
// The part `area` of the image.
Image CropTo(const Image& image, const TileBounds& area);

// Whether `settings` have Fit on.
bool FitIsOn(const RunSettings& settings);

// The values of `settings`, one per line by caption, with the host's colours.
std::string FormatSettings(const RunSettings& settings, const Options& options);

// Saves `settings` into the user's settings store, creating the filter's key when it
// is missing, and reads them back. Empty on success, else why not, naming the store's
// file and the system's reason.
std::string StoreSettings(const RunSettings& settings);

struct RunResult {
    psapi::int16 result = 0;  // the host's result word: 0, -128 cancelled, else refused
    Image output;
    bool unchanged = false;             // the output equals the input
    bool in_strips = false;             // the module took the image in more than one pass
    std::vector<std::string> warnings;  // host buffer checks that failed
};

// How many rows of an image, from the top, are final when the module reports `done`
// of `total` while it filters `area`. The module counts the filtered area's pixels
// row by row from its top, after those of a first pass over the same area if it makes
// one, of a total of the whole image's pixels (twice that with a first pass), both
// wrapped to 32 bits; it writes nothing outside the area. A report it cannot read so
// gives only the rows above the area.
int RowsFinishedAt(std::int32_t done, std::int32_t total, int image_width, int image_height, const TileBounds& area);

// Runs the filter over the image through the lean in-memory host with the options' host
// settings (colours, selection, memory budget) and `threads` as the host's thread
// count (0: the module decides, from TESSELLON_THREADS or the cores), the module
// reading `settings` from a store that lives for the run only. `progress` may be null.
// When `rows` is given, the host's image is attached to it and its rows are published
// as the module finishes them; after the run it is finished, or abandoned when the run
// failed.
RunResult RunFilterOnImage(Image image, const RunSettings& settings, const Options& options, int threads,
                           ProgressBar* progress, RowPipeline* rows = nullptr);

// True when the module, offered the options' memory budget, would take the filtered
// area in strips instead of in one pass, as it decides itself.
bool NeedsStrips(const Image& image, const Options& options);
bool NeedsStrips(int planes, int width, int height, const Options& options);

// Why a run that would work in strips is refused, with the advice that can help: the
// smallest --max-space that takes the area in one pass when there is one, else a
// smaller --selection; and --allow-strips.
std::string StripsRefusal(int planes, int width, int height, const Options& options);

// The run's cancellation: set by an interrupt while InterruptGuard is alive (or by
// RequestCancel), answered to the module's abort checks.
void RequestCancel() noexcept;
bool CancelRequested() noexcept;
void ClearCancel() noexcept;

// Catches the interrupt and termination signals for its lifetime: the first asks the
// filter to stop, a second one ends the program. A signal ignored when the program
// started stays ignored.
class InterruptGuard {
public:
    InterruptGuard();
    InterruptGuard(const InterruptGuard&) = delete;
    InterruptGuard& operator=(const InterruptGuard&) = delete;

private:
    InterruptHandler handler_;
};

// What a nonzero result word means to the user, and the exit status for it.
std::string ResultMessage(psapi::int16 result);
int ExitStatusFor(psapi::int16 result);

}  // namespace tessellon::cli
