// Image files for the command-line host. Files are decoded as a stream: the header
// first, checked against the limits before any pixel buffer exists, then the rows as
// they arrive into a buffer that grows with them, so that a file which declares a
// huge image and ends early costs no more memory than the rows it really holds.
//
// libpng and libjpeg report errors by a long jump out of the library; every function
// that sets a jump point here keeps its state in a structure owned by its caller and
// creates no object with a destructor after the jump point, so a jump back skips
// nothing that needs cleaning up. The caller then destroys the library's structures
// through a guard object.
#include "cli/image_io.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <memory>

// jpeglib.h needs size_t and FILE declared first.
#include <jpeglib.h>
#include <jerror.h>
#include <png.h>

#include "cli/output_file.h"

namespace tessellon::cli {
namespace {

constexpr std::size_t kMessageSize = 256;

DecodeResult Failure(std::string error) {
    DecodeResult result;
    result.error = std::move(error);
    return result;
}

std::string SizeText(std::uint64_t width, std::uint64_t height) {
    return std::to_string(width) + "x" + std::to_string(height);
}

// Empty when width × height can pass through the host interface and the limits.
std::string DimensionProblem(std::uint64_t width, std::uint64_t height, const ReadLimits& limits) {
    if (width == 0 || height == 0) return "the image is empty (" + SizeText(width, height) + ")";
    if (width > kMaxDimension || height > kMaxDimension) {
        return "the image is " + SizeText(width, height) + " pixels; the host interface takes at most " +
               std::to_string(kMaxDimension) + " in either direction";
    }
    if (width * height > limits.max_pixels) {
        return "the image is " + SizeText(width, height) + " = " + std::to_string(width * height) +
               " pixels, more than the limit of " + std::to_string(limits.max_pixels) + " (see --max-pixels)";
    }
    return {};
}

// ---- Input ------------------------------------------------------------------------

// The bytes of a file or of a block of memory, read front to back. Reads come short
// only at the end or on a read error, which error() then describes.
class Input {
public:
    explicit Input(const std::vector<std::uint8_t>& bytes)
        : memory_(bytes.data()), memory_size_(bytes.size()), size_(bytes.size()) {}
    Input(std::FILE* file, std::optional<std::uint64_t> size) : file_(file), size_(size) {}

    std::size_t Read(void* out, std::size_t count) {
        auto* target = static_cast<std::uint8_t*>(out);
        std::size_t done = 0;
        while (done < count && pending_used_ < pending_.size()) target[done++] = pending_[pending_used_++];
        if (done < count) {
            if (file_ != nullptr) {
                const std::size_t n = std::fread(target + done, 1, count - done, file_);
                if (n < count - done && std::ferror(file_) != 0 && error_.empty()) error_ = std::strerror(errno);
                done += n;
            } else {
                const std::size_t n = std::min(count - done, memory_size_ - memory_position_);
                if (n > 0) std::memcpy(target + done, memory_ + memory_position_, n);
                memory_position_ += n;
                done += n;
            }
        }
        consumed_ += done;
        return done;
    }

    // The next byte, or -1 at the end.
    int Get() {
        std::uint8_t c = 0;
        return Read(&c, 1) == 1 ? c : -1;
    }

    // Reads the first bytes and hands them out again to the next reads.
    std::size_t Peek(std::uint8_t* out, std::size_t count) {
        const std::size_t n = Read(out, count);
        pending_.assign(out, out + n);
        pending_used_ = 0;
        consumed_ -= n;
        return n;
    }

    // The total size when known (a regular file or memory).
    std::optional<std::uint64_t> size() const { return size_; }
    std::uint64_t consumed() const { return consumed_; }
    const std::string& error() const { return error_; }

private:
    std::FILE* file_ = nullptr;
    const std::uint8_t* memory_ = nullptr;
    std::size_t memory_size_ = 0;
    std::size_t memory_position_ = 0;
    std::optional<std::uint64_t> size_;
    std::vector<std::uint8_t> pending_;
    std::size_t pending_used_ = 0;
    std::uint64_t consumed_ = 0;
    std::string error_;
};

// The pixel buffer of an image being decoded, grown row by row. It starts at what the
// input can plausibly hold (its size times the format's best compression ratio; a
// little when the size is unknown) and at most doubles from there, so a truncated file
// never makes it reserve the whole image.
class RowBuffer {
public:
    RowBuffer(Image& image, int width, int height, int planes, std::optional<std::uint64_t> plausible_bytes)
        : image_(image),
          row_bytes_(static_cast<std::size_t>(width) * static_cast<std::size_t>(planes)),
          total_(row_bytes_ * static_cast<std::size_t>(height)) {
        image_ = Image();
        image_.width = width;
        image_.height = height;
        image_.planes = planes;
        constexpr std::uint64_t kFirstReserve = std::uint64_t{16} << 20;
        image_.bytes.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(total_, std::max(kFirstReserve, plausible_bytes.value_or(0)))));
    }

