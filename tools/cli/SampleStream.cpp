#include "tools/cli/SampleStream.h"

#include "measure/BlockAnalysis.h"
#include "tools/cli/ExitCodes.h"

#include <soxr.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

namespace {

// Samples read from the file per call when a channel must be picked out or resampled: large
// enough to keep calls rare, small enough that the buffers stay small.
constexpr std::int64_t kChunkSamples = 16384;

struct SoxrDeleter {
    void operator()(soxr* resampler) const { soxr_delete(resampler); }
};

// Full scale of libsndfile's normalised floats is 1.0 = 32768; a value outside the 16-bit
// range (a float file can hold any) is clipped, as an overdriven input would be.
std::int16_t ToSample(float value) {
    if (std::isnan(value)) {
        return 0;
    }
    const float scaled = std::clamp(value * 32768.0f, -32768.0f, 32767.0f);
    return static_cast<std::int16_t>(std::lrint(scaled));
}

} // namespace

struct SampleStream::Impl {
    SoundFile& File;
    std::int32_t Channels = 1;
    std::int32_t ChannelIndex = 0;
    std::int64_t ChunkFrames = 1; // frames per read when splitting or resampling
    std::unique_ptr<soxr, SoxrDeleter> Resampler;

    // Interleaved frames straight from the file, when more than one channel must be split.
    std::vector<std::int16_t> ShortFrames;
    std::vector<float> FloatFrames;
    // Resampler input (the selected channel) and output, each with a read position.
    std::vector<float> ResamplerIn;
    std::size_t InPos = 0;
    std::size_t InCount = 0;
    std::vector<float> ResamplerOut;
    std::size_t OutPos = 0;
    std::size_t OutCount = 0;
    bool FileDone = false;
    bool Drained = false;

    explicit Impl(SoundFile& file) : File(file) {}

    std::size_t ProduceDirect(std::int16_t* out, std::size_t wanted) {
        if (Channels == 1) {
            return File.ReadShort(out, static_cast<std::int64_t>(wanted));
        }
        const auto frames = std::min<std::int64_t>(static_cast<std::int64_t>(wanted), ChunkFrames);
        const std::size_t got = File.ReadShort(ShortFrames.data(), frames);
        const auto stride = static_cast<std::size_t>(Channels);
        for (std::size_t i = 0; i < got; ++i) {
            out[i] = ShortFrames[i * stride + static_cast<std::size_t>(ChannelIndex)];
        }
        return got;
    }

    void RefillResamplerInput() {
        const std::size_t got = File.ReadFloat(FloatFrames.data(), ChunkFrames);
        const auto stride = static_cast<std::size_t>(Channels);
        for (std::size_t i = 0; i < got; ++i) {
            ResamplerIn[i] = FloatFrames[i * stride + static_cast<std::size_t>(ChannelIndex)];
        }
        InPos = 0;
        InCount = got;
        FileDone = got == 0;
    }

    std::size_t ProduceResampled(std::int16_t* out, std::size_t wanted) {
        while (OutPos == OutCount) {
            if (Drained) {
                return 0;
            }
            if (InPos == InCount && !FileDone) {
                RefillResamplerInput();
            }
            std::size_t used = 0;
            std::size_t made = 0;
            soxr_error_t error = nullptr;
            if (InPos < InCount) {
                error = soxr_process(Resampler.get(), ResamplerIn.data() + InPos, InCount - InPos,
                                     &used, ResamplerOut.data(), ResamplerOut.size(), &made);
            } else {
                // End of input: ask for the samples still inside the filter.
                error = soxr_process(Resampler.get(), nullptr, 0, nullptr, ResamplerOut.data(),
                                     ResamplerOut.size(), &made);
                Drained = made == 0;
            }
            if (error != nullptr) {
                throw CliError(kExitInputUnreadable,
                               "cannot resample " + File.Subject() + ": " + error);
            }
            InPos += used;
            OutPos = 0;
            OutCount = made;
        }
        const std::size_t count = std::min(wanted, OutCount - OutPos);
        for (std::size_t i = 0; i < count; ++i) {
            out[i] = ToSample(ResamplerOut[OutPos + i]);
        }
        OutPos += count;
        return count;
    }
};

SampleStream::SampleStream(SoundFile& file, std::int32_t channelIndex, bool resample)
    : Self(std::make_unique<Impl>(file)) {
    Impl& s = *Self;
    const RecordingInfo& info = file.Info();
    s.Channels = info.Channels;
    s.ChannelIndex = channelIndex;
    s.ChunkFrames = std::max<std::int64_t>(1, kChunkSamples / info.Channels);
    const auto buffered = static_cast<std::size_t>(s.ChunkFrames * info.Channels);
    if (!resample || info.SampleRate == kSampleRate) {
        if (info.Channels > 1) {
            s.ShortFrames.resize(buffered);
        }
        return;
    }
    s.FloatFrames.resize(buffered);
    s.ResamplerIn.resize(static_cast<std::size_t>(s.ChunkFrames));
    // The resampler fills at most this much per call and keeps the rest of its input for the
    // next, so the size need not follow the rate ratio.
    s.ResamplerOut.resize(static_cast<std::size_t>(kChunkSamples));
    soxr_error_t error = nullptr;
    const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
    const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
    s.Resampler.reset(soxr_create(info.SampleRate, kSampleRate, 1, &error, &io, &quality, nullptr));
    if (!s.Resampler || error != nullptr) {
        throw CliError(kExitInternal, "cannot resample from " + std::to_string(info.SampleRate) +
                                          " Hz: " + (error ? error : "unknown error"));
    }
}

SampleStream::~SampleStream() = default;

bool SampleStream::Resamples() const {
    return Self->Resampler != nullptr;
}

std::size_t SampleStream::Produce(std::int16_t* out, std::size_t wanted) {
    return Self->Resampler ? Self->ProduceResampled(out, wanted) : Self->ProduceDirect(out, wanted);
}
