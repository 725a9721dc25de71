#include "measure/SpeedTracker.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

// Hysteresis: an edge needs the signal below 40 % of the envelope's range, then above 60 %.
constexpr double kLowerFraction = 0.4;
constexpr double kUpperFraction = 0.6;
constexpr double kMidFraction = 0.5;
// The envelope's range must exceed this many noise deviations before an edge counts. Noise
// alone, held by the envelope, spans about 9 deviations.
constexpr double kRangeOverNoise = 13.0;
// ... unless the signal's spread is well above the noise, which white noise's never is (its
// estimate stays above 0.8 of it); then a range of a few deviations does.
constexpr double kNoiseOverSpread = 0.7;
constexpr double kRangeOverNoiseSmooth = 3.0;
constexpr double kNever = 1e300;
// Step of the running median of differences, per difference: it settles from full scale
// within about 0.4 s at 22050 Hz and then stays within a few per cent. A quarter of the
// differences are enough for that, and a quarter of the work.
constexpr double kMedianStep = 0.005;
// The envelope relaxes with this many impulse intervals as its time constant, within limits;
// before the first interval is known it uses the slow default, so a shaft with impulses
// seconds apart keeps its levels.
constexpr double kDecayIntervals = 16.0;
constexpr double kDecayDefaultSeconds = 4.0;
constexpr double kDecayMinSeconds = 0.001;
constexpr double kDecayMaxSeconds = 8.0;
// Time constant of the running mean and spread: short, so a stopped signal is forgotten long
// before the envelope has relaxed into the noise.
constexpr double kStatsSeconds = 0.05;
constexpr double kWarmUpSeconds = 0.05;
// |difference of two samples of Gaussian noise of deviation s| has median 0.6745 * sqrt(2) * s.
constexpr double kMedianPerSigma = 0.9539;
// Steadiness: each of the last three revolutions within this of their mean.
constexpr int kSteadyRevolutions = 3;
constexpr double kSteadyFraction = 0.01;
constexpr double kSteadySamples = 0.5;
constexpr std::int32_t kFullScale = 32767;

[[noreturn]] void Reject(const std::string& setting, const std::string& rule, double value) {
    throw std::invalid_argument("speed tracker: " + setting + " must be " + rule + " (got " +
                                std::to_string(value) + ")");
}

#if defined(__SSE2__)

// The extremes of each of eight vectors across its lanes, all at once: lane k of the result
// holds the extreme of v[k]. Interleaving pairs of vectors halves the lanes still to compare at
// each of three steps.
template <typename Pick> __m128i AcrossLanes(const __m128i (&v)[8], Pick pick) {
    __m128i pairs[4];
    for (int k = 0; k < 4; ++k) {
        pairs[k] = pick(_mm_unpacklo_epi16(v[2 * k], v[2 * k + 1]),
                        _mm_unpackhi_epi16(v[2 * k], v[2 * k + 1]));
    }
    const __m128i fours0 =
        pick(_mm_unpacklo_epi32(pairs[0], pairs[1]), _mm_unpackhi_epi32(pairs[0], pairs[1]));
    const __m128i fours1 =
        pick(_mm_unpacklo_epi32(pairs[2], pairs[3]), _mm_unpackhi_epi32(pairs[2], pairs[3]));
    return pick(_mm_unpacklo_epi64(fours0, fours1), _mm_unpackhi_epi64(fours0, fours1));
}

std::int32_t SumOfLanes32(__m128i v) {
    v = _mm_add_epi32(v, _mm_shuffle_epi32(v, _MM_SHUFFLE(1, 0, 3, 2)));
    v = _mm_add_epi32(v, _mm_shuffle_epi32(v, _MM_SHUFFLE(2, 3, 0, 1)));
    return _mm_cvtsi128_si32(v);
}

#endif

} // namespace

