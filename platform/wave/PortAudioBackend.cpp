// The system's sound input through PortAudio's blocking interface.
//
// Each open stream has a device thread of its own that asks PortAudio how many frames are
// waiting and reads exactly those, straight into the oldest held buffer (or into a scratch
// area when none is held, which drops them). It never blocks inside PortAudio, so it always
// notices a stop request, a dead stream (an error from PortAudio) and a stalled one (no frames
// for kStallTimeout) within a few milliseconds. Its own work takes no locks and allocates
// nothing; announcing a completed buffer runs the client's window notifier, which may do both.
#include "platform/wave/AlsaMixer.h"
#include "platform/wave/DeviceNames.h"
#include "platform/wave/WaveBackend.h"

#include <alsa/asoundlib.h>
#include <portaudio.h>

#include <dlfcn.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

// A running stream that has delivered nothing for this long is treated as gone: about two block
// periods (2 x 8192 samples at 22050 Hz), the longest a healthy device makes anyone wait.
constexpr auto kStallTimeout = std::chrono::milliseconds(750);
// The first frames after a start may take longer (a sound server connecting, a device waking).
constexpr auto kFirstFramesTimeout = std::chrono::milliseconds(2000);
// Sleep while no frames are waiting: short against the device's buffer (kInputLatency) and a
// block period, long enough that waking costs next to nothing.
constexpr auto kPollInterval = std::chrono::milliseconds(50);
// Device buffer asked for, in seconds: ten polls of headroom before samples would be lost.
// Latency means nothing to a reading that is shown once per 0.37 s block.
constexpr double kInputLatency = 0.5;

// Looks at the devices closer together than this share one scan of them.
constexpr auto kRescanInterval = std::chrono::seconds(1);

constexpr std::array<double, 3> kRates{11025.0, 22050.0, 44100.0};

// JACK's client library prints to stderr when no JACK server runs, which is the usual case;
// PortAudio links it, so its message hooks can be found at run time without linking JACK.
void QuietJack() {
    using Hook = void (*)(void (*)(const char*));
    static void (*const silent)(const char*) = [](const char*) {};
    for (const char* name : {"jack_set_error_function", "jack_set_info_function"}) {
        if (void* symbol = dlsym(RTLD_DEFAULT, name)) {
            reinterpret_cast<Hook>(symbol)(silent);
        }
    }
}

std::string HostErrorText() {
    const PaHostErrorInfo* info = Pa_GetLastHostErrorInfo();
    if (info == nullptr || info->errorText == nullptr || info->errorText[0] == '\0') {
        return {};
    }
    return info->errorText;
}

// PortAudio's text for an error, with the host's own reason where it gave one.
std::string ErrorText(PaError error) {
    std::string text = Pa_GetErrorText(error);
    if (error == paUnanticipatedHostError || error == paDeviceUnavailable) {
        const std::string host = HostErrorText();
        if (!host.empty()) {
            text += " (" + host + ")";
        }
    }
    return text;
}

// Sorts a failure to open or query the input into the code the program reports.
MMRESULT OpenFailure(PaError error, std::string& detail) {
    const std::string reason = ErrorText(error);
    switch (error) {
    case paInvalidSampleRate:
    case paSampleFormatNotSupported:
    case paInvalidChannelCount:
        detail = "The sound input device cannot record in this format: " + reason;
        return WAVERR_BADFORMAT;
    case paInsufficientMemory:
        detail = "Not enough memory to open the sound input device: " + reason;
        return MMSYSERR_NOMEM;
    case paDeviceUnavailable: {
        const PaHostErrorInfo* info = Pa_GetLastHostErrorInfo();
        if (info != nullptr && info->errorCode == -EBUSY) {
            detail = "The sound input device is in use by another program: " + reason;
            return MMSYSERR_ALLOCATED;
        }
        detail = "No sound input device: " + reason;
        return MMSYSERR_NODRIVER;
    }
    case paInvalidDevice:
    case paNotInitialized:
    case paHostApiNotFound:
    case paUnanticipatedHostError:
        detail = "No sound input device: " + reason;
        return MMSYSERR_NODRIVER;
    default:
        detail = "The sound system reported an error: " + reason;
        return MMSYSERR_ERROR;
    }
}

