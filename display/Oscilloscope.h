// The oscilloscope: a white picture with reference lines at +1 and -1 RMS and the first 800
// samples of a block drawn over it, scaled to the block's RMS level.
//
// Coordinates are pixels of the scope's picture, y growing downwards. The scope picture is
// 177 x 145 pixels; what falls outside is clipped.
//
// Thread: user-interface thread for the TImage overloads; the others may be called from any
// thread on a canvas that thread owns.
#pragma once

#include "measure/BlockAnalysis.h"
#include "platform/forms/ExtCtrls.h"
#include "platform/forms/Graphics.h"

#include <array>
#include <cstdint>

inline constexpr TRect kScopeClearRect{0, 0, 200, 150}; // filled with the canvas brush
inline constexpr int kScopeUpperLineY = 40;             // +1 RMS
inline constexpr int kScopeLowerLineY = 104;            // -1 RMS
inline constexpr int kScopeLineEndX = 800;              // reference lines run from x = 0
inline constexpr int kScopeZeroY = 72;                  // the trace's zero level (not drawn)
inline constexpr int kScopePixelsPerRms = 32;
inline constexpr int kScopePoints = 200;   // at x = 0 .. 199
inline constexpr int kScopeSampleStep = 4; // samples per pixel: samples 0, 4, ..., 796

// The trace's points: x = k, y = 72 - (sample[4k] * 32) / scale for k = 0 .. 199, with integer
// division truncating toward zero and scale = fullRms, or 1 when fullRms is 0. fullRms is the
// reading's FullRms (0..32768); a sample of -32768 at scale 1 lies at y = 1048648.
std::array<TPoint, kScopePoints> ScopeTracePoints(const SampleBlock& block, std::int32_t fullRms);

// Clears the picture with the canvas brush and draws the two reference lines with its pen.
void DrawScopeFrame(TCanvas& canvas);
void DrawScopeFrame(TImage& image);

// Draws the trace through ScopeTracePoints with the canvas pen, over what is there.
void DrawScopeTrace(TCanvas& canvas, const SampleBlock& block, std::int32_t fullRms);
void DrawScopeTrace(TImage& image, const SampleBlock& block, std::int32_t fullRms);
