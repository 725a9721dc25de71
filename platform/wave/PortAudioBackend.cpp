// The system's sound input through PortAudio's callback interface.
//
// PortAudio calls each open stream's audio callback on a thread of its own with 46 ms of
// samples at a time (kFramesPerCallback), and the callback copies them straight into the oldest
// held buffer (dropping them when none is held). The callback takes no lock, allocates nothing
// and never waits: completing a buffer publishes it and raises the core's signal, and the
// core's notifier thread announces it. A supervisor thread per stream, which
// sleeps until a deadline or a signal, ends a stream that PortAudio ended on its own (the sound
// server went away, the device was unplugged) or that delivered nothing for kStallTimeout; it
// takes a lock shared only with the front end's Start and Stop, never with the callback.
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
#include <cstring>
#include <mutex>
#include <optional>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

// A running stream that has delivered nothing for this long is treated as gone. Sound servers
// pause a source for up to about two seconds (a suspended source woken, a Bluetooth profile
// switch) and then go on; a server that went away or a device unplugged ends the stream through
// PortAudio at once, without waiting for this.
constexpr auto kStallTimeout = std::chrono::milliseconds(4000);
// Samples per callback: 8192 is a whole number of them, so a buffer completes at the end of a
// callback. 1024 frames is 46 ms at 22050 Hz, 21.5 wake-ups a second; on a PulseAudio source
// it kept every reading within 2.5 ms of the device's 8192-sample spacing, where 256 or 512
// frames left readings up to 11 or 23 ms off (the server then delivers in steps that do not
// divide a block).
constexpr unsigned long kFramesPerCallback = 1024;
// Device buffer asked for, in seconds: a callback of headroom, and short, since the first block
// waits behind whatever the device fills first.
constexpr double kInputLatency = 0.05;

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

// What a stream's PortAudio side needs, shared by the stream object (the front end's), the
// audio callback and the supervisor thread, so that it outlives the stream object: PortAudio's
// stop and close run on the supervisor, never on the caller's thread, because a sound server
// that hangs makes them hang with it (for a minute, with a PulseAudio server stopped).
struct StreamShared {
    StreamShared(WaveInCore& core, std::atomic<int>& openStreams, std::timed_mutex& lifecycle)
        : Core(core), OpenStreams(openStreams), Lifecycle(lifecycle) {}

    WaveInCore& Core; // touched only while Closed is false, or under Control before Quit
    std::atomic<int>& OpenStreams;
    std::timed_mutex& Lifecycle; // PortAudio's opens and closes, one at a time
    PaStream* Stream = nullptr;

    // Start, Stop, the supervisor's verdicts and its stop and close orders; never taken by the
    // callback.
    std::mutex Control;
    bool Running = false;      // under Control
    bool AbortPending = false; // under Control: stopped, PortAudio not yet told
    bool Quit = false;         // under Control: the stream object is gone
    std::atomic<bool> Closed{true};
    std::atomic<std::uint32_t> Inside{0};
    std::atomic<bool> Ended{false};
    std::atomic<std::int64_t> LastFrames{0}; // steady clock, nanoseconds
    WaveSignal Wake;
};

class PortAudioInStream final : public WaveInStream {
public:
    PortAudioInStream(WaveInCore& core, std::atomic<int>& openStreams, std::timed_mutex& lifecycle)
        : Shared(std::make_shared<StreamShared>(core, openStreams, lifecycle)) {}

    // Returns at once: the supervisor stops and closes the PortAudio stream and then ends.
    ~PortAudioInStream() override {
        if (!Supervising) {
            return;
        }
        {
            std::lock_guard lock(Shared->Control);
            Park(*Shared);
            Shared->Quit = true;
        }
        Shared->Wake.Raise();
    }

