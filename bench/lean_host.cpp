// The benchmarks' lean host: row copies in and out, nothing recorded. No Windows
// headers.
#include "bench/lean_host.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "shell/host.h"
#include "shell/run_filter.h"

namespace tessellon::bench {
namespace {

bool IsEmpty(const psapi::Rect& r) { return r.bottom <= r.top || r.right <= r.left; }

psapi::Rect Clamped(const psapi::Rect& r, int width, int height) {
    if (IsEmpty(r)) return psapi::Rect{};
    const int top = r.top < 0 ? 0 : r.top;
    const int left = r.left < 0 ? 0 : r.left;
    const int bottom = r.bottom > height ? height : r.bottom;
    const int right = r.right > width ? width : r.right;
    if (bottom <= top || right <= left) return psapi::Rect{};
    return {static_cast<psapi::int16>(top), static_cast<psapi::int16>(left), static_cast<psapi::int16>(bottom),
            static_cast<psapi::int16>(right)};
}

// Copies the rectangle's rows out of a whole image into a tightly packed buffer.
void CopyIn(std::vector<std::uint8_t>& buffer, const std::vector<std::uint8_t>& image, int width, int planes,
            const psapi::Rect& r) {
    const std::size_t row_bytes = static_cast<std::size_t>(r.right - r.left) * planes;
    buffer.resize(row_bytes * static_cast<std::size_t>(r.bottom - r.top));
    for (int y = r.top; y < r.bottom; ++y) {
        std::memcpy(buffer.data() + static_cast<std::size_t>(y - r.top) * row_bytes,
                    image.data() + (static_cast<std::size_t>(y) * width + r.left) * planes, row_bytes);
    }
}

}  // namespace

LeanImage BenchImage(int width, int height, int planes) {
    LeanImage image{width, height, planes, {}};
    image.bytes.resize(static_cast<std::size_t>(width) * height * planes);
    std::uint32_t noise = 12345;
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            std::uint8_t* pixel = image.bytes.data() + (static_cast<std::size_t>(y) * width + x) * planes;
            noise = noise * 1103515245u + 12345u;
            // Every 64 by 64 block on a diagonal is white, the host's background colour.
            const bool background = ((x >> 6) + (y >> 6)) % 5 == 0;
            for (int p = 0; p < planes; ++p) {
                const unsigned smooth = static_cast<unsigned>(x * 3 + y * 5 + p * 85);
                pixel[p] = background ? 255 : static_cast<std::uint8_t>(smooth + ((noise >> (16 + p * 3)) & 15u));
            }
            if (planes > 3) pixel[3] = static_cast<std::uint8_t>(128 + ((x + y) & 127));
        }
    }
    return image;
}

LeanHost* LeanHost::current_ = nullptr;

LeanHost::LeanHost(const LeanImage& document, EntryPoint entry)
    : entry_(entry != nullptr ? entry : &ENTRYPOINT),
      width_(document.width), height_(document.height), planes_(document.planes), source_(document.bytes),
      destination_(document.bytes) {
    if (current_ != nullptr) {
        std::fprintf(stderr, "only one LeanHost at a time\n");
        std::abort();
    }
    current_ = this;
    psapi::FilterRecord& r = record_;
    r.abortProc = &OnAbort;
    r.progressProc = &OnProgress;
    r.imageSize = {static_cast<psapi::int16>(height_), static_cast<psapi::int16>(width_)};
    r.planes = static_cast<psapi::int16>(planes_);
    r.filterRect = {0, 0, static_cast<psapi::int16>(height_), static_cast<psapi::int16>(width_)};
    r.maxSpace = 1 << 30;
    r.bufferSpace = r.maxSpace;
    for (int i = 0; i < 3; ++i) {
        r.backColor[i] = 255;
        r.foreColor[i] = 0;
    }
    r.hostSig = 0x3842494D;  // '8BIM'
    r.imageMode = psapi::plugInModeRGBColor;
    r.wholeSize = r.imageSize;
    r.platformData = &platform_data_;
    r.filterCase = 1;
    r.advanceState = &OnAdvanceState;
    r.samplingSupport = 1;
    r.inputRate = 0x10000;
    r.maskRate = 0x10000;
    r.inNonLayerPlanes = r.outNonLayerPlanes = r.absNonLayerPlanes = static_cast<psapi::int16>(planes_);
}

