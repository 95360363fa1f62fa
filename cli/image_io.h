// Image files for the command-line host: PNG, JPEG, WebP and TIFF through libpng,
// libjpeg-turbo, libwebp and libtiff, binary PPM (P6) and PAM (P7) by hand; CMYK JPEG
// through its ICC profile with Little CMS. Every image comes out as 8-bit interleaved
// RGB (3 planes) or RGBA (4 planes), the two layouts the filter takes, turned upright when the file says it is stored turned; what had to be
// converted on the way is reported as notes. The colour information a file carries (an
// ICC profile, PNG's gamma, chromaticities and sRGB chunks) is read along and written
// where the output format can hold it. Damaged files give an error, never a crash, and
// a declared size is checked against the limits before memory is taken for it.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "cli/output_file.h"
#include "memhost/memhost.h"

namespace tessellon::cli {

using memhost::Image;

// The host interface describes rectangles with 16-bit coordinates.
constexpr int kMaxDimension = 32767;

enum class FileFormat { png, jpeg, webp, tiff, ppm, pam };

// "PNG", "JPEG", "WebP", "TIFF", "PPM", "PAM".
const char* FormatName(FileFormat format);
// The format a name stands for: png, jpeg or jpg, webp, tiff or tif, ppm, pam (any case).
std::optional<FileFormat> FormatNamed(const std::string& name);

// How the colours of an image are to be understood, as far as the file said.
struct Metadata {
    std::vector<std::uint8_t> icc;  // an ICC profile for RGB data
    // PNG's colour chunks, in their own units (times 100000): gAMA, and cHRM's white,
    // red, green and blue x and y; sRGB's rendering intent, 0..3.
    std::optional<std::uint32_t> png_gamma;
    std::optional<std::array<std::uint32_t, 8>> png_chromaticities;
    std::optional<int> srgb_intent;

    bool empty() const { return icc.empty() && !png_gamma && !png_chromaticities && !srgb_intent; }
};

// An ICC profile larger than this is not read (real ones stay far below).
constexpr std::size_t kMaxIccBytes = std::size_t{16} << 20;

struct DecodeResult {
    bool ok = false;
    FileFormat format = FileFormat::png;  // what was read
    Image image;
    Metadata metadata;
    std::vector<std::string> notes;  // conversions made, e.g. grey to RGB
    std::string error;               // set when !ok
    // The file held grey samples (with or without alpha), which came out as RGB(A) of
    // equal red, green and blue: a picture that WriteOptions::grey may write grey again.
    bool grey = false;
};

// Choices for writing; each applies to the formats named and is ignored by the others.
struct WriteOptions {
    // 1..100: JPEG (default 90) and WebP, which is lossy when it is set and lossless
    // when it is not.
    std::optional<int> quality;
    // The deflate level 0..9 of PNG and of TIFF (0: stored without compression); when
    // it is not set, each format's default (see below).
    std::optional<int> compression;
    // Written grey (grey and alpha for RGBA) where the format holds it (PNG, JPEG, TIFF,
    // PAM), when every pixel has equal red, green and blue and no ICC profile (which
    // describes RGB) is to go into the file with it; otherwise RGB(A) as always. A writer of rows still
    // being made waits for the last one before it decides.
    bool grey = false;
};

// How PNG and TIFF files are compressed when no level is asked for. PNG: libpng's
// choice of filter for each row, then deflate of runs only (zlib's Z_RLE), whose time
// does not depend on a level. Measured on a 4000 x 3000 photograph it takes a third of
// the time of deflate level 4 (0.47 s against 1.43 s) for a file 0.2 % larger, and on
// a 320 x 240 photograph the file is 1 % smaller; a screenshot with repeated shapes
// comes out about a quarter larger than at level 4, which --compression gives. TIFF
// keeps deflate level 4, with the horizontal predictor.
constexpr int kDefaultTiffCompression = 4;
constexpr int kDefaultJpegQuality = 90;
// The largest width and height a WebP file holds.
constexpr int kMaxWebpDimension = 16383;

// What a reader may take on: a declared size above it is refused before any pixel
// buffer is allocated.
struct ReadLimits {
    std::uint64_t max_pixels = std::uint64_t{kMaxDimension} * kMaxDimension;
    // Called now and then as rows come in, with the rows read and the image's height,
    // for a progress bar; may be empty.
    std::function<void(int rows, int height)> on_rows;
    // Called once the size a file declares is known and within the limits above, before
    // any pixel buffer is allocated; a message it returns refuses the image with it. May
    // be empty.
    std::function<std::string(int width, int height)> on_size;
};

// Bytes per pixel a whole run holds at its peak: the image read, the host's document
// and the result, with an alpha plane, and some room for the filter's own buffers.
constexpr std::uint64_t kBytesPerPixelOfARun = 16;
// The default pixel limit: what the host interface can carry, and no more than half
// of the machine's memory for a whole run.
std::uint64_t DefaultMaxPixels();

// Decodes a file's bytes; the format is told by its first bytes, not by a name.
DecodeResult DecodeImage(const std::vector<std::uint8_t>& bytes, const ReadLimits& limits = {});
// Reads and decodes a file; errors name the file.
DecodeResult ReadImageFile(const std::string& path, const ReadLimits& limits = {});
// Decodes what an open stream holds, reading it no further than the image's end;
// errors name the stream as `name`.
DecodeResult ReadImageStream(std::FILE* file, const std::string& name, const ReadLimits& limits = {});

// The format an output file gets from its extension (.png, .jpg, .jpeg, .webp, .tif,
// .tiff, .ppm, .pam, any case).
std::optional<FileFormat> OutputFormatFor(const std::string& path);
// Empty when `format` can hold an image of `planes` planes (and, when they are given, of
// that width and height), else why not.
std::string CheckWritable(FileFormat format, int planes, int width = 0, int height = 0);
// Empty when the options' values are within their ranges, else why not.
std::string CheckWriteOptions(const WriteOptions& options);

// The pixels an encoder reads, row by row and in order: an image, a rectangle of one
// (ImageRows), or rows still being made on another thread, which an encoder waits for
// (cli/row_pipeline.h). Rows lie `stride` bytes apart in one buffer.
class RowSource {
public:
    RowSource(int width, int height, int planes, std::size_t stride)
        : width_(width), height_(height), planes_(planes), stride_(stride) {}
    virtual ~RowSource() = default;
    RowSource(const RowSource&) = delete;
    RowSource& operator=(const RowSource&) = delete;

