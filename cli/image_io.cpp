// Image files for the command-line host. libpng and libjpeg report errors by a long
// jump out of the library; every function that sets a jump point here keeps its state
// in a structure owned by its caller and creates no object with a destructor after the
// jump point, so a jump back skips nothing that needs cleaning up. The caller then
// destroys the library's structures through a guard object.
#include "cli/image_io.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <csetjmp>
#include <cstdio>
#include <cstring>

// jpeglib.h needs size_t and FILE declared first.
#include <jpeglib.h>
#include <png.h>

namespace tessellon::cli {
namespace {

constexpr std::size_t kMessageSize = 256;
constexpr std::uint64_t kMaxFileBytes = std::uint64_t{1} << 33;  // 8 GiB: above any image we take

DecodeResult Failure(std::string error) {
    DecodeResult result;
    result.error = std::move(error);
    return result;
}

std::string SizeText(std::uint64_t width, std::uint64_t height) {
    return std::to_string(width) + "x" + std::to_string(height);
}

// Empty when width × height can pass through the host interface.
std::string DimensionProblem(std::uint64_t width, std::uint64_t height) {
    if (width == 0 || height == 0) return "the image is empty (" + SizeText(width, height) + ")";
    if (width > kMaxDimension || height > kMaxDimension) {
        return "the image is " + SizeText(width, height) + " pixels; the host interface takes at most " +
               std::to_string(kMaxDimension) + " in either direction";
    }
    return {};
}

bool StartsWith(const std::vector<std::uint8_t>& bytes, const char* prefix, std::size_t length) {
    return bytes.size() >= length && std::memcmp(bytes.data(), prefix, length) == 0;
}

// ---- PNG --------------------------------------------------------------------------

constexpr char kPngSignature[] = "\x89PNG\r\n\x1a\n";

[[noreturn]] void PngFail(png_structp png, png_const_charp message) {
    auto* text = static_cast<char*>(png_get_error_ptr(png));
    std::snprintf(text, kMessageSize, "%s", message);
    png_longjmp(png, 1);
}

// Warnings (a damaged ancillary chunk, say) leave the image usable.
void PngWarn(png_structp, png_const_charp) {}

struct PngReadState {
    const std::vector<std::uint8_t>* bytes = nullptr;
    std::size_t position = 0;
    Image* image = nullptr;
    std::vector<std::string>* notes = nullptr;
    std::vector<png_bytep> rows;
    std::string refusal;  // a refusal of our own, made before any pixel is read
    char message[kMessageSize] = {};
};

void PngReadBytes(png_structp png, png_bytep out, png_size_t length) {
    auto* state = static_cast<PngReadState*>(png_get_io_ptr(png));
    if (length > state->bytes->size() - state->position) png_error(png, "the file ends early");
    std::memcpy(out, state->bytes->data() + state->position, length);
    state->position += length;
}

struct PngReadGuard {
    png_structp png = nullptr;
    png_infop info = nullptr;
    PngReadGuard() = default;
    PngReadGuard(const PngReadGuard&) = delete;
    PngReadGuard& operator=(const PngReadGuard&) = delete;
    ~PngReadGuard() {
        if (png != nullptr) png_destroy_read_struct(&png, info != nullptr ? &info : nullptr, nullptr);
    }
};

bool DecodePngGuarded(png_structp png, png_infop info, PngReadState& state) {
    if (setjmp(png_jmpbuf(png))) return false;
    png_set_read_fn(png, &state, PngReadBytes);
    // Our own size check below says more than libpng's default limit would.
    png_set_user_limits(png, 0x7FFFFFFF, 0x7FFFFFFF);
    png_read_info(png, info);
    const png_uint_32 width = png_get_image_width(png, info);
    const png_uint_32 height = png_get_image_height(png, info);
    state.refusal = DimensionProblem(width, height);
    if (!state.refusal.empty()) return false;

    const int colour_type = png_get_color_type(png, info);
    const int bit_depth = png_get_bit_depth(png, info);
    const bool transparency = png_get_valid(png, info, PNG_INFO_tRNS) != 0;
    if (colour_type == PNG_COLOR_TYPE_PALETTE) {
        png_set_palette_to_rgb(png);
        state.notes->push_back(transparency ? "palette image expanded to RGBA" : "palette image expanded to RGB");
    }
    if (colour_type == PNG_COLOR_TYPE_GRAY && bit_depth < 8) png_set_expand_gray_1_2_4_to_8(png);
    if (transparency) png_set_tRNS_to_alpha(png);
    if (bit_depth == 16) {
        png_set_scale_16(png);
        state.notes->push_back("16-bit image converted to 8 bits per channel");
    }
    if ((colour_type & PNG_COLOR_MASK_COLOR) == 0) {
        png_set_gray_to_rgb(png);
        const bool alpha = (colour_type & PNG_COLOR_MASK_ALPHA) != 0 || transparency;
        state.notes->push_back(alpha ? "grey image with alpha converted to RGBA" : "grey image converted to RGB");
    }
    png_set_interlace_handling(png);
    png_read_update_info(png, info);
    const int planes = png_get_channels(png, info);
    if ((planes != 3 && planes != 4) || png_get_bit_depth(png, info) != 8) {
        state.refusal = "unexpected PNG layout after conversion";
        return false;
    }
    *state.image = Image(static_cast<int>(width), static_cast<int>(height), planes);
    state.rows.resize(height);
    const std::size_t row_bytes = static_cast<std::size_t>(width) * static_cast<std::size_t>(planes);
    for (png_uint_32 y = 0; y < height; ++y) state.rows[y] = state.image->bytes.data() + y * row_bytes;
    png_read_image(png, state.rows.data());
    png_read_end(png, nullptr);
    return true;
}

DecodeResult DecodePng(const std::vector<std::uint8_t>& bytes) {
    DecodeResult result;
    PngReadState state;
    state.bytes = &bytes;
    state.image = &result.image;
    state.notes = &result.notes;
    PngReadGuard guard;
    guard.png = png_create_read_struct(PNG_LIBPNG_VER_STRING, state.message, PngFail, PngWarn);
    if (guard.png != nullptr) guard.info = png_create_info_struct(guard.png);
    if (guard.png == nullptr || guard.info == nullptr) return Failure("out of memory for the PNG decoder");
    if (!DecodePngGuarded(guard.png, guard.info, state)) {
        return Failure(state.refusal.empty() ? "damaged PNG file: " + std::string(state.message) : state.refusal);
    }
    result.ok = true;
    return result;
}

struct PngWriteState {
    std::vector<std::uint8_t>* out = nullptr;
    const Image* image = nullptr;
    char message[kMessageSize] = {};
};

void PngWriteBytes(png_structp png, png_bytep data, png_size_t length) {
    auto* state = static_cast<PngWriteState*>(png_get_io_ptr(png));
    bool stored = true;
    try {
        state->out->insert(state->out->end(), data, data + length);
    } catch (...) {
        stored = false;
    }
    // Outside the handler: the jump must not leave an exception behind.
    if (!stored) png_error(png, "out of memory");
}

void PngFlush(png_structp) {}

struct PngWriteGuard {
    png_structp png = nullptr;
    png_infop info = nullptr;
    PngWriteGuard() = default;
    PngWriteGuard(const PngWriteGuard&) = delete;
    PngWriteGuard& operator=(const PngWriteGuard&) = delete;
    ~PngWriteGuard() {
        if (png != nullptr) png_destroy_write_struct(&png, info != nullptr ? &info : nullptr);
    }
};

bool EncodePngGuarded(png_structp png, png_infop info, PngWriteState& state) {
    if (setjmp(png_jmpbuf(png))) return false;
    const Image& image = *state.image;
    png_set_write_fn(png, &state, PngWriteBytes, PngFlush);
    png_set_IHDR(png, info, static_cast<png_uint_32>(image.width), static_cast<png_uint_32>(image.height), 8,
                 image.planes == 4 ? PNG_COLOR_TYPE_RGB_ALPHA : PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    const std::size_t row_bytes = static_cast<std::size_t>(image.width) * static_cast<std::size_t>(image.planes);
    for (int y = 0; y < image.height; ++y) png_write_row(png, image.bytes.data() + static_cast<std::size_t>(y) * row_bytes);
    png_write_end(png, nullptr);
    return true;
}

std::string EncodePng(const Image& image, std::vector<std::uint8_t>& out) {
    PngWriteState state;
    state.out = &out;
    state.image = &image;
    PngWriteGuard guard;
    guard.png = png_create_write_struct(PNG_LIBPNG_VER_STRING, state.message, PngFail, PngWarn);
    if (guard.png != nullptr) guard.info = png_create_info_struct(guard.png);
    if (guard.png == nullptr || guard.info == nullptr) return "out of memory for the PNG encoder";
    if (!EncodePngGuarded(guard.png, guard.info, state)) return "PNG encoding failed: " + std::string(state.message);
    return {};
}

// ---- JPEG -------------------------------------------------------------------------

struct JpegErrorManager {
    jpeg_error_mgr base;  // first: libjpeg hands back a pointer to it
    std::jmp_buf jump;
    char message[JMSG_LENGTH_MAX];
};

[[noreturn]] void JpegFail(j_common_ptr info) {
    auto* manager = reinterpret_cast<JpegErrorManager*>(info->err);
    (*info->err->format_message)(info, manager->message);
    std::longjmp(manager->jump, 1);
}

// Level -1 is a warning about corrupt data (a truncated file among them): the decoder
// would go on with made-up pixels, so it ends the decoding instead. Trace messages
// (levels 1 and up) are dropped.
void JpegMessage(j_common_ptr info, int level) {
    if (level < 0) JpegFail(info);
}

struct JpegReadState {
    jpeg_decompress_struct info{};
    JpegErrorManager error{};
    const std::vector<std::uint8_t>* bytes = nullptr;
    Image* image = nullptr;
    std::vector<std::string>* notes = nullptr;
    std::string refusal;
    bool created = false;
};

bool DecodeJpegGuarded(JpegReadState& state) {
    jpeg_decompress_struct& info = state.info;
    if (setjmp(state.error.jump)) return false;
    jpeg_create_decompress(&info);
    state.created = true;
    jpeg_mem_src(&info, state.bytes->data(), static_cast<unsigned long>(state.bytes->size()));
    jpeg_read_header(&info, TRUE);
    state.refusal = DimensionProblem(info.image_width, info.image_height);
    if (!state.refusal.empty()) return false;
    if (info.jpeg_color_space == JCS_CMYK || info.jpeg_color_space == JCS_YCCK) {
        state.refusal = "CMYK JPEG files are not supported";
        return false;
    }
    if (info.jpeg_color_space == JCS_GRAYSCALE) state.notes->push_back("grey image converted to RGB");
    info.out_color_space = JCS_RGB;
    jpeg_start_decompress(&info);
    if (info.output_components != 3) {
        state.refusal = "unexpected JPEG layout after conversion";
        return false;
    }
    *state.image = Image(static_cast<int>(info.output_width), static_cast<int>(info.output_height), 3);
    const std::size_t row_bytes = static_cast<std::size_t>(info.output_width) * 3;
    while (info.output_scanline < info.output_height) {
        JSAMPROW row = state.image->bytes.data() + static_cast<std::size_t>(info.output_scanline) * row_bytes;
        jpeg_read_scanlines(&info, &row, 1);
    }
    jpeg_finish_decompress(&info);
    return true;
}

struct JpegReadGuard {
    JpegReadState* state;
    explicit JpegReadGuard(JpegReadState* state_) : state(state_) {}
    JpegReadGuard(const JpegReadGuard&) = delete;
    JpegReadGuard& operator=(const JpegReadGuard&) = delete;
    ~JpegReadGuard() {
        if (state->created) jpeg_destroy_decompress(&state->info);
    }
};

DecodeResult DecodeJpeg(const std::vector<std::uint8_t>& bytes) {
    DecodeResult result;
    JpegReadState state;
    state.bytes = &bytes;
    state.image = &result.image;
    state.notes = &result.notes;
    state.info.err = jpeg_std_error(&state.error.base);
    state.error.base.error_exit = JpegFail;
    state.error.base.emit_message = JpegMessage;
    JpegReadGuard guard(&state);
    if (!DecodeJpegGuarded(state)) {
        return Failure(state.refusal.empty() ? "damaged JPEG file: " + std::string(state.error.message)
                                             : state.refusal);
    }
    result.ok = true;
    return result;
}

// ---- PPM and PAM ------------------------------------------------------------------

bool IsSpace(std::uint8_t c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }

// Reads the whitespace- and comment-separated numbers of a PPM header.
class PpmHeader {
public:
    PpmHeader(const std::vector<std::uint8_t>& bytes, std::size_t position) : bytes_(bytes), position_(position) {}

    bool Number(std::uint64_t& value) {
        for (;;) {
            if (position_ >= bytes_.size()) return false;
            const std::uint8_t c = bytes_[position_];
            if (IsSpace(c)) {
                ++position_;
            } else if (c == '#') {
                while (position_ < bytes_.size() && bytes_[position_] != '\n' && bytes_[position_] != '\r') ++position_;
            } else {
                break;
            }
        }
        value = 0;
        std::size_t digits = 0;
        while (position_ < bytes_.size() && std::isdigit(bytes_[position_]) != 0) {
            if (++digits > 10) return false;
            value = value * 10 + (bytes_[position_] - '0');
            ++position_;
        }
        return digits > 0;
    }

    // The single whitespace byte that ends the header.
    bool EndOfHeader() {
        if (position_ >= bytes_.size() || !IsSpace(bytes_[position_])) return false;
        ++position_;
        return true;
    }

    std::size_t position() const { return position_; }

private:
    const std::vector<std::uint8_t>& bytes_;
    std::size_t position_;
};

DecodeResult RasterAfterHeader(const std::vector<std::uint8_t>& bytes, std::size_t position, std::uint64_t width,
                               std::uint64_t height, int planes) {
    const std::uint64_t needed = width * height * static_cast<std::uint64_t>(planes);
    const std::uint64_t present = bytes.size() - position;
    if (present < needed) {
        return Failure("the file ends early: " + std::to_string(present) + " of " + std::to_string(needed) +
                       " pixel bytes");
    }
    DecodeResult result;
    result.image = Image(static_cast<int>(width), static_cast<int>(height), planes);
    std::memcpy(result.image.bytes.data(), bytes.data() + position, static_cast<std::size_t>(needed));
    result.ok = true;
    return result;
}

DecodeResult DecodePpm(const std::vector<std::uint8_t>& bytes) {
    PpmHeader header(bytes, 2);
    std::uint64_t width = 0, height = 0, maxval = 0;
    if (!header.Number(width) || !header.Number(height) || !header.Number(maxval) || !header.EndOfHeader()) {
        return Failure("damaged PPM header");
    }
    if (maxval != 255) return Failure("PPM maxval " + std::to_string(maxval) + " is not supported (only 255)");
    if (std::string problem = DimensionProblem(width, height); !problem.empty()) return Failure(problem);
    return RasterAfterHeader(bytes, header.position(), width, height, 3);
}

DecodeResult DecodePam(const std::vector<std::uint8_t>& bytes) {
    std::size_t position = 2;
    if (position >= bytes.size() || bytes[position] != '\n') return Failure("damaged PAM header");
    ++position;
    std::uint64_t width = 0, height = 0, depth = 0, maxval = 0;
    std::string tuple_type;
    bool ended = false;
    while (!ended && position < bytes.size()) {
        const auto end = std::find(bytes.begin() + static_cast<std::ptrdiff_t>(position), bytes.end(), '\n');
        if (end == bytes.end()) break;
        std::string line(bytes.begin() + static_cast<std::ptrdiff_t>(position), end);
        position = static_cast<std::size_t>(end - bytes.begin()) + 1;
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
                !std::all_of(value.begin(), value.end(), [](char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; })) {
                return false;
            }
            out = std::stoull(value);
            return true;
        };
        bool good = true;
        if (keyword == "ENDHDR") {
            ended = true;
        } else if (keyword == "WIDTH") {
            good = number(width);
        } else if (keyword == "HEIGHT") {
            good = number(height);
        } else if (keyword == "DEPTH") {
            good = number(depth);
        } else if (keyword == "MAXVAL") {
            good = number(maxval);
        } else if (keyword == "TUPLTYPE") {
            tuple_type += tuple_type.empty() ? value : " " + value;
        } else {
            good = false;
        }
        if (!good) return Failure("damaged PAM header line '" + line + "'");
    }
    if (!ended) return Failure("damaged PAM header: no ENDHDR");
    if (width == 0 || height == 0 || depth == 0 || maxval == 0) {
        return Failure("damaged PAM header: WIDTH, HEIGHT, DEPTH and MAXVAL are needed");
    }
    if (maxval != 255) return Failure("PAM maxval " + std::to_string(maxval) + " is not supported (only 255)");
    const bool rgb = depth == 3 && (tuple_type.empty() || tuple_type == "RGB");
    const bool rgba = depth == 4 && (tuple_type.empty() || tuple_type == "RGB_ALPHA");
    if (!rgb && !rgba) {
        return Failure("PAM TUPLTYPE '" + tuple_type + "' with DEPTH " + std::to_string(depth) +
                       " is not supported (RGB with depth 3, RGB_ALPHA with depth 4)");
    }
    if (std::string problem = DimensionProblem(width, height); !problem.empty()) return Failure(problem);
    return RasterAfterHeader(bytes, position, width, height, static_cast<int>(depth));
}

void AppendText(std::vector<std::uint8_t>& out, const std::string& text) { out.insert(out.end(), text.begin(), text.end()); }

// ---- Files ------------------------------------------------------------------------

std::string SystemError(const std::string& what, const std::string& path) {
    return "cannot " + what + " '" + path + "': " + std::strerror(errno);
}

bool ReadFileBytes(const std::string& path, std::vector<std::uint8_t>& bytes, std::string& error) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        error = SystemError("read", path);
        return false;
    }
    std::uint8_t chunk[1 << 16];
    bool good = true;
    for (;;) {
        const std::size_t n = std::fread(chunk, 1, sizeof chunk, file);
        bytes.insert(bytes.end(), chunk, chunk + n);
        if (bytes.size() > kMaxFileBytes) {
            error = "'" + path + "' is too large";
            good = false;
            break;
        }
        if (n < sizeof chunk) {
            if (std::ferror(file) != 0) {
                error = SystemError("read", path);
                good = false;
            }
            break;
        }
    }
    std::fclose(file);
    return good;
}