SpeedTracker::SpeedTracker(const SpeedTrackerSettings& settings) : Config(settings) {
    const SpeedTrackerSettings& s = Config;
    if (s.SampleRate < kTrackerMinSampleRate || s.SampleRate > kTrackerMaxSampleRate) {
        Reject("the sample rate", "from 1000 to 768000 Hz", s.SampleRate);
    }
    if (s.ImpulsesPerRevolution < 1 || s.ImpulsesPerRevolution > kTrackerMaxImpulsesPerRevolution) {
        Reject("the impulses per revolution", "from 1 to 4096", s.ImpulsesPerRevolution);
    }
    if (!std::isfinite(s.ClockPpm) || std::abs(s.ClockPpm) > kTrackerMaxClockPpm) {
        Reject("the clock correction", "from -100000 to 100000 ppm", s.ClockPpm);
    }
    if (!std::isfinite(s.TimeoutSeconds) || s.TimeoutSeconds < 0.01 || s.TimeoutSeconds > 86400.0) {
        Reject("the timeout", "from 0.01 to 86400 s", s.TimeoutSeconds);
    }
    N = s.ImpulsesPerRevolution;
    Rate = s.SampleRate;
    ClockFactor = 1.0 + s.ClockPpm * 1e-6;
    TimeoutSamples = s.TimeoutSeconds * Rate;
    DecaySamples = kDecayDefaultSeconds * Rate;
    BlockRelax = 1.0 - std::exp(-kBlock / DecaySamples);
    SpreadWeight = static_cast<double>(kBlock) / (kStatsSeconds * Rate);
    for (std::int32_t above = 0; above <= kCountedDifferences; ++above) {
        MedianSteps[static_cast<std::size_t>(above)] =
            std::pow(1.0 + kMedianStep, above) *
            std::pow(1.0 - kMedianStep, kCountedDifferences - above);
    }
    WarmUpEnd = static_cast<std::int64_t>(std::ceil(kWarmUpSeconds * Rate));
    History.assign(static_cast<std::size_t>(kSteadyRevolutions * N + 1), 0.0);
    ChainStart.assign(static_cast<std::size_t>(2 * N), 0.0);
    IntervalEndSample = IntervalEnd(0);
}

std::int64_t TrackerIntervalsEnd(std::int64_t intervals, std::int32_t sampleRate) {
    // The product stays below 2^63 for more than a year of signal at the highest rate.
    const std::int64_t numerator =
        intervals * kTrackerIntervalSamples * static_cast<std::int64_t>(sampleRate);
    return (numerator + kTrackerIntervalRate - 1) / kTrackerIntervalRate;
}

std::int64_t SpeedTracker::IntervalEnd(std::int64_t index) const {
    return TrackerIntervalsEnd(index + 1, Config.SampleRate);
}

double SpeedTracker::EdgeTime(std::int64_t edge) const {
    return History[static_cast<std::size_t>(edge % static_cast<std::int64_t>(History.size()))];
}

double SpeedTracker::CorrectedFrequency(double impulses, double samples) const {
    if (!(samples > 0.0)) {
        return 0.0;
    }
    const double frequency = impulses * Rate / samples * ClockFactor;
    return std::isfinite(frequency) ? frequency : 0.0;
}

void SpeedTracker::CountEdge(double time) {
    const std::int64_t k = Edges;
    if (k == 0) {
        FirstEdgeTime = time;
    }
    // The chain of whole revolutions that will end at this interval's last edge starts one
    // revolution before the first edge of the same residue in this interval.
    if (k - EdgesBeforeInterval < N) {
        const auto residue = static_cast<std::size_t>(k % N);
        if (k >= N) {
            ChainStart[residue] = static_cast<double>(k - N);
            ChainStart[residue + static_cast<std::size_t>(N)] = EdgeTime(k - N);
        } else {
            ChainStart[residue] = static_cast<double>(k);
            ChainStart[residue + static_cast<std::size_t>(N)] = time;
        }
    }
    if (k >= 1) {
        // The envelope follows the impulse rate: it must hold between impulses, not longer.
        const double interval = k >= N ? (time - EdgeTime(k - N)) / N : time - EdgeTime(k - 1);
        const double tau =
            std::clamp(kDecayIntervals * interval / Rate, kDecayMinSeconds, kDecayMaxSeconds);
        DecaySamples = tau * Rate;
        RelaxStale = true; // an exp per block at most, not per edge
    }
    History[static_cast<std::size_t>(k % static_cast<std::int64_t>(History.size()))] = time;
    ++Edges;
}

