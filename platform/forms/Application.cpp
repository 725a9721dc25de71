// The application object: start-up, its own window, the message loop and the display of
// exceptions that escape handlers.
#include "platform/forms/Forms.h"

#include "platform/forms/FormsPrivate.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFont>
#include <QTimer>

#include <cctype>
#include <cstdio>

TApplication* Application = nullptr;

namespace FormsImpl {
namespace {

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
    FHandle = FormsImpl::RegisterWindow(FImpl->Window.get());
    Application = this;
}

TApplication::~TApplication() {
    FormsImpl::UnregisterWindow(FHandle);
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