    int width() const { return width_; }
    int height() const { return height_; }
    int planes() const { return planes_; }
    std::size_t stride() const { return stride_; }
    // Row y (0 <= y < height) once it is final; null when it never will be, because
    // the image was abandoned: the encoder then gives up.
    const std::uint8_t* Row(int y) {
        const std::uint8_t* row = WaitForRow(y);
        // Rows are taken by one thread; WebP's encoder asks for the last row first.
        if (row != nullptr && y + 1 > RowsTaken()) rows_taken_.store(y + 1, std::memory_order_relaxed);
        return row;
    }
    // How many rows an encoder has taken, for a progress bar on another thread.
    int RowsTaken() const { return rows_taken_.load(std::memory_order_relaxed); }

protected:
    virtual const std::uint8_t* WaitForRow(int y) = 0;

private:
    int width_, height_, planes_;
    std::size_t stride_;
    std::atomic<int> rows_taken_{0};
};

// The rows of a whole image, or of the rectangle x, y, width, height inside it.
class ImageRows final : public RowSource {
public:
    explicit ImageRows(const Image& image) : ImageRows(image, 0, 0, image.width, image.height) {}
    ImageRows(const Image& image, int x, int y, int width, int height);

private:
    const std::uint8_t* WaitForRow(int y) override { return first_ + static_cast<std::size_t>(y) * stride(); }
    const std::uint8_t* first_;
};

// What an encoder says when its rows were abandoned.
extern const char* const kRowsAbandoned;

// Encodes an RGB or RGBA image with the metadata the format can hold; each piece of
// metadata it cannot hold is dropped with a note added to `notes` (when given). Returns
// an empty string on success, else the error.
std::string EncodeImageTo(FileFormat format, RowSource& rows, ByteSink& out, const Metadata& metadata = {},
                          const WriteOptions& options = {}, std::vector<std::string>* notes = nullptr);
std::string EncodeImageTo(FileFormat format, const Image& image, ByteSink& out, const Metadata& metadata = {},
                          const WriteOptions& options = {}, std::vector<std::string>* notes = nullptr);
std::string EncodeImage(FileFormat format, const Image& image, std::vector<std::uint8_t>& out);
// Encodes by the path's extension and writes the file whole or not at all (see
// OutputFile). Returns an empty string on success.
std::string WriteImageFile(const std::string& path, const Image& image);
std::string WriteImageFile(const OutputTarget& target, FileFormat format, const Image& image,
                           const Metadata& metadata = {}, const WriteOptions& options = {},
                           std::vector<std::string>* notes = nullptr);

// The image with an alpha plane of 255 added (an RGB image) or unchanged.
Image WithOpaqueAlpha(const Image& image);
// The image laid `columns` × `rows` times side by side.
Image Tiled(const Image& image, int columns, int rows);

}  // namespace tessellon::cli
