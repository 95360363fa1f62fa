// Shared by the tests of the pixel, control and memory built-ins: a guard that saves the
// process-wide state those tests change and puts it back, and the status value that marks
// "no built-in wrote a status".
#pragma once

#include <gtest/gtest.h>

#include <string>

#include <cstdint>
#include <cstring>

#include "filter/definition.h"
#include "hostapi/host_state.h"
#include "runtime/builtins.h"
#include "runtime/context.h"

namespace tessellon::testing {

// Written to Execution().context.status before every call, so that a status the built-in
// leaves alone can be told from one it sets.
constexpr std::int32_t kUntouched = 77;

// Saves, and restores when it goes out of scope, everything the built-in tests touch:
// the execution context, the run environment, origins and zoom, the host record, the
// dialog's values and marker points, the phase, the angle unit and the definition block
// (whose control records, colours and counts some tests change). The put array is left
// alone: tests that need one swap it in themselves.
class SavedRuntimeState {
public:
    SavedRuntimeState()
        : context_(Execution().context), run_(Execution().record), origin_x_(Execution().origin_x), origin_y_(Execution().origin_y),
          zoom_(Host().preview_zoom), record_(Host().record), phase_(Execution().phase), angle_unit_(angle_unit(0)) {
        std::memcpy(controls_, Live().controls, sizeof controls_);
        std::memcpy(markers_, Live().markers, sizeof markers_);
        std::memcpy(&block_, &definition_block, sizeof block_);
    }
    ~SavedRuntimeState() {
        Execution().context = context_;
        Execution().record = run_;
        Execution().origin_x = origin_x_;
        Execution().origin_y = origin_y_;
        Host().preview_zoom = zoom_;
        Host().record = record_;
        Execution().phase = phase_;
        angle_unit(angle_unit_);
        std::memcpy(Live().controls, controls_, sizeof controls_);
        std::memcpy(Live().markers, markers_, sizeof markers_);
        std::memcpy(&definition_block, &block_, sizeof block_);
    }
    SavedRuntimeState(const SavedRuntimeState&) = delete;
    SavedRuntimeState& operator=(const SavedRuntimeState&) = delete;

private:
    ExecutionContext context_;
    RunRecord run_;
    std::int32_t origin_x_, origin_y_, zoom_;
    psapi::FilterRecord* record_;
    std::int32_t phase_;
    std::int32_t angle_unit_;
    std::int32_t controls_[kControlCount];
    MarkerPoint markers_[kMarkerCount];
    DefinitionBlock block_;
};

// Test names for the tables: each row's own name.
template <typename Row>
std::string RowName(const ::testing::TestParamInfo<Row>& row) {
    return row.param.name;
}

}  // namespace tessellon::testing
