// The PortAudio backend against a software sound device (tests/support): real capture through
// ALSA, paced in real time by a private sound server, with a known pulse train as input.
#include "platform/wave/DeviceNames.h"
#include "platform/wave/WaveAudio.h"
#include "signal/TestSignal.h"
#include "tests/platform/wave/CompletionRecorder.h"
#include "tests/platform/wave/WaveTestSupport.h"
#include "tests/support/SoftwareSoundDevice.h"

#include <gtest/gtest.h>

#include <signal.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <future>
#include <thread>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr double kBlockSeconds = 8192.0 / 22050.0; // 0.3715 s
constexpr auto kWait = 5s;                         // only ever reached when something is broken

// Twelve seconds of a noisy 50 Hz pulse train: no two blocks alike, so a lost, repeated or
// shifted sample shows.
std::vector<std::int16_t> PulseTrain() {
    PulseTrainSettings settings;
    settings.FrequencyHz = 50.0;
    settings.Shape = PulseShape::Pulse;
    settings.Amplitude = 12000.0;
    settings.DutyCycle = 0.2;
    settings.NoiseSigma = 300.0;
    settings.Seed = 7;
    PulseTrainGenerator generator(settings);
    std::vector<std::int16_t> samples(12 * 22050);
    generator.Generate(samples);
    return samples;
}

// Whether the device has written the buffer's first sample within timeout. The device thread
// writes while this looks, so the look is an atomic one; a zero-initialised buffer is assumed.
bool SampleArrives(CaptureBuffer& buffer, std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    const std::atomic_ref<std::int16_t> first(buffer.Samples[0]);
    while (first.load(std::memory_order_relaxed) == 0) {
        if (Clock::now() >= deadline) {
            return false;
        }
        std::this_thread::yield();
    }
    return true;
}

class PortAudioCapture : public ::testing::Test {
protected:
    // Builds the software device (skipping when the machine cannot host it) and opens it.
    void StartDevice(const SoftwareSoundDevice::Settings& settings = {}) {
        std::string whyNot;
        Sound = SoftwareSoundDevice::Create(Input, settings, whyNot);
        if (Sound == nullptr) {
            GTEST_SKIP() << "no software sound device on this machine: " << whyNot;
        }
    }

    void OpenAndStart(std::size_t bufferCount = 2) {
        const MMRESULT opened =
            waveInOpen(&Device, WAVE_MAPPER, &kProgramFormat,
                       reinterpret_cast<DWORD_PTR>(Recorder.Window()), 0, CALLBACK_WINDOW);
        ASSERT_EQ(opened, MMSYSERR_NOERROR) << ErrorText(opened) << "\n" << Sound->ServerLog();
        Open = true;
        Buffers.resize(bufferCount);
        for (CaptureBuffer& buffer : Buffers) {
            ASSERT_EQ(buffer.Queue(Device), MMSYSERR_NOERROR);
        }
        ASSERT_EQ(waveInStart(Device), MMSYSERR_NOERROR);
    }

    void TearDown() override {
        if (Open) {
            waveInReset(Device);
            EXPECT_EQ(waveInClose(Device), MMSYSERR_NOERROR);
        }
    }

    const std::vector<std::int16_t> Input = PulseTrain();
    std::unique_ptr<SoftwareSoundDevice> Sound;
    CompletionRecorder Recorder;
    HWAVEIN Device = nullptr;
    bool Open = false;
    std::vector<CaptureBuffer> Buffers;
};