LeanHost::~LeanHost() { current_ = nullptr; }

void LeanHost::Reset() {
    destination_ = source_;
    in_.clear();
    out_.clear();
    out_rect_ = {};
    abort_calls = 0;
    record_.inRect = record_.outRect = record_.maskRect = {};
    record_.inData = record_.outData = record_.maskData = nullptr;
}

psapi::int16 LeanHost::RunAsHost() {
    psapi::int16 result = 1;
    entry_(psapi::filterSelectorStart, &record_, &data_, &result);
    if (result != psapi::noErr) return result;
    while (!IsEmpty(record_.inRect) || !IsEmpty(record_.outRect)) {
        DataStep();
        entry_(psapi::filterSelectorContinue, &record_, &data_, &result);
        if (result != psapi::noErr) break;
    }
    WriteBackAndRelease();
    psapi::int16 finish = 1;
    entry_(psapi::filterSelectorFinish, &record_, &data_, &finish);
    return result;
}

void LeanHost::WriteBackAndRelease() {
    if (!IsEmpty(out_rect_)) {
        const psapi::Rect& r = out_rect_;
        const std::size_t row_bytes = static_cast<std::size_t>(r.right - r.left) * planes_;
        for (int y = r.top; y < r.bottom; ++y) {
            std::memcpy(destination_.data() + (static_cast<std::size_t>(y) * width_ + r.left) * planes_,
                        out_.data() + static_cast<std::size_t>(y - r.top) * row_bytes, row_bytes);
        }
    }
    out_rect_ = {};
    record_.inData = record_.outData = record_.maskData = nullptr;
    record_.inRowBytes = record_.outRowBytes = record_.maskRowBytes = 0;
}

void LeanHost::DataStep() {
    WriteBackAndRelease();
    psapi::FilterRecord& r = record_;
    r.inRect = Clamped(r.inRect, width_, height_);
    r.outRect = Clamped(r.outRect, width_, height_);
    if (!IsEmpty(r.inRect)) {
        CopyIn(in_, source_, width_, planes_, r.inRect);
        r.inData = in_.data();
        r.inRowBytes = (r.inRect.right - r.inRect.left) * planes_;
    }
    if (!IsEmpty(r.outRect)) {
        CopyIn(out_, destination_, width_, planes_, r.outRect);
        r.outData = out_.data();
        r.outRowBytes = (r.outRect.right - r.outRect.left) * planes_;
        out_rect_ = r.outRect;
    }
}

psapi::Boolean PSAPI_CALL LeanHost::OnAbort() {
    if (current_ != nullptr) ++current_->abort_calls;
    return 0;
}

void PSAPI_CALL LeanHost::OnProgress(psapi::int32, psapi::int32) {}

psapi::OSErr PSAPI_CALL LeanHost::OnAdvanceState() {
    if (current_ == nullptr) return -50;
    current_->DataStep();
    return psapi::noErr;
}

int PlainCopyThroughHost(LeanHost& host) {
    psapi::FilterRecord& r = host.record();
    const int width = r.imageSize.h;
    const int height = r.imageSize.v;
    const int planes = r.planes;
    const int rows = StripHeightFor(r.maxSpace, planes, width, height);
    const auto request = [&r, width, height](int top, int strip) {
        const int bottom = top + strip < height ? top + strip : height;
        r.inRect = r.outRect = r.maskRect = {static_cast<psapi::int16>(top), 0, static_cast<psapi::int16>(bottom),
                                             static_cast<psapi::int16>(width)};
        r.inLoPlane = r.outLoPlane = 0;
        r.inHiPlane = r.outHiPlane = static_cast<psapi::int16>(r.planes - 1);
        r.advanceState();
    };
    request(0, rows);  // as for the set-up
    for (int top = 0; top < height; top += rows) {
        request(top, rows);
        const std::size_t row_bytes = static_cast<std::size_t>(width) * planes;
        const auto* in = static_cast<const std::uint8_t*>(r.inData);
        auto* out = static_cast<std::uint8_t*>(r.outData);
        for (int y = r.outRect.top; y < r.outRect.bottom; ++y) {
            std::memcpy(out, in, row_bytes);
            in += r.inRowBytes;
            out += r.outRowBytes;
        }
    }
    r.inRect = r.outRect = r.maskRect = {};
    host.WriteBackAndRelease();
    return rows;
}

}  // namespace tessellon::bench
