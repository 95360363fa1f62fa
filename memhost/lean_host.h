// A lean in-memory host for whole filtering runs: the command-line host filters images
// with it, and the benchmarks time the module through it. It fills the filter record
// from the same HostOptions as the test host (memhost.h) and clamps and answers the
// module's requests the same way, so the module sees the same record and the same
// rectangles and makes the same image; but it checks nothing, records nothing and,
// wherever it can, hands the module the images themselves instead of copies. No
// Windows headers.
//
// Images. The document is moved in and becomes the source, which nothing changes
// during a run; the destination is one copy of it, made when the host is built (and by
// Reset), that receives the output; Document() is the destination. Two images are the
// least a host can do with: the module reads input where it has already written output
// (the tiling filter copies pixels from the opposite edges of the image it is
// filling), so the input cannot come from the image that takes the output. Besides the
// two the host holds the selection mask when there is one, and nothing of the image's
// size.
//
// Delivery. For the requests of a filtering run (all planes at unit rate) inData points
// into the source, outData into the destination and maskData into the mask, with the
// image's own row bytes (width × planes; the mask's width): nothing is copied in and
// nothing written back, the output lands in the destination as the module writes it.
// The module must not write through inData or maskData, which are the source and the
// selection themselves. A request for some of the planes, or a sampled one (the
// preview's, at an inputRate other than 1), is copied with memcpy or pixel by pixel
// into a tight buffer of its own, and such an output is written back at the next
// advanceState, as the test host does it.
//
// Options. Every field of HostOptions counts except row_padding (rows are the images'
// own) and record_bytes (the record is a whole FilterRecord).
//
// Callbacks. abortProc answers "go on" and counts its calls; progressProc does nothing.
// A program that wants to cancel or show progress puts its own into record() before
// RunAsHost; the host never sets them again. displayPixels checks the map as the test
// host does and draws nothing: there is no screen. colorServices has no picker: a
// colour choice ends as a cancelled picker's (userCanceledErr), anything else is
// refused (errPlugInHostInsufficient).
//
// After a failed run (a refused Start or Continue, a cancel) the document is not
// defined: it may hold part of the output. Hosts throw it away.
//
// One host at a time, as with the test host: the callbacks find it through a static
// pointer. A LeanHost and a MemHost may exist together, though only one of them can
// be running the module.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "hostapi/filter_record.h"
#include "memhost/host_record.h"

namespace tessellon::memhost {

// A module's exported entry point, as a host finds it.
using EntryPoint = void(PSAPI_CALL*)(psapi::int16 selector, void* record, std::intptr_t* data,
                                     psapi::int16* result);

class LeanHost {
public:
    // The host calls `entry`: a module loaded from its file, or by default the module
    // linked into this program.
    explicit LeanHost(Image document, HostOptions options = {}, EntryPoint entry = nullptr);
    ~LeanHost();
    LeanHost(const LeanHost&) = delete;
    LeanHost& operator=(const LeanHost&) = delete;

    psapi::FilterRecord& record() { return record_; }
    std::intptr_t& data() { return data_; }
    const Image& Document() const { return destination_; }
    const Image& Source() const { return source_; }
    // Moves the document out, without a copy; the host holds an empty one until Reset.
    Image TakeDocument();

    // Makes the destination a copy of the source again, as a host does before it
    // filters again, and clears the abort count.
    void Reset();

    // The host's filtering run, as the test host's RunAsHost: Start; then, while any of
    // inRect, outRect and maskRect is non-empty, a data step and Continue; then the final
    // data step; then Finish. A failed Start ends the run at once; a failed Continue goes
    // to Finish. Returns the first nonzero result or 0.
    psapi::int16 RunAsHost();

    // Calls the module's ENTRYPOINT with this record and data word; its result.
    psapi::int16 Call(psapi::int16 selector);
    // The data step behind advanceState; kParamErr for requests it cannot answer.
    psapi::OSErr DataStep();
    // Writes back a copied output, gives up the buffers and empties the record's
    // pointers.
    void WriteBackAndRelease();

    // Whether the module worked in strips, from the input rectangles delivered since
    // the last RunAsHost began (see InputCoverage): the number of distinct non-empty
    // ones (1 when the module took the image in one piece), and whether every one of
    // them held the whole filter rectangle.
    int InputRects() const { return coverage_.DistinctRects(); }
    bool WholeImageInOnePass() const { return coverage_.AllHeldFilterRect(); }

    int abort_calls = 0;  // calls of the host's own abortProc since the last Reset

private:
    struct Buffer {
        std::uint8_t* data = nullptr;  // null when nothing is delivered
        psapi::Rect rect{};
        int lo_plane = 0;
        int planes = 0;
        int row_bytes = 0;
        bool copied = false;                // in `storage` rather than in the image
        std::vector<std::uint8_t> storage;  // kept between deliveries for reuse
    };

    void Deliver(Buffer& buffer, const psapi::Rect& rect, Image& from, int lo_plane, int hi_plane,
                 psapi::Fixed rate);
    void Publish();

    static psapi::Boolean PSAPI_CALL OnAbort();
    static void PSAPI_CALL OnProgress(psapi::int32 done, psapi::int32 total);
    static psapi::OSErr PSAPI_CALL OnAdvanceState();
    static psapi::OSErr PSAPI_CALL OnDisplayPixels(const psapi::PSPixelMap* source, const psapi::VRect* src_rect,
                                                   psapi::int32 dst_row, psapi::int32 dst_col,
                                                   void* platform_context);
    static psapi::OSErr PSAPI_CALL OnColorServices(psapi::ColorServicesInfo* info);

    static LeanHost* current_;

    EntryPoint entry_;
    Image source_;
    Image destination_;
    std::optional<Image> mask_;
    int threads_ = 0;  // HostOptions::threads, in force while RunAsHost runs
    psapi::FilterRecord record_{};
    psapi::PlatformData platform_data_{};
    std::intptr_t data_ = 0;
    Buffer in_;
    Buffer out_;
    Buffer mask_buffer_;
    InputCoverage coverage_;
};

}  // namespace tessellon::memhost
