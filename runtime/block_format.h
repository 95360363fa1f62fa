// The definition block's format, as the runtime reads it: the stored layout of the
// record that makes a filter what it is (names, texts, entry offsets, use flags,
// colours, control records, defaults), its checksum, its verification at load, and the
// entry tables that verification fills. Which filter's block it is, and which native
// routines its entries run, is the filter's part (filter/definition.h). No Windows
// headers.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>

namespace tessellon {

static_assert(std::endian::native == std::endian::little,
              "the block's multi-byte fields are stored little-endian");

constexpr std::size_t kBlockSize = 0x3800;
constexpr std::size_t kCodeAreaSize = 0x3000;
constexpr int kControlCount = 16;
constexpr int kColourCount = 8;
constexpr int kPhaseCount = 4;
constexpr int kSystemFieldCount = 35;
constexpr std::int32_t kKeepCurrentValue = 0x7FFFFFFF;  // in control_defaults
constexpr std::uint8_t kReturnOpcode = 0xC3;

struct ControlRecord {
    char caption[32];
    std::int32_t enabled;
    std::int32_t min;
    std::int32_t max;
};
static_assert(sizeof(ControlRecord) == 44);

// Which control record, and which entry of the dialog's live values, is which: sliders
// 0..7, the selector 10, and the check boxes from 15 down, check box k in 15 - k.
constexpr int kSliderCount = 8;
constexpr int kSelectorRecord = 10;
constexpr int kCheckBoxCount = 3;
constexpr int kCheckBoxRecord = 15;
constexpr int CheckBoxRecordOf(int k) noexcept { return kCheckBoxRecord - k; }

// Field order and sizes are the stored layout; every field sits at its natural
// alignment, so the struct has no padding and its bytes are the block's bytes.
struct DefinitionBlock {
    std::uint32_t checksum;
    std::uint32_t reserved_04;
    char category[24];
    char filter_name[24];
    char title[48];
    char author_text[128];
    char help_target[256];
    // Code offsets relative to code_area: word 0 phase 2, word 1 phase 1, word 2 phase 0,
    // word 3 phase 3.
    std::uint32_t entry_offsets[4];
    std::uint8_t code_area[kCodeAreaSize];
    std::uint32_t code_length;
    std::uint8_t use_flags[kPhaseCount][kSystemFieldCount];
    std::int32_t colour_count;
    std::uint32_t colours[kColourCount];  // 0x00BBGGRR; live storage
    std::int32_t point_count;
    std::uint8_t reserved_32b0[8];
    ControlRecord controls[kControlCount];
    std::uint16_t put_cell_count;  // 0 means 256
    std::uint8_t option_flags;     // bit 0: work on the filter rectangle
    std::uint8_t reserved_357b;
    char selector_items[512];
    std::int32_t control_defaults[kControlCount];
    std::int32_t control_jitter[kControlCount];
    std::int32_t background_picture_offset;
};

static_assert(sizeof(DefinitionBlock) == kBlockSize);
static_assert(offsetof(DefinitionBlock, category) == 0x0008);
static_assert(offsetof(DefinitionBlock, filter_name) == 0x0020);
static_assert(offsetof(DefinitionBlock, title) == 0x0038);
static_assert(offsetof(DefinitionBlock, author_text) == 0x0068);
static_assert(offsetof(DefinitionBlock, help_target) == 0x00E8);
static_assert(offsetof(DefinitionBlock, entry_offsets) == 0x01E8);
static_assert(offsetof(DefinitionBlock, code_area) == 0x01F8);
static_assert(offsetof(DefinitionBlock, code_length) == 0x31F8);
static_assert(offsetof(DefinitionBlock, use_flags) == 0x31FC);
static_assert(offsetof(DefinitionBlock, colour_count) == 0x3288);
static_assert(offsetof(DefinitionBlock, colours) == 0x328C);
static_assert(offsetof(DefinitionBlock, point_count) == 0x32AC);
static_assert(offsetof(DefinitionBlock, controls) == 0x32B8);
static_assert(offsetof(DefinitionBlock, put_cell_count) == 0x3578);
static_assert(offsetof(DefinitionBlock, option_flags) == 0x357A);
static_assert(offsetof(DefinitionBlock, selector_items) == 0x357C);
static_assert(offsetof(DefinitionBlock, control_defaults) == 0x377C);
static_assert(offsetof(DefinitionBlock, control_jitter) == 0x37BC);
static_assert(offsetof(DefinitionBlock, background_picture_offset) == 0x37FC);

using BlockBytes = std::array<std::uint8_t, kBlockSize>;

// XOR of (offset + byte) rotated left by a count that starts at 12 and grows by 3 per
// byte, over bytes 4..0x37FF; the checksum word itself is not covered.
constexpr std::uint32_t ComputeBlockChecksum(const BlockBytes& block) noexcept {
    std::uint32_t result = 0x5A5A5A5Au;
    std::uint32_t a = 12;
    for (std::uint32_t i = 4; i < kBlockSize; ++i) {
        const std::uint32_t v = i + block[i];
        result ^= std::rotl(v, static_cast<int>(a & 31u));
        a += 3;
    }
    return result;
}

inline std::uint32_t ComputeBlockChecksum(const DefinitionBlock& block) noexcept {
    return ComputeBlockChecksum(std::bit_cast<BlockBytes>(block));
}

// Phase numbers and the block word that holds each phase's entry.
enum Phase : std::int32_t { kPhaseSetup = 0, kPhaseFirstPass = 1, kPhasePixel = 2, kPhaseBetween = 3 };
constexpr int EntryWordOf(std::int32_t phase) noexcept {
    constexpr int words[kPhaseCount] = {2, 1, 0, 3};
    return words[phase & 3];
}

// A filter's code entries exist as native routines that read and write the execution
// context and call the built-ins as stored code would. Each block word whose entry is
// not a bare return is bound at verification to the routine written for its offset;
// tests may bind routines of their own (Bound().entry_routine).
struct ExecutionContext;
struct BuiltinTable;
using NativeEntry = std::int32_t (*)(ExecutionContext& context, const BuiltinTable& builtins) noexcept;

// The routine written for a code offset of a filter, or null.
using NativeRoutineLookup = NativeEntry (*)(std::uint32_t code_offset) noexcept;

// Registry path of the user's settings, "Software\Dravik-Vextrel\<category>\<name>".
constexpr std::size_t kSettingsKeySize = 256;

// The block the runtime works from: handed to it by VerifyAndBindBlock, which binds the
// entries to the same block (at load, the filter's live block, whose colour table holds
// the user's current colours), and the settings key formed from its names. The runtime
// owns this record; the block itself belongs to the filter that defines it.
// VerifyAndBindBlock writes it all; tests may rebind entries.
struct BoundBlock {
    DefinitionBlock* block = nullptr;
    char settings_key[kSettingsKeySize] = {};
    // Absolute entry addresses, by block word, filled once the block is verified. They
    // are kept pointer-sized beside the block because a 64-bit build cannot hold an
    // address in the block's 32-bit words; the stored offsets stay as they are.
    const std::uint8_t* entry_address[4] = {};
    // The native routine bound to each block word (null where none is).
    NativeEntry entry_routine[4] = {};
};
inline BoundBlock& Bound() noexcept {
    constinit static BoundBlock bound;
    return bound;
}

// Checks the block's checksum. On a mismatch: the "Not a valid Vextrel filter!" box
// and the end of the process with status 1 (false is returned only if the platform's
// exit came back). On a match: relocates the entries, binds them to the routines that
// `routine_at` names, hands the block to the runtime (Bound) and forms the settings key.
bool VerifyAndBindBlock(DefinitionBlock& block, NativeRoutineLookup routine_at) noexcept;

}  // namespace tessellon
