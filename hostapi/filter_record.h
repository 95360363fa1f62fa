// Our own declarations of the Photoshop-compatible filter host interface: the filter
// record, the about record, pixel maps, colour services and the small types they use.
// Field names are spelled as the host interface spells them. No Windows headers: the
// layouts are plain fixed-width structs. One set of declarations serves 32-bit and
// 64-bit modules; every offset the module uses is asserted below for both widths, and
// each build checks the width it is (the native 64-bit build shares the 64-bit layout).
#pragma once

#include <cstddef>
#include <cstdint>

// Every callback and the entry point use the C calling convention on 32-bit Windows
// (the caller pops the arguments). Spelled once here so that a build with another
// default convention cannot change it silently. x86-64 has one convention only.
#if defined(_WIN32) && !defined(_WIN64)
#define PSAPI_CALL __cdecl
#else
#define PSAPI_CALL
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
    int32 infoSize;  // sizeof(ColorServicesInfo): 36 in a 32-bit module, 56 in a 64-bit one
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

// The handle suite: host-owned movable memory blocks. Only disposeProc is used, to give
// back descriptor handles the host handed over or that the module created.
using Handle = char**;
struct HandleProcs {
    int16 handleProcsVersion;
    int16 numHandleProcs;
    Handle(PSAPI_CALL* newProc)(int32 size);
    void(PSAPI_CALL* disposeProc)(Handle handle);
    int32(PSAPI_CALL* getSizeProc)(Handle handle);
    OSErr(PSAPI_CALL* setSizeProc)(Handle handle, int32 size);
    char*(PSAPI_CALL* lockProc)(Handle handle, Boolean moveHigh);
    void(PSAPI_CALL* unlockProc)(Handle handle);
    void(PSAPI_CALL* recoverSpaceProc)(int32 size);
    void(PSAPI_CALL* disposeRegularHandleProc)(Handle handle);
};

// Scripting: descriptors, the host's records of a filter's values in actions, Smart
// Filters and scripts. Keys, types, enumeration values and units are four-character
// codes; handles and reader / writer tokens are opaque to the module.
using DescriptorKeyID = std::uint32_t;
using DescriptorTypeID = std::uint32_t;
using DescriptorEnumID = std::uint32_t;
using DescriptorUnitID = std::uint32_t;
using PIDescriptorHandle = Handle;
using PIReadDescriptor = void*;
using PIWriteDescriptor = void*;
using real64 = double;
using Str255 = unsigned char[256];

struct ReadDescriptorProcs {
    int16 readDescriptorProcsVersion;
    int16 numReadDescriptorProcs;
    PIReadDescriptor(PSAPI_CALL* openReadDescriptorProc)(PIDescriptorHandle descriptor, DescriptorKeyID* keyArray);
    OSErr(PSAPI_CALL* closeReadDescriptorProc)(PIReadDescriptor token);
    Boolean(PSAPI_CALL* getKeyProc)(PIReadDescriptor token, DescriptorKeyID* key, DescriptorTypeID* type,
                                    int32* flags);
    OSErr(PSAPI_CALL* getIntegerProc)(PIReadDescriptor token, int32* value);
    OSErr(PSAPI_CALL* getFloatProc)(PIReadDescriptor token, real64* value);
    OSErr(PSAPI_CALL* getUnitFloatProc)(PIReadDescriptor token, DescriptorUnitID* unit, real64* value);
    OSErr(PSAPI_CALL* getBooleanProc)(PIReadDescriptor token, Boolean* value);
    OSErr(PSAPI_CALL* getTextProc)(PIReadDescriptor token, Handle* value);
    OSErr(PSAPI_CALL* getAliasProc)(PIReadDescriptor token, Handle* value);
    OSErr(PSAPI_CALL* getEnumeratedProc)(PIReadDescriptor token, DescriptorEnumID* value);
    OSErr(PSAPI_CALL* getClassProc)(PIReadDescriptor token, DescriptorTypeID* value);
    OSErr(PSAPI_CALL* getSimpleReferenceProc)(PIReadDescriptor token, void* reference);
    OSErr(PSAPI_CALL* getObjectProc)(PIReadDescriptor token, DescriptorTypeID* objectClass,
                                     PIDescriptorHandle* object);
    OSErr(PSAPI_CALL* getCountProc)(PIReadDescriptor token, std::uint32_t* value);
    OSErr(PSAPI_CALL* getStringProc)(PIReadDescriptor token, Str255* value);
    OSErr(PSAPI_CALL* getPinnedIntegerProc)(PIReadDescriptor token, int32 min, int32 max, int32* value);
    OSErr(PSAPI_CALL* getPinnedFloatProc)(PIReadDescriptor token, const real64* min, const real64* max,
                                          real64* value);
    OSErr(PSAPI_CALL* getPinnedUnitFloatProc)(PIReadDescriptor token, const real64* min, const real64* max,
                                              DescriptorUnitID* unit, real64* value);
};