PaSampleFormat SampleFormatOf(WORD bitsPerSample) {
    return bitsPerSample == 8 ? paUInt8 : paInt16;
}

// WAVE_FORMAT_* bits that the device accepts, asking PortAudio for each combination.
DWORD SupportedFormats(PaDeviceIndex device, const PaDeviceInfo& info, bool input) {
    const int maxChannels = input ? info.maxInputChannels : info.maxOutputChannels;
    DWORD formats = 0;
    for (std::size_t rate = 0; rate < kRates.size(); ++rate) {
        // Bit order within a rate group: 8-bit mono, 8-bit stereo, 16-bit mono, 16-bit stereo.
        for (int bit = 0; bit < 4; ++bit) {
            const int channels = bit % 2 == 0 ? 1 : 2;
            if (channels > maxChannels) {
                continue;
            }
            PaStreamParameters parameters{};
            parameters.device = device;
            parameters.channelCount = channels;
            parameters.sampleFormat = bit < 2 ? paUInt8 : paInt16;
            parameters.suggestedLatency =
                input ? info.defaultHighInputLatency : info.defaultHighOutputLatency;
            const PaError supported =
                input ? Pa_IsFormatSupported(&parameters, nullptr, kRates[rate])
                      : Pa_IsFormatSupported(nullptr, &parameters, kRates[rate]);
            if (supported == paFormatIsSupported) {
                formats |= DWORD{1} << (rate * 4 + bit);
            }
        }
    }
    return formats;
}

DWORD FormatBit(const WAVEFORMATEX& format) {
    for (std::size_t rate = 0; rate < kRates.size(); ++rate) {
        if (format.nSamplesPerSec == kRates[rate]) {
            const int bit = (format.wBitsPerSample == 16 ? 2 : 0) + (format.nChannels == 2 ? 1 : 0);
            return DWORD{1} << (rate * 4 + bit);
        }
    }
    return 0;
}

class PortAudioInStream final : public WaveInStream {
public:
    PortAudioInStream(PaStream* stream, WaveInCore& core, int& openStreams)
        : Stream(stream), Core(core), OpenStreams(openStreams), Thread([this] { DeviceThread(); }) {
        ++OpenStreams;
    }

    ~PortAudioInStream() override {
        Command(Order::Quit);
        Thread.join();
        if (Running) {
            Pa_AbortStream(Stream);
        }
        Pa_CloseStream(Stream);
        --OpenStreams;
    }

    MMRESULT Start(std::string& detail) override {
        if (Running) {
            return MMSYSERR_NOERROR;
        }
        const PaError error = Pa_StartStream(Stream);
        if (error != paNoError) {
            detail = "The sound input device could not start: " + ErrorText(error);
            return MMSYSERR_ERROR;
        }
        Running = true;
        Command(Order::Run);
        return MMSYSERR_NOERROR;
    }

    void Stop() override {
        Command(Order::Park);
        if (Running) {
            // Aborting drops what the device still buffers; nobody holds a place for it.
            Pa_AbortStream(Stream);
            Running = false;
        }
    }

private:
    enum class Order { Park, Run, Quit };

    // Hands the device thread an order and waits until it has taken it.
    void Command(Order order) {
        Pending.store(order, std::memory_order_relaxed);
        const std::uint32_t serial = OrderSerial.fetch_add(1, std::memory_order_release) + 1;
        OrderSerial.notify_one();
        for (std::uint32_t seen = TakenSerial.load(std::memory_order_acquire); seen != serial;
             seen = TakenSerial.load(std::memory_order_acquire)) {
            TakenSerial.wait(seen, std::memory_order_acquire);
        }
    }

