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
#include <tuple>

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
    const double rampTo = options.RampToRpm * options.Ppr / 60.0;
    const std::int32_t rate = options.SampleRate;
    // Sampling carries impulse rates only below half its rate.
    for (const auto& [option, rpm, hz] : {std::tuple{"--rpm", options.Rpm, frequency},
                                          std::tuple{"--ramp-to", options.RampToRpm, rampTo}}) {
        if (!(hz < rate / 2.0)) {
            char text[200];
            std::snprintf(text, sizeof text,
                          "%s %g with --ppr %d gives %.1f impulses per second; %d Hz sampling "
                          "carries fewer than %g",
                          option, rpm, options.Ppr, hz, rate, rate / 2.0);
            throw CliError(kExitUsage, text);
        }
    }
    PulseTrainSettings settings;
    settings.FrequencyHz = frequency;
    settings.Shape = options.Shape;
    settings.Amplitude = options.Amplitude;
    settings.NoiseSigma = options.Noise;
    settings.Jitter = options.Jitter;
    settings.SampleRate = rate;
    settings.DutyCycle = options.Duty;
    settings.BandLimited = options.BandLimited;
    settings.AcCornerHz = options.AcCornerHz;
    settings.HumFraction = options.Hum;
    settings.HumHz = options.HumHz;
    settings.Polarity = options.Polarity;
    // Only the spacing of magnets needs the count; any --ppr stays valid without it.
    settings.ImpulsesPerRevolution = options.Uneven > 0.0 ? options.Ppr : 1;
    settings.Uneven = options.Uneven;
    settings.RampToHz = rampTo;
    settings.RampSeconds = options.RampSeconds;
    settings.ClockPpm = options.ClockPpm;
    std::unique_ptr<PulseTrainGenerator> generator;
    try {
        generator = std::make_unique<PulseTrainGenerator>(settings);
    } catch (const std::invalid_argument& error) {
        throw CliError(kExitUsage, std::string("cannot generate this signal: ") + error.what());
    }
    const auto total = static_cast<std::int64_t>(std::llround(options.Seconds * rate));
    if (total < 1) {
        throw CliError(kExitUsage, "--seconds is too small to give a single sample");
    }

    AtomicOutputFile file(options.OutPath);
    SF_INFO info{};
    info.samplerate = rate;
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
                  "(%lld samples, 16-bit mono %d Hz)\n",
                  static_cast<double>(total) / rate, ShapeName(options.Shape), options.Rpm,
                  options.Ppr, options.Ppr == 1 ? "" : "s", frequency,
                  static_cast<long long>(total), rate);
    out << "wrote " << options.OutPath << line;
    return kExitOk;
}
