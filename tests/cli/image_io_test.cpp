// Image files of the command-line host: round trips, conversions of grey, 16-bit and
// palette images, the bundled JPEG, and damaged files that must give an error (run
// under the sanitizers too, where a bad read would show).
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

// jpeglib.h needs size_t and FILE declared first.
#include <jpeglib.h>
#include <png.h>
#include <zlib.h>

#include "cli/image_io.h"
#include "cli/progress.h"

namespace tessellon::cli {
namespace {

using Bytes = std::vector<std::uint8_t>;

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
    jpeg_compress_struct info{};
    jpeg_error_mgr error{};
    info.err = jpeg_std_error(&error);
    jpeg_create_compress(&info);
    unsigned char* buffer = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&info, &buffer, &size);
    info.image_width = static_cast<JDIMENSION>(width);
    info.image_height = static_cast<JDIMENSION>(height);
    info.input_components = 1;
    info.in_color_space = JCS_GRAYSCALE;
    jpeg_set_defaults(&info);
    jpeg_set_quality(&info, 100, TRUE);
    jpeg_start_compress(&info, TRUE);
    std::vector<JSAMPLE> row(static_cast<std::size_t>(width), level);
    while (info.next_scanline < info.image_height) {
        JSAMPROW rows[1] = {row.data()};
        jpeg_write_scanlines(&info, rows, 1);
    }
    jpeg_finish_compress(&info);
    jpeg_destroy_compress(&info);
    Bytes bytes(buffer, buffer + size);
    std::free(buffer);
    return bytes;
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

Bytes Text(const std::string& text) { return Bytes(text.begin(), text.end()); }

TEST(CliImageIoTest, RoundTripsKeepEveryByte) {
    for (FileFormat format : {FileFormat::png, FileFormat::ppm, FileFormat::pam}) {
        for (int planes : {3, 4}) {
            SCOPED_TRACE(std::string(FormatName(format)) + " " + std::to_string(planes));
            const Image image = memhost::PatternImage(13, 7, planes);
            Bytes bytes;
            const std::string error = EncodeImage(format, image, bytes);
            if (format == FileFormat::ppm && planes == 4) {
                EXPECT_NE(error.find("no alpha plane"), std::string::npos) << error;
                continue;
            }
            ASSERT_EQ(error, "");
            const DecodeResult decoded = DecodeImage(bytes);
            ASSERT_TRUE(decoded.ok) << decoded.error;
            EXPECT_EQ(decoded.image, image);
            EXPECT_TRUE(decoded.notes.empty());
        }
    }
}

TEST(CliImageIoTest, FilesAreChosenByExtensionAndWrittenWhole) {
    const std::string directory = ::testing::TempDir() + "tessellon-io-" + std::to_string(getpid());
    std::filesystem::create_directories(directory);
    const Image image = memhost::PatternImage(9, 4, 4);
    ASSERT_EQ(WriteImageFile(directory + "/a.PNG", image), "");
    const DecodeResult read = ReadImageFile(directory + "/a.PNG");
    ASSERT_TRUE(read.ok) << read.error;
    EXPECT_EQ(read.image, image);
    EXPECT_EQ(OutputFormatFor("x.Pam"), FileFormat::pam);
    EXPECT_FALSE(OutputFormatFor("x.jpg").has_value());
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
        {"ppm too wide", Text("P6\n40000 1\n255\n"), "32767"},
        {"ppm without pixels", Text("P6\n0 5\n255\n"), "the image is empty"},
        {"ppm 16-bit", Text("P6\n1 1\n65535\n"), "maxval 65535 is not supported"},
        {"ppm header cut", Text("P6\n2"), "damaged PPM header"},
        {"pam without end", Text("P7\nWIDTH 1\nHEIGHT 1\nDEPTH 3\nMAXVAL 255\n"), "no ENDHDR"},
        {"pam grey", Text("P7\nWIDTH 1\nHEIGHT 1\nDEPTH 1\nMAXVAL 255\nTUPLTYPE GRAYSCALE\nENDHDR\n\x01"),
         "TUPLTYPE 'GRAYSCALE' with DEPTH 1 is not supported"},
        {"pam bad number", Text("P7\nWIDTH x\nENDHDR\n"), "damaged PAM header line 'WIDTH x'"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const DecodeResult decoded = DecodeImage(c.bytes);
        EXPECT_FALSE(decoded.ok);
        EXPECT_NE(decoded.error.find(c.message), std::string::npos) << decoded.error;
    }
}

// A PNG chunk: length, type, data and the checksum over type and data.
void AppendChunk(Bytes& png, const char* type, const Bytes& data) {
    for (int shift = 24; shift >= 0; shift -= 8) png.push_back(static_cast<std::uint8_t>(data.size() >> shift));
    const std::size_t start = png.size();
    png.insert(png.end(), type, type + 4);
    png.insert(png.end(), data.begin(), data.end());
    const uLong crc = crc32(0, png.data() + start, static_cast<uInt>(png.size() - start));
    for (int shift = 24; shift >= 0; shift -= 8) png.push_back(static_cast<std::uint8_t>(crc >> shift));
}

// A PNG of a few dozen bytes that declares a 32767 x 32767 RGB image and holds the
// start of its first row only.
Bytes HugeDeclaredPng() {
    Bytes png = Text("\x89PNG\r\n\x1a\n");
    AppendChunk(png, "IHDR", Bytes{0, 0, 0x7F, 0xFF, 0, 0, 0x7F, 0xFF, 8, 2, 0, 0, 0});
    Bytes row(64, 0);
    uLongf size = compressBound(static_cast<uLong>(row.size()));
    Bytes packed(size);
    EXPECT_EQ(compress(packed.data(), &size, row.data(), static_cast<uLong>(row.size())), Z_OK);
    packed.resize(size / 2);  // the stream stops partway
    AppendChunk(png, "IDAT", packed);
    return png;
}

// Decodes `bytes` read through a pipe, so that the reader cannot know the size, in a
// child process whose address space is limited to 2 GiB: a reader that reserved the
// declared image (3.2 GB) would fail with "out of memory" instead of the expected
// message. Returns the child's error text.
std::string DecodeThroughPipeWithLittleMemory(const Bytes& bytes, const ReadLimits& limits = {}) {
    int data[2], report[2];
    if (pipe(data) != 0 || pipe(report) != 0) return "(no pipe)";
    const pid_t child = fork();
    if (child == 0) {
        close(data[1]);
        close(report[0]);
#if !defined(__SANITIZE_ADDRESS__)
        // The sanitizer reserves terabytes of address space; there the bound is not set.
        const rlimit limit{rlim_t{2} << 30, rlim_t{2} << 30};
        setrlimit(RLIMIT_AS, &limit);
#endif
        std::string text;
        try {
            std::FILE* file = fdopen(data[0], "rb");
            const DecodeResult result = ReadImageStream(file, "pipe", limits);
            text = result.ok ? "(decoded)" : result.error;
        } catch (const std::bad_alloc&) {
            text = "out of memory";
        }
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
    return text;
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

    // The pixel limit, below the interface's own.
    const Bytes small = Encoded(FileFormat::ppm, memhost::PatternImage(8, 6, 3));
    EXPECT_TRUE(DecodeImage(small, ReadLimits{48}).ok);
    EXPECT_NE(DecodeImage(small, ReadLimits{47}).error.find("8x6 = 48 pixels, more than the limit of 47"),
              std::string::npos);
    EXPECT_NE(DecodeThroughPipeWithLittleMemory(Encoded(FileFormat::png, memhost::PatternImage(8, 6, 3)),
                                                ReadLimits{47})
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

TEST(CliProgressTest, TheBarFollowsTheShareDone) {
    EXPECT_EQ(ProgressLine(0, 0, 10), "[..........]   0%") << "no total, no division by zero";
    EXPECT_EQ(ProgressLine(50, 100, 10), "[#####.....]  50%");
    EXPECT_EQ(ProgressLine(7, 3, 10), "[##########] 100%");
    EXPECT_EQ(ProgressLine(-5, 3, 4), "[....]   0%");
}

}  // namespace
}  // namespace tessellon::cli
