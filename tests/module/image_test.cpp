// The built module's image as the loader mapped it: its kind, its one export and the
// DLLs it imports, read from its own PE headers.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <string>
#include <vector>

#include "module/module_support.h"
#include "support/module_expectations.h"

namespace tessellon::testing {
namespace {

class ModuleImage : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(module.handle(), nullptr) << "LoadLibrary error " << module.load_error();
        nt = NtHeadersOf(module.handle());
        ASSERT_NE(nt, nullptr);
    }

    const IMAGE_DATA_DIRECTORY& Directory(int index) const {
        return nt->OptionalHeader.DataDirectory[index];
    }

    LoadedModule module;
    const IMAGE_NT_HEADERS* nt = nullptr;
};

TEST_F(ModuleImage, IsADllForThisBuildsMachine) {
#if defined(_WIN64)
    EXPECT_EQ(nt->FileHeader.Machine, IMAGE_FILE_MACHINE_AMD64);
    EXPECT_EQ(nt->OptionalHeader.Magic, IMAGE_NT_OPTIONAL_HDR64_MAGIC);
#else
    EXPECT_EQ(nt->FileHeader.Machine, IMAGE_FILE_MACHINE_I386);
    EXPECT_EQ(nt->OptionalHeader.Magic, IMAGE_NT_OPTIONAL_HDR32_MAGIC);
#endif
    EXPECT_NE(nt->FileHeader.Characteristics & IMAGE_FILE_DLL, 0);
}

TEST_F(ModuleImage, ExportsOnlyTheEntryPointThePiplNames) {
    const HMODULE base = module.handle();
    ASSERT_NE(Directory(IMAGE_DIRECTORY_ENTRY_EXPORT).Size, 0u);
    const auto& exports =
        *ImageAt<IMAGE_EXPORT_DIRECTORY>(base, Directory(IMAGE_DIRECTORY_ENTRY_EXPORT).VirtualAddress);
    ASSERT_EQ(exports.NumberOfNames, 1u);
    EXPECT_EQ(exports.NumberOfFunctions, 1u);
    const DWORD name_rva = *ImageAt<DWORD>(base, exports.AddressOfNames);
    EXPECT_STREQ(ImageAt<char>(base, name_rva), "ENTRYPOINT");
    const WORD index = *ImageAt<WORD>(base, exports.AddressOfNameOrdinals);
    const auto* exported = ImageAt<std::uint8_t>(base, ImageAt<DWORD>(base, exports.AddressOfFunctions)[index]);

    // A host calls GetProcAddress with the zero-terminated name of the code property
    // (wx86 or 8664, by the module's machine).
    const auto code = PiplProperty(PiplResource(base, "PIPL"), kCodePropertyKey);
    ASSERT_TRUE(code.has_value());
    const std::string entry_name(reinterpret_cast<const char*>(code->data()));
    const FARPROC entry = GetProcAddress(base, entry_name.c_str());
    ASSERT_NE(entry, nullptr) << "GetProcAddress(\"" << entry_name << "\")";
    EXPECT_EQ(reinterpret_cast<const std::uint8_t*>(entry), exported);
}

TEST_F(ModuleImage, ImportsWindowsSystemDllsOnly) {
    static const char* const kRuntimeDllPrefixes[] = {"libgcc", "libstdc++", "libwinpthread"};

    const HMODULE base = module.handle();
    std::vector<std::string> imported;
    const DWORD table = Directory(IMAGE_DIRECTORY_ENTRY_IMPORT).VirtualAddress;
    ASSERT_NE(table, 0u);
    for (auto* entry = ImageAt<IMAGE_IMPORT_DESCRIPTOR>(base, table); entry->Name != 0; ++entry) {
        std::string name = ImageAt<char>(base, entry->Name);
        std::transform(name.begin(), name.end(), name.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        imported.push_back(name);
    }
    ASSERT_FALSE(imported.empty());
    for (const std::string& name : imported) {
        for (const char* prefix : kRuntimeDllPrefixes) {
            EXPECT_NE(name.rfind(prefix, 0), 0u) << name << " is a runtime DLL";
        }
        EXPECT_NE(std::find(std::begin(kSystemDlls), std::end(kSystemDlls), name), std::end(kSystemDlls))
            << name << " is not a Windows system DLL";
    }
}

}  // namespace
}  // namespace tessellon::testing
