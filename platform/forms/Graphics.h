// Colours, fonts, and bitmaps with a canvas to draw on.
//
// The canvas and bitmap are plain memory: they need no window and no running application, so
// drawing code can be tested on its own. Pixels are exact and deterministic on every machine.
//
// Thread: a bitmap and its canvas belong to one thread at a time; TFont, TBrush and TPen belong
// to the thread of the control that owns them (the user-interface thread).
#pragma once

#include "platform/forms/Classes.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// A colour as 0x00BBGGRR (red in the low byte). Values with the top byte 0xFF name a colour of
// the desktop's palette by its index (clBtnFace is the face of buttons and forms); ColorToRGB
// turns them into plain values.
enum TColor : std::uint32_t {
    clBlack = 0x000000,
    clMaroon = 0x000080,
    clGreen = 0x008000,
    clOlive = 0x008080,
    clNavy = 0x800000,
    clPurple = 0x800080,
    clTeal = 0x808000,
    clGray = 0x808080,
    clSilver = 0xC0C0C0,
    clRed = 0x0000FF,
    clLime = 0x00FF00,
    clYellow = 0x00FFFF,
    clBlue = 0xFF0000,
    clFuchsia = 0xFF00FF,
    clAqua = 0xFFFF00,
    clWhite = 0xFFFFFF,
    clWindow = 0xFF000005,     // background of text fields
    clWindowText = 0xFF000008, // ordinary text
    clBtnFace = 0xFF00000F,    // face of buttons, forms and group boxes
    clGrayText = 0xFF000011,   // text of disabled controls
    clBtnText = 0xFF000012,    // text on buttons
    clNone = 0x1FFFFFFF,       // no colour: what Pixels reports outside a bitmap
};

// The plain 0x00BBGGRR value of a colour. Palette colours are looked up in the running
// application's palette (fixed light defaults when there is none); plain colours come back
// unchanged.
TColor ColorToRGB(TColor color);

// Character sets a font may request. Kept for fidelity to layouts; text is always Unicode.
using TFontCharset = std::uint8_t;
inline constexpr TFontCharset ANSI_CHARSET = 0;
inline constexpr TFontCharset DEFAULT_CHARSET = 1;

// Font styles combine as bits: fsBold | fsItalic.
enum TFontStyle : unsigned { fsBold = 1, fsItalic = 2, fsUnderline = 4, fsStrikeOut = 8 };
using TFontStyles = unsigned;

struct TPoint {
    int X = 0;
    int Y = 0;
    friend bool operator==(const TPoint&, const TPoint&) = default;
};

// A rectangle in pixels; Right and Bottom lie just outside it.
struct TRect {
    int Left = 0;
    int Top = 0;
    int Right = 0;
    int Bottom = 0;
    int Width() const { return Right - Left; }
    int Height() const { return Bottom - Top; }
    friend bool operator==(const TRect&, const TRect&) = default;
};

// A font description. Height in pixels: negative gives the height of the characters
// themselves (the em size), positive the height of the whole character cell; 0 leaves the
// size to the desktop. Every change fires OnChange, through which the owning control applies
// the font; setting a property to the value it already has is no change.
class TFont : public TObject {
public:
    // Defaults: "MS Sans Serif", height -11, clWindowText, no style, DEFAULT_CHARSET.
    TFont() = default;

    const std::string& Name() const { return FName; }
    void SetName(std::string_view name);
    int Height() const { return FHeight; }
    void SetHeight(int height);
    TColor Color() const { return FColor; }
    void SetColor(TColor color);
    TFontStyles Style() const { return FStyle; }
    void SetStyle(TFontStyles style);
    TFontCharset Charset() const { return FCharset; }
    void SetCharset(TFontCharset charset);
    // Takes every property of `source`; fires OnChange once.
    void Assign(const TFont& source);

    TNotifyEvent OnChange;

private:
    friend class TControl;
    // Copies the properties without firing OnChange.
    void CopyQuietly(const TFont& source);
    void Changed();

    std::string FName = "MS Sans Serif";
    int FHeight = -11;
    TColor FColor = clWindowText;
    TFontStyles FStyle = 0;
    TFontCharset FCharset = DEFAULT_CHARSET;
};

// What FillRect fills with. Solid.
class TBrush : public TObject {
public:
    TColor Color() const { return FColor; }
    void SetColor(TColor color);
    TNotifyEvent OnChange;

private:
    TColor FColor = clWhite;
};

// What lines are drawn with. Solid and one pixel wide.
class TPen : public TObject {
public:
    TColor Color() const { return FColor; }
    void SetColor(TColor color);
    TNotifyEvent OnChange;

private:
    TColor FColor = clBlack;
};

class TBitmap;

// Draws on a bitmap. Coordinates are pixels from the bitmap's top-left corner, y growing
// downwards; whatever falls outside the bitmap is clipped. Drawing allocates nothing, and the
// work of a line is bounded by the bitmap's size however far away its end points lie.
class TCanvas : public TObject {
public:
    TBrush& Brush() { return FBrush; }
    const TBrush& Brush() const { return FBrush; }
    TPen& Pen() { return FPen; }
    const TPen& Pen() const { return FPen; }
    TPoint PenPos() const { return FPenPos; }

    // Fills the pixels from (Left, Top) up to but not including (Right, Bottom) with the brush.
    void FillRect(const TRect& rect);
    // Moves the pen without drawing.
    void MoveTo(int x, int y);
    // Draws from the pen position up to, but not including, (x, y) and moves the pen there.
    // The pixels are those of the closest integer line: along the longer axis every step
    // lights one pixel; across it, a pixel lying exactly half way is taken on the start's side.
    // A line to the pen's own position draws nothing.
    void LineTo(int x, int y);
    // The colour of one pixel, or clNone outside the bitmap.
    TColor Pixels(int x, int y) const;
    void SetPixels(int x, int y, TColor color);

    // Fired after every drawing operation.
    TNotifyEvent OnChange;

private:
    friend class TBitmap;
    explicit TCanvas(TBitmap& bitmap) : FBitmap(bitmap) {}
    void Changed();

    TBitmap& FBitmap;
    TBrush FBrush;
    TPen FPen;
    TPoint FPenPos;
};

// A picture in memory, 32 bits per pixel, starting all white.
class TBitmap : public TObject {
public:
    // Negative sizes count as 0.
    TBitmap(int width, int height);

    int Width() const { return FWidth; }
    int Height() const { return FHeight; }
    TCanvas& Canvas() { return FCanvas; }
    const TCanvas& Canvas() const { return FCanvas; }
    // One row of pixels as 0xFFRRGGBB values, Width() of them; 0 <= row < Height().
    std::uint32_t* ScanLine(int row) { return FPixels.data() + std::size_t(row) * FWidth; }
    const std::uint32_t* ScanLine(int row) const {
        return FPixels.data() + std::size_t(row) * FWidth;
    }

private:
    int FWidth = 0;
    int FHeight = 0;
    std::vector<std::uint32_t> FPixels;
    TCanvas FCanvas{*this};
};
