// Resampling a finished tile to an exact size, with edges that wrap around: the pixels
// past the right edge are those of the left, and so on, so that the resampled tile still
// repeats without a seam.
#pragma once

#include <string>

#include "cli/image_io.h"

namespace tessellon::cli {

// The tile resampled to width × height (each at least 1) with a Catmull-Rom cubic in
// linear light, wrapping at every edge; an alpha plane weights the colours. Empty
// image when the resampler fails (out of memory).
Image ResizeWrapped(const Image& tile, int width, int height);

}  // namespace tessellon::cli
