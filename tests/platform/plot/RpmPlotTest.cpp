// The plot shows each reading in the readout's colour for its verdict, on a picture of the
// requested size, and renders without a display or an application object of the caller's.

#include "platform/plot/RpmPlot.h"

#include <gtest/gtest.h>

#include <QColor>
#include <QImage>

#include <algorithm>
#include <string>
#include <vector>

namespace {

QImage Decode(const std::vector<std::uint8_t>& png) {
    return QImage::fromData(png.data(), static_cast<int>(png.size()), "PNG");
}

QImage Render(const std::vector<RpmPoint>& points, const std::string& title = "run.wav") {
    RpmPlotRequest request;
    request.Title = title;
    request.Points = points;
    request.DurationSeconds = 10.0;
    std::string error;
    const std::vector<std::uint8_t> png = RenderRpmPlotPng(request, error);
    EXPECT_FALSE(png.empty()) << error;
    EXPECT_EQ(error, "");
    return Decode(png);
}

std::vector<RpmPoint> RunOf(PlotVerdict verdict) {
    std::vector<RpmPoint> points;
    for (int i = 0; i < 20; ++i) {
        points.push_back({i * 0.5, 1000 + 50 * i, verdict});
    }
    return points;
}

TEST(RpmPlot, EachVerdictPaintsInItsReadoutColour) {
    // The same run three times, judged differently: only the points differ between the
    // pictures. Anti-aliasing blends a point into the black or grey beneath it, which keeps
    // its hue: lime and dark green never gain red or blue, red never gains green or blue.
    const PlotVerdict verdicts[] = {PlotVerdict::Steady, PlotVerdict::Unsteady,
                                    PlotVerdict::Overload};
    const QRgb readoutColours[] = {0x00FF00, 0x008000, 0xFF0000};
    QImage images[3];
    for (int v = 0; v < 3; ++v) {
        images[v] = Render(RunOf(verdicts[v]));
        ASSERT_FALSE(images[v].isNull());
    }
    int exact[3] = {};
    int wrongHue[3] = {};
    int brightestGreen[3] = {};
    for (int y = 0; y < images[0].height(); ++y) {
        for (int x = 0; x < images[0].width(); ++x) {
            const QRgb pixels[3] = {images[0].pixel(x, y), images[1].pixel(x, y),
                                    images[2].pixel(x, y)};
            if (pixels[0] == pixels[1] && pixels[1] == pixels[2]) {
                continue;
            }
            for (int v = 0; v < 3; ++v) {
                const QRgb pixel = pixels[v];
                exact[v] += (pixel & 0xFFFFFF) == readoutColours[v];
                const bool greenHue = qRed(pixel) == qBlue(pixel);
                const bool redHue = qGreen(pixel) == qBlue(pixel);
                wrongHue[v] += verdicts[v] == PlotVerdict::Overload ? !redHue : !greenHue;
                brightestGreen[v] = std::max(brightestGreen[v], qGreen(pixel) - qRed(pixel));
            }
        }
    }
    for (int v = 0; v < 3; ++v) {
        SCOPED_TRACE(v);
        EXPECT_GE(exact[v], 20) << "at least the centre of each of the twenty points";
        EXPECT_EQ(wrongHue[v], 0);
    }
    EXPECT_EQ(brightestGreen[0], 255) << "lime";
    EXPECT_EQ(brightestGreen[1], 128) << "dark green";
}

TEST(RpmPlot, HasTheRequestedSizeAndRendersAgain) {
    RpmPlotRequest request;
    request.Title = "sized.wav";
    const std::vector<RpmPoint> points = RunOf(PlotVerdict::Steady);
    request.Points = points;
    request.WidthPixels = 640;
    request.HeightPixels = 360;
    for (int attempt = 0; attempt < 2; ++attempt) {
        std::string error;
        const QImage image = Decode(RenderRpmPlotPng(request, error));
        ASSERT_FALSE(image.isNull()) << error;
        EXPECT_EQ(image.width(), 640);
        EXPECT_EQ(image.height(), 360);
    }
}

TEST(RpmPlot, TitleIsDrawn) {
    const std::vector<RpmPoint> points = RunOf(PlotVerdict::Steady);
    EXPECT_NE(Render(points, "first.wav, 1 impulse per revolution"),
              Render(points, "second.wav, 2 impulses per revolution"));
}

TEST(RpmPlot, FlatOrEmptyRunsStillRender) {
    const std::vector<std::vector<RpmPoint>> runs{
        {},
        {{0.0, 0, PlotVerdict::Unsteady}},
        {{0.0, 1500, PlotVerdict::Steady}, {0.37, 1500, PlotVerdict::Steady}},
    };
    for (const std::vector<RpmPoint>& run : runs) {
        EXPECT_FALSE(Render(run).isNull()) << run.size() << " points";
    }
}

} // namespace
