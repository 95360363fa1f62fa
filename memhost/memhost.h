// An in-memory host for the filter module: it owns a filter record over an image held
// in memory and answers the module's callbacks the way Photoshop-compatible hosts do,
// while recording every call. Tests drive the module through it; the lean host
// (lean_host.h) answers the same way for whole runs, without the checks and the
// recording. No Windows headers.
//
// Surfaces. A host keeps two images: the source, which never changes during a run,
// and the destination, which starts as a copy of the source and receives the output.
// Input and mask are read from the source, outData is filled from the destination
// (hosts copy source to destination before filtering), and written-back output lands
// in the destination. Document() is the destination.
//
// Buffers. Every delivered buffer has rows longer than width × planes (by
// HostOptions::row_padding bytes) so that a module stepping by width × planes instead
// of the row bytes reads and writes the wrong pixels. The row padding and a block of
// guard bytes before and after each buffer hold a known pattern, checked when the
// buffer is given up and by CheckGuards(). Buffers are reallocated at every
// advanceState, so a pointer kept from an earlier delivery points at freed memory.
//
// One host at a time. The filter record carries no user pointer, so the callbacks find
// their host through a static "current host" pointer that the constructor sets and
// the destructor clears. Only one MemHost may exist at a time; constructing a second
// while one is alive ends the process with a message.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "hostapi/filter_record.h"
#include "memhost/host_record.h"

namespace tessellon::memhost {

// One advanceState call as the module asked for it (before clamping).
struct AdvanceCall {
    psapi::Rect in_rect;
    psapi::Rect out_rect;
    psapi::Rect mask_rect;
    psapi::int16 in_lo_plane, in_hi_plane;
    psapi::int16 out_lo_plane, out_hi_plane;
    psapi::Fixed input_rate;
    psapi::Fixed mask_rate;
};

// One displayPixels call: the pixel map's fields, the call's arguments and the drawn
// pixels.
struct DisplayCall {
    psapi::int32 version;
    psapi::VRect bounds;
    psapi::int32 image_mode;
    psapi::int32 row_bytes;
    psapi::int32 col_bytes;
    psapi::int32 plane_bytes;
    bool has_base_addr;
    // Read only for maps of version 1 and later, as hosts do.
    bool has_mat;
    bool has_masks;
    psapi::PSPixelMask first_mask;  // *masks when present, else zero
    psapi::int32 mask_phase_row;
    psapi::int32 mask_phase_col;
    psapi::VRect src_rect;
    psapi::int32 dst_row;
    psapi::int32 dst_col;
    void* platform_context;
    // bounds-sized, col_bytes planes: for every pixel the col_bytes bytes starting at
    // baseAddr + row * rowBytes + column * colBytes. Empty when the map was refused.
    Image pixels;
};

// One colorServices call. Fields after info_size are read only when infoSize is at least
// the host's own sizeof(ColorServicesInfo) (36 on 32-bit, 56 on 64-bit).
struct ColorRequest {
    psapi::int32 info_size;
    psapi::int16 selector;
    psapi::int16 source_space;
    psapi::int16 result_space;
    bool has_prompt;
    std::string prompt;  // the Pascal string's text
    std::array<psapi::int16, 4> components;  // as the module passed them in
};

class MemHost {
public:
    explicit MemHost(Image document, HostOptions options = {});
    ~MemHost();
    MemHost(const MemHost&) = delete;
    MemHost& operator=(const MemHost&) = delete;

    psapi::FilterRecord& record() { return *record_; }
    std::intptr_t& data() { return data_; }
    const Image& Document() const { return destination_; }
    const Image& Source() const { return source_; }

    // Calls the module's ENTRYPOINT with this record (the About record for About),
    // the data word and a result word preset to 1, as some hosts preset it, so that a
    // selector that leaves it unwritten shows. Returns the result word.
    psapi::int16 Call(psapi::int16 selector);

