// The built-ins that read the source band: src, src_polar, the neighbour reads, the 3x3
// weighted sums, src_interp, and the current pixel's own source and output values.
//
// The band is rows 10..14, columns 2..7 of an image. Each row carries padding bytes of
// 0xEE after its pixels, and every byte encodes its column, row and plane, so a read with
// the wrong stride, row, column or plane finds a different value.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "hostapi/host_state.h"
#include "runtime/builtins.h"
#include "runtime/context.h"
#include "runtime/runtime_state.h"

namespace tessellon {
namespace {

using tessellon::testing::kUntouched;
using tessellon::testing::RowName;

constexpr i32 kTop = 10, kLeft = 2, kBottom = 15, kRight = 8;  // rows 10..14, columns 2..7
constexpr i32 kWidth = kRight - kLeft, kHeight = kBottom - kTop;
constexpr i32 kRowPadding = 5;
constexpr std::uint8_t kPadding = 0xEE;

// The mask covers rows 11..13, columns 3..6, with padding after each row.
constexpr i32 kMaskTop = 11, kMaskLeft = 3, kMaskBottom = 14, kMaskRight = 7;
constexpr i32 kMaskRowBytes = (kMaskRight - kMaskLeft) + 3;

// Byte p of the band pixel at buffer position (x, y): 5 per column, 9 per row, 64 per
// plane; all distinct, none 0, 255 or the padding.
constexpr i32 Px(i32 x, i32 y, i32 p) { return 1 + 5 * (x - kLeft) + 9 * (y - kTop) + 64 * p; }
constexpr i32 Mask(i32 x, i32 y) { return 100 + 10 * (y - kMaskTop) + (x - kMaskLeft); }

// A host record with an input band and, optionally, mask data.
class Band {
public:
    Band(i32 planes, bool mask_data)
        : row_bytes_(kWidth * planes + kRowPadding),
          pixels_(static_cast<std::size_t>(row_bytes_ * kHeight), kPadding),
          mask_(static_cast<std::size_t>(kMaskRowBytes * (kMaskBottom - kMaskTop)), kPadding) {
        for (i32 y = kTop; y < kBottom; ++y)
            for (i32 x = kLeft; x < kRight; ++x)
                for (i32 p = 0; p < planes; ++p)
                    pixels_[Offset(x, y, planes) + static_cast<std::size_t>(p)] = static_cast<std::uint8_t>(Px(x, y, p));
        for (i32 y = kMaskTop; y < kMaskBottom; ++y)
            for (i32 x = kMaskLeft; x < kMaskRight; ++x)
                mask_[static_cast<std::size_t>((y - kMaskTop) * kMaskRowBytes + (x - kMaskLeft))] =
                    static_cast<std::uint8_t>(Mask(x, y));
        record.planes = static_cast<psapi::int16>(planes);
        record.inRect = {kTop, kLeft, kBottom, kRight};
        record.inData = pixels_.data();
        record.inRowBytes = row_bytes_;
        record.maskRect = {kMaskTop, kMaskLeft, kMaskBottom, kMaskRight};
        record.maskData = mask_data ? mask_.data() : nullptr;
        record.maskRowBytes = kMaskRowBytes;
    }

    std::uint8_t* PixelAt(i32 x, i32 y) { return pixels_.data() + Offset(x, y, record.planes); }

    psapi::FilterRecord record{};

private:
    std::size_t Offset(i32 x, i32 y, i32 planes) const {
        return static_cast<std::size_t>((y - kTop) * row_bytes_ + (x - kLeft) * planes);
    }

    i32 row_bytes_;
    std::vector<std::uint8_t> pixels_;
    std::vector<std::uint8_t> mask_;
};

// How a case sets up the run: planes, host mask data, preview zoom and origin.
struct RunSetup {
    i32 planes = 3;
    bool mask_data = true;
    i32 zoom = 1;
    i32 origin_x = 0, origin_y = 0;
};

void PrintSetup(const RunSetup& s, std::ostream* os) {
    *os << "planes " << s.planes << (s.mask_data ? "" : ", no mask data") << ", zoom " << s.zoom << ", origin ("
        << s.origin_x << ", " << s.origin_y << ")";
}

class PixelBuiltinsTest : public ::testing::Test {
protected:
    void Install(const RunSetup& setup) {
        band_ = std::make_unique<Band>(setup.planes, setup.mask_data);
        Host().record = &band_->record;
        Execution().record.plane_count = setup.planes;
        Execution().record.area_w = 9;   // centre column 4
        Execution().record.area_h = 25;  // centre row 12
        Host().preview_zoom = setup.zoom;
        Execution().origin_x = setup.origin_x;
        Execution().origin_y = setup.origin_y;
    }

