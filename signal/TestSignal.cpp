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
    if (!std::isfinite(s.AcCornerHz) ||
        (s.AcCornerHz != 0.0 && !(s.AcCornerHz >= 0.1 && s.AcCornerHz <= 1000.0))) {
        Reject("AC coupling corner", "0 (none) or from 0.1 to 1000 Hz", s.AcCornerHz);
    }
    if (!std::isfinite(s.HumFraction) || s.HumFraction < 0.0 || s.HumFraction > 1.0) {
        Reject("hum", "from 0 to 1 of the pulse height", s.HumFraction);
    }
    if (!std::isfinite(s.HumHz) || s.HumHz < 1.0 || s.HumHz > 1000.0) {
        Reject("hum frequency", "from 1 to 1000 Hz", s.HumHz);
    }
    if (!std::isfinite(s.Offset) || s.Offset < -32768.0 || s.Offset > 32767.0) {
        Reject("offset", "between -32768 and 32767", s.Offset);
    }
    if (!std::isfinite(s.GainDbPerSecond) || std::abs(s.GainDbPerSecond) > 20.0) {
        Reject("gain change", "from -20 to 20 dB per second", s.GainDbPerSecond);
    }
    if (s.ImpulsesPerRevolution < 1 || s.ImpulsesPerRevolution > 4096) {
        Reject("impulses per revolution", "from 1 to 4096", s.ImpulsesPerRevolution);
    }
    if (!std::isfinite(s.Uneven) || s.Uneven < 0.0 || s.Uneven > 0.2 ||
        !(s.Jitter + 2.0 * s.Uneven < 1.0)) {
        Reject("uneven spacing", "from 0 to 0.2, and jitter + 2 x uneven below 1", s.Uneven);
    }
    if (!std::isfinite(s.RampToHz) || (s.RampToHz != 0.0 && !(s.RampToHz >= kMinFrequencyHz &&
                                                              s.RampToHz <= s.SampleRate / 2.0))) {
        Reject("ramp end frequency", "0 (no ramp) or from 0.001 Hz to half the sample rate",
               s.RampToHz);
    }
    if (!std::isfinite(s.RampSeconds) || s.RampSeconds < 0.0 ||
        (s.RampToHz != 0.0 && !(s.RampSeconds > 0.0))) {
        Reject("ramp length", "above 0 s with a ramp, and never negative", s.RampSeconds);
    }
    if (!std::isfinite(s.ClockPpm) || std::abs(s.ClockPpm) > 100000.0) {
        Reject("clock error", "from -100000 to 100000 ppm", s.ClockPpm);
    }
}

bool HasSensorOrCardEffects(const PulseTrainSettings& s) {
    return s.BandLimited || s.AcCornerHz != 0.0 || s.HumFraction != 0.0 ||
           s.Polarity != PulsePolarity::Positive || s.Offset != 0.0 || s.GainDbPerSecond != 0.0 ||
           s.Uneven != 0.0 || s.RampToHz != 0.0 || s.ClockPpm != 0.0;
}

// The converter: sub-samples per sample and low-pass taps (an even count, so the filter's
// centre falls on a sample's instant).
constexpr int kOversampling = 4;
constexpr int kTaps = 192;
constexpr double kCutoff = 0.45; // of the sample rate

std::vector<double> ConverterTaps() {
    std::vector<double> taps(kTaps);
    double sum = 0.0;
    for (int i = 0; i < kTaps; ++i) {
        // Distance from the centre in sub-samples.
        const double x = (i - (kTaps - 1) / 2.0) / kOversampling;
        const double sinc = x == 0.0 ? 1.0
                                     : std::sin(2.0 * std::numbers::pi * kCutoff * x) /
                                           (2.0 * std::numbers::pi * kCutoff * x);
        const double w = 2.0 * std::numbers::pi * (i + 0.5) / kTaps;
        const double blackman = 0.42 - 0.5 * std::cos(w) + 0.08 * std::cos(2.0 * w);
        taps[static_cast<std::size_t>(i)] = sinc * blackman;
        sum += sinc * blackman;
    }
    for (double& tap : taps) {
        tap /= sum;
    }
    return taps;
}

// 53 random bits, the full precision of a double, in [0, 1).
double UniformOf(std::mt19937& engine) {
    const std::uint64_t upper = engine() >> 5;
    const std::uint64_t lower = engine() >> 6;
    return static_cast<double>((upper << 26) | lower) * 0x1.0p-53;
}

std::int16_t ToSample(double value) {
    return static_cast<std::int16_t>(std::lround(std::clamp(value, -32768.0, 32767.0)));
}

} // namespace

