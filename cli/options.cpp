// The command line of the command-line host. Option names, captions and ranges come
// from the filter's definition block, so the options follow the filter.
#include "cli/options.h"

#include "cli/image_io.h"
#include "filter/definition.h"
#include "ui/control_names.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <limits>

namespace tessellon::cli {
namespace {

constexpr int kMaxTiles = 32;
constexpr int kMaxCoordinate = 32767;

bool IsDigit(char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; }
char Lower(char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); }

std::string LowerText(std::string text) {
    for (char& c : text) c = Lower(c);
    return text;
}

std::string JoinLower(const std::vector<std::string>& items, const char* separator) {
    std::string text;
    for (const std::string& item : items) {
        if (!text.empty()) text += separator;
        text += LowerText(item);
    }
    return text;
}

// Whole decimal number, optionally negative, nothing else around it.
enum class NumberStatus { ok, malformed, too_large };
NumberStatus ParseInteger(const std::string& text, std::int64_t& value) {
    if (text.empty()) return NumberStatus::malformed;
    const char* first = text.data();
    const char* last = first + text.size();
    const auto [end, error] = std::from_chars(first, last, value);
    if (end != last) return NumberStatus::malformed;
    if (error == std::errc::result_out_of_range) return NumberStatus::too_large;
    return error == std::errc() ? NumberStatus::ok : NumberStatus::malformed;
}

std::optional<std::uint32_t> ParseHexColour(std::string text) {
    if (!text.empty() && text[0] == '#') text.erase(0, 1);
    if (text.size() != 6) return std::nullopt;
    std::uint32_t rrggbb = 0;
    for (char c : text) {
        if (std::isxdigit(static_cast<unsigned char>(c)) == 0) return std::nullopt;
        rrggbb = rrggbb * 16 + static_cast<std::uint32_t>(IsDigit(c) ? c - '0' : Lower(c) - 'a' + 10);
    }
    return rrggbb;
}

Rgb RgbOf(std::uint32_t rrggbb) {
    return {static_cast<std::uint8_t>(rrggbb >> 16), static_cast<std::uint8_t>(rrggbb >> 8),
            static_cast<std::uint8_t>(rrggbb)};
}

// Splits "a<sep>b<sep>c" into whole non-negative numbers; false when any part is not one.
bool ParseNumberList(const std::string& text, char separator, std::vector<std::int64_t>& numbers) {
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = text.find(separator, start);
        const std::string part = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
        std::int64_t value = 0;
        if (part.empty() || part[0] == '-' || ParseInteger(part, value) != NumberStatus::ok) return false;
        numbers.push_back(value);
        if (end == std::string::npos) return true;
        start = end + 1;
    }
}

class Parser {
public:
    explicit Parser(const std::vector<std::string>& arguments)
        : arguments_(arguments), controls_(ControlOptions()), seams_(SelectorItems()) {}

