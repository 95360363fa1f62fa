// WebP files through libwebp: the reader (a still image, lossy or lossless, to RGB or
// RGBA, with its ICCP chunk and EXIF orientation) and the writer (lossless, or lossy
// at a quality, with the ICC profile in an ICCP chunk).
//
// libwebp decodes a whole file from memory. The file's bytes are read as they arrive,
// up to the end its RIFF header gives, and the image's size is checked from its first
// chunks as soon as they are in; the pixel buffer is taken only once every byte has
// arrived, so a file that ends early costs no more than its bytes. WebP has no bound
// on how far its bytes expand (a run of one colour can take no bits at all), so a
// file whose pixels would take far more than its size is first decoded to a single
// pixel, which takes libwebp's own memory only, to show that its image data is all
// there before the buffer for its pixels is taken.
#include <algorithm>
#include <cstring>
#include <memory>

#include <webp/decode.h>
#include <webp/demux.h>
#include <webp/encode.h>
#include <webp/mux.h>

#include "cli/image_io_internal.h"

namespace tessellon::cli::imageio {

namespace {

std::string WebpProblem(VP8StatusCode status) {
    switch (status) {
        case VP8_STATUS_OUT_OF_MEMORY: return "out of memory for the WebP decoder";
        case VP8_STATUS_UNSUPPORTED_FEATURE: return "the WebP file uses a feature that is not supported";
        case VP8_STATUS_NOT_ENOUGH_DATA: return "damaged WebP file: the file ends early";
        default: return "damaged WebP file: its image data is invalid";
    }
}

struct WebpDemuxDelete {
    void operator()(WebPDemuxer* demux) const { WebPDemuxDelete(demux); }
};

// Pixels of a WebP file up to this many times its size are taken without the check.
// The sample photograph's pixels take 11 to 41 times its lossy file (quality 95 to 50)
// and 3 times its lossless one; only flat pictures go beyond a thousand, and those
// decode quickly.
constexpr std::uint64_t kWebpTrustedRatio = 1024;

// Decodes the whole file into a picture of one pixel: libwebp parses all of the image
// data, keeping none of the pixels (a lossless image, and the alpha of a lossy one,
// still take libwebp's working memory of their size).
VP8StatusCode CheckWebpData(const std::vector<std::uint8_t>& data) {
    WebPDecoderConfig config;
    if (WebPInitDecoderConfig(&config) == 0) return VP8_STATUS_INVALID_PARAM;
    config.options.use_scaling = 1;
    config.options.scaled_width = 1;
    config.options.scaled_height = 1;
    // What only makes pixels look better: none of it reads image data.
    config.options.bypass_filtering = 1;
    config.options.no_fancy_upsampling = 1;
    config.output.colorspace = MODE_RGB;
    const VP8StatusCode status = WebPDecode(data.data(), data.size(), &config);
    WebPFreeDecBuffer(&config.output);
    return status;
}

}  // namespace

DecodeResult DecodeWebp(Input& input, const ReadLimits& limits) {
    std::vector<std::uint8_t> data(12);
    if (input.Read(data.data(), data.size()) != data.size()) return Failure("damaged WebP file: the file ends early");
    // RIFF: "RIFF", the size of what follows the first 8 bytes, "WEBP", the chunks.
    const std::uint64_t total = std::uint64_t{LittleEndian32(data.data() + 4)} + 8;
    if (total < 20) return Failure("damaged WebP file: it holds no image");
    WebPBitstreamFeatures features{};
    VP8StatusCode status = VP8_STATUS_NOT_ENOUGH_DATA;
    const auto check_size = [&]() {
        if (features.has_animation) return std::string("animated WebP files are not supported");
        return DimensionProblem(static_cast<std::uint32_t>(features.width), static_cast<std::uint32_t>(features.height),
                                limits);
    };
    std::size_t piece = 4096;
    while (data.size() < total) {
        const std::size_t have = data.size();
        const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(piece, total - have));
        data.resize(have + want);
        const std::size_t got = input.Read(data.data() + have, want);
        data.resize(have + got);
        if (got < want) return Failure("damaged WebP file: the file ends early");
        if (status == VP8_STATUS_NOT_ENOUGH_DATA) {
            status = WebPGetFeatures(data.data(), data.size(), &features);
            if (status == VP8_STATUS_OK) {
                if (std::string problem = check_size(); !problem.empty()) return Failure(problem);
            } else if (status != VP8_STATUS_NOT_ENOUGH_DATA) {
                return Failure(WebpProblem(status));
            }
        }
        piece = std::min<std::size_t>(piece * 2, std::size_t{16} << 20);
    }
    // All of the file is in: too little data now means a damaged one.
    if (status == VP8_STATUS_NOT_ENOUGH_DATA) status = VP8_STATUS_BITSTREAM_ERROR;
    if (status != VP8_STATUS_OK) return Failure(WebpProblem(status));

    DecodeResult result;
    const int planes = features.has_alpha ? 4 : 3;
    const std::uint64_t pixel_bytes = std::uint64_t{static_cast<std::uint32_t>(features.width)} *
                                      static_cast<std::uint32_t>(features.height) * static_cast<std::uint64_t>(planes);
    if (pixel_bytes > SaturatingProduct(data.size(), kWebpTrustedRatio)) {
        status = CheckWebpData(data);
        if (status != VP8_STATUS_OK) return Failure(WebpProblem(status));
    }
    RowBuffer buffer(result.image, features.width, features.height, planes, std::nullopt, limits);
    WebPDecoderConfig config;
    if (WebPInitDecoderConfig(&config) == 0) return Failure("the WebP decoder does not match its header");
    config.output.colorspace = planes == 4 ? MODE_RGBA : MODE_RGB;
    config.output.is_external_memory = 1;
    config.output.u.RGBA.rgba = buffer.All();
    config.output.u.RGBA.stride = static_cast<int>(buffer.row_bytes());
    config.output.u.RGBA.size = result.image.bytes.size();
    status = WebPDecode(data.data(), data.size(), &config);
    WebPFreeDecBuffer(&config.output);
    if (status != VP8_STATUS_OK) return Failure(WebpProblem(status));

