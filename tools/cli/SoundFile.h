// A recording decoded by libsndfile, from a file (read anywhere) or a stream (read forward; its
// first megabyte is kept while libsndfile looks at the header, so it may go back there).
//
// Before decoding, a WAV header's own figures are checked (tools/cli/WavHeader.h), so that an
// impossible rate or channel count gets a message that names it, and a cut-off file is told.
//
// Not thread-safe; one thread at a time uses an object.
#pragma once

#include "tools/cli/InputFile.h"

#include <cstdint>
#include <memory>
#include <string>

struct RecordingInfo {
    std::int32_t SampleRate = 0; // of the file, Hz, 1000..768000
    std::int32_t Channels = 0;   // of the file, >= 1
    std::int64_t Frames = -1;    // of the file, per channel; -1 when the file does not say
    std::string Format;          // libsndfile's name of the container and encoding
};

// Rates a sound card or a recorder can produce. Outside them a header is damaged: 1 Hz would be
// resampled into hours of nonsense, 4 GHz would take the resampler an age to bring down.
inline constexpr std::int64_t kMinFileRate = 1000;
inline constexpr std::int64_t kMaxFileRate = 768000;

class SoundFile {
public:
    // Starts decoding the input, waiting for a stream's first 64 KiB (or its end). Throws
    // CliError with kExitInputUnreadable (the input cannot be read), kExitNotAudio (empty, not
    // audio, no channels, a rate outside kMinFileRate to kMaxFileRate) or kExitInterrupted (a stop
    // was requested while waiting for a stream). The input must outlive this object.
    explicit SoundFile(InputFile& input);
    ~SoundFile();
    SoundFile(const SoundFile&) = delete;
    SoundFile& operator=(const SoundFile&) = delete;

    const RecordingInfo& Info() const;
    // How messages name the input (InputFile::Subject).
    const std::string& Subject() const;
    // Frames per channel the header promises; -1 when it does not say.
    std::int64_t DeclaredFrames() const;
    // Frames taken so far.
    std::int64_t FramesRead() const;

    // Read up to `frames` interleaved frames into `out` (frames x channels values), returning how
    // many came; 0 at the end. 16-bit reads clip wider and float samples to the 16-bit range;
    // float reads give full scale as 1.0. Throw CliError(kExitInputUnreadable) when reading or
    // decoding fails part way (also when a stop request ends the wait for a stream).
    std::size_t ReadShort(std::int16_t* out, std::int64_t frames);
    std::size_t ReadFloat(float* out, std::int64_t frames);

    struct Impl;

private:
    std::unique_ptr<Impl> Self;
};
