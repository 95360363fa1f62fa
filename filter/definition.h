// The embedded filter's content as the rest of the module sees it: its block as built,
// the native routines bound to its code entries, and the verification of its block at
// load with those routines. The block's format, checksum and entry tables are the
// runtime's (runtime/block_format.h). No Windows headers.
#pragma once

#include <cstdint>

#include "runtime/block_format.h"

namespace tessellon {

// The module's live block, checksum included. Live: the colour table holds the user's
// current colours. At load it is verified and handed to the runtime (Bound()).
extern DefinitionBlock definition_block;

// The block as it was built, for tests that need a fresh copy.
const DefinitionBlock& StoredDefinitionBlock() noexcept;

// VerifyAndBindBlock with this filter's routines, for the live block by default.
bool VerifyDefinitionBlock(DefinitionBlock& block = definition_block) noexcept;

// The routine written for a code offset of the embedded filter, or null.
NativeEntry NativeRoutineAt(std::uint32_t code_offset) noexcept;

std::int32_t filter_setup(ExecutionContext& context, const BuiltinTable& builtins) noexcept;
std::int32_t filter_pixel(ExecutionContext& context, const BuiltinTable& builtins) noexcept;

}  // namespace tessellon
