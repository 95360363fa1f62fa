// The dialog variant of the test-only module TessellonTestBlocks.8bf, linked in place
// of the shipped module's ui/win32/dialog_variant.cpp. Before each dialog the live
// definition block takes the fields named in the environment variable
// TESSELLON_TEST_BLOCK, a list of name=value pairs separated by ';':
//   help_target=TEXT  title=TEXT  colour_count=N  point_count=N  selector_enabled=N
//   picture_offset=N  template=NAME  slow_preview=1
// so that the module test can open the dialog of filters other than the embedded one.
// slow_preview=1 binds a pixel routine that, inside a preview render, calls the abort
// check until it says stop: a filter too slow to finish, which only the watchdog (a
// waiting command or slider message, or the time limit) ends. Outside a preview render
// it inverts the pixel at once. Translate only.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "filter/definition.h"
#include "resources/resource_ids.h"
#include "runtime/block_format.h"
#include "runtime/builtins.h"
#include "runtime/context.h"
#include "ui/win32/dialog.h"

namespace tessellon {
namespace {

char template_name[64] = {};

// Inverts the pixel; inside a preview render first spins on the abort check until the
// watchdog gives up on the render.
std::int32_t SlowPreviewPixel(ExecutionContext& context, const BuiltinTable&) noexcept {
    context.out_r = 255 - context.src_r;
    context.out_g = 255 - context.src_g;
    context.out_b = 255 - context.src_b;
    // 0: no render runs; -1: the render has been abandoned.
    while (Execution().preview_start != 0 && Execution().preview_start != -1 && abort_check() == 0) {
    }
    return 0;
}

template <std::size_t N>
void SetText(char (&field)[N], const char* value) noexcept {
    std::snprintf(field, N, "%s", value);
}

void Apply(const char* name, const char* value) noexcept {
    const auto number = static_cast<std::int32_t>(std::strtol(value, nullptr, 10));
    DefinitionBlock& block = definition_block;
    if (std::strcmp(name, "help_target") == 0) SetText(block.help_target, value);
    else if (std::strcmp(name, "title") == 0) SetText(block.title, value);
    else if (std::strcmp(name, "colour_count") == 0) block.colour_count = number;
    else if (std::strcmp(name, "point_count") == 0) block.point_count = number;
    else if (std::strcmp(name, "selector_enabled") == 0) block.controls[kSelectorRecord].enabled = number;
    else if (std::strcmp(name, "picture_offset") == 0) block.background_picture_offset = number;
    else if (std::strcmp(name, "template") == 0) SetText(template_name, value);
    else if (std::strcmp(name, "slow_preview") == 0 && number != 0) {
        Bound().entry_routine[EntryWordOf(kPhasePixel)] = SlowPreviewPixel;
    }
}

}  // namespace

void PrepareDialogVariant() noexcept {
    char variant[1024] = {};
    const DWORD length = GetEnvironmentVariableA("TESSELLON_TEST_BLOCK", variant, sizeof variant);
    if (length == 0 || length >= sizeof variant) return;
    for (char* pair = variant; pair != nullptr;) {
        char* next = std::strchr(pair, ';');
        if (next != nullptr) *next++ = '\0';
        if (char* equals = std::strchr(pair, '='); equals != nullptr) {
            *equals = '\0';
            Apply(pair, equals + 1);
        }
        pair = next;
    }
}

const char* DialogTemplateName() noexcept {
    return template_name[0] != '\0' ? template_name : TESSELLON_DIALOG_TEMPLATE;
}

}  // namespace tessellon
