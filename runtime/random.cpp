// The process-wide pseudo-random generator shared by the random built-ins and the
// dialog's default jitter: the sample generator of the ISO C standard. No Windows
// headers.
#include "runtime/builtins.h"
#include "runtime/wrap32.h"

namespace tessellon {
namespace {

std::uint32_t random_state = 1;  // the state at load

}  // namespace

void SeedRandom(std::uint32_t seed) noexcept { random_state = seed; }

i32 NextRandom() noexcept {
    random_state = random_state * 1103515245u + 12345u;
    return static_cast<i32>((random_state >> 16) & 0x7FFFu);
}

i32 random_seed(i32 s) noexcept {
    SeedRandom(static_cast<std::uint32_t>(s));
    return 0;
}

// The product is taken modulo 2^32 and divided as an unsigned number, so the result can
// reach hi + 1 when the generator yields 32767.
i32 random_range(i32 lo, i32 hi) noexcept {
    const std::uint32_t span = static_cast<std::uint32_t>(wrap_add(wrap_sub(hi, lo), 1));
    const std::uint32_t q = static_cast<std::uint32_t>(NextRandom()) * span / 32767u;
    return wrap_add(lo, static_cast<i32>(q));
}

}  // namespace tessellon
