// The lane kernels compiled for AVX2, 8 lanes; used only where the processor has it.
// No Windows headers.
#include "filter/pixel_lanes_kernel.h"

namespace tessellon::tiling_lanes::variants {

void Avx2Colours(const PassConstants& constants, const Group& group, std::uint8_t* dst) noexcept {
    Colours<8>(constants, group, dst);
}

void Avx2Fill(const CacheFill& fill, const std::uint8_t* source, std::uint8_t* slot) noexcept {
    Fill<8>(fill, source, slot);
}

}  // namespace tessellon::tiling_lanes::variants
