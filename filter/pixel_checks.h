// The abort checks of the pass: how many the pixels of a row make (the per-pixel calls
// make one per loop step), and AbortCounter, the counter one cursor counts them in and
// which asks the host at the check that takes it past its limit. No Windows headers.
#pragma once

#include <cstdint>

#include "filter/pixel_pass.h"

namespace tessellon::tiling_pass {

// The abort check asks the host (or the watchdog) on the call that takes its counter
// past this value.
constexpr std::uint32_t kCallsBetweenTests = 100000;

// Abort checks of a pixel of a row: inside the tile, per row of copies one, seven per
// copy (loop, three samples, three blends) and four (first row) or three (others) to
// combine, then four to hand the colour out; outside the tile, three plus four.
struct RowCheckCounts {
    std::uint32_t inside_base;      // inside: this ...
    std::uint32_t inside_per_copy;  // ... plus this per copy of the column
};
constexpr std::uint32_t kOutsideChecks = 7;
inline RowCheckCounts ChecksOfRow(const RowInfo& row) noexcept {
    const auto r = static_cast<std::uint32_t>(row.copies);
    return {row.copies > 0 ? 4 * r + 5 : 4, 7 * r};
}
// The checks of one pixel of a row with these counts.
inline std::uint32_t ChecksOfPixel(const RowCheckCounts& counts, bool inside, i32 copies) noexcept {
    return inside ? counts.inside_base + counts.inside_per_copy * static_cast<std::uint32_t>(copies)
                  : kOutsideChecks;
}

// The counter a cursor counts its checks in: the process-wide one; or, for a cursor
// that computes rows ahead on a thread of its own, a counter of its own whose limit is
// never reached, so that it never asks anyone.
struct AbortCounter {
    std::uint32_t* calls = &AbortState().calls;
    std::uint32_t limit = kCallsBetweenTests;
    std::uint32_t own = 0;

    void Detach() noexcept {
        calls = &own;
        limit = UINT32_MAX;
    }
    // For a pixel of `checks` abort checks in which the counter reaches its limit: asks
    // the host there and then, and whether it answered "go on" (see pixel_checks.cpp).
    bool AskedAndGoingOn(std::uint32_t checks) noexcept;
};

}  // namespace tessellon::tiling_pass
