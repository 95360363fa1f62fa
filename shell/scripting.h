// The filter's values in the host's automation: at Start the descriptor a host hands over
// (an action's recorded step, a Smart Filter's settings, a script's values) is read into
// scripted_values, and after a successful run the values the run used are written into a
// new descriptor for the host to record. Hosts without a usable scripting suite (absent,
// NULL tables, other versions, too few or NULL entries) see no change at all. No Windows
// headers.
#pragma once

namespace tessellon {

// Empties scripted_values, then reads the record's descriptor, if one was delivered and
// the host's read suite is usable, and gives the handle back to the host.
void ReadScriptParameters() noexcept;

// Writes every key with the run's values into a new descriptor in the record and asks
// the host to record the step with the dialog optional.
void WriteScriptParameters() noexcept;

}  // namespace tessellon
