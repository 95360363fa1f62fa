// The Start selector's work. For now the filter is not run: the request rectangles
// are left empty, so that the host has nothing left to deliver, and the image comes
// back as the host gave it. No Windows headers.
#include "shell/host.h"

namespace tessellon {

psapi::int16 RunFilter() noexcept {
    filter_record->inRect = {};
    filter_record->outRect = {};
    filter_record->maskRect = {};
    return psapi::noErr;
}

}  // namespace tessellon
