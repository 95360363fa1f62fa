// The command-line host's option parser: names and ranges taken from the filter's
// control records, both value forms, and every kind of bad command line.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cli/options.h"
#include "filter/control_rows.h"

namespace tessellon::cli {
namespace {

TEST(CliOptionsTest, OneOptionPerVisibleControlNamedAfterItsCaption) {
    std::vector<std::string> names;
    std::vector<int> controls;
    for (const ControlOption& option : ControlOptions()) {
        names.push_back(option.name);
        controls.push_back(option.control);
    }
    EXPECT_EQ(names, (std::vector<std::string>{"overlap-x", "overlap-y", "fade", "thru-bg", "bg-smooth", "freq",
                                               "phase-x", "phase-y", "fit", "opaque-out", "repeat"}));
    EXPECT_EQ(controls, (std::vector<int>{0, 1, 2, 3, 4, 5, 6, 7, 15, 14, 13}));
    EXPECT_EQ(SelectorItems(), (std::vector<std::string>{"Normal", "Wave", "Zigzag", "Fractal"}));
}

TEST(CliOptionsTest, ValuesInBothFormsAndFlags) {
    const ParseResult parsed =
        ParseCommandLine({"in.jpg", "--overlap-x", "-76", "--fade=0", "--seam", "Zigzag", "--fit", "--repeat",
                          "--no-repeat", "--opaque-out", "--colour", "#FF8000", "--background", "102030",
                          "--selection=1,2,3,4", "--tiles", "3X2", "--max-space=0", "--max-pixels", "1073676289",
                          "--alpha", "out.png", "-t3",
                          "--tile-preview", "t.pam"});
    ASSERT_TRUE(parsed.ok) << parsed.error;
    const Options& o = parsed.options;
    EXPECT_EQ(o.input, "in.jpg");
    EXPECT_EQ(o.output, "out.png");
    EXPECT_TRUE(o.Filters());
    EXPECT_EQ(o.controls[kOverlapXRow], -76);
    EXPECT_EQ(o.controls[kFadeRow], 0);
    EXPECT_FALSE(o.controls[kOverlapYRow].has_value()) << "untouched controls keep their saved values";
    EXPECT_EQ(o.controls[kSelectorControl], 2);
    EXPECT_EQ(o.controls[kFitRow], 1);
    EXPECT_EQ(o.controls[kOpaqueOutRow], 1);
    EXPECT_EQ(o.controls[kRepeatRow], 0) << "the last of --repeat and --no-repeat wins";
    EXPECT_EQ(o.colour, 0x000080FFu) << "colour entries are 0x00BBGGRR";
    EXPECT_EQ(o.background, (Rgb{0x10, 0x20, 0x30}));
    EXPECT_EQ(o.foreground, (Rgb{0, 0, 0}));
    ASSERT_TRUE(o.selection.has_value());
    EXPECT_EQ(o.selection->x, 1);
    EXPECT_EQ(o.selection->height, 4);
    EXPECT_EQ(o.max_pixels, 1073676289u);
    EXPECT_EQ(o.tile_columns, 3);
    EXPECT_EQ(o.tile_rows, 2);
    EXPECT_EQ(o.max_space, 0);
    EXPECT_TRUE(o.alpha);
    EXPECT_EQ(o.tile_preview, "t.pam");
    EXPECT_EQ(o.threads, 3);

    const ParseResult files = ParseCommandLine({"--", "-in.png", "-out.png"});
    ASSERT_TRUE(files.ok) << files.error;
    EXPECT_EQ(files.options.input, "-in.png");

    const ParseResult print_only = ParseCommandLine({"--print-settings", "--freq", "128"});
    ASSERT_TRUE(print_only.ok) << print_only.error;
    EXPECT_FALSE(print_only.options.Filters());
}

TEST(CliOptionsTest, BadCommandLinesSayWhatIsWrong) {
    struct Case {
        std::vector<std::string> arguments;
        const char* message;
    };
    const Case cases[] = {
        {{"a.png", "b.png", "--bogus"}, "unknown option: --bogus"},
        {{"a.png", "b.png", "-x"}, "unknown option: -x"},
        {{"a.png", "b.png", "--fade"}, "--fade needs a value"},
        {{"a.png", "b.png", "--fade", "12a"}, "--fade: '12a' is not a whole number"},
        {{"a.png", "b.png", "--fade="}, "--fade: '' is not a whole number"},
        {{"a.png", "b.png", "--fade", "200"}, "--fade: 200 is outside Fade: 0..100"},
        {{"a.png", "b.png", "--overlap-x=-77"}, "--overlap-x: -77 is outside Overlap X: -76..75"},
        {{"a.png", "b.png", "--freq", "0"}, "--freq: 0 is outside Freq: 1..128"},
        {{"a.png", "b.png", "--thru-bg", "99999999999999999999"}, "is outside Thru BG: 0..255"},
        {{"a.png", "b.png", "--fit=1"}, "--fit takes no value"},
        {{"a.png", "b.png", "--colour", "FF00"}, "--colour: 'FF00' is not a colour RRGGBB"},
        {{"a.png", "b.png", "--background=GG0000"}, "--background: 'GG0000' is not a colour RRGGBB"},
        {{"a.png", "b.png", "--seam", "spiral"}, "--seam: 'spiral' is not one of normal, wave, zigzag, fractal"},
        {{"a.png", "b.png", "--selection", "1,2,3"}, "--selection: '1,2,3' is not X,Y,W,H"},
        {{"a.png", "b.png", "--selection", "-1,2,3,4"}, "is not X,Y,W,H"},
        {{"a.png", "b.png", "--selection", "1,2,0,4"}, "has no width or no height"},
        {{"a.png", "b.png", "--selection", "9223372036854775807,0,1,1"}, "reaches beyond 32767"},
        {{"a.png", "b.png", "--selection", "0,1,1,9223372036854775807"}, "reaches beyond 32767"},
        {{"a.png", "b.png", "--selection", "32767,0,1,1"}, "reaches beyond 32767"},
        {{"a.png", "b.png", "--tiles", "3"}, "--tiles: '3' is not CxR"},
        {{"a.png", "b.png", "--tiles", "33x1"}, "from 1 to 32"},
        {{"a.png", "b.png", "--max-space", "-1"}, "--max-space: -1 is outside 0..2147483647"},
        {{"a.png", "b.png", "--max-space", "18446744073709551616"}, "--max-space: 18446744073709551616 is outside"},
        {{"a.png", "b.png", "--max-pixels", "0"}, "--max-pixels: 0 is outside 1..1073676289"},
        {{"a.png", "b.png", "--max-pixels", "1073676290"}, "is outside 1..1073676289"},
        {{"a.png", "b.png", "--max-pixels", "1e6"}, "--max-pixels: '1e6' is not a whole number"},
        {{"a.png", "b.png", "--threads", "65"}, "--threads: 65 is outside 1..64"},
        {{"a.png", "b.png", "-t"}, "--threads needs a value"},
        {{"a.png", "b.png", "--preset", "spiral"}, "--preset: 'spiral' is not one of tile, filter"},
        {{"a.png", "b.png", "--defaults", "--saved"}, "--saved: only one starting point"},
        {{"a.png", "b.png", "--saved=yes"}, "--saved takes no value"},
        {{"a.png"}, "missing the output file"},
        {{}, "missing the input and output files"},
        {{"a.png", "b.png", "c.png"}, "too many arguments: 'c.png'"},
        {{"--print-settings", "--tile-preview", "t.png"}, "--tile-preview needs the input and output files"},
    };
    for (const Case& c : cases) {
        std::string joined;
        for (const std::string& a : c.arguments) joined += a + " ";
        SCOPED_TRACE(joined);
        const ParseResult parsed = ParseCommandLine(c.arguments);
        EXPECT_FALSE(parsed.ok);
        EXPECT_NE(parsed.error.find(c.message), std::string::npos) << parsed.error;
    }
}

TEST(CliOptionsTest, TheManualPageAndCompletionSayWhatHelpSays) {
    const std::string help = HelpText();
    const std::string page = ManPage("9.8.7");
    EXPECT_EQ(page.rfind(".TH TESSELLON 1 \"\" \"Tessellon 9.8.7\"", 0), 0u) << page.substr(0, 80);
    const std::string completion = BashCompletion();
    // Every option line of --help is an entry of the page, its meaning word for word,
    // and every option it names is completed.
    std::size_t options = 0;
    std::size_t from = 0;
    while ((from = help.find("\n  -", from)) != std::string::npos) {
        const std::size_t end = help.find('\n', from + 1);
        const std::string line = help.substr(from + 1, end - from - 1);
        from = end;
        ++options;
        const std::string option = line.substr(2, line.find(' ', 2) - 2);
        std::string troff;
        for (const char c : option) troff += c == '-' ? std::string("\\-") : std::string(1, c);
        EXPECT_NE(page.find(".B " + troff), std::string::npos) << line;
        const std::string meaning = line.substr(33);
        std::string meaning_troff;
        for (const char c : meaning) meaning_troff += c == '-' ? std::string("\\-") : std::string(1, c);
        EXPECT_NE(page.find(meaning_troff), std::string::npos) << line;
        const std::string bare = option.back() == ',' ? option.substr(0, option.size() - 1) : option;
        EXPECT_TRUE(completion.find(" " + bare + " ") != std::string::npos ||
                    completion.find(" " + bare + "\"") != std::string::npos)
            << bare;
    }
    EXPECT_GT(options, 30u);
    EXPECT_NE(completion.find("complete -o filenames -F _tessellon tessellon"), std::string::npos);
}

TEST(CliOptionsTest, MisspeltOptionsGetTheNearestRealOne) {
    EXPECT_EQ(NearestOption("fitt"), "fit");
    EXPECT_EQ(NearestOption("overlpa-x"), "overlap-x") << "two letters swapped count once";
    EXPECT_EQ(NearestOption("Tile-Preveiw"), "tile-preview");
    EXPECT_EQ(NearestOption("backgroud"), "background");
    EXPECT_EQ(NearestOption("x"), "") << "nothing near a name this short";
    EXPECT_EQ(NearestOption("completely-different"), "");
}

}  // namespace
}  // namespace tessellon::cli
