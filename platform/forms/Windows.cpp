// Window handles and posting: the one thread-safe way into the user-interface thread.
#include "platform/forms/FormsPrivate.h"
#include "platform/forms/Messages.h"

#include <QCoreApplication>

#include <mutex>
#include <unordered_map>

namespace FormsImpl {

int MessageEventType() {
    static const int type = QEvent::registerEventType();
    return type;
}

namespace {

// The live window handles and the objects their messages go to. Handles count up and are
// never reused, so a stale handle can never reach a newer window.
class WindowRegistry {
public:
    HWND Register(QObject* receiver) {
        const std::lock_guard lock(FMutex);
        const std::uintptr_t id = ++FLastId;
        FReceivers.emplace(id, receiver);
        return reinterpret_cast<HWND>(id);
    }

    void Unregister(HWND handle) {
        const std::lock_guard lock(FMutex);
        FReceivers.erase(reinterpret_cast<std::uintptr_t>(handle));
    }

    QObject* Receiver(HWND handle) {
        const std::lock_guard lock(FMutex);
        const auto found = FReceivers.find(reinterpret_cast<std::uintptr_t>(handle));
        return found == FReceivers.end() ? nullptr : found->second;
    }

    // Posting happens under the lock: a window unregisters (under the same lock) before its
    // receiver is destroyed, so the receiver is alive while Qt queues the event, and Qt drops
    // queued events of a receiver that goes away.
    bool Post(HWND handle, const TMessage& message) {
        const std::lock_guard lock(FMutex);
        const auto found = FReceivers.find(reinterpret_cast<std::uintptr_t>(handle));
        if (found == FReceivers.end() || QCoreApplication::instance() == nullptr) {
            return false;
        }
        QCoreApplication::postEvent(found->second, new MessageEvent(message));
        return true;
    }

private:
    std::mutex FMutex;
    std::uintptr_t FLastId = 0;
    std::unordered_map<std::uintptr_t, QObject*> FReceivers;
};

WindowRegistry& Registry() {
    static WindowRegistry registry;
    return registry;
}

} // namespace

HWND RegisterWindow(QObject* receiver) {
    return Registry().Register(receiver);
}

void UnregisterWindow(HWND handle) {
    Registry().Unregister(handle);
}

QObject* WindowReceiver(HWND handle) {
    return Registry().Receiver(handle);
}

} // namespace FormsImpl

bool PostMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    return FormsImpl::Registry().Post(window, TMessage{message, wParam, lParam, 0});
}