    // Makes the band pixel at buffer position (x, y) the current one, as the driver and
    // the loader leave it before a pixel call (preview zoom 1 or more). The output fields
    // hold values that no source byte has.
    void PlaceAt(i32 x, i32 y) {
        Execution().record.cur_src = band_->PixelAt(x, y);
        Execution().record.cur_x = x - Execution().origin_x;
        Execution().record.cur_y = y - Execution().origin_y;
        Execution().context.pos_x = Execution().record.cur_x * Host().preview_zoom;
        Execution().context.pos_y = Execution().record.cur_y * Host().preview_zoom;
        Execution().context.out_r = Execution().context.out_g = Execution().context.out_b = 999;
    }

    tessellon::testing::SavedRuntimeState saved_;
    std::unique_ptr<Band> band_;
};


// --- src: absolute positions, clamping, the fourth byte, the mask, origin and zoom ---

struct SrcCase {
    const char* name;
    RunSetup setup;
    i32 x, y, z;
    i32 expected;
    i32 status;
};

void PrintTo(const SrcCase& c, std::ostream* os) {
    *os << c.name << ": src(" << c.x << ", " << c.y << ", " << c.z << ") with ";
    PrintSetup(c.setup, os);
    *os << " -> " << c.expected << ", status " << c.status;
}

class SrcTest : public PixelBuiltinsTest, public ::testing::WithParamInterface<SrcCase> {};

TEST_P(SrcTest, ReadsTheClampedBandPixelOrTheMask) {
    const SrcCase& c = GetParam();
    Install(c.setup);
    Execution().context.status = kUntouched;
    EXPECT_EQ(src(c.x, c.y, c.z), c.expected);
    EXPECT_EQ(Execution().context.status, c.status);
}

constexpr RunSetup kThree{};
constexpr RunSetup kFour{4};
constexpr RunSetup kNoMask{3, false};

INSTANTIATE_TEST_SUITE_P(
    Table, SrcTest,
    ::testing::Values(
        SrcCase{"InsideRed", kThree, 3, 11, 0, Px(3, 11, 0), kUntouched},
        SrcCase{"InsideGreen", kThree, 3, 11, 1, Px(3, 11, 1), kUntouched},
        SrcCase{"InsideBlueFourPlanes", kFour, 5, 13, 2, Px(5, 13, 2), kUntouched},
        SrcCase{"FourthByteFourPlanes", kFour, 7, 14, 3, Px(7, 14, 3), kUntouched},
        // The byte after the last pixel's blue is row padding: not what z = 3 answers.
        SrcCase{"FourthByteThreePlanesIsOpaque", kThree, 7, 14, 3, 255, kUntouched},
        SrcCase{"LeftOfStripGivesLeftmostPixelOfTheRow", kThree, -5, 12, 0, Px(2, 12, 0), kUntouched},
        SrcCase{"RightOfStrip", kFour, 40, 12, 1, Px(7, 12, 1), kUntouched},
        SrcCase{"AboveStrip", kThree, 4, 0, 2, Px(4, 10, 2), kUntouched},
        SrcCase{"BelowStripGivesLastRow", kThree, 4, 99, 0, Px(4, 14, 0), kUntouched},
        SrcCase{"ExtremePositions", kFour, INT32_MIN, INT32_MAX, 1, Px(2, 14, 1), kUntouched},
        SrcCase{"MaskInside", kThree, 4, 12, 4, Mask(4, 12), kUntouched},
        SrcCase{"MaskLastByteOfTheRect", kFour, 6, 13, 4, Mask(6, 13), kUntouched},
        SrcCase{"MaskLeftOfRect", kThree, 2, 12, 4, 0, kUntouched},
        SrcCase{"MaskRightEdgeExclusive", kThree, 7, 12, 4, 0, kUntouched},
        SrcCase{"MaskAboveRect", kThree, 4, 10, 4, 0, kUntouched},
        SrcCase{"MaskBottomEdgeExclusive", kThree, 4, 14, 4, 0, kUntouched},
        SrcCase{"NoMaskDataInsideRect", kNoMask, 4, 12, 4, 255, kUntouched},
        SrcCase{"NoMaskDataOutsideRect", kNoMask, 2, 12, 4, 0, kUntouched},
        SrcCase{"PlaneFiveRefused", kFour, 4, 12, 5, 0, 1},
        SrcCase{"NegativePlaneRefused", kThree, 4, 12, -1, 0, 1},
        SrcCase{"OriginAdded", {3, true, 1, 1, 2}, 3, 9, 0, Px(4, 11, 0), kUntouched},
        SrcCase{"OriginAddedBeforeClamping", {3, true, 1, 3, 0}, 6, 12, 0, Px(7, 12, 0), kUntouched},
        SrcCase{"OriginMovesTheMask", {3, true, 1, 1, 2}, 3, 9, 4, Mask(4, 11), kUntouched},
        SrcCase{"ZoomTwoHalves", {3, true, 2}, 6, 22, 0, Px(3, 11, 0), kUntouched},
        SrcCase{"ZoomTwoTruncates", {3, true, 2}, 7, 23, 1, Px(3, 11, 1), kUntouched},
        SrcCase{"ZoomThreeDivides", {4, true, 3}, 14, 36, 2, Px(4, 12, 2), kUntouched},
        SrcCase{"ZoomUndoneBeforeOriginAdded", {3, true, 2, 1, 2}, 4, 20, 0, Px(3, 12, 0), kUntouched},
        SrcCase{"ZoomZeroDoubles", {3, true, 0}, 2, 6, 0, Px(4, 12, 0), kUntouched},
        SrcCase{"ZoomMinusOneTriples", {3, true, -1}, 1, 4, 1, Px(3, 12, 1), kUntouched},
        SrcCase{"ZoomLeavesTheMaskAlone", {3, true, 2}, 4, 12, 4, Mask(4, 12), kUntouched}),
    RowName<SrcCase>);

// --- src_polar: positions around the area's centre (4, 12) ---

TEST_F(PixelBuiltinsTest, SrcPolarReadsAroundTheAreaCentre) {
    struct Row {
        const char* name;
        i32 angle, r, z;
        i32 expected, status;
    };
    const Row rows[] = {
        {"angle 0 is to the right", 0, 2, 0, Px(6, 12, 0), kUntouched},
        {"a quarter turn is downwards", 256, 2, 1, Px(4, 14, 1), kUntouched},
        {"a half turn is to the left", 512, 1, 2, Px(3, 12, 2), kUntouched},
        {"negative radius", 0, -2, 0, Px(2, 12, 0), kUntouched},
        {"each offset truncated (3 at 45 degrees is 2.12)", 128, 3, 0, Px(6, 14, 0), kUntouched},
        {"clamped to the band", 0, 1000, 1, Px(7, 12, 1), kUntouched},
        {"plane 4 reads the mask", 0, 1, 4, Mask(5, 12), kUntouched},
        {"plane 5 refused", 0, 1, 5, 0, 1},
    };
    Install(kFour);
    angle_unit(512);
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Execution().context.status = kUntouched;
        EXPECT_EQ(src_polar(row.angle, row.r, row.z), row.expected);
        EXPECT_EQ(Execution().context.status, row.status);
    }
}

// --- dr, dg, db, dalpha, dchan: neighbours of the current pixel ---

enum class Near { dr, dg, db, dalpha, dchan };

struct NearCase {
    const char* name;
    RunSetup setup;
    i32 at_x, at_y;  // current pixel, buffer position
    Near function;
    i32 dx, dy, z;  // z for dchan only
    i32 expected;
    i32 status;
};

void PrintTo(const NearCase& c, std::ostream* os) {
    static const char* const names[] = {"dr", "dg", "db", "dalpha", "dchan"};
    *os << c.name << ": " << names[static_cast<int>(c.function)] << "(" << c.dx << ", " << c.dy;
    if (c.function == Near::dchan) *os << ", " << c.z;
    *os << ") at (" << c.at_x << ", " << c.at_y << ") with ";
    PrintSetup(c.setup, os);
    *os << " -> " << c.expected << ", status " << c.status;
}

class NeighbourTest : public PixelBuiltinsTest, public ::testing::WithParamInterface<NearCase> {};

TEST_P(NeighbourTest, ReadsTheClampedNeighbour) {
    const NearCase& c = GetParam();
    Install(c.setup);
    PlaceAt(c.at_x, c.at_y);
    Execution().context.status = kUntouched;
    i32 result = 0;
    switch (c.function) {
        case Near::dr: result = dr(c.dx, c.dy); break;
        case Near::dg: result = dg(c.dx, c.dy); break;
        case Near::db: result = db(c.dx, c.dy); break;
        case Near::dalpha: result = dalpha(c.dx, c.dy); break;
        case Near::dchan: result = dchan(c.dx, c.dy, c.z); break;
    }
    EXPECT_EQ(result, c.expected);
    EXPECT_EQ(Execution().context.status, c.status);
}

INSTANTIATE_TEST_SUITE_P(
    Table, NeighbourTest,
    ::testing::Values(
        NearCase{"DrZeroIsTheSourceNotOutR", kThree, 4, 12, Near::dr, 0, 0, 0, Px(4, 12, 0), kUntouched},
        NearCase{"DrZeroFourPlanes", kFour, 4, 12, Near::dr, 0, 0, 0, Px(4, 12, 0), kUntouched},
        NearCase{"DgRightAndUp", kThree, 4, 12, Near::dg, 1, -1, 0, Px(5, 11, 1), kUntouched},
        NearCase{"DbLeftAndDown", kFour, 4, 12, Near::db, -1, 1, 0, Px(3, 13, 2), kUntouched},
        NearCase{"ClampedLeft", kThree, 3, 12, Near::dr, -5, 0, 0, Px(2, 12, 0), kUntouched},
        NearCase{"ClampedRight", kFour, 4, 12, Near::dr, 9, 0, 0, Px(7, 12, 0), kUntouched},
        NearCase{"ClampedAbove", kThree, 4, 11, Near::dg, 0, -9, 0, Px(4, 10, 1), kUntouched},
        NearCase{"ClampedBelow", kFour, 4, 13, Near::db, 0, 9, 0, Px(4, 14, 2), kUntouched},
        NearCase{"ClampedCorner", kThree, 2, 14, Near::dr, -99, 99, 0, Px(2, 14, 0), kUntouched},
        NearCase{"DalphaThreePlanesIsOpaque", kThree, 7, 12, Near::dalpha, 0, 0, 0, 255, kUntouched},
        NearCase{"DalphaFourPlanes", kFour, 4, 12, Near::dalpha, 1, 1, 0, Px(5, 13, 3), kUntouched},
        NearCase{"DchanBlue", kThree, 4, 12, Near::dchan, 0, -1, 2, Px(4, 11, 2), kUntouched},
        NearCase{"DchanFourthPlane", kFour, 4, 12, Near::dchan, -1, 0, 3, Px(3, 12, 3), kUntouched},
        NearCase{"DchanFourthPlaneOfThreeRefused", kThree, 4, 12, Near::dchan, 0, 0, 3, 0, 1},
        NearCase{"DchanPlaneFourOfFourRefused", kFour, 4, 12, Near::dchan, 0, 0, 4, 0, 1},
        NearCase{"DchanNegativePlaneRefused", kFour, 4, 12, Near::dchan, 0, 0, -1, 0, 1},
        NearCase{"WithOrigin", {3, true, 1, 1, 2}, 4, 12, Near::dr, 1, 0, 0, Px(5, 12, 0), kUntouched},
        NearCase{"ZoomTwoHalvesTheOffset", {3, true, 2}, 4, 11, Near::dr, 2, 2, 0, Px(5, 12, 0), kUntouched},
        NearCase{"ZoomTwoTruncates", {4, true, 2}, 4, 11, Near::dg, 1, 1, 0, Px(4, 11, 1), kUntouched}),
    RowName<NearCase>);

// --- conv3_r, conv3_g, conv3_b: 3x3 weighted sums around the current pixel ---

struct ConvCase {
    const char* name;
    RunSetup setup;
    i32 at_x, at_y;
    i32 plane;  // 0 conv3_r, 1 conv3_g, 2 conv3_b
    std::array<i32, 9> w;
    i32 d;
    i32 expected;
    i32 status;
};

void PrintTo(const ConvCase& c, std::ostream* os) {
    *os << c.name << ": conv3 plane " << c.plane << " at (" << c.at_x << ", " << c.at_y << "), weights";
    for (i32 w : c.w) *os << " " << w;
    *os << ", d " << c.d << " with ";
    PrintSetup(c.setup, os);
    *os << " -> " << c.expected << ", status " << c.status;
}

class Conv3Test : public PixelBuiltinsTest, public ::testing::WithParamInterface<ConvCase> {};

TEST_P(Conv3Test, WeightsTheBlockAroundThePixel) {
    const ConvCase& c = GetParam();
    Install(c.setup);
    PlaceAt(c.at_x, c.at_y);
    const auto& w = c.w;
    using Conv = i32 (*)(i32, i32, i32, i32, i32, i32, i32, i32, i32, i32) noexcept;
    const Conv functions[] = {conv3_r, conv3_g, conv3_b};
    Execution().context.status = kUntouched;
    EXPECT_EQ(functions[c.plane](w[0], w[1], w[2], w[3], w[4], w[5], w[6], w[7], w[8], c.d), c.expected);
    EXPECT_EQ(Execution().context.status, c.status);
}

// Powers of two as weights make the sum tell which pixel stood in which position.
constexpr std::array<i32, 9> kPowers{1, 2, 4, 8, 16, 32, 64, 128, 256};
constexpr std::array<i32, 9> kCentre{0, 0, 0, 0, 1, 0, 0, 0, 0};
constexpr std::array<i32, 9> kMinusCentre{0, 0, 0, 0, -1, 0, 0, 0, 0};

// The powers-of-two sum over nine pixels given in weight order, for plane p.
constexpr i32 PowerSum(const std::array<std::array<i32, 2>, 9>& at, i32 p) {
    i32 sum = 0;
    for (std::size_t i = 0; i < 9; ++i) sum += kPowers[i] * Px(at[i][0], at[i][1], p);
    return sum;
}

INSTANTIATE_TEST_SUITE_P(
    Table, Conv3Test,
    ::testing::Values(
        ConvCase{"IdentityRed", kThree, 4, 12, 0, kCentre, 1, Px(4, 12, 0), kUntouched},
        ConvCase{"IdentityGreenFourPlanes", kFour, 4, 12, 1, kCentre, 1, Px(4, 12, 1), kUntouched},
        ConvCase{"IdentityBlue", kThree, 5, 11, 2, kCentre, 1, Px(5, 11, 2), kUntouched},
        ConvCase{"WeightsRunRowByRow", kThree, 4, 12, 0, kPowers, 1,
                 PowerSum({{{3, 11}, {4, 11}, {5, 11}, {3, 12}, {4, 12}, {5, 12}, {3, 13}, {4, 13}, {5, 13}}}, 0),
                 kUntouched},
        ConvCase{"WeightsRunRowByRowFourPlanes", kFour, 4, 12, 2, kPowers, 1,
                 PowerSum({{{3, 11}, {4, 11}, {5, 11}, {3, 12}, {4, 12}, {5, 12}, {3, 13}, {4, 13}, {5, 13}}}, 2),
                 kUntouched},
        ConvCase{"TopLeftCornerUsesItsOwnRowAndColumn", kThree, 2, 10, 1, kPowers, 1,
                 PowerSum({{{2, 10}, {2, 10}, {3, 10}, {2, 10}, {2, 10}, {3, 10}, {2, 11}, {2, 11}, {3, 11}}}, 1),
                 kUntouched},
        ConvCase{"BottomRightCornerUsesItsOwnRowAndColumn", kFour, 7, 14, 0, kPowers, 1,
                 PowerSum({{{6, 13}, {7, 13}, {7, 13}, {6, 14}, {7, 14}, {7, 14}, {6, 14}, {7, 14}, {7, 14}}}, 0),
                 kUntouched},
        ConvCase{"DividedAndTruncated", kThree, 4, 12, 0, kPowers, 100,
                 PowerSum({{{3, 11}, {4, 11}, {5, 11}, {3, 12}, {4, 12}, {5, 12}, {3, 13}, {4, 13}, {5, 13}}}, 0) / 100,
                 kUntouched},
        // Px(4, 12, 0) is 29: -29 / 2 truncates to -14, not -15, and is not clamped.
        ConvCase{"NegativeSumTruncatesTowardZero", kThree, 4, 12, 0, kMinusCentre, 2, -14, kUntouched},
        ConvCase{"NegativeDivisor", kThree, 4, 12, 0, kCentre, -2, -14, kUntouched},
        ConvCase{"ZeroDivisorRefused", kThree, 4, 12, 0, kCentre, 0, 0, 1},
        ConvCase{"OriginLocatesThePixel", {3, true, 1, 2, 3}, 4, 12, 0, kCentre, 1, Px(4, 12, 0), kUntouched}),
    RowName<ConvCase>);

// --- src_interp: bilinear samples at (x / n, y / n) ---

struct InterpCase {
    const char* name;
    RunSetup setup;
    i32 x, y, n, z;
    i32 expected;
    i32 status;
};

void PrintTo(const InterpCase& c, std::ostream* os) {
    *os << c.name << ": src_interp(" << c.x << ", " << c.y << ", " << c.n << ", " << c.z << ") with ";
    PrintSetup(c.setup, os);
    *os << " -> " << c.expected << ", status " << c.status;
}

class SrcInterpTest : public PixelBuiltinsTest, public ::testing::WithParamInterface<InterpCase> {};

TEST_P(SrcInterpTest, InterpolatesWithTruncatingSteps) {
    const InterpCase& c = GetParam();
    Install(c.setup);
    Execution().context.status = kUntouched;
    EXPECT_EQ(src_interp(c.x, c.y, c.n, c.z), c.expected);
    EXPECT_EQ(Execution().context.status, c.status);
}

// Red of (4, 11) is 20, of (5, 11) 25, of (4, 12) 29, of (5, 12) 34.
INSTANTIATE_TEST_SUITE_P(
    Table, SrcInterpTest,
    ::testing::Values(
        InterpCase{"MultipleOfNIsThePixel", kThree, 12, 33, 3, 1, Px(4, 11, 1), kUntouched},
        InterpCase{"MultipleOfNFourthByte", kFour, 12, 33, 3, 3, Px(4, 11, 3), kUntouched},
        InterpCase{"FourthByteOfThreePlanesIsOpaque", kThree, 9, 23, 2, 3, 255, kUntouched},
        InterpCase{"HalfWayAcrossTruncates", kThree, 9, 22, 2, 0, (20 + 25) / 2, kUntouched},
        InterpCase{"HalfWayDownTruncates", kFour, 8, 23, 2, 0, (20 + 29) / 2, kUntouched},
        InterpCase{"ThirdAcross", kThree, 13, 33, 3, 0, (20 * 2 + 25) / 3, kUntouched},
        // top (20 + 25*3)/4 = 23, bottom (29 + 34*3)/4 = 32, result (32 + 23*3)/4 = 25;
        // one undivided bilinear sum would give 26.
        InterpCase{"EachDivisionTruncatesOnItsOwn", kThree, 19, 45, 4, 0, 25, kUntouched},
        // x = -1, n = 2: xi 0, xf -1, so top = (a*3 - b)/2 with a, b the pixels at image
        // x 0 and 1 (buffer 2 and 3): (10*3 - 15)/2 = 7.
        InterpCase{"NegativeXUsesTruncatingRemainder", {3, true, 1, 2, 0}, -1, 22, 2, 0, 7, kUntouched},
        // y = -1, n = 2: yi 0, yf -1, so (c*-1 + a*3)/2 with a, c at image y 0 and 1
        // (buffer rows 10 and 11): (20*-1 + 11*3)/2 = 6.
        InterpCase{"NegativeYUsesTruncatingRemainder", {3, true, 1, 0, 10}, 8, -1, 2, 0, 6, kUntouched},
        InterpCase{"PreviewZoomUndone", {3, true, 2}, 16, 44, 2, 0, Px(4, 11, 0), kUntouched},
        InterpCase{"ZeroStepRefused", kThree, 8, 22, 0, 0, 0, 2},
        InterpCase{"NegativeStepRefused", kThree, 8, 22, -2, 0, 0, 2},
        InterpCase{"PlaneFourRefused", kThree, 8, 22, 2, 4, 0, 1},
        InterpCase{"NegativePlaneRefused", kFour, 8, 22, 2, -1, 0, 1}),
    RowName<InterpCase>);

// src_interp reads only the pixels whose weights are not zero. The band below claims two
// columns and two rows, but memory holds only the pixels a case needs; a read of any
// other one runs past the block (reported by the address sanitizer).
TEST_F(PixelBuiltinsTest, SrcInterpReadsOnlyWeightedPixels) {
    const std::uint8_t first[3] = {40, 41, 42};
    const std::uint8_t second[3] = {80, 81, 82};
    struct Row {
        const char* name;
        std::size_t pixels;  // how many pixels of the first row memory holds
        i32 x, y, n, z;
        i32 expected;
    };
    const Row rows[] = {
        {"whole position: one pixel", 1, 0, 0, 4, 1, 41},
        {"across only: two pixels", 2, 1, 0, 4, 2, (42 * 3 + 82) / 4},
    };
    Execution().record.plane_count = 3;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const auto memory = std::make_unique<std::uint8_t[]>(row.pixels * 3);
        std::memcpy(memory.get(), first, 3);
        if (row.pixels == 2) std::memcpy(memory.get() + 3, second, 3);
        psapi::FilterRecord record{};
        record.inRect = {0, 0, 2, 2};
        record.inData = memory.get();
        record.inRowBytes = 6;
        Host().record = &record;
        Execution().context.status = kUntouched;
        EXPECT_EQ(src_interp(row.x, row.y, row.n, row.z), row.expected);
        EXPECT_EQ(Execution().context.status, kUntouched);
        Host().record = nullptr;
    }
}

