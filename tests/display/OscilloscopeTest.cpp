// The oscilloscope: frame, trace points and the pixels they give on a 177 x 145 picture.
#include "display/Oscilloscope.h"

#include "measure/BlockAnalysis.h"
#include "platform/forms/ExtCtrls.h"
#include "platform/forms/Forms.h"
#include "signal/TestSignal.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <vector>

namespace {

constexpr int kScopeWidth = 177;
constexpr int kScopeHeight = 145;

bool IsReferenceRow(int y) {
    return y == kScopeUpperLineY || y == kScopeLowerLineY;
}

// Rows, per column, of black pixels that are not on a reference line.
std::vector<std::vector<int>> TraceRows(const TBitmap& bitmap) {
    std::vector<std::vector<int>> rows(std::size_t(bitmap.Width()));
    for (int x = 0; x < bitmap.Width(); ++x) {
        for (int y = 0; y < bitmap.Height(); ++y) {
            if (!IsReferenceRow(y) && bitmap.Canvas().Pixels(x, y) == clBlack) {
                rows[std::size_t(x)].push_back(y);
            }
        }
    }
    return rows;
}

std::unique_ptr<TBitmap> ScopeWith(const SampleBlock& block, std::int32_t fullRms) {
    auto bitmap = std::make_unique<TBitmap>(kScopeWidth, kScopeHeight);
    DrawScopeFrame(bitmap->Canvas());
    DrawScopeTrace(bitmap->Canvas(), block, fullRms);
    return bitmap;
}

TEST(Oscilloscope, FrameIsWhiteWithBlackReferenceLinesOnly) {
    TBitmap bitmap(kScopeWidth, kScopeHeight);
    bitmap.Canvas().Brush().SetColor(clRed);
    bitmap.Canvas().FillRect({0, 0, kScopeWidth, kScopeHeight}); // an old picture
    bitmap.Canvas().Brush().SetColor(clWhite);
    DrawScopeFrame(bitmap.Canvas());
    for (int y = 0; y < kScopeHeight; ++y) {
        for (int x = 0; x < kScopeWidth; ++x) {
            ASSERT_EQ(bitmap.Canvas().Pixels(x, y), IsReferenceRow(y) ? clBlack : clWhite)
                << x << "," << y;
        }
    }
}

TEST(Oscilloscope, TracePointsSampleEveryFourthSampleScaledToTheRms) {
    SampleBlock block{};
    block[4] = 5;       // k = 1
    block[5] = 30000;   // between two points: never drawn
    block[8] = -5;      // k = 2
    block[796] = 1000;  // k = 199, the last point
    block[800] = 30000; // beyond the 800 samples shown
    const auto points = ScopeTracePoints(block, 3);
    for (int k = 0; k < kScopePoints; ++k) {
        EXPECT_EQ(points[std::size_t(k)].X, k);
    }
    EXPECT_EQ(points[0].Y, 72);
    EXPECT_EQ(points[1].Y, 72 - 53); // 160 / 3 = 53.3, truncated
    EXPECT_EQ(points[2].Y, 72 + 53); // -160 / 3 = -53.3, truncated toward zero
    EXPECT_EQ(points[3].Y, 72);
    EXPECT_EQ(points[199].Y, 72 - 10666);
}

TEST(Oscilloscope, TracePointsUseScaleOneForSilence) {
    SampleBlock block{};
    EXPECT_TRUE(std::ranges::all_of(ScopeTracePoints(block, 0),
                                    [](const TPoint& point) { return point.Y == 72; }));
    block[0] = -32768;
    block[4] = 32767;
    const auto points = ScopeTracePoints(block, 0);
    EXPECT_EQ(points[0].Y, 72 + 1048576);
    EXPECT_EQ(points[1].Y, 72 - 1048544);
}

TEST(Oscilloscope, SilenceDrawsAFlatTraceAtTheZeroLevel) {
    const auto bitmap = ScopeWith(SampleBlock{}, 0);
    const auto rows = TraceRows(*bitmap);
    for (int x = 0; x < kScopeWidth; ++x) {
        EXPECT_EQ(rows[std::size_t(x)], std::vector<int>{kScopeZeroY}) << "column " << x;
        EXPECT_EQ(bitmap->Canvas().Pixels(x, kScopeUpperLineY), clBlack);
        EXPECT_EQ(bitmap->Canvas().Pixels(x, kScopeLowerLineY), clBlack);
    }
}

TEST(Oscilloscope, ASteadySineSpansAboutPlusMinusOnePointFourRmsAndCrossesBothLines) {
    const SampleBlock block = SineBlock(50.0, 10000.0);
    const BlockReading reading = AnalyseBlock(block, 1);
    ASSERT_NEAR(reading.FullRms, 7071, 71); // 10000 / sqrt(2), within 1 %
    // Drawn on a blank picture, so that no reference line hides part of the trace.
    TBitmap bitmap(kScopeWidth, kScopeHeight);
    DrawScopeTrace(bitmap.Canvas(), block, reading.FullRms);
    std::vector<std::vector<int>> rows(kScopeWidth);
    for (int x = 0; x < kScopeWidth; ++x) {
        for (int y = 0; y < kScopeHeight; ++y) {
            if (bitmap.Canvas().Pixels(x, y) == clBlack) {
                rows[std::size_t(x)].push_back(y);
            }
        }
    }
    int top = kScopeHeight;
    int bottom = -1;
    for (int x = 0; x < kScopeWidth; ++x) {
        const auto& column = rows[std::size_t(x)];
        ASSERT_FALSE(column.empty()) << "the trace is broken at column " << x;
        top = std::min(top, column.front());
        bottom = std::max(bottom, column.back());
    }
    // Peak 10000 at 32 pixels per 7071: 45 pixels either side of 72.
    EXPECT_EQ(top, 27);
    EXPECT_EQ(bottom, 117);
    EXPECT_LT(top, kScopeUpperLineY);
    EXPECT_GT(bottom, kScopeLowerLineY);
}

TEST(Oscilloscope, AFullScaleNegativeSampleAtScaleOneIsClippedAtTheBottom) {
    SampleBlock block{};
    block[40] = -32768; // point k = 10 lies at y = 72 + 1048576
    const auto bitmap = ScopeWith(block, 0);
    const auto rows = TraceRows(*bitmap);
    // Columns 9 and 11 run from the zero level to the picture's bottom edge: down to the far
    // point and back up (whose end at 72 starts the next segment).
    std::vector<int> spike;
    for (int y = kScopeZeroY; y < kScopeHeight; ++y) {
        if (!IsReferenceRow(y)) {
            spike.push_back(y);
        }
    }
    for (int x = 0; x < kScopeWidth; ++x) {
        const auto& column = rows[std::size_t(x)];
        if (x == 9 || x == 11) {
            EXPECT_EQ(column, spike) << "column " << x;
        } else if (x == 10) {
            EXPECT_TRUE(column.empty()); // the steep segments leave it at x = 9 and x = 11
        } else {
            EXPECT_EQ(column, std::vector<int>{kScopeZeroY}) << "column " << x;
        }
    }
}

TEST(Oscilloscope, DrawingOnTheImageCreatesItsBitmapWithTheControlsSize) {
    TForm form(nullptr);
    auto* image = form.CreateComponent<TImage>();
    image->SetParent(&form);
    image->SetBounds(8, 16, kScopeWidth, kScopeHeight);
    DrawScopeFrame(*image);
    DrawScopeTrace(*image, SampleBlock{}, 0);
    ASSERT_NE(image->Bitmap(), nullptr);
    EXPECT_EQ(image->Bitmap()->Width(), kScopeWidth);
    EXPECT_EQ(image->Bitmap()->Height(), kScopeHeight);
    const auto rows = TraceRows(*image->Bitmap());
    EXPECT_EQ(rows[0], std::vector<int>{kScopeZeroY});
    EXPECT_EQ(image->Bitmap()->Canvas().Pixels(176, kScopeLowerLineY), clBlack);
}

} // namespace
