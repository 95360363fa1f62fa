// Writes the fuzz targets' seed inputs: small image files of every kind the readers
// take (made with the project's own encoders, and with libpng and libjpeg for the
// layouts those do not write), and hand-built inputs for the run and settings targets
// in the byte layouts their sources describe.
//   fuzz_make_seeds <corpus directory>   (fuzz/corpus in the repository)
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

#include <png.h>

#include "cli/image_io.h"
#include "tests/support/bytes_sink.h"
#include "tests/support/image_fixtures.h"

namespace {

namespace fixtures = tessellon::fixtures;
using fixtures::BytesSink;
using Bytes = std::vector<std::uint8_t>;
namespace fs = std::filesystem;
using tessellon::cli::FileFormat;
using tessellon::memhost::Image;
using tessellon::memhost::PatternImage;

void Write(const fs::path& path, const Bytes& bytes) {
    fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!out) {
        std::fprintf(stderr, "cannot write %s\n", path.c_str());
        std::exit(1);
    }
}

// The bytes of a string literal, NULs included, without the terminating one.
template <std::size_t N>
Bytes Text(const char (&text)[N]) {
    return Bytes(text, text + N - 1);
}

Bytes Encoded(FileFormat format, const Image& image, const tessellon::cli::Metadata& metadata = {},
              const tessellon::cli::WriteOptions& options = {}) {
    BytesSink sink;
    Bytes& bytes = sink.bytes;
    const std::string error = tessellon::cli::EncodeImageTo(format, image, sink, metadata, options);
    if (!error.empty()) {
        std::fprintf(stderr, "%s\n", error.c_str());
        std::exit(1);
    }
    return bytes;
}

// A PNG of a layout the project's encoder does not write (grey, 16-bit, palette, with
// or without Adam7 interlacing), through libpng's low-level writer.
Bytes Png(const fixtures::PngSpec& spec) { return fixtures::LowLevelPng(spec, fixtures::PatternPngRows(spec)); }

Bytes Jpeg(int width, int height, J_COLOR_SPACE colour, bool progressive) {
    fixtures::JpegSpec spec;
    spec.width = width;
    spec.height = height;
    spec.colour = colour;
    spec.quality = 50;
    spec.progressive = progressive;
    const int components = colour == JCS_GRAYSCALE ? 1 : colour == JCS_CMYK ? 4 : 3;
    return fixtures::JpegOf(spec, fixtures::PatternSamples(width, height, components));
}

// A small ICC profile for RGB data: a header and no tags.
Bytes IccProfile() {
    Bytes profile(132, 0);
    profile[3] = 132;
    const char* fields = "mntrRGB XYZ ";
    std::copy(fields, fields + 12, profile.begin() + 12);
    const char* signature = "acsp";
    std::copy(signature, signature + 4, profile.begin() + 36);
    return profile;
}

// ---- Small files that declare much, or ask for much work -----------------------------

// A lossy WebP of a 20 x 20 picture whose frame header says `size` x `size`.
Bytes LossyWebpClaiming(unsigned size) {
    Image noise(20, 20, 3);
    for (std::size_t i = 0; i < noise.bytes.size(); ++i) noise.bytes[i] = static_cast<std::uint8_t>((i * 2654435761u) >> 13);
    return fixtures::WebpClaiming(Encoded(FileFormat::webp, noise, {}, {10, std::nullopt}), size);
}

void WriteHostileImageSeeds(const fs::path& dir) {
    for (const char* type : {"tEXt", "zTXt", "iTXt", "eXIf", "sPLT"}) {
        Write(dir / (std::string("png_") + type + "_0x7fffffff.png"), fixtures::PngDeclaringAHugeChunk(type));
    }
    Write(dir / "png_interlaced_27000_74b.png", fixtures::PngInterlacedClaiming(27000));
    Write(dir / "png_interlaced_2000_74b.png", fixtures::PngInterlacedClaiming(2000));
    Write(dir / "webp_lossy_16383_no_data.webp", LossyWebpClaiming(16383));
    Write(dir / "webp_lossy_2000_no_data.webp", LossyWebpClaiming(2000));
    Write(dir / "jpeg_progressive_310_scans.jpg", fixtures::JpegOfRepeatedScans(16, 310));
    Write(dir / "jpeg_12bit_header.jpg", fixtures::AsTwelveBitJpeg(Jpeg(8, 8, JCS_GRAYSCALE, false)));
    Write(dir / "pam_0x0.pam", Text("P7\nWIDTH 0\nHEIGHT 0\nDEPTH 3\nMAXVAL 255\nENDHDR\n"));
    // TIFF photometric interpretations: 1 grey (min is black), 3 palette.
    Write(dir / "tiff_directory_loop.tif", fixtures::WithNextTiffDirectory(fixtures::HandTiff(4, 1, 1, {8}, {{10, 20, 30, 40}}), 8));
    Write(dir / "tiff_palette_16bit.tif",
          fixtures::HandTiff(4, 1, 3, {2}, {{0b00011011}},
                             {{320, 3, {0x1CF0, 0x00FF, 0xFF00, 0xFFFF, 0x8080, 0, 0, 0, 0, 0, 0, 0x1CF0}}}));
}

