#include "signal/TestSignal.h"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <sstream>
#include <stdexcept>
#include <string>

namespace {

[[noreturn]] void Reject(const std::string& setting, const std::string& rule, double value) {
    std::ostringstream message;
    message << "test signal: " << setting << " must be " << rule << " (got " << value << ")";
    throw std::invalid_argument(message.str());
}

void Check(const PulseTrainSettings& s) {
    if (!(s.SampleRate > 0)) {
        Reject("sample rate", "above 0 Hz", s.SampleRate);
    }
    // The lower bound keeps a period's length in samples finite.
    if (!std::isfinite(s.FrequencyHz) || !(s.FrequencyHz >= kMinFrequencyHz) ||
        !(s.FrequencyHz <= s.SampleRate / 2.0)) {
        Reject("frequency", "at least 0.001 Hz and at most half the sample rate", s.FrequencyHz);
    }
    if (!std::isfinite(s.Amplitude) || s.Amplitude < 0.0 || s.Amplitude > 32767.0) {
        Reject("amplitude", "between 0 and 32767", s.Amplitude);
    }
    if (!std::isfinite(s.PhaseCycles)) {
        Reject("phase", "a finite number of periods", s.PhaseCycles);
    }
    if (!std::isfinite(s.DutyCycle) || !(s.DutyCycle > 0.0) || !(s.DutyCycle < 1.0)) {
        Reject("duty cycle", "above 0 and below 1", s.DutyCycle);
    }
    if (!std::isfinite(s.NoiseSigma) || s.NoiseSigma < 0.0) {
        Reject("noise deviation", "0 or more", s.NoiseSigma);
    }
    if (!std::isfinite(s.Jitter) || s.Jitter < 0.0 || !(s.Jitter < 1.0)) {
        Reject("jitter", "0 or more and below 1", s.Jitter);
    }
}

std::int16_t ToSample(double value) {
    return static_cast<std::int16_t>(std::lround(std::clamp(value, -32768.0, 32767.0)));
}

} // namespace

PulseTrainGenerator::PulseTrainGenerator(const PulseTrainSettings& settings) : Settings(settings) {
    Check(Settings);
    // Separate streams, so that adding noise leaves the edge positions where they were.
    std::seed_seq jitterSeed{Settings.Seed, 1u};
    std::seed_seq noiseSeed{Settings.Seed, 2u};
    JitterEngine.seed(jitterSeed);
    NoiseEngine.seed(noiseSeed);

    NominalPeriod = Settings.SampleRate / Settings.FrequencyHz;
    PeriodLength = NextPeriodLength();
    StartPhase = Settings.PhaseCycles - std::floor(Settings.PhaseCycles);
    PeriodStart = -StartPhase * PeriodLength;
}

double PulseTrainGenerator::Uniform(std::mt19937& engine) {
    // 53 random bits, the full precision of a double.
    const std::uint64_t upper = engine() >> 5;
    const std::uint64_t lower = engine() >> 6;
    return static_cast<double>((upper << 26) | lower) * 0x1.0p-53;
}

double PulseTrainGenerator::Gaussian() {
    if (HasSpareGaussian) {
        HasSpareGaussian = false;
        return SpareGaussian;
    }
    // Box-Muller; 1 - Uniform lies in (0, 1], so the logarithm is finite.
    const double radius = std::sqrt(-2.0 * std::log(1.0 - Uniform(NoiseEngine)));
    const double angle = 2.0 * std::numbers::pi * Uniform(NoiseEngine);
    SpareGaussian = radius * std::sin(angle);
    HasSpareGaussian = true;
    return radius * std::cos(angle);
}

double PulseTrainGenerator::NextPeriodLength() {
    if (Settings.Jitter == 0.0) {
        return NominalPeriod;
    }
    const double deviation = 2.0 * Uniform(JitterEngine) - 1.0; // -1 .. 1
    return NominalPeriod * (1.0 + Settings.Jitter * deviation);
}