    // Room for the next row, appended to the buffer.
    std::uint8_t* NextRow() {
        const std::size_t used = image_.bytes.size();
        if (used + row_bytes_ > image_.bytes.capacity()) {
            image_.bytes.reserve(std::min(total_, std::max(used + row_bytes_, image_.bytes.capacity() * 2)));
        }
        image_.bytes.resize(used + row_bytes_);
        return image_.bytes.data() + used;
    }

    // The whole buffer at once, for decoders that need every row together.
    std::uint8_t* All() {
        image_.bytes.resize(total_);
        return image_.bytes.data();
    }

    std::size_t row_bytes() const { return row_bytes_; }

private:
    Image& image_;
    std::size_t row_bytes_;
    std::size_t total_;
};

// The most bytes the input can expand to at `ratio`; none when its size is unknown.
std::optional<std::uint64_t> PlausibleBytes(const Input& input, std::uint64_t ratio) {
    if (!input.size()) return std::nullopt;
    const std::uint64_t size = *input.size();
    return size > (~std::uint64_t{0} / ratio) ? ~std::uint64_t{0} : size * ratio;
}

// ---- PNG --------------------------------------------------------------------------

constexpr char kPngSignature[] = "\x89PNG\r\n\x1a\n";
// zlib's deflate expands at most 1032 times; the chunk framing only adds to the file.
constexpr std::uint64_t kDeflateRatio = 1032;

[[noreturn]] void PngFail(png_structp png, png_const_charp message) {
    auto* text = static_cast<char*>(png_get_error_ptr(png));
    std::snprintf(text, kMessageSize, "%s", message);
    png_longjmp(png, 1);
}

// Warnings (a damaged ancillary chunk, say) leave the image usable.
void PngWarn(png_structp, png_const_charp) {}

struct PngReadState {
    Input* input = nullptr;
    const ReadLimits* limits = nullptr;
    Image* image = nullptr;
    std::vector<std::string>* notes = nullptr;
    std::vector<png_bytep> rows;
    std::string refusal;  // a refusal of our own, made before any pixel is read
    char message[kMessageSize] = {};
};

void PngReadBytes(png_structp png, png_bytep out, png_size_t length) {
    auto* state = static_cast<PngReadState*>(png_get_io_ptr(png));
    if (state->input->Read(out, length) != length) png_error(png, "the file ends early");
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
    state.refusal = DimensionProblem(width, height, *state.limits);
    if (!state.refusal.empty()) return false;
    // The compressed rows must be able to fill the declared size.
    const std::uint64_t stored_bytes = std::uint64_t{height} * (png_get_rowbytes(png, info) + 1);
    const std::optional<std::uint64_t> plausible = PlausibleBytes(*state.input, kDeflateRatio);
    if (plausible && stored_bytes > *plausible + 4096) {
        state.refusal = "damaged PNG file: " + std::to_string(*state.input->size()) + " bytes cannot hold a " +
                        SizeText(width, height) + " image";
        return false;
    }

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
    const int passes = png_set_interlace_handling(png);
    png_read_update_info(png, info);
    const int planes = png_get_channels(png, info);
    if ((planes != 3 && planes != 4) || png_get_bit_depth(png, info) != 8) {
        state.refusal = "unexpected PNG layout after conversion";
        return false;
    }
    RowBuffer buffer(*state.image, static_cast<int>(width), static_cast<int>(height), planes, plausible);
    if (passes == 1) {
        for (png_uint_32 y = 0; y < height; ++y) png_read_row(png, buffer.NextRow(), nullptr);
    } else {
        // An interlaced image comes in passes over the whole picture, so it needs every
        // row at once. For a file the size check above has tied that to the file's
        // size; a stream of unknown length is bounded by the pixel limit alone.
        std::uint8_t* all = buffer.All();
        state.rows.resize(height);
        for (png_uint_32 y = 0; y < height; ++y) state.rows[y] = all + y * buffer.row_bytes();
        png_read_image(png, state.rows.data());
    }
    png_read_end(png, nullptr);
    return true;
}

