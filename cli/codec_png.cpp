// PNG files through libpng: the reader (every colour type and bit depth, interlaced
// or not, to 8-bit RGB or RGBA, with the colour chunks iCCP, gAMA, cHRM and sRGB and
// the orientation of an eXIf chunk) and the writer (RGB or RGBA, with the colour
// chunks the metadata holds).
//
// libpng reports errors by a long jump out of the library; every function that sets
// a jump point here keeps its state in a structure owned by its caller and creates no
// object with a destructor after the jump point, so a jump back skips nothing that
// needs cleaning up. The caller then destroys libpng's structures through a guard.
#include <algorithm>
#include <array>
#include <csetjmp>
#include <cstring>

#include <png.h>
#include <zlib.h>

#include "cli/image_io_internal.h"

namespace tessellon::cli::imageio {

namespace {


// The most libpng may take for one chunk: 16 MiB, as for an ICC profile. libpng
// checks each chunk's declared length against it and keeps no chunk above it whole.
constexpr std::size_t kMaxPngChunkBytes = kMaxIccBytes;
// How many ancillary chunks libpng may keep whole, plus two (its count stops at 2,
// where it says the cache is full): the only one kept here is eXIf, of which a file
// has one.
constexpr png_uint_32 kPngChunkCache = 3;

// libpng's error and first warning texts, and the chunks it found longer than
// kMaxPngChunkBytes (their names: a warning comes from a libpng callback, where
// nothing may be allocated).
struct PngMessages {
    char error[kMessageSize] = {};
    char warning[kMessageSize] = {};
    static constexpr int kMaxLongChunks = 8;
    char long_chunks[kMaxLongChunks][5] = {};
    int long_chunk_count = 0;
};

[[noreturn]] void PngFail(png_structp png, png_const_charp message) {
    auto* messages = static_cast<PngMessages*>(png_get_error_ptr(png));
    std::snprintf(messages->error, kMessageSize, "%s", message);
    png_longjmp(png, 1);
}

// Warnings (a damaged ancillary chunk, say) leave the image usable; the first is kept
// to explain metadata that libpng refused.
void PngWarn(png_structp png, png_const_charp message) {
    auto* messages = static_cast<PngMessages*>(png_get_error_ptr(png));
    if (messages->warning[0] == '\0') std::snprintf(messages->warning, kMessageSize, "%s", message);
    // "tEXt: chunk data is too large": a chunk's declared length is above the limit.
    static constexpr char kTooLarge[] = ": chunk data is too large";
    const std::size_t length = std::strlen(message);
    if (length == 4 + sizeof kTooLarge - 1 && std::strcmp(message + 4, kTooLarge) == 0 &&
        messages->long_chunk_count < PngMessages::kMaxLongChunks) {
        std::memcpy(messages->long_chunks[messages->long_chunk_count++], message, 4);
    }
}

struct PngReadState {
    Input* input = nullptr;
    const ReadLimits* limits = nullptr;
    DecodeResult* result = nullptr;
    std::vector<png_bytep> rows;
    std::string refusal;  // a refusal of our own, made before any pixel is read
    int orientation = 0;
    PngMessages messages;
};

void PngReadBytes(png_structp png, png_bytep out, png_size_t length) {
    auto* state = static_cast<PngReadState*>(png_get_io_ptr(png));
    if (state->input->Read(out, length) != length) png_error(png, "the file ends early");
}

struct PngReadGuard {
    png_structp png = nullptr;
    png_infop info = nullptr;
    PngReadGuard() = default;
    PngReadGuard(const PngReadGuard&) = delete;
    PngReadGuard& operator=(const PngReadGuard&) = delete;
    ~PngReadGuard() {
        if (png != nullptr) png_destroy_read_struct(&png, info != nullptr ? &info : nullptr, nullptr);
    }
};

// The colour chunks libpng accepted (it drops damaged ones with a warning). An sRGB
// chunk brings the gamma and chromaticities that go with it.
void ReadPngColourChunks(png_structp png, png_infop info, DecodeResult& result) {
    png_charp name = nullptr;
    int compression = 0;
    png_bytep profile = nullptr;
    png_uint_32 length = 0;
    if (png_get_iCCP(png, info, &name, &compression, &profile, &length) != 0 && profile != nullptr) {
        TakeIcc(result, profile, length);
    }
    png_fixed_point gamma = 0;
    if (png_get_gAMA_fixed(png, info, &gamma) != 0 && gamma > 0) {
        result.metadata.png_gamma = static_cast<std::uint32_t>(gamma);
    }
    png_fixed_point c[8] = {};
    if (png_get_cHRM_fixed(png, info, &c[0], &c[1], &c[2], &c[3], &c[4], &c[5], &c[6], &c[7]) != 0 &&
        std::all_of(c, c + 8, [](png_fixed_point v) { return v >= 0; })) {
        std::array<std::uint32_t, 8> chromaticities{};
        for (int i = 0; i < 8; ++i) chromaticities[static_cast<std::size_t>(i)] = static_cast<std::uint32_t>(c[i]);
        result.metadata.png_chromaticities = chromaticities;
    }
    int intent = 0;
    if (png_get_sRGB(png, info, &intent) != 0) result.metadata.srgb_intent = intent;
}

// Chunks that say nothing about the pixels or their colours, which libpng would read
// whole into memory of their declared length, cleared, before it finds out whether
// the bytes are there (2 GB for a text chunk that declares 0x7FFFFFFF bytes). libpng
// 1.6 only warns when one is longer than its per-chunk limit and allocates it anyway,
// so these are never kept: libpng then reads past them a piece at a time.
constexpr png_byte kPngChunksSkipped[] = "tEXt\0zTXt\0iTXt\0sPLT\0pCAL\0sCAL";
constexpr int kPngChunksSkippedCount = 6;
constexpr png_byte kPngExif[] = "eXIf";

bool DecodePngGuarded(png_structp png, png_infop info, PngReadState& state) {
    if (setjmp(png_jmpbuf(png))) return false;
    std::vector<std::string>& notes = state.result->notes;
    png_set_read_fn(png, &state, PngReadBytes);
    // Our own size check below says more than libpng's default limit would.
    png_set_user_limits(png, 0x7FFFFFFF, 0x7FFFFFFF);
    // The per-chunk limit also bounds an ICC profile and what a compressed chunk
    // expands to. eXIf is kept as an unknown chunk, whose store keeps to the limits:
    // one longer than the limit is read past, not allocated.
    png_set_chunk_malloc_max(png, kMaxPngChunkBytes);
    png_set_chunk_cache_max(png, kPngChunkCache);
    png_set_keep_unknown_chunks(png, PNG_HANDLE_CHUNK_NEVER, kPngChunksSkipped, kPngChunksSkippedCount);
    png_set_keep_unknown_chunks(png, PNG_HANDLE_CHUNK_ALWAYS, kPngExif, 1);
    png_read_info(png, info);
    const png_uint_32 width = png_get_image_width(png, info);
    const png_uint_32 height = png_get_image_height(png, info);
    state.refusal = DimensionProblem(width, height, *state.limits);
    if (!state.refusal.empty()) return false;
    const std::uint64_t stored_bytes = std::uint64_t{height} * (png_get_rowbytes(png, info) + 1);
    if (png_get_interlace_type(png, info) != PNG_INTERLACE_NONE && !state.input->size()) {
        // An interlaced image comes in passes over the whole picture, so it needs all
        // of its rows at once. From a stream its compressed bytes are read in first,
        // so that their number bounds the picture as a file's size does below. They
        // may be at most twice the rows stored (deflate's stored blocks and the chunk
        // framing add far less) and some room for other chunks.
        const std::uint64_t most = SaturatingProduct(stored_bytes, 2) + kStreamSlack;
        if (!state.input->BufferRest(most)) {
            if (state.input->error().empty()) {
                state.refusal = "an interlaced PNG file of " + SizeText(width, height) +
                                " read from a stream may be at most " + std::to_string(most) +
                                " bytes; read it from a file";
            }
            return false;
        }
    }
    // The compressed rows must be able to fill the declared size.
    const std::optional<std::uint64_t> plausible = PlausibleBytes(*state.input, kDeflateRatio);
    if (plausible && stored_bytes > 4096 && stored_bytes - 4096 > *plausible) {
        state.refusal = "damaged PNG file: " + std::to_string(*state.input->size()) + " bytes cannot hold a " +
                        SizeText(width, height) + " image";
        return false;
    }
    ReadPngColourChunks(png, info, *state.result);

    const int colour_type = png_get_color_type(png, info);
    const int bit_depth = png_get_bit_depth(png, info);
    const bool transparency = png_get_valid(png, info, PNG_INFO_tRNS) != 0;
    if (colour_type == PNG_COLOR_TYPE_PALETTE) {
        png_set_palette_to_rgb(png);
        notes.push_back(transparency ? "palette image expanded to RGBA" : "palette image expanded to RGB");
    }
    if (colour_type == PNG_COLOR_TYPE_GRAY && bit_depth < 8) png_set_expand_gray_1_2_4_to_8(png);
    if (transparency) png_set_tRNS_to_alpha(png);
    if (bit_depth == 16) {
        png_set_scale_16(png);
        notes.push_back("16-bit image converted to 8 bits per channel");
    }
    if ((colour_type & PNG_COLOR_MASK_COLOR) == 0) {
        state.result->grey = true;
        png_set_gray_to_rgb(png);
        const bool alpha = (colour_type & PNG_COLOR_MASK_ALPHA) != 0 || transparency;
        notes.push_back(alpha ? "grey image with alpha converted to RGBA" : "grey image converted to RGB");
    }
    const int passes = png_set_interlace_handling(png);
    png_read_update_info(png, info);
    const int planes = png_get_channels(png, info);
    if ((planes != 3 && planes != 4) || png_get_bit_depth(png, info) != 8) {
        state.refusal = "unexpected PNG layout after conversion";
        return false;
    }
    RowBuffer buffer(state.result->image, static_cast<int>(width), static_cast<int>(height), planes, plausible,
                     *state.limits);
    if (passes == 1) {
        for (png_uint_32 y = 0; y < height; ++y) png_read_row(png, buffer.NextRow(), nullptr);
    } else {
        // Every row at once; the size check above has tied them to the input's size.
        std::uint8_t* all = buffer.All();
        state.rows.resize(height);
        for (png_uint_32 y = 0; y < height; ++y) state.rows[y] = all + y * buffer.row_bytes();
        png_read_image(png, state.rows.data());
    }
    // The chunks after the pixels too: an eXIf chunk may come there.
    png_read_end(png, info);
    png_unknown_chunkp chunks = nullptr;
    const int count = png_get_unknown_chunks(png, info, &chunks);
    for (int i = 0; i < count; ++i) {
        if (std::memcmp(chunks[i].name, kPngExif, 4) == 0 && chunks[i].data != nullptr) {
            state.orientation = ExifOrientation(chunks[i].data, chunks[i].size);
            break;
        }
    }
    return true;
}

// Notes for the chunks libpng read past for their length.
void NoteLongPngChunks(const PngMessages& messages, std::vector<std::string>& notes) {
    for (int i = 0; i < messages.long_chunk_count; ++i) {
        const std::string name(messages.long_chunks[i], 4);
        std::string what;
        if (name == "tEXt" || name == "zTXt" || name == "iTXt") {
            what = "a PNG text chunk (" + name + ")";
        } else if (name == "eXIf") {
            what = "the PNG EXIF chunk (eXIf), and the orientation it may give,";
        } else {
            continue;  // chunks never used, or read a piece at a time anyway
        }
        std::string note = what + " was skipped: it is larger than 16 MiB";
        if (std::find(notes.begin(), notes.end(), note) == notes.end()) notes.push_back(std::move(note));
    }
}

}  // namespace

DecodeResult DecodePng(Input& input, const ReadLimits& limits) {
    DecodeResult result;
    PngReadState state;
    state.input = &input;
    state.limits = &limits;
    state.result = &result;
    PngReadGuard guard;
    guard.png = png_create_read_struct(PNG_LIBPNG_VER_STRING, &state.messages, PngFail, PngWarn);
    if (guard.png != nullptr) guard.info = png_create_info_struct(guard.png);
    if (guard.png == nullptr || guard.info == nullptr) return Failure("out of memory for the PNG decoder");
    if (!DecodePngGuarded(guard.png, guard.info, state)) {
        return Failure(state.refusal.empty() ? "damaged PNG file: " + std::string(state.messages.error) : state.refusal);
    }
    NoteLongPngChunks(state.messages, result.notes);
    Finish(result, state.orientation, "EXIF");
    return result;
}

namespace {


struct PngWriteState {
    ByteSink* out = nullptr;
    RowSource* rows = nullptr;
    const Metadata* metadata = nullptr;
    std::optional<int> level;  // none: run-length deflate
    std::vector<std::string>* notes = nullptr;
    bool grey = false;                   // written as grey (and alpha)
    std::vector<std::uint8_t> grey_row;  // a row packed as grey, when it is
    PngMessages messages;
};

void PngWriteBytes(png_structp png, png_bytep data, png_size_t length) {
    auto* state = static_cast<PngWriteState*>(png_get_io_ptr(png));
    if (!state->out->Write(data, length)) png_error(png, "the bytes could not be written");
}

void PngFlush(png_structp) {}

struct PngWriteGuard {
    png_structp png = nullptr;
    png_infop info = nullptr;
    PngWriteGuard() = default;
    PngWriteGuard(const PngWriteGuard&) = delete;
    PngWriteGuard& operator=(const PngWriteGuard&) = delete;
    ~PngWriteGuard() {
        if (png != nullptr) png_destroy_write_struct(&png, info != nullptr ? &info : nullptr);
    }
};

// Notes a chunk that libpng refused to take, with its warning.
void NoteRefused(PngWriteState& state, const char* what) {
    state.notes->push_back(std::string(what) + ": libpng refused it (" + state.messages.warning + ")");
}

// Hands libpng the colour chunks; a value it refuses (it checks them against each
// other and the profile against the image) is left out with a note. A profile stands
// in for an sRGB chunk: the two are not written together.
void SetPngColourChunks(png_structp png, png_infop info, PngWriteState& state) {
    const Metadata& metadata = *state.metadata;
    // Refusals become warnings, so that a bad value costs the chunk and not the file.
    png_set_benign_errors(png, 1);
    if (metadata.png_gamma) {
        state.messages.warning[0] = '\0';
        if (*metadata.png_gamma <= 0x7FFFFFFF) {
            png_set_gAMA_fixed(png, info, static_cast<png_fixed_point>(*metadata.png_gamma));
        }
        if (png_get_valid(png, info, PNG_INFO_gAMA) == 0) NoteRefused(state, "the PNG gamma was dropped");
    }
    if (metadata.png_chromaticities) {
        const std::array<std::uint32_t, 8>& c = *metadata.png_chromaticities;
        state.messages.warning[0] = '\0';
        if (std::all_of(c.begin(), c.end(), [](std::uint32_t v) { return v <= 0x7FFFFFFF; })) {
            const auto f = [&c](int i) { return static_cast<png_fixed_point>(c[static_cast<std::size_t>(i)]); };
            png_set_cHRM_fixed(png, info, f(0), f(1), f(2), f(3), f(4), f(5), f(6), f(7));
        }
        if (png_get_valid(png, info, PNG_INFO_cHRM) == 0) NoteRefused(state, "the PNG chromaticities were dropped");
    }
    if (!metadata.icc.empty()) {
        state.messages.warning[0] = '\0';
        png_set_iCCP(png, info, "ICC profile", PNG_COMPRESSION_TYPE_BASE, metadata.icc.data(),
                     static_cast<png_uint_32>(metadata.icc.size()));
        if (png_get_valid(png, info, PNG_INFO_iCCP) == 0) NoteRefused(state, "the ICC profile was dropped");
    } else if (metadata.srgb_intent) {
        state.messages.warning[0] = '\0';
        png_set_sRGB(png, info, *metadata.srgb_intent);
        if (png_get_valid(png, info, PNG_INFO_sRGB) == 0) NoteRefused(state, "the PNG sRGB chunk was dropped");
    }
}

bool EncodePngGuarded(png_structp png, png_infop info, PngWriteState& state) {
    if (setjmp(png_jmpbuf(png))) return false;
    RowSource& rows = *state.rows;
    png_set_write_fn(png, &state, PngWriteBytes, PngFlush);
    if (state.level) {
        png_set_compression_level(png, *state.level);
    } else {
        // Any level above 0 runs zlib's run-length deflate; the level itself is not used.
        png_set_compression_level(png, 1);
        png_set_compression_strategy(png, Z_RLE);
    }
    // Stored rows gain nothing from a filter; otherwise libpng picks one for each row.
    png_set_filter(png, PNG_FILTER_TYPE_BASE, state.level == 0 ? PNG_FILTER_NONE : PNG_ALL_FILTERS);
    const bool alpha = rows.planes() == 4;
    const int colour_type = state.grey ? (alpha ? PNG_COLOR_TYPE_GRAY_ALPHA : PNG_COLOR_TYPE_GRAY)
                                       : (alpha ? PNG_COLOR_TYPE_RGB_ALPHA : PNG_COLOR_TYPE_RGB);
    png_set_IHDR(png, info, static_cast<png_uint_32>(rows.width()), static_cast<png_uint_32>(rows.height()), 8,
                 colour_type, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    SetPngColourChunks(png, info, state);
    png_write_info(png, info);
    for (int y = 0; y < rows.height(); ++y) {
        const std::uint8_t* row = rows.Row(y);
        if (row == nullptr) png_error(png, kRowsAbandoned);
        if (state.grey) {
            PackGrey(row, rows.width(), rows.planes(), state.grey_row.data());
            row = state.grey_row.data();
        }
        png_write_row(png, row);
    }
    png_write_end(png, nullptr);
    return true;
}

}  // namespace

std::string EncodePng(RowSource& rows, ByteSink& out, const Metadata& metadata, const WriteOptions& options,
                      bool grey, std::vector<std::string>& notes) {
    PngWriteState state;
    state.grey = grey;
    if (grey) state.grey_row.resize(static_cast<std::size_t>(rows.width()) * (rows.planes() == 4 ? 2 : 1));
    state.out = &out;
    state.rows = &rows;
    state.metadata = &metadata;
    state.notes = &notes;
    state.level = options.compression;
    PngWriteGuard guard;
    guard.png = png_create_write_struct(PNG_LIBPNG_VER_STRING, &state.messages, PngFail, PngWarn);
    if (guard.png != nullptr) guard.info = png_create_info_struct(guard.png);
    if (guard.png == nullptr || guard.info == nullptr) return "out of memory for the PNG encoder";
    if (!EncodePngGuarded(guard.png, guard.info, state)) {
        const std::string sink_error = out.Error();
        return sink_error.empty() ? "PNG encoding failed: " + std::string(state.messages.error) : sink_error;
    }
    return {};
}

}  // namespace tessellon::cli::imageio
