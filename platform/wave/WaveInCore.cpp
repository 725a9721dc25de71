#include "platform/wave/WaveBackend.h"

#include <algorithm>
#include <cstring>

WaveInCore::WaveInCore(HWAVEIN handle, HWND window, WaveInWindowNotifier notifier, WORD blockAlign,
                       WaveInStatistics& statistics)
    : Handle(handle), Window(window), Notifier(notifier),
      FrameBytes(blockAlign == 0 ? WORD{1} : blockAlign), Statistics(statistics) {}

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
    Head.store(head + 1, std::memory_order_release);
    Statistics.Completed.fetch_add(1, std::memory_order_relaxed);
    if (Notifier != nullptr) {
        Notifier(Window, MM_WIM_DATA, reinterpret_cast<WPARAM>(Handle),
                 reinterpret_cast<LPARAM>(header));
    }
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
