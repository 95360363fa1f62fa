// The built module's PIPL resource, byte for byte, found as a host finds it.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "module/module_support.h"

namespace tessellon::testing {
namespace {

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
    "'MIB8' '68xw'  00 00 00 00  0C 00 00 00  'ENTRYPOINT' 00 00",
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

}  // namespace
}  // namespace tessellon::testing