DecodeResult DecodePng(Input& input, const ReadLimits& limits) {
    DecodeResult result;
    PngReadState state;
    state.input = &input;
    state.limits = &limits;
    state.image = &result.image;
    state.notes = &result.notes;
    PngReadGuard guard;
    guard.png = png_create_read_struct(PNG_LIBPNG_VER_STRING, state.message, PngFail, PngWarn);
    if (guard.png != nullptr) guard.info = png_create_info_struct(guard.png);
    if (guard.png == nullptr || guard.info == nullptr) return Failure("out of memory for the PNG decoder");
    if (!DecodePngGuarded(guard.png, guard.info, state)) {
        result.image = Image();
        return Failure(state.refusal.empty() ? "damaged PNG file: " + std::string(state.message) : state.refusal);
    }
    result.ok = true;
    return result;
}

struct PngWriteState {
    ByteSink* out = nullptr;
    const Image* image = nullptr;
    char message[kMessageSize] = {};
};

void PngWriteBytes(png_structp png, png_bytep data, png_size_t length) {
    auto* state = static_cast<PngWriteState*>(png_get_io_ptr(png));
    if (!state->out->Write(data, length)) png_error(png, "the bytes could not be written");
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

std::string EncodePng(const Image& image, ByteSink& out) {
    PngWriteState state;
    state.out = &out;
    state.image = &image;
    PngWriteGuard guard;
    guard.png = png_create_write_struct(PNG_LIBPNG_VER_STRING, state.message, PngFail, PngWarn);
    if (guard.png != nullptr) guard.info = png_create_info_struct(guard.png);
    if (guard.png == nullptr || guard.info == nullptr) return "out of memory for the PNG encoder";
    if (!EncodePngGuarded(guard.png, guard.info, state)) {
        const std::string sink_error = out.Error();
        return sink_error.empty() ? "PNG encoding failed: " + std::string(state.message) : sink_error;
    }
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

// Feeds libjpeg from an Input through a buffer of its own.
struct JpegSource {
    jpeg_source_mgr base;  // first: libjpeg hands back a pointer to it
    Input* input;
    JOCTET buffer[1 << 16];
};

void JpegInitSource(j_decompress_ptr) {}

boolean JpegFillBuffer(j_decompress_ptr info) {
    auto* source = reinterpret_cast<JpegSource*>(info->src);
    const std::size_t n = source->input->Read(source->buffer, sizeof source->buffer);
    if (n == 0) {
        // The end of the input before the end of the image: an error, not the grey
        // rows libjpeg would otherwise make up.
        info->err->msg_code = JERR_INPUT_EOF;
        (*info->err->error_exit)(reinterpret_cast<j_common_ptr>(info));
    }
    source->base.next_input_byte = source->buffer;
    source->base.bytes_in_buffer = n;
    return TRUE;
}

void JpegSkip(j_decompress_ptr info, long count) {
    auto* source = reinterpret_cast<JpegSource*>(info->src);
    while (count > 0) {
        if (source->base.bytes_in_buffer == 0) JpegFillBuffer(info);
        const std::size_t step = std::min(static_cast<std::size_t>(count), source->base.bytes_in_buffer);
        source->base.next_input_byte += step;
        source->base.bytes_in_buffer -= step;
        count -= static_cast<long>(step);
    }
}

void JpegTermSource(j_decompress_ptr) {}

struct JpegReadState {
    jpeg_decompress_struct info{};
    JpegErrorManager error{};
    JpegSource source{};
    const ReadLimits* limits = nullptr;
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
    state.source.base.init_source = JpegInitSource;
    state.source.base.fill_input_buffer = JpegFillBuffer;
    state.source.base.skip_input_data = JpegSkip;
    state.source.base.resync_to_restart = jpeg_resync_to_restart;
    state.source.base.term_source = JpegTermSource;
    info.src = &state.source.base;
    // A progressive file keeps every coefficient of the image; they may not take more
    // than an image at the limit would.
    info.mem->max_memory_to_use = static_cast<long>(std::min<std::uint64_t>(
        state.limits->max_pixels * 6 + (std::uint64_t{64} << 20), std::uint64_t{1} << 40));
    jpeg_read_header(&info, TRUE);
    state.refusal = DimensionProblem(info.image_width, info.image_height, *state.limits);
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
    // Entropy-coded blocks take at least a bit or so each; 64 pixels per bit is more
    // than any real file reaches.
    RowBuffer buffer(*state.image, static_cast<int>(info.output_width), static_cast<int>(info.output_height), 3,
                     PlausibleBytes(*state.source.input, 64 * 8 * 3));
    while (info.output_scanline < info.output_height) {
        JSAMPROW row = buffer.NextRow();
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

DecodeResult DecodeJpeg(Input& input, const ReadLimits& limits) {
    DecodeResult result;
    // The source's buffer makes the state too large for the stack.
    auto state = std::make_unique<JpegReadState>();
    state->source.input = &input;
    state->limits = &limits;
    state->image = &result.image;
    state->notes = &result.notes;
    state->info.err = jpeg_std_error(&state->error.base);
    state->error.base.error_exit = JpegFail;
    state->error.base.emit_message = JpegMessage;
    JpegReadGuard guard(state.get());
    if (!DecodeJpegGuarded(*state)) {
        result.image = Image();
        return Failure(state->refusal.empty() ? "damaged JPEG file: " + std::string(state->error.message)
                                              : state->refusal);
    }
    result.ok = true;
    return result;
}

// ---- PPM and PAM ------------------------------------------------------------------

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

DecodeResult RasterAfterHeader(Input& input, std::uint64_t width, std::uint64_t height, int planes) {
    const std::uint64_t needed = width * height * static_cast<std::uint64_t>(planes);
    // A file of known size that is too short is refused before anything is allocated.
    if (input.size() && *input.size() - std::min(*input.size(), input.consumed()) < needed) {
        const std::uint64_t have = *input.size() - std::min(*input.size(), input.consumed());
        return Failure("the file ends early: " + std::to_string(have) + " of " + std::to_string(needed) +
                       " pixel bytes");
    }
    DecodeResult result;
    RowBuffer buffer(result.image, static_cast<int>(width), static_cast<int>(height), planes,
                     input.size() ? std::optional<std::uint64_t>(needed) : std::nullopt);
    std::uint64_t read = 0;
    for (std::uint64_t y = 0; y < height; ++y) {
        const std::size_t n = input.Read(buffer.NextRow(), buffer.row_bytes());
        read += n;
        if (n < buffer.row_bytes()) {
            return Failure("the file ends early: " + std::to_string(read) + " of " + std::to_string(needed) +
                           " pixel bytes");
        }
    }
    result.ok = true;
    return result;
}

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
    return RasterAfterHeader(input, width, height, 3);
}

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

DecodeResult DecodePam(Input& input, const ReadLimits& limits) {
    std::uint8_t magic[3];
    if (input.Read(magic, 3) != 3 || magic[2] != '\n') return Failure("damaged PAM header");
    std::uint64_t width = 0, height = 0, depth = 0, maxval = 0;
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
            good = number(width);
        } else if (keyword == "HEIGHT") {
            good = number(height);
        } else if (keyword == "DEPTH") {
            good = number(depth);
        } else if (keyword == "MAXVAL") {
            good = number(maxval);
        } else if (keyword == "TUPLTYPE") {
            if (tuple_type.size() < 256) tuple_type += tuple_type.empty() ? value : " " + value;
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
    if (std::string problem = DimensionProblem(width, height, limits); !problem.empty()) return Failure(problem);
    return RasterAfterHeader(input, width, height, static_cast<int>(depth));
}

// ---- Choosing the format ------------------------------------------------------------

DecodeResult Decode(Input& input, const ReadLimits& limits) {
    std::uint8_t head[8] = {};
    const std::size_t n = input.Peek(head, sizeof head);
    const auto starts = [&](const char* prefix, std::size_t length) {
        return n >= length && std::memcmp(head, prefix, length) == 0;
    };
    if (n == 0) return Failure(input.error().empty() ? "the file is empty" : input.error());
    if (starts(kPngSignature, 8)) return DecodePng(input, limits);
    if (starts("\xFF\xD8\xFF", 3)) return DecodeJpeg(input, limits);
    if (starts("P6", 2)) return DecodePpm(input, limits);
    if (starts("P7", 2)) return DecodePam(input, limits);
    if (n >= 2 && head[0] == 'P' && head[1] >= '1' && head[1] <= '5') {
        return Failure("unsupported format: of the netpbm formats only binary PPM (P6) and PAM (P7) are read");
    }
    return Failure("unsupported format: not PNG, JPEG, PPM (P6) or PAM (P7)");
}

// ---- Encoding -----------------------------------------------------------------------

bool WriteText(ByteSink& out, const std::string& text) { return out.Write(text.data(), text.size()); }

class VectorSink final : public ByteSink {
public:
    explicit VectorSink(std::vector<std::uint8_t>& bytes) : bytes_(bytes) {}
    bool Write(const void* data, std::size_t size) override {
        const auto* begin = static_cast<const std::uint8_t*>(data);
        try {
            bytes_.insert(bytes_.end(), begin, begin + size);
        } catch (const std::bad_alloc&) {
            error_ = "out of memory";
            return false;
        }
        return true;
    }
    std::string Error() const override { return error_; }

private:
    std::vector<std::uint8_t>& bytes_;
    std::string error_;
};

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

std::uint64_t DefaultMaxPixels() {
    const std::uint64_t interface_limit = std::uint64_t{kMaxDimension} * kMaxDimension;
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long page_size = sysconf(_SC_PAGESIZE);
    if (pages <= 0 || page_size <= 0) return interface_limit;
    const std::uint64_t memory = static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(page_size);
    return std::max<std::uint64_t>(1, std::min(interface_limit, memory / 2 / kBytesPerPixelOfARun));
}

DecodeResult DecodeImage(const std::vector<std::uint8_t>& bytes, const ReadLimits& limits) {
    Input input(bytes);
    return Decode(input, limits);
}

DecodeResult ReadImageStream(std::FILE* file, const std::string& name, const ReadLimits& limits) {
    struct stat info {};
    std::optional<std::uint64_t> size;
    if (fstat(fileno(file), &info) == 0 && S_ISREG(info.st_mode)) size = static_cast<std::uint64_t>(info.st_size);
    Input input(file, size);
    DecodeResult result = Decode(input, limits);
    if (!result.ok) {
        // A read error says more than the decoder's view of the missing bytes.
        result.error = "'" + name + "': " + (input.error().empty() ? result.error : "cannot read: " + input.error());
    }
    return result;
}

DecodeResult ReadImageFile(const std::string& path, const ReadLimits& limits) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) return Failure("cannot read '" + path + "': " + std::strerror(errno));
    struct stat info {};
    if (fstat(fileno(file), &info) == 0 && S_ISDIR(info.st_mode)) {
        std::fclose(file);
        return Failure("cannot read '" + path + "': it is a folder");
    }
    DecodeResult result = ReadImageStream(file, path, limits);
    std::fclose(file);
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

std::string EncodeImageTo(FileFormat format, const Image& image, ByteSink& out) {
    if (std::string problem = CheckWritable(format, image.planes); !problem.empty()) return problem;
    if (image.width < 1 || image.height < 1) return "the image is empty";
    bool written = true;
    switch (format) {
        case FileFormat::png: return EncodePng(image, out);
        case FileFormat::ppm:
            written = WriteText(out, "P6\n" + std::to_string(image.width) + " " + std::to_string(image.height) + "\n255\n");
            break;
        case FileFormat::pam:
            written = WriteText(out, "P7\nWIDTH " + std::to_string(image.width) + "\nHEIGHT " +
                                         std::to_string(image.height) + "\nDEPTH " + std::to_string(image.planes) +
                                         "\nMAXVAL 255\nTUPLTYPE " + (image.planes == 4 ? "RGB_ALPHA" : "RGB") +
                                         "\nENDHDR\n");
            break;
        case FileFormat::jpeg: break;
    }
    // In pieces of about a megabyte, so that an interrupt is answered promptly.
    constexpr std::size_t kPiece = std::size_t{1} << 20;
    for (std::size_t at = 0; written && at < image.bytes.size(); at += kPiece) {
        written = out.Write(image.bytes.data() + at, std::min(kPiece, image.bytes.size() - at));
    }
    return written ? std::string() : out.Error();
}

std::string EncodeImage(FileFormat format, const Image& image, std::vector<std::uint8_t>& out) {
    out.clear();
    VectorSink sink(out);
    return EncodeImageTo(format, image, sink);
}

std::string WriteImageFile(const std::string& path, const Image& image) {
    const std::optional<FileFormat> format = OutputFormatFor(path);
    if (!format) return "'" + path + "': unsupported output format; use .png, .ppm or .pam";
    if (std::string problem = CheckWritable(*format, image.planes); !problem.empty()) return "'" + path + "': " + problem;
    OutputTarget target;
    if (std::string problem = ResolveOutput(path, target); !problem.empty()) return problem;
    return WriteImageFile(target, *format, image);
}

std::string WriteImageFile(const OutputTarget& target, FileFormat format, const Image& image) {
    OutputFile file;
    if (!file.Open(target)) return file.Error();
    if (std::string problem = EncodeImageTo(format, image, file); !problem.empty()) {
        return problem.rfind("cannot", 0) == 0 ? problem : "'" + target.name + "': " + problem;
    }
    if (!file.Commit()) return file.Error();
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
