// Our own declarations of the Photoshop-compatible filter host interface: the filter
// record, the about record, pixel maps, colour services and the small types they use.
// Field names are spelled as the host interface spells them. No Windows headers: the
// layouts are plain fixed-width structs, and their 32-bit Windows offsets are asserted
// in the 32-bit build, where the host reads them.
#pragma once

#include <cstddef>
#include <cstdint>

// Every callback and the entry point use the C calling convention on Windows (the
// caller pops the arguments). Spelled once here so that a build with another default
// convention cannot change it silently.
#if defined(_WIN32) && !defined(_WIN64)
#define PSAPI_CALL __cdecl
#define PSAPI_ASSERT_LAYOUT 1
#else
#define PSAPI_CALL
#define PSAPI_ASSERT_LAYOUT 0
#endif

namespace psapi {

using int16 = std::int16_t;
using int32 = std::int32_t;
using uint8 = std::uint8_t;
using Boolean = std::uint8_t;
using Fixed = std::int32_t;  // signed 16.16
using OSErr = std::int16_t;
using OSType = std::uint32_t;

struct Point {
    int16 v;  // row
    int16 h;  // column
};

// bottom and right are exclusive; empty when bottom <= top or right <= left.
struct Rect {
    int16 top;
    int16 left;
    int16 bottom;
    int16 right;
};

struct VPoint {
    int32 v;
    int32 h;
};

struct VRect {
    int32 top;
    int32 left;
    int32 bottom;
    int32 right;
};

struct RGBColor {
    std::uint16_t red;
    std::uint16_t green;
    std::uint16_t blue;
};

using FilterColor = std::uint8_t[4];  // [0] red, [1] green, [2] blue in RGB mode

struct PlatformData {
    std::intptr_t hwnd;  // the host's window, owner of our dialogs
};

struct PlugInMonitor {
    Fixed gamma, redX, redY, greenX, greenY, blueX, blueY, whiteX, whiteY, ambient;
};

struct PSPixelMask {
    PSPixelMask* next;
    void* maskData;
    int32 rowBytes;
    int32 colBytes;
    int32 maskDescription;  // 0 simple
};

struct PSPixelMap {
    int32 version;
    VRect bounds;
    int32 imageMode;
    int32 rowBytes;
    int32 colBytes;
    int32 planeBytes;
    void* baseAddr;
    // version 1
    PSPixelMask* mat;
    PSPixelMask* masks;
    int32 maskPhaseRow;
    int32 maskPhaseCol;
    // version 2
    void* pixelOverlays;
    std::uint32_t colorManagementOptions;
    // version 3
    int16 depth;
};

struct ColorServicesInfo {
    int32 infoSize;  // 36
    int16 selector;
    int16 sourceSpace;
    int16 resultSpace;
    Boolean resultGamutInfoValid;
    Boolean resultInGamut;
    void* reservedSourceSpaceInfo;
    void* reservedResultSpaceInfo;
    int16 colorComponents[4];
    void* reserved;
    union {
        unsigned char* pickerPrompt;  // Pascal string
        Point* globalSamplePoint;
        int32 specialColorID;
    } selectorParameter;
};

struct AboutRecord {
    void* platformData;  // -> PlatformData
    void* sSPBasic;
    void* plugInRef;
    char reserved[244];
};

using TestAbortProc = Boolean(PSAPI_CALL*)();
using ProgressProc = void(PSAPI_CALL*)(int32 done, int32 total);
using HostProc = void(PSAPI_CALL*)(int16 selector, std::intptr_t* data);
using ProcessEventProc = void(PSAPI_CALL*)(void* event);
using DisplayPixelsProc = OSErr(PSAPI_CALL*)(const PSPixelMap* source, const VRect* srcRect,
                                             int32 dstRow, int32 dstCol, void* platformContext);
using AdvanceStateProc = OSErr(PSAPI_CALL*)();
using ColorServicesProc = OSErr(PSAPI_CALL*)(ColorServicesInfo* info);

// The 4.0 layout (452 bytes) is all a host must provide; nothing at a later offset is
// declared, so nothing can depend on it. Hosts pack the record to 4 bytes; that changes
// nothing on 32-bit Windows and is left out of 64-bit builds, whose hosts are our own
// and where it would misalign the pointers.
#if PSAPI_ASSERT_LAYOUT
#pragma pack(push, 4)
#endif
struct FilterRecord {
    int32 serialNumber;
    TestAbortProc abortProc;
    ProgressProc progressProc;
    void* parameters;
    Point imageSize;
    int16 planes;
    Rect filterRect;
    RGBColor background;
    RGBColor foreground;
    int32 maxSpace;
    int32 bufferSpace;
    Rect inRect;
    int16 inLoPlane;
    int16 inHiPlane;
    Rect outRect;
    int16 outLoPlane;
    int16 outHiPlane;
    void* inData;
    int32 inRowBytes;
    void* outData;
    int32 outRowBytes;
    Boolean isFloating;
    Boolean haveMask;
    Boolean autoMask;
    Rect maskRect;
    void* maskData;
    int32 maskRowBytes;
    FilterColor backColor;
    FilterColor foreColor;
    OSType hostSig;
    HostProc hostProc;
    int16 imageMode;
    Fixed imageHRes;
    Fixed imageVRes;
    Point floatCoord;
    Point wholeSize;
    PlugInMonitor monitor;
    void* platformData;  // -> PlatformData
    void* bufferProcs;
    void* resourceProcs;
    ProcessEventProc processEvent;
    DisplayPixelsProc displayPixels;
    void* handleProcs;
    Boolean supportsDummyChannels;
    Boolean supportsAlternateLayouts;
    int16 wantLayout;
    int16 filterCase;
    int16 dummyPlaneValue;
    void* premiereHook;
    AdvanceStateProc advanceState;
    Boolean supportsAbsolute;
    Boolean wantsAbsolute;
    void* getPropertyObsolete;
    Boolean cannotUndo;
    Boolean supportsPadding;
    int16 inputPadding;
    int16 outputPadding;
    int16 maskPadding;
    char samplingSupport;
    char reservedByte;
    Fixed inputRate;
    Fixed maskRate;
    ColorServicesProc colorServices;
    int16 inLayerPlanes;
    int16 inTransparencyMask;
    int16 inLayerMasks;
    int16 inInvertedLayerMasks;
    int16 inNonLayerPlanes;
    int16 outLayerPlanes;
    int16 outTransparencyMask;
    int16 outLayerMasks;
    int16 outInvertedLayerMasks;
    int16 outNonLayerPlanes;
    int16 absLayerPlanes;
    int16 absTransparencyMask;
    int16 absLayerMasks;
    int16 absInvertedLayerMasks;
    int16 absNonLayerPlanes;
    int16 inPreDummyPlanes;
    int16 inPostDummyPlanes;
    int16 outPreDummyPlanes;
    int16 outPostDummyPlanes;
    int32 inColumnBytes;
    int32 inPlaneBytes;
    int32 outColumnBytes;
    int32 outPlaneBytes;
    void* imageServicesProcs;
    void* propertyProcs;
    int16 inTileHeight;
    int16 inTileWidth;
    Point inTileOrigin;
    int16 absTileHeight;
    int16 absTileWidth;
    Point absTileOrigin;
    int16 outTileHeight;
    int16 outTileWidth;
    Point outTileOrigin;
    int16 maskTileHeight;
    int16 maskTileWidth;
    Point maskTileOrigin;
    void* descriptorParameters;
    void* errorString;
    void* channelPortProcs;
    void* documentInfo;
    char reserved[78];
};
#if PSAPI_ASSERT_LAYOUT
#pragma pack(pop)
#endif

// Selectors of the entry point.
enum Selector : int16 {
    filterSelectorAbout = 0,
    filterSelectorParameters = 1,
    filterSelectorPrepare = 2,
    filterSelectorStart = 3,
    filterSelectorContinue = 4,
    filterSelectorFinish = 5,
};

// Result codes.
constexpr OSErr noErr = 0;
constexpr OSErr userCanceledErr = -128;
constexpr OSErr filterBadParameters = -30100;
constexpr OSErr filterBadMode = -30101;

constexpr int16 plugInModeRGBColor = 3;
constexpr int16 plugInModeGrayScale = 1;

// Colour services.
constexpr int16 plugIncolorServicesChooseColor = 0;
constexpr int16 plugIncolorServicesRGBSpace = 0;

#if PSAPI_ASSERT_LAYOUT
static_assert(sizeof(Point) == 4 && sizeof(Rect) == 8 && sizeof(VRect) == 16);
static_assert(sizeof(RGBColor) == 6 && sizeof(PlatformData) == 4);
static_assert(sizeof(PlugInMonitor) == 40);

static_assert(offsetof(FilterRecord, abortProc) == 4);
static_assert(offsetof(FilterRecord, progressProc) == 8);
static_assert(offsetof(FilterRecord, imageSize) == 16);
static_assert(offsetof(FilterRecord, planes) == 20);
static_assert(offsetof(FilterRecord, filterRect) == 22);
static_assert(offsetof(FilterRecord, maxSpace) == 44);
static_assert(offsetof(FilterRecord, bufferSpace) == 48);
static_assert(offsetof(FilterRecord, inRect) == 52);
static_assert(offsetof(FilterRecord, inLoPlane) == 60);
static_assert(offsetof(FilterRecord, inHiPlane) == 62);
static_assert(offsetof(FilterRecord, outRect) == 64);
static_assert(offsetof(FilterRecord, outLoPlane) == 72);
static_assert(offsetof(FilterRecord, outHiPlane) == 74);
static_assert(offsetof(FilterRecord, inData) == 76);
static_assert(offsetof(FilterRecord, inRowBytes) == 80);
static_assert(offsetof(FilterRecord, outData) == 84);
static_assert(offsetof(FilterRecord, outRowBytes) == 88);
static_assert(offsetof(FilterRecord, isFloating) == 92);
static_assert(offsetof(FilterRecord, haveMask) == 93);
static_assert(offsetof(FilterRecord, maskRect) == 96);
static_assert(offsetof(FilterRecord, maskData) == 104);
static_assert(offsetof(FilterRecord, maskRowBytes) == 108);
static_assert(offsetof(FilterRecord, backColor) == 112);
static_assert(offsetof(FilterRecord, foreColor) == 116);
static_assert(offsetof(FilterRecord, hostSig) == 120);
static_assert(offsetof(FilterRecord, imageMode) == 128);
static_assert(offsetof(FilterRecord, imageHRes) == 132);
static_assert(offsetof(FilterRecord, platformData) == 188);
static_assert(offsetof(FilterRecord, displayPixels) == 204);
static_assert(offsetof(FilterRecord, handleProcs) == 208);
static_assert(offsetof(FilterRecord, advanceState) == 224);
static_assert(offsetof(FilterRecord, inputPadding) == 238);
static_assert(offsetof(FilterRecord, outputPadding) == 240);
static_assert(offsetof(FilterRecord, maskPadding) == 242);
static_assert(offsetof(FilterRecord, samplingSupport) == 244);
static_assert(offsetof(FilterRecord, inputRate) == 248);
static_assert(offsetof(FilterRecord, maskRate) == 252);
static_assert(offsetof(FilterRecord, colorServices) == 256);
static_assert(offsetof(FilterRecord, inLayerPlanes) == 260);
static_assert(offsetof(FilterRecord, inTransparencyMask) == 262);
static_assert(offsetof(FilterRecord, inColumnBytes) == 300);
static_assert(offsetof(FilterRecord, documentInfo) == 368);
static_assert(sizeof(FilterRecord) == 452);

static_assert(offsetof(PSPixelMap, bounds) == 4);
static_assert(offsetof(PSPixelMap, rowBytes) == 24);
static_assert(offsetof(PSPixelMap, baseAddr) == 36);
static_assert(offsetof(PSPixelMap, masks) == 44);
static_assert(offsetof(PSPixelMap, maskPhaseCol) == 52);
static_assert(sizeof(PSPixelMap) == 68);
static_assert(offsetof(PSPixelMask, maskDescription) == 16 && sizeof(PSPixelMask) == 20);

static_assert(offsetof(ColorServicesInfo, colorComponents) == 20);
static_assert(offsetof(ColorServicesInfo, selectorParameter) == 32);
static_assert(sizeof(ColorServicesInfo) == 36);

static_assert(offsetof(AboutRecord, platformData) == 0 && sizeof(AboutRecord) == 256);
#endif

}  // namespace psapi