    ParseResult Run() {
        ParseResult result;
        std::vector<std::string> positional;
        bool only_files = false;
        for (index_ = 0; index_ < arguments_.size(); ++index_) {
            const std::string& argument = arguments_[index_];
            if (only_files || argument.size() < 2 || argument[0] != '-') {
                positional.push_back(argument);
                continue;
            }
            if (argument == "--") {
                only_files = true;
                continue;
            }
            if (!Option(argument)) {
                result.error = error_;
                return result;
            }
        }
        // Options that contradict each other: whichever won, the result would not be what
        // one of them asked for.
        const int fit = FitControl();
        if (fit >= 0 && options_.controls[static_cast<std::size_t>(fit)] == 1 && options_.crop == true) {
            result.error = "--crop and --fit contradict each other: --fit stretches the tile over the whole "
                           "picture, --crop writes the tile alone; give one of them";
            return result;
        }
        if (options_.size && options_.crop == false) {
            result.error = "--size and --no-crop contradict each other: --size resamples the tile alone, "
                           "--no-crop writes the picture around it; give one of them";
            return result;
        }
        if (options_.lossless && options_.quality) {
            result.error = "--lossless and --quality contradict each other: --quality writes WebP lossy; give one of them";
            return result;
        }
        const bool informational = options_.help || options_.version || options_.about;
        if (!informational && !options_.out_dir.empty()) {
            if (positional.empty()) {
                result.error = "--out-dir needs the input files";
                return result;
            }
            for (const std::string& input : positional) {
                if (input == "-") {
                    result.error = "--out-dir takes files, not standard input '-'";
                    return result;
                }
            }
            if (!options_.tile_preview.empty()) {
                result.error = "--tile-preview takes one input and output, not --out-dir";
                return result;
            }
            options_.files = true;
            options_.inputs = positional;
        } else if (!informational) {
            if (positional.empty() && !options_.print_settings) {
                result.error = "missing the input and output files";
                return result;
            }
            if (positional.size() == 1) {
                result.error = "missing the output file after '" + positional[0] + "'";
                return result;
            }
            if (positional.size() > 2) {
                result.error = "too many arguments: '" + positional[2] + "' (several inputs go with --out-dir DIR)";
                return result;
            }
            if (positional.empty() && !options_.tile_preview.empty()) {
                result.error = "--tile-preview needs the input and output files";
                return result;
            }
            if (positional.size() == 2) {
                options_.files = true;
                options_.input = positional[0];
                options_.output = positional[1];
                if (options_.output == "-" && !options_.format) {
                    result.error = "standard output '-' needs --format";
                    return result;
                }
            }
        }
        result.ok = true;
        result.options = options_;
        return result;
    }

private:
    int FitControl() const {
        for (const ControlOption& control : controls_) {
            if (control.check_box && control.name == "fit") return control.control;
        }
        return -1;
    }

    bool Fail(std::string message) {
        error_ = std::move(message);
        return false;
    }

    bool Option(const std::string& argument) {
        if (argument == "-h") return Flag(options_.help);
        if (argument.rfind("-j", 0) == 0 || argument.rfind("-t", 0) == 0) {
            // -j N or -jN, -t N or -tN
            const bool jobs = argument[1] == 'j';
            name_ = jobs ? "jobs" : "threads";
            has_inline_ = argument.size() > 2;
            inline_value_ = argument.substr(2);
            return jobs ? Jobs() : SmallNumber(1, 64, options_.threads);
        }
        if (argument.rfind("--", 0) != 0) {
            // "-fit" for "--fit": a dash short.
            const std::string nearest = argument.size() > 2 ? NearestOption(argument.substr(1)) : std::string();
            return Fail("unknown option: " + argument + (nearest.empty() ? "" : "; did you mean --" + nearest + "?"));
        }
        const std::size_t equals = argument.find('=');
        name_ = argument.substr(2, equals == std::string::npos ? std::string::npos : equals - 2);
        has_inline_ = equals != std::string::npos;
        inline_value_ = has_inline_ ? argument.substr(equals + 1) : std::string();

        if (name_ == "help") return Flag(options_.help);
        if (name_ == "version") return Flag(options_.version);
        if (name_ == "about") return Flag(options_.about);
        if (name_ == "print-settings") return Flag(options_.print_settings);
        if (name_ == "defaults") return Start(StartingPoint::filter);
        if (name_ == "saved") return Start(StartingPoint::saved);
        if (name_ == "preset") return Preset();
        if (name_ == "save") return Flag(options_.save);
        if (name_ == "crop" || name_ == "no-crop") {
            bool set = false;
            if (!Flag(set)) return false;
            options_.crop = name_ == "crop";
            return true;
        }
        if (name_ == "alpha") return Flag(options_.alpha);
        for (const ControlOption& control : controls_) {
            if (control.check_box && (name_ == control.name || name_ == "no-" + control.name)) {
                bool set = false;
                if (!Flag(set)) return false;
                options_.controls[static_cast<std::size_t>(control.control)] = name_ == control.name ? 1 : 0;
                return true;
            }
            if (!control.check_box && name_ == control.name) return Slider(control);
        }
        if (name_ == "seam" && !seams_.empty()) return Seam();
        if (name_ == "colour" || name_ == "color") return Colour();
        if (name_ == "background") return HostColour(options_.background);
        if (name_ == "foreground") return HostColour(options_.foreground);
        if (name_ == "selection") return SelectionOption();
        if (name_ == "max-space") return MaxSpace();
        if (name_ == "max-pixels") return MaxPixels();
        if (name_ == "allow-strips") return Flag(options_.allow_strips);
        if (name_ == "format") return Format();
        if (name_ == "quality") return SmallNumber(1, 100, options_.quality);
        if (name_ == "lossless") return Flag(options_.lossless);
        if (name_ == "compression") return SmallNumber(0, 9, options_.compression);
        if (name_ == "out-dir") return OutDir();
        if (name_ == "jobs") return Jobs();
        if (name_ == "threads") return SmallNumber(1, 64, options_.threads);
        if (name_ == "tile-preview") return TilePreview();
        if (name_ == "tiles") return Tiles();
        if (name_ == "size") return SizeOption();
        const std::string nearest = NearestOption(name_);
        return Fail("unknown option: --" + name_ + (nearest.empty() ? "" : "; did you mean --" + nearest + "?"));
    }

