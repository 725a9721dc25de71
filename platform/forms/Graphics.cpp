#include "platform/forms/Graphics.h"

#include <QGuiApplication>
#include <QPalette>

#include <algorithm>
#include <cstdlib>

namespace {

constexpr std::uint32_t kSystemColourMark = 0xFF000000;

// Palette indices of the desktop colours this library names.
constexpr std::uint32_t kColourWindow = 5;
constexpr std::uint32_t kColourWindowText = 8;
constexpr std::uint32_t kColourBtnFace = 15;
constexpr std::uint32_t kColourGrayText = 17;
constexpr std::uint32_t kColourBtnText = 18;

TColor FromRgb(int red, int green, int blue) {
    return TColor(std::uint32_t(red) | (std::uint32_t(green) << 8) | (std::uint32_t(blue) << 16));
}

// Without a running GUI application there is no palette to ask; these are the usual light
// desktop's values.
TColor FallbackSystemColour(std::uint32_t index) {
    switch (index) {
    case kColourWindow:
        return clWhite;
    case kColourWindowText:
    case kColourBtnText:
        return clBlack;
    case kColourGrayText:
        return TColor(0x6D6D6D);
    default:
        return TColor(0xF0F0F0);
    }
}

// A bitmap pixel (0xFFRRGGBB) for a colour.
std::uint32_t PixelValue(TColor color) {
    const std::uint32_t rgb = ColorToRGB(color);
    const std::uint32_t red = rgb & 0xFF;
    const std::uint32_t green = (rgb >> 8) & 0xFF;
    const std::uint32_t blue = (rgb >> 16) & 0xFF;
    return 0xFF000000U | (red << 16) | (green << 8) | blue;
}

TColor ColourOfPixel(std::uint32_t pixel) {
    return FromRgb(int((pixel >> 16) & 0xFF), int((pixel >> 8) & 0xFF), int(pixel & 0xFF));
}

// Lights the pixels of the line from `from` up to, but not including, `to`, inside a
// width x height bitmap.
//
// Along the major axis (the longer one; x when both are equal) step i = 0 .. steps - 1 lights
// one pixel; across it the offset is i * minor / steps rounded to the nearest integer, halves
// toward the start: m(i) = floor((2 i minor + steps - 1) / (2 steps)). Clipping first narrows i
// to the steps whose major coordinate lies inside the bitmap and computes m there in closed
// form, so the pixels drawn are exactly those of the whole line that fall inside, and the work
// is bounded by the bitmap's size however far away the end points are.
void DrawLineClipped(std::uint32_t* pixels, int width, int height, TPoint from, TPoint to,
                     std::uint32_t value) {
    if (width <= 0 || height <= 0) {
        return;
    }
    const std::int64_t dx = std::int64_t(to.X) - from.X;
    const std::int64_t dy = std::int64_t(to.Y) - from.Y;
    const bool xMajor = std::llabs(dx) >= std::llabs(dy);
    const std::int64_t steps = xMajor ? std::llabs(dx) : std::llabs(dy);
    const std::int64_t minor = xMajor ? std::llabs(dy) : std::llabs(dx);
    if (steps == 0) {
        return;
    }
    const std::int64_t majorStart = xMajor ? from.X : from.Y;
    const std::int64_t minorStart = xMajor ? from.Y : from.X;
    const std::int64_t majorSign = (xMajor ? dx : dy) < 0 ? -1 : 1;
    const std::int64_t minorSign = (xMajor ? dy : dx) < 0 ? -1 : 1;
    const std::int64_t majorExtent = xMajor ? width : height;
    const std::int64_t minorExtent = xMajor ? height : width;

    std::int64_t first = 0;
    std::int64_t last = steps - 1;
    if (majorSign > 0) {
        first = std::max(first, -majorStart);
        last = std::min(last, majorExtent - 1 - majorStart);
    } else {
        first = std::max(first, majorStart - (majorExtent - 1));
        last = std::min(last, majorStart);
    }
    if (first > last) {
        return;
    }

    // Coordinates are 32-bit, so steps and minor stay below 2^33, but first * minor may not
    // fit in 64 bits: the starting offset is computed once in 128 bits, then stepped with the
    // remainder, which stays below 2 * steps.
    const std::int64_t twoSteps = 2 * steps;
    const __int128 numerator = __int128(2) * first * minor + (steps - 1);
    std::int64_t offset = std::int64_t(numerator / twoSteps);
    std::int64_t remainder = std::int64_t(numerator % twoSteps);
    for (std::int64_t i = first; i <= last; ++i) {
        const std::int64_t major = majorStart + majorSign * i;
        const std::int64_t across = minorStart + minorSign * offset;
        if (across >= 0 && across < minorExtent) {
            const std::int64_t x = xMajor ? major : across;
            const std::int64_t y = xMajor ? across : major;
            pixels[y * width + x] = value;
        } else if ((minorSign > 0) == (across >= minorExtent)) {
            break; // moving away from the bitmap: no later step comes back
        }
        remainder += 2 * minor;
        if (remainder >= twoSteps) {
            remainder -= twoSteps;
            ++offset;
        }
    }
}

} // namespace

