// The in-memory hosts' shared parts: images, the record set-up, request clamping and
// sampling, and the input coverage of a run. No Windows headers.
#include "memhost/host_record.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace tessellon::memhost {
namespace {

constexpr psapi::Fixed kDpi72 = 72 << 16;

std::uint64_t Key(const psapi::Rect& r) {
    const auto part = [](psapi::int16 v) { return static_cast<std::uint64_t>(static_cast<std::uint16_t>(v)); };
    return part(r.top) << 48 | part(r.left) << 32 | part(r.bottom) << 16 | part(r.right);
}

bool Holds(const psapi::Rect& outer, const psapi::Rect& inner) {
    return outer.top <= inner.top && outer.left <= inner.left && outer.bottom >= inner.bottom &&
           outer.right >= inner.right;
}

}  // namespace

void Require(bool condition, const char* message) {
    if (condition) return;
    std::fprintf(stderr, "memhost: %s\n", message);
    std::fflush(stderr);
    std::abort();
}

Image::Image(int width_, int height_, int planes_, std::uint8_t fill)
    : width(width_), height(height_), planes(planes_) {
    Require(width >= 0 && height >= 0 && planes >= 0, "negative image size");
    bytes.assign(static_cast<std::size_t>(width) * height * planes, fill);
}

std::uint8_t& Image::At(int x, int y, int plane) {
    return bytes[(static_cast<std::size_t>(y) * width + x) * planes + plane];
}

std::uint8_t Image::At(int x, int y, int plane) const {
    return bytes[(static_cast<std::size_t>(y) * width + x) * planes + plane];
}

Image PatternImage(int width, int height, int planes) {
    Image image(width, height, planes);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            for (int p = 0; p < planes; ++p) {
                image.At(x, y, p) = static_cast<std::uint8_t>(x * 7 + y * 61 + p * 101 + 1);
            }
        }
    }
    return image;
}

Image RectangularMask(int width, int height, psapi::Rect selected) {
    Image mask(width, height, 1);
    const psapi::Rect r = ClampRect(selected, width, height);
    if (IsEmpty(r)) return mask;
    for (int y = r.top; y < r.bottom; ++y) {
        for (int x = r.left; x < r.right; ++x) mask.At(x, y, 0) = 255;
    }
    return mask;
}

void CheckDocument(const Image& document, const HostOptions& options) {
    Require(document.planes == 3 || document.planes == 4, "documents have 3 or 4 planes");
    Require(document.width >= 1 && document.width <= kMaxCoordinate && document.height >= 1 &&
                document.height <= kMaxCoordinate,
            "document size must be 1 to 32767 pixels each way");
    Require(document.bytes.size() == static_cast<std::size_t>(document.width) * document.height * document.planes,
            "document bytes do not match its size");
    const std::optional<Image>& mask = options.mask;
    Require(!mask || (mask->width == document.width && mask->height == document.height && mask->planes == 1 &&
                      mask->bytes.size() == static_cast<std::size_t>(document.width) * document.height),
            "the mask is one plane of the document's size");
    Require(!options.layer || document.planes == 4, "a layer with transparency has 4 planes");
}

