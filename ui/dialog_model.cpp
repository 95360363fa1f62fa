// The filter dialog's window-free decisions. No Windows headers.
#include "ui/dialog_model.h"

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <cstring>

#include "filter/control_rows.h"
#include "filter/definition.h"
#include "runtime/block_format.h"
#include "runtime/builtins.h"
#include "runtime/context.h"
#include "ui/settings.h"

namespace tessellon {


namespace {

// Values are formed in 64 bits, where no step over a 32-bit range can overflow, and
// brought back once they lie within the range or at the value they started from.
std::int32_t Narrow(std::int64_t v) noexcept { return static_cast<std::int32_t>(v); }

bool IsBlank(char c) noexcept { return c == ' ' || c == '\t'; }

}  // namespace

void ApplyControlDefaults() noexcept { ApplyControlDefaults(Live().controls); }

void ApplyControlDefaults(std::int32_t (&controls)[kControlCount]) noexcept {
    for (int i = 0; i < kSliderCount; ++i) {
        const std::int32_t value = definition_block.control_defaults[i];
        if (value == kKeepCurrentValue) continue;
        const std::int32_t jitter = definition_block.control_jitter[i];
        std::uint32_t grown = static_cast<std::uint32_t>(value);
        if (jitter > 0) grown += static_cast<std::uint32_t>(jitter) * static_cast<std::uint32_t>(NextRandom()) / 32767u;
        controls[i] = static_cast<std::int32_t>(grown);
    }
}

void ClampSliderValues() noexcept { ClampSliderValues(Live().controls); }

void ClampSliderValues(std::int32_t (&controls)[kControlCount]) noexcept {
    for (int i = 0; i < kSliderCount; ++i) {
        const ControlRecord& record = definition_block.controls[i];
        if (controls[i] < record.min) controls[i] = record.min;
        if (controls[i] > record.max) controls[i] = record.max;
    }
}

void ApplyTilePreset(std::int32_t (&controls)[kControlCount]) noexcept {
    std::fill(std::begin(controls), std::end(controls), 0);
    ApplyControlDefaults(controls);
    controls[kOverlapXRow] = kTilePresetOverlap;
    controls[kOverlapYRow] = kTilePresetOverlap;
    ClampSliderValues(controls);
}

void ApplyScriptedValues() noexcept {
    for (int r = 0; r < kControlCount; ++r) {
        if ((Dialog().scripted.present & (1u << r)) != 0) Live().controls[r] = Dialog().scripted.controls[r];
    }
    if ((Dialog().scripted.present & kScriptedColourBit) != 0) definition_block.colours[0] = Dialog().scripted.colour;
}

void InitialiseDialogValues() noexcept {
    ApplyControlDefaults();
    LoadSettings();
    ApplyScriptedValues();
    ClampSliderValues();
}

void ShowErrorBox(WindowHandle owner, const char* text) noexcept {
    Platform().message_box(owner, text, "Vextrel Error", MessageIcon::stop);
}

std::int32_t SliderStep(std::uint32_t wparam, std::int32_t value, std::int32_t min, std::int32_t max) noexcept {
    const std::int64_t v = value;
    const std::int64_t page = (static_cast<std::int64_t>(max) - min) / 8;
    switch (static_cast<std::int32_t>(wparam & 0xFFFFu)) {
        case kScrollLineUp: return v > min ? Narrow(v - 1) : value;
        case kScrollLineDown: return v < max ? Narrow(v + 1) : value;
        case kScrollPageUp: return v - page < min ? min : Narrow(v - page);
        case kScrollPageDown: return v + page > max ? max : Narrow(v + page);
        case kScrollThumbPosition:
        case kScrollThumbTrack: return static_cast<std::int16_t>(static_cast<std::uint16_t>(wparam >> 16));
        case kScrollTop: return min;
        case kScrollBottom: return max;
        default: return value;
    }
}

bool ParseNumberBox(const char* text, std::int32_t* value) noexcept {
    if (text == nullptr) return false;
    const char* p = text;
    while (IsBlank(*p)) ++p;
    bool negative = false;
    if (*p == '-' || *p == '+') negative = *p++ == '-';
    if (*p < '0' || *p > '9') return false;
    std::int64_t magnitude = 0;
    for (; *p >= '0' && *p <= '9'; ++p) {
        magnitude = magnitude * 10 + (*p - '0');
        if (magnitude > 0x80000000LL) return false;
    }
    while (IsBlank(*p)) ++p;
    if (*p != '\0') return false;
    const std::int64_t signed_value = negative ? -magnitude : magnitude;
    if (signed_value > 0x7FFFFFFFLL) return false;
    *value = Narrow(signed_value);
    return true;
}

NumberBoxReading ReadNumberBox(const char* text, std::int32_t min, std::int32_t max) noexcept {
    NumberBoxReading reading{0, false};
    if (!ParseNumberBox(text, &reading.value)) {
        reading.value = 0;
        reading.corrected = true;
    }
    if (reading.value > max) {
        reading.value = max;
        reading.corrected = true;
    }
    if (reading.value < min) {
        reading.value = min;
        reading.corrected = true;
    }
    return reading;
}

std::vector<std::string> ParseSelectorItems(const char* text, std::size_t size) {
    std::vector<std::string> items;
    std::string item;
    for (std::size_t i = 0; i <= size; ++i) {
        const unsigned char c = i < size ? static_cast<unsigned char>(text[i]) : 0;
        if (c == '\r' || c == 0) {
            if (!item.empty()) items.push_back(item);
            item.clear();
            if (c == 0) break;
            continue;
        }
        if (item.empty() && c <= 0x20) continue;
        if (item.size() < kSelectorItemLimit) item.push_back(static_cast<char>(c));
    }
    return items;
}

bool ClearTemplateVisibleStyle(std::uint8_t* bytes, std::size_t size) noexcept {
    constexpr std::uint32_t kVisible = 0x10000000u;
    constexpr std::size_t kExtendedHeader = 26;  // up to and including the frame's size
    constexpr std::size_t kPlainHeader = 18;
    if (bytes == nullptr || size < kPlainHeader) return false;
    const bool extended = bytes[0] == 1 && bytes[1] == 0 && bytes[2] == 0xFF && bytes[3] == 0xFF;
    if (extended && size < kExtendedHeader) return false;
    std::uint8_t* style = bytes + (extended ? 12 : 0);
    std::uint32_t value = 0;
    std::memcpy(&value, style, sizeof value);  // little-endian, as the template stores it
    value &= ~kVisible;
    std::memcpy(style, &value, sizeof value);
    return true;
}

bool ReadPlaceableHeader(const std::uint8_t* bytes, std::int32_t length, PlaceableHeader* header) noexcept {
    if (bytes == nullptr || length < kPlaceableHeaderSize) return false;
    auto word = [bytes](int at) {
        return static_cast<std::uint16_t>(bytes[at] | (bytes[at + 1] << 8));
    };
    header->left = static_cast<std::int16_t>(word(6));
    header->top = static_cast<std::int16_t>(word(8));
    header->right = static_cast<std::int16_t>(word(10));
    header->bottom = static_cast<std::int16_t>(word(12));
    header->units_per_inch = word(14);
    return true;
}

void ReleaseBackgroundPicture() noexcept {
    if (Dialog().background_picture.bytes != nullptr) Platform().free_memory(Dialog().background_picture.bytes);
    Dialog().background_picture = {nullptr, 0};
}

bool HaveBackgroundPicture() noexcept { return Dialog().background_picture.bytes != nullptr && Dialog().background_picture.length > 0; }

void LoadBackgroundPicture() noexcept {
    ReleaseBackgroundPicture();
    const std::int32_t offset = definition_block.background_picture_offset;
    if (offset <= 0) return;
    std::FILE* file = std::fopen(Settings().module_path, "rb");
    if (file == nullptr) return;
    long end = -1;
    if (std::fseek(file, 0, SEEK_END) == 0) end = std::ftell(file);
    const long length = end - offset;
    if (end < 0 || length <= 0 || length > 0x7FFFFFFFL || std::fseek(file, offset, SEEK_SET) != 0) {
        std::fclose(file);
        return;
    }
    auto* bytes = static_cast<std::uint8_t*>(Platform().alloc_zeroed(static_cast<std::size_t>(length)));
    if (bytes == nullptr) {
        std::fclose(file);
        return;
    }
    const std::size_t read = std::fread(bytes, 1, static_cast<std::size_t>(length), file);
    std::fclose(file);
    if (read != static_cast<std::size_t>(length)) {
        Platform().free_memory(bytes);
        return;
    }
    Dialog().background_picture = {bytes, static_cast<std::int32_t>(length)};
}

}  // namespace tessellon
