// The command-line host of the native build. It loads the module the way the operating
// system would and talks to it only through ENTRYPOINT, as an image editor does: it
// reads an image file, repeats the filter with the settings of the command line and
// writes the result.
#include <cstdint>
#include <cstdio>
#include <exception>
#include <new>
#include <string>
#include <vector>

#include "cli/image_io.h"
#include "cli/options.h"
#include "cli/progress.h"
#include "cli/session.h"
#include "resources/version.h"
#include "shell/host.h"

namespace {

using namespace tessellon::cli;

void Say(const std::string& message) { std::fprintf(stderr, "tessellon: %s\n", message.c_str()); }

int Fail(int status, const std::string& message) {
    Say(message);
    return status;
}

int ShowAbout() {
    psapi::AboutRecord about{};
    std::intptr_t data = 0;
    psapi::int16 result = 1;
    ENTRYPOINT(psapi::filterSelectorAbout, &about, &data, &result);
    return result == psapi::noErr ? kExitOk : kExitFailure;
}

// Said when the result equals the input, which a tile should not.
std::string UnchangedNote(const RunSettings& settings) {
    const std::vector<ControlOption> controls = ControlOptions();
    bool no_overlap = true;
    for (const ControlOption& control : controls) {
        if ((control.name == "overlap-x" || control.name == "overlap-y") && settings.controls[control.control] != 0) {
            no_overlap = false;
        }
    }
    return no_overlap ? "note: the picture comes out unchanged: with both overlaps 0 nothing is blended; give "
                        "--overlap-x and --overlap-y, or start from --preset tile"
                      : "note: the picture comes out unchanged with these settings";
}

// Checks the output files' formats before any work is done.
int CheckOutputName(const std::string& path) {
    if (!OutputFormatFor(path)) {
        return Fail(kExitUsage, "'" + path + "': unsupported output format; use .png, .ppm or .pam");
    }
    return kExitOk;
}

int CheckWritableAs(const std::string& path, int planes) {
    const std::string problem = CheckWritable(*OutputFormatFor(path), planes);
    return problem.empty() ? kExitOk : Fail(kExitUsage, "'" + path + "': " + problem);
}

// Where the output and the tile preview go: their folders exist and take new files,
// and the preview replaces neither the input nor the output. The output may replace
// the input: it is written whole before the input's name is given to it.
int CheckTargets(const Options& options, OutputTarget& output, OutputTarget& preview) {
    if (int status = CheckOutputName(options.output); status != kExitOk) return status;
    if (std::string problem = ResolveOutput(options.output, output); !problem.empty()) {
        return Fail(kExitFailure, problem);
    }
    if (options.tile_preview.empty()) return kExitOk;
    if (int status = CheckOutputName(options.tile_preview); status != kExitOk) return status;
    for (const std::string* other : {&options.output, &options.input}) {
        if (SameFile(options.tile_preview, *other)) {
            return Fail(kExitUsage, "--tile-preview '" + options.tile_preview + "' names the same file as the " +
                                        (other == &options.output ? "output" : "input") + " '" + *other + "'");
        }
    }
    if (std::string problem = ResolveOutput(options.tile_preview, preview); !problem.empty()) {
        return Fail(kExitFailure, problem);
    }
    return kExitOk;
}

int Filter(const Options& options) {
    OutputTarget output, preview_target;
    if (int status = CheckTargets(options, output, preview_target); status != kExitOk) return status;

    ReadLimits limits;
    limits.max_pixels = options.max_pixels.value_or(DefaultMaxPixels());
    DecodeResult read = ReadImageFile(options.input, limits);
    if (!read.ok) return Fail(kExitFailure, read.error);
    for (const std::string& note : read.notes) Say("'" + options.input + "': " + note);
    Image image = std::move(read.image);
    if (options.alpha && image.planes == 3) image = WithOpaqueAlpha(image);

    if (options.selection) {
        const Selection& s = *options.selection;
        if (s.x + s.width > image.width || s.y + s.height > image.height) {
            return Fail(kExitUsage, "--selection " + std::to_string(s.x) + "," + std::to_string(s.y) + "," +
                                        std::to_string(s.width) + "," + std::to_string(s.height) +
                                        " does not lie inside the " + std::to_string(image.width) + "x" +
                                        std::to_string(image.height) + " image");
        }
    }
    if (int status = CheckWritableAs(options.output, image.planes); status != kExitOk) return status;
    if (!options.tile_preview.empty()) {
        if (int status = CheckWritableAs(options.tile_preview, image.planes); status != kExitOk) return status;
        const std::uint64_t bytes = std::uint64_t{static_cast<std::uint32_t>(image.width)} *
                                    static_cast<std::uint32_t>(image.height) *
                                    static_cast<std::uint32_t>(image.planes) *
                                    static_cast<std::uint32_t>(options.tile_columns) *
                                    static_cast<std::uint32_t>(options.tile_rows);
        if (bytes > (std::uint64_t{1} << 31)) {
            return Fail(kExitUsage, "--tile-preview: the preview would take more than 2 GiB; choose fewer --tiles");
        }
    }

    PrepareSettings(options);
    const RunSettings prepared = CurrentSettings();
    if (options.print_settings) std::fputs(FormatSettings(options).c_str(), stdout);
    std::fflush(stdout);

    ProgressBar progress(stderr, StderrIsTerminal());
    RunResult run;
    {
        InterruptGuard interrupts;
        run = RunFilterOnImage(std::move(image), options, &progress);
    }
    progress.Finish();
    for (const std::string& warning : run.warnings) Say("warning: host buffer check: " + warning);
    if (run.result != psapi::noErr) return Fail(ExitStatusFor(run.result), ResultMessage(run.result));
    if (run.unchanged) Say(UnchangedNote(prepared));

    if (options.crop) {
        // The tile of the filtered area: the whole image, or the selection.
        const Selection area = options.selection.value_or(Selection{0, 0, run.output.width, run.output.height});
        TileBounds tile = TileOf(area.width, area.height);
        tile.x += area.x;
        tile.y += area.y;
        run.output = CropTo(run.output, tile);
    }

    {
        // From here on an interrupt removes the file being written and leaves the old one.
        WriteInterruptGuard interrupts;
        if (std::string problem = WriteImageFile(output, *OutputFormatFor(options.output), run.output);
            !problem.empty()) {
            return Fail(kExitFailure, problem);
        }
        if (!options.tile_preview.empty()) {
            const Image preview = Tiled(run.output, options.tile_columns, options.tile_rows);
            if (std::string problem =
                    WriteImageFile(preview_target, *OutputFormatFor(options.tile_preview), preview);
                !problem.empty()) {
                return Fail(kExitFailure, problem);
            }
        }
    }
    if (options.save) {
        // The run's settings become the saved ones only now that everything succeeded.
        RestoreSettings(prepared);
        if (std::string problem = StoreSettings(); !problem.empty()) {
            return Fail(kExitFailure, "the image was written, but " + problem);
        }
    }
    return kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
    tessellon::LoadModule(nullptr, nullptr);
    const std::vector<std::string> arguments(argv + (argc > 0 ? 1 : 0), argv + argc);
    const ParseResult parsed = ParseCommandLine(arguments);
    if (!parsed.ok) {
        Fail(kExitUsage, parsed.error);
        std::fprintf(stderr, "Try 'tessellon --help'.\n");
        return kExitUsage;
    }
    const Options& options = parsed.options;
    if (options.help) {
        std::fputs(HelpText().c_str(), stdout);
        return kExitOk;
    }
    if (options.version) {
        std::printf("%s %s\n", TESSELLON_NAME, TESSELLON_VERSION);
        return kExitOk;
    }
    if (options.about) return ShowAbout();
    try {
        if (!options.Filters()) {
            // --print-settings on its own: nothing is run and nothing saved.
            PrepareSettings(options);
            std::fputs(FormatSettings(options).c_str(), stdout);
            return kExitOk;
        }
        return Filter(options);
    } catch (const std::bad_alloc&) {
        return Fail(kExitFailure, "out of memory");
    }
}
