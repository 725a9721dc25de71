// The waveform-audio layer's contract, driven through the scripted device: what the capture
// cycle relies on (order, release, close, reset), what happens when a device fails, and the
// checks the front end makes for every backend.
#include "platform/wave/ScriptedWaveDevice.h"
#include "platform/wave/WaveAudio.h"
#include "platform/wave/WaveBackend.h"
#include "tests/platform/wave/CompletionRecorder.h"
#include "tests/platform/wave/WaveTestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <ostream>
#include <string>

namespace {

using namespace std::chrono_literals;

constexpr auto kWait = 5s; // only ever reached when something is broken

class ScriptedCapture : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(waveInOpen(&Device, WAVE_MAPPER, &kProgramFormat,
                             reinterpret_cast<DWORD_PTR>(Recorder.Window()), 0, CALLBACK_WINDOW),
                  MMSYSERR_NOERROR);
    }
    void TearDown() override {
        if (Scripted.IsOpen()) {
            waveInReset(Device);
            EXPECT_EQ(waveInClose(Device), MMSYSERR_NOERROR);
        }
    }

    // The first count buffers. They belong to the fixture so that they outlive whatever the
    // device still holds when a test ends (TearDown resets it).
    std::span<CaptureBuffer> Some(std::size_t count) { return std::span(Buffers).first(count); }

    ScriptedWaveDevice Scripted;
    CompletionRecorder Recorder;
    HWAVEIN Device = nullptr;
    std::array<CaptureBuffer, 33> Buffers;
};

TEST_F(ScriptedCapture, BuffersCompleteInQueueOrderWithTheirSamples) {
    const std::span<CaptureBuffer> buffers = Some(3);
    for (CaptureBuffer& buffer : buffers) {
        ASSERT_EQ(buffer.Queue(Device), MMSYSERR_NOERROR);
    }
    ASSERT_EQ(waveInStart(Device), MMSYSERR_NOERROR);
    for (int i = 0; i < 3; ++i) {
        Scripted.CompleteNext(Ramp(i * 10000, kBufferSamples));
    }
    ASSERT_TRUE(Recorder.WaitFor(3, kWait));

    const std::vector<RecordedMessage> messages = Recorder.Messages();
    ASSERT_EQ(messages.size(), 3u);
    for (std::size_t i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(messages[i].Window, Recorder.Window());
        EXPECT_EQ(messages[i].Msg, MM_WIM_DATA);
        EXPECT_EQ(messages[i].WParam, reinterpret_cast<WPARAM>(Device));
        EXPECT_EQ(messages[i].LParam, buffers[i].Address());
        const WAVEHDR& header = buffers[i].Header;
        EXPECT_EQ(header.dwFlags & (WHDR_DONE | WHDR_INQUEUE | WHDR_PREPARED),
                  WHDR_DONE | WHDR_PREPARED);
        EXPECT_EQ(header.dwBytesRecorded, header.dwBufferLength);
        const std::vector<std::int16_t> expected =
            Ramp(static_cast<std::int32_t>(i) * 10000, kBufferSamples);
        EXPECT_TRUE(std::equal(expected.begin(), expected.end(), buffers[i].Samples.begin()));
    }
    EXPECT_EQ(Scripted.HeldBuffers(), 0);
    EXPECT_EQ(Scripted.Violations(), 0);
}

// The program's busy wait ends only because the device thread fills the buffer meanwhile.
TEST_F(ScriptedCapture, UnprepareAnswersStillPlayingUntilTheDeviceFillsTheBuffer) {
    CaptureBuffer& buffer = Buffers[0];
    ASSERT_EQ(buffer.Queue(Device), MMSYSERR_NOERROR);
    ASSERT_EQ(waveInStart(Device), MMSYSERR_NOERROR);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(waveInUnprepareHeader(Device, &buffer.Header, sizeof buffer.Header),
                  WAVERR_STILLPLAYING);
    }
    EXPECT_EQ(Scripted.HeldBuffers(), 1);

    Scripted.CompleteNext(Ramp(7, kBufferSamples));
    EXPECT_EQ(UnprepareWhenReleased(Device, buffer.Header, kWait), MMSYSERR_NOERROR);
    EXPECT_EQ(buffer.Header.dwFlags & (WHDR_PREPARED | WHDR_INQUEUE), 0u);
    EXPECT_EQ(buffer.Samples.front(), 7);
    EXPECT_EQ(buffer.Samples.back(), static_cast<std::int16_t>(7 + kBufferSamples - 1));
}

