// The fast analysis must give bit-identical readings to the plain reference on any block,
// above all on the blocks that stress its vector sums and bit-mask edge search: full-scale
// and clipped levels, an edge every few samples across the 64-sample words, and samples
// sitting exactly on the threshold.
#include "measure/BlockAnalysis.h"
#include "measure/ReferenceAnalysis.h"
#include "signal/TestSignal.h"
#include "tests/measure/ReadingMatchers.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <random>
#include <span>
#include <string>
#include <vector>

namespace {

// Compares both analyses of one block; returns false once they disagree so a family stops at
// its first bad block instead of flooding the log.
bool Agrees(const SampleBlock& block, const std::string& context,
            std::int32_t impulsesPerRevolution = 1) {
    ExpectIdenticalReadings(AnalyseBlock(block, impulsesPerRevolution),
                            AnalyseBlockReference(block, impulsesPerRevolution), context);
    return !testing::Test::HasFailure();
}

TEST(AgreesWithReference, UniformNoiseAtEveryLevel) {
    std::mt19937 random(11);
    for (const int level : {1, 2, 10, 300, 10000, 32767, 32768}) {
        std::uniform_int_distribution<int> sample(-level, std::min(level, 32767));
        for (int n = 0; n < 40; ++n) {
            SampleBlock block;
            for (std::int16_t& x : block) {
                x = static_cast<std::int16_t>(sample(random));
            }
            ASSERT_TRUE(Agrees(block, "noise of level " + std::to_string(level), 1 + n % 6));
        }
    }
}

TEST(AgreesWithReference, ReferenceSignalsWithNoiseAndJitter) {
    std::mt19937 random(12);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    const PulseShape shapes[] = {PulseShape::Sine, PulseShape::Square, PulseShape::Pulse};
    for (int n = 0; n < 400; ++n) {
        PulseTrainSettings settings;
        settings.Shape = shapes[n % 3];
        settings.FrequencyHz = std::pow(11025.0, unit(random)); // 1 Hz .. 11025 Hz
        settings.Amplitude = n % 4 == 0 ? 32767.0 : 32767.0 * unit(random);
        settings.PhaseCycles = unit(random);
        settings.DutyCycle = 0.05 + 0.9 * unit(random);
        settings.NoiseSigma = n % 2 == 0 ? 0.0 : 3000.0 * unit(random) * unit(random);
        settings.Jitter = n % 3 == 0 ? 0.0 : 0.5 * unit(random);
        settings.Seed = static_cast<std::uint32_t>(n);
        ASSERT_TRUE(Agrees(GeneratedBlock(settings),
                           "signal " + std::to_string(n) + " at " +
                               std::to_string(settings.FrequencyHz) + " Hz",
                           1 + n % 6));
    }
}

TEST(AgreesWithReference, FullScaleSquaresWithAnEdgeEveryFewSamples) {
    for (int period = 2; period <= 7; ++period) {
        for (int offset = 0; offset < period; ++offset) {
            const std::string context =
                "period " + std::to_string(period) + " offset " + std::to_string(offset);
            ASSERT_TRUE(Agrees(
                BlockWithRisingEdgesAt(EvenlySpacedEdges(1 + offset, period, 8191), -32768, 32767),
                context + " clipped"));
            ASSERT_TRUE(Agrees(SquareBlock(period, 32767, offset), context));
        }
    }
}

TEST(AgreesWithReference, ConstantBlocks) {
    for (const std::int16_t level : {-32768, -32767, -2, -1, 0, 1, 2, 32767}) {
        SampleBlock block;
        block.fill(level);
        ASSERT_TRUE(Agrees(block, "constant " + std::to_string(level)));
    }
}

// Puts a few dozen window samples at and next to +/- the block's own threshold. Moving them
// moves the threshold a little, so they are set again until it holds still.
TEST(AgreesWithReference, SamplesOnTheThreshold) {
    std::mt19937 random(13);
    std::uniform_int_distribution<int> position(kWindowFirst, kWindowLast);
    std::uniform_int_distribution<int> offset(-1, 1);
    int blocksWithSamplesOnThreshold = 0;
    for (int n = 0; n < 200; ++n) {
        SampleBlock block =
            n % 2 == 0 ? SineBlock(20.0 + n, 1000.0 + 150.0 * n, 0.01 * n)
                       : SquareBlock(3 + n % 50, static_cast<std::int16_t>(100 + 160 * n), n);
        struct Probe {
            int Position;
            int Sign;
            int Offset;
        };
        std::vector<Probe> probes;
        for (int k = 0; k < 40; ++k) {
            probes.push_back({position(random), k % 2 == 0 ? 1 : -1, offset(random)});
        }
        std::int32_t threshold = AnalyseBlockReference(block, 1).Threshold;
        for (int round = 0; round < 10; ++round) {
            for (const Probe& p : probes) {
                block[p.Position] = static_cast<std::int16_t>(p.Sign * (threshold + p.Offset));
            }
            const std::int32_t moved = AnalyseBlockReference(block, 1).Threshold;
            if (moved == threshold) {
                break;
            }
            threshold = moved;
        }
        const auto window = std::span(block).subspan(kWindowFirst, kWindowSamples);
        blocksWithSamplesOnThreshold += std::count(window.begin(), window.end(), threshold) > 0 &&
                                        std::count(window.begin(), window.end(), -threshold) > 0 &&
                                        AnalyseBlockReference(block, 1).Threshold == threshold;
        ASSERT_TRUE(Agrees(block, "threshold block " + std::to_string(n)));
    }
    EXPECT_GT(blocksWithSamplesOnThreshold, 150) << "the fixture should hit the threshold exactly";
}

// Short random runs of low, middle and high samples put edges at every bit position of the
// 64-sample words and carry the state across their boundaries in every way.
TEST(AgreesWithReference, RandomRunsAcrossWordBoundaries) {
    std::mt19937 random(14);
    std::uniform_int_distribution<int> runLength(1, 9);
    std::uniform_int_distribution<int> kind(0, 2);
    for (int n = 0; n < 300; ++n) {
        const std::int16_t levels[] = {static_cast<std::int16_t>(-(n * 100 % 32768)), 0,
                                       static_cast<std::int16_t>(n * 97 % 32768)};
        SampleBlock block;
        for (int i = 0; i < kBlockSamples;) {
            const std::int16_t level = levels[kind(random)];
            for (int run = runLength(random); run > 0 && i < kBlockSamples; --run) {
                block[i++] = level;
            }
        }
        ASSERT_TRUE(Agrees(block, "runs " + std::to_string(n)));
    }
}

TEST(AgreesWithReference, ImpulsesPerRevolutionOfAnyValue) {
    const SampleBlock block = SineBlock(123.0, 9000.0);
    for (const std::int32_t impulses : {INT_MIN, -7, -1, 0, 1, 2, 3, 6, 7, 1000, INT_MAX}) {
        ASSERT_TRUE(Agrees(block, "impulses " + std::to_string(impulses), impulses));
    }
}

} // namespace
