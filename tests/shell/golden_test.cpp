// Golden output: whole runs through ENTRYPOINT over synthetic images, hashed. The same
// table runs in the native build, under the sanitizers and in the 32-bit and 64-bit
// Windows builds under wine, so matching hashes mean byte-identical images in every
// build. A mismatch writes the picture as a PAM file next to the test for a look.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdio>
#include <string>

#include "filter/definition.h"
#include "memhost/memhost.h"
#include "runtime/builtins.h"
#include "runtime/context.h"
#include "shell/host.h"
#include "support/golden_cases.h"
#include "support/record_lengths.h"
#include "support/recording_platform.h"
#include "ui/settings.h"

namespace tessellon {
namespace {

using memhost::Image;
using testing::Fnv1a;
using testing::GoldenCase;
using testing::Picture;

void WritePam(const Image& image, const std::string& path) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) return;
    std::fprintf(f, "P7\nWIDTH %d\nHEIGHT %d\nDEPTH %d\nMAXVAL 255\nTUPLTYPE %s\nENDHDR\n", image.width, image.height,
                 image.planes, image.planes == 4 ? "RGB_ALPHA" : "RGB");
    std::fwrite(image.bytes.data(), 1, image.bytes.size(), f);
    std::fclose(f);
}

class GoldenTest : public ::testing::TestWithParam<GoldenCase> {};

// Runs the case through a host that hands `record_bytes` of filter record and checks
// the output's hash.
void ExpectGoldenHash(const GoldenCase& c, std::size_t record_bytes) {
    AbortState().calls = 0;
    testing::StoreGoldenSettings(c);

    memhost::HostOptions options;
    options.record_bytes = record_bytes;
    memhost::MemHost host(Picture(c.width, c.height, c.planes), options);
    ASSERT_EQ(host.RunAsHost(), 0);
    const std::uint64_t hash = Fnv1a(host.Document());
    if (hash != c.hash) {
        const std::string path = ::testing::TempDir() + "golden-" + c.name + ".pam";
        WritePam(host.Document(), path);
        ADD_FAILURE() << "hash 0x" << std::hex << hash << "; the picture is in " << path;
    }
    for (std::int32_t& value : Live().controls) value = 0;
}

TEST_P(GoldenTest, OutputHashIsTheSameInEveryBuild) {
    testing::RecordingPlatform platform;
    ExpectGoldenHash(GetParam(), sizeof(psapi::FilterRecord));
}

INSTANTIATE_TEST_SUITE_P(Runs, GoldenTest, ::testing::ValuesIn(testing::kGoldenCases),
                         [](const ::testing::TestParamInfo<GoldenCase>& row) { return std::string(row.param.name); });

// Hosts hand records of different lengths; the module reads nothing past the fields it
// knows, so every length gives the same image, and under AddressSanitizer a read past
// the end would stop the test.
class GoldenRecordLength : public ::testing::TestWithParam<testing::RecordLength> {};

TEST_P(GoldenRecordLength, GivesTheSameImageWithoutReadingPastTheRecord) {
    testing::RecordingPlatform platform;
    const GoldenCase fit_fractal{"fit_fractal", 61, 47, 3, {75, 75, 50, 40, 10, 4, 0, 0}, 3, true, false, false,
                                 0xff6074a109c6d867ull};
    ExpectGoldenHash(fit_fractal, GetParam().bytes);
}

INSTANTIATE_TEST_SUITE_P(Hosts, GoldenRecordLength, ::testing::ValuesIn(testing::kHostRecordLengths),
                         testing::RecordLengthName());

}  // namespace
}  // namespace tessellon