// Two buffers circulating as the capture cycle keeps them, for many blocks.
TEST_F(ScriptedCapture, TwoBuffersCirculateForManyBlocks) {
    const std::span<CaptureBuffer> buffers = Some(2);
    for (CaptureBuffer& buffer : buffers) {
        ASSERT_EQ(buffer.Queue(Device), MMSYSERR_NOERROR);
    }
    Scripted.Feed([](std::span<std::int16_t> samples, std::int64_t index) {
        std::fill(samples.begin(), samples.end(), static_cast<std::int16_t>(index));
    });
    ASSERT_EQ(waveInStart(Device), MMSYSERR_NOERROR);

    constexpr int kBlocks = 300;
    int current = 0;
    for (int block = 0; block < kBlocks; ++block) {
        CaptureBuffer& buffer = buffers[current];
        ASSERT_EQ(UnprepareWhenReleased(Device, buffer.Header, kWait), MMSYSERR_NOERROR)
            << "block " << block;
        ASSERT_EQ(buffer.Samples.front(), static_cast<std::int16_t>(block));
        ASSERT_EQ(buffer.Samples.back(), static_cast<std::int16_t>(block));
        ASSERT_EQ(buffer.Queue(Device), MMSYSERR_NOERROR);
        current = 1 - current;
    }
    ASSERT_TRUE(Recorder.WaitFor(kBlocks, kWait));
    const std::vector<RecordedMessage> messages = Recorder.Messages();
    for (int block = 0; block < kBlocks; ++block) {
        ASSERT_EQ(messages[block].LParam, buffers[block % 2].Address()) << "block " << block;
    }
    EXPECT_EQ(Scripted.Violations(), 0);
}

TEST_F(ScriptedCapture, ShortBufferReadsAsSilenceBeyondWhatWasRecorded) {
    CaptureBuffer& buffer = Buffers[0];
    ASSERT_EQ(buffer.Queue(Device), MMSYSERR_NOERROR);
    std::fill(buffer.Samples.begin(), buffer.Samples.end(), std::int16_t{0x5555}); // stale block
    ASSERT_EQ(waveInStart(Device), MMSYSERR_NOERROR);
    Scripted.CompleteNext(Ramp(1, 100));
    ASSERT_EQ(UnprepareWhenReleased(Device, buffer.Header, kWait), MMSYSERR_NOERROR);

    EXPECT_EQ(buffer.Header.dwBytesRecorded, 200u);
    EXPECT_EQ(buffer.Samples[99], 100);
    EXPECT_TRUE(std::all_of(buffer.Samples.begin() + 100, buffer.Samples.end(),
                            [](std::int16_t sample) { return sample == 0; }));
}

TEST_F(ScriptedCapture, DeliveredSamplesFillBuffersInTurnAndAreLostWithoutOne) {
    const std::span<CaptureBuffer> buffers = Some(2);
    ASSERT_EQ(buffers[0].Queue(Device), MMSYSERR_NOERROR);
    ASSERT_EQ(waveInStart(Device), MMSYSERR_NOERROR);
    // One buffer and a half of samples: the half has nowhere to go.
    Scripted.Deliver(Ramp(0, kBufferSamples + kBufferSamples / 2));
    ASSERT_TRUE(Scripted.WaitUntilScriptDone(kWait));
    ASSERT_EQ(UnprepareWhenReleased(Device, buffers[0].Header, kWait), MMSYSERR_NOERROR);
    EXPECT_EQ(buffers[0].Samples.back(), static_cast<std::int16_t>(kBufferSamples - 1));

    ASSERT_EQ(buffers[0].Queue(Device), MMSYSERR_NOERROR);
    ASSERT_EQ(buffers[1].Queue(Device), MMSYSERR_NOERROR);
    Scripted.Deliver(Ramp(20000, kBufferSamples + 10));
    ASSERT_EQ(UnprepareWhenReleased(Device, buffers[0].Header, kWait), MMSYSERR_NOERROR);
    EXPECT_EQ(buffers[0].Samples.front(), 20000); // nothing of the lost half
    ASSERT_TRUE(Scripted.WaitUntilScriptDone(kWait));
    EXPECT_EQ(Scripted.HeldBuffers(), 1);
    ASSERT_EQ(waveInStop(Device), MMSYSERR_NOERROR); // returns the ten samples
    ASSERT_EQ(UnprepareWhenReleased(Device, buffers[1].Header, kWait), MMSYSERR_NOERROR);
    EXPECT_EQ(buffers[1].Header.dwBytesRecorded, 20u);
    EXPECT_EQ(buffers[1].Samples[0], static_cast<std::int16_t>(20000 + kBufferSamples));
}

TEST_F(ScriptedCapture, StopReturnsAPartlyFilledBufferAndKeepsEmptyOnes) {
    const std::span<CaptureBuffer> buffers = Some(3);
    for (CaptureBuffer& buffer : buffers) {
        ASSERT_EQ(buffer.Queue(Device), MMSYSERR_NOERROR);
    }
    ASSERT_EQ(waveInStart(Device), MMSYSERR_NOERROR);
    Scripted.Deliver(Ramp(0, 100));
    ASSERT_TRUE(Scripted.WaitUntilScriptDone(kWait));

    ASSERT_EQ(waveInStop(Device), MMSYSERR_NOERROR);
    ASSERT_TRUE(Recorder.WaitFor(1, kWait));
    EXPECT_EQ(buffers[0].Header.dwBytesRecorded, 200u);
    EXPECT_EQ(Scripted.HeldBuffers(), 2);

    // A stopped device fills nothing; the script waits for the restart.
    Scripted.CompleteNext(Ramp(500, kBufferSamples));
    EXPECT_EQ(waveInUnprepareHeader(Device, &buffers[1].Header, sizeof(WAVEHDR)),
              WAVERR_STILLPLAYING);
    ASSERT_EQ(waveInStart(Device), MMSYSERR_NOERROR);
    ASSERT_EQ(UnprepareWhenReleased(Device, buffers[1].Header, kWait), MMSYSERR_NOERROR);
    EXPECT_EQ(buffers[1].Samples[0], 500);
    EXPECT_EQ(Scripted.HeldBuffers(), 1);
}