// What the capture cycle does: two buffers, each handled and re-queued as it comes back.
TEST_F(PortAudioCapture, DeliversTheDevicesSamplesBitExactInOrderAndInRealTime) {
    StartDevice();
    if (IsSkipped()) {
        return;
    }
    OpenAndStart();
    constexpr int kBlocks = 8;
    std::vector<std::int16_t> captured;
    std::vector<Clock::time_point> arrivals;
    int current = 0;
    for (int block = 0; block < kBlocks; ++block) {
        CaptureBuffer& buffer = Buffers[current];
        ASSERT_EQ(UnprepareWhenReleased(Device, buffer.Header, kWait), MMSYSERR_NOERROR)
            << "block " << block;
        arrivals.push_back(Clock::now());
        ASSERT_EQ(buffer.Header.dwBytesRecorded, buffer.Header.dwBufferLength);
        captured.insert(captured.end(), buffer.Samples.begin(), buffer.Samples.end());
        ASSERT_EQ(buffer.Queue(Device), MMSYSERR_NOERROR);
        current = 1 - current;
    }

    ASSERT_EQ(captured.size(), kBlocks * kBufferSamples);
    const auto mismatch = std::mismatch(captured.begin(), captured.end(), Input.begin());
    EXPECT_EQ(mismatch.first, captured.end())
        << "first difference at sample " << (mismatch.first - captured.begin());

    ASSERT_TRUE(Recorder.WaitFor(kBlocks, kWait));
    const std::vector<RecordedMessage> messages = Recorder.Messages();
    for (int block = 0; block < kBlocks; ++block) {
        EXPECT_EQ(messages[block].Msg, MM_WIM_DATA);
        EXPECT_EQ(messages[block].WParam, reinterpret_cast<WPARAM>(Device));
        EXPECT_EQ(messages[block].LParam, Buffers[block % 2].Address()) << "block " << block;
    }

    // The device's clock, not the reader, sets the pace: one block per 0.3715 s. Start-up
    // buffering may bunch the first arrivals, so the span may be off by up to a block period.
    const double span = std::chrono::duration<double>(arrivals.back() - arrivals.front()).count();
    EXPECT_GT(span, (kBlocks - 2) * kBlockSeconds);
    EXPECT_LT(span, kBlocks * kBlockSeconds);
}

TEST_F(PortAudioCapture, StopAndResetReturnBuffersAndTheDeviceOpensAgain) {
    StartDevice();
    if (IsSkipped()) {
        return;
    }
    OpenAndStart();
    ASSERT_EQ(UnprepareWhenReleased(Device, Buffers[0].Header, kWait), MMSYSERR_NOERROR);
    ASSERT_EQ(Buffers[0].Queue(Device), MMSYSERR_NOERROR);

    // A stop mid-buffer hands back what is there, and a start goes on into the queued buffers.
    // The device is into buffer 1 once its first sample (noisy, so never exactly 0) is in;
    // filling the rest takes the best part of a block period.
    ASSERT_TRUE(SampleArrives(Buffers[1], kWait));
    ASSERT_EQ(waveInStop(Device), MMSYSERR_NOERROR);
    ASSERT_EQ(waveInUnprepareHeader(Device, &Buffers[1].Header, sizeof(WAVEHDR)), MMSYSERR_NOERROR);
    EXPECT_GT(Buffers[1].Header.dwBytesRecorded, 0u);
    EXPECT_LT(Buffers[1].Header.dwBytesRecorded, Buffers[1].Header.dwBufferLength);
    ASSERT_EQ(Buffers[1].Queue(Device), MMSYSERR_NOERROR);
    const int next = 0;
    ASSERT_EQ(waveInStart(Device), MMSYSERR_NOERROR);
    ASSERT_EQ(UnprepareWhenReleased(Device, Buffers[next].Header, kWait), MMSYSERR_NOERROR);
    EXPECT_EQ(Buffers[next].Header.dwBytesRecorded, Buffers[next].Header.dwBufferLength);
    ASSERT_EQ(Buffers[next].Queue(Device), MMSYSERR_NOERROR);

    ASSERT_EQ(waveInReset(Device), MMSYSERR_NOERROR);
    for (CaptureBuffer& buffer : Buffers) {
        EXPECT_EQ(waveInUnprepareHeader(Device, &buffer.Header, sizeof(WAVEHDR)), MMSYSERR_NOERROR);
    }
    ASSERT_EQ(waveInClose(Device), MMSYSERR_NOERROR);
    Open = false;

    OpenAndStart();
    EXPECT_EQ(UnprepareWhenReleased(Device, Buffers[0].Header, kWait), MMSYSERR_NOERROR);
}

