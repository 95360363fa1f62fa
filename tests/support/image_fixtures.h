// Image files put together for the readers' tests and the fuzz targets' seeds: JPEG
// files of any colour space, scan script and markers through libjpeg; PNG files of
// layouts the project's writer never makes through libpng's low-level writer; PNG
// chunks and whole PNG files byte by byte, among them small hostile ones that declare
// far more than they hold; a WebP whose frame header is made to claim another size;
// little-endian TIFF files built tag by tag; a CMYK ICC profile; and what colours a written file
// stores, read with its own library. Shared by tests/cli/image_io_test.cpp
// and fuzz/make_seeds.cpp. A builder whose library fails ends the process with a
// message: a fixture that cannot be made is a broken test, not a result.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

// jpeglib.h needs size_t and FILE declared first.
#include <jpeglib.h>

namespace tessellon::fixtures {

using Bytes = std::vector<std::uint8_t>;

// The bytes of a string, NULs included (give the length for a literal that holds them).
inline Bytes Text(const std::string& text) { return Bytes(text.begin(), text.end()); }

// ---- JPEG -------------------------------------------------------------------------

struct JpegSpec {
    int width = 8;
    int height = 8;
    // JCS_GRAYSCALE (1 sample a pixel), JCS_RGB (3) or JCS_CMYK (4). libjpeg stores
    // CMYK samples as given, with an Adobe marker unless `adobe_marker` is off; readers
    // take the samples of a file with that marker as inverted (255: no ink), as
    // Photoshop writes them.
    J_COLOR_SPACE colour = JCS_RGB;
    int quality = 100;
    bool full_chroma = false;  // every component at full resolution (no subsampling)
    bool progressive = false;  // libjpeg's standard progressive script
    std::vector<jpeg_scan_info> scans;  // a script of one's own
    // Markers written after the header: (marker code, e.g. JPEG_APP0 + 1, its data).
    std::vector<std::pair<int, Bytes>> markers;
    Bytes icc;  // an ICC profile, in APP2 markers as libjpeg splits it
    // For CMYK: stored as YCCK (libjpeg converts the samples) instead of as they are.
    bool ycck = false;
    bool adobe_marker = true;
};

// A JPEG of `samples` (width × height × components, rows top to bottom).
Bytes JpegOf(const JpegSpec& spec, const Bytes& samples);
// Samples of `components` a pixel, each i * 13 + row * 29 (wrapping): a pattern with
// detail in both directions.
Bytes PatternSamples(int width, int height, int components);
// A grey progressive JPEG of `size` × `size` pixels whose scan of all AC coefficients
// (after the DC scan) is repeated until there are `count` scans; each one makes libjpeg
// go over every block once more.
Bytes JpegOfRepeatedScans(int size, int count);
// The JPEG with its frame marker turned into SOF1 with a precision of 12 bits.
Bytes AsTwelveBitJpeg(Bytes jpeg);

// ---- PNG --------------------------------------------------------------------------

extern const char kPngSignature[9];
void AppendBig32(Bytes& bytes, std::uint32_t value);
void AppendLittle32(Bytes& bytes, std::uint32_t value);
// A PNG chunk: length, type, data and the checksum over type and data.
void AppendPngChunk(Bytes& png, const char* type, const Bytes& data);
// An IHDR's data: width, height, bit depth, colour type and interlacing.
Bytes PngHeader(std::uint32_t width, std::uint32_t height, int depth, int colour_type, bool interlaced);

struct PngSpec {
    int width = 4;
    int height = 4;
    int colour_type = 2;  // PNG_COLOR_TYPE_*
    int depth = 8;
    bool interlaced = false;
};
// A PNG through libpng's low-level writer of `rows` (each png_get_rowbytes long, packed
// as the layout wants). A palette image gets 4 entries and transparency for 2.
Bytes LowLevelPng(const PngSpec& spec, const std::vector<Bytes>& rows);
// Rows of the spec's layout filled with y * 37 + i * 11.
std::vector<Bytes> PatternPngRows(const PngSpec& spec);

// 44 bytes: a PNG of 1 × 1 pixel up to its IHDR, then the header of a chunk of `type`
// that declares 0x7FFFFFFF bytes, and 3 bytes of it.
Bytes PngDeclaringAHugeChunk(const char* type);
// 74 bytes: a PNG that declares an interlaced `size` × `size` RGB image and holds the
// start of a deflate stream.
Bytes PngInterlacedClaiming(std::uint32_t size);

// ---- WebP -------------------------------------------------------------------------

// A lossy WebP (a "VP8 " chunk first) whose frame header is made to say `size` × `size`;
// its image data ends long before such a picture's. Empty when `lossy` is not a simple
// lossy file.
Bytes WebpClaiming(Bytes lossy, unsigned size);

// ---- TIFF -------------------------------------------------------------------------

struct TiffTag {
    std::uint16_t tag;
    std::uint16_t type;  // 3 SHORT, 4 LONG
    std::vector<std::uint32_t> values;
};

// A little-endian TIFF of one uncompressed image: its directory first, then one strip
// per plane given (one for interleaved samples) of `bits` per sample; further tags may
// be added. With the pixels last, a file cut short loses pixels and keeps its tags.
Bytes HandTiff(std::uint32_t width, std::uint32_t height, std::uint32_t photometric,
               const std::vector<std::uint32_t>& bits, const std::vector<Bytes>& strips, std::vector<TiffTag> tags = {});
// The TIFF with its first directory's next-directory offset set to `next`.
Bytes WithNextTiffDirectory(Bytes tiff, std::uint32_t next);

// ---- CMYK ---------------------------------------------------------------------------

// The simple inverse of ink values (0: no ink): R = 255 - min(255, C + K), and likewise
// G from M and B from Y.
void SimpleCmykInverse(const std::uint8_t* cmyk, std::uint8_t* rgb);
// A small CMYK output profile made with Little CMS itself (no file of anyone else's):
// one table from CMYK to Lab, 5 nodes a side (about 2 KB), whose colours are the simple
// inverse's made bluer by a fifth of what is left, so that a reader that leaves the
// profile aside shows.
Bytes CmykProfile();

// ---- What a file holds -------------------------------------------------------------

// The colours a PNG, JPEG, TIFF or PAM file stores, as its own library (or, for PAM,
// its header) tells: "grey", "grey+alpha", "rgb", "rgb+alpha", "cmyk"; "unknown" for
// other files.
std::string StoredColours(const Bytes& file);

}  // namespace tessellon::fixtures
