#include "platform/plot/RpmPlot.h"

#include <QBuffer>
#include <QByteArray>
#include <QColor>
#include <QCoreApplication>
#include <QFont>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QPen>
#include <QRectF>
#include <QString>
#include <QtGlobal>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <memory>

namespace {

// The readout's colours, so a point means at a glance what the big digits would have shown.
const QColor kSteadyColour(0, 255, 0);
const QColor kUnsteadyColour(0, 128, 0);
const QColor kOverloadColour(255, 0, 0);

const QColor kBackground(0, 0, 0);
const QColor kGridColour(48, 48, 48);
const QColor kAxisColour(200, 200, 200);
const QColor kTitleColour(255, 255, 255);

constexpr int kMarginLeft = 90;
constexpr int kMarginRight = 24;
constexpr int kMarginTop = 56;
constexpr int kMarginBottom = 64;

QColor ColourOf(PlotVerdict verdict) {
    switch (verdict) {
    case PlotVerdict::Steady:
        return kSteadyColour;
    case PlotVerdict::Unsteady:
        return kUnsteadyColour;
    case PlotVerdict::Overload:
        return kOverloadColour;
    }
    return kUnsteadyColour;
}

// An axis range widened to round numbers, with the step between labelled ticks.
struct AxisScale {
    double Low = 0.0;
    double High = 1.0;
    double Step = 1.0;
};

// Steps of 1, 2 or 5 times a power of ten give labels people read without effort.
double NiceStep(double span, int wantedTicks, double smallestStep) {
    const double raw = std::max(span / wantedTicks, smallestStep);
    const double power = std::pow(10.0, std::floor(std::log10(raw)));
    for (const double factor : {1.0, 2.0, 5.0, 10.0}) {
        if (factor * power >= raw) {
            return std::max(factor * power, smallestStep);
        }
    }
    return 10.0 * power;
}

AxisScale ScaleFor(double low, double high, int wantedTicks, double smallestStep) {
    if (!(high > low)) {
        // A flat run still needs a visible band around its value.
        const double pad = std::max(smallestStep, std::abs(high) * 0.01);
        low -= pad;
        high += pad;
    }
    AxisScale scale;
    scale.Step = NiceStep(high - low, wantedTicks, smallestStep);
    scale.Low = std::floor(low / scale.Step) * scale.Step;
    scale.High = std::ceil(high / scale.Step) * scale.Step;
    if (scale.High <= scale.Low) {
        scale.High = scale.Low + scale.Step;
    }
    return scale;
}

QString TickLabel(double value, double step) {
    // Show decimals only where the step needs them.
    const int decimals = step >= 1.0 ? 0 : static_cast<int>(std::ceil(-std::log10(step)));
    return QString::number(value, 'f', std::clamp(decimals, 0, 6));
}

void DrawLegend(QPainter& painter, const QRectF& area, const QFont& font) {
    painter.setFont(font);
    const QFontMetrics metrics(font);
    const struct {
        const char* Label;
        QColor Colour;
    } entries[] = {
        {"steady", kSteadyColour}, {"unsteady", kUnsteadyColour}, {"overload", kOverloadColour}};
    const double marker = metrics.height() * 0.6;
    double x = area.right();
    const double y = area.top() - metrics.height() - 6;
    for (int i = 2; i >= 0; --i) {
        const QString text = QString::fromLatin1(entries[i].Label);
        x -= metrics.horizontalAdvance(text);
        painter.setPen(kAxisColour);
        painter.drawText(QPointF(x, y + metrics.ascent()), text);
        x -= marker * 1.6;
        painter.setPen(Qt::NoPen);
        painter.setBrush(entries[i].Colour);
        painter.drawEllipse(QPointF(x + marker * 0.5, y + metrics.height() * 0.5), marker * 0.5,
                            marker * 0.5);
        x -= marker * 1.5;
    }
}

QImage Render(const RpmPlotRequest& request) {
    const int width = std::clamp(request.WidthPixels, 320, 8000);
    const int height = std::clamp(request.HeightPixels, 240, 8000);
    QImage image(width, height, QImage::Format_RGB32);
    image.fill(kBackground);

    double lastTime = 0.0;
    std::int32_t lowRpm = std::numeric_limits<std::int32_t>::max();
    std::int32_t highRpm = std::numeric_limits<std::int32_t>::min();
    for (const RpmPoint& point : request.Points) {
        lastTime = std::max(lastTime, point.TimeSeconds);
        lowRpm = std::min(lowRpm, point.Rpm);
        highRpm = std::max(highRpm, point.Rpm);
    }
    if (request.Points.empty()) {
        lowRpm = 0;
        highRpm = 0;
    }
    const AxisScale xScale = ScaleFor(0.0, std::max(request.DurationSeconds, lastTime), 8, 0.001);
    const AxisScale yScale = ScaleFor(lowRpm, highRpm, 6, 1.0);

    const QRectF plotArea(kMarginLeft, kMarginTop, width - kMarginLeft - kMarginRight,
                          height - kMarginTop - kMarginBottom);
    const auto toX = [&](double seconds) {
        return plotArea.left() +
               (seconds - xScale.Low) / (xScale.High - xScale.Low) * plotArea.width();
    };
    const auto toY = [&](double rpm) {
        return plotArea.bottom() -
               (rpm - yScale.Low) / (yScale.High - yScale.Low) * plotArea.height();
    };

    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing, true);
    painter.setRenderHint(QPainter::TextAntialiasing, true);

