// Driving and inspecting forms as a user or a screen would, for tests and tools: key presses,
// what the window manager and the screen see, message boxes that are up or recorded.
//
// Thread: user-interface thread only, with the global Application in place.
#pragma once

#include "platform/forms/Controls.h"
#include "platform/forms/Forms.h"
#include "platform/forms/Graphics.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

// Shows and activates the form, then presses Alt and `letter` on the keyboard. A button whose
// accelerator it is clicks a moment later: wait for it with Application->ProcessMessagesUntil.
void PressAltKey(TForm& form, char letter);

// The smallest and largest client size the window manager lets the user drag the window to.
struct TSizeLimits {
    int MinWidth = 0;
    int MinHeight = 0;
    int MaxWidth = 0;
    int MaxHeight = 0;
};
TSizeLimits ClientSizeLimits(const TForm& form);

// The font a control's text is really drawn with: the face found after substitution, its
// em size in pixels, and the text colour.
struct TRenderedFont {
    std::string Family;
    int PixelSize = 0;
    bool Bold = false;
    TColor Color = clBlack;
};
TRenderedFont RenderedFont(const TControl& control);

// The names of the form's controls that the Tab key visits, in the order it visits them
// (disabled ones included: the key skips them while they are disabled).
std::vector<std::string> FocusChain(const TForm& form);

// The inside of the form as it is drawn on screen now; shows the form first if it is hidden.
std::unique_ptr<TBitmap> GrabClientArea(TForm& form);
// Writes the bitmap as a PNG file; false when it cannot be written.
bool SavePng(const TBitmap& bitmap, const std::string& path);

// The text of the message box that is up, or empty when none is.
std::string ActiveMessageBoxText();
// Presses OK on the message box that is up; false when none is.
bool DismissActiveMessageBox();

// Bounds a test that waits on the message loop: if it is still alive after `milliseconds`, it
// dismisses the message box that is up and terminates the application (Run returns), so a
// fault shows as a failed check instead of a hang.
class TestWatchdog {
public:
    explicit TestWatchdog(int milliseconds);
    ~TestWatchdog();
    TestWatchdog(const TestWatchdog&) = delete;
    TestWatchdog& operator=(const TestWatchdog&) = delete;
    bool Fired() const;

private:
    struct Impl;
    std::unique_ptr<Impl> FImpl;
};

// Runs `action` from the message loop once it next runs (Run, a message box's loop, or
// ProcessMessages), as a posted message's handler would run.
void RunFromMessageLoop(std::function<void()> action);

// While one exists, message boxes are recorded instead of shown, and MessageBoxA returns IDOK at
// once (or after the spin set below). Recorders nest; the newest one records. Create and destroy
// on the user-interface thread, in reverse order.
class MessageBoxRecorder final : private TMessageBoxInterceptor {
public:
    MessageBoxRecorder();
    ~MessageBoxRecorder();
    MessageBoxRecorder(const MessageBoxRecorder&) = delete;
    MessageBoxRecorder& operator=(const MessageBoxRecorder&) = delete;

    const std::vector<TMessageBoxRecord>& Records() const { return FRecords; }

    // Keeps every box "up" for this long: a nested message loop runs, dispatching posted
    // messages exactly as a real box's loop would, before MessageBoxA returns.
    void SpinWhileShown(int milliseconds);
    // Keeps every box "up" until `done` returns true (checked as the loop runs) or the timeout
    // passes.
    void SpinWhileShownUntil(std::function<bool()> done, int timeoutMilliseconds);
    // Runs `action` while each box is "up", after it has been recorded (and before any spin).
    void SetWhileShown(std::function<void(const TMessageBoxRecord&)> action);

private:
    void Intercept(const TMessageBoxRecord& record) override;

    TMessageBoxInterceptor* FPrevious = nullptr;
    std::vector<TMessageBoxRecord> FRecords;
    std::function<void(const TMessageBoxRecord&)> FWhileShown;
    std::function<bool()> FSpinDone;
    int FSpinMilliseconds = 0;
};
