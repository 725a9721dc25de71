// Modal message boxes, and the seam through which test machinery takes them instead.
#include "platform/forms/Forms.h"

#include <QApplication>
#include <QMessageBox>

#include <cstdio>

namespace FormsImpl {
namespace {

TMessageBoxInterceptor* ActiveInterceptor = nullptr;

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
} // namespace FormsImpl

TMessageBoxInterceptor* SetMessageBoxInterceptor(TMessageBoxInterceptor* interceptor) {
    TMessageBoxInterceptor* previous = FormsImpl::ActiveInterceptor;
    FormsImpl::ActiveInterceptor = interceptor;
    return previous;
}

int MessageBoxA(HWND owner, const char* text, const char* caption, UINT flags) {
    TMessageBoxRecord record{text != nullptr ? text : "", caption != nullptr ? caption : "Error",
                             flags, owner};
    if (FormsImpl::ActiveInterceptor != nullptr) {
        FormsImpl::ActiveInterceptor->Intercept(record);
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