TEST_F(PortAudioCapture, VanishingDeviceReturnsHeldBuffersAndFailsTheNextAdd) {
    StartDevice();
    if (IsSkipped()) {
        return;
    }
    OpenAndStart();
    ASSERT_EQ(UnprepareWhenReleased(Device, Buffers[0].Header, kWait), MMSYSERR_NOERROR);
    ASSERT_EQ(Buffers[0].Queue(Device), MMSYSERR_NOERROR);

    Sound->KillServer();
    for (CaptureBuffer& buffer : Buffers) {
        EXPECT_EQ(UnprepareWhenReleased(Device, buffer.Header, kWait), MMSYSERR_NOERROR);
        EXPECT_NE(buffer.Header.dwFlags & WHDR_DONE, 0u);
    }
    ASSERT_TRUE(Recorder.WaitFor(3, kWait)); // the first block and the two returned
    EXPECT_EQ(Buffers[0].Queue(Device), MMSYSERR_NODRIVER);
    EXPECT_EQ(ErrorText(MMSYSERR_NODRIVER).rfind("The sound input device stopped working: ", 0), 0u)
        << ErrorText(MMSYSERR_NODRIVER);
    EXPECT_EQ(waveInStart(Device), MMSYSERR_NODRIVER);
    EXPECT_EQ(waveInClose(Device), MMSYSERR_NOERROR);
    Open = false;
}

// A sound server that stops delivering for a while: a short pause is waited out, a long
// silence counts as a device gone.
TEST_F(PortAudioCapture, BriefStallIsWaitedOut) {
    StartDevice();
    if (IsSkipped()) {
        return;
    }
    OpenAndStart();
    ASSERT_EQ(UnprepareWhenReleased(Device, Buffers[0].Header, kWait), MMSYSERR_NOERROR);
    ASSERT_EQ(Buffers[0].Queue(Device), MMSYSERR_NOERROR);

    Sound->PauseServer();
    std::this_thread::sleep_for(2s);
    Sound->ResumeServer();
    int current = 1;
    for (int block = 0; block < 3; ++block) {
        ASSERT_EQ(UnprepareWhenReleased(Device, Buffers[current].Header, kWait), MMSYSERR_NOERROR)
            << "block " << block;
        EXPECT_EQ(Buffers[current].Header.dwBytesRecorded, Buffers[current].Header.dwBufferLength);
        ASSERT_EQ(Buffers[current].Queue(Device), MMSYSERR_NOERROR) << ErrorText(MMSYSERR_NODRIVER);
        current = 1 - current;
    }
}

TEST_F(PortAudioCapture, LongStallReturnsHeldBuffersAndFailsTheNextAdd) {
    StartDevice();
    if (IsSkipped()) {
        return;
    }
    OpenAndStart();
    ASSERT_EQ(UnprepareWhenReleased(Device, Buffers[0].Header, kWait), MMSYSERR_NOERROR);
    ASSERT_EQ(Buffers[0].Queue(Device), MMSYSERR_NOERROR);

    Sound->PauseServer();
    for (CaptureBuffer& buffer : Buffers) {
        EXPECT_EQ(UnprepareWhenReleased(Device, buffer.Header, 2 * kWait), MMSYSERR_NOERROR);
    }
    EXPECT_EQ(Buffers[0].Queue(Device), MMSYSERR_NODRIVER);
    EXPECT_EQ(ErrorText(MMSYSERR_NODRIVER),
              "The sound input device stopped working: it stopped delivering samples");
    // Closing does not wait for the frozen server.
    EXPECT_EQ(waveInClose(Device), MMSYSERR_NOERROR);
    Open = false;
    Sound->ResumeServer();
}

