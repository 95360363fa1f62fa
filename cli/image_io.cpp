// Image files for the command-line host. Files are decoded as a stream: the header
// first, checked against the limits before any pixel buffer exists, then the rows as
// they arrive into a buffer that grows with them, so that a file which declares a
// huge image and ends early costs no more memory than the rows it really holds. A WebP
// file is decoded whole once all of its bytes are in; a TIFF file, whose directory and
// strips may lie anywhere in it, is read by position (see their sections).
//
// libpng and libjpeg report errors by a long jump out of the library; every function
// that sets a jump point here keeps its state in a structure owned by its caller and
// creates no object with a destructor after the jump point, so a jump back skips
// nothing that needs cleaning up. The caller then destroys the library's structures
// through a guard object. libwebp and libtiff return their errors.
#include "cli/image_io.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <csetjmp>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>

// jpeglib.h needs size_t and FILE declared first.
#include <jpeglib.h>
#include <jerror.h>
#include <png.h>
#include <zlib.h>
#include <tiffio.h>
#include <webp/decode.h>
#include <webp/demux.h>
#include <webp/encode.h>
#include <webp/mux.h>

#include "cli/output_file.h"

namespace tessellon::cli {
namespace {

constexpr std::size_t kMessageSize = 256;
// Encoded bytes go to the sink in pieces of about a megabyte, so that an interrupt is
// answered promptly.
constexpr std::size_t kWritePiece = std::size_t{1} << 20;

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
    // Both sides are within kMaxDimension here, so they fit an int.
    if (limits.on_size) return limits.on_size(static_cast<int>(width), static_cast<int>(height));
    return {};
}

std::uint32_t BigEndian32(const std::uint8_t* p) {
    return std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 8 | p[3];
}

std::uint32_t LittleEndian32(const std::uint8_t* p) {
    return std::uint32_t{p[3]} << 24 | std::uint32_t{p[2]} << 16 | std::uint32_t{p[1]} << 8 | p[0];
}

std::uint64_t SaturatingProduct(std::uint64_t a, std::uint64_t b) {
    return b != 0 && a > ~std::uint64_t{0} / b ? ~std::uint64_t{0} : a * b;
}

bool WriteAll(ByteSink& out, const std::uint8_t* data, std::size_t size) {
    for (std::size_t at = 0; at < size; at += kWritePiece) {
        if (!out.Write(data + at, std::min(kWritePiece, size - at))) return false;
    }
    return true;
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

    // The rest of the input, from the next byte on, where it can be read at any
    // position: a block of memory, or a regular file from an offset on.
    struct Span {
        const std::uint8_t* memory = nullptr;  // or
        int fd = -1;
        std::uint64_t offset = 0;  // in the file
        std::uint64_t size = 0;
    };
    // None for a stream (a pipe, a terminal), which can only be read front to back.
    std::optional<Span> Remaining() const {
        const std::size_t unread = pending_.size() - pending_used_;
        Span span;
        if (file_ == nullptr) {
            span.memory = memory_ + (memory_position_ - unread);
            span.size = memory_size_ - memory_position_ + unread;
            return span;
        }
        if (!size_) return std::nullopt;
        const off_t position = ftello(file_);
        if (position < 0 || static_cast<std::uint64_t>(position) < unread) return std::nullopt;
        span.fd = fileno(file_);
        span.offset = static_cast<std::uint64_t>(position) - unread;
        span.size = *size_ > span.offset ? *size_ - span.offset : 0;
        return span;
    }

    // For a stream of unknown size: reads the rest of it into memory, which later
    // reads are then served from, so that its size is known from here on. False when
    // it holds more than `most` bytes (or a read fails: error() then says why); what
    // was read stays in the buffer either way.
    bool BufferRest(std::uint64_t most) {
        if (file_ == nullptr || size_) return true;
        std::vector<std::uint8_t>& bytes = buffered_;
        bytes.assign(pending_.begin() + static_cast<std::ptrdiff_t>(pending_used_), pending_.end());
        pending_.clear();
        pending_used_ = 0;
        bool fits = true;
        for (std::size_t piece = std::size_t{1} << 16;; piece = std::min(piece * 2, std::size_t{16} << 20)) {
            if (bytes.size() > most) {
                fits = false;
                break;
            }
            const std::size_t have = bytes.size();
            bytes.resize(have + piece);
            const std::size_t got = std::fread(bytes.data() + have, 1, piece, file_);
            bytes.resize(have + got);
            if (got < piece) {
                if (std::ferror(file_) != 0 && error_.empty()) error_ = std::strerror(errno);
                break;
            }
        }
        file_ = nullptr;
        memory_ = bytes.data();
        memory_size_ = bytes.size();
        memory_position_ = 0;
        size_ = consumed_ + bytes.size();
        return fits && error_.empty();
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
    std::vector<std::uint8_t> buffered_;  // a stream's rest, once BufferRest has read it
    std::uint64_t consumed_ = 0;
    std::string error_;
};

// The pixel buffer of an image being decoded, grown row by row. It starts at what the
// input can plausibly hold (its size times the format's best compression ratio; a
// little when the size is unknown) and at most doubles from there, so a truncated file
// never makes it reserve the whole image.
class RowBuffer {
public:
    RowBuffer(Image& image, int width, int height, int planes, std::optional<std::uint64_t> plausible_bytes,
              const ReadLimits& limits)
        : image_(image),
          on_rows_(limits.on_rows),
          height_(height),
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
        // The row before this one is in: a progress report for every 64 rows.
        const std::size_t rows = used / row_bytes_;
        if (on_rows_ && rows % kRowsPerReport == 0) on_rows_(static_cast<int>(rows), height_);
        return image_.bytes.data() + used;
    }

    // A row appended before (its address changes as the buffer grows).
    std::uint8_t* Row(std::size_t y) { return image_.bytes.data() + y * row_bytes_; }

    // The whole buffer at once, for decoders that need every row together.
    std::uint8_t* All() {
        image_.bytes.resize(total_);
        return image_.bytes.data();
    }

    std::size_t row_bytes() const { return row_bytes_; }

private:
    static constexpr std::size_t kRowsPerReport = 64;
    Image& image_;
    const std::function<void(int, int)>& on_rows_;
    int height_;
    std::size_t row_bytes_;
    std::size_t total_;
};

// The most bytes the input can expand to at `ratio`; none when its size is unknown.
std::optional<std::uint64_t> PlausibleBytes(const Input& input, std::uint64_t ratio) {
    if (!input.size()) return std::nullopt;
    return SaturatingProduct(*input.size(), ratio);
}

// ---- Orientation and colour information -------------------------------------------

// The Orientation (tag 0x0112) in the first directory of an EXIF block (a TIFF header
// and its directories, after "Exif\0\0" in JPEG files); 0 when there is none or the
// block is damaged. Only as much of the block is read as leads to that one tag.
int ExifOrientation(const std::uint8_t* data, std::size_t size) {
    if (size >= 6 && std::memcmp(data, "Exif\0\0", 6) == 0) {
        data += 6;
        size -= 6;
    }
    if (size < 8) return 0;
    bool little = false;
    if (data[0] == 'I' && data[1] == 'I') {
        little = true;
    } else if (data[0] != 'M' || data[1] != 'M') {
        return 0;
    }
    const auto u16 = [&](std::uint64_t at) -> unsigned {
        return little ? data[at] | data[at + 1] << 8 : data[at] << 8 | data[at + 1];
    };
    const auto u32 = [&](std::uint64_t at) -> std::uint32_t {
        return little ? LittleEndian32(data + at) : BigEndian32(data + at);
    };
    if (u16(2) != 42) return 0;
    const std::uint64_t directory = u32(4);
    if (directory + 2 > size) return 0;
    const unsigned entries = u16(directory);
    for (unsigned i = 0; i < entries; ++i) {
        const std::uint64_t entry = directory + 2 + std::uint64_t{12} * i;
        if (entry + 12 > size) return 0;
        if (u16(entry) != 0x0112) continue;
        // A SHORT, held in the entry itself.
        if (u16(entry + 2) != 3 || u32(entry + 4) == 0) return 0;
        const unsigned value = u16(entry + 8);
        return value >= 1 && value <= 8 ? static_cast<int>(value) : 0;
    }
    return 0;
}

// The picture as viewers show it, from one stored with orientation 2..8 (TIFF's and
// EXIF's numbering): mirrored, turned or both; 5..8 swap the width and the height.
Image Upright(const Image& stored, int orientation) {
    const std::int64_t w = stored.width;
    const std::int64_t h = stored.height;
    // Where each shown pixel comes from: the stored pixel index start + x * across + y * down.
    std::int64_t start = 0, across = 1, down = w;
    switch (orientation) {
        case 2: start = w - 1; across = -1; down = w; break;
        case 3: start = h * w - 1; across = -1; down = -w; break;
        case 4: start = (h - 1) * w; across = 1; down = -w; break;
        case 5: start = 0; across = w; down = 1; break;
        case 6: start = (h - 1) * w; across = -w; down = 1; break;
        case 7: start = h * w - 1; across = -w; down = -1; break;
        case 8: start = w - 1; across = w; down = -1; break;
        default: return stored;
    }
    const bool swapped = orientation >= 5;
    Image shown(swapped ? stored.height : stored.width, swapped ? stored.width : stored.height, stored.planes);
    const std::size_t planes = static_cast<std::size_t>(stored.planes);
    std::uint8_t* target = shown.bytes.data();
    for (std::int64_t y = 0; y < shown.height; ++y) {
        std::int64_t source = start + y * down;
        for (std::int64_t x = 0; x < shown.width; ++x, source += across, target += planes) {
            std::memcpy(target, stored.bytes.data() + static_cast<std::size_t>(source) * planes, planes);
        }
    }
    return shown;
}

// Why an ICC profile cannot go with an RGB image; empty when it can.
std::string IccProblem(const std::vector<std::uint8_t>& icc) {
    if (icc.size() > kMaxIccBytes) return "it is larger than 16 MiB";
    if (icc.size() < 132 || BigEndian32(icc.data()) != icc.size() || std::memcmp(icc.data() + 36, "acsp", 4) != 0) {
        return "it is damaged";
    }
    if (std::memcmp(icc.data() + 16, "RGB ", 4) != 0) {
        std::string space;
        for (std::size_t i = 16; i < 20; ++i) space += std::isgraph(icc[i]) != 0 ? static_cast<char>(icc[i]) : ' ';
        space.erase(space.find_last_not_of(' ') + 1);
        return "it describes '" + space + "' data, and the image is RGB";
    }
    return {};
}

// Takes a profile a reader found, unless it is too large to be a real one.
void TakeIcc(DecodeResult& result, const std::uint8_t* data, std::size_t size) {
    if (size > kMaxIccBytes) {
        result.notes.push_back("the ICC profile was dropped: it is larger than 16 MiB");
    } else if (size > 0) {
        result.metadata.icc.assign(data, data + size);
    }
}

// What every reader does last: a profile that cannot describe the image is dropped,
// and the image is turned upright. `source` names where the orientation came from.
void Finish(DecodeResult& result, int orientation, const char* source) {
    if (!result.metadata.icc.empty()) {
        if (std::string problem = IccProblem(result.metadata.icc); !problem.empty()) {
            result.metadata.icc = {};
            result.notes.push_back("the ICC profile was dropped: " + problem);
        }
    }
    if (orientation >= 2 && orientation <= 8) {
        result.image = Upright(result.image, orientation);
        result.notes.push_back(std::string("turned upright from ") + source + " orientation " +
                               std::to_string(orientation));
    }
    result.ok = true;
}

// Notes for the metadata `format` has no place for.
void NoteDroppedMetadata(FileFormat format, const Metadata& metadata, std::vector<std::string>& notes) {
    const std::string cannot = std::string(": ") + FormatName(format) + " files cannot hold ";
    if (!metadata.icc.empty() && (format == FileFormat::ppm || format == FileFormat::pam)) {
        notes.push_back("the ICC profile was dropped" + cannot + "one");
    }
    if (format == FileFormat::png) return;
    if (metadata.srgb_intent) {
        // The gamma and chromaticities that go with sRGB say nothing more; a profile
        // written in its place says the same.
        if (metadata.icc.empty()) {
            notes.push_back("the PNG sRGB chunk was dropped" + cannot + "it; they are taken as sRGB anyway");
        }
    } else if (metadata.png_gamma && metadata.png_chromaticities) {
        notes.push_back("the PNG gamma and chromaticities were dropped" + cannot + "them");
    } else if (metadata.png_gamma) {
        notes.push_back("the PNG gamma was dropped" + cannot + "it");
    } else if (metadata.png_chromaticities) {
        notes.push_back("the PNG chromaticities were dropped" + cannot + "them");
    }
}

// ---- PNG --------------------------------------------------------------------------

constexpr char kPngSignature[] = "\x89PNG\r\n\x1a\n";
// zlib's deflate expands at most 1032 times; the chunk framing only adds to the file.
constexpr std::uint64_t kDeflateRatio = 1032;
// Room for what a file holds besides its pixels (metadata, other chunks and tags) when
// a stream is read into memory.
constexpr std::uint64_t kStreamSlack = std::uint64_t{64} << 20;

// The most libpng may take for one chunk: 16 MiB, as for an ICC profile. libpng
// checks each chunk's declared length against it and keeps no chunk above it whole.
constexpr std::size_t kMaxPngChunkBytes = kMaxIccBytes;
// How many ancillary chunks libpng may keep whole, plus two (its count stops at 2,
// where it says the cache is full): the only one kept here is eXIf, of which a file
// has one.
constexpr png_uint_32 kPngChunkCache = 3;

// libpng's error and first warning texts, and the chunks it found longer than
// kMaxPngChunkBytes (their names: a warning comes from a libpng callback, where
// nothing may be allocated).
struct PngMessages {
    char error[kMessageSize] = {};
    char warning[kMessageSize] = {};
    static constexpr int kMaxLongChunks = 8;
    char long_chunks[kMaxLongChunks][5] = {};
    int long_chunk_count = 0;
};

[[noreturn]] void PngFail(png_structp png, png_const_charp message) {
    auto* messages = static_cast<PngMessages*>(png_get_error_ptr(png));
    std::snprintf(messages->error, kMessageSize, "%s", message);
    png_longjmp(png, 1);
}

// Warnings (a damaged ancillary chunk, say) leave the image usable; the first is kept
// to explain metadata that libpng refused.
void PngWarn(png_structp png, png_const_charp message) {
    auto* messages = static_cast<PngMessages*>(png_get_error_ptr(png));
    if (messages->warning[0] == '\0') std::snprintf(messages->warning, kMessageSize, "%s", message);
    // "tEXt: chunk data is too large": a chunk's declared length is above the limit.
    static constexpr char kTooLarge[] = ": chunk data is too large";
    const std::size_t length = std::strlen(message);
    if (length == 4 + sizeof kTooLarge - 1 && std::strcmp(message + 4, kTooLarge) == 0 &&
        messages->long_chunk_count < PngMessages::kMaxLongChunks) {
        std::memcpy(messages->long_chunks[messages->long_chunk_count++], message, 4);
    }
}

struct PngReadState {
    Input* input = nullptr;
    const ReadLimits* limits = nullptr;
    DecodeResult* result = nullptr;
    std::vector<png_bytep> rows;
    std::string refusal;  // a refusal of our own, made before any pixel is read
    int orientation = 0;
    PngMessages messages;
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

// The colour chunks libpng accepted (it drops damaged ones with a warning). An sRGB
// chunk brings the gamma and chromaticities that go with it.
void ReadPngColourChunks(png_structp png, png_infop info, DecodeResult& result) {
    png_charp name = nullptr;
    int compression = 0;
    png_bytep profile = nullptr;
    png_uint_32 length = 0;
    if (png_get_iCCP(png, info, &name, &compression, &profile, &length) != 0 && profile != nullptr) {
        TakeIcc(result, profile, length);
    }
    png_fixed_point gamma = 0;
    if (png_get_gAMA_fixed(png, info, &gamma) != 0 && gamma > 0) {
        result.metadata.png_gamma = static_cast<std::uint32_t>(gamma);
    }
    png_fixed_point c[8] = {};
    if (png_get_cHRM_fixed(png, info, &c[0], &c[1], &c[2], &c[3], &c[4], &c[5], &c[6], &c[7]) != 0 &&
        std::all_of(c, c + 8, [](png_fixed_point v) { return v >= 0; })) {
        std::array<std::uint32_t, 8> chromaticities{};
        for (int i = 0; i < 8; ++i) chromaticities[static_cast<std::size_t>(i)] = static_cast<std::uint32_t>(c[i]);
        result.metadata.png_chromaticities = chromaticities;
    }
    int intent = 0;
    if (png_get_sRGB(png, info, &intent) != 0) result.metadata.srgb_intent = intent;
}

// Chunks that say nothing about the pixels or their colours, which libpng would read
// whole into memory of their declared length, cleared, before it finds out whether
// the bytes are there (2 GB for a text chunk that declares 0x7FFFFFFF bytes). libpng
// 1.6 only warns when one is longer than its per-chunk limit and allocates it anyway,
// so these are never kept: libpng then reads past them a piece at a time.
constexpr png_byte kPngChunksSkipped[] = "tEXt\0zTXt\0iTXt\0sPLT\0pCAL\0sCAL";
constexpr int kPngChunksSkippedCount = 6;
constexpr png_byte kPngExif[] = "eXIf";

bool DecodePngGuarded(png_structp png, png_infop info, PngReadState& state) {
    if (setjmp(png_jmpbuf(png))) return false;
    std::vector<std::string>& notes = state.result->notes;
    png_set_read_fn(png, &state, PngReadBytes);
    // Our own size check below says more than libpng's default limit would.
    png_set_user_limits(png, 0x7FFFFFFF, 0x7FFFFFFF);
    // The per-chunk limit also bounds an ICC profile and what a compressed chunk
    // expands to. eXIf is kept as an unknown chunk, whose store keeps to the limits:
    // one longer than the limit is read past, not allocated.
    png_set_chunk_malloc_max(png, kMaxPngChunkBytes);
    png_set_chunk_cache_max(png, kPngChunkCache);
    png_set_keep_unknown_chunks(png, PNG_HANDLE_CHUNK_NEVER, kPngChunksSkipped, kPngChunksSkippedCount);
    png_set_keep_unknown_chunks(png, PNG_HANDLE_CHUNK_ALWAYS, kPngExif, 1);
    png_read_info(png, info);
    const png_uint_32 width = png_get_image_width(png, info);
    const png_uint_32 height = png_get_image_height(png, info);
    state.refusal = DimensionProblem(width, height, *state.limits);
    if (!state.refusal.empty()) return false;
    const std::uint64_t stored_bytes = std::uint64_t{height} * (png_get_rowbytes(png, info) + 1);
    if (png_get_interlace_type(png, info) != PNG_INTERLACE_NONE && !state.input->size()) {
        // An interlaced image comes in passes over the whole picture, so it needs all
        // of its rows at once. From a stream its compressed bytes are read in first,
        // so that their number bounds the picture as a file's size does below. They
        // may be at most twice the rows stored (deflate's stored blocks and the chunk
        // framing add far less) and some room for other chunks.
        const std::uint64_t most = SaturatingProduct(stored_bytes, 2) + kStreamSlack;
        if (!state.input->BufferRest(most)) {
            if (state.input->error().empty()) {
                state.refusal = "an interlaced PNG file of " + SizeText(width, height) +
                                " read from a stream may be at most " + std::to_string(most) +
                                " bytes; read it from a file";
            }
            return false;
        }
    }
    // The compressed rows must be able to fill the declared size.
    const std::optional<std::uint64_t> plausible = PlausibleBytes(*state.input, kDeflateRatio);
    if (plausible && stored_bytes > 4096 && stored_bytes - 4096 > *plausible) {
        state.refusal = "damaged PNG file: " + std::to_string(*state.input->size()) + " bytes cannot hold a " +
                        SizeText(width, height) + " image";
        return false;
    }
    ReadPngColourChunks(png, info, *state.result);

    const int colour_type = png_get_color_type(png, info);
    const int bit_depth = png_get_bit_depth(png, info);
    const bool transparency = png_get_valid(png, info, PNG_INFO_tRNS) != 0;
    if (colour_type == PNG_COLOR_TYPE_PALETTE) {
        png_set_palette_to_rgb(png);
        notes.push_back(transparency ? "palette image expanded to RGBA" : "palette image expanded to RGB");
    }
    if (colour_type == PNG_COLOR_TYPE_GRAY && bit_depth < 8) png_set_expand_gray_1_2_4_to_8(png);
    if (transparency) png_set_tRNS_to_alpha(png);
    if (bit_depth == 16) {
        png_set_scale_16(png);
        notes.push_back("16-bit image converted to 8 bits per channel");
    }
    if ((colour_type & PNG_COLOR_MASK_COLOR) == 0) {
        png_set_gray_to_rgb(png);
        const bool alpha = (colour_type & PNG_COLOR_MASK_ALPHA) != 0 || transparency;
        notes.push_back(alpha ? "grey image with alpha converted to RGBA" : "grey image converted to RGB");
    }
    const int passes = png_set_interlace_handling(png);
    png_read_update_info(png, info);
    const int planes = png_get_channels(png, info);
    if ((planes != 3 && planes != 4) || png_get_bit_depth(png, info) != 8) {
        state.refusal = "unexpected PNG layout after conversion";
        return false;
    }
    RowBuffer buffer(state.result->image, static_cast<int>(width), static_cast<int>(height), planes, plausible,
                     *state.limits);
    if (passes == 1) {
        for (png_uint_32 y = 0; y < height; ++y) png_read_row(png, buffer.NextRow(), nullptr);
    } else {
        // Every row at once; the size check above has tied them to the input's size.
        std::uint8_t* all = buffer.All();
        state.rows.resize(height);
        for (png_uint_32 y = 0; y < height; ++y) state.rows[y] = all + y * buffer.row_bytes();
        png_read_image(png, state.rows.data());
    }
    // The chunks after the pixels too: an eXIf chunk may come there.
    png_read_end(png, info);
    png_unknown_chunkp chunks = nullptr;
    const int count = png_get_unknown_chunks(png, info, &chunks);
    for (int i = 0; i < count; ++i) {
        if (std::memcmp(chunks[i].name, kPngExif, 4) == 0 && chunks[i].data != nullptr) {
            state.orientation = ExifOrientation(chunks[i].data, chunks[i].size);
            break;
        }
    }
    return true;
}

// Notes for the chunks libpng read past for their length.
void NoteLongPngChunks(const PngMessages& messages, std::vector<std::string>& notes) {
    for (int i = 0; i < messages.long_chunk_count; ++i) {
        const std::string name(messages.long_chunks[i], 4);
        std::string what;
        if (name == "tEXt" || name == "zTXt" || name == "iTXt") {
            what = "a PNG text chunk (" + name + ")";
        } else if (name == "eXIf") {
            what = "the PNG EXIF chunk (eXIf), and the orientation it may give,";
        } else {
            continue;  // chunks never used, or read a piece at a time anyway
        }
        std::string note = what + " was skipped: it is larger than 16 MiB";
        if (std::find(notes.begin(), notes.end(), note) == notes.end()) notes.push_back(std::move(note));
    }
}

DecodeResult DecodePng(Input& input, const ReadLimits& limits) {
    DecodeResult result;
    PngReadState state;
    state.input = &input;
    state.limits = &limits;
    state.result = &result;
    PngReadGuard guard;
    guard.png = png_create_read_struct(PNG_LIBPNG_VER_STRING, &state.messages, PngFail, PngWarn);
    if (guard.png != nullptr) guard.info = png_create_info_struct(guard.png);
    if (guard.png == nullptr || guard.info == nullptr) return Failure("out of memory for the PNG decoder");
    if (!DecodePngGuarded(guard.png, guard.info, state)) {
        return Failure(state.refusal.empty() ? "damaged PNG file: " + std::string(state.messages.error) : state.refusal);
    }
    NoteLongPngChunks(state.messages, result.notes);
    Finish(result, state.orientation, "EXIF");
    return result;
}

struct PngWriteState {
    ByteSink* out = nullptr;
    RowSource* rows = nullptr;
    const Metadata* metadata = nullptr;
    std::optional<int> level;  // none: run-length deflate
    std::vector<std::string>* notes = nullptr;
    PngMessages messages;
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

// Notes a chunk that libpng refused to take, with its warning.
void NoteRefused(PngWriteState& state, const char* what) {
    state.notes->push_back(std::string(what) + ": libpng refused it (" + state.messages.warning + ")");
}

// Hands libpng the colour chunks; a value it refuses (it checks them against each
// other and the profile against the image) is left out with a note. A profile stands
// in for an sRGB chunk: the two are not written together.
void SetPngColourChunks(png_structp png, png_infop info, PngWriteState& state) {
    const Metadata& metadata = *state.metadata;
    // Refusals become warnings, so that a bad value costs the chunk and not the file.
    png_set_benign_errors(png, 1);
    if (metadata.png_gamma) {
        state.messages.warning[0] = '\0';
        if (*metadata.png_gamma <= 0x7FFFFFFF) {
            png_set_gAMA_fixed(png, info, static_cast<png_fixed_point>(*metadata.png_gamma));
        }
        if (png_get_valid(png, info, PNG_INFO_gAMA) == 0) NoteRefused(state, "the PNG gamma was dropped");
    }
    if (metadata.png_chromaticities) {
        const std::array<std::uint32_t, 8>& c = *metadata.png_chromaticities;
        state.messages.warning[0] = '\0';
        if (std::all_of(c.begin(), c.end(), [](std::uint32_t v) { return v <= 0x7FFFFFFF; })) {
            const auto f = [&c](int i) { return static_cast<png_fixed_point>(c[static_cast<std::size_t>(i)]); };
            png_set_cHRM_fixed(png, info, f(0), f(1), f(2), f(3), f(4), f(5), f(6), f(7));
        }
        if (png_get_valid(png, info, PNG_INFO_cHRM) == 0) NoteRefused(state, "the PNG chromaticities were dropped");
    }
    if (!metadata.icc.empty()) {
        state.messages.warning[0] = '\0';
        png_set_iCCP(png, info, "ICC profile", PNG_COMPRESSION_TYPE_BASE, metadata.icc.data(),
                     static_cast<png_uint_32>(metadata.icc.size()));
        if (png_get_valid(png, info, PNG_INFO_iCCP) == 0) NoteRefused(state, "the ICC profile was dropped");
    } else if (metadata.srgb_intent) {
        state.messages.warning[0] = '\0';
        png_set_sRGB(png, info, *metadata.srgb_intent);
        if (png_get_valid(png, info, PNG_INFO_sRGB) == 0) NoteRefused(state, "the PNG sRGB chunk was dropped");
    }
}

bool EncodePngGuarded(png_structp png, png_infop info, PngWriteState& state) {
    if (setjmp(png_jmpbuf(png))) return false;
    RowSource& rows = *state.rows;
    png_set_write_fn(png, &state, PngWriteBytes, PngFlush);
    if (state.level) {
        png_set_compression_level(png, *state.level);
    } else {
        // Any level above 0 runs zlib's run-length deflate; the level itself is not used.
        png_set_compression_level(png, 1);
        png_set_compression_strategy(png, Z_RLE);
    }
    // Stored rows gain nothing from a filter; otherwise libpng picks one for each row.
    png_set_filter(png, PNG_FILTER_TYPE_BASE, state.level == 0 ? PNG_FILTER_NONE : PNG_ALL_FILTERS);
    png_set_IHDR(png, info, static_cast<png_uint_32>(rows.width()), static_cast<png_uint_32>(rows.height()), 8,
                 rows.planes() == 4 ? PNG_COLOR_TYPE_RGB_ALPHA : PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    SetPngColourChunks(png, info, state);
    png_write_info(png, info);
    for (int y = 0; y < rows.height(); ++y) {
        const std::uint8_t* row = rows.Row(y);
        if (row == nullptr) png_error(png, kRowsAbandoned);
        png_write_row(png, row);
    }
    png_write_end(png, nullptr);
    return true;
}

std::string EncodePng(RowSource& rows, ByteSink& out, const Metadata& metadata, const WriteOptions& options,
                      std::vector<std::string>& notes) {
    PngWriteState state;
    state.out = &out;
    state.rows = &rows;
    state.metadata = &metadata;
    state.notes = &notes;
    state.level = options.compression;
    PngWriteGuard guard;
    guard.png = png_create_write_struct(PNG_LIBPNG_VER_STRING, &state.messages, PngFail, PngWarn);
    if (guard.png != nullptr) guard.info = png_create_info_struct(guard.png);
    if (guard.png == nullptr || guard.info == nullptr) return "out of memory for the PNG encoder";
    if (!EncodePngGuarded(guard.png, guard.info, state)) {
        const std::string sink_error = out.Error();
        return sink_error.empty() ? "PNG encoding failed: " + std::string(state.messages.error) : sink_error;
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

// Messages that change nothing: warnings about damaged ICC markers, which cost the
// profile and not the image, and the encoder's.
void JpegQuiet(j_common_ptr, int) {}

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

// The most scans a JPEG file may have. A progressive file sends the DC coefficients
// of its components and then bands of AC coefficients of one component at a time, each
// band in a first scan and, with successive approximation, in refinements of one bit
// each. libjpeg's standard script has 10 scans for colour and 6 for grey; one that
// split each of 3 components into 6 bands and sent every band and the DC in 14 scans,
// one per bit position the format allows, would have 266. No encoder goes near that,
// and 300 allows it. The bound matters because each scan makes libjpeg go over every
// block of its component again, however few bytes it takes: an empty scan of 122
// bytes costs about 4.5 ms at 8192 x 8192 grey pixels, so a file of half a megabyte
// could hold thousands. At most 300 keep a file to about 30 times the work of one
// with libjpeg's standard script.
constexpr int kMaxJpegScans = 300;

struct JpegReadState;

// libjpeg calls its progress monitor as it reads a file's scans.
struct JpegProgress {
    jpeg_progress_mgr base;  // first: libjpeg hands back a pointer to it
    JpegReadState* state;
};

struct JpegReadState {
    jpeg_decompress_struct info{};
    JpegErrorManager error{};
    JpegSource source{};
    JpegProgress progress{};
    const ReadLimits* limits = nullptr;
    DecodeResult* result = nullptr;
    std::string refusal;
    bool too_many_scans = false;
    int orientation = 0;
    bool created = false;
};

// The ICC profile of the APP2 markers read with the header, reassembled by libjpeg.
// Damaged markers cost the profile only.
void TakeJpegIcc(JpegReadState& state) {
    JOCTET* profile = nullptr;
    unsigned int length = 0;
    state.error.base.emit_message = JpegQuiet;
    const bool found = jpeg_read_icc_profile(&state.info, &profile, &length) != 0;
    state.error.base.emit_message = JpegMessage;
    if (!found) return;
    const std::unique_ptr<JOCTET, decltype(&std::free)> owned(profile, &std::free);
    TakeIcc(*state.result, profile, length);
}

// Ends the decoding once a file has begun more scans than kMaxJpegScans.
void JpegCountScans(j_common_ptr common) {
    auto* progress = reinterpret_cast<JpegProgress*>(common->progress);
    JpegReadState& state = *progress->state;
    if (state.info.input_scan_number > kMaxJpegScans) {
        state.too_many_scans = true;
        std::longjmp(state.error.jump, 1);
    }
}

bool DecodeJpegGuarded(JpegReadState& state) {
    jpeg_decompress_struct& info = state.info;
    if (setjmp(state.error.jump)) return false;
    std::vector<std::string>& notes = state.result->notes;
    jpeg_create_decompress(&info);
    state.created = true;
    state.progress.base.progress_monitor = JpegCountScans;
    state.progress.state = &state;
    info.progress = &state.progress.base;
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
    // EXIF (APP1) and ICC profile (APP2) markers are kept as the header is read; they
    // take no more memory than the file's bytes.
    jpeg_save_markers(&info, JPEG_APP0 + 1, 0xFFFF);
    jpeg_save_markers(&info, JPEG_APP0 + 2, 0xFFFF);
    jpeg_read_header(&info, TRUE);
    state.refusal = DimensionProblem(info.image_width, info.image_height, *state.limits);
    if (!state.refusal.empty()) return false;
    if (info.jpeg_color_space == JCS_CMYK || info.jpeg_color_space == JCS_YCCK) {
        state.refusal = "CMYK JPEG files are not supported";
        return false;
    }
    for (jpeg_saved_marker_ptr marker = info.marker_list; marker != nullptr; marker = marker->next) {
        if (marker->marker == JPEG_APP0 + 1 && marker->data_length >= 6 &&
            std::memcmp(marker->data, "Exif\0\0", 6) == 0) {
            state.orientation = ExifOrientation(marker->data, marker->data_length);
            break;
        }
    }
    TakeJpegIcc(state);
    if (info.jpeg_color_space == JCS_GRAYSCALE) notes.push_back("grey image converted to RGB");
    info.out_color_space = JCS_RGB;
    jpeg_start_decompress(&info);
    if (info.output_components != 3) {
        state.refusal = "unexpected JPEG layout after conversion";
        return false;
    }
    // Entropy-coded blocks take at least a bit or so each; 64 pixels per bit is more
    // than any real file reaches.
    RowBuffer buffer(state.result->image, static_cast<int>(info.output_width), static_cast<int>(info.output_height), 3,
                     PlausibleBytes(*state.source.input, 64 * 8 * 3), *state.limits);
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
    state->result = &result;
    state->info.err = jpeg_std_error(&state->error.base);
    state->error.base.error_exit = JpegFail;
    state->error.base.emit_message = JpegMessage;
    JpegReadGuard guard(state.get());
    if (!DecodeJpegGuarded(*state)) {
        if (!state->refusal.empty()) return Failure(state->refusal);
        if (state->too_many_scans) {
            return Failure("JPEG files of more than " + std::to_string(kMaxJpegScans) +
                           " scans are not supported (a progressive file usually has about 10)");
        }
        // Kinds of JPEG that are valid but that this libjpeg (8-bit, DCT) does not decode.
        const int code = state->error.base.msg_code;
        if (code == JERR_BAD_PRECISION && state->error.base.msg_parm.i[0] == 12) {
            return Failure("12-bit JPEG is not supported; convert it to 8 bits");
        }
        if (code == JERR_SOF_UNSUPPORTED) {
            return Failure("lossless and hierarchical JPEG files are not supported (" +
                           std::string(state->error.message) + ")");
        }
        return Failure("damaged JPEG file: " + std::string(state->error.message));
    }
    Finish(result, state->orientation, "EXIF");
    return result;
}

// Hands libjpeg's output to a ByteSink through a buffer of its own.
struct JpegDestination {
    jpeg_destination_mgr base;  // first: libjpeg hands back a pointer to it
    ByteSink* out;
    bool failed;  // the sink refused bytes; its Error() says why
    JOCTET buffer[1 << 16];
};

void JpegInitDestination(j_compress_ptr info) {
    auto* destination = reinterpret_cast<JpegDestination*>(info->dest);
    destination->base.next_output_byte = destination->buffer;
    destination->base.free_in_buffer = sizeof destination->buffer;
}

void JpegWriteOut(j_compress_ptr info, std::size_t size) {
    auto* destination = reinterpret_cast<JpegDestination*>(info->dest);
    if (size > 0 && !destination->out->Write(destination->buffer, size)) {
        destination->failed = true;
        info->err->msg_code = JERR_FILE_WRITE;
        (*info->err->error_exit)(reinterpret_cast<j_common_ptr>(info));
    }
    destination->base.next_output_byte = destination->buffer;
    destination->base.free_in_buffer = sizeof destination->buffer;
}

boolean JpegEmptyBuffer(j_compress_ptr info) {
    JpegWriteOut(info, sizeof reinterpret_cast<JpegDestination*>(info->dest)->buffer);
    return TRUE;
}

void JpegTermDestination(j_compress_ptr info) {
    auto* destination = reinterpret_cast<JpegDestination*>(info->dest);
    JpegWriteOut(info, sizeof destination->buffer - destination->base.free_in_buffer);
}

struct JpegWriteState {
    jpeg_compress_struct info{};
    JpegErrorManager error{};
    JpegDestination destination{};
    RowSource* rows = nullptr;
    const Metadata* metadata = nullptr;
    int quality = kDefaultJpegQuality;
    bool created = false;
};

// The largest profile libjpeg splits into APP2 markers: 255 of them.
constexpr std::size_t kMaxJpegIccBytes = std::size_t{255} * (65533 - 14);

bool EncodeJpegGuarded(JpegWriteState& state) {
    jpeg_compress_struct& info = state.info;
    if (setjmp(state.error.jump)) return false;
    RowSource& rows = *state.rows;
    jpeg_create_compress(&info);
    state.created = true;
    state.destination.base.init_destination = JpegInitDestination;
    state.destination.base.empty_output_buffer = JpegEmptyBuffer;
    state.destination.base.term_destination = JpegTermDestination;
    info.dest = &state.destination.base;
    info.image_width = static_cast<JDIMENSION>(rows.width());
    info.image_height = static_cast<JDIMENSION>(rows.height());
    info.input_components = 3;
    info.in_color_space = JCS_RGB;
    jpeg_set_defaults(&info);
    jpeg_set_quality(&info, state.quality, TRUE);
    // Huffman tables made for the image: a few percent smaller at little cost.
    info.optimize_coding = TRUE;
    jpeg_start_compress(&info, TRUE);
    const std::vector<std::uint8_t>& icc = state.metadata->icc;
    if (!icc.empty() && icc.size() <= kMaxJpegIccBytes) {
        jpeg_write_icc_profile(&info, icc.data(), static_cast<unsigned int>(icc.size()));
    }
    while (info.next_scanline < info.image_height) {
        const std::uint8_t* next = rows.Row(static_cast<int>(info.next_scanline));
        if (next == nullptr) {
            std::snprintf(state.error.message, sizeof state.error.message, "%s", kRowsAbandoned);
            return false;
        }
        // libjpeg reads the rows it is given and never writes to them.
        JSAMPROW row = const_cast<JSAMPLE*>(next);
        jpeg_write_scanlines(&info, &row, 1);
    }
    jpeg_finish_compress(&info);
    return true;
}

struct JpegWriteGuard {
    JpegWriteState* state;
    explicit JpegWriteGuard(JpegWriteState* state_) : state(state_) {}
    JpegWriteGuard(const JpegWriteGuard&) = delete;
    JpegWriteGuard& operator=(const JpegWriteGuard&) = delete;
    ~JpegWriteGuard() {
        if (state->created) jpeg_destroy_compress(&state->info);
    }
};

std::string EncodeJpeg(RowSource& rows, ByteSink& out, const Metadata& metadata, const WriteOptions& options,
                       std::vector<std::string>& notes) {
    auto state = std::make_unique<JpegWriteState>();
    state->rows = &rows;
    state->metadata = &metadata;
    state->quality = options.quality.value_or(kDefaultJpegQuality);
    state->destination.out = &out;
    state->info.err = jpeg_std_error(&state->error.base);
    state->error.base.error_exit = JpegFail;
    state->error.base.emit_message = JpegQuiet;
    if (metadata.icc.size() > kMaxJpegIccBytes) {
        notes.push_back("the ICC profile was dropped: it is too large for a JPEG file");
    }
    JpegWriteGuard guard(state.get());
    if (!EncodeJpegGuarded(*state)) {
        return state->destination.failed ? out.Error() : "JPEG encoding failed: " + std::string(state->error.message);
    }
    return {};
}

// ---- WebP -------------------------------------------------------------------------
//
// libwebp decodes a whole file from memory. The file's bytes are read as they arrive,
// up to the end its RIFF header gives, and the image's size is checked from its first
// chunks as soon as they are in; the pixel buffer is taken only once every byte has
// arrived, so a file that ends early costs no more than its bytes. WebP has no bound
// on how far its bytes expand (a run of one colour can take no bits at all), so a
// file whose pixels would take far more than its size is first decoded to a single
// pixel, which takes libwebp's own memory only, to show that its image data is all
// there before the buffer for its pixels is taken.

std::string WebpProblem(VP8StatusCode status) {
    switch (status) {
        case VP8_STATUS_OUT_OF_MEMORY: return "out of memory for the WebP decoder";
        case VP8_STATUS_UNSUPPORTED_FEATURE: return "the WebP file uses a feature that is not supported";
        case VP8_STATUS_NOT_ENOUGH_DATA: return "damaged WebP file: the file ends early";
        default: return "damaged WebP file: its image data is invalid";
    }
}

struct WebpDemuxDelete {
    void operator()(WebPDemuxer* demux) const { WebPDemuxDelete(demux); }
};

// Pixels of a WebP file up to this many times its size are taken without the check.
// The sample photograph's pixels take 11 to 41 times its lossy file (quality 95 to 50)
// and 3 times its lossless one; only flat pictures go beyond a thousand, and those
// decode quickly.
constexpr std::uint64_t kWebpTrustedRatio = 1024;

// Decodes the whole file into a picture of one pixel: libwebp parses all of the image
// data, keeping none of the pixels (a lossless image, and the alpha of a lossy one,
// still take libwebp's working memory of their size).
VP8StatusCode CheckWebpData(const std::vector<std::uint8_t>& data) {
    WebPDecoderConfig config;
    if (WebPInitDecoderConfig(&config) == 0) return VP8_STATUS_INVALID_PARAM;
    config.options.use_scaling = 1;
    config.options.scaled_width = 1;
    config.options.scaled_height = 1;
    // What only makes pixels look better: none of it reads image data.
    config.options.bypass_filtering = 1;
    config.options.no_fancy_upsampling = 1;
    config.output.colorspace = MODE_RGB;
    const VP8StatusCode status = WebPDecode(data.data(), data.size(), &config);
    WebPFreeDecBuffer(&config.output);
    return status;
}

DecodeResult DecodeWebp(Input& input, const ReadLimits& limits) {
    std::vector<std::uint8_t> data(12);
    if (input.Read(data.data(), data.size()) != data.size()) return Failure("damaged WebP file: the file ends early");
    // RIFF: "RIFF", the size of what follows the first 8 bytes, "WEBP", the chunks.
    const std::uint64_t total = std::uint64_t{LittleEndian32(data.data() + 4)} + 8;
    if (total < 20) return Failure("damaged WebP file: it holds no image");
    WebPBitstreamFeatures features{};
    VP8StatusCode status = VP8_STATUS_NOT_ENOUGH_DATA;
    const auto check_size = [&]() {
        if (features.has_animation) return std::string("animated WebP files are not supported");
        return DimensionProblem(static_cast<std::uint32_t>(features.width), static_cast<std::uint32_t>(features.height),
                                limits);
    };
    std::size_t piece = 4096;
    while (data.size() < total) {
        const std::size_t have = data.size();
        const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(piece, total - have));
        data.resize(have + want);
        const std::size_t got = input.Read(data.data() + have, want);
        data.resize(have + got);
        if (got < want) return Failure("damaged WebP file: the file ends early");
        if (status == VP8_STATUS_NOT_ENOUGH_DATA) {
            status = WebPGetFeatures(data.data(), data.size(), &features);
            if (status == VP8_STATUS_OK) {
                if (std::string problem = check_size(); !problem.empty()) return Failure(problem);
            } else if (status != VP8_STATUS_NOT_ENOUGH_DATA) {
                return Failure(WebpProblem(status));
            }
        }
        piece = std::min<std::size_t>(piece * 2, std::size_t{16} << 20);
    }
    // All of the file is in: too little data now means a damaged one.
    if (status == VP8_STATUS_NOT_ENOUGH_DATA) status = VP8_STATUS_BITSTREAM_ERROR;
    if (status != VP8_STATUS_OK) return Failure(WebpProblem(status));

    DecodeResult result;
    const int planes = features.has_alpha ? 4 : 3;
    const std::uint64_t pixel_bytes = std::uint64_t{static_cast<std::uint32_t>(features.width)} *
                                      static_cast<std::uint32_t>(features.height) * static_cast<std::uint64_t>(planes);
    if (pixel_bytes > SaturatingProduct(data.size(), kWebpTrustedRatio)) {
        status = CheckWebpData(data);
        if (status != VP8_STATUS_OK) return Failure(WebpProblem(status));
    }
    RowBuffer buffer(result.image, features.width, features.height, planes, std::nullopt, limits);
    WebPDecoderConfig config;
    if (WebPInitDecoderConfig(&config) == 0) return Failure("the WebP decoder does not match its header");
    config.output.colorspace = planes == 4 ? MODE_RGBA : MODE_RGB;
    config.output.is_external_memory = 1;
    config.output.u.RGBA.rgba = buffer.All();
    config.output.u.RGBA.stride = static_cast<int>(buffer.row_bytes());
    config.output.u.RGBA.size = result.image.bytes.size();
    status = WebPDecode(data.data(), data.size(), &config);
    WebPFreeDecBuffer(&config.output);
    if (status != VP8_STATUS_OK) return Failure(WebpProblem(status));

    int orientation = 0;
    const WebPData whole{data.data(), data.size()};
    if (const std::unique_ptr<WebPDemuxer, WebpDemuxDelete> demux(WebPDemux(&whole)); demux) {
        WebPChunkIterator chunk;
        if (WebPDemuxGetChunk(demux.get(), "ICCP", 1, &chunk) != 0) {
            TakeIcc(result, chunk.chunk.bytes, chunk.chunk.size);
            WebPDemuxReleaseChunkIterator(&chunk);
        }
        if (WebPDemuxGetChunk(demux.get(), "EXIF", 1, &chunk) != 0) {
            orientation = ExifOrientation(chunk.chunk.bytes, chunk.chunk.size);
            WebPDemuxReleaseChunkIterator(&chunk);
        }
    }
    Finish(result, orientation, "EXIF");
    return result;
}

// The lossless encoder's effort (WebPConfigLosslessPreset, 0..9). On a 4000 x 3000
// photograph 3 gives files the size of libwebp's usual 6 in about 60 % of the time;
// below 3 they grow by a fifth.
constexpr int kWebpLosslessLevel = 3;

struct WebpPictureFree {
    void operator()(WebPPicture* picture) const { WebPPictureFree(picture); }
};
struct WebpMemoryFree {
    void operator()(WebPMemoryWriter* writer) const { WebPMemoryWriterClear(writer); }
};
struct WebpMuxDelete {
    void operator()(WebPMux* mux) const { WebPMuxDelete(mux); }
};
struct WebpDataClear {
    void operator()(WebPData* data) const { WebPDataClear(data); }
};

std::string WebpEncodingProblem(WebPEncodingError error) {
    switch (error) {
        case VP8_ENC_ERROR_OUT_OF_MEMORY:
        case VP8_ENC_ERROR_BITSTREAM_OUT_OF_MEMORY: return "out of memory for the WebP encoder";
        case VP8_ENC_ERROR_BAD_DIMENSION: return "the image is too large for a WebP file";
        default: return "WebP encoding failed (libwebp error " + std::to_string(static_cast<int>(error)) + ")";
    }
}

std::string EncodeWebp(RowSource& rows, ByteSink& out, const Metadata& metadata, const WriteOptions& options) {
    WebPConfig config;
    if (WebPConfigInit(&config) == 0) return "the WebP encoder does not match its header";
    if (options.quality) {
        config.quality = static_cast<float>(*options.quality);
    } else {
        WebPConfigLosslessPreset(&config, kWebpLosslessLevel);
        // The colours under fully transparent pixels too, so that the file gives back
        // every byte of the image.
        config.exact = 1;
    }
    WebPPicture picture;
    if (WebPPictureInit(&picture) == 0) return "the WebP encoder does not match its header";
    picture.width = rows.width();
    picture.height = rows.height();
    picture.use_argb = config.lossless;
    const std::unique_ptr<WebPPicture, WebpPictureFree> picture_owner(&picture);
    // libwebp takes the picture whole: every row must be final first.
    if (rows.Row(rows.height() - 1) == nullptr) return kRowsAbandoned;
    const std::uint8_t* first = rows.Row(0);
    const int stride = static_cast<int>(rows.stride());
    const int imported = rows.planes() == 4 ? WebPPictureImportRGBA(&picture, first, stride)
                                            : WebPPictureImportRGB(&picture, first, stride);
    if (imported == 0) return WebpEncodingProblem(picture.error_code);
    WebPMemoryWriter memory;
    WebPMemoryWriterInit(&memory);
    const std::unique_ptr<WebPMemoryWriter, WebpMemoryFree> memory_owner(&memory);
    picture.writer = WebPMemoryWrite;
    picture.custom_ptr = &memory;
    if (WebPEncode(&config, &picture) == 0) return WebpEncodingProblem(picture.error_code);
    if (metadata.icc.empty()) return WriteAll(out, memory.mem, memory.size) ? std::string() : out.Error();

    // The profile goes into an ICCP chunk, which needs the extended layout (VP8X).
    const WebPData bitstream{memory.mem, memory.size};
    const std::unique_ptr<WebPMux, WebpMuxDelete> mux(WebPMuxCreate(&bitstream, 0));
    if (!mux) return "WebP encoding failed: the encoded file could not be taken apart";
    const WebPData profile{metadata.icc.data(), metadata.icc.size()};
    if (WebPMuxSetChunk(mux.get(), "ICCP", &profile, 0) != WEBP_MUX_OK) {
        return "WebP encoding failed: the ICC profile was not taken";
    }
    WebPData assembled{nullptr, 0};
    const WebPMuxError assembly = WebPMuxAssemble(mux.get(), &assembled);
    const std::unique_ptr<WebPData, WebpDataClear> assembled_owner(&assembled);
    if (assembly != WEBP_MUX_OK) return "WebP encoding failed: the file with its ICC profile could not be put together";
    return WriteAll(out, assembled.bytes, assembled.size) ? std::string() : out.Error();
}

// ---- TIFF -------------------------------------------------------------------------
//
// A TIFF file's directory and strips may lie anywhere in it, so libtiff reads by
// position: from memory, from a regular file by offset (which leaves the stream's own
// position alone) or, for a stream such as a pipe, from its bytes read into memory
// first, up to what an image at the pixel limit could take. The declared size is
// checked against the limits, and against what the file's size can hold at the
// compression's best ratio, before any row is read; the rows then go into the growing
// buffer strip by strip or tile row by tile row.

// The bytes libtiff reads or writes, and its first error message.
struct TiffIo {
    const std::uint8_t* memory = nullptr;  // reading from memory, or
    int fd = -1;                           // from a file,
    std::uint64_t offset = 0;              // from this offset on
    std::uint64_t size = 0;
    std::uint64_t position = 0;
    bool writing = false;
    std::vector<std::uint8_t> bytes;  // written
    char error[kMessageSize] = {};
};

std::uint64_t TiffSize(const TiffIo& io) { return io.writing ? io.bytes.size() : io.size; }

tmsize_t TiffReadProc(thandle_t handle, void* out, tmsize_t count) {
    auto* io = static_cast<TiffIo*>(handle);
    const std::uint64_t size = TiffSize(*io);
    if (count <= 0 || io->position >= size) return 0;
    const std::uint64_t n = std::min<std::uint64_t>(static_cast<std::uint64_t>(count), size - io->position);
    const std::uint8_t* memory = io->writing ? io->bytes.data() : io->memory;
    if (memory != nullptr) {
        std::memcpy(out, memory + io->position, static_cast<std::size_t>(n));
        io->position += n;
        return static_cast<tmsize_t>(n);
    }
    std::uint64_t done = 0;
    while (done < n) {
        const ssize_t got = pread(io->fd, static_cast<char*>(out) + done, static_cast<std::size_t>(n - done),
                                  static_cast<off_t>(io->offset + io->position + done));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        done += static_cast<std::uint64_t>(got);
    }
    io->position += done;
    return static_cast<tmsize_t>(done);
}

tmsize_t TiffWriteProc(thandle_t handle, void* data, tmsize_t count) {
    auto* io = static_cast<TiffIo*>(handle);
    if (!io->writing || count < 0) return 0;
    const std::uint64_t end = io->position + static_cast<std::uint64_t>(count);
    try {
        if (end > io->bytes.size()) io->bytes.resize(static_cast<std::size_t>(end));
    } catch (const std::exception&) {
        return 0;  // no exception may cross libtiff's C frames
    }
    std::memcpy(io->bytes.data() + io->position, data, static_cast<std::size_t>(count));
    io->position = end;
    return count;
}

toff_t TiffSeekProc(thandle_t handle, toff_t offset, int whence) {
    auto* io = static_cast<TiffIo*>(handle);
    std::uint64_t base = 0;
    if (whence == SEEK_CUR) {
        base = io->position;
    } else if (whence == SEEK_END) {
        base = TiffSize(*io);
    } else if (whence != SEEK_SET) {
        return static_cast<toff_t>(-1);
    }
    // Positions beyond what a file can have are refused (toff_t is unsigned).
    constexpr std::uint64_t kFarthest = std::uint64_t{1} << 62;
    if (offset > kFarthest || base + offset > kFarthest) return static_cast<toff_t>(-1);
    io->position = base + offset;
    return io->position;
}

int TiffCloseProc(thandle_t) { return 0; }
toff_t TiffSizeProc(thandle_t handle) { return TiffSize(*static_cast<TiffIo*>(handle)); }
int TiffMapProc(thandle_t, void**, toff_t*) { return 0; }
void TiffUnmapProc(thandle_t, void*, toff_t) {}

int TiffErrorProc(TIFF*, void* user, const char*, const char* format, va_list arguments) {
    auto* io = static_cast<TiffIo*>(user);
    if (io->error[0] == '\0') std::vsnprintf(io->error, sizeof io->error, format, arguments);
    return 1;  // handled: nothing goes to stderr
}

// Warnings (an unknown tag, say) leave the image usable.
int TiffWarningProc(TIFF*, void*, const char*, const char*, va_list) { return 1; }

struct TiffClose {
    void operator()(TIFF* tiff) const { TIFFClose(tiff); }
};
struct TiffOptionsFree {
    void operator()(TIFFOpenOptions* options) const { TIFFOpenOptionsFree(options); }
};
using TiffHandle = std::unique_ptr<TIFF, TiffClose>;

// Opens `io` with libtiff in `mode`; no single allocation of libtiff's may exceed
// `max_allocation` bytes (0: no bound).
TiffHandle OpenTiff(TiffIo& io, const char* mode, std::uint64_t max_allocation) {
    const std::unique_ptr<TIFFOpenOptions, TiffOptionsFree> options(TIFFOpenOptionsAlloc());
    if (!options) return nullptr;
    TIFFOpenOptionsSetErrorHandlerExtR(options.get(), TiffErrorProc, &io);
    TIFFOpenOptionsSetWarningHandlerExtR(options.get(), TiffWarningProc, &io);
    if (max_allocation > 0) {
        TIFFOpenOptionsSetMaxSingleMemAlloc(options.get(),
                                            static_cast<tmsize_t>(std::min(max_allocation, std::uint64_t{1} << 62)));
    }
    return TiffHandle(TIFFClientOpenExt("TIFF", mode, &io, TiffReadProc, TiffWriteProc, TiffSeekProc, TiffCloseProc,
                                        TiffSizeProc, TiffMapProc, TiffUnmapProc, options.get()));
}

std::string TiffDamage(const TiffIo& io) {
    return std::string("damaged TIFF file") + (io.error[0] != '\0' ? ": " + std::string(io.error) : std::string());
}

// How many times its size a strip or tile can expand under a compression, at most; a
// file whose size times this cannot hold the declared image is damaged. Codecs not
// named get a bound larger than any of theirs reaches.
std::uint64_t TiffCompressionRatio(std::uint16_t compression) {
    switch (compression) {
        case COMPRESSION_NONE: return 1;
        case COMPRESSION_PACKBITS: return 64;   // 2 bytes for a run of 128
        case COMPRESSION_ADOBE_DEFLATE:
        case COMPRESSION_DEFLATE: return kDeflateRatio;
        case COMPRESSION_LZW: return 4096;      // a 12-bit code for at most 4096 bytes
        case COMPRESSION_JPEG: return 4096;
        default: return std::uint64_t{1} << 18;  // CCITT fax codes: a bit for a long run of white
    }
}

const char* PhotometricName(std::uint16_t photometric) {
    switch (photometric) {
        case PHOTOMETRIC_SEPARATED: return "CMYK";
        case PHOTOMETRIC_YCBCR: return "YCbCr";
        case PHOTOMETRIC_CIELAB:
        case PHOTOMETRIC_ICCLAB:
        case PHOTOMETRIC_ITULAB: return "Lab";
        case PHOTOMETRIC_MASK: return "transparency mask";
        case PHOTOMETRIC_LOGL:
        case PHOTOMETRIC_LOGLUV: return "LogLuv";
        case PHOTOMETRIC_CFA: return "colour filter array";
        default: return "unknown-colour";
    }
}

// What the samples of a TIFF image are and where they go in an RGB(A) pixel.
struct TiffLayout {
    enum class Kind { rgb, grey, palette } kind = Kind::rgb;
    int bits = 8;            // per sample
    int samples = 3;         // per pixel
    int colour_samples = 3;  // RGB 3, grey and palette 1; an alpha sample may follow
    bool alpha = false;
    bool premultiplied = false;
    bool min_is_white = false;
    const std::uint16_t* map[3] = {};  // a palette's red, green and blue, 16 bits each
    // The palette holds 8-bit colours moved up by 8 bits (each a multiple of 256, as
    // some writers make them), which its high bytes give back exactly. Other palettes
    // are rounded to 8 bits as 16-bit samples are.
    bool palette_shifted = false;
};

// Sample `index` of a row of samples of `bits` bits each; rows start on a byte.
unsigned TiffSample(const std::uint8_t* row, std::uint64_t index, int bits) {
    if (bits == 8) return row[index];
    if (bits == 16) {
        std::uint16_t value = 0;  // libtiff has put it in the machine's byte order
        std::memcpy(&value, row + 2 * index, 2);
        return value;
    }
    const std::uint64_t bit = index * static_cast<std::uint64_t>(bits);
    return (row[bit >> 3] >> (8 - bits - static_cast<int>(bit & 7))) & ((1u << bits) - 1);
}

std::uint8_t TiffTo8(unsigned value, int bits) {
    if (bits == 8) return static_cast<std::uint8_t>(value);
    if (bits == 16) return static_cast<std::uint8_t>((value + 128) / 257);
    return static_cast<std::uint8_t>(value * 255 / ((1u << bits) - 1));
}

// Puts `count` pixels of a row into RGB(A) pixels at `out`. The row holds `stride`
// samples per pixel, the file's samples `first` onwards: all of them when the samples
// are interleaved, one when each has its own plane.
void ConvertTiffRow(const TiffLayout& layout, const std::uint8_t* row, int stride, int first, std::uint64_t count,
                    std::uint8_t* out, int planes) {
    const bool plain = layout.kind == TiffLayout::Kind::rgb && layout.bits == 8 && stride == layout.samples &&
                       stride == planes && !layout.premultiplied;
    if (plain) {
        std::memcpy(out, row, static_cast<std::size_t>(count) * static_cast<std::size_t>(planes));
        return;
    }
    for (std::uint64_t x = 0; x < count; ++x, out += planes) {
        for (int i = 0; i < stride; ++i) {
            const int sample = first + i;
            if (sample > layout.colour_samples || (sample == layout.colour_samples && !layout.alpha)) break;
            const std::uint64_t index = x * static_cast<std::uint64_t>(stride) + static_cast<std::uint64_t>(i);
            const unsigned value = TiffSample(row, index, layout.bits);
            if (sample == layout.colour_samples) {
                out[3] = TiffTo8(value, layout.bits);
            } else if (layout.kind == TiffLayout::Kind::palette) {
                for (int c = 0; c < 3; ++c) {
                    const unsigned colour = layout.map[c][value];
                    out[c] = layout.palette_shifted ? static_cast<std::uint8_t>(colour >> 8) : TiffTo8(colour, 16);
                }
            } else if (layout.kind == TiffLayout::Kind::grey) {
                const std::uint8_t grey = TiffTo8(value, layout.bits);
                out[0] = out[1] = out[2] = layout.min_is_white ? static_cast<std::uint8_t>(255 - grey) : grey;
            } else {
                out[sample] = TiffTo8(value, layout.bits);
            }
        }
    }
}

// Reads the samples of `passes` planes (1 when they are interleaved) row by row.
std::string ReadTiffStrips(TIFF* tiff, const TiffIo& io, const TiffLayout& layout, bool separate, int passes,
                           RowBuffer& buffer, std::uint32_t width, std::uint32_t height, int planes) {
    const tmsize_t line_size = TIFFScanlineSize(tiff);
    if (line_size <= 0) return TiffDamage(io);
    std::vector<std::uint8_t> line(static_cast<std::size_t>(line_size));
    for (int pass = 0; pass < passes; ++pass) {
        for (std::uint32_t y = 0; y < height; ++y) {
            if (TIFFReadScanline(tiff, line.data(), y, static_cast<std::uint16_t>(pass)) < 0) return TiffDamage(io);
            std::uint8_t* row = pass == 0 ? buffer.NextRow() : buffer.Row(y);
            ConvertTiffRow(layout, line.data(), separate ? 1 : layout.samples, pass, width, row, planes);
        }
    }
    return {};
}

// Reads a tiled image a row of tiles at a time.
std::string ReadTiffTiles(TIFF* tiff, const TiffIo& io, const TiffLayout& layout, bool separate, int passes,
                          RowBuffer& buffer, std::uint32_t width, std::uint32_t height, int planes) {
    std::uint32_t tile_width = 0, tile_height = 0;
    if (TIFFGetField(tiff, TIFFTAG_TILEWIDTH, &tile_width) == 0 ||
        TIFFGetField(tiff, TIFFTAG_TILELENGTH, &tile_height) == 0 || tile_width == 0 || tile_height == 0) {
        return "damaged TIFF file: its tiles have no size";
    }
    // A tile may overhang the image, but not by more than a real file does (tiles of
    // 2048 x 2048 are large ones).
    const std::uint64_t tile_pixels = std::uint64_t{tile_width} * tile_height;
    if (tile_pixels > std::max(std::uint64_t{1} << 22, std::uint64_t{width} * height * 4)) {
        return "damaged TIFF file: its tiles of " + SizeText(tile_width, tile_height) + " are far larger than the image";
    }
    const tmsize_t tile_size = TIFFTileSize(tiff);
    const tmsize_t tile_row = TIFFTileRowSize(tiff);
    if (tile_size <= 0 || tile_row <= 0) return TiffDamage(io);
    std::vector<std::uint8_t> tile(static_cast<std::size_t>(tile_size));
    for (std::uint64_t top = 0; top < height; top += tile_height) {
        const std::uint64_t rows = std::min<std::uint64_t>(tile_height, height - top);
        for (std::uint64_t r = 0; r < rows; ++r) buffer.NextRow();
        for (int pass = 0; pass < passes; ++pass) {
            for (std::uint64_t left = 0; left < width; left += tile_width) {
                if (TIFFReadTile(tiff, tile.data(), static_cast<std::uint32_t>(left), static_cast<std::uint32_t>(top), 0,
                                 static_cast<std::uint16_t>(pass)) < 0) {
                    return TiffDamage(io);
                }
                const std::uint64_t count = std::min<std::uint64_t>(tile_width, width - left);
                for (std::uint64_t r = 0; r < rows; ++r) {
                    const std::uint8_t* source = tile.data() + r * static_cast<std::uint64_t>(tile_row);
                    std::uint8_t* target = buffer.Row(top + r) + left * static_cast<std::uint64_t>(planes);
                    ConvertTiffRow(layout, source, separate ? 1 : layout.samples, pass, count, target, planes);
                }
            }
        }
    }
    return {};
}

// The layout of the first image's samples, or why it cannot be read. Notes say what
// will be converted.
std::string TiffLayoutOf(TIFF* tiff, TiffLayout& layout, std::vector<std::string>& notes) {
    std::uint16_t samples = 1, bits = 1, format = SAMPLEFORMAT_UINT, photometric = 0, compression = COMPRESSION_NONE;
    TIFFGetFieldDefaulted(tiff, TIFFTAG_SAMPLESPERPIXEL, &samples);
    TIFFGetFieldDefaulted(tiff, TIFFTAG_BITSPERSAMPLE, &bits);
    TIFFGetFieldDefaulted(tiff, TIFFTAG_SAMPLEFORMAT, &format);
    TIFFGetFieldDefaulted(tiff, TIFFTAG_COMPRESSION, &compression);
    if (TIFFGetField(tiff, TIFFTAG_PHOTOMETRIC, &photometric) == 0) {
        return "damaged TIFF file: it does not say what its samples are (no PhotometricInterpretation)";
    }
    if (format != SAMPLEFORMAT_UINT && format != SAMPLEFORMAT_VOID) {
        return "TIFF images of floating-point or signed samples are not supported";
    }
    if (photometric == PHOTOMETRIC_YCBCR && compression == COMPRESSION_JPEG) {
        // libjpeg turns these into RGB as it decodes them.
        TIFFSetField(tiff, TIFFTAG_JPEGCOLORMODE, JPEGCOLORMODE_RGB);
        photometric = PHOTOMETRIC_RGB;
    }
    const std::string bits_text = std::to_string(bits) + " bits per sample";
    switch (photometric) {
        case PHOTOMETRIC_RGB:
            layout.kind = TiffLayout::Kind::rgb;
            layout.colour_samples = 3;
            if (bits != 8 && bits != 16) {
                return "RGB TIFF images of " + bits_text + " are not supported (8 and 16 are read)";
            }
            break;
        case PHOTOMETRIC_MINISBLACK:
        case PHOTOMETRIC_MINISWHITE:
            layout.kind = TiffLayout::Kind::grey;
            layout.colour_samples = 1;
            layout.min_is_white = photometric == PHOTOMETRIC_MINISWHITE;
            if (bits != 1 && bits != 2 && bits != 4 && bits != 8 && bits != 16) {
                return "grey TIFF images of " + bits_text + " are not supported (1, 2, 4, 8 and 16 are read)";
            }
            break;
        case PHOTOMETRIC_PALETTE:
            layout.kind = TiffLayout::Kind::palette;
            layout.colour_samples = 1;
            if (bits != 1 && bits != 2 && bits != 4 && bits != 8) {
                return "palette TIFF images of " + bits_text + " are not supported (1, 2, 4 and 8 are read)";
            }
            if (TIFFGetField(tiff, TIFFTAG_COLORMAP, &layout.map[0], &layout.map[1], &layout.map[2]) == 0) {
                return "damaged TIFF file: its palette is missing";
            }
            layout.palette_shifted = true;
            for (int c = 0; c < 3; ++c) {
                for (unsigned i = 0; i < 1u << bits; ++i) layout.palette_shifted &= (layout.map[c][i] & 0xFF) == 0;
            }
            break;
        default:
            return std::string(PhotometricName(photometric)) +
                   " TIFF images are not supported (RGB, grey and palette images are read)";
    }
    if (samples < layout.colour_samples) {
        return "damaged TIFF file: " + std::to_string(samples) + " samples per pixel are too few for its colours";
    }
    layout.bits = bits;
    layout.samples = samples;
    std::uint16_t extra_count = 0;
    std::uint16_t* extra_types = nullptr;
    TIFFGetFieldDefaulted(tiff, TIFFTAG_EXTRASAMPLES, &extra_count, &extra_types);
    int dropped = samples - layout.colour_samples;
    if (dropped > 0 && layout.kind != TiffLayout::Kind::palette && extra_count > 0 && extra_types != nullptr &&
        (extra_types[0] == EXTRASAMPLE_ASSOCALPHA || extra_types[0] == EXTRASAMPLE_UNASSALPHA)) {
        layout.alpha = true;
        layout.premultiplied = extra_types[0] == EXTRASAMPLE_ASSOCALPHA;
        --dropped;
    }
    if (layout.kind == TiffLayout::Kind::palette) notes.push_back("palette image expanded to RGB");
    if (layout.kind == TiffLayout::Kind::grey) {
        notes.push_back(layout.alpha ? "grey image with alpha converted to RGBA" : "grey image converted to RGB");
    }
    if (bits == 16) notes.push_back("16-bit image converted to 8 bits per channel");
    if (layout.premultiplied) notes.push_back("premultiplied alpha converted to straight alpha");
    if (dropped > 0) {
        notes.push_back(std::to_string(dropped) + (dropped == 1 ? " extra channel dropped" : " extra channels dropped"));
    }
    return {};
}

// Colours stored multiplied by their alpha, divided back out.
void Unpremultiply(Image& image) {
    for (std::size_t i = 0; i + 3 < image.bytes.size(); i += 4) {
        const unsigned alpha = image.bytes[i + 3];
        if (alpha == 0 || alpha == 255) continue;
        for (std::size_t c = 0; c < 3; ++c) {
            const unsigned straight = (image.bytes[i + c] * 255u + alpha / 2) / alpha;
            image.bytes[i + c] = static_cast<std::uint8_t>(std::min(255u, straight));
        }
    }
}

// The largest single allocation libtiff may make: a tag's values or a strip's bytes,
// which an image within the pixel limit never needs more than this for.
std::uint64_t TiffAllocationBound(const ReadLimits& limits) {
    return std::min(std::uint64_t{1} << 30, std::max(std::uint64_t{64} << 20, SaturatingProduct(limits.max_pixels, 8)));
}

DecodeResult DecodeTiff(Input& input, const ReadLimits& limits) {
    if (!input.Remaining()) {
        // A stream: its bytes first, as they arrive, up to what the largest image
        // within the limit (16-bit RGBA, uncompressed) and its tags could take.
        const std::uint64_t most = SaturatingProduct(limits.max_pixels, 8) + kStreamSlack;
        if (!input.BufferRest(most)) {
            return Failure(input.error().empty() ? "a TIFF file read from a stream may be at most " +
                                                       std::to_string(most) +
                                                       " bytes with this pixel limit; read it from a file"
                                                 : input.error());
        }
    }
    const std::optional<Input::Span> span = input.Remaining();
    if (!span) return Failure("the TIFF file cannot be read by position");
    TiffIo io;
    io.memory = span->memory;
    io.fd = span->fd;
    io.offset = span->offset;
    io.size = span->size;
    const TiffHandle handle = OpenTiff(io, "rm", TiffAllocationBound(limits));
    if (!handle) return Failure(TiffDamage(io));
    TIFF* tiff = handle.get();
    std::uint32_t width = 0, height = 0;
    if (TIFFGetField(tiff, TIFFTAG_IMAGEWIDTH, &width) == 0 || TIFFGetField(tiff, TIFFTAG_IMAGELENGTH, &height) == 0) {
        return Failure("damaged TIFF file: it gives no image size");
    }
    if (std::string problem = DimensionProblem(width, height, limits); !problem.empty()) return Failure(problem);

    DecodeResult result;
    TiffLayout layout;
    if (std::string problem = TiffLayoutOf(tiff, layout, result.notes); !problem.empty()) return Failure(problem);
    std::uint16_t planar = PLANARCONFIG_CONTIG, compression = COMPRESSION_NONE;
    TIFFGetFieldDefaulted(tiff, TIFFTAG_PLANARCONFIG, &planar);
    TIFFGetFieldDefaulted(tiff, TIFFTAG_COMPRESSION, &compression);
    const bool separate = planar == PLANARCONFIG_SEPARATE && layout.samples > 1;
    const int planes = layout.alpha ? 4 : 3;
    // The samples needed, each plane read in a pass of its own when they are separate.
    const int passes = separate ? layout.colour_samples + (layout.alpha ? 1 : 0) : 1;

    // Every row's samples, packed; the file must be able to hold them.
    const std::uint64_t row_bits = std::uint64_t{width} * static_cast<std::uint64_t>(layout.samples * layout.bits);
    const std::uint64_t stored = (row_bits + 7) / 8 * height;
    const std::uint64_t ratio = TiffCompressionRatio(compression);
    if (stored > 4096 && stored - 4096 > SaturatingProduct(io.size, ratio)) {
        return Failure("damaged TIFF file: " + std::to_string(io.size) + " bytes cannot hold a " +
                       SizeText(width, height) + " image");
    }
    // The rows the file can plausibly hold, in the buffer's pixels.
    const std::uint64_t expansion = (static_cast<std::uint64_t>(planes) * 8 * width + row_bits - 1) / row_bits;
    RowBuffer buffer(result.image, static_cast<int>(width), static_cast<int>(height), planes,
                     SaturatingProduct(SaturatingProduct(io.size, ratio), expansion), limits);
    const std::string problem = TIFFIsTiled(tiff) != 0
                                    ? ReadTiffTiles(tiff, io, layout, separate, passes, buffer, width, height, planes)
                                    : ReadTiffStrips(tiff, io, layout, separate, passes, buffer, width, height, planes);
    if (!problem.empty()) return Failure(problem);
    if (layout.premultiplied) Unpremultiply(result.image);

    std::uint32_t icc_size = 0;
    void* icc = nullptr;
    if (TIFFGetField(tiff, TIFFTAG_ICCPROFILE, &icc_size, &icc) != 0 && icc != nullptr) {
        TakeIcc(result, static_cast<const std::uint8_t*>(icc), icc_size);
    }
    std::uint16_t orientation = ORIENTATION_TOPLEFT;
    TIFFGetFieldDefaulted(tiff, TIFFTAG_ORIENTATION, &orientation);
    if (TIFFLastDirectory(tiff) == 0) {
        // Another directory follows. libtiff counts those it can reach, stopping
        // (with a warning only) where the list loops back to one it has seen.
        io.error[0] = '\0';
        if (TIFFNumberOfDirectories(tiff) >= 2) {
            result.notes.push_back("the TIFF file holds more images; the first was read");
        } else if (io.error[0] != '\0') {
            result.notes.push_back("the TIFF file's next directory cannot be read (" + std::string(io.error) +
                                   "); the first image was read");
        } else {
            result.notes.push_back("the TIFF file's directory points back to itself (a loop); its image was read");
        }
    }
    Finish(result, orientation, "TIFF");
    return result;
}

// Strips of about this many bytes: large enough for deflate to find its matches.
constexpr std::size_t kTiffStripBytes = std::size_t{256} << 10;

std::string EncodeTiff(RowSource& rows, ByteSink& out, const Metadata& metadata, const WriteOptions& options) {
    TiffIo io;
    io.writing = true;
    const std::size_t row_bytes = static_cast<std::size_t>(rows.width()) * static_cast<std::size_t>(rows.planes());
    // A classic TIFF's offsets end at 4 GiB; an image near that takes BigTIFF's.
    const bool big = row_bytes * static_cast<std::size_t>(rows.height()) > (std::uint64_t{15} << 28);
    {
        const TiffHandle handle = OpenTiff(io, big ? "w8" : "w", 0);
        if (!handle) return "TIFF encoding failed: " + std::string(io.error);
        TIFF* tiff = handle.get();
        const int level = options.compression.value_or(kDefaultTiffCompression);
        TIFFSetField(tiff, TIFFTAG_IMAGEWIDTH, static_cast<std::uint32_t>(rows.width()));
        TIFFSetField(tiff, TIFFTAG_IMAGELENGTH, static_cast<std::uint32_t>(rows.height()));
        TIFFSetField(tiff, TIFFTAG_BITSPERSAMPLE, 8);
        TIFFSetField(tiff, TIFFTAG_SAMPLESPERPIXEL, rows.planes());
        TIFFSetField(tiff, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB);
        TIFFSetField(tiff, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
        const std::size_t rows_per_strip =
            std::clamp<std::size_t>(kTiffStripBytes / row_bytes, 1, static_cast<std::size_t>(rows.height()));
        TIFFSetField(tiff, TIFFTAG_ROWSPERSTRIP, static_cast<std::uint32_t>(rows_per_strip));
        if (level == 0) {
            TIFFSetField(tiff, TIFFTAG_COMPRESSION, COMPRESSION_NONE);
        } else {
            TIFFSetField(tiff, TIFFTAG_COMPRESSION, COMPRESSION_ADOBE_DEFLATE);
            TIFFSetField(tiff, TIFFTAG_PREDICTOR, PREDICTOR_HORIZONTAL);
            TIFFSetField(tiff, TIFFTAG_ZIPQUALITY, level);
        }
        if (rows.planes() == 4) {
            const std::uint16_t alpha = EXTRASAMPLE_UNASSALPHA;
            TIFFSetField(tiff, TIFFTAG_EXTRASAMPLES, 1, &alpha);
        }
        if (!metadata.icc.empty()) {
            TIFFSetField(tiff, TIFFTAG_ICCPROFILE, static_cast<std::uint32_t>(metadata.icc.size()), metadata.icc.data());
        }
        // The predictor works on the row it is given, so it gets a copy.
        std::vector<std::uint8_t> row(row_bytes);
        for (int y = 0; y < rows.height(); ++y) {
            const std::uint8_t* next = rows.Row(y);
            if (next == nullptr) return kRowsAbandoned;
            std::memcpy(row.data(), next, row_bytes);
            if (TIFFWriteScanline(tiff, row.data(), static_cast<std::uint32_t>(y), 0) < 0) {
                return "TIFF encoding failed: " + std::string(io.error);
            }
        }
        if (TIFFFlush(tiff) == 0) return "TIFF encoding failed: " + std::string(io.error);
    }
    return WriteAll(out, io.bytes.data(), io.bytes.size()) ? std::string() : out.Error();
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

DecodeResult RasterAfterHeader(Input& input, std::uint64_t width, std::uint64_t height, int planes,
                               const ReadLimits& limits) {
    const std::uint64_t needed = width * height * static_cast<std::uint64_t>(planes);
    // A file of known size that is too short is refused before anything is allocated.
    if (input.size() && *input.size() - std::min(*input.size(), input.consumed()) < needed) {
        const std::uint64_t have = *input.size() - std::min(*input.size(), input.consumed());
        return Failure("the file ends early: " + std::to_string(have) + " of " + std::to_string(needed) +
                       " pixel bytes");
    }
    DecodeResult result;
    RowBuffer buffer(result.image, static_cast<int>(width), static_cast<int>(height), planes,
                     input.size() ? std::optional<std::uint64_t>(needed) : std::nullopt, limits);
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
    return RasterAfterHeader(input, width, height, 3, limits);
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
    if (!rgb && !rgba) {
        return Failure("PAM TUPLTYPE '" + tuple_type + "' with DEPTH " + std::to_string(depth) +
                       " is not supported (RGB with depth 3, RGB_ALPHA with depth 4)");
    }
    if (std::string problem = DimensionProblem(width, height, limits); !problem.empty()) return Failure(problem);
    return RasterAfterHeader(input, width, height, static_cast<int>(depth), limits);
}

// ---- Choosing the format ------------------------------------------------------------

DecodeResult Decode(Input& input, const ReadLimits& limits) {
    std::uint8_t head[12] = {};
    const std::size_t n = input.Peek(head, sizeof head);
    const auto starts = [&](const char* prefix, std::size_t length) {
        return n >= length && std::memcmp(head, prefix, length) == 0;
    };
    if (n == 0) return Failure(input.error().empty() ? "the file is empty" : input.error());
    const auto as = [](FileFormat format, DecodeResult result) {
        result.format = format;
        return result;
    };
    if (starts(kPngSignature, 8)) return as(FileFormat::png, DecodePng(input, limits));
    if (starts("\xFF\xD8\xFF", 3)) return as(FileFormat::jpeg, DecodeJpeg(input, limits));
    if (starts("RIFF", 4) && n >= 12 && std::memcmp(head + 8, "WEBP", 4) == 0) {
        return as(FileFormat::webp, DecodeWebp(input, limits));
    }
    // Classic TIFF (42) and BigTIFF (43), in either byte order.
    if (starts("II*\0", 4) || starts("MM\0*", 4) || starts("II+\0", 4) || starts("MM\0+", 4)) {
        return as(FileFormat::tiff, DecodeTiff(input, limits));
    }
    if (starts("P6", 2)) return as(FileFormat::ppm, DecodePpm(input, limits));
    if (starts("P7", 2)) return as(FileFormat::pam, DecodePam(input, limits));
    if (n >= 2 && head[0] == 'P' && head[1] >= '1' && head[1] <= '5') {
        return Failure("unsupported format: of the netpbm formats only binary PPM (P6) and PAM (P7) are read");
    }
    return Failure("unsupported format: not PNG, JPEG, WebP, TIFF, PPM (P6) or PAM (P7)");
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

std::string EncodeNetpbm(FileFormat format, RowSource& rows, ByteSink& out) {
    const std::string width = std::to_string(rows.width()), height = std::to_string(rows.height());
    const std::string header =
        format == FileFormat::ppm
            ? "P6\n" + width + " " + height + "\n255\n"
            : "P7\nWIDTH " + width + "\nHEIGHT " + height + "\nDEPTH " + std::to_string(rows.planes()) +
                  "\nMAXVAL 255\nTUPLTYPE " + (rows.planes() == 4 ? "RGB_ALPHA" : "RGB") + "\nENDHDR\n";
    if (!WriteText(out, header)) return out.Error();
    const std::size_t row_bytes = static_cast<std::size_t>(rows.width()) * static_cast<std::size_t>(rows.planes());
    for (int y = 0; y < rows.height(); ++y) {
        const std::uint8_t* row = rows.Row(y);
        if (row == nullptr) return kRowsAbandoned;
        if (!WriteAll(out, row, row_bytes)) return out.Error();
    }
    return {};
}

std::string Lowered(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

std::string LowerExtension(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    const std::size_t dot = path.find_last_of('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return {};
    return Lowered(path.substr(dot + 1));
}

}  // namespace

const char* const kRowsAbandoned = "the image was abandoned before it was finished";

ImageRows::ImageRows(const Image& image, int x, int y, int width, int height)
    : RowSource(width, height, image.planes, static_cast<std::size_t>(image.width) * static_cast<std::size_t>(image.planes)),
      first_(image.bytes.data() + static_cast<std::size_t>(y) * stride() + static_cast<std::size_t>(x) * image.planes) {}

const char* FormatName(FileFormat format) {
    switch (format) {
        case FileFormat::png: return "PNG";
        case FileFormat::jpeg: return "JPEG";
        case FileFormat::webp: return "WebP";
        case FileFormat::tiff: return "TIFF";
        case FileFormat::ppm: return "PPM";
        case FileFormat::pam: return "PAM";
    }
    return "?";
}

std::optional<FileFormat> FormatNamed(const std::string& name) {
    const std::string lowered = Lowered(name);
    if (lowered == "png") return FileFormat::png;
    if (lowered == "jpeg" || lowered == "jpg") return FileFormat::jpeg;
    if (lowered == "webp") return FileFormat::webp;
    if (lowered == "tiff" || lowered == "tif") return FileFormat::tiff;
    if (lowered == "ppm") return FileFormat::ppm;
    if (lowered == "pam") return FileFormat::pam;
    return std::nullopt;
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
    if (extension == "jpg" || extension == "jpeg") return FileFormat::jpeg;
    if (extension == "webp") return FileFormat::webp;
    if (extension == "tif" || extension == "tiff") return FileFormat::tiff;
    if (extension == "ppm") return FileFormat::ppm;
    if (extension == "pam") return FileFormat::pam;
    return std::nullopt;
}

std::string CheckWritable(FileFormat format, int planes, int width, int height) {
    if (planes != 3 && planes != 4) return "only RGB and RGBA images are written";
    if (planes == 4 && (format == FileFormat::ppm || format == FileFormat::jpeg)) {
        return std::string(format == FileFormat::ppm ? "a PPM" : "a JPEG") +
               " file holds no alpha plane; write .png, .webp, .tiff or .pam";
    }
    if (format == FileFormat::webp && (width > kMaxWebpDimension || height > kMaxWebpDimension)) {
        return "a WebP file holds at most " + std::to_string(kMaxWebpDimension) + " pixels either way; the image is " +
               SizeText(static_cast<std::uint64_t>(width), static_cast<std::uint64_t>(height));
    }
    return {};
}

std::string CheckWriteOptions(const WriteOptions& options) {
    if (options.quality && (*options.quality < 1 || *options.quality > 100)) {
        return "the quality " + std::to_string(*options.quality) + " is outside 1..100";
    }
    if (options.compression && (*options.compression < 0 || *options.compression > 9)) {
        return "the compression level " + std::to_string(*options.compression) + " is outside 0..9";
    }
    return {};
}

std::string EncodeImageTo(FileFormat format, RowSource& rows, ByteSink& out, const Metadata& metadata,
                          const WriteOptions& options, std::vector<std::string>* notes) {
    if (std::string problem = CheckWritable(format, rows.planes(), rows.width(), rows.height()); !problem.empty()) {
        return problem;
    }
    if (rows.width() < 1 || rows.height() < 1) return "the image is empty";
    if (std::string problem = CheckWriteOptions(options); !problem.empty()) return problem;
    std::vector<std::string> dropped;
    NoteDroppedMetadata(format, metadata, dropped);
    std::string error;
    switch (format) {
        case FileFormat::png: error = EncodePng(rows, out, metadata, options, dropped); break;
        case FileFormat::jpeg: error = EncodeJpeg(rows, out, metadata, options, dropped); break;
        case FileFormat::webp: error = EncodeWebp(rows, out, metadata, options); break;
        case FileFormat::tiff: error = EncodeTiff(rows, out, metadata, options); break;
        case FileFormat::ppm:
        case FileFormat::pam: error = EncodeNetpbm(format, rows, out); break;
    }
    if (error.empty() && notes != nullptr) notes->insert(notes->end(), dropped.begin(), dropped.end());
    return error;
}

std::string EncodeImageTo(FileFormat format, const Image& image, ByteSink& out, const Metadata& metadata,
                          const WriteOptions& options, std::vector<std::string>* notes) {
    ImageRows rows(image);
    return EncodeImageTo(format, rows, out, metadata, options, notes);
}

std::string EncodeImage(FileFormat format, const Image& image, std::vector<std::uint8_t>& out) {
    out.clear();
    VectorSink sink(out);
    return EncodeImageTo(format, image, sink);
}

std::string WriteImageFile(const std::string& path, const Image& image) {
    const std::optional<FileFormat> format = OutputFormatFor(path);
    if (!format) return "'" + path + "': unsupported output format; use .png, .jpg, .webp, .tif, .ppm or .pam";
    if (std::string problem = CheckWritable(*format, image.planes, image.width, image.height); !problem.empty()) {
        return "'" + path + "': " + problem;
    }
    OutputTarget target;
    if (std::string problem = ResolveOutput(path, target); !problem.empty()) return problem;
    return WriteImageFile(target, *format, image);
}

std::string WriteImageFile(const OutputTarget& target, FileFormat format, const Image& image, const Metadata& metadata,
                           const WriteOptions& options, std::vector<std::string>* notes) {
    OutputFile file;
    if (!file.Open(target)) return file.Error();
    if (std::string problem = EncodeImageTo(format, image, file, metadata, options, notes); !problem.empty()) {
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