// The bounded wait the window uses for a buffer, in each state the buffer can be in.
struct WaitCase {
    const char* Name;
    // Arranges the state; returns the result the wait must give.
    std::function<MMRESULT(ScriptedWaveDevice&, HWAVEIN, CaptureBuffer&)> Arrange;
};

void PrintTo(const WaitCase& waitCase, std::ostream* out) {
    *out << waitCase.Name;
}

class WaitForRelease : public ScriptedCapture, public ::testing::WithParamInterface<WaitCase> {};

TEST_P(WaitForRelease, EndsWhenTheDeviceLetsGoOrTheTimeIsUp) {
    CaptureBuffer& buffer = Some(1)[0];
    ASSERT_EQ(buffer.Queue(Device), MMSYSERR_NOERROR);
    ASSERT_EQ(waveInStart(Device), MMSYSERR_NOERROR);
    const MMRESULT expected = GetParam().Arrange(Scripted, Device, buffer);
    EXPECT_EQ(waveInUnprepareHeaderWait(Device, &buffer.Header, sizeof(WAVEHDR), 200), expected);
    const bool released = expected == MMSYSERR_NOERROR;
    EXPECT_EQ((buffer.Header.dwFlags & WHDR_PREPARED) == 0, released);
    EXPECT_EQ(Scripted.HeldBuffers(), released ? 0 : 1);
}

const WaitCase kWaitCases[] = {
    {"NeverFilled",
     [](ScriptedWaveDevice&, HWAVEIN, CaptureBuffer&) -> MMRESULT { return WAVERR_STILLPLAYING; }},
    {"FilledWhileWaiting", // the device thread completes it a moment after the wait began
     [](ScriptedWaveDevice& scripted, HWAVEIN, CaptureBuffer&) -> MMRESULT {
         scripted.Feed({}, std::chrono::milliseconds(50));
         return MMSYSERR_NOERROR;
     }},
    {"FilledBefore",
     [](ScriptedWaveDevice& scripted, HWAVEIN, CaptureBuffer&) -> MMRESULT {
         scripted.CompleteNext(Ramp(1, kBufferSamples));
         scripted.WaitUntilScriptDone(kWait);
         return MMSYSERR_NOERROR;
     }},
    {"Reset",
     [](ScriptedWaveDevice&, HWAVEIN device, CaptureBuffer&) -> MMRESULT {
         waveInReset(device);
         return MMSYSERR_NOERROR;
     }},
    {"DeviceVanished",
     [](ScriptedWaveDevice& scripted, HWAVEIN, CaptureBuffer&) -> MMRESULT {
         scripted.Vanish();
         return MMSYSERR_NOERROR;
     }},
};

INSTANTIATE_TEST_SUITE_P(States, WaitForRelease, ::testing::ValuesIn(kWaitCases),
                         [](const auto& info) { return std::string(info.param.Name); });

TEST_F(ScriptedCapture, WaitOnAClosedDeviceEndsAtOnce) {
    ASSERT_EQ(waveInClose(Device), MMSYSERR_NOERROR);
    CaptureBuffer& buffer = Some(1)[0];
    buffer.Arm();
    EXPECT_EQ(waveInUnprepareHeaderWait(Device, &buffer.Header, sizeof(WAVEHDR), 60000),
              MMSYSERR_INVALHANDLE);
}

TEST_F(ScriptedCapture, CloseIsRefusedWhileQueuedAndResetReturnsEveryBufferAtOnce) {
    const std::span<CaptureBuffer> buffers = Some(3);
    for (CaptureBuffer& buffer : buffers) {
        ASSERT_EQ(buffer.Queue(Device), MMSYSERR_NOERROR);
    }
    ASSERT_EQ(waveInStart(Device), MMSYSERR_NOERROR);
    EXPECT_EQ(waveInClose(Device), WAVERR_STILLPLAYING);
    EXPECT_TRUE(Scripted.IsOpen());

    ASSERT_EQ(waveInReset(Device), MMSYSERR_NOERROR);
    // Returned before waveInReset came back, each with its message, in order.
    EXPECT_EQ(Scripted.HeldBuffers(), 0);
    ASSERT_TRUE(Recorder.WaitFor(3, kWait));
    const std::vector<RecordedMessage> messages = Recorder.Messages();
    for (std::size_t i = 0; i < buffers.size(); ++i) {
        EXPECT_EQ(messages[i].LParam, buffers[i].Address());
        EXPECT_EQ(buffers[i].Header.dwFlags & (WHDR_DONE | WHDR_INQUEUE), WHDR_DONE);
        EXPECT_EQ(buffers[i].Header.dwBytesRecorded, 0u);
        EXPECT_EQ(waveInUnprepareHeader(Device, &buffers[i].Header, sizeof(WAVEHDR)),
                  MMSYSERR_NOERROR);
    }
    EXPECT_EQ(waveInClose(Device), MMSYSERR_NOERROR);
    EXPECT_FALSE(Scripted.IsOpen());
    // On a closed device the program's wait ends at once.
    EXPECT_EQ(waveInUnprepareHeader(Device, &buffers[0].Header, sizeof(WAVEHDR)),
              MMSYSERR_INVALHANDLE);
    EXPECT_EQ(waveInClose(Device), MMSYSERR_INVALHANDLE);
}