    void DeviceThread() {
        std::uint32_t taken = 0;
        bool reading = false;
        Clock::time_point lastFrames{};
        bool framesSeen = false;
        for (;;) {
            const std::uint32_t serial = OrderSerial.load(std::memory_order_acquire);
            if (serial != taken) {
                const Order order = Pending.load(std::memory_order_relaxed);
                taken = serial;
                reading = order == Order::Run;
                lastFrames = Clock::now();
                framesSeen = false;
                TakenSerial.store(serial, std::memory_order_release);
                TakenSerial.notify_all();
                if (order == Order::Quit) {
                    return;
                }
                continue;
            }
            if (!reading || Core.Failed()) {
                OrderSerial.wait(serial, std::memory_order_acquire);
                continue;
            }
            reading = Pump(lastFrames, framesSeen);
        }
    }

    // One step of reading; false once the stream has failed.
    bool Pump(Clock::time_point& lastFrames, bool& framesSeen) {
        const long available = Pa_GetStreamReadAvailable(Stream);
        if (available < 0) {
            return Fail(static_cast<PaError>(available));
        }
        const Clock::time_point now = Clock::now();
        if (available == 0) {
            if (now - lastFrames > (framesSeen ? kStallTimeout : kFirstFramesTimeout)) {
                Core.Fail("it stopped delivering samples");
                return false;
            }
            std::this_thread::sleep_for(kPollInterval);
            return true;
        }
        lastFrames = now;
        framesSeen = true;
        std::span<char> target = Core.HeadSpace();
        const bool held = !target.empty();
        if (!held) {
            target = Scratch;
        }
        const unsigned long frames = std::min<unsigned long>(static_cast<unsigned long>(available),
                                                             target.size() / Core.BlockAlign());
        const PaError error = Pa_ReadStream(Stream, target.data(), frames);
        // An overflow means samples were lost before these; the frames read are still good.
        if (error != paNoError && error != paInputOverflowed) {
            return Fail(error);
        }
        if (held) {
            Core.HeadFilled(frames * Core.BlockAlign());
        }
        return true;
    }

    bool Fail(PaError error) {
        // Fixed storage: formatting the reason allocates nothing.
        char reason[WaveInCore::kReasonSize];
        const PaHostErrorInfo* host = Pa_GetLastHostErrorInfo();
        if (host != nullptr && host->errorText != nullptr && host->errorText[0] != '\0' &&
            error == paUnanticipatedHostError) {
            std::snprintf(reason, sizeof reason, "%s (%s)", Pa_GetErrorText(error),
                          host->errorText);
        } else {
            std::snprintf(reason, sizeof reason, "%s", Pa_GetErrorText(error));
        }
        Core.Fail(reason);
        return false;
    }

    PaStream* const Stream;
    WaveInCore& Core;
    int& OpenStreams;
    bool Running = false; // front end only
    std::atomic<Order> Pending{Order::Park};
    std::atomic<std::uint32_t> OrderSerial{0};
    std::atomic<std::uint32_t> TakenSerial{0};
    alignas(8) std::array<char, 4096> Scratch{};
    std::thread Thread; // last: starts once everything above exists
};

class PortAudioBackend final : public WaveBackend {
public:
    ~PortAudioBackend() override {
        if (Initialised) {
            Pa_Terminate();
        }
    }

    MMRESULT OpenInput(const WAVEFORMATEX& format, WaveInCore& core,
                       std::unique_ptr<WaveInStream>& stream, std::string& detail) override {
        PaDeviceIndex device = paNoDevice;
        const PaDeviceInfo* info = nullptr;
        if (!DefaultInput(device, info, detail)) {
            return MMSYSERR_NODRIVER;
        }
        PaStreamParameters parameters{};
        parameters.device = device;
        parameters.channelCount = format.nChannels;
        parameters.sampleFormat = SampleFormatOf(format.wBitsPerSample);
        parameters.suggestedLatency = std::max(info->defaultHighInputLatency, kInputLatency);
        PaStream* raw = nullptr;
        const PaError error =
            Pa_OpenStream(&raw, &parameters, nullptr, format.nSamplesPerSec,
                          paFramesPerBufferUnspecified, paNoFlag, nullptr, nullptr);
        if (error != paNoError) {
            return OpenFailure(error, detail);
        }
        stream = std::make_unique<PortAudioInStream>(raw, core, OpenStreams);
        OpenFormats |= FormatBit(format);
        return MMSYSERR_NOERROR;
    }

