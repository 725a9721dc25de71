// What a waveform-audio backend implements and what it is given: the seam between the
// legacy-named front end (platform/wave/WaveAudio.h) and the sound systems behind it. Only the
// layer itself, its backends and the test devices of wave_testing include this header.
//
// Threads: a backend's WaveBackend and WaveInStream functions are called by the front end with
// the front end's own lock held, so they never run concurrently with each other. Each open
// stream fills buffers on a device thread of its own (for PortAudio, its audio callback),
// through the WaveInCore it was given.
#pragma once

#include "platform/wave/WaveAudio.h"

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <thread>

// A counter that one thread raises and others wait on, with a bound. Raise takes no lock and
// allocates nothing (an atomic increment and one futex wake system call), so an audio callback
// may call it. Any thread.
class WaveSignal {
public:
    std::uint32_t Value() const { return Count.load(std::memory_order_acquire); }
    void Raise();
    // Returns once Value() differs from seen, or when timeout has passed, or spuriously: callers
    // look again at what they wait for.
    void WaitFor(std::uint32_t seen, std::chrono::nanoseconds timeout) const;

private:
    mutable std::atomic<std::uint32_t> Count{0};
};

// Counts kept per backend, readable from any thread. Never reset by the layer.
struct WaveInStatistics {
    std::atomic<std::int64_t> Completed{0};  // buffers returned to the caller
    std::atomic<std::int64_t> Violations{0}; // headers prepared, queued or re-armed while held
};

// The buffers one open input device holds, shared between the front end and the device
// thread. A fixed ring of up to kCapacity headers: the front end appends, the device thread
// fills and returns the oldest. The device side takes no lock and allocates nothing, so it may
// run in a real-time audio callback: returning a buffer publishes it and raises a WaveSignal.
// A notifier thread of the core's own (started when a window notifier is given) wakes on that
// signal and announces each returned buffer, in order, through the client's window notifier,
// which may take locks and allocate. Announcements therefore come a moment after the return,
// also for the buffers the front end returns (waveInStop, waveInReset); the destructor
// announces what is left before it returns.
//
// Who may call what:
// - Device side (HeadSpace, HeadFilled, CompleteHead, Fail): the stream's device thread, or
//   another thread of the backend or the front end while that thread is parked (after
//   WaveInStream::Stop returned and before the next Start; the PortAudio backend's supervisor
//   after parking its callback). Never two callers at once.
// - Front-end side (Add, Holds, WaitUntilReleased, ReturnPartial, ReturnAll): the front end
//   only.
// - HeldCount, HeadIndex, Failed: any thread.
class WaveInCore {
public:
    static constexpr std::size_t kCapacity = 32;
    static constexpr std::size_t kReasonSize = 160;

    // handle: the value announced as wParam. window: the window MM_WIM_DATA is announced for,
    // through notifier; with notifier nullptr nothing is announced. blockAlign: bytes per sample
    // frame, at least 1.
    WaveInCore(HWAVEIN handle, HWND window, WaveInWindowNotifier notifier, WORD blockAlign,
               WaveInStatistics& statistics);
    ~WaveInCore();
    WaveInCore(const WaveInCore&) = delete;
    WaveInCore& operator=(const WaveInCore&) = delete;

    WORD BlockAlign() const { return FrameBytes; }

    // --- device side ---
    // The unfilled part of the oldest held buffer, a whole number of frames; empty when the
    // device holds nothing.
    std::span<char> HeadSpace() const;
    // Bytes just written at the start of HeadSpace (whole frames). A buffer that becomes full is
    // returned and announced.
    void HeadFilled(std::size_t bytes);
    // Returns the oldest held buffer with what it holds so far (a short buffer). No-op when the
    // device holds nothing.
    void CompleteHead();
    // The stream is gone: returns every held buffer, refuses every later Add, and keeps the
    // reason (cut to kReasonSize - 1 characters). Only the first call counts.
    void Fail(const char* reason);

    // --- front-end side ---
    // Queues a prepared header. MMSYSERR_NODRIVER once failed, MMSYSERR_NOMEM when full,
    // MMSYSERR_INVALPARAM when shorter than one frame.
    MMRESULT Add(WAVEHDR* header);
    bool Holds(const WAVEHDR* header) const;
    // Blocks (without using the processor) until the device no longer holds header or timeout
    // has passed; true when it no longer holds it.
    bool WaitUntilReleased(const WAVEHDR* header, std::chrono::milliseconds timeout) const;
    // Returns the oldest buffer if it is partly filled (a stop mid-buffer).
    void ReturnPartial();
    // Returns every held buffer in order (a reset).
    void ReturnAll();
    // Why the stream failed; meaningful once Failed() is true.
    const char* FailureReason() const;
    void CountViolation();

