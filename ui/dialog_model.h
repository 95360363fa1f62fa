// The filter dialog's decisions that need no window: slider defaults, the clamping of
// values into their ranges, slider steps, number-box correction and the selector list.
// No Windows headers.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace tessellon {

// The value of `show` of the current dialog: clear when the host did not ask for
// parameters, and the dialog then ends itself with OK during its initialisation.
extern std::int32_t show_dialog;

// Writes the slider defaults (plus their jitter) into control_values; entries 8..15
// are never touched and nothing is clamped.
void ApplyControlDefaults() noexcept;

// Raises each slider value to its record's min, then lowers it to its max, as the
// dialog does when it sets up its controls.
void ClampSliderValues() noexcept;

// The dialog's initialisation as far as it needs no window: defaults, then the saved
// settings, then the values clamped.
void InitialiseDialogValues() noexcept;

// Runs the filter dialog; 1 for OK, 0 for Cancel.
std::int32_t RunFilterDialog(std::int32_t show, WindowHandle owner) noexcept;

}  // namespace tessellon