// --- src_here and set_out: the current pixel's loaded source values and its output ---

TEST_F(PixelBuiltinsTest, SrcHereAnswersTheLoadedSourceFields) {
    struct Row {
        const char* name;
        i32 planes, z;
        i32 expected, status;
    };
    const Row rows[] = {
        {"red", 3, 0, 21, kUntouched},          {"green", 3, 1, 22, kUntouched},
        {"blue", 4, 2, 23, kUntouched},         {"fourth of four planes", 4, 3, 24, kUntouched},
        {"fourth of three planes refused", 3, 3, 0, 1},
        {"plane 4 refused", 4, 4, 0, 1},        {"negative plane refused", 3, -1, 0, 1},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Install(RunSetup{row.planes});
        PlaceAt(4, 12);  // the band's bytes differ from the loaded fields below
        Execution().context.src_r = 21;
        Execution().context.src_g = 22;
        Execution().context.src_b = 23;
        Execution().context.src_a = 24;
        Execution().context.status = kUntouched;
        EXPECT_EQ(src_here(row.z), row.expected);
        EXPECT_EQ(Execution().context.status, row.status);
    }
}

TEST_F(PixelBuiltinsTest, SetOutSetsOneOutputChannel) {
    struct Row {
        const char* name;
        i32 planes, z, v;
        i32 expected, status;
        std::array<i32, 4> out;  // out_r, out_g, out_b, out_a afterwards
    };
    const Row rows[] = {
        {"red, negative value kept", 3, 0, -7, -7, kUntouched, {-7, 2, 3, 4}},
        {"green, value over 255 kept", 3, 1, 300, 300, kUntouched, {1, 300, 3, 4}},
        {"blue", 4, 2, 9, 9, kUntouched, {1, 2, 9, 4}},
        {"fourth of four planes", 4, 3, 9, 9, kUntouched, {1, 2, 3, 9}},
        {"fourth of three planes: nothing stored, no status", 3, 3, 9, 9, kUntouched, {1, 2, 3, 4}},
        {"plane 4 refused", 4, 4, 9, 0, 1, {1, 2, 3, 4}},
        {"plane 5 refused", 3, 5, 9, 0, 1, {1, 2, 3, 4}},
        {"negative plane refused", 4, -1, 9, 0, 1, {1, 2, 3, 4}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Execution().record.plane_count = row.planes;
        Execution().context.out_r = 1;
        Execution().context.out_g = 2;
        Execution().context.out_b = 3;
        Execution().context.out_a = 4;
        Execution().context.status = kUntouched;
        EXPECT_EQ(set_out(row.z, row.v), row.expected);
        EXPECT_EQ(Execution().context.status, row.status);
        const ExecutionContext& c = Execution().context;
        EXPECT_EQ((std::array<i32, 4>{c.out_r, c.out_g, c.out_b, c.out_a}), row.out);
    }
}

}  // namespace
}  // namespace tessellon
