// The embedded filter's set-up (phase 0) and pixel (phase 2) entries as native
// routines. Until the tiling algorithm is written they leave the context as they find
// it, so a run passes the image through unchanged. No Windows headers.
#include "filter/definition.h"

namespace tessellon {

std::int32_t filter_setup(ExecutionContext&, const BuiltinTable&) noexcept { return 0; }

std::int32_t filter_pixel(ExecutionContext&, const BuiltinTable&) noexcept { return 0; }

}  // namespace tessellon