struct WriteDescriptorProcs {
    int16 writeDescriptorProcsVersion;
    int16 numWriteDescriptorProcs;
    PIWriteDescriptor(PSAPI_CALL* openWriteDescriptorProc)();
    OSErr(PSAPI_CALL* closeWriteDescriptorProc)(PIWriteDescriptor token, PIDescriptorHandle* descriptor);
    OSErr(PSAPI_CALL* putIntegerProc)(PIWriteDescriptor token, DescriptorKeyID key, int32 value);
    OSErr(PSAPI_CALL* putFloatProc)(PIWriteDescriptor token, DescriptorKeyID key, const real64* value);
    OSErr(PSAPI_CALL* putUnitFloatProc)(PIWriteDescriptor token, DescriptorKeyID key, DescriptorUnitID unit,
                                        const real64* value);
    OSErr(PSAPI_CALL* putBooleanProc)(PIWriteDescriptor token, DescriptorKeyID key, Boolean value);
    OSErr(PSAPI_CALL* putTextProc)(PIWriteDescriptor token, DescriptorKeyID key, Handle value);
    OSErr(PSAPI_CALL* putAliasProc)(PIWriteDescriptor token, DescriptorKeyID key, Handle value);
    OSErr(PSAPI_CALL* putEnumeratedProc)(PIWriteDescriptor token, DescriptorKeyID key, DescriptorTypeID type,
                                         DescriptorEnumID value);
    OSErr(PSAPI_CALL* putClassProc)(PIWriteDescriptor token, DescriptorKeyID key, DescriptorTypeID value);
    OSErr(PSAPI_CALL* putSimpleReferenceProc)(PIWriteDescriptor token, DescriptorKeyID key, const void* reference);
    OSErr(PSAPI_CALL* putObjectProc)(PIWriteDescriptor token, DescriptorKeyID key, DescriptorTypeID objectClass,
                                     PIDescriptorHandle object);
    OSErr(PSAPI_CALL* putCountProc)(PIWriteDescriptor token, DescriptorKeyID key, std::uint32_t value);
    OSErr(PSAPI_CALL* putStringProc)(PIWriteDescriptor token, DescriptorKeyID key, const unsigned char* value);
    OSErr(PSAPI_CALL* putScopedClassProc)(PIWriteDescriptor token, DescriptorKeyID key, DescriptorTypeID value);
    OSErr(PSAPI_CALL* putScopedObjectProc)(PIWriteDescriptor token, DescriptorKeyID key,
                                           DescriptorTypeID objectClass, PIDescriptorHandle object);
};

// Natural alignment, like the suite tables: hosts declare these outside the record's
// 4-byte packing, and on 64-bit the tables' first pointer would move under it.
struct PIDescriptorParameters {
    int16 descriptorParametersVersion;
    int16 playInfo;    // plugInDialog...: whether the host wants the dialog on replay
    int16 recordInfo;  // set by the module: whether the recorded step needs the dialog
    PIDescriptorHandle descriptor;
    WriteDescriptorProcs* writeDescriptorProcs;
    ReadDescriptorProcs* readDescriptorProcs;
};

// The 4.0 layout (452 bytes in a 32-bit module, 544 in a 64-bit one) is all a host must
// provide; nothing at a later offset is declared, so nothing can depend on it. Newer
// hosts hand longer records, and some 64-bit hosts one that ends in the middle of a
// later field, so nothing past documentInfo may ever be read.
//
// Hosts pack the record to 4 bytes. On 32-bit that changes nothing; on 64-bit it is
// decisive: nine pointers sit at offsets that are 4 but not 8 aligned, and natural
// alignment would move every field after serialNumber. Members are only ever read and
// written by name, never through a pointer to a member, so the compiler always knows
// their alignment.
#pragma pack(push, 4)
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
    HandleProcs* handleProcs;
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
    PIDescriptorParameters* descriptorParameters;
    void* errorString;
    void* channelPortProcs;
    void* documentInfo;
    char reserved[78];
};
#pragma pack(pop)

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

