// The netpbm formats read and written by hand: binary PPM (P6) and PAM (P7), 8 bits
// per sample; RGB, or a PAM's RGB, grey, each with or without alpha.
#include <algorithm>
#include <vector>

#include "cli/image_io_internal.h"

namespace tessellon::cli::imageio {

namespace {

bool IsSpace(int c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }
bool IsDigit(int c) { return c >= '0' && c <= '9'; }

// Reads the whitespace- and comment-separated numbers of a PPM header.
class PpmHeader {
public:
    explicit PpmHeader(Input& input) : input_(input) {}

    bool Number(std::uint64_t& value) {
        int c = input_.Get();
        for (;;) {
            if (IsSpace(c)) {
                c = input_.Get();
            } else if (c == '#') {
                while (c != -1 && c != '\n' && c != '\r') c = input_.Get();
            } else {
                break;
            }
        }
        value = 0;
        std::size_t digits = 0;
        while (IsDigit(c)) {
            if (++digits > 10) return false;
            value = value * 10 + static_cast<std::uint64_t>(c - '0');
            c = input_.Get();
        }
        // The byte after the number: whitespace, which ends the header after the last.
        last_ = c;
        return digits > 0;
    }

    // The single whitespace byte that ends the header, already read after the number.
    bool EndOfHeader() const { return IsSpace(last_); }

private:
    Input& input_;
    int last_ = -1;
};

bool WriteText(ByteSink& out, const std::string& text) { return out.Write(text.data(), text.size()); }

// The pixels after the header: `depth` samples a pixel, RGB (3), RGBA (4), or grey (1)
// and grey with alpha (2), which come out as RGB and RGBA.
DecodeResult RasterAfterHeader(Input& input, std::uint64_t width, std::uint64_t height, int depth,
                               const ReadLimits& limits) {
    const std::uint64_t needed = width * height * static_cast<std::uint64_t>(depth);
    // A file of known size that is too short is refused before anything is allocated.
    if (input.size() && *input.size() - std::min(*input.size(), input.consumed()) < needed) {
        const std::uint64_t have = *input.size() - std::min(*input.size(), input.consumed());
        return Failure("the file ends early: " + std::to_string(have) + " of " + std::to_string(needed) +
                       " pixel bytes");
    }
    DecodeResult result;
    const bool grey = depth <= 2;
    const int planes = grey ? depth + 2 : depth;
    if (grey) {
        result.grey = true;
        result.notes.push_back(depth == 2 ? "grey image with alpha converted to RGBA" : "grey image converted to RGB");
    }
    RowBuffer buffer(result.image, static_cast<int>(width), static_cast<int>(height), planes,
                     input.size() ? std::optional<std::uint64_t>(needed / static_cast<std::uint64_t>(depth) *
                                                                 static_cast<std::uint64_t>(planes))
                                  : std::nullopt,
                     limits);
    const std::size_t file_row = static_cast<std::size_t>(width) * static_cast<std::size_t>(depth);
    std::vector<std::uint8_t> samples(grey ? file_row : 0);
    std::uint64_t read = 0;
    for (std::uint64_t y = 0; y < height; ++y) {
        std::uint8_t* row = buffer.NextRow();
        const std::size_t n = input.Read(grey ? samples.data() : row, file_row);
        read += n;
        if (n < file_row) {
            return Failure("the file ends early: " + std::to_string(read) + " of " + std::to_string(needed) +
                           " pixel bytes");
        }
        if (grey) {
            const std::uint8_t* sample = samples.data();
            for (std::uint64_t x = 0; x < width; ++x, sample += depth, row += planes) {
                row[0] = row[1] = row[2] = sample[0];
                if (depth == 2) row[3] = sample[1];
            }
        }
    }
    result.ok = true;
    return result;
}

}  // namespace

DecodeResult DecodePpm(Input& input, const ReadLimits& limits) {
    std::uint8_t magic[2];
    input.Read(magic, 2);
    PpmHeader header(input);
    std::uint64_t width = 0, height = 0, maxval = 0;
    if (!header.Number(width) || !header.Number(height) || !header.Number(maxval) || !header.EndOfHeader()) {
        return Failure("damaged PPM header");
    }
    if (maxval != 255) return Failure("PPM maxval " + std::to_string(maxval) + " is not supported (only 255)");
    if (std::string problem = DimensionProblem(width, height, limits); !problem.empty()) return Failure(problem);
    return RasterAfterHeader(input, width, height, 3, limits);
}

namespace {


// One line of a PAM header, without its newline; false at the end of the input or
// when the line is unreasonably long.
bool HeaderLine(Input& input, std::string& line) {
    line.clear();
    for (int c = input.Get(); c != '\n'; c = input.Get()) {
        if (c == -1 || line.size() > 4096) return false;
        line += static_cast<char>(c);
    }
    return true;
}

}  // namespace

DecodeResult DecodePam(Input& input, const ReadLimits& limits) {
    std::uint8_t magic[3];
    if (input.Read(magic, 3) != 3 || magic[2] != '\n') return Failure("damaged PAM header");
    std::uint64_t width = 0, height = 0, depth = 0, maxval = 0;
    bool has_width = false, has_height = false, has_depth = false, has_maxval = false;
    std::string tuple_type;
    bool ended = false;
    std::string line;
    for (int lines = 0; !ended && lines < 1000 && HeaderLine(input, line); ++lines) {
        const std::size_t first = line.find_first_not_of(" \t\r");
        if (first == std::string::npos || line[first] == '#') continue;
        line.erase(0, first);
        const std::size_t gap = line.find_first_of(" \t");
        const std::string keyword = line.substr(0, gap);
        std::string value = gap == std::string::npos ? std::string() : line.substr(gap);
        value.erase(0, value.find_first_not_of(" \t"));
        value.erase(value.find_last_not_of(" \t\r") + 1);
        const auto number = [&value](std::uint64_t& out) {
            if (value.empty() || value.size() > 10 ||
                !std::all_of(value.begin(), value.end(), [](char c) { return IsDigit(static_cast<unsigned char>(c)); })) {
                return false;
            }
            out = std::stoull(value);
            return true;
        };
        bool good = true;
        if (keyword == "ENDHDR") {
            ended = true;
        } else if (keyword == "WIDTH") {
            good = has_width = number(width);
        } else if (keyword == "HEIGHT") {
            good = has_height = number(height);
        } else if (keyword == "DEPTH") {
            good = has_depth = number(depth);
        } else if (keyword == "MAXVAL") {
            good = has_maxval = number(maxval);
        } else if (keyword == "TUPLTYPE") {
            if (tuple_type.size() < 256) tuple_type += tuple_type.empty() ? value : " " + value;
        } else {
            good = false;
        }
        if (!good) return Failure("damaged PAM header line '" + line + "'");
    }
    if (!ended) return Failure("damaged PAM header: no ENDHDR");
    // The fields that are missing, else those that are 0, by name.
    const struct {
        const char* name;
        bool present;
        std::uint64_t value;
    } fields[] = {{"WIDTH", has_width, width}, {"HEIGHT", has_height, height}, {"DEPTH", has_depth, depth},
                  {"MAXVAL", has_maxval, maxval}};
    for (const bool missing : {true, false}) {
        std::vector<std::string> names;
        for (const auto& field : fields) {
            if (missing ? !field.present : field.value == 0) names.push_back(field.name);
        }
        if (names.empty()) continue;
        std::string list = names[0];
        for (std::size_t i = 1; i < names.size(); ++i) list += (i + 1 == names.size() ? " and " : ", ") + names[i];
        const bool one = names.size() == 1;
        return Failure("damaged PAM header: " + list + (missing ? (one ? " is missing" : " are missing")
                                                                : (one ? " is 0" : " are 0")));
    }
    if (maxval != 255) return Failure("PAM maxval " + std::to_string(maxval) + " is not supported (only 255)");
    const bool rgb = depth == 3 && (tuple_type.empty() || tuple_type == "RGB");
    const bool rgba = depth == 4 && (tuple_type.empty() || tuple_type == "RGB_ALPHA");
    const bool grey = depth == 1 && (tuple_type.empty() || tuple_type == "GRAYSCALE");
    const bool grey_alpha = depth == 2 && (tuple_type.empty() || tuple_type == "GRAYSCALE_ALPHA");
    if (!rgb && !rgba && !grey && !grey_alpha) {
        return Failure("PAM TUPLTYPE '" + tuple_type + "' with DEPTH " + std::to_string(depth) +
                       " is not supported (RGB with depth 3, RGB_ALPHA with depth 4, GRAYSCALE with depth 1, "
                       "GRAYSCALE_ALPHA with depth 2)");
    }
    if (std::string problem = DimensionProblem(width, height, limits); !problem.empty()) return Failure(problem);
    return RasterAfterHeader(input, width, height, static_cast<int>(depth), limits);
}

std::string EncodeNetpbm(FileFormat format, RowSource& rows, ByteSink& out, bool grey) {
    grey = grey && format == FileFormat::pam;
    const bool alpha = rows.planes() == 4;
    const int depth = grey ? rows.planes() - 2 : rows.planes();
    const char* tuple_type = grey ? (alpha ? "GRAYSCALE_ALPHA" : "GRAYSCALE") : (alpha ? "RGB_ALPHA" : "RGB");
    const std::string width = std::to_string(rows.width()), height = std::to_string(rows.height());
    const std::string header =
        format == FileFormat::ppm
            ? "P6\n" + width + " " + height + "\n255\n"
            : "P7\nWIDTH " + width + "\nHEIGHT " + height + "\nDEPTH " + std::to_string(depth) +
                  "\nMAXVAL 255\nTUPLTYPE " + tuple_type + "\nENDHDR\n";
    if (!WriteText(out, header)) return out.Error();
    const std::size_t row_bytes = static_cast<std::size_t>(rows.width()) * static_cast<std::size_t>(depth);
    std::vector<std::uint8_t> packed(grey ? row_bytes : 0);
    for (int y = 0; y < rows.height(); ++y) {
        const std::uint8_t* row = rows.Row(y);
        if (row == nullptr) return kRowsAbandoned;
        if (grey) {
            PackGrey(row, rows.width(), rows.planes(), packed.data());
            row = packed.data();
        }
        if (!WriteAll(out, row, row_bytes)) return out.Error();
    }
    return {};
}

}  // namespace tessellon::cli::imageio
