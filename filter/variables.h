// The embedded filter's variable cells in the execution context, by byte offset, and
// its put-array cells. The set-up entry writes them; the pixel entry reads them.
// No Windows headers.
#pragma once

#include <cstdint>

#include "runtime/context.h"

namespace tessellon::tiling {

// Index into ExecutionContext::vars of the variable at a context byte offset.
constexpr int Var(int offset) { return (offset - 0x8C) / 4; }

// Written by the set-up, read by every pixel.
constexpr int kCellOut = Var(0x8C);
constexpr int kCellAcc = Var(0x90);
constexpr int kCellSrc = Var(0x94);
constexpr int kCellProfileX = Var(0x98);
constexpr int kCellProfileY = Var(0x9C);
constexpr int kScale = Var(0xA0);
constexpr int kOverlapX = Var(0xA4);
constexpr int kOverlapY = Var(0xA8);
constexpr int kOverlapXAbs = Var(0xAC);
constexpr int kOverlapYAbs = Var(0xB0);
constexpr int kTileW = Var(0xB4);
constexpr int kTileH = Var(0xB8);
constexpr int kStepX = Var(0xBC);
constexpr int kStepY = Var(0xC0);
constexpr int kWeightFull = Var(0xC4);
constexpr int kBgLo = Var(0xC8);
constexpr int kBgHi = Var(0xCC);
constexpr int kProfileLenX = Var(0xD0);
constexpr int kProfileLenY = Var(0xD4);
constexpr int kTileX0 = Var(0xD8);
constexpr int kTileX1 = Var(0xDC);
constexpr int kBandXLo = Var(0xE0);
constexpr int kBandXHi = Var(0xE4);
constexpr int kWeightXAfter = Var(0xE8);
constexpr int kWeightXBefore = Var(0xEC);
constexpr int kBandXWidth = Var(0xF0);
constexpr int kTileY0 = Var(0xF4);
constexpr int kTileY1 = Var(0xF8);
constexpr int kBandYLo = Var(0xFC);
constexpr int kBandYHi = Var(0x100);
constexpr int kWeightYAfter = Var(0x104);
constexpr int kWeightYBefore = Var(0x108);
constexpr int kBandYWidth = Var(0x10C);

// Working cells of the set-up.
constexpr int kPass = Var(0x110);
constexpr int kProfileBase = Var(0x114);
constexpr int kProfileLen = Var(0x118);
constexpr int kAmplitude = Var(0x11C);
constexpr int kDirection = Var(0x120);
constexpr int kFrequency = Var(0x124);
constexpr int kRunningMax = Var(0x128);
constexpr int kPhaseOffset = Var(0x12C);
constexpr int kLoopOuter = Var(0x130);
constexpr int kLoopInner = Var(0x134);
constexpr int kLevelAmp = Var(0x138);
constexpr int kFirstPoint = Var(0x13C);
constexpr int kNextPoint = Var(0x140);
constexpr int kSegments = Var(0x144);
constexpr int kSegmentPos = Var(0x148);
constexpr int kSegment = Var(0x14C);
constexpr int kPreviousPoint = Var(0x150);
constexpr int kProfileValue = Var(0x154);
constexpr int kCellIndex = Var(0x158);
constexpr int kRunningMin = Var(0x15C);
constexpr int kZigzagPos = Var(0x160);

// Working cells of the pixel entry.
constexpr int kTilePx = Var(0x164);
constexpr int kTilePy = Var(0x168);
constexpr int kSrcX0 = Var(0x16C);
constexpr int kSrcY0 = Var(0x170);
constexpr int kProfYHere = Var(0x174);
constexpr int kProfXHere = Var(0x178);
constexpr int kProfYPrev = Var(0x17C);
constexpr int kProfYNext = Var(0x180);
constexpr int kProfXPrev = Var(0x184);
constexpr int kProfXNext = Var(0x188);
constexpr int kSeamXLo = Var(0x18C);
constexpr int kSeamXHi = Var(0x190);
constexpr int kSeamYLo = Var(0x194);
constexpr int kSeamYHi = Var(0x198);
constexpr int kCopyY = Var(0x19C);
constexpr int kCopyX = Var(0x1A0);
constexpr int kCopyAlpha = Var(0x1A4);
constexpr int kBgDistance = Var(0x1A8);
constexpr int kCopyWeight = Var(0x1AC);
constexpr int kPreviousValue = Var(0x1B0);
constexpr int kPreviousAlpha = Var(0x1B4);

static_assert(kPreviousAlpha == 74, "the filter uses variables 35..109 of the context");

// Put-array cells.
constexpr std::int32_t kOutCell = 0;
constexpr std::int32_t kAccCell = 5;
constexpr std::int32_t kSrcCell = 10;
constexpr std::int32_t kProfileXCell = 100;
constexpr std::int32_t kProfileYCell = 20100;

}  // namespace tessellon::tiling
