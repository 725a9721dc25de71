// Receives the waveform-audio layer's MM_WIM_DATA messages for a test: a window handle to pass
// to waveInOpen, and every message posted to it, in arrival order.
//
// Create, wait and read on the test's thread; at most one recorder at a time.
#pragma once

#include "platform/forms/Messages.h"

#include <chrono>
#include <cstddef>
#include <memory>
#include <vector>

class CompletionRecorder {
public:
    CompletionRecorder();
    ~CompletionRecorder();
    CompletionRecorder(const CompletionRecorder&) = delete;
    CompletionRecorder& operator=(const CompletionRecorder&) = delete;

    HWND Window() const;
    // Delivers posted messages until at least count have arrived, or timeout passes; returns
    // whether they arrived.
    bool WaitFor(std::size_t count, std::chrono::milliseconds timeout);
    // Delivers what has been posted so far and returns every message received.
    std::vector<TMessage> Messages();

    class Impl;

private:
    std::unique_ptr<Impl> Self;
};
