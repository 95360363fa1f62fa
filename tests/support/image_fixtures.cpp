// Image files put together for the readers' tests and the fuzz seeds (see the header).
#include "tests/support/image_fixtures.h"

#include <algorithm>
#include <csetjmp>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include <lcms2.h>
#include <png.h>
#include <tiffio.h>
#include <unistd.h>
#include <zlib.h>

namespace tessellon::fixtures {
namespace {

[[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "image fixture: %s\n", what);
    std::abort();
}

int Components(J_COLOR_SPACE colour) {
    switch (colour) {
        case JCS_GRAYSCALE: return 1;
        case JCS_RGB: return 3;
        case JCS_CMYK: return 4;
        default: Fail("JpegOf takes grey, RGB or CMYK samples");
    }
}

}  // namespace

// ---- JPEG -------------------------------------------------------------------------

Bytes JpegOf(const JpegSpec& spec, const Bytes& samples) {
    const int components = Components(spec.colour);
    if (samples.size() != static_cast<std::size_t>(spec.width) * static_cast<std::size_t>(spec.height) *
                              static_cast<std::size_t>(components)) {
        Fail("JpegOf: the samples do not fill the image");
    }
    jpeg_compress_struct info{};
    jpeg_error_mgr error{};
    info.err = jpeg_std_error(&error);  // its errors end the process
    jpeg_create_compress(&info);
    unsigned char* buffer = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&info, &buffer, &size);
    info.image_width = static_cast<JDIMENSION>(spec.width);
    info.image_height = static_cast<JDIMENSION>(spec.height);
    info.input_components = components;
    info.in_color_space = spec.colour;
    jpeg_set_defaults(&info);
    if (spec.colour == JCS_CMYK) {
        jpeg_set_colorspace(&info, spec.ycck ? JCS_YCCK : JCS_CMYK);
        info.write_Adobe_marker = spec.adobe_marker ? TRUE : FALSE;
    }
    jpeg_set_quality(&info, spec.quality, TRUE);
    if (spec.full_chroma) {
        for (int c = 0; c < info.num_components; ++c) info.comp_info[c].h_samp_factor = info.comp_info[c].v_samp_factor = 1;
    }
    if (!spec.scans.empty()) {
        info.scan_info = spec.scans.data();
        info.num_scans = static_cast<int>(spec.scans.size());
    } else if (spec.progressive) {
        jpeg_simple_progression(&info);
    }
    jpeg_start_compress(&info, TRUE);
    for (const auto& [code, data] : spec.markers) {
        jpeg_write_marker(&info, code, data.data(), static_cast<unsigned int>(data.size()));
    }
    if (!spec.icc.empty()) jpeg_write_icc_profile(&info, spec.icc.data(), static_cast<unsigned int>(spec.icc.size()));
    const std::size_t row_bytes = static_cast<std::size_t>(spec.width) * static_cast<std::size_t>(components);
    while (info.next_scanline < info.image_height) {
        // libjpeg reads the rows it is given and never writes to them.
        JSAMPROW row = const_cast<JSAMPLE*>(&samples[info.next_scanline * row_bytes]);
        jpeg_write_scanlines(&info, &row, 1);
    }
    jpeg_finish_compress(&info);
    jpeg_destroy_compress(&info);
    Bytes bytes(buffer, buffer + size);
    std::free(buffer);
    return bytes;
}

Bytes PatternSamples(int width, int height, int components) {
    const std::size_t row_bytes = static_cast<std::size_t>(width) * static_cast<std::size_t>(components);
    Bytes samples(row_bytes * static_cast<std::size_t>(height));
    for (std::size_t y = 0; y < static_cast<std::size_t>(height); ++y) {
        for (std::size_t i = 0; i < row_bytes; ++i) samples[y * row_bytes + i] = static_cast<std::uint8_t>(i * 13 + y * 29);
    }
    return samples;
}

