// CompletionRecorder without a form library: this test executable supplies PostMessage itself
// and records what the layer posts.
#include "tests/platform/wave/CompletionRecorder.h"

#include <condition_variable>
#include <mutex>

namespace {

struct Mailbox {
    std::mutex Mutex;
    std::condition_variable Arrived;
    HWND Window = nullptr;
    std::vector<TMessage> Messages;
};

Mailbox& TheMailbox() {
    static Mailbox mailbox;
    return mailbox;
}

struct WindowTag {
    char Unused = 0;
};

} // namespace

bool PostMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    Mailbox& mailbox = TheMailbox();
    {
        std::lock_guard lock(mailbox.Mutex);
        if (window == nullptr || window != mailbox.Window) {
            return false;
        }
        mailbox.Messages.push_back(TMessage{message, wParam, lParam, 0});
    }
    mailbox.Arrived.notify_all();
    return true;
}

class CompletionRecorder::Impl {
public:
    WindowTag Tag;
};

CompletionRecorder::CompletionRecorder() : Self(std::make_unique<Impl>()) {
    Mailbox& mailbox = TheMailbox();
    std::lock_guard lock(mailbox.Mutex);
    mailbox.Window = reinterpret_cast<HWND>(&Self->Tag);
    mailbox.Messages.clear();
}

CompletionRecorder::~CompletionRecorder() {
    Mailbox& mailbox = TheMailbox();
    std::lock_guard lock(mailbox.Mutex);
    mailbox.Window = nullptr;
    mailbox.Messages.clear();
}

HWND CompletionRecorder::Window() const {
    return reinterpret_cast<HWND>(&Self->Tag);
}

bool CompletionRecorder::WaitFor(std::size_t count, std::chrono::milliseconds timeout) {
    Mailbox& mailbox = TheMailbox();
    std::unique_lock lock(mailbox.Mutex);
    return mailbox.Arrived.wait_for(lock, timeout,
                                    [&] { return mailbox.Messages.size() >= count; });
}

std::vector<TMessage> CompletionRecorder::Messages() {
    Mailbox& mailbox = TheMailbox();
    std::lock_guard lock(mailbox.Mutex);
    return mailbox.Messages;
}
