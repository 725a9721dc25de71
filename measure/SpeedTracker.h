// Speed tracker: a streaming analysis of the sensor signal that follows every impulse across
// block boundaries, for the signals the block analysis cannot read (slow shafts, narrow pulses,
// hum, noise, unevenly spaced magnets).
//
// How it reads the signal
// -----------------------
// Edges. The tracker follows the signal's high and low levels: an envelope of the mean of
// neighbouring samples (which averages out a converter's ringing at half the sample rate) that
// takes a new extreme at once and otherwise relaxes towards the signal's mean with a time
// constant of 16 impulse intervals (1 ms to 8 s; 4 s before the first interval is known, so a
// shaft with impulses seconds apart keeps its levels). A rising edge is counted when the
// signal, having been below 40 % of the envelope's range, climbs above 60 % of it. So any duty
// cycle, a DC offset, AC coupling, either polarity and slowly changing amplitude give the same
// edges. Noise never makes one: no edge counts while the envelope's range is below 13 times
// the noise (judged from the median difference of neighbouring samples, which the rare edges
// of a pulse train do not move), unless the signal's spread is well above the noise (white
// noise's is not), as for fast waveforms whose differences are large everywhere; nor in the
// first 50 ms, nor before the noise estimate has settled from full scale (about 0.4 s at
// 22050 Hz).
//
// Timing. Each edge's time is where the signal crosses half way between the highest point of
// the last high phase and the lowest of the present low one (kept within the 40-60 % band;
// the envelope's mid-level until a high phase has been seen), found on the cubic through the
// four samples around the crossing: a small fraction of a sample. Those two levels stay put
// within a period, so the timing does not depend on where a period falls among the blocks.
//
// Speed. With N impulses per revolution speed comes from whole revolutions only: N, 2N, ...
// consecutive impulse intervals, so unevenly spaced magnets or strips cancel out.
//
// Readings. One per 8192/22050 s of signal, interval k covering [k, k + 1) x 8192/22050 s, so
// they line up with the block analysis' rows. A reading is issued once the interval's last
// sample has been fed; a trailing part of an interval gives none.
//   Measured: edges were counted in the interval. The impulse rate is taken over the chain of
//     whole revolutions that ends at the interval's last edge and starts at the last edge of
//     the same magnet before the interval (one revolution or more).
//   Held: no edge in the interval, and the revolution in progress is not yet older than the
//     last whole one: the last reading is repeated.
//   Falling: the revolution in progress is older than the last one: the reading is that of a
//     revolution ending now, so a stopping shaft reads a falling speed.
//   None: no speed known yet (fewer than N + 1 edges so far), or no edge for longer than the
//     timeout: the reading is 0.
//
// Verdicts. Steady: the last three whole revolutions (3N impulse intervals) each last within
// 1 % of their mean plus half a sample; a held reading keeps the verdict of the reading it
// repeats; falling and none readings are never steady. A clean signal is steady; 15 % random
// period jitter is not. Overload: two or more consecutive samples of the interval at full scale
// (32767 or -32767 and below), the input clipping; the speed is still given.
//
// Clock. A sound card whose clock runs P ppm fast takes (1 + P/1e6) times as many samples per
// second as it claims, so every rate it shows is too low by that factor; the tracker multiplies
// every frequency by (1 + P/1e6). Measure P with a reference of known frequency (see
// ClockPpmFrom).
//
// Samples are handled in blocks of 256 at fixed positions, so readings do not depend on the
// chunks the signal arrives in. Pure standard library. The constructor allocates (room for
// 5N + 1 values); nothing after.
// An object is used by one thread at a time; separate objects are independent.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

// The length of one reading interval: the block analysis' block.
inline constexpr std::int32_t kTrackerIntervalSamples = 8192; // at kTrackerIntervalRate
inline constexpr std::int32_t kTrackerIntervalRate = 22050;   // Hz
inline constexpr std::int32_t kTrackerMinSampleRate = 1000;   // Hz
inline constexpr std::int32_t kTrackerMaxSampleRate = 768000; // Hz
inline constexpr std::int32_t kTrackerMaxImpulsesPerRevolution = 4096;
inline constexpr double kTrackerMaxClockPpm = 100000.0; // 10 %: beyond it, no clock error
inline constexpr double kTrackerDefaultTimeoutSeconds = 10.0;

