// Resampling through stb_image_resize (Debian's libstb), the one packaged resampler
// whose edge handling wraps around; see resize.h.
#include "cli/resize.h"

#include <stb_image_resize.h>

namespace tessellon::cli {

Image ResizeWrapped(const Image& tile, int width, int height) {
    Image result(width, height, tile.planes);
    // Catmull-Rom both ways: it interpolates (a pixel on the grid keeps its value) and
    // stays sharp, where the library's default for shrinking (Mitchell) blurs a little.
    // sRGB values are resampled as light, so that edges between light and dark keep
    // their brightness.
    const int alpha = tile.planes == 4 ? 3 : STBIR_ALPHA_CHANNEL_NONE;
    const int done = stbir_resize(tile.bytes.data(), tile.width, tile.height, 0, result.bytes.data(), width, height, 0,
                                  STBIR_TYPE_UINT8, tile.planes, alpha, 0, STBIR_EDGE_WRAP, STBIR_EDGE_WRAP,
                                  STBIR_FILTER_CATMULLROM, STBIR_FILTER_CATMULLROM, STBIR_COLORSPACE_SRGB, nullptr);
    return done != 0 ? result : Image{};
}

}  // namespace tessellon::cli
