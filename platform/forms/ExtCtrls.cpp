#include "platform/forms/ExtCtrls.h"

#include "platform/forms/FormsPrivate.h"

#include <QImage>
#include <QPainter>
#include <QPaintEvent>

namespace {

using FormsImpl::ControlPeer;

class ShapeWidget final : public QWidget {
public:
    explicit ShapeWidget(const TShape& shape) : FShape(shape) {}

protected:
    void paintEvent(QPaintEvent* /*event*/) override {
        QPainter painter(this);
        painter.setPen(QPen(FormsImpl::ToQColor(FShape.Pen().Color()), 0));
        painter.setBrush(FormsImpl::ToQColor(FShape.Brush().Color()));
        // With a one-pixel pen the outline covers the outermost pixels of the control.
        const QRect outline(0, 0, width() - 1, height() - 1);
        if (FShape.Shape() == stEllipse) {
            painter.drawEllipse(outline);
        } else {
            painter.drawRect(outline);
        }
    }

private:
    const TShape& FShape;
};

class ImageWidget final : public QWidget {
public:
    explicit ImageWidget(const TImage& image) : FImage(image) {}

protected:
    void paintEvent(QPaintEvent* /*event*/) override {
        const TBitmap* bitmap = FImage.Bitmap();
        if (bitmap == nullptr || bitmap->Width() == 0 || bitmap->Height() == 0) {
            return;
        }
        // Wraps the bitmap's memory without copying it.
        const QImage picture(reinterpret_cast<const uchar*>(bitmap->ScanLine(0)), bitmap->Width(),
                             bitmap->Height(), qsizetype(bitmap->Width()) * 4,
                             QImage::Format_RGB32);
        QPainter painter(this);
        painter.drawImage(0, 0, picture);
    }

private:
    const TImage& FImage;
};

} // namespace

TShape::TShape(TComponent* owner)
    : TGraphicControl(owner, std::make_unique<ControlPeer>(new ShapeWidget(*this))) {
    FBrush.OnChange = TNotifyEvent(this, &TShape::StyleChanged);
    FPen.OnChange = TNotifyEvent(this, &TShape::StyleChanged);
}

TShape::~TShape() = default;

void TShape::SetShape(TShapeType shape) {
    FShape = shape;
    Peer().Widget()->update();
}

void TShape::StyleChanged(TObject* /*sender*/) {
    Peer().Widget()->update();
}

TImage::TImage(TComponent* owner)
    : TGraphicControl(owner, std::make_unique<ControlPeer>(new ImageWidget(*this))) {}

TImage::~TImage() = default;

TCanvas& TImage::Canvas() {
    if (FBitmap == nullptr) {
        FBitmap = std::make_unique<TBitmap>(Width(), Height());
        FBitmap->Canvas().OnChange = TNotifyEvent(this, &TImage::CanvasChanged);
        Peer().Widget()->update();
    }
    return FBitmap->Canvas();
}

void TImage::CanvasChanged(TObject* /*sender*/) {
    Peer().Widget()->update();
}
