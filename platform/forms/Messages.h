// Window messages: the integer types they are made of, window handles, and the one
// thread-safe way into the user-interface thread.
#pragma once

#include "platform/wintypes/WinTypes.h"

// A form's window handle (HWND) is valid from the form's construction until its destruction;
// posting to a handle whose form is gone is harmless (the message is dropped).

// One message as a form's dispatch receives it.
struct TMessage {
    UINT Msg = 0;
    WPARAM WParam = 0;
    LPARAM LParam = 0;
    LRESULT Result = 0;
};

// Queues a message for the window. Callable from any thread; returns at once. The message
// is delivered later, on the user-interface thread, through the form's Dispatch, in the
// order posted (also while a modal message box runs its nested loop). Returns false when
// the handle names no live window or no application is running. Takes a short lock and
// allocates one event, so call it from an ordinary thread, not from a real-time audio
// callback.
bool PostMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
