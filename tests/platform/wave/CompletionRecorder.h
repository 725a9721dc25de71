// Receives the waveform-audio layer's MM_WIM_DATA announcements for a test, as a window would: a
// window handle to pass to waveInOpen, and every message announced for it, in arrival order.
//
// Installs its own window notifier for its lifetime, so devices opened meanwhile with
// CALLBACK_WINDOW announce to it. Create, wait and read on the test's thread; at most one
// recorder at a time. The device threads' announcements may arrive at any moment.
#pragma once

#include "platform/wintypes/WinTypes.h"

#include <chrono>
#include <cstddef>
#include <vector>

// One announcement as the notifier received it.
struct RecordedMessage {
    HWND Window = nullptr;
    UINT Msg = 0;
    WPARAM WParam = 0;
    LPARAM LParam = 0;
};

class CompletionRecorder {
public:
    CompletionRecorder();
    ~CompletionRecorder();
    CompletionRecorder(const CompletionRecorder&) = delete;
    CompletionRecorder& operator=(const CompletionRecorder&) = delete;

    // A handle that names this recorder; no window of the form library.
    HWND Window() const;
    // Waits until at least count messages have arrived, or timeout passes; returns whether they
    // arrived.
    bool WaitFor(std::size_t count, std::chrono::milliseconds timeout);
    // Every message received so far.
    std::vector<RecordedMessage> Messages();
};
