// The filter's scripting vocabulary: the event under which hosts record it in actions,
// Smart Filters and scripts, and the descriptor key of each control the dialog shows.
// The module's terminology resource declares the same codes to hosts. Codes follow the
// rule for third-party codes (a lower-case first letter and an upper-case letter
// inside), so they cannot meet the host's own. No Windows headers.
#pragma once

#include <cstdint>

#include "filter/control_rows.h"
#include "hostapi/filter_record.h"
#include "runtime/block_format.h"

namespace tessellon {

using psapi::FourCharCode;

// The suite, the event's class and the event itself share one code.
constexpr std::uint32_t kScriptEvent = FourCharCode("tsLn");

enum class ScriptValueKind { slider, selector, check_box, colour };

struct ScriptKey {
    psapi::DescriptorKeyID key;
    ScriptValueKind kind;
    int control;       // the control record (and control_values entry); unused for the colour
    const char* name;  // as the dialog shows it, without the caption's colon
};

constexpr ScriptKey kScriptKeys[] = {
    {FourCharCode("ovrX"), ScriptValueKind::slider, kOverlapXRow, "Overlap X"},
    {FourCharCode("ovrY"), ScriptValueKind::slider, kOverlapYRow, "Overlap Y"},
    {FourCharCode("faDe"), ScriptValueKind::slider, kFadeRow, "Fade"},
    {FourCharCode("thBG"), ScriptValueKind::slider, kThruBgRow, "Thru BG"},
    {FourCharCode("bgSm"), ScriptValueKind::slider, kBgSmoothRow, "BGSmooth"},
    {FourCharCode("frQy"), ScriptValueKind::slider, kFreqRow, "Freq"},
    {FourCharCode("phsX"), ScriptValueKind::slider, kPhaseXRow, "Phase X"},
    {FourCharCode("phsY"), ScriptValueKind::slider, kPhaseYRow, "Phase Y"},
    {FourCharCode("smSh"), ScriptValueKind::selector, kSeamRow, "Seam"},
    {FourCharCode("fitT"), ScriptValueKind::check_box, kFitRow, "Fit"},
    {FourCharCode("opqO"), ScriptValueKind::check_box, kOpaqueOutRow, "OpaqueOut"},
    {FourCharCode("rpeT"), ScriptValueKind::check_box, kRepeatRow, "Repeat"},
    {FourCharCode("clrO"), ScriptValueKind::colour, 0, "Colour"},
};
constexpr int kScriptKeyCount = static_cast<int>(sizeof kScriptKeys / sizeof kScriptKeys[0]);

// The seam shape is an enumeration; its values in the selector's order.
constexpr psapi::DescriptorTypeID kSeamEnumeration = FourCharCode("smST");
constexpr psapi::DescriptorEnumID kSeamValues[] = {FourCharCode("smNr"), FourCharCode("smWv"),
                                                   FourCharCode("smZz"), FourCharCode("smFr")};
constexpr const char* kSeamNames[] = {"Normal", "Wave", "Zigzag", "Fractal"};
constexpr int kSeamCount = 4;

// The colour outside the tile is the block's first colour entry.
constexpr int kOutsideColourEntry = 0;

}  // namespace tessellon
