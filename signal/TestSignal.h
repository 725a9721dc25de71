// The one test-signal generator: a documented reference impulse train that the unit tests,
// the command-line companion's `generate` command and the end-to-end audio tests all use, so a
// signal described in one place is the same signal everywhere.
//
// The reference signal
// --------------------
// A train of periods of nominal length SampleRate / FrequencyHz samples. Sample n of the
// stream (n = 0, 1, 2, ... counted across every Generate call) lies at phase
// f = (n - start of its period) / length of its period, 0 <= f < 1, and takes the value
//
//   Sine    Amplitude * sin(2 pi f)                       (rising zero crossing at f = 0)
//   Square  +Amplitude for f < 0.5, -Amplitude otherwise  (rising edge at f = 0)
//   Pulse   +Amplitude for f < DutyCycle, -Amplitude otherwise
//
// plus Gaussian noise of standard deviation NoiseSigma, rounded to the nearest integer (halves
// away from zero) and clamped to -32768..32767. There is no DC offset.
//
// The first period starts at sample -PhaseCycles * length (only the fractional part of
// PhaseCycles counts), so PhaseCycles = 0.25 starts a sine at its positive peak. With Jitter = 0
// every period has the nominal length exactly: f = frac(PhaseCycles + n * FrequencyHz /
// SampleRate), so boundaries that fall on whole samples are hit exactly. Otherwise each
// period's length is drawn uniformly from nominal * (1 - Jitter) to nominal * (1 + Jitter).
//
// Sensor and sound-card effects
// -----------------------------
// Any of the settings below away from its default turns the reference signal into a
// continuous-time model of a sensor, its cable and a sound card, sampled as the card would
// (with all of them at their defaults the samples are exactly the reference signal above):
//
//   impulse phase  Phi(t) = frac(PhaseCycles) + integral of the impulse rate from 0 to t, where
//                  the rate goes linearly from FrequencyHz to RampToHz over RampSeconds (when
//                  both are set) and stays there; t is true time in seconds.
//   impulses       impulse k begins at Phi = B(k): B(0) = 0, each next one a period later (the
//                  period 1, or drawn within 1 +- Jitter as above), moved by Uneven * p(k mod
//                  ImpulsesPerRevolution) with p(0) = 0, p(j) = sin(2.4 j): magnet j sits off
//                  its even place by up to Uneven of the even spacing. Uneven 0.025 with 4
//                  impulses per revolution gives spacings 4-5 % off even.
//   waveform       within impulse k, at fraction f of it: the shape's value as above (DutyCycle
//                  for Pulse, 0.5 for Square), times Amplitude * 10^(GainDbPerSecond * t / 20),
//                  negated when Polarity is Negative (the pulses then go down from a high
//                  baseline), plus Offset.
//   AC coupling    a first-order high-pass with its corner at AcCornerHz (0: none), as the
//                  input capacitor of most sound inputs.
//   hum            plus HumFraction * 2 * Amplitude (the pulse height) * sin(2 pi HumHz t).
//   converter      with BandLimited, the signal is averaged over quarter-sample spans (so an
//                  edge keeps its exact instant), low-passed at 0.45 of the sample rate with a
//                  192-tap Blackman-windowed sinc and decimated: an edge rises over about two
//                  samples with ringing of up to a tenth of the step either side, as a sound card's
//                  converter delivers it. Without it the signal is taken at each sample's
//                  instant.
//   clock          the card's clock runs ClockPpm ppm fast: sample n is taken at true time
//                  n / (SampleRate * (1 + ClockPpm / 1e6)), so every rate read from the
//                  samples at the nominal rate comes out too low by that factor.
//   noise          then Gaussian noise of NoiseSigma, rounding and clamping as above.
//
// Random numbers come from std::mt19937 seeded with Seed, turned into uniform and Gaussian
// values by this library's own code (not the standard distributions, whose output differs
// between standard libraries), so a seed gives the same samples with every compiler. Jitter
// and noise draw from separate streams: turning on noise does not move the edges.
//
// Everything here may be used from any thread; a generator object is not shared between threads.
#pragma once

#include "measure/BlockAnalysis.h"

#include <cstdint>
#include <memory>
#include <random>
#include <span>
#include <vector>

enum class PulseShape { Sine, Square, Pulse };
enum class PulsePolarity { Positive, Negative };

inline constexpr double kMinFrequencyHz = 0.001;

