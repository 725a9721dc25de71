// Forms, the application object, message boxes and the application's exception display.
//
// Thread: user-interface thread only, except PostMessage (platform/forms/Messages.h), which
// any thread may call.
#pragma once

#include "platform/forms/Classes.h"
#include "platform/forms/Controls.h"
#include "platform/forms/Messages.h"

#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace FormsImpl {
class FormWidget;
}

// Message box flags: one button set, optionally one icon.
inline constexpr UINT MB_OK = 0x00000000;
inline constexpr UINT MB_ICONERROR = 0x00000010;
inline constexpr UINT MB_ICONSTOP = MB_ICONERROR;
inline constexpr UINT MB_ICONQUESTION = 0x00000020;
inline constexpr UINT MB_ICONWARNING = 0x00000030;
inline constexpr UINT MB_ICONEXCLAMATION = MB_ICONWARNING;
inline constexpr UINT MB_ICONINFORMATION = 0x00000040;
inline constexpr int IDOK = 1;

// Shows a modal message box with a single OK button and waits until the user dismisses it.
// `text` and `caption` are UTF-8, shown as plain text; a null caption shows "Error", a null
// text an empty box. `owner` names the window the box belongs to (a form's Handle() or
// Application->Handle()); whatever the owner, no window of the program takes input while the
// box is up, but the box's own message loop goes on dispatching posted messages, so handlers
// may run (and show boxes of their own) before this returns. Flags other than the icons are
// ignored. Returns IDOK.
int MessageBoxA(HWND owner, const char* text, const char* caption, UINT flags);

// One message box as MessageBoxA was asked to show it.
struct TMessageBoxRecord {
    std::string Text;
    std::string Caption; // as shown: "Error" when the caller gave none
    UINT Flags = 0;
    HWND Owner = nullptr;
};

// The seam for test machinery (forms_testing's MessageBoxRecorder): while an interceptor is
// installed, MessageBoxA hands each box to it instead of showing it, and returns IDOK once
// Intercept returns. Intercept may run nested message loops and show boxes of its own.
class TMessageBoxInterceptor {
public:
    virtual void Intercept(const TMessageBoxRecord& record) = 0;

protected:
    ~TMessageBoxInterceptor() = default;
};
// Installs interceptor (nullptr: boxes are shown again) and returns the one it replaces.
// User-interface thread only.
TMessageBoxInterceptor* SetMessageBoxInterceptor(TMessageBoxInterceptor* interceptor);

enum TFormBorderStyle {
    bsNone,     // no frame and no caption; fixed size
    bsSingle,   // a frame that cannot be dragged to resize
    bsSizeable, // a resizable frame
    bsDialog,   // like bsSingle, without minimise and maximise buttons
};

// What happens when a form closes; OnClose may change it.
enum TCloseAction {
    caNone,     // the form does not close
    caHide,     // the form is hidden (the default)
    caFree,     // the form is hidden, then its owner destroys it from the message loop
    caMinimize, // the form is minimised
};

using TCloseEvent = TEvent<TObject*, TCloseAction&>;

// A top-level window. Closing the application's main form ends Application->Run, whatever
// the close action (except caNone).
class TForm : public TWinControl {
public:
    // `owner` (normally Application) destroys the form; nullptr leaves that to the caller.
    explicit TForm(TComponent* owner);
    ~TForm() override;

    // The form's window handle: the target of PostMessage. Valid for the form's whole life,
    // and never reused after it.
    HWND Handle() const { return FHandle; }

    std::string Caption() const;
    void SetCaption(std::string_view caption);

    // Default bsSizeable.
    TFormBorderStyle BorderStyle() const { return FBorderStyle; }
    void SetBorderStyle(TFormBorderStyle borderStyle);

    // Size of the inside of the window, without frame and caption bar.
    int ClientWidth() const;
    int ClientHeight() const;
    void SetClientWidth(int width);
    void SetClientHeight(int height);
    // Left and Top place the window's outer frame on the desktop; Width and Height include it.
    void SetBounds(int left, int top, int width, int height) override;

    void Show();
    void Hide();
    // Asks the form to close: fires OnClose with caHide, then does what the action says.
    void Close();

    // Fired when the form is about to close (by Close or by the user). An exception that
    // escapes the handler is shown and the form closes as the action says.
    TCloseEvent OnClose;

    // Receives each message posted to Handle(), on the user-interface thread, in the order
    // posted. Override to handle message numbers and pass the others on; this one ignores
    // every message. An exception that escapes is shown by the application's exception display.
    virtual void Dispatch(TMessage& message);

private:
    friend class FormsImpl::FormWidget;
    // The close sequence; returns whether the window may close.
    bool CloseRequested();
    void ApplyBorderStyle();
    void ApplyClientSize(int width, int height);

    HWND FHandle = nullptr;
    TFormBorderStyle FBorderStyle = bsSizeable;
};

// The program as a whole: its title, its forms, the message loop. Exactly one exists while
// the program runs (the start-up code creates it before calling WinMain); it is also the
// global `Application`.
class TApplication : public TComponent {
public:
    // Makes this the global Application until it is destroyed (the previous one returns then).
    // Brings up the desktop connection unless one is already up; argc and argv must outlive
    // the object.
    TApplication(int& argc, char** argv);
    ~TApplication() override;

    // Readies the program for its forms: installs the font substitutions that give the layout's
    // fonts ("MS Sans Serif", "Arial") metric-compatible faces on this desktop.
    void Initialize();

    // Shown as the caption of the exception display and given to the desktop as the program's
    // name.
    const std::string& Title() const { return FTitle; }
    void SetTitle(std::string_view title);
    // The program's version, e.g. "1.2.2.0"; empty until set by the start-up code.
    std::string Version() const;
    void SetVersion(std::string_view version);
    // The name of the program's desktop entry, without ".desktop".
    void SetDesktopId(std::string_view desktopId);

    // The application's own window: the owner of its message boxes. Messages posted to it are
    // accepted and ignored.
    HWND Handle() const { return FHandle; }
    // The first form created with CreateForm, or nullptr.
    TForm* MainForm() const { return FMainForm; }

    // Creates a form of class T owned by the application and stores it in `reference` once
    // constructed. The first form created becomes the main form.
    template <class T> void CreateForm(T*& reference) {
        T* form = CreateComponent<T>();
        if (FMainForm == nullptr) {
            FMainForm = form;
        }
        reference = form;
    }

    // Shows the main form and runs the message loop until the main form closes or Terminate
    // is called. Returns at once without a main form or after Terminate.
    void Run();
    // Ends Run (from a handler, or before Run to make it return at once).
    void Terminate();
    bool Terminated() const { return FTerminated; }

    // Handles every message waiting now, then returns.
    void ProcessMessages();
    // Runs a nested message loop until `done` returns true (checked about every millisecond)
    // or `timeoutMilliseconds` pass. Returns done().
    bool ProcessMessagesUntil(const std::function<bool()>& done, int timeoutMilliseconds);

    // MessageBoxA owned by the application window.
    int MessageBox(const char* text, const char* caption, int flags = MB_OK);
    // The standard exception display: a box with the exception's text (given a closing full
    // stop when it ends without one), the application title as caption, and the error icon.
    void ShowException(const std::exception& exception);

private:
    friend class TForm;
    void FormDestroyed(TForm* form);

    struct Impl;
    std::unique_ptr<Impl> FImpl;
    TApplication* FPrevious = nullptr;
    std::string FTitle;
    HWND FHandle = nullptr;
    TForm* FMainForm = nullptr;
    bool FTerminated = false;
    bool FRunning = false;
};

extern TApplication* Application;