    MMRESULT InputCaps(WAVEINCAPS& caps, std::string& detail) override {
        PaDeviceIndex device = paNoDevice;
        const PaDeviceInfo* info = nullptr;
        if (!DefaultInput(device, info, detail)) {
            return MMSYSERR_NODRIVER;
        }
        const UserDevice user = DescribeDevice(DeviceDirection::Input, info->name);
        CopyName(caps.szPname, user.Name);
        caps.wChannels = static_cast<WORD>(std::clamp(info->maxInputChannels, 0, 2));
        caps.dwFormats = Formats(DeviceDirection::Input, device, *info, user);
        return MMSYSERR_NOERROR;
    }

    MMRESULT OutputCaps(WAVEOUTCAPS& caps, std::string& detail) override {
        if (!Initialise(detail)) {
            return MMSYSERR_NODRIVER;
        }
        const PaDeviceIndex device = Pa_GetDefaultOutputDevice();
        const PaDeviceInfo* info = device == paNoDevice ? nullptr : Pa_GetDeviceInfo(device);
        if (info == nullptr) {
            detail = "No sound output device: the sound system has no default output";
            return MMSYSERR_NODRIVER;
        }
        const UserDevice user = DescribeDevice(DeviceDirection::Output, info->name);
        CopyName(caps.szPname, user.Name);
        caps.wChannels = static_cast<WORD>(std::clamp(info->maxOutputChannels, 0, 2));
        caps.dwFormats = Formats(DeviceDirection::Output, device, *info, user);
        // A desktop's mixer is the same server, and opening it would wait as long; no volume
        // control is claimed rather than holding the report.
        if (!user.ServerSilent) {
            const MixerVolume volume = ReadDefaultMixerVolume();
            if (volume.Readable) {
                caps.dwSupport |= WAVECAPS_VOLUME;
                if (volume.Independent) {
                    caps.dwSupport |= WAVECAPS_LRVOLUME;
                }
            }
        }
        // Neither sample-accurate positions nor pitch or rate control can be vouched for through
        // PortAudio, so none is claimed.
        return MMSYSERR_NOERROR;
    }

    MMRESULT OutputVolume(DWORD& volume, std::string& detail) override {
        const MixerVolume mixer = ReadDefaultMixerVolume();
        if (!mixer.Readable) {
            detail = "The sound output has no readable volume control: " + mixer.Problem;
            return MMSYSERR_NOTSUPPORTED;
        }
        volume = mixer.Packed;
        return MMSYSERR_NOERROR;
    }

    WaveInStatistics& Statistics() override { return Counts; }

private:
    // Formats a device accepted, by names that outlive PortAudio's device list (which is gone
    // once PortAudio is terminated), so they stay valid across its re-initialisation.
    struct ProbedFormats {
        std::string PortAudioName;
        std::string Identity; // UserDevice::Identity; empty: the real device is not known
        int Channels = 0;     // maximum channels PortAudio gave
        DWORD Formats = 0;
    };

    // The formats the device accepts. Asking PortAudio opens the device once per format, which
    // on a sound server takes tens of milliseconds each, so the answer is kept per direction
    // and given again while the same real device is the default. Asked afresh when the
    // default device changes, when PortAudio names it differently after a new scan, or when
    // the real device behind it cannot be told.
    DWORD Formats(DeviceDirection direction, PaDeviceIndex device, const PaDeviceInfo& info,
                  const UserDevice& user) {
        const bool input = direction == DeviceDirection::Input;
        std::optional<ProbedFormats>& kept = Probed[input ? 1 : 0];
        const int channels = input ? info.maxInputChannels : info.maxOutputChannels;
        const bool samePcm = kept && kept->PortAudioName == info.name && kept->Channels == channels;
        // Formats of streams opened since the kept ones were probed: they did open.
        const DWORD opened = input ? OpenFormats : 0;
        // Opening would wait for a frozen server without limit, on the window's thread; what
        // the same PCM accepted when the server last answered is the best that can be said.
        if (user.ServerSilent) {
            return (samePcm ? kept->Formats : 0) | opened;
        }
        // While a stream records, the device may refuse every other open; what it accepted
        // when it was free still holds.
        const bool recording = input && OpenStreams > 0;
        if (samePcm && (recording || (!user.Identity.empty() && kept->Identity == user.Identity))) {
            return kept->Formats | opened;
        }
        const DWORD formats = SupportedFormats(device, info, input);
        if (recording) {
            return formats | opened;
        }
        // A device that accepts nothing is usually held by another program (a card opened
        // directly refuses every open while busy); it is asked again next time.
        if (formats == 0) {
            kept.reset();
        } else {
            kept = ProbedFormats{info.name, user.Identity, channels, formats};
        }
        if (input) {
            OpenFormats = 0;
        }
        return formats;
    }