// ---- fuzz_run inputs, in the order fuzz_run.cpp reads them ---------------------------

struct RunSeed {
    int width = 16, height = 12;
    std::uint8_t flags = 0, more = 0, mode = 3;
    Bytes max_space{0};  // kind byte, then its value
    std::uint8_t row_padding = 7, record = 0;
    std::uint8_t back[3] = {255, 255, 255}, fore[3] = {0, 0, 0};
    std::uint8_t filter_rect[8] = {};
    std::uint8_t mask[4] = {};
    std::uint8_t abort_call = 0;
    std::int16_t advance_error = 0;
    std::int32_t controls[16] = {0, 0, 50, 0, 10, 4, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    std::uint32_t colours[8] = {0x00FFFFFF, 0, 0, 0, 0, 0, 0, 0};
    Bytes mask_bytes;
    Bytes pixels;

    Bytes Encode() const {
        Bytes b{static_cast<std::uint8_t>(width - 1), static_cast<std::uint8_t>(height - 1), flags, more, mode};
        b.insert(b.end(), max_space.begin(), max_space.end());
        b.push_back(row_padding);
        b.push_back(record);
        b.insert(b.end(), back, back + 3);
        b.insert(b.end(), fore, fore + 3);
        b.insert(b.end(), filter_rect, filter_rect + 8);
        b.insert(b.end(), mask, mask + 4);
        b.push_back(abort_call);
        Little(b, static_cast<std::uint16_t>(advance_error), 2);
        for (std::int32_t value : controls) {
            b.push_back(3);  // tag: a 32-bit value
            Little(b, static_cast<std::uint32_t>(value), 4);
        }
        for (std::uint32_t colour : colours) Little(b, colour, 4);
        b.insert(b.end(), mask_bytes.begin(), mask_bytes.end());
        b.insert(b.end(), pixels.begin(), pixels.end());
        return b;
    }
    static void Little(Bytes& b, std::uint32_t value, int count) {
        for (int i = 0; i < count; ++i) b.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
    }
};

Bytes SomePixels(std::size_t count) {
    Bytes pixels(count);
    for (std::size_t i = 0; i < count; ++i) pixels[i] = static_cast<std::uint8_t>(i * 7 + (i / 48) * 61);
    return pixels;
}

void WriteRunSeeds(const fs::path& dir) {
    RunSeed plain;
    plain.pixels = SomePixels(16 * 12 * 3);
    Write(dir / "defaults_16x12_rgb", plain.Encode());

    RunSeed wave = plain;  // overlap 20 each way, wave seam, Fit
    wave.controls[0] = wave.controls[1] = 20;
    wave.controls[10] = 1;
    wave.controls[15] = 1;
    Write(dir / "overlap_wave_fit", wave.Encode());

    RunSeed layer;  // RGBA layer, arbitrary mask, strips of three rows, a rectangle inside
    layer.width = 12;
    layer.height = 10;
    layer.flags = 0x01 | 0x02;
    layer.more = (2 << 2) | (1 << 4);
    layer.max_space = {3, 2, 0};
    layer.filter_rect[0] = 2;
    layer.filter_rect[1] = 1;
    layer.filter_rect[2] = 6;
    layer.filter_rect[3] = 9;
    layer.controls[0] = -40;
    layer.controls[1] = 75;
    layer.controls[3] = 128;
    layer.controls[10] = 3;
    layer.controls[13] = layer.controls[14] = 1;
    for (int i = 0; i < 12 * 10; ++i) layer.mask_bytes.push_back(static_cast<std::uint8_t>(i % 3 == 0 ? 0 : i * 19));
    layer.pixels = SomePixels(12 * 10 * 4);
    Write(dir / "layer_mask_strips", layer.Encode());

    RunSeed hostile;  // a filter rectangle reaching far outside, fractal seam, tiny budget
    hostile.width = 5;
    hostile.height = 33;
    hostile.more = 2 << 4;
    hostile.max_space = {1, 40, 0};
    const std::uint8_t rect[8] = {0xF0, 0xFF, 0x00, 0x80, 0x10, 0x00, 0xFF, 0x7F};
    std::copy(rect, rect + 8, hostile.filter_rect);
    hostile.controls[0] = hostile.controls[1] = 75;
    hostile.controls[5] = 128;
    hostile.controls[10] = 3;
    hostile.controls[15] = 1;
    Write(dir / "hostile_rect", hostile.Encode());

    RunSeed stopped;  // sampling host, rectangular selection, cancelled midway
    stopped.width = 40;
    stopped.height = 40;
    stopped.flags = 1 << 3;
    stopped.more = (1 << 2) | 0x40;
    stopped.mask[0] = 5;
    stopped.mask[1] = 3;
    stopped.mask[2] = 30;
    stopped.mask[3] = 20;
    stopped.abort_call = 4;
    stopped.max_space = {3, 7, 0};
    stopped.controls[2] = 100;
    stopped.controls[3] = 255;
    stopped.controls[4] = 100;
    Write(dir / "rect_mask_abort", stopped.Encode());

    Write(dir / "short", Bytes{0x07, 0x05});
}

// ---- fuzz_settings inputs, in the order fuzz_settings.cpp reads them -----------------

Bytes Value(std::uint32_t type, const Bytes& data) {
    Bytes b = Text("TSV1");
    for (int i = 0; i < 4; ++i) b.push_back(static_cast<std::uint8_t>(type >> (8 * i)));
    b.insert(b.end(), data.begin(), data.end());
    return b;
}

Bytes Int32s(std::initializer_list<std::int32_t> values) {
    Bytes b;
    for (std::int32_t v : values) {
        for (int i = 0; i < 4; ++i) b.push_back(static_cast<std::uint8_t>(static_cast<std::uint32_t>(v) >> (8 * i)));
    }
    return b;
}

// The per-key file: "TSK1", the number of values, then for each its name's length, the
// name, its type, its length and its bytes (32-bit little-endian numbers).
struct KeyValue {
    std::string name;
    std::uint32_t type;
    Bytes bytes;
};

Bytes KeyFile(std::initializer_list<KeyValue> values) {
    Bytes b = Text("TSK1");
    const auto number = [&b](std::size_t n) {
        for (int i = 0; i < 4; ++i) b.push_back(static_cast<std::uint8_t>(n >> (8 * i)));
    };
    number(values.size());
    for (const KeyValue& value : values) {
        number(value.name.size());
        b.insert(b.end(), value.name.begin(), value.name.end());
        number(value.type);
        number(value.bytes.size());
        b.insert(b.end(), value.bytes.begin(), value.bytes.end());
    }
    return b;
}

// Kinds: 0 absent, 1 file, 2 directory, 3 FIFO; SliderSettings in bits 0-1,
// CustomColors in 2-3, .values in 4-5, the key in 6-7 (0 directory, 1 missing, 2 file).
Bytes SettingsSeed(std::uint8_t kinds, std::uint8_t flags, std::initializer_list<Bytes> files) {
    Bytes b{kinds, flags};
    for (const Bytes& file : files) {
        b.push_back(static_cast<std::uint8_t>(file.size()));
        b.push_back(static_cast<std::uint8_t>(file.size() >> 8));
        b.insert(b.end(), file.begin(), file.end());
    }
    return b;
}

void WriteSettingsSeeds(const fs::path& dir) {
    const Bytes sliders = Value(3, Int32s({20, 20, 50, 0, 10, 4, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1}));
    const Bytes colours = Value(3, Int32s({0x336699, 0, 0, 0, 0, 0, 0, 0}));
    Write(dir / "both_values", SettingsSeed(0x05, 0, {sliders, colours}));
    Write(dir / "short_and_other_type",
          SettingsSeed(0x05, 1, {Value(3, Int32s({-500, 900, 3})), Value(4, Int32s({1, 2, 3, 4, 5, 6, 7, 8}))}));
    Write(dir / "too_long_and_bad_magic",
          SettingsSeed(0x05, 0, {Value(3, Bytes(80, 0x41)), Text("TSV0\x03\0\0\0abcd")}));
    const Bytes key_file = KeyFile({{"SliderSettings", 3, Int32s({-76, 75, 0, 255, 100, 128, 100, 100, 0, 0, 2, 0, 0,
                                                                     1, 1, 0})},
                                    {"CustomColors", 3, Int32s({0x00FF00, 1, 2, 3, 4, 5, 6, 7})}});
    Write(dir / "per_key_file", SettingsSeed(0x10, 0, {key_file}));
    // The per-key file wins over older per-value files; a damaged one leaves them in use.
    Write(dir / "per_key_file_and_values", SettingsSeed(0x15, 0, {sliders, colours, key_file}));
    Bytes truncated = key_file;
    truncated.resize(key_file.size() - 5);
    Write(dir / "per_key_file_truncated", SettingsSeed(0x15, 0, {sliders, colours, truncated}));
    Write(dir / "per_key_file_twice_the_same_name",
          SettingsSeed(0x10, 0, {KeyFile({{"CustomColors", 3, Int32s({1})}, {"CustomColors", 3, Int32s({2})}})}));
    Write(dir / "directories", SettingsSeed(0x2A, 0, {}));
    Write(dir / "fifos", SettingsSeed(0x3F, 1, {}));
    Write(dir / "key_is_a_file", SettingsSeed(0x80, 0, {Text("not a directory")}));
    Write(dir / "no_key", SettingsSeed(0x40, 0, {}));
}

void WriteImageSeeds(const fs::path& dir) {
    const Image rgb = PatternImage(3, 2, 3);
    const Image rgba = PatternImage(2, 2, 4);
    Write(dir / "rgb_3x2.png", Encoded(FileFormat::png, rgb));
    Write(dir / "rgba_2x2.png", Encoded(FileFormat::png, rgba));
    Write(dir / "rgb_3x2.ppm", Encoded(FileFormat::ppm, rgb));
    Write(dir / "rgb_3x2.pam", Encoded(FileFormat::pam, rgb));
    Write(dir / "rgba_2x2.pam", Encoded(FileFormat::pam, rgba));
    Write(dir / "grey_3x3.png", Png({3, 3, PNG_COLOR_TYPE_GRAY, 8, false}));
    Write(dir / "grey_alpha_16bit_2x2.png", Png({2, 2, PNG_COLOR_TYPE_GRAY_ALPHA, 16, false}));
    Write(dir / "palette_4x2.png", Png({4, 2, PNG_COLOR_TYPE_PALETTE, 2, false}));
    Write(dir / "rgb_interlaced_9x9.png", Png({9, 9, PNG_COLOR_TYPE_RGB, 8, true}));
    Write(dir / "rgb_8x8.jpg", Jpeg(8, 8, JCS_RGB, false));
    Write(dir / "grey_8x8.jpg", Jpeg(8, 8, JCS_GRAYSCALE, false));
    Write(dir / "rgb_progressive_17x9.jpg", Jpeg(17, 9, JCS_RGB, true));
    Write(dir / "16bit_comment.ppm", Text("P6\n# a comment\n2 1\n65535\n\x01\x02\x03\x04\x05\x06\x07\x08\x09\x0a\x0b\x0c"));
    Write(dir / "grey.pam", Text("P7\nWIDTH 2\nHEIGHT 1\nDEPTH 1\nMAXVAL 255\nTUPLTYPE GRAYSCALE\nENDHDR\n\x10\x20"));
    Write(dir / "grey_alpha.pam", Text("P7\nWIDTH 1\nHEIGHT 1\nDEPTH 2\nMAXVAL 255\nTUPLTYPE GRAYSCALE_ALPHA\nENDHDR\n\x10\x80"));
    // CMYK JPEG: Adobe's inverted samples with a CMYK profile, YCCK, and one without
    // the Adobe marker whose profile is for RGB data.
    fixtures::JpegSpec cmyk;
    cmyk.colour = JCS_CMYK;
    cmyk.quality = 50;
    cmyk.icc = fixtures::CmykProfile();
    Write(dir / "cmyk_adobe_icc_8x8.jpg", fixtures::JpegOf(cmyk, fixtures::PatternSamples(8, 8, 4)));
    cmyk.icc = {};
    cmyk.ycck = true;
    Write(dir / "ycck_adobe_8x8.jpg", fixtures::JpegOf(cmyk, fixtures::PatternSamples(8, 8, 4)));
    cmyk.ycck = false;
    cmyk.adobe_marker = false;
    cmyk.icc = IccProfile();
    Write(dir / "cmyk_rgb_icc_8x8.jpg", fixtures::JpegOf(cmyk, fixtures::PatternSamples(8, 8, 4)));
    // WebP lossless and lossy (with an alpha chunk), TIFF with deflate and a profile.
    tessellon::cli::Metadata profiled;
    profiled.icc = IccProfile();
    Write(dir / "rgb_3x2.webp", Encoded(FileFormat::webp, rgb));
    Write(dir / "rgba_2x2_lossy.webp", Encoded(FileFormat::webp, rgba, {}, {50, std::nullopt}));
    Write(dir / "rgb_3x2_icc.webp", Encoded(FileFormat::webp, rgb, profiled));
    Write(dir / "rgb_3x2.tif", Encoded(FileFormat::tiff, rgb));
    Write(dir / "rgba_2x2_icc.tif", Encoded(FileFormat::tiff, rgba, profiled));
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: fuzz_make_seeds <corpus directory>\n");
        return 2;
    }
    const fs::path root = argv[1];
    WriteImageSeeds(root / "fuzz_image_read");
    WriteHostileImageSeeds(root / "fuzz_image_read");
    WriteRunSeeds(root / "fuzz_run");
    WriteSettingsSeeds(root / "fuzz_settings");
    return 0;
}
