// Loading the built module: a sound file loads and unloads; a file whose definition
// block was altered by one byte shows the severe-error box and ends the host process.
#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "module/module_support.h"
#include "module/window_watcher.h"

namespace tessellon::testing {
namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::size_t kBlockSize = 0x3800;
constexpr std::size_t kCategoryOffset = 0x08;  // 24-byte zero-padded text
constexpr std::size_t kTitleOffset = 0x38;     // 48-byte zero-padded text
constexpr char kCategory[] = "Kinsel Pro";

Bytes ReadFileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool WriteFileBytes(const std::string& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out);
}

// The block's seal: XOR of (offset + byte) rotated left by 12, 15, 18, ... over the
// bytes after the stored checksum word.
std::uint32_t BlockChecksum(const std::uint8_t* block) {
    std::uint32_t result = 0x5A5A5A5Au;
    std::uint32_t a = 12;
    for (std::uint32_t i = 4; i < kBlockSize; ++i) {
        result ^= std::rotl(i + block[i], static_cast<int>(a & 31u));
        a += 3;
    }
    return result;
}

bool InWritableSection(const Bytes& file, std::size_t offset) {
    const IMAGE_NT_HEADERS* nt = NtHeadersOf(file.data());
    if (nt == nullptr) return false;
    const auto* sections = reinterpret_cast<const IMAGE_SECTION_HEADER*>(
        reinterpret_cast<const std::uint8_t*>(&nt->OptionalHeader) + nt->FileHeader.SizeOfOptionalHeader);
    for (WORD i = 0; i < nt->FileHeader.NumberOfSections; ++i) {
        const IMAGE_SECTION_HEADER& s = sections[i];
        if (offset >= s.PointerToRawData && offset + kBlockSize <= s.PointerToRawData + s.SizeOfRawData) {
            return (s.Characteristics & IMAGE_SCN_MEM_WRITE) != 0;
        }
    }
    return false;
}

// File offsets of sealed definition blocks that the loader maps writable: the live
// block the module verifies when it loads. (The build also carries a read-only
// pristine copy.) A block is found by its category field, the name and zero fill.
std::vector<std::size_t> FindLiveBlocks(const Bytes& file) {
    constexpr std::size_t kFieldSize = 24;
    char field[kFieldSize] = {};
    std::memcpy(field, kCategory, sizeof kCategory);
    std::vector<std::size_t> found;
    for (std::size_t at = kCategoryOffset; at + kBlockSize - kCategoryOffset <= file.size(); ++at) {
        if (std::memcmp(file.data() + at, field, kFieldSize) != 0) continue;
        const std::size_t start = at - kCategoryOffset;
        std::uint32_t stored;
        std::memcpy(&stored, file.data() + start, sizeof stored);
        if (BlockChecksum(file.data() + start) == stored && InWritableSection(file, start)) {
            found.push_back(start);
        }
    }
    return found;
}

std::string TemporaryPath(const char* name) {
    char directory[MAX_PATH] = {};
    GetTempPathA(MAX_PATH, directory);
    return std::string(directory) + name;
}

struct FileRemover {
    std::string path;
    ~FileRemover() { DeleteFileA(path.c_str()); }
};

TEST(ModuleLoad, SoundModuleLoadsAndUnloads) {
    const HMODULE module = LoadLibraryA(ModuleFilePath().c_str());
    ASSERT_NE(module, nullptr) << "LoadLibrary error " << GetLastError();
    EXPECT_TRUE(FreeLibrary(module));
}

TEST(ModuleLoadDeathTest, DamagedBlockShowsSevereErrorAndEndsTheProcess) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    // The child process runs this test from the top, so it writes the same copy.
    const FileRemover copy{TemporaryPath("tessellon_damaged_block.8bf")};
    Bytes bytes = ReadFileBytes(ModuleFilePath());
    const std::vector<std::size_t> blocks = FindLiveBlocks(bytes);
    ASSERT_EQ(blocks.size(), 1u);
    // One bit of the zero fill after the title's terminator.
    bytes[blocks[0] + kTitleOffset + 30] ^= 0x01;
    ASSERT_TRUE(WriteFileBytes(copy.path, bytes));

    EXPECT_EXIT(
        {
            MessageBoxWatcher watcher("Severe error", /*echo_to_stderr=*/true);
            LoadLibraryA(copy.path.c_str());
        },
        ::testing::ExitedWithCode(1), "Severe error\nNot a valid Vextrel filter! Cannot execute!");
}

}  // namespace
}  // namespace tessellon::testing