std::string LowerExtension(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    const std::size_t dot = path.find_last_of('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return {};
    std::string extension = path.substr(dot + 1);
    for (char& c : extension) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return extension;
}

}  // namespace

const char* FormatName(FileFormat format) {
    switch (format) {
        case FileFormat::png: return "PNG";
        case FileFormat::jpeg: return "JPEG";
        case FileFormat::ppm: return "PPM";
        case FileFormat::pam: return "PAM";
    }
    return "?";
}

DecodeResult DecodeImage(const std::vector<std::uint8_t>& bytes, const ReadLimits&) {
    if (bytes.empty()) return Failure("the file is empty");
    if (StartsWith(bytes, kPngSignature, 8)) return DecodePng(bytes);
    if (StartsWith(bytes, "\xFF\xD8\xFF", 3)) return DecodeJpeg(bytes);
    if (StartsWith(bytes, "P6", 2)) return DecodePpm(bytes);
    if (StartsWith(bytes, "P7", 2)) return DecodePam(bytes);
    if (bytes.size() >= 2 && bytes[0] == 'P' && bytes[1] >= '1' && bytes[1] <= '5') {
        return Failure("unsupported format: of the netpbm formats only binary PPM (P6) and PAM (P7) are read");
    }
    return Failure("unsupported format: not PNG, JPEG, PPM (P6) or PAM (P7)");
}