void SpeedTracker::UpdateNoise(const BlockStats& stats, std::int32_t length) {
    // Noise is what makes neighbouring samples differ: the median of their differences
    // ignores the rare edges of a pulse train. Each difference above the running median moves
    // it up a step, each one below moves it down; a block takes all its steps at once.
    const std::int32_t above = stats.DifferencesAboveMedian;
    const std::int32_t counted = stats.DifferencesCounted;
    DiffMedian *= counted == kCountedDifferences ? MedianSteps[static_cast<std::size_t>(above)]
                                                 : std::pow(1.0 + kMedianStep, above) *
                                                       std::pow(1.0 - kMedianStep, counted - above);
    DiffMedian = std::clamp(DiffMedian, 0.25, 65536.0);
    ++Blocks;
    // Divisions are most of this per-block work. A whole block's weight stays SpreadWeight
    // once 1 / Blocks, which only falls, is below it; its means divide by a power of two, which
    // the compiler multiplies by.
    if (length == kBlock) {
        const double weight = SpreadSettled
                                  ? SpreadWeight
                                  : std::max(SpreadWeight, 1.0 / static_cast<double>(Blocks));
        SpreadSettled = weight == SpreadWeight;
        Mean += (stats.JudgedSum / kCountedDifferences - Mean) * weight;
        MeanSquare += (stats.JudgedSquares / kCountedDifferences - MeanSquare) * weight;
        return;
    }
    const double weight =
        std::max(SpreadWeight * length / kBlock, 1.0 / static_cast<double>(Blocks));
    Mean += (stats.JudgedSum / counted - Mean) * weight;
    MeanSquare += (stats.JudgedSquares / counted - MeanSquare) * weight;
}

double SpeedTracker::NoiseGate(std::int64_t blockStart) const {
    // A signal is told from noise either by a range far beyond the noise, or, for fast
    // waveforms whose differences are large everywhere, by a spread well above it (white
    // noise has the two alike).
    if (blockStart < WarmUpEnd) {
        return kNever;
    }
    const double spread = std::sqrt(std::max(0.0, MeanSquare - Mean * Mean));
    const double noise = DiffMedian / kMedianPerSigma;
    return noise < kNoiseOverSpread * spread ? kRangeOverNoiseSmooth * noise
                                             : kRangeOverNoise * noise;
}

double SpeedTracker::RefineCrossing(double next) const {
    // The cubic through the four samples around the crossing (at -1, 0, 1, 2, the crossing
    // between 0 and 1) follows a band-limited edge far closer than a straight line; Newton's
    // method from the straight line's answer finds where it meets the mid-level.
    const auto [a, b, c, level, base] = Crossing;
    const double d = next;
    const double c1 = -a / 3.0 - b / 2.0 + c - d / 6.0;
    const double c2 = a / 2.0 - b + c / 2.0;
    const double c3 = -a / 6.0 + b / 2.0 - c / 2.0 + d / 6.0;
    double x = (level - b) / (c - b);
    for (int iteration = 0; iteration < 3; ++iteration) {
        const double value = b + x * (c1 + x * (c2 + x * c3)) - level;
        const double slope = c1 + x * (2.0 * c2 + 3.0 * x * c3);
        if (!(slope > 0.0)) {
            break;
        }
        x = std::clamp(x - value / slope, 0.0, 1.0);
    }
    return base + x;
}

std::size_t SpeedTracker::Feed(std::span<const std::int16_t> samples) {
    // Samples are handled in blocks of kBlock that start at fixed positions (and end early at
    // an interval's end), whatever the chunks they arrive in, so the readings are the same
    // however the signal is split.
    std::size_t taken = 0;
    while (taken < samples.size()) {
        const std::int64_t blockEnd = std::min(BlockStart + kBlock, IntervalEndSample);
        const auto length = static_cast<std::int32_t>(blockEnd - BlockStart);
        const std::size_t available = samples.size() - taken;
        if (PendingCount == 0 && available >= static_cast<std::size_t>(length)) {
            ProcessBlock(samples.data() + taken, length);
            taken += static_cast<std::size_t>(length);
        } else {
            const std::size_t wanted = static_cast<std::size_t>(length - PendingCount);
            const std::size_t count = std::min(wanted, available);
            std::copy_n(samples.data() + taken, count, Pending.begin() + PendingCount);
            PendingCount += static_cast<std::int32_t>(count);
            taken += count;
            if (PendingCount < length) {
                break;
            }
            PendingCount = 0;
            ProcessBlock(Pending.data(), length);
        }
        if (BlockStart == IntervalEndSample) {
            Ready = FinishInterval();
            break;
        }
    }
    return taken;
}

