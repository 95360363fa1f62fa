// The lengths of filter record that hosts hand over, for tests that run the module over
// a record ending right there. Values for the 32-bit / 64-bit record: the 4.0 layout's
// end (452 / 544); inside maxSpace64 (432..439 / 552..559), where the record of a newer
// host that declares its own shorter tail ends, as some 64-bit hosts do; and right after
// documentInfo, the last field the module's declaration has. No Windows headers.
#pragma once

#include <cstddef>
#include <ostream>
#include <string>

#include "hostapi/filter_record.h"

namespace tessellon::testing {

struct RecordLength {
    const char* name;
    std::size_t bytes;
};

inline void PrintTo(const RecordLength& length, std::ostream* os) { *os << length.name << " (" << length.bytes << " bytes)"; }

inline constexpr RecordLength kHostRecordLengths[] = {
    {"declared_4_0_layout", sizeof(psapi::FilterRecord)},
    {"ends_inside_maxSpace64", psapi::kWide ? 556u : 436u},
    {"ends_after_documentInfo", offsetof(psapi::FilterRecord, documentInfo) + sizeof(void*)},
};

// Names the parameterised rows after their lengths.
struct RecordLengthName {
    template <typename Info>
    std::string operator()(const Info& info) const {
        return info.param.name;
    }
};

}  // namespace tessellon::testing