void PulseTrainGenerator::Generate(std::span<std::int16_t> out) {
    for (std::int16_t& sample : out) {
        const double n = static_cast<double>(Position++);
        double phase = 0.0;
        if (Settings.Jitter == 0.0) {
            // Computed afresh for every sample rather than accumulated, so that a boundary
            // falling on a whole sample (1000 Hz: every 441 samples) lands on it exactly.
            const double cycles = StartPhase + n * Settings.FrequencyHz / Settings.SampleRate;
            phase = cycles - std::floor(cycles);
        } else {
            while (n >= PeriodStart + PeriodLength) {
                PeriodStart += PeriodLength;
                PeriodLength = NextPeriodLength();
            }
            phase = (n - PeriodStart) / PeriodLength;
        }
        double value = 0.0;
        switch (Settings.Shape) {
        case PulseShape::Sine:
            value = Settings.Amplitude * std::sin(2.0 * std::numbers::pi * phase);
            break;
        case PulseShape::Square:
            value = phase < 0.5 ? Settings.Amplitude : -Settings.Amplitude;
            break;
        case PulseShape::Pulse:
            value = phase < Settings.DutyCycle ? Settings.Amplitude : -Settings.Amplitude;
            break;
        }
        if (Settings.NoiseSigma > 0.0) {
            value += Settings.NoiseSigma * Gaussian();
        }
        sample = ToSample(value);
    }
}

SampleBlock GeneratedBlock(const PulseTrainSettings& settings) {
    SampleBlock block{};
    PulseTrainGenerator(settings).Generate(block);
    return block;
}

SampleBlock SineBlock(double frequencyHz, double amplitude, double phaseCycles) {
    PulseTrainSettings settings;
    settings.FrequencyHz = frequencyHz;
    settings.Shape = PulseShape::Sine;
    settings.Amplitude = amplitude;
    settings.PhaseCycles = phaseCycles;
    return GeneratedBlock(settings);
}

SampleBlock BlockWithRisingEdgesAt(std::span<const int> positions, std::int16_t low,
                                   std::int16_t high) {
    for (std::size_t k = 0; k < positions.size(); ++k) {
        const int position = positions[k];
        if (position < 1 || position >= kBlockSamples) {
            throw std::invalid_argument("edge block: position " + std::to_string(position) +
                                        " is outside 1..8191");
        }
        if (k > 0 && position - positions[k - 1] < 2) {
            throw std::invalid_argument("edge block: position " + std::to_string(position) +
                                        " is less than 2 samples after the one before");
        }
    }
    SampleBlock block;
    block.fill(low);
    for (std::size_t k = 0; k < positions.size(); ++k) {
        const int begin = positions[k];
        const int end =
            k + 1 < positions.size() ? begin + (positions[k + 1] - begin) / 2 : kBlockSamples;
        std::fill(block.begin() + begin, block.begin() + end, high);
    }
    return block;
}

std::vector<int> EvenlySpacedEdges(int first, int spacing, int last) {
    if (spacing < 1) {
        throw std::invalid_argument("edge list: spacing must be 1 or more (got " +
                                    std::to_string(spacing) + ")");
    }
    std::vector<int> positions;
    for (std::int64_t position = first; position <= last; position += spacing) {
        positions.push_back(static_cast<int>(position));
    }
    return positions;
}

SampleBlock SquareBlock(int periodSamples, std::int16_t amplitude, int firstEdge) {
    if (periodSamples < 2) {
        throw std::invalid_argument("square block: period must be 2 samples or more (got " +
                                    std::to_string(periodSamples) + ")");
    }
    if (amplitude < 0) {
        throw std::invalid_argument("square block: amplitude must be 0 or more (got " +
                                    std::to_string(amplitude) + ")");
    }
    SampleBlock block;
    for (int i = 0; i < kBlockSamples; ++i) {
        const std::int64_t offset = static_cast<std::int64_t>(i) - firstEdge;
        const std::int64_t phase = ((offset % periodSamples) + periodSamples) % periodSamples;
        block[i] = phase < periodSamples / 2 ? amplitude : static_cast<std::int16_t>(-amplitude);
    }
    return block;
}
