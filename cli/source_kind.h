// What kind of compression an input file used, so that an output in the same family can
// follow it: a photograph that came lossy is not written lossless four times larger.
#pragma once

#include <string>

namespace tessellon::cli {

// True when the file at `path` is a WebP whose picture is lossy (VP8), as libwebp reads
// its header; false for lossless WebP, other files and files that cannot be read.
bool IsLossyWebp(const std::string& path);

}  // namespace tessellon::cli
