#include "platform/forms/Forms.h"

#include "platform/forms/FormsPrivate.h"

#include <QApplication>
#include <QCloseEvent>
#include <QElapsedTimer>
#include <QEvent>
#include <QEventLoop>
#include <QFont>
#include <QMessageBox>
#include <QTimer>

#include <cctype>
#include <cstdio>
#include <mutex>
#include <unordered_map>

TApplication* Application = nullptr;

namespace FormsImpl {

int MessageEventType() {
    static const int type = QEvent::registerEventType();
    return type;
}

namespace {

class MessageEvent final : public QEvent {
public:
    explicit MessageEvent(const TMessage& message)
        : QEvent(QEvent::Type(MessageEventType())), Message(message) {}
    TMessage Message;
};

// The live window handles and the objects their messages go to. Handles count up and are
// never reused, so a stale handle can never reach a newer window.
class WindowRegistry {
public:
    HWND Register(QObject* receiver) {
        const std::lock_guard lock(FMutex);
        const std::uintptr_t id = ++FLastId;
        FReceivers.emplace(id, receiver);
        return reinterpret_cast<HWND>(id);
    }

    void Unregister(HWND handle) {
        const std::lock_guard lock(FMutex);
        FReceivers.erase(reinterpret_cast<std::uintptr_t>(handle));
    }

    QObject* Receiver(HWND handle) {
        const std::lock_guard lock(FMutex);
        const auto found = FReceivers.find(reinterpret_cast<std::uintptr_t>(handle));
        return found == FReceivers.end() ? nullptr : found->second;
    }

    // Posting happens under the lock: a window unregisters (under the same lock) before its
    // receiver is destroyed, so the receiver is alive while Qt queues the event, and Qt drops
    // queued events of a receiver that goes away.
    bool Post(HWND handle, const TMessage& message) {
        const std::lock_guard lock(FMutex);
        const auto found = FReceivers.find(reinterpret_cast<std::uintptr_t>(handle));
        if (found == FReceivers.end() || QCoreApplication::instance() == nullptr) {
            return false;
        }
        QCoreApplication::postEvent(found->second, new MessageEvent(message));
        return true;
    }

private:
    std::mutex FMutex;
    std::uintptr_t FLastId = 0;
    std::unordered_map<std::uintptr_t, QObject*> FReceivers;
};

WindowRegistry& Registry() {
    static WindowRegistry registry;
    return registry;
}

// The application's own window: it has a handle, like every window, and ignores its messages.
class ApplicationWindow final : public QObject {
protected:
    bool event(QEvent* event) override {
        if (event->type() == MessageEventType()) {
            return true;
        }
        return QObject::event(event);
    }
};

MessageBoxRecorder* ActiveRecorder = nullptr;

// A nested message loop, as a modal box runs one, until `done` or the timeout.
bool SpinMessageLoop(const std::function<bool()>& done, int timeoutMilliseconds) {
    if (done()) {
        return true;
    }
    if (QCoreApplication::instance() == nullptr) {
        return false;
    }
    QEventLoop loop;
    QElapsedTimer clock;
    clock.start();
    QTimer poll;
    poll.setTimerType(Qt::PreciseTimer);
    poll.setInterval(1);
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        if (done() || clock.elapsed() >= timeoutMilliseconds) {
            loop.quit();
        }
    });
    poll.start();
    loop.exec();
    return done();
}

QMessageBox::Icon IconOf(UINT flags) {
    switch (flags & 0xF0) {
    case MB_ICONERROR:
        return QMessageBox::Critical;
    case MB_ICONQUESTION:
        return QMessageBox::Question;
    case MB_ICONWARNING:
        return QMessageBox::Warning;
    case MB_ICONINFORMATION:
        return QMessageBox::Information;
    default:
        return QMessageBox::NoIcon;
    }
}

} // namespace

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

void HandleException(const std::exception& exception) {
    if (Application != nullptr) {
        Application->ShowException(exception);
    } else {
        std::fprintf(stderr, "%s\n", exception.what());
    }
}

void HandleUnknownException() {
    HandleException(Exception("An unknown error occurred"));
}

} // namespace FormsImpl

using FormsImpl::FormWidget;
using FormsImpl::Registry;

bool PostMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    return Registry().Post(window, TMessage{message, wParam, lParam, 0});
}

int MessageBoxA(HWND owner, const char* text, const char* caption, UINT flags) {
    TMessageBoxRecord record{text != nullptr ? text : "", caption != nullptr ? caption : "Error",
                             flags, owner};
    if (FormsImpl::ActiveRecorder != nullptr) {
        FormsImpl::ActiveRecorder->Record(std::move(record));
        return IDOK;
    }
    if (qobject_cast<QApplication*>(QCoreApplication::instance()) == nullptr) {
        // No desktop to show it on: the message still reaches someone.
        std::fprintf(stderr, "%s: %s\n", record.Caption.c_str(), record.Text.c_str());
        return IDOK;
    }
    // Not parented to the owner's widget: a form destroyed while its box is up (by a handler
    // run from the box's loop) must not take the box with it. Application-modal, so that no
    // window takes input, whoever the owner is.
    QMessageBox box;
    box.setWindowTitle(QString::fromStdString(record.Caption));
    box.setTextFormat(Qt::PlainText);
    box.setText(QString::fromStdString(record.Text));
    box.setIcon(FormsImpl::IconOf(flags));
    box.setStandardButtons(QMessageBox::Ok);
    box.setWindowModality(Qt::ApplicationModal);
    box.exec();
    return IDOK;
}

MessageBoxRecorder::MessageBoxRecorder() : FPrevious(FormsImpl::ActiveRecorder) {
    FormsImpl::ActiveRecorder = this;
}