TEST_F(PortAudioCapture, CapabilitiesAreThoseTheDeviceAccepts) {
    SoftwareSoundDevice::Settings settings;
    settings.WithMixer = true;
    StartDevice(settings);
    if (IsSkipped()) {
        return;
    }
    std::string whyNot;
    ASSERT_TRUE(Sound->SetOutputVolume(32768, 16384, whyNot)) << whyNot; // 50 % and 25 %

    WAVEINCAPS input{};
    ASSERT_EQ(waveInGetDevCapsA(WAVE_MAPPER, &input, sizeof input), MMSYSERR_NOERROR);
    // ALSA's default is a file plugin over the server's source: the source is named.
    EXPECT_STREQ(input.szPname, "Velmorant test microphone");
    EXPECT_EQ(input.wChannels, 2); // the file plugin over a pulse source takes one or two
    ASSERT_NE(input.dwFormats & WAVE_FORMAT_2M16, 0u);
    // Every claim holds: each claimed format opens.
    for (int bit = 0; bit < 12; ++bit) {
        if ((input.dwFormats & (1u << bit)) == 0) {
            continue;
        }
        WAVEFORMATEX format{};
        format.wFormatTag = WAVE_FORMAT_PCM;
        format.nChannels = static_cast<WORD>(bit % 2 == 0 ? 1 : 2);
        format.wBitsPerSample = static_cast<WORD>(bit % 4 < 2 ? 8 : 16);
        format.nSamplesPerSec = 11025u << (bit / 4);
        format.nBlockAlign = static_cast<WORD>(format.nChannels * format.wBitsPerSample / 8);
        format.nAvgBytesPerSec = format.nSamplesPerSec * format.nBlockAlign;
        HWAVEIN device = nullptr;
        const MMRESULT opened = waveInOpen(&device, WAVE_MAPPER, &format, 0, 0, CALLBACK_NULL);
        EXPECT_EQ(opened, MMSYSERR_NOERROR) << "format bit " << bit << ": " << ErrorText(opened);
        if (opened == MMSYSERR_NOERROR) {
            EXPECT_EQ(waveInClose(device), MMSYSERR_NOERROR);
        }
    }

    WAVEOUTCAPS output{};
    waveOutGetDevCapsA(WAVE_MAPPER, &output, sizeof output);
    EXPECT_EQ(output.dwSupport & (WAVECAPS_VOLUME | WAVECAPS_LRVOLUME),
              WAVECAPS_VOLUME | WAVECAPS_LRVOLUME);
    EXPECT_EQ(output.dwSupport & WAVECAPS_SAMPLEACCURATE, 0u);
    DWORD volume = 0;
    ASSERT_EQ(waveOutGetVolume(reinterpret_cast<HWAVEOUT>(-1), &volume), MMSYSERR_NOERROR);
    EXPECT_NEAR(static_cast<double>(volume & 0xFFFF), 0x8000, 2);
    EXPECT_NEAR(static_cast<double>(volume >> 16), 0x4000, 2);
}

TEST_F(PortAudioCapture, WithoutAMixerNoVolumeIsClaimed) {
    StartDevice();
    if (IsSkipped()) {
        return;
    }
    WAVEOUTCAPS output{};
    waveOutGetDevCapsA(WAVE_MAPPER, &output, sizeof output);
    EXPECT_EQ(output.dwSupport, 0u);
    DWORD volume = 0x5A5A5A5A;
    EXPECT_EQ(waveOutGetVolume(reinterpret_cast<HWAVEOUT>(-1), &volume), MMSYSERR_NOTSUPPORTED);
    EXPECT_EQ(volume, 0x5A5A5A5Au);
}