DecodeResult ReadImageFile(const std::string& path, const ReadLimits& limits) {
    std::vector<std::uint8_t> bytes;
    std::string error;
    if (!ReadFileBytes(path, bytes, error)) return Failure(error);
    DecodeResult result = DecodeImage(bytes, limits);
    if (!result.ok) result.error = "'" + path + "': " + result.error;
    return result;
}

std::optional<FileFormat> OutputFormatFor(const std::string& path) {
    const std::string extension = LowerExtension(path);
    if (extension == "png") return FileFormat::png;
    if (extension == "ppm") return FileFormat::ppm;
    if (extension == "pam") return FileFormat::pam;
    return std::nullopt;
}

std::string CheckWritable(FileFormat format, int planes) {
    if (format == FileFormat::jpeg) return "JPEG files are read, not written";
    if (planes != 3 && planes != 4) return "only RGB and RGBA images are written";
    if (format == FileFormat::ppm && planes == 4) return "a PPM file holds no alpha plane; write .png or .pam";
    return {};
}

std::string EncodeImage(FileFormat format, const Image& image, std::vector<std::uint8_t>& out) {
    if (std::string problem = CheckWritable(format, image.planes); !problem.empty()) return problem;
    if (image.width < 1 || image.height < 1) return "the image is empty";
    out.clear();
    switch (format) {
        case FileFormat::png: return EncodePng(image, out);
        case FileFormat::ppm:
            AppendText(out, "P6\n" + std::to_string(image.width) + " " + std::to_string(image.height) + "\n255\n");
            break;
        case FileFormat::pam:
            AppendText(out, "P7\nWIDTH " + std::to_string(image.width) + "\nHEIGHT " + std::to_string(image.height) +
                                "\nDEPTH " + std::to_string(image.planes) + "\nMAXVAL 255\nTUPLTYPE " +
                                (image.planes == 4 ? "RGB_ALPHA" : "RGB") + "\nENDHDR\n");
            break;
        case FileFormat::jpeg: break;
    }
    out.insert(out.end(), image.bytes.begin(), image.bytes.end());
    return {};
}