TColor ColorToRGB(TColor color) {
    const std::uint32_t value = color;
    if ((value & kSystemColourMark) != kSystemColourMark) {
        return TColor(value & 0x00FFFFFF);
    }
    const std::uint32_t index = value & 0xFF;
    if (qobject_cast<QGuiApplication*>(QCoreApplication::instance()) == nullptr) {
        return FallbackSystemColour(index);
    }
    const QPalette palette = QGuiApplication::palette();
    QColor colour;
    switch (index) {
    case kColourWindow:
        colour = palette.color(QPalette::Base);
        break;
    case kColourWindowText:
        colour = palette.color(QPalette::WindowText);
        break;
    case kColourGrayText:
        colour = palette.color(QPalette::Disabled, QPalette::WindowText);
        break;
    case kColourBtnText:
        colour = palette.color(QPalette::ButtonText);
        break;
    case kColourBtnFace:
    default:
        colour = palette.color(QPalette::Window);
        break;
    }
    return FromRgb(colour.red(), colour.green(), colour.blue());
}

// Setting a property to the value it has changes nothing, so a readout recoloured with the
// same colour block after block costs nothing.

void TFont::SetName(std::string_view name) {
    if (name != FName) {
        FName = name;
        Changed();
    }
}

void TFont::SetHeight(int height) {
    if (height != FHeight) {
        FHeight = height;
        Changed();
    }
}

void TFont::SetColor(TColor color) {
    if (color != FColor) {
        FColor = color;
        Changed();
    }
}

void TFont::SetStyle(TFontStyles style) {
    if (style != FStyle) {
        FStyle = style;
        Changed();
    }
}

void TFont::SetCharset(TFontCharset charset) {
    if (charset != FCharset) {
        FCharset = charset;
        Changed();
    }
}

void TFont::Assign(const TFont& source) {
    CopyQuietly(source);
    Changed();
}

void TFont::CopyQuietly(const TFont& source) {
    FName = source.FName;
    FHeight = source.FHeight;
    FColor = source.FColor;
    FStyle = source.FStyle;
    FCharset = source.FCharset;
}

void TFont::Changed() {
    OnChange(this);
}

void TBrush::SetColor(TColor color) {
    FColor = color;
    OnChange(this);
}

void TPen::SetColor(TColor color) {
    FColor = color;
    OnChange(this);
}

void TCanvas::FillRect(const TRect& rect) {
    const int left = std::max(rect.Left, 0);
    const int top = std::max(rect.Top, 0);
    const int right = std::min(rect.Right, FBitmap.Width());
    const int bottom = std::min(rect.Bottom, FBitmap.Height());
    if (left < right && top < bottom) {
        const std::uint32_t value = PixelValue(FBrush.Color());
        for (int y = top; y < bottom; ++y) {
            std::uint32_t* row = FBitmap.ScanLine(y);
            std::fill(row + left, row + right, value);
        }
    }
    Changed();
}

void TCanvas::MoveTo(int x, int y) {
    FPenPos = {x, y};
}

void TCanvas::LineTo(int x, int y) {
    const TPoint from = FPenPos;
    FPenPos = {x, y};
    if (FBitmap.Width() > 0 && FBitmap.Height() > 0) {
        DrawLineClipped(FBitmap.ScanLine(0), FBitmap.Width(), FBitmap.Height(), from, FPenPos,
                        PixelValue(FPen.Color()));
    }
    Changed();
}

TColor TCanvas::Pixels(int x, int y) const {
    if (x < 0 || y < 0 || x >= FBitmap.Width() || y >= FBitmap.Height()) {
        return clNone;
    }
    return ColourOfPixel(FBitmap.ScanLine(y)[x]);
}

void TCanvas::SetPixels(int x, int y, TColor color) {
    if (x < 0 || y < 0 || x >= FBitmap.Width() || y >= FBitmap.Height()) {
        return;
    }
    FBitmap.ScanLine(y)[x] = PixelValue(color);
    Changed();
}

void TCanvas::Changed() {
    OnChange(this);
}

TBitmap::TBitmap(int width, int height)
    : FWidth(std::max(width, 0)), FHeight(std::max(height, 0)),
      FPixels(std::size_t(FWidth) * std::size_t(FHeight), 0xFFFFFFFFU) {}