struct SpeedTrackerSettings {
    std::int32_t SampleRate = kTrackerIntervalRate; // of the samples fed, Hz; 1000..768000
    std::int32_t ImpulsesPerRevolution = 1;         // 1..kTrackerMaxImpulsesPerRevolution
    double ClockPpm = 0.0; // the card's clock runs this fast (+) or slow (-), ppm; |P| <= 1e5
    double TimeoutSeconds = kTrackerDefaultTimeoutSeconds; // no edge this long reads 0; 0.01..86400
};

enum class SpeedSource {
    None,     // no speed: not yet known, or no impulse for longer than the timeout
    Measured, // from edges counted in this interval
    Held,     // no edge in this interval; the last reading repeated
    Falling,  // no edge for longer than the last revolution took: as if one came now
};

struct SpeedReading {
    std::int64_t Index = 0;    // interval number, from 0
    double StartSeconds = 0.0; // start of the interval, seconds from the first sample
    double FrequencyHz = 0.0;  // impulse rate, clock-corrected; >= 0, finite
    double Rpm = 0.0;          // FrequencyHz * 60 / impulses per revolution; >= 0, finite
    bool Steady = false;       // see the header comment
    bool Overload = false;     // the interval clipped at full scale
    SpeedSource Source = SpeedSource::None;
    std::int64_t Impulses = 0; // impulse intervals the speed was taken over; 0 unless Measured
};

class SpeedTracker {
public:
    // Throws std::invalid_argument, naming the setting, when one is out of range.
    explicit SpeedTracker(const SpeedTrackerSettings& settings);

    // Takes samples from the front of `samples`, stopping after the one that completes the
    // current interval, and returns how many it took (all of them when no interval completes).
    // When an interval completed, TakeReading() then returns its reading. Allocates nothing.
    std::size_t Feed(std::span<const std::int16_t> samples);

    // The reading of the interval the last Feed completed, once; nothing otherwise.
    std::optional<SpeedReading> TakeReading();

    // Feeds all of `samples`, calling onReading(const SpeedReading&) for each interval that
    // completes. Readings do not depend on how the signal is split into calls.
    template <typename OnReading>
    void FeedAll(std::span<const std::int16_t> samples, OnReading&& onReading) {
        while (!samples.empty()) {
            samples = samples.subspan(Feed(samples));
            if (const std::optional<SpeedReading> reading = TakeReading()) {
                onReading(*reading);
            }
        }
    }

    // Edges counted since the start.
    std::int64_t EdgeCount() const { return Edges; }
    // Mean impulse rate between the first and the last edge counted, in Hz as the samples'
    // clock counts it (no clock correction); 0 with fewer than two edges. For measuring a clock
    // against a reference of known frequency.
    double MeanFrequencyHz() const;
    // Time of the last edge counted, in seconds from the first sample as the samples' clock
    // counts it (no clock correction); 0 before the first edge. With EdgeCount() taken at two
    // moments it gives the mean impulse rate between them.
    double LastEdgeSeconds() const;
    // Samples fed since the start.
    std::int64_t SamplesFed() const { return BlockStart + PendingCount; }

    const SpeedTrackerSettings& Settings() const { return Config; }

private:
    // Samples handled together: the levels and the noise are followed block by block; each
    // part of a block in which nothing can happen is passed over whole.
    static constexpr std::int32_t kBlock = 256;
    static constexpr std::int32_t kPart = 32;
    static constexpr std::size_t kParts = kBlock / kPart;
    struct BlockStats {
        std::int32_t Low = 0, High = 0;         // extreme samples
        std::int32_t PairLow = 0, PairHigh = 0; // extreme sums of neighbouring samples
        std::array<std::int32_t, kParts> PartLow{}, PartHigh{}, PartPairLow{}, PartPairHigh{};
        double Sum = 0.0;                            // of all samples
        double JudgedSum = 0.0, JudgedSquares = 0.0; // of those the noise is judged on
        std::int32_t DifferencesAboveMedian = 0;
        std::int32_t DifferencesCounted = 0;
    };

