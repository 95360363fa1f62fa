// The lane kernels for the target's baseline instruction set (4 lanes), and the choice
// between them and the SSE4.1 (4 lanes, pixel_lanes_sse41.cpp) and AVX2 ones (8 lanes,
// pixel_lanes_avx2.cpp) where the build has those and the processor runs them. All
// compute the same integers; the tests run each the processor has. No Windows headers.
#include "filter/pixel_lanes.h"

#include "filter/pixel_lanes_kernel.h"

namespace tessellon::tiling_lanes {

namespace variants {

void PortableColours(const PassConstants& constants, const Group& group, std::uint8_t* dst) noexcept {
    Colours<4>(constants, group, dst);
}

void PortableFill(const CacheFill& fill, const std::uint8_t* source, std::uint8_t* slot) noexcept {
    Fill<4>(fill, source, slot);
}

}  // namespace variants

namespace {

struct Kernels {
    void (*colours)(const PassConstants&, const Group&, std::uint8_t*) noexcept;
    void (*fill)(const CacheFill&, const std::uint8_t*, std::uint8_t*) noexcept;
    const char* name;
};

constexpr Kernels kPortable{&variants::PortableColours, &variants::PortableFill, "portable"};

// The kernels for a choice, or the next ones down that the processor runs.
Kernels For(KernelChoice choice) noexcept {
#if defined(TESSELLON_LANES_X86)
    __builtin_cpu_init();
    if (choice == KernelChoice::best && __builtin_cpu_supports("avx2")) {
        return {&variants::Avx2Colours, &variants::Avx2Fill, "avx2"};
    }
    if (choice != KernelChoice::portable && __builtin_cpu_supports("sse4.1")) {
        return {&variants::Sse41Colours, &variants::Sse41Fill, "sse4.1"};
    }
#endif
    (void)choice;
    return kPortable;
}

Kernels& Current() noexcept {
    static Kernels kernels = For(KernelChoice::best);
    return kernels;
}

}  // namespace

const char* UseKernels(KernelChoice choice) noexcept {
    Current() = For(choice);
    return Current().name;
}

void GroupColours(const PassConstants& constants, const Group& group, std::uint8_t* dst) noexcept {
    Current().colours(constants, group, dst);
}

void FillCacheRow(const CacheFill& fill, const std::uint8_t* source, std::uint8_t* slot) noexcept {
    Current().fill(fill, source, slot);
}

}  // namespace tessellon::tiling_lanes
