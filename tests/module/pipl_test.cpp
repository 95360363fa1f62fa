// The built module's PIPL resource, byte for byte, found as a host finds it, and its
// version resource, which tells a user the two modules apart.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "module/module_support.h"
#include "support/module_expectations.h"
#include "resources/version.h"

namespace tessellon::testing {
namespace {

TEST(ModulePipl, ResourceMatchesTheExpectedLayoutByteForByte) {
    LoadedModule module;
    ASSERT_NE(module.handle(), nullptr) << "LoadLibrary error " << module.load_error();
    const ResourceBytes pipl = PiplResource(module.handle(), "PIPL");
    ASSERT_NE(pipl.data, nullptr);
    ASSERT_EQ(pipl.size, 314u);  // 10 + 9 * 16 + 4 + 24 + 24 + 4 + 12 + 4 + 28 + 56 + 4

    const std::vector<int> expected = ExpectedPiplBytes(kCodePropertyKey);
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

// Hosts look the terminology up by the PIPL's terminology id and the type "AETE"; the
// neutral language is found whatever the user's.
TEST(ModuleTerminology, IsFoundAsHostsLookItUpAndIsLanguageNeutral) {
    LoadedModule module;
    ASSERT_NE(module.handle(), nullptr) << "LoadLibrary error " << module.load_error();
    EXPECT_NE(FindResourceA(module.handle(), MAKEINTRESOURCEA(16000), "AETE"), nullptr);
    std::vector<WORD> languages;
    EnumResourceLanguagesA(module.handle(), "AETE", MAKEINTRESOURCEA(16000), CollectLanguage,
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