// A sound input that appears while the program runs (a USB adapter plugged in, a sound server
// started) is found by the next Start and the next report, without a restart: the first look
// finds no input, the device appears, the second look records from it.
TEST_F(PortAudioCapture, InputThatAppearsLaterIsFoundWithoutARestart) {
    SoftwareSoundDevice::Settings absent;
    absent.StartServer = false;
    std::string whyNot;
    Sound = SoftwareSoundDevice::Create(Input, absent, whyNot);
    ASSERT_NE(Sound, nullptr) << whyNot;

    HWAVEIN device = nullptr;
    const MMRESULT first =
        waveInOpen(&device, WAVE_MAPPER, &kProgramFormat,
                   reinterpret_cast<DWORD_PTR>(Recorder.Window()), 0, CALLBACK_WINDOW);
    ASSERT_EQ(first, MMSYSERR_NODRIVER) << ErrorText(first);
    WAVEINCAPS caps{};
    EXPECT_EQ(waveInGetDevCapsA(WAVE_MAPPER, &caps, sizeof caps), MMSYSERR_NODRIVER);

    if (!Sound->StartServerLater(whyNot)) {
        GTEST_SKIP() << "no software sound device on this machine: " << whyNot;
    }
    ASSERT_EQ(waveInGetDevCapsA(WAVE_MAPPER, &caps, sizeof caps), MMSYSERR_NOERROR);
    EXPECT_STREQ(caps.szPname, "default");
    EXPECT_NE(caps.dwFormats & WAVE_FORMAT_2M16, 0u);

    OpenAndStart();
    CaptureBuffer& buffer = Buffers[0];
    ASSERT_EQ(UnprepareWhenReleased(Device, buffer.Header, kWait), MMSYSERR_NOERROR);
    ASSERT_EQ(buffer.Header.dwBytesRecorded, buffer.Header.dwBufferLength);
    EXPECT_TRUE(std::equal(buffer.Samples.begin(), buffer.Samples.end(), Input.begin()))
        << "the device that appeared delivers its samples";
}

// --- Names the user knows ---

struct NamesCase {
    const char* Name;
    const char* OutputDescription;
    const char* InputDescription;
    const char* ExpectedOutput; // what fits the 31-character name field
    const char* ExpectedInput;
};

void PrintTo(const NamesCase& namesCase, std::ostream* out) {
    *out << namesCase.Name;
}

const NamesCase kNamesCases[] = {
    {"Plain", "Built-in Audio Analog Stereo", "Webcam C270 Mono", "Built-in Audio Analog Stereo",
     "Webcam C270 Mono"},
    // 31 bytes fit whole; 33 bytes are cut before the two-byte "ö" that straddles the end.
    {"Utf8CutAtACharacter", "Lautsprecher Werkstatt — Tür", "Eingang Drehbank 2 — Spindelöl",
     "Lautsprecher Werkstatt — Tür", "Eingang Drehbank 2 — Spindel"},
};

using ServerKind = SoftwareSoundDevice::Settings::ServerKind;

const char* NameOf(ServerKind kind) {
    return kind == ServerKind::PulseAudio ? "PulseAudio" : "PipeWire";
}

class DesktopNames : public ::testing::TestWithParam<std::tuple<NamesCase, ServerKind>> {};

TEST_P(DesktopNames, CapsNameTheServersDefaultsAsItsSoundSettingsDo) {
    const auto& [names, server] = GetParam();
    SoftwareSoundDevice::Settings settings;
    settings.Desktop = true;
    settings.Server = server;
    settings.OutputDescription = names.OutputDescription;
    settings.InputDescription = names.InputDescription;
    std::string whyNot;
    const auto sound = SoftwareSoundDevice::Create({}, settings, whyNot);
    if (sound == nullptr) {
        GTEST_SKIP() << "no software sound device on this machine: " << whyNot;
    }
    ASSERT_TRUE(sound->SetOutputVolume(32768, 16384, whyNot)) << whyNot; // 50 % and 25 %

    WAVEOUTCAPS output{};
    ASSERT_EQ(waveOutGetDevCapsA(WAVE_MAPPER, &output, sizeof output), MMSYSERR_NOERROR);
    EXPECT_STREQ(output.szPname, names.ExpectedOutput);
    WAVEINCAPS input{};
    ASSERT_EQ(waveInGetDevCapsA(WAVE_MAPPER, &input, sizeof input), MMSYSERR_NOERROR);
    EXPECT_STREQ(input.szPname, names.ExpectedInput);

    // Formats are still what opens, and the volume still the default output's.
    EXPECT_NE(input.dwFormats & WAVE_FORMAT_2M16, 0u);
    EXPECT_NE(output.dwFormats & WAVE_FORMAT_4S16, 0u);
    DWORD volume = 0;
    ASSERT_EQ(waveOutGetVolume(reinterpret_cast<HWAVEOUT>(-1), &volume), MMSYSERR_NOERROR);
    EXPECT_NEAR(static_cast<double>(volume & 0xFFFF), 0x8000, 2);
    EXPECT_NEAR(static_cast<double>(volume >> 16), 0x4000, 2);
}