    bool Flag(bool& target) {
        if (has_inline_) return Fail("--" + name_ + " takes no value");
        target = true;
        return true;
    }

    // One starting point per command line: a second one is more likely a slip than a
    // wish, so it is refused rather than silently winning.
    bool Start(StartingPoint start) {
        if (has_inline_ && name_ != "preset") return Fail("--" + name_ + " takes no value");
        if (options_.start_given && options_.start != start) {
            return Fail("--" + name_ + ": only one starting point (--preset, --defaults or --saved) may be given");
        }
        options_.start = start;
        options_.start_given = true;
        return true;
    }

    bool Preset() {
        std::string text;
        if (!Value(text)) return false;
        if (LowerText(text) == "tile") return Start(StartingPoint::tile);
        if (LowerText(text) == "filter") return Start(StartingPoint::filter);
        return Fail("--preset: '" + text + "' is not one of tile, filter");
    }

    bool Value(std::string& value) {
        if (has_inline_) {
            value = inline_value_;
        } else if (index_ + 1 < arguments_.size()) {
            value = arguments_[++index_];
        } else {
            return Fail("--" + name_ + " needs a value");
        }
        return true;
    }

    bool Slider(const ControlOption& control) {
        std::string text;
        if (!Value(text)) return false;
        std::int64_t value = 0;
        const NumberStatus status = ParseInteger(text, value);
        if (status == NumberStatus::malformed) return Fail("--" + name_ + ": '" + text + "' is not a whole number");
        if (status == NumberStatus::too_large || value < control.min || value > control.max) {
            return Fail("--" + name_ + ": " + text + " is outside " + control.caption + ": " +
                        std::to_string(control.min) + ".." + std::to_string(control.max));
        }
        options_.controls[static_cast<std::size_t>(control.control)] = static_cast<std::int32_t>(value);
        return true;
    }

    bool Seam() {
        std::string text;
        if (!Value(text)) return false;
        for (std::size_t i = 0; i < seams_.size(); ++i) {
            if (LowerText(text) == LowerText(seams_[i])) {
                options_.controls[kSelectorControl] = static_cast<std::int32_t>(i);
                return true;
            }
        }
        return Fail("--seam: '" + text + "' is not one of " + JoinLower(seams_, ", "));
    }

    bool Colour() {
        std::string text;
        if (!Value(text)) return false;
        const std::optional<std::uint32_t> rrggbb = ParseHexColour(text);
        if (!rrggbb) return Fail("--" + name_ + ": '" + text + "' is not a colour RRGGBB");
        const Rgb rgb = RgbOf(*rrggbb);
        options_.colour = static_cast<std::uint32_t>(rgb[0]) | static_cast<std::uint32_t>(rgb[1]) << 8 |
                          static_cast<std::uint32_t>(rgb[2]) << 16;
        return true;
    }

