// A recording read as consecutive blocks, the way capture would have delivered them: a file, or
// the standard input ("-"), in any format libsndfile decodes from there.
//
// One channel is taken; a recording at another rate than 22050 Hz is resampled on the fly with
// libsoxr, unless its own rate is asked for (the speed tracker reads any rate, and finer sampling
// times edges more finely). The input is streamed, never loaded whole, so memory stays the same
// however long the recording is.
//
// Not thread-safe; one thread uses an object.
#pragma once

#include "tools/cli/BlockSource.h"
#include "tools/cli/SoundFile.h"

#include <cstdint>
#include <memory>
#include <string>

class FileSource : public BlockSource {
public:
    // Opens `path` ("-": the standard input) and selects `channel` (1-based). Throws CliError
    // with kExitInputUnreadable or kExitNotAudio (see InputFile and SoundFile),
    // kExitNoSuchChannel, kExitTooShort (a length known from the header of less than one block
    // at 22050 Hz, or as long at the file's rate), or kExitInterrupted (a stop requested while
    // waiting for a stream's first bytes). With `fileRate`, blocks hold 8192 samples at the
    // file's own rate, not resampled.
    FileSource(const std::string& path, std::int32_t channel, bool fileRate = false);
    ~FileSource() override;

    const RecordingInfo& Info() const;
    // How messages name the input: "'rec.wav'" or "the standard input".
    const std::string& Subject() const;
    // The file name without its folders, or "standard input".
    const std::string& ShortName() const;

    // True when the file's rate is not 22050 Hz and its samples pass through the resampler.
    bool Resamples() const;

    std::int32_t SampleRate() const override;
    // Samples at SampleRate() the whole recording should give; -1 when its header does not say.
    std::int64_t ExpectedSamples() const override;
    // Throws CliError(kExitInterrupted) once a stop is requested, also while waiting for a
    // stream that sends nothing, and kExitInputUnreadable when reading or decoding fails part
    // way.
    const SampleBlock* NextBlock() override;
    std::span<const std::int16_t> Tail() const override;

    // Frames per channel the header promises, at the file's rate; -1 when it does not say.
    std::int64_t DeclaredFrames() const;

    // Once NextBlock() has returned nullptr: frames per channel the header promised but the file
    // does not hold (it was cut off); 0 for a whole file, or before the end.
    std::int64_t MissingFrames() const;

    struct Impl;

private:
    std::unique_ptr<Impl> Self;
};
