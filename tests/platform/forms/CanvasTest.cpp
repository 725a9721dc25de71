// The bitmap canvas: fill, pen moves, the line rasteriser's pixels and its clipping.
#include "platform/forms/Graphics.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <random>
#include <set>
#include <utility>
#include <vector>

namespace {

using PixelSet = std::set<std::pair<int, int>>;

constexpr int kWidth = 177;
constexpr int kHeight = 145;

PixelSet BlackPixels(const TBitmap& bitmap) {
    PixelSet black;
    for (int y = 0; y < bitmap.Height(); ++y) {
        for (int x = 0; x < bitmap.Width(); ++x) {
            if (bitmap.Canvas().Pixels(x, y) == clBlack) {
                black.emplace(x, y);
            }
        }
    }
    return black;
}

PixelSet LinePixels(TPoint from, TPoint to, int width = kWidth, int height = kHeight) {
    TBitmap bitmap(width, height);
    bitmap.Canvas().MoveTo(from.X, from.Y);
    bitmap.Canvas().LineTo(to.X, to.Y);
    return BlackPixels(bitmap);
}

// The whole line, stepped the classic way with an error term and no clipping, keeping the
// pixels inside the bitmap: what the clipped rasteriser must reproduce exactly.
PixelSet ReferenceLinePixels(TPoint from, TPoint to, int width = kWidth, int height = kHeight) {
    const std::int64_t dx = std::int64_t(to.X) - from.X;
    const std::int64_t dy = std::int64_t(to.Y) - from.Y;
    const bool xMajor = std::llabs(dx) >= std::llabs(dy);
    const std::int64_t steps = xMajor ? std::llabs(dx) : std::llabs(dy);
    const std::int64_t across = xMajor ? std::llabs(dy) : std::llabs(dx);
    const std::int64_t stepX = dx < 0 ? -1 : 1;
    const std::int64_t stepY = dy < 0 ? -1 : 1;
    std::int64_t x = from.X;
    std::int64_t y = from.Y;
    std::int64_t error = 0;
    PixelSet pixels;
    for (std::int64_t i = 0; i < steps; ++i) {
        if (x >= 0 && x < width && y >= 0 && y < height) {
            pixels.emplace(int(x), int(y));
        }
        (xMajor ? x : y) += xMajor ? stepX : stepY;
        error += 2 * across;
        if (error > steps) { // strictly past half way: a tie stays on the start's side
            (xMajor ? y : x) += xMajor ? stepY : stepX;
            error -= 2 * steps;
        }
    }
    return pixels;
}

TEST(Bitmap, StartsWhiteWithCanvasDefaults) {
    TBitmap bitmap(3, 2);
    EXPECT_EQ(bitmap.Width(), 3);
    EXPECT_EQ(bitmap.Height(), 2);
    EXPECT_TRUE(BlackPixels(bitmap).empty());
    EXPECT_EQ(bitmap.Canvas().Pixels(2, 1), clWhite);
    EXPECT_EQ(bitmap.Canvas().Brush().Color(), clWhite);
    EXPECT_EQ(bitmap.Canvas().Pen().Color(), clBlack);
    EXPECT_EQ(bitmap.Canvas().PenPos(), (TPoint{0, 0}));
}

TEST(Bitmap, PixelsOutsideReadAsNoneAndIgnoreWrites) {
    TBitmap bitmap(4, 4);
    for (const TPoint point : {TPoint{-1, 0}, TPoint{0, -1}, TPoint{4, 0}, TPoint{0, 4}}) {
        bitmap.Canvas().SetPixels(point.X, point.Y, clRed);
        EXPECT_EQ(bitmap.Canvas().Pixels(point.X, point.Y), clNone);
    }
    bitmap.Canvas().SetPixels(1, 2, clRed);
    EXPECT_EQ(bitmap.Canvas().Pixels(1, 2), clRed);
}

TEST(Bitmap, ColoursKeepTheirRedGreenBlueOrder) {
    TBitmap bitmap(1, 1);
    for (const TColor colour : {clRed, clLime, clBlue, clGreen, TColor(0x123456)}) {
        bitmap.Canvas().SetPixels(0, 0, colour);
        EXPECT_EQ(bitmap.Canvas().Pixels(0, 0), colour);
    }
}

TEST(Canvas, FillRectCoversLeftTopButNotRightBottomAndClips) {
    struct Case {
        TRect Rect;
        int ExpectedCount;
    };
    const Case cases[] = {
        {{1, 1, 3, 4}, 2 * 3},       // inside
        {{-5, -5, 2, 2}, 2 * 2},     // clipped at the top-left
        {{8, 8, 100, 100}, 2 * 2},   // clipped at the bottom-right of a 10 x 10 bitmap
        {{0, 0, 200, 150}, 10 * 10}, // the whole bitmap and more
        {{3, 3, 3, 9}, 0},           // empty
        {{6, 6, 2, 2}, 0},           // inverted
    };
    for (const Case& c : cases) {
        TBitmap bitmap(10, 10);
        bitmap.Canvas().Brush().SetColor(clBlack);
        bitmap.Canvas().FillRect(c.Rect);
        const PixelSet black = BlackPixels(bitmap);
        EXPECT_EQ(int(black.size()), c.ExpectedCount)
            << c.Rect.Left << "," << c.Rect.Top << "," << c.Rect.Right << "," << c.Rect.Bottom;
        for (const auto& [x, y] : black) {
            EXPECT_TRUE(x >= c.Rect.Left && x < c.Rect.Right && y >= c.Rect.Top &&
                        y < c.Rect.Bottom);
        }
    }
}

TEST(Canvas, LineToStopsBeforeItsEndPoint) {
    struct Case {
        TPoint From;
        TPoint To;
        PixelSet Expected;
    };
    const Case cases[] = {
        {{2, 2}, {6, 2}, {{2, 2}, {3, 2}, {4, 2}, {5, 2}}}, // right
        {{6, 2}, {2, 2}, {{6, 2}, {5, 2}, {4, 2}, {3, 2}}}, // left
        {{1, 1}, {1, 4}, {{1, 1}, {1, 2}, {1, 3}}},         // down
        {{1, 4}, {1, 1}, {{1, 4}, {1, 3}, {1, 2}}},         // up
        {{0, 0}, {3, 3}, {{0, 0}, {1, 1}, {2, 2}}},         // diagonal
        {{3, 0}, {0, 3}, {{3, 0}, {2, 1}, {1, 2}}},         // anti-diagonal
        {{5, 5}, {5, 5}, {}},                               // no length, no pixel
        {{2, 3}, {3, 3}, {{2, 3}}},                         // one step, one pixel
    };
    for (const Case& c : cases) {
        EXPECT_EQ(LinePixels(c.From, c.To), c.Expected)
            << c.From.X << "," << c.From.Y << " to " << c.To.X << "," << c.To.Y;
    }
}

TEST(Canvas, HalfWayPixelsStayOnTheStartSide) {
    // Across the major axis, the ideal line passes exactly between two pixels at every other
    // step here; the pixel nearer the start is taken.
    EXPECT_EQ(LinePixels({0, 0}, {4, 2}), (PixelSet{{0, 0}, {1, 0}, {2, 1}, {3, 1}}));
    EXPECT_EQ(LinePixels({4, 2}, {0, 0}), (PixelSet{{4, 2}, {3, 2}, {2, 1}, {1, 1}}));
    EXPECT_EQ(LinePixels({0, 0}, {2, 4}), (PixelSet{{0, 0}, {0, 1}, {1, 2}, {1, 3}}));
    EXPECT_EQ(LinePixels({0, 0}, {3, 1}), (PixelSet{{0, 0}, {1, 0}, {2, 1}}));
}

TEST(Canvas, ConsecutiveLinesJoinWithoutGaps) {
    TBitmap bitmap(10, 10);
    bitmap.Canvas().MoveTo(1, 1);
    bitmap.Canvas().LineTo(5, 1);
    bitmap.Canvas().LineTo(5, 4);
    EXPECT_EQ(bitmap.Canvas().PenPos(), (TPoint{5, 4}));
    EXPECT_EQ(BlackPixels(bitmap),
              (PixelSet{{1, 1}, {2, 1}, {3, 1}, {4, 1}, {5, 1}, {5, 2}, {5, 3}}));
}

TEST(Canvas, ClippedLinesLightExactlyTheWholeLinesPixelsInside) {
    std::mt19937 random(20240611);
    std::uniform_int_distribution<int> coordinate(-400, 600);
    for (int i = 0; i < 2000; ++i) {
        const TPoint from{coordinate(random), coordinate(random)};
        const TPoint to{coordinate(random), coordinate(random)};
        ASSERT_EQ(LinePixels(from, to), ReferenceLinePixels(from, to))
            << from.X << "," << from.Y << " to " << to.X << "," << to.Y;
    }
}

TEST(Canvas, FarAwayEndPointsAreClippedExactly) {
    struct Case {
        TPoint From;
        TPoint To;
    };
    const Case cases[] = {
        {{9, 72}, {10, 72 + 1048576}},   // a sample of -32768 at scale 1
        {{10, 72 + 1048576}, {11, 72}},  // and back up
        {{10, 72 - 1048576}, {11, 72}},  // a sample of +32767 at scale 1
        {{-1000000, 3}, {1000000, 140}}, // shallow, crossing the whole bitmap
        {{50, -1000000}, {60, 1000000}}, // steep
        {{-900000, -900000}, {800000, 700000}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(LinePixels(c.From, c.To), ReferenceLinePixels(c.From, c.To))
            << c.From.X << "," << c.From.Y << " to " << c.To.X << "," << c.To.Y;
    }
}

TEST(Canvas, LinesBetweenExtremeCoordinatesStayExact) {
    // Horizontal across the whole range: the full row.
    PixelSet row;
    for (int x = 0; x < kWidth; ++x) {
        row.emplace(x, 50);
    }
    EXPECT_EQ(LinePixels({INT_MIN, 50}, {INT_MAX, 50}), row);

    // Slope (2^32 - 2) / (2^32 - 1): at x = k the ideal y is k - 1 + (k + 1) / (2^32 - 1), which
    // rounds to k - 1. Computing it needs more than 64 bits.
    PixelSet nearDiagonal;
    for (int x = 1; x <= kHeight; ++x) {
        nearDiagonal.emplace(x, x - 1);
    }
    EXPECT_EQ(LinePixels({INT_MIN, INT_MIN}, {INT_MAX, INT_MAX - 1}), nearDiagonal);

    // Nothing to draw when the whole line passes outside.
    EXPECT_TRUE(LinePixels({INT_MIN, -1}, {INT_MAX, -1}).empty());
    EXPECT_TRUE(LinePixels({INT_MIN, INT_MIN}, {INT_MIN, INT_MAX}).empty());
}

TEST(Canvas, DrawingOnAnEmptyBitmapDoesNothing) {
    TBitmap bitmap(0, 0);
    bitmap.Canvas().FillRect({0, 0, 10, 10});
    bitmap.Canvas().MoveTo(0, 0);
    bitmap.Canvas().LineTo(10, 10);
    EXPECT_EQ(bitmap.Canvas().Pixels(0, 0), clNone);
    EXPECT_EQ(bitmap.Canvas().PenPos(), (TPoint{10, 10}));
}

TEST(Canvas, EveryDrawingOperationReportsAChange) {
    struct Counter {
        int Changes = 0;
        void Changed(TObject*) { ++Changes; }
    } counter;
    TBitmap bitmap(5, 5);
    bitmap.Canvas().OnChange = TNotifyEvent(&counter, &Counter::Changed);
    bitmap.Canvas().FillRect({0, 0, 5, 5});
    bitmap.Canvas().MoveTo(0, 0);
    bitmap.Canvas().LineTo(4, 4);
    bitmap.Canvas().SetPixels(1, 1, clRed);
    EXPECT_EQ(counter.Changes, 3); // moving the pen draws nothing
}

} // namespace