SpeedTracker::BlockStats SpeedTracker::Measure(const std::int16_t* x, std::int32_t length) const {
#if defined(__SSE2__)
    if (length == kBlock) {
        return MeasureWhole(x);
    }
#endif
    // Passes the compiler vectorises: extremes of each part, sums, and the differences above
    // the median. The block goes behind the sample before it, so that every sample has its
    // neighbour and every loop a fixed length for a whole block.
    const auto median = static_cast<std::int32_t>(DiffMedian);
    std::array<std::int16_t, kBlock + 1> withPrevious;
    withPrevious[0] = static_cast<std::int16_t>(Last);
    std::copy_n(x, length, withPrevious.begin() + 1);
    const std::int16_t* const s = withPrevious.data() + 1; // s[-1] is the sample before
    BlockStats stats;
    stats.Low = stats.PairLow = std::numeric_limits<std::int32_t>::max();
    stats.High = stats.PairHigh = std::numeric_limits<std::int32_t>::min();
    std::int32_t above = 0;
    std::int32_t counted = 0;
    std::int32_t blockSum = 0; // at most 2^23
    std::int64_t judgedSum = 0;
    std::int64_t judgedSquares = 0;
    const auto measurePart = [&](std::int32_t begin, std::int32_t count, std::size_t part) {
        std::int16_t low = s[begin];
        std::int16_t high = s[begin];
        std::int16_t halfLow = std::numeric_limits<std::int16_t>::max();
        std::int16_t halfHigh = std::numeric_limits<std::int16_t>::min();
        std::int32_t sum = 0;
        for (std::int32_t i = begin; i < begin + count; ++i) {
            const std::int16_t v = s[i];
            sum += v;
            const auto half = static_cast<std::int16_t>((v >> 1) + (s[i - 1] >> 1));
            low = std::min(low, v);
            high = std::max(high, v);
            halfLow = std::min(halfLow, half);
            halfHigh = std::max(halfHigh, half);
        }
        blockSum += sum;
        const std::int32_t pairLow = 2 * halfLow;
        const std::int32_t pairHigh = 2 * halfHigh;
        // The noise and the spread are judged on every fourth part.
        std::int32_t partAbove = 0;
        if (part % 4 == 0) {
            std::int64_t partSquares = 0;
            std::int32_t partSum = 0;
            for (std::int32_t i = begin; i < begin + count; ++i) {
                const std::int32_t v = s[i];
                partAbove += std::abs(v - s[i - 1]) > median ? 1 : 0;
                partSum += v;
                partSquares += v * v;
            }
            counted += count;
            judgedSum += partSum;
            judgedSquares += partSquares;
        }
        stats.PartLow[part] = low;
        stats.PartHigh[part] = high;
        stats.PartPairLow[part] = pairLow;
        stats.PartPairHigh[part] = pairHigh;
        stats.Low = std::min<std::int32_t>(stats.Low, low);
        stats.High = std::max<std::int32_t>(stats.High, high);
        stats.PairLow = std::min(stats.PairLow, pairLow);
        stats.PairHigh = std::max(stats.PairHigh, pairHigh);
        above += partAbove;
    };
    if (length == kBlock) {
        for (std::size_t part = 0; part < kParts; ++part) {
            measurePart(static_cast<std::int32_t>(part) * kPart, kPart, part);
        }
    } else {
        for (std::int32_t begin = 0; begin < length; begin += kPart) {
            measurePart(begin, std::min(kPart, length - begin),
                        static_cast<std::size_t>(begin / kPart));
        }
    }
    stats.Sum = static_cast<double>(blockSum);
    stats.JudgedSum = static_cast<double>(judgedSum);
    stats.JudgedSquares = static_cast<double>(judgedSquares);
    stats.DifferencesAboveMedian = above;
    stats.DifferencesCounted = counted;
    return stats;
}

