// Inside the form library: how its classes sit on Qt widgets. Not for use outside
// platform/forms.
#pragma once

#include "platform/forms/Classes.h"
#include "platform/forms/Graphics.h"
#include "platform/forms/Messages.h"

#include <QColor>
#include <QEvent>
#include <QPointer>
#include <QRect>
#include <QWidget>

#include <cstdio>
#include <exception>

class TForm;

namespace FormsImpl {

// The widget behind a control. The peer deletes its widget when it goes, unless Qt already
// did (as when the widget's parent went first).
class ControlPeer {
public:
    explicit ControlPeer(QWidget* widget) : FWidget(widget) {}
    virtual ~ControlPeer();
    ControlPeer(const ControlPeer&) = delete;
    ControlPeer& operator=(const ControlPeer&) = delete;

    QWidget* Widget() const { return FWidget.data(); }
    // Position and size as the library states them (for a form: its outer frame).
    virtual QRect Bounds() const { return Widget()->geometry(); }
    virtual void SetBounds(const QRect& bounds) { Widget()->setGeometry(bounds); }
    // Whether the control is showing by its own choice, given the flag the library keeps.
    virtual bool IsShown(bool visibleFlag) const { return visibleFlag; }
    // Shows or hides the widget. A control without a parent stays hidden: shown, it would
    // become a window of its own.
    virtual void ApplyVisible(bool visible) {
        if (Widget()->parentWidget() != nullptr) {
            Widget()->setVisible(visible);
        }
    }

private:
    QPointer<QWidget> FWidget;
};

QColor ToQColor(TColor color);
TColor FromQColor(const QColor& color);

// Gives the widget this font, and its colour as the text colour of the enabled states (the
// desktop's greyed-out text colour stays for the disabled state).
void ApplyFont(QWidget& widget, const TFont& font);

// Passes an exception that escaped a handler to the application's exception display.
void HandleException(const std::exception& exception);
void HandleUnknownException();

// Runs an event handler on behalf of the platform: exceptions must not unwind into Qt's event
// loop, so an escaping one is shown to the user and the loop carries on.
template <class TFunction> void RunHandler(TFunction&& function) {
    try {
        function();
    } catch (const std::exception& exception) {
        HandleException(exception);
    } catch (...) {
        HandleUnknownException();
    }
}

// The event type that carries a posted message (Windows.cpp), and the event itself.
int MessageEventType();
class MessageEvent final : public QEvent {
public:
    explicit MessageEvent(const TMessage& message)
        : QEvent(QEvent::Type(MessageEventType())), Message(message) {}
    TMessage Message;
};

// The table of live window handles (Windows.cpp). A handle names its receiver from Register
// until Unregister, which must come before the receiver is destroyed; handles are never reused.
// Any thread.
HWND RegisterWindow(QObject* receiver);
void UnregisterWindow(HWND handle);
QObject* WindowReceiver(HWND handle); // nullptr for a handle that names no live window

} // namespace FormsImpl
