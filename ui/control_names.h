// The names hosts give the filter's controls, from the captions of its control records:
// the caption as the dialog shows it, without its colon ("Overlap X"), and a name for
// options and properties made from it ("overlap-x", "bg-smooth", "opaque-out"). The
// command line's options and the GEGL operation's properties are named so. No Windows
// headers.
#pragma once

#include <cstddef>
#include <string>

#include "runtime/block_format.h"

namespace tessellon {

// The caption without trailing colon and blanks; reads at most a control record's
// caption field.
std::string CaptionText(const char* caption, std::size_t size = sizeof(ControlRecord::caption));

// Lower case, words joined by single hyphens: a word starts at an upper-case letter after
// a lower-case one or a digit ("OpaqueOut"), at the last capital of a run followed by
// lower case ("BGSmooth"), and after anything that is neither letter nor digit ("Phase
// X:"). Empty when the caption has no letter or digit.
std::string ControlNameFromCaption(const char* caption, std::size_t size = sizeof(ControlRecord::caption));

}  // namespace tessellon
