// Image files of the command-line host: round trips through every format, the colour
// information carried along or dropped with a note, EXIF orientations, conversions of
// grey, 16-bit and palette images, the bundled JPEG, and damaged files that must give
// an error (run under the sanitizers too, where a bad read would show). TIFF and WebP
// layouts that the project's writers never make are put together byte by byte here.
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

// jpeglib.h needs size_t and FILE declared first.
#include <jpeglib.h>
#include <lcms2.h>
#include <png.h>
#include <zlib.h>

#include "cli/image_io.h"
#include "cli/progress.h"
#include "tests/support/bytes_sink.h"
#include "tests/support/image_fixtures.h"

namespace tessellon::cli {
namespace {

namespace fixtures = tessellon::fixtures;
using fixtures::AppendLittle32;
using fixtures::AppendPngChunk;
using fixtures::Bytes;
using fixtures::BytesSink;
using fixtures::HandTiff;
using fixtures::PngDeclaringAHugeChunk;
using fixtures::Text;
using fixtures::TiffTag;

Bytes Encoded(FileFormat format, const Image& image) {
    Bytes bytes;
    const std::string error = EncodeImage(format, image, bytes);
    EXPECT_EQ(error, "");
    return bytes;
}

// A PNG of any layout libpng's simplified writer takes (grey, 16-bit, palette).
Bytes SimplePng(png_uint_32 width, png_uint_32 height, png_uint_32 format, const void* pixels,
                const void* colormap = nullptr, png_uint_32 colormap_entries = 0) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    image.width = width;
    image.height = height;
    image.format = format;
    image.colormap_entries = colormap_entries;
    png_alloc_size_t size = 0;
    EXPECT_NE(png_image_write_to_memory(&image, nullptr, &size, 0, pixels, 0, colormap), 0) << image.message;
    Bytes bytes(size);
    EXPECT_NE(png_image_write_to_memory(&image, bytes.data(), &size, 0, pixels, 0, colormap), 0) << image.message;
    bytes.resize(size);
    return bytes;
}

Bytes GreyJpeg(int width, int height, std::uint8_t level) {
    fixtures::JpegSpec spec;
    spec.width = width;
    spec.height = height;
    spec.colour = JCS_GRAYSCALE;
    return fixtures::JpegOf(spec, Bytes(static_cast<std::size_t>(width) * static_cast<std::size_t>(height), level));
}

Bytes FileBytes(const std::string& path) {
    Bytes bytes;
    if (std::FILE* file = std::fopen(path.c_str(), "rb")) {
        int c;
        while ((c = std::fgetc(file)) != EOF) bytes.push_back(static_cast<std::uint8_t>(c));
        std::fclose(file);
    }
    return bytes;
}


std::string Lowered(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

struct Written {
    std::string error;
    Bytes bytes;
    std::vector<std::string> notes;
};

Written EncodeWith(FileFormat format, const Image& image, const Metadata& metadata = {}, const WriteOptions& options = {}) {
    BytesSink sink;
    Written written;
    written.error = EncodeImageTo(format, image, sink, metadata, options, &written.notes);
    written.bytes = std::move(sink.bytes);
    return written;
}

// Gradients: what lossy encoders are made for.
Image Smooth(int width, int height, int planes) {
    Image image(width, height, planes);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            image.At(x, y, 0) = static_cast<std::uint8_t>(x * 255 / (width - 1));
            image.At(x, y, 1) = static_cast<std::uint8_t>(y * 255 / (height - 1));
            image.At(x, y, 2) = 90;
            if (planes == 4) image.At(x, y, 3) = static_cast<std::uint8_t>(255 - (x + y) * 200 / (width + height));
        }
    }
    return image;
}

int LargestDifference(const Image& a, const Image& b) {
    int largest = 0;
    for (std::size_t i = 0; i < a.bytes.size() && i < b.bytes.size(); ++i) largest = std::max(largest, std::abs(a.bytes[i] - b.bytes[i]));
    return largest;
}

void Put32(Bytes& bytes, std::size_t at, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) bytes[at + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(value >> (24 - 8 * i));
}

// A small ICC profile for RGB data: a header as libpng checks it, no tags, and bytes
// that a copy would have to keep.
Bytes RgbProfile() {
    Bytes profile(196, 0);
    Put32(profile, 0, static_cast<std::uint32_t>(profile.size()));
    profile[8] = 2;
    profile[9] = 0x10;
    std::memcpy(&profile[12], "mntrRGB XYZ ", 12);
    std::memcpy(&profile[36], "acsp", 4);
    Put32(profile, 68, 0x0000F6D6);  // the D50 white point
    Put32(profile, 72, 0x00010000);
    Put32(profile, 76, 0x0000D32D);
    for (std::size_t i = 132; i < profile.size(); ++i) profile[i] = static_cast<std::uint8_t>(i * 7);
    return profile;
}

// An EXIF block whose first directory holds a Make entry and then the Orientation.
Bytes Exif(int orientation, bool big_endian) {
    const auto u16 = [big_endian](unsigned v) {
        return big_endian ? Bytes{static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v)}
                          : Bytes{static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8)};
    };
    const auto u32 = [&u16, big_endian](std::uint32_t v) {
        Bytes high = u16(v >> 16), low = u16(v & 0xFFFF);
        Bytes out = big_endian ? high : low;
        const Bytes& second = big_endian ? low : high;
        out.insert(out.end(), second.begin(), second.end());
        return out;
    };
    Bytes exif = big_endian ? Text(std::string("MM\0*", 4)) : Text(std::string("II*\0", 4));
    for (const Bytes& piece : {u32(8), u16(2), u16(0x010F), u16(2), u32(4), Text(std::string("abc\0", 4)), u16(0x0112), u16(3),
                              u32(1), u16(static_cast<unsigned>(orientation)), u16(0), u32(0)}) {
        exif.insert(exif.end(), piece.begin(), piece.end());
    }
    return exif;
}

// A JPEG of an RGB image at full quality without chroma subsampling, with an APP1 marker.
Bytes JpegWithApp1(const Image& image, const Bytes& app1) {
    fixtures::JpegSpec spec;
    spec.width = image.width;
    spec.height = image.height;
    spec.full_chroma = true;
    spec.markers = {{JPEG_APP0 + 1, app1}};
    return fixtures::JpegOf(spec, image.bytes);
}


// A PNG with an eXIf chunk after the pixels, where the PNG extensions allow it.
Bytes PngWithExif(const Image& image, const Bytes& exif) {
    Bytes png = Encoded(FileFormat::png, image);
    png.resize(png.size() - 12);  // IEND
    AppendPngChunk(png, "eXIf", exif);
    AppendPngChunk(png, "IEND", {});
    return png;
}

