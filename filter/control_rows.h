// Which of the block's control records is which control of this filter, named once for
// the block, the filter's code, the dialog's scripting keys and the tests. The numbering
// of records itself (sliders 0..7, the selector 10, check box k in record 15 - k) is the
// block format's (runtime/block_format.h). No Windows headers.
#pragma once

#include "runtime/block_format.h"

namespace tessellon {

// Control records, as control_values entries.
enum ControlRow : int {
    kOverlapXRow = 0,
    kOverlapYRow = 1,
    kFadeRow = 2,
    kThruBgRow = 3,
    kBgSmoothRow = 4,
    kFreqRow = 5,
    kPhaseXRow = 6,
    kPhaseYRow = 7,
    kSeamRow = kSelectorRecord,
    kRepeatRow = 13,
    kOpaqueOutRow = 14,
    kFitRow = 15,
};

// The check boxes as the filter's code asks for them (check_box(k)).
enum CheckBox : int {
    kFitBox = 0,
    kOpaqueOutBox = 1,
    kRepeatBox = 2,
};
static_assert(CheckBoxRecordOf(kFitBox) == kFitRow && CheckBoxRecordOf(kOpaqueOutBox) == kOpaqueOutRow &&
              CheckBoxRecordOf(kRepeatBox) == kRepeatRow);

}  // namespace tessellon