#if defined(__SSE2__)
SpeedTracker::BlockStats SpeedTracker::MeasureWhole(const std::int16_t* x) const {
    // What Measure finds, to the last bit, eight samples at a time in one pass: this is most of
    // the tracker's work on a signal. The parts' extremes stay in lanes until the end.
    static_assert(kBlock == 256 && kPart == 32 && kParts == 8);
    const __m128i zero = _mm_setzero_si128();
    const __m128i ones = _mm_set1_epi16(1);
    // Differences are 0..65535, unsigned; flipping the top bit lets a signed compare order
    // them. A median of 65535 or more has no difference above it.
    const __m128i flip = _mm_set1_epi16(static_cast<short>(0x8000));
    const std::int32_t median = std::min(static_cast<std::int32_t>(DiffMedian), 65535);
    const __m128i medianFlipped = _mm_set1_epi16(static_cast<short>(median ^ 0x8000));
    __m128i low[kParts], high[kParts], halfLow[kParts], halfHigh[kParts];
    __m128i sum = zero;           // 32-bit lanes; at most 2^23 in all
    __m128i judgedSum = zero;     // 32-bit lanes
    __m128i judgedSquares = zero; // 64-bit lanes
    __m128i above = zero;         // 16-bit lanes, at most 8 each
    const auto at = [x](std::int32_t i) {
        return _mm_loadu_si128(reinterpret_cast<const __m128i*>(x + i));
    };
    for (std::int32_t part = 0; part < static_cast<std::int32_t>(kParts); ++part) {
        const std::int32_t begin = part * kPart;
        __m128i partLow = at(begin), partHigh = partLow;
        __m128i partHalfLow = _mm_set1_epi16(std::numeric_limits<std::int16_t>::max());
        __m128i partHalfHigh = _mm_set1_epi16(std::numeric_limits<std::int16_t>::min());
        const bool judged = part % 4 == 0; // the noise and the spread: every fourth part
        for (std::int32_t i = begin; i < begin + kPart; i += 8) {
            const __m128i v = at(i);
            const __m128i previous =
                i == 0 ? _mm_insert_epi16(_mm_slli_si128(v, 2), Last, 0) : at(i - 1);
            const __m128i half = _mm_add_epi16(_mm_srai_epi16(v, 1), _mm_srai_epi16(previous, 1));
            partLow = _mm_min_epi16(partLow, v);
            partHigh = _mm_max_epi16(partHigh, v);
            partHalfLow = _mm_min_epi16(partHalfLow, half);
            partHalfHigh = _mm_max_epi16(partHalfHigh, half);
            const __m128i pairSums = _mm_madd_epi16(v, ones);
            sum = _mm_add_epi32(sum, pairSums);
            if (judged) {
                judgedSum = _mm_add_epi32(judgedSum, pairSums);
                // Two squares reach 2^31: unsigned lanes, added in 64 bits.
                const __m128i squares = _mm_madd_epi16(v, v);
                judgedSquares = _mm_add_epi64(judgedSquares, _mm_unpacklo_epi32(squares, zero));
                judgedSquares = _mm_add_epi64(judgedSquares, _mm_unpackhi_epi32(squares, zero));
                const __m128i difference =
                    _mm_sub_epi16(_mm_max_epi16(v, previous), _mm_min_epi16(v, previous));
                above = _mm_sub_epi16(
                    above, _mm_cmpgt_epi16(_mm_xor_si128(difference, flip), medianFlipped));
            }
        }
        const auto p = static_cast<std::size_t>(part);
        low[p] = partLow;
        high[p] = partHigh;
        halfLow[p] = partHalfLow;
        halfHigh[p] = partHalfHigh;
    }
    const auto min = [](__m128i a, __m128i b) { return _mm_min_epi16(a, b); };
    const auto max = [](__m128i a, __m128i b) { return _mm_max_epi16(a, b); };
    alignas(16) std::int16_t lows[kParts], highs[kParts], halfLows[kParts], halfHighs[kParts];
    _mm_store_si128(reinterpret_cast<__m128i*>(lows), AcrossLanes(low, min));
    _mm_store_si128(reinterpret_cast<__m128i*>(highs), AcrossLanes(high, max));
    _mm_store_si128(reinterpret_cast<__m128i*>(halfLows), AcrossLanes(halfLow, min));
    _mm_store_si128(reinterpret_cast<__m128i*>(halfHighs), AcrossLanes(halfHigh, max));

    BlockStats stats;
    stats.Low = stats.PairLow = std::numeric_limits<std::int32_t>::max();
    stats.High = stats.PairHigh = std::numeric_limits<std::int32_t>::min();
    for (std::size_t part = 0; part < kParts; ++part) {
        stats.PartLow[part] = lows[part];
        stats.PartHigh[part] = highs[part];
        stats.PartPairLow[part] = 2 * halfLows[part];
        stats.PartPairHigh[part] = 2 * halfHighs[part];
        stats.Low = std::min(stats.Low, stats.PartLow[part]);
        stats.High = std::max(stats.High, stats.PartHigh[part]);
        stats.PairLow = std::min(stats.PairLow, stats.PartPairLow[part]);
        stats.PairHigh = std::max(stats.PairHigh, stats.PartPairHigh[part]);
    }
    stats.Sum = static_cast<double>(SumOfLanes32(sum));
    stats.JudgedSum = static_cast<double>(SumOfLanes32(judgedSum));
    alignas(16) std::uint64_t squares[2];
    _mm_store_si128(reinterpret_cast<__m128i*>(squares), judgedSquares);
    stats.JudgedSquares = static_cast<double>(squares[0] + squares[1]);
    // Lanes of at most 8 each: adding them as 32-bit pairs and then across cannot overflow.
    stats.DifferencesAboveMedian = SumOfLanes32(_mm_madd_epi16(above, ones));
    stats.DifferencesCounted = kCountedDifferences;
    return stats;
}
#endif

