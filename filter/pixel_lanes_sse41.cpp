// The lane kernels compiled for SSE4.1, 4 lanes, whose 32-bit lane multiply the
// baseline lacks; used only where the processor has it. No Windows headers.
#include "filter/pixel_lanes_kernel.h"

namespace tessellon::tiling_lanes::variants {

void Sse41Colours(const PassConstants& constants, const Group& group, std::uint8_t* dst) noexcept {
    Colours<4>(constants, group, dst);
}

void Sse41Fill(const CacheFill& fill, const std::uint8_t* source, std::uint8_t* slot) noexcept {
    Fill<4>(fill, source, slot);
}

}  // namespace tessellon::tiling_lanes::variants
