// A whole filtering run through the in-memory host, with the input choosing the image,
// the host's record and callbacks, the selection and every saved setting. The settings
// go into the store as the command-line host leaves them, and Start runs without
// Parameters, so the module reads them back through its own load path.
//
// Input, front to back (missing bytes read as 0, the plain choice):
//   width-1, height-1 (each modulo 64)
//   flags: planes 4, layer, floating, samplingSupport (2 bits), other image mode,
//          no abortProc, no progressProc
//   flags: no displayPixels, no colorServices, mask kind (2 bits), filter rectangle
//          kind (2 bits), abort during the run, advanceState fails
//   image mode, maxSpace kind and its value, row padding, record length
//   background RGB, foreground RGB
//   filter rectangle (8 bytes), mask rectangle or pattern (4 bytes), abort call,
//   advanceState's error
//   16 control values (a tag byte each, then 1, 1, 2 or 4 bytes), 8 colours (4 bytes each)
//   mask bytes (arbitrary masks only), then the pixels, repeated to fill the image
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>

#include "filter/definition.h"
#include "fuzz/fuzz_support.h"
#include "memhost/memhost.h"
#include "platform/platform.h"
#include "runtime/context.h"
#include "shell/host.h"
#include "ui/dialog_model.h"
#include "ui/settings.h"

