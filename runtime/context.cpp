// The execution context, its loader and write-back, the put array and the phase
// dispatcher: the only way into the filter's code. No Windows headers.
#include "runtime/context.h"

#include <cstring>

#include "hostapi/host_state.h"
#include "runtime/builtins.h"
#include "runtime/wrap32.h"

namespace tessellon {

void alloc_put_array(std::int32_t count) noexcept {
    if (count <= 0) count = 256;
    Platform().free_memory(Execution().put_array);
    Execution().put_array = static_cast<std::int32_t*>(
        Platform().alloc_zeroed(static_cast<std::size_t>(count) * sizeof(std::int32_t)));
    if (Execution().put_array == nullptr) {
        // Every later access is then out of range and answered neutrally.
        Platform().message_box(Platform().active_window(), "Cannot initialize put array (internal error)!",
                               "Vextrel Error", MessageIcon::stop);
        Execution().put_cell_count = 0;
        return;
    }
    Execution().put_cell_count = count;
}

bool EntryPresent(const std::uint8_t* entry) noexcept {
    return entry != nullptr && *entry != kReturnOpcode;
}

namespace {

// Truncating division by 256 of a colour-difference sum (-1/256 gives 0, not -1).
std::int32_t Div256(std::int32_t sum) noexcept { return sum / 256; }

std::int32_t ImagePosition(std::int32_t cur) noexcept {
    if (Host().preview_zoom >= 2) return wrap_mul(cur, Host().preview_zoom);
    if (Host().preview_zoom == 1) return cur;
    return wrap_div(cur, wrap_sub(2, Host().preview_zoom));
}

}  // namespace

void load_context(std::int32_t phase) noexcept {
    ExecutionContext& c = Execution().context;
    const RunRecord& r = Execution().record;
    const std::uint8_t* flags = Bound().block->use_flags[phase & 3];
    const bool pixel_phase = phase == kPhaseFirstPass || phase == kPhasePixel;

    if (pixel_phase) {
        const std::uint8_t* s = r.cur_src;
        const std::int32_t fourth = r.plane_count > 3 ? s[3] : 255;
        c.out_r = c.src_r = s[0];
        c.out_g = c.src_g = s[1];
        c.out_b = c.src_b = s[2];
        c.out_a = c.src_a = fourth;
        if (flags[kFieldLuma]) c.luma = (76 * s[0] + 150 * s[1] + 29 * s[2]) / 256;
        if (flags[kFieldChromaU]) c.chroma_u = Div256(56 * s[2] - 37 * s[1] - 19 * s[0]);
        if (flags[kFieldChromaV]) c.chroma_v = Div256(78 * s[0] - 65 * s[1] - 13 * s[2]);
    }
    c.pos_x = ImagePosition(r.cur_x);
    c.pos_y = ImagePosition(r.cur_y);
    if (flags[kFieldAngle] || flags[kFieldRadius]) {
        const std::int32_t dx = wrap_sub(c.pos_x, r.area_w / 2);
        const std::int32_t dy = wrap_sub(c.pos_y, r.area_h / 2);
        if (flags[kFieldAngle]) c.angle = vec_angle(dx, dy);
        if (flags[kFieldRadius]) c.radius = isqrt(wrap_add(wrap_mul(dx, dx), wrap_mul(dy, dy)));
    }
    if (flags[kFieldWidth]) c.width = r.area_w;
    if (flags[kFieldHeight]) c.height = r.area_h;
    if (flags[kFieldPlaneCount]) c.plane_count = r.plane_count;
    if (flags[kFieldHalfDiag]) c.half_diag = r.half_diag;
    if (flags[kFieldBackR]) c.back_r = r.back_color[0];
    if (flags[kFieldBackG]) c.back_g = r.back_color[1];
    if (flags[kFieldBackB]) c.back_b = r.back_color[2];
    if (flags[kFieldForeR]) c.fore_r = r.fore_color[0];
    if (flags[kFieldForeG]) c.fore_g = r.fore_color[1];
    if (flags[kFieldForeB]) c.fore_b = r.fore_color[2];
    if (flags[kFieldRefX]) c.ref_x = r.ref_x;
    if (flags[kFieldRefY]) c.ref_y = r.ref_y;
    if (pixel_phase && flags[kFieldMaskValue]) c.mask_value = r.cur_mask != nullptr ? *r.cur_mask : 255;
    if (flags[kFieldPreviewScale]) {
        c.preview_scale = Execution().preview_start == 0 ? 0 : Host().preview_zoom >= 1 ? Host().preview_zoom : wrap_sub(Host().preview_zoom, 1);
    }
    // Last, so that a status left by the loader's own radius is cleared as well.
    if (flags[kFieldStatus]) c.status = 0;
}

namespace {
std::uint8_t Clamp255(std::int32_t v) noexcept {
    return static_cast<std::uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v);
}
}  // namespace

void store_output() noexcept {
    std::uint8_t* d = Execution().record.cur_dst;
    const ExecutionContext& c = Execution().context;
    d[0] = Clamp255(c.out_r);
    d[1] = Clamp255(c.out_g);
    d[2] = Clamp255(c.out_b);
    if (Execution().record.plane_count > 3) d[3] = Clamp255(c.out_a);
}

std::int32_t run_phase(std::int32_t phase) noexcept {
    Execution().phase = phase;
    const int word = EntryWordOf(phase);
    const std::uint8_t* entry = Bound().entry_address[word];
    Execution().entry = entry;
    if (phase == kPhaseSetup) {
        // The set-up phase starts every run from a clean context and a fresh put array,
        // whether or not the filter has set-up code.
        std::memset(&Execution().context, 0, sizeof Execution().context);
        alloc_put_array(Bound().block->put_cell_count);
    }
    if (!EntryPresent(entry)) return 0;
    load_context(phase);
    const NativeEntry routine = Bound().entry_routine[word];
    const std::int32_t result = routine != nullptr ? routine(Execution().context, builtin_table) : 0;
    if (phase == kPhasePixel) store_output();
    return result;
}

}  // namespace tessellon
