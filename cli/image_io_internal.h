// What the image file readers and writers share behind cli/image_io.h, and nothing
// outside cli/ includes: the input they read from (a file, a stream or memory), the
// row buffer a decoded image grows in, the size checks, the colour information and
// orientation every reader finishes with, and each format's decoder and encoder.
//
// One file per format holds its reader and writer (codec_png.cpp, codec_jpeg.cpp,
// codec_webp.cpp, codec_tiff.cpp, codec_netpbm.cpp); image_input.cpp the input and the
// row buffer; image_metadata.cpp orientation and colour information; image_cmyk.cpp
// CMYK pixels turned into RGB; image_io.cpp
// tells a file's format by its first bytes and holds the public face.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "cli/image_io.h"
#include "cli/output_file.h"

namespace tessellon::cli::imageio {

// The room kept for a library's error or warning text.
constexpr std::size_t kMessageSize = 256;
// Encoded bytes go to the sink in pieces of about a megabyte, so that an interrupt is
// answered promptly.
constexpr std::size_t kWritePiece = std::size_t{1} << 20;
// zlib's deflate expands at most 1032 times; the chunk framing only adds to the file.
constexpr std::uint64_t kDeflateRatio = 1032;
// Room for what a file holds besides its pixels (metadata, other chunks and tags) when
// a stream is read into memory.
constexpr std::uint64_t kStreamSlack = std::uint64_t{64} << 20;

DecodeResult Failure(std::string error);
std::string SizeText(std::uint64_t width, std::uint64_t height);
// Empty when width × height can pass through the host interface and the limits; else
// why not. Calls the limits' size check last.
std::string DimensionProblem(std::uint64_t width, std::uint64_t height, const ReadLimits& limits);

inline std::uint32_t BigEndian32(const std::uint8_t* p) {
    return std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 8 | p[3];
}
inline std::uint32_t LittleEndian32(const std::uint8_t* p) {
    return std::uint32_t{p[3]} << 24 | std::uint32_t{p[2]} << 16 | std::uint32_t{p[1]} << 8 | p[0];
}
inline std::uint64_t SaturatingProduct(std::uint64_t a, std::uint64_t b) {
    return b != 0 && a > ~std::uint64_t{0} / b ? ~std::uint64_t{0} : a * b;
}

// Hands `size` bytes to the sink in pieces of kWritePiece; false when it refuses them.
bool WriteAll(ByteSink& out, const std::uint8_t* data, std::size_t size);

// ---- Input ------------------------------------------------------------------------

// The bytes of a file or of a block of memory, read front to back. Reads come short
// only at the end or on a read error, which error() then describes.
class Input {
public:
    explicit Input(const std::vector<std::uint8_t>& bytes)
        : memory_(bytes.data()), memory_size_(bytes.size()), size_(bytes.size()) {}
    Input(std::FILE* file, std::optional<std::uint64_t> size) : file_(file), size_(size) {}

    std::size_t Read(void* out, std::size_t count);

    // The next byte, or -1 at the end.
    int Get() {
        std::uint8_t c = 0;
        return Read(&c, 1) == 1 ? c : -1;
    }

    // Reads the first bytes and hands them out again to the next reads.
    std::size_t Peek(std::uint8_t* out, std::size_t count);

    // The rest of the input, from the next byte on, where it can be read at any
    // position: a block of memory, or a regular file from an offset on.
    struct Span {
        const std::uint8_t* memory = nullptr;  // or
        int fd = -1;
        std::uint64_t offset = 0;  // in the file
        std::uint64_t size = 0;
    };
    // None for a stream (a pipe, a terminal), which can only be read front to back.
    std::optional<Span> Remaining() const;

    // For a stream of unknown size: reads the rest of it into memory, which later
    // reads are then served from, so that its size is known from here on. False when
    // it holds more than `most` bytes (or a read fails: error() then says why); what
    // was read stays in the buffer either way.
    bool BufferRest(std::uint64_t most);

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
              const ReadLimits& limits);

