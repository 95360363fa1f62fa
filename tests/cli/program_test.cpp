// The command-line host as a whole: the built program run as a child process with a
// settings store of its own, and the run's settings and cancellation in process.
#include <gtest/gtest.h>
#include <zlib.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "cli/image_io.h"
#include "cli/options.h"
#include "cli/output_file.h"
#include "cli/session.h"
#include "tests/support/image_fixtures.h"
#include "filter/definition.h"
#include "resources/version.h"
#include "runtime/context.h"
#include "ui/dialog_model.h"
#include "ui/settings.h"
#include "filter/control_rows.h"

namespace tessellon::cli {
namespace {

namespace fixtures = tessellon::fixtures;

struct Outcome {
    int status = -1;
    std::string out;
    std::string err;
};

std::string ReadText(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

// A scratch directory: the files of a test and the child's settings store.
class ScratchDirectory {
public:
    ScratchDirectory() {
        std::string pattern = ::testing::TempDir() + "tessellon-cli-XXXXXX";
        path_ = mkdtemp(pattern.data()) != nullptr ? pattern : std::string();
    }
    ~ScratchDirectory() {
        std::error_code ignored;
        if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
    }
    ScratchDirectory(const ScratchDirectory&) = delete;
    ScratchDirectory& operator=(const ScratchDirectory&) = delete;
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

// Starts the built program in `directory`, with XDG_CONFIG_HOME pointing into it and
// its output in stdout.txt and stderr.txt there. With `file_size_limit` set, writing a
// file past that many bytes fails as on a full disk (EFBIG).
using Environment = std::vector<std::pair<std::string, std::string>>;

// How the program is started: what StartProgram's arguments say, and what a shell or
// a pipeline may have set up before it.
struct Launch {
    rlim_t file_size_limit = RLIM_INFINITY;
    Environment environment;
    std::string output_prefix;
    std::string standard_input = "/dev/null";
    // Set to be ignored before the program starts, as a shell does with SIGINT for a
    // background job; every other signal starts with its default action.
    std::vector<int> ignored_signals;
    // Standard output a pipe whose reader has gone, as when `| head` has ended.
    bool standard_output_closed = false;
};

pid_t StartProgramWith(const ScratchDirectory& directory, const std::vector<std::string>& arguments,
                       const Launch& launch) {
    const std::string out_path = directory / (launch.output_prefix + "stdout.txt");
    const std::string err_path = directory / (launch.output_prefix + "stderr.txt");
    const std::string config = directory / "config";
    std::vector<std::string> words{TESSELLON_CLI_PATH};
    words.insert(words.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    const pid_t child = fork();
    if (child == 0) {
        const int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int in = open(launch.standard_input.c_str(), O_RDONLY);
        if (in < 0 || out < 0 || err < 0 || dup2(in, 0) < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0 ||
            chdir(directory.path().c_str()) != 0) {
            _exit(126);
        }
        if (launch.standard_output_closed) {
            int ends[2];
            if (pipe(ends) != 0 || close(ends[0]) != 0 || dup2(ends[1], 1) < 0) _exit(126);
            close(ends[1]);
        }
        setenv("XDG_CONFIG_HOME", config.c_str(), 1);
        for (const auto& [name, value] : launch.environment) setenv(name.c_str(), value.c_str(), 1);
        for (const int signal_number : {SIGINT, SIGTERM, SIGPIPE}) signal(signal_number, SIG_DFL);
        for (const int signal_number : launch.ignored_signals) signal(signal_number, SIG_IGN);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        if (launch.file_size_limit != RLIM_INFINITY) {
            signal(SIGXFSZ, SIG_IGN);
            const rlimit limit{launch.file_size_limit, launch.file_size_limit};
            setrlimit(RLIMIT_FSIZE, &limit);
        }
        execv(argv[0], argv.data());
        _exit(127);
    }
    return child;
}

pid_t StartProgram(const ScratchDirectory& directory, const std::vector<std::string>& arguments,
                   rlim_t file_size_limit = RLIM_INFINITY, const Environment& environment = {},
                   const std::string& output_prefix = "", const std::string& standard_input = "/dev/null") {
    Launch launch;
    launch.file_size_limit = file_size_limit;
    launch.environment = environment;
    launch.output_prefix = output_prefix;
    launch.standard_input = standard_input;
    return StartProgramWith(directory, arguments, launch);
}

// Waits for the program; a program ended by a signal gets 128 + the signal's number.
Outcome WaitProgram(const ScratchDirectory& directory, pid_t child, const std::string& output_prefix = "") {
    Outcome outcome;
    int status = 0;
    if (child > 0 && waitpid(child, &status, 0) == child) {
        if (WIFEXITED(status)) outcome.status = WEXITSTATUS(status);
        if (WIFSIGNALED(status)) outcome.status = 128 + WTERMSIG(status);
    }
    outcome.out = ReadText(directory / (output_prefix + "stdout.txt"));
    outcome.err = ReadText(directory / (output_prefix + "stderr.txt"));
    return outcome;
}

Outcome RunProgram(const ScratchDirectory& directory, const std::vector<std::string>& arguments,
                   rlim_t file_size_limit = RLIM_INFINITY, const Environment& environment = {}) {
    return WaitProgram(directory, StartProgram(directory, arguments, file_size_limit, environment));
}

// The names in a directory, for finding files left behind.
std::vector<std::string> Entries(const std::string& path) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(path)) names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    return names;
}

bool IsTemporary(const std::string& name) { return name.find(".tessellon-") != std::string::npos; }

// The value printed by --print-settings after "Caption:".
std::string Setting(const std::string& printed, const std::string& caption) {
    const std::size_t at = printed.find(caption + ":");
    if (at == std::string::npos) return "(absent)";
    const std::size_t start = printed.find_first_not_of(' ', at + caption.size() + 1);
    return printed.substr(start, printed.find('\n', start) - start);
}

// Red x, green y: no two columns alike.
Image Gradient(int width, int height) {
    Image image(width, height, 3);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            image.At(x, y, 0) = static_cast<std::uint8_t>(x * 6);
            image.At(x, y, 1) = static_cast<std::uint8_t>(y * 8);
            image.At(x, y, 2) = 40;
        }
    }
    return image;
}

TEST(CliProgramTest, CommandLinesGiveTheirStatusAndMessage) {
    ScratchDirectory directory;
    ASSERT_FALSE(directory.path().empty());
    ASSERT_EQ(WriteImageFile(directory / "in.ppm", Gradient(8, 6)), "");
    std::ofstream(directory / "notes.txt") << "not an image";
    std::ofstream(directory / "cut.png") << "\x89PNG\r\n\x1a\n";  // the signature and nothing more

    struct Case {
        std::vector<std::string> arguments;
        int status;
        const char* message;  // in stdout or stderr
    };
    const Case cases[] = {
        {{"--version"}, kExitOk, "Tessellon " TESSELLON_VERSION},
        {{"--help"}, kExitOk, "--overlap-x N"},
        {{"missing.png", "out.png"}, kExitFailure, "cannot read 'missing.png': No such file or directory"},
        {{"notes.txt", "out.png"}, kExitFailure, "unsupported format"},
        {{"cut.png", "out.png"}, kExitFailure, "damaged PNG file"},
        {{"in.ppm", "out.gif"}, kExitUsage, "'out.gif': unsupported output format"},
        {{"in.ppm", "out.png", "--fade", "101"}, kExitUsage, "--fade: 101 is outside Fade: 0..100"},
        {{"in.ppm", "out.png", "--nope"}, kExitUsage, "unknown option: --nope"},
        {{"in.ppm", "out.png", "--selection", "4,0,5,1"}, kExitUsage, "does not lie inside the 8x6 image"},
        {{"in.ppm", "out.ppm", "--alpha"}, kExitUsage, "a PPM file holds no alpha plane"},
        {{"in.ppm", "out.png", "--max-space", "100"}, kExitRefused, "too large for the filter to take in one pass"},
    };
    for (const Case& c : cases) {
        std::string joined;
        for (const std::string& a : c.arguments) joined += a + " ";
        SCOPED_TRACE(joined);
        const Outcome outcome = RunProgram(directory, c.arguments);
        EXPECT_EQ(outcome.status, c.status) << outcome.err;
        EXPECT_NE((outcome.out + outcome.err).find(c.message), std::string::npos) << outcome.out << outcome.err;
        if (c.status != kExitOk) {
            EXPECT_FALSE(std::filesystem::exists(directory / "out.png"));
        }
    }
    const Outcome strips = RunProgram(directory, {"in.ppm", "out.png", "--max-space", "100", "--allow-strips"});
    EXPECT_EQ(strips.status, kExitOk) << strips.err;
    EXPECT_TRUE(std::filesystem::exists(directory / "out.png"));
}

TEST(CliProgramTest, FiltersAFileAndSavesTheSettingsWhenAsked) {
    ScratchDirectory directory;
    ASSERT_FALSE(directory.path().empty());

    // Starting points: the tile preset by default, the filter's defaults, and the saved
    // settings, which on a first run hold no colours: the filter's colour entry is black.
    const Outcome preset = RunProgram(directory, {"--print-settings"});
    ASSERT_EQ(preset.status, kExitOk) << preset.err;
    EXPECT_EQ(Setting(preset.out, "Overlap X"), "20");
    EXPECT_EQ(Setting(preset.out, "Overlap Y"), "20");
    EXPECT_EQ(Setting(preset.out, "Fit"), "off");
    EXPECT_EQ(Setting(preset.out, "Colour"), "EB4BE9");
    const std::string filter = RunProgram(directory, {"--print-settings", "--preset", "filter"}).out;
    EXPECT_EQ(Setting(filter, "Overlap X"), "0");
    EXPECT_EQ(Setting(filter, "Fit"), "off");
    EXPECT_EQ(RunProgram(directory, {"--print-settings", "--defaults"}).out, filter);
    const Outcome first = RunProgram(directory, {"--print-settings", "--saved"});
    ASSERT_EQ(first.status, kExitOk) << first.err;
    EXPECT_EQ(Setting(first.out, "Colour"), "000000");
    EXPECT_EQ(Setting(first.out, "Fade"), "50");
    EXPECT_FALSE(std::filesystem::exists(directory / "config/Dravik-Vextrel/Kinsel Pro/Tessellon/.values"));

    const Image input = Gradient(40, 30);
    ASSERT_EQ(WriteImageFile(directory / "in.ppm", input), "");
    // Overlap X 50: the tile is the left half; the right half lies outside it.
    const Outcome run =
        RunProgram(directory, {"in.ppm", "out.png", "--defaults", "--overlap-x=50", "--colour", "00FF00", "--alpha",
                               "--tile-preview", "preview.pam", "--tiles", "3x2", "--save"});
    ASSERT_EQ(run.status, kExitOk) << run.err;
    EXPECT_EQ(run.err, "") << "no progress bar when stderr is no terminal";
    const DecodeResult out = ReadImageFile(directory / "out.png");
    ASSERT_TRUE(out.ok) << out.error;
    ASSERT_EQ(out.image.planes, 4);
    ASSERT_EQ(out.image.width, 40);
    EXPECT_NE(out.image, WithOpaqueAlpha(input));
    const std::uint8_t outside[4] = {0, 255, 0, 0};  // the colour given, transparent
    for (int plane = 0; plane < 4; ++plane) EXPECT_EQ(out.image.At(35, 10, plane), outside[plane]) << plane;
    EXPECT_EQ(out.image.At(5, 10, 3), 255) << "inside the tile: opaque";
    const DecodeResult preview = ReadImageFile(directory / "preview.pam");
    ASSERT_TRUE(preview.ok) << preview.error;
    EXPECT_EQ(preview.image, Tiled(out.image, 3, 2));

    // The run saved its settings; a --saved run starts from them, any other does not.
    EXPECT_EQ(RunProgram(directory, {"--print-settings"}).out, preset.out);
    const Outcome after = RunProgram(directory, {"--print-settings", "--saved"});
    EXPECT_EQ(Setting(after.out, "Overlap X"), "50");
    EXPECT_EQ(Setting(after.out, "Colour"), "00FF00");
    EXPECT_EQ(Setting(after.out, "Fade"), "50");
}

// Noise compresses badly, so its PNG takes a while to write and grows steadily.
Image Noise(int width, int height) {
    Image image(width, height, 3);
    std::uint32_t state = 12345;
    for (std::uint8_t& byte : image.bytes) {
        state = state * 1664525u + 1013904223u;
        byte = static_cast<std::uint8_t>(state >> 24);
    }
    return image;
}

// Mean difference between neighbouring pixels across the picture's wrap-around edges
// (last column to first, last row to first) and between neighbours inside it.
struct Seams {
    double across_edges = 0;
    double inside = 0;
};

Seams MeasureSeams(const Image& image) {
    const auto difference = [&image](int x0, int y0, int x1, int y1) {
        int sum = 0;
        for (int p = 0; p < 3; ++p) sum += std::abs(image.At(x0, y0, p) - image.At(x1, y1, p));
        return sum;
    };
    double edges = 0, inside = 0;
    long edge_count = 0, inside_count = 0;
    for (int y = 0; y < image.height; ++y) {
        edges += difference(image.width - 1, y, 0, y);
        ++edge_count;
        for (int x = 1; x < image.width; ++x, ++inside_count) inside += difference(x - 1, y, x, y);
    }
    for (int x = 0; x < image.width; ++x) {
        edges += difference(x, image.height - 1, x, 0);
        ++edge_count;
        for (int y = 1; y < image.height; ++y, ++inside_count) inside += difference(x, y - 1, x, y);
    }
    return {edges / static_cast<double>(edge_count), inside / static_cast<double>(inside_count)};
}

TEST(CliProgramTest, ARunStartsFromAPresetAndLeavesTheSavedSettingsAlone) {
    ScratchDirectory directory;
    ASSERT_FALSE(directory.path().empty());
    const DecodeResult sample = ReadImageFile(TESSELLON_SAMPLE_IMAGE);
    ASSERT_TRUE(sample.ok) << sample.error;
    ASSERT_EQ(WriteImageFile(directory / "in.ppm", sample.image), "");

    // The bare command makes a seamless tile at the input's resolution, written alone:
    // 320 less 320 * 20 / 100 wide, 240 less 240 * 20 / 100 high, and says so.
    const Outcome bare = RunProgram(directory, {"in.ppm", "tile.ppm"});
    ASSERT_EQ(bare.status, kExitOk) << bare.err;
    EXPECT_EQ(bare.err, "tessellon: wrote the 256 \u00D7 192 tile: the picture less the overlap; --fit keeps "
                        "320 \u00D7 240\n");
    const DecodeResult tile = ReadImageFile(directory / "tile.ppm");
    ASSERT_TRUE(tile.ok) << tile.error;
    ASSERT_EQ(tile.image.width, 256);
    ASSERT_EQ(tile.image.height, 192);
    const Seams before = MeasureSeams(sample.image);
    const Seams after = MeasureSeams(tile.image);
    EXPECT_GT(before.across_edges, before.inside * 1.5) << "the photograph's own edges do not meet";
    EXPECT_LE(after.across_edges, after.inside) << "the tile's edges meet as smoothly as its neighbours do";
    // Away from the blended margins (the overlap, 64 × 48, is blended over the near
    // edges) every pixel is the photograph's own: nothing is resampled.
    long differing = 0, compared = 0;
    for (int y = 48; y < 192; ++y) {
        for (int x = 64; x < 256; ++x, ++compared) {
            for (int p = 0; p < 3; ++p) differing += tile.image.At(x, y, p) != sample.image.At(x, y, p) ? 1 : 0;
        }
    }
    EXPECT_GT(compared, 20000);
    EXPECT_EQ(differing, 0) << "the tile's inside is the source's pixels";

    // --fit keeps the picture's size by stretching the tile over it; --fit with --crop
    // contradict each other.
    const Outcome fitted = RunProgram(directory, {"in.ppm", "fit.ppm", "--fit"});
    ASSERT_EQ(fitted.status, kExitOk) << fitted.err;
    EXPECT_EQ(fitted.err, "");
    const DecodeResult fit = ReadImageFile(directory / "fit.ppm");
    ASSERT_TRUE(fit.ok) << fit.error;
    EXPECT_EQ(fit.image.width, 320);
    EXPECT_EQ(fit.image.height, 240);
    const Seams fit_seams = MeasureSeams(fit.image);
    EXPECT_LE(fit_seams.across_edges, fit_seams.inside);
    // --no-crop writes the whole filtered picture, the tile at the same place in it.
    const Outcome whole = RunProgram(directory, {"in.ppm", "whole.ppm", "--no-crop"});
    ASSERT_EQ(whole.status, kExitOk) << whole.err;
    const DecodeResult whole_image = ReadImageFile(directory / "whole.ppm");
    ASSERT_TRUE(whole_image.ok) << whole_image.error;
    EXPECT_EQ(whole_image.image.width, 320);
    EXPECT_EQ(CropTo(whole_image.image, TileBounds{0, 0, 256, 192}), tile.image);

    // Settings that change nothing are named as such.
    const Outcome unchanged = RunProgram(directory, {"in.ppm", "same.ppm", "--preset", "filter"});
    EXPECT_EQ(unchanged.status, kExitOk);
    EXPECT_NE(unchanged.err.find("the picture comes out unchanged: with both overlaps 0"), std::string::npos)
        << unchanged.err;

    // --crop writes the tile alone when Fit is off: 320 - 320 * 30 / 100 = 224 wide, and
    // for a negative overlap 240 - 240 * 25 / 100 = 180 high.
    const Outcome cropped =
        RunProgram(directory, {"in.ppm", "crop.ppm", "--no-fit", "--overlap-x", "30", "--overlap-y", "-25", "--crop",
                               "--tile-preview", "crop-2x2.ppm"});
    ASSERT_EQ(cropped.status, kExitOk) << cropped.err;
    const DecodeResult crop = ReadImageFile(directory / "crop.ppm");
    ASSERT_TRUE(crop.ok) << crop.error;
    EXPECT_EQ(crop.image.width, 224);
    EXPECT_EQ(crop.image.height, 180);
    const Seams crop_seams = MeasureSeams(crop.image);
    EXPECT_LE(crop_seams.across_edges, crop_seams.inside * 1.2) << "no band of colour in the cropped tile";

    // Runs in parallel with different settings each get their own; no settings store is
    // written, and none needs to be writable.
    const Environment no_home{{"HOME", "/proc/no-home"}, {"XDG_CONFIG_HOME", "/proc/no-config"}};
    const pid_t first = StartProgram(directory, {"in.ppm", "a.ppm", "--overlap-x", "10"}, RLIM_INFINITY, no_home, "a-");
    const pid_t second = StartProgram(directory, {"in.ppm", "b.ppm", "--overlap-x", "40", "--seam", "wave"},
                                      RLIM_INFINITY, no_home, "b-");
    EXPECT_EQ(WaitProgram(directory, first, "a-").status, kExitOk);
    EXPECT_EQ(WaitProgram(directory, second, "b-").status, kExitOk);
    ASSERT_EQ(RunProgram(directory, {"in.ppm", "a-alone.ppm", "--overlap-x", "10"}).status, kExitOk);
    EXPECT_EQ(ReadText(directory / "a.ppm"), ReadText(directory / "a-alone.ppm"));
    EXPECT_NE(ReadText(directory / "a.ppm"), ReadText(directory / "b.ppm"));
    EXPECT_FALSE(std::filesystem::exists(directory / "config"));
    const Outcome saving = RunProgram(directory, {"in.ppm", "c.ppm", "--save"}, RLIM_INFINITY, no_home);
    EXPECT_EQ(saving.status, kExitFailure) << "--save needs a store";
    EXPECT_NE(saving.err.find("cannot save the filter's settings"), std::string::npos) << saving.err;

    // Only one starting point.
    EXPECT_EQ(RunProgram(directory, {"in.ppm", "d.ppm", "--saved", "--preset", "tile"}).status, kExitUsage);
}

TEST(CliProgramTest, StandardStreamsAndManyFiles) {
    ScratchDirectory directory;
    ASSERT_FALSE(directory.path().empty());
    const Image input = Gradient(40, 30);
    ASSERT_EQ(WriteImageFile(directory / "a.ppm", input), "");
    ASSERT_EQ(WriteImageFile(directory / "c.pam", WithOpaqueAlpha(input)), "");
    std::ofstream(directory / "b.ppm") << "not an image";
    std::filesystem::create_directory(directory / "out");

    // "-" in and out: the image read from standard input and written to standard output.
    const pid_t piped = StartProgram(directory, {"-", "-", "--format", "pam"}, RLIM_INFINITY, {}, "", directory / "a.ppm");
    const Outcome streamed = WaitProgram(directory, piped);
    ASSERT_EQ(streamed.status, kExitOk) << streamed.err;
    ASSERT_EQ(RunProgram(directory, {"a.ppm", "a-file.pam"}).status, kExitOk);
    EXPECT_EQ(streamed.out, ReadText(directory / "a-file.pam"));
    EXPECT_EQ(RunProgram(directory, {"a.ppm", "-"}).status, kExitUsage) << "standard output needs --format";
    EXPECT_EQ(RunProgram(directory, {"a.ppm", "out.bin", "--format", "ppm"}).status, kExitOk);
    EXPECT_TRUE(ReadImageFile(directory / "out.bin").ok) << "--format wins over the extension";

    // Three files, one of them unreadable: the others are written, the status says so.
    const Outcome many = RunProgram(directory, {"a.ppm", "b.ppm", "c.pam", "--out-dir", "out", "-j", "2"});
    EXPECT_EQ(many.status, kExitFailure);
    EXPECT_NE(many.err.find("'b.ppm': unsupported format"), std::string::npos) << many.err;
    // Off a terminal: one plain line per file, no bar and no summary.
    EXPECT_NE(many.err.find("tessellon: 'a.ppm' -> 'out/a.ppm': 32 \u00D7 24, "), std::string::npos) << many.err;
    EXPECT_NE(many.err.find("tessellon: 'c.pam' -> 'out/c.pam': 32 \u00D7 24, "), std::string::npos) << many.err;
    EXPECT_NE(many.err.find("tessellon: 'b.ppm' failed (status 1)"), std::string::npos) << many.err;
    EXPECT_EQ(many.err.find('\r'), std::string::npos) << many.err;
    EXPECT_EQ(many.err.find("files:"), std::string::npos) << many.err;
    EXPECT_EQ(Entries(directory / "out"), (std::vector<std::string>{"a.ppm", "c.pam"}));
    const DecodeResult a = ReadImageFile(directory / "out/a.ppm");
    ASSERT_TRUE(a.ok) << a.error;
    const DecodeResult a_alone = ReadImageFile(directory / "a-file.pam");
    EXPECT_EQ(a.image, a_alone.image) << "each file as a run of its own makes it";
    EXPECT_EQ(RunProgram(directory, {"a.ppm", "c.pam", "--out-dir", "out", "--format", "png"}).status, kExitOk);
    EXPECT_TRUE(std::filesystem::exists(directory / "out/c.png"));
    EXPECT_EQ(RunProgram(directory, {"a.ppm", "sub/../a.ppm", "--out-dir", "out"}).status, kExitUsage)
        << "two inputs of one name would overwrite each other";
    EXPECT_EQ(RunProgram(directory, {"a.ppm", "--out-dir", "missing"}).status, kExitFailure);
}

// A small ICC profile header for RGB data, enough for the readers to keep it.
std::vector<std::uint8_t> TestProfile() {
    std::vector<std::uint8_t> profile(196, 0);
    profile[3] = 196;  // the size, big-endian
    profile[8] = 2;
    profile[9] = 0x10;
    std::memcpy(&profile[12], "mntrRGB XYZ ", 12);
    std::memcpy(&profile[36], "acsp", 4);
    // The D50 white point, which libpng checks.
    const std::uint8_t white[12] = {0, 0, 0xF6, 0xD6, 0, 1, 0, 0, 0, 0, 0xD3, 0x2D};
    std::memcpy(&profile[68], white, sizeof white);
    for (std::size_t i = 132; i < profile.size(); ++i) profile[i] = static_cast<std::uint8_t>(i * 5);
    return profile;
}

TEST(CliProgramTest, EveryFormatAndItsColourProfileGoThroughTheProgram) {
    ScratchDirectory directory;
    ASSERT_FALSE(directory.path().empty());
    Metadata metadata;
    metadata.icc = TestProfile();
    OutputTarget target;
    ASSERT_EQ(ResolveOutput(directory / "in.png", target), "");
    ASSERT_EQ(WriteImageFile(target, FileFormat::png, Gradient(40, 30), metadata), "");
    ASSERT_EQ(ReadImageFile(directory / "in.png").metadata.icc, metadata.icc) << "the test's own input";

    struct Case {
        const char* output;
        bool keeps_profile;
    };
    for (const Case& c : {Case{"out.png", true}, Case{"out.jpg", true}, Case{"out.webp", true},
                          Case{"out.tif", true}, Case{"out.ppm", false}, Case{"out.pam", false}}) {
        SCOPED_TRACE(c.output);
        const Outcome outcome = RunProgram(directory, {"in.png", c.output});
        ASSERT_EQ(outcome.status, kExitOk) << outcome.err;
        const DecodeResult result = ReadImageFile(directory / c.output);
        ASSERT_TRUE(result.ok) << result.error;
        EXPECT_EQ(result.image.width, 32) << "the tile: 40 less 40 * 20 / 100";
        EXPECT_EQ(result.image.height, 24);
        if (c.keeps_profile) {
            EXPECT_EQ(result.metadata.icc, metadata.icc);
            EXPECT_EQ(outcome.err, "tessellon: wrote the 32 \u00D7 24 tile: the picture less the overlap; --fit keeps 40 \u00D7 30\n")
                << "the size note and nothing else";
        } else {
            EXPECT_TRUE(result.metadata.icc.empty());
            EXPECT_NE(outcome.err.find("the ICC profile was dropped"), std::string::npos) << outcome.err;
        }
        // The same through standard input and output.
        const std::string extension = std::string(c.output).substr(4);
        const pid_t piped = StartProgram(directory, {"-", "-", "--format", extension}, RLIM_INFINITY, {}, "piped-",
                                         directory / c.output);
        const Outcome streamed = WaitProgram(directory, piped, "piped-");
        ASSERT_EQ(streamed.status, kExitOk) << streamed.err;
        const DecodeResult again =
            DecodeImage(std::vector<std::uint8_t>(streamed.out.begin(), streamed.out.end()));
        ASSERT_TRUE(again.ok) << again.error;
        EXPECT_EQ(again.image.width, 26) << "the tile of the 32-wide tile";
    }
    EXPECT_EQ(RunProgram(directory, {"in.png", "out.jpg", "--alpha"}).status, kExitUsage)
        << "a JPEG file holds no alpha plane";
}

TEST(CliProgramTest, AFailedWriteLeavesEveryFileAsItWas) {
    // Each case fails its write (the file size limit stands in for a full disk), then
    // runs again without the limit and succeeds.
    struct Case {
        const char* name;
        const char* output;
        const char* replaced;  // the file that the output replaces
    };
    const Case cases[] = {
        {"output is the input", "in.ppm", "in.ppm"},
        {"output exists", "old.ppm", "old.ppm"},
        {"output is a link", "link.ppm", "old.ppm"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScratchDirectory directory;
        ASSERT_FALSE(directory.path().empty());
        ASSERT_EQ(WriteImageFile(directory / "in.ppm", Gradient(40, 30)), "");
        ASSERT_EQ(WriteImageFile(directory / "old.ppm", Gradient(30, 40)), "");
        std::filesystem::create_symlink("old.ppm", directory / "link.ppm");
        const std::string input_bytes = ReadText(directory / "in.ppm");
        const std::string old_bytes = ReadText(directory / "old.ppm");
        const std::string settings_before = RunProgram(directory, {"--print-settings", "--saved"}).out;
        const std::vector<std::string> files_before = Entries(directory.path());

        const Outcome failed = RunProgram(directory, {"in.ppm", c.output, "--overlap-x", "50", "--save"}, 1024);
        EXPECT_EQ(failed.status, kExitFailure);
        EXPECT_NE(failed.err.find(std::string("cannot write '") + c.output + "': File too large"), std::string::npos)
            << failed.err;
        EXPECT_EQ(ReadText(directory / "in.ppm"), input_bytes);
        EXPECT_EQ(ReadText(directory / "old.ppm"), old_bytes);
        EXPECT_TRUE(std::filesystem::is_symlink(directory / "link.ppm"));
        EXPECT_EQ(Entries(directory.path()), files_before) << "nothing added, nothing removed";
        EXPECT_EQ(RunProgram(directory, {"--print-settings", "--saved"}).out, settings_before)
            << "settings saved by a failed run";

        const Outcome done = RunProgram(directory, {"in.ppm", c.output, "--overlap-x", "50", "--save"});
        ASSERT_EQ(done.status, kExitOk) << done.err;
        const DecodeResult written = ReadImageFile(directory / c.replaced);
        ASSERT_TRUE(written.ok) << written.error;
        EXPECT_EQ(written.image.width, 20) << "the result, the tile 40 less the overlap, took the place of the old file";
        EXPECT_TRUE(std::filesystem::is_symlink(directory / "link.ppm")) << "the link itself stays a link";
        EXPECT_EQ(Entries(directory.path()), files_before);
        EXPECT_EQ(Setting(RunProgram(directory, {"--print-settings", "--saved"}).out, "Overlap X"), "50");
    }
}

TEST(CliProgramTest, AnInterruptOrKillWhileWritingLeavesTheOldFile) {
    struct Case {
        int signal;
        int status;
    };
    for (const Case& c : {Case{SIGINT, kExitCancelled}, Case{SIGTERM, kExitCancelled}, Case{SIGKILL, 128 + SIGKILL}}) {
        SCOPED_TRACE(strsignal(c.signal));
        ScratchDirectory directory;
        ASSERT_FALSE(directory.path().empty());
        ASSERT_EQ(WriteImageFile(directory / "in.ppm", Noise(2400, 2000)), "");
        ASSERT_EQ(WriteImageFile(directory / "out.png", Gradient(8, 6)), "");
        const std::string old_bytes = ReadText(directory / "out.png");

        const pid_t child = StartProgram(directory, {"in.ppm", "out.png"});
        // Waits until the new file has grown past 2 MB, then sends the signal.
        bool caught = false;
        const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(120);
        while (!caught && std::chrono::steady_clock::now() < give_up && waitpid(child, nullptr, WNOHANG) == 0) {
            for (const std::string& name : Entries(directory.path())) {
                struct stat info {};
                if (IsTemporary(name) && stat((directory / name).c_str(), &info) == 0 && info.st_size > (2 << 20)) {
                    caught = true;
                }
            }
            if (!caught) usleep(1000);
        }
        ASSERT_TRUE(caught) << "the temporary file never grew past 2 MB";
        kill(child, c.signal);
        const Outcome outcome = WaitProgram(directory, child);
        EXPECT_EQ(outcome.status, c.status) << outcome.err;
        EXPECT_EQ(ReadText(directory / "out.png"), old_bytes);
        if (c.signal != SIGKILL) {
            EXPECT_NE(outcome.err.find("interrupted while writing 'out.png'; the file was left as it was"),
                      std::string::npos)
                << outcome.err;
            for (const std::string& name : Entries(directory.path())) EXPECT_FALSE(IsTemporary(name)) << name;
        } else {
            // The killed run's temporary file is removed by the next run that writes the
            // same file; one of a living process, and other names, are left alone.
            const std::string living = ".out.png.tessellon-" + std::to_string(getpid()) + "-0";
            std::ofstream(directory / living) << "in use";
            std::ofstream(directory / ".out.png.tessellon-notes") << "not ours";
            ASSERT_EQ(RunProgram(directory, {"--selection", "0,0,8,8", "in.ppm", "out.png"}).status, kExitOk);
            std::vector<std::string> left;
            for (const std::string& name : Entries(directory.path())) {
                if (IsTemporary(name)) left.push_back(name);
            }
            EXPECT_EQ(left, (std::vector<std::string>{living, ".out.png.tessellon-notes"}));
        }
    }
}

TEST(CliProgramTest, FilesAndLimitsAreCheckedBeforeAnyWork) {
    ScratchDirectory directory;
    ASSERT_FALSE(directory.path().empty());
    ASSERT_EQ(WriteImageFile(directory / "in.ppm", Gradient(8, 6)), "");
    std::filesystem::create_directory(directory / "folder.png");
    const std::string settings_before = RunProgram(directory, {"--print-settings", "--saved"}).out;

    struct Case {
        std::vector<std::string> arguments;
        int status;
        const char* message;
    };
    const Case cases[] = {
        {{"in.ppm", "none/out.png"}, kExitFailure, "cannot write 'none/out.png': the folder 'none' does not exist"},
        // The output is checked before the input is even opened.
        {{"missing.ppm", "none/out.png"}, kExitFailure, "the folder 'none' does not exist"},
        {{"in.ppm", "folder.png"}, kExitFailure, "cannot write 'folder.png': it is a folder"},
        {{"in.ppm", "out.png", "--tile-preview", "out.png"}, kExitUsage, "names the same file as the output 'out.png'"},
        {{"in.ppm", "out.png", "--tile-preview", "./in.ppm"}, kExitUsage, "names the same file as the input 'in.ppm'"},
        {{"in.ppm", "out.png", "--tile-preview", "none/t.png"}, kExitFailure, "the folder 'none' does not exist"},
        {{"in.ppm", "out.png", "--max-pixels", "47"}, kExitFailure, "8x6 = 48 pixels, more than the limit of 47"},
        {{"in.ppm", "out.png", "--selection", "9223372036854775807,0,1,1"}, kExitUsage, "reaches beyond 32767"},
    };
    for (const Case& c : cases) {
        std::string joined;
        for (const std::string& a : c.arguments) joined += a + " ";
        SCOPED_TRACE(joined);
        std::vector<std::string> arguments = c.arguments;
        arguments.insert(arguments.end(), {"--overlap-y", "30", "--save"});
        const Outcome outcome = RunProgram(directory, arguments);
        EXPECT_EQ(outcome.status, c.status);
        EXPECT_NE(outcome.err.find(c.message), std::string::npos) << outcome.err;
        EXPECT_FALSE(std::filesystem::exists(directory / "out.png"));
    }
    EXPECT_EQ(RunProgram(directory, {"--print-settings", "--saved"}).out, settings_before);
    EXPECT_EQ(RunProgram(directory, {"in.ppm", "out.png", "--max-pixels", "48"}).status, kExitOk);
}

TEST(CliProgramTest, ASettingsStoreThatCannotBeWrittenIsNamedWithItsReason) {
    ScratchDirectory directory;
    ASSERT_FALSE(directory.path().empty());
    ASSERT_EQ(WriteImageFile(directory / "in.ppm", Gradient(8, 6)), "");
    std::string key = directory / "config";
    for (const char* part : {"Dravik-Vextrel", "Kinsel Pro", "Tessellon", ".values"}) key += std::string("/") + part;
    std::filesystem::create_directories(key);  // where the values' file belongs, a folder
    const Outcome outcome = RunProgram(directory, {"in.ppm", "out.png", "--save"});
    EXPECT_EQ(outcome.status, kExitFailure);
    EXPECT_NE(outcome.err.find("the image was written, but cannot save the filter's settings"), std::string::npos)
        << outcome.err;
    EXPECT_NE(outcome.err.find("'" + key + "': Is a directory"), std::string::npos) << outcome.err;
    EXPECT_TRUE(ReadImageFile(directory / "out.png").ok);
}

// Every file and link under a folder with what it holds (a link: where it points), to
// tell that a run changed nothing there.
std::map<std::string, std::string> Snapshot(const std::string& root) {
    std::map<std::string, std::string> files;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
        const std::string relative = entry.path().lexically_relative(root).string();
        if (entry.is_symlink()) {
            files[relative] = "link to " + std::filesystem::read_symlink(entry.path()).string();
        } else if (entry.is_regular_file()) {
            files[relative] = ReadText(entry.path());
        } else {
            files[relative] = "(folder)";
        }
    }
    return files;
}

TEST(CliProgramTest, ABatchThatWouldWriteOverItsInputsIsRefusedBeforeAnyFileChanges) {
    struct Case {
        const char* name;
        std::vector<std::string> arguments;
        const char* message;
        int elsewhere = kExitOk;  // the same inputs into a new folder
    };
    const Case cases[] = {
        {"the inputs' own folder", {"w/d/a.ppm", "w/d/b.pam", "--out-dir", "w/d"},
         "'w/d/a.ppm', the output for 'w/d/a.ppm', is that input itself"},
        {"the second input in its own folder", {"w/src/x.ppm", "w/d/b.pam", "--out-dir", "w/d"},
         "'w/d/b.pam', the output for 'w/d/b.pam', is that input itself"},
        {"the same folder spelled otherwise", {"w/d/a.ppm", "--out-dir", "./w/../w/d/"},
         "'./w/../w/d/a.ppm', the output for 'w/d/a.ppm', is that input itself"},
        {"a link to the folder", {"w/d/a.ppm", "--out-dir", "w/link"},
         "'w/link/a.ppm', the output for 'w/d/a.ppm', is that input itself"},
        {"the format given is the input's", {"w/b.png", "--out-dir", "w", "--format", "png"},
         "'w/b.png', the output for 'w/b.png', is that input itself"},
        {"an output that links to its input", {"w/src/x.ppm", "--out-dir", "w/out"},
         "'w/out/x.ppm', the output for 'w/src/x.ppm', is that input itself"},
        {"an output that links to another input", {"w/d/a.ppm", "w/src/x.ppm", "--out-dir", "w/other"},
         "'w/other/a.ppm', the output for 'w/d/a.ppm', is the input 'w/src/x.ppm' itself"},
        {"an input in the folder under another input's output name", {"w/d/a.ppm", "w/a.ppm", "--out-dir", "w"},
         "would both be written to 'w/a.ppm'", kExitUsage},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScratchDirectory directory;
        ASSERT_FALSE(directory.path().empty());
        for (const char* folder : {"w/d", "w/src", "w/out", "w/other"}) std::filesystem::create_directories(directory / folder);
        ASSERT_EQ(WriteImageFile(directory / "w/d/a.ppm", Gradient(40, 30)), "");
        ASSERT_EQ(WriteImageFile(directory / "w/d/b.pam", WithOpaqueAlpha(Gradient(30, 20))), "");
        ASSERT_EQ(WriteImageFile(directory / "w/b.png", Gradient(20, 10)), "");
        ASSERT_EQ(WriteImageFile(directory / "w/a.ppm", Gradient(10, 10)), "");
        ASSERT_EQ(WriteImageFile(directory / "w/src/x.ppm", Gradient(12, 9)), "");
        std::filesystem::create_directory_symlink("d", directory / "w/link");
        std::filesystem::create_symlink("../src/x.ppm", directory / "w/out/x.ppm");
        std::filesystem::create_symlink("../src/x.ppm", directory / "w/other/a.ppm");
        const std::map<std::string, std::string> before = Snapshot(directory / "w");

        std::vector<std::string> arguments = c.arguments;
        arguments.insert(arguments.end(), {"-j", "2"});
        const Outcome outcome = RunProgram(directory, arguments);
        EXPECT_EQ(outcome.status, kExitUsage) << outcome.err;
        EXPECT_NE(outcome.err.find(c.message), std::string::npos) << outcome.err;
        EXPECT_EQ(Snapshot(directory / "w"), before) << "every file as it was, nothing added";

        // The same inputs into a folder of their own are tiled (unless two of them share
        // a name).
        std::filesystem::create_directory(directory / "fresh");
        std::vector<std::string> elsewhere;
        for (std::size_t i = 0; i < c.arguments.size() && c.arguments[i] != "--out-dir"; ++i) {
            elsewhere.push_back(c.arguments[i]);
        }
        const std::size_t inputs = elsewhere.size();
        elsewhere.insert(elsewhere.end(), {"--out-dir", "fresh"});
        const Outcome fresh = RunProgram(directory, elsewhere);
        EXPECT_EQ(fresh.status, c.elsewhere) << fresh.err;
        if (fresh.status == kExitOk) {
            EXPECT_EQ(Entries(directory / "fresh").size(), inputs);
        }
    }
}

TEST(CliProgramTest, TemporaryNamesFitTheFoldersNameLimit) {
    ScratchDirectory directory;
    ASSERT_FALSE(directory.path().empty());
    const long limit = pathconf(directory.path().c_str(), _PC_NAME_MAX);
    ASSERT_GT(limit, 40);
    const std::string accented = [] {
        std::string text;
        for (int i = 0; i < 200; ++i) text += "\xC3\xA9";  // é, two bytes
        return text;
    }();
    for (std::size_t length = 1; length <= static_cast<std::size_t>(limit); ++length) {
        const std::string ascii(length, 'n');
        const std::string utf8 = accented.substr(0, length - length % 2);
        for (const std::string& name : {ascii, utf8}) {
            if (name.empty()) continue;
            SCOPED_TRACE(name.size());
            const std::string prefix = TemporaryPrefix(directory.path(), name);
            // "<pid>-<n>" follows: up to ten digits, a dash and two digits.
            EXPECT_LE(prefix.size() + 13, static_cast<std::size_t>(limit));
            EXPECT_NE(prefix.find(".tessellon-"), std::string::npos);
            if (prefix.size() + name.size() < static_cast<std::size_t>(limit) - 24) {
                EXPECT_EQ(prefix, "." + name + ".tessellon-") << "a name that fits is kept whole";
            }
            // A name cut short is cut between characters.
            std::size_t at = prefix.find('~');
            if (at != std::string::npos && &name == &utf8) {
                EXPECT_EQ((at - 1) % 2, 0u) << prefix;
            }
        }
    }
    // Long names that differ only at their end still get temporary names of their own.
    const std::string long_a = std::string(250, 'x') + "a.png";
    const std::string long_b = std::string(250, 'x') + "b.png";
    EXPECT_NE(TemporaryPrefix(directory.path(), long_a), TemporaryPrefix(directory.path(), long_b));
}

TEST(CliProgramTest, NamesAsLongAsTheFolderTakesAreWritten) {
    ScratchDirectory directory;
    ASSERT_FALSE(directory.path().empty());
    const long limit = pathconf(directory.path().c_str(), _PC_NAME_MAX);
    if (limit < 255) {
        GTEST_SKIP() << "the test folder's file system takes names of at most " << limit << " bytes, not 255";
    }
    ASSERT_EQ(WriteImageFile(directory / "in.ppm", Gradient(8, 6)), "");
    const std::string longest = std::string(251, 'o') + ".png";  // 255 bytes
    const std::string preview = std::string(251, 'p') + ".ppm";
    std::string accented;
    for (int i = 0; i < 125; ++i) accented += "\xC3\xA9";
    accented += "x.tif";  // 255 bytes, 130 characters
    const std::string too_long = std::string(252, 'q') + ".png";  // 256 bytes
    ASSERT_EQ(longest.size(), 255u);
    ASSERT_EQ(accented.size(), 255u);

    struct Case {
        const char* name;
        std::string output, preview;
        int status;
        const char* message;
    };
    const Case cases[] = {
        {"longest output", longest, "", kExitOk, ""},
        {"longest tile preview", "out.png", preview, kExitOk, ""},
        {"both, one of them in two-byte characters", accented, preview, kExitOk, ""},
        {"tile preview too long", "out.png", too_long, kExitFailure, "File name too long"},
        {"output too long", too_long, "", kExitFailure, "File name too long"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        for (const std::string& name : Entries(directory.path())) {
            if (name != "in.ppm") std::filesystem::remove(directory / name);
        }
        // A temporary file that a killed run left for this output, to be cleared away.
        const std::string stale = TemporaryPrefix(directory.path(), c.output) + "999999999-0";
        if (c.status == kExitOk) std::ofstream(directory / stale) << "left by a killed run";
        std::vector<std::string> arguments{"in.ppm", c.output};
        if (!c.preview.empty()) arguments.insert(arguments.end(), {"--tile-preview", c.preview});
        const Outcome outcome = RunProgram(directory, arguments);
        EXPECT_EQ(outcome.status, c.status) << outcome.err;
        EXPECT_NE(outcome.err.find(c.message), std::string::npos) << outcome.err;
        if (c.status == kExitOk) {
            const DecodeResult written = ReadImageFile(directory / c.output);
            ASSERT_TRUE(written.ok) << written.error;
            EXPECT_EQ(written.image.width, 7) << "the tile: 8 less 8 * 20 / 100";
            if (!c.preview.empty()) {
                EXPECT_EQ(ReadImageFile(directory / c.preview).image.width, 14);
            }
        } else {
            EXPECT_FALSE(std::filesystem::exists(directory / "out.png")) << "checked before any file is written";
        }
        for (const std::string& name : Entries(directory.path())) EXPECT_FALSE(IsTemporary(name)) << name;
    }

    // A batch of inputs with such names.
    std::filesystem::create_directory(directory / "tiles");
    const std::string input = std::string(251, 'b') + ".ppm";
    ASSERT_EQ(WriteImageFile(directory / input, Gradient(8, 6)), "");
    const Outcome batch = RunProgram(directory, {input, "in.ppm", "--out-dir", "tiles"});
    EXPECT_EQ(batch.status, kExitOk) << batch.err;
    EXPECT_EQ(Entries(directory / "tiles"), (std::vector<std::string>{input, "in.ppm"}));
}

TEST(CliProgramTest, MessagesGiveTheReasonAndOnlyAdviceThatHelps) {
    ScratchDirectory directory;
    ASSERT_FALSE(directory.path().empty());
    ASSERT_EQ(WriteImageFile(directory / "in.ppm", Gradient(8, 6)), "");

    // A reader that went away: a status-1 error that says so, never the end by SIGPIPE.
    struct Case {
        std::vector<std::string> arguments;
        const char* message;
    };
    const Case closed[] = {
        {{"in.ppm", "-", "--format", "ppm"}, "cannot write 'standard output': Broken pipe"},
        {{"in.ppm", "out.png", "--print-settings"}, "cannot write to standard output: Broken pipe"},
        {{"--print-settings"}, "cannot write to standard output: Broken pipe"},
        {{"--help"}, "cannot write to standard output: Broken pipe"},
        {{"--version"}, "cannot write to standard output: Broken pipe"},
    };
    for (const Case& c : closed) {
        SCOPED_TRACE(c.arguments.front());
        Launch launch;
        launch.standard_output_closed = true;
        const Outcome outcome = WaitProgram(directory, StartProgramWith(directory, c.arguments, launch));
        EXPECT_EQ(outcome.status, kExitFailure) << outcome.err;
        EXPECT_NE(outcome.err.find(c.message), std::string::npos) << outcome.err;
        EXPECT_FALSE(std::filesystem::exists(directory / "out.png")) << "the settings fail before the file is begun";
    }

    // Strips: the smallest budget that helps, or none when none can.
    const Outcome small = RunProgram(directory, {"in.ppm", "out.png", "--max-space", "100"});
    EXPECT_EQ(small.status, kExitRefused);
    const std::size_t at = small.err.find("Give --max-space ");
    ASSERT_NE(at, std::string::npos) << small.err;
    const std::string budget = small.err.substr(at + 17, small.err.find(' ', at + 17) - at - 17);
    EXPECT_EQ(RunProgram(directory, {"in.ppm", "out.png", "--max-space", budget}).status, kExitOk) << budget;
    EXPECT_EQ(RunProgram(directory, {"in.ppm", "out.png", "--max-space", std::to_string(std::stol(budget) - 1)}).status,
              kExitRefused)
        << "the smallest budget that helps";
}

TEST(CliProgramTest, ASaveWhereTheStoresFolderCannotBeMadeGivesTheSystemsReason) {
    ScratchDirectory directory;
    ASSERT_FALSE(directory.path().empty());
    ASSERT_EQ(WriteImageFile(directory / "in.ppm", Gradient(8, 6)), "");
    // A folder that takes no new folder: one without write permission, or for the
    // superuser, who may write into any, a folder of the kernel's.
    std::string unwritable = directory / "locked";
    std::filesystem::create_directory(unwritable);
    chmod(unwritable.c_str(), 0555);
    int refused = mkdir((unwritable + "/probe").c_str(), 0700) == 0 ? 0 : errno;
    if (refused == 0) {
        rmdir((unwritable + "/probe").c_str());
        unwritable = "/sys/kernel";
        refused = mkdir((unwritable + "/tessellon-probe").c_str(), 0700) == 0 ? 0 : errno;
        if (refused == 0) rmdir((unwritable + "/tessellon-probe").c_str());
    }
    if (refused == 0 || refused == ENOENT) {
        chmod((directory / "locked").c_str(), 0755);
        GTEST_SKIP() << "no folder on this machine refuses a new folder to this user";
    }
    const Outcome saving =
        RunProgram(directory, {"in.ppm", "saved.png", "--save"}, RLIM_INFINITY, {{"XDG_CONFIG_HOME", unwritable}});
    chmod((directory / "locked").c_str(), 0755);  // so that the scratch folder can be removed
    EXPECT_EQ(saving.status, kExitFailure);
    EXPECT_NE(saving.err.find("cannot create '" + unwritable + "/Dravik-Vextrel': " + std::strerror(refused)),
              std::string::npos)
        << saving.err;
    EXPECT_EQ(saving.err.find("does not exist"), std::string::npos) << saving.err;
}

TEST(CliProgramTest, NoMaxSpaceIsAdvisedWhenNoneHelps) {
    Options options;
    const std::string largest = StripsRefusal(3, 32767, 32767, options);
    EXPECT_TRUE(NeedsStrips(3, 32767, 32767, options));
    EXPECT_EQ(largest.find("Give --max-space"), std::string::npos) << largest;
    EXPECT_NE(largest.find("No --max-space takes an image this large in one pass"), std::string::npos) << largest;
    EXPECT_NE(largest.find("--allow-strips"), std::string::npos) << largest;
    options.max_space = 1000000;
    options.selection = Selection{0, 0, 32767, 32000};
    const std::string selection = StripsRefusal(3, 32767, 32767, options);
    EXPECT_NE(selection.find("No --max-space takes this selection in one pass: give a smaller --selection"),
              std::string::npos)
        << selection;
    options.selection = Selection{0, 0, 4000, 3000};
    const std::string helps = StripsRefusal(3, 32767, 32767, options);
    EXPECT_NE(helps.find("Give --max-space "), std::string::npos) << helps;
}

// A PPM image's bytes, for writing down a pipe in parts.
std::string PpmBytes(const Image& image) {
    ScratchDirectory scratch;
    EXPECT_EQ(WriteImageFile(scratch / "image.ppm", image), "");
    return ReadText(scratch / "image.ppm");
}

// Writes all of `bytes` to `fd`.
bool WriteAll(int fd, const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// Waits until the program has taken every byte written into the pipe so far: it is
// then reading and waiting for more.
bool WaitUntilDrained(int read_end) {
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    int pending = 1;
    while (std::chrono::steady_clock::now() < give_up) {
        if (ioctl(read_end, FIONREAD, &pending) != 0) return false;
        if (pending == 0) return true;
        usleep(1000);
    }
    return false;
}

// True once the child has ended; it is left to be waited for.
bool HasEnded(pid_t child) {
    siginfo_t info{};
    return waitid(P_PID, static_cast<id_t>(child), &info, WEXITED | WNOHANG | WNOWAIT) != 0 || info.si_pid == child;
}

TEST(CliProgramTest, ASignalWhileReadingCancelsUnlessItWasIgnoredFromTheStart) {
    const std::string image = PpmBytes(Gradient(64, 48));
    struct Case {
        int signal;
        bool ignored;  // by the parent, before the program starts
        int status;
    };
    const Case cases[] = {
        {SIGTERM, false, kExitCancelled},
        {SIGINT, false, kExitCancelled},
        {SIGINT, true, kExitOk},
        {SIGTERM, true, kExitOk},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(strsignal(c.signal)) + (c.ignored ? ", ignored from the start" : ""));
        ScratchDirectory directory;
        ASSERT_FALSE(directory.path().empty());
        int ends[2];
        ASSERT_EQ(pipe2(ends, O_CLOEXEC), 0);
        Launch launch;
        launch.standard_input = "/dev/fd/" + std::to_string(ends[0]);
        if (c.ignored) launch.ignored_signals = {c.signal};
        const pid_t child = StartProgramWith(directory, {"-", "out.png"}, launch);
        // Half the image, then the program waits for the rest.
        ASSERT_TRUE(WriteAll(ends[1], image.substr(0, image.size() / 2)));
        ASSERT_TRUE(WaitUntilDrained(ends[0]));
        kill(child, c.signal);
        if (c.ignored) {
            usleep(200 * 1000);  // time for a signal wrongly caught to act
            EXPECT_FALSE(HasEnded(child)) << "the program ended on an ignored signal";
        }
        WriteAll(ends[1], image.substr(image.size() / 2));
        close(ends[1]);
        close(ends[0]);
        const Outcome outcome = WaitProgram(directory, child);
        EXPECT_EQ(outcome.status, c.status) << outcome.err;
        if (c.status == kExitCancelled) {
            EXPECT_NE(outcome.err.find("interrupted while reading 'standard input'; nothing was written"),
                      std::string::npos)
                << outcome.err;
            EXPECT_FALSE(std::filesystem::exists(directory / "out.png"));
        } else {
            const DecodeResult written = ReadImageFile(directory / "out.png");
            ASSERT_TRUE(written.ok) << written.error;
            EXPECT_EQ(written.image.width, 52) << "the tile: 64 less 64 * 20 / 100";
        }
        for (const std::string& name : Entries(directory.path())) EXPECT_FALSE(IsTemporary(name)) << name;
    }
}

// Waits until the child runs the program itself (it has passed exec), so that a signal
// sent from now on meets what the program set up, not the test's fork.
bool WaitUntilRunning(pid_t child) {
    const std::string program = std::filesystem::canonical(TESSELLON_CLI_PATH).string();
    const std::string link = "/proc/" + std::to_string(child) + "/exe";
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (std::chrono::steady_clock::now() < give_up) {
        std::error_code error;
        if (std::filesystem::read_symlink(link, error).string() == program) return true;
        usleep(500);
    }
    return false;
}

TEST(CliProgramTest, AnInterruptIgnoredFromTheStartLeavesFilteringAndWritingAlone) {
    ScratchDirectory directory;
    ASSERT_FALSE(directory.path().empty());
    ASSERT_EQ(WriteImageFile(directory / "in.ppm", Noise(2400, 2000)), "");
    Launch launch;
    launch.ignored_signals = {SIGINT};
    const pid_t child = StartProgramWith(directory, {"in.ppm", "out.png"}, launch);
    ASSERT_TRUE(WaitUntilRunning(child));
    // An interrupt every few milliseconds from the start to the end of the run.
    int sent = 0;
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    while (!HasEnded(child) && std::chrono::steady_clock::now() < give_up) {
        kill(child, SIGINT);
        ++sent;
        usleep(5000);
    }
    const Outcome outcome = WaitProgram(directory, child);
    EXPECT_GT(sent, 10) << "the run was over before the interrupts could test it";
    EXPECT_EQ(outcome.status, kExitOk) << outcome.err;
    const DecodeResult written = ReadImageFile(directory / "out.png");
    ASSERT_TRUE(written.ok) << written.error;
    EXPECT_EQ(written.image.width, 1920) << "the tile: 2400 less 2400 * 20 / 100";
}

TEST(CliProgramTest, ATerminationRequestToABatchReachesTheFilesItRuns) {
    ScratchDirectory directory;
    ASSERT_FALSE(directory.path().empty());
    ASSERT_EQ(WriteImageFile(directory / "a.ppm", Gradient(40, 30)), "");
    ASSERT_EQ(mkfifo((directory / "slow.ppm").c_str(), 0600), 0);
    std::filesystem::create_directory(directory / "tiles");
    const std::string image = PpmBytes(Gradient(64, 48));

    const pid_t child = StartProgram(directory, {"slow.ppm", "a.ppm", "--out-dir", "tiles", "-j", "1"});
    // The file being read is held open, half written: its process waits for the rest.
    const int slow = open((directory / "slow.ppm").c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(slow, 0);
    ASSERT_TRUE(WriteAll(slow, image.substr(0, image.size() / 2)));
    ASSERT_TRUE(WaitUntilDrained(slow));
    kill(child, SIGTERM);  // to the batch alone, not its group
    // The batch ends of itself; should it hang, the rest of the file lets it end.
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!HasEnded(child) && std::chrono::steady_clock::now() < give_up) usleep(2000);
    const bool ended = HasEnded(child);
    if (!ended) WriteAll(slow, image.substr(image.size() / 2));
    close(slow);
    const Outcome outcome = WaitProgram(directory, child);
    EXPECT_TRUE(ended) << "the file being read never heard of the request";
    EXPECT_EQ(outcome.status, kExitCancelled) << outcome.err;
    EXPECT_NE(outcome.err.find("interrupted while reading 'slow.ppm'"), std::string::npos) << outcome.err;
    EXPECT_NE(outcome.err.find("the files not yet started were skipped"), std::string::npos) << outcome.err;
    EXPECT_TRUE(Entries(directory / "tiles").empty()) << "a.ppm was not started";
}

TEST(CliProgramTest, OptionsThatDoNothingAreNotedAndContradictionsRefused) {
    ScratchDirectory directory;
    ASSERT_FALSE(directory.path().empty());
    ASSERT_EQ(WriteImageFile(directory / "in.ppm", Gradient(40, 30)), "");
    // Fit on in the saved settings, for --crop under --saved.
    ASSERT_EQ(RunProgram(directory, {"--print-settings", "--defaults", "--fit", "--overlap-x", "20"}).status, kExitOk);
    ASSERT_EQ(RunProgram(directory, {"in.ppm", "saved.png", "--defaults", "--fit", "--overlap-x", "20", "--save"}).status,
              kExitOk);

    struct Case {
        std::vector<std::string> arguments;
        int status;
        const char* message;  // in stderr; for status 0 a note
    };
    const Case cases[] = {
        {{"in.ppm", "out.png", "--tiles", "3x3"}, kExitOk, "note: --tiles does nothing without --tile-preview FILE"},
        {{"in.ppm", "out.png", "--quality", "50"}, kExitOk, "note: --quality does nothing for PNG"},
        {{"in.ppm", "out.tif", "--quality", "50"}, kExitOk, "note: --quality does nothing for TIFF"},
        {{"in.ppm", "out.jpg", "--compression", "5"}, kExitOk, "note: --compression does nothing for JPEG"},
        {{"in.ppm", "out.ppm", "--compression", "5"}, kExitOk, "note: --compression does nothing for PPM"},
        {{"--print-settings", "--save"}, kExitOk, "note: --save does nothing with --print-settings alone"},
        {{"in.ppm", "out.png", "-j", "2"}, kExitOk, "note: -j does nothing without --out-dir"},
        {{"in.ppm", "out.png", "--colour", "000000"}, kExitOk, "note: --colour does nothing: OUT is the tile alone"},
        {{"in.ppm", "out.png", "--repeat"}, kExitOk, "note: --repeat does nothing: OUT is the tile alone"},
        {{"in.ppm", "out.png", "--fit", "--opaque-out"}, kExitOk,
         "note: --opaque-out does nothing: with --fit nothing lies outside the tile"},
        {{"in.ppm", "out.png", "--saved", "--crop"}, kExitOk, "note: --crop does nothing with Fit on"},
        {{"in.ppm", "out.png", "--crop", "--fit"}, kExitUsage, "--crop and --fit contradict each other"},
        {{"in.ppm", "out.png", "--fit", "--crop"}, kExitUsage, "--crop and --fit contradict each other"},
        {{"in.ppm", "out.png", "--fitt"}, kExitUsage, "unknown option: --fitt; did you mean --fit?"},
        {{"in.ppm", "out.png", "--overlapx", "5"}, kExitUsage, "did you mean --overlap-x?"},
        {{"in.ppm", "out.png", "--no-fti"}, kExitUsage, "did you mean --no-fit?"},
        {{"in.ppm", "out.png", "-fade", "5"}, kExitUsage, "unknown option: -fade; did you mean --fade?"},
        {{"--abuot"}, kExitUsage, "did you mean --about?"},
    };
    for (const Case& c : cases) {
        std::string joined;
        for (const std::string& a : c.arguments) joined += a + " ";
        SCOPED_TRACE(joined);
        std::filesystem::remove(directory / "out.png");
        const Outcome outcome = RunProgram(directory, c.arguments);
        EXPECT_EQ(outcome.status, c.status) << outcome.err;
        EXPECT_NE(outcome.err.find(c.message), std::string::npos) << outcome.err;
        if (c.status != kExitOk) {
            EXPECT_FALSE(std::filesystem::exists(directory / "out.png"));
        }
    }
    // No suggestion where nothing is near, and no note where every option counts.
    const Outcome far = RunProgram(directory, {"in.ppm", "out.png", "--zzzzzz"});
    EXPECT_EQ(far.status, kExitUsage);
    EXPECT_EQ(far.err.find("did you mean"), std::string::npos) << far.err;
    const Outcome used = RunProgram(directory, {"in.ppm", "out.jpg", "--no-crop", "--colour", "000000", "--repeat",
                                                "--quality", "80", "--tile-preview", "p.png", "--tiles", "3x1",
                                                "--compression", "9"});
    EXPECT_EQ(used.status, kExitOk) << used.err;
    EXPECT_EQ(used.err.find("note:"), std::string::npos) << used.err;

    // --about is the program's output.
    const Outcome about = RunProgram(directory, {"--about"});
    EXPECT_EQ(about.status, kExitOk);
    EXPECT_NE(about.out.find("Tessellon"), std::string::npos) << about.out;
    EXPECT_EQ(about.err, "");
}

// Whether the difference across the wrap-around edge (last column to first, last row to
// first) is no larger than those between neighbouring columns and rows inside: at most
// the 90th percentile of the inside's, since one pair of rows among hundreds varies with
// the picture (a photograph's rows differ from each other by a factor of two or more).
// A picture whose edges do not meet lies far above the largest inside difference.
bool EdgesWithinInterior(const Image& image, std::string& why) {
    const auto columns = [&image](int x0, int x1) {
        double sum = 0;
        for (int y = 0; y < image.height; ++y) {
            for (int p = 0; p < 3; ++p) sum += std::abs(image.At(x0, y, p) - image.At(x1, y, p));
        }
        return sum / image.height;
    };
    const auto rows = [&image](int y0, int y1) {
        double sum = 0;
        for (int x = 0; x < image.width; ++x) {
            for (int p = 0; p < 3; ++p) sum += std::abs(image.At(x, y0, p) - image.At(x, y1, p));
        }
        return sum / image.width;
    };
    std::vector<double> inside_columns, inside_rows;
    for (int x = 1; x < image.width; ++x) inside_columns.push_back(columns(x - 1, x));
    for (int y = 1; y < image.height; ++y) inside_rows.push_back(rows(y - 1, y));
    const auto percentile90 = [](std::vector<double> values) {
        std::sort(values.begin(), values.end());
        return values[(values.size() - 1) * 9 / 10];
    };
    const double column_edge = columns(image.width - 1, 0), row_edge = rows(image.height - 1, 0);
    const double column_limit = percentile90(inside_columns), row_limit = percentile90(inside_rows);
    why = "columns: edge " + std::to_string(column_edge) + ", inside " + std::to_string(column_limit) +
          "; rows: edge " + std::to_string(row_edge) + ", inside " + std::to_string(row_limit);
    return column_edge <= column_limit && row_edge <= row_limit;
}

TEST(CliProgramTest, SizeResamplesTheTileWithEdgesThatWrapAround) {
    ScratchDirectory directory;
    ASSERT_FALSE(directory.path().empty());
    const DecodeResult sample = ReadImageFile(TESSELLON_SAMPLE_IMAGE);
    ASSERT_TRUE(sample.ok) << sample.error;
    ASSERT_EQ(WriteImageFile(directory / "in.ppm", sample.image), "");
    struct Case {
        std::vector<std::string> arguments;
        int width, height;
    };
    // The tile is 256 × 192: shrunk, stretched, and both at once.
    for (const Case& c : {Case{{"--size", "256x256"}, 256, 256}, Case{{"--size", "512"}, 512, 512},
                          Case{{"--size=100X300", "--seam", "wave"}, 100, 300}}) {
        SCOPED_TRACE(c.arguments.front());
        std::vector<std::string> arguments{"in.ppm", "out.ppm", "--tile-preview", "preview.ppm"};
        arguments.insert(arguments.end(), c.arguments.begin(), c.arguments.end());
        const Outcome outcome = RunProgram(directory, arguments);
        ASSERT_EQ(outcome.status, kExitOk) << outcome.err;
        EXPECT_EQ(outcome.err, "");
        const DecodeResult out = ReadImageFile(directory / "out.ppm");
        ASSERT_TRUE(out.ok) << out.error;
        EXPECT_EQ(out.image.width, c.width);
        EXPECT_EQ(out.image.height, c.height);
        std::string why;
        EXPECT_TRUE(EdgesWithinInterior(out.image, why)) << "the resampled tile meets itself without a seam: " << why;
        const DecodeResult preview = ReadImageFile(directory / "preview.ppm");
        ASSERT_TRUE(preview.ok) << preview.error;
        EXPECT_EQ(preview.image, Tiled(out.image, 2, 2)) << "the preview lays the resampled tile";
    }
    // A resampler that clamped its edges instead would leave a seam in the stretched tile
    // of a picture whose edges do not meet: the sample itself with the filter off.
    const Outcome plain = RunProgram(directory, {"in.ppm", "plain.ppm", "--defaults", "--size", "640x480"});
    ASSERT_EQ(plain.status, kExitOk) << plain.err;
    const DecodeResult stretched = ReadImageFile(directory / "plain.ppm");
    ASSERT_TRUE(stretched.ok) << stretched.error;
    std::string why;
    EXPECT_FALSE(EdgesWithinInterior(stretched.image, why))
        << "the photograph's own edges still do not meet: --size hides no seam, it keeps what is there: " << why;
    const Outcome tile = RunProgram(directory, {"in.ppm", "tile.ppm"});
    ASSERT_EQ(tile.status, kExitOk) << tile.err;
    EXPECT_TRUE(EdgesWithinInterior(ReadImageFile(directory / "tile.ppm").image, why)) << "the tile itself: " << why;

    for (const auto& arguments : std::vector<std::vector<std::string>>{
             {"in.ppm", "bad.ppm", "--size", "0"}, {"in.ppm", "bad.ppm", "--size", "10x"},
             {"in.ppm", "bad.ppm", "--size", "32768"}, {"in.ppm", "bad.ppm", "--size", "64", "--no-crop"},
             {"in.ppm", "bad.webp", "--size", "20000x10"}}) {
        SCOPED_TRACE(arguments[3]);
        EXPECT_EQ(RunProgram(directory, arguments).status, kExitUsage);
        EXPECT_FALSE(std::filesystem::exists(directory / "bad.ppm"));
    }
}

TEST(CliProgramTest, TransparencyIsFlattenedWhereTheFormatHoldsNoAlpha) {
    ScratchDirectory directory;
    ASSERT_FALSE(directory.path().empty());
    // Left half opaque gradient, right half fully transparent.
    Image input = WithOpaqueAlpha(Gradient(40, 30));
    for (int y = 0; y < 30; ++y) {
        for (int x = 20; x < 40; ++x) input.At(x, y, 3) = 0;
    }
    ASSERT_EQ(WriteImageFile(directory / "in.pam", input), "");
    for (const char* output : {"out.jpg", "out.ppm"}) {
        SCOPED_TRACE(output);
        const Outcome outcome =
            RunProgram(directory, {"in.pam", output, "--defaults", "--background", "0000FF", "--quality", "100"});
        ASSERT_EQ(outcome.status, kExitOk) << outcome.err;
        EXPECT_NE(outcome.err.find("has transparency, which a"), std::string::npos) << outcome.err;
        EXPECT_NE(outcome.err.find("laid over the background 0000FF"), std::string::npos) << outcome.err;
        const DecodeResult out = ReadImageFile(directory / output);
        ASSERT_TRUE(out.ok) << out.error;
        ASSERT_EQ(out.image.planes, 3);
        // Within a JPEG's rounding at quality 100: the transparent half is the background.
        EXPECT_NEAR(out.image.At(30, 15, 0), 0, 3);
        EXPECT_NEAR(out.image.At(30, 15, 2), 255, 3);
        EXPECT_NEAR(out.image.At(5, 15, 0), input.At(5, 15, 0), 3) << "the opaque half keeps its colour";
    }
    // --alpha asks for a plane that JPEG cannot hold: the command line is at fault.
    EXPECT_EQ(RunProgram(directory, {"in.pam", "out2.jpg", "--alpha"}).status, kExitUsage);
}

// A PNG that declares width × height grey pixels and holds only the first compressed
// megabyte of its rows: decoding it would take the whole picture's memory and then find
// it damaged (status 1), so a refusal from the declared size shows as status 3.
std::string GreyPngDeclaring(std::uint32_t width, std::uint32_t height) {
    const auto big_endian = [](std::uint32_t value) {
        return std::string{static_cast<char>(value >> 24), static_cast<char>(value >> 16),
                           static_cast<char>(value >> 8), static_cast<char>(value)};
    };
    const auto chunk = [&big_endian](const std::string& type, const std::string& data) {
        const std::string body = type + data;
        const auto crc = static_cast<std::uint32_t>(
            crc32(0, reinterpret_cast<const Bytef*>(body.data()), static_cast<uInt>(body.size())));
        return big_endian(static_cast<std::uint32_t>(data.size())) + body + big_endian(crc);
    };
    const std::string header = big_endian(width) + big_endian(height) + std::string("\x08\x00\x00\x00\x00", 5);
    std::vector<Bytef> rows(std::size_t{1} << 20, 0);
    uLongf packed_size = compressBound(static_cast<uLong>(rows.size()));
    std::vector<Bytef> packed(packed_size);
    compress2(packed.data(), &packed_size, rows.data(), static_cast<uLong>(rows.size()), 9);
    return std::string("\x89PNG\r\n\x1a\n", 8) + chunk("IHDR", header) +
           chunk("IDAT", std::string(reinterpret_cast<const char*>(packed.data()), packed_size)) + chunk("IEND", "");
}

TEST(CliProgramTest, APictureTooLargeForOnePassIsRefusedFromItsDeclaredSize) {
    ScratchDirectory directory;
    ASSERT_FALSE(directory.path().empty());
    std::ofstream(directory / "huge.png", std::ios::binary) << GreyPngDeclaring(20000, 20000);
    std::ofstream(directory / "huge.ppm", std::ios::binary) << "P6\n20000 20000\n255\n" << std::string(4096, '\x80');
    for (const char* input : {"huge.png", "huge.ppm"}) {
        SCOPED_TRACE(input);
        const auto started = std::chrono::steady_clock::now();
        const pid_t child = StartProgram(directory, {input, "out.png"});
        int status = 0;
        rusage usage{};
        ASSERT_EQ(wait4(child, &status, 0, &usage), child);
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), kExitRefused) << ReadText(directory / "stderr.txt");
        EXPECT_NE(ReadText(directory / "stderr.txt").find("too large for the filter to take in one pass"),
                  std::string::npos)
            << ReadText(directory / "stderr.txt");
        EXPECT_LT(seconds, 1.0) << "refused before decoding";
        // 20000 × 20000 grey takes 400 MB as read and 1.2 GB as RGB: the run stays far below.
        EXPECT_LT(usage.ru_maxrss, 200L * 1024) << "peak resident KiB";
        EXPECT_FALSE(std::filesystem::exists(directory / "out.png"));
    }
    // The same file is read (and found damaged) when strips are allowed: the refusal came
    // from the size alone.
    const Outcome allowed = RunProgram(directory, {"huge.ppm", "out.png", "--allow-strips", "--max-pixels", "1000000"});
    EXPECT_EQ(allowed.status, kExitFailure) << allowed.err;
}