// A lossless WebP of an RGB image in the extended layout (VP8X), with an EXIF chunk.
Bytes WebpWithExif(const Image& image, const Bytes& exif) {
    const Bytes simple = Encoded(FileFormat::webp, image);  // RIFF, size, WEBP, one VP8L chunk
    Bytes webp = Text(std::string("RIFF\0\0\0\0WEBPVP8X", 16));
    AppendLittle32(webp, 10);
    webp.insert(webp.end(), {0x08, 0, 0, 0});  // flags: EXIF
    for (int v : {image.width - 1, image.height - 1}) {
        for (int i = 0; i < 3; ++i) webp.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
    }
    webp.insert(webp.end(), simple.begin() + 12, simple.end());
    webp.insert(webp.end(), {'E', 'X', 'I', 'F'});
    AppendLittle32(webp, static_cast<std::uint32_t>(exif.size()));
    webp.insert(webp.end(), exif.begin(), exif.end());
    if (exif.size() % 2 != 0) webp.push_back(0);
    const std::uint32_t riff = static_cast<std::uint32_t>(webp.size() - 8);
    for (int i = 0; i < 4; ++i) webp[4 + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(riff >> (8 * i));
    return webp;
}

Bytes Cut(Bytes bytes, std::size_t removed) {
    bytes.resize(bytes.size() - removed);
    return bytes;
}

constexpr std::uint32_t kRgb = 2, kMinIsWhite = 0, kMinIsBlack = 1, kPalette = 3, kCmyk = 5;

TEST(CliImageIoTest, RoundTripsThroughEveryFormat) {
    const WriteOptions lossless, lossy{80, std::nullopt};
    struct Case {
        FileFormat format;
        WriteOptions options;
        int planes;
        int tolerance;  // -1: byte for byte
        const char* refusal;
    };
    const Case cases[] = {
        {FileFormat::png, lossless, 3, -1, nullptr},
        {FileFormat::png, lossless, 4, -1, nullptr},
        {FileFormat::png, WriteOptions{std::nullopt, 0}, 4, -1, nullptr},
        {FileFormat::png, WriteOptions{std::nullopt, 9}, 3, -1, nullptr},
        {FileFormat::jpeg, lossless, 3, 12, nullptr},
        {FileFormat::jpeg, WriteOptions{100, std::nullopt}, 3, 8, nullptr},
        {FileFormat::jpeg, lossless, 4, 0, "a JPEG file holds no alpha plane; write .png, .webp, .tiff or .pam"},
        {FileFormat::webp, lossless, 3, -1, nullptr},
        {FileFormat::webp, lossless, 4, -1, nullptr},
        {FileFormat::webp, lossy, 3, 16, nullptr},
        {FileFormat::webp, lossy, 4, 16, nullptr},
        {FileFormat::tiff, lossless, 3, -1, nullptr},
        {FileFormat::tiff, lossless, 4, -1, nullptr},
        {FileFormat::tiff, WriteOptions{std::nullopt, 0}, 3, -1, nullptr},
        {FileFormat::ppm, lossless, 3, -1, nullptr},
        {FileFormat::ppm, lossless, 4, 0, "a PPM file holds no alpha plane"},
        {FileFormat::pam, lossless, 3, -1, nullptr},
        {FileFormat::pam, lossless, 4, -1, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(FormatName(c.format)) + " " + std::to_string(c.planes) + " planes, quality " +
                     std::to_string(c.options.quality.value_or(0)) + ", level " + std::to_string(c.options.compression.value_or(-1)));
        // Exact formats get neighbouring bytes that all differ, lossy ones gradients.
        const Image image = c.tolerance < 0 ? memhost::PatternImage(37, 21, c.planes) : Smooth(37, 21, c.planes);
        const Written written = EncodeWith(c.format, image, {}, c.options);
        if (c.refusal != nullptr) {
            EXPECT_NE(written.error.find(c.refusal), std::string::npos) << written.error;
            continue;
        }
        ASSERT_EQ(written.error, "");
        EXPECT_TRUE(written.notes.empty());
        const DecodeResult decoded = DecodeImage(written.bytes);
        ASSERT_TRUE(decoded.ok) << decoded.error;
        EXPECT_EQ(decoded.format, c.format);
        EXPECT_TRUE(decoded.notes.empty());
        ASSERT_EQ(decoded.image.width, image.width);
        ASSERT_EQ(decoded.image.height, image.height);
        ASSERT_EQ(decoded.image.planes, image.planes);
        if (c.tolerance < 0) {
            EXPECT_EQ(decoded.image, image);
        } else {
            EXPECT_LE(LargestDifference(decoded.image, image), c.tolerance);
        }
    }
}

TEST(CliImageIoTest, WriteOptionsChangeTheFileAndAreChecked) {
    const Image image = Smooth(64, 48, 3);
    EXPECT_LT(EncodeWith(FileFormat::jpeg, image, {}, {20, std::nullopt}).bytes.size(),
              EncodeWith(FileFormat::jpeg, image, {}, {95, std::nullopt}).bytes.size());
    EXPECT_LT(EncodeWith(FileFormat::png, image, {}, {std::nullopt, 9}).bytes.size(),
              EncodeWith(FileFormat::png, image, {}, {std::nullopt, 0}).bytes.size());
    EXPECT_LT(EncodeWith(FileFormat::tiff, image, {}, {std::nullopt, 6}).bytes.size(),
              EncodeWith(FileFormat::tiff, image, {}, {std::nullopt, 0}).bytes.size());
    struct Case {
        WriteOptions options;
        const char* error;
    };
    const Case cases[] = {
        {{0, std::nullopt}, "the quality 0 is outside 1..100"},
        {{101, std::nullopt}, "the quality 101 is outside 1..100"},
        {{std::nullopt, -1}, "the compression level -1 is outside 0..9"},
        {{std::nullopt, 10}, "the compression level 10 is outside 0..9"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(CheckWriteOptions(c.options), c.error);
        EXPECT_EQ(EncodeWith(FileFormat::png, image, {}, c.options).error, c.error);
    }
    EXPECT_EQ(CheckWriteOptions({1, 0}), "");
    EXPECT_EQ(CheckWritable(FileFormat::webp, 3, 16383, 16383), "");
    EXPECT_EQ(CheckWritable(FileFormat::webp, 4, 16384, 2), "a WebP file holds at most 16383 pixels either way; the image is 16384x2");
    EXPECT_EQ(CheckWritable(FileFormat::tiff, 4, 32767, 32767), "");
}

TEST(CliImageIoTest, FormatsAreChosenByExtensionOrNameAndFilesWrittenWhole) {
    const std::string directory = ::testing::TempDir() + "tessellon-io-" + std::to_string(getpid());
    std::filesystem::create_directories(directory);
    const Image image = memhost::PatternImage(9, 4, 4);
    ASSERT_EQ(WriteImageFile(directory + "/a.PNG", image), "");
    const DecodeResult read = ReadImageFile(directory + "/a.PNG");
    ASSERT_TRUE(read.ok) << read.error;
    EXPECT_EQ(read.image, image);
    ASSERT_EQ(WriteImageFile(directory + "/a.Tiff", image), "");
    EXPECT_EQ(ReadImageFile(directory + "/a.Tiff").image, image);
    struct Case {
        const char* text;
        std::optional<FileFormat> by_extension;  // of "x." + text
        std::optional<FileFormat> by_name;
    };
    const Case cases[] = {
        {"png", FileFormat::png, FileFormat::png},     {"JPG", FileFormat::jpeg, FileFormat::jpeg},
        {"jpeg", FileFormat::jpeg, FileFormat::jpeg},  {"WebP", FileFormat::webp, FileFormat::webp},
        {"tif", FileFormat::tiff, FileFormat::tiff},   {"TIFF", FileFormat::tiff, FileFormat::tiff},
        {"ppm", FileFormat::ppm, FileFormat::ppm},     {"Pam", FileFormat::pam, FileFormat::pam},
        {"gif", std::nullopt, std::nullopt},           {"", std::nullopt, std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(OutputFormatFor(std::string("x.") + c.text), c.by_extension);
        EXPECT_EQ(FormatNamed(c.text), c.by_name);
        if (c.by_name) {
            EXPECT_EQ(FormatNamed(Lowered(FormatName(*c.by_name))), c.by_name);
        }
    }
    EXPECT_FALSE(OutputFormatFor("dir.png/file").has_value());
    EXPECT_NE(WriteImageFile(directory + "/a.gif", image).find("unsupported output format"), std::string::npos);
    EXPECT_NE(WriteImageFile(directory + "/none/a.png", image).find("cannot write"), std::string::npos);
    std::filesystem::remove_all(directory);
}

TEST(CliImageIoTest, TheBundledJpegIsAGreenPhotograph) {
    const DecodeResult read = ReadImageFile(TESSELLON_SAMPLE_IMAGE);
    ASSERT_TRUE(read.ok) << read.error;
    EXPECT_EQ(read.image.width, 320);
    EXPECT_EQ(read.image.height, 240);
    EXPECT_EQ(read.image.planes, 3);
    long red = 0, green = 0, blue = 0;
    for (std::size_t i = 0; i < read.image.bytes.size(); i += 3) {
        red += read.image.bytes[i];
        green += read.image.bytes[i + 1];
        blue += read.image.bytes[i + 2];
    }
    EXPECT_GT(green, red + red / 4) << "grass, decoded in RGB order";
    EXPECT_GT(red, blue);
}

TEST(CliImageIoTest, GreySixteenBitAndPaletteImagesBecomeEightBitRgb) {
    const std::uint8_t grey[4] = {0, 100, 200, 255};
    DecodeResult g = DecodeImage(SimplePng(2, 2, PNG_FORMAT_GRAY, grey));
    ASSERT_TRUE(g.ok) << g.error;
    EXPECT_EQ(g.image.planes, 3);
    EXPECT_EQ(g.image.At(1, 0, 0), 100);
    EXPECT_EQ(g.image.At(1, 0, 2), 100);
    EXPECT_EQ(g.notes, (std::vector<std::string>{"grey image converted to RGB"}));

    const std::uint8_t grey_alpha[4] = {10, 20, 30, 40};
    g = DecodeImage(SimplePng(2, 1, PNG_FORMAT_GA, grey_alpha));
    ASSERT_TRUE(g.ok) << g.error;
    EXPECT_EQ(g.image.planes, 4);
    EXPECT_EQ(g.image.At(1, 0, 1), 30);
    EXPECT_EQ(g.image.At(1, 0, 3), 40);

    const std::uint16_t deep[6] = {0xFFFF, 0x8080, 0x0000, 0x1234, 0x00FF, 0xFF00};
    g = DecodeImage(SimplePng(2, 1, PNG_FORMAT_LINEAR_RGB, deep));
    ASSERT_TRUE(g.ok) << g.error;
    EXPECT_EQ(g.image.planes, 3);
    EXPECT_EQ(g.image.bytes, (Bytes{0xFF, 0x80, 0x00, 0x12, 0x01, 0xFE}));
    EXPECT_EQ(g.notes, (std::vector<std::string>{"16-bit image converted to 8 bits per channel"}));

    const std::uint8_t colormap[8] = {255, 0, 0, 255, 0, 0, 255, 0};  // opaque red, clear blue
    const std::uint8_t indices[2] = {1, 0};
    g = DecodeImage(SimplePng(2, 1, PNG_FORMAT_RGBA_COLORMAP, indices, colormap, 2));
    ASSERT_TRUE(g.ok) << g.error;
    EXPECT_EQ(g.image.bytes, (Bytes{0, 0, 255, 0, 255, 0, 0, 255}));
    EXPECT_EQ(g.notes, (std::vector<std::string>{"palette image expanded to RGBA"}));

    g = DecodeImage(GreyJpeg(8, 8, 90));
    ASSERT_TRUE(g.ok) << g.error;
    EXPECT_EQ(g.image.planes, 3);
    EXPECT_NEAR(g.image.At(4, 4, 0), 90, 1);
    EXPECT_EQ(g.image.At(4, 4, 0), g.image.At(4, 4, 2));
    EXPECT_EQ(g.notes, (std::vector<std::string>{"grey image converted to RGB"}));
}

TEST(CliImageIoTest, TiffLayoutsBecomeEightBitRgb) {
    const TiffTag unassociated{338, 3, {2}}, premultiplied{338, 3, {1}}, other_extra{338, 3, {0}};
    TiffTag palette{320, 3, {}};  // 4 entries of red, then of green, then of blue
    for (std::uint32_t v : {0x0000u, 0xFF00u, 0x1200u, 0x3400u, 0x0000u, 0x0000u, 0xAB00u, 0x5600u, 0x0000u, 0x0000u, 0x0000u, 0x7800u}) {
        palette.values.push_back(v);
    }
    struct Case {
        const char* name;
        Bytes tiff;
        int planes;
        Bytes pixels;  // of a 2x1 image (3x1 for the palette, 8x1 for 1 bit)
        std::vector<std::string> notes;
    };
    const Case cases[] = {
        {"grey", HandTiff(2, 1, kMinIsBlack, {8}, {{0, 200}}), 3, {0, 0, 0, 200, 200, 200}, {"grey image converted to RGB"}},
        {"grey, white is 0", HandTiff(2, 1, kMinIsWhite, {8}, {{0, 200}}), 3, {255, 255, 255, 55, 55, 55},
         {"grey image converted to RGB"}},
        {"grey 16-bit", HandTiff(2, 1, kMinIsBlack, {16}, {{0xFF, 0xFF, 0x34, 0x12}}), 3, {255, 255, 255, 0x12, 0x12, 0x12},
         {"grey image converted to RGB", "16-bit image converted to 8 bits per channel"}},
        {"grey 1-bit", HandTiff(8, 1, kMinIsBlack, {1}, {{0b10110001}}), 3,
         {255, 255, 255, 0, 0, 0, 255, 255, 255, 255, 255, 255, 0, 0, 0, 0, 0, 0, 0, 0, 0, 255, 255, 255},
         {"grey image converted to RGB"}},
        {"grey with alpha", HandTiff(2, 1, kMinIsBlack, {8, 8}, {{10, 20, 30, 40}}, {unassociated}), 4,
         {10, 10, 10, 20, 30, 30, 30, 40}, {"grey image with alpha converted to RGBA"}},
        {"palette 2-bit", HandTiff(3, 1, kPalette, {2}, {{0b01101100}}, {palette}), 3, {0xFF, 0, 0, 0x12, 0xAB, 0, 0x34, 0x56, 0x78},
         {"palette image expanded to RGB"}},
        {"separate planes", HandTiff(2, 1, kRgb, {8, 8, 8}, {{1, 2}, {3, 4}, {5, 6}}), 3, {1, 3, 5, 2, 4, 6}, {}},
        {"separate planes with alpha", HandTiff(2, 1, kRgb, {8, 8, 8, 8}, {{1, 2}, {3, 4}, {5, 6}, {7, 8}}, {unassociated}), 4,
         {1, 3, 5, 7, 2, 4, 6, 8}, {}},
        {"16-bit RGB", HandTiff(2, 1, kRgb, {16, 16, 16}, {{0, 0, 0xFF, 0xFF, 0x80, 0x80, 0x34, 0x12, 0xFF, 0, 0, 0xFF}}), 3,
         {0, 255, 0x80, 0x12, 1, 0xFE}, {"16-bit image converted to 8 bits per channel"}},
        {"premultiplied alpha", HandTiff(2, 1, kRgb, {8, 8, 8, 8}, {{100, 50, 0, 128, 9, 9, 9, 0}}, {premultiplied}), 4,
         {199, 100, 0, 128, 9, 9, 9, 0}, {"premultiplied alpha converted to straight alpha"}},
        {"a channel that is not alpha", HandTiff(2, 1, kRgb, {8, 8, 8, 8}, {{1, 2, 3, 4, 5, 6, 7, 8}}, {other_extra}), 3,
         {1, 2, 3, 5, 6, 7}, {"1 extra channel dropped"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const DecodeResult decoded = DecodeImage(c.tiff);
        ASSERT_TRUE(decoded.ok) << decoded.error;
        EXPECT_EQ(decoded.format, FileFormat::tiff);
        EXPECT_EQ(decoded.image.planes, c.planes);
        EXPECT_EQ(decoded.image.bytes, c.pixels);
        EXPECT_EQ(decoded.notes, c.notes);
    }
}

TEST(CliImageIoTest, ImagesAreTurnedUprightByTheirOrientation) {
    // 24x16 in blocks of 8: the top left red, the top right green, the rest grey.
    Image stored(24, 16, 3, 128);
    for (int y = 0; y < 8; ++y) {
        for (int x = 0; x < 8; ++x) {
            stored.At(x, y, 0) = 255, stored.At(x, y, 1) = 0, stored.At(x, y, 2) = 0;
            stored.At(16 + x, y, 0) = 0, stored.At(16 + x, y, 1) = 255, stored.At(16 + x, y, 2) = 0;
        }
    }
    enum Corner { top_left, top_right, bottom_left, bottom_right };
    struct Case {
        const char* container;
        int orientation;
        Corner red, green;  // where the stored top corners are shown
    };
    const Case cases[] = {
        {"jpeg", 1, top_left, top_right},     {"jpeg", 2, top_right, top_left},  {"jpeg", 3, bottom_right, bottom_left},
        {"jpeg", 4, bottom_left, bottom_right}, {"jpeg", 5, top_left, bottom_left}, {"jpeg", 6, top_right, bottom_right},
        {"jpeg", 7, bottom_right, top_right}, {"jpeg", 8, bottom_left, top_left}, {"png", 6, top_right, bottom_right},
        {"webp", 8, bottom_left, top_left},   {"tiff", 3, bottom_right, bottom_left}, {"tiff", 5, top_left, bottom_left},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.container) + " " + std::to_string(c.orientation));
        const std::string container = c.container;
        Bytes file;
        if (container == "jpeg") {
            Bytes app1 = Text(std::string("Exif\0\0", 6));
            const Bytes exif = Exif(c.orientation, true);
            app1.insert(app1.end(), exif.begin(), exif.end());
            file = JpegWithApp1(stored, app1);
        } else if (container == "png") {
            file = PngWithExif(stored, Exif(c.orientation, false));
        } else if (container == "webp") {
            file = WebpWithExif(stored, Exif(c.orientation, true));
        } else {
            file = HandTiff(24, 16, kRgb, {8, 8, 8}, {stored.bytes}, {{274, 3, {static_cast<std::uint32_t>(c.orientation)}}});
        }
        const DecodeResult decoded = DecodeImage(file);
        ASSERT_TRUE(decoded.ok) << decoded.error;
        const Image& shown = decoded.image;
        const bool swapped = c.orientation >= 5;
        ASSERT_EQ(shown.width, swapped ? 16 : 24);
        ASSERT_EQ(shown.height, swapped ? 24 : 16);
        const auto at = [&shown](Corner corner, int plane) {
            return shown.At(corner == top_right || corner == bottom_right ? shown.width - 1 : 0,
                            corner == bottom_left || corner == bottom_right ? shown.height - 1 : 0, plane);
        };
        EXPECT_NEAR(at(c.red, 0), 255, 4);
        EXPECT_NEAR(at(c.red, 1), 0, 4);
        EXPECT_NEAR(at(c.green, 0), 0, 4);
        EXPECT_NEAR(at(c.green, 1), 255, 4);
        const std::string note = std::string("turned upright from ") + (container == "tiff" ? "TIFF" : "EXIF") +
                                 " orientation " + std::to_string(c.orientation);
        EXPECT_EQ(decoded.notes, c.orientation == 1 ? std::vector<std::string>{} : std::vector<std::string>{note});
    }
}

TEST(CliImageIoTest, ColourInformationTravelsWhereTheFormatHoldsIt) {
    const Image rgb = memhost::PatternImage(11, 5, 3);
    const Image rgba = memhost::PatternImage(11, 5, 4);
    Metadata profiled;
    profiled.icc = RgbProfile();
    for (FileFormat format : {FileFormat::png, FileFormat::jpeg, FileFormat::webp, FileFormat::tiff, FileFormat::ppm, FileFormat::pam}) {
        for (const Image* image : {&rgb, &rgba}) {
            if (!CheckWritable(format, image->planes).empty()) continue;
            SCOPED_TRACE(std::string(FormatName(format)) + " " + std::to_string(image->planes));
            const Written written = EncodeWith(format, *image, profiled);
            ASSERT_EQ(written.error, "");
            const DecodeResult decoded = DecodeImage(written.bytes);
            ASSERT_TRUE(decoded.ok) << decoded.error;
            EXPECT_TRUE(decoded.notes.empty());
            if (format == FileFormat::ppm || format == FileFormat::pam) {
                EXPECT_TRUE(decoded.metadata.icc.empty());
                EXPECT_EQ(written.notes, std::vector<std::string>{std::string("the ICC profile was dropped: ") +
                                                                  FormatName(format) + " files cannot hold one"});
            } else {
                EXPECT_EQ(decoded.metadata.icc, profiled.icc);
                EXPECT_TRUE(written.notes.empty());
            }
        }
    }

    // The PNG colour chunks: kept from PNG to PNG, dropped with a note elsewhere.
    Metadata adobe;  // gAMA 1/2.2 and the Adobe RGB primaries
    adobe.png_gamma = 45455;
    adobe.png_chromaticities = std::array<std::uint32_t, 8>{31270, 32900, 64000, 33000, 21000, 71000, 15000, 6000};
    Metadata gamma_only;
    gamma_only.png_gamma = 100000;
    Metadata srgb;
    srgb.srgb_intent = 1;
    struct Case {
        const char* name;
        Metadata metadata;
        const char* jpeg_note;
    };
    const Case cases[] = {
        {"gamma and chromaticities", adobe, "the PNG gamma and chromaticities were dropped: JPEG files cannot hold them"},
        {"gamma", gamma_only, "the PNG gamma was dropped: JPEG files cannot hold it"},
        {"sRGB", srgb, "the PNG sRGB chunk was dropped: JPEG files cannot hold it; they are taken as sRGB anyway"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Written png = EncodeWith(FileFormat::png, rgb, c.metadata);
        ASSERT_EQ(png.error, "");
        EXPECT_TRUE(png.notes.empty());
        const DecodeResult decoded = DecodeImage(png.bytes);
        ASSERT_TRUE(decoded.ok) << decoded.error;
        EXPECT_EQ(decoded.metadata.srgb_intent, c.metadata.srgb_intent);
        if (c.metadata.srgb_intent) {
            EXPECT_EQ(decoded.metadata.png_gamma, 45455u) << "the gamma that goes with sRGB";
        } else {
            EXPECT_EQ(decoded.metadata.png_gamma, c.metadata.png_gamma);
            EXPECT_EQ(decoded.metadata.png_chromaticities, c.metadata.png_chromaticities);
        }
        const Written jpeg = EncodeWith(FileFormat::jpeg, rgb, decoded.metadata);
        ASSERT_EQ(jpeg.error, "");
        EXPECT_EQ(jpeg.notes, std::vector<std::string>{c.jpeg_note});
    }

    // Profiles that cannot describe the image read are dropped with a note.
    Bytes grey_profile = RgbProfile();
    std::memcpy(&grey_profile[16], "GRAY", 4);
    Bytes damaged = RgbProfile();
    damaged[3] ^= 1;  // the size in the header
    struct Bad {
        Bytes profile;
        const char* note;
    };
    const Bad bad[] = {
        {grey_profile, "the ICC profile was dropped: it describes 'GRAY' data, and the image is RGB"},
        {damaged, "the ICC profile was dropped: it is damaged"},
    };
    for (const Bad& b : bad) {
        Metadata metadata;
        metadata.icc = b.profile;
        const Written tiff = EncodeWith(FileFormat::tiff, rgb, metadata);
        ASSERT_EQ(tiff.error, "");
        const DecodeResult decoded = DecodeImage(tiff.bytes);
        ASSERT_TRUE(decoded.ok) << decoded.error;
        EXPECT_TRUE(decoded.metadata.icc.empty());
        EXPECT_EQ(decoded.notes, std::vector<std::string>{b.note});
    }
}

TEST(CliImageIoTest, DamagedFilesGiveAnErrorNotACrash) {
    const Bytes png = Encoded(FileFormat::png, memhost::PatternImage(40, 30, 3));
    Bytes cut_png(png.begin(), png.begin() + static_cast<std::ptrdiff_t>(png.size() / 2));
    Bytes bad_crc = png;
    bad_crc[png.size() / 2] ^= 0x5A;
    // The IHDR chunk made to say 40000 pixels wide, with a checksum that matches.
    Bytes wide = png;
    wide[16] = 0;
    wide[17] = 0;
    wide[18] = 0x9C;
    wide[19] = 0x40;
    const uLong crc = crc32(0, wide.data() + 12, 17);
    for (int i = 0; i < 4; ++i) wide[29 + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(crc >> (24 - 8 * i));
    const Bytes jpeg = FileBytes(TESSELLON_SAMPLE_IMAGE);
    ASSERT_GT(jpeg.size(), 1000u);
    const Bytes cut_jpeg(jpeg.begin(), jpeg.begin() + static_cast<std::ptrdiff_t>(jpeg.size() * 6 / 10));
    const Bytes jpeg_head(jpeg.begin(), jpeg.begin() + 100);
    Bytes cut_ppm = Text("P6\n2 2\n255\n");
    cut_ppm.resize(cut_ppm.size() + 11, 7);
    const Bytes webp = Encoded(FileFormat::webp, memhost::PatternImage(40, 30, 3));
    const Bytes cut_webp(webp.begin(), webp.begin() + static_cast<std::ptrdiff_t>(webp.size() / 2));
    Bytes scrambled_webp = webp;
    std::fill(scrambled_webp.begin() + 30, scrambled_webp.end() - 4, 0x55);
    // VP8X saying "animated", and an ANIM chunk.
    const Bytes animated = Text(std::string("RIFF\x24\0\0\0WEBPVP8X\x0a\0\0\0\x02\0\0\0\0\0\0\0\0\0ANIM\x06\0\0\0\0\0\0\0\0\0", 44));
    const Bytes tiff = Encoded(FileFormat::tiff, memhost::PatternImage(40, 30, 3));
    const Bytes cut_tiff(tiff.begin(), tiff.begin() + static_cast<std::ptrdiff_t>(tiff.size() / 2));

    struct Case {
        const char* name;
        Bytes bytes;
        const char* message;
    };
    const Case cases[] = {
        {"empty", {}, "the file is empty"},
        {"text", Text("hello, world"), "unsupported format"},
        {"ascii ppm", Text("P3\n1 1\n255\n0 0 0\n"), "only binary PPM (P6) and PAM (P7)"},
        {"png cut in half", cut_png, "damaged PNG file: the file ends early"},
        {"png with a bad checksum", bad_crc, "damaged PNG file"},
        {"png too wide", wide, "40000x30 pixels; the host interface takes at most 32767"},
        {"jpeg cut short", cut_jpeg, "damaged JPEG file"},
        {"jpeg header only", jpeg_head, "damaged JPEG file"},
        {"ppm short of pixels", cut_ppm, "the file ends early: 11 of 12 pixel bytes"},
        {"webp cut in half", cut_webp, "damaged WebP file: the file ends early"},
        {"webp of noise", scrambled_webp, "damaged WebP file"},
        {"webp header only", Text(std::string("RIFF\x10\0\0\0WEBP", 12)), "damaged WebP file: the file ends early"},
        {"webp animated", animated, "animated WebP files are not supported"},
        {"tiff cut in half", cut_tiff, "damaged TIFF file"},
        {"tiff header only", Text(std::string("II*\0\x08\0\0\0", 8)), "damaged TIFF file"},
        {"tiff short of pixels", Cut(HandTiff(4, 4, kRgb, {8, 8, 8}, {Bytes(48, 1)}), 30), "damaged TIFF file"},
        {"tiff cmyk", HandTiff(2, 1, kCmyk, {8, 8, 8, 8}, {Bytes(8, 1)}),
         "CMYK TIFF images are not supported (RGB, grey and palette images are read)"},
        {"tiff float", HandTiff(1, 1, kRgb, {32, 32, 32}, {Bytes(12, 0)}, {{339, 3, {3, 3, 3}}}),
         "TIFF images of floating-point or signed samples are not supported"},
        {"tiff 4-bit rgb", HandTiff(2, 1, kRgb, {4, 4, 4}, {Bytes(3, 0)}), "RGB TIFF images of 4 bits per sample are not supported"},
        {"tiff too wide", HandTiff(40000, 1, kMinIsBlack, {8}, {Bytes(40000, 0)}), "40000x1 pixels; the host interface takes at most 32767"},
        {"ppm too wide", Text("P6\n40000 1\n255\n"), "32767"},
        {"ppm without pixels", Text("P6\n0 5\n255\n"), "the image is empty"},
        {"ppm 16-bit", Text("P6\n1 1\n65535\n"), "maxval 65535 is not supported"},
        {"ppm header cut", Text("P6\n2"), "damaged PPM header"},
        {"pam without end", Text("P7\nWIDTH 1\nHEIGHT 1\nDEPTH 3\nMAXVAL 255\n"), "no ENDHDR"},
        {"pam grey of depth 3", Text("P7\nWIDTH 1\nHEIGHT 1\nDEPTH 3\nMAXVAL 255\nTUPLTYPE GRAYSCALE\nENDHDR\n\x01\x01\x01"),
         "TUPLTYPE 'GRAYSCALE' with DEPTH 3 is not supported"},
        {"pam bad number", Text("P7\nWIDTH x\nENDHDR\n"), "damaged PAM header line 'WIDTH x'"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const DecodeResult decoded = DecodeImage(c.bytes);
        EXPECT_FALSE(decoded.ok);
        EXPECT_NE(decoded.error.find(c.message), std::string::npos) << decoded.error;
    }
}

// A PNG of a few dozen bytes that declares a 32767 x 32767 RGB image and holds the
// start of its first row only.
Bytes HugeDeclaredPng() {
    Bytes png = Text("\x89PNG\r\n\x1a\n");
    AppendPngChunk(png, "IHDR", Bytes{0, 0, 0x7F, 0xFF, 0, 0, 0x7F, 0xFF, 8, 2, 0, 0, 0});
    Bytes row(64, 0);
    uLongf size = compressBound(static_cast<uLong>(row.size()));
    Bytes packed(size);
    EXPECT_EQ(compress(packed.data(), &size, row.data(), static_cast<uLong>(row.size())), Z_OK);
    packed.resize(size / 2);  // the stream stops partway
    AppendPngChunk(png, "IDAT", packed);
    return png;
}

// The address space this process has mapped, in bytes.
[[maybe_unused]] std::uint64_t AddressSpaceInUse() {
    unsigned long long pages = 0;
    if (std::FILE* statm = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(statm, "%llu", &pages) != 1) pages = 0;
        std::fclose(statm);
    }
    return pages * static_cast<std::uint64_t>(sysconf(_SC_PAGESIZE));
}

// What a child that decoded bytes from a pipe said, and how far its resident memory
// grew while it did.
struct ChildRead {
    std::string text;  // the error, or "(decoded)" followed by the notes, one a line
    std::uint64_t growth = 0;
};

// How a child's address space is bounded: not at all, at `bytes` in all, or at `bytes`
// more than it has mapped when it starts to read.
enum class Bound { none, total, more };

// Decodes `bytes` read through a pipe, so that the reader cannot know the size, in a
// child process whose address space is bounded as `bound` says: a reader that took
// more would fail with "out of memory" instead of the expected message.
ChildRead ReadThroughPipeInChild(const Bytes& bytes, const ReadLimits& limits, [[maybe_unused]] Bound bound,
                                 [[maybe_unused]] std::uint64_t address_space) {
    int data[2], report[2];
    if (pipe(data) != 0 || pipe(report) != 0) return {"(no pipe)", 0};
    const pid_t child = fork();
    if (child == 0) {
        close(data[1]);
        close(report[0]);
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
        // The sanitizers reserve terabytes of address space; there the bound is not set.
        if (bound != Bound::none) {
            const std::uint64_t most = address_space + (bound == Bound::more ? AddressSpaceInUse() : 0);
            const rlimit limit{static_cast<rlim_t>(most), static_cast<rlim_t>(most)};
            setrlimit(RLIMIT_AS, &limit);
        }
#endif
        rusage before{}, after{};
        getrusage(RUSAGE_SELF, &before);
        std::string text;
        try {
            std::FILE* file = fdopen(data[0], "rb");
            const DecodeResult result = ReadImageStream(file, "pipe", limits);
            text = result.ok ? "(decoded)" : result.error;
            for (const std::string& note : result.notes) text += "\n" + note;
        } catch (const std::bad_alloc&) {
            text = "out of memory";
        }
        getrusage(RUSAGE_SELF, &after);
        text = std::to_string(std::max(0L, after.ru_maxrss - before.ru_maxrss) * 1024L) + " " + text;
        const ssize_t ignored = write(report[1], text.data(), text.size());
        (void)ignored;
        _exit(0);
    }
    close(data[0]);
    close(report[1]);
    const ssize_t written = write(data[1], bytes.data(), bytes.size());
    EXPECT_EQ(written, static_cast<ssize_t>(bytes.size()));
    close(data[1]);
    std::string text;
    char buffer[512];
    for (ssize_t n; (n = read(report[0], buffer, sizeof buffer)) > 0;) text.append(buffer, static_cast<std::size_t>(n));
    close(report[0]);
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    ChildRead read;
    const std::size_t space = text.find(' ');
    if (space == std::string::npos) return {text, 0};
    read.growth = std::stoull(text.substr(0, space));
    read.text = text.substr(space + 1);
    return read;
}

// The child's error text, read with its address space limited to `address_space` bytes:
// a reader that reserved the declared image (3.2 GB at 32767 x 32767) would fail.
std::string DecodeThroughPipeWithLittleMemory(const Bytes& bytes, const ReadLimits& limits = {},
                                              std::uint64_t address_space = std::uint64_t{2} << 30) {
    return ReadThroughPipeInChild(bytes, limits, Bound::total, address_space).text;
}

TEST(CliImageIoTest, DeclaredSizesAreCheckedBeforeMemoryIsTaken) {
    const Bytes huge_png = HugeDeclaredPng();
    EXPECT_LT(huge_png.size(), 80u);
    // Of known size: refused from the header, as no PNG this small can hold the image.
    DecodeResult decoded = DecodeImage(huge_png);
    EXPECT_NE(decoded.error.find("cannot hold a 32767x32767 image"), std::string::npos) << decoded.error;
    // Of unknown size: the rows run out long before the buffer has grown large.
    EXPECT_NE(DecodeThroughPipeWithLittleMemory(huge_png).find("damaged PNG file"), std::string::npos);

    Bytes huge_ppm = Text("P6\n32767 32767\n255\n");
    huge_ppm.resize(huge_ppm.size() + 100, 9);
    EXPECT_NE(DecodeThroughPipeWithLittleMemory(huge_ppm).find("the file ends early: 100 of 3221028867 pixel bytes"),
              std::string::npos);
    decoded = DecodeImage(huge_ppm);
    EXPECT_NE(decoded.error.find("the file ends early: 100 of"), std::string::npos) << decoded.error;

    // A TIFF of 200 bytes cannot hold 2.7 GB of pixels, however it came.
    const Bytes huge_tiff = HandTiff(30000, 30000, kRgb, {8, 8, 8}, {Bytes(20, 1)});
    EXPECT_LT(huge_tiff.size(), 200u);
    EXPECT_NE(DecodeImage(huge_tiff).error.find("bytes cannot hold a 30000x30000 image"), std::string::npos);
    EXPECT_NE(DecodeThroughPipeWithLittleMemory(huge_tiff).find("bytes cannot hold a 30000x30000 image"), std::string::npos);

    // A WebP header declaring 16383 x 16383 with alpha (1 GiB of pixels) and a RIFF size
    // of a megabyte, ending after 40 bytes: nothing is reserved before the bytes are in,
    // so it fails as short even where a gigabyte cannot be had.
    Bytes huge_webp = Text("RIFF");
    AppendLittle32(huge_webp, 1 << 20);
    huge_webp.insert(huge_webp.end(), {'W', 'E', 'B', 'P', 'V', 'P', '8', 'L'});
    AppendLittle32(huge_webp, (1 << 20) - 12);
    huge_webp.push_back(0x2F);
    AppendLittle32(huge_webp, 16382u | 16382u << 14 | 1u << 28);
    huge_webp.resize(40, 0x11);
    EXPECT_EQ(DecodeImage(huge_webp).error, "damaged WebP file: the file ends early");
    EXPECT_EQ(DecodeThroughPipeWithLittleMemory(huge_webp, {}, std::uint64_t{1} << 30), "'pipe': damaged WebP file: the file ends early");

    // The pixel limit, below the interface's own.
    const Bytes small = Encoded(FileFormat::ppm, memhost::PatternImage(8, 6, 3));
    EXPECT_TRUE(DecodeImage(small, ReadLimits{48, {}, {}}).ok);
    EXPECT_NE(DecodeImage(small, ReadLimits{47, {}, {}}).error.find("8x6 = 48 pixels, more than the limit of 47"),
              std::string::npos);
    EXPECT_NE(DecodeThroughPipeWithLittleMemory(Encoded(FileFormat::png, memhost::PatternImage(8, 6, 3)),
                                                ReadLimits{47, {}, {}})
                  .find("more than the limit of 47"),
              std::string::npos);

    // An endless device is judged by its first bytes.
    EXPECT_NE(ReadImageFile("/dev/zero").error.find("'/dev/zero': unsupported format"), std::string::npos);
    EXPECT_NE(ReadImageFile("/").error.find("it is a folder"), std::string::npos);
}

TEST(CliImageIoTest, TilingAndAddedAlpha) {
    const Image image = memhost::PatternImage(3, 2, 3);
    const Image tiled = Tiled(image, 3, 2);
    ASSERT_EQ(tiled.width, 9);
    ASSERT_EQ(tiled.height, 4);
    for (int y = 0; y < tiled.height; ++y) {
        for (int x = 0; x < tiled.width; ++x) EXPECT_EQ(tiled.At(x, y, 1), image.At(x % 3, y % 2, 1));
    }
    const Image rgba = WithOpaqueAlpha(image);
    ASSERT_EQ(rgba.planes, 4);
    EXPECT_EQ(rgba.At(2, 1, 0), image.At(2, 1, 0));
    EXPECT_EQ(rgba.At(2, 1, 2), image.At(2, 1, 2));
    EXPECT_EQ(rgba.At(2, 1, 3), 255);
}

TEST(CliImageIoTest, ARectangleIsWrittenInPlaceAndRowsAreReportedAsTheyAreRead) {
    const Image image = memhost::PatternImage(20, 310, 3);
    Image crop(10, 300, 3);
    for (int y = 0; y < crop.height; ++y) {
        for (int x = 0; x < crop.width; ++x) {
            for (int p = 0; p < 3; ++p) crop.At(x, y, p) = image.At(x + 3, y + 2, p);
        }
    }
    for (const FileFormat format : {FileFormat::png, FileFormat::webp, FileFormat::tiff, FileFormat::ppm, FileFormat::pam}) {
        SCOPED_TRACE(FormatName(format));
        BytesSink sink;
        ImageRows rows(image, 3, 2, 10, 300);
        ASSERT_EQ(EncodeImageTo(format, rows, sink), "");
        EXPECT_EQ(rows.RowsTaken(), 300);
        std::vector<int> reports;
        ReadLimits limits;
        limits.on_rows = [&reports](int read, int height) {
            EXPECT_EQ(height, 300);
            reports.push_back(read);
        };
        const DecodeResult decoded = DecodeImage(sink.bytes, limits);
        ASSERT_TRUE(decoded.ok) << decoded.error;
        EXPECT_EQ(decoded.image, crop);
        // libwebp decodes the picture whole; the others row by row.
        if (format != FileFormat::webp) {
            EXPECT_GE(reports.size(), 4u);
            EXPECT_TRUE(std::is_sorted(reports.begin(), reports.end()));
            EXPECT_LE(reports.back(), 300);
        }
    }
}

// ---- Small files that declare much, and files that ask for much work ----------------

constexpr std::uint64_t kLittleMemory = std::uint64_t{64} << 20;

// A PNG of `image` with `chunk` of `type` put in after its IHDR.
Bytes PngWithChunk(const Image& image, const char* type, const Bytes& data) {
    const Bytes png = Encoded(FileFormat::png, image);
    Bytes out(png.begin(), png.begin() + 33);
    AppendPngChunk(out, type, data);
    out.insert(out.end(), png.begin() + 33, png.end());
    return out;
}

// An Adam7-interlaced RGB PNG of `image`, through libpng's low-level writer.
Bytes InterlacedPng(const Image& image) {
    std::vector<Bytes> rows;
    const std::size_t row_bytes = static_cast<std::size_t>(image.width) * 3;
    for (std::size_t y = 0; y < static_cast<std::size_t>(image.height); ++y) {
        rows.emplace_back(image.bytes.begin() + static_cast<std::ptrdiff_t>(y * row_bytes),
                          image.bytes.begin() + static_cast<std::ptrdiff_t>((y + 1) * row_bytes));
    }
    return fixtures::LowLevelPng({image.width, image.height, PNG_COLOR_TYPE_RGB, 8, true}, rows);
}

// A PNG of 74 bytes that declares an interlaced 27000 x 27000 RGB image (2.2 GB of
// pixels, within the host interface) and holds the start of a deflate stream.
Bytes HugeInterlacedPng() { return fixtures::PngInterlacedClaiming(27000); }

// A lossy WebP of a small picture whose frame header is made to say 16383 x 16383: 
// its image data ends long before the picture's.
Bytes LossyWebpClaiming16383() {
    Image noise(20, 20, 3);
    for (std::size_t i = 0; i < noise.bytes.size(); ++i) noise.bytes[i] = static_cast<std::uint8_t>((i * 2654435761u) >> 13);
    const Bytes webp = fixtures::WebpClaiming(EncodeWith(FileFormat::webp, noise, {}, {10, std::nullopt}).bytes, 16383);
    EXPECT_FALSE(webp.empty()) << "the encoder wrote no simple lossy file";
    return webp;
}

TEST(CliImageIoTest, SmallHostileFilesFailWithinLittleMemory) {
    struct Case {
        const char* name;
        Bytes bytes;
        std::string error;
    };
    const Bytes interlaced = HugeInterlacedPng();
    EXPECT_EQ(interlaced.size(), 74u);
    const Bytes webp = LossyWebpClaiming16383();
    EXPECT_LT(webp.size(), 300u);
    std::vector<Case> cases;
    for (const char* type : {"tEXt", "zTXt", "iTXt", "eXIf", "sPLT", "pCAL", "sCAL", "iCCP", "prVt"}) {
        cases.push_back({type, PngDeclaringAHugeChunk(type), "damaged PNG file: the file ends early"});
        EXPECT_EQ(cases.back().bytes.size(), 44u);
    }
    cases.push_back({"interlaced 27000x27000", interlaced, "damaged PNG file: 74 bytes cannot hold a 27000x27000 image"});
    cases.push_back({"lossy WebP of 16383x16383", webp, "damaged WebP file: the file ends early"});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        // As a file of known size, and from a pipe, where the size is known only once
        // the bytes are in.
        EXPECT_EQ(DecodeImage(c.bytes).error, c.error);
        EXPECT_EQ(ReadThroughPipeInChild(c.bytes, {}, Bound::more, kLittleMemory).text, "'pipe': " + c.error);
        // Without a bound on the address space, a reader that takes the memory and
        // clears it shows in the resident size.
        const ChildRead unbounded = ReadThroughPipeInChild(c.bytes, {}, Bound::none, 0);
        EXPECT_EQ(unbounded.text, "'pipe': " + c.error);
        EXPECT_LT(unbounded.growth, kLittleMemory);
    }
}

TEST(CliImageIoTest, LongPngChunksAreSkippedAndTheImageRead) {
    const Image image = memhost::PatternImage(5, 4, 3);
    // Beyond the 16 MiB a chunk may take, each with a checksum that matches.
    Bytes text = Text(std::string("Comment\0", 8));
    text.resize((std::size_t{17} << 20), 'x');
    Bytes exif = Exif(6, false);
    exif.resize(std::size_t{17} << 20, 0);
    struct Case {
        const char* name;
        Bytes bytes;
        std::vector<std::string> notes;
        bool turned;
    };
    const Case cases[] = {
        {"short tEXt", PngWithChunk(image, "tEXt", Text(std::string("Title\0short", 11))), {}, false},
        {"long tEXt", PngWithChunk(image, "tEXt", text), {"a PNG text chunk (tEXt) was skipped: it is larger than 16 MiB"}, false},
        {"long iTXt", PngWithChunk(image, "iTXt", text), {"a PNG text chunk (iTXt) was skipped: it is larger than 16 MiB"}, false},
        {"long zTXt", PngWithChunk(image, "zTXt", text), {"a PNG text chunk (zTXt) was skipped: it is larger than 16 MiB"}, false},
        {"short eXIf", PngWithChunk(image, "eXIf", Exif(6, false)), {"turned upright from EXIF orientation 6"}, true},
        {"long eXIf", PngWithChunk(image, "eXIf", exif),
         {"the PNG EXIF chunk (eXIf), and the orientation it may give, was skipped: it is larger than 16 MiB"}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const DecodeResult decoded = DecodeImage(c.bytes);
        ASSERT_TRUE(decoded.ok) << decoded.error;
        EXPECT_EQ(decoded.notes, c.notes);
        EXPECT_EQ(decoded.image.width, c.turned ? 4 : 5);
        if (!c.turned) {
            EXPECT_EQ(decoded.image, image);
        }
        // From a pipe in a child that may take 64 MB more than it has: the long
        // chunks are read past, not held.
        std::string expected = "(decoded)";
        for (const std::string& note : c.notes) expected += "\n" + note;
        const ChildRead piped = ReadThroughPipeInChild(c.bytes, {}, Bound::more, kLittleMemory);
        EXPECT_EQ(piped.text, expected);
        EXPECT_LT(piped.growth, std::uint64_t{16} << 20);
    }
}

TEST(CliImageIoTest, WholePicturesFromAPipeAreTiedToTheirBytes) {
    // An interlaced PNG needs all of its rows at once; from a pipe it reads as from memory.
    const Image image = memhost::PatternImage(33, 17, 3);
    const Bytes interlaced = InterlacedPng(image);
    DecodeResult decoded = DecodeImage(interlaced);
    ASSERT_TRUE(decoded.ok) << decoded.error;
    EXPECT_EQ(decoded.image, image);
    EXPECT_EQ(ReadThroughPipeInChild(interlaced, {}, Bound::more, kLittleMemory).text, "(decoded)");
    // Cut short it fails, with the same message either way.
    const Bytes cut(interlaced.begin(), interlaced.end() - 40);
    const std::string error = DecodeImage(cut).error;
    EXPECT_NE(error.find("damaged PNG file"), std::string::npos) << error;
    EXPECT_EQ(ReadThroughPipeInChild(cut, {}, Bound::more, kLittleMemory).text, "'pipe': " + error);

    // WebP files whose pixels take more than a thousand times their bytes are decoded
    // to one pixel first; good ones still come out whole, lossy and lossless.
    Image flat(1500, 1000, 4);
    for (int y = 0; y < flat.height; ++y) {
        for (int x = 0; x < flat.width; ++x) {
            flat.At(x, y, 0) = 40, flat.At(x, y, 1) = 160, flat.At(x, y, 2) = 90;
            flat.At(x, y, 3) = x < 700 ? 255 : 128;
        }
    }
    const Image flat_rgb = memhost::Image(flat.width, flat.height, 3);
    Image opaque = flat_rgb;
    for (std::size_t i = 0, j = 0; i < opaque.bytes.size(); i += 3, j += 4) {
        for (std::size_t c = 0; c < 3; ++c) opaque.bytes[i + c] = flat.bytes[j + c];
    }
    struct Case {
        const char* name;
        const Image& image;
        WriteOptions options;
    };
    const Case cases[] = {
        {"lossy", opaque, {90, std::nullopt}},
        {"lossy with alpha", flat, {90, std::nullopt}},
        {"lossless", opaque, {}},
        {"lossless with alpha", flat, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Bytes webp = EncodeWith(FileFormat::webp, c.image, {}, c.options).bytes;
        EXPECT_GT(c.image.bytes.size(), webp.size() * 1024) << "the file is not small enough to be checked first";
        decoded = DecodeImage(webp);
        ASSERT_TRUE(decoded.ok) << decoded.error;
        EXPECT_LE(LargestDifference(decoded.image, c.image), c.options.quality ? 4 : 0);
        // Cut inside its image data, it fails before any pixel is kept.
        Bytes cut_webp(webp.begin(), webp.begin() + static_cast<std::ptrdiff_t>(webp.size() * 3 / 4));
        const std::uint32_t riff = static_cast<std::uint32_t>(cut_webp.size() - 8);
        for (int i = 0; i < 4; ++i) cut_webp[4 + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(riff >> (8 * i));
        EXPECT_NE(DecodeImage(cut_webp).error, "");
    }
}

// A grey progressive JPEG of `size` x `size` pixels (a gradient, or one level when
// `flat`) with the scan script given, or libjpeg's standard one when it is empty.
Bytes GreyProgressiveJpeg(int size, bool flat, const std::vector<jpeg_scan_info>& script) {
    fixtures::JpegSpec spec;
    spec.width = spec.height = size;
    spec.colour = JCS_GRAYSCALE;
    spec.quality = 75;
    spec.progressive = true;
    spec.scans = script;
    Bytes samples(static_cast<std::size_t>(size) * static_cast<std::size_t>(size));
    for (std::size_t y = 0; y < static_cast<std::size_t>(size); ++y) {
        for (std::size_t x = 0; x < static_cast<std::size_t>(size); ++x) {
            samples[y * static_cast<std::size_t>(size) + x] = flat ? 120 : static_cast<std::uint8_t>(x * 13 + y * 7);
        }
    }
    return fixtures::JpegOf(spec, samples);
}

// A grey progressive JPEG of 16 x 16 pixels with `count` scans (64..694): the DC, then
// each AC coefficient in a band of its own, sent in a first scan and refinements of one
// bit each, as many as make up the count (libjpeg's encoder allows 11 for 8 bits).
Bytes JpegOfScans(int count) {
    std::vector<jpeg_scan_info> scans;
    scans.push_back({1, {0, 0, 0, 0}, 0, 0, 0, 0});
    int left = count - 1;
    for (int k = 1; k <= 63; ++k) {
        const int here = std::min(11, left - (63 - k));  // at least one for each one after
        left -= here;
        scans.push_back({1, {0, 0, 0, 0}, k, k, 0, here - 1});
        for (int bit = here - 1; bit > 0; --bit) scans.push_back({1, {0, 0, 0, 0}, k, k, bit, bit - 1});
    }
    EXPECT_EQ(static_cast<int>(scans.size()), count);
    return GreyProgressiveJpeg(16, false, scans);
}

// A flat grey progressive JPEG of 64 x 64 pixels whose scan of all AC coefficients is
// repeated until there are `count` scans. A first scan (no refinement) may come again
// without a warning from libjpeg: each one makes it go over every block once more.
Bytes JpegOfRepeatedScans(int count) { return fixtures::JpegOfRepeatedScans(64, count); }

TEST(CliImageIoTest, AProgressiveJpegMayHaveAFewHundredScans) {
    const std::string refusal = "JPEG files of more than 300 scans are not supported (a progressive file usually has about 10)";
    struct Case {
        const char* name;
        Bytes bytes;
        bool read;
    };
    const Case cases[] = {
        {"6 scans of libjpeg's standard script", GreyProgressiveJpeg(16, false, {}), true},
        {"300 scans", JpegOfScans(300), true},
        {"301 scans", JpegOfScans(301), false},
        {"694 scans, the most libjpeg's encoder writes for grey", JpegOfScans(694), false},
        {"3000 scans, one repeated", JpegOfRepeatedScans(3000), false},
        {"300 scans, one repeated", JpegOfRepeatedScans(300), true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto start = std::chrono::steady_clock::now();
        const DecodeResult decoded = DecodeImage(c.bytes);
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        EXPECT_LT(seconds, 1.0);
        if (c.read) {
            EXPECT_TRUE(decoded.ok) << decoded.error;
        } else {
            EXPECT_EQ(decoded.error, refusal);
        }
    }
    // The repeated scans are all there to be read: without the bound they decode.
    const DecodeResult grey = DecodeImage(JpegOfRepeatedScans(300));
    ASSERT_TRUE(grey.ok) << grey.error;
    EXPECT_NEAR(grey.image.At(30, 30, 1), 120, 1);
}

TEST(CliImageIoTest, PaletteColoursAreRoundedAsSixteenBitSamplesAre) {
    // 2-bit palettes of 4 entries, red then green then blue. Rounding and cutting the
    // low byte give different levels for 0x1CF0 (29, not 28), 0x00FF (1, not 0) and
    // 0xFF00 (254, not 255); 0xFFFF and 0x8080 come out the same either way.
    const auto palette = [](std::vector<std::uint32_t> values) { return TiffTag{320, 3, std::move(values)}; };
    struct Case {
        const char* name;
        TiffTag map;
        Bytes pixels;  // entries 0, 1, 2 and 3
    };
    const Case cases[] = {
        {"16-bit colours",
         palette({0x1CF0, 0x00FF, 0xFF00, 0xFFFF, 0x8080, 0, 0, 0, 0, 0, 0, 0x1CF0}),
         {29, 128, 0, 1, 0, 0, 254, 0, 0, 255, 0, 29}},
        // Every entry a multiple of 256: 8-bit colours moved up, whose high bytes are exact.
        {"8-bit colours moved up",
         palette({0x1C00, 0x0100, 0xFF00, 0xFF00, 0x8000, 0, 0, 0, 0, 0, 0, 0x1C00}),
         {28, 128, 0, 1, 0, 0, 255, 0, 0, 255, 0, 28}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const DecodeResult decoded = DecodeImage(HandTiff(4, 1, kPalette, {2}, {{0b00011011}}, {c.map}));
        ASSERT_TRUE(decoded.ok) << decoded.error;
        EXPECT_EQ(decoded.image.bytes, c.pixels);
    }
}

// A TIFF of one 2 x 1 grey image whose directory's next-directory offset is `next`.
Bytes TiffWithNextDirectory(std::uint32_t next) {
    return fixtures::WithNextTiffDirectory(HandTiff(2, 1, kMinIsBlack, {8}, {{10, 20}}), next);
}

TEST(CliImageIoTest, MessagesSayWhatIsWrong) {
    // A 12-bit JPEG: libjpeg reads its header and cannot go on.
    Bytes twelve = GreyJpeg(8, 8, 90);
    bool found = false;
    for (std::size_t i = 2; i + 4 < twelve.size() && !found; ++i) {
        if (twelve[i] == 0xFF && twelve[i + 1] == 0xC0) {
            twelve[i + 1] = 0xC1;  // extended sequential, as 12-bit files are
            twelve[i + 4] = 12;
            found = true;
        }
    }
    ASSERT_TRUE(found);
    Bytes lossless = GreyJpeg(8, 8, 90);
    for (std::size_t i = 2; i + 1 < lossless.size(); ++i) {
        if (lossless[i] == 0xFF && lossless[i + 1] == 0xC0) lossless[i + 1] = 0xC3;
    }
    struct Case {
        const char* name;
        Bytes bytes;
        std::string error;
    };
    const Case cases[] = {
        {"12-bit JPEG", twelve, "12-bit JPEG is not supported; convert it to 8 bits"},
        {"lossless JPEG", lossless, "lossless and hierarchical JPEG files are not supported (Unsupported JPEG process: SOF type 0xc3)"},
        {"0 x 0 PAM", Text("P7\nWIDTH 0\nHEIGHT 0\nDEPTH 3\nMAXVAL 255\nENDHDR\n"), "damaged PAM header: WIDTH and HEIGHT are 0"},
        {"PAM of no rows", Text("P7\nWIDTH 4\nHEIGHT 0\nDEPTH 3\nMAXVAL 255\nENDHDR\n"), "damaged PAM header: HEIGHT is 0"},
        {"PAM of depth 0", Text("P7\nWIDTH 4\nHEIGHT 2\nDEPTH 0\nMAXVAL 255\nENDHDR\n"), "damaged PAM header: DEPTH is 0"},
        {"PAM without a depth", Text("P7\nWIDTH 4\nHEIGHT 2\nMAXVAL 255\nENDHDR\n"), "damaged PAM header: DEPTH is missing"},
        {"PAM without sizes and maxval", Text("P7\nDEPTH 3\nENDHDR\n"), "damaged PAM header: WIDTH, HEIGHT and MAXVAL are missing"},
        {"PAM without sizes and with a maxval of 0", Text("P7\nDEPTH 3\nMAXVAL 0\nENDHDR\n"), "damaged PAM header: WIDTH and HEIGHT are missing"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(DecodeImage(c.bytes).error, c.error);
    }

    // A TIFF's next directory: itself, another image, or past the end of the file.
    Bytes two = TiffWithNextDirectory(0);
    const std::uint32_t second = static_cast<std::uint32_t>(two.size());
    const Bytes first_directory(two.begin() + 8, two.end());  // its directory, values and pixels
    two = TiffWithNextDirectory(second);
    two.insert(two.end(), first_directory.begin(), first_directory.end());  // offsets within stay right
    struct NoteCase {
        const char* name;
        Bytes bytes;
        std::string note;
    };
    const NoteCase notes[] = {
        {"directory pointing to itself", TiffWithNextDirectory(8),
         "the TIFF file's directory points back to itself (a loop); its image was read"},
        {"two images", two, "the TIFF file holds more images; the first was read"},
        {"next directory past the end", TiffWithNextDirectory(100000),
         "the TIFF file's next directory cannot be read (TIFF: Error fetching directory count); the first image was read"},
    };
    for (const NoteCase& c : notes) {
        SCOPED_TRACE(c.name);
        const DecodeResult decoded = DecodeImage(c.bytes);
        ASSERT_TRUE(decoded.ok) << decoded.error;
        EXPECT_EQ(decoded.image.bytes, (Bytes{10, 10, 10, 20, 20, 20}));
        EXPECT_EQ(decoded.notes, (std::vector<std::string>{"grey image converted to RGB", c.note}));
    }
}

// ---- Grey written grey ------------------------------------------------------------

// A grey picture (red, green and blue equal) of 24 x 16 pixels, with alpha when
// `planes` is 4.
Image GreyPicture(int planes) {
    Image image(24, 16, planes);
    for (int y = 0; y < image.height; ++y) {
        for (int x = 0; x < image.width; ++x) {
            const auto level = static_cast<std::uint8_t>(x * 10 + y * 3);
            image.At(x, y, 0) = image.At(x, y, 1) = image.At(x, y, 2) = level;
            if (planes == 4) image.At(x, y, 3) = static_cast<std::uint8_t>(255 - x * 5);
        }
    }
    return image;
}

TEST(CliImageIoTest, GreyPicturesAreWrittenGreyWhereTheFormatHoldsIt) {
    WriteOptions grey;
    grey.grey = true;
    Image tinted = GreyPicture(3);
    tinted.At(23, 15, 2) = static_cast<std::uint8_t>(tinted.At(23, 15, 2) + 1);  // the last pixel, a little blue
    struct Case {
        FileFormat format;
        int planes;
        const char* stored;  // as the file's own library tells
    };
    const Case cases[] = {
        {FileFormat::png, 3, "grey"},  {FileFormat::png, 4, "grey+alpha"},  {FileFormat::jpeg, 3, "grey"},
        {FileFormat::tiff, 3, "grey"}, {FileFormat::tiff, 4, "grey+alpha"}, {FileFormat::pam, 3, "grey"},
        {FileFormat::pam, 4, "grey+alpha"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(FormatName(c.format)) + (c.planes == 4 ? " with alpha" : ""));
        const Image image = GreyPicture(c.planes);
        const Written as_grey = EncodeWith(c.format, image, {}, grey);
        ASSERT_EQ(as_grey.error, "");
        EXPECT_EQ(fixtures::StoredColours(as_grey.bytes), c.stored);
        const Written as_colour = EncodeWith(c.format, image);
        EXPECT_EQ(fixtures::StoredColours(as_colour.bytes), c.planes == 4 ? "rgb+alpha" : "rgb")
            << "a picture that was not grey when read stays colour, grey pixels or not";
        // Read back, the grey file gives what the colour one gives.
        const DecodeResult from_grey = DecodeImage(as_grey.bytes);
        const DecodeResult from_colour = DecodeImage(as_colour.bytes);
        ASSERT_TRUE(from_grey.ok) << from_grey.error;
        ASSERT_TRUE(from_colour.ok) << from_colour.error;
        EXPECT_TRUE(from_grey.grey);
        EXPECT_FALSE(from_colour.grey);
        EXPECT_EQ(from_grey.image.planes, c.planes);
        if (c.format == FileFormat::jpeg) {
            // Grey as RGB is luma with flat chroma: the same luma as the grey file's.
            EXPECT_EQ(LargestDifference(from_grey.image, from_colour.image), 0);
        } else {
            EXPECT_EQ(from_grey.image.bytes, image.bytes);
        }
        // One pixel of colour, or a profile (which describes RGB) where the format
        // keeps one: colour.
        if (c.planes == 3) {
            EXPECT_EQ(fixtures::StoredColours(EncodeWith(c.format, tinted, {}, grey).bytes), "rgb");
        }
        Metadata profiled;
        profiled.icc = RgbProfile();
        EXPECT_EQ(fixtures::StoredColours(EncodeWith(c.format, image, profiled, grey).bytes),
                  c.format == FileFormat::pam ? c.stored : (c.planes == 4 ? "rgb+alpha" : "rgb"));
    }
    // Formats without grey write colour.
    for (const FileFormat format : {FileFormat::webp, FileFormat::ppm}) {
        const Written written = EncodeWith(format, GreyPicture(3), {}, grey);
        ASSERT_EQ(written.error, "");
        const DecodeResult decoded = DecodeImage(written.bytes);
        EXPECT_FALSE(decoded.grey);
        EXPECT_EQ(decoded.image.bytes, GreyPicture(3).bytes);
    }
}

TEST(CliImageIoTest, GreyFilesOfEveryKindAreMarkedGrey) {
    const std::uint8_t levels[] = {0, 80, 160, 255};
    struct Case {
        const char* name;
        Bytes bytes;
        bool grey;
    };
    const Case cases[] = {
        {"PNG grey", SimplePng(2, 2, PNG_FORMAT_GRAY, levels), true},
        {"PNG palette", SimplePng(2, 1, PNG_FORMAT_RGBA_COLORMAP, levels, levels, 1), false},
        {"JPEG grey", GreyJpeg(8, 8, 90), true},
        {"TIFF grey", HandTiff(2, 1, kMinIsBlack, {8}, {{0, 200}}), true},
        {"TIFF RGB", HandTiff(1, 1, kRgb, {8, 8, 8}, {{1, 1, 1}}), false},
        {"PAM grey", Text("P7\nWIDTH 2\nHEIGHT 1\nDEPTH 1\nMAXVAL 255\nTUPLTYPE GRAYSCALE\nENDHDR\n\x10\x20"), true},
        {"PAM grey with alpha",
         Text("P7\nWIDTH 1\nHEIGHT 1\nDEPTH 2\nMAXVAL 255\nTUPLTYPE GRAYSCALE_ALPHA\nENDHDR\n\x10\x80"), true},
        {"PPM", Text("P6\n1 1\n255\n\x05\x05\x05"), false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const DecodeResult decoded = DecodeImage(c.bytes);
        ASSERT_TRUE(decoded.ok) << decoded.error;
        EXPECT_EQ(decoded.grey, c.grey);
    }
    const DecodeResult pam = DecodeImage(cases[6].bytes);
    EXPECT_EQ(pam.image.bytes, (Bytes{0x10, 0x10, 0x10, 0x80}));
    EXPECT_EQ(pam.notes, (std::vector<std::string>{"grey image with alpha converted to RGBA"}));
}

// ---- CMYK JPEG --------------------------------------------------------------------

struct LcmsProfileClose {
    void operator()(void* profile) const { cmsCloseProfile(profile); }
};
struct LcmsTransformDelete {
    void operator()(void* transform) const { cmsDeleteTransform(transform); }
};
using LcmsProfile = std::unique_ptr<void, LcmsProfileClose>;
using LcmsTransform = std::unique_ptr<void, LcmsTransformDelete>;

// Little CMS's own conversion of ink values (0 no ink) through `icc` into sRGB, as the
// reader is to make it: relative colorimetric with black point compensation.
Bytes LcmsToSrgb(const Bytes& icc, const Bytes& cmyk) {
    const LcmsProfile profile(cmsOpenProfileFromMem(icc.data(), static_cast<cmsUInt32Number>(icc.size())));
    const LcmsProfile srgb(cmsCreate_sRGBProfile());
    const LcmsTransform transform(cmsCreateTransform(profile.get(), TYPE_CMYK_8, srgb.get(), TYPE_RGB_8,
                                                     INTENT_RELATIVE_COLORIMETRIC, cmsFLAGS_BLACKPOINTCOMPENSATION));
    Bytes rgb(cmyk.size() / 4 * 3);
    if (!transform) {
        ADD_FAILURE() << "Little CMS cannot convert with the test's profile";
        return rgb;
    }
    cmsDoTransform(transform.get(), cmyk.data(), rgb.data(), static_cast<cmsUInt32Number>(cmyk.size() / 4));
    return rgb;
}

// The CMYK samples of a JPEG as libjpeg decodes them, turned into ink values (0 no ink)
// where an Adobe marker says they are stored inverted.
Bytes DecodedInk(const Bytes& jpeg) {
    jpeg_decompress_struct info{};
    jpeg_error_mgr error{};
    info.err = jpeg_std_error(&error);
    jpeg_create_decompress(&info);
    jpeg_mem_src(&info, jpeg.data(), static_cast<unsigned long>(jpeg.size()));
    jpeg_read_header(&info, TRUE);
    info.out_color_space = JCS_CMYK;
    jpeg_start_decompress(&info);
    Bytes ink(static_cast<std::size_t>(info.output_width) * info.output_height * 4);
    while (info.output_scanline < info.output_height) {
        JSAMPROW row = &ink[static_cast<std::size_t>(info.output_scanline) * info.output_width * 4];
        jpeg_read_scanlines(&info, &row, 1);
    }
    const bool inverted = info.saw_Adobe_marker != 0;
    jpeg_finish_decompress(&info);
    jpeg_destroy_decompress(&info);
    if (inverted) {
        for (std::uint8_t& sample : ink) sample = static_cast<std::uint8_t>(255 - sample);
    }
    return ink;
}

TEST(CliImageIoTest, CmykJpegsAreReadThroughTheirProfileOrTheSimpleInverse) {
    // Ink values of 32 x 16 pixels: cyan across, magenta down, yellow both ways, and
    // black in the right half, in smooth ramps that JPEG keeps closely.
    constexpr int kWidth = 32, kHeight = 16;
    Bytes ink(kWidth * kHeight * 4);
    for (int y = 0; y < kHeight; ++y) {
        for (int x = 0; x < kWidth; ++x) {
            std::uint8_t* p = &ink[static_cast<std::size_t>(y * kWidth + x) * 4];
            p[0] = static_cast<std::uint8_t>(x * 8);
            p[1] = static_cast<std::uint8_t>(y * 16);
            p[2] = static_cast<std::uint8_t>((x + y) * 5);
            p[3] = static_cast<std::uint8_t>(x < kWidth / 2 ? 0 : (x - kWidth / 2) * 10);
        }
    }
    Bytes inverted = ink;
    for (std::uint8_t& sample : inverted) sample = static_cast<std::uint8_t>(255 - sample);
    const Bytes profile = fixtures::CmykProfile();
    ASSERT_GT(profile.size(), 132u) << "Little CMS could not write the test's profile";
    Bytes damaged = profile;
    std::fill(damaged.begin() + 128, damaged.end(), 0xA5);  // the tag table and the tables
    const auto cmyk_jpeg = [&](bool adobe, bool ycck, const Bytes& icc) {
        fixtures::JpegSpec spec;
        spec.width = kWidth;
        spec.height = kHeight;
        spec.colour = JCS_CMYK;
        spec.adobe_marker = adobe;
        spec.ycck = ycck;
        spec.full_chroma = true;  // YCCK's colour difference at full resolution too
        spec.icc = icc;
        return fixtures::JpegOf(spec, adobe ? inverted : ink);
    };
    const std::string managed = "CMYK image converted to sRGB through its ICC profile (relative colorimetric, black point compensation)";
    const std::string no_profile = "CMYK image converted to RGB by the simple inverse (the file has no colour profile); colours are approximate";
    const auto unusable = [](const std::string& why) {
        return "CMYK image converted to RGB by the simple inverse: its ICC profile cannot be used (" + why + "); colours are approximate";
    };
    struct Case {
        const char* name;
        Bytes jpeg;
        bool through_profile;
        std::string note;
    };
    const Case cases[] = {
        {"Adobe CMYK (inverted) with a profile", cmyk_jpeg(true, false, profile), true, managed},
        {"Adobe YCCK with a profile", cmyk_jpeg(true, true, profile), true, managed},
        {"CMYK without an Adobe marker, with a profile", cmyk_jpeg(false, false, profile), true, managed},
        {"Adobe CMYK without a profile", cmyk_jpeg(true, false, {}), false, no_profile},
        {"Adobe YCCK without a profile", cmyk_jpeg(true, true, {}), false, no_profile},
        {"a damaged profile", cmyk_jpeg(true, false, damaged), false, unusable("it is damaged")},
        {"an RGB profile", cmyk_jpeg(true, false, RgbProfile()), false, unusable("it does not describe CMYK data")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(fixtures::StoredColours(c.jpeg), "cmyk");
        const DecodeResult decoded = DecodeImage(c.jpeg);
        ASSERT_TRUE(decoded.ok) << decoded.error;
        ASSERT_EQ(decoded.image.width, kWidth);
        ASSERT_EQ(decoded.image.planes, 3);
        EXPECT_EQ(decoded.notes, std::vector<std::string>{c.note});
        EXPECT_TRUE(decoded.metadata.icc.empty()) << "the pixels are RGB now";
        EXPECT_FALSE(decoded.grey);
        // Against the same conversion of the CMYK values libjpeg decodes: the same
        // library on the same samples, so nothing may differ.
        const Bytes decoded_ink = DecodedInk(c.jpeg);
        Bytes expected(decoded_ink.size() / 4 * 3);
        if (c.through_profile) {
            expected = LcmsToSrgb(profile, decoded_ink);
        } else {
            for (std::size_t i = 0; i < expected.size() / 3; ++i) fixtures::SimpleCmykInverse(&decoded_ink[i * 4], &expected[i * 3]);
        }
        EXPECT_EQ(decoded.image.bytes, expected);
        // Against the ink values written: JPEG at quality 100 without subsampling keeps
        // each CMYK sample within a level; YCCK's colour transform rounds once each
        // way, and the simple inverse adds the errors of C and K: 4 levels at most.
        Bytes written(ink.size() / 4 * 3);
        if (c.through_profile) {
            written = LcmsToSrgb(profile, ink);
        } else {
            for (std::size_t i = 0; i < written.size() / 3; ++i) fixtures::SimpleCmykInverse(&ink[i * 4], &written[i * 3]);
        }
        Image written_image(kWidth, kHeight, 3);
        written_image.bytes = written;
        EXPECT_LE(LargestDifference(decoded.image, written_image), 4);
    }
    // The profile's colours are not the simple inverse's: the reader did use it.
    const DecodeResult through_profile = DecodeImage(cases[0].jpeg);
    const DecodeResult simple = DecodeImage(cases[3].jpeg);
    EXPECT_GT(LargestDifference(through_profile.image, simple.image), 20);

    // The size the file declares is checked before anything is taken for it.
    ReadLimits limits;
    int asked_width = 0, asked_height = 0;
    limits.on_size = [&](int width, int height) {
        asked_width = width;
        asked_height = height;
        return std::string("too large for this test");
    };
    EXPECT_EQ(DecodeImage(cases[0].jpeg, limits).error, "too large for this test");
    EXPECT_EQ(asked_width, kWidth);
    EXPECT_EQ(asked_height, kHeight);
    limits.on_size = nullptr;
    limits.max_pixels = kWidth * kHeight - 1;
    EXPECT_NE(DecodeImage(cases[0].jpeg, limits).error.find("more than the limit of 511"), std::string::npos);
}

TEST(CliProgressTest, TheBarFollowsTheShareDone) {
    EXPECT_EQ(ProgressLine(0, 0, 10), "[..........]   0%") << "no total, no division by zero";
    EXPECT_EQ(ProgressLine(50, 100, 10), "[#####.....]  50%");
    EXPECT_EQ(ProgressLine(7, 3, 10), "[##########] 100%");
    EXPECT_EQ(ProgressLine(-5, 3, 4), "[....]   0%");
}

}  // namespace
}  // namespace tessellon::cli
