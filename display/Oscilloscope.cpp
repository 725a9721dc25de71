#include "display/Oscilloscope.h"

std::array<TPoint, kScopePoints> ScopeTracePoints(const SampleBlock& block, std::int32_t fullRms) {
    const std::int32_t scale = fullRms == 0 ? 1 : fullRms;
    std::array<TPoint, kScopePoints> points;
    for (int k = 0; k < kScopePoints; ++k) {
        // |sample * 32| <= 2^20: no overflow, and C++ division truncates toward zero.
        const std::int32_t sample = block[std::size_t(k) * kScopeSampleStep];
        points[std::size_t(k)] = {k, kScopeZeroY - (sample * kScopePixelsPerRms) / scale};
    }
    return points;
}

void DrawScopeFrame(TCanvas& canvas) {
    canvas.FillRect(kScopeClearRect);
    canvas.MoveTo(0, kScopeUpperLineY);
    canvas.LineTo(kScopeLineEndX, kScopeUpperLineY);
    canvas.MoveTo(0, kScopeLowerLineY);
    canvas.LineTo(kScopeLineEndX, kScopeLowerLineY);
}

void DrawScopeFrame(TImage& image) {
    DrawScopeFrame(image.Canvas());
}

void DrawScopeTrace(TCanvas& canvas, const SampleBlock& block, std::int32_t fullRms) {
    const std::array<TPoint, kScopePoints> points = ScopeTracePoints(block, fullRms);
    canvas.MoveTo(points[0].X, points[0].Y);
    for (std::size_t k = 1; k < points.size(); ++k) {
        canvas.LineTo(points[k].X, points[k].Y);
    }
}

void DrawScopeTrace(TImage& image, const SampleBlock& block, std::int32_t fullRms) {
    DrawScopeTrace(image.Canvas(), block, fullRms);
}
