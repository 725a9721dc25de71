#include "signal/TestSignal.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <numbers>
#include <string>
#include <vector>

namespace {

// Indices i >= 1 where the signal steps from below `level` to `level` or above.
std::vector<int> RisingCrossings(std::span<const std::int16_t> samples, int level = 0) {
    std::vector<int> crossings;
    for (std::size_t i = 1; i < samples.size(); ++i) {
        if (samples[i - 1] < level && samples[i] >= level) {
            crossings.push_back(static_cast<int>(i));
        }
    }
    return crossings;
}

std::vector<std::int16_t> Generate(const PulseTrainSettings& settings, std::size_t count) {
    std::vector<std::int16_t> samples(count);
    PulseTrainGenerator(settings).Generate(samples);
    return samples;
}

PulseTrainSettings Settings(PulseShape shape, double frequencyHz, double amplitude = 10000.0) {
    PulseTrainSettings settings;
    settings.Shape = shape;
    settings.FrequencyHz = frequencyHz;
    settings.Amplitude = amplitude;
    return settings;
}

struct FrequencyCase {
    PulseShape Shape;
    double FrequencyHz;
};

const char* ShapeName(PulseShape shape) {
    switch (shape) {
    case PulseShape::Sine:
        return "Sine";
    case PulseShape::Square:
        return "Square";
    case PulseShape::Pulse:
        return "Pulse";
    }
    return "?";
}

std::string FrequencyCaseName(const testing::TestParamInfo<FrequencyCase>& info) {
    return ShapeName(info.param.Shape) + std::to_string(static_cast<int>(info.param.FrequencyHz)) +
           "Hz";
}

class GeneratorFrequency : public testing::TestWithParam<FrequencyCase> {};

// Over one second a train of f Hz starting at phase 0 rises through zero at every period
// boundary after the first: f - 1 times, the k-th at or just after k * 22050 / f.
TEST_P(GeneratorFrequency, RisesOncePerPeriodAtThePeriodBoundary) {
    const auto [shape, frequencyHz] = GetParam();
    const auto samples = Generate(Settings(shape, frequencyHz), kSampleRate);
    const auto crossings = RisingCrossings(samples);

    ASSERT_EQ(crossings.size(), static_cast<std::size_t>(frequencyHz) - 1);
    const double period = kSampleRate / frequencyHz;
    for (std::size_t k = 0; k < crossings.size(); ++k) {
        const double boundary = (k + 1) * period;
        EXPECT_GE(crossings[k], boundary - 1e-6) << "crossing " << k;
        EXPECT_LT(crossings[k], boundary + 1.0) << "crossing " << k;
    }
}

INSTANTIATE_TEST_SUITE_P(Shapes, GeneratorFrequency,
                         testing::Values(FrequencyCase{PulseShape::Sine, 50.0},
                                         FrequencyCase{PulseShape::Square, 50.0},
                                         FrequencyCase{PulseShape::Pulse, 50.0},
                                         FrequencyCase{PulseShape::Sine, 9.0},
                                         FrequencyCase{PulseShape::Square, 10.0},
                                         FrequencyCase{PulseShape::Sine, 1000.0},
                                         FrequencyCase{PulseShape::Square, 1000.0},
                                         FrequencyCase{PulseShape::Pulse, 333.0}),
                         FrequencyCaseName);

TEST(Generator, LevelsFollowShapeAmplitudeAndDutyCycle) {
    struct Case {
        PulseShape Shape;
        double Amplitude;
        double DutyCycle;
        int ExpectedHighSamples; // in one 441-sample period
    };
    for (const Case& c :
         {Case{PulseShape::Square, 12345.0, 0.1, 221}, Case{PulseShape::Pulse, 12345.0, 0.1, 45},
          Case{PulseShape::Pulse, 32767.0, 0.5, 221}, Case{PulseShape::Pulse, 1.0, 0.9, 397}}) {
        PulseTrainSettings settings = Settings(c.Shape, 50.0, c.Amplitude);
        settings.DutyCycle = c.DutyCycle;
        const auto samples = Generate(settings, 441);
        const auto high = std::count(samples.begin(), samples.end(), c.Amplitude);
        const auto low = std::count(samples.begin(), samples.end(), -c.Amplitude);
        EXPECT_EQ(high, c.ExpectedHighSamples) << c.Amplitude << " duty " << c.DutyCycle;
        EXPECT_EQ(high + low, 441) << c.Amplitude << " duty " << c.DutyCycle;
        EXPECT_EQ(samples[0], c.Amplitude) << "a period starts high";
    }
}

TEST(Generator, SinePeaksAtItsAmplitudeAndStartsAtItsPhase) {
    struct Case {
        double PhaseCycles;
        std::int16_t FirstSample;
    };
    for (const Case& c : {Case{0.0, 0}, Case{0.25, 20000}, Case{0.5, 0}, Case{0.75, -20000},
                          Case{-0.25, -20000}, Case{3.25, 20000}}) {
        PulseTrainSettings settings = Settings(PulseShape::Sine, 50.0, 20000.0);
        settings.PhaseCycles = c.PhaseCycles;
        const auto samples = Generate(settings, 441);
        EXPECT_EQ(samples[0], c.FirstSample) << "phase " << c.PhaseCycles;
        // The crests fall on or between samples: within rounding of the amplitude.
        const auto [lowest, highest] = std::minmax_element(samples.begin(), samples.end());
        EXPECT_GE(*highest, 19999);
        EXPECT_LE(*highest, 20000);
        EXPECT_LE(*lowest, -19999);
        EXPECT_GE(*lowest, -20000);
    }
}

// Noise that pushes a full-scale square past the 16-bit range must saturate, not wrap round.
TEST(Generator, ClampsToTheSixteenBitRange) {
    PulseTrainSettings settings = Settings(PulseShape::Square, 50.0, 32767.0);
    settings.NoiseSigma = 3000.0;
    const auto samples = Generate(settings, 441 * 20);
    int atTop = 0;
    int atBottom = 0;
    for (std::size_t i = 0; i < samples.size(); ++i) {
        const bool highHalf = i % 441 < 221;
        ASSERT_EQ(samples[i] > 0, highHalf) << "sample " << i << " = " << samples[i];
        atTop += samples[i] == 32767;
        atBottom += samples[i] == -32768;
    }
    // About half of each half lies beyond full scale.
    EXPECT_GT(atTop, 441 * 20 / 5);
    EXPECT_GT(atBottom, 441 * 20 / 5);
}

TEST(Generator, NoiseHasTheRequestedDeviation) {
    PulseTrainSettings settings = Settings(PulseShape::Sine, 50.0, 0.0);
    settings.NoiseSigma = 100.0;
    const auto samples = Generate(settings, 200000);
    double sum = 0.0;
    double sumOfSquares = 0.0;
    for (const std::int16_t x : samples) {
        sum += x;
        sumOfSquares += static_cast<double>(x) * x;
    }
    const double mean = sum / samples.size();
    const double deviation = std::sqrt(sumOfSquares / samples.size() - mean * mean);
    EXPECT_NEAR(mean, 0.0, 1.0);
    EXPECT_NEAR(deviation, 100.0, 2.0);
}

TEST(Generator, JitterVariesPeriodsWithinItsBound) {
    PulseTrainSettings settings = Settings(PulseShape::Square, 50.0);
    settings.Jitter = 0.1;
    const auto crossings = RisingCrossings(Generate(settings, 441 * 200));
    ASSERT_GT(crossings.size(), 150u);
    int shortest = 441;
    int longest = 441;
    for (std::size_t k = 1; k < crossings.size(); ++k) {
        shortest = std::min(shortest, crossings[k] - crossings[k - 1]);
        longest = std::max(longest, crossings[k] - crossings[k - 1]);
    }
    // Sample positions round each period boundary up by less than one sample.
    EXPECT_GE(shortest, 441 * 0.9 - 1);
    EXPECT_LE(longest, 441 * 1.1 + 1);
    EXPECT_LT(shortest, 441 * 0.95) << "jitter should use most of its range";
    EXPECT_GT(longest, 441 * 1.05) << "jitter should use most of its range";
}

struct StreamCase {
    std::string Name;
    PulseTrainSettings Settings;
};

std::vector<StreamCase> StreamCases() {
    PulseTrainSettings noisy = Settings(PulseShape::Sine, 1000.0);
    noisy.NoiseSigma = 500.0;
    PulseTrainSettings jittery = Settings(PulseShape::Pulse, 123.4);
    jittery.Jitter = 0.3;
    jittery.NoiseSigma = 50.0;
    jittery.PhaseCycles = 0.7;
    return {{"plain", Settings(PulseShape::Square, 50.0)}, {"noisy", noisy}, {"jittery", jittery}};
}

TEST(Generator, ContinuesSeamlesslyAcrossCalls) {
    for (const StreamCase& c : StreamCases()) {
        const auto whole = Generate(c.Settings, 5000);
        for (const std::size_t chunk : {std::size_t{1}, std::size_t{7}, std::size_t{441},
                                        std::size_t{1000}, std::size_t{4999}}) {
            PulseTrainGenerator generator(c.Settings);
            std::vector<std::int16_t> pieces(whole.size());
            for (std::size_t at = 0; at < pieces.size(); at += chunk) {
                const std::size_t count = std::min(chunk, pieces.size() - at);
                generator.Generate(std::span(pieces).subspan(at, count));
            }
            EXPECT_EQ(pieces, whole) << c.Name << " in chunks of " << chunk;
        }
    }
}

TEST(Generator, IsDeterministicPerSeed) {
    for (const StreamCase& c : StreamCases()) {
        const auto first = Generate(c.Settings, 5000);
        EXPECT_EQ(Generate(c.Settings, 5000), first) << c.Name;
        PulseTrainSettings reseeded = c.Settings;
        reseeded.Seed = c.Settings.Seed + 1;
        const bool random = c.Settings.NoiseSigma > 0.0 || c.Settings.Jitter > 0.0;
        EXPECT_EQ(Generate(reseeded, 5000) != first, random) << c.Name;
    }
}

TEST(Generator, NoiseLeavesJitteredEdgesInPlace) {
    PulseTrainSettings clean = Settings(PulseShape::Square, 200.0);
    clean.Jitter = 0.2;
    PulseTrainSettings noisy = clean;
    noisy.NoiseSigma = 100.0;
    const auto cleanSamples = Generate(clean, 20000);
    EXPECT_EQ(RisingCrossings(Generate(noisy, 20000)), RisingCrossings(cleanSamples));
}

TEST(Generator, RejectsSettingsOutOfRange) {
    struct Case {
        std::string Expected; // part of the message
        std::function<void(PulseTrainSettings&)> Spoil;
    };
    const std::vector<Case> cases = {
        {"frequency", [](auto& s) { s.FrequencyHz = 0.0; }},
        {"frequency", [](auto& s) { s.FrequencyHz = -50.0; }},
        {"frequency", [](auto& s) { s.FrequencyHz = 1e-300; }},
        {"frequency", [](auto& s) { s.FrequencyHz = 11025.5; }},
        {"frequency", [](auto& s) { s.FrequencyHz = std::nan(""); }},
        {"amplitude", [](auto& s) { s.Amplitude = -1.0; }},
        {"amplitude", [](auto& s) { s.Amplitude = 32768.0; }},
        {"phase", [](auto& s) { s.PhaseCycles = INFINITY; }},
        {"duty cycle", [](auto& s) { s.DutyCycle = 0.0; }},
        {"duty cycle", [](auto& s) { s.DutyCycle = 1.0; }},
        {"noise", [](auto& s) { s.NoiseSigma = -0.5; }},
        {"jitter", [](auto& s) { s.Jitter = 1.0; }},
        {"jitter", [](auto& s) { s.Jitter = -0.1; }},
        {"sample rate", [](auto& s) { s.SampleRate = 0; }},
        {"AC coupling", [](auto& s) { s.AcCornerHz = 0.05; }},
        {"AC coupling", [](auto& s) { s.AcCornerHz = -2.0; }},
        {"hum", [](auto& s) { s.HumFraction = 1.5; }},
        {"hum frequency", [](auto& s) { s.HumHz = 0.0; }},
        {"offset", [](auto& s) { s.Offset = 40000.0; }},
        {"gain change", [](auto& s) { s.GainDbPerSecond = 30.0; }},
        {"impulses per revolution", [](auto& s) { s.ImpulsesPerRevolution = 0; }},
        {"uneven", [](auto& s) { s.Uneven = 0.3; }},
        {"uneven",
         [](auto& s) {
             s.Jitter = 0.8;
             s.Uneven = 0.15;
         }},
        {"ramp end", [](auto& s) { s.RampToHz = 20000.0; }},
        {"ramp length",
         [](auto& s) {
             s.RampToHz = 100.0;
             s.RampSeconds = 0.0;
         }},
        {"clock", [](auto& s) { s.ClockPpm = 2e5; }},
    };
    for (const Case& c : cases) {
        PulseTrainSettings settings;
        c.Spoil(settings);
        try {
            PulseTrainGenerator generator(settings);
            ADD_FAILURE() << "accepted a bad " << c.Expected;
        } catch (const std::invalid_argument& error) {
            EXPECT_NE(std::string(error.what()).find(c.Expected), std::string::npos)
                << error.what();
        }
    }
    EXPECT_NO_THROW(PulseTrainGenerator(Settings(PulseShape::Sine, 11025.0)));
    EXPECT_NO_THROW(PulseTrainGenerator(Settings(PulseShape::Sine, kMinFrequencyHz)));
}

// Times (in samples, with fraction) at which the signal rises through `level`, interpolated
// linearly between the two samples around each crossing.
std::vector<double> CrossingTimes(std::span<const std::int16_t> samples, double level = 0.0) {
    std::vector<double> times;
    for (std::size_t i = 1; i < samples.size(); ++i) {
        if (samples[i - 1] < level && samples[i] >= level) {
            times.push_back(static_cast<double>(i - 1) +
                            (level - samples[i - 1]) / (samples[i] - samples[i - 1]));
        }
    }
    return times;
}

PulseTrainSettings CardSquare(double frequencyHz) {
    PulseTrainSettings settings = Settings(PulseShape::Square, frequencyHz);
    settings.BandLimited = true;
    return settings;
}

TEST(SensorModel, DefaultsLeaveTheReferenceSignalAndAnyEffectTurnsTheModelOn) {
    EXPECT_FALSE(PulseTrainGenerator(Settings(PulseShape::Pulse, 50.0)).ModelsSensorAndCard());
    const std::vector<std::function<void(PulseTrainSettings&)>> effects = {
        [](auto& s) { s.BandLimited = true; },
        [](auto& s) { s.AcCornerHz = 10.0; },
        [](auto& s) { s.HumFraction = 0.1; },
        [](auto& s) { s.Offset = 5.0; },
        [](auto& s) { s.GainDbPerSecond = 1.0; },
        [](auto& s) { s.Uneven = 0.01; },
        [](auto& s) { s.ClockPpm = 10.0; },
        [](auto& s) { s.Polarity = PulsePolarity::Negative; },
        [](auto& s) {
            s.RampToHz = 60.0;
            s.RampSeconds = 1.0;
        },
    };
    for (std::size_t k = 0; k < effects.size(); ++k) {
        PulseTrainSettings settings = Settings(PulseShape::Pulse, 50.0);
        effects[k](settings);
        EXPECT_TRUE(PulseTrainGenerator(settings).ModelsSensorAndCard()) << "effect " << k;
    }
}

// A converter keeps each edge's instant: rising through the middle where the edge is, between
// samples, not on the sample after it.
TEST(SensorModel, BandLimitedEdgesRiseThroughTheMiddleAtTheirInstant) {
    const double frequency = 47.3; // edges fall anywhere between samples
    const auto samples = Generate(CardSquare(frequency), kSampleRate * 4);
    const auto times = CrossingTimes(samples);
    ASSERT_EQ(times.size(), static_cast<std::size_t>(4 * frequency));
    double sum = 0.0;
    for (std::size_t k = 0; k < times.size(); ++k) {
        const double instant = (k + 1) * kSampleRate / frequency;
        EXPECT_NEAR(times[k], instant, 0.08) << "edge " << k;
        sum += times[k] - instant;
    }
    // A straight line between two samples bends a little from the edge's curve, but on average
    // over many positions between samples the instants are kept.
    EXPECT_NEAR(sum / static_cast<double>(times.size()), 0.0, 0.01);
    // The edge rises within a few samples, with ringing of up to about a tenth of the step.
    const auto [low, high] = std::minmax_element(samples.begin(), samples.end());
    EXPECT_GT(*high, 10500);
    EXPECT_LT(*high, 12000);
    EXPECT_LT(*low, -10500);
    EXPECT_GT(*low, -12000);
    const auto middle = static_cast<std::size_t>(std::lround(times[10]));
    EXPECT_LT(samples[middle - 2], -8000);
    EXPECT_GT(samples[middle + 2], 8000);
}

TEST(SensorModel, AcCouplingCentresTheSignalAndDroopsDuringPulses) {
    PulseTrainSettings settings = CardSquare(100.0);
    settings.Shape = PulseShape::Pulse;
    settings.DutyCycle = 0.1;
    settings.AcCornerHz = 2.0;
    const auto samples = Generate(settings, kSampleRate * 2);
    double sum = 0.0;
    for (const std::int16_t x : samples) {
        sum += x;
    }
    EXPECT_NEAR(sum / static_cast<double>(samples.size()), 0.0, 100.0);
    // Between pulses the baseline sits below zero, near -duty x height = -2000.
    const std::size_t between = kSampleRate + 110; // 1 s + 5 ms: in the gap after a pulse
    EXPECT_NEAR(samples[between], -2000.0, 300.0);
    // During a pulse (1 s to 1.001 s) the top droops.
    EXPECT_GT(samples[kSampleRate + 4], samples[kSampleRate + 18] + 80);
    EXPECT_GT(samples[kSampleRate + 18], 15000);
}

TEST(SensorModel, HumIsASineOfItsFractionOfThePulseHeight) {
    PulseTrainSettings settings = Settings(PulseShape::Square, 10.0);
    settings.HumFraction = 0.2;
    settings.HumHz = 60.0;
    // A positive and a negative train of the same pulses cancel, leaving the hum twice.
    settings.Amplitude = 10000.0;
    PulseTrainSettings negative = settings;
    negative.Polarity = PulsePolarity::Negative;
    const auto up = Generate(settings, kSampleRate);
    const auto down = Generate(negative, kSampleRate);
    for (std::size_t i = 0; i < up.size(); i += 37) {
        const double hum =
            0.2 * 20000.0 * std::sin(2.0 * std::numbers::pi * 60.0 * i / kSampleRate);
        EXPECT_NEAR((up[i] + down[i]) / 2.0, hum, 1.0) << "sample " << i;
    }
}

TEST(SensorModel, UnevenMagnetsKeepTheRevolutionWhole) {
    PulseTrainSettings settings = CardSquare(100.0);
    settings.ImpulsesPerRevolution = 4;
    settings.Uneven = 0.025;
    const auto times = CrossingTimes(Generate(settings, kSampleRate * 2));
    ASSERT_GT(times.size(), 100u);
    const double spacing = kSampleRate / 100.0;
    double largest = 0.0;
    for (std::size_t k = 1; k < times.size(); ++k) {
        largest = std::max(largest, std::abs(times[k] - times[k - 1] - spacing) / spacing);
        if (k >= 4) {
            EXPECT_NEAR(times[k] - times[k - 4], 4 * spacing, 0.1) << "edge " << k;
        }
    }
    EXPECT_GT(largest, 0.04);
    EXPECT_LT(largest, 0.05);
}

TEST(SensorModel, RampChangesTheRateLinearly) {
    PulseTrainSettings settings = CardSquare(20.0);
    settings.RampToHz = 60.0;
    settings.RampSeconds = 4.0;
    const auto times = CrossingTimes(Generate(settings, kSampleRate * 5));
    // Phase = 20 t + 5 t^2 up to 4 s (160 impulses), then 60 per second.
    EXPECT_EQ(times.size(), 160u + 60u - 1u);
    for (std::size_t k = 0; k + 1 < times.size(); ++k) {
        const double t = times[k] / kSampleRate;
        const double rate = t < 4.0 ? 20.0 + 10.0 * t : 60.0;
        const double interval = (times[k + 1] - times[k]) / kSampleRate;
        EXPECT_NEAR(1.0 / interval, rate, rate * 0.03) << "edge " << k;
    }
}

TEST(SensorModel, FastClockStretchesEveryPeriod) {
    PulseTrainSettings settings = CardSquare(1000.0);
    settings.ClockPpm = 500.0;
    const auto times = CrossingTimes(Generate(settings, kSampleRate * 2));
    const double perPeriod = (times.back() - times.front()) / static_cast<double>(times.size() - 1);
    EXPECT_NEAR(perPeriod / (kSampleRate / 1000.0), 1.0005, 2e-6);
}

TEST(SensorModel, ContinuesSeamlesslyAcrossCalls) {
    PulseTrainSettings settings = CardSquare(33.3);
    settings.AcCornerHz = 20.0;
    settings.HumFraction = 0.1;
    settings.NoiseSigma = 50.0;
    settings.Jitter = 0.1;
    settings.Uneven = 0.02;
    settings.ImpulsesPerRevolution = 3;
    const auto whole = Generate(settings, 5000);
    PulseTrainGenerator generator(settings);
    std::vector<std::int16_t> pieces(5000);
    generator.Generate(std::span(pieces).first(1));
    generator.Generate(std::span(pieces).subspan(1, 2999));
    generator.Generate(std::span(pieces).subspan(3000));
    EXPECT_EQ(pieces, whole);
}

TEST(BlockHelpers, SineBlockIsTheGeneratorsFirstBlock) {
    PulseTrainSettings settings = Settings(PulseShape::Sine, 50.0, 10000.0);
    settings.PhaseCycles = 0.3;
    EXPECT_EQ(SineBlock(50.0, 10000.0, 0.3), GeneratedBlock(settings));
}

TEST(BlockHelpers, EdgeBlockRisesExactlyAtEachPosition) {
    struct Case {
        std::vector<int> Positions;
        std::int16_t Low;
        std::int16_t High;
    };
    for (const Case& c :
         {Case{{}, -5, 5}, Case{{300}, -1000, 1000}, Case{{1, 3, 5, 8190}, -32768, 32767},
          Case{{256, 700, 701 + 441}, 0, 1}, Case{EvenlySpacedEdges(260, 6, 7935), -100, 100}}) {
        const SampleBlock block = BlockWithRisingEdgesAt(c.Positions, c.Low, c.High);
        EXPECT_EQ(RisingCrossings(block, c.High), c.Positions);
        EXPECT_TRUE(std::all_of(block.begin(), block.end(),
                                [&](std::int16_t x) { return x == c.Low || x == c.High; }));
        if (c.Positions.empty()) {
            EXPECT_EQ(block.back(), c.Low);
            continue;
        }
        EXPECT_EQ(block[c.Positions[0] - 1], c.Low);
        EXPECT_EQ(block.back(), c.High) << "stays high after the last edge";
        for (std::size_t k = 0; k + 1 < c.Positions.size(); ++k) {
            const int half = c.Positions[k] + (c.Positions[k + 1] - c.Positions[k]) / 2;
            EXPECT_EQ(block[half - 1], c.High);
            EXPECT_EQ(block[half], c.Low);
        }
    }
}

TEST(BlockHelpers, EdgeBlockRejectsPositionsThatCannotEachBeOneEdge) {
    for (const std::vector<int>& positions :
         {std::vector<int>{0}, std::vector<int>{8192}, std::vector<int>{-3},
          std::vector<int>{400, 401}, std::vector<int>{500, 400}, std::vector<int>{9, 9}}) {
        EXPECT_THROW(BlockWithRisingEdgesAt(positions, -1, 1), std::invalid_argument)
            << positions.front();
    }
}

TEST(BlockHelpers, EvenlySpacedEdgesIncludeTheLastWhenOnTheGrid) {
    EXPECT_EQ(EvenlySpacedEdges(10, 5, 25), (std::vector<int>{10, 15, 20, 25}));
    EXPECT_EQ(EvenlySpacedEdges(10, 5, 24), (std::vector<int>{10, 15, 20}));
    EXPECT_EQ(EvenlySpacedEdges(10, 5, 9), std::vector<int>{});
    EXPECT_THROW(EvenlySpacedEdges(10, 0, 20), std::invalid_argument);
}

TEST(BlockHelpers, SquareBlockRisesEveryPeriodFromItsFirstEdge) {
    struct Case {
        int Period;
        std::int16_t Amplitude;
        int FirstEdge;
    };
    for (const Case& c : {Case{441, 10000, 0}, Case{6, 32767, 256}, Case{7, 1, 3},
                          Case{2, 20000, 8191}, Case{100, 5, -1050}}) {
        const SampleBlock block = SquareBlock(c.Period, c.Amplitude, c.FirstEdge);
        std::vector<int> expected;
        for (int i = 1; i < kBlockSamples; ++i) {
            if (((i - c.FirstEdge) % c.Period + c.Period) % c.Period == 0) {
                expected.push_back(i);
            }
        }
        EXPECT_EQ(RisingCrossings(block, c.Amplitude), expected) << "period " << c.Period;
        // Each period is high for its first half (rounded down), then low.
        for (const int edge : expected) {
            const int fall = edge + c.Period / 2;
            if (fall < kBlockSamples) {
                EXPECT_EQ(block[fall - 1], c.Amplitude) << "period " << c.Period;
                EXPECT_EQ(block[fall], -c.Amplitude) << "period " << c.Period;
            }
        }
        const auto high = std::count(block.begin(), block.end(), c.Amplitude);
        const auto low = std::count(block.begin(), block.end(), -c.Amplitude);
        EXPECT_EQ(high + low, kBlockSamples);
    }
    EXPECT_THROW(SquareBlock(1, 100, 0), std::invalid_argument);
    EXPECT_THROW(SquareBlock(10, -100, 0), std::invalid_argument);
}

} // namespace