    bool HostColour(Rgb& target) {
        std::string text;
        if (!Value(text)) return false;
        const std::optional<std::uint32_t> rrggbb = ParseHexColour(text);
        if (!rrggbb) return Fail("--" + name_ + ": '" + text + "' is not a colour RRGGBB");
        target = RgbOf(*rrggbb);
        return true;
    }

    bool SelectionOption() {
        std::string text;
        if (!Value(text)) return false;
        std::vector<std::int64_t> n;
        if (!ParseNumberList(text, ',', n) || n.size() != 4) {
            return Fail("--selection: '" + text + "' is not X,Y,W,H (four whole numbers, not negative)");
        }
        if (n[2] < 1 || n[3] < 1) return Fail("--selection: '" + text + "' has no width or no height");
        // Each part is at most INT64_MAX: compared without adding, so that no sum overflows.
        if (n[0] > kMaxCoordinate || n[2] > kMaxCoordinate - n[0] || n[1] > kMaxCoordinate ||
            n[3] > kMaxCoordinate - n[1]) {
            return Fail("--selection: '" + text + "' reaches beyond " + std::to_string(kMaxCoordinate));
        }
        options_.selection = Selection{static_cast<int>(n[0]), static_cast<int>(n[1]), static_cast<int>(n[2]),
                                       static_cast<int>(n[3])};
        return true;
    }

    // A whole number within min..max, read into a wide type and checked there, so that
    // no text can overflow on the way.
    bool WholeNumber(std::int64_t min, std::int64_t max, std::int64_t& value) {
        std::string text;
        if (!Value(text)) return false;
        const NumberStatus status = ParseInteger(text, value);
        if (status == NumberStatus::malformed) return Fail("--" + name_ + ": '" + text + "' is not a whole number");
        if (status == NumberStatus::too_large || value < min || value > max) {
            return Fail("--" + name_ + ": " + text + " is outside " + std::to_string(min) + ".." + std::to_string(max));
        }
        return true;
    }

    bool MaxSpace() {
        std::int64_t value = 0;
        if (!WholeNumber(0, std::numeric_limits<std::int32_t>::max(), value)) return false;
        options_.max_space = static_cast<std::int32_t>(value);
        return true;
    }

    bool MaxPixels() {
        std::int64_t value = 0;
        if (!WholeNumber(1, std::int64_t{kMaxCoordinate} * kMaxCoordinate, value)) return false;
        options_.max_pixels = static_cast<std::uint64_t>(value);
        return true;
    }

    bool SmallNumber(std::int64_t min, std::int64_t max, std::optional<int>& target) {
        std::int64_t value = 0;
        if (!WholeNumber(min, max, value)) return false;
        target = static_cast<int>(value);
        return true;
    }

    bool Jobs() {
        std::optional<int> jobs;
        if (!SmallNumber(1, 256, jobs)) return false;
        options_.jobs = *jobs;
        options_.jobs_given = true;
        return true;
    }

    bool Format() {
        std::string text;
        if (!Value(text)) return false;
        // A format is named as its file extension is.
        if (text.empty() || text.find_first_of("./") != std::string::npos || !OutputFormatFor("-." + text)) {
            return Fail("--format: '" + text + "' is not a format that is written");
        }
        options_.format = LowerText(text);
        return true;
    }

    bool OutDir() {
        std::string text;
        if (!Value(text)) return false;
        if (text.empty()) return Fail("--out-dir needs a folder");
        options_.out_dir = text;
        return true;
    }

    bool TilePreview() {
        std::string text;
        if (!Value(text)) return false;
        if (text.empty()) return Fail("--tile-preview needs a file name");
        options_.tile_preview = text;
        return true;
    }