INSTANTIATE_TEST_SUITE_P(Descriptions, DesktopNames,
                         ::testing::Combine(::testing::ValuesIn(kNamesCases),
                                            ::testing::Values(ServerKind::PulseAudio,
                                                              ServerKind::PipeWire)),
                         [](const auto& info) {
                             return std::string(std::get<0>(info.param).Name) + "On" +
                                    NameOf(std::get<1>(info.param));
                         });

// Formats are kept per real device: a new default behind the same PCM must be told apart.
TEST(DesktopDefaults, ANewDefaultInputIsNamedAndToldApartFromTheOldOne) {
    SoftwareSoundDevice::Settings settings;
    settings.Desktop = true;
    std::string whyNot;
    const auto sound = SoftwareSoundDevice::Create({}, settings, whyNot);
    if (sound == nullptr) {
        GTEST_SKIP() << "no software sound device on this machine: " << whyNot;
    }
    WAVEINCAPS before{};
    ASSERT_EQ(waveInGetDevCapsA(WAVE_MAPPER, &before, sizeof before), MMSYSERR_NOERROR);
    const UserDevice old = DescribeDevice(DeviceDirection::Input, "default");

    ASSERT_TRUE(sound->RunPactl({"load-module", "module-null-source", "source_name=lathe",
                                 "description=Lathe_spindle_sensor"},
                                whyNot))
        << whyNot;
    ASSERT_TRUE(sound->RunPactl({"set-default-source", "lathe"}, whyNot)) << whyNot;
    std::this_thread::sleep_for(1100ms); // longer than the server's last answer is kept

    const UserDevice now = DescribeDevice(DeviceDirection::Input, "default");
    EXPECT_EQ(now.Name, "Lathe_spindle_sensor");
    EXPECT_FALSE(now.Identity.empty());
    EXPECT_NE(now.Identity, old.Identity);
    WAVEINCAPS after{};
    ASSERT_EQ(waveInGetDevCapsA(WAVE_MAPPER, &after, sizeof after), MMSYSERR_NOERROR);
    EXPECT_STREQ(after.szPname, "Lathe_spindle_sensor");
    EXPECT_EQ(after.dwFormats, before.dwFormats); // the server takes every format for any source
}

enum class ServerState { Answering, Frozen, Gone };

const char* NameOf(ServerState state) {
    switch (state) {
    case ServerState::Answering:
        return "Answering";
    case ServerState::Frozen:
        return "Frozen";
    case ServerState::Gone:
        return "Gone";
    }
    return "?";
}

void PrintTo(ServerState state, std::ostream* out) {
    *out << NameOf(state);
}

class SoundServerQuestion : public ::testing::TestWithParam<ServerState> {};

// The report runs on the window's thread: a server that cannot answer must not hold it.
TEST_P(SoundServerQuestion, IsAnsweredOrAbandonedWithinItsBudget) {
    SoftwareSoundDevice::Settings settings;
    settings.Desktop = true;
    std::string whyNot;
    const auto sound = SoftwareSoundDevice::Create({}, settings, whyNot);
    if (sound == nullptr) {
        GTEST_SKIP() << "no software sound device on this machine: " << whyNot;
    }
    if (GetParam() == ServerState::Frozen) {
        sound->PauseServer();
    } else if (GetParam() == ServerState::Gone) {
        sound->KillServer();
    }
    const auto asked = Clock::now();
    const ServerDeviceNames names =
        AskSoundServer(sound->ServerAddress(), "", "", std::chrono::milliseconds(100));
    const auto took = Clock::now() - asked;
    sound->ResumeServer();

    // Not a speed goal: far above the budget, it only tells a hang from an answer.
    EXPECT_LT(took, 1s);
    if (GetParam() == ServerState::Answering) {
        EXPECT_TRUE(names.Answered);
        EXPECT_EQ(names.Output, settings.OutputDescription);
        EXPECT_EQ(names.Input, settings.InputDescription);
    } else {
        EXPECT_FALSE(names.Answered);
        EXPECT_EQ(names.Output, "");
        EXPECT_EQ(names.Input, "");
    }
}

