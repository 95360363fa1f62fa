// The command-line host as a whole: the built program run as a child process with a
// settings store of its own, and the run's settings and cancellation in process.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "cli/image_io.h"
#include "cli/options.h"
#include "cli/session.h"
#include "filter/definition.h"
#include "resources/version.h"
#include "runtime/context.h"
#include "ui/dialog_model.h"
#include "ui/settings.h"

namespace tessellon::cli {
namespace {

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

// Runs the built program in `directory`, with XDG_CONFIG_HOME pointing into it.
Outcome RunProgram(const ScratchDirectory& directory, const std::vector<std::string>& arguments) {
    const std::string out_path = directory / "stdout.txt";
    const std::string err_path = directory / "stderr.txt";
    const std::string config = directory / "config";
    std::vector<std::string> words{TESSELLON_CLI_PATH};
    words.insert(words.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    Outcome outcome;
    const pid_t child = fork();
    if (child == 0) {
        const int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (out < 0 || err < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0 || chdir(directory.path().c_str()) != 0) _exit(126);
        setenv("XDG_CONFIG_HOME", config.c_str(), 1);
        execv(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    if (child > 0 && waitpid(child, &status, 0) == child && WIFEXITED(status)) outcome.status = WEXITSTATUS(status);
    outcome.out = ReadText(out_path);
    outcome.err = ReadText(err_path);
    return outcome;
}

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
}

TEST(CliProgramTest, FiltersAFileAndKeepsTheSettingsForTheNextRun) {
    ScratchDirectory directory;
    ASSERT_FALSE(directory.path().empty());

    // A first run finds no saved colours: the filter's colour entry is black.
    Outcome first = RunProgram(directory, {"--print-settings"});
    ASSERT_EQ(first.status, kExitOk) << first.err;
    EXPECT_EQ(Setting(first.out, "Colour"), "000000");
    EXPECT_EQ(Setting(first.out, "Fade"), "50");
    EXPECT_EQ(Setting(RunProgram(directory, {"--print-settings", "--defaults"}).out, "Colour"), "EB4BE9");

    const Image input = Gradient(40, 30);
    ASSERT_EQ(WriteImageFile(directory / "in.ppm", input), "");
    // Overlap X 50: the tile is the left half; the right half lies outside it.
    const Outcome run = RunProgram(directory, {"in.ppm", "out.png", "--defaults", "--overlap-x=50", "--colour",
                                               "00FF00", "--alpha", "--tile-preview", "preview.pam", "--tiles", "3x2"});
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

    // The run saved its settings; the next one starts from them.
    const Outcome after = RunProgram(directory, {"--print-settings"});
    EXPECT_EQ(Setting(after.out, "Overlap X"), "50");
    EXPECT_EQ(Setting(after.out, "Colour"), "00FF00");
    EXPECT_EQ(Setting(after.out, "Fade"), "50");
}

class CliSessionTest : public ::testing::Test {
protected:
    void TearDown() override {
        ClearCancel();
        for (std::int32_t& value : control_values) value = 0;
        std::memcpy(definition_block.colours, StoredDefinitionBlock().colours, sizeof definition_block.colours);
    }
};

TEST_F(CliSessionTest, TheModuleReadsBackWhatTheOptionsSet) {
    Options options;
    options.defaults = true;
    options.controls[2] = 30;
    options.controls[kSelectorControl] = 3;
    options.colour = 0x00332211;
    PrepareSettings(options);
    ASSERT_EQ(StoreSettings(), "");
    for (std::int32_t& value : control_values) value = -1;
    definition_block.colours[0] = 0;
    ApplyControlDefaults();
    LoadSettings();
    EXPECT_EQ(control_values[2], 30);
    EXPECT_EQ(control_values[kSelectorControl], 3);
    EXPECT_EQ(control_values[5], 4) << "a default";
    EXPECT_EQ(definition_block.colours[0], 0x00332211u);
    const std::string printed = FormatSettings(options);
    EXPECT_EQ(Setting(printed, "Seam"), "Fractal");
    EXPECT_EQ(Setting(printed, "Colour"), "112233");
    EXPECT_EQ(Setting(printed, "Fit"), "off");
}

TEST_F(CliSessionTest, ACancelledRunReportsItselfAndGivesNoImage) {
    Options options;
    options.defaults = true;
    options.controls[1] = 50;
    PrepareSettings(options);
    ASSERT_EQ(StoreSettings(), "");
    RequestCancel();
    const RunResult run = RunFilterOnImage(memhost::PatternImage(6, 5, 3), options, nullptr);
    EXPECT_EQ(run.result, -128);
    EXPECT_EQ(ExitStatusFor(run.result), kExitCancelled);
    EXPECT_NE(ResultMessage(run.result).find("cancelled"), std::string::npos);
    EXPECT_EQ(run.output.width, 0);
    EXPECT_TRUE(run.warnings.empty());
}

}  // namespace
}  // namespace tessellon::cli