    // --- any thread ---
    std::size_t HeldCount() const;
    // Counts buffers returned so far; changes whenever the oldest held buffer changes.
    std::uint64_t HeadIndex() const;
    bool Failed() const;

private:
    struct HeldBuffer {
        WAVEHDR* Header = nullptr;
        char* Data = nullptr;   // lpData when queued
        DWORD Length = 0;       // dwBufferLength when queued
        std::size_t Usable = 0; // Length rounded down to whole frames
    };
    static constexpr std::uint64_t kFailedBit = std::uint64_t{1} << 63;

    void Return(std::size_t filled);
    void AnnounceReturns();

    const HWAVEIN Handle;
    const HWND Window;
    const WaveInWindowNotifier Notifier;
    const WORD FrameBytes;
    WaveInStatistics& Statistics;

    std::array<HeldBuffer, kCapacity> Entries{};
    std::atomic<std::uint64_t> Head{0}; // index of the oldest held buffer; device side writes
    std::atomic<std::uint64_t> Tail{0}; // one past the newest, plus kFailedBit; front end writes
    std::size_t HeadFill = 0;           // bytes in the oldest held buffer; device side only
    std::atomic_flag Failing = ATOMIC_FLAG_INIT;
    char Reason[kReasonSize] = {};
    // The header returned as the i-th buffer sits at [i % kCapacity] until the notifier has
    // announced it; device side writes. A notifier more than kCapacity returns behind would
    // announce a later header in place of an earlier one (never seen: it wakes per return).
    std::array<std::atomic<WAVEHDR*>, kCapacity> ReturnedHeaders{};
    WaveSignal Returns;                // raised after every return
    std::atomic<bool> Quitting{false}; // the notifier's last round
    std::thread Notifying;             // last: starts once everything above exists
};

// One open input stream of a backend. The destructor stops and releases the device and its
// thread (the PortAudio backend finishes closing on a thread of its own, so that a hung sound
// server cannot hang the caller); once it returns, nothing touches the WaveInCore any more.
class WaveInStream {
public:
    virtual ~WaveInStream() = default;
    // Begins (or resumes) filling buffers. On failure returns the code and sets detail.
    virtual MMRESULT Start(std::string& detail) = 0;
    // Ends filling; on return the device thread is parked and no longer touches the core. Never
    // waits for the sound system.
    virtual void Stop() = 0;
    // Asked before each buffer is queued; a non-zero result refuses it (with detail).
    virtual MMRESULT AdmitBuffer(std::string& /*detail*/) { return MMSYSERR_NOERROR; }
    // Told after a buffer was queued, so a waiting device thread can use it.
    virtual void BufferAdded() {}
};

// A source of input streams and device descriptions. Functions that fail return the code and
// put the sound system's reason, if any, in detail.
class WaveBackend {
public:
    virtual ~WaveBackend() = default;
    // format has passed the front end's PCM checks (tag, channels 1-2, bits 8/16, consistent
    // block alignment and byte rate). The stream fills buffers through core, which outlives it.
    virtual MMRESULT OpenInput(const WAVEFORMATEX& format, WaveInCore& core,
                               std::unique_ptr<WaveInStream>& stream, std::string& detail) = 0;
    virtual MMRESULT InputCaps(WAVEINCAPS& caps, std::string& detail) = 0;
    virtual MMRESULT OutputCaps(WAVEOUTCAPS& caps, std::string& detail) = 0;
    virtual MMRESULT OutputVolume(DWORD& volume, std::string& detail) = 0;
    virtual WaveInStatistics& Statistics() = 0;
};

// The system's sound input, the backend the layer serves by default.
WaveBackend& PortAudioWaveBackend();

// The one hook for a test device: makes backend serve later opens and device queries; nullptr
// goes back to the system's sound input. Refused (false) while any input device is open, so one
// program never mixes devices of two backends; installing the backend already in place always
// succeeds. backend must outlive every device opened through it and the layer itself: a
// function-local static is, when it is built before the layer is first used (before the first
// waveIn*/waveOut* call; installing the window notifier does not count). Any thread.
bool InstallWaveBackend(WaveBackend* backend);

// Copies text into a fixed field, cut to fit (never inside a UTF-8 character) and NUL-terminated;
// the rest of the field is zeroed.
void CopyName(std::span<char> field, std::string_view text);
