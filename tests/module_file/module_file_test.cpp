// The built Windows modules read as files, with what a host checks before it loads one:
// a DLL of the right machine, the one export ENTRYPOINT, system imports only, the PIPL
// resource byte for byte and language neutral, and the version resource. This runs in
// the native build, so the 32-bit module is checked even where no 32-bit program can run.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <ostream>
#include <string>
#include <vector>

#include "filter/terminology.h"
#include "hostapi/host_state.h"
#include "memhost/descriptor_host.h"
#include "memhost/memhost.h"
#include "resources/version.h"
#include "support/aete.h"
#include "support/golden_cases.h"
#include "support/recording_platform.h"
#include "support/module_expectations.h"
#include "support/pe_file.h"

namespace tessellon::testing {
namespace {

using Bytes = std::vector<std::uint8_t>;

struct ModuleKind {
    const char* name;
    const char* path;  // where the build puts it; TESSELLON_<NAME>_MODULE overrides
    std::uint16_t machine;
    std::uint16_t optional_magic;
    const char* code_key;
    const char* description;
};

const ModuleKind kModules[] = {
    {"win32", TESSELLON_WIN32_MODULE, kMachineI386, kOptionalMagicPe32, kCodeKey32,
     "Tessellon seamless tile filter (32-bit)"},
    {"win64", TESSELLON_WIN64_MODULE, kMachineAmd64, kOptionalMagicPe32Plus, kCodeKey64,
     "Tessellon seamless tile filter (64-bit)"},
};

void PrintTo(const ModuleKind& kind, std::ostream* out) { *out << kind.name; }

std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

std::string ModulePath(const ModuleKind& kind) {
    std::string variable = "TESSELLON_" + std::string(kind.name) + "_MODULE";
    std::transform(variable.begin(), variable.end(), variable.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    const char* path = std::getenv(variable.c_str());
    return path != nullptr && *path != '\0' ? path : kind.path;
}

// Everything a host would object to in the file, one line each; empty for a sound module.
std::vector<std::string> ProblemsOf(const Bytes& file, const ModuleKind& kind) {
    std::vector<std::string> problems;
    std::string error;
    const auto pe = ReadPeFile(file, error);
    if (!pe) return {"not a readable PE file: " + error};

    if (pe->machine != kind.machine) problems.push_back("wrong machine " + std::to_string(pe->machine));
    if (pe->optional_magic != kind.optional_magic) problems.push_back("wrong optional header magic");
    if ((pe->characteristics & kFileIsDll) == 0) problems.push_back("not a DLL");

    if (pe->export_names != std::vector<std::string>{"ENTRYPOINT"} || pe->exported_functions != 1) {
        std::string list;
        for (const std::string& name : pe->export_names) list += " " + name;
        problems.push_back("exports must be ENTRYPOINT alone, are:" + list);
    }
    if (pe->imported_dlls.empty()) problems.push_back("imports nothing");
    for (const std::string& dll : pe->imported_dlls) {
        if (std::find(std::begin(kSystemDlls), std::end(kSystemDlls), Lower(dll)) == std::end(kSystemDlls)) {
            problems.push_back("imports " + dll + ", not a Windows system DLL");
        }
    }

    const auto pipls = pe->Find(ResourceKey::Name("PIPL"), ResourceKey::Id(16000));
    if (pipls.size() != 1) {
        problems.push_back("PIPL 16000 found in " + std::to_string(pipls.size()) + " languages, not one");
    } else {
        if (pipls[0]->language != kLanguageNeutral) problems.push_back("PIPL is not language neutral");
        const std::vector<int> expected = ExpectedPiplBytes(kind.code_key);
        const Bytes& pipl = pipls[0]->data;
        if (pipl.size() != expected.size()) {
            problems.push_back("PIPL has " + std::to_string(pipl.size()) + " bytes, not " +
                               std::to_string(expected.size()));
        } else {
            for (std::size_t i = 0; i < pipl.size(); ++i) {
                if (expected[i] != kAnyByte && pipl[i] != expected[i]) {
                    problems.push_back("PIPL differs at byte " + std::to_string(i));
                    break;
                }
            }
        }
    }

    const auto versions = pe->Find(ResourceKey::Id(kVersionResourceType), ResourceKey::Id(1));
    if (versions.size() != 1) {
        problems.push_back("no single version resource");
    } else {
        const auto strings = VersionStrings(versions[0]->data);
        const std::pair<const char*, std::string> wanted[] = {
            {"FileDescription", kind.description}, {"FileVersion", TESSELLON_VERSION},
            {"ProductVersion", TESSELLON_VERSION}, {"OriginalFilename", "Tessellon.8bf"}};
        for (const auto& [key, value] : wanted) {
            const auto found = std::find_if(strings.begin(), strings.end(),
                                            [&, k = key](const auto& entry) { return entry.first == k; });
            if (found == strings.end() || found->second != value) {
                problems.push_back(std::string("version resource: ") + key + " is not \"" + value + "\"");
            }
        }
    }
    return problems;
}

class ModuleFile : public ::testing::TestWithParam<ModuleKind> {
protected:
    void SetUp() override {
        const std::string path = ModulePath(GetParam());
        std::ifstream in(path, std::ios::binary);
        if (!in) {
            // The test command builds both modules before it runs this and asks for them;
            // a native build on its own has no modules to read.
            if (std::getenv("TESSELLON_REQUIRE_MODULE_FILES") != nullptr) FAIL() << "no module at " << path;
            GTEST_SKIP() << "no module at " << path << " (build the " << GetParam().name << " preset)";
        }
        file.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }

    Bytes file;
};

TEST_P(ModuleFile, IsWhatAHostLoads) {
    EXPECT_EQ(ProblemsOf(file, GetParam()), std::vector<std::string>{});
}

// Writes `to` over the first bytes that read `from`, ignoring case.
void ReplaceFirst(Bytes& bytes, const std::string& from, const std::string& to) {
    const auto at = std::search(bytes.begin(), bytes.end(), from.begin(), from.end(),
                                [](std::uint8_t a, char b) { return std::tolower(a) == std::tolower(b); });
    if (at == bytes.end()) {
        ADD_FAILURE() << "no \"" << from << "\" in the module";
        return;
    }
    std::copy(to.begin(), to.end(), at);
}

std::uint32_t NtHeaderOffset(const Bytes& bytes) {
    std::uint32_t offset = 0;
    std::memcpy(&offset, bytes.data() + 0x3C, 4);
    return offset;
}

// The checks above must see damage: each change to a sound module is named.
TEST_P(ModuleFile, DamagedCopiesAreRefused) {
    struct Damage {
        const char* name;
        void (*change)(Bytes&);
        const char* problem;
    };
    const Damage damages[] = {
        {"cut after its headers", [](Bytes& b) { b.resize(1024); }, "not a readable PE file"},
        {"no MZ signature", [](Bytes& b) { b[0] = 'X'; }, "not a readable PE file"},
        {"other machine", [](Bytes& b) { b[NtHeaderOffset(b) + 4] ^= 0x01; }, "wrong machine"},
        {"DLL flag cleared", [](Bytes& b) { b[NtHeaderOffset(b) + 23] &= 0xDF; }, "not a DLL"},
        {"runtime DLL imported", [](Bytes& b) { ReplaceFirst(b, "user32.dll", "libgcc.dll"); }, "imports libgcc.dll"},
        // The PIPL's category is a counted text (length 10 first).
        {"PIPL category changed", [](Bytes& b) { ReplaceFirst(b, "\x0AKinsel Pro", "\x0AKinsel Pra"); },
         "PIPL differs"},
    };
    for (const Damage& damage : damages) {
        SCOPED_TRACE(damage.name);
        Bytes copy = file;
        damage.change(copy);
        const auto problems = ProblemsOf(copy, GetParam());
        EXPECT_TRUE(std::any_of(problems.begin(), problems.end(),
                                [&](const std::string& p) { return p.find(damage.problem) != std::string::npos; }))
            << ::testing::PrintToString(problems);
    }
}

// The scripting terminology as a host reads it: one suite, one event under the PIPL's
// class and event, the reply and the image as Photoshop's filters declare them, and one
// parameter per key the module knows, in its order, with the seam's enumeration.
TEST_P(ModuleFile, TerminologyDeclaresEveryKeyOfTheFilter) {
    std::string error;
    const auto pe = ReadPeFile(file, error);
    ASSERT_TRUE(pe.has_value()) << error;
    const auto resources = pe->Find(ResourceKey::Name("AETE"), ResourceKey::Id(16000));
    ASSERT_EQ(resources.size(), 1u);
    EXPECT_EQ(resources[0]->language, kLanguageNeutral);
    const auto aete = ParseAete(resources[0]->data, error);
    ASSERT_TRUE(aete.has_value()) << error;
    EXPECT_EQ(aete->consumed, resources[0]->data.size()) << "bytes after the last enumerator";
    EXPECT_EQ(aete->major, 1);
    EXPECT_EQ(aete->minor, 0);
    EXPECT_EQ(aete->suite_level, 1);
    EXPECT_EQ(aete->suite_version, 1);
    EXPECT_EQ(aete->suite_id, kScriptEvent);
    EXPECT_EQ(aete->event_class, kScriptEvent);
    EXPECT_EQ(aete->event_id, kScriptEvent);
    EXPECT_EQ(aete->reply_type, psapi::typeNull);
    EXPECT_EQ(aete->reply_description, "");
    EXPECT_EQ(aete->reply_flags, 0);
    EXPECT_EQ(aete->direct_type, FourCharCode("#ImR"));
    EXPECT_EQ(aete->direct_description, "");
    EXPECT_EQ(aete->direct_flags, 0xB000);

    ASSERT_EQ(aete->parameters.size(), static_cast<std::size_t>(kScriptKeyCount));
    for (int i = 0; i < kScriptKeyCount; ++i) {
        const ScriptKey& key = kScriptKeys[i];
        const AeteParameter& parameter = aete->parameters[static_cast<std::size_t>(i)];
        SCOPED_TRACE(key.name);
        EXPECT_EQ(parameter.name, key.name);
        EXPECT_EQ(parameter.key, key.key);
        const std::uint32_t types[] = {psapi::typeInteger, kSeamEnumeration, psapi::typeBoolean, psapi::classRGBColor};
        EXPECT_EQ(parameter.type, types[static_cast<int>(key.kind)]);
        EXPECT_EQ(parameter.flags, key.kind == ScriptValueKind::selector ? 0x2000 : 0);
        // A code of this filter's own: a lower-case first letter and an upper-case one inside.
        const std::string code = memhost::CodeText(key.key);
        EXPECT_TRUE(std::islower(static_cast<unsigned char>(code[1])) &&
                    std::any_of(code.begin() + 2, code.end() - 1, [](char c) { return std::isupper(c) != 0; }))
            << code;
    }
    ASSERT_EQ(aete->enumerations.size(), 1u);
    EXPECT_EQ(aete->enumerations[0].id, kSeamEnumeration);
    ASSERT_EQ(aete->enumerations[0].values.size(), static_cast<std::size_t>(kSeamCount));
    for (int i = 0; i < kSeamCount; ++i) {
        EXPECT_EQ(aete->enumerations[0].values[static_cast<std::size_t>(i)].name, kSeamNames[i]);
        EXPECT_EQ(aete->enumerations[0].values[static_cast<std::size_t>(i)].id, kSeamValues[i]);
    }

    // Every declared key is one the module writes after a run, with the declared type (an
    // enumerated key reported as its enumeration, a colour as an object of its class).
    testing::RecordingPlatform platform;
    Host().parameters_requested = 0;
    memhost::DescriptorHost scripting;
    std::optional<memhost::Descriptor> recorded;
    {
        memhost::MemHost host(testing::Picture(16, 12, 3));
        scripting.Attach(host.record());
        ASSERT_EQ(host.RunAsHost(), 0);
        recorded = scripting.TakeRecorded();
    }
    ASSERT_TRUE(recorded.has_value());
    for (const AeteParameter& parameter : aete->parameters) {
        const memhost::DescriptorItem* item = recorded->Find(parameter.key);
        ASSERT_NE(item, nullptr) << parameter.name;
        if (parameter.type == psapi::classRGBColor) {
            EXPECT_EQ(item->type, psapi::typeObject);
            EXPECT_EQ(item->object_class, parameter.type);
        } else {
            EXPECT_EQ(item->type, parameter.type) << parameter.name;
        }
    }
    EXPECT_EQ(recorded->items.size(), aete->parameters.size());
    for (std::int32_t& value : Live().controls) value = 0;
}

INSTANTIATE_TEST_SUITE_P(Builds, ModuleFile, ::testing::ValuesIn(kModules),
                         [](const ::testing::TestParamInfo<ModuleKind>& param) { return std::string(param.param.name); });

}  // namespace
}  // namespace tessellon::testing
