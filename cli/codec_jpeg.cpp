// JPEG files through libjpeg(-turbo): the reader (baseline and progressive, grey,
// colour or CMYK, to 8-bit RGB, with the ICC profile of its APP2 markers and the EXIF
// orientation; CMYK through image_cmyk.cpp) and the writer (RGB or grey, with the ICC
// profile).
//
// libjpeg reports errors by a long jump out of the library; every function that sets
// a jump point here keeps its state in a structure owned by its caller and creates no
// object with a destructor after the jump point, so a jump back skips nothing that
// needs cleaning up. The caller then destroys libjpeg's structures through a guard.
#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

// jpeglib.h needs size_t and FILE declared first.
#include <jpeglib.h>
#include <jerror.h>

#include "cli/image_io_internal.h"

namespace tessellon::cli::imageio {

namespace {

struct JpegErrorManager {
    jpeg_error_mgr base;  // first: libjpeg hands back a pointer to it
    std::jmp_buf jump;
    char message[JMSG_LENGTH_MAX];
};

[[noreturn]] void JpegFail(j_common_ptr info) {
    auto* manager = reinterpret_cast<JpegErrorManager*>(info->err);
    (*info->err->format_message)(info, manager->message);
    std::longjmp(manager->jump, 1);
}

// Level -1 is a warning about corrupt data (a truncated file among them): the decoder
// would go on with made-up pixels, so it ends the decoding instead. Trace messages
// (levels 1 and up) are dropped.
void JpegMessage(j_common_ptr info, int level) {
    if (level < 0) JpegFail(info);
}

// Messages that change nothing: warnings about damaged ICC markers, which cost the
// profile and not the image, and the encoder's.
void JpegQuiet(j_common_ptr, int) {}

// Feeds libjpeg from an Input through a buffer of its own.
struct JpegSource {
    jpeg_source_mgr base;  // first: libjpeg hands back a pointer to it
    Input* input;
    JOCTET buffer[1 << 16];
};

void JpegInitSource(j_decompress_ptr) {}

boolean JpegFillBuffer(j_decompress_ptr info) {
    auto* source = reinterpret_cast<JpegSource*>(info->src);
    const std::size_t n = source->input->Read(source->buffer, sizeof source->buffer);
    if (n == 0) {
        // The end of the input before the end of the image: an error, not the grey
        // rows libjpeg would otherwise make up.
        info->err->msg_code = JERR_INPUT_EOF;
        (*info->err->error_exit)(reinterpret_cast<j_common_ptr>(info));
    }
    source->base.next_input_byte = source->buffer;
    source->base.bytes_in_buffer = n;
    return TRUE;
}

void JpegSkip(j_decompress_ptr info, long count) {
    auto* source = reinterpret_cast<JpegSource*>(info->src);
    while (count > 0) {
        if (source->base.bytes_in_buffer == 0) JpegFillBuffer(info);
        const std::size_t step = std::min(static_cast<std::size_t>(count), source->base.bytes_in_buffer);
        source->base.next_input_byte += step;
        source->base.bytes_in_buffer -= step;
        count -= static_cast<long>(step);
    }
}

void JpegTermSource(j_decompress_ptr) {}

// The most scans a JPEG file may have. A progressive file sends the DC coefficients
// of its components and then bands of AC coefficients of one component at a time, each
// band in a first scan and, with successive approximation, in refinements of one bit
// each. libjpeg's standard script has 10 scans for colour and 6 for grey; one that
// split each of 3 components into 6 bands and sent every band and the DC in 14 scans,
// one per bit position the format allows, would have 266. No encoder goes near that,
// and 300 allows it. The bound matters because each scan makes libjpeg go over every
// block of its component again, however few bytes it takes: an empty scan of 122
// bytes costs about 4.5 ms at 8192 x 8192 grey pixels, so a file of half a megabyte
// could hold thousands. At most 300 keep a file to about 30 times the work of one
// with libjpeg's standard script.
constexpr int kMaxJpegScans = 300;

struct JpegReadState;

// libjpeg calls its progress monitor as it reads a file's scans.
struct JpegProgress {
    jpeg_progress_mgr base;  // first: libjpeg hands back a pointer to it
    JpegReadState* state;
};

struct JpegReadState {
    jpeg_decompress_struct info{};
    JpegErrorManager error{};
    JpegSource source{};
    JpegProgress progress{};
    const ReadLimits* limits = nullptr;
    DecodeResult* result = nullptr;
    std::unique_ptr<CmykConverter> cmyk;  // for a CMYK or YCCK file
    std::vector<std::uint8_t> cmyk_row;   // a row of its CMYK samples
    std::string refusal;
    bool too_many_scans = false;
    int orientation = 0;
    bool created = false;
};

// The ICC profile of the APP2 markers read with the header, reassembled by libjpeg.
// Damaged markers cost the profile only.
void TakeJpegIcc(JpegReadState& state) {
    JOCTET* profile = nullptr;
    unsigned int length = 0;
    state.error.base.emit_message = JpegQuiet;
    const bool found = jpeg_read_icc_profile(&state.info, &profile, &length) != 0;
    state.error.base.emit_message = JpegMessage;
    if (!found) return;
    const std::unique_ptr<JOCTET, decltype(&std::free)> owned(profile, &std::free);
    TakeIcc(*state.result, profile, length);
}

// Ends the decoding once a file has begun more scans than kMaxJpegScans.
void JpegCountScans(j_common_ptr common) {
    auto* progress = reinterpret_cast<JpegProgress*>(common->progress);
    JpegReadState& state = *progress->state;
    if (state.info.input_scan_number > kMaxJpegScans) {
        state.too_many_scans = true;
        std::longjmp(state.error.jump, 1);
    }
}

bool DecodeJpegGuarded(JpegReadState& state) {
    jpeg_decompress_struct& info = state.info;
    if (setjmp(state.error.jump)) return false;
    std::vector<std::string>& notes = state.result->notes;
    jpeg_create_decompress(&info);
    state.created = true;
    state.progress.base.progress_monitor = JpegCountScans;
    state.progress.state = &state;
    info.progress = &state.progress.base;
    state.source.base.init_source = JpegInitSource;
    state.source.base.fill_input_buffer = JpegFillBuffer;
    state.source.base.skip_input_data = JpegSkip;
    state.source.base.resync_to_restart = jpeg_resync_to_restart;
    state.source.base.term_source = JpegTermSource;
    info.src = &state.source.base;
    // A progressive file keeps every coefficient of the image (2 bytes a sample, 4
    // samples a pixel in a CMYK file); they may not take more than an image at the
    // limit would.
    info.mem->max_memory_to_use = static_cast<long>(std::min<std::uint64_t>(
        state.limits->max_pixels * 8 + (std::uint64_t{64} << 20), std::uint64_t{1} << 40));
    // EXIF (APP1) and ICC profile (APP2) markers are kept as the header is read; they
    // take no more memory than the file's bytes.
    jpeg_save_markers(&info, JPEG_APP0 + 1, 0xFFFF);
    jpeg_save_markers(&info, JPEG_APP0 + 2, 0xFFFF);
    jpeg_read_header(&info, TRUE);
    state.refusal = DimensionProblem(info.image_width, info.image_height, *state.limits);
    if (!state.refusal.empty()) return false;
    for (jpeg_saved_marker_ptr marker = info.marker_list; marker != nullptr; marker = marker->next) {
        if (marker->marker == JPEG_APP0 + 1 && marker->data_length >= 6 &&
            std::memcmp(marker->data, "Exif\0\0", 6) == 0) {
            state.orientation = ExifOrientation(marker->data, marker->data_length);
            break;
        }
    }
    TakeJpegIcc(state);
    // libjpeg turns YCCK into CMYK; the CMYK samples are then turned into RGB here.
    const bool cmyk = info.jpeg_color_space == JCS_CMYK || info.jpeg_color_space == JCS_YCCK;
    if (cmyk) {
        state.cmyk = std::make_unique<CmykConverter>(state.result->metadata.icc);
        // The pixels become sRGB (or near it); the CMYK profile describes them no more.
        state.result->metadata.icc.clear();
        notes.push_back(state.cmyk->note());
    }
    if (info.jpeg_color_space == JCS_GRAYSCALE) {
        notes.push_back("grey image converted to RGB");
        state.result->grey = true;
    }
    info.out_color_space = cmyk ? JCS_CMYK : JCS_RGB;
    jpeg_start_decompress(&info);
    if (info.output_components != (cmyk ? 4 : 3)) {
        state.refusal = "unexpected JPEG layout after conversion";
        return false;
    }
    // Entropy-coded blocks take at least a bit or so each; 64 pixels per bit is more
    // than any real file reaches.
    RowBuffer buffer(state.result->image, static_cast<int>(info.output_width), static_cast<int>(info.output_height), 3,
                     PlausibleBytes(*state.source.input, 64 * 8 * 3), *state.limits);
    if (cmyk) state.cmyk_row.resize(static_cast<std::size_t>(info.output_width) * 4);
    while (info.output_scanline < info.output_height) {
        JSAMPROW row = cmyk ? state.cmyk_row.data() : buffer.NextRow();
        jpeg_read_scanlines(&info, &row, 1);
        // Adobe's files (Photoshop's among them) store CMYK inverted, 255 for no ink.
        if (cmyk) state.cmyk->Convert(row, info.output_width, info.saw_Adobe_marker != 0, buffer.NextRow());
    }
    jpeg_finish_decompress(&info);
    return true;
}

struct JpegReadGuard {
    JpegReadState* state;
    explicit JpegReadGuard(JpegReadState* state_) : state(state_) {}
    JpegReadGuard(const JpegReadGuard&) = delete;
    JpegReadGuard& operator=(const JpegReadGuard&) = delete;
    ~JpegReadGuard() {
        if (state->created) jpeg_destroy_decompress(&state->info);
    }
};

}  // namespace

DecodeResult DecodeJpeg(Input& input, const ReadLimits& limits) {
    DecodeResult result;
    // The source's buffer makes the state too large for the stack.
    auto state = std::make_unique<JpegReadState>();
    state->source.input = &input;
    state->limits = &limits;
    state->result = &result;
    state->info.err = jpeg_std_error(&state->error.base);
    state->error.base.error_exit = JpegFail;
    state->error.base.emit_message = JpegMessage;
    JpegReadGuard guard(state.get());
    if (!DecodeJpegGuarded(*state)) {
        if (!state->refusal.empty()) return Failure(state->refusal);
        if (state->too_many_scans) {
            return Failure("JPEG files of more than " + std::to_string(kMaxJpegScans) +
                           " scans are not supported (a progressive file usually has about 10)");
        }
        // Kinds of JPEG that are valid but that this libjpeg (8-bit, DCT) does not decode.
        const int code = state->error.base.msg_code;
        if (code == JERR_BAD_PRECISION && state->error.base.msg_parm.i[0] == 12) {
            return Failure("12-bit JPEG is not supported; convert it to 8 bits");
        }
        if (code == JERR_SOF_UNSUPPORTED) {
            return Failure("lossless and hierarchical JPEG files are not supported (" +
                           std::string(state->error.message) + ")");
        }
        return Failure("damaged JPEG file: " + std::string(state->error.message));
    }
    Finish(result, state->orientation, "EXIF");
    return result;
}

namespace {


// Hands libjpeg's output to a ByteSink through a buffer of its own.
struct JpegDestination {
    jpeg_destination_mgr base;  // first: libjpeg hands back a pointer to it
    ByteSink* out;
    bool failed;  // the sink refused bytes; its Error() says why
    JOCTET buffer[1 << 16];
};

void JpegInitDestination(j_compress_ptr info) {
    auto* destination = reinterpret_cast<JpegDestination*>(info->dest);
    destination->base.next_output_byte = destination->buffer;
    destination->base.free_in_buffer = sizeof destination->buffer;
}

void JpegWriteOut(j_compress_ptr info, std::size_t size) {
    auto* destination = reinterpret_cast<JpegDestination*>(info->dest);
    if (size > 0 && !destination->out->Write(destination->buffer, size)) {
        destination->failed = true;
        info->err->msg_code = JERR_FILE_WRITE;
        (*info->err->error_exit)(reinterpret_cast<j_common_ptr>(info));
    }
    destination->base.next_output_byte = destination->buffer;
    destination->base.free_in_buffer = sizeof destination->buffer;
}

boolean JpegEmptyBuffer(j_compress_ptr info) {
    JpegWriteOut(info, sizeof reinterpret_cast<JpegDestination*>(info->dest)->buffer);
    return TRUE;
}

void JpegTermDestination(j_compress_ptr info) {
    auto* destination = reinterpret_cast<JpegDestination*>(info->dest);
    JpegWriteOut(info, sizeof destination->buffer - destination->base.free_in_buffer);
}

struct JpegWriteState {
    jpeg_compress_struct info{};
    JpegErrorManager error{};
    JpegDestination destination{};
    RowSource* rows = nullptr;
    const Metadata* metadata = nullptr;
    int quality = kDefaultJpegQuality;
    bool grey = false;                   // written as one grey component
    std::vector<std::uint8_t> grey_row;  // a row packed as grey, when it is
    bool created = false;
};

// The largest profile libjpeg splits into APP2 markers: 255 of them.
constexpr std::size_t kMaxJpegIccBytes = std::size_t{255} * (65533 - 14);

bool EncodeJpegGuarded(JpegWriteState& state) {
    jpeg_compress_struct& info = state.info;
    if (setjmp(state.error.jump)) return false;
    RowSource& rows = *state.rows;
    jpeg_create_compress(&info);
    state.created = true;
    state.destination.base.init_destination = JpegInitDestination;
    state.destination.base.empty_output_buffer = JpegEmptyBuffer;
    state.destination.base.term_destination = JpegTermDestination;
    info.dest = &state.destination.base;
    info.image_width = static_cast<JDIMENSION>(rows.width());
    info.image_height = static_cast<JDIMENSION>(rows.height());
    info.input_components = state.grey ? 1 : 3;
    info.in_color_space = state.grey ? JCS_GRAYSCALE : JCS_RGB;
    jpeg_set_defaults(&info);
    jpeg_set_quality(&info, state.quality, TRUE);
    // Huffman tables made for the image: a few percent smaller at little cost.
    info.optimize_coding = TRUE;
    jpeg_start_compress(&info, TRUE);
    const std::vector<std::uint8_t>& icc = state.metadata->icc;
    if (!icc.empty() && icc.size() <= kMaxJpegIccBytes) {
        jpeg_write_icc_profile(&info, icc.data(), static_cast<unsigned int>(icc.size()));
    }
    while (info.next_scanline < info.image_height) {
        const std::uint8_t* next = rows.Row(static_cast<int>(info.next_scanline));
        if (next == nullptr) {
            std::snprintf(state.error.message, sizeof state.error.message, "%s", kRowsAbandoned);
            return false;
        }
        if (state.grey) {
            PackGrey(next, rows.width(), 3, state.grey_row.data());
            next = state.grey_row.data();
        }
        // libjpeg reads the rows it is given and never writes to them.
        JSAMPROW row = const_cast<JSAMPLE*>(next);
        jpeg_write_scanlines(&info, &row, 1);
    }
    jpeg_finish_compress(&info);
    return true;
}

struct JpegWriteGuard {
    JpegWriteState* state;
    explicit JpegWriteGuard(JpegWriteState* state_) : state(state_) {}
    JpegWriteGuard(const JpegWriteGuard&) = delete;
    JpegWriteGuard& operator=(const JpegWriteGuard&) = delete;
    ~JpegWriteGuard() {
        if (state->created) jpeg_destroy_compress(&state->info);
    }
};

}  // namespace

std::string EncodeJpeg(RowSource& rows, ByteSink& out, const Metadata& metadata, const WriteOptions& options,
                       bool grey, std::vector<std::string>& notes) {
    auto state = std::make_unique<JpegWriteState>();
    state->grey = grey;
    if (grey) state->grey_row.resize(static_cast<std::size_t>(rows.width()));
    state->rows = &rows;
    state->metadata = &metadata;
    state->quality = options.quality.value_or(kDefaultJpegQuality);
    state->destination.out = &out;
    state->info.err = jpeg_std_error(&state->error.base);
    state->error.base.error_exit = JpegFail;
    state->error.base.emit_message = JpegQuiet;
    if (metadata.icc.size() > kMaxJpegIccBytes) {
        notes.push_back("the ICC profile was dropped: it is too large for a JPEG file");
    }
    JpegWriteGuard guard(state.get());
    if (!EncodeJpegGuarded(*state)) {
        return state->destination.failed ? out.Error() : "JPEG encoding failed: " + std::string(state->error.message);
    }
    return {};
}

}  // namespace tessellon::cli::imageio
