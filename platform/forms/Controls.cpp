#include "platform/forms/Controls.h"

#include "platform/forms/FormsPrivate.h"

#include <QFont>
#include <QFontMetrics>
#include <QPalette>

#include <algorithm>
#include <cmath>

namespace FormsImpl {

ControlPeer::~ControlPeer() {
    // The peer owns its widget; the pointer is null when Qt already deleted it with a parent.
    delete FWidget.data();
}

QColor ToQColor(TColor color) {
    const std::uint32_t rgb = ColorToRGB(color);
    return QColor(int(rgb & 0xFF), int((rgb >> 8) & 0xFF), int((rgb >> 16) & 0xFF));
}

TColor FromQColor(const QColor& color) {
    return TColor(std::uint32_t(color.red()) | (std::uint32_t(color.green()) << 8) |
                  (std::uint32_t(color.blue()) << 16));
}

void ApplyFont(QWidget& widget, const TFont& font) {
    QFont qfont(QString::fromStdString(font.Name()));
    if (font.Height() < 0) {
        qfont.setPixelSize(-font.Height());
    } else if (font.Height() > 0) {
        // A positive height is the whole character cell; scale the em size to fit it.
        qfont.setPixelSize(font.Height());
        const int cell = QFontMetrics(qfont).height();
        if (cell > 0 && cell != font.Height()) {
            const double scaled = double(font.Height()) * font.Height() / cell;
            qfont.setPixelSize(std::max(1, int(std::lround(scaled))));
        }
    }
    qfont.setBold((font.Style() & fsBold) != 0);
    qfont.setItalic((font.Style() & fsItalic) != 0);
    qfont.setUnderline((font.Style() & fsUnderline) != 0);
    qfont.setStrikeOut((font.Style() & fsStrikeOut) != 0);
    widget.setFont(qfont);

    QPalette palette = widget.palette();
    const QColor colour = ToQColor(font.Color());
    for (const QPalette::ColorGroup group : {QPalette::Active, QPalette::Inactive}) {
        for (const QPalette::ColorRole role :
             {QPalette::WindowText, QPalette::ButtonText, QPalette::Text}) {
            palette.setColor(group, role, colour);
        }
    }
    widget.setPalette(palette);
}

} // namespace FormsImpl

using FormsImpl::ControlPeer;

TControl::TControl(TComponent* owner, std::unique_ptr<ControlPeer> peer)
    : TComponent(owner), FPeer(std::move(peer)) {
    FFont.OnChange = TNotifyEvent(this, &TControl::FontChanged);
}

TControl::~TControl() {
    if (FParent != nullptr) {
        FParent->RemoveControl(this);
    }
}

void TControl::SetParent(TWinControl* parent) {
    if (parent == FParent) {
        return;
    }
    if (FParent != nullptr) {
        FParent->RemoveControl(this);
    }
    FParent = parent;
    QWidget* widget = FPeer->Widget();
    if (parent == nullptr) {
        widget->setParent(nullptr);
        widget->hide();
        return;
    }
    // setParent puts the widget on top of its new siblings: stacking follows placing order.
    widget->setParent(parent->Peer().Widget());
    FPeer->ApplyVisible(FVisible);
    parent->InsertControl(this);
    if (FParentFont) {
        FFont.CopyQuietly(parent->FFont);
        PropagateFont();
        FontApplied();
    }
}

int TControl::Left() const {
    return FPeer->Bounds().x();
}
int TControl::Top() const {
    return FPeer->Bounds().y();
}
int TControl::Width() const {
    return FPeer->Bounds().width();
}
int TControl::Height() const {
    return FPeer->Bounds().height();
}

void TControl::SetLeft(int left) {
    SetBounds(left, Top(), Width(), Height());
}
void TControl::SetTop(int top) {
    SetBounds(Left(), top, Width(), Height());
}
void TControl::SetWidth(int width) {
    SetBounds(Left(), Top(), width, Height());
}
void TControl::SetHeight(int height) {
    SetBounds(Left(), Top(), Width(), height);
}

