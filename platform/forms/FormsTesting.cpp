#include "platform/forms/FormsTesting.h"

#include "platform/forms/FormsPrivate.h"

#include <QApplication>
#include <QFontInfo>
#include <QImage>
#include <QMessageBox>
#include <QPixmap>
#include <QTest>
#include <QTimer>

#include <cctype>
#include <cstring>
#include <map>

namespace {

QMessageBox* ActiveMessageBox() {
    return qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
}

} // namespace

void PressAltKey(TForm& form, char letter) {
    QWidget* widget = form.Peer().Widget();
    form.Show();
    widget->activateWindow();
    (void)QTest::qWaitForWindowActive(widget, 1000);
    const auto key = Qt::Key(std::toupper(static_cast<unsigned char>(letter)));
    QTest::keyClick(widget, key, Qt::AltModifier);
}

TSizeLimits ClientSizeLimits(const TForm& form) {
    const QWidget* widget = form.Peer().Widget();
    return {widget->minimumWidth(), widget->minimumHeight(), widget->maximumWidth(),
            widget->maximumHeight()};
}

TRenderedFont RenderedFont(const TControl& control) {
    const QWidget* widget = control.Peer().Widget();
    const QFontInfo info(widget->font());
    return {info.family().toStdString(), info.pixelSize(), info.bold(),
            FormsImpl::FromQColor(widget->palette().color(widget->foregroundRole()))};
}

std::vector<std::string> FocusChain(const TForm& form) {
    std::map<const QWidget*, std::string> names;
    for (int i = 0; i < form.ComponentCount(); ++i) {
        if (const auto* control = dynamic_cast<const TControl*>(form.Components(i))) {
            names.emplace(control->Peer().Widget(), control->Name());
        }
    }
    std::vector<std::string> chain;
    const QWidget* start = form.Peer().Widget();
    for (QWidget* widget = start->nextInFocusChain(); widget != nullptr && widget != start;
         widget = widget->nextInFocusChain()) {
        const auto found = names.find(widget);
        if (found != names.end() && (widget->focusPolicy() & Qt::TabFocus) != 0) {
            chain.push_back(found->second);
        }
    }
    return chain;
}

std::unique_ptr<TBitmap> GrabClientArea(TForm& form) {
    QWidget* widget = form.Peer().Widget();
    if (widget->isHidden()) {
        form.Show();
    }
    QCoreApplication::processEvents();
    const QImage picture = widget->grab().toImage().convertToFormat(QImage::Format_RGB32);
    auto bitmap = std::make_unique<TBitmap>(picture.width(), picture.height());
    for (int y = 0; y < picture.height(); ++y) {
        std::memcpy(bitmap->ScanLine(y), picture.constScanLine(y),
                    std::size_t(picture.width()) * 4);
    }
    return bitmap;
}

bool SavePng(const TBitmap& bitmap, const std::string& path) {
    if (bitmap.Width() == 0 || bitmap.Height() == 0) {
        return false;
    }
    const QImage picture(reinterpret_cast<const uchar*>(bitmap.ScanLine(0)), bitmap.Width(),
                         bitmap.Height(), qsizetype(bitmap.Width()) * 4, QImage::Format_RGB32);
    return picture.save(QString::fromStdString(path), "PNG");
}

std::string ActiveMessageBoxText() {
    const QMessageBox* box = ActiveMessageBox();
    return box != nullptr ? box->text().toStdString() : std::string();
}

bool DismissActiveMessageBox() {
    QMessageBox* box = ActiveMessageBox();
    if (box == nullptr) {
        return false;
    }
    box->done(QMessageBox::Ok);
    return true;
}

struct TestWatchdog::Impl {
    QTimer Timer;
    bool Fired = false;
};

TestWatchdog::TestWatchdog(int milliseconds) : FImpl(std::make_unique<Impl>()) {
    FImpl->Timer.setSingleShot(true);
    QObject::connect(&FImpl->Timer, &QTimer::timeout, [impl = FImpl.get()] {
        impl->Fired = true;
        DismissActiveMessageBox();
        if (Application != nullptr) {
            Application->Terminate();
        }
    });
    FImpl->Timer.start(milliseconds);
}

TestWatchdog::~TestWatchdog() = default;

bool TestWatchdog::Fired() const {
    return FImpl->Fired;
}

void RunFromMessageLoop(std::function<void()> action) {
    QMetaObject::invokeMethod(
        QCoreApplication::instance(),
        [action = std::move(action)] { FormsImpl::RunHandler(action); }, Qt::QueuedConnection);
}

MessageBoxRecorder::MessageBoxRecorder() : FPrevious(SetMessageBoxInterceptor(this)) {}

MessageBoxRecorder::~MessageBoxRecorder() {
    SetMessageBoxInterceptor(FPrevious);
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

void MessageBoxRecorder::Intercept(const TMessageBoxRecord& record) {
    FRecords.push_back(record);
    // Handlers run below may show boxes of their own, so work on copies, not on FRecords.
    if (FWhileShown) {
        const auto action = FWhileShown;
        action(record);
    }
    if (FSpinDone) {
        const auto done = FSpinDone;
        if (Application != nullptr) {
            Application->ProcessMessagesUntil(done, FSpinMilliseconds);
        }
    }
}
