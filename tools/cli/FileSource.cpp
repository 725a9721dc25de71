#include "tools/cli/FileSource.h"

#include "tools/cli/ExitCodes.h"
#include "tools/cli/InputFile.h"
#include "tools/cli/Interrupt.h"
#include "tools/cli/ReadAhead.h"
#include "tools/cli/SampleStream.h"

#include <algorithm>
#include <cstdio>

namespace {

std::string Seconds(std::int64_t samples, std::int64_t rate) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3f s",
                  rate > 0 ? static_cast<double>(samples) / static_cast<double>(rate) : 0.0);
    return text;
}

} // namespace

// Members in the order they depend on each other, so they go in the reverse: the reading thread
// first, the descriptor last.
struct FileSource::Impl {
    InputFile Input;
    SoundFile Sound;
    bool FileRate = false;
    std::unique_ptr<SampleStream> Samples;
    std::unique_ptr<ReadAhead> Blocks;
    bool Ended = false;

    Impl(const std::string& path, bool fileRate) : Input(path), Sound(Input), FileRate(fileRate) {}
};

FileSource::FileSource(const std::string& path, std::int32_t channel, bool fileRate)
    : Self(std::make_unique<Impl>(path, fileRate)) {
    Impl& s = *Self;
    const RecordingInfo& info = s.Sound.Info();
    if (channel < 1 || channel > info.Channels) {
        throw CliError(kExitNoSuchChannel, s.Input.Subject() + " has " +
                                               std::to_string(info.Channels) +
                                               (info.Channels == 1 ? " channel" : " channels") +
                                               "; there is no channel " + std::to_string(channel));
    }

    const std::int64_t expected = ExpectedSamples();
    // A block's length in time: 8192 samples at 22050 Hz, or as long at the file's rate.
    const std::int64_t needed =
        fileRate ? (std::int64_t{kBlockSamples} * info.SampleRate + kSampleRate - 1) / kSampleRate
                 : kBlockSamples;
    if (expected >= 0 && expected < needed) {
        char text[160];
        std::snprintf(text, sizeof text,
                      " is too short: %lld samples at %d Hz (%.3f s); the analysis needs at least "
                      "one block of 8192 samples at 22050 Hz (0.372 s)",
                      static_cast<long long>(info.Frames), info.SampleRate,
                      static_cast<double>(info.Frames) / info.SampleRate);
        std::string message = s.Input.Subject() + text;
        const std::int64_t declared = s.Sound.DeclaredFrames();
        if (declared > info.Frames) {
            message += "; the file is truncated: its header promises " + std::to_string(declared) +
                       " samples (" + Seconds(declared, info.SampleRate) + ")";
        }
        throw CliError(kExitTooShort, message);
    }

    s.Samples = std::make_unique<SampleStream>(s.Sound, channel - 1, !fileRate);
    s.Blocks = std::make_unique<ReadAhead>(
        [samples = s.Samples.get()](std::int16_t* out, std::size_t wanted) {
            return samples->Produce(out, wanted);
        });
}

FileSource::~FileSource() = default;

const RecordingInfo& FileSource::Info() const {
    return Self->Sound.Info();
}

const std::string& FileSource::Subject() const {
    return Self->Input.Subject();
}

const std::string& FileSource::ShortName() const {
    return Self->Input.ShortName();
}

bool FileSource::Resamples() const {
    return Self->Samples && Self->Samples->Resamples();
}

std::int32_t FileSource::SampleRate() const {
    return Self->FileRate ? Self->Sound.Info().SampleRate : kSampleRate;
}

std::int64_t FileSource::ExpectedSamples() const {
    const RecordingInfo& info = Self->Sound.Info();
    if (info.Frames < 0 || info.SampleRate <= 0) {
        return -1;
    }
    if (info.SampleRate == kSampleRate || Self->FileRate) {
        return info.Frames;
    }
    return static_cast<std::int64_t>(static_cast<double>(info.Frames) * kSampleRate /
                                     info.SampleRate);
}

const SampleBlock* FileSource::NextBlock() {
    if (StopRequested()) {
        throw CliError(kExitInterrupted, "interrupted");
    }
    try {
        const SampleBlock* block = Self->Blocks->NextBlock();
        Self->Ended = block == nullptr;
        return block;
    } catch (const CliError&) {
        // A stream waited on gives up when a stop is requested; that is the stop, not a fault.
        if (StopRequested()) {
            throw CliError(kExitInterrupted, "interrupted");
        }
        throw;
    }
}

std::span<const std::int16_t> FileSource::Tail() const {
    return Self->Blocks->Tail();
}

std::int64_t FileSource::DeclaredFrames() const {
    return Self->Sound.DeclaredFrames();
}

std::int64_t FileSource::MissingFrames() const {
    const Impl& s = *Self;
    const std::int64_t declared = s.Sound.DeclaredFrames();
    if (!s.Ended || declared < 0) {
        return 0;
    }
    return std::max<std::int64_t>(0, declared - s.Sound.FramesRead());
}
