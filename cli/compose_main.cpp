// tessellon_compose: lays images side by side on a white ground with a gap between
// them, for the README's before-and-after picture; --half first shrinks each image to
// half its size (every 2 x 2 block averaged), which keeps the picture small. A helper of
// scripts/make_docs.sh.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "cli/image_io.h"

namespace {

constexpr int kGap = 16;

using tessellon::cli::Image;

Image Half(const Image& image) {
    Image half(std::max(image.width / 2, 1), std::max(image.height / 2, 1), image.planes);
    for (int y = 0; y < half.height; ++y) {
        for (int x = 0; x < half.width; ++x) {
            for (int p = 0; p < image.planes; ++p) {
                int sum = 0;
                for (int dy = 0; dy < 2; ++dy) {
                    for (int dx = 0; dx < 2; ++dx) {
                        sum += image.At(std::min(2 * x + dx, image.width - 1), std::min(2 * y + dy, image.height - 1), p);
                    }
                }
                half.At(x, y, p) = static_cast<std::uint8_t>((sum + 2) / 4);
            }
        }
    }
    return half;
}

int Fail(const std::string& message) {
    std::fprintf(stderr, "tessellon_compose: %s\n", message.c_str());
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    using namespace tessellon::cli;
    int first = 1;
    const bool half = argc > 1 && std::strcmp(argv[1], "--half") == 0;
    if (half) ++first;
    if (argc - first < 2) {
        std::fprintf(stderr, "usage: tessellon_compose [--half] OUT IN...\n");
        return 2;
    }
    std::vector<Image> images;
    int width = kGap, height = 0;
    for (int i = first + 1; i < argc; ++i) {
        DecodeResult read = ReadImageFile(argv[i]);
        if (!read.ok) return Fail(read.error);
        Image image = WithOpaqueAlpha(half ? Half(read.image) : read.image);
        width += image.width + kGap;
        height = std::max(height, image.height);
        images.push_back(std::move(image));
    }
    Image sheet(width, height + 2 * kGap, 4, 255);
    int left = kGap;
    for (const Image& image : images) {
        const int top = kGap + (height - image.height) / 2;
        for (int y = 0; y < image.height; ++y) {
            std::memcpy(&sheet.At(left, top + y, 0), &image.bytes[static_cast<std::size_t>(y) * image.width * 4],
                        static_cast<std::size_t>(image.width) * 4);
        }
        left += image.width + kGap;
    }
    if (std::string problem = WriteImageFile(argv[first], sheet); !problem.empty()) return Fail(problem);
    return 0;
}
