#include "tools/cli/Commands.h"
#include "tools/cli/ExitCodes.h"
#include "tools/cli/Interrupt.h"
#include "tools/cli/OutputFile.h"

#include "tools/cli/Extras.h"

#include <sndfile.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace {

// Buffers queued at the device: with four, a slow terminal or disk may hold up the loop for
// more than a second before a sample is lost.
constexpr std::size_t kBuffers = 4;
constexpr DWORD kBufferBytes = sizeof(SampleBlock);
constexpr UINT kHeaderSize = sizeof(WAVEHDR);
// How often the loop looks for a returned buffer; small beside a block's 371 ms.
constexpr auto kPollInterval = std::chrono::milliseconds(5);

std::string ErrorText(MMRESULT result) {
    char text[256] = {};
    Extras().WaveInGetErrorTextA(result, text, sizeof text);
    return text;
}

[[noreturn]] void SoundInputFailed(const char* what, MMRESULT result) {
    throw CliError(kExitSoundInput, std::string(what) + ": " + ErrorText(result));
}

struct SndfileCloser {
    void operator()(SNDFILE* file) const { sf_close(file); }
};

// The raw input as 16-bit mono 22050 Hz WAV, renamed into place when listening ends.
class Recording {
public:
    explicit Recording(const std::string& path) : File(path) {
        SF_INFO info{};
        info.samplerate = kSampleRate;
        info.channels = 1;
        info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
        Wav.reset(sf_open_fd(File.Descriptor(), SFM_WRITE, &info, SF_FALSE));
        if (!Wav) {
            throw CliError(kExitOutputUnwritable,
                           "cannot write '" + path + "': " + sf_strerror(nullptr));
        }
    }

    void Append(const std::int16_t* samples, std::size_t count) {
        const auto wanted = static_cast<sf_count_t>(count);
        if (sf_write_short(Wav.get(), samples, wanted) != wanted) {
            throw CliError(kExitOutputUnwritable,
                           "cannot write '" + File.Path() + "': " + sf_strerror(Wav.get()));
        }
    }

    void Finish() {
        if (sf_close(Wav.release()) != 0) {
            throw CliError(kExitOutputUnwritable,
                           "cannot write '" + File.Path() + "': finishing the WAV header failed");
        }
        File.Commit();
    }

    const std::string& Path() const { return File.Path(); }

private:
    AtomicOutputFile File;
    std::unique_ptr<SNDFILE, SndfileCloser> Wav;
};

// The open input device with its buffers. Closing waits for nothing: reset hands every buffer
// back at once.
class InputDevice {
public:
    InputDevice() : Sound(Extras()) {
        WAVEFORMATEX format;
        format.wFormatTag = WAVE_FORMAT_PCM;
        format.nChannels = 1;
        format.nSamplesPerSec = kSampleRate;
        format.nAvgBytesPerSec = kSampleRate * 2;
        format.nBlockAlign = 2;
        format.wBitsPerSample = 16;
        // No window here: the loop asks for each buffer back instead of being told.
        const MMRESULT opened =
            Sound.WaveInOpen(&Handle, WAVE_MAPPER, &format, 0, 0, CALLBACK_NULL);
        if (opened != MMSYSERR_NOERROR) {
            Handle = nullptr;
            SoundInputFailed("cannot open the sound input", opened);
        }
        WAVEINCAPS caps{};
        if (Sound.WaveInGetDevCapsA(WAVE_MAPPER, &caps, sizeof caps) == MMSYSERR_NOERROR) {
            Name = caps.szPname;
        }
        try {
            for (std::size_t i = 0; i < kBuffers; ++i) {
                Headers[i].lpData = reinterpret_cast<char*>(Blocks[i].data());
                Headers[i].dwBufferLength = kBufferBytes;
                Queue(i);
            }
            if (const MMRESULT started = Sound.WaveInStart(Handle); started != MMSYSERR_NOERROR) {
                SoundInputFailed("cannot start the sound input", started);
            }
        } catch (...) {
            // No destructor runs for a half-built object: give the device back here.
            Release();
            Sound.WaveInClose(Handle);
            throw;
        }
    }

    ~InputDevice() {
        if (Handle != nullptr) {
            Release();
            Sound.WaveInClose(Handle);
        }
    }

    InputDevice(const InputDevice&) = delete;
    InputDevice& operator=(const InputDevice&) = delete;

    void Queue(std::size_t index) {
        WAVEHDR& header = Headers[index];
        header.dwFlags = 0;
        header.dwBytesRecorded = 0;
        if (const MMRESULT prepared = Sound.WaveInPrepareHeader(Handle, &header, kHeaderSize);
            prepared != MMSYSERR_NOERROR) {
            SoundInputFailed("the sound input failed", prepared);
        }
        if (const MMRESULT added = Sound.WaveInAddBuffer(Handle, &header, kHeaderSize);
            added != MMSYSERR_NOERROR) {
            SoundInputFailed("the sound input failed", added);
        }
    }

    // The buffer back from the device, or nothing while the device still holds it.
    bool TryTakeBack(std::size_t index) {
        const MMRESULT result = Sound.WaveInUnprepareHeader(Handle, &Headers[index], kHeaderSize);
        if (result == WAVERR_STILLPLAYING) {
            return false;
        }
        if (result != MMSYSERR_NOERROR) {
            SoundInputFailed("the sound input failed", result);
        }
        return true;
    }

    // Stops capture and takes every buffer back, each with what it caught.
    void Release() {
        Sound.WaveInReset(Handle);
        for (std::size_t i = 0; i < kBuffers; ++i) {
            while (Sound.WaveInUnprepareHeader(Handle, &Headers[i], kHeaderSize) ==
                   WAVERR_STILLPLAYING) {
                std::this_thread::sleep_for(kPollInterval);
            }
        }
    }