void FillRecord(psapi::FilterRecord& r, const Image& document, const HostOptions& options,
                const HostCallbacks& callbacks, psapi::PlatformData* platform_data) {
    const auto width = static_cast<psapi::int16>(document.width);
    const auto height = static_cast<psapi::int16>(document.height);
    const auto planes = static_cast<psapi::int16>(document.planes);
    const bool have_mask = options.mask.has_value();

    r.abortProc = options.with_abort ? callbacks.abort : nullptr;
    r.progressProc = options.with_progress ? callbacks.progress : nullptr;
    r.imageSize = {height, width};
    r.planes = planes;
    r.filterRect = options.filter_rect.value_or(psapi::Rect{0, 0, height, width});
    const Rgb& back = options.back_color;
    const Rgb& fore = options.fore_color;
    // The 16-bit legacy colours as 0...65535.
    r.background = {static_cast<std::uint16_t>(back[0] * 257), static_cast<std::uint16_t>(back[1] * 257),
                    static_cast<std::uint16_t>(back[2] * 257)};
    r.foreground = {static_cast<std::uint16_t>(fore[0] * 257), static_cast<std::uint16_t>(fore[1] * 257),
                    static_cast<std::uint16_t>(fore[2] * 257)};
    r.maxSpace = options.max_space;
    r.bufferSpace = options.max_space;  // hosts pre-fill it with maxSpace
    r.isFloating = options.floating ? 1 : 0;
    r.haveMask = have_mask ? 1 : 0;
    r.autoMask = 0;  // the output is never clipped to the selection here: the module masks
    for (int i = 0; i < 3; ++i) {
        r.backColor[i] = back[static_cast<std::size_t>(i)];
        r.foreColor[i] = fore[static_cast<std::size_t>(i)];
    }
    r.hostSig = options.host_sig;
    r.imageMode = options.image_mode;
    r.imageHRes = kDpi72;
    r.imageVRes = kDpi72;
    r.wholeSize = r.imageSize;
    platform_data->hwnd = options.hwnd;
    r.platformData = platform_data;
    r.displayPixels = options.with_display_pixels ? callbacks.display_pixels : nullptr;
    if (options.floating) {
        r.filterCase = 3;
    } else if (options.layer) {
        r.filterCase = have_mask ? 5 : 4;
    } else {
        r.filterCase = have_mask ? 2 : 1;
    }
    r.dummyPlaneValue = -1;
    r.advanceState = callbacks.advance_state;
    r.samplingSupport = options.sampling_support;
    r.inputRate = kUnitRate;
    r.maskRate = kUnitRate;
    r.colorServices = options.with_color_services ? callbacks.color_services : nullptr;
    if (options.layer) {
        r.inLayerPlanes = r.outLayerPlanes = r.absLayerPlanes = 3;
        r.inTransparencyMask = r.outTransparencyMask = r.absTransparencyMask = 1;
    } else {
        r.inNonLayerPlanes = r.outNonLayerPlanes = r.absNonLayerPlanes = planes;
    }
}

bool IsEmpty(const psapi::Rect& r) { return r.bottom <= r.top || r.right <= r.left; }

psapi::Rect ClampRect(const psapi::Rect& r, int width, int height) {
    if (IsEmpty(r)) return r;
    const int top = std::max<int>(r.top, 0);
    const int left = std::max<int>(r.left, 0);
    const int bottom = std::min<int>(r.bottom, height);
    const int right = std::min<int>(r.right, width);
    if (bottom <= top || right <= left) return psapi::Rect{};
    return {static_cast<psapi::int16>(top), static_cast<psapi::int16>(left), static_cast<psapi::int16>(bottom),
            static_cast<psapi::int16>(right)};
}

int SampledExtent(int size, psapi::Fixed rate) {
    const std::int64_t extent = (std::int64_t{size} * kUnitRate + rate - 1) / rate;
    return static_cast<int>(std::min<std::int64_t>(extent, kMaxCoordinate));
}

int SampledSource(int c, psapi::Fixed rate, int size) {
    const std::int64_t at = std::int64_t{c} * rate / kUnitRate;
    return static_cast<int>(std::clamp<std::int64_t>(at, 0, size - 1));
}

bool PlanesValid(int lo, int hi, int planes) { return lo >= 0 && lo <= hi && hi < planes; }

bool ReadRequests(psapi::FilterRecord& r, int width, int height, int planes, bool has_mask, DataRequests& wanted) {
    // Without sampling support the rates are not read.
    wanted.input_rate = r.samplingSupport != 0 ? r.inputRate : kUnitRate;
    wanted.mask_rate = r.samplingSupport != 0 ? r.maskRate : kUnitRate;
    wanted.in = !IsEmpty(r.inRect);
    wanted.out = !IsEmpty(r.outRect);
    wanted.mask = has_mask && !IsEmpty(r.maskRect);
    if ((wanted.in && (!PlanesValid(r.inLoPlane, r.inHiPlane, planes) || wanted.input_rate <= 0)) ||
        (wanted.out && !PlanesValid(r.outLoPlane, r.outHiPlane, planes)) || (wanted.mask && wanted.mask_rate <= 0)) {
        return false;
    }
    if (wanted.in) {
        r.inRect = ClampRect(r.inRect, SampledExtent(width, wanted.input_rate), SampledExtent(height, wanted.input_rate));
    }
    if (wanted.out) r.outRect = ClampRect(r.outRect, width, height);
    if (wanted.mask) {
        r.maskRect = ClampRect(r.maskRect, SampledExtent(width, wanted.mask_rate), SampledExtent(height, wanted.mask_rate));
    }
    return true;
}

void InputCoverage::Reset(const psapi::Rect& filter_rect) {
    filter_rect_ = filter_rect;
    seen_.clear();
    all_held_ = true;
}

void InputCoverage::Add(const psapi::Rect& delivered) {
    if (IsEmpty(delivered)) return;
    seen_.insert(Key(delivered));
    if (!Holds(delivered, filter_rect_)) all_held_ = false;
}

}  // namespace tessellon::memhost
