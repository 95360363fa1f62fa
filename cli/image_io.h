// Image files for the command-line host: PNG and JPEG through libpng and libjpeg-turbo,
// binary PPM (P6) and PAM (P7) by hand. Every image comes out as 8-bit interleaved RGB
// (3 planes) or RGBA (4 planes), the two layouts the filter takes; what had to be
// converted on the way is reported as notes. Damaged files give an error, never a
// crash, and a declared size is checked against the limits before memory is taken
// for it.
#pragma once

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

enum class FileFormat { png, jpeg, ppm, pam };

const char* FormatName(FileFormat format);

struct DecodeResult {
    bool ok = false;
    Image image;
    std::vector<std::string> notes;  // conversions made, e.g. grey to RGB
    std::string error;               // set when !ok
};

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

// The format an output file gets from its extension (.png, .ppm, .pam, any case).
std::optional<FileFormat> OutputFormatFor(const std::string& path);
// Empty when `format` can hold an image of `planes` planes, else why not.
std::string CheckWritable(FileFormat format, int planes);

// Encodes an RGB or RGBA image. Returns an empty string on success, else the error.
std::string EncodeImageTo(FileFormat format, const Image& image, ByteSink& out);
std::string EncodeImage(FileFormat format, const Image& image, std::vector<std::uint8_t>& out);
// Encodes by the path's extension and writes the file whole or not at all (see
// OutputFile). Returns an empty string on success.
std::string WriteImageFile(const std::string& path, const Image& image);
std::string WriteImageFile(const OutputTarget& target, FileFormat format, const Image& image);

// The image with an alpha plane of 255 added (an RGB image) or unchanged.
Image WithOpaqueAlpha(const Image& image);
// The image laid `columns` × `rows` times side by side.
Image Tiled(const Image& image, int columns, int rows);

}  // namespace tessellon::cli
