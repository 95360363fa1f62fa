// The embedded filter's definition block, written field by field. The checksum is
// computed by the compiler over the finished bytes, so any edit here re-seals the block.
// No Windows headers.
#pragma once

#include "filter/control_rows.h"
#include "filter/definition.h"
#include "resources/version.h"

namespace tessellon {
namespace embedded_block {

template <std::size_t FieldSize, std::size_t TextSize>
constexpr void SetText(char (&field)[FieldSize], const char (&text)[TextSize]) {
    static_assert(TextSize <= FieldSize, "text and its terminator must fit the field");
    for (std::size_t i = 0; i < TextSize; ++i) field[i] = text[i];
}

template <std::size_t TextSize>
constexpr ControlRecord Control(const char (&caption)[TextSize], std::int32_t min, std::int32_t max) {
    ControlRecord record{};
    SetText(record.caption, caption);
    record.enabled = 1;
    record.min = min;
    record.max = max;
    return record;
}

// Code offsets of the four entries.
constexpr std::uint32_t kPixelEntryOffset = 0x0000;
constexpr std::uint32_t kFirstPassEntryOffset = 0x1828;
constexpr std::uint32_t kSetupEntryOffset = 0x0C9B;
constexpr std::uint32_t kBetweenEntryOffset = 0x1829;
constexpr std::uint32_t kCodeLength = 0x182A;

// Offsets of the execution context's system fields that the use flags name.
enum Field : int {
    kPosX = 11, kPosY = 12, kWidth = 15, kHeight = 16, kPlaneCount = 17,
    kBackR = 19, kBackG = 20, kBackB = 21,
};

constexpr DefinitionBlock MakeEmbeddedBlock() {
    DefinitionBlock b{};
    SetText(b.category, "Kinsel Pro");
    SetText(b.filter_name, kFilterName);
    SetText(b.title, "Tessellon Ver.1.0");
    SetText(b.author_text,
            "Tessellon by the Tessellon team\r\n"
            "tiles@tessellon.example\r\n"
            "https://tessellon.example\r\n"
            "https://www.example.org/tiles");
    // help_target stays empty: the dialog hides its Help button.

    b.entry_offsets[0] = kPixelEntryOffset;      // phase 2
    b.entry_offsets[1] = kFirstPassEntryOffset;  // phase 1
    b.entry_offsets[2] = kSetupEntryOffset;      // phase 0
    b.entry_offsets[3] = kBetweenEntryOffset;    // phase 3

    // The set-up and pixel entries run as native routines bound to their offsets. Their
    // code span holds int3 traps, so that nothing can mistake it for runnable code, and
    // phases 1 and 3 are bare returns, which the phase dispatcher skips.
    for (std::uint32_t i = 0; i < kFirstPassEntryOffset; ++i) b.code_area[i] = 0xCC;
    b.code_area[kFirstPassEntryOffset] = kReturnOpcode;
    b.code_area[kBetweenEntryOffset] = kReturnOpcode;
    b.code_length = kCodeLength;

    b.use_flags[kPhaseSetup][kWidth] = 1;
    b.use_flags[kPhaseSetup][kHeight] = 1;
    for (int field : {kPosX, kPosY, kWidth, kHeight, kPlaneCount, kBackR, kBackG, kBackB}) {
        b.use_flags[kPhasePixel][field] = 1;
    }

    b.colour_count = 1;
    b.colours[0] = 0x00E94BEB;  // red 235, green 75, blue 233
    b.point_count = 0;

    b.controls[kOverlapXRow] = Control("Overlap X:", -76, 75);
    b.controls[kOverlapYRow] = Control("Overlap Y:", -76, 75);
    b.controls[kFadeRow] = Control("Fade:", 0, 100);
    b.controls[kThruBgRow] = Control("Thru BG:", 0, 255);
    b.controls[kBgSmoothRow] = Control("BGSmooth:", 0, 100);
    b.controls[kFreqRow] = Control("Freq:", 1, 128);
    b.controls[kPhaseXRow] = Control("Phase X:", 0, 100);
    b.controls[kPhaseYRow] = Control("Phase Y:", 0, 100);
    b.controls[kSeamRow].enabled = 1;  // the selector; its caption and range are not read
    b.controls[kRepeatRow] = Control("Repeat", 0, 0);
    b.controls[kOpaqueOutRow] = Control("OpaqueOut", 0, 0);
    b.controls[kFitRow] = Control("Fit", 0, 0);

    b.put_cell_count = 41000;
    b.option_flags = 0;
    SetText(b.selector_items, "Normal\r\nWave\r\nZigzag\r\nFractal");

    constexpr std::int32_t defaults[8] = {0, 0, 50, 0, 10, 4, 0, 0};
    for (int i = 0; i < 8; ++i) b.control_defaults[i] = defaults[i];
    // control_jitter all 0; background_picture_offset 0: no picture.
    return b;
}

// The finished block, its checksum computed by the compiler over its bytes.
constexpr DefinitionBlock Sealed(DefinitionBlock block) {
    block.checksum = ComputeBlockChecksum(std::bit_cast<BlockBytes>(block));
    return block;
}

}  // namespace embedded_block

// The embedded filter's block as built, checksum included.
constexpr DefinitionBlock EmbeddedBlock() { return embedded_block::Sealed(embedded_block::MakeEmbeddedBlock()); }

}  // namespace tessellon
