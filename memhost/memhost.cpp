// The in-memory host: record set-up, the data step behind advanceState, guard
// checking and the recording callbacks. No Windows headers.
#include "memhost/memhost.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <utility>

#include "shell/host.h"

namespace tessellon::memhost {
namespace {

// A host compares the request's size with its own structure's: 36 bytes for 32-bit
// hosts, 56 for 64-bit ones, which refuse the 32-bit size.
constexpr psapi::int32 kColorServicesInfoSize = sizeof(psapi::ColorServicesInfo);

// The pattern of guard bytes and row padding at each offset of a buffer's storage.
// Never 0 or 255, the values a module most often writes by mistake.
std::uint8_t GuardByte(std::size_t offset) { return static_cast<std::uint8_t>(0x40 + (offset * 29) % 0x80); }

std::string CountText(std::size_t count) { return std::to_string(count) + (count == 1 ? " byte" : " bytes"); }

}  // namespace

MemHost* MemHost::current_ = nullptr;

MemHost::MemHost(Image document, HostOptions options)
    : source_(std::move(document)),
      row_padding_(options.row_padding),
      record_storage_(new std::uint8_t[options.record_bytes]()),
      record_(reinterpret_cast<psapi::FilterRecord*>(record_storage_.get())) {
    Require(options.record_bytes > offsetof(psapi::FilterRecord, documentInfo),
            "the record holds at least the fields up to documentInfo");
    Require(current_ == nullptr, "only one MemHost may exist at a time");
    CheckDocument(source_, options);
    Require(row_padding_ >= 0, "negative row padding");
    current_ = this;
    destination_ = source_;
    // Zeroed when allocated, as hosts zero the record before use.
    FillRecord(*record_, source_, options,
               {&OnAbort, &OnProgress, &OnAdvanceState, &OnDisplayPixels, &OnColorServices}, &platform_data_);
    coverage_.Reset(record_->filterRect);
    mask_ = std::move(options.mask);
    about_.platformData = &platform_data_;
}

MemHost::~MemHost() { current_ = nullptr; }

psapi::int16 MemHost::Call(psapi::int16 selector) {
    selectors.push_back(selector);
    void* parameter_block = selector == psapi::filterSelectorAbout ? static_cast<void*>(&about_) : record_;
    psapi::int16 result = 1;
    ENTRYPOINT(selector, parameter_block, &data_, &result);
    return result;
}

psapi::int16 MemHost::RunAsHost() {
    coverage_.Reset(record_->filterRect);
    return RunFiltering(*this, *record_);
}

psapi::OSErr MemHost::DataStep() {
    WriteBack(out_);
    Release(out_);
    Release(in_);
    Release(mask_buffer_);
    Publish();

    psapi::FilterRecord& r = *record_;
    DataRequests want;
    if (!ReadRequests(r, source_.width, source_.height, source_.planes, mask_.has_value(), want)) return kParamErr;
    if (want.in) {
        Allocate(in_, r.inRect, r.inLoPlane, r.inHiPlane);
        FillSampled(in_, source_, want.input_rate);
        coverage_.Add(r.inRect);
    }
    if (want.out) {
        Allocate(out_, r.outRect, r.outLoPlane, r.outHiPlane);
        FillSampled(out_, destination_, kUnitRate);
    }
    if (want.mask) {
        Allocate(mask_buffer_, r.maskRect, 0, 0);
        FillSampled(mask_buffer_, *mask_, want.mask_rate);
    }
    Publish();
    return psapi::noErr;
}

void MemHost::WriteBackAndRelease() {
    WriteBack(out_);
    Release(out_);
    Release(in_);
    Release(mask_buffer_);
    Publish();
}

void MemHost::Allocate(Buffer& buffer, const psapi::Rect& rect, int lo_plane, int hi_plane) {
    if (IsEmpty(rect)) return;
    buffer.rect = rect;
    buffer.lo_plane = lo_plane;
    buffer.planes = hi_plane - lo_plane + 1;
    buffer.row_bytes = (rect.right - rect.left) * buffer.planes + row_padding_;
    const std::size_t size = 2 * kGuardBytes + static_cast<std::size_t>(rect.bottom - rect.top) * buffer.row_bytes;
    buffer.storage.resize(size);
    for (std::size_t i = 0; i < size; ++i) buffer.storage[i] = GuardByte(i);
}

void MemHost::FillSampled(Buffer& buffer, const Image& from, psapi::Fixed rate) {
    std::uint8_t* data = buffer.Data();
    if (data == nullptr) return;
    const psapi::Rect& rect = buffer.rect;
    for (int y = rect.top; y < rect.bottom; ++y) {
        const int sy = SampledSource(y, rate, from.height);
        std::uint8_t* row = data + static_cast<std::size_t>(y - rect.top) * buffer.row_bytes;
        for (int x = rect.left; x < rect.right; ++x) {
            const int sx = SampledSource(x, rate, from.width);
            for (int p = 0; p < buffer.planes; ++p) {
                row[(x - rect.left) * buffer.planes + p] = from.At(sx, sy, buffer.lo_plane + p);
            }
        }
    }
}

void MemHost::WriteBack(Buffer& buffer) {
    const std::uint8_t* data = buffer.Data();
    if (data == nullptr) return;
    const psapi::Rect& rect = buffer.rect;
    for (int y = rect.top; y < rect.bottom; ++y) {
        const std::uint8_t* row = data + static_cast<std::size_t>(y - rect.top) * buffer.row_bytes;
        for (int x = rect.left; x < rect.right; ++x) {
            for (int p = 0; p < buffer.planes; ++p) {
                destination_.At(x, y, buffer.lo_plane + p) = row[(x - rect.left) * buffer.planes + p];
            }
        }
    }
}

void MemHost::Release(Buffer& buffer) {
    if (buffer.storage.empty()) return;
    for (std::string& problem : GuardProblems(buffer)) guard_problems_.push_back(std::move(problem));
    // Freed, not kept: a pointer the module kept from this delivery now dangles, which
    // the sanitizer build reports.
    std::vector<std::uint8_t>().swap(buffer.storage);
    buffer.rect = {};
}

void MemHost::Publish() {
    psapi::FilterRecord& r = *record_;
    const auto row_bytes = [](const Buffer& b) { return b.storage.empty() ? 0 : b.row_bytes; };
    const auto column_bytes = [](const Buffer& b) { return b.storage.empty() ? 0 : b.planes; };
    r.inData = in_.Data();
    r.inRowBytes = row_bytes(in_);
    r.inColumnBytes = column_bytes(in_);
    r.inPlaneBytes = in_.storage.empty() ? 0 : 1;
    r.outData = out_.Data();
    r.outRowBytes = row_bytes(out_);
    r.outColumnBytes = column_bytes(out_);
    r.outPlaneBytes = out_.storage.empty() ? 0 : 1;
    r.maskData = mask_buffer_.Data();
    r.maskRowBytes = row_bytes(mask_buffer_);
}

std::vector<std::string> MemHost::GuardProblems(const Buffer& buffer) const {
    std::vector<std::string> problems;
    if (buffer.storage.empty()) return problems;
    const std::string name = buffer.name;
    const auto changed = [&buffer](std::size_t begin, std::size_t end) {
        std::size_t count = 0;
        for (std::size_t i = begin; i < end; ++i) count += buffer.storage[i] != GuardByte(i) ? 1 : 0;
        return count;
    };
    if (const std::size_t n = changed(0, kGuardBytes); n != 0) {
        problems.push_back(name + ": " + CountText(n) + " before the buffer changed");
    }
    const auto rows = static_cast<std::size_t>(buffer.rect.bottom - buffer.rect.top);
    const auto used = static_cast<std::size_t>((buffer.rect.right - buffer.rect.left) * buffer.planes);
    const auto stride = static_cast<std::size_t>(buffer.row_bytes);
    for (std::size_t row = 0; row < rows; ++row) {
        const std::size_t start = kGuardBytes + row * stride;
        if (const std::size_t n = changed(start + used, start + stride); n != 0) {
            problems.push_back(name + ": " + CountText(n) + " of the padding after row " + std::to_string(row) +
                               " changed");
        }
    }
    if (const std::size_t n = changed(kGuardBytes + rows * stride, buffer.storage.size()); n != 0) {
        problems.push_back(name + ": " + CountText(n) + " after the buffer changed");
    }
    return problems;
}

std::vector<std::string> MemHost::CheckGuards() const {
    std::vector<std::string> problems = guard_problems_;
    for (const Buffer* buffer : {&in_, &out_, &mask_buffer_}) {
        for (std::string& problem : GuardProblems(*buffer)) problems.push_back(std::move(problem));
    }
    return problems;
}

// The callbacks. Each finds its host through current_; with no host alive they answer
// as a host that has gone away would: stop, nothing delivered, nothing drawn.

psapi::Boolean PSAPI_CALL MemHost::OnAbort() {
    MemHost* host = current_;
    if (host == nullptr) return 1;
    ++host->abort_calls;
    return host->abort_from_call > 0 && host->abort_calls >= host->abort_from_call ? 1 : 0;
}

void PSAPI_CALL MemHost::OnProgress(psapi::int32 done, psapi::int32 total) {
    if (current_ != nullptr) current_->progress.emplace_back(done, total);
}

psapi::OSErr PSAPI_CALL MemHost::OnAdvanceState() {
    MemHost* host = current_;
    if (host == nullptr) return kParamErr;
    const psapi::FilterRecord& r = *host->record_;
    host->advance_calls.push_back({r.inRect, r.outRect, r.maskRect, r.inLoPlane, r.inHiPlane, r.outLoPlane,
                                   r.outHiPlane, r.inputRate, r.maskRate});
    if (host->advance_result != psapi::noErr) return host->advance_result;
    return host->DataStep();
}

psapi::OSErr PSAPI_CALL MemHost::OnDisplayPixels(const psapi::PSPixelMap* source, const psapi::VRect* src_rect,
                                                 psapi::int32 dst_row, psapi::int32 dst_col,
                                                 void* platform_context) {
    MemHost* host = current_;
    if (host == nullptr || source == nullptr || src_rect == nullptr) return psapi::filterBadParameters;
    DisplayCall call{};
    call.version = source->version;
    call.bounds = source->bounds;
    call.image_mode = source->imageMode;
    call.row_bytes = source->rowBytes;
    call.col_bytes = source->colBytes;
    call.plane_bytes = source->planeBytes;
    call.has_base_addr = source->baseAddr != nullptr;
    if (source->version >= 1) {
        call.has_mat = source->mat != nullptr;
        call.has_masks = source->masks != nullptr;
        if (source->masks != nullptr) call.first_mask = *source->masks;
        call.mask_phase_row = source->maskPhaseRow;
        call.mask_phase_col = source->maskPhaseCol;
    }
    call.src_rect = *src_rect;
    call.dst_row = dst_row;
    call.dst_col = dst_col;
    call.platform_context = platform_context;

    // Hosts draw into the context and refuse maps they cannot read.
    const bool drawable = platform_context != nullptr && source->baseAddr != nullptr && source->rowBytes != 0 &&
                          source->colBytes >= 1 && source->colBytes <= 4;
    if (drawable) {
        const psapi::int32 width = std::max(source->bounds.right - source->bounds.left, 0);
        const psapi::int32 height = std::max(source->bounds.bottom - source->bounds.top, 0);
        call.pixels = Image(width, height, source->colBytes);
        const auto* base = static_cast<const std::uint8_t*>(source->baseAddr);
        for (psapi::int32 y = 0; y < height; ++y) {
            for (psapi::int32 x = 0; x < width; ++x) {
                const std::uint8_t* pixel =
                    base + std::ptrdiff_t{y} * source->rowBytes + std::ptrdiff_t{x} * source->colBytes;
                for (psapi::int32 p = 0; p < source->colBytes; ++p) call.pixels.At(x, y, p) = pixel[p];
            }
        }
    }
    host->display_calls.push_back(std::move(call));
    return drawable ? host->display_result : psapi::filterBadParameters;
}

psapi::OSErr PSAPI_CALL MemHost::OnColorServices(psapi::ColorServicesInfo* info) {
    MemHost* host = current_;
    if (host == nullptr || info == nullptr) return kParamErr;
    ColorRequest request{};
    request.info_size = info->infoSize;
    // A shorter structure than the one declared here is refused unread.
    if (info->infoSize < kColorServicesInfoSize) {
        host->color_requests.push_back(request);
        return kHostInsufficient;
    }
    request.selector = info->selector;
    request.source_space = info->sourceSpace;
    request.result_space = info->resultSpace;
    for (std::size_t i = 0; i < 4; ++i) request.components[i] = info->colorComponents[i];
    if (info->selector == psapi::plugIncolorServicesChooseColor && info->selectorParameter.pickerPrompt != nullptr) {
        const unsigned char* prompt = info->selectorParameter.pickerPrompt;
        request.has_prompt = true;
        request.prompt.assign(reinterpret_cast<const char*>(prompt + 1), prompt[0]);
    }
    host->color_requests.push_back(request);
    if (info->selector != psapi::plugIncolorServicesChooseColor) return kHostInsufficient;
    if (host->color_cancel) return psapi::userCanceledErr;
    // The picked colour is answered in RGB, 0...255 per component.
    for (std::size_t i = 0; i < 3; ++i) info->colorComponents[i] = host->color_answer[i];
    return psapi::noErr;
}

}  // namespace tessellon::memhost