    // Opens the PortAudio stream; the caller holds the lifecycle lock.
    PaError Open(const PaStreamParameters& parameters, double rate) {
        StreamShared& shared = *Shared;
        const PaError error =
            Pa_OpenStream(&shared.Stream, &parameters, nullptr, rate, kFramesPerCallback, paNoFlag,
                          &PortAudioInStream::Callback, &shared);
        if (error != paNoError) {
            shared.Stream = nullptr;
            return error;
        }
        Pa_SetStreamFinishedCallback(shared.Stream, &PortAudioInStream::Finished);
        ++shared.OpenStreams; // until the supervisor has closed it
        std::thread([shared = Shared] { Supervise(shared); }).detach();
        Supervising = true;
        return paNoError;
    }

    MMRESULT Start(std::string& detail) override {
        StreamShared& shared = *Shared;
        std::unique_lock lock(shared.Control);
        if (shared.Running) {
            return MMSYSERR_NOERROR;
        }
        // After a stop, PortAudio must have been told before the stream can run again.
        const auto deadline = Clock::now() + std::chrono::seconds(1);
        while (shared.AbortPending && Clock::now() < deadline) {
            const std::uint32_t seen = shared.Wake.Value();
            lock.unlock();
            shared.Wake.WaitFor(seen, deadline - Clock::now());
            lock.lock();
        }
        if (shared.AbortPending) {
            detail = "The sound input device could not start: the sound system does not answer";
            return MMSYSERR_ERROR;
        }
        shared.Ended.store(false, std::memory_order_relaxed);
        shared.LastFrames.store(Now(), std::memory_order_relaxed);
        shared.Closed.store(false, std::memory_order_seq_cst);
        const PaError error = Pa_StartStream(shared.Stream);
        if (error != paNoError) {
            Park(shared);
            detail = "The sound input device could not start: " + ErrorText(error);
            return MMSYSERR_ERROR;
        }
        shared.Running = true;
        lock.unlock();
        shared.Wake.Raise();
        return MMSYSERR_NOERROR;
    }

    void Stop() override {
        StreamShared& shared = *Shared;
        {
            std::lock_guard lock(shared.Control);
            if (!shared.Running) {
                return;
            }
            // From here on the callback leaves the core alone; what the device still buffers
            // is dropped when the supervisor aborts the stream.
            Park(shared);
            shared.Running = false;
            shared.AbortPending = true;
        }
        shared.Wake.Raise();
    }

private:
    static std::int64_t Now() {
        return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
            .count();
    }

    static int Callback(const void* input, void* /*output*/, unsigned long frames,
                        const PaStreamCallbackTimeInfo* /*time*/, PaStreamCallbackFlags /*status*/,
                        void* shared) {
        Take(*static_cast<StreamShared*>(shared), static_cast<const char*>(input), frames);
        return paContinue;
    }

    // PortAudio ended the stream: by an abort (parked already), or on its own after an error it
    // could not recover from.
    static void Finished(void* self) {
        auto& shared = *static_cast<StreamShared*>(self);
        if (!shared.Closed.load(std::memory_order_seq_cst)) {
            shared.Ended.store(true, std::memory_order_release);
            shared.Wake.Raise();
        }
    }

    // The audio callback. Inside and Closed form a handshake with Park: either Park sees the
    // callback inside and waits for it, or the callback sees Closed and leaves the core alone.
    static void Take(StreamShared& shared, const char* data, unsigned long frames) {
        shared.Inside.store(1, std::memory_order_seq_cst);
        if (!shared.Closed.load(std::memory_order_seq_cst) && data != nullptr) {
            shared.LastFrames.store(Now(), std::memory_order_relaxed);
            WaveInCore& core = shared.Core;
            std::size_t bytes = frames * core.BlockAlign();
            while (bytes > 0) {
                const std::span<char> target = core.HeadSpace();
                if (target.empty()) {
                    break; // no buffer held: these samples are lost, as with a sound card
                }
                const std::size_t copied = std::min(bytes, target.size());
                std::memcpy(target.data(), data, copied);
                core.HeadFilled(copied);
                data += copied;
                bytes -= copied;
            }
        }
        shared.Inside.store(0, std::memory_order_seq_cst);
        shared.Inside.notify_all();
    }

