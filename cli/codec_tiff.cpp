// TIFF files through libtiff: the reader (RGB, grey and palette images of the usual
// bit depths, interleaved or planar, in strips or tiles, with alpha, the ICC profile and
// the orientation tag) and the writer (8-bit RGB or RGBA, deflate with the horizontal
// predictor, with the ICC profile). libtiff returns its errors.
//
// A TIFF file's directory and strips may lie anywhere in it, so libtiff reads by
// position: from memory, from a regular file by offset (which leaves the stream's own
// position alone) or, for a stream such as a pipe, from its bytes read into memory
// first, up to what an image at the pixel limit could take. The declared size is
// checked against the limits, and against what the file's size can hold at the
// compression's best ratio, before any row is read; the rows then go into the growing
// buffer strip by strip or tile row by tile row.
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <memory>

#include <tiffio.h>

#include "cli/image_io_internal.h"

namespace tessellon::cli::imageio {

namespace {

// The bytes libtiff reads or writes, and its first error message.
struct TiffIo {
    const std::uint8_t* memory = nullptr;  // reading from memory, or
    int fd = -1;                           // from a file,
    std::uint64_t offset = 0;              // from this offset on
    std::uint64_t size = 0;
    std::uint64_t position = 0;
    bool writing = false;
    std::vector<std::uint8_t> bytes;  // written
    char error[kMessageSize] = {};
};

std::uint64_t TiffSize(const TiffIo& io) { return io.writing ? io.bytes.size() : io.size; }

tmsize_t TiffReadProc(thandle_t handle, void* out, tmsize_t count) {
    auto* io = static_cast<TiffIo*>(handle);
    const std::uint64_t size = TiffSize(*io);
    if (count <= 0 || io->position >= size) return 0;
    const std::uint64_t n = std::min<std::uint64_t>(static_cast<std::uint64_t>(count), size - io->position);
    const std::uint8_t* memory = io->writing ? io->bytes.data() : io->memory;
    if (memory != nullptr) {
        std::memcpy(out, memory + io->position, static_cast<std::size_t>(n));
        io->position += n;
        return static_cast<tmsize_t>(n);
    }
    std::uint64_t done = 0;
    while (done < n) {
        const ssize_t got = pread(io->fd, static_cast<char*>(out) + done, static_cast<std::size_t>(n - done),
                                  static_cast<off_t>(io->offset + io->position + done));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        done += static_cast<std::uint64_t>(got);
    }
    io->position += done;
    return static_cast<tmsize_t>(done);
}

tmsize_t TiffWriteProc(thandle_t handle, void* data, tmsize_t count) {
    auto* io = static_cast<TiffIo*>(handle);
    if (!io->writing || count < 0) return 0;
    const std::uint64_t end = io->position + static_cast<std::uint64_t>(count);
    try {
        if (end > io->bytes.size()) io->bytes.resize(static_cast<std::size_t>(end));
    } catch (const std::exception&) {
        return 0;  // no exception may cross libtiff's C frames
    }
    std::memcpy(io->bytes.data() + io->position, data, static_cast<std::size_t>(count));
    io->position = end;
    return count;
}

toff_t TiffSeekProc(thandle_t handle, toff_t offset, int whence) {
    auto* io = static_cast<TiffIo*>(handle);
    std::uint64_t base = 0;
    if (whence == SEEK_CUR) {
        base = io->position;
    } else if (whence == SEEK_END) {
        base = TiffSize(*io);
    } else if (whence != SEEK_SET) {
        return static_cast<toff_t>(-1);
    }
    // Positions beyond what a file can have are refused (toff_t is unsigned).
    constexpr std::uint64_t kFarthest = std::uint64_t{1} << 62;
    if (offset > kFarthest || base + offset > kFarthest) return static_cast<toff_t>(-1);
    io->position = base + offset;
    return io->position;
}

int TiffCloseProc(thandle_t) { return 0; }
toff_t TiffSizeProc(thandle_t handle) { return TiffSize(*static_cast<TiffIo*>(handle)); }
int TiffMapProc(thandle_t, void**, toff_t*) { return 0; }
void TiffUnmapProc(thandle_t, void*, toff_t) {}

int TiffErrorProc(TIFF*, void* user, const char*, const char* format, va_list arguments) {
    auto* io = static_cast<TiffIo*>(user);
    if (io->error[0] == '\0') std::vsnprintf(io->error, sizeof io->error, format, arguments);
    return 1;  // handled: nothing goes to stderr
}

// Warnings (an unknown tag, say) leave the image usable.
int TiffWarningProc(TIFF*, void*, const char*, const char*, va_list) { return 1; }

struct TiffClose {
    void operator()(TIFF* tiff) const { TIFFClose(tiff); }
};
struct TiffOptionsFree {
    void operator()(TIFFOpenOptions* options) const { TIFFOpenOptionsFree(options); }
};
using TiffHandle = std::unique_ptr<TIFF, TiffClose>;

// Opens `io` with libtiff in `mode`; no single allocation of libtiff's may exceed
// `max_allocation` bytes (0: no bound).
TiffHandle OpenTiff(TiffIo& io, const char* mode, std::uint64_t max_allocation) {
    const std::unique_ptr<TIFFOpenOptions, TiffOptionsFree> options(TIFFOpenOptionsAlloc());
    if (!options) return nullptr;
    TIFFOpenOptionsSetErrorHandlerExtR(options.get(), TiffErrorProc, &io);
    TIFFOpenOptionsSetWarningHandlerExtR(options.get(), TiffWarningProc, &io);
    if (max_allocation > 0) {
        TIFFOpenOptionsSetMaxSingleMemAlloc(options.get(),
                                            static_cast<tmsize_t>(std::min(max_allocation, std::uint64_t{1} << 62)));
    }
    return TiffHandle(TIFFClientOpenExt("TIFF", mode, &io, TiffReadProc, TiffWriteProc, TiffSeekProc, TiffCloseProc,
                                        TiffSizeProc, TiffMapProc, TiffUnmapProc, options.get()));
}

std::string TiffDamage(const TiffIo& io) {
    return std::string("damaged TIFF file") + (io.error[0] != '\0' ? ": " + std::string(io.error) : std::string());
}

// How many times its size a strip or tile can expand under a compression, at most; a
// file whose size times this cannot hold the declared image is damaged. Codecs not
// named get a bound larger than any of theirs reaches.
std::uint64_t TiffCompressionRatio(std::uint16_t compression) {
    switch (compression) {
        case COMPRESSION_NONE: return 1;
        case COMPRESSION_PACKBITS: return 64;   // 2 bytes for a run of 128
        case COMPRESSION_ADOBE_DEFLATE:
        case COMPRESSION_DEFLATE: return kDeflateRatio;
        case COMPRESSION_LZW: return 4096;      // a 12-bit code for at most 4096 bytes
        case COMPRESSION_JPEG: return 4096;
        default: return std::uint64_t{1} << 18;  // CCITT fax codes: a bit for a long run of white
    }
}

const char* PhotometricName(std::uint16_t photometric) {
    switch (photometric) {
        case PHOTOMETRIC_SEPARATED: return "CMYK";
        case PHOTOMETRIC_YCBCR: return "YCbCr";
        case PHOTOMETRIC_CIELAB:
        case PHOTOMETRIC_ICCLAB:
        case PHOTOMETRIC_ITULAB: return "Lab";
        case PHOTOMETRIC_MASK: return "transparency mask";
        case PHOTOMETRIC_LOGL:
        case PHOTOMETRIC_LOGLUV: return "LogLuv";
        case PHOTOMETRIC_CFA: return "colour filter array";
        default: return "unknown-colour";
    }
}

// What the samples of a TIFF image are and where they go in an RGB(A) pixel.
struct TiffLayout {
    enum class Kind { rgb, grey, palette } kind = Kind::rgb;
    int bits = 8;            // per sample
    int samples = 3;         // per pixel
    int colour_samples = 3;  // RGB 3, grey and palette 1; an alpha sample may follow
    bool alpha = false;
    bool premultiplied = false;
    bool min_is_white = false;
    const std::uint16_t* map[3] = {};  // a palette's red, green and blue, 16 bits each
    // The palette holds 8-bit colours moved up by 8 bits (each a multiple of 256, as
    // some writers make them), which its high bytes give back exactly. Other palettes
    // are rounded to 8 bits as 16-bit samples are.
    bool palette_shifted = false;
};

// Sample `index` of a row of samples of `bits` bits each; rows start on a byte.
unsigned TiffSample(const std::uint8_t* row, std::uint64_t index, int bits) {
    if (bits == 8) return row[index];
    if (bits == 16) {
        std::uint16_t value = 0;  // libtiff has put it in the machine's byte order
        std::memcpy(&value, row + 2 * index, 2);
        return value;
    }
    const std::uint64_t bit = index * static_cast<std::uint64_t>(bits);
    return (row[bit >> 3] >> (8 - bits - static_cast<int>(bit & 7))) & ((1u << bits) - 1);
}

std::uint8_t TiffTo8(unsigned value, int bits) {
    if (bits == 8) return static_cast<std::uint8_t>(value);
    if (bits == 16) return static_cast<std::uint8_t>((value + 128) / 257);
    return static_cast<std::uint8_t>(value * 255 / ((1u << bits) - 1));
}

// Puts `count` pixels of a row into RGB(A) pixels at `out`. The row holds `stride`
// samples per pixel, the file's samples `first` onwards: all of them when the samples
// are interleaved, one when each has its own plane.
void ConvertTiffRow(const TiffLayout& layout, const std::uint8_t* row, int stride, int first, std::uint64_t count,
                    std::uint8_t* out, int planes) {
    const bool plain = layout.kind == TiffLayout::Kind::rgb && layout.bits == 8 && stride == layout.samples &&
                       stride == planes && !layout.premultiplied;
    if (plain) {
        std::memcpy(out, row, static_cast<std::size_t>(count) * static_cast<std::size_t>(planes));
        return;
    }
    for (std::uint64_t x = 0; x < count; ++x, out += planes) {
        for (int i = 0; i < stride; ++i) {
            const int sample = first + i;
            if (sample > layout.colour_samples || (sample == layout.colour_samples && !layout.alpha)) break;
            const std::uint64_t index = x * static_cast<std::uint64_t>(stride) + static_cast<std::uint64_t>(i);
            const unsigned value = TiffSample(row, index, layout.bits);
            if (sample == layout.colour_samples) {
                out[3] = TiffTo8(value, layout.bits);
            } else if (layout.kind == TiffLayout::Kind::palette) {
                for (int c = 0; c < 3; ++c) {
                    const unsigned colour = layout.map[c][value];
                    out[c] = layout.palette_shifted ? static_cast<std::uint8_t>(colour >> 8) : TiffTo8(colour, 16);
                }
            } else if (layout.kind == TiffLayout::Kind::grey) {
                const std::uint8_t grey = TiffTo8(value, layout.bits);
                out[0] = out[1] = out[2] = layout.min_is_white ? static_cast<std::uint8_t>(255 - grey) : grey;
            } else {
                out[sample] = TiffTo8(value, layout.bits);
            }
        }
    }
}

// Reads the samples of `passes` planes (1 when they are interleaved) row by row.
std::string ReadTiffStrips(TIFF* tiff, const TiffIo& io, const TiffLayout& layout, bool separate, int passes,
                           RowBuffer& buffer, std::uint32_t width, std::uint32_t height, int planes) {
    const tmsize_t line_size = TIFFScanlineSize(tiff);
    if (line_size <= 0) return TiffDamage(io);
    std::vector<std::uint8_t> line(static_cast<std::size_t>(line_size));
    for (int pass = 0; pass < passes; ++pass) {
        for (std::uint32_t y = 0; y < height; ++y) {
            if (TIFFReadScanline(tiff, line.data(), y, static_cast<std::uint16_t>(pass)) < 0) return TiffDamage(io);
            std::uint8_t* row = pass == 0 ? buffer.NextRow() : buffer.Row(y);
            ConvertTiffRow(layout, line.data(), separate ? 1 : layout.samples, pass, width, row, planes);
        }
    }
    return {};
}

// Reads a tiled image a row of tiles at a time.
std::string ReadTiffTiles(TIFF* tiff, const TiffIo& io, const TiffLayout& layout, bool separate, int passes,
                          RowBuffer& buffer, std::uint32_t width, std::uint32_t height, int planes) {
    std::uint32_t tile_width = 0, tile_height = 0;
    if (TIFFGetField(tiff, TIFFTAG_TILEWIDTH, &tile_width) == 0 ||
        TIFFGetField(tiff, TIFFTAG_TILELENGTH, &tile_height) == 0 || tile_width == 0 || tile_height == 0) {
        return "damaged TIFF file: its tiles have no size";
    }
    // A tile may overhang the image, but not by more than a real file does (tiles of
    // 2048 x 2048 are large ones).
    const std::uint64_t tile_pixels = std::uint64_t{tile_width} * tile_height;
    if (tile_pixels > std::max(std::uint64_t{1} << 22, std::uint64_t{width} * height * 4)) {
        return "damaged TIFF file: its tiles of " + SizeText(tile_width, tile_height) + " are far larger than the image";
    }
    const tmsize_t tile_size = TIFFTileSize(tiff);
    const tmsize_t tile_row = TIFFTileRowSize(tiff);
    if (tile_size <= 0 || tile_row <= 0) return TiffDamage(io);
    std::vector<std::uint8_t> tile(static_cast<std::size_t>(tile_size));
    for (std::uint64_t top = 0; top < height; top += tile_height) {
        const std::uint64_t rows = std::min<std::uint64_t>(tile_height, height - top);
        for (std::uint64_t r = 0; r < rows; ++r) buffer.NextRow();
        for (int pass = 0; pass < passes; ++pass) {
            for (std::uint64_t left = 0; left < width; left += tile_width) {
                if (TIFFReadTile(tiff, tile.data(), static_cast<std::uint32_t>(left), static_cast<std::uint32_t>(top), 0,
                                 static_cast<std::uint16_t>(pass)) < 0) {
                    return TiffDamage(io);
                }
                const std::uint64_t count = std::min<std::uint64_t>(tile_width, width - left);
                for (std::uint64_t r = 0; r < rows; ++r) {
                    const std::uint8_t* source = tile.data() + r * static_cast<std::uint64_t>(tile_row);
                    std::uint8_t* target = buffer.Row(top + r) + left * static_cast<std::uint64_t>(planes);
                    ConvertTiffRow(layout, source, separate ? 1 : layout.samples, pass, count, target, planes);
                }
            }
        }
    }
    return {};
}

// The layout of the first image's samples, or why it cannot be read. Notes say what
// will be converted.
std::string TiffLayoutOf(TIFF* tiff, TiffLayout& layout, std::vector<std::string>& notes) {
    std::uint16_t samples = 1, bits = 1, format = SAMPLEFORMAT_UINT, photometric = 0, compression = COMPRESSION_NONE;
    TIFFGetFieldDefaulted(tiff, TIFFTAG_SAMPLESPERPIXEL, &samples);
    TIFFGetFieldDefaulted(tiff, TIFFTAG_BITSPERSAMPLE, &bits);
    TIFFGetFieldDefaulted(tiff, TIFFTAG_SAMPLEFORMAT, &format);
    TIFFGetFieldDefaulted(tiff, TIFFTAG_COMPRESSION, &compression);
    if (TIFFGetField(tiff, TIFFTAG_PHOTOMETRIC, &photometric) == 0) {
        return "damaged TIFF file: it does not say what its samples are (no PhotometricInterpretation)";
    }
    if (format != SAMPLEFORMAT_UINT && format != SAMPLEFORMAT_VOID) {
        return "TIFF images of floating-point or signed samples are not supported";
    }
    if (photometric == PHOTOMETRIC_YCBCR && compression == COMPRESSION_JPEG) {
        // libjpeg turns these into RGB as it decodes them.
        TIFFSetField(tiff, TIFFTAG_JPEGCOLORMODE, JPEGCOLORMODE_RGB);
        photometric = PHOTOMETRIC_RGB;
    }
    const std::string bits_text = std::to_string(bits) + " bits per sample";
    switch (photometric) {
        case PHOTOMETRIC_RGB:
            layout.kind = TiffLayout::Kind::rgb;
            layout.colour_samples = 3;
            if (bits != 8 && bits != 16) {
                return "RGB TIFF images of " + bits_text + " are not supported (8 and 16 are read)";
            }
            break;
        case PHOTOMETRIC_MINISBLACK:
        case PHOTOMETRIC_MINISWHITE:
            layout.kind = TiffLayout::Kind::grey;
            layout.colour_samples = 1;
            layout.min_is_white = photometric == PHOTOMETRIC_MINISWHITE;
            if (bits != 1 && bits != 2 && bits != 4 && bits != 8 && bits != 16) {
                return "grey TIFF images of " + bits_text + " are not supported (1, 2, 4, 8 and 16 are read)";
            }
            break;
        case PHOTOMETRIC_PALETTE:
            layout.kind = TiffLayout::Kind::palette;
            layout.colour_samples = 1;
            if (bits != 1 && bits != 2 && bits != 4 && bits != 8) {
                return "palette TIFF images of " + bits_text + " are not supported (1, 2, 4 and 8 are read)";
            }
            if (TIFFGetField(tiff, TIFFTAG_COLORMAP, &layout.map[0], &layout.map[1], &layout.map[2]) == 0) {
                return "damaged TIFF file: its palette is missing";
            }
            layout.palette_shifted = true;
            for (int c = 0; c < 3; ++c) {
                for (unsigned i = 0; i < 1u << bits; ++i) layout.palette_shifted &= (layout.map[c][i] & 0xFF) == 0;
            }
            break;
        default:
            return std::string(PhotometricName(photometric)) +
                   " TIFF images are not supported (RGB, grey and palette images are read)";
    }
    if (samples < layout.colour_samples) {
        return "damaged TIFF file: " + std::to_string(samples) + " samples per pixel are too few for its colours";
    }
    layout.bits = bits;
    layout.samples = samples;
    std::uint16_t extra_count = 0;
    std::uint16_t* extra_types = nullptr;
    TIFFGetFieldDefaulted(tiff, TIFFTAG_EXTRASAMPLES, &extra_count, &extra_types);
    int dropped = samples - layout.colour_samples;
    if (dropped > 0 && layout.kind != TiffLayout::Kind::palette && extra_count > 0 && extra_types != nullptr &&
        (extra_types[0] == EXTRASAMPLE_ASSOCALPHA || extra_types[0] == EXTRASAMPLE_UNASSALPHA)) {
        layout.alpha = true;
        layout.premultiplied = extra_types[0] == EXTRASAMPLE_ASSOCALPHA;
        --dropped;
    }
    if (layout.kind == TiffLayout::Kind::palette) notes.push_back("palette image expanded to RGB");
    if (layout.kind == TiffLayout::Kind::grey) {
        notes.push_back(layout.alpha ? "grey image with alpha converted to RGBA" : "grey image converted to RGB");
    }
    if (bits == 16) notes.push_back("16-bit image converted to 8 bits per channel");
    if (layout.premultiplied) notes.push_back("premultiplied alpha converted to straight alpha");
    if (dropped > 0) {
        notes.push_back(std::to_string(dropped) + (dropped == 1 ? " extra channel dropped" : " extra channels dropped"));
    }
    return {};
}

// Colours stored multiplied by their alpha, divided back out.
void Unpremultiply(Image& image) {
    for (std::size_t i = 0; i + 3 < image.bytes.size(); i += 4) {
        const unsigned alpha = image.bytes[i + 3];
        if (alpha == 0 || alpha == 255) continue;
        for (std::size_t c = 0; c < 3; ++c) {
            const unsigned straight = (image.bytes[i + c] * 255u + alpha / 2) / alpha;
            image.bytes[i + c] = static_cast<std::uint8_t>(std::min(255u, straight));
        }
    }
}

// The largest single allocation libtiff may make: a tag's values or a strip's bytes,
// which an image within the pixel limit never needs more than this for.
std::uint64_t TiffAllocationBound(const ReadLimits& limits) {
    return std::min(std::uint64_t{1} << 30, std::max(std::uint64_t{64} << 20, SaturatingProduct(limits.max_pixels, 8)));
}

}  // namespace

DecodeResult DecodeTiff(Input& input, const ReadLimits& limits) {
    if (!input.Remaining()) {
        // A stream: its bytes first, as they arrive, up to what the largest image
        // within the limit (16-bit RGBA, uncompressed) and its tags could take.
        const std::uint64_t most = SaturatingProduct(limits.max_pixels, 8) + kStreamSlack;
        if (!input.BufferRest(most)) {
            return Failure(input.error().empty() ? "a TIFF file read from a stream may be at most " +
                                                       std::to_string(most) +
                                                       " bytes with this pixel limit; read it from a file"
                                                 : input.error());
        }
    }
    const std::optional<Input::Span> span = input.Remaining();
    if (!span) return Failure("the TIFF file cannot be read by position");
    TiffIo io;
    io.memory = span->memory;
    io.fd = span->fd;
    io.offset = span->offset;
    io.size = span->size;
    const TiffHandle handle = OpenTiff(io, "rm", TiffAllocationBound(limits));
    if (!handle) return Failure(TiffDamage(io));
    TIFF* tiff = handle.get();
    std::uint32_t width = 0, height = 0;
    if (TIFFGetField(tiff, TIFFTAG_IMAGEWIDTH, &width) == 0 || TIFFGetField(tiff, TIFFTAG_IMAGELENGTH, &height) == 0) {
        return Failure("damaged TIFF file: it gives no image size");
    }
    if (std::string problem = DimensionProblem(width, height, limits); !problem.empty()) return Failure(problem);

    DecodeResult result;
    TiffLayout layout;
    if (std::string problem = TiffLayoutOf(tiff, layout, result.notes); !problem.empty()) return Failure(problem);
    result.grey = layout.kind == TiffLayout::Kind::grey;
    std::uint16_t planar = PLANARCONFIG_CONTIG, compression = COMPRESSION_NONE;
    TIFFGetFieldDefaulted(tiff, TIFFTAG_PLANARCONFIG, &planar);
    TIFFGetFieldDefaulted(tiff, TIFFTAG_COMPRESSION, &compression);
    const bool separate = planar == PLANARCONFIG_SEPARATE && layout.samples > 1;
    const int planes = layout.alpha ? 4 : 3;
    // The samples needed, each plane read in a pass of its own when they are separate.
    const int passes = separate ? layout.colour_samples + (layout.alpha ? 1 : 0) : 1;

    // Every row's samples, packed; the file must be able to hold them.
    const std::uint64_t row_bits = std::uint64_t{width} * static_cast<std::uint64_t>(layout.samples * layout.bits);
    const std::uint64_t stored = (row_bits + 7) / 8 * height;
    const std::uint64_t ratio = TiffCompressionRatio(compression);
    if (stored > 4096 && stored - 4096 > SaturatingProduct(io.size, ratio)) {
        return Failure("damaged TIFF file: " + std::to_string(io.size) + " bytes cannot hold a " +
                       SizeText(width, height) + " image");
    }
    // The rows the file can plausibly hold, in the buffer's pixels.
    const std::uint64_t expansion = (static_cast<std::uint64_t>(planes) * 8 * width + row_bits - 1) / row_bits;
    RowBuffer buffer(result.image, static_cast<int>(width), static_cast<int>(height), planes,
                     SaturatingProduct(SaturatingProduct(io.size, ratio), expansion), limits);
    const std::string problem = TIFFIsTiled(tiff) != 0
                                    ? ReadTiffTiles(tiff, io, layout, separate, passes, buffer, width, height, planes)
                                    : ReadTiffStrips(tiff, io, layout, separate, passes, buffer, width, height, planes);
    if (!problem.empty()) return Failure(problem);
    if (layout.premultiplied) Unpremultiply(result.image);

    std::uint32_t icc_size = 0;
    void* icc = nullptr;
    if (TIFFGetField(tiff, TIFFTAG_ICCPROFILE, &icc_size, &icc) != 0 && icc != nullptr) {
        TakeIcc(result, static_cast<const std::uint8_t*>(icc), icc_size);
    }
    std::uint16_t orientation = ORIENTATION_TOPLEFT;
    TIFFGetFieldDefaulted(tiff, TIFFTAG_ORIENTATION, &orientation);
    if (TIFFLastDirectory(tiff) == 0) {
        // Another directory follows. libtiff counts those it can reach, stopping
        // (with a warning only) where the list loops back to one it has seen.
        io.error[0] = '\0';
        if (TIFFNumberOfDirectories(tiff) >= 2) {
            result.notes.push_back("the TIFF file holds more images; the first was read");
        } else if (io.error[0] != '\0') {
            result.notes.push_back("the TIFF file's next directory cannot be read (" + std::string(io.error) +
                                   "); the first image was read");
        } else {
            result.notes.push_back("the TIFF file's directory points back to itself (a loop); its image was read");
        }
    }
    Finish(result, orientation, "TIFF");
    return result;
}

namespace {


// Strips of about this many bytes: large enough for deflate to find its matches.
constexpr std::size_t kTiffStripBytes = std::size_t{256} << 10;

}  // namespace

std::string EncodeTiff(RowSource& rows, ByteSink& out, const Metadata& metadata, const WriteOptions& options,
                       bool grey) {
    TiffIo io;
    io.writing = true;
    // Grey and alpha take two samples a pixel, grey one.
    const int samples = grey ? rows.planes() - 2 : rows.planes();
    const std::size_t row_bytes = static_cast<std::size_t>(rows.width()) * static_cast<std::size_t>(samples);
    // A classic TIFF's offsets end at 4 GiB; an image near that takes BigTIFF's.
    const bool big = row_bytes * static_cast<std::size_t>(rows.height()) > (std::uint64_t{15} << 28);
    {
        const TiffHandle handle = OpenTiff(io, big ? "w8" : "w", 0);
        if (!handle) return "TIFF encoding failed: " + std::string(io.error);
        TIFF* tiff = handle.get();
        const int level = options.compression.value_or(kDefaultTiffCompression);
        TIFFSetField(tiff, TIFFTAG_IMAGEWIDTH, static_cast<std::uint32_t>(rows.width()));
        TIFFSetField(tiff, TIFFTAG_IMAGELENGTH, static_cast<std::uint32_t>(rows.height()));
        TIFFSetField(tiff, TIFFTAG_BITSPERSAMPLE, 8);
        TIFFSetField(tiff, TIFFTAG_SAMPLESPERPIXEL, samples);
        TIFFSetField(tiff, TIFFTAG_PHOTOMETRIC, grey ? PHOTOMETRIC_MINISBLACK : PHOTOMETRIC_RGB);
        TIFFSetField(tiff, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
        const std::size_t rows_per_strip =
            std::clamp<std::size_t>(kTiffStripBytes / row_bytes, 1, static_cast<std::size_t>(rows.height()));
        TIFFSetField(tiff, TIFFTAG_ROWSPERSTRIP, static_cast<std::uint32_t>(rows_per_strip));
        if (level == 0) {
            TIFFSetField(tiff, TIFFTAG_COMPRESSION, COMPRESSION_NONE);
        } else {
            TIFFSetField(tiff, TIFFTAG_COMPRESSION, COMPRESSION_ADOBE_DEFLATE);
            TIFFSetField(tiff, TIFFTAG_PREDICTOR, PREDICTOR_HORIZONTAL);
            TIFFSetField(tiff, TIFFTAG_ZIPQUALITY, level);
        }
        if (rows.planes() == 4) {
            const std::uint16_t alpha = EXTRASAMPLE_UNASSALPHA;
            TIFFSetField(tiff, TIFFTAG_EXTRASAMPLES, 1, &alpha);
        }
        if (!metadata.icc.empty()) {
            TIFFSetField(tiff, TIFFTAG_ICCPROFILE, static_cast<std::uint32_t>(metadata.icc.size()), metadata.icc.data());
        }
        // The predictor works on the row it is given, so it gets a copy.
        std::vector<std::uint8_t> row(row_bytes);
        for (int y = 0; y < rows.height(); ++y) {
            const std::uint8_t* next = rows.Row(y);
            if (next == nullptr) return kRowsAbandoned;
            if (grey) {
                PackGrey(next, rows.width(), rows.planes(), row.data());
            } else {
                std::memcpy(row.data(), next, row_bytes);
            }
            if (TIFFWriteScanline(tiff, row.data(), static_cast<std::uint32_t>(y), 0) < 0) {
                return "TIFF encoding failed: " + std::string(io.error);
            }
        }
        if (TIFFFlush(tiff) == 0) return "TIFF encoding failed: " + std::string(io.error);
    }
    return WriteAll(out, io.bytes.data(), io.bytes.size()) ? std::string() : out.Error();
}

}  // namespace tessellon::cli::imageio