    // Makes PortAudio ready to answer about devices. PortAudio lists the devices once, when it
    // initialises, so while no stream is open it is started afresh for a look that comes more
    // than kRescanInterval after the last scan, or after one that found no input: an input
    // plugged in (a USB sound adapter, a sound server started) after an earlier Start or report
    // is found by the next one, without a restart, while the several questions of one report
    // share one scan (a scan costs tens of milliseconds on the window's thread). An open stream
    // keeps PortAudio as it is, since terminating it would close the stream. Scanning opens the
    // default device, which waits without limit for a frozen sound server, so while the server ALSA
    // leads to does not answer the last scan stands. A failed attempt is repeated on the next call.
    bool Initialise(std::string& detail) {
        if (Initialised) {
            const bool recent = ScanFoundInput && Clock::now() - LastScan < kRescanInterval;
            if (OpenStreams > 0 || recent ||
                DescribeDevice(DeviceDirection::Input, "default").ServerSilent) {
                return true;
            }
            Pa_Terminate();
            Initialised = false;
        }
        QuietAlsaDiagnostics();
        QuietJack();
        // Never start a JACK server as a side effect of looking for devices.
        setenv("JACK_NO_START_SERVER", "1", 0);
        if (!AlsaHasDevices()) {
            detail = "No sound input device: there is no sound card and the ALSA configuration "
                     "names no default device";
            return false;
        }
        const PaError error = Pa_Initialize();
        if (error != paNoError) {
            detail = "No sound input device: the sound system could not start (" +
                     ErrorText(error) + ")";
            return false;
        }
        Initialised = true;
        LastScan = Clock::now();
        ScanFoundInput = Pa_GetDefaultInputDevice() != paNoDevice;
        return true;
    }

    // PortAudio 19.6 aborts the process (a failed assertion while listing devices) when ALSA
    // knows no card and its configuration defines no default device, for example with an empty
    // configuration file. Such a system has no input to offer anyway.
    static bool AlsaHasDevices() {
        int card = -1;
        if (snd_card_next(&card) == 0 && card >= 0) {
            return true;
        }
        snd_config_t* node = nullptr;
        return snd_config_update() >= 0 && snd_config != nullptr &&
               snd_config_search(snd_config, "pcm.default", &node) == 0;
    }

    bool DefaultInput(PaDeviceIndex& device, const PaDeviceInfo*& info, std::string& detail) {
        if (!Initialise(detail)) {
            return false;
        }
        device = Pa_GetDefaultInputDevice();
        info = device == paNoDevice ? nullptr : Pa_GetDeviceInfo(device);
        if (info == nullptr || info->maxInputChannels < 1) {
            const PaDeviceIndex count = Pa_GetDeviceCount();
            detail = count <= 0 ? std::string("No sound input device: the sound system found no "
                                              "sound devices")
                                : "No sound input device: none of the " + std::to_string(count) +
                                      " sound devices found records";
            return false;
        }
        return true;
    }

    bool Initialised = false;
    Clock::time_point LastScan{};
    bool ScanFoundInput = false;
    int OpenStreams = 0;
    DWORD OpenFormats = 0; // formats of input streams opened since the input was probed
    std::array<std::optional<ProbedFormats>, 2> Probed; // output, input
    WaveInStatistics Counts;
};

} // namespace

WaveBackend& PortAudioWaveBackend() {
    static PortAudioBackend backend;
    return backend;
}
