// The in-memory host, driven as the filter module drives a host: requests written into
// the record, then advanceState; callbacks called through the record's pointers.
#include <gtest/gtest.h>

#include <array>
#include <string>
#include <utility>
#include <vector>

#include "memhost/memhost.h"
#include "support/recording_platform.h"

namespace tessellon::memhost {
namespace {

// The record is packed to 4 bytes, so in the 64-bit build its pointers are misaligned:
// they are compared by value, never bound to a reference (as EXPECT_EQ would).

bool IsNull(const psapi::Rect& r) { return r.top == 0 && r.left == 0 && r.bottom == 0 && r.right == 0; }

// Byte of plane p (counted from the buffer's first plane) at document position (x, y)
// of a buffer delivered for `rect` with `planes` interleaved planes.
std::uint8_t At(const void* data, psapi::int32 row_bytes, const psapi::Rect& rect, int planes, int x, int y, int p) {
    return static_cast<const std::uint8_t*>(data)[(y - rect.top) * row_bytes + (x - rect.left) * planes + p];
}

std::uint8_t* MutableAt(void* data, psapi::int32 row_bytes, const psapi::Rect& rect, int planes, int x, int y,
                        int p) {
    return static_cast<std::uint8_t*>(data) + (y - rect.top) * row_bytes + (x - rect.left) * planes + p;
}

bool Inside(const psapi::Rect& r, int x, int y) { return x >= r.left && x < r.right && y >= r.top && y < r.bottom; }

TEST(MemhostRecord, FilledOverTheDocumentAsHostsFillIt) {
    HostOptions options;
    options.hwnd = 0x1234;
    options.layer = true;
    options.back_color = {10, 20, 30};
    options.with_progress = false;
    MemHost host(PatternImage(6, 4, 4), options);
    const psapi::FilterRecord& r = host.record();
    EXPECT_EQ(r.imageSize.h, 6);
    EXPECT_EQ(r.imageSize.v, 4);
    EXPECT_EQ(r.planes, 4);
    EXPECT_TRUE(r.filterRect.top == 0 && r.filterRect.left == 0 && r.filterRect.bottom == 4 &&
                r.filterRect.right == 6);
    EXPECT_EQ(r.imageMode, psapi::plugInModeRGBColor);
    EXPECT_EQ(r.backColor[0], 10);
    EXPECT_EQ(r.backColor[2], 30);
    EXPECT_EQ(r.backColor[3], 0);
    EXPECT_EQ(r.maxSpace, 1 << 30);
    EXPECT_EQ(r.inputRate, 0x10000);
    EXPECT_EQ(r.maskRate, 0x10000);
    EXPECT_EQ(r.inLayerPlanes, 3);
    EXPECT_EQ(r.inTransparencyMask, 1);
    EXPECT_EQ(r.haveMask, 0);
    EXPECT_TRUE(r.maskData == nullptr);
    ASSERT_TRUE(r.platformData != nullptr);
    EXPECT_EQ(static_cast<const psapi::PlatformData*>(r.platformData)->hwnd, 0x1234);
    EXPECT_TRUE(r.progressProc == nullptr);
    EXPECT_TRUE(r.abortProc != nullptr);
    EXPECT_TRUE(r.advanceState != nullptr);
}

struct StrideCase {
    int planes;
    psapi::int16 lo;
    psapi::int16 hi;
};

TEST(MemhostDelivery, PaddedRowsCarryTheRequestedPlanesInPlace) {
    const StrideCase cases[] = {{3, 0, 2}, {4, 0, 3}, {4, 1, 2}, {3, 2, 2}};
    for (const StrideCase& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.planes << " planes, " << c.lo << ".." << c.hi);
        const Image document = PatternImage(7, 5, c.planes);
        MemHost host(document);
        psapi::FilterRecord& r = host.record();
        const psapi::Rect rect{1, 2, 4, 6};
        r.inRect = r.outRect = rect;
        r.inLoPlane = r.outLoPlane = c.lo;
        r.inHiPlane = r.outHiPlane = c.hi;
        ASSERT_EQ(r.advanceState(), psapi::noErr);
        const int n = c.hi - c.lo + 1;
        ASSERT_TRUE(r.inData != nullptr);
        ASSERT_TRUE(r.outData != nullptr);
        EXPECT_GT(r.inRowBytes, 4 * n);
        EXPECT_GT(r.outRowBytes, 4 * n);
        EXPECT_EQ(r.inColumnBytes, n);
        for (int y = rect.top; y < rect.bottom; ++y) {
            for (int x = rect.left; x < rect.right; ++x) {
                for (int p = 0; p < n; ++p) {
                    ASSERT_EQ(At(r.inData, r.inRowBytes, rect, n, x, y, p), document.At(x, y, c.lo + p));
                    ASSERT_EQ(At(r.outData, r.outRowBytes, rect, n, x, y, p), document.At(x, y, c.lo + p));
                }
            }
        }
        EXPECT_TRUE(host.CheckGuards().empty());
    }
}

TEST(MemhostDelivery, OutputReturnsOnlyWithinOutRectAndItsPlanes) {
    for (const bool final_step : {false, true}) {
        SCOPED_TRACE(final_step ? "final step" : "next advanceState");
        const Image source = PatternImage(6, 5, 4);
        MemHost host(source);
        psapi::FilterRecord& r = host.record();
        const psapi::Rect rect{1, 1, 3, 4};
        r.outRect = rect;
        r.outLoPlane = 1;
        r.outHiPlane = 2;
        ASSERT_EQ(r.advanceState(), psapi::noErr);
        for (int y = rect.top; y < rect.bottom; ++y) {
            for (int x = rect.left; x < rect.right; ++x) {
                for (int p = 0; p < 2; ++p) *MutableAt(r.outData, r.outRowBytes, rect, 2, x, y, p) = 0x99;
            }
        }
        EXPECT_EQ(host.Document(), source);  // nothing is written back before the next step
        if (final_step) {
            host.WriteBackAndRelease();
        } else {
            r.outRect = {};
            ASSERT_EQ(r.advanceState(), psapi::noErr);
        }
        EXPECT_TRUE(r.outData == nullptr);
        for (int y = 0; y < 5; ++y) {
            for (int x = 0; x < 6; ++x) {
                for (int p = 0; p < 4; ++p) {
                    const bool written = Inside(rect, x, y) && (p == 1 || p == 2);
                    ASSERT_EQ(host.Document().At(x, y, p), written ? 0x99 : source.At(x, y, p))
                        << x << "," << y << " plane " << p;
                }
            }
        }
        // Input still comes from the unchanged source, output from the document.
        r.inRect = r.outRect = rect;
        r.inLoPlane = r.outLoPlane = 0;
        r.inHiPlane = r.outHiPlane = 3;
        ASSERT_EQ(r.advanceState(), psapi::noErr);
        EXPECT_EQ(At(r.inData, r.inRowBytes, rect, 4, 2, 2, 1), source.At(2, 2, 1));
        EXPECT_EQ(At(r.outData, r.outRowBytes, rect, 4, 2, 2, 1), 0x99);
    }
}

struct GuardCase {
    const char* what;
    std::ptrdiff_t offset;  // from outData; rows of 3 pixels × 3 planes, 2 rows
    const char* expected;
};

TEST(MemhostGuards, WritesOutsideThePixelsAreReported) {
    HostOptions options;
    options.row_padding = 5;  // rows of 9 + 5 bytes
    const GuardCase cases[] = {
        {"one byte past the end of row 0", 9, "outData: 1 byte of the padding after row 0 changed"},
        {"one byte past the end of the last row", 14 + 9, "outData: 1 byte of the padding after row 1 changed"},
        {"one byte past the buffer", 2 * 14, "outData: 1 byte after the buffer changed"},
        {"one byte before the buffer", -1, "outData: 1 byte before the buffer changed"},
    };
    for (const GuardCase& c : cases) {
        SCOPED_TRACE(c.what);
        MemHost host(PatternImage(4, 4, 3), options);
        psapi::FilterRecord& r = host.record();
        r.outRect = {1, 1, 3, 4};
        r.outHiPlane = 2;
        ASSERT_EQ(r.advanceState(), psapi::noErr);
        ASSERT_EQ(r.outRowBytes, 14);
        EXPECT_TRUE(host.CheckGuards().empty());
        static_cast<std::uint8_t*>(r.outData)[c.offset] ^= 0xFF;
        EXPECT_EQ(host.CheckGuards(), std::vector<std::string>{c.expected});
        // Still reported after the buffer has been given up.
        r.outRect = {};
        ASSERT_EQ(r.advanceState(), psapi::noErr);
        EXPECT_EQ(host.CheckGuards(), std::vector<std::string>{c.expected});
    }
}

TEST(MemhostDelivery, MaskIsDeliveredOnlyWithASelection) {
    const psapi::Rect selected{1, 2, 3, 5};
    for (const bool with_selection : {false, true}) {
        SCOPED_TRACE(with_selection ? "selection" : "no selection");
        HostOptions options;
        if (with_selection) options.mask = RectangularMask(6, 4, selected);
        MemHost host(PatternImage(6, 4, 3), options);
        psapi::FilterRecord& r = host.record();
        EXPECT_EQ(r.haveMask, with_selection ? 1 : 0);
        const psapi::Rect rect{0, 1, 4, 6};
        r.maskRect = rect;
        ASSERT_EQ(r.advanceState(), psapi::noErr);
        if (!with_selection) {
            EXPECT_TRUE(r.maskData == nullptr);
            EXPECT_EQ(r.maskRowBytes, 0);
            continue;
        }
        ASSERT_TRUE(r.maskData != nullptr);
        EXPECT_GT(r.maskRowBytes, 5);
        for (int y = rect.top; y < rect.bottom; ++y) {
            for (int x = rect.left; x < rect.right; ++x) {
                ASSERT_EQ(At(r.maskData, r.maskRowBytes, rect, 1, x, y, 0), Inside(selected, x, y) ? 255 : 0)
                    << x << "," << y;
            }
        }
        EXPECT_TRUE(host.CheckGuards().empty());
    }
}

TEST(MemhostDelivery, RateTwoDeliversEveryOtherPixelAndIsLogged) {
    const Image document = PatternImage(7, 5, 3);
    MemHost host(document);
    psapi::FilterRecord& r = host.record();
    r.inputRate = 0x20000;
    r.inRect = {0, 0, 10, 10};  // clamped to the 4 × 3 sampled pixels that cover the image
    r.inHiPlane = 2;
    ASSERT_EQ(r.advanceState(), psapi::noErr);
    EXPECT_TRUE(r.inRect.top == 0 && r.inRect.left == 0 && r.inRect.bottom == 3 && r.inRect.right == 4);
    ASSERT_TRUE(r.inData != nullptr);
    for (int y = 0; y < 3; ++y) {
        for (int x = 0; x < 4; ++x) {
            for (int p = 0; p < 3; ++p) {
                ASSERT_EQ(At(r.inData, r.inRowBytes, r.inRect, 3, x, y, p), document.At(2 * x, 2 * y, p));
            }
        }
    }
    ASSERT_EQ(host.advance_calls.size(), 1u);
    EXPECT_EQ(host.advance_calls[0].in_rect.bottom, 10);  // as asked, before clamping
    EXPECT_EQ(host.advance_calls[0].input_rate, 0x20000);
    EXPECT_EQ(host.advance_calls[0].mask_rate, 0x10000);
}

TEST(MemhostDelivery, EmptyOrOutsideRequestsDeliverNothing) {
    const psapi::Rect requests[] = {{0, 0, 0, 0}, {2, 1, 2, 4}, {3, 1, 1, 4}, {10, 10, 20, 20}, {-5, -5, 0, 3}};
    MemHost host(PatternImage(5, 5, 3));
    psapi::FilterRecord& r = host.record();
    r.inHiPlane = r.outHiPlane = 2;
    for (const psapi::Rect& request : requests) {
        SCOPED_TRACE(::testing::Message() << request.top << "," << request.left << "," << request.bottom << ","
                                        << request.right);
        r.inRect = r.outRect = {0, 0, 2, 2};
        ASSERT_EQ(r.advanceState(), psapi::noErr);
        ASSERT_TRUE(r.inData != nullptr);
        r.inRect = r.outRect = request;
        ASSERT_EQ(r.advanceState(), psapi::noErr);
        EXPECT_TRUE(r.inData == nullptr);
        EXPECT_EQ(r.inRowBytes, 0);
        EXPECT_TRUE(r.outData == nullptr);
        EXPECT_EQ(r.outRowBytes, 0);
    }
    // A request wholly outside the image is cleared in the record.
    EXPECT_TRUE(IsNull(r.inRect) && IsNull(r.outRect));
}

TEST(MemhostCallbacks, AbortScriptProgressRecordAndAdvanceFailure) {
    MemHost host(PatternImage(2, 2, 3));
    psapi::FilterRecord& r = host.record();
    host.abort_from_call = 3;
    std::vector<int> answers;
    for (int i = 0; i < 4; ++i) answers.push_back(r.abortProc());
    EXPECT_EQ(answers, (std::vector<int>{0, 0, 1, 1}));
    EXPECT_EQ(host.abort_calls, 4);

    r.progressProc(0, 10);
    r.progressProc(10, 10);
    EXPECT_EQ(host.progress, (std::vector<std::pair<psapi::int32, psapi::int32>>{{0, 10}, {10, 10}}));

    host.advance_result = -108;
    r.inRect = {0, 0, 1, 1};
    EXPECT_EQ(r.advanceState(), -108);
    EXPECT_TRUE(r.inData == nullptr);
    EXPECT_EQ(host.advance_calls.size(), 1u);
}

TEST(MemhostDisplay, CapturesTheMapAndTheDrawnPixels) {
    MemHost host(PatternImage(2, 2, 3));
    psapi::FilterRecord& r = host.record();
    // 3 × 2 RGB pixels in rows of 11 bytes.
    std::uint8_t pixels[2 * 11] = {};
    for (std::size_t i = 0; i < sizeof pixels; ++i) pixels[i] = static_cast<std::uint8_t>(i + 1);
    std::uint8_t alpha[6] = {};
    psapi::PSPixelMask mask{nullptr, alpha, 3, 1, 0};
    psapi::PSPixelMap map{};
    map.version = 1;
    map.bounds = {0, 0, 2, 3};
    map.imageMode = psapi::plugInModeRGBColor;
    map.rowBytes = 11;
    map.colBytes = 3;
    map.planeBytes = 1;
    map.baseAddr = pixels;
    map.masks = &mask;
    const psapi::VRect src{0, 0, 2, 3};
    int context = 0;
    host.display_result = 7;
    EXPECT_EQ(r.displayPixels(&map, &src, 40, 50, &context), 7);
    EXPECT_EQ(r.displayPixels(&map, &src, 0, 0, nullptr), psapi::filterBadParameters);

    ASSERT_EQ(host.display_calls.size(), 2u);
    const DisplayCall& call = host.display_calls[0];
    EXPECT_EQ(call.version, 1);
    EXPECT_EQ(call.bounds.right, 3);
    EXPECT_EQ(call.row_bytes, 11);
    EXPECT_EQ(call.col_bytes, 3);
    EXPECT_TRUE(call.has_masks);
    EXPECT_FALSE(call.has_mat);
    EXPECT_EQ(call.first_mask.rowBytes, 3);
    EXPECT_EQ(call.first_mask.maskData, alpha);
    EXPECT_EQ(call.dst_row, 40);
    EXPECT_EQ(call.dst_col, 50);
    EXPECT_EQ(call.platform_context, &context);
    Image expected(3, 2, 3);
    for (int y = 0; y < 2; ++y) {
        for (int x = 0; x < 3; ++x) {
            for (int p = 0; p < 3; ++p) expected.At(x, y, p) = pixels[y * 11 + x * 3 + p];
        }
    }
    EXPECT_EQ(call.pixels, expected);
    EXPECT_TRUE(host.display_calls[1].pixels.bytes.empty());
}

struct ColorCase {
    const char* what;
    psapi::int32 info_size;
    psapi::int16 selector;
    bool cancel;
    psapi::OSErr expected;
    std::array<psapi::int16, 3> components_after;
};

TEST(MemhostColor, PickerAnswersCancelsAndRefuses) {
    constexpr psapi::int32 kFull = sizeof(psapi::ColorServicesInfo);
    const ColorCase cases[] = {
        {"picked", kFull, 0, false, psapi::noErr, {200, 100, 50}},
        {"cancelled", kFull, 0, true, psapi::userCanceledErr, {1, 2, 3}},
        {"short info", kFull - 4, 0, false, kHostInsufficient, {1, 2, 3}},
        // A 64-bit host refuses the 32-bit structure's size.
        {"32-bit size", 36, 0, false, psapi::kWide ? kHostInsufficient : psapi::noErr,
         psapi::kWide ? std::array<psapi::int16, 3>{1, 2, 3} : std::array<psapi::int16, 3>{200, 100, 50}},
        {"other selector", kFull, 1, false, kHostInsufficient, {1, 2, 3}},
    };
    for (const ColorCase& c : cases) {
        SCOPED_TRACE(c.what);
        MemHost host(PatternImage(2, 2, 3));
        host.color_answer = {200, 100, 50};
        host.color_cancel = c.cancel;
        unsigned char prompt[] = "\x04Pick";
        psapi::ColorServicesInfo info{};
        info.infoSize = c.info_size;
        info.selector = c.selector;
        info.colorComponents[0] = 1;
        info.colorComponents[1] = 2;
        info.colorComponents[2] = 3;
        info.selectorParameter.pickerPrompt = prompt;
        EXPECT_EQ(host.record().colorServices(&info), c.expected);
        EXPECT_EQ(info.colorComponents[0], c.components_after[0]);
        EXPECT_EQ(info.colorComponents[1], c.components_after[1]);
        EXPECT_EQ(info.colorComponents[2], c.components_after[2]);
        ASSERT_EQ(host.color_requests.size(), 1u);
        const ColorRequest& request = host.color_requests[0];
        EXPECT_EQ(request.info_size, c.info_size);
        if (c.info_size >= kFull && c.selector == 0) {
            EXPECT_TRUE(request.has_prompt);
            EXPECT_EQ(request.prompt, "Pick");
            EXPECT_EQ(request.components[1], 2);
        }
    }
}

TEST(MemhostEntry, PrepareAndAFullRunThroughTheModule) {
    testing::RecordingPlatform platform;
    const Image document = PatternImage(5, 3, 3);
    MemHost host(document);
    EXPECT_EQ(host.Call(psapi::filterSelectorPrepare), psapi::noErr);
    EXPECT_NE(host.data(), 0);
    // The module's Start asks for nothing yet, so the run goes straight to Finish.
    EXPECT_EQ(host.RunAsHost(), psapi::noErr);
    EXPECT_EQ(host.selectors, (std::vector<psapi::int16>{psapi::filterSelectorPrepare, psapi::filterSelectorStart,
                                                         psapi::filterSelectorFinish}));
    EXPECT_EQ(host.Document(), document);
    EXPECT_TRUE(host.CheckGuards().empty());
}

}  // namespace
}  // namespace tessellon::memhost
