// The command-line host of the native build. It loads the module the way the operating
// system would and talks to it only through ENTRYPOINT, as an image editor does: it
// reads an image file, repeats the filter with the settings of the command line and
// writes the result.
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
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

// One input to one output: options.input to options.output.
int Filter(const Options& options, bool show_progress) {
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
    // An interrupt while reading ends the program at once: nothing has been written.
    SetInterruptNote("interrupted while reading '" + (options.input == "-" ? "standard input" : options.input) +
                     "'; nothing was written");
    DecodeResult read = ReadInput(options.input, limits);
    SetInterruptNote("interrupted");
    if (!read.ok) {
        progress.Finish();
        return Fail(kExitFailure, read.error);
    }
    for (const std::string& note : read.notes) Say("'" + options.input + "': " + note);
    Image image = std::move(read.image);
    const Metadata metadata = std::move(read.metadata);
    WriteOptions write_options;
    write_options.quality = options.quality;
    write_options.compression = options.compression;
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
    if (int status = CheckWritableAs(options, options.output, image.planes, image.width, image.height);
        status != kExitOk) {
        return status;
    }
    if (!options.tile_preview.empty()) {
        if (int status = CheckWritableAs(options, options.tile_preview, image.planes,
                                         image.width * options.tile_columns, image.height * options.tile_rows);
            status != kExitOk) {
            return status;
        }
        const std::uint64_t bytes = std::uint64_t{static_cast<std::uint32_t>(image.width)} *
                                    static_cast<std::uint32_t>(image.height) *
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

    PrepareSettings(options);
    const RunSettings prepared = CurrentSettings();
    if (options.print_settings) {
        // With the image on standard output the settings go to standard error.
        std::fputs(FormatSettings(options).c_str(), output.standard_output ? stderr : stdout);
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
    if (options.crop) {
        written = TileOf(area.width, area.height);
        written.x += area.x;
        written.y += area.y;
    }
    const FileFormat format = *FormatOf(options, options.output);
    std::optional<WriteInterruptGuard> write_interrupts;
    RowPipeline rows(image.width, image.planes, written.x, written.y, written.width, written.height);
    OutputFile file;
    if (!file.Open(output)) return Fail(kExitFailure, file.Error());
    // A file is encoded while the filter runs, row by row as the rows are finished. A
    // stream (standard output, a pipe) gets its first byte only once the filter has
    // succeeded, so that a refused or cancelled run sends nothing down it.
    std::optional<BackgroundEncoder> encoder;
    if (!output.stream && !output.standard_output) {
        encoder.emplace(format, rows, file, metadata, write_options);
        // The encoder keeps a core busy while the filter runs: the filter takes the
        // others, unless -t or the environment says how many. (More threads than cores
        // make the filter's threads wait for each other.)
        if (format != FileFormat::webp && !options.threads && std::getenv("TESSELLON_THREADS") == nullptr) {
            const long cores = sysconf(_SC_NPROCESSORS_ONLN);
            setenv("TESSELLON_THREADS", std::to_string(std::max(1L, cores - 1)).c_str(), 1);
        }
    }

    progress.Stage("filtering", 25, 75);
    RunResult run;
    std::optional<InterruptGuard> filter_interrupts(std::in_place);
    run = RunFilterOnImage(std::move(image), options, &progress, &rows);
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
    if (!encoder) encoder.emplace(format, rows, file, metadata, write_options);
    while (!encoder->WaitFor(kProgressPollMilliseconds)) progress.Update(rows.RowsTaken(), rows.height());
    std::vector<std::string> notes;
    if (std::string problem = encoder->Join(notes); !problem.empty()) {
        return Fail(kExitFailure, problem.rfind("cannot", 0) == 0 ? problem : "'" + output.name + "': " + problem);
    }
    if (!file.Commit()) return Fail(kExitFailure, file.Error());
    for (const std::string& note : notes) Say("'" + options.output + "': " + note);
    if (!options.tile_preview.empty()) {
        const Image tile = options.crop ? CropTo(run.output, written) : std::move(run.output);
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
    if (options.save) {
        // The run's settings become the saved ones only now that everything succeeded.
        RestoreSettings(prepared);
        // An interrupt waits until the store has been written whole.
        const InterruptsHeld held;
        if (std::string problem = StoreSettings(); !problem.empty()) {
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
    if (!options.threads && std::getenv("TESSELLON_THREADS") == nullptr) {
        const long share = std::max(1L, std::max(1L, cores) / static_cast<long>(std::min<std::size_t>(jobs, options.inputs.size())));
        setenv("TESSELLON_THREADS", std::to_string(share).c_str(), 1);
    }

    // An interrupt reaches every process of the group: the running files stop on their
    // own, no new one starts, and the program ends once they have.
    InterruptHandler interrupts(OnBatchInterrupt);

    std::vector<int> statuses(options.inputs.size(), kExitOk);
    struct Running {
        pid_t pid;
        std::size_t input;
        std::size_t slot;
    };
    std::vector<Running> running;
    std::vector<bool> slot_used(jobs, false);
    std::size_t next = 0;
    // Waits for a file to end (an interrupt cuts the wait short); false when there is
    // none left to wait for.
    const auto reap_one = [&]() {
        siginfo_t ended{};
        if (waitid(P_ALL, 0, &ended, WEXITED | WNOWAIT) != 0) {
            if (errno == EINTR) return true;
            running.clear();
            return false;
        }
        const InterruptsHeld held;
        int status = 0;
        for (auto it = running.begin(); it != running.end(); ++it) {
            if (it->pid != ended.si_pid) continue;
            batch_children[it->slot] = 0;
            slot_used[it->slot] = false;
            waitpid(it->pid, &status, 0);
            statuses[it->input] = WIFEXITED(status) ? WEXITSTATUS(status) : kExitFailure;
            running.erase(it);
            return true;
        }
        waitpid(ended.si_pid, &status, 0);  // not one of ours
        return true;
    };
    while ((next < options.inputs.size() && batch_interrupted == 0) || !running.empty()) {
        if (next < options.inputs.size() && batch_interrupted == 0 && running.size() < jobs) {
            Options one = options;
            one.input = options.inputs[next];
            one.output = outputs[next];
            const std::size_t slot =
                static_cast<std::size_t>(std::find(slot_used.begin(), slot_used.end(), false) - slot_used.begin());
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
                int status = kExitFailure;
                try {
                    status = Filter(one, false);
                } catch (const std::bad_alloc&) {
                    status = Fail(kExitFailure, "'" + one.input + "': out of memory");
                }
                std::fflush(nullptr);
                _exit(status);
            }
            if (child < 0) {
                statuses[next] = Fail(kExitFailure, "'" + one.input + "': cannot start a process: " + std::strerror(errno));
            } else {
                running.push_back({child, next, slot});
            }
            ++next;
            continue;
        }
        if (!reap_one()) break;
    }
    interrupts.Restore();
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
    // The module reads its thread count from the environment, as any host's copy would.
    if (options.threads) setenv("TESSELLON_THREADS", std::to_string(*options.threads).c_str(), 1);
    if (!options.Filters()) {
        // --print-settings on its own: nothing is run and nothing saved.
        PrepareSettings(options);
        std::fputs(FormatSettings(options).c_str(), stdout);
        return kExitOk;
    }
    if (!options.out_dir.empty()) return FilterMany(options);
    return Filter(options, StderrIsTerminal());
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