TEST(CliProgramTest, AWebpFromALossyInputIsLossy) {
    ScratchDirectory directory;
    ASSERT_FALSE(directory.path().empty());
    const std::string jpeg = TESSELLON_SAMPLE_IMAGE;
    // The WebP bitstream's chunk names it: "VP8 " lossy, "VP8L" lossless.
    const auto kind = [&directory](const std::string& name) { return ReadText(directory / name).substr(12, 4); };
    struct Case {
        std::string input, output;
        std::vector<std::string> options;
        const char* kind;
    };
    const Case cases[] = {
        {jpeg, "from-jpeg.webp", {}, "VP8 "},
        {jpeg, "from-jpeg-lossless.webp", {"--lossless"}, "VP8L"},
        {"from-jpeg.webp", "from-lossy.webp", {}, "VP8 "},
        {"from-jpeg-lossless.webp", "from-lossless.webp", {}, "VP8L"},
        {"from-lossless.webp", "asked-lossy.webp", {"--quality", "70"}, "VP8 "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.output);
        std::vector<std::string> arguments{c.input, c.output};
        arguments.insert(arguments.end(), c.options.begin(), c.options.end());
        const Outcome outcome = RunProgram(directory, arguments);
        ASSERT_EQ(outcome.status, kExitOk) << outcome.err;
        EXPECT_EQ(kind(c.output), c.kind);
    }
    EXPECT_LT(ReadText(directory / "from-jpeg.webp").size() * 2, ReadText(directory / "from-jpeg-lossless.webp").size())
        << "lossy is the smaller by far";
    EXPECT_EQ(RunProgram(directory, {jpeg, "x.webp", "--lossless", "--quality", "80"}).status, kExitUsage);
    const Outcome png = RunProgram(directory, {jpeg, "x.png", "--lossless"});
    EXPECT_NE(png.err.find("note: --lossless does nothing for PNG"), std::string::npos) << png.err;
}

