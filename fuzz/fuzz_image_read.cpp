// The command-line host's image readers (PNG, JPEG, WebP, TIFF, PPM, PAM) on arbitrary
// bytes. A small pixel limit keeps every allocation small, whatever size a file
// declares; an image that decodes must be one the filter can take.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "cli/image_io.h"
#include "fuzz/fuzz_support.h"

namespace {

// 4 Mpx: 16 MiB of RGBA at most, far below the fuzzer's memory limit.
constexpr std::uint64_t kMaxPixels = std::uint64_t{1} << 22;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace tessellon;
    const std::vector<std::uint8_t> bytes(data, data + size);
    cli::ReadLimits limits;
    limits.max_pixels = kMaxPixels;
    const cli::DecodeResult result = cli::DecodeImage(bytes, limits);
    if (!result.ok) {
        if (result.error.empty()) fuzz::Fail("a refused image carries no error text");
        return 0;
    }
    const cli::Image& image = result.image;
    if (image.planes != 3 && image.planes != 4) fuzz::Fail("decoded with " + std::to_string(image.planes) + " planes");
    if (image.width < 1 || image.height < 1 || image.width > cli::kMaxDimension || image.height > cli::kMaxDimension) {
        fuzz::Fail("decoded size " + std::to_string(image.width) + "x" + std::to_string(image.height));
    }
    const std::uint64_t pixels = std::uint64_t{static_cast<std::uint32_t>(image.width)} *
                                 static_cast<std::uint32_t>(image.height);
    if (pixels > kMaxPixels) fuzz::Fail("decoded " + std::to_string(pixels) + " pixels over the limit");
    if (image.bytes.size() != pixels * static_cast<std::uint32_t>(image.planes)) {
        fuzz::Fail("decoded " + std::to_string(image.bytes.size()) + " bytes for " + std::to_string(image.width) + "x" +
                   std::to_string(image.height) + "x" + std::to_string(image.planes));
    }
    return 0;
}