TEST_F(ScriptedCapture, VanishingDeviceReturnsHeldBuffersAndFailsTheNextAdd) {
    const std::span<CaptureBuffer> buffers = Some(2);
    for (CaptureBuffer& buffer : buffers) {
        ASSERT_EQ(buffer.Queue(Device), MMSYSERR_NOERROR);
    }
    ASSERT_EQ(waveInStart(Device), MMSYSERR_NOERROR);
    Scripted.Deliver(Ramp(3, 10));
    Scripted.Vanish("USB cable pulled");
    ASSERT_TRUE(Recorder.WaitFor(2, kWait));

    EXPECT_EQ(buffers[0].Header.dwBytesRecorded, 20u);
    EXPECT_EQ(buffers[1].Header.dwBytesRecorded, 0u);
    for (CaptureBuffer& buffer : buffers) {
        EXPECT_EQ(waveInUnprepareHeader(Device, &buffer.Header, sizeof(WAVEHDR)), MMSYSERR_NOERROR);
    }
    EXPECT_EQ(buffers[0].Queue(Device), MMSYSERR_NODRIVER);
    EXPECT_EQ(ErrorText(MMSYSERR_NODRIVER),
              "The sound input device stopped working: USB cable pulled");
    EXPECT_EQ(waveInStart(Device), MMSYSERR_NODRIVER);
    EXPECT_EQ(Scripted.HeldBuffers(), 0);
    EXPECT_EQ(waveInClose(Device), MMSYSERR_NOERROR);
}

TEST_F(ScriptedCapture, StalledDeviceReturnsHeldBuffersAfterItsStallTimeout) {
    Scripted.SetStallTimeout(50ms);
    const std::span<CaptureBuffer> buffers = Some(2);
    for (CaptureBuffer& buffer : buffers) {
        ASSERT_EQ(buffer.Queue(Device), MMSYSERR_NOERROR);
    }
    ASSERT_EQ(waveInStart(Device), MMSYSERR_NOERROR);
    ASSERT_EQ(UnprepareWhenReleased(Device, buffers[0].Header, kWait), MMSYSERR_NOERROR);
    ASSERT_EQ(UnprepareWhenReleased(Device, buffers[1].Header, kWait), MMSYSERR_NOERROR);
    EXPECT_EQ(buffers[0].Queue(Device), MMSYSERR_NODRIVER);
    EXPECT_EQ(ErrorText(MMSYSERR_NODRIVER),
              "The sound input device stopped working: it stopped delivering samples");
}

// Touching a header the device holds would let the device write into a re-armed buffer.
TEST_F(ScriptedCapture, HeadersTheDeviceHoldsAreRefusedAndCounted) {
    CaptureBuffer& buffer = Buffers[0];
    ASSERT_EQ(buffer.Queue(Device), MMSYSERR_NOERROR);
    EXPECT_EQ(waveInPrepareHeader(Device, &buffer.Header, sizeof(WAVEHDR)), WAVERR_STILLPLAYING);
    EXPECT_EQ(waveInAddBuffer(Device, &buffer.Header, sizeof(WAVEHDR)), WAVERR_STILLPLAYING);
    EXPECT_EQ(Scripted.HeldBuffers(), 1);
    EXPECT_EQ(Scripted.Violations(), 2);

    buffer.Header.dwFlags = 0; // re-armed behind the device's back
    ASSERT_EQ(waveInStart(Device), MMSYSERR_NOERROR);
    Scripted.CompleteNext(Ramp(0, kBufferSamples));
    ASSERT_TRUE(Recorder.WaitFor(1, kWait));
    EXPECT_EQ(Scripted.Violations(), 3);
}

TEST_F(ScriptedCapture, BufferAdmissionFailsAfterTheScriptedSuccesses) {
    Scripted.SetAddBufferResult(MMSYSERR_ERROR, 1);
    const std::span<CaptureBuffer> buffers = Some(2);
    EXPECT_EQ(buffers[0].Queue(Device), MMSYSERR_NOERROR);
    EXPECT_EQ(buffers[1].Queue(Device), MMSYSERR_ERROR);
    EXPECT_EQ(Scripted.HeldBuffers(), 1);
    EXPECT_EQ(Scripted.AddBufferCalls(), 2);
    Scripted.SetAddBufferResult(MMSYSERR_NOERROR);
    EXPECT_EQ(buffers[1].Queue(Device), MMSYSERR_NOERROR);
}

