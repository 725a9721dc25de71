#include "platform/wave/WaveBackend.h"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <ctime>

namespace {

// The futex system call on the counter's 32-bit word; the C++ library's own atomic waits have
// no timeout.
long Futex(std::atomic<std::uint32_t>& word, int operation, std::uint32_t value,
           const timespec* timeout) {
    static_assert(sizeof(std::atomic<std::uint32_t>) == sizeof(std::uint32_t));
    return syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word), operation, value, timeout,
                   nullptr, 0);
}

} // namespace

void WaveSignal::Raise() {
    Count.fetch_add(1, std::memory_order_release);
    Futex(Count, FUTEX_WAKE_PRIVATE, INT_MAX, nullptr);
}

void WaveSignal::WaitFor(std::uint32_t seen, std::chrono::nanoseconds timeout) const {
    if (timeout.count() <= 0) {
        return;
    }
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(timeout);
    timespec relative{};
    relative.tv_sec = static_cast<time_t>(seconds.count());
    relative.tv_nsec = static_cast<long>((timeout - seconds).count());
    // Returns at once when the value already differs; EINTR and timeouts are the caller's to
    // look at again.
    Futex(Count, FUTEX_WAIT_PRIVATE, seen, &relative);
}

WaveInCore::WaveInCore(HWAVEIN handle, HWND window, WaveInWindowNotifier notifier, WORD blockAlign,
                       WaveInStatistics& statistics)
    : Handle(handle), Window(window), Notifier(notifier),
      FrameBytes(blockAlign == 0 ? WORD{1} : blockAlign), Statistics(statistics) {
    if (Notifier != nullptr) {
        Notifying = std::thread([this] { AnnounceReturns(); });
    }
}

WaveInCore::~WaveInCore() {
    if (Notifying.joinable()) {
        Quitting.store(true, std::memory_order_release);
        Returns.Raise();
        Notifying.join();
    }
}

void WaveInCore::AnnounceReturns() {
    std::uint64_t announced = 0;
    for (;;) {
        const std::uint32_t seen = Returns.Value();
        const bool last = Quitting.load(std::memory_order_acquire);
        const std::uint64_t head = Head.load(std::memory_order_acquire);
        for (; announced != head; ++announced) {
            WAVEHDR* header =
                ReturnedHeaders[announced % kCapacity].load(std::memory_order_relaxed);
            Notifier(Window, MM_WIM_DATA, reinterpret_cast<WPARAM>(Handle),
                     reinterpret_cast<LPARAM>(header));
        }
        if (last) {
            return;
        }
        Returns.WaitFor(seen, std::chrono::hours(1));
    }
}

std::span<char> WaveInCore::HeadSpace() const {
    const std::uint64_t head = Head.load(std::memory_order_relaxed);
    // Acquire pairs with the front end's release in Add: the entry is complete once counted.
    const std::uint64_t tail = Tail.load(std::memory_order_acquire) & ~kFailedBit;
    if (head == tail) {
        return {};
    }
    const HeldBuffer& entry = Entries[head % kCapacity];
    return {entry.Data + HeadFill, entry.Usable - HeadFill};
}

void WaveInCore::HeadFilled(std::size_t bytes) {
    const std::uint64_t head = Head.load(std::memory_order_relaxed);
    if (head == (Tail.load(std::memory_order_acquire) & ~kFailedBit)) {
        return;
    }
    const HeldBuffer& entry = Entries[head % kCapacity];
    HeadFill = std::min(HeadFill + bytes, entry.Usable);
    if (HeadFill == entry.Usable) {
        Return(HeadFill);
    }
}

void WaveInCore::CompleteHead() {
    const std::uint64_t head = Head.load(std::memory_order_relaxed);
    if (head != (Tail.load(std::memory_order_acquire) & ~kFailedBit)) {
        Return(HeadFill);
    }
}

