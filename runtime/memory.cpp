// Built-ins for scratch memory: the put array (renewed at every set-up) and the grid
// array, a three-dimensional array of 1-, 2- or 4-byte elements that compiled code
// allocates and frees itself and that outlives runs. No Windows headers.
#include <algorithm>
#include <cmath>

#include "runtime/builtins.h"
#include "runtime/context.h"
#include "runtime/float_convert.h"
#include "runtime/wrap32.h"

namespace tessellon {
namespace {

i32 Refuse(i32 status, i32 result = 0) noexcept {
    Execution().context.status = status;
    return result;
}

bool IsCell(i32 i) noexcept { return Execution().put_array != nullptr && i >= 0 && i < Execution().put_cell_count; }

struct GridArray {
    void* data = nullptr;
    i32 x = 0, y = 0, z = 0;
    i32 element_size = 0;
};
GridArray grid;

void FreeGrid() noexcept {
    Platform().free_memory(grid.data);
    grid.data = nullptr;
}

i32 ReadElement(std::size_t index) noexcept {
    switch (grid.element_size) {
        case 1: return static_cast<const std::uint8_t*>(grid.data)[index];
        case 2: return static_cast<const std::int16_t*>(grid.data)[index];
        default: return static_cast<const i32*>(grid.data)[index];
    }
}

// Stores with the element's range as the bound; the caller answers the value before
// clamping.
void WriteElement(std::size_t index, i32 v) noexcept {
    switch (grid.element_size) {
        case 1: static_cast<std::uint8_t*>(grid.data)[index] = static_cast<std::uint8_t>(std::clamp(v, 0, 255)); break;
        case 2:
            static_cast<std::int16_t*>(grid.data)[index] = static_cast<std::int16_t>(std::clamp(v, -32768, 32767));
            break;
        default: static_cast<i32*>(grid.data)[index] = v; break;
    }
}

i32 AllocateGrid(i32 x, i32 y, i32 z, i32 element_size) noexcept {
    grid.element_size = element_size;
    FreeGrid();
    grid.x = x;
    grid.y = y;
    grid.z = z;
    // An extent of 0 or less leaves nothing addressable, so an empty block serves.
    if (x <= 0 || y <= 0 || z <= 0) {
        grid.data = Platform().alloc_zeroed(0);
        return grid.data == nullptr ? Refuse(kStatusRange, 1) : 0;
    }
    // The byte count is a 32-bit product. One that wrapped could not hold every
    // addressable element, so it is refused rather than leaving indices that point past
    // the block.
    const std::uint64_t needed = static_cast<std::uint64_t>(x) * static_cast<std::uint64_t>(y) *
                                 static_cast<std::uint64_t>(z) * static_cast<std::uint64_t>(element_size);
    if (needed > 0xFFFFFFFFu) return Refuse(kStatusRange, 1);
    const auto bytes = static_cast<std::uint32_t>(needed);
    grid.data = Platform().alloc_zeroed(bytes);
    if (grid.data == nullptr) return Refuse(kStatusRange, 1);
    return 0;
}

}  // namespace

i32 put_read(i32 i) noexcept { return IsCell(i) ? Execution().put_array[i] : Refuse(kStatusRange); }

i32 put_write(i32 v, i32 i) noexcept {
    if (!IsCell(i)) return Refuse(kStatusRange);
    Execution().put_array[i] = v;
    return v;
}

// A tone curve 0..255 with exponent 100 / g: straight for g = 100, above the straight
// line for g > 100. Only in the set-up and between-passes phases.
i32 put_gamma(i32 g, i32 start, i32 n) noexcept {
    if (Execution().phase == kPhaseFirstPass || Execution().phase == kPhasePixel) return Refuse(kStatusRange, 1);
    if (n <= 1 || g <= 0) return Refuse(kStatusDomain, 1);
    const double exponent = 100.0 / g;
    for (i32 k = 0; k < n; ++k) {
        const i32 index = wrap_add(start, k);
        if (index < 0) continue;
        if (index >= Execution().put_cell_count || Execution().put_array == nullptr) break;
        Execution().put_array[index] = TruncToInt32(255.0 * std::pow(static_cast<double>(k) / (n - 1), exponent));
    }
    return 0;
}

i32 put_sort(i32 start, i32 n) noexcept {
    if (start < 0 || n <= 0 || Execution().put_array == nullptr ||
        static_cast<std::int64_t>(start) + n > Execution().put_cell_count) {
        return Refuse(kStatusRange, 1);
    }
    std::sort(Execution().put_array + start, Execution().put_array + start + n);
    return 0;
}

i32 grid_array(i32 op, i32 x, i32 y, i32 z, i32 v) noexcept {
    switch (op) {
        case 1: FreeGrid(); return 0;
        case 10: return AllocateGrid(x, y, z, 1);
        case 11: return AllocateGrid(x, y, z, 2);
        case 12: return AllocateGrid(x, y, z, 4);
        case 2: case 3: case 4: case 5: case 6: case 7: break;
        default: return 0;  // 8, 9 and unknown operations do nothing
    }
    if (grid.data == nullptr) return Refuse(kStatusDomain);
    if (x < 0 || x >= grid.x || y < 0 || y >= grid.y || z < 0 || z >= grid.z) return Refuse(kStatusRange);
    const std::size_t index = (static_cast<std::size_t>(x) * static_cast<std::size_t>(grid.y) + static_cast<std::size_t>(y)) *
                                  static_cast<std::size_t>(grid.z) +
                              static_cast<std::size_t>(z);
    if (op == 3) return ReadElement(index);
    const i32 old = ReadElement(index);
    i32 value = v;
    switch (op) {
        case 4: value = wrap_add(old, v); break;
        case 5: value = wrap_mul(old, v); break;
        case 6: value = max_of(old, v); break;
        case 7: value = min_of(old, v); break;
        default: break;
    }
    WriteElement(index, value);
    return value;
}

GridArrayShape grid_array_shape() noexcept {
    return {grid.data != nullptr, grid.x, grid.y, grid.z, grid.element_size};
}

}  // namespace tessellon