    int orientation = 0;
    const WebPData whole{data.data(), data.size()};
    if (const std::unique_ptr<WebPDemuxer, WebpDemuxDelete> demux(WebPDemux(&whole)); demux) {
        WebPChunkIterator chunk;
        if (WebPDemuxGetChunk(demux.get(), "ICCP", 1, &chunk) != 0) {
            TakeIcc(result, chunk.chunk.bytes, chunk.chunk.size);
            WebPDemuxReleaseChunkIterator(&chunk);
        }
        if (WebPDemuxGetChunk(demux.get(), "EXIF", 1, &chunk) != 0) {
            orientation = ExifOrientation(chunk.chunk.bytes, chunk.chunk.size);
            WebPDemuxReleaseChunkIterator(&chunk);
        }
    }
    Finish(result, orientation, "EXIF");
    return result;
}

namespace {


// The lossless encoder's effort (WebPConfigLosslessPreset, 0..9). On a 4000 x 3000
// photograph 3 gives files the size of libwebp's usual 6 in about 60 % of the time;
// below 3 they grow by a fifth.
constexpr int kWebpLosslessLevel = 3;

struct WebpPictureFree {
    void operator()(WebPPicture* picture) const { WebPPictureFree(picture); }
};
struct WebpMemoryFree {
    void operator()(WebPMemoryWriter* writer) const { WebPMemoryWriterClear(writer); }
};
struct WebpMuxDelete {
    void operator()(WebPMux* mux) const { WebPMuxDelete(mux); }
};
struct WebpDataClear {
    void operator()(WebPData* data) const { WebPDataClear(data); }
};

std::string WebpEncodingProblem(WebPEncodingError error) {
    switch (error) {
        case VP8_ENC_ERROR_OUT_OF_MEMORY:
        case VP8_ENC_ERROR_BITSTREAM_OUT_OF_MEMORY: return "out of memory for the WebP encoder";
        case VP8_ENC_ERROR_BAD_DIMENSION: return "the image is too large for a WebP file";
        default: return "WebP encoding failed (libwebp error " + std::to_string(static_cast<int>(error)) + ")";
    }
}

}  // namespace

std::string EncodeWebp(RowSource& rows, ByteSink& out, const Metadata& metadata, const WriteOptions& options) {
    WebPConfig config;
    if (WebPConfigInit(&config) == 0) return "the WebP encoder does not match its header";
    if (options.quality) {
        config.quality = static_cast<float>(*options.quality);
    } else {
        WebPConfigLosslessPreset(&config, kWebpLosslessLevel);
        // The colours under fully transparent pixels too, so that the file gives back
        // every byte of the image.
        config.exact = 1;
    }
    WebPPicture picture;
    if (WebPPictureInit(&picture) == 0) return "the WebP encoder does not match its header";
    picture.width = rows.width();
    picture.height = rows.height();
    picture.use_argb = config.lossless;
    const std::unique_ptr<WebPPicture, WebpPictureFree> picture_owner(&picture);
    // libwebp takes the picture whole: every row must be final first.
    if (rows.Row(rows.height() - 1) == nullptr) return kRowsAbandoned;
    const std::uint8_t* first = rows.Row(0);
    const int stride = static_cast<int>(rows.stride());
    const int imported = rows.planes() == 4 ? WebPPictureImportRGBA(&picture, first, stride)
                                            : WebPPictureImportRGB(&picture, first, stride);
    if (imported == 0) return WebpEncodingProblem(picture.error_code);
    WebPMemoryWriter memory;
    WebPMemoryWriterInit(&memory);
    const std::unique_ptr<WebPMemoryWriter, WebpMemoryFree> memory_owner(&memory);
    picture.writer = WebPMemoryWrite;
    picture.custom_ptr = &memory;
    if (WebPEncode(&config, &picture) == 0) return WebpEncodingProblem(picture.error_code);
    if (metadata.icc.empty()) return WriteAll(out, memory.mem, memory.size) ? std::string() : out.Error();

    // The profile goes into an ICCP chunk, which needs the extended layout (VP8X).
    const WebPData bitstream{memory.mem, memory.size};
    const std::unique_ptr<WebPMux, WebpMuxDelete> mux(WebPMuxCreate(&bitstream, 0));
    if (!mux) return "WebP encoding failed: the encoded file could not be taken apart";
    const WebPData profile{metadata.icc.data(), metadata.icc.size()};
    if (WebPMuxSetChunk(mux.get(), "ICCP", &profile, 0) != WEBP_MUX_OK) {
        return "WebP encoding failed: the ICC profile was not taken";
    }
    WebPData assembled{nullptr, 0};
    const WebPMuxError assembly = WebPMuxAssemble(mux.get(), &assembled);
    const std::unique_ptr<WebPData, WebpDataClear> assembled_owner(&assembled);
    if (assembly != WEBP_MUX_OK) return "WebP encoding failed: the file with its ICC profile could not be put together";
    return WriteAll(out, assembled.bytes, assembled.size) ? std::string() : out.Error();
}

}  // namespace tessellon::cli::imageio