    const SampleBlock& Block(std::size_t index) const { return Blocks[index]; }
    std::size_t SamplesIn(std::size_t index) const {
        return std::min<std::size_t>(Headers[index].dwBytesRecorded / 2, kBlockSamples);
    }
    const std::string& DeviceName() const { return Name; }

private:
    const CliExtras& Sound;
    HWAVEIN Handle = nullptr;
    std::array<SampleBlock, kBuffers> Blocks{};
    std::array<WAVEHDR, kBuffers> Headers{};
    std::string Name;
};

} // namespace

int RunListen(const ListenOptions& options, std::ostream& out) {
    // Claimed first, so an unwritable path fails before the device is opened.
    std::optional<Recording> recording;
    if (!options.RecordPath.empty()) {
        recording.emplace(options.RecordPath);
    }
    // --seconds counts whole blocks, rounded up.
    const std::int64_t blockLimit =
        options.Seconds > 0.0
            ? static_cast<std::int64_t>(std::ceil(options.Seconds * kSampleRate / kBlockSamples))
            : -1;
    // Room for the summary: the blocks asked for, or a day of them when no end is given.
    ReadingTally tally(static_cast<std::size_t>(blockLimit > 0 ? std::min(blockLimit, kDayOfBlocks)
                                                               : kDayOfBlocks));

    // The tracker follows the input across blocks; at 22050 Hz its intervals are the blocks,
    // so it gives one reading per block too.
    std::optional<SpeedTracker> tracker;
    if (options.Method == AnalysisMethod::Tracker) {
        if (options.Ppr > kTrackerMaxImpulsesPerRevolution) {
            throw CliError(kExitUsage, "--ppr: the speed tracker takes at most 4096 impulses "
                                       "per revolution, not " +
                                           std::to_string(options.Ppr));
        }
        SpeedTrackerSettings settings;
        settings.ImpulsesPerRevolution = options.Ppr;
        settings.ClockPpm = options.ClockPpm;
        settings.TimeoutSeconds = options.TimeoutSeconds;
        tracker.emplace(settings);
    }

    InputDevice device;
    ReadingWriter writer(options.Format, out, options.Colour);
    writer.WriteHeader();
    out.flush();
    const auto takeReading = [&](const auto& reading) {
        writer.WriteRow(tally.Blocks(), reading);
        out.flush();
        tally.Add(reading);
    };
    const auto takeBlock = [&](const SampleBlock& block) {
        if (tracker) {
            tracker->FeedAll(block, takeReading);
        } else {
            takeReading(WithClockCorrection(AnalyseBlock(block, options.Ppr), options.ClockPpm,
                                            options.Ppr));
        }
        if (recording) {
            recording->Append(block.data(), block.size());
        }
    };
    // A reader of the rows that went away (`| head`) ends listening like Ctrl-C; the recording
    // is still finished, and the lost output reported at the end.
    const auto outputLost = [&out] { return !out; };

    RunSummary summary;
    summary.Ppr = options.Ppr;
    summary.Tracker = tracker.has_value();
    summary.ClockPpm = options.ClockPpm;
    std::optional<CliError> failure;
    bool interrupted = false;
    std::size_t next = 0;
    try {
        while (blockLimit < 0 || tally.Blocks() < blockLimit) {
            if (StopRequested() || outputLost()) {
                interrupted = true;
                break;
            }
            if (!device.TryTakeBack(next)) {
                std::this_thread::sleep_for(kPollInterval);
                continue;
            }
            const std::size_t samples = device.SamplesIn(next);
            if (samples < kBlockSamples) {
                // Only a failing device hands a buffer back early; queuing it again then names
                // the reason. What it caught still belongs in the recording.
                if (recording) {
                    recording->Append(device.Block(next).data(), samples);
                }
            } else {
                takeBlock(device.Block(next));
            }
            // Moved on first, so that after a failed queuing the next buffer is the oldest.
            const std::size_t taken = next;
            next = (next + 1) % kBuffers;
            device.Queue(taken);
        }
    } catch (const CliError& error) {
        if (error.Code() != kExitSoundInput) {
            throw;
        }
        // The readings and the recording so far are still good; they are kept, and the
        // failure is reported after them.
        failure = error;
    }

    device.Release();
    if (interrupted || failure) {
        // Blocks that completed while stopping are still shown; the first short one is the
        // end of the input, recorded but not analysed.
        for (std::size_t i = 0; i < kBuffers; ++i, next = (next + 1) % kBuffers) {
            const std::size_t samples = device.SamplesIn(next);
            if (samples == kBlockSamples) {
                takeBlock(device.Block(next));
                continue;
            }
            if (recording && samples > 0) {
                recording->Append(device.Block(next).data(), samples);
            }
            summary.SkippedSamples = static_cast<std::int64_t>(samples);
            break;
        }
    }

    summary.Recording = "live from the sound input";
    if (!device.DeviceName().empty()) {
        summary.Recording += " '" + device.DeviceName() + "'";
    }
    summary.Recording += " (16-bit mono 22050 Hz)";
    if (tracker) {
        summary.Recording += ", read by the speed tracker";
    }
    if (recording) {
        recording->Finish();
        summary.Recording += ", saved to " + recording->Path();
    }
    writer.WriteSummary(tally.Summary(summary));
    out.flush();
    if (failure) {
        throw *failure;
    }
    if (outputLost()) {
        throw CliError(kExitOutputUnwritable,
                       "cannot write the readings to the standard output; listening stopped" +
                           std::string(recording ? " and the recording is complete" : ""));
    }
    return kExitOk;
}