    void ProcessBlock(const std::int16_t* x, std::int32_t length);
    // Every sum of neighbouring samples in [begin, end) lies within [pairFloor, pairCeiling].
    void ScanPart(const std::int16_t* x, std::int32_t begin, std::int32_t end, double lower,
                  double mid, double upper, std::int32_t lowerWhole, double range,
                  std::int32_t pairFloor, std::int32_t pairCeiling);
    double CrossingLevel(double lower, double mid, double upper) const;
    BlockStats Measure(const std::int16_t* x, std::int32_t length) const;
    BlockStats MeasureWhole(const std::int16_t* x) const; // length kBlock; SSE2 builds only
    void UpdateNoise(const BlockStats& stats, std::int32_t length);
    double NoiseGate(std::int64_t blockStart) const; // range the envelope must exceed
    double BlockGate(); // NoiseGate of the block being handled, worked out once
    double RefineCrossing(double next) const;
    void CountEdge(double time);
    SpeedReading FinishInterval();
    std::int64_t IntervalEnd(std::int64_t index) const;
    double EdgeTime(std::int64_t edge) const; // edge >= Edges - history length
    double CorrectedFrequency(double impulses, double samples) const;

    SpeedTrackerSettings Config;
    std::int32_t N = 1;
    double Rate = 22050.0;
    double ClockFactor = 1.0;
    double TimeoutSamples = 0.0;

    // Samples of an unfinished block.
    std::array<std::int16_t, kBlock> Pending{};
    std::int32_t PendingCount = 0;
    std::int64_t BlockStart = 0; // samples handled in whole blocks

    // Signal state.
    enum class Level : std::uint8_t { Unknown, Low, High };
    Level State = Level::Unknown;
    bool Started = false;
    std::int32_t Last = 0; // the last sample handled and the one before
    std::int32_t BeforeLast = 0;
    double High = 0.0; // envelope, sample units
    double Low = 0.0;
    double DecaySamples = 0.0;   // envelope time constant, samples
    double BlockRelax = 0.0;     // how far a whole block relaxes the envelope
    bool RelaxStale = false;     // DecaySamples changed since BlockRelax was worked out
    double DiffMedian = 32768.0; // running median of |sample - previous|: the noise
    static constexpr std::int32_t kCountedDifferences = kBlock / 4; // in a whole block
    std::array<double, kCountedDifferences + 1> MedianSteps{};      // factor for each count above
    double Mean = 0.0; // running mean and mean square of the signal
    double MeanSquare = 0.0;
    std::int64_t Blocks = 0;
    double SpreadWeight = 0.0;  // weight of a new block in Mean/MeanSquare once settled
    bool SpreadSettled = false; // a whole block's weight is SpreadWeight from now on
    double Gate = 0.0;          // BlockGate's value, while GateKnown
    bool GateKnown = false;
    std::int64_t WarmUpEnd = 0; // no edge in a block starting before this sample
    // The highest sum of neighbouring samples in the last high phase, and the extreme one
    // (highest while high, lowest while low) in the present phase.
    double LastPeak = 0.0;
    bool HasPeak = false;
    double Extreme = 0.0;
    double Candidate = -1.0; // while low: time of the latest rise through the crossing level
    struct CrossingSamples {
        double Before, Below, Above, Level, BelowIndex;
    };
    CrossingSamples Crossing{}; // around the latest rise through mid, awaiting one more sample
    bool Refine = false;        // Crossing waits for the next sample
    bool EdgePending = false;   // an edge confirmed at that crossing waits for it too
    bool RisePending = false;   // at the last block's end an edge may be on its way up

    // Edges: the last 3N + 1 times, in samples from the first sample, with fraction.
    std::vector<double> History;
    std::int64_t Edges = 0;
    double FirstEdgeTime = 0.0;

    // The interval in progress.
    std::int64_t Interval = 0;
    std::int64_t IntervalEndSample = 0;
    std::int64_t EdgesBeforeInterval = 0;
    // For each residue r of the edge index modulo N: [r] the index and [N + r] the time of the
    // edge one revolution before the first edge of that residue in this interval.
    std::vector<double> ChainStart;
    bool Clipped = false;

    // The last Measured reading's speed and verdict, for Held.
    double LastFrequency = 0.0;
    bool LastSteady = false;
    std::optional<SpeedReading> Ready;
};

// Samples at `sampleRate` (Hz) up to the end of the first `intervals` reading intervals:
// ceil(intervals * 8192 * sampleRate / 22050).
std::int64_t TrackerIntervalsEnd(std::int64_t intervals, std::int32_t sampleRate);

// The card's clock error in ppm, from the rate `measuredHz` it shows for a reference of
// `referenceHz`: positive when its clock runs fast. Both > 0.
double ClockPpmFrom(double referenceHz, double measuredHz);