void WaveInCore::Return(std::size_t filled) {
    const std::uint64_t head = Head.load(std::memory_order_relaxed);
    const HeldBuffer& entry = Entries[head % kCapacity];
    // The caller analyses whole buffers whatever dwBytesRecorded says; leftovers of an older
    // block must not pass for new samples.
    if (filled < entry.Length) {
        std::memset(entry.Data + filled, 0, entry.Length - filled);
    }
    WAVEHDR* header = entry.Header;
    std::atomic_ref<DWORD> flags(header->dwFlags);
    const DWORD before = flags.load(std::memory_order_relaxed);
    if ((before & WHDR_INQUEUE) == 0 ||
        std::atomic_ref<char*>(header->lpData).load(std::memory_order_relaxed) != entry.Data ||
        std::atomic_ref<DWORD>(header->dwBufferLength).load(std::memory_order_relaxed) !=
            entry.Length) {
        // Re-armed while the device held it: the caller's fault, reported, not repaired.
        Statistics.Violations.fetch_add(1, std::memory_order_relaxed);
    }
    std::atomic_ref<DWORD>(header->dwBytesRecorded)
        .store(static_cast<DWORD>(filled), std::memory_order_relaxed);
    flags.store((before & ~WHDR_INQUEUE) | WHDR_DONE, std::memory_order_release);
    HeadFill = 0;
    ReturnedHeaders[head % kCapacity].store(header, std::memory_order_relaxed);
    Head.store(head + 1, std::memory_order_release);
    Statistics.Completed.fetch_add(1, std::memory_order_relaxed);
    Returns.Raise();
}

void WaveInCore::Fail(const char* reason) {
    if (Failing.test_and_set(std::memory_order_relaxed)) {
        return;
    }
    const std::size_t length = std::min(std::strlen(reason), kReasonSize - 1);
    std::memcpy(Reason, reason, length);
    Reason[length] = '\0';
    // From here on Add refuses; everything queued before this point is returned below.
    const std::uint64_t tail = Tail.fetch_or(kFailedBit, std::memory_order_acq_rel) & ~kFailedBit;
    while (Head.load(std::memory_order_relaxed) != tail) {
        Return(HeadFill);
    }
}

MMRESULT WaveInCore::Add(WAVEHDR* header) {
    std::uint64_t tail = Tail.load(std::memory_order_acquire);
    if ((tail & kFailedBit) != 0) {
        return MMSYSERR_NODRIVER;
    }
    if (tail - Head.load(std::memory_order_acquire) >= kCapacity) {
        return MMSYSERR_NOMEM;
    }
    const std::size_t usable = header->dwBufferLength - header->dwBufferLength % FrameBytes;
    if (usable == 0 || header->lpData == nullptr) {
        return MMSYSERR_INVALPARAM;
    }
    Entries[tail % kCapacity] = {header, header->lpData, header->dwBufferLength, usable};
    const DWORD flags = header->dwFlags;
    header->dwBytesRecorded = 0;
    header->dwFlags = (flags & ~WHDR_DONE) | WHDR_INQUEUE;
    // Fails only when the device failed in between; the entry was then never published.
    if (!Tail.compare_exchange_strong(tail, tail + 1, std::memory_order_release,
                                      std::memory_order_acquire)) {
        header->dwFlags = flags;
        return MMSYSERR_NODRIVER;
    }
    return MMSYSERR_NOERROR;
}

bool WaveInCore::WaitUntilReleased(const WAVEHDR* header, std::chrono::milliseconds timeout) const {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        // Read before looking, so that a return in between makes the wait end at once.
        const std::uint32_t seen = Returns.Value();
        if (!Holds(header)) {
            return true;
        }
        const auto now = std::chrono::steady_clock::now();
        if (now >= deadline) {
            return false;
        }
        Returns.WaitFor(seen, deadline - now);
    }
}

bool WaveInCore::Holds(const WAVEHDR* header) const {
    const std::uint64_t tail = Tail.load(std::memory_order_relaxed) & ~kFailedBit;
    for (std::uint64_t i = Head.load(std::memory_order_acquire); i != tail; ++i) {
        if (Entries[i % kCapacity].Header == header) {
            return true;
        }
    }
    return false;
}

void WaveInCore::ReturnPartial() {
    if (HeadFill > 0) {
        CompleteHead();
    }
}

void WaveInCore::ReturnAll() {
    const std::uint64_t tail = Tail.load(std::memory_order_acquire) & ~kFailedBit;
    while (Head.load(std::memory_order_relaxed) != tail) {
        Return(HeadFill);
    }
}

const char* WaveInCore::FailureReason() const {
    return Reason;
}

void WaveInCore::CountViolation() {
    Statistics.Violations.fetch_add(1, std::memory_order_relaxed);
}

std::size_t WaveInCore::HeldCount() const {
    const std::uint64_t head = Head.load(std::memory_order_acquire);
    const std::uint64_t tail = Tail.load(std::memory_order_acquire) & ~kFailedBit;
    return static_cast<std::size_t>(tail - head);
}

std::uint64_t WaveInCore::HeadIndex() const {
    return Head.load(std::memory_order_acquire);
}

bool WaveInCore::Failed() const {
    return (Tail.load(std::memory_order_acquire) & kFailedBit) != 0;
}
