// What the two in-memory hosts share: the image they filter, the options a host is
// set up with, the filter record they fill from those options, the clamping and
// sampling of the module's requests, and the account of the input rectangles a run
// delivered. The test host (memhost.h) and the lean host (lean_host.h) both build on
// it, so that for the same options the module sees the same record and the same
// delivered rectangles from either. No Windows headers.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <set>
#include <vector>

#include "hostapi/filter_record.h"

namespace tessellon::memhost {

// Interleaved 8-bit pixels, rows without padding: byte of plane p at (x, y) is
// bytes[(y * width + x) * planes + p]. Documents have 3 (RGB) or 4 (RGBA) planes,
// masks 1; captured screen images have as many as the map's column bytes.
struct Image {
    int width = 0;
    int height = 0;
    int planes = 0;
    std::vector<std::uint8_t> bytes;

    Image() = default;
    Image(int width_, int height_, int planes_, std::uint8_t fill = 0);

    std::uint8_t& At(int x, int y, int plane);
    std::uint8_t At(int x, int y, int plane) const;

    bool operator==(const Image&) const = default;
};

// An image in which neighbouring bytes differ, rows and planes included, so that a
// byte taken from the wrong place shows.
Image PatternImage(int width, int height, int planes);

// A selection mask of the given size: 255 inside `selected`, 0 elsewhere.
Image RectangularMask(int width, int height, psapi::Rect selected);

using Rgb = std::array<std::uint8_t, 3>;

struct HostOptions {
    std::optional<psapi::Rect> filter_rect;  // the whole image when absent
    psapi::int16 image_mode = psapi::plugInModeRGBColor;
    Rgb back_color{255, 255, 255};
    Rgb fore_color{0, 0, 0};
    psapi::int32 max_space = 1 << 30;  // 1 GiB, as hosts give
    char sampling_support = 1;         // integral steps
    std::intptr_t hwnd = 0;            // the "host window" in platformData
    psapi::OSType host_sig = 0x3842494D;  // '8BIM'
    bool floating = false;                // isFloating, filter case 3
    // An RGBA document as a layer with editable transparency: inLayerPlanes 3 and
    // inTransparencyMask 1 (filter cases 4 and 5). Otherwise the planes count as flat.
    bool layer = false;
    // The selection, one plane of the document's size: 0 = not selected, nonzero =
    // selected. Present: haveMask = 1 and maskData is delivered for maskRect.
    std::optional<Image> mask;
    int row_padding = 7;  // bytes added to every delivered row (the test host only)
    // Which callbacks the record offers; an absent one is null in the record.
    bool with_abort = true;
    bool with_progress = true;
    bool with_display_pixels = true;
    bool with_color_services = true;
    // Bytes of filter record handed over (the test host only). The record lives in a
    // heap block of exactly this size, so that a module reading past a shorter host's
    // record shows under AddressSanitizer. The host itself sets only fields of the 4.0
    // layout's first 372 (32-bit) or 464 (64-bit) bytes, up to documentInfo.
    std::size_t record_bytes = sizeof(psapi::FilterRecord);
    // Threads the host lets the module use for the run (the lean host only): 1..64, or 0
    // for the module's own choice (TESSELLON_THREADS, else every core).
    int threads = 0;
};

constexpr psapi::OSErr kParamErr = -50;
constexpr psapi::OSErr kHostInsufficient = -30900;  // errPlugInHostInsufficient
constexpr psapi::Fixed kUnitRate = 0x10000;         // 1.0 in 16.16
constexpr int kMaxCoordinate = 0x7FFF;              // rectangles are int16

// A host's own callbacks, each put into the record when the options offer it
// (advanceState always).
struct HostCallbacks {
    psapi::TestAbortProc abort;
    psapi::ProgressProc progress;
    psapi::AdvanceStateProc advance_state;
    psapi::DisplayPixelsProc display_pixels;
    psapi::ColorServicesProc color_services;
};

// Ends the process with a message when `condition` is false: a host set up wrongly
// (a mask of the wrong size, a document of 2 planes) has no sensible way to go on.
void Require(bool condition, const char* message);

// Checks the document and the options as both hosts require them.
void CheckDocument(const Image& document, const HostOptions& options);

// Fills a zeroed record for `document` and `options` as hosts fill it before Start:
// sizes, filter rectangle, colours (8-bit and the 16-bit legacy ones), memory budget,
// filter case, plane counts, unit rates, the callbacks the options offer and the
// platform data. Requests and buffers stay empty.
void FillRecord(psapi::FilterRecord& record, const Image& document, const HostOptions& options,
                const HostCallbacks& callbacks, psapi::PlatformData* platform_data);

bool IsEmpty(const psapi::Rect& r);

// A host's filtering run, the same for both hosts: Start; then, while any of inRect,
// outRect and maskRect is non-empty, a data step (as advanceState) and Continue; then
// the final data step, which writes back the last output; then Finish. A failed Start
// ends the run at once; a failed Continue goes to Finish. Returns the first nonzero
// result or 0.
template <typename Host>
psapi::int16 RunFiltering(Host& host, const psapi::FilterRecord& record) {
    psapi::int16 result = host.Call(psapi::filterSelectorStart);
    if (result != psapi::noErr) return result;  // no Finish after a failed Start
    while (!IsEmpty(record.inRect) || !IsEmpty(record.outRect) || !IsEmpty(record.maskRect)) {
        host.DataStep();
        result = host.Call(psapi::filterSelectorContinue);
        if (result != psapi::noErr) {
            host.Call(psapi::filterSelectorFinish);
            return result;
        }
    }
    host.WriteBackAndRelease();
    return host.Call(psapi::filterSelectorFinish);
}

// A non-empty request intersected with [0, width) × [0, height); all zeros when
// nothing of it lies inside. Empty requests are returned as they are.
psapi::Rect ClampRect(const psapi::Rect& r, int width, int height);

// Number of sampled pixels that cover `size` document pixels at step `rate`.
int SampledExtent(int size, psapi::Fixed rate);

// Document coordinate of sampled coordinate `c`, clamped into [0, size).
int SampledSource(int c, psapi::Fixed rate, int size);

bool PlanesValid(int lo, int hi, int planes);

// What a data step delivers, as every host here answers the module's requests.
struct DataRequests {
    bool in = false, out = false, mask = false;  // which buffers to deliver
    psapi::Fixed input_rate = 0, mask_rate = 0;  // the sampling steps (unit without sampling support)
};

// Reads the record's requests for an image of width × height × planes (with a
// selection mask or not): false when one names planes the image has not or a sampling
// step of zero or less, which the host answers with paramErr and delivers nothing;
// otherwise the requested rectangles are clamped into the (sampled) image and `wanted`
// says what to deliver.
bool ReadRequests(psapi::FilterRecord& record, int width, int height, int planes, bool has_mask,
                  DataRequests& wanted);

// The input rectangles delivered during a run, for telling whether the module saw the
// whole filter rectangle at once or worked in strips. A module that takes the image in
// one piece asks for the same input rectangle each time it reads the image again (for
// its set-up, a first pass, the main pass); a module that works in strips asks for one
// rectangle per strip, none of which holds the whole filter rectangle.
class InputCoverage {
public:
    void Reset(const psapi::Rect& filter_rect);
    // One delivered input rectangle, after clamping; empty ones are not counted.
    void Add(const psapi::Rect& delivered);

    // Distinct non-empty input rectangles delivered since the last Reset.
    int DistinctRects() const { return static_cast<int>(seen_.size()); }
    // Whether every one of them held the whole filter rectangle (true when none was
    // delivered).
    bool AllHeldFilterRect() const { return all_held_; }

private:
    psapi::Rect filter_rect_{};
    std::set<std::uint64_t> seen_;
    bool all_held_ = true;
};

}  // namespace tessellon::memhost
