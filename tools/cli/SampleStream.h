// One channel of a decoded recording as 16-bit samples, at the file's own rate or resampled to
// 22050 Hz with libsoxr. Buffers stay small and of a fixed size for any channel count (a file may
// have up to 1024) and any rate.
//
// Not thread-safe; one thread at a time uses an object.
#pragma once

#include "tools/cli/SoundFile.h"

#include <cstdint>
#include <memory>

class SampleStream {
public:
    // Reads channel `channelIndex` (0-based, below the file's channel count) of `file`, which
    // must outlive this object. With `resample` and a file rate other than 22050 Hz, the samples
    // pass through the resampler. Throws CliError(kExitInternal) when it cannot be set up.
    SampleStream(SoundFile& file, std::int32_t channelIndex, bool resample);
    ~SampleStream();
    SampleStream(const SampleStream&) = delete;
    SampleStream& operator=(const SampleStream&) = delete;

    // True when the samples pass through the resampler.
    bool Resamples() const;

    // Puts up to `wanted` samples into `out`, returning how many; 0 only at the end. Allocates
    // nothing. Throws CliError(kExitInputUnreadable) when reading, decoding or resampling fails.
    std::size_t Produce(std::int16_t* out, std::size_t wanted);

    struct Impl;

private:
    std::unique_ptr<Impl> Self;
};
