// The table in force, initialised from the build's own implementation.
// No Windows headers.
#include "platform/platform.h"

namespace tessellon {

PlatformApi& Platform() noexcept {
    static PlatformApi table = NativePlatform();
    return table;
}

}  // namespace tessellon