    // WxH, or N for N × N.
    bool SizeOption() {
        std::string text;
        if (!Value(text)) return false;
        std::vector<std::int64_t> n;
        const std::string lowered = LowerText(text);
        if (!ParseNumberList(lowered, 'x', n) || n.empty() || n.size() > 2 || n[0] < 1 || n.back() < 1 ||
            n[0] > kMaxCoordinate || n.back() > kMaxCoordinate) {
            return Fail("--size: '" + text + "' is not WxH or N, with W, H and N from 1 to " +
                        std::to_string(kMaxCoordinate));
        }
        options_.size = Options::Size{static_cast<int>(n[0]), static_cast<int>(n.back())};
        return true;
    }

    bool Tiles() {
        std::string text;
        if (!Value(text)) return false;
        std::vector<std::int64_t> n;
        const std::string lowered = LowerText(text);
        if (!ParseNumberList(lowered, 'x', n) || n.size() != 2 || n[0] < 1 || n[0] > kMaxTiles || n[1] < 1 ||
            n[1] > kMaxTiles) {
            return Fail("--tiles: '" + text + "' is not CxR with C and R from 1 to " + std::to_string(kMaxTiles));
        }
        options_.tiles_given = true;
        options_.tile_columns = static_cast<int>(n[0]);
        options_.tile_rows = static_cast<int>(n[1]);
        return true;
    }

    const std::vector<std::string>& arguments_;
    const std::vector<ControlOption> controls_;
    const std::vector<std::string> seams_;
    Options options_;
    std::size_t index_ = 0;
    std::string name_;
    bool has_inline_ = false;
    std::string inline_value_;
    std::string error_;
};

}  // namespace

std::vector<ControlOption> ControlOptions() {
    std::vector<ControlOption> options;
    const auto add = [&options](int index, bool check_box) {
        const ControlRecord& record = definition_block.controls[index];
        const std::string name = ControlNameFromCaption(record.caption);
        if (record.enabled == 0 || name.empty()) return;
        options.push_back({name, CaptionText(record.caption), index, check_box, record.min, record.max});
    };
    for (int i = 0; i < kSliderCount; ++i) add(i, false);
    // In the dialog's order: check box 1 (control value 15) first.
    for (int i = kLastCheckBox; i >= kFirstCheckBox; --i) add(i, true);
    return options;
}

std::vector<std::string> SelectorItems() {
    std::vector<std::string> items;
    if (definition_block.controls[kSelectorControl].enabled == 0) return items;
    std::string item;
    for (const char c : definition_block.selector_items) {
        if (c == '\0' || c == '\r') {
            if (!item.empty()) items.push_back(item);
            item.clear();
            if (c == '\0') break;
            continue;
        }
        // Blanks and control characters before an item's first character are skipped.
        if (item.empty() && static_cast<unsigned char>(c) <= 0x20) continue;
        item += c;
    }
    return items;
}

ParseResult ParseCommandLine(const std::vector<std::string>& arguments) { return Parser(arguments).Run(); }

namespace {

// Edits from `a` to `b`: letters added, removed or changed, and two neighbours swapped
// counted as one (the optimal string alignment distance).
std::size_t EditDistance(const std::string& a, const std::string& b) {
    const std::size_t columns = b.size() + 1;
    std::vector<std::size_t> d((a.size() + 1) * columns);
    const auto at = [&d, columns](std::size_t i, std::size_t j) -> std::size_t& { return d[i * columns + j]; };
    for (std::size_t i = 0; i <= a.size(); ++i) at(i, 0) = i;
    for (std::size_t j = 0; j <= b.size(); ++j) at(0, j) = j;
    for (std::size_t i = 1; i <= a.size(); ++i) {
        for (std::size_t j = 1; j <= b.size(); ++j) {
            const std::size_t cost = a[i - 1] == b[j - 1] ? 0 : 1;
            at(i, j) = std::min({at(i - 1, j) + 1, at(i, j - 1) + 1, at(i - 1, j - 1) + cost});
            if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1]) {
                at(i, j) = std::min(at(i, j), at(i - 2, j - 2) + 1);
            }
        }
    }
    return at(a.size(), b.size());
}

