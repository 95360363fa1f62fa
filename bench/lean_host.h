// A lean in-memory host for the benchmarks: it answers advanceState the way a real
// host does (write the last output back into the document, then copy the requested
// input and output rows into fresh buffers), but records nothing and adds no guard
// bytes or row padding, so that what a benchmark measures is the module plus the
// copying every host has to do. The same host drives the plain-copy baseline, so the
// copying cost sits in both sides of the comparison. No Windows headers.
#pragma once

#include <cstdint>
#include <vector>

#include "hostapi/filter_record.h"

namespace tessellon::bench {

struct LeanImage {
    int width = 0;
    int height = 0;
    int planes = 0;
    std::vector<std::uint8_t> bytes;  // rows without padding, planes interleaved
};

// A document whose neighbouring bytes differ and in which some stretches equal the
// host's white background colour, so that "Thru BG:" has something to find.
LeanImage BenchImage(int width, int height, int planes);

// A module's exported entry point, as a host finds it.
using EntryPoint = void(PSAPI_CALL*)(psapi::int16 selector, void* record, std::intptr_t* data,
                                     psapi::int16* result);

class LeanHost {
public:
    // The host calls `entry`: a module loaded from its file, or by default the module
    // linked into this program.
    explicit LeanHost(const LeanImage& document, EntryPoint entry = nullptr);
    ~LeanHost();
    LeanHost(const LeanHost&) = delete;
    LeanHost& operator=(const LeanHost&) = delete;

    psapi::FilterRecord& record() { return record_; }
    const std::vector<std::uint8_t>& Document() const { return destination_; }

    // Restores the document to the source, as a host does before it filters again.
    void Reset();

    // Start; then, while the module still requests rectangles, a data step and
    // Continue; then the final write-back and Finish. Returns the first nonzero result.
    psapi::int16 RunAsHost();

    // The data step behind advanceState.
    void DataStep();
    // Writes the current output rows back into the document and gives up the buffers.
    void WriteBackAndRelease();

    int abort_calls = 0;

private:
    static psapi::Boolean PSAPI_CALL OnAbort();
    static void PSAPI_CALL OnProgress(psapi::int32 done, psapi::int32 total);
    static psapi::OSErr PSAPI_CALL OnAdvanceState();

    static LeanHost* current_;

    EntryPoint entry_;
    int width_, height_, planes_;
    std::vector<std::uint8_t> source_;
    std::vector<std::uint8_t> destination_;
    std::vector<std::uint8_t> in_;
    std::vector<std::uint8_t> out_;
    psapi::Rect out_rect_{};  // the rows now held in out_
    psapi::FilterRecord record_{};
    psapi::PlatformData platform_data_{};
    std::intptr_t data_ = 0;
};

// The baseline: the same strip requests a filtering run makes through the same host
// (the first strip once for the set-up, then every strip of the main pass), with the
// input rows copied into the output rows and nothing else. Returns the strip height.
int PlainCopyThroughHost(LeanHost& host);

}  // namespace tessellon::bench
