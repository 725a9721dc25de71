// Shapes and images.
//
// Thread: user-interface thread only.
#pragma once

#include "platform/forms/Controls.h"
#include "platform/forms/Graphics.h"

#include <memory>

enum TShapeType { stRectangle, stEllipse };

// A filled geometric shape: the brush fills it, the pen (one pixel) outlines it.
class TShape : public TGraphicControl {
public:
    explicit TShape(TComponent* owner);
    ~TShape() override;

    TShapeType Shape() const { return FShape; }
    void SetShape(TShapeType shape);
    TBrush& Brush() { return FBrush; } // default solid white
    const TBrush& Brush() const { return FBrush; }
    TPen& Pen() { return FPen; } // default solid black
    const TPen& Pen() const { return FPen; }

private:
    void StyleChanged(TObject* sender);

    TShapeType FShape = stRectangle;
    TBrush FBrush;
    TPen FPen;
};

// Shows a bitmap at its top-left corner. Until its canvas is first used the image is empty
// (it shows its parent's background).
class TImage : public TGraphicControl {
public:
    explicit TImage(TComponent* owner);
    ~TImage() override;

    // The canvas of the image's bitmap. On first use it creates the bitmap with the control's
    // size at that moment, all white, with the canvas defaults: solid white brush, solid black
    // pen one pixel wide. Drawing shows on screen at the next repaint.
    TCanvas& Canvas();
    // The bitmap, or nullptr while the canvas has not been used.
    const TBitmap* Bitmap() const { return FBitmap.get(); }

private:
    void CanvasChanged(TObject* sender);

    std::unique_ptr<TBitmap> FBitmap;
};
