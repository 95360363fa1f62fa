// The command-line host of the native build. It loads the module the way the operating
// system would and talks to it only through ENTRYPOINT, as an image editor does: it
// reads an image file, repeats the filter with the settings of the command line and
// writes the result.
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <map>
#include <new>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "cli/image_io.h"
#include "cli/options.h"
#include "cli/output_file.h"
#include "cli/progress.h"
#include "cli/resize.h"
#include "cli/source_kind.h"
#include "cli/row_pipeline.h"
#include "cli/session.h"
#include "resources/version.h"
#include "shell/host.h"

namespace {

using namespace tessellon::cli;

// The progress bar on the terminal, if one is drawn: a message ends its line first.
ProgressBar* active_bar = nullptr;

void Say(const std::string& message) {
    if (active_bar != nullptr) active_bar->Finish();
    std::fprintf(stderr, "tessellon: %s\n", message.c_str());
}

int Fail(int status, const std::string& message) {
    Say(message);
    return status;
}

// The module shows its About text where a Linux build shows its messages, on standard
// error; asked for on the command line it is the program's output, so standard error
// points at standard output while the module shows it.
int ShowAbout() {
    psapi::AboutRecord about{};
    std::intptr_t data = 0;
    psapi::int16 result = 1;
    std::fflush(stdout);
    std::fflush(stderr);
    const int saved_stderr = dup(STDERR_FILENO);
    const bool redirected = saved_stderr >= 0 && dup2(STDOUT_FILENO, STDERR_FILENO) >= 0;
    ENTRYPOINT(psapi::filterSelectorAbout, &about, &data, &result);
    std::fflush(stderr);
    if (redirected) dup2(saved_stderr, STDERR_FILENO);
    if (saved_stderr >= 0) close(saved_stderr);
    return result == psapi::noErr ? kExitOk : kExitFailure;
}

// The size written, in the words of a note: "3200 × 2400".
std::string SizeWords(int width, int height) {
    return std::to_string(width) + " \u00D7 " + std::to_string(height);
}

// One line for each option given that does nothing in this run, naming it and why.
// `fit` is the run's Fit after the starting point and the options; `format` OUT's.
std::vector<std::string> IdleOptionNotes(const Options& options, bool fit, std::optional<FileFormat> format) {
    std::vector<std::string> notes;
    const auto note = [&notes](const std::string& text) { notes.push_back("note: " + text); };
    if (options.tiles_given && options.tile_preview.empty()) {
        note("--tiles does nothing without --tile-preview FILE");
    }
    if (options.jobs_given && options.out_dir.empty()) note("-j does nothing without --out-dir: one file is one job");
    if (options.save && !options.Filters()) {
        note("--save does nothing with --print-settings alone: nothing is run, so nothing is saved");
    }
    if (!options.Filters()) return notes;
    if (fit && options.crop == true) {
        note("--crop does nothing with Fit on (from the saved settings): the tile already covers the picture");
    }
    // What lies outside the tile: with Fit nothing, and OUT the tile alone shows none of it.
    const bool outside_shown = !fit && !options.Crops();
    if (!outside_shown) {
        const std::string why = fit ? "with --fit nothing lies outside the tile"
                                    : "OUT is the tile alone (give --no-crop to write what lies outside it)";
        if (options.colour) note("--colour does nothing: " + why);
        for (const ControlOption& control : ControlOptions()) {
            if ((control.name == "repeat" || control.name == "opaque-out") &&
                options.controls[static_cast<std::size_t>(control.control)] == 1) {
                note("--" + control.name + " does nothing: " + why);
            }
        }
    }
    if (format) {
        // The tile preview is written with the same options: one of the two files using
        // an option is enough.
        std::vector<FileFormat> formats{*format};
        if (!options.tile_preview.empty()) {
            if (const std::optional<FileFormat> preview = OutputFormatFor(options.tile_preview)) formats.push_back(*preview);
        }
        bool takes_quality = false, takes_compression = false;
        std::string name;
        for (const FileFormat each : formats) {
            takes_quality = takes_quality || each == FileFormat::jpeg || each == FileFormat::webp;
            takes_compression = takes_compression || each == FileFormat::png || each == FileFormat::tiff;
            name += (name.empty() ? "" : " and ") + std::string(FormatName(each));
        }
        if (options.quality && !takes_quality) note("--quality does nothing for " + name + ": it is written lossless");
        if (options.lossless && std::find(formats.begin(), formats.end(), FileFormat::webp) == formats.end()) {
            note("--lossless does nothing for " + name + ": it applies to WebP");
        }
        if (options.compression && !takes_compression) {
            note("--compression does nothing for " + name + (takes_quality ? ": --quality sets its size" : ": it is not deflated"));
        }
    }
    return notes;
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

// The format OUT is written in: --format, else its extension.
std::optional<FileFormat> FormatOf(const Options& options, const std::string& path) {
    if (options.format && path == options.output) return OutputFormatFor("-." + *options.format);
    return OutputFormatFor(path);
}

// Checks an output file's format before any work is done.
int CheckOutputName(const Options& options, const std::string& path) {
    if (!FormatOf(options, path)) {
        return Fail(kExitUsage, "'" + path + "': unsupported output format; use .png, .jpg, .webp, .tif, .ppm or .pam, or --format");
    }
    return kExitOk;
}

int CheckWritableAs(const Options& options, const std::string& path, int planes, int width, int height) {
    const std::string problem = CheckWritable(*FormatOf(options, path), planes, width, height);
    return problem.empty() ? kExitOk : Fail(kExitUsage, "'" + path + "': " + problem);
}

// Where the output and the tile preview go: their folders exist and take new files,
// and the preview replaces neither the input nor the output. The output may replace
// the input: it is written whole before the input's name is given to it.
int CheckTargets(const Options& options, OutputTarget& output, OutputTarget& preview) {
    if (int status = CheckOutputName(options, options.output); status != kExitOk) return status;
    if (std::string problem = ResolveOutput(options.output, output); !problem.empty()) {
        return Fail(kExitFailure, problem);
    }
    if (options.tile_preview.empty()) return kExitOk;
    if (int status = CheckOutputName(options, options.tile_preview); status != kExitOk) return status;
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

// How often the bar follows an encoder that runs on its own thread.
constexpr int kProgressPollMilliseconds = 50;

DecodeResult ReadInput(const std::string& input, const ReadLimits& limits) {
    if (input == "-") return ReadImageStream(stdin, "standard input", limits);
    return ReadImageFile(input, limits);
}

// The picture laid over an opaque colour: each pixel's colour weighted by its alpha,
// rounded, and the alpha plane dropped.
Image Flattened(const Image& image, const Rgb& background) {
    Image result(image.width, image.height, 3);
    const std::size_t pixels = static_cast<std::size_t>(image.width) * static_cast<std::size_t>(image.height);
    for (std::size_t i = 0; i < pixels; ++i) {
        const unsigned alpha = image.bytes[i * 4 + 3];
        for (std::size_t p = 0; p < 3; ++p) {
            result.bytes[i * 3 + p] =
                static_cast<std::uint8_t>((image.bytes[i * 4 + p] * alpha + background[p] * (255 - alpha) + 127) / 255);
        }
    }
    return result;
}

// What a file of a batch tells the program that runs the batch: the size it wrote, on a
// line of its own after its messages, marked so that it is told apart from them.
constexpr char kWrittenMark = '\x1e';
bool in_batch = false;
struct Written {
    int width = 0, height = 0;
};
Written last_written;

// One input to one output: options.input to options.output.
// `host_threads`: the threads the host offers the module when -t gives none (0: the
// module decides, from TESSELLON_THREADS or the cores).
int Filter(const Options& options, bool show_progress, int host_threads) {
    OutputTarget output, preview_target;
    if (int status = CheckTargets(options, output, preview_target); status != kExitOk) return status;

    // One bar over the whole run; its stages take shares of about the time they take.
    ProgressBar progress(stderr, show_progress);
    active_bar = &progress;
    struct Unregister {
        ~Unregister() { active_bar = nullptr; }
    } unregister;
    progress.Stage("reading", 0, 25);
    ReadLimits limits;
    limits.max_pixels = options.max_pixels.value_or(DefaultMaxPixels());
    limits.on_rows = [&progress](int rows, int height) { progress.Update(rows, height); };
    // A picture the filter could take only in strips is refused from the size the file
    // declares, before any pixel is decoded. Counted with three planes (RGB, or grey read
    // as RGB); a picture that turns out to carry alpha is checked again once read.
    bool refused_by_size = false;
    std::string size_refusal;
    if (!options.allow_strips) {
        limits.on_size = [&options, &refused_by_size, &size_refusal](int width, int height) -> std::string {
            const int planes = options.alpha ? 4 : 3;
            if (!NeedsStrips(planes, width, height, options)) return {};
            refused_by_size = true;
            size_refusal = StripsRefusal(planes, width, height, options);
            return size_refusal;
        };
    }
    // An interrupt while reading ends the program at once: nothing has been written.
    SetInterruptNote("interrupted while reading '" + (options.input == "-" ? "standard input" : options.input) +
                     "'; nothing was written");
    DecodeResult read = ReadInput(options.input, limits);
    SetInterruptNote("interrupted");
    if (!read.ok) {
        progress.Finish();
        if (refused_by_size) return Fail(kExitRefused, size_refusal);
        return Fail(kExitFailure, read.error);
    }
    for (const std::string& note : read.notes) Say("'" + options.input + "': " + note);
    Image image = std::move(read.image);
    const Metadata metadata = std::move(read.metadata);
    WriteOptions write_options;
    write_options.quality = options.quality;
    // A picture that came lossy (a JPEG, a lossy WebP) is written as lossy WebP at the
    // default quality, not lossless several times larger, unless --lossless says so.
    if (!options.quality && !options.lossless && FormatOf(options, options.output) == FileFormat::webp &&
        (read.format == FileFormat::jpeg || (read.format == FileFormat::webp && IsLossyWebp(options.input)))) {
        write_options.quality = kDefaultJpegQuality;
    }
    write_options.compression = options.compression;
    // A grey picture is written grey again where the format holds it and every pixel
    // of the result is grey.
    write_options.grey = read.grey;
    if (options.alpha && image.planes == 3) image = WithOpaqueAlpha(image);
    // A picture with transparency, written where no alpha plane fits (JPEG, PPM, or a
    // tile preview of those), is laid over the background colour first, as an editor
    // flattens it on saving. --alpha asks for the plane, so there it stays an error.
    if (image.planes == 4 && !options.alpha) {
        std::vector<std::string> targets{options.output};
        if (!options.tile_preview.empty()) targets.push_back(options.tile_preview);
        for (const std::string& target : targets) {
            const std::optional<FileFormat> format = FormatOf(options, target);
            if (format && (*format == FileFormat::jpeg || *format == FileFormat::ppm)) {
                image = Flattened(image, options.background);
                Say("note: '" + options.input + "' has transparency, which a " + FormatName(*format) +
                    " file cannot hold: laid over the background " + HexColour(options.background) +
                    " (--background)");
                break;
            }
        }
    }

    if (options.selection) {
        const Selection& s = *options.selection;
        if (s.x + s.width > image.width || s.y + s.height > image.height) {
            return Fail(kExitUsage, "--selection " + std::to_string(s.x) + "," + std::to_string(s.y) + "," +
                                        std::to_string(s.width) + "," + std::to_string(s.height) +
                                        " does not lie inside the " + std::to_string(image.width) + "x" +
                                        std::to_string(image.height) + " image");
        }
    }
    // With --size the files hold the resampled tile; else at most the picture.
    const int out_width = options.size ? options.size->width : image.width;
    const int out_height = options.size ? options.size->height : image.height;
    if (options.size && std::uint64_t{static_cast<std::uint32_t>(out_width)} * static_cast<std::uint32_t>(out_height) *
                                static_cast<std::uint32_t>(image.planes) >
                            (std::uint64_t{1} << 31)) {
        return Fail(kExitUsage, "--size: the tile would take more than 2 GiB; choose a smaller size");
    }
    if (int status = CheckWritableAs(options, options.output, image.planes, out_width, out_height);
        status != kExitOk) {
        return status;
    }
    if (!options.tile_preview.empty()) {
        if (int status = CheckWritableAs(options, options.tile_preview, image.planes,
                                         out_width * options.tile_columns, out_height * options.tile_rows);
            status != kExitOk) {
            return status;
        }
        const std::uint64_t bytes = std::uint64_t{static_cast<std::uint32_t>(out_width)} *
                                    static_cast<std::uint32_t>(out_height) *
                                    static_cast<std::uint32_t>(image.planes) *
                                    static_cast<std::uint32_t>(options.tile_columns) *
                                    static_cast<std::uint32_t>(options.tile_rows);
        if (bytes > (std::uint64_t{1} << 31)) {
            return Fail(kExitUsage, "--tile-preview: the preview would take more than 2 GiB; choose fewer --tiles");
        }
    }

    // Strips are blended one by one, so seams can show where they meet.
    if (NeedsStrips(image, options) && !options.allow_strips) {
        return Fail(kExitRefused, StripsRefusal(image.planes, image.width, image.height, options));
    }

    const RunSettings prepared = PrepareSettings(options);
    const bool fit = FitIsOn(prepared);
    if (!in_batch) {
        for (const std::string& note : IdleOptionNotes(options, fit, FormatOf(options, options.output))) Say(note);
    }
    if (options.print_settings) {
        // With the image on standard output the settings go to standard error.
        std::fputs(FormatSettings(prepared, options).c_str(), output.standard_output ? stderr : stdout);
    }
    // Standard output that no longer takes bytes (a reader that went away) fails the run
    // before the output file is begun.
    if (std::fflush(stdout) != 0) {
        return Fail(kExitFailure, std::string("cannot write to standard output: ") + std::strerror(errno));
    }

    // What OUT holds: the filtered image, or with --crop the tile of the filtered area
    // (the whole image or the selection).
    const Selection area = options.selection.value_or(Selection{0, 0, image.width, image.height});
    TileBounds written{0, 0, image.width, image.height};
    if (options.Crops()) {
        written = TileOf(prepared, area.width, area.height);
        written.x += area.x;
        written.y += area.y;
    }
    const FileFormat format = *FormatOf(options, options.output);
    int threads = options.threads ? *options.threads : host_threads;
    std::optional<WriteInterruptGuard> write_interrupts;
    RowPipeline rows(image.width, image.planes, written.x, written.y, written.width, written.height);
    // A resampled tile is written once the whole tile is there; anything else is
    // encoded row by row.
    const bool resample = options.size.has_value();
    OutputFile file;
    if (!resample && !file.Open(output)) return Fail(kExitFailure, file.Error());
    // A file is encoded while the filter runs, row by row as the rows are finished. A
    // stream (standard output, a pipe) gets its first byte only once the filter has
    // succeeded, so that a refused or cancelled run sends nothing down it.
    std::optional<BackgroundEncoder> encoder;
    if (!resample && !output.stream && !output.standard_output) {
        encoder.emplace(format, rows, file, metadata, write_options);
        // The encoder keeps a core busy while the filter runs: the filter takes the
        // others, unless -t or the environment says how many. (More threads than cores
        // make the filter's threads wait for each other.)
        if (format != FileFormat::webp && threads == 0 && std::getenv("TESSELLON_THREADS") == nullptr) {
            const long cores = sysconf(_SC_NPROCESSORS_ONLN);
            threads = static_cast<int>(std::max(1L, cores - 1));
        }
    }

    progress.Stage("filtering", 25, 75);
    RunResult run;
    std::optional<InterruptGuard> filter_interrupts(std::in_place);
    run = RunFilterOnImage(std::move(image), prepared, options, threads, &progress, resample ? nullptr : &rows);
    {
        // From here on an interrupt removes the file being written and leaves the old
        // one; the signals wait while the handlers change over.
        const InterruptsHeld held;
        filter_interrupts.reset();
        write_interrupts.emplace();
    }
    if (run.result == psapi::noErr && CancelRequested()) {
        // The interrupt came after the filter's last look at it: it stops the writing.
        progress.Finish();
        rows.Cancel();
        return Fail(kExitCancelled, "interrupted while writing '" + options.output + "'; the file was left as it was");
    }
    if (run.result != psapi::noErr) progress.Finish();
    for (const std::string& warning : run.warnings) Say("warning: host buffer check: " + warning);
    if (run.result != psapi::noErr) {
        if (run.result == psapi::userCanceledErr && rows.RowsTaken() > 0) {
            return Fail(kExitCancelled, "interrupted while writing '" + options.output + "'; the file was left as it was");
        }
        return Fail(ExitStatusFor(run.result), ResultMessage(run.result));
    }
    if (run.unchanged) Say(UnchangedNote(prepared));
    if (run.in_strips && !options.allow_strips) Say("warning: the filter worked in strips; seams may show");

    progress.Stage("writing", 75, 100);
    std::vector<std::string> notes;
    Image resampled;
    if (resample) {
        resampled = ResizeWrapped(CropTo(run.output, written), options.size->width, options.size->height);
        if (resampled.width == 0) return Fail(kExitFailure, "out of memory while resampling the tile");
        if (std::string problem = WriteImageFile(output, format, resampled, metadata, write_options, &notes);
            !problem.empty()) {
            return Fail(kExitFailure, problem);
        }
    } else {
        if (!encoder) encoder.emplace(format, rows, file, metadata, write_options);
        while (!encoder->WaitFor(kProgressPollMilliseconds)) progress.Update(rows.RowsTaken(), rows.height());
        if (std::string problem = encoder->Join(notes); !problem.empty()) {
            return Fail(kExitFailure, problem.rfind("cannot", 0) == 0 ? problem : "'" + output.name + "': " + problem);
        }
        if (!file.Commit()) return Fail(kExitFailure, file.Error());
    }
    for (const std::string& note : notes) Say("'" + options.output + "': " + note);
    if (!options.tile_preview.empty()) {
        const Image tile = resample            ? std::move(resampled)
                           : options.Crops() ? CropTo(run.output, written)
                                             : std::move(run.output);
        const Image preview = Tiled(tile, options.tile_columns, options.tile_rows);
        notes.clear();
        if (std::string problem = WriteImageFile(preview_target, *FormatOf(options, options.tile_preview), preview,
                                                 metadata, write_options, &notes);
            !problem.empty()) {
            return Fail(kExitFailure, problem);
        }
        for (const std::string& note : notes) Say("'" + options.tile_preview + "': " + note);
    }
    progress.Update(1, 1);
    progress.Finish();
    last_written = resample ? Written{options.size->width, options.size->height} : Written{written.width, written.height};
    // The tile preset writes the tile alone, smaller than the picture: said, with how to
    // keep the picture's size, so that a smaller file is no surprise.
    if (!in_batch && !options.crop && !fit && !resample && (written.width != area.width || written.height != area.height)) {
        Say("wrote the " + SizeWords(written.width, written.height) +
            " tile: the picture less the overlap; --fit keeps " + SizeWords(area.width, area.height));
    }
    if (options.save) {
        // The run's settings become the saved ones only now that everything succeeded.
        // An interrupt waits until the store has been written whole.
        const InterruptsHeld held;
        if (std::string problem = StoreSettings(prepared); !problem.empty()) {
            return Fail(kExitFailure, "the image was written, but " + problem);
        }
    }
    return kExitOk;
}

// The file an input becomes in the output folder: its name with the extension of
// --format, or its own when that format is written, else .png.
std::string OutputNameFor(const Options& options, const std::string& input) {
    const std::size_t slash = input.find_last_of('/');
    std::string name = slash == std::string::npos ? input : input.substr(slash + 1);
    const std::size_t dot = name.find_last_of('.');
    std::string extension = dot == std::string::npos || dot == 0 ? std::string() : name.substr(dot + 1);
    if (dot != std::string::npos && dot > 0) name.erase(dot);
    if (options.format) {
        extension = *options.format;
    } else if (extension.empty() || !OutputFormatFor("-." + extension)) {
        extension = "png";
    }
    std::string folder = options.out_dir;
    while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
    if (folder == "/") folder.clear();
    return folder + "/" + name + "." + extension;
}

// The most files of a batch that run side by side.
constexpr std::size_t kMaxBatchJobs = 256;

volatile std::sig_atomic_t batch_interrupted = 0;
// The processes of the files running, one per slot (0: none), so that the handler can
// pass the signal on: a termination request sent to this process alone (not to its
// group, as the terminal's Ctrl-C is) then reaches the files too, which stop and
// remove what they were writing. A process's slot is cleared, with the signals held
// back, before the process is reaped, so a pid never names a stranger.
volatile pid_t batch_children[kMaxBatchJobs] = {};

extern "C" void OnBatchInterrupt(int) {
    const int saved = errno;
    batch_interrupted = 1;
    for (const volatile pid_t& child : batch_children) {
        if (child > 0) kill(child, SIGTERM);
    }
    errno = saved;
}

// Refuses a batch that would write over one of its inputs: an output that is an input
// itself (the same file, through any link or spelling of the folder), or one that
// would become an input's name. The single `IN OUT` may replace IN; a batch never
// does, since its inputs are read by processes running side by side with the writing.
int CheckBatchOutputs(const Options& options, const std::vector<std::string>& outputs) {
    std::map<FileIdentity, std::size_t> inputs;
    for (std::size_t i = 0; i < options.inputs.size(); ++i) {
        const FileIdentity identity = IdentityOf(options.inputs[i]);
        if (identity.known) inputs.emplace(identity, i);
    }
    for (std::size_t i = 0; i < outputs.size(); ++i) {
        const FileIdentity identity = IdentityOf(outputs[i]);
        const auto found = identity.known ? inputs.find(identity) : inputs.end();
        if (found == inputs.end()) continue;
        const std::string& input = options.inputs[found->second];
        return Fail(kExitUsage, "'" + outputs[i] + "', the output for '" + options.inputs[i] + "', is " +
                                    (found->second == i ? "that input" : "the input '" + input + "'") +
                                    " itself; a batch never writes over its inputs: give another --out-dir or "
                                    "--format. Nothing was written");
    }
    return kExitOk;
}

// Several inputs into the output folder, each in a process of its own (the module
// keeps its state in the process), up to `jobs` at a time. One file's failure is
// reported and the others go on; the status is that of the first file (in the order
// given) that failed.
int FilterMany(const Options& options) {
    struct stat info {};
    if (stat(options.out_dir.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
        return Fail(kExitFailure, "--out-dir '" + options.out_dir + "' is not an existing folder");
    }
    // Two inputs that would become the same output would overwrite each other.
    std::vector<std::string> outputs;
    for (const std::string& input : options.inputs) {
        outputs.push_back(OutputNameFor(options, input));
        for (std::size_t i = 0; i + 1 < outputs.size(); ++i) {
            if (outputs[i] == outputs.back()) {
                return Fail(kExitUsage, "'" + options.inputs[i] + "' and '" + input + "' would both be written to '" +
                                            outputs.back() + "'");
            }
        }
    }
    if (int status = CheckBatchOutputs(options, outputs); status != kExitOk) return status;
    const long cores = sysconf(_SC_NPROCESSORS_ONLN);
    const std::size_t jobs = std::min(
        kMaxBatchJobs, static_cast<std::size_t>(options.jobs > 0 ? options.jobs : std::max(1L, cores)));
    // Files side by side share the cores: each filter gets its part of them, unless -t
    // or the environment says otherwise.
    int share = 0;
    if (!options.threads && std::getenv("TESSELLON_THREADS") == nullptr) {
        share = static_cast<int>(
            std::max(1L, std::max(1L, cores) / static_cast<long>(std::min<std::size_t>(jobs, options.inputs.size()))));
    }

    // Notes on options that do nothing are said once for the whole batch.
    const RunSettings prepared = PrepareSettings(options);
    for (const std::string& note : IdleOptionNotes(options, FitIsOn(prepared), FormatOf(options, outputs.front()))) {
        Say(note);
    }

    // An interrupt reaches every process of the group: the running files stop on their
    // own, no new one starts, and the program ends once they have.
    InterruptHandler interrupts(OnBatchInterrupt);

    // Each file's messages come back through a pipe of its own, so that they reach the
    // user as whole lines, one file after the other, between the lines of the bar.
    const bool terminal = StderrIsTerminal();
    const auto clock_start = std::chrono::steady_clock::now();
    std::vector<int> statuses(options.inputs.size(), kExitOk);
    struct Running {
        pid_t pid;
        std::size_t input;
        std::size_t slot;
        int messages;  // the reading end of the file's standard error
        std::string text;
        std::chrono::steady_clock::time_point started;
    };
    std::vector<Running> running;
    std::vector<bool> slot_used(jobs, false);
    std::size_t next = 0, done = 0, failed = 0;
    const std::size_t total = options.inputs.size();
    const auto seconds_since = [](std::chrono::steady_clock::time_point from) {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - from).count();
    };
    const auto draw_bar = [&]() {
        if (!terminal) return;
        std::fprintf(stderr, "\r%s %zu/%zu files", ProgressLine(static_cast<std::int64_t>(done + failed),
                                                               static_cast<std::int64_t>(total), 30).c_str(),
                     done + failed, total);
        std::fflush(stderr);
    };
    const auto clear_bar = [&]() {
        if (terminal) std::fputs("\r\033[K", stderr);
    };
    // A file has ended: its messages, then its line (the size and time written, or
    // that it failed).
    const auto report = [&](Running& file, int status) {
        clear_bar();
        std::optional<Written> size;
        std::size_t from = 0;
        while (from < file.text.size()) {
            std::size_t end = file.text.find('\n', from);
            if (end == std::string::npos) end = file.text.size();
            const std::string line = file.text.substr(from, end - from);
            from = end + 1;
            Written w;
            if (!line.empty() && line[0] == kWrittenMark) {
                if (std::sscanf(line.c_str() + 1, "%d %d", &w.width, &w.height) == 2) size = w;
            } else if (!line.empty()) {
                std::fprintf(stderr, "%s\n", line.c_str());
            }
        }
        char time[32];
        std::snprintf(time, sizeof time, "%.2f s", seconds_since(file.started));
        const std::string& input = options.inputs[file.input];
        if (status == kExitOk) {
            ++done;
            std::fprintf(stderr, "tessellon: '%s' -> '%s': %s, %s\n", input.c_str(), outputs[file.input].c_str(),
                         size ? SizeWords(size->width, size->height).c_str() : "written", time);
        } else {
            ++failed;
            std::fprintf(stderr, "tessellon: '%s' %s (status %d), %s\n", input.c_str(),
                         status == kExitCancelled ? "cancelled" : "failed", status, time);
        }
        draw_bar();
    };
    // Reads what the files said so far, waiting up to `milliseconds` for any of it; an
    // interrupt cuts the wait short.
    const auto read_messages = [&](int milliseconds) {
        std::vector<pollfd> fds;
        for (const Running& file : running) fds.push_back({file.messages, POLLIN, 0});
        if (poll(fds.data(), fds.size(), milliseconds) <= 0) return;
        for (std::size_t i = 0; i < fds.size(); ++i) {
            if ((fds[i].revents & (POLLIN | POLLHUP)) == 0) continue;
            char buffer[4096];
            const ssize_t got = read(running[i].messages, buffer, sizeof buffer);
            if (got > 0) running[i].text.append(buffer, static_cast<std::size_t>(got));
        }
    };
    // Reaps the files that have ended. A process's slot is cleared, with the signals
    // held back, before the process is reaped, so that the handler never signals a pid
    // that has been given to another process.
    const auto reap_ended = [&]() {
        for (std::size_t i = 0; i < running.size();) {
            int status = 0;
            bool ended = false;
            {
                const InterruptsHeld held;
                siginfo_t ended_info{};
                if (waitid(P_PID, static_cast<id_t>(running[i].pid), &ended_info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
                    ended_info.si_pid == running[i].pid) {
                    batch_children[running[i].slot] = 0;
                    slot_used[running[i].slot] = false;
                    waitpid(running[i].pid, &status, 0);
                    ended = true;
                }
            }
            if (!ended) {
                ++i;
                continue;
            }
            // The process has gone and with it the pipe's writing end: the rest of its
            // messages are read to the end.
            char buffer[4096];
            for (;;) {
                const ssize_t got = read(running[i].messages, buffer, sizeof buffer);
                if (got > 0) {
                    running[i].text.append(buffer, static_cast<std::size_t>(got));
                } else if (got == 0 || errno != EINTR) {
                    break;
                }
            }
            close(running[i].messages);
            const int result = WIFEXITED(status) ? WEXITSTATUS(status)
                               : WIFSIGNALED(status) && (WTERMSIG(status) == SIGINT || WTERMSIG(status) == SIGTERM)
                                   ? kExitCancelled
                                   : kExitFailure;
            statuses[running[i].input] = result;
            report(running[i], result);
            running.erase(running.begin() + static_cast<std::ptrdiff_t>(i));
        }
    };
    draw_bar();
    while ((next < total && batch_interrupted == 0) || !running.empty()) {
        if (next < total && batch_interrupted == 0 && running.size() < jobs) {
            Options one = options;
            one.input = options.inputs[next];
            one.output = outputs[next];
            const std::size_t slot =
                static_cast<std::size_t>(std::find(slot_used.begin(), slot_used.end(), false) - slot_used.begin());
            int ends[2] = {-1, -1};
            if (pipe(ends) != 0) {
                clear_bar();
                statuses[next] = Fail(kExitFailure, "'" + one.input + "': cannot start a process: " + std::strerror(errno));
                ++failed;
                ++next;
                draw_bar();
                continue;
            }
            std::fflush(nullptr);
            pid_t child = -1;
            {
                // The new process takes the handlers of a single run before any signal
                // reaches it, and its slot is filled before the handler can look.
                const InterruptsHeld held;
                child = fork();
                if (child == 0) {
                    interrupts.Restore();
                } else if (child > 0) {
                    batch_children[slot] = child;
                    slot_used[slot] = true;
                }
            }
            if (child == 0) {
                // The file's messages go into its pipe; the other files' pipes are not its.
                for (const Running& other : running) close(other.messages);
                close(ends[0]);
                dup2(ends[1], STDERR_FILENO);
                close(ends[1]);
                in_batch = true;
                int status = kExitFailure;
                try {
                    status = Filter(one, false, share);
                } catch (const std::bad_alloc&) {
                    status = Fail(kExitFailure, "'" + one.input + "': out of memory");
                }
                if (status == kExitOk) {
                    std::fprintf(stderr, "%c%d %d\n", kWrittenMark, last_written.width, last_written.height);
                }
                std::fflush(nullptr);
                _exit(status);
            }
            close(ends[1]);
            if (child < 0) {
                close(ends[0]);
                clear_bar();
                statuses[next] = Fail(kExitFailure, "'" + one.input + "': cannot start a process: " + std::strerror(errno));
                ++failed;
                draw_bar();
            } else {
                running.push_back({child, next, slot, ends[0], {}, std::chrono::steady_clock::now()});
            }
            ++next;
            continue;
        }
        read_messages(kProgressPollMilliseconds);
        reap_ended();
    }
    interrupts.Restore();
    const std::size_t skipped = total - done - failed;
    if (terminal) {
        clear_bar();
        char summary[160];
        std::snprintf(summary, sizeof summary, "%zu %s: %zu done, %zu failed%s, %.1f s", total,
                      total == 1 ? "file" : "files", done, failed,
                      skipped > 0 ? (", " + std::to_string(skipped) + " not started").c_str() : "",
                      seconds_since(clock_start));
        std::fprintf(stderr, "tessellon: %s\n", summary);
    }
    if (batch_interrupted != 0) return Fail(kExitCancelled, "interrupted; the files not yet started were skipped");
    for (int status : statuses) {
        if (status != kExitOk) return status;
    }
    return kExitOk;
}

// What the program printed must reach standard output: a reader that went away (a
// closed pipe) or a full disk makes the run fail with a message, not end in silence.
int FinishStandardOutput(int status) {
    if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0) {
        const int reason = errno;
        return Fail(status == kExitOk ? kExitFailure : status,
                    std::string("cannot write to standard output: ") + std::strerror(reason != 0 ? reason : EIO));
    }
    return status;
}

int Run(const Options& options) {
    if (options.help) {
        std::fputs(HelpText().c_str(), stdout);
        return kExitOk;
    }
    if (options.version) {
        std::printf("%s %s\n", TESSELLON_NAME, TESSELLON_VERSION);
        return kExitOk;
    }
    if (options.about) return ShowAbout();
    if (!options.Filters()) {
        // --print-settings on its own: nothing is run and nothing saved.
        const RunSettings prepared = PrepareSettings(options);
        for (const std::string& note : IdleOptionNotes(options, FitIsOn(prepared), std::nullopt)) Say(note);
        std::fputs(FormatSettings(prepared, options).c_str(), stdout);
        return kExitOk;
    }
    // Image bytes would only garble a terminal.
    if (options.out_dir.empty() && options.output == "-" && isatty(STDOUT_FILENO) == 1) {
        return Fail(kExitUsage, "standard output is a terminal: use a file name or a pipe for OUT");
    }
    if (!options.out_dir.empty()) return FilterMany(options);
    return Filter(options, StderrIsTerminal(), 0);
}

}  // namespace

int main(int argc, char** argv) {
    // A reader that goes away makes writes fail with EPIPE, which is reported like any
    // failed write, instead of ending the program by the signal.
    signal(SIGPIPE, SIG_IGN);
    // Until a stage sets its own, an interrupt or a termination request ends the program
    // with the cancel status, removing the temporary file being written, if any. A
    // signal ignored when the program started stays ignored.
    const WriteInterruptGuard interrupts;
    tessellon::LoadModule(nullptr, nullptr);
    const std::vector<std::string> arguments(argv + (argc > 0 ? 1 : 0), argv + argc);
    const ParseResult parsed = ParseCommandLine(arguments);
    if (!parsed.ok) {
        Fail(kExitUsage, parsed.error);
        std::fprintf(stderr, "Try 'tessellon --help'.\n");
        return kExitUsage;
    }
    int status = kExitFailure;
    try {
        status = Run(parsed.options);
    } catch (const std::bad_alloc&) {
        status = Fail(kExitFailure, "out of memory");
    }
    return FinishStandardOutput(status);
}
