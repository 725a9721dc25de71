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
// Random numbers come from std::mt19937 seeded with Seed, turned into uniform and Gaussian
// values by this library's own code (not the standard distributions, whose output differs
// between standard libraries), so a seed gives the same samples with every compiler. Jitter
// and noise draw from separate streams: turning on noise does not move the edges.
//
// Everything here may be used from any thread; a generator object is not shared between threads.
#pragma once

#include "measure/BlockAnalysis.h"

#include <cstdint>
#include <random>
#include <span>
#include <vector>

enum class PulseShape { Sine, Square, Pulse };

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

private:
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