    // Makes the callback leave the core alone from now on; returns once it is not inside (one
    // callback's copy at most). Control held.
    static void Park(StreamShared& shared) {
        shared.Closed.store(true, std::memory_order_seq_cst);
        for (std::uint32_t inside = shared.Inside.load(std::memory_order_seq_cst); inside != 0;
             inside = shared.Inside.load(std::memory_order_seq_cst)) {
            shared.Inside.wait(inside, std::memory_order_seq_cst);
        }
    }

    // The supervisor: verdicts on a running stream, and PortAudio's stop and close, which may
    // hang with the sound server, so they run here and not on the caller's thread.
    static void Supervise(std::shared_ptr<StreamShared> owner) {
        StreamShared& shared = *owner;
        std::unique_lock lock(shared.Control);
        while (!shared.Quit) {
            const std::uint32_t seen = shared.Wake.Value();
            std::chrono::nanoseconds sleep = std::chrono::hours(1);
            if (shared.AbortPending) {
                lock.unlock();
                {
                    std::lock_guard lifecycle(shared.Lifecycle);
                    Pa_AbortStream(shared.Stream);
                }
                lock.lock();
                shared.AbortPending = false;
                shared.Wake.Raise();
                continue;
            }
            if (shared.Running && !shared.Closed.load(std::memory_order_seq_cst)) {
                const auto silent = std::chrono::nanoseconds(
                    Now() - shared.LastFrames.load(std::memory_order_relaxed));
                if (shared.Ended.load(std::memory_order_acquire)) {
                    Park(shared);
                    shared.Core.Fail("the sound system ended the stream (the device or its "
                                     "sound server went away)");
                } else if (silent >= kStallTimeout) {
                    Park(shared);
                    shared.Core.Fail("it stopped delivering samples");
                } else {
                    sleep = kStallTimeout - silent;
                }
            }
            lock.unlock();
            shared.Wake.WaitFor(seen, sleep);
            lock.lock();
        }
        lock.unlock();
        {
            // Closing aborts a stream still running.
            std::lock_guard lifecycle(shared.Lifecycle);
            Pa_CloseStream(shared.Stream);
        }
        --shared.OpenStreams;
    }

    std::shared_ptr<StreamShared> Shared;
    bool Supervising = false;
};

class PortAudioBackend final : public WaveBackend {
public:
    ~PortAudioBackend() override {
        // The program ends: streams still closing get a moment; PortAudio is left alone if one
        // hangs, as terminating it under a closing stream would crash.
        for (int wait = 0; wait < 100 && OpenStreams.load() > 0; ++wait) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        if (Initialised && OpenStreams.load() == 0) {
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
        parameters.suggestedLatency = std::max(info->defaultLowInputLatency, kInputLatency);
        auto opened = std::make_unique<PortAudioInStream>(core, OpenStreams, Lifecycle);
        // A stream that an earlier Stop left closing on a hung sound server holds this; waiting
        // for it longer would freeze the caller.
        std::unique_lock lifecycle(Lifecycle, std::defer_lock);
        if (!lifecycle.try_lock_for(std::chrono::milliseconds(500))) {
            detail = "The sound input device is busy: the sound system has not finished "
                     "closing it";
            return MMSYSERR_ALLOCATED;
        }
        const PaError error = opened->Open(parameters, format.nSamplesPerSec);
        if (error != paNoError) {
            return OpenFailure(error, detail);
        }
        stream = std::move(opened);
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
    // Streams open or still closing on their supervisors; PortAudio is never restarted while
    // any is.
    std::atomic<int> OpenStreams{0};
    std::timed_mutex Lifecycle;
    DWORD OpenFormats = 0; // formats of input streams opened since the input was probed
    std::array<std::optional<ProbedFormats>, 2> Probed; // output, input
    WaveInStatistics Counts;
};

} // namespace

WaveBackend& PortAudioWaveBackend() {
    static PortAudioBackend backend;
    return backend;
}
