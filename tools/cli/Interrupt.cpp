#include "tools/cli/Interrupt.h"

#include <atomic>
#include <csignal>

namespace {

std::atomic<bool> Stop{false};
static_assert(std::atomic<bool>::is_always_lock_free, "the flag is set from a signal handler");

extern "C" void OnStopSignal(int) {
    Stop.store(true, std::memory_order_relaxed);
}

} // namespace

void InstallStopHandlers() {
    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGHUP, &action, nullptr);
    // A reader that goes away (`| head`) shows as a failed write, which is handled like any
    // other, instead of killing the program with its temporary files still on disk.
    signal(SIGPIPE, SIG_IGN);
}

void RequestStop() {
    Stop.store(true, std::memory_order_relaxed);
}

bool StopRequested() {
    return Stop.load(std::memory_order_relaxed);
}

void ClearStopRequest() {
    Stop.store(false, std::memory_order_relaxed);
}
