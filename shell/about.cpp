// The About box. No Windows headers.
#include <cstdio>

#include "filter/definition.h"
#include "resources/version.h"
#include "runtime/block_format.h"
#include "shell/host.h"

namespace tessellon {

void FormatAboutText(char (&text)[kAboutTextSize]) noexcept {
    const DefinitionBlock& block = definition_block;
    // The precisions keep a damaged text field from running past its end. The closing
    // line names the release, so that a user can tell which one a host has loaded.
    std::snprintf(text, sizeof text, "%.23s\n%.127s\n\n%s", block.filter_name, block.author_text,
                  "Version " TESSELLON_VERSION ". Made with the Vextrel filter-building system by Dravik.");
}

void ShowAbout(WindowHandle owner) noexcept {
    char text[kAboutTextSize];
    FormatAboutText(text);
    Platform().message_box(owner, text, "About...", MessageIcon::none);
}

}  // namespace tessellon
