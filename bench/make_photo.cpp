// Writes the end-to-end benchmark's input: a photo-like RGB PNG, the same bytes on
// every run (the shapes go through the C library's exp and sin, so another C library
// may round a few pixels differently). Broad soft shapes (a sky-like vertical gradient, a few large
// blurred blobs, gentle waves) under fine grain, so that the file compresses about as
// a photograph does rather than as flat colour or as pure noise.
//
//   tessellon_make_photo OUT.png [WIDTH HEIGHT]     (default 4000 x 3000)
#include <png.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

struct Blob {
    double x, y, radius;
    double colour[3];
};

std::uint8_t Byte(double v) { return static_cast<std::uint8_t>(v < 0 ? 0 : v > 255 ? 255 : std::lround(v)); }

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2 && argc != 4) {
        std::fprintf(stderr, "usage: %s OUT.png [WIDTH HEIGHT]\n", argv[0]);
        return 2;
    }
    const int width = argc == 4 ? std::atoi(argv[2]) : 4000;
    const int height = argc == 4 ? std::atoi(argv[3]) : 3000;
    if (width < 1 || height < 1 || width > 32767 || height > 32767) {
        std::fprintf(stderr, "width and height must be 1..32767\n");
        return 2;
    }

    // Positions and sizes relative to the picture, so that other sizes look alike.
    const Blob blobs[] = {
        {0.25, 0.70, 0.30, {60, 110, 40}},  {0.70, 0.75, 0.35, {90, 130, 50}}, {0.55, 0.30, 0.15, {230, 220, 200}},
        {0.10, 0.35, 0.12, {200, 190, 170}}, {0.85, 0.20, 0.10, {250, 245, 230}}, {0.45, 0.90, 0.25, {120, 90, 60}},
    };
    std::vector<std::uint8_t> pixels(static_cast<std::size_t>(width) * height * 3);
    std::uint32_t grain = 20240601u;
    const double scale = width > height ? width : height;
    for (int y = 0; y < height; ++y) {
        const double v = static_cast<double>(y) / height;
        // Sky above, ground below.
        const double base[3] = {110 + 90 * (1 - v), 150 + 60 * (1 - v), 215 - 140 * v};
        for (int x = 0; x < width; ++x) {
            const double u = static_cast<double>(x) / width;
            double colour[3] = {base[0], base[1], base[2]};
            for (const Blob& b : blobs) {
                const double dx = (u - b.x) * width / scale;
                const double dy = (v - b.y) * height / scale;
                const double weight = std::exp(-(dx * dx + dy * dy) / (b.radius * b.radius));
                for (int p = 0; p < 3; ++p) colour[p] += (b.colour[p] - colour[p]) * weight;
            }
            const double wave = 12 * std::sin(u * 23.0 + 9 * v) * std::cos(v * 17.0 - 4 * u);
            std::uint8_t* pixel = pixels.data() + (static_cast<std::size_t>(y) * width + x) * 3;
            grain = grain * 1664525u + 1013904223u;
            // Sensor-like grain of a few levels, the same on all channels plus a little
            // of its own on each.
            const double common = static_cast<double>((grain >> 24) & 15u) - 7.5;
            for (int p = 0; p < 3; ++p) {
                const double own = static_cast<double>((grain >> (8 + 5 * p)) & 3u) - 1.5;
                pixel[p] = Byte(colour[p] + wave + common + own);
            }
        }
    }

    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    image.width = static_cast<png_uint_32>(width);
    image.height = static_cast<png_uint_32>(height);
    image.format = PNG_FORMAT_RGB;
    if (png_image_write_to_file(&image, argv[1], 0, pixels.data(), width * 3, nullptr) == 0) {
        std::fprintf(stderr, "cannot write %s: %s\n", argv[1], image.message);
        return 1;
    }
    return 0;
}