TEST_F(ScriptedCapture, StartFailsWithTheScriptedResultAndText) {
    Scripted.SetStartResult(MMSYSERR_NOTENABLED, "The sound driver could not be enabled: test");
    EXPECT_EQ(waveInStart(Device), MMSYSERR_NOTENABLED);
    EXPECT_FALSE(Scripted.IsStarted());
    EXPECT_EQ(ErrorText(MMSYSERR_NOTENABLED), "The sound driver could not be enabled: test");
    Scripted.SetStartResult(MMSYSERR_NOERROR);
    EXPECT_EQ(waveInStart(Device), MMSYSERR_NOERROR);
    EXPECT_TRUE(Scripted.IsStarted());
}

TEST_F(ScriptedCapture, HandlesAreNeverReusedAndASecondOpenIsRefused) {
    HWAVEIN second = nullptr;
    EXPECT_EQ(waveInOpen(&second, WAVE_MAPPER, &kProgramFormat, 0, 0, CALLBACK_NULL),
              MMSYSERR_ALLOCATED);
    ASSERT_EQ(waveInClose(Device), MMSYSERR_NOERROR);
    const HWAVEIN first = Device;
    ASSERT_EQ(waveInOpen(&Device, WAVE_MAPPER, &kProgramFormat, 0, 0, CALLBACK_NULL),
              MMSYSERR_NOERROR);
    EXPECT_NE(Device, first);
    EXPECT_EQ(waveInStart(first), MMSYSERR_INVALHANDLE);
    EXPECT_EQ(Scripted.OpenCount(), 2);
    EXPECT_EQ(Scripted.CloseCount(), 1);
}

