// Reads a recording as consecutive analysis blocks, the way capture would have delivered them.
//
// Any file libsndfile decodes is accepted. One channel is taken; a file at another rate than
// 22050 Hz is resampled on the fly with libsoxr, unless the file's own rate is asked for (the
// speed tracker reads any rate, and finer sampling times edges more finely). The file is streamed
// in small chunks, never loaded whole, so memory stays the same however long the recording is.
//
// Not thread-safe; one thread uses an object.
#pragma once

#include "measure/BlockAnalysis.h"

#include <cstdint>
#include <memory>
#include <string>

struct RecordingInfo {
    std::int32_t SampleRate = 0; // of the file, Hz
    std::int32_t Channels = 0;   // of the file
    std::int64_t Frames = 0;     // of the file, per channel; -1 when the file does not say
    std::string Format;          // libsndfile's name of the container and encoding
};

class BlockSource {
public:
    // Opens `path` and selects `channel` (1-based). Only regular files are opened, and never in a
    // way that could wait (a FIFO is refused at once). Throws CliError with
    // kExitInputUnreadable (missing, directory, FIFO, device, unreadable), kExitNotAudio (empty,
    // not audio, no channels, or a rate outside 1000..768000 Hz), kExitNoSuchChannel or
    // kExitTooShort (less than one block at 22050 Hz, or as long at the file's rate).
    // With `fileRate`, blocks hold 8192 samples at the file's own rate, not resampled.
    BlockSource(const std::string& path, std::int32_t channel, bool fileRate = false);
    ~BlockSource();
    BlockSource(const BlockSource&) = delete;
    BlockSource& operator=(const BlockSource&) = delete;

    const RecordingInfo& Info() const;

    // True when the file's rate is not 22050 Hz and its samples pass through the resampler.
    bool Resamples() const;

    // Samples at 22050 Hz (at the file's rate with `fileRate`) the whole file should give; -1
    // when the file does not say.
    std::int64_t ExpectedSamples() const;

    // The next 8192 samples at 22050 Hz (or the file's rate), or nullptr at the end of the
    // recording, when PartialSamples() tells how many samples were left over (0..8191, not
    // analysed). The block belongs to this object and stays valid until the next call. Allocates
    // nothing. Throws CliError(kExitInputUnreadable) when reading or decoding fails part way.
    const SampleBlock* NextBlock();

    std::int64_t PartialSamples() const;
    // Those samples themselves, valid until the object goes. Empty before the end.
    const std::int16_t* PartialData() const;

    // Frames per channel the header promises, at the file's rate; -1 when it does not say.
    std::int64_t DeclaredFrames() const;

    // Once NextBlock() has returned nullptr: frames per channel the header promised but the file
    // does not hold (it was cut off); 0 for a whole file, or before the end.
    std::int64_t MissingFrames() const;

    struct Impl;

private:
    std::unique_ptr<Impl> Self;
};