void TControl::SetBounds(int left, int top, int width, int height) {
    FPeer->SetBounds(QRect(left, top, std::max(width, 0), std::max(height, 0)));
}

bool TControl::Visible() const {
    return FPeer->IsShown(FVisible);
}

void TControl::SetVisible(bool visible) {
    FVisible = visible;
    FPeer->ApplyVisible(visible);
}

bool TControl::Enabled() const {
    return !FPeer->Widget()->testAttribute(Qt::WA_ForceDisabled);
}

void TControl::SetEnabled(bool enabled) {
    FPeer->Widget()->setEnabled(enabled);
}

void TControl::SetColor(TColor color) {
    FColor = color;
    QWidget* widget = FPeer->Widget();
    QPalette palette = widget->palette();
    palette.setColor(QPalette::Window, FormsImpl::ToQColor(color));
    widget->setPalette(palette);
    widget->setAutoFillBackground(true);
}

void TControl::FontChanged(TObject* /*sender*/) {
    FParentFont = false;
    FormsImpl::ApplyFont(*FPeer->Widget(), FFont);
    PropagateFont();
    FontApplied();
}

void TControl::PropagateFont() {
    auto* container = dynamic_cast<TWinControl*>(this);
    if (container == nullptr) {
        return;
    }
    // Qt already draws ParentFont children with the new font; their TFont copies follow here.
    for (TControl* child : container->FControls) {
        if (child->FParentFont) {
            child->FFont.CopyQuietly(FFont);
            child->PropagateFont();
            child->FontApplied();
        }
    }
}

TWinControl::~TWinControl() {
    // Children that outlive this control keep their widgets: take them off first.
    while (!FControls.empty()) {
        FControls.back()->SetParent(nullptr);
    }
}

void TWinControl::SetTabOrder(int tabOrder) {
    FTabOrder = tabOrder;
    UpdateTabChain();
}

void TWinControl::InsertControl(TControl* control) {
    if (auto* windowed = dynamic_cast<TWinControl*>(control)) {
        // A new windowed child comes last in tab order unless told otherwise.
        windowed->FTabOrder = static_cast<int>(
            std::count_if(FControls.begin(), FControls.end(), [](TControl* sibling) {
                return dynamic_cast<TWinControl*>(sibling) != nullptr;
            }));
    }
    FControls.push_back(control);
    UpdateTabChain();
}

void TWinControl::RemoveControl(TControl* control) {
    std::erase(FControls, control);
}

void TWinControl::CollectTabStops(std::vector<TWinControl*>& stops) const {
    std::vector<TWinControl*> children;
    for (TControl* child : FControls) {
        if (auto* windowed = dynamic_cast<TWinControl*>(child)) {
            children.push_back(windowed);
        }
    }
    std::stable_sort(children.begin(), children.end(), [](TWinControl* left, TWinControl* right) {
        return left->FTabOrder < right->FTabOrder;
    });
    for (TWinControl* child : children) {
        if ((child->Peer().Widget()->focusPolicy() & Qt::TabFocus) != 0) {
            stops.push_back(child);
        }
        child->CollectTabStops(stops);
    }
}

void TWinControl::UpdateTabChain() {
    const TWinControl* root = this;
    while (root->Parent() != nullptr) {
        root = root->Parent();
    }
    std::vector<TWinControl*> stops;
    root->CollectTabStops(stops);
    // The chain is a ring through the window itself; the first stop follows the window, so it
    // is the one focused when the window opens. Qt links only widgets that take focus, so the
    // window takes it for as long as the link is made.
    if (!stops.empty()) {
        QWidget* window = root->Peer().Widget();
        const Qt::FocusPolicy policy = window->focusPolicy();
        window->setFocusPolicy(Qt::TabFocus);
        QWidget::setTabOrder(window, stops.front()->Peer().Widget());
        window->setFocusPolicy(policy);
    }
    for (std::size_t i = 1; i < stops.size(); ++i) {
        QWidget::setTabOrder(stops[i - 1]->Peer().Widget(), stops[i]->Peer().Widget());
    }
}