// Every long option the parser knows, without dashes.
std::vector<std::string> LongOptionNames() {
    std::vector<std::string> names = {
        "help", "version", "about", "print-settings", "defaults", "saved", "preset", "save", "crop", "no-crop",
        "alpha", "colour", "color", "background", "foreground", "selection", "max-space", "max-pixels",
        "allow-strips", "format", "quality", "lossless", "compression", "out-dir", "jobs", "threads", "tile-preview", "tiles",
        "size"};
    for (const ControlOption& control : ControlOptions()) {
        names.push_back(control.name);
        if (control.check_box) names.push_back("no-" + control.name);
    }
    if (!SelectorItems().empty()) names.push_back("seam");
    return names;
}

}  // namespace

namespace {

// Text for troff: backslashes doubled, dashes as minus signs (options stay copyable), a
// leading dot or quote kept from being read as a request.
std::string Troff(const std::string& text) {
    std::string out;
    for (const char c : text) {
        if (c == '\\') {
            out += "\\e";
        } else if (c == '-') {
            out += "\\-";
        } else {
            out += c;
        }
    }
    if (!out.empty() && (out[0] == '.' || out[0] == '\'')) out.insert(0, "\\&");
    return out;
}

std::string Trimmed(const std::string& text) {
    const std::size_t first = text.find_first_not_of(' ');
    if (first == std::string::npos) return {};
    return text.substr(first, text.find_last_not_of(' ') - first + 1);
}

}  // namespace

std::string ManPage(const std::string& version) {
    // HelpText's layout: the usage lines, a paragraph, then sections ("Host:") of option
    // lines ("  --name VALUE   meaning", the meaning from column 33), then closing lines.
    std::string page = ".TH TESSELLON 1 \"\" \"Tessellon " + version + "\" \"User Commands\"\n" +
                       ".SH NAME\ntessellon \\- turn a picture into a seamless tile\n.SH SYNOPSIS\n.nf\n";
    std::vector<std::string> lines;
    {
        const std::string help = HelpText();
        std::size_t from = 0;
        while (from < help.size()) {
            std::size_t end = help.find('\n', from);
            if (end == std::string::npos) end = help.size();
            lines.push_back(help.substr(from, end - from));
            from = end + 1;
        }
    }
    std::size_t i = 0;
    for (; i < lines.size() && !lines[i].empty(); ++i) {
        std::string usage = Trimmed(lines[i]);
        if (usage.rfind("usage: ", 0) == 0) usage.erase(0, 7);
        page += Troff(usage) + "\n";
    }
    page += ".fi\n.SH DESCRIPTION\n";
    bool in_options = false;
    constexpr std::size_t kMeaningColumn = 33;  // two blanks, the option in 30, a blank
    for (; i < lines.size(); ++i) {
        const std::string& line = lines[i];
        if (line.empty()) {
            page += ".PP\n";
        } else if (line.rfind("  -", 0) == 0) {
            const std::string option = Trimmed(line.substr(0, std::min(line.size(), kMeaningColumn)));
            const std::string meaning = line.size() > kMeaningColumn ? Trimmed(line.substr(kMeaningColumn)) : "";
            page += ".TP\n.B " + Troff(option) + "\n" + Troff(meaning) + "\n";
        } else if (line.back() == ':' && line[0] != ' ') {
            if (!in_options) page += ".SH OPTIONS\n";
            in_options = true;
            page += ".SS " + Troff(line.substr(0, line.size() - 1)) + "\n";
        } else {
            page += Troff(line) + "\n";
        }
    }
    return page;
}

