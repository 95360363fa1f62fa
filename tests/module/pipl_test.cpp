// The built module's PIPL resource, byte for byte, found as a host finds it, and its
// version resource, which tells a user the two modules apart.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "module/module_support.h"
#include "resources/version.h"

namespace tessellon::testing {
namespace {

// The code property is the one line in which the two modules differ.
#if defined(_WIN64)
#define TESSELLON_CODE_KEY "'4668'"
#else
#define TESSELLON_CODE_KEY "'68xw'"
#endif

// The expected resource, one line per part. Two hex digits are a byte, 'text' is its
// ASCII bytes, ?? is a byte of any value and ??xN is N of them (the template filler
// after a name's terminator).
const char* const kExpectedPipl[] = {
    // reserved  version      property count
    "01 00       00 00 00 00  07 00 00 00",
    // vendor key     id           length       data
    "'MIB8' 'dnik'  00 00 00 00  04 00 00 00  'MFB8'",
    "'MIB8' 'eman'  00 00 00 00  18 00 00 00  09 'Tessellon' 00 ??x13",
    "'MIB8' 'gtac'  00 00 00 00  18 00 00 00  0A 'Kinsel Pro' 00 ??x12",
    "'MIB8' 'srev'  00 00 00 00  04 00 00 00  00 00 04 00",
    "'MIB8' " TESSELLON_CODE_KEY "  00 00 00 00  0C 00 00 00  'ENTRYPOINT' 00 00",
    "'MIB8' 'edom'  00 00 00 00  04 00 00 00  10 00 00 00",
    // fici: input handling, output handling, flags 1, flags 2 for filter cases 1..7
    "'MIB8' 'icif'  00 00 00 00  1C 00 00 00  01 01 07 00  01 01 0F 00  01 01 0F 00  01 01 07 00"
    "                                         01 01 0F 00  01 01 07 00  01 01 0F 00",
};

constexpr int kAnyByte = -1;

std::vector<int> ParseExpected() {
    std::vector<int> bytes;
    for (const char* line : kExpectedPipl) {
        for (const char* p = line; *p != '\0';) {
            if (*p == ' ') {
                ++p;
            } else if (*p == '\'') {
                for (++p; *p != '\''; ++p) bytes.push_back(static_cast<unsigned char>(*p));
                ++p;
            } else if (p[0] == '?' && p[1] == '?') {
                p += 2;
                long count = 1;
                if (*p == 'x') {
                    char* end = nullptr;
                    count = std::strtol(p + 1, &end, 10);
                    p = end;
                }
                bytes.insert(bytes.end(), static_cast<std::size_t>(count), kAnyByte);
            } else {
                bytes.push_back(static_cast<int>(std::strtol(std::string(p, 2).c_str(), nullptr, 16)));
                p += 2;
            }
        }
    }
    return bytes;
}

TEST(ModulePipl, ResourceMatchesTheExpectedLayoutByteForByte) {
    LoadedModule module;
    ASSERT_NE(module.handle(), nullptr) << "LoadLibrary error " << module.load_error();
    const ResourceBytes pipl = PiplResource(module.handle(), "PIPL");
    ASSERT_NE(pipl.data, nullptr);
    ASSERT_EQ(pipl.size, 222u);  // 10 + 7 * 16 + 4 + 24 + 24 + 4 + 12 + 4 + 28

    const std::vector<int> expected = ParseExpected();
    ASSERT_EQ(expected.size(), pipl.size);
    for (std::size_t i = 0; i < expected.size(); ++i) {
        if (expected[i] == kAnyByte) continue;
        EXPECT_EQ(pipl.data[i], expected[i]) << "at offset " << i;
    }
}

TEST(ModulePipl, TypeNameLookupIgnoresCase) {
    LoadedModule module;
    ASSERT_NE(module.handle(), nullptr) << "LoadLibrary error " << module.load_error();
    const ResourceBytes upper = PiplResource(module.handle(), "PIPL");
    const ResourceBytes mixed = PiplResource(module.handle(), "PiPL");
    ASSERT_NE(mixed.data, nullptr);
    EXPECT_EQ(mixed.data, upper.data);
    EXPECT_EQ(mixed.size, upper.size);
}

BOOL CALLBACK CollectLanguage(HMODULE, LPCSTR, LPCSTR, WORD language, LONG_PTR list) {
    reinterpret_cast<std::vector<WORD>*>(list)->push_back(language);
    return TRUE;
}

TEST(ModulePipl, IsLanguageNeutral) {
    LoadedModule module;
    ASSERT_NE(module.handle(), nullptr) << "LoadLibrary error " << module.load_error();
    std::vector<WORD> languages;
    EnumResourceLanguagesA(module.handle(), "PIPL", MAKEINTRESOURCEA(16000), CollectLanguage,
                           reinterpret_cast<LONG_PTR>(&languages));
    EXPECT_EQ(languages, std::vector<WORD>{MAKELANGID(LANG_NEUTRAL, SUBLANG_NEUTRAL)});
}

TEST(ModuleVersion, DescriptionNamesTheArchitectureAndTheVersionIsTheProducts) {
    const std::string path = ModuleFilePath();
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeA(path.c_str(), &ignored);
    ASSERT_GT(size, 0u);
    std::vector<char> info(size);
    ASSERT_TRUE(GetFileVersionInfoA(path.c_str(), 0, size, info.data()));
    const auto text = [&](const char* name) {
        char* value = nullptr;
        UINT length = 0;
        const std::string key = std::string("\\StringFileInfo\\040904B0\\") + name;
        if (!VerQueryValueA(info.data(), key.c_str(), reinterpret_cast<void**>(&value), &length)) return std::string();
        return std::string(value);
    };
#if defined(_WIN64)
    EXPECT_EQ(text("FileDescription"), "Tessellon seamless tile filter (64-bit)");
#else
    EXPECT_EQ(text("FileDescription"), "Tessellon seamless tile filter (32-bit)");
#endif
    EXPECT_EQ(text("FileVersion"), TESSELLON_VERSION);
    EXPECT_EQ(text("ProductVersion"), TESSELLON_VERSION);
    EXPECT_EQ(text("OriginalFilename"), "Tessellon.8bf");
}

}  // namespace
}  // namespace tessellon::testing