// Scripting: playInfo and recordInfo, the suites' versions and sizes, types and codes.
constexpr int16 plugInDialogDontDisplay = 0;  // playInfo: the dialog only if values are missing
constexpr int16 plugInDialogDisplay = 1;      // playInfo: show the dialog with the values
constexpr int16 plugInDialogSilent = 2;       // playInfo: never show the dialog
constexpr int16 plugInDialogOptional = 0;     // recordInfo: the dialog only when asked for
constexpr int16 kDescriptorParametersVersion = 0;
constexpr int16 kReadDescriptorProcsVersion = 0;
constexpr int16 kReadDescriptorProcsCount = 18;
constexpr int16 kWriteDescriptorProcsVersion = 0;
constexpr int16 kWriteDescriptorProcsCount = 16;
constexpr OSErr paramErr = -50;
constexpr OSErr readErr = -19;

// A four-character code as the host interface stores it: the first character in the
// top byte.
constexpr std::uint32_t FourCharCode(const char (&code)[5]) noexcept {
    return static_cast<std::uint32_t>(static_cast<unsigned char>(code[0])) << 24 |
           static_cast<std::uint32_t>(static_cast<unsigned char>(code[1])) << 16 |
           static_cast<std::uint32_t>(static_cast<unsigned char>(code[2])) << 8 |
           static_cast<std::uint32_t>(static_cast<unsigned char>(code[3]));
}
constexpr DescriptorTypeID typeInteger = FourCharCode("long");
constexpr DescriptorTypeID typeFloat = FourCharCode("doub");
constexpr DescriptorTypeID typeUnitFloat = FourCharCode("UntF");
constexpr DescriptorTypeID typeBoolean = FourCharCode("bool");
constexpr DescriptorTypeID typeEnumerated = FourCharCode("enum");
constexpr DescriptorTypeID typeObject = FourCharCode("Objc");
constexpr DescriptorTypeID typeNull = FourCharCode("null");
constexpr DescriptorTypeID classRGBColor = FourCharCode("RGBC");
constexpr DescriptorKeyID keyRed = FourCharCode("Rd  ");
constexpr DescriptorKeyID keyGreen = FourCharCode("Grn ");
constexpr DescriptorKeyID keyBlue = FourCharCode("Bl  ");

constexpr int16 plugInModeRGBColor = 3;
constexpr int16 plugInModeGrayScale = 1;

// Colour services.
constexpr int16 plugIncolorServicesChooseColor = 0;
constexpr int16 plugIncolorServicesRGBSpace = 0;

// Layout checks: the 32-bit and 64-bit offsets of every field the module reads or
// writes, and of the structures it hands to the host. Natural alignment everywhere but
// the filter record, so the pixel map, colour request and about record gain holes on
// 64-bit (before baseAddr, before the first pointer).
// True in 64-bit builds, whose host structures have 8-byte pointers.
constexpr bool kWide = sizeof(void*) == 8;
static_assert(sizeof(void*) == 4 || sizeof(void*) == 8);