void SpeedTracker::ProcessBlock(const std::int16_t* x, std::int32_t length) {
    if (!Started) {
        Started = true;
        Last = BeforeLast = x[0];
        High = Low = x[0];
    }
    const BlockStats stats = Measure(x, length);
    if (stats.High >= kFullScale || stats.Low <= -kFullScale) {
        std::int32_t previous = Last;
        for (std::int32_t i = 0; i < length; ++i) {
            const bool full = x[i] >= kFullScale || x[i] <= -kFullScale;
            const bool previousFull = previous >= kFullScale || previous <= -kFullScale;
            Clipped = Clipped || (full && previousFull);
            previous = x[i];
        }
    }

    UpdateNoise(stats, length);
    GateKnown = false;

    // The envelope takes a new extreme at once and otherwise relaxes towards the block's mean.
    // It follows the mean of neighbouring samples, so the ringing at half the sample rate
    // that a converter adds after every edge is averaged out and the levels, and the mid-level
    // where edges are timed, do not depend on where an edge falls between samples.
    if (RelaxStale && length == kBlock) {
        RelaxStale = false;
        BlockRelax = 1.0 - std::exp(-kBlock / DecaySamples);
    }
    const double relax = length == kBlock ? BlockRelax : 1.0 - std::exp(-length / DecaySamples);
    const double mean = length == kBlock ? stats.Sum / kBlock : stats.Sum / length;
    High = std::max(0.5 * stats.PairHigh, High + (mean - High) * relax);
    Low = std::min(0.5 * stats.PairLow, Low + (mean - Low) * relax);
    const double range = High - Low;
    const double lower = Low + kLowerFraction * range;
    const double mid = Low + kMidFraction * range;
    const double upper = Low + kUpperFraction * range;

    const auto crossingLevel = [&]() { return CrossingLevel(lower, mid, upper); };

    // Most parts of a block lie wholly on one side: nothing can happen in them. (A whole
    // number is below a level exactly when it is below the level's ceiling.)
    const auto quiet = [&](std::size_t part) {
        if (Refine) {
            return false;
        }
        if (State == Level::High && stats.PartLow[part] >= lower) {
            Extreme = std::max(Extreme, static_cast<double>(stats.PartPairHigh[part]));
            return true;
        }
        if (State == Level::Low) {
            const double before = Extreme;
            Extreme = std::min(Extreme, static_cast<double>(stats.PartPairLow[part]));
            if (stats.PartHigh[part] < crossingLevel()) {
                return true;
            }
            Extreme = before;
        }
        return false;
    };
    // The lower threshold as a whole number, for scanning samples: y < lower exactly when
    // y < lowerWhole.
    const auto lowerWhole = static_cast<std::int32_t>(std::ceil(lower));
    for (std::int32_t partBegin = 0; partBegin < length; partBegin += kPart) {
        const std::int32_t partEnd = std::min(partBegin + kPart, length);
        if (quiet(static_cast<std::size_t>(partBegin / kPart))) {
            continue;
        }
        // Sums of neighbours are twice the halves' sum plus at most 2 (the halves' low bits).
        const auto part = static_cast<std::size_t>(partBegin / kPart);
        ScanPart(x, partBegin, partEnd, lower, mid, upper, lowerWhole, range,
                 stats.PartPairLow[part], stats.PartPairHigh[part] + 2);
    }
    BeforeLast = length >= 2 ? x[length - 2] : Last;
    Last = x[length - 1];
    // An edge may be on its way: the signal is above the crossing level since it crossed and
    // could still count (noise around a collapsed envelope cannot).
    RisePending = Refine || (State == Level::Low && Candidate >= 0.0 &&
                             Last >= CrossingLevel(lower, mid, upper) && range > BlockGate());
    BlockStart += length;
}

double SpeedTracker::BlockGate() {
    // Worked out when an edge could count, which most blocks never ask.
    if (!GateKnown) {
        Gate = NoiseGate(BlockStart);
        GateKnown = true;
    }
    return Gate;
}

