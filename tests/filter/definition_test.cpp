// The definition block: its stored fields, its checksum, its verification at load and
// the binding of its entries.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "filter/definition.h"
#include "support/recording_platform.h"

namespace tessellon {
namespace {

BlockBytes ZeroBlock() { return BlockBytes{}; }

TEST(BlockChecksum, KnownValuesOfSmallBlocks) {
    BlockBytes block = ZeroBlock();
    EXPECT_EQ(ComputeBlockChecksum(block), 0x5A5A5CD2u);
    block[4] = 1;
    EXPECT_EQ(ComputeBlockChecksum(block), 0x5A5A4CD2u);
    // The first four bytes are not covered.
    block = ZeroBlock();
    block[0] = block[1] = block[2] = block[3] = 0xFF;
    EXPECT_EQ(ComputeBlockChecksum(block), 0x5A5A5CD2u);
}

TEST(BlockChecksum, StoredBlockCarriesItsChecksum) {
    const DefinitionBlock& stored = StoredDefinitionBlock();
    EXPECT_EQ(ComputeBlockChecksum(stored), stored.checksum);
}

TEST(BlockChecksum, ChangeOfAnyCoveredByteIsDetected) {
    BlockBytes bytes = std::bit_cast<BlockBytes>(StoredDefinitionBlock());
    const std::uint32_t stored = ComputeBlockChecksum(bytes);
    for (std::size_t i = 4; i < kBlockSize; ++i) {
        bytes[i] ^= 0x01;
        ASSERT_NE(ComputeBlockChecksum(bytes), stored) << "byte at offset " << i;
        bytes[i] ^= 0x01;
    }
}

std::string Text(const char* field) { return field; }

TEST(EmbeddedBlock, NamesAndTexts) {
    const DefinitionBlock& b = StoredDefinitionBlock();
    EXPECT_EQ(Text(b.category), "Kinsel Pro");
    EXPECT_EQ(Text(b.filter_name), "Tessellon");
    EXPECT_EQ(Text(b.title), "Tessellon Ver.1.0");
    EXPECT_EQ(Text(b.help_target), "");
    // Four lines: credit, e-mail address, two web addresses.
    const std::string author = b.author_text;
    EXPECT_EQ(std::count(author.begin(), author.end(), '\n'), 3);
    EXPECT_NE(author.find("@"), std::string::npos);
    EXPECT_EQ(Text(b.selector_items), "Normal\r\nWave\r\nZigzag\r\nFractal");
}

TEST(EmbeddedBlock, EntriesCodeAndUseFlags) {
    const DefinitionBlock& b = StoredDefinitionBlock();
    EXPECT_EQ(b.entry_offsets[0], 0x0000u);
    EXPECT_EQ(b.entry_offsets[1], 0x1828u);
    EXPECT_EQ(b.entry_offsets[2], 0x0C9Bu);
    EXPECT_EQ(b.entry_offsets[3], 0x1829u);
    EXPECT_EQ(b.code_length, 0x182Au);
    EXPECT_EQ(b.code_area[0x1828], kReturnOpcode);
    EXPECT_EQ(b.code_area[0x1829], kReturnOpcode);
    EXPECT_NE(b.code_area[0x0000], kReturnOpcode);
    EXPECT_NE(b.code_area[0x0C9B], kReturnOpcode);

    const int setup_fields[] = {15, 16};
    const int pixel_fields[] = {11, 12, 15, 16, 17, 19, 20, 21};
    for (int phase = 0; phase < kPhaseCount; ++phase) {
        for (int k = 0; k < kSystemFieldCount; ++k) {
            bool expected = false;
            if (phase == kPhaseSetup) expected = std::count(std::begin(setup_fields), std::end(setup_fields), k) > 0;
            if (phase == kPhasePixel) expected = std::count(std::begin(pixel_fields), std::end(pixel_fields), k) > 0;
            EXPECT_EQ(b.use_flags[phase][k] != 0, expected) << "phase " << phase << " field " << k;
        }
    }
}

TEST(EmbeddedBlock, ColoursAndCounts) {
    const DefinitionBlock& b = StoredDefinitionBlock();
    EXPECT_EQ(b.colour_count, 1);
    EXPECT_EQ(b.colours[0], 0x00E94BEBu);
    for (int k = 1; k < kColourCount; ++k) EXPECT_EQ(b.colours[k], 0u);
    EXPECT_EQ(b.point_count, 0);
    EXPECT_EQ(b.put_cell_count, 41000);
    EXPECT_EQ(b.option_flags, 0);
    EXPECT_EQ(b.background_picture_offset, 0);
}

TEST(EmbeddedBlock, ControlRecordsDefaultsAndJitter) {
    struct Row {
        int record;
        const char* caption;
        std::int32_t enabled, min, max, default_value;
    };
    const Row rows[] = {
        {0, "Overlap X:", 1, -76, 75, 0}, {1, "Overlap Y:", 1, -76, 75, 0},
        {2, "Fade:", 1, 0, 100, 50},      {3, "Thru BG:", 1, 0, 255, 0},
        {4, "BGSmooth:", 1, 0, 100, 10},  {5, "Freq:", 1, 1, 128, 4},
        {6, "Phase X:", 1, 0, 100, 0},    {7, "Phase Y:", 1, 0, 100, 0},
        {8, "", 0, 0, 0, 0},              {9, "", 0, 0, 0, 0},
        {10, "", 1, 0, 0, 0},             {11, "", 0, 0, 0, 0},
        {12, "", 0, 0, 0, 0},             {13, "Repeat", 1, 0, 0, 0},
        {14, "OpaqueOut", 1, 0, 0, 0},    {15, "Fit", 1, 0, 0, 0},
    };
    const DefinitionBlock& b = StoredDefinitionBlock();
    for (const Row& row : rows) {
        SCOPED_TRACE(row.record);
        const ControlRecord& c = b.controls[row.record];
        EXPECT_EQ(Text(c.caption), row.caption);
        EXPECT_EQ(c.enabled, row.enabled);
        EXPECT_EQ(c.min, row.min);
        EXPECT_EQ(c.max, row.max);
        EXPECT_EQ(b.control_defaults[row.record], row.default_value);
        EXPECT_EQ(b.control_jitter[row.record], 0);
    }
}

TEST(VerifyDefinitionBlock, SoundBlockRelocatesEntriesAndFormsKey) {
    testing::RecordingPlatform platform;
    auto block = std::make_unique<DefinitionBlock>(StoredDefinitionBlock());
    ASSERT_TRUE(VerifyDefinitionBlock(*block));
    EXPECT_TRUE(platform.message_boxes.empty());
    EXPECT_TRUE(platform.exit_requests.empty());
    for (int word = 0; word < 4; ++word) {
        EXPECT_EQ(Bound().entry_address[word], block->code_area + block->entry_offsets[word]) << word;
    }
    EXPECT_STREQ(Bound().settings_key, "Software\\Dravik-Vextrel\\Kinsel Pro\\Tessellon");
    // The runtime works from the block whose entries were just bound.
    EXPECT_EQ(Bound().block, block.get());
    // The module's own block, verified at load, holds the same key.
    ASSERT_TRUE(VerifyDefinitionBlock());
    EXPECT_STREQ(Bound().settings_key, "Software\\Dravik-Vextrel\\Kinsel Pro\\Tessellon");
    EXPECT_EQ(Bound().block, &definition_block);
}

TEST(VerifyDefinitionBlock, DamagedBlockShowsSevereErrorAndExits) {
    struct Case {
        const char* name;
        std::size_t offset;
    };
    // A byte after a caption's terminator counts as much as the checksum word itself.
    const Case cases[] = {{"checksum word", 0},
                          {"first covered byte", 4},
                          {"after a caption's terminator", offsetof(DefinitionBlock, controls) + 20},
                          {"last byte", kBlockSize - 1}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        testing::RecordingPlatform platform;
        auto block = std::make_unique<DefinitionBlock>(StoredDefinitionBlock());
        reinterpret_cast<std::uint8_t*>(block.get())[c.offset] ^= 0x40;
        EXPECT_FALSE(VerifyDefinitionBlock(*block));
        EXPECT_EQ(Bound().block, &definition_block) << "a damaged block is never handed to the runtime";
        ASSERT_EQ(platform.message_boxes.size(), 1u);
        EXPECT_EQ(platform.message_boxes[0].text, "Not a valid Vextrel filter! Cannot execute!");
        EXPECT_EQ(platform.message_boxes[0].caption, "Severe error");
        EXPECT_EQ(platform.message_boxes[0].owner, nullptr);
        EXPECT_EQ(platform.exit_requests, std::vector<int>{1});
    }
}

TEST(VerifyDefinitionBlockDeathTest, DamagedBlockEndsTheProcessWithStatusOne) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            testing::PrintMessageBoxesToStderr();
            definition_block.title[30] ^= 1;  // after the title's terminator
            VerifyDefinitionBlock();
        },
        ::testing::ExitedWithCode(1), "Severe error\nNot a valid Vextrel filter! Cannot execute!");
}

TEST(VerifyDefinitionBlock, BindsRoutinesToTheSetupAndPixelEntriesOnly) {
    testing::RecordingPlatform platform;
    auto block = std::make_unique<DefinitionBlock>(StoredDefinitionBlock());
    ASSERT_TRUE(VerifyDefinitionBlock(*block));
    EXPECT_EQ(Bound().entry_routine[EntryWordOf(kPhaseSetup)], &filter_setup);
    EXPECT_EQ(Bound().entry_routine[EntryWordOf(kPhasePixel)], &filter_pixel);
    EXPECT_EQ(Bound().entry_routine[EntryWordOf(kPhaseFirstPass)], nullptr);
    EXPECT_EQ(Bound().entry_routine[EntryWordOf(kPhaseBetween)], nullptr);
    ASSERT_TRUE(VerifyDefinitionBlock());
}

}  // namespace
}  // namespace tessellon