Bytes JpegOfRepeatedScans(int size, int count) {
    JpegSpec spec;
    spec.width = spec.height = size;
    spec.colour = JCS_GRAYSCALE;
    spec.quality = 75;
    spec.scans = {{1, {0, 0, 0, 0}, 0, 0, 0, 0}, {1, {0, 0, 0, 0}, 1, 63, 0, 0}};
    const Bytes jpeg = JpegOf(spec, Bytes(static_cast<std::size_t>(size) * static_cast<std::size_t>(size), 120));
    // The markers after the first scan's data (a Huffman table, the second SOS, its
    // data) up to EOI make the second scan. In scan data a 0xFF byte is followed by 0
    // or a restart marker.
    std::vector<std::size_t> markers;
    for (std::size_t i = 2; i + 1 < jpeg.size(); ++i) {
        if (jpeg[i] == 0xFF && jpeg[i + 1] != 0 && jpeg[i + 1] != 0xFF && (jpeg[i + 1] < 0xD0 || jpeg[i + 1] > 0xD7)) {
            markers.push_back(i);
        }
    }
    std::size_t first_sos = 0;
    while (first_sos < markers.size() && jpeg[markers[first_sos] + 1] != 0xDA) ++first_sos;
    if (first_sos + 1 >= markers.size()) Fail("JpegOfRepeatedScans: no second scan");
    const std::size_t from = markers[first_sos + 1];
    const std::size_t to = jpeg.size() - 2;  // EOI
    Bytes out(jpeg.begin(), jpeg.begin() + static_cast<std::ptrdiff_t>(to));
    for (int i = 2; i < count; ++i) {
        out.insert(out.end(), jpeg.begin() + static_cast<std::ptrdiff_t>(from), jpeg.begin() + static_cast<std::ptrdiff_t>(to));
    }
    out.insert(out.end(), {0xFF, 0xD9});
    return out;
}

Bytes AsTwelveBitJpeg(Bytes jpeg) {
    for (std::size_t i = 2; i + 4 < jpeg.size(); ++i) {
        if (jpeg[i] == 0xFF && jpeg[i + 1] == 0xC0) {
            jpeg[i + 1] = 0xC1;
            jpeg[i + 4] = 12;
            return jpeg;
        }
    }
    Fail("AsTwelveBitJpeg: no baseline frame marker");
}

// ---- PNG --------------------------------------------------------------------------

const char kPngSignature[9] = "\x89PNG\r\n\x1a\n";

void AppendBig32(Bytes& bytes, std::uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8) bytes.push_back(static_cast<std::uint8_t>(value >> shift));
}

void AppendLittle32(Bytes& bytes, std::uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8) bytes.push_back(static_cast<std::uint8_t>(value >> shift));
}

void AppendPngChunk(Bytes& png, const char* type, const Bytes& data) {
    AppendBig32(png, static_cast<std::uint32_t>(data.size()));
    const std::size_t start = png.size();
    png.insert(png.end(), type, type + 4);
    png.insert(png.end(), data.begin(), data.end());
    AppendBig32(png, static_cast<std::uint32_t>(crc32(0, png.data() + start, static_cast<uInt>(png.size() - start))));
}

Bytes PngHeader(std::uint32_t width, std::uint32_t height, int depth, int colour_type, bool interlaced) {
    Bytes header;
    AppendBig32(header, width);
    AppendBig32(header, height);
    header.insert(header.end(), {static_cast<std::uint8_t>(depth), static_cast<std::uint8_t>(colour_type), 0, 0,
                                 static_cast<std::uint8_t>(interlaced ? 1 : 0)});
    return header;
}