double SpeedTracker::CrossingLevel(double lower, double mid, double upper) const {
    // Edges are timed where the signal crosses half way between the highest point of the last
    // high phase and the lowest of the present low one (in sums of neighbouring samples, so
    // twice the level): levels that stay put within a period, whatever the envelope's
    // relaxing does meanwhile. Before a high phase has been seen, the envelope's mid-level.
    if (!HasPeak || State != Level::Low) {
        return mid;
    }
    return std::clamp(0.25 * (LastPeak + Extreme), lower, upper);
}

void SpeedTracker::ScanPart(const std::int16_t* x, std::int32_t begin, std::int32_t end,
                            double lower, double mid, double upper, std::int32_t lowerWhole,
                            double range, std::int32_t pairFloor, std::int32_t pairCeiling) {
    const auto crossingLevel = [&]() { return CrossingLevel(lower, mid, upper); };
    const auto sampleAt = [&](std::int32_t i) -> std::int32_t {
        return i >= 0 ? x[i] : (i == -1 ? Last : BeforeLast);
    };
    const auto pairAt = [&](std::int32_t i) -> double { return x[i] + sampleAt(i - 1); };
    const auto goLow = [&](std::int32_t i) {
        LastPeak = Extreme;
        HasPeak = State == Level::High;
        Extreme = pairAt(i);
        State = Level::Low;
        Candidate = -1.0;
    };
    std::int32_t i = begin;
    const std::int32_t length = end;
    while (i < length) {
        if (Refine) {
            // The sample after a crossing completes the four around it.
            Refine = false;
            Candidate = RefineCrossing(x[i]);
            if (EdgePending) {
                EdgePending = false;
                CountEdge(Candidate);
            }
        } else if (State == Level::High) {
            // High stays high until the signal drops below the band. One pass finds where and
            // the highest sum of neighbours on the way, unless none in the part can be higher
            // than the highest already seen, as mostly on a plateau.
            if (pairCeiling <= Extreme) {
                while (i < length && x[i] >= lowerWhole) {
                    ++i;
                }
            } else {
                std::int32_t previous = sampleAt(i - 1);
                std::int32_t highest = std::numeric_limits<std::int32_t>::min();
                while (i < length && x[i] >= lowerWhole) {
                    highest = std::max(highest, x[i] + previous);
                    previous = x[i];
                    ++i;
                }
                Extreme = std::max(Extreme, static_cast<double>(highest));
            }
            if (i == length) {
                break;
            }
            goLow(i);
            ++i;
            continue;
        } else if (State == Level::Low) {
            // Below the crossing level nothing can happen: no crossing, no edge. One pass finds
            // the first sample that reaches it and the lowest sum of neighbours up to there.
            // The level only falls as the low phase deepens; scanning again with the lower
            // level finds the first sample that reaches that one, no later, so the lowest sum
            // stands.
            // Nor is there a lower sum to find when none in the part is below the lowest seen.
            const std::int32_t from = i;
            const auto limit = static_cast<std::int32_t>(std::ceil(crossingLevel()));
            std::int32_t lowest = std::numeric_limits<std::int32_t>::max();
            if (pairFloor >= Extreme) {
                while (i < length && x[i] < limit) {
                    ++i;
                }
            } else {
                std::int32_t previous = sampleAt(i - 1);
                while (i < length && x[i] < limit) {
                    lowest = std::min(lowest, x[i] + previous);
                    previous = x[i];
                    ++i;
                }
                if (i < length) {
                    lowest = std::min(lowest, x[i] + previous);
                }
            }
            if (lowest < Extreme) {
                Extreme = lowest;
                const auto lowered = static_cast<std::int32_t>(std::ceil(crossingLevel()));
                if (lowered != limit) {
                    i = from;
                    while (i < length && x[i] < lowered) {
                        ++i;
                    }
                }
            }
            if (i == length) {
                break;
            }
        }
        const std::int64_t n = BlockStart + i;
        const double y = x[i];
        if (State == Level::High) {
            Extreme = std::max(Extreme, pairAt(i));
            if (y < lower) {
                goLow(i);
            }
            ++i;
            continue;
        }
        if (State == Level::Low) {
            Extreme = std::min(Extreme, pairAt(i));
        }
        const double level = crossingLevel();
        const double previous = sampleAt(i - 1);
        if (previous < level && y >= level) {
            Candidate = static_cast<double>(n - 1) + (level - previous) / (y - previous);
            Crossing = {static_cast<double>(sampleAt(i - 2)), previous, y, level,
                        static_cast<double>(n - 1)};
            Refine = true;
        }
        if (y > upper) {
            // Above the band while the range is within the noise: no edge, and the signal
            // must go low again before the next one can count.
            if (State == Level::Low && range > BlockGate()) {
                if (Refine) {
                    EdgePending = true;
                } else {
                    CountEdge(Candidate >= 0.0 ? Candidate : static_cast<double>(n) - 0.5);
                }
            }
            State = Level::High;
            Extreme = pairAt(i);
        } else if (State == Level::Unknown && y < lower) {
            State = Level::Low;
            Extreme = pairAt(i);
            Candidate = -1.0;
        }
        ++i;
    }
}

