#include "tools/cli/Commands.h"
#include "tools/cli/ExitCodes.h"
#include "tools/cli/Interrupt.h"
#include "tools/cli/OutputFile.h"

#include <sndfile.h>

#include <array>
#include <cmath>
#include <cstdio>
#include <memory>
#include <stdexcept>

namespace {

const char* ShapeName(PulseShape shape) {
    switch (shape) {
    case PulseShape::Sine:
        return "sine";
    case PulseShape::Square:
        return "square";
    case PulseShape::Pulse:
        return "pulse";
    }
    return "?";
}

struct SndfileCloser {
    void operator()(SNDFILE* file) const { sf_close(file); }
};

} // namespace

int RunGenerate(const GenerateOptions& options, std::ostream& out) {
    const double frequency = options.Rpm * options.Ppr / 60.0;
    // 22050 Hz sampling carries impulse rates only below half of it.
    if (!(frequency < kSampleRate / 2.0)) {
        char text[200];
        std::snprintf(text, sizeof text,
                      "--rpm %g with --ppr %d gives %.1f impulses per second; 22050 Hz sampling "
                      "carries fewer than 11025",
                      options.Rpm, options.Ppr, frequency);
        throw CliError(kExitUsage, text);
    }
    PulseTrainSettings settings;
    settings.FrequencyHz = frequency;
    settings.Shape = options.Shape;
    settings.Amplitude = options.Amplitude;
    settings.NoiseSigma = options.Noise;
    settings.Jitter = options.Jitter;
    std::unique_ptr<PulseTrainGenerator> generator;
    try {
        generator = std::make_unique<PulseTrainGenerator>(settings);
    } catch (const std::invalid_argument& error) {
        throw CliError(kExitUsage, std::string("cannot generate this signal: ") + error.what());
    }
    const auto total = static_cast<std::int64_t>(std::llround(options.Seconds * kSampleRate));
    if (total < 1) {
        throw CliError(kExitUsage, "--seconds is too small to give a single sample");
    }

    AtomicOutputFile file(options.OutPath);
    SF_INFO info{};
    info.samplerate = kSampleRate;
    info.channels = 1;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    // libsndfile writes through our descriptor, so the temporary stays ours to rename or remove.
    std::unique_ptr<SNDFILE, SndfileCloser> wav(
        sf_open_fd(file.Descriptor(), SFM_WRITE, &info, SF_FALSE));
    if (!wav) {
        throw CliError(kExitOutputUnwritable,
                       "cannot write '" + options.OutPath + "': " + sf_strerror(nullptr));
    }
    std::array<std::int16_t, kBlockSamples> chunk{};
    for (std::int64_t done = 0; done < total;) {
        if (StopRequested()) {
            throw CliError(kExitInterrupted, "interrupted");
        }
        const auto count = static_cast<std::size_t>(
            std::min<std::int64_t>(total - done, static_cast<std::int64_t>(chunk.size())));
        generator->Generate(std::span(chunk.data(), count));
        if (sf_write_short(wav.get(), chunk.data(), static_cast<sf_count_t>(count)) !=
            static_cast<sf_count_t>(count)) {
            throw CliError(kExitOutputUnwritable,
                           "cannot write '" + options.OutPath + "': " + sf_strerror(wav.get()));
        }
        done += static_cast<std::int64_t>(count);
    }
    // Closing writes the final lengths into the header; only then is the file complete.
    if (sf_close(wav.release()) != 0) {
        throw CliError(kExitOutputUnwritable,
                       "cannot write '" + options.OutPath + "': finishing the WAV header failed");
    }
    file.Commit();

    char line[200];
    std::snprintf(line, sizeof line,
                  ": %.3f s of %s at %g RPM x %d impulse%s per revolution = %.3f Hz "
                  "(%lld samples, 16-bit mono 22050 Hz)\n",
                  static_cast<double>(total) / kSampleRate, ShapeName(options.Shape), options.Rpm,
                  options.Ppr, options.Ppr == 1 ? "" : "s", frequency,
                  static_cast<long long>(total));
    out << "wrote " << options.OutPath << line;
    return kExitOk;
}
