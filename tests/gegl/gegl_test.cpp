// The GEGL operation tessellon:tile against the command-line host: the gegl program and
// a graph built with GEGL's C API make the same pixels as `tessellon` with the same
// settings; the operation's properties are the filter's control records; pictures past
// the host interface's limit are refused with a message, before anything of their size
// is rendered.
#include <gegl-plugin.h>
#include <gegl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include "cli/image_io.h"
#include "cli/options.h"
#include "cli/session.h"
#include "filter/definition.h"
#include "runtime/context.h"
#include "shell/host.h"

namespace {

using tessellon::cli::Image;

constexpr char kOperation[] = "tessellon:tile";

std::string TempDir() {
    static const std::string dir = [] {
        char pattern[] = "/tmp/tessellon-gegl-XXXXXX";
        const char* made = mkdtemp(pattern);
        return std::string(made != nullptr ? made : "/tmp");
    }();
    return dir;
}

// The sample photograph, and the same with a transparency that runs from clear to opaque
// across it, fully clear and fully opaque patches included.
Image Sample(int planes) {
    const tessellon::cli::DecodeResult read = tessellon::cli::ReadImageFile(TESSELLON_SAMPLE_IMAGE);
    EXPECT_TRUE(read.ok) << read.error;
    if (planes == 3) return read.image;
    Image rgba = tessellon::cli::WithOpaqueAlpha(read.image);
    for (int y = 0; y < rgba.height; ++y) {
        for (int x = 0; x < rgba.width; ++x) {
            const int a = x < 16 ? 0 : x > rgba.width - 16 ? 255 : (x * 5 + y * 3) % 256;
            rgba.At(x, y, 3) = static_cast<std::uint8_t>(a);
        }
    }
    return rgba;
}

std::string SamplePath(int planes) {
    const std::string path = TempDir() + (planes == 3 ? "/sample-rgb.png" : "/sample-rgba.png");
    if (access(path.c_str(), F_OK) != 0) {
        const std::string problem = tessellon::cli::WriteImageFile(path, Sample(planes));
        EXPECT_EQ(problem, "");
    }
    return path;
}

Image ReadPicture(const std::string& path) {
    const tessellon::cli::DecodeResult read = tessellon::cli::ReadImageFile(path);
    EXPECT_TRUE(read.ok) << path << ": " << read.error;
    return read.image;
}

std::string FileText(const std::string& path) {
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

// The gegl program, as a shell command. In a sanitizer build it gets the sanitizer's
// runtime first, and its own leaks (GEGL's and GLib's at exit) are not looked for: the
// module's are, in this process.
std::string GeglProgram() {
#ifdef TESSELLON_GEGL_PRELOAD
    return std::string("env LD_PRELOAD='") + TESSELLON_GEGL_PRELOAD + "' ASAN_OPTIONS=detect_leaks=0 '" +
           TESSELLON_GEGL_PROGRAM + "'";
#else
    return std::string("'") + TESSELLON_GEGL_PROGRAM + "'";
#endif
}

int Shell(const std::string& command) {
    const int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Where the pictures differ first, for the failure message.
std::string FirstDifference(const Image& expected, const Image& actual) {
    if (expected.width != actual.width || expected.height != actual.height || expected.planes != actual.planes) {
        return "sizes differ: " + std::to_string(expected.width) + "x" + std::to_string(expected.height) + "x" +
               std::to_string(expected.planes) + " against " + std::to_string(actual.width) + "x" +
               std::to_string(actual.height) + "x" + std::to_string(actual.planes);
    }
    for (std::size_t i = 0; i < expected.bytes.size(); ++i) {
        if (expected.bytes[i] != actual.bytes[i]) {
            const std::size_t pixel = i / static_cast<std::size_t>(expected.planes);
            return "first at x " + std::to_string(pixel % static_cast<std::size_t>(expected.width)) + ", y " +
                   std::to_string(pixel / static_cast<std::size_t>(expected.width)) + ", plane " +
                   std::to_string(i % static_cast<std::size_t>(expected.planes)) + ": " +
                   std::to_string(expected.bytes[i]) + " against " + std::to_string(actual.bytes[i]);
        }
    }
    return "";
}

// A golden setting: the command line's options and the operation's properties that
// say the same, as the gegl program takes them (name=value).
struct Golden {
    const char* name;
    int planes;
    std::vector<std::string> options;
    std::vector<std::string> properties;
};

const Golden kGolden[] = {
    {"defaults", 3, {}, {}},
    {"wave", 3, {"--overlap-x", "20", "--overlap-y", "20", "--seam", "wave", "--fade", "50"},
     {"overlap-x=20", "overlap-y=20", "seam=wave", "fade=50"}},
    {"worst_case", 3, {"--overlap-x", "75", "--overlap-y", "75", "--fit", "--seam", "fractal", "--thru-bg", "40"},
     {"overlap-x=75", "overlap-y=75", "fit=true", "seam=fractal", "thru-bg=40"}},
    {"thru_bg_background", 3, {"--fade", "100", "--thru-bg", "60", "--bg-smooth", "30", "--background", "78B63D"},
     {"fade=100", "thru-bg=60", "bg-smooth=30", "background=#78B63D"}},
    {"repeat", 3, {"--no-fit", "--repeat", "--overlap-x", "30", "--overlap-y", "-25", "--seam", "zigzag", "--freq", "6"},
     {"fit=false", "repeat=true", "overlap-x=30", "overlap-y=-25", "seam=zigzag", "freq=6"}},
    {"opaque_out_alpha", 4,
     {"--no-fit", "--opaque-out", "--colour", "2050A0", "--overlap-x", "-40", "--overlap-y", "35", "--phase-x", "30"},
     {"fit=false", "opaque-out=true", "colour=#2050A0", "overlap-x=-40", "overlap-y=35", "phase-x=30"}},
    {"outside_clear_alpha", 4, {"--no-fit", "--overlap-x", "25", "--overlap-y", "25", "--seam", "wave"},
     {"fit=false", "overlap-x=25", "overlap-y=25", "seam=wave"}},
};

void PrintTo(const Golden& golden, std::ostream* out) { *out << golden.name; }

class GoldenSettings : public testing::TestWithParam<Golden> {};

// The command line's picture, made in this process by the command-line host's own run.
Image TessellonPicture(const Golden& golden) {
    std::vector<std::string> arguments = golden.options;
    arguments.insert(arguments.end(), {"in.png", "out.png"});  // named only: the picture is handed over in memory
    const tessellon::cli::ParseResult parsed = tessellon::cli::ParseCommandLine(arguments);
    EXPECT_TRUE(parsed.ok) << parsed.error;
    const tessellon::cli::RunSettings settings = tessellon::cli::PrepareSettings(parsed.options);
    tessellon::cli::RunResult run =
        tessellon::cli::RunFilterOnImage(Sample(golden.planes), settings, parsed.options, 0, nullptr);
    EXPECT_EQ(run.result, 0);
    return std::move(run.output);
}

TEST(GeglCommand, ListsTheOperation) {
    const std::string listing = TempDir() + "/list.txt";
    ASSERT_EQ(Shell(GeglProgram() + " --list-all > '" + listing + "'"), 0);
    EXPECT_NE(FileText(listing).find(std::string(kOperation) + "\n"), std::string::npos) << FileText(listing);
}

// The gegl program and the tessellon program, each on the same file.
TEST_P(GoldenSettings, GeglProgramWritesTessellonsPixels) {
    const Golden& golden = GetParam();
    const std::string input = SamplePath(golden.planes);
    const std::string from_gegl = TempDir() + "/gegl-" + golden.name + ".png";
    const std::string from_tessellon = TempDir() + "/tessellon-" + golden.name + ".png";
    std::string gegl = GeglProgram() + " '" + input + "' -o '" + from_gegl + "' -- " + kOperation;
    for (const std::string& property : golden.properties) gegl += " '" + property + "'";
    std::string tessellon = std::string("'") + TESSELLON_CLI_PATH + "' '" + input + "' '" + from_tessellon + "'";
    bool fit = false;
    for (const std::string& option : golden.options) {
        tessellon += " '" + option + "'";
        fit = fit || option == "--fit";
    }
    // The operation writes the whole extent; the command line, with Fit off, the tile
    // alone unless told otherwise.
    if (!fit) tessellon += " --no-crop";
    const std::string log = TempDir() + "/gegl-" + golden.name + ".log";
    ASSERT_EQ(Shell(gegl + " 2> '" + log + "'"), 0) << gegl << "\n" << FileText(log);
    ASSERT_EQ(Shell(tessellon + " 2> /dev/null"), 0) << tessellon;
    const Image expected = ReadPicture(from_tessellon);
    const Image actual = ReadPicture(from_gegl);
    EXPECT_EQ(expected.planes, golden.planes);
    EXPECT_TRUE(expected == actual) << FirstDifference(expected, actual);
}

// A graph of GEGL's C API: load, the operation with its properties set, a buffer sink.
GeglBuffer* RunGraph(const std::string& input, const std::vector<std::string>& properties) {
    GeglNode* graph = gegl_node_new();
    GeglNode* load = gegl_node_new_child(graph, "operation", "gegl:load", "path", input.c_str(), nullptr);
    GeglNode* tile = gegl_node_new_child(graph, "operation", kOperation, nullptr);
    GeglBuffer* result = nullptr;
    GeglNode* sink = gegl_node_new_child(graph, "operation", "gegl:buffer-sink", "buffer", &result, nullptr);
    for (const std::string& property : properties) {
        const std::size_t equals = property.find('=');
        const std::string name = property.substr(0, equals);
        const std::string text = property.substr(equals + 1);
        GParamSpec* spec = gegl_node_find_property(tile, name.c_str());
        EXPECT_NE(spec, nullptr) << name;
        if (spec == nullptr) continue;
        GValue value = G_VALUE_INIT;
        g_value_init(&value, spec->value_type);
        if (G_IS_PARAM_SPEC_INT(spec)) {
            g_value_set_int(&value, std::atoi(text.c_str()));
        } else if (G_IS_PARAM_SPEC_BOOLEAN(spec)) {
            g_value_set_boolean(&value, text == "true");
        } else if (G_IS_PARAM_SPEC_ENUM(spec)) {
            GEnumClass* items = static_cast<GEnumClass*>(g_type_class_ref(spec->value_type));
            const GEnumValue* item = g_enum_get_value_by_nick(items, text.c_str());
            EXPECT_NE(item, nullptr) << text;
            g_value_set_enum(&value, item != nullptr ? item->value : 0);
            g_type_class_unref(items);
        } else {
            GeglColor* colour = gegl_color_new(text.c_str());
            g_value_take_object(&value, colour);
        }
        gegl_node_set_property(tile, name.c_str(), &value);
        g_value_unset(&value);
    }
    gegl_node_link_many(load, tile, sink, nullptr);
    gegl_node_process(sink);
    g_object_unref(graph);
    return result;
}

Image BufferPicture(GeglBuffer* buffer, int planes) {
    const GeglRectangle* extent = gegl_buffer_get_extent(buffer);
    Image picture(extent->width, extent->height, planes);
    gegl_buffer_get(buffer, extent, 1.0, babl_format(planes == 4 ? "R'G'B'A u8" : "R'G'B' u8"),
                    picture.bytes.data(), GEGL_AUTO_ROWSTRIDE, GEGL_ABYSS_NONE);
    return picture;
}

TEST_P(GoldenSettings, GraphGivesTessellonsPixels) {
    const Golden& golden = GetParam();
    GeglBuffer* result = RunGraph(SamplePath(golden.planes), golden.properties);
    ASSERT_NE(result, nullptr);
    EXPECT_EQ(babl_format_has_alpha(gegl_buffer_get_format(result)) != 0, golden.planes == 4);
    const Image actual = BufferPicture(result, golden.planes);
    g_object_unref(result);
    const Image expected = TessellonPicture(golden);
    EXPECT_TRUE(expected == actual) << FirstDifference(expected, actual);
}

INSTANTIATE_TEST_SUITE_P(Golden, GoldenSettings, testing::ValuesIn(kGolden),
                         [](const testing::TestParamInfo<Golden>& case_info) { return std::string(case_info.param.name); });

// Messages GEGL's log domain receives while one is alive.
class LogCapture {
public:
    LogCapture() { id_ = g_log_set_handler("GEGL", G_LOG_LEVEL_WARNING, &LogCapture::Take, this); }
    ~LogCapture() { g_log_remove_handler("GEGL", id_); }
    const std::string& text() const { return text_; }

private:
    static void Take(const gchar*, GLogLevelFlags, const gchar* message, gpointer self) {
        static_cast<LogCapture*>(self)->text_ += std::string(message) + "\n";
    }
    guint id_ = 0;
    std::string text_;
};

long PeakResidentKiB() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

struct TooLarge {
    const char* name;
    int width, height;
    bool loaded;  // from a file through gegl:load, else a plain colour cropped to the size
};

const TooLarge kTooLarge[] = {
    {"wide_file", 32768, 4, true},
    {"tall_file", 4, 40000, true},
    {"wide_and_tall", 32768, 32768, false},
};

void PrintTo(const TooLarge& size, std::ostream* out) { *out << size.name; }

class PastTheLimit : public testing::TestWithParam<TooLarge> {};

// Refused with a message naming the limit; the picture (gigabytes for the last case) is
// neither rendered nor copied: the peak memory grows by far less than it.
TEST_P(PastTheLimit, RefusedWithoutTakingItsMemory) {
    const TooLarge& size = GetParam();
    GeglNode* graph = gegl_node_new();
    GeglNode* source = nullptr;
    if (size.loaded) {
        const std::string path = TempDir() + "/" + size.name + ".png";
        ASSERT_EQ(tessellon::cli::WriteImageFile(path, Image(size.width, size.height, 3, 90)), "");
        source = gegl_node_new_child(graph, "operation", "gegl:load", "path", path.c_str(), nullptr);
    } else {
        GeglColor* colour = gegl_color_new("#336699");
        GeglNode* plain = gegl_node_new_child(graph, "operation", "gegl:color", "value", colour, nullptr);
        g_object_unref(colour);
        source = gegl_node_new_child(graph, "operation", "gegl:crop", "width", static_cast<double>(size.width),
                                     "height", static_cast<double>(size.height), nullptr);
        gegl_node_link(plain, source);
    }
    GeglNode* tile = gegl_node_new_child(graph, "operation", kOperation, nullptr);
    GeglBuffer* result = nullptr;
    GeglNode* sink = gegl_node_new_child(graph, "operation", "gegl:buffer-sink", "buffer", &result, nullptr);
    gegl_node_link_many(source, tile, sink, nullptr);
    const long before = PeakResidentKiB();
    std::string messages;
    {
        const LogCapture log;
        gegl_node_process(sink);
        messages = log.text();
    }
    const long grown_mib = (PeakResidentKiB() - before) / 1024;
    if (result != nullptr) g_object_unref(result);
    g_object_unref(graph);
    EXPECT_NE(messages.find(std::string(kOperation) + ": the picture is " + std::to_string(size.width) + " x " +
                            std::to_string(size.height) + " pixels; the filter takes at most 32767 pixels"),
              std::string::npos)
        << messages;
    const long picture_mib = static_cast<long>(std::int64_t{size.width} * size.height * 3 / (1024 * 1024));
    EXPECT_LT(grown_mib, 64 + picture_mib / 16) << "the picture takes " << picture_mib << " MiB";
}

INSTANTIATE_TEST_SUITE_P(Sizes, PastTheLimit, testing::ValuesIn(kTooLarge),
                         [](const testing::TestParamInfo<TooLarge>& case_info) { return std::string(case_info.param.name); });

// The operation asks for the whole input and keeps the whole output, whatever part of the
// output is wanted; a change anywhere in the input changes all of it.
TEST(GeglGraph, TakesTheWholeInput) {
    GeglNode* graph = gegl_node_new();
    GeglNode* load = gegl_node_new_child(graph, "operation", "gegl:load", "path", SamplePath(3).c_str(), nullptr);
    GeglNode* tile = gegl_node_new_child(graph, "operation", kOperation, nullptr);
    gegl_node_link(load, tile);
    const GeglRectangle input = gegl_node_get_bounding_box(load);
    ASSERT_GT(input.width, 0);
    GeglOperation* operation = gegl_node_get_gegl_operation(tile);
    ASSERT_NE(operation, nullptr);
    const GeglRectangle parts[] = {{0, 0, 1, 1}, {input.width - 8, input.height - 8, 8, 8}, {40, 30, 64, 16}, input};
    for (const GeglRectangle& part : parts) {
        const GeglRectangle required = gegl_operation_get_required_for_output(operation, "input", &part);
        const GeglRectangle cached = gegl_operation_get_cached_region(operation, &part);
        const GeglRectangle changed = gegl_operation_get_invalidated_by_change(operation, "input", &part);
        EXPECT_TRUE(gegl_rectangle_equal(&required, &input)) << part.x << "," << part.y;
        EXPECT_TRUE(gegl_rectangle_equal(&cached, &input)) << part.x << "," << part.y;
        EXPECT_TRUE(gegl_rectangle_equal(&changed, &input)) << part.x << "," << part.y;
    }
    g_object_unref(graph);
}

// The operation reports its progress through GEGL, ending at the whole.
TEST(GeglGraph, ReportsProgress) {
    std::vector<double> reports;
    GeglNode* graph = gegl_node_new();
    GeglNode* load = gegl_node_new_child(graph, "operation", "gegl:load", "path", SamplePath(3).c_str(), nullptr);
    GeglNode* tile = gegl_node_new_child(graph, "operation", kOperation, "seam", 1, nullptr);
    GeglBuffer* result = nullptr;
    GeglNode* sink = gegl_node_new_child(graph, "operation", "gegl:buffer-sink", "buffer", &result, nullptr);
    gegl_node_link_many(load, tile, sink, nullptr);
    g_signal_connect(tile, "progress",
                     G_CALLBACK(+[](GeglNode*, gdouble done, gpointer seen) {
                         static_cast<std::vector<double>*>(seen)->push_back(done);
                     }),
                     &reports);
    gegl_node_process(sink);
    if (result != nullptr) g_object_unref(result);
    g_object_unref(graph);
    ASSERT_GE(reports.size(), 3u);
    EXPECT_EQ(reports.front(), 0.0);
    EXPECT_EQ(reports.back(), 1.0);
    for (std::size_t i = 1; i < reports.size(); ++i) EXPECT_GE(reports[i], reports[i - 1]);
}

// ---- Properties ---------------------------------------------------------------------

GParamSpec* FindSpec(GParamSpec** specs, guint count, const std::string& name) {
    for (guint i = 0; i < count; ++i) {
        if (name == specs[i]->name) return specs[i];
    }
    return nullptr;
}

tessellon::cli::Rgb DefaultRgb(GParamSpec* spec) {
    tessellon::cli::Rgb rgb{};
    gegl_color_get_pixel(gegl_param_spec_color_get_default(spec), babl_format("R'G'B' u8"), rgb.data());
    return rgb;
}

// Every property against the control records, under the command line's names, with the
// command line's tile preset as defaults; and no property beyond them.
TEST(GeglProperties, AreTheControlRecords) {
    guint count = 0;
    GParamSpec** specs = gegl_operation_list_properties(kOperation, &count);
    ASSERT_NE(specs, nullptr);
    // The tile preset, the default start.
    const tessellon::cli::RunSettings preset = tessellon::cli::PrepareSettings(tessellon::cli::Options{});
    guint expected = 0;
    for (const tessellon::cli::ControlOption& control : tessellon::cli::ControlOptions()) {
        ++expected;
        SCOPED_TRACE(control.name);
        GParamSpec* spec = FindSpec(specs, count, control.name);
        ASSERT_NE(spec, nullptr);
        EXPECT_EQ(std::string(g_param_spec_get_nick(spec)), control.caption);
        const std::int32_t default_value = preset.controls[control.control];
        if (control.check_box) {
            ASSERT_TRUE(G_IS_PARAM_SPEC_BOOLEAN(spec));
            EXPECT_EQ(G_PARAM_SPEC_BOOLEAN(spec)->default_value != 0, default_value != 0);
            continue;
        }
        const tessellon::ControlRecord& record = tessellon::StoredDefinitionBlock().controls[control.control];
        ASSERT_TRUE(G_IS_PARAM_SPEC_INT(spec));
        EXPECT_EQ(G_PARAM_SPEC_INT(spec)->minimum, record.min);
        EXPECT_EQ(G_PARAM_SPEC_INT(spec)->maximum, record.max);
        EXPECT_EQ(G_PARAM_SPEC_INT(spec)->default_value, default_value);
        ASSERT_TRUE(GEGL_IS_PARAM_SPEC_INT(spec));
        EXPECT_EQ(GEGL_PARAM_SPEC_INT(spec)->ui_minimum, record.min);
        EXPECT_EQ(GEGL_PARAM_SPEC_INT(spec)->ui_maximum, record.max);
    }
    {
        ++expected;
        GParamSpec* seam = FindSpec(specs, count, "seam");
        ASSERT_NE(seam, nullptr);
        ASSERT_TRUE(G_IS_PARAM_SPEC_ENUM(seam));
        const GEnumClass* items = G_PARAM_SPEC_ENUM(seam)->enum_class;
        const std::vector<std::string> names = tessellon::cli::SelectorItems();
        ASSERT_EQ(items->n_values, names.size());
        for (guint i = 0; i < items->n_values; ++i) {
            EXPECT_EQ(items->values[i].value, static_cast<gint>(i));
            EXPECT_EQ(std::string(items->values[i].value_name), names[i]);
            gchar* nick = g_ascii_strdown(names[i].c_str(), -1);
            EXPECT_EQ(std::string(items->values[i].value_nick), nick);
            g_free(nick);
        }
        EXPECT_EQ(G_PARAM_SPEC_ENUM(seam)->default_value, preset.controls[tessellon::cli::kSelectorControl]);
    }
    const tessellon::cli::Options host;  // the command line's host colours
    const struct {
        const char* name;
        tessellon::cli::Rgb rgb;
    } colours[] = {
        {"colour", tessellon::cli::Rgb{static_cast<std::uint8_t>(preset.colours[0]),
                                       static_cast<std::uint8_t>(preset.colours[0] >> 8),
                                       static_cast<std::uint8_t>(preset.colours[0] >> 16)}},
        {"background", host.background},
        {"foreground", host.foreground},
    };
    for (const auto& colour : colours) {
        ++expected;
        SCOPED_TRACE(colour.name);
        GParamSpec* spec = FindSpec(specs, count, colour.name);
        ASSERT_NE(spec, nullptr);
        ASSERT_TRUE(GEGL_IS_PARAM_SPEC_COLOR(spec));
        EXPECT_EQ(DefaultRgb(spec), colour.rgb);
    }
    EXPECT_EQ(count, expected);
    g_free(specs);
}

}  // namespace

#if defined(__SANITIZE_ADDRESS__)
// GEGL's start leaves memory that it never frees: babl's formats and conversions, and
// what the libraries behind GEGL's own operation modules allocate as they are loaded.
// Those two are left out of the leak report, and only those; to tell them by the
// functions on their way, the allocations' stacks are unwound in full.
extern "C" const char* __lsan_default_suppressions() { return "leak:babl_init\nleak:gegl_module_new\n"; }
extern "C" const char* __asan_default_options() { return "fast_unwind_on_malloc=0"; }
#endif

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    // GEGL finds the operation in the build's module folder and its own operations
    // (load, sinks) in its installed folder; the gegl program started by the tests
    // inherits the same path.
    setenv("GEGL_PATH", TESSELLON_GEGL_PATH, 1);
    gegl_init(&argc, &argv);
    tessellon::LoadModule(nullptr, nullptr);
    const int status = RUN_ALL_TESTS();
    gegl_exit();
    // The pictures the tests wrote go with the process.
    std::error_code ignored;
    if (TempDir() != "/tmp") std::filesystem::remove_all(TempDir(), ignored);
    return status;
}