MessageBoxRecorder::~MessageBoxRecorder() {
    FormsImpl::ActiveRecorder = FPrevious;
}

void MessageBoxRecorder::SpinWhileShown(int milliseconds) {
    FSpinMilliseconds = milliseconds;
    FSpinDone = [] { return false; };
}

void MessageBoxRecorder::SpinWhileShownUntil(std::function<bool()> done, int timeoutMilliseconds) {
    FSpinMilliseconds = timeoutMilliseconds;
    FSpinDone = std::move(done);
}

void MessageBoxRecorder::SetWhileShown(std::function<void(const TMessageBoxRecord&)> action) {
    FWhileShown = std::move(action);
}

void MessageBoxRecorder::Record(TMessageBoxRecord record) {
    FRecords.push_back(record);
    // Handlers run below may show boxes of their own, so work on copies, not on FRecords.
    if (FWhileShown) {
        const auto action = FWhileShown;
        action(record);
    }
    if (FSpinDone) {
        const auto done = FSpinDone;
        FormsImpl::SpinMessageLoop(done, FSpinMilliseconds);
    }
}

TForm::TForm(TComponent* owner) : TWinControl(owner, std::make_unique<FormsImpl::FormPeer>()) {
    auto* widget = static_cast<FormWidget*>(Peer().Widget());
    widget->Attach(this);
    FHandle = Registry().Register(widget);
    SetVisible(false);
    ApplyBorderStyle();
}

TForm::~TForm() {
    Registry().Unregister(FHandle);
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
                    auto* widget = dynamic_cast<FormWidget*>(Registry().Receiver(handle));
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

struct TApplication::Impl {
    std::unique_ptr<QApplication> OwnedApplication;
    std::unique_ptr<FormsImpl::ApplicationWindow> Window;
};

TApplication::TApplication(int& argc, char** argv)
    : TComponent(nullptr), FImpl(std::make_unique<Impl>()), FPrevious(Application) {
    if (QCoreApplication::instance() == nullptr) {
        FImpl->OwnedApplication = std::make_unique<QApplication>(argc, argv);
    }
    // Only the main form's closing ends the program, not the last window's.
    QGuiApplication::setQuitOnLastWindowClosed(false);
    FImpl->Window = std::make_unique<FormsImpl::ApplicationWindow>();
    FHandle = Registry().Register(FImpl->Window.get());
    Application = this;
}

TApplication::~TApplication() {
    Registry().Unregister(FHandle);
    // Forms go before the desktop connection they are drawn on.
    DestroyComponents();
    FImpl->Window.reset();
    Application = FPrevious;
    FImpl->OwnedApplication.reset();
}

void TApplication::Initialize() {
    // Metric-compatible faces for the layout's fonts, so text takes the room it was laid out
    // for. Later entries are fallbacks when the first is not installed.
    QFont::removeSubstitutions(QStringLiteral("MS Sans Serif"));
    QFont::insertSubstitutions(QStringLiteral("MS Sans Serif"),
                               {QStringLiteral("Liberation Sans"), QStringLiteral("Arimo"),
                                QStringLiteral("DejaVu Sans")});
    QFont::removeSubstitutions(QStringLiteral("Arial"));
    QFont::insertSubstitutions(QStringLiteral("Arial"),
                               {QStringLiteral("Liberation Sans"), QStringLiteral("Arimo"),
                                QStringLiteral("DejaVu Sans")});
}

void TApplication::SetTitle(std::string_view title) {
    FTitle = title;
    QCoreApplication::setApplicationName(QString::fromUtf8(title.data(), qsizetype(title.size())));
}

void TApplication::SetDesktopId(std::string_view desktopId) {
    QGuiApplication::setDesktopFileName(
        QString::fromUtf8(desktopId.data(), qsizetype(desktopId.size())));
}

std::string TApplication::Version() const {
    return QCoreApplication::applicationVersion().toStdString();
}

void TApplication::SetVersion(std::string_view version) {
    QCoreApplication::setApplicationVersion(
        QString::fromUtf8(version.data(), qsizetype(version.size())));
}

void TApplication::FormDestroyed(TForm* form) {
    if (FMainForm == form) {
        FMainForm = nullptr;
    }
}

void TApplication::Run() {
    if (FMainForm == nullptr || FTerminated) {
        return;
    }
    FMainForm->Show();
    if (!FTerminated) {
        FRunning = true;
        QApplication::exec();
        FRunning = false;
    }
}

void TApplication::Terminate() {
    FTerminated = true;
    // exit, not quit: Qt's quit first closes every window, which would fire OnClose handlers a
    // second time. exit ends the running loops, a message box's too. Outside Run it must not be
    // called: it would leave Qt refusing to run any later loop (a message box's included).
    if (FRunning) {
        QCoreApplication::exit(0);
    }
}

void TApplication::ProcessMessages() {
    QCoreApplication::processEvents();
}

bool TApplication::ProcessMessagesUntil(const std::function<bool()>& done,
                                        int timeoutMilliseconds) {
    return FormsImpl::SpinMessageLoop(done, timeoutMilliseconds);
}

int TApplication::MessageBox(const char* text, const char* caption, int flags) {
    return MessageBoxA(FHandle, text, caption, UINT(flags));
}

void TApplication::ShowException(const std::exception& exception) {
    std::string text = exception.what();
    if (!text.empty() && std::isalnum(static_cast<unsigned char>(text.back())) != 0) {
        text += '.';
    }
    const std::string caption =
        FTitle.empty() ? QCoreApplication::applicationName().toStdString() : FTitle;
    MessageBox(text.c_str(), caption.c_str(), int(MB_OK | MB_ICONERROR));
}