// A program run on a terminal of its own (a pseudo-terminal): its standard streams are
// the terminal, it leads a session of its own, and a Ctrl-C typed on the terminal
// reaches its whole process group, as in a shell.
class Terminal {
public:
    Terminal(const ScratchDirectory& directory, const std::vector<std::string>& arguments) {
        master_ = posix_openpt(O_RDWR | O_NOCTTY);
        if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) return;
        const std::string slave = ptsname(master_);
        const std::string config = directory / "config";
        std::vector<std::string> words{TESSELLON_CLI_PATH};
        words.insert(words.end(), arguments.begin(), arguments.end());
        std::vector<char*> argv;
        for (std::string& word : words) argv.push_back(word.data());
        argv.push_back(nullptr);
        child_ = fork();
        if (child_ == 0) {
            setsid();
            const int terminal = open(slave.c_str(), O_RDWR);  // becomes the controlling terminal
            if (terminal < 0 || dup2(terminal, 0) < 0 || dup2(terminal, 1) < 0 || dup2(terminal, 2) < 0 ||
                chdir(directory.path().c_str()) != 0) {
                _exit(126);
            }
            setenv("XDG_CONFIG_HOME", config.c_str(), 1);
            for (const int signal_number : {SIGINT, SIGTERM, SIGPIPE}) signal(signal_number, SIG_DFL);
            sigset_t none;
            sigemptyset(&none);
            sigprocmask(SIG_SETMASK, &none, nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
    }
    ~Terminal() {
        if (master_ >= 0) close(master_);
    }
    Terminal(const Terminal&) = delete;
    Terminal& operator=(const Terminal&) = delete;

    pid_t child() const { return child_; }
    const std::string& text() const { return text_; }

    // Reads what the program wrote until `expected` shows or `seconds` pass.
    bool ReadUntil(const std::string& expected, int seconds) {
        const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
        while (text_.find(expected) == std::string::npos) {
            if (std::chrono::steady_clock::now() >= give_up || !ReadSome(100)) return false;
        }
        return true;
    }
    void Type(const std::string& keys) { (void)!write(master_, keys.data(), keys.size()); }
    // Reads to the end and waits for the program; its exit status.
    int Finish() {
        while (ReadSome(100)) {
        }
        int status = 0;
        if (waitpid(child_, &status, 0) != child_) return -1;
        while (ReadSome(0)) {
        }
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

private:
    // False once the terminal has no writer left (the program and its processes ended).
    bool ReadSome(int milliseconds) {
        pollfd fd{master_, POLLIN, 0};
        if (poll(&fd, 1, milliseconds) < 0) return errno == EINTR;
        if ((fd.revents & (POLLIN | POLLHUP | POLLERR)) == 0) return true;  // nothing yet
        char buffer[4096];
        const ssize_t got = read(master_, buffer, sizeof buffer);
        if (got <= 0) return false;
        text_.append(buffer, static_cast<std::size_t>(got));
        return true;
    }

    int master_ = -1;
    pid_t child_ = -1;
    std::string text_;
};

TEST(CliProgramTest, AGreyPictureComesOutGreyAndAColourOneInColour) {
    ScratchDirectory directory;
    ASSERT_FALSE(directory.path().empty());
    // The same grey pixels in a grey file and in an RGB one.
    Image picture(40, 30, 3);
    for (int y = 0; y < 30; ++y) {
        for (int x = 0; x < 40; ++x) {
            picture.At(x, y, 0) = picture.At(x, y, 1) = picture.At(x, y, 2) = static_cast<std::uint8_t>(x * 6 + y * 2);
        }
    }
    OutputTarget target;
    WriteOptions grey;
    grey.grey = true;
    ASSERT_EQ(ResolveOutput(directory / "grey.png", target), "");
    ASSERT_EQ(WriteImageFile(target, FileFormat::png, picture, {}, grey), "");
    ASSERT_EQ(WriteImageFile(directory / "colour.png", picture), "");
    ASSERT_EQ(fixtures::StoredColours(fixtures::Text(ReadText(directory / "grey.png"))), "grey") << "the test's own input";
    ASSERT_EQ(fixtures::StoredColours(fixtures::Text(ReadText(directory / "colour.png"))), "rgb");

    struct Case {
        const char* extension;
        std::vector<std::string> options;
        const char* grey_stored;    // from the grey input
        const char* colour_stored;  // from the RGB input
    };
    const Case cases[] = {
        {"png", {}, "grey", "rgb"},
        {"png", {"--alpha"}, "grey+alpha", "rgb+alpha"},
        {"jpg", {}, "grey", "rgb"},
        {"tif", {}, "grey", "rgb"},
        {"tif", {"--alpha"}, "grey+alpha", "rgb+alpha"},
        {"pam", {}, "grey", "rgb"},
        {"pam", {"--alpha"}, "grey+alpha", "rgb+alpha"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.extension) + (c.options.empty() ? "" : " " + c.options[0]));
        DecodeResult written[2];
        for (const bool from_grey : {true, false}) {
            const std::string output = std::string(from_grey ? "grey-out." : "colour-out.") + c.extension;
            std::vector<std::string> arguments{from_grey ? "grey.png" : "colour.png", output};
            arguments.insert(arguments.end(), c.options.begin(), c.options.end());
            const Outcome outcome = RunProgram(directory, arguments);
            ASSERT_EQ(outcome.status, kExitOk) << outcome.err;
            EXPECT_EQ(fixtures::StoredColours(fixtures::Text(ReadText(directory / output))),
                      from_grey ? c.grey_stored : c.colour_stored);
            written[from_grey ? 0 : 1] = ReadImageFile(directory / output);
            ASSERT_TRUE(written[from_grey ? 0 : 1].ok) << written[from_grey ? 0 : 1].error;
        }
        // A JPEG's grey is its luma, the same as an RGB file's of grey pixels.
        EXPECT_EQ(written[0].image.bytes, written[1].image.bytes) << "the grey file holds the colour run's pixels";
    }
}

TEST(CliProgramTest, ACmykJpegIsReadWithANote) {
    ScratchDirectory directory;
    ASSERT_FALSE(directory.path().empty());
    fixtures::JpegSpec spec;
    spec.width = 40;
    spec.height = 30;
    spec.colour = JCS_CMYK;
    const fixtures::Bytes jpeg = fixtures::JpegOf(spec, fixtures::PatternSamples(40, 30, 4));
    {
        std::ofstream file(directory / "cmyk.jpg", std::ios::binary);
        file.write(reinterpret_cast<const char*>(jpeg.data()), static_cast<std::streamsize>(jpeg.size()));
    }
    const Outcome outcome = RunProgram(directory, {"cmyk.jpg", "out.png"});
    ASSERT_EQ(outcome.status, kExitOk) << outcome.err;
    EXPECT_NE(outcome.err.find("tessellon: 'cmyk.jpg': CMYK image converted to RGB by the simple inverse (the file has "
                               "no colour profile); colours are approximate\n"),
              std::string::npos)
        << outcome.err;
    const DecodeResult out = ReadImageFile(directory / "out.png");
    ASSERT_TRUE(out.ok) << out.error;
    EXPECT_EQ(out.image.width, 32);
}

TEST(CliProgramTest, ABatchOnATerminalReportsEachFileAndASummary) {
    ScratchDirectory directory;
    ASSERT_FALSE(directory.path().empty());
    ASSERT_EQ(WriteImageFile(directory / "a.ppm", Gradient(40, 30)), "");
    ASSERT_EQ(WriteImageFile(directory / "c.ppm", Gradient(20, 10)), "");
    std::ofstream(directory / "b.ppm") << "not an image";
    std::filesystem::create_directory(directory / "out");
    Terminal terminal(directory, {"a.ppm", "b.ppm", "c.ppm", "--out-dir", "out", "-j", "2"});
    ASSERT_GT(terminal.child(), 0);
    EXPECT_EQ(terminal.Finish(), kExitFailure) << terminal.text();
    const std::string& text = terminal.text();
    EXPECT_NE(text.find("'a.ppm' -> 'out/a.ppm': 32 \u00D7 24, "), std::string::npos) << text;
    EXPECT_NE(text.find("'c.ppm' -> 'out/c.ppm': 16 \u00D7 8, "), std::string::npos) << text;
    EXPECT_NE(text.find("'b.ppm': unsupported format"), std::string::npos) << text;
    EXPECT_NE(text.find("'b.ppm' failed (status 1)"), std::string::npos) << text;
    EXPECT_NE(text.find("3/3 files"), std::string::npos) << "the bar counts the files done" << text;
    EXPECT_NE(text.find("tessellon: 3 files: 2 done, 1 failed, "), std::string::npos) << text;

    // Image bytes are not written to a terminal.
    Terminal bytes(directory, {"a.ppm", "-", "--format", "png"});
    ASSERT_GT(bytes.child(), 0);
    EXPECT_EQ(bytes.Finish(), kExitUsage);
    EXPECT_NE(bytes.text().find("use a file name or a pipe"), std::string::npos) << bytes.text();
    EXPECT_EQ(bytes.text().find("PNG"), std::string::npos) << "no image bytes";
}

TEST(CliProgramTest, CtrlCStopsEveryFileOfABatchAndLeavesNoProcessOrPartialFile) {
    ScratchDirectory directory;
    ASSERT_FALSE(directory.path().empty());
    // Noise compresses badly: each file takes a while to write.
    const Image noise = Noise(1500, 1200);
    std::vector<std::string> arguments;
    for (int i = 0; i < 8; ++i) {
        // Built with append: GCC 12 wrongly warns of an overlapping copy for "n" + ... + ".ppm".
        std::string name("n");
        name.append(std::to_string(i)).append(".ppm");
        ASSERT_EQ(WriteImageFile(directory / name, noise), "");
        arguments.push_back(name);
    }
    std::filesystem::create_directory(directory / "out");
    arguments.insert(arguments.end(), {"--out-dir", "out", "-j", "2", "--compression", "9"});
    Terminal terminal(directory, arguments);
    ASSERT_GT(terminal.child(), 0);
    // Once the first file is done, two others are running: Ctrl-C.
    ASSERT_TRUE(terminal.ReadUntil(" -> ", 60)) << terminal.text();
    terminal.Type("\x03");
    const auto typed = std::chrono::steady_clock::now();
    EXPECT_EQ(terminal.Finish(), kExitCancelled) << terminal.text();
    EXPECT_LT(std::chrono::steady_clock::now() - typed, std::chrono::seconds(10)) << "no second Ctrl-C needed";
    // No process of the program's group is left: every file's process has ended.
    EXPECT_EQ(kill(-terminal.child(), 0), -1);
    EXPECT_EQ(errno, ESRCH) << "a process of the batch outlived it";
    EXPECT_NE(terminal.text().find("interrupted"), std::string::npos) << terminal.text();
    EXPECT_NE(terminal.text().find("not started"), std::string::npos) << terminal.text();
    // What was written is whole; nothing half-written and no temporary file is left.
    const std::vector<std::string> written = Entries(directory / "out");
    EXPECT_LT(written.size(), 8u) << "the batch went on after Ctrl-C";
    for (const std::string& name : written) {
        SCOPED_TRACE(name);
        EXPECT_FALSE(IsTemporary(name));
        const DecodeResult file = ReadImageFile(directory.path() + "/out/" + name);
        ASSERT_TRUE(file.ok) << file.error;
        EXPECT_EQ(file.image.width, 1200);
        EXPECT_EQ(file.image.height, 960);
    }
}

class CliSessionTest : public ::testing::Test {
protected:
    void TearDown() override {
        ClearCancel();
        for (std::int32_t& value : Live().controls) value = 0;
        std::memcpy(definition_block.colours, StoredDefinitionBlock().colours, sizeof definition_block.colours);
    }
};

TEST_F(CliSessionTest, TheModuleReadsBackWhatTheOptionsSet) {
    Options options;
    options.start = StartingPoint::filter;
    options.controls[kFadeRow] = 30;
    options.controls[kSelectorControl] = 3;
    options.colour = 0x00332211;
    const RunSettings settings = PrepareSettings(options);
    ASSERT_EQ(StoreSettings(settings), "");
    for (std::int32_t& value : Live().controls) value = -1;
    definition_block.colours[0] = 0;
    ApplyControlDefaults();
    LoadSettings();
    EXPECT_EQ(Live().controls[kFadeRow], 30);
    EXPECT_EQ(Live().controls[kSelectorControl], 3);
    EXPECT_EQ(Live().controls[kFreqRow], 4) << "a default";
    EXPECT_EQ(definition_block.colours[0], 0x00332211u);
    const std::string printed = FormatSettings(settings, options);
    EXPECT_EQ(Setting(printed, "Seam"), "Fractal");
    EXPECT_EQ(Setting(printed, "Colour"), "112233");
    EXPECT_EQ(Setting(printed, "Fit"), "off");
}

// The command line hands the module its values through the run's settings store alone:
// preparing them leaves the module's live values as they are, and the run reads them
// back from the store.
TEST_F(CliSessionTest, ValuesReachTheModuleOnlyThroughTheStore) {
    Options options;
    options.start = StartingPoint::tile;
    options.controls[kFadeRow] = 40;
    options.colour = 0x00445566;
    for (std::int32_t& value : Live().controls) value = -7;
    definition_block.colours[0] = 0x00010203;
    const RunSettings settings = PrepareSettings(options);
    for (const std::int32_t value : Live().controls) EXPECT_EQ(value, -7);
    EXPECT_EQ(definition_block.colours[0], 0x00010203u);
    EXPECT_EQ(settings.controls[kFadeRow], 40);
    EXPECT_EQ(settings.colours[0], 0x00445566u);
    const RunResult run = RunFilterOnImage(memhost::PatternImage(6, 5, 3), settings, options, 0, nullptr);
    ASSERT_EQ(run.result, 0);
    for (int i = 0; i < kControlCount; ++i) EXPECT_EQ(Live().controls[i], settings.controls[i]) << i;
    EXPECT_EQ(definition_block.colours[0], 0x00445566u);
}

TEST_F(CliSessionTest, ACancelledRunReportsItselfAndGivesNoImage) {
    Options options;
    options.start = StartingPoint::filter;
    options.controls[kOverlapYRow] = 50;
    const RunSettings settings = PrepareSettings(options);
    ASSERT_EQ(StoreSettings(settings), "");
    RequestCancel();
    const RunResult run = RunFilterOnImage(memhost::PatternImage(6, 5, 3), settings, options, 0, nullptr);
    EXPECT_EQ(run.result, -128);
    EXPECT_EQ(ExitStatusFor(run.result), kExitCancelled);
    EXPECT_NE(ResultMessage(run.result).find("cancelled"), std::string::npos);
    EXPECT_EQ(run.output.width, 0);
    EXPECT_TRUE(run.warnings.empty());
}

// Keeps, at every report of finished rows, a copy of the rows reported.
class RowSnapshots final : public RowPipeline {
public:
    RowSnapshots(int width, int height, int planes) : RowPipeline(width, planes, 0, 0, width, height) {}
    void Attach(const std::uint8_t* image) override {
        image_ = image;
        RowPipeline::Attach(image);
    }
    void Publish(int rows) override {
        snapshots.emplace_back(image_, image_ + static_cast<std::size_t>(rows) * stride());
        RowPipeline::Publish(rows);
    }
    std::vector<std::vector<std::uint8_t>> snapshots;

private:
    const std::uint8_t* image_ = nullptr;
};

TEST_F(CliSessionTest, RowsAreReportedFinishedOnlyOnceTheModuleHasWrittenThem) {
    struct Case {
        const char* name;
        std::optional<Selection> selection;
        std::int32_t max_space;
    };
    const Case cases[] = {
        {"whole image", std::nullopt, 0x7FFFFFFF},
        {"selection", Selection{5, 7, 20, 17}, 0x7FFFFFFF},
        {"strips", std::nullopt, 4000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Options options;
        options.start = StartingPoint::tile;
        options.controls[kOverlapYRow] = 30;
        options.selection = c.selection;
        options.max_space = c.max_space;
        const RunSettings settings = PrepareSettings(options);
        const Image input = memhost::PatternImage(40, 33, 3);
        RowSnapshots rows(input.width, input.height, input.planes);
        const RunResult run = RunFilterOnImage(input, settings, options, 0, nullptr, &rows);
        ASSERT_EQ(run.result, 0);
        ASSERT_FALSE(rows.snapshots.empty());
        EXPECT_EQ(rows.snapshots.back().size(), run.output.bytes.size()) << "every row is reported in the end";
        std::size_t growing = 0;
        for (const std::vector<std::uint8_t>& snapshot : rows.snapshots) {
            ASSERT_LE(snapshot.size(), run.output.bytes.size());
            EXPECT_TRUE(std::equal(snapshot.begin(), snapshot.end(), run.output.bytes.begin()))
                << "rows reported finished changed later: " << snapshot.size() / rows.stride();
            if (snapshot.size() > rows.snapshots.front().size()) ++growing;
        }
        EXPECT_GT(growing, 10u) << "rows are reported as they are finished, not only at the end";
    }
    // A first pass over the area comes before the pixel pass in the module's count.
    const TileBounds area{2, 3, 10, 4};
    EXPECT_EQ(RowsFinishedAt(0, 20 * 8, 20, 8, area), 3);
    EXPECT_EQ(RowsFinishedAt(25, 20 * 8, 20, 8, area), 5);
    EXPECT_EQ(RowsFinishedAt(40, 20 * 8, 20, 8, area), 8);
    EXPECT_EQ(RowsFinishedAt(40, 2 * 20 * 8, 20, 8, area), 3);
    EXPECT_EQ(RowsFinishedAt(60, 2 * 20 * 8, 20, 8, area), 5);
    EXPECT_EQ(RowsFinishedAt(60, 7, 20, 8, area), 3) << "a count it cannot read";
}

}  // namespace
}  // namespace tessellon::cli