// The continuous-time sensor, cable and converter. Times are true seconds.
struct PulseTrainGenerator::SensorModel {
    PulseTrainSettings S;
    std::mt19937 Jitter;
    double Phase0 = 0.0;   // impulse phase at t = 0
    double RampRate = 0.0; // impulses per second per second during the ramp; 0 without
    double RampEnd = 0.0;  // s
    double PhaseAtRampEnd = 0.0;
    double SampleSeconds = 0.0; // true length of one sample
    std::vector<double> Taps;
    std::vector<double> Window; // the last kTaps sub-sample values, a ring
    std::size_t WindowNext = 0;
    std::int64_t SubSample = 0; // next sub-sample to make
    // The impulse in progress: phase bounds and true times of its edges.
    std::int64_t Impulse = 0;
    double Begin = 0.0, Next = 0.0; // phase of this impulse's start and the next's
    double RiseTime = 0.0, FallTime = 0.0, NextRiseTime = 0.0;
    // AC coupling state.
    double CouplingFactor = 0.0;
    double LastInput = 0.0, LastOutput = 0.0;
    bool CouplingStarted = false;

    SensorModel(const PulseTrainSettings& settings, std::seed_seq& jitterSeed) : S(settings) {
        Jitter.seed(jitterSeed);
        Phase0 = S.PhaseCycles - std::floor(S.PhaseCycles);
        if (S.RampToHz != 0.0) {
            RampEnd = S.RampSeconds;
            RampRate = (S.RampToHz - S.FrequencyHz) / S.RampSeconds;
            PhaseAtRampEnd = Phase0 + S.FrequencyHz * RampEnd + 0.5 * RampRate * RampEnd * RampEnd;
        }
        SampleSeconds = 1.0 / (S.SampleRate * (1.0 + S.ClockPpm * 1e-6));
        if (S.BandLimited) {
            Taps = ConverterTaps();
            Window.assign(kTaps, 0.0);
            // The filter for sample 0 reaches back half its length.
            SubSample = -kTaps / 2;
        }
        if (S.AcCornerHz > 0.0) {
            const double dt = S.BandLimited ? SampleSeconds / kOversampling : SampleSeconds;
            const double rc = 1.0 / (2.0 * std::numbers::pi * S.AcCornerHz);
            CouplingFactor = rc / (rc + dt);
        }
        // Start a few impulses before the first instant the converter looks at.
        const double firstTime =
            S.BandLimited ? -(kTaps / 2.0 + 1.0) * SampleSeconds / kOversampling : 0.0;
        Impulse = static_cast<std::int64_t>(std::floor(PhaseAt(firstTime))) - 2;
        Begin = Boundary(Impulse, 0.0);
        Next = Boundary(Impulse + 1, Begin);
        SetEdgeTimes();
    }

    double Displacement(std::int64_t k) const {
        if (S.Uneven == 0.0) {
            return 0.0;
        }
        const std::int64_t n = S.ImpulsesPerRevolution;
        const std::int64_t j = ((k % n) + n) % n;
        return S.Uneven * std::sin(2.4 * static_cast<double>(j));
    }

    // Phase at which impulse k begins, given where impulse k - 1 began. Impulses before the
    // first (k <= 0) are evenly spaced: jitter starts with the signal.
    double Boundary(std::int64_t k, double previous) {
        if (k <= 0) {
            return static_cast<double>(k) + Displacement(k);
        }
        const double period =
            S.Jitter == 0.0 ? 1.0 : 1.0 + S.Jitter * (2.0 * UniformOf(Jitter) - 1.0);
        return previous - Displacement(k - 1) + period + Displacement(k);
    }

    double PhaseAt(double t) const {
        if (S.RampToHz == 0.0 || t <= 0.0) {
            return Phase0 + S.FrequencyHz * t;
        }
        if (t < RampEnd) {
            return Phase0 + S.FrequencyHz * t + 0.5 * RampRate * t * t;
        }
        return PhaseAtRampEnd + S.RampToHz * (t - RampEnd);
    }

    double TimeAt(double phase) const {
        const double sinceStart = phase - Phase0;
        if (S.RampToHz == 0.0 || sinceStart <= 0.0) {
            return sinceStart / S.FrequencyHz;
        }
        if (phase < PhaseAtRampEnd) {
            // The root of f0 t + a t^2 / 2 = d in the form that loses no digits.
            const double f0 = S.FrequencyHz;
            return 2.0 * sinceStart / (f0 + std::sqrt(f0 * f0 + 2.0 * RampRate * sinceStart));
        }
        return RampEnd + (phase - PhaseAtRampEnd) / S.RampToHz;
    }

    double HighFraction() const { return S.Shape == PulseShape::Pulse ? S.DutyCycle : 0.5; }