    // The host's filtering run: Start; then, while any of inRect, outRect and maskRect
    // is non-empty, a data step (as advanceState) and Continue; then the final data
    // step, which writes back the last output; then Finish. A failed Start ends the
    // run at once; a failed Continue goes to Finish. Returns the first nonzero result
    // or 0. The data step's own errors do not stop the run, as in hosts.
    psapi::int16 RunAsHost();

    // The data step that advanceState performs; the final step of a run passes
    // empty requests.
    psapi::OSErr DataStep();
    // The final data step: writes back the current output and releases every buffer.
    void WriteBackAndRelease();

    // Whether the module worked in strips, from the input rectangles delivered since
    // the last RunAsHost began (see InputCoverage): the number of distinct non-empty
    // ones (1 when the module took the image in one piece), and whether every one of
    // them held the whole filter rectangle.
    int InputRects() const { return coverage_.DistinctRects(); }
    bool WholeImageInOnePass() const { return coverage_.AllHeldFilterRect(); }

    // Problems with guard bytes and row padding: the ones found when buffers were
    // given up, and those of the buffers held now. Empty when all is intact.
    std::vector<std::string> CheckGuards() const;

    // Scripts.
    psapi::OSErr advance_result = psapi::noErr;  // nonzero: advanceState fails and changes nothing
    int abort_from_call = 0;                     // N > 0: abortProc says "stop" from its N-th call on
    psapi::OSErr display_result = psapi::noErr;
    bool color_cancel = false;  // the picker is cancelled (-128)
    Rgb color_answer{0, 0, 0};  // else the colour picked

    // Records.
    std::vector<psapi::int16> selectors;  // every Call, in order
    std::vector<AdvanceCall> advance_calls;
    int abort_calls = 0;
    std::vector<std::pair<psapi::int32, psapi::int32>> progress;
    std::vector<DisplayCall> display_calls;
    std::vector<ColorRequest> color_requests;

private:
    struct Buffer {
        explicit Buffer(const char* name_) : name(name_) {}
        const char* name;
        std::vector<std::uint8_t> storage;  // guard, rows, guard; empty when nothing is held
        psapi::Rect rect{};
        int lo_plane = 0;
        int planes = 0;
        int row_bytes = 0;
        std::uint8_t* Data() { return storage.empty() ? nullptr : storage.data() + kGuardBytes; }
    };
    static constexpr std::size_t kGuardBytes = 32;

    void Allocate(Buffer& buffer, const psapi::Rect& rect, int lo_plane, int hi_plane);
    void FillSampled(Buffer& buffer, const Image& from, psapi::Fixed rate);
    void WriteBack(Buffer& buffer);
    void Release(Buffer& buffer);
    void Publish();
    std::vector<std::string> GuardProblems(const Buffer& buffer) const;

    static psapi::Boolean PSAPI_CALL OnAbort();
    static void PSAPI_CALL OnProgress(psapi::int32 done, psapi::int32 total);
    static psapi::OSErr PSAPI_CALL OnAdvanceState();
    static psapi::OSErr PSAPI_CALL OnDisplayPixels(const psapi::PSPixelMap* source, const psapi::VRect* src_rect,
                                                   psapi::int32 dst_row, psapi::int32 dst_col,
                                                   void* platform_context);
    static psapi::OSErr PSAPI_CALL OnColorServices(psapi::ColorServicesInfo* info);

    static MemHost* current_;

    Image source_;
    Image destination_;
    std::optional<Image> mask_;
    int row_padding_;
    std::unique_ptr<std::uint8_t[]> record_storage_;
    psapi::FilterRecord* record_;
    psapi::AboutRecord about_{};
    psapi::PlatformData platform_data_{};
    std::intptr_t data_ = 0;
    Buffer in_{"inData"};
    Buffer out_{"outData"};
    Buffer mask_buffer_{"maskData"};
    std::vector<std::string> guard_problems_;
    InputCoverage coverage_;
};

}  // namespace tessellon::memhost