// Describes a reference signal. Checked by the generator's constructor.
struct PulseTrainSettings {
    double FrequencyHz = 50.0; // periods per second; kMinFrequencyHz .. SampleRate / 2
    PulseShape Shape = PulseShape::Sine;
    double Amplitude = 10000.0;            // peak, in sample units; 0..32767
    double PhaseCycles = 0.0;              // start phase, in periods; any finite value
    double DutyCycle = 0.1;                // Pulse only: high fraction of a period; > 0 and < 1
    double NoiseSigma = 0.0;               // Gaussian noise, in sample units; >= 0
    double Jitter = 0.0;                   // largest deviation of a period, fraction of it; 0..< 1
    std::uint32_t Seed = 1;                // seeds the jitter and noise streams
    std::int32_t SampleRate = kSampleRate; // samples per second; > 0

    // Sensor and sound-card effects (see above); these defaults leave them out.
    bool BandLimited = false; // edges as a sound card's converter delivers them
    double AcCornerHz = 0.0;  // high-pass corner, Hz; 0 (none) or 0.1..1000
    double HumFraction = 0.0; // hum amplitude, fraction of the pulse height; 0..1
    double HumHz = 50.0;      // mains frequency, Hz; 1..1000
    PulsePolarity Polarity = PulsePolarity::Positive;
    double Offset = 0.0;                    // DC offset, sample units; -32768..32767
    double GainDbPerSecond = 0.0;           // amplitude change over time, dB per second; -20..20
    std::int32_t ImpulsesPerRevolution = 1; // for Uneven; 1..4096
    double Uneven = 0.0;      // largest displacement of a magnet, fraction of spacing; 0..0.2
    double RampToHz = 0.0;    // 0: constant rate; else the rate after RampSeconds, Hz
    double RampSeconds = 0.0; // length of the ramp, s; > 0 when RampToHz is set
    double ClockPpm = 0.0;    // the card's clock error, ppm (+: fast); -100000..100000
};

// Produces the reference signal as one continuous stream of 16-bit samples.
class PulseTrainGenerator {
public:
    // Throws std::invalid_argument with a message naming the setting when one is out of range
    // or not finite.
    explicit PulseTrainGenerator(const PulseTrainSettings& settings);

    // Writes the next out.size() samples of the stream. Consecutive calls continue exactly
    // where the last one stopped: two calls of 100 give the same samples as one call of 200.
    // Allocates nothing.
    void Generate(std::span<std::int16_t> out);

    ~PulseTrainGenerator();
    PulseTrainGenerator(PulseTrainGenerator&&) noexcept;
    PulseTrainGenerator& operator=(PulseTrainGenerator&&) noexcept;

    // True when some sensor or sound-card effect is set, so the continuous-time model runs.
    bool ModelsSensorAndCard() const { return Model != nullptr; }

private:
    struct SensorModel;
    double NextPeriodLength();
    double Uniform(std::mt19937& engine); // in [0, 1)
    double Gaussian();                    // mean 0, deviation 1

    PulseTrainSettings Settings;
    double StartPhase = 0.0;    // fraction of a period at sample 0, 0..< 1
    double NominalPeriod = 0.0; // samples
    double PeriodStart = 0.0;   // stream position of the current period's start, samples
    double PeriodLength = 0.0;  // samples
    std::int64_t Position = 0;  // stream position of the next sample
    std::mt19937 JitterEngine;
    std::mt19937 NoiseEngine;
    double SpareGaussian = 0.0;
    bool HasSpareGaussian = false;
    std::unique_ptr<SensorModel> Model; // only with sensor or sound-card effects
};

// One block of the reference signal: the first 8192 samples of a fresh generator.
SampleBlock GeneratedBlock(const PulseTrainSettings& settings);

// A block of the noiseless sine of the given frequency (Hz), peak amplitude and start phase
// (in periods) at 22050 Hz.
SampleBlock SineBlock(double frequencyHz, double amplitude, double phaseCycles = 0.0);

// A block of exact rising edges for analysis tests. Samples before the first position are
// `low`; from each position on they are `high` until half way to the next position
// (position + gap / 2, integer division), then `low` again up to the next position. After the
// last position the samples stay `high` to the end of the block.
// Positions must ascend within 1..8191 and lie at least 2 apart, so every position has a low
// sample just before it and is exactly one rising crossing of any threshold between low and
// high. (The analysis counts an edge only once the signal has been low inside its window, so
// a position at the window's first sample is not counted.) Throws std::invalid_argument
// otherwise.
SampleBlock BlockWithRisingEdgesAt(std::span<const int> positions, std::int16_t low,
                                   std::int16_t high);

// Positions first, first + spacing, ... up to and including last when it falls on the grid.
// For BlockWithRisingEdgesAt. spacing >= 1.
std::vector<int> EvenlySpacedEdges(int first, int spacing, int last);

// A square wave of +amplitude / -amplitude over the whole block with a rising edge at every
// index i with (i - firstEdge) a multiple of periodSamples; the first periodSamples / 2
// samples of each period are high. periodSamples >= 2. Throws std::invalid_argument otherwise.
SampleBlock SquareBlock(int periodSamples, std::int16_t amplitude, int firstEdge);
