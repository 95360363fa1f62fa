// The formula runtime's contract with the filter's compiled code: the execution
// context, the run environment it is loaded from, the put array, the built-in table and
// the phase dispatcher. Everything here is process-wide and used by one run or preview
// render at a time, on the host's thread. No Windows headers.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/platform.h"
#include "runtime/block_format.h"

namespace tessellon {

// 291 signed 32-bit words reached by compiled code at fixed byte offsets: 35 system
// fields, then 256 filter variables. Field k lies at byte offset 4k.
struct ExecutionContext {
    std::int32_t out_r, out_g, out_b, out_a;  // 0..3: the output pixel, preset to the source
    std::int32_t src_r, src_g, src_b, src_a;  // 4..7: the source pixel
    std::int32_t luma, chroma_u, chroma_v;    // 8..10
    std::int32_t pos_x, pos_y;                // 11, 12: image position
    std::int32_t angle, radius;               // 13, 14: relative to the area's centre
    std::int32_t width, height;               // 15, 16: the processed area
    std::int32_t plane_count;                 // 17
    std::int32_t half_diag;                   // 18
    std::int32_t back_r, back_g, back_b;      // 19..21
    std::int32_t fore_r, fore_g, fore_b;      // 22..24
    std::int32_t ref_x, ref_y;                // 25, 26
    std::int32_t mask_value;                  // 27
    std::int32_t preview_scale;               // 28
    std::int32_t status;                      // 29: 1 out of range, 2 division or domain
    std::int32_t reserved[5];                 // 30..34
    std::int32_t vars[256];                   // 35..290: the filter's variables

    // Word k of the context, as compiled code addresses it at ESI + 4k.
    std::int32_t& word(int k) noexcept { return (&out_r)[k]; }
};

constexpr int kContextWords = 291;
constexpr int kFirstVariable = 35;
static_assert(sizeof(ExecutionContext) == kContextWords * 4);
static_assert(offsetof(ExecutionContext, out_a) == 0x0C);
static_assert(offsetof(ExecutionContext, src_r) == 0x10);
static_assert(offsetof(ExecutionContext, luma) == 0x20);
static_assert(offsetof(ExecutionContext, pos_x) == 0x2C);
static_assert(offsetof(ExecutionContext, angle) == 0x34);
static_assert(offsetof(ExecutionContext, radius) == 0x38);
static_assert(offsetof(ExecutionContext, width) == 0x3C);
static_assert(offsetof(ExecutionContext, plane_count) == 0x44);
static_assert(offsetof(ExecutionContext, half_diag) == 0x48);
static_assert(offsetof(ExecutionContext, back_r) == 0x4C);
static_assert(offsetof(ExecutionContext, fore_r) == 0x58);
static_assert(offsetof(ExecutionContext, ref_x) == 0x64);
static_assert(offsetof(ExecutionContext, mask_value) == 0x6C);
static_assert(offsetof(ExecutionContext, preview_scale) == 0x70);
static_assert(offsetof(ExecutionContext, status) == 0x74);
static_assert(offsetof(ExecutionContext, vars) == 0x8C);

// Use-flag indices of the optional system fields.
enum ContextField : int {
    kFieldLuma = 8, kFieldChromaU = 9, kFieldChromaV = 10, kFieldAngle = 13, kFieldRadius = 14,
    kFieldWidth = 15, kFieldHeight = 16, kFieldPlaneCount = 17, kFieldHalfDiag = 18,
    kFieldBackR = 19, kFieldBackG = 20, kFieldBackB = 21, kFieldForeR = 22, kFieldForeG = 23,
    kFieldForeB = 24, kFieldRefX = 25, kFieldRefY = 26, kFieldMaskValue = 27,
    kFieldPreviewScale = 28, kFieldStatus = 29,
};

constexpr std::int32_t kStatusRange = 1;
constexpr std::int32_t kStatusDomain = 2;

// The run environment: where the current pixel is and what the run is about. The
// filtering run and the preview renderer set it; the loader and the built-ins read it.
// The first thirteen fields are cleared together at the start of every run.
struct RunRecord {
    std::uint8_t* cur_src;
    std::uint8_t* cur_dst;
    std::uint8_t* cur_mask;  // null when the host delivers no mask
    std::int32_t cur_x, cur_y;
    std::int32_t area_w, area_h;
    std::int32_t plane_count;
    std::int32_t half_diag;
    std::int32_t ref_x, ref_y;
    std::uint8_t fore_color[4];  // red, green, blue, spare
    std::uint8_t back_color[4];
};

// The dialog's live values, read by the built-ins: sliders 0..7, selector 10, check
// boxes 13..15; marker points (-1, -1) when unset. The dialog writes them, and so do
// the settings store's load and a host's descriptor; they outlive the modal dialog,
// since the run that follows it reads them. dialog_window is the open dialog, whose
// clicks and slider moves end a preview render early (see abort_check).
constexpr int kMarkerCount = 6;
struct MarkerPoint {
    std::int32_t x, y;
};
struct LiveValues {
    std::int32_t controls[kControlCount] = {};
    MarkerPoint markers[kMarkerCount] = {{-1, -1}, {-1, -1}, {-1, -1}, {-1, -1}, {-1, -1}, {-1, -1}};
    std::int32_t current_marker = 0;
    WindowHandle dialog_window = nullptr;
};
inline LiveValues& Live() noexcept {
    constinit static LiveValues values;
    return values;
}

// Frees the old array and allocates `count` zeroed cells (256 when count <= 0). When
// the memory is not there it says so and goes on with 0 cells.
void alloc_put_array(std::int32_t count) noexcept;

// The built-in table: 53 code addresses in fixed slot order.
constexpr int kBuiltinCount = 53;
using BuiltinAddress = void (*)();
struct BuiltinTable {
    BuiltinAddress slot[kBuiltinCount];
};
extern const BuiltinTable builtin_table;

// The execution of the compiled entries: the context the entries read and write, the
// run environment, the put cells, the preview's origin and start time, and the phase
// being run. The filtering run (shell) and the preview renderer set the run record,
// origin and preview start; run_phase sets the phase and entry, load_context and
// store_output move the context, alloc_put_array renews the put cells; the built-ins
// and the pixel pass read and write them. Worker threads of the pixel pass read the
// record as they did the loose variables: the same storage, written before the workers
// start.
struct ExecutionState {
    ExecutionContext context{};
    RunRecord record{};
    // The image position that counts as (0, 0) for the entries: the selection's
    // top-left when positions are selection-relative, else 0, 0 (and 0, 0 in a preview).
    std::int32_t origin_x = 0, origin_y = 0;
    // 0 outside a preview; the render's start time (ms of the UTC day) while one runs;
    // -1 once it has been abandoned.
    std::int32_t preview_start = 0;
    // The put array: zero-filled cells, renewed at every phase 0.
    std::int32_t* put_array = nullptr;
    std::int32_t put_cell_count = 0;
    // The phase being run and its entry, for built-ins restricted to some phases.
    std::int32_t phase = 0;
    const std::uint8_t* entry = nullptr;
};
inline ExecutionState& Execution() noexcept {
    constinit static ExecutionState state;
    return state;
}

// An entry is absent when its address is 0 or its first byte is a bare return.
bool EntryPresent(const std::uint8_t* entry) noexcept;

// Runs one phase of the filter: 0 set-up, 1 first pass, 2 pixel pass, 3 between.
std::int32_t run_phase(std::int32_t phase) noexcept;
void load_context(std::int32_t phase) noexcept;
void store_output() noexcept;

}  // namespace tessellon
