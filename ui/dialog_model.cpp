// The filter dialog's window-free decisions. No Windows headers.
#include "ui/dialog_model.h"

#include "filter/definition.h"
#include "runtime/builtins.h"
#include "runtime/context.h"
#include "ui/settings.h"

namespace tessellon {

std::int32_t show_dialog = 0;

namespace {
constexpr int kSliderCount = 8;
}  // namespace

void ApplyControlDefaults() noexcept {
    for (int i = 0; i < kSliderCount; ++i) {
        const std::int32_t value = definition_block.control_defaults[i];
        if (value == kKeepCurrentValue) continue;
        const std::int32_t jitter = definition_block.control_jitter[i];
        std::uint32_t grown = static_cast<std::uint32_t>(value);
        if (jitter > 0) grown += static_cast<std::uint32_t>(jitter) * static_cast<std::uint32_t>(NextRandom()) / 32767u;
        control_values[i] = static_cast<std::int32_t>(grown);
    }
}

void ClampSliderValues() noexcept {
    for (int i = 0; i < kSliderCount; ++i) {
        const ControlRecord& record = definition_block.controls[i];
        if (control_values[i] < record.min) control_values[i] = record.min;
        if (control_values[i] > record.max) control_values[i] = record.max;
    }
}

void InitialiseDialogValues() noexcept {
    ApplyControlDefaults();
    LoadSettings();
    ClampSliderValues();
}

}  // namespace tessellon
