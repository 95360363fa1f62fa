// The input's kind of compression, from its header through libwebp; see source_kind.h.
#include "cli/source_kind.h"

#include <webp/decode.h>

#include <cstdint>
#include <cstdio>
#include <vector>

namespace tessellon::cli {

bool IsLossyWebp(const std::string& path) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) return false;
    // The chunks that tell lossy from lossless lie near the start, after at most the
    // extended header and a colour profile; libwebp asks for more when they do not.
    std::vector<std::uint8_t> head(std::size_t{1} << 16);
    head.resize(std::fread(head.data(), 1, head.size(), file));
    std::fclose(file);
    WebPBitstreamFeatures features{};
    if (WebPGetFeatures(head.data(), head.size(), &features) != VP8_STATUS_OK) return false;
    return features.format == 1;  // 1 lossy, 2 lossless, 0 mixed or unknown
}

}  // namespace tessellon::cli
