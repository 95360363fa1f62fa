// The filter dialog's decisions that need no window: slider defaults, the clamping of
// values into their ranges, slider steps, number-box correction, the selector list, the
// background picture's bytes and header, and the error box. The Windows dialog procedure only moves values between its controls and these
// functions. No Windows headers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "runtime/block_format.h"

namespace tessellon {

class DialogRun;  // ui/dialog_run.h

// Values a host's descriptor delivered for this Start (an action's step replayed, a Smart
// Filter rendered again, a script): the dialog's initialisation puts them over the saved
// settings. Emptied at the start of every Start.
struct ScriptedValues {
    bool delivered = false;         // a descriptor was read
    std::int16_t play_info = 0;     // the host's playInfo with it
    std::uint32_t present = 0;      // bit r: control record r; kScriptedColourBit: the colour
    std::int32_t controls[16] = {};
    std::uint32_t colour = 0;       // 0x00BBGGRR
};
constexpr std::uint32_t kScriptedColourBit = 1u << 16;

// Puts the delivered values over control_values and the outside colour.
void ApplyScriptedValues() noexcept;

// Writes the slider defaults (plus their jitter) into the live values, or into
// `controls`; entries 8..15 are never touched and nothing is clamped.
void ApplyControlDefaults() noexcept;
void ApplyControlDefaults(std::int32_t (&controls)[kControlCount]) noexcept;

// Raises each slider value to its record's min, then lowers it to its max, as the
// dialog does when it sets up its controls; the live values, or `controls`.
void ClampSliderValues() noexcept;
void ClampSliderValues(std::int32_t (&controls)[kControlCount]) noexcept;

// The tile preset, where the hosts that make tiles start (the command line's default and
// the GEGL operation's defaults): the filter's defaults with both overlaps at
// kTilePresetOverlap percent and Fit left off, so that every pixel inside the tile is
// the picture's own; clamped as the dialog clamps. Writes every entry of `controls`.
constexpr std::int32_t kTilePresetOverlap = 20;
void ApplyTilePreset(std::int32_t (&controls)[kControlCount]) noexcept;

// The dialog's initialisation as far as it needs no window: defaults, then the saved
// settings, then a descriptor's values, then the values clamped.
void InitialiseDialogValues() noexcept;

// Runs the filter dialog for `run`, which serves its preview and About box while it is
// open; 1 for OK, 0 for Cancel, -1 when no dialog could be created (the caller treats
// every non-zero result as OK).
std::int32_t RunFilterDialog(std::int32_t show, WindowHandle owner, DialogRun& run) noexcept;

// A message box owned by `owner` with the caption "Vextrel Error", the error icon and
// an OK button, for internal errors.
void ShowErrorBox(WindowHandle owner, const char* text) noexcept;

// ---- Sliders ----------------------------------------------------------------------

// Scroll codes of a trackbar's WM_HSCROLL (low word of wParam).
enum ScrollCode : std::int32_t {
    kScrollLineUp = 0,
    kScrollLineDown = 1,
    kScrollPageUp = 2,
    kScrollPageDown = 3,
    kScrollThumbPosition = 4,
    kScrollThumbTrack = 5,
    kScrollTop = 6,
    kScrollBottom = 7,
};

// The new value of a slider at `value` in min..max after one scroll message. `wparam`
// is the message's whole first parameter: the low word is the scroll code, and for the
// thumb codes the high word is the position, read as a signed 16-bit number. Page steps
// are (max - min) / 8, truncated, and stop at the range's ends; line steps stop there
// too; unknown codes (end of tracking) keep the value.
std::int32_t SliderStep(std::uint32_t wparam, std::int32_t value, std::int32_t min,
                        std::int32_t max) noexcept;

// Reads a number box's text as a signed decimal number: blanks around it, one optional
// sign, at least one digit, nothing else, and within 32 bits. False for anything else.
bool ParseNumberBox(const char* text, std::int32_t* value) noexcept;

// What a number box's change makes of its text: the value read (0 for text that is not
// a number), brought into min..max; `corrected` when the text must be written back.
struct NumberBoxReading {
    std::int32_t value;
    bool corrected;
};
NumberBoxReading ReadNumberBox(const char* text, std::int32_t min, std::int32_t max) noexcept;

// ---- Selector ---------------------------------------------------------------------

constexpr std::size_t kSelectorItemLimit = 131;

// Splits a selector text into its items. The text ends at its first NUL or after
// `size` bytes. A CR ends an item; empty items are dropped; bytes of 0x20 or less at an
// item's start (blanks, LF, TAB and other control codes) are skipped; an item keeps at
// most 131 characters.
std::vector<std::string> ParseSelectorItems(const char* text, std::size_t size);

// ---- Dialog template -------------------------------------------------------------

// Clears the visible style (0x10000000) of a dialog template in place: an extended
// template (version 1, signature 0xFFFF) keeps its style at byte 12, a plain one at
// byte 0. A dialog that ends itself during its initialisation is made from such a
// copy, so that no dialog manager shows it on its way out. False when the bytes are too
// few to hold a template header.
bool ClearTemplateVisibleStyle(std::uint8_t* bytes, std::size_t size) noexcept;

// ---- Background picture -----------------------------------------------------------

// The optional picture behind the controls: a placeable metafile read from the module
// file at the definition block's background_picture_offset. Absent when `bytes` is null
// or `length` is not positive.
struct BackgroundPicture {
    std::uint8_t* bytes;
    std::int32_t length;
};

// The dialog's record of one Start: whether it shows, the values a host's descriptor
// delivered, the picture behind the controls, and the run that opened it (set for the
// modal dialog's lifetime). Static storage, since the host calls the module anew for
// every selector and the window procedures are called back by the system.
struct DialogSession {
    // The value of `show` of the current dialog: clear when the host did not ask for
    // parameters, and the dialog then ends itself with OK during its initialisation.
    std::int32_t show = 0;
    ScriptedValues scripted{};
    BackgroundPicture background_picture{nullptr, 0};
    DialogRun* run = nullptr;
};
inline DialogSession& Dialog() noexcept {
    constinit static DialogSession session;
    return session;
}

constexpr std::int32_t kPlaceableHeaderSize = 22;
struct PlaceableHeader {
    std::int16_t left, top, right, bottom;  // bounding box
    std::uint16_t units_per_inch;
};
// The bounding box and units per inch of a placeable metafile's header; false when
// fewer than 22 bytes are there. Key and checksum are not checked.
bool ReadPlaceableHeader(const std::uint8_t* bytes, std::int32_t length, PlaceableHeader* header) noexcept;

// Reads the picture anew from `module_path` (releasing a previous one); no picture when
// the offset is not positive, the file cannot be read or the memory is not there.
void LoadBackgroundPicture() noexcept;
void ReleaseBackgroundPicture() noexcept;
bool HaveBackgroundPicture() noexcept;

}  // namespace tessellon