    QFont labelFont(QStringLiteral("Liberation Sans"));
    labelFont.setPixelSize(14);
    QFont titleFont = labelFont;
    titleFont.setPixelSize(18);
    titleFont.setBold(true);
    const QFontMetrics labelMetrics(labelFont);

    // Grid and tick labels.
    painter.setFont(labelFont);
    const int xTicks = static_cast<int>(std::lround((xScale.High - xScale.Low) / xScale.Step));
    for (int i = 0; i <= xTicks; ++i) {
        const double value = xScale.Low + i * xScale.Step;
        const double x = toX(value);
        painter.setPen(QPen(kGridColour, 1.0));
        painter.drawLine(QPointF(x, plotArea.top()), QPointF(x, plotArea.bottom()));
        const QString text = TickLabel(value, xScale.Step);
        painter.setPen(kAxisColour);
        painter.drawText(QPointF(x - labelMetrics.horizontalAdvance(text) / 2.0,
                                 plotArea.bottom() + 6 + labelMetrics.ascent()),
                         text);
    }
    const int yTicks = static_cast<int>(std::lround((yScale.High - yScale.Low) / yScale.Step));
    for (int i = 0; i <= yTicks; ++i) {
        const double value = yScale.Low + i * yScale.Step;
        const double y = toY(value);
        painter.setPen(QPen(kGridColour, 1.0));
        painter.drawLine(QPointF(plotArea.left(), y), QPointF(plotArea.right(), y));
        const QString text = TickLabel(value, yScale.Step);
        painter.setPen(kAxisColour);
        painter.drawText(QPointF(plotArea.left() - 8 - labelMetrics.horizontalAdvance(text),
                                 y + labelMetrics.ascent() / 2.0 - 1),
                         text);
    }

    // Axes and their units.
    painter.setPen(QPen(kAxisColour, 1.0));
    painter.setBrush(Qt::NoBrush);
    painter.drawRect(plotArea);
    const QString xLabel = QStringLiteral("time (s)");
    painter.drawText(
        QPointF(plotArea.center().x() - labelMetrics.horizontalAdvance(xLabel) / 2.0, height - 12),
        xLabel);
    const QString yLabel = QStringLiteral("speed (RPM)");
    painter.save();
    painter.translate(18 + labelMetrics.ascent(), plotArea.center().y());
    painter.rotate(-90);
    painter.drawText(QPointF(-labelMetrics.horizontalAdvance(yLabel) / 2.0, 0), yLabel);
    painter.restore();

    // Title and legend.
    painter.setFont(titleFont);
    painter.setPen(kTitleColour);
    const QFontMetrics titleMetrics(titleFont);
    const QString title =
        titleMetrics.elidedText(QString::fromStdString(request.Title), Qt::ElideMiddle,
                                static_cast<int>(plotArea.width() * 0.6));
    painter.drawText(QPointF(plotArea.left(), 16 + titleMetrics.ascent()), title);
    DrawLegend(painter, plotArea, labelFont);

    // The readings: smaller points when they crowd the width, so a long run stays readable.
    const double radius =
        request.Points.size() > static_cast<std::size_t>(plotArea.width() / 2) ? 1.6 : 3.5;
    painter.setClipRect(plotArea.adjusted(-radius, -radius, radius, radius));
    painter.setPen(Qt::NoPen);
    for (const RpmPoint& point : request.Points) {
        painter.setBrush(ColourOf(point.Verdict));
        painter.drawEllipse(QPointF(toX(point.TimeSeconds), toY(point.Rpm)), radius, radius);
    }
    painter.end();
    return image;
}

} // namespace

namespace {

// Qt's start-up chatter (missing runtime folder, font fallbacks) means nothing to someone
// asking for a PNG and would mix into the program's own error lines.
void QuietMessages(QtMsgType type, const QMessageLogContext&, const QString& message) {
    if (type == QtCriticalMsg || type == QtFatalMsg) {
        std::fprintf(stderr, "%s\n", qPrintable(message));
    }
}

struct QuietQt {
    QtMessageHandler Previous = qInstallMessageHandler(QuietMessages);
    ~QuietQt() { qInstallMessageHandler(Previous); }
};

} // namespace

std::vector<std::uint8_t> RenderRpmPlotPng(const RpmPlotRequest& request, std::string& error) {
    const QuietQt quiet;
    // Text needs a GUI application object for its fonts; a command-line caller has none, and
    // the offscreen platform lets it draw without a display. The application may take its
    // options out of argv, so every call hands it a fresh copy; they outlive it.
    char arg0[] = "velmorant-plot";
    char arg1[] = "-platform";
    char arg2[] = "offscreen";
    char* argv[] = {arg0, arg1, arg2, nullptr};
    int argc = 3;
    std::unique_ptr<QGuiApplication> ownApplication;
    if (QCoreApplication::instance() == nullptr) {
        ownApplication = std::make_unique<QGuiApplication>(argc, argv);
    } else if (qobject_cast<QGuiApplication*>(QCoreApplication::instance()) == nullptr) {
        error = "cannot draw the plot: the program runs a non-graphical Qt application";
        return {};
    }

    const QImage image = Render(request);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    if (image.isNull() || !image.save(&buffer, "PNG")) {
        error = "cannot encode the plot as PNG";
        return {};
    }
    return std::vector<std::uint8_t>(bytes.begin(), bytes.end());
}
