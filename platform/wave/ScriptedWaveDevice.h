// A scripted input device (library wave_testing): a backend of the waveform-audio layer whose
// behaviour a test decides. The program under test talks to it through the ordinary waveIn*
// functions and cannot tell it from a sound card; the test, through this control object, decides
// what each call returns, when each queued buffer completes and with which samples, and reads back
// how the program treated the device.
//
// Like a real device, it fills buffers on a device thread of its own; the layer announces
// MM_WIM_DATA from the open device's notifier thread, so a user-interface thread waiting in
// waveInUnprepareHeaderWait sees its buffers come back. Script steps run in the order given, on
// the device thread, while a device is open; steps given while none is open wait for the next
// open.
//
// Usage:
//     ScriptedWaveDevice device;          // installs the scripted backend
//     device.CompleteNext(firstBlock);    // schedule before the program waits
//     ... drive the program ...
//     EXPECT_EQ(device.Violations(), 0);
//
// At most one control object exists at a time. Its functions may be called from any thread,
// except from inside a Generator (which runs on the device thread with the script locked).
// The device accepts 16-bit PCM only (mono or stereo, any rate); buffers are filled as 16-bit
// samples in the machine's byte order.
#pragma once

#include "platform/wave/WaveAudio.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <span>
#include <string>

class ScriptedWaveDevice {
public:
    // Fills samples (the unfilled part of one buffer, whole) for the bufferIndex-th buffer the
    // generator fills, counted from 0 for each Feed.
    using Generator =
        std::function<void(std::span<std::int16_t> samples, std::int64_t bufferIndex)>;

    enum class Pace {
        AsFastAsPossible, // each buffer completes as soon as the device holds it and runs
        RealTime,         // each buffer completes its own duration after it began filling
    };

    // Installs the scripted backend (InstallWaveBackend) and starts from a clean script: every call
    // succeeds, the capability records are those of a plain 16-bit mono 22.05 kHz input and an
    // output without volume control, counters are 0. Throws std::logic_error when another control
    // object exists or an input device of another backend is open.
    ScriptedWaveDevice();
    // Drops the remaining script and puts the system's sound input back (once no device is
    // open). A device the program left open stays open and keeps counting as open.
    ~ScriptedWaveDevice();
    ScriptedWaveDevice(const ScriptedWaveDevice&) = delete;
    ScriptedWaveDevice& operator=(const ScriptedWaveDevice&) = delete;

    // --- Results of the program's calls (take effect at once) ---

    // waveInOpen fails with result (0: succeeds). text, if given, is what waveInGetErrorTextA
    // then says for that result.
    void SetOpenResult(MMRESULT result, std::string text = {});
    // After successesFirst more buffers are accepted, waveInAddBuffer fails with result for
    // every later buffer, until changed. result 0 accepts every buffer.
    void SetAddBufferResult(MMRESULT result, std::int32_t successesFirst = 0);
    // waveInStart fails with result (0: succeeds).
    void SetStartResult(MMRESULT result, std::string text = {});
    // What the capability and volume queries report (result 0: success; otherwise the records
    // come back cleared).
    void SetInputCaps(const WAVEINCAPS& caps, MMRESULT result = MMSYSERR_NOERROR);
    void SetOutputCaps(const WAVEOUTCAPS& caps, MMRESULT result = MMSYSERR_NOERROR);
    void SetVolume(DWORD volume, MMRESULT result = MMSYSERR_NOERROR);
    // A running device that holds buffers but has not completed one for this long fails as if
    // it vanished (reason "it stopped delivering samples"). Zero (the default) never fails.
    void SetStallTimeout(std::chrono::milliseconds timeout);

    // --- Script (run in order on the device thread) ---

    // Waits until the device runs and holds a buffer, then completes the oldest buffer with
    // these samples: fewer than it holds gives a short buffer (the rest reads as zeros), more
    // are cut off. An empty span completes it with nothing recorded.
    void CompleteNext(std::span<const std::int16_t> samples);
    // Waits until the device runs, then streams the samples into the held buffers as a sound
    // card would: buffers complete as they fill, and samples with no buffer to go to are lost.
    void Deliver(std::span<const std::int16_t> samples);
    // From here on, whenever the script has no other step, fills and completes every held
    // buffer with the generator's samples (an empty generator gives silence) at the given pace,
    // or perBuffer after each buffer began filling. Replaces an earlier Feed.
    void Feed(Generator generator, Pace pace = Pace::AsFastAsPossible);
    void Feed(Generator generator, std::chrono::microseconds perBuffer);
    // Ends feeding: the device stalls until told more.
    void StopFeeding();
    // The device disappears: every held buffer is returned as complete with what it holds, and
    // later waveInAddBuffer and waveInStart fail with MMSYSERR_NODRIVER naming reason.
    void Vanish(std::string reason = "the device was removed");
    // Drops every step not yet run, and ends feeding.
    void ClearScript();

    // --- Observation ---

    std::int32_t HeldBuffers() const;      // buffers the open device holds now; 0 when closed
    std::int64_t CompletedBuffers() const; // buffers returned since construction
    // Headers prepared or queued while the device held them, or re-armed before it returned
    // them, since construction. Any of these is a fault of the program.
    std::int64_t Violations() const;
    std::int32_t OpenCount() const;  // successful waveInOpen calls since construction
    std::int32_t CloseCount() const; // successful waveInClose calls since construction
    bool IsOpen() const;
    bool IsStarted() const;
    std::int32_t PendingSteps() const;   // script steps not yet finished
    std::int32_t AddBufferCalls() const; // waveInAddBuffer calls that reached the device

    // Wait, up to timeout, for every script step to have run; false on timeout. Do not call
    // from a thread the script is waiting for (it would wait for itself).
    bool WaitUntilScriptDone(std::chrono::milliseconds timeout) const;
    // Wait, up to timeout, until the device holds at least count buffers; false on timeout.
    bool WaitForHeldBuffers(std::int32_t count, std::chrono::milliseconds timeout) const;
};