SpeedReading SpeedTracker::FinishInterval() {
    SpeedReading reading;
    reading.Index = Interval;
    reading.StartSeconds =
        static_cast<double>(Interval) * kTrackerIntervalSamples / kTrackerIntervalRate;
    reading.Overload = Clipped;

    const std::int64_t last = Edges - 1;
    if (Edges > EdgesBeforeInterval) {
        const auto residue = static_cast<std::size_t>(last % N);
        const auto start = static_cast<std::int64_t>(ChainStart[residue]);
        const double startTime = ChainStart[residue + static_cast<std::size_t>(N)];
        if (start < last) {
            reading.Source = SpeedSource::Measured;
            reading.Impulses = last - start;
            reading.FrequencyHz =
                CorrectedFrequency(static_cast<double>(last - start), EdgeTime(last) - startTime);
            if (Edges >= kSteadyRevolutions * N + 1) {
                double periods[kSteadyRevolutions];
                double sum = 0.0;
                for (int r = 0; r < kSteadyRevolutions; ++r) {
                    periods[r] = EdgeTime(last - r * N) - EdgeTime(last - (r + 1) * N);
                    sum += periods[r];
                }
                const double mean = sum / kSteadyRevolutions;
                const double tolerance = kSteadyFraction * mean + kSteadySamples;
                reading.Steady = std::all_of(std::begin(periods), std::end(periods), [&](double p) {
                    return std::abs(p - mean) <= tolerance;
                });
            }
            LastFrequency = reading.FrequencyHz;
            LastSteady = reading.Steady;
        }
    } else if (Edges >= N + 1 && LastFrequency > 0.0) {
        // While the signal is on its way up through a crossing not yet confirmed, the time of
        // that crossing is as far as the edges are known.
        double now = static_cast<double>(IntervalEndSample - 1);
        if (RisePending) {
            now = std::min(now, Candidate);
        }
        const double sinceLast = now - EdgeTime(last);
        const double age = now - EdgeTime(last + 1 - N);
        const double lastRevolution = EdgeTime(last) - EdgeTime(last - N);
        if (sinceLast > TimeoutSamples) {
            reading.Source = SpeedSource::None;
        } else if (age <= lastRevolution) {
            reading.Source = SpeedSource::Held;
            reading.FrequencyHz = LastFrequency;
            reading.Steady = LastSteady;
        } else {
            reading.Source = SpeedSource::Falling;
            reading.FrequencyHz = std::min(LastFrequency, CorrectedFrequency(N, age));
        }
    }
    if (reading.Source == SpeedSource::None) {
        reading.FrequencyHz = 0.0;
        reading.Steady = false;
    }
    reading.Rpm = reading.FrequencyHz * 60.0 / N;

    ++Interval;
    IntervalEndSample = IntervalEnd(Interval);
    EdgesBeforeInterval = Edges;
    Clipped = false;
    return reading;
}

std::optional<SpeedReading> SpeedTracker::TakeReading() {
    std::optional<SpeedReading> reading = Ready;
    Ready.reset();
    return reading;
}

double SpeedTracker::MeanFrequencyHz() const {
    if (Edges < 2) {
        return 0.0;
    }
    const double span = EdgeTime(Edges - 1) - FirstEdgeTime;
    return span > 0.0 ? static_cast<double>(Edges - 1) * Rate / span : 0.0;
}

double SpeedTracker::LastEdgeSeconds() const {
    return Edges == 0 ? 0.0 : EdgeTime(Edges - 1) / Rate;
}

double ClockPpmFrom(double referenceHz, double measuredHz) {
    return (referenceHz / measuredHz - 1.0) * 1e6;
}