std::string BashCompletion() {
    std::string options;
    for (const std::string& name : LongOptionNames()) {
        if (!options.empty()) options += ' ';
        options.append("--").append(name);
    }
    options += " -h -j -t";
    std::string seams;
    for (const std::string& item : SelectorItems()) {
        if (!seams.empty()) seams += ' ';
        seams += LowerText(item);
    }
    return "# bash completion for tessellon\n"
           "_tessellon() {\n"
           "    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]}\n"
           "    case $prev in\n"
           "        --seam) COMPREPLY=($(compgen -W \"" + seams + "\" -- \"$cur\")); return ;;\n"
           "        --preset) COMPREPLY=($(compgen -W \"tile filter\" -- \"$cur\")); return ;;\n"
           "        --format) COMPREPLY=($(compgen -W \"png jpg webp tif ppm pam\" -- \"$cur\")); return ;;\n"
           "        --out-dir) COMPREPLY=($(compgen -d -- \"$cur\")); return ;;\n"
           "    esac\n"
           "    if [[ $cur == -* ]]; then\n"
           "        COMPREPLY=($(compgen -W \"" + options + "\" -- \"$cur\"))\n"
           "    else\n"
           "        COMPREPLY=($(compgen -f -- \"$cur\"))\n"
           "    fi\n"
           "}\n"
           "complete -o filenames -F _tessellon tessellon\n";
}

std::string NearestOption(const std::string& name) {
    // Within two edits, and never more edits than half the name's letters: "--x" is no
    // misspelt "--fit".
    std::string best;
    std::size_t best_distance = 3;
    const std::string lowered = LowerText(name);
    for (const std::string& candidate : LongOptionNames()) {
        const std::size_t distance = EditDistance(lowered, candidate);
        if (distance < best_distance && distance * 2 <= std::min(lowered.size(), candidate.size())) {
            best = candidate;
            best_distance = distance;
        }
    }
    return best;
}

std::string HexColour(const Rgb& rgb) {
    char text[8];
    std::snprintf(text, sizeof text, "%02X%02X%02X", rgb[0], rgb[1], rgb[2]);
    return text;
}

std::string HexColour(std::uint32_t bbggrr) {
    return HexColour(Rgb{static_cast<std::uint8_t>(bbggrr), static_cast<std::uint8_t>(bbggrr >> 8),
                         static_cast<std::uint8_t>(bbggrr >> 16)});
}

namespace {

// What each of the filter's controls does, for --help; keyed by option name.
const char* ControlMeaning(const std::string& name) {
    static const struct {
        const char* name;
        const char* meaning;
    } kMeanings[] = {
        {"overlap-x", "how much of the width (%) is blended over the opposite edge; < 0 from the left"},
        {"overlap-y", "how much of the height (%) is blended over the opposite edge; < 0 from the top"},
        {"fade", "width of the blend across the seam, % of the overlap (0: a hard cut)"},
        {"thru-bg", "overlapping copies this close to the background colour are not blended (0: off)"},
        {"bg-smooth", "softness of that see-through edge, % of the way to full colour"},
        {"freq", "how many waves or zigzags the seam makes along an edge"},
        {"phase-x", "shifts the seam shape along the width, % of one wave"},
        {"phase-y", "shifts the seam shape along the height, % of one wave"},
        {"fit", "stretch the tile over the whole picture: keeps its size, but resamples and softens it"},
        {"opaque-out", "make the area outside the tile opaque instead of see-through (with --no-crop)"},
        {"repeat", "fill the area outside the tile with the tile repeated, not the colour (with --no-crop)"},
    };
    for (const auto& entry : kMeanings) {
        if (name == entry.name) return entry.meaning;
    }
    return nullptr;
}

}  // namespace

