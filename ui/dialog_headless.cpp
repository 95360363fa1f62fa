// The filter dialog where no window can be shown: the values are initialised as the
// dialog would initialise them and the run goes on as after OK. Nothing is saved, as
// nothing was edited. No Windows headers.
#include "hostapi/host_state.h"
#include "runtime/context.h"
#include "ui/dialog_model.h"

namespace tessellon {

std::int32_t RunFilterDialog(std::int32_t show, WindowHandle, DialogRun&) noexcept {
    for (MarkerPoint& point : Live().markers) point = {-1, -1};
    Dialog().show = show;
    InitialiseDialogValues();
    // As after a real dialog: the host drops whatever it fetched for a preview.
    ReleaseHostData();
    return 1;
}

}  // namespace tessellon
