// The lean in-memory host: the record from the shared set-up, requests answered with
// pointers into the images (copies only for plane subsets and sampled requests),
// nothing recorded. No Windows headers.
#include "memhost/lean_host.h"

#include <cstring>
#include <utility>

#include "platform/worker_threads.h"
#include "shell/host.h"

namespace tessellon::memhost {
namespace {

// A host compares the request's size with its own structure's, as the test host does.
constexpr psapi::int32 kColorServicesInfoSize = sizeof(psapi::ColorServicesInfo);

}  // namespace

LeanHost* LeanHost::current_ = nullptr;

LeanHost::LeanHost(Image document, HostOptions options, EntryPoint entry)
    : entry_(entry != nullptr ? entry : &ENTRYPOINT), source_(std::move(document)) {
    Require(current_ == nullptr, "only one LeanHost may exist at a time");
    CheckDocument(source_, options);
    current_ = this;
    destination_ = source_;
    FillRecord(record_, source_, options,
               {&OnAbort, &OnProgress, &OnAdvanceState, &OnDisplayPixels, &OnColorServices}, &platform_data_);
    coverage_.Reset(record_.filterRect);
    mask_ = std::move(options.mask);
    threads_ = options.threads;
}

LeanHost::~LeanHost() { current_ = nullptr; }

Image LeanHost::TakeDocument() {
    Image document = std::move(destination_);
    destination_ = Image{};
    return document;
}

void LeanHost::Reset() {
    in_ = Buffer{};
    out_ = Buffer{};
    mask_buffer_ = Buffer{};
    destination_ = source_;
    abort_calls = 0;
    record_.inRect = record_.outRect = record_.maskRect = {};
    Publish();
}

psapi::int16 LeanHost::Call(psapi::int16 selector) {
    psapi::int16 result = 1;
    entry_(selector, &record_, &data_, &result);
    return result;
}

psapi::int16 LeanHost::RunAsHost() {
    coverage_.Reset(record_.filterRect);
    // The module in this process reads the host's thread count while it runs.
    const HostThreadCount threads(threads_);
    return RunFiltering(*this, record_);
}

psapi::OSErr LeanHost::DataStep() {
    WriteBackAndRelease();

    psapi::FilterRecord& r = record_;
    DataRequests want;
    if (!ReadRequests(r, source_.width, source_.height, source_.planes, mask_.has_value(), want)) return kParamErr;
    if (want.in) {
        Deliver(in_, r.inRect, source_, r.inLoPlane, r.inHiPlane, want.input_rate);
        coverage_.Add(r.inRect);
    }
    if (want.out) Deliver(out_, r.outRect, destination_, r.outLoPlane, r.outHiPlane, kUnitRate);
    if (want.mask) Deliver(mask_buffer_, r.maskRect, *mask_, 0, 0, want.mask_rate);
    Publish();
    return psapi::noErr;
}

void LeanHost::Deliver(Buffer& buffer, const psapi::Rect& rect, Image& from, int lo_plane, int hi_plane,
                       psapi::Fixed rate) {
    if (IsEmpty(rect)) return;
    buffer.rect = rect;
    buffer.lo_plane = lo_plane;
    buffer.planes = hi_plane - lo_plane + 1;
    const auto image_row_bytes = static_cast<std::size_t>(from.width) * from.planes;
    if (rate == kUnitRate && buffer.planes == from.planes) {
        // The rows in place: the image's own row bytes carry the module from row to row.
        buffer.data = from.bytes.data() + static_cast<std::size_t>(rect.top) * image_row_bytes +
                      static_cast<std::size_t>(rect.left) * from.planes;
        buffer.row_bytes = static_cast<int>(image_row_bytes);
        buffer.copied = false;
        return;
    }
    const int columns = rect.right - rect.left;
    buffer.row_bytes = columns * buffer.planes;
    buffer.storage.resize(static_cast<std::size_t>(rect.bottom - rect.top) * buffer.row_bytes);
    buffer.data = buffer.storage.data();
    buffer.copied = true;
    for (int y = rect.top; y < rect.bottom; ++y) {
        std::uint8_t* row = buffer.data + static_cast<std::size_t>(y - rect.top) * buffer.row_bytes;
        const int sy = SampledSource(y, rate, from.height);
        for (int x = rect.left; x < rect.right; ++x) {
            const int sx = SampledSource(x, rate, from.width);
            std::memcpy(row + static_cast<std::size_t>(x - rect.left) * buffer.planes, &from.At(sx, sy, lo_plane),
                        static_cast<std::size_t>(buffer.planes));
        }
    }
}

void LeanHost::WriteBackAndRelease() {
    if (out_.copied && out_.data != nullptr) {
        const psapi::Rect& rect = out_.rect;
        for (int y = rect.top; y < rect.bottom; ++y) {
            const std::uint8_t* row = out_.data + static_cast<std::size_t>(y - rect.top) * out_.row_bytes;
            for (int x = rect.left; x < rect.right; ++x) {
                std::memcpy(&destination_.At(x, y, out_.lo_plane),
                            row + static_cast<std::size_t>(x - rect.left) * out_.planes,
                            static_cast<std::size_t>(out_.planes));
            }
        }
    }
    for (Buffer* buffer : {&in_, &out_, &mask_buffer_}) {
        buffer->data = nullptr;
        buffer->rect = {};
        buffer->copied = false;
    }
    Publish();
}

void LeanHost::Publish() {
    psapi::FilterRecord& r = record_;
    const auto row_bytes = [](const Buffer& b) { return b.data == nullptr ? 0 : b.row_bytes; };
    const auto column_bytes = [](const Buffer& b) { return b.data == nullptr ? 0 : b.planes; };
    r.inData = in_.data;
    r.inRowBytes = row_bytes(in_);
    r.inColumnBytes = column_bytes(in_);
    r.inPlaneBytes = in_.data == nullptr ? 0 : 1;
    r.outData = out_.data;
    r.outRowBytes = row_bytes(out_);
    r.outColumnBytes = column_bytes(out_);
    r.outPlaneBytes = out_.data == nullptr ? 0 : 1;
    r.maskData = mask_buffer_.data;
    r.maskRowBytes = row_bytes(mask_buffer_);
}

// The callbacks. Each finds its host through current_; with no host alive they answer
// as a host that has gone away would: stop, nothing delivered, nothing drawn.

psapi::Boolean PSAPI_CALL LeanHost::OnAbort() {
    LeanHost* host = current_;
    if (host == nullptr) return 1;
    ++host->abort_calls;
    return 0;
}

void PSAPI_CALL LeanHost::OnProgress(psapi::int32, psapi::int32) {}

psapi::OSErr PSAPI_CALL LeanHost::OnAdvanceState() {
    LeanHost* host = current_;
    if (host == nullptr) return kParamErr;
    return host->DataStep();
}

psapi::OSErr PSAPI_CALL LeanHost::OnDisplayPixels(const psapi::PSPixelMap* source, const psapi::VRect* src_rect,
                                                  psapi::int32, psapi::int32, void* platform_context) {
    if (current_ == nullptr || source == nullptr || src_rect == nullptr) return psapi::filterBadParameters;
    const bool drawable = platform_context != nullptr && source->baseAddr != nullptr && source->rowBytes != 0 &&
                          source->colBytes >= 1 && source->colBytes <= 4;
    return drawable ? psapi::noErr : psapi::filterBadParameters;
}

psapi::OSErr PSAPI_CALL LeanHost::OnColorServices(psapi::ColorServicesInfo* info) {
    if (current_ == nullptr || info == nullptr) return kParamErr;
    if (info->infoSize < kColorServicesInfoSize) return kHostInsufficient;
    return info->selector == psapi::plugIncolorServicesChooseColor ? psapi::userCanceledErr : kHostInsufficient;
}

}  // namespace tessellon::memhost