INSTANTIATE_TEST_SUITE_P(States, SoundServerQuestion,
                         ::testing::Values(ServerState::Answering, ServerState::Frozen,
                                           ServerState::Gone),
                         [](const auto& info) { return std::string(NameOf(info.param)); });

// --- A frozen sound server ---

struct FrozenCase {
    const char* Name;
    ServerKind Server;
    // Which device was reported on while the server still answered (the first look at either
    // also runs PortAudio's device scan, which opens the PCM and has to find the server awake).
    DeviceDirection ProbedBefore;
};

void PrintTo(const FrozenCase& frozenCase, std::ostream* out) {
    *out << frozenCase.Name;
}

class FrozenServerReport : public ::testing::TestWithParam<FrozenCase> {};

// Opening a PCM through a frozen server waits for it without limit; the report runs on the
// window's thread and must come back anyway.
TEST_P(FrozenServerReport, ReturnsWithWhatWasProbedWhileTheServerAnswered) {
    const FrozenCase& frozen = GetParam();
    SoftwareSoundDevice::Settings settings;
    settings.Desktop = true;
    settings.Server = frozen.Server;
    std::string whyNot;
    const auto sound = SoftwareSoundDevice::Create({}, settings, whyNot);
    if (sound == nullptr) {
        GTEST_SKIP() << "no software sound device on this machine: " << whyNot;
    }
    WAVEINCAPS inputBefore{};
    WAVEOUTCAPS outputBefore{};
    if (frozen.ProbedBefore == DeviceDirection::Input) {
        ASSERT_EQ(waveInGetDevCapsA(WAVE_MAPPER, &inputBefore, sizeof inputBefore),
                  MMSYSERR_NOERROR);
        ASSERT_NE(inputBefore.dwFormats & WAVE_FORMAT_2M16, 0u);
    } else {
        ASSERT_EQ(waveOutGetDevCapsA(WAVE_MAPPER, &outputBefore, sizeof outputBefore),
                  MMSYSERR_NOERROR);
        ASSERT_NE(outputBefore.dwFormats & WAVE_FORMAT_4S16, 0u);
    }

    sound->PauseServer();
    // Longer than the server's last answer is kept.
    std::this_thread::sleep_for(1100ms);
    struct Report {
        MMRESULT OutputResult = MMSYSERR_ERROR;
        WAVEOUTCAPS Output{};
        MMRESULT InputResult = MMSYSERR_ERROR;
        WAVEINCAPS Input{};
    };
    auto pending = std::async(std::launch::async, [] {
        Report report;
        report.OutputResult = waveOutGetDevCapsA(WAVE_MAPPER, &report.Output, sizeof report.Output);
        report.InputResult = waveInGetDevCapsA(WAVE_MAPPER, &report.Input, sizeof report.Input);
        return report;
    });
    // Not a speed goal: far above the 0.1 s the server is waited for, it tells a hang.
    const bool returned = pending.wait_for(2s) == std::future_status::ready;
    sound->ResumeServer(); // a hung report then finishes, and the teardown can stop the server
    ASSERT_TRUE(returned) << "the report waited for the frozen server";
    const Report report = pending.get();

    ASSERT_EQ(report.OutputResult, MMSYSERR_NOERROR);
    ASSERT_EQ(report.InputResult, MMSYSERR_NOERROR);
    // Nothing could be asked: PortAudio's names, the formats each PCM accepted while the server
    // answered (none where it was never probed), and no volume control, whose mixer is the
    // frozen server too.
    EXPECT_STREQ(report.Output.szPname, "default");
    EXPECT_STREQ(report.Input.szPname, "default");
    EXPECT_EQ(report.Output.dwFormats, outputBefore.dwFormats);
    EXPECT_EQ(report.Input.dwFormats, inputBefore.dwFormats);
    EXPECT_EQ(report.Output.dwSupport & (WAVECAPS_VOLUME | WAVECAPS_LRVOLUME), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Servers, FrozenServerReport,
    ::testing::Values(
        FrozenCase{"PulseAudioInputProbed", ServerKind::PulseAudio, DeviceDirection::Input},
        FrozenCase{"PulseAudioOutputProbed", ServerKind::PulseAudio, DeviceDirection::Output},
        FrozenCase{"PipeWireInputProbed", ServerKind::PipeWire, DeviceDirection::Input}),
    [](const auto& info) { return std::string(info.param.Name); });

// --- No input device at all ---

enum class Absence { SoundServerDown, EmptyAlsaConfiguration };

const char* NameOf(Absence absence) {
    return absence == Absence::SoundServerDown ? "SoundServerDown" : "EmptyAlsaConfiguration";
}

void PrintTo(Absence absence, std::ostream* out) {
    *out << NameOf(absence);
}

class PortAudioWithoutDevice : public ::testing::TestWithParam<Absence> {};

TEST_P(PortAudioWithoutDevice, OpenFailsWithTheSoundSystemsReason) {
    std::unique_ptr<SoftwareSoundDevice> sound;
    std::unique_ptr<EmptyAlsaConfiguration> empty;
    if (GetParam() == Absence::SoundServerDown) {
        SoftwareSoundDevice::Settings settings;
        settings.StartServer = false;
        std::string whyNot;
        sound = SoftwareSoundDevice::Create({}, settings, whyNot);
        ASSERT_NE(sound, nullptr) << whyNot;
    } else {
        empty = std::make_unique<EmptyAlsaConfiguration>();
    }

    HWAVEIN device = nullptr;
    const MMRESULT opened =
        waveInOpen(&device, WAVE_MAPPER, &kProgramFormat, 0, 0, CALLBACK_WINDOW);
    EXPECT_EQ(opened, MMSYSERR_NODRIVER);
    const std::string text = ErrorText(opened);
    EXPECT_EQ(text.rfind("No sound input device: ", 0), 0u) << text;
    EXPECT_GT(text.size(), std::strlen("No sound input device: ") + 5) << text;

    WAVEINCAPS caps;
    Smear(caps);
    EXPECT_EQ(waveInGetDevCapsA(WAVE_MAPPER, &caps, sizeof caps), MMSYSERR_NODRIVER);
    EXPECT_EQ(caps.szPname[0], '\0');
    EXPECT_EQ(caps.dwFormats, 0u);
}

INSTANTIATE_TEST_SUITE_P(Absences, PortAudioWithoutDevice,
                         ::testing::Values(Absence::SoundServerDown,
                                           Absence::EmptyAlsaConfiguration),
                         [](const auto& info) { return std::string(NameOf(info.param)); });

// --- The harness itself ---

TEST(SoftwareSoundDeviceHarness, LeavesNoServerBehind) {
    const char* before = std::getenv("ALSA_CONFIG_PATH");
    const std::string previous = before != nullptr ? before : "";
    std::string whyNot;
    auto sound = SoftwareSoundDevice::Create(PulseTrain(), whyNot);
    if (sound == nullptr) {
        GTEST_SKIP() << "no software sound device on this machine: " << whyNot;
    }
    const pid_t server = sound->ServerPid();
    const std::filesystem::path directory = sound->Directory();
    ASSERT_TRUE(sound->ServerRunning());
    const char* configuration = std::getenv("ALSA_CONFIG_PATH");
    ASSERT_NE(configuration, nullptr);
    EXPECT_EQ(std::filesystem::path(configuration).parent_path(), directory);

    sound.reset();
    // Reaped, not merely signalled: a zombie would still answer kill(pid, 0).
    EXPECT_EQ(kill(server, 0), -1);
    EXPECT_EQ(errno, ESRCH);
    EXPECT_FALSE(std::filesystem::exists(directory));
    const char* after = std::getenv("ALSA_CONFIG_PATH");
    EXPECT_EQ(after != nullptr ? std::string(after) : std::string(), previous);
}

} // namespace