namespace {

using namespace tessellon;
using memhost::Image;

constexpr int kMaxSide = 64;

psapi::Rect RectOf(int top, int left, int bottom, int right) {
    return {static_cast<psapi::int16>(top), static_cast<psapi::int16>(left), static_cast<psapi::int16>(bottom),
            static_cast<psapi::int16>(right)};
}

// Mostly small values around the sliders' ranges; now and then any 32-bit value.
std::int32_t ControlValue(fuzz::ByteReader& in) {
    switch (in.Byte() & 3) {
        case 0: return static_cast<std::int8_t>(in.Byte());
        case 1: return in.Byte();
        case 2: return in.I16();
        default: return in.I32();
    }
}

psapi::Rect FilterRect(int kind, fuzz::ByteReader& in, int width, int height) {
    const std::uint8_t a = in.Byte(), b = in.Byte(), c = in.Byte(), d = in.Byte();
    const std::uint8_t e = in.Byte(), f = in.Byte(), g = in.Byte(), h = in.Byte();
    switch (kind) {
        case 0: return RectOf(0, 0, height, width);
        case 1: {  // a non-empty rectangle inside the image
            const int top = a % height;
            const int left = b % width;
            return RectOf(top, left, top + 1 + c % (height - top), left + 1 + d % (width - left));
        }
        case 2:  // anything the record's 16-bit fields can hold
            return RectOf(static_cast<std::int16_t>(a | b << 8), static_cast<std::int16_t>(c | d << 8),
                          static_cast<std::int16_t>(e | f << 8), static_cast<std::int16_t>(g | h << 8));
        default:  // near the image, partly outside, empty or upside down
            return RectOf(static_cast<std::int8_t>(a) / 2, static_cast<std::int8_t>(b) / 2,
                          static_cast<std::int8_t>(c) / 2 + height, static_cast<std::int8_t>(d) / 2 + width);
    }
}

// `shape` holds the rectangle's or pattern's four bytes; arbitrary masks read their
// bytes from `in`.
std::optional<Image> Mask(int kind, const std::uint8_t (&shape)[4], fuzz::ByteReader& in, int width, int height) {
    const std::uint8_t a = shape[0], b = shape[1], c = shape[2], d = shape[3];
    switch (kind) {
        case 0: return std::nullopt;
        case 1:
            return memhost::RectangularMask(width, height,
                                            RectOf(a % (height + 2) - 1, b % (width + 2) - 1, c % (height + 2),
                                                   d % (width + 2)));
        case 2: {  // arbitrary bytes
            Image mask(width, height, 1);
            for (std::uint8_t& byte : mask.bytes) byte = in.Byte();
            return mask;
        }
        default: {  // a pattern of unselected, partly and fully selected pixels
            Image mask(width, height, 1);
            for (int y = 0; y < height; ++y) {
                for (int x = 0; x < width; ++x) {
                    const int v = (x * (a | 1) + y * (b | 1) + c) % 7;
                    mask.At(x, y, 0) = v < 2 ? 0 : v < 4 ? 255 : static_cast<std::uint8_t>(d + x * y);
                }
            }
            return mask;
        }
    }
}

psapi::int32 MaxSpace(fuzz::ByteReader& in, int planes, int width, int height) {
    const std::uint8_t kind = in.Byte();
    switch (kind & 3) {
        case 0: return 1 << 30;
        case 1: return in.U16();
        case 2: return in.I32();
        default: {  // about a whole number of rows, so that strips of every height occur
            const int row_cost = (2 * planes + 2) * (width + 4);
            return row_cost * (1 + in.Byte() % height) + static_cast<std::int8_t>(in.Byte());
        }
    }
}

std::size_t RecordBytes(std::uint8_t choice) {
    // The record lengths hosts hand over: the 4.0 layout, one ending inside maxSpace64,
    // one ending right after documentInfo.
    switch (choice % 3) {
        case 0: return sizeof(psapi::FilterRecord);
        case 1: return psapi::kWide ? 556u : 436u;
        default: return offsetof(psapi::FilterRecord, documentInfo) + sizeof(void*);
    }
}

Image Pixels(fuzz::ByteReader& in, int width, int height, int planes) {
    if (in.Remaining() == 0) return memhost::PatternImage(width, height, planes);
    Image image(width, height, planes);
    const std::uint8_t* rest = in.Rest();
    const std::size_t n = in.Remaining();
    for (std::size_t i = 0; i < image.bytes.size(); ++i) image.bytes[i] = rest[i % n];
    return image;
}

// The values as the store must hand them back, and after the module's own clamping.
struct Stored {
    std::int32_t controls[kControlCount];
    std::uint32_t colours[kColourCount];
};

void Store(const Stored& stored) {
    std::memcpy(Live().controls, stored.controls, sizeof Live().controls);
    std::memcpy(definition_block.colours, stored.colours, sizeof definition_block.colours);
    SaveSettings();
    // Whatever is in memory now must not reach the run: only the store's values may.
    for (int i = 0; i < kControlCount; ++i) Live().controls[i] = static_cast<std::int32_t>(0x7EADBEE0u + i);
    for (std::uint32_t& colour : definition_block.colours) colour = 0xDEADBEEFu;
}

void CheckLoaded(const Stored& stored) {
    for (int i = 0; i < kControlCount; ++i) {
        std::int32_t expected = stored.controls[i];
        if (i < kSliderCount) {
            const ControlRecord& record = definition_block.controls[i];
            if (expected < record.min) expected = record.min;
            if (expected > record.max) expected = record.max;
        }
        if (Live().controls[i] != expected) {
            fuzz::Fail("control " + std::to_string(i) + " ran with " + std::to_string(Live().controls[i]) +
                       ", stored " + std::to_string(stored.controls[i]));
        }
    }
    if (std::memcmp(definition_block.colours, stored.colours, sizeof stored.colours) != 0) {
        fuzz::Fail("the run's colours are not the stored ones");
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::UsePrivateSettingsStore();
    fuzz::SilenceMessageBoxes();
    LoadModule(nullptr, nullptr);
    if (Platform().settings_create_key(Bound().settings_key, kSettingsKeyClass) != SettingsStatus::ok) {
        fuzz::Fail("cannot create the settings key");
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::ByteReader in(data, size);
    const int width = 1 + in.Byte() % kMaxSide;
    const int height = 1 + in.Byte() % kMaxSide;
    const std::uint8_t flags = in.Byte();
    const std::uint8_t more = in.Byte();
    const int planes = (flags & 1) != 0 ? 4 : 3;

    memhost::HostOptions options;
    options.layer = planes == 4 && (flags & 2) != 0;
    options.floating = (flags & 4) != 0;
    options.sampling_support = static_cast<char>((flags >> 3) & 3);
    const std::uint8_t mode = in.Byte();
    if ((flags & 0x20) != 0) options.image_mode = mode;
    options.with_abort = (flags & 0x40) == 0;
    options.with_progress = (flags & 0x80) == 0;
    options.with_display_pixels = (more & 1) == 0;
    options.with_color_services = (more & 2) == 0;
    options.max_space = MaxSpace(in, planes, width, height);
    options.row_padding = in.Byte() % 17;
    options.record_bytes = RecordBytes(in.Byte());
    for (std::size_t i = 0; i < 3; ++i) options.back_color[i] = in.Byte();
    for (std::size_t i = 0; i < 3; ++i) options.fore_color[i] = in.Byte();
    const psapi::Rect filter_rect = FilterRect((more >> 4) & 3, in, width, height);
    options.filter_rect = filter_rect;
    std::uint8_t mask_shape[4];
    for (std::uint8_t& byte : mask_shape) byte = in.Byte();
    const std::uint8_t abort_call = in.Byte();
    const psapi::int16 advance_error = in.I16();

    Stored stored{};
    for (std::int32_t& value : stored.controls) value = ControlValue(in);
    for (std::uint32_t& colour : stored.colours) colour = in.U32();
    Store(stored);

    const std::optional<Image> mask = Mask((more >> 2) & 3, mask_shape, in, width, height);
    options.mask = mask;

    memhost::MemHost host(Pixels(in, width, height, planes), options);
    if ((more & 0x40) != 0) host.abort_from_call = 1 + abort_call;
    if ((more & 0x80) != 0) host.advance_result = advance_error != 0 ? advance_error : -108;
    const psapi::int16 result = host.RunAsHost();

    fuzz::CheckRunLeftHostIntact(host, filter_rect, mask);
    if (result == psapi::noErr) CheckLoaded(stored);
    return 0;
}
