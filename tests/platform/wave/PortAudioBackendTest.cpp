// The PortAudio backend against a software sound device (tests/support): real capture through
// ALSA, paced in real time by a private sound server, with a known pulse train as input.
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
    EXPECT_STREQ(input.szPname, "default");
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
