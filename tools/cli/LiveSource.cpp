#include "tools/cli/LiveSource.h"

#include "tools/cli/Interrupt.h"

#include "platform/wave/WaveAudio.h"

#include <algorithm>
#include <chrono>
#include <memory>
#include <thread>

namespace {

constexpr std::size_t kBuffers = 4;
constexpr DWORD kBufferBytes = sizeof(SampleBlock);
constexpr UINT kHeaderSize = sizeof(WAVEHDR);
// How often the device is asked for a returned buffer; small beside a block's 371 ms.
constexpr auto kPollInterval = std::chrono::milliseconds(5);

std::string ErrorText(MMRESULT result) {
    char text[256] = {};
    waveInGetErrorTextA(result, text, sizeof text);
    return text;
}

[[noreturn]] void SoundInputFailed(const char* what, MMRESULT result) {
    throw CliError(kExitSoundInput, std::string(what) + ": " + ErrorText(result));
}

} // namespace

// The open input device with its buffers.
struct LiveSource::Device {
    HWAVEIN Handle = nullptr;
    std::array<SampleBlock, kBuffers> Blocks{};
    std::array<WAVEHDR, kBuffers> Headers{};
    bool Released = false;

    Device() {
        WAVEFORMATEX format;
        format.wFormatTag = WAVE_FORMAT_PCM;
        format.nChannels = 1;
        format.nSamplesPerSec = kSampleRate;
        format.nAvgBytesPerSec = kSampleRate * 2;
        format.nBlockAlign = 2;
        format.wBitsPerSample = 16;
        format.cbSize = 0;
        // No window here: the reader asks for each buffer back instead of being told.
        const MMRESULT opened = waveInOpen(&Handle, WAVE_MAPPER, &format, 0, 0, CALLBACK_NULL);
        if (opened != MMSYSERR_NOERROR) {
            Handle = nullptr;
            SoundInputFailed("cannot open the sound input", opened);
        }
        try {
            for (std::size_t i = 0; i < kBuffers; ++i) {
                Headers[i].lpData = reinterpret_cast<char*>(Blocks[i].data());
                Headers[i].dwBufferLength = kBufferBytes;
                Queue(i);
            }
            if (const MMRESULT started = waveInStart(Handle); started != MMSYSERR_NOERROR) {
                SoundInputFailed("cannot start the sound input", started);
            }
        } catch (...) {
            // No destructor runs for a half-built object: give the device back here.
            Release();
            waveInClose(Handle);
            throw;
        }
    }

    ~Device() {
        Release();
        waveInClose(Handle);
    }

    Device(const Device&) = delete;
    Device& operator=(const Device&) = delete;

    void Queue(std::size_t index) {
        WAVEHDR& header = Headers[index];
        header.dwFlags = 0;
        header.dwBytesRecorded = 0;
        if (const MMRESULT prepared = waveInPrepareHeader(Handle, &header, kHeaderSize);
            prepared != MMSYSERR_NOERROR) {
            SoundInputFailed("the sound input failed", prepared);
        }
        if (const MMRESULT added = waveInAddBuffer(Handle, &header, kHeaderSize);
            added != MMSYSERR_NOERROR) {
            SoundInputFailed("the sound input failed", added);
        }
    }

    // The buffer back from the device, or nothing while the device still holds it.
    bool TryTakeBack(std::size_t index) {
        const MMRESULT result = waveInUnprepareHeader(Handle, &Headers[index], kHeaderSize);
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
        if (Released) {
            return;
        }
        Released = true;
        waveInReset(Handle);
        for (std::size_t i = 0; i < kBuffers; ++i) {
            while (waveInUnprepareHeader(Handle, &Headers[i], kHeaderSize) == WAVERR_STILLPLAYING) {
                std::this_thread::sleep_for(kPollInterval);
            }
        }
    }

    std::span<const std::int16_t> Samples(std::size_t index) const {
        const std::size_t count =
            std::min<std::size_t>(Headers[index].dwBytesRecorded / 2, kBlockSamples);
        return {Blocks[index].data(), count};
    }
};

LiveSource::LiveSource(std::int64_t blockLimit, std::function<bool()> stopWhen, Tap tap)
    : Limit(blockLimit), StopWhen(std::move(stopWhen)), Take(std::move(tap)),
      Input(std::make_unique<Device>()) {
    WAVEINCAPS caps{};
    if (waveInGetDevCapsA(WAVE_MAPPER, &caps, sizeof caps) == MMSYSERR_NOERROR) {
        Name = caps.szPname;
    }
}

LiveSource::~LiveSource() = default;

std::int64_t LiveSource::ExpectedSamples() const {
    return Limit > 0 ? Limit * kBlockSamples : -1;
}

const SampleBlock* LiveSource::NextBlock() {
    if (Ended) {
        return nullptr;
    }
    if (!Draining) {
        try {
            if (Returned) {
                const std::size_t index = *Returned;
                Returned.reset();
                Input->Queue(index);
            }
            while (Limit < 0 || Delivered < Limit) {
                if (StopRequested() || (StopWhen && StopWhen())) {
                    Draining = true;
                    break;
                }
                if (!Input->TryTakeBack(Next)) {
                    std::this_thread::sleep_for(kPollInterval);
                    continue;
                }
                // Moved on first, so that after a failed queuing the next buffer is the oldest.
                const std::size_t taken = Next;
                Next = (Next + 1) % kBuffers;
                const std::span<const std::int16_t> samples = Input->Samples(taken);
                Take(samples);
                if (samples.size() < kBlockSamples) {
                    // Only a failing device hands a buffer back early; queuing it again then
                    // names the reason.
                    Input->Queue(taken);
                    continue;
                }
                ++Delivered;
                Returned = taken;
                return &Input->Blocks[taken];
            }
        } catch (const CliError& error) {
            if (error.Code() != kExitSoundInput) {
                throw;
            }
            // What was read before the failure is still good: it comes out first.
            Failed = error;
            Draining = true;
        }
        Input->Release();
        if (!Draining) {
            Ended = true; // as many blocks as asked for
            return nullptr;
        }
        DrainLeft = kBuffers;
    }
    // Blocks that completed while stopping still come; the first short one is the end of the
    // input, taken in but not a block.
    while (DrainLeft > 0) {
        const std::size_t index = Next;
        Next = (Next + 1) % kBuffers;
        --DrainLeft;
        const std::span<const std::int16_t> samples = Input->Samples(index);
        if (!samples.empty()) {
            Take(samples);
        }
        if (samples.size() == kBlockSamples) {
            return &Input->Blocks[index];
        }
        TailSamples = samples;
        break;
    }
    Ended = true;
    return nullptr;
}
