// The form: a top-level window that receives posted messages and decides about its closing.
#include "platform/forms/Forms.h"

#include "platform/forms/FormsPrivate.h"

#include <QCloseEvent>
#include <QCoreApplication>

namespace FormsImpl {

// The top-level widget of a form: routes posted messages and close requests to the form.
class FormWidget final : public QWidget {
public:
    void Attach(TForm* form) { FForm = form; }
    TForm* Form() const { return FForm; }

protected:
    bool event(QEvent* event) override {
        if (event->type() == MessageEventType()) {
            if (FForm != nullptr) {
                TMessage message = static_cast<MessageEvent*>(event)->Message;
                TForm* form = FForm;
                RunHandler([&] { form->Dispatch(message); });
            }
            return true;
        }
        return QWidget::event(event);
    }

    void closeEvent(QCloseEvent* event) override {
        if (FForm == nullptr || FForm->CloseRequested()) {
            event->accept();
        } else {
            event->ignore();
        }
    }

private:
    TForm* FForm = nullptr;
};

namespace {

// For a form, Left and Top place the outer frame, and Width and Height include it.
class FormPeer final : public ControlPeer {
public:
    FormPeer() : ControlPeer(new FormWidget) {}
    QRect Bounds() const override { return Widget()->frameGeometry(); }
    bool IsShown(bool /*visibleFlag*/) const override { return !Widget()->isHidden(); }
    void ApplyVisible(bool visible) override { Widget()->setVisible(visible); }
};

} // namespace

} // namespace FormsImpl

using FormsImpl::FormWidget;

TForm::TForm(TComponent* owner) : TWinControl(owner, std::make_unique<FormsImpl::FormPeer>()) {
    auto* widget = static_cast<FormWidget*>(Peer().Widget());
    widget->Attach(this);
    FHandle = FormsImpl::RegisterWindow(widget);
    SetVisible(false);
    ApplyBorderStyle();
}

TForm::~TForm() {
    FormsImpl::UnregisterWindow(FHandle);
    if (auto* widget = static_cast<FormWidget*>(Peer().Widget())) {
        widget->Attach(nullptr);
        QCoreApplication::removePostedEvents(widget, FormsImpl::MessageEventType());
    }
    if (Application != nullptr) {
        Application->FormDestroyed(this);
    }
    // The controls go while the form and its widget are still whole.
    DestroyComponents();
}

std::string TForm::Caption() const {
    return Peer().Widget()->windowTitle().toStdString();
}

void TForm::SetCaption(std::string_view caption) {
    Peer().Widget()->setWindowTitle(QString::fromUtf8(caption.data(), qsizetype(caption.size())));
}

void TForm::SetBorderStyle(TFormBorderStyle borderStyle) {
    FBorderStyle = borderStyle;
    ApplyBorderStyle();
}

void TForm::ApplyBorderStyle() {
    QWidget* widget = Peer().Widget();
    Qt::WindowFlags flags = Qt::Window;
    const Qt::WindowFlags fixedFrame = Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                                       Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint |
                                       Qt::MSWindowsFixedSizeDialogHint;
    switch (FBorderStyle) {
    case bsNone:
        flags |= Qt::FramelessWindowHint;
        break;
    case bsSingle:
        flags |= fixedFrame | Qt::WindowMinimizeButtonHint;
        break;
    case bsDialog:
        flags |= fixedFrame;
        break;
    case bsSizeable:
    default:
        break;
    }
    if (widget->windowFlags() != flags) {
        const bool shown = widget->isVisible();
        widget->setWindowFlags(flags); // hides the window
        if (shown) {
            widget->show();
        }
    }
    ApplyClientSize(widget->width(), widget->height());
}

int TForm::ClientWidth() const {
    return Peer().Widget()->width();
}
int TForm::ClientHeight() const {
    return Peer().Widget()->height();
}

void TForm::SetClientWidth(int width) {
    ApplyClientSize(width, ClientHeight());
}
void TForm::SetClientHeight(int height) {
    ApplyClientSize(ClientWidth(), height);
}

void TForm::ApplyClientSize(int width, int height) {
    QWidget* widget = Peer().Widget();
    const QSize size(std::max(width, 0), std::max(height, 0));
    if (FBorderStyle == bsSizeable) {
        widget->setMinimumSize(0, 0);
        widget->setMaximumSize(QWIDGETSIZE_MAX, QWIDGETSIZE_MAX);
        widget->resize(size);
    } else {
        // Equal minimum and maximum: the window manager offers no way to resize.
        widget->setFixedSize(size);
    }
}

void TForm::SetBounds(int left, int top, int width, int height) {
    QWidget* widget = Peer().Widget();
    const QRect frame = widget->frameGeometry();
    const QRect client = widget->geometry();
    widget->move(left, top);
    ApplyClientSize(width - (frame.width() - client.width()),
                    height - (frame.height() - client.height()));
}

void TForm::Show() {
    SetVisible(true);
}

void TForm::Hide() {
    SetVisible(false);
}

void TForm::Close() {
    Peer().Widget()->close();
}

bool TForm::CloseRequested() {
    TCloseAction action = caHide;
    FormsImpl::RunHandler([&] { OnClose(this, action); });
    if (action == caNone) {
        return false;
    }
    if (Application != nullptr && Application->MainForm() == this) {
        Application->Terminate();
        return true;
    }
    switch (action) {
    case caMinimize:
        Peer().Widget()->showMinimized();
        return false;
    case caFree:
        if (Owner() != nullptr) {
            // Destroyed from the message loop once the messages queued before it are handled,
            // never from inside its own handler.
            const HWND handle = FHandle;
            QMetaObject::invokeMethod(
                QCoreApplication::instance(),
                [handle] {
                    auto* widget = dynamic_cast<FormWidget*>(FormsImpl::WindowReceiver(handle));
                    TForm* form = widget != nullptr ? widget->Form() : nullptr;
                    if (form != nullptr && form->Owner() != nullptr) {
                        form->Owner()->RemoveComponent(form).reset();
                    }
                },
                Qt::QueuedConnection);
        }
        return true;
    case caHide:
    default:
        return true;
    }
}

void TForm::Dispatch(TMessage& /*message*/) {}
