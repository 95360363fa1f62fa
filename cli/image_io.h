// Image files for the command-line host: PNG, JPEG, WebP and TIFF through libpng,
// libjpeg-turbo, libwebp and libtiff, binary PPM (P6) and PAM (P7) by hand. Every image
// comes out as 8-bit interleaved RGB (3 planes) or RGBA (4 planes), the two layouts the
// filter takes, turned upright when the file says it is stored turned; what had to be
// converted on the way is reported as notes. The colour information a file carries (an
// ICC profile, PNG's gamma, chromaticities and sRGB chunks) is read along and written
// where the output format can hold it. Damaged files give an error, never a crash, and
// a declared size is checked against the limits before memory is taken for it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
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
};

// Choices for writing; each applies to the formats named and is ignored by the others.
struct WriteOptions {
    // 1..100: JPEG (default 90) and WebP, which is lossy when it is set and lossless
    // when it is not.
    std::optional<int> quality;
    // The deflate level 0..9 of PNG and of TIFF (0: stored without compression).
    std::optional<int> compression;
};

// The deflate level of PNG and TIFF files when none is asked for. On a 4000 x 3000
// photograph level 4 takes about a third of the time of zlib's usual 6 for a file of
// about the same size (a few percent either way); levels 2 and 3 are faster again but
// give files a fifth larger.
constexpr int kDefaultCompression = 4;
constexpr int kDefaultJpegQuality = 90;
// The largest width and height a WebP file holds.
constexpr int kMaxWebpDimension = 16383;

// What a reader may take on: a declared size above it is refused before any pixel
// buffer is allocated.
struct ReadLimits {
    std::uint64_t max_pixels = std::uint64_t{kMaxDimension} * kMaxDimension;
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

// Encodes an RGB or RGBA image with the metadata the format can hold; each piece of
// metadata it cannot hold is dropped with a note added to `notes` (when given). Returns
// an empty string on success, else the error.
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