std::string HelpText() {
    std::string text =
        "usage: tessellon IN OUT [options]\n"
        "       tessellon IN... --out-dir DIR [options]\n"
        "       tessellon --print-settings [options]\n"
        "       tessellon --about | --version | --help\n"
        "\n"
        "Turns the image IN into a seamless tile OUT with the Tessellon filter. A run starts\n"
        "from a preset (by default 'tile': overlap 20 % each way, OUT the tile alone, every\n"
        "pixel of its inside IN's own) plus the options given, and leaves the saved settings\n"
        "alone unless --save is given. The tile is IN less the overlap (80 % of each side by\n"
        "default); --fit keeps IN's size by stretching the tile, which resamples and softens\n"
        "it. IN: PNG, JPEG, WebP, TIFF, PPM (P6) or PAM (P7). OUT: .png, .jpg, .webp, .tif,\n"
        ".ppm or .pam. '-' is standard input or output (a pipe or a file, not a terminal).\n"
        "\n"
        "Starting point:\n";
    const auto line = [&text](const std::string& option, const std::string& meaning) {
        char buffer[200];
        std::snprintf(buffer, sizeof buffer, "  %-30s %s\n", option.c_str(), meaning.c_str());
        text += buffer;
    };
    line("--preset tile", "overlap 20/20 over the filter's defaults, Fit off, OUT the tile alone (the default)");
    line("--preset filter, --defaults", "the filter's own defaults (overlap 0: the picture unchanged), OUT the whole picture");
    line("--saved", "the settings the last --save run saved");
    line("--save", "save this run's settings for a later --saved run");
    text += "\nFilter settings:\n";
    const std::vector<ControlOption> controls = ControlOptions();
    for (const ControlOption& control : controls) {
        if (control.check_box) continue;
        const char* meaning = ControlMeaning(control.name);
        line("--" + control.name + " N", control.caption + " " + std::to_string(control.min) + ".." +
                                              std::to_string(control.max) + (meaning != nullptr ? ": " : "") +
                                              (meaning != nullptr ? meaning : ""));
    }
    const std::vector<std::string> seams = SelectorItems();
    if (!seams.empty()) line("--seam NAME", "shape of the seam: " + JoinLower(seams, ", "));
    for (const ControlOption& control : controls) {
        if (!control.check_box) continue;
        const char* meaning = ControlMeaning(control.name);
        line("--" + control.name + ", --no-" + control.name,
             meaning != nullptr ? std::string(meaning) : control.caption + " check box on or off");
    }
    line("--colour RRGGBB", "colour outside the tile, seen with --no-crop (the filter's colour entry; default EB4BE9)");
    text += "\nHost:\n";
    line("--background RRGGBB", "the host's background colour (default FFFFFF)");
    line("--foreground RRGGBB", "the host's foreground colour (default 000000)");
    line("--selection X,Y,W,H", "filter only this rectangle of the image");
    line("--max-space BYTES", "the host's memory budget (default 2147483647, the most it can say)");
    line("--allow-strips", "accept a run that has to work in strips (seams may show)");
    line("--alpha", "add an opaque alpha plane to an RGB image");
    line("--max-pixels N", "refuse larger images (default: what fits in half the memory)");
    text += "\nOutput:\n";
    line("--crop", "write only the tile, the part that repeats (the tile preset's default; not with --fit)");
    line("--no-crop", "write the whole filtered picture: the tile and, past it, the colour outside it");
    line("--size WxH, --size N", "resample the tile to exactly W x H (N x N), edges wrapping: it still tiles");
    line("--format NAME", "OUT's format, over its extension (needed for OUT '-')");
    line("--quality N", "JPEG and lossy WebP quality, 1..100");
    line("--lossless", "WebP lossless (the default, except from a JPEG or lossy WebP input)");
    line("--compression N", "PNG and TIFF deflate level, 0..9 (default: PNG run-length, TIFF 4)");
    line("--out-dir DIR", "tile every IN into DIR/<name>.<ext>: tessellon IN... --out-dir DIR");
    line("-j N", "with --out-dir: N files at a time (default: one per core)");
    line("-t N, --threads N", "threads the filter uses for each file, 1..64 (default: one per core)");
    line("--tile-preview FILE", "also write the result laid CxR times");
    line("--tiles CxR", "the repeats of --tile-preview (default 2x2, 1..32 each)");
    line("--print-settings", "print the settings of the run (without IN OUT: print only)");
    text +=
        "\nOptions take their value as --name=value or --name value.\n"
        "Exit status: 0 done, 1 file error, 2 bad command line, 3 run refused by the\n"
        "filter, 130 run cancelled (Ctrl-C or SIGTERM).\n";
    return text;
}

}  // namespace tessellon::cli
