// Image files for the command-line host: PNG and JPEG through libpng and libjpeg-turbo,
// binary PPM (P6) and PAM (P7) by hand. Every image comes out as 8-bit interleaved RGB
// (3 planes) or RGBA (4 planes), the two layouts the filter takes; what had to be
// converted on the way is reported as notes. Damaged files give an error, never a
// crash.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

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

// Decodes a file's bytes; the format is told by its first bytes, not by a name.
DecodeResult DecodeImage(const std::vector<std::uint8_t>& bytes, const ReadLimits& limits = {});
// Reads and decodes a file; errors name the file.
DecodeResult ReadImageFile(const std::string& path, const ReadLimits& limits = {});

// The format an output file gets from its extension (.png, .ppm, .pam, any case).
std::optional<FileFormat> OutputFormatFor(const std::string& path);
// Empty when `format` can hold an image of `planes` planes, else why not.
std::string CheckWritable(FileFormat format, int planes);

// Encodes an RGB or RGBA image. Returns an empty string on success, else the error.
std::string EncodeImage(FileFormat format, const Image& image, std::vector<std::uint8_t>& out);
// Encodes by the path's extension and writes the file; a file that could not be
// written completely is removed. Returns an empty string on success.
std::string WriteImageFile(const std::string& path, const Image& image);

// The image with an alpha plane of 255 added (an RGB image) or unchanged.
Image WithOpaqueAlpha(const Image& image);
// The image laid `columns` × `rows` times side by side.
Image Tiled(const Image& image, int columns, int rows);

}  // namespace tessellon::cli