    void SetEdgeTimes() {
        RiseTime = TimeAt(Begin);
        FallTime = TimeAt(Begin + HighFraction() * (Next - Begin));
        NextRiseTime = TimeAt(Next);
    }

    void AdvanceTo(double t) {
        while (t >= NextRiseTime) {
            ++Impulse;
            const double following = Boundary(Impulse + 1, Next);
            Begin = Next;
            Next = following;
            SetEdgeTimes();
        }
    }

    double Amplitude(double t) const {
        const double gain =
            S.GainDbPerSecond == 0.0 ? 1.0 : std::pow(10.0, S.GainDbPerSecond * t / 20.0);
        return (S.Polarity == PulsePolarity::Negative ? -S.Amplitude : S.Amplitude) * gain;
    }

    // The sensor's waveform (before coupling) at t, or its mean over [t, t + span).
    double Waveform(double t, double span) {
        const double mid = t + span / 2.0;
        if (S.Shape == PulseShape::Sine) {
            AdvanceTo(mid);
            const double fraction = (PhaseAt(mid) - Begin) / (Next - Begin);
            return Amplitude(mid) * std::sin(2.0 * std::numbers::pi * fraction) + S.Offset;
        }
        if (span == 0.0) {
            AdvanceTo(t);
            return Amplitude(t) * (t < FallTime ? 1.0 : -1.0) + S.Offset;
        }
        // The exact mean of the two levels over the span, edge by edge, so an edge's instant
        // survives sampling.
        double high = 0.0;
        double from = t;
        const double end = t + span;
        while (from < end) {
            AdvanceTo(from);
            const double highUntil = std::min(FallTime, end);
            if (from < highUntil) {
                high += highUntil - from;
            }
            from = std::min(NextRiseTime, end);
        }
        const double level = 2.0 * high / span - 1.0;
        return Amplitude(mid) * level + S.Offset;
    }

    double Couple(double x) {
        if (S.AcCornerHz == 0.0) {
            return x;
        }
        if (!CouplingStarted) {
            // Connected long ago: the capacitor has settled on the signal's mean level.
            CouplingStarted = true;
            const double mean =
                S.Shape == PulseShape::Sine ? 0.0 : Amplitude(0.0) * (2.0 * HighFraction() - 1.0);
            LastInput = x;
            LastOutput = x - S.Offset - mean;
            return LastOutput;
        }
        LastOutput = CouplingFactor * (LastOutput + x - LastInput);
        LastInput = x;
        return LastOutput;
    }

    double Hum(double t) const {
        return S.HumFraction == 0.0 ? 0.0
                                    : S.HumFraction * 2.0 * S.Amplitude *
                                          std::sin(2.0 * std::numbers::pi * S.HumHz * t);
    }

    // The card's value for sample n, before noise.
    double Sample(std::int64_t n) {
        if (!S.BandLimited) {
            const double t = static_cast<double>(n) * SampleSeconds;
            return Couple(Waveform(t, 0.0)) + Hum(t);
        }
        const double span = SampleSeconds / kOversampling;
        const std::int64_t last = n * kOversampling + kTaps / 2 - 1;
        while (SubSample <= last) {
            const double t = static_cast<double>(SubSample) * span;
            Window[WindowNext] = Couple(Waveform(t, span)) + Hum(t + span / 2.0);
            WindowNext = (WindowNext + 1) % Window.size();
            ++SubSample;
        }
        // The oldest value in the ring meets the first tap.
        double sum = 0.0;
        std::size_t index = WindowNext;
        for (int i = 0; i < kTaps; ++i) {
            sum += Taps[static_cast<std::size_t>(i)] * Window[index];
            index = index + 1 == Window.size() ? 0 : index + 1;
        }
        return sum;
    }
};

PulseTrainGenerator::~PulseTrainGenerator() = default;
PulseTrainGenerator::PulseTrainGenerator(PulseTrainGenerator&&) noexcept = default;
PulseTrainGenerator& PulseTrainGenerator::operator=(PulseTrainGenerator&&) noexcept = default;

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
    if (HasSensorOrCardEffects(Settings)) {
        // The model draws its period lengths from a jitter stream of its own, the same one.
        std::seed_seq modelSeed{Settings.Seed, 1u};
        Model = std::make_unique<SensorModel>(Settings, modelSeed);
    }
}

double PulseTrainGenerator::Uniform(std::mt19937& engine) {
    return UniformOf(engine);
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
    if (Model) {
        for (std::int16_t& sample : out) {
            double value = Model->Sample(Position++);
            if (Settings.NoiseSigma > 0.0) {
                value += Settings.NoiseSigma * Gaussian();
            }
            sample = ToSample(value);
        }
        return;
    }
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