#define PSAPI_ASSERT_OFFSET(type, field, x86, x64) \
    static_assert(offsetof(type, field) == (kWide ? (x64) : (x86)), #type "::" #field)

static_assert(sizeof(Point) == 4 && sizeof(Rect) == 8 && sizeof(VRect) == 16);
static_assert(sizeof(RGBColor) == 6 && sizeof(PlugInMonitor) == 40);
static_assert(sizeof(PlatformData) == sizeof(void*));

PSAPI_ASSERT_OFFSET(FilterRecord, abortProc, 4, 4);
PSAPI_ASSERT_OFFSET(FilterRecord, progressProc, 8, 12);
PSAPI_ASSERT_OFFSET(FilterRecord, parameters, 12, 20);
PSAPI_ASSERT_OFFSET(FilterRecord, imageSize, 16, 28);
PSAPI_ASSERT_OFFSET(FilterRecord, planes, 20, 32);
PSAPI_ASSERT_OFFSET(FilterRecord, filterRect, 22, 34);
PSAPI_ASSERT_OFFSET(FilterRecord, background, 30, 42);
PSAPI_ASSERT_OFFSET(FilterRecord, foreground, 36, 48);
PSAPI_ASSERT_OFFSET(FilterRecord, maxSpace, 44, 56);
PSAPI_ASSERT_OFFSET(FilterRecord, bufferSpace, 48, 60);
PSAPI_ASSERT_OFFSET(FilterRecord, inRect, 52, 64);
PSAPI_ASSERT_OFFSET(FilterRecord, inLoPlane, 60, 72);
PSAPI_ASSERT_OFFSET(FilterRecord, inHiPlane, 62, 74);
PSAPI_ASSERT_OFFSET(FilterRecord, outRect, 64, 76);
PSAPI_ASSERT_OFFSET(FilterRecord, outLoPlane, 72, 84);
PSAPI_ASSERT_OFFSET(FilterRecord, outHiPlane, 74, 86);
PSAPI_ASSERT_OFFSET(FilterRecord, inData, 76, 88);
PSAPI_ASSERT_OFFSET(FilterRecord, inRowBytes, 80, 96);
PSAPI_ASSERT_OFFSET(FilterRecord, outData, 84, 100);
PSAPI_ASSERT_OFFSET(FilterRecord, outRowBytes, 88, 108);
PSAPI_ASSERT_OFFSET(FilterRecord, isFloating, 92, 112);
PSAPI_ASSERT_OFFSET(FilterRecord, haveMask, 93, 113);
PSAPI_ASSERT_OFFSET(FilterRecord, autoMask, 94, 114);
PSAPI_ASSERT_OFFSET(FilterRecord, maskRect, 96, 116);
PSAPI_ASSERT_OFFSET(FilterRecord, maskData, 104, 124);
PSAPI_ASSERT_OFFSET(FilterRecord, maskRowBytes, 108, 132);
PSAPI_ASSERT_OFFSET(FilterRecord, backColor, 112, 136);
PSAPI_ASSERT_OFFSET(FilterRecord, foreColor, 116, 140);
PSAPI_ASSERT_OFFSET(FilterRecord, hostSig, 120, 144);
PSAPI_ASSERT_OFFSET(FilterRecord, hostProc, 124, 148);
PSAPI_ASSERT_OFFSET(FilterRecord, imageMode, 128, 156);
PSAPI_ASSERT_OFFSET(FilterRecord, imageHRes, 132, 160);
PSAPI_ASSERT_OFFSET(FilterRecord, wholeSize, 144, 172);
PSAPI_ASSERT_OFFSET(FilterRecord, monitor, 148, 176);
PSAPI_ASSERT_OFFSET(FilterRecord, platformData, 188, 216);
PSAPI_ASSERT_OFFSET(FilterRecord, displayPixels, 204, 248);
PSAPI_ASSERT_OFFSET(FilterRecord, handleProcs, 208, 256);
PSAPI_ASSERT_OFFSET(FilterRecord, filterCase, 216, 268);
PSAPI_ASSERT_OFFSET(FilterRecord, advanceState, 224, 280);
PSAPI_ASSERT_OFFSET(FilterRecord, getPropertyObsolete, 232, 292);
PSAPI_ASSERT_OFFSET(FilterRecord, inputPadding, 238, 302);
PSAPI_ASSERT_OFFSET(FilterRecord, outputPadding, 240, 304);
PSAPI_ASSERT_OFFSET(FilterRecord, maskPadding, 242, 306);
PSAPI_ASSERT_OFFSET(FilterRecord, samplingSupport, 244, 308);
PSAPI_ASSERT_OFFSET(FilterRecord, inputRate, 248, 312);
PSAPI_ASSERT_OFFSET(FilterRecord, maskRate, 252, 316);
PSAPI_ASSERT_OFFSET(FilterRecord, colorServices, 256, 320);
PSAPI_ASSERT_OFFSET(FilterRecord, inLayerPlanes, 260, 328);
PSAPI_ASSERT_OFFSET(FilterRecord, inTransparencyMask, 262, 330);
PSAPI_ASSERT_OFFSET(FilterRecord, inColumnBytes, 300, 368);
PSAPI_ASSERT_OFFSET(FilterRecord, propertyProcs, 320, 392);
PSAPI_ASSERT_OFFSET(FilterRecord, descriptorParameters, 356, 432);
PSAPI_ASSERT_OFFSET(FilterRecord, documentInfo, 368, 456);
PSAPI_ASSERT_OFFSET(FilterRecord, reserved, 372, 464);
static_assert(sizeof(FilterRecord) == (kWide ? 544 : 452) && alignof(FilterRecord) == 4);

PSAPI_ASSERT_OFFSET(PSPixelMap, bounds, 4, 4);
PSAPI_ASSERT_OFFSET(PSPixelMap, imageMode, 20, 20);
PSAPI_ASSERT_OFFSET(PSPixelMap, rowBytes, 24, 24);
PSAPI_ASSERT_OFFSET(PSPixelMap, colBytes, 28, 28);
PSAPI_ASSERT_OFFSET(PSPixelMap, planeBytes, 32, 32);
PSAPI_ASSERT_OFFSET(PSPixelMap, baseAddr, 36, 40);
PSAPI_ASSERT_OFFSET(PSPixelMap, mat, 40, 48);
PSAPI_ASSERT_OFFSET(PSPixelMap, masks, 44, 56);
PSAPI_ASSERT_OFFSET(PSPixelMap, maskPhaseRow, 48, 64);
PSAPI_ASSERT_OFFSET(PSPixelMap, maskPhaseCol, 52, 68);
PSAPI_ASSERT_OFFSET(PSPixelMap, pixelOverlays, 56, 72);
PSAPI_ASSERT_OFFSET(PSPixelMap, depth, 64, 84);
static_assert(sizeof(PSPixelMap) == (kWide ? 88 : 68));
PSAPI_ASSERT_OFFSET(PSPixelMask, maskData, 4, 8);
PSAPI_ASSERT_OFFSET(PSPixelMask, rowBytes, 8, 16);
PSAPI_ASSERT_OFFSET(PSPixelMask, maskDescription, 16, 24);
static_assert(sizeof(PSPixelMask) == (kWide ? 32 : 20));

PSAPI_ASSERT_OFFSET(ColorServicesInfo, selector, 4, 4);
PSAPI_ASSERT_OFFSET(ColorServicesInfo, sourceSpace, 6, 6);
PSAPI_ASSERT_OFFSET(ColorServicesInfo, resultSpace, 8, 8);
PSAPI_ASSERT_OFFSET(ColorServicesInfo, reservedSourceSpaceInfo, 12, 16);
PSAPI_ASSERT_OFFSET(ColorServicesInfo, colorComponents, 20, 32);
PSAPI_ASSERT_OFFSET(ColorServicesInfo, reserved, 28, 40);
PSAPI_ASSERT_OFFSET(ColorServicesInfo, selectorParameter, 32, 48);
static_assert(sizeof(ColorServicesInfo) == (kWide ? 56 : 36));

PSAPI_ASSERT_OFFSET(HandleProcs, newProc, 4, 8);
PSAPI_ASSERT_OFFSET(HandleProcs, disposeProc, 8, 16);
PSAPI_ASSERT_OFFSET(HandleProcs, lockProc, 20, 40);
PSAPI_ASSERT_OFFSET(HandleProcs, disposeRegularHandleProc, 32, 64);
static_assert(sizeof(HandleProcs) == (kWide ? 72 : 36));

PSAPI_ASSERT_OFFSET(PIDescriptorParameters, playInfo, 2, 2);
PSAPI_ASSERT_OFFSET(PIDescriptorParameters, recordInfo, 4, 4);
PSAPI_ASSERT_OFFSET(PIDescriptorParameters, descriptor, 8, 8);
PSAPI_ASSERT_OFFSET(PIDescriptorParameters, writeDescriptorProcs, 12, 16);
PSAPI_ASSERT_OFFSET(PIDescriptorParameters, readDescriptorProcs, 16, 24);
static_assert(sizeof(PIDescriptorParameters) == (kWide ? 32 : 20));

PSAPI_ASSERT_OFFSET(ReadDescriptorProcs, openReadDescriptorProc, 4, 8);
PSAPI_ASSERT_OFFSET(ReadDescriptorProcs, getKeyProc, 12, 24);
PSAPI_ASSERT_OFFSET(ReadDescriptorProcs, getEnumeratedProc, 40, 80);
PSAPI_ASSERT_OFFSET(ReadDescriptorProcs, getObjectProc, 52, 104);
PSAPI_ASSERT_OFFSET(ReadDescriptorProcs, getPinnedUnitFloatProc, 72, 144);
static_assert(sizeof(ReadDescriptorProcs) == (kWide ? 152 : 76));
PSAPI_ASSERT_OFFSET(WriteDescriptorProcs, openWriteDescriptorProc, 4, 8);
PSAPI_ASSERT_OFFSET(WriteDescriptorProcs, putIntegerProc, 12, 24);
PSAPI_ASSERT_OFFSET(WriteDescriptorProcs, putEnumeratedProc, 36, 72);
PSAPI_ASSERT_OFFSET(WriteDescriptorProcs, putObjectProc, 48, 96);
PSAPI_ASSERT_OFFSET(WriteDescriptorProcs, putScopedObjectProc, 64, 128);
static_assert(sizeof(WriteDescriptorProcs) == (kWide ? 136 : 68));

PSAPI_ASSERT_OFFSET(AboutRecord, platformData, 0, 0);
PSAPI_ASSERT_OFFSET(AboutRecord, sSPBasic, 4, 8);
PSAPI_ASSERT_OFFSET(AboutRecord, reserved, 12, 24);
static_assert(sizeof(AboutRecord) == (kWide ? 272 : 256));

#undef PSAPI_ASSERT_OFFSET

}  // namespace psapi
