// The recorder's notifier keeps what it is told under a lock; the test's thread waits on it.
#include "tests/platform/wave/CompletionRecorder.h"

#include "platform/wave/WaveAudio.h"

#include <condition_variable>
#include <mutex>

namespace {

struct Received {
    std::mutex Mutex;
    std::condition_variable Arrived;
    std::vector<RecordedMessage> Messages;
};

Received& TheReceived() {
    static Received received;
    return received;
}

bool Record(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    Received& received = TheReceived();
    {
        std::lock_guard lock(received.Mutex);
        received.Messages.push_back({window, message, wParam, lParam});
    }
    received.Arrived.notify_all();
    return true;
}

// Any distinct non-null value will do: the layer passes it through untouched.
WindowHandleTag* const kWindow = reinterpret_cast<WindowHandleTag*>(std::uintptr_t{0x3C0'0001});

} // namespace

CompletionRecorder::CompletionRecorder() {
    Received& received = TheReceived();
    {
        std::lock_guard lock(received.Mutex);
        received.Messages.clear();
    }
    SetWaveInWindowNotifier(&Record);
}

CompletionRecorder::~CompletionRecorder() {
    SetWaveInWindowNotifier(nullptr);
}

HWND CompletionRecorder::Window() const {
    return kWindow;
}

bool CompletionRecorder::WaitFor(std::size_t count, std::chrono::milliseconds timeout) {
    Received& received = TheReceived();
    std::unique_lock lock(received.Mutex);
    return received.Arrived.wait_for(lock, timeout,
                                     [&] { return received.Messages.size() >= count; });
}

std::vector<RecordedMessage> CompletionRecorder::Messages() {
    Received& received = TheReceived();
    std::lock_guard lock(received.Mutex);
    return received.Messages;
}