Bytes LowLevelPng(const PngSpec& spec, const std::vector<Bytes>& rows) {
    Bytes out;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    if (setjmp(png_jmpbuf(png))) Fail("libpng could not write the image");
    png_set_write_fn(
        png, &out,
        [](png_structp p, png_bytep data, png_size_t size) {
            auto* bytes = static_cast<Bytes*>(png_get_io_ptr(p));
            bytes->insert(bytes->end(), data, data + size);
        },
        nullptr);
    png_set_IHDR(png, info, static_cast<png_uint_32>(spec.width), static_cast<png_uint_32>(spec.height), spec.depth,
                 spec.colour_type, spec.interlaced ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    if (spec.colour_type == PNG_COLOR_TYPE_PALETTE) {
        png_color palette[4] = {{0, 0, 0}, {255, 0, 0}, {0, 255, 0}, {10, 20, 30}};
        png_set_PLTE(png, info, palette, 4);
        png_byte alpha[2] = {0, 128};
        png_set_tRNS(png, info, alpha, 2, nullptr);
    }
    png_write_info(png, info);
    if (rows.size() != static_cast<std::size_t>(spec.height)) Fail("LowLevelPng: a row for each line is needed");
    std::vector<png_bytep> pointers;
    for (const Bytes& row : rows) {
        if (row.size() < png_get_rowbytes(png, info)) Fail("LowLevelPng: a row is too short");
        pointers.push_back(const_cast<png_bytep>(row.data()));  // libpng only reads them
    }
    png_write_image(png, pointers.data());
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return out;
}

std::vector<Bytes> PatternPngRows(const PngSpec& spec) {
    const int channels = spec.colour_type == PNG_COLOR_TYPE_RGB         ? 3
                         : spec.colour_type == PNG_COLOR_TYPE_RGB_ALPHA ? 4
                         : spec.colour_type == PNG_COLOR_TYPE_GRAY_ALPHA ? 2
                                                                         : 1;
    const std::size_t row_bytes =
        (static_cast<std::size_t>(spec.width) * static_cast<std::size_t>(channels * spec.depth) + 7) / 8;
    std::vector<Bytes> rows(static_cast<std::size_t>(spec.height), Bytes(row_bytes));
    for (std::size_t y = 0; y < rows.size(); ++y) {
        for (std::size_t i = 0; i < row_bytes; ++i) rows[y][i] = static_cast<std::uint8_t>(y * 37 + i * 11);
    }
    return rows;
}

Bytes PngDeclaringAHugeChunk(const char* type) {
    Bytes png = Text(kPngSignature);
    AppendPngChunk(png, "IHDR", PngHeader(1, 1, 8, PNG_COLOR_TYPE_RGB, false));
    AppendBig32(png, 0x7FFFFFFF);
    png.insert(png.end(), type, type + 4);
    png.insert(png.end(), {'k', 0, 'x'});
    return png;
}

Bytes PngInterlacedClaiming(std::uint32_t size) {
    Bytes png = Text(kPngSignature);
    AppendPngChunk(png, "IHDR", PngHeader(size, size, 8, PNG_COLOR_TYPE_RGB, true));
    Bytes row(4000, 0);
    uLongf length = compressBound(static_cast<uLong>(row.size()));
    Bytes packed(length);
    if (compress(packed.data(), &length, row.data(), static_cast<uLong>(row.size())) != Z_OK) Fail("zlib failed");
    packed.resize(17);
    AppendPngChunk(png, "IDAT", packed);
    AppendPngChunk(png, "IEND", {});
    return png;
}

// ---- WebP -------------------------------------------------------------------------

Bytes WebpClaiming(Bytes webp, unsigned size) {
    // RIFF header, "VP8 " chunk header, frame tag, start code, then the 14-bit sizes.
    if (webp.size() < 30 || std::memcmp(webp.data() + 12, "VP8 ", 4) != 0 || webp[23] != 0x9D) return {};
    for (const std::size_t at : {26u, 28u}) {
        webp[at] = static_cast<std::uint8_t>(size);
        webp[at + 1] = static_cast<std::uint8_t>(size >> 8);
    }
    return webp;
}

// ---- TIFF -------------------------------------------------------------------------

Bytes HandTiff(std::uint32_t width, std::uint32_t height, std::uint32_t photometric, const std::vector<std::uint32_t>& bits,
               const std::vector<Bytes>& strips, std::vector<TiffTag> tags) {
    std::vector<std::uint32_t> counts;
    for (const Bytes& strip : strips) counts.push_back(static_cast<std::uint32_t>(strip.size()));
    tags.push_back({256, 4, {width}});
    tags.push_back({257, 4, {height}});
    tags.push_back({258, 3, bits});
    tags.push_back({262, 3, {photometric}});
    tags.push_back({273, 4, std::vector<std::uint32_t>(strips.size(), 0)});  // the offsets, set below
    tags.push_back({277, 3, {static_cast<std::uint32_t>(bits.size())}});
    tags.push_back({278, 4, {height}});
    tags.push_back({279, 4, counts});
    if (strips.size() > 1) tags.push_back({284, 3, {2}});
    std::sort(tags.begin(), tags.end(), [](const TiffTag& a, const TiffTag& b) { return a.tag < b.tag; });
    const auto value_bytes = [](const TiffTag& tag) { return static_cast<std::uint32_t>(tag.values.size()) * (tag.type == 4 ? 4u : 2u); };
    const std::uint32_t spill = 8 + 2 + 12 * static_cast<std::uint32_t>(tags.size()) + 4;
    std::uint32_t next = spill;
    for (const TiffTag& tag : tags) {
        if (value_bytes(tag) > 4) next += value_bytes(tag);
    }
    for (TiffTag& tag : tags) {
        if (tag.tag != 273) continue;
        for (std::size_t i = 0; i < strips.size(); ++i) {
            tag.values[i] = next;
            next += counts[i];
        }
    }
    Bytes tiff = Text(std::string("II*\0\x08\0\0\0", 8));
    Bytes values;
    tiff.push_back(static_cast<std::uint8_t>(tags.size()));
    tiff.push_back(0);
    for (const TiffTag& tag : tags) {
        Bytes data;
        for (std::uint32_t v : tag.values) {
            for (unsigned i = 0; i < (tag.type == 4 ? 4u : 2u); ++i) data.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
        }
        tiff.insert(tiff.end(), {static_cast<std::uint8_t>(tag.tag), static_cast<std::uint8_t>(tag.tag >> 8),
                                 static_cast<std::uint8_t>(tag.type), 0});
        AppendLittle32(tiff, static_cast<std::uint32_t>(tag.values.size()));
        if (data.size() <= 4) {
            data.resize(4, 0);
            tiff.insert(tiff.end(), data.begin(), data.end());
        } else {
            AppendLittle32(tiff, spill + static_cast<std::uint32_t>(values.size()));
            values.insert(values.end(), data.begin(), data.end());
        }
    }
    AppendLittle32(tiff, 0);
    tiff.insert(tiff.end(), values.begin(), values.end());
    for (const Bytes& strip : strips) tiff.insert(tiff.end(), strip.begin(), strip.end());
    return tiff;
}

Bytes WithNextTiffDirectory(Bytes tiff, std::uint32_t next) {
    const std::size_t entries = tiff[8] | tiff[9] << 8;
    const std::size_t at = 8 + 2 + 12 * entries;
    for (int i = 0; i < 4; ++i) tiff[at + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(next >> (8 * i));
    return tiff;
}

// ---- CMYK ---------------------------------------------------------------------------

void SimpleCmykInverse(const std::uint8_t* cmyk, std::uint8_t* rgb) {
    for (int c = 0; c < 3; ++c) rgb[c] = static_cast<std::uint8_t>(255 - std::min(255, cmyk[c] + cmyk[3]));
}

namespace {

// A node of the profile's table: the simple inverse's colour, bluer, as Lab.
cmsInt32Number SampleCmykNode(const cmsUInt16Number in[], cmsUInt16Number out[], void* to_lab) {
    std::uint8_t ink[4], rgb[3];
    for (int i = 0; i < 4; ++i) ink[i] = static_cast<std::uint8_t>(in[i] >> 8);
    SimpleCmykInverse(ink, rgb);
    const double colour[3] = {rgb[0] / 255.0, rgb[1] / 255.0, rgb[2] / 255.0 + (1 - rgb[2] / 255.0) / 5};
    cmsCIELab lab;
    cmsDoTransform(to_lab, colour, &lab, 1);
    cmsFloat2LabEncoded(out, &lab);
    return 1;
}

}  // namespace

Bytes CmykProfile() {
    cmsHPROFILE srgb = cmsCreate_sRGBProfile();
    cmsHPROFILE lab = cmsCreateLab4Profile(nullptr);
    cmsHTRANSFORM to_lab = cmsCreateTransform(srgb, TYPE_RGB_DBL, lab, TYPE_Lab_DBL, INTENT_RELATIVE_COLORIMETRIC, 0);
    cmsCloseProfile(srgb);
    cmsCloseProfile(lab);
    if (to_lab == nullptr) Fail("Little CMS cannot convert sRGB to Lab");
    cmsHPROFILE profile = cmsCreateProfilePlaceholder(nullptr);
    // Version 2: its table type (lut16) takes a bare CLUT, where version 4's needs curves.
    cmsSetProfileVersion(profile, 2.1);
    cmsSetDeviceClass(profile, cmsSigOutputClass);
    cmsSetColorSpace(profile, cmsSigCmykData);
    cmsSetPCS(profile, cmsSigLabData);
    cmsPipeline* table = cmsPipelineAlloc(nullptr, 4, 3);
    cmsStage* clut = cmsStageAllocCLut16bit(nullptr, 5, 4, 3, nullptr);
    cmsStageSampleCLut16bit(clut, SampleCmykNode, to_lab, 0);
    cmsPipelineInsertStage(table, cmsAT_END, clut);
    cmsWriteTag(profile, cmsSigAToB0Tag, table);
    cmsWriteTag(profile, cmsSigMediaWhitePointTag, cmsD50_XYZ());
    cmsPipelineFree(table);
    cmsDeleteTransform(to_lab);
    cmsUInt32Number size = 0;
    Bytes bytes;
    if (cmsSaveProfileToMem(profile, nullptr, &size) != 0) {
        bytes.resize(size);
        if (cmsSaveProfileToMem(profile, bytes.data(), &size) == 0) bytes.clear();
    }
    cmsCloseProfile(profile);
    if (bytes.size() < 132) Fail("Little CMS could not write the CMYK profile");
    return bytes;
}

// ---- What a file holds -------------------------------------------------------------

std::string StoredColours(const Bytes& file) {
    const auto named = [](bool colour, bool alpha) { return std::string(colour ? "rgb" : "grey") + (alpha ? "+alpha" : ""); };
    if (file.size() >= 8 && std::memcmp(file.data(), kPngSignature, 8) == 0) {
        png_image image{};
        image.version = PNG_IMAGE_VERSION;
        if (png_image_begin_read_from_memory(&image, file.data(), file.size()) == 0) return "unknown";
        const png_uint_32 format = image.format;
        png_image_free(&image);
        return named((format & PNG_FORMAT_FLAG_COLOR) != 0, (format & PNG_FORMAT_FLAG_ALPHA) != 0);
    }
    if (file.size() >= 3 && file[0] == 0xFF && file[1] == 0xD8 && file[2] == 0xFF) {
        jpeg_decompress_struct info{};
        jpeg_error_mgr error{};
        info.err = jpeg_std_error(&error);
        jpeg_create_decompress(&info);
        jpeg_mem_src(&info, file.data(), static_cast<unsigned long>(file.size()));
        jpeg_read_header(&info, TRUE);
        const J_COLOR_SPACE space = info.jpeg_color_space;
        jpeg_destroy_decompress(&info);
        if (space == JCS_CMYK || space == JCS_YCCK) return "cmyk";
        return named(space != JCS_GRAYSCALE, false);
    }
    if (file.size() >= 4 && (std::memcmp(file.data(), "II*\0", 4) == 0 || std::memcmp(file.data(), "MM\0*", 4) == 0)) {
        // libtiff reads by name: the bytes go to a file of their own for the look.
        std::string name = (std::filesystem::temp_directory_path() / "tessellon-stored-XXXXXX").string();
        const int fd = mkstemp(name.data());
        const char* path = name.c_str();
        if (fd < 0) return "unknown";
        const bool written = write(fd, file.data(), file.size()) == static_cast<ssize_t>(file.size());
        close(fd);
        std::string colours = "unknown";
        if (TIFF* tiff = written ? TIFFOpen(path, "r") : nullptr) {
            std::uint16_t photometric = 0, samples = 1;
            TIFFGetField(tiff, TIFFTAG_PHOTOMETRIC, &photometric);
            TIFFGetFieldDefaulted(tiff, TIFFTAG_SAMPLESPERPIXEL, &samples);
            TIFFClose(tiff);
            if (photometric == PHOTOMETRIC_MINISBLACK) colours = named(false, samples == 2);
            if (photometric == PHOTOMETRIC_RGB) colours = named(true, samples == 4);
        }
        unlink(path);
        return colours;
    }
    if (file.size() >= 3 && file[0] == 'P' && file[1] == '7') {
        const std::string text(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(std::min<std::size_t>(file.size(), 200)));
        const std::size_t at = text.find("\nTUPLTYPE ");
        if (at == std::string::npos) return "unknown";
        const std::string type = text.substr(at + 10, text.find('\n', at + 10) - (at + 10));
        if (type == "GRAYSCALE") return "grey";
        if (type == "GRAYSCALE_ALPHA") return "grey+alpha";
        if (type == "RGB") return "rgb";
        if (type == "RGB_ALPHA") return "rgb+alpha";
    }
    return "unknown";
}

}  // namespace tessellon::fixtures