std::string WriteImageFile(const std::string& path, const Image& image) {
    const std::optional<FileFormat> format = OutputFormatFor(path);
    if (!format) return "'" + path + "': unsupported output format; use .png, .ppm or .pam";
    std::vector<std::uint8_t> bytes;
    if (std::string problem = EncodeImage(*format, image, bytes); !problem.empty()) {
        return "'" + path + "': " + problem;
    }
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) return SystemError("write", path);
    const bool written = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    const int saved_errno = errno;
    const bool closed = std::fclose(file) == 0;
    if (!written || !closed) {
        if (!written) errno = saved_errno;
        std::string error = SystemError("write", path);
        std::remove(path.c_str());
        return error;
    }
    return {};
}

Image WithOpaqueAlpha(const Image& image) {
    if (image.planes != 3) return image;
    Image result(image.width, image.height, 4, 255);
    const std::size_t pixels = static_cast<std::size_t>(image.width) * static_cast<std::size_t>(image.height);
    for (std::size_t i = 0; i < pixels; ++i) std::memcpy(&result.bytes[i * 4], &image.bytes[i * 3], 3);
    return result;
}

Image Tiled(const Image& image, int columns, int rows) {
    Image result(image.width * columns, image.height * rows, image.planes);
    const std::size_t row_bytes = static_cast<std::size_t>(image.width) * static_cast<std::size_t>(image.planes);
    for (int y = 0; y < result.height; ++y) {
        const std::uint8_t* source = image.bytes.data() + static_cast<std::size_t>(y % image.height) * row_bytes;
        std::uint8_t* target = result.bytes.data() + static_cast<std::size_t>(y) * row_bytes * columns;
        for (int c = 0; c < columns; ++c) std::memcpy(target + c * row_bytes, source, row_bytes);
    }
    return result;
}

}  // namespace tessellon::cli