// Without a window the caller sees completion in the header's flags.
TEST_F(ScriptedCapture, WithoutWindowCompletionShowsInTheFlagsOnly) {
    ASSERT_EQ(waveInClose(Device), MMSYSERR_NOERROR);
    ASSERT_EQ(waveInOpen(&Device, 0, &kProgramFormat, 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
    CaptureBuffer& buffer = Buffers[0];
    ASSERT_EQ(buffer.Queue(Device), MMSYSERR_NOERROR);
    ASSERT_EQ(waveInStart(Device), MMSYSERR_NOERROR);
    Scripted.CompleteNext(Ramp(0, kBufferSamples));
    ASSERT_EQ(UnprepareWhenReleased(Device, buffer.Header, kWait), MMSYSERR_NOERROR);
    EXPECT_NE(buffer.Header.dwFlags & WHDR_DONE, 0u);
    EXPECT_TRUE(Recorder.Messages().empty());
}

// --- Opening ---

struct OpenFailureCase {
    const char* Name;
    MMRESULT Result;
    const char* ScriptedText;
    const char* ExpectedText;
};

void PrintTo(const OpenFailureCase& openCase, std::ostream* out) {
    *out << openCase.Name;
}

class ScriptedOpen : public ::testing::TestWithParam<OpenFailureCase> {};

TEST_P(ScriptedOpen, FailsWithTheScriptedResultAndText) {
    ScriptedWaveDevice scripted;
    scripted.SetOpenResult(GetParam().Result, GetParam().ScriptedText);
    HWAVEIN device = nullptr;
    EXPECT_EQ(waveInOpen(&device, WAVE_MAPPER, &kProgramFormat, 0, 0, CALLBACK_WINDOW),
              GetParam().Result);
    EXPECT_EQ(ErrorText(GetParam().Result), GetParam().ExpectedText);
    EXPECT_FALSE(scripted.IsOpen());
    EXPECT_EQ(scripted.OpenCount(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Results, ScriptedOpen,
    ::testing::Values(
        OpenFailureCase{"NoDevice", MMSYSERR_NODRIVER, "No sound input device: Device unavailable",
                        "No sound input device: Device unavailable"},
        OpenFailureCase{"Busy", MMSYSERR_ALLOCATED, "", "The sound device is already in use"},
        OpenFailureCase{"BadFormat", WAVERR_BADFORMAT, "",
                        "The sound device cannot record in this format"}),
    [](const auto& info) { return std::string(info.param.Name); });

// --- Argument checks, the same for every backend ---

class WaveInArguments : public ScriptedCapture {};

struct ArgumentCase {
    const char* Name;
    MMRESULT Expected;
    std::function<MMRESULT(HWAVEIN device, CaptureBuffer& buffer)> Call;
};

WAVEFORMATEX FormatWith(const std::function<void(WAVEFORMATEX&)>& change) {
    WAVEFORMATEX format = kProgramFormat;
    change(format);
    return format;
}

MMRESULT OpenWith(const WAVEFORMATEX& format, DWORD flags = CALLBACK_NULL, UINT id = WAVE_MAPPER) {
    HWAVEIN device = nullptr;
    const MMRESULT result = waveInOpen(&device, id, &format, 0, 0, flags);
    if (result == MMSYSERR_NOERROR) {
        waveInClose(device);
    }
    return result;
}

TEST_F(WaveInArguments, AreCheckedBeforeTheDeviceIsTouched) {
    const HWAVEIN stale = reinterpret_cast<HWAVEIN>(std::uintptr_t{0x1234});
    const std::vector<ArgumentCase> cases{
        {"open without handle", MMSYSERR_INVALPARAM,
         [](HWAVEIN, CaptureBuffer&) {
             return waveInOpen(nullptr, WAVE_MAPPER, &kProgramFormat, 0, 0, CALLBACK_NULL);
         }},
        {"open without format", MMSYSERR_INVALPARAM,
         [](HWAVEIN, CaptureBuffer&) {
             HWAVEIN device = nullptr;
             return waveInOpen(&device, WAVE_MAPPER, nullptr, 0, 0, CALLBACK_NULL);
         }},
        {"open device 1", MMSYSERR_BADDEVICEID,
         [](HWAVEIN, CaptureBuffer&) { return OpenWith(kProgramFormat, CALLBACK_NULL, 1); }},
        {"open with function callback", MMSYSERR_INVALFLAG,
         [](HWAVEIN, CaptureBuffer&) { return OpenWith(kProgramFormat, 0x00030000); }},
        {"open with unknown flag", MMSYSERR_INVALFLAG,
         [](HWAVEIN, CaptureBuffer&) { return OpenWith(kProgramFormat, CALLBACK_WINDOW | 0x8); }},
        {"float format", WAVERR_BADFORMAT,
         [](HWAVEIN, CaptureBuffer&) {
             return OpenWith(FormatWith([](WAVEFORMATEX& f) { f.wFormatTag = 3; }));
         }},
        {"no channels", WAVERR_BADFORMAT,
         [](HWAVEIN, CaptureBuffer&) {
             return OpenWith(FormatWith([](WAVEFORMATEX& f) { f.nChannels = 0; }));
         }},
        {"24 bits", WAVERR_BADFORMAT,
         [](HWAVEIN, CaptureBuffer&) {
             return OpenWith(FormatWith([](WAVEFORMATEX& f) {
                 f.wBitsPerSample = 24;
                 f.nBlockAlign = 3;
                 f.nAvgBytesPerSec = 66150;
             }));
         }},
        {"rate 0", WAVERR_BADFORMAT,
         [](HWAVEIN, CaptureBuffer&) {
             return OpenWith(FormatWith([](WAVEFORMATEX& f) {
                 f.nSamplesPerSec = 0;
                 f.nAvgBytesPerSec = 0;
             }));
         }},
        {"wrong block alignment", WAVERR_BADFORMAT,
         [](HWAVEIN, CaptureBuffer&) {
             return OpenWith(FormatWith([](WAVEFORMATEX& f) { f.nBlockAlign = 4; }));
         }},
        {"wrong byte rate", WAVERR_BADFORMAT,
         [](HWAVEIN, CaptureBuffer&) {
             return OpenWith(FormatWith([](WAVEFORMATEX& f) { f.nAvgBytesPerSec = 22050; }));
         }},
        {"8 bits on the scripted device", WAVERR_BADFORMAT,
         [](HWAVEIN, CaptureBuffer&) {
             return OpenWith(FormatWith([](WAVEFORMATEX& f) {
                 f.wBitsPerSample = 8;
                 f.nBlockAlign = 1;
                 f.nAvgBytesPerSec = 22050;
             }));
         }},
        {"prepare on unknown handle", MMSYSERR_INVALHANDLE,
         [stale](HWAVEIN, CaptureBuffer& b) {
             return waveInPrepareHeader(stale, &b.Header, sizeof(WAVEHDR));
         }},
        {"add on unknown handle", MMSYSERR_INVALHANDLE,
         [stale](HWAVEIN, CaptureBuffer& b) {
             return waveInAddBuffer(stale, &b.Header, sizeof(WAVEHDR));
         }},
        {"start on null handle", MMSYSERR_INVALHANDLE,
         [](HWAVEIN, CaptureBuffer&) { return waveInStart(nullptr); }},
        {"stop on unknown handle", MMSYSERR_INVALHANDLE,
         [stale](HWAVEIN, CaptureBuffer&) { return waveInStop(stale); }},
        {"reset on unknown handle", MMSYSERR_INVALHANDLE,
         [stale](HWAVEIN, CaptureBuffer&) { return waveInReset(stale); }},
        {"prepare without header", MMSYSERR_INVALPARAM,
         [](HWAVEIN d, CaptureBuffer&) { return waveInPrepareHeader(d, nullptr, 32); }},
        {"prepare with short size", MMSYSERR_INVALPARAM,
         [](HWAVEIN d, CaptureBuffer& b) { return waveInPrepareHeader(d, &b.Header, 16); }},
        {"unprepare with short size", MMSYSERR_INVALPARAM,
         [](HWAVEIN d, CaptureBuffer& b) { return waveInUnprepareHeader(d, &b.Header, 16); }},
        {"add unprepared", WAVERR_UNPREPARED,
         [](HWAVEIN d, CaptureBuffer& b) {
             b.Arm();
             return waveInAddBuffer(d, &b.Header, sizeof(WAVEHDR));
         }},
        {"add without memory", MMSYSERR_INVALPARAM,
         [](HWAVEIN d, CaptureBuffer& b) {
             b.Arm();
             b.Header.lpData = nullptr;
             waveInPrepareHeader(d, &b.Header, sizeof(WAVEHDR));
             return waveInAddBuffer(d, &b.Header, sizeof(WAVEHDR));
         }},
        {"add shorter than a sample", MMSYSERR_INVALPARAM,
         [](HWAVEIN d, CaptureBuffer& b) {
             b.Arm();
             b.Header.dwBufferLength = 1;
             waveInPrepareHeader(d, &b.Header, sizeof(WAVEHDR));
             return waveInAddBuffer(d, &b.Header, sizeof(WAVEHDR));
         }},
    };
    for (const ArgumentCase& argumentCase : cases) {
        CaptureBuffer buffer;
        EXPECT_EQ(argumentCase.Call(Device, buffer), argumentCase.Expected) << argumentCase.Name;
    }
    EXPECT_EQ(Scripted.HeldBuffers(), 0);
    EXPECT_EQ(Scripted.OpenCount(), 1);
    EXPECT_EQ(Scripted.AddBufferCalls(), 0);
}

TEST_F(WaveInArguments, AQueueOfThirtyTwoBuffersIsTheMost) {
    const std::span<CaptureBuffer> buffers = Some(33);
    for (std::size_t i = 0; i < 32; ++i) {
        ASSERT_EQ(buffers[i].Queue(Device), MMSYSERR_NOERROR) << i;
    }
    EXPECT_EQ(buffers[32].Queue(Device), MMSYSERR_NOMEM);
    EXPECT_EQ(Scripted.HeldBuffers(), 32);
}

// --- Error texts ---

TEST(WaveErrorText, EveryCodeHasAReadableText) {
    for (const MMRESULT code :
         {MMSYSERR_NOERROR, MMSYSERR_ERROR, MMSYSERR_BADDEVICEID, MMSYSERR_NOTENABLED,
          MMSYSERR_INVALHANDLE, MMSYSERR_NOMEM, MMSYSERR_NOTSUPPORTED, MMSYSERR_BADERRNUM,
          MMSYSERR_INVALFLAG, MMSYSERR_INVALPARAM, WAVERR_STILLPLAYING, WAVERR_UNPREPARED}) {
        char text[256] = {};
        EXPECT_EQ(waveInGetErrorTextA(code, text, sizeof text), MMSYSERR_NOERROR) << code;
        EXPECT_GT(std::strlen(text), 10u) << code;
    }
    char text[256] = {};
    EXPECT_EQ(waveInGetErrorTextA(77, text, sizeof text), MMSYSERR_BADERRNUM);
    EXPECT_STREQ(text, "Unknown sound system error 77");
}

TEST(WaveErrorText, IsCutToTheCallersBuffer) {
    char text[10];
    std::memset(text, 'x', sizeof text);
    EXPECT_EQ(waveInGetErrorTextA(WAVERR_UNPREPARED, text, 6), MMSYSERR_NOERROR);
    EXPECT_STREQ(text, "The b");
    EXPECT_EQ(text[6], 'x');
    EXPECT_EQ(waveInGetErrorTextA(WAVERR_UNPREPARED, text, 1), MMSYSERR_NOERROR);
    EXPECT_STREQ(text, "");
    EXPECT_EQ(waveInGetErrorTextA(WAVERR_UNPREPARED, text, 0), MMSYSERR_INVALPARAM);
    EXPECT_EQ(waveInGetErrorTextA(WAVERR_UNPREPARED, nullptr, 10), MMSYSERR_INVALPARAM);
}

// --- Device queries ---

TEST(WaveDeviceQueries, ReportWhatTheDeviceSays) {
    ScriptedWaveDevice scripted;
    WAVEINCAPS input{};
    std::strcpy(input.szPname, "Line In (USB Audio CODEC)");
    input.dwFormats = WAVE_FORMAT_1M16 | WAVE_FORMAT_2M16 | WAVE_FORMAT_4S16;
    input.wChannels = 2;
    scripted.SetInputCaps(input);
    WAVEOUTCAPS output{};
    std::strcpy(output.szPname, "Speakers");
    output.dwFormats = 0xFFF;
    output.dwSupport = WAVECAPS_VOLUME | WAVECAPS_LRVOLUME;
    scripted.SetOutputCaps(output);
    scripted.SetVolume(0x8000FFFF);

    WAVEINCAPS readInput{};
    EXPECT_EQ(waveInGetDevCapsA(WAVE_MAPPER, &readInput, sizeof readInput), MMSYSERR_NOERROR);
    EXPECT_EQ(std::memcmp(&readInput, &input, sizeof input), 0);
    WAVEOUTCAPS readOutput{};
    EXPECT_EQ(waveOutGetDevCapsA(static_cast<UINT_PTR>(-1), &readOutput, sizeof readOutput),
              MMSYSERR_NOERROR);
    EXPECT_EQ(std::memcmp(&readOutput, &output, sizeof output), 0);
    for (const HWAVEOUT handle :
         {reinterpret_cast<HWAVEOUT>(-1), reinterpret_cast<HWAVEOUT>(UINT_PTR{WAVE_MAPPER}),
          static_cast<HWAVEOUT>(nullptr)}) {
        DWORD volume = 0;
        EXPECT_EQ(waveOutGetVolume(handle, &volume), MMSYSERR_NOERROR);
        EXPECT_EQ(volume, 0x8000FFFFu);
    }
    DWORD volume = 0;
    EXPECT_EQ(waveOutGetVolume(reinterpret_cast<HWAVEOUT>(UINT_PTR{5}), &volume),
              MMSYSERR_INVALHANDLE);
    EXPECT_EQ(waveInGetDevCapsA(3, &readInput, sizeof readInput), MMSYSERR_BADDEVICEID);
}

TEST(WaveDeviceQueries, FillNoMoreThanTheCallerAsked) {
    ScriptedWaveDevice scripted;
    WAVEINCAPS caps;
    Smear(caps);
    EXPECT_EQ(waveInGetDevCapsA(WAVE_MAPPER, &caps, 8), MMSYSERR_NOERROR);
    const auto* bytes = reinterpret_cast<const unsigned char*>(&caps);
    EXPECT_TRUE(
        std::all_of(bytes + 8, bytes + sizeof caps, [](unsigned char b) { return b == 0xAB; }));
    EXPECT_EQ(caps.wMid, 0);
}

TEST(WaveDeviceQueries, FailureClearsTheRecordAndLeavesTheVolumeAlone) {
    ScriptedWaveDevice scripted;
    WAVEINCAPS input{};
    std::strcpy(input.szPname, "Gone");
    input.dwFormats = WAVE_FORMAT_2M16;
    scripted.SetInputCaps(input, MMSYSERR_NODRIVER);
    WAVEINCAPS readInput;
    Smear(readInput);
    EXPECT_EQ(waveInGetDevCapsA(WAVE_MAPPER, &readInput, sizeof readInput), MMSYSERR_NODRIVER);
    EXPECT_EQ(readInput.szPname[0], '\0');
    EXPECT_EQ(readInput.dwFormats, 0u);

    DWORD volume = 0x12345678; // the default scripted output has no volume control
    EXPECT_EQ(waveOutGetVolume(reinterpret_cast<HWAVEOUT>(-1), &volume), MMSYSERR_NOTSUPPORTED);
    EXPECT_EQ(volume, 0x12345678u);
}

// Names longer than the record's 31 characters are cut, never inside a character.
TEST(WaveDeviceQueries, LongNamesAreCutAtACharacterBoundary) {
    struct Case {
        std::string Name;
        std::string Expected;
    };
    const std::string thirty(30, 'a');
    const std::vector<Case> cases{
        {"default", "default"},
        {thirty + "b", thirty + "b"},
        {thirty + "bc", thirty + "b"},
        {thirty + "\xC3\x84", thirty},             // "Ä" would straddle the end
        {"a" + thirty + "\xC3\x84", "a" + thirty}, // ends right before it
        {std::string(29, 'a') + "\xC3\x84z", std::string(29, 'a') + "\xC3\x84"},
    };
    for (const Case& nameCase : cases) {
        char field[32];
        std::memset(field, 'x', sizeof field);
        CopyName(field, nameCase.Name);
        EXPECT_EQ(std::string(field), nameCase.Expected) << nameCase.Name;
        EXPECT_TRUE(std::all_of(field + nameCase.Expected.size(), field + sizeof field,
                                [](char c) { return c == '\0'; }));
    }
}

// A later failure with the same code but no text of its own is not described by an earlier
// failure's text.
TEST_F(ScriptedCapture, ErrorTextDescribesTheLatestFailureWithItsCode) {
    CaptureBuffer& buffer = Buffers[0];
    ASSERT_EQ(buffer.Queue(Device), MMSYSERR_NOERROR);
    EXPECT_EQ(waveInClose(Device), WAVERR_STILLPLAYING);
    EXPECT_EQ(ErrorText(WAVERR_STILLPLAYING),
              "The sound device still holds buffers; reset it before closing");
    EXPECT_EQ(waveInUnprepareHeader(Device, &buffer.Header, sizeof(WAVEHDR)), WAVERR_STILLPLAYING);
    EXPECT_EQ(ErrorText(WAVERR_STILLPLAYING), "The sound device still holds buffers");

    Scripted.SetStartResult(MMSYSERR_INVALPARAM, "An invalid parameter: scripted");
    EXPECT_EQ(waveInStart(Device), MMSYSERR_INVALPARAM);
    EXPECT_EQ(ErrorText(MMSYSERR_INVALPARAM), "An invalid parameter: scripted");
    EXPECT_EQ(waveInAddBuffer(Device, nullptr, sizeof(WAVEHDR)), MMSYSERR_INVALPARAM);
    EXPECT_EQ(ErrorText(MMSYSERR_INVALPARAM),
              "An invalid parameter was passed to the sound device");
}

// --- Backend hook ---

TEST_F(ScriptedCapture, BackendCannotBeSwitchedWhileADeviceIsOpen) {
    EXPECT_FALSE(InstallWaveBackend(nullptr));
    ASSERT_EQ(waveInClose(Device), MMSYSERR_NOERROR);
    EXPECT_TRUE(InstallWaveBackend(nullptr));
    EXPECT_TRUE(InstallWaveBackend(nullptr));
}

TEST(ScriptedWaveDeviceControl, OnlyOneMayExistAtATime) {
    ScriptedWaveDevice scripted;
    EXPECT_THROW(ScriptedWaveDevice second, std::logic_error);
}

} // namespace
