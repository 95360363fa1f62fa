// The shipped module's dialog variant: the embedded filter's block as it is, and the
// dialog template "FCREATOR". Translate only.
#include "resources/resource_ids.h"
#include "ui/win32/dialog.h"

namespace tessellon {

void PrepareDialogVariant() noexcept {}

const char* DialogTemplateName() noexcept { return TESSELLON_DIALOG_TEMPLATE; }

}  // namespace tessellon