    // Room for the next row, appended to the buffer.
    std::uint8_t* NextRow();

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
std::optional<std::uint64_t> PlausibleBytes(const Input& input, std::uint64_t ratio);

// ---- Orientation and colour information (image_metadata.cpp) -----------------------

// The Orientation (tag 0x0112) in the first directory of an EXIF block; 0 when there
// is none or the block is damaged.
int ExifOrientation(const std::uint8_t* data, std::size_t size);
// Takes a profile a reader found, unless it is too large to be a real one.
void TakeIcc(DecodeResult& result, const std::uint8_t* data, std::size_t size);
// What every reader does last: a profile that cannot describe the image is dropped,
// and the image is turned upright. `source` names where the orientation came from.
void Finish(DecodeResult& result, int orientation, const char* source);
// Notes for the metadata `format` has no place for.
void NoteDroppedMetadata(FileFormat format, const Metadata& metadata, std::vector<std::string>& notes);

// ---- CMYK (image_cmyk.cpp) ---------------------------------------------------------

// Turns CMYK pixels into RGB: through `icc` when it is a CMYK profile Little CMS can
// use, into sRGB (relative colorimetric, black point compensation); otherwise by the
// simple inverse. note() says which, and why a profile given was not used.
class CmykConverter {
public:
    explicit CmykConverter(const std::vector<std::uint8_t>& icc);
    ~CmykConverter();
    CmykConverter(const CmykConverter&) = delete;
    CmykConverter& operator=(const CmykConverter&) = delete;

    // Converts `count` pixels of C, M, Y and K (0: no ink; `inverted`: 255 is no ink,
    // as Adobe's files store them, turned around in place first) into R, G and B.
    void Convert(std::uint8_t* cmyk, std::size_t count, bool inverted, std::uint8_t* rgb) const;
    // Whether the profile is used.
    bool managed() const { return transform_ != nullptr; }
    const std::string& note() const { return note_; }

private:
    void* context_ = nullptr;    // cmsContext
    void* transform_ = nullptr;  // cmsHTRANSFORM
    std::string note_;
};

// ---- The formats ------------------------------------------------------------------

// Each decoder reads from the input's next byte, which is the file's first.
DecodeResult DecodePng(Input& input, const ReadLimits& limits);
DecodeResult DecodeJpeg(Input& input, const ReadLimits& limits);
DecodeResult DecodeWebp(Input& input, const ReadLimits& limits);
DecodeResult DecodeTiff(Input& input, const ReadLimits& limits);
DecodeResult DecodePpm(Input& input, const ReadLimits& limits);
DecodeResult DecodePam(Input& input, const ReadLimits& limits);

// Each encoder writes an RGB or RGBA image whose size and planes CheckWritable has
// passed; notes go to `notes`. Those that can write grey do so when `grey` is set (every
// pixel of the rows has equal red, green and blue). Returns an empty string on success,
// else the error.
std::string EncodePng(RowSource& rows, ByteSink& out, const Metadata& metadata, const WriteOptions& options,
                      bool grey, std::vector<std::string>& notes);
std::string EncodeJpeg(RowSource& rows, ByteSink& out, const Metadata& metadata, const WriteOptions& options,
                       bool grey, std::vector<std::string>& notes);
std::string EncodeWebp(RowSource& rows, ByteSink& out, const Metadata& metadata, const WriteOptions& options);
std::string EncodeTiff(RowSource& rows, ByteSink& out, const Metadata& metadata, const WriteOptions& options,
                       bool grey);
// PPM (P6) or PAM (P7); a PAM may be grey.
std::string EncodeNetpbm(FileFormat format, RowSource& rows, ByteSink& out, bool grey);

// A row of `width` RGB (3 planes) or RGBA (4) pixels as grey, or grey and alpha: the red
// of each pixel, and its alpha.
void PackGrey(const std::uint8_t* row, int width, int planes, std::uint8_t* out);

}  // namespace tessellon::cli::imageio
