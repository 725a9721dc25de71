// What a reading must say for blocks whose answer is known by hand. Every block here is also
// run through the reference analysis, and the two readings must agree to the bit.
#include "measure/BlockAnalysis.h"
#include "measure/ReferenceAnalysis.h"
#include "signal/TestSignal.h"
#include "tests/measure/ReadingMatchers.h"

#include <gtest/gtest.h>

#include <climits>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace {

BlockReading Analyse(const SampleBlock& block, std::int32_t impulsesPerRevolution = 1) {
    const BlockReading reading = AnalyseBlock(block, impulsesPerRevolution);
    ExpectIdenticalReadings(reading, AnalyseBlockReference(block, impulsesPerRevolution));
    return reading;
}

SampleBlock EdgesAt(const std::vector<int>& positions, std::int16_t level) {
    return BlockWithRisingEdgesAt(positions, static_cast<std::int16_t>(-level), level);
}

SampleBlock WithSamples(SampleBlock block,
                        std::initializer_list<std::pair<int, std::int16_t>> changes) {
    for (const auto& [index, value] : changes) {
        block[index] = value;
    }
    return block;
}

// Scales everything outside the analysis window, leaving the window as it was.
SampleBlock LouderOutsideWindow(SampleBlock block, int factor) {
    for (int i = 0; i < kBlockSamples; ++i) {
        if (i < kWindowFirst || i > kWindowLast) {
            block[i] = static_cast<std::int16_t>(block[i] * factor);
        }
    }
    return block;
}

// Evenly spaced edges with one interior edge moved by `shift` samples; the first and last
// edge, and so the average period, stay put.
SampleBlock TrainWithOneEdgeMoved(int spacing, int shift) {
    std::vector<int> positions = EvenlySpacedEdges(300, spacing, kWindowLast);
    positions[5] += shift;
    return EdgesAt(positions, 5000);
}

struct Expected {
    std::int32_t FullRms;
    std::int32_t MidRms;
    std::int32_t Threshold;
    std::int32_t Periods;
    std::int32_t FirstEdge;
    std::int32_t LastEdge;
    float Frequency;
    std::int32_t Rpm;
    bool Stable;
    bool Overload;
};

struct ReadingCase {
    std::string Name;
    std::function<SampleBlock()> Block;
    std::int32_t ImpulsesPerRevolution;
    Expected Want;
};

void PrintTo(const ReadingCase& c, std::ostream* out) {
    *out << c.Name;
}

class KnownReadings : public testing::TestWithParam<ReadingCase> {};

TEST_P(KnownReadings, GiveTheExpectedReading) {
    const ReadingCase& c = GetParam();
    const BlockReading r = Analyse(c.Block(), c.ImpulsesPerRevolution);
    EXPECT_EQ(r.FullRms, c.Want.FullRms);
    EXPECT_EQ(r.MidRms, c.Want.MidRms);
    EXPECT_EQ(r.Threshold, c.Want.Threshold);
    EXPECT_EQ(r.Periods, c.Want.Periods);
    EXPECT_EQ(r.EdgeCount, c.Want.Periods + 1);
    EXPECT_EQ(r.FirstEdge, c.Want.FirstEdge);
    EXPECT_EQ(r.LastEdge, c.Want.LastEdge);
    EXPECT_EQ(r.Frequency, c.Want.Frequency);
    EXPECT_EQ(r.Rpm, c.Want.Rpm);
    EXPECT_EQ(r.Stable, c.Want.Stable);
    EXPECT_EQ(r.Overload, c.Want.Overload);
    if (r.EdgeCount > 0) {
        EXPECT_EQ(r.Edges[0], r.FirstEdge);
        EXPECT_EQ(r.Edges[r.EdgeCount - 1], r.LastEdge);
    }
}

// 441 samples per period is 50 Hz; 560 is 39.375 Hz, 2362.5 RPM at one impulse per revolution.
const std::vector<ReadingCase> kReadingCases = {
    {"Silence", [] { return SampleBlock{}; }, 1, {0, 0, 0, -1, -1, 0, 0.0f, 0, false, false}},
    {"OneEdge",
     [] { return EdgesAt({1000}, 1000); },
     1,
     {1000, 1000, 300, 0, 1000, 1000, 0.0f, 0, false, false}},
    {"Sine50HzOneImpulse",
     [] { return SineBlock(50.0, 10000.0); },
     1,
     {7058, 7085, 2125, 16, 457, 7513, 50.0f, 3000, true, false}},
    {"Sine50HzFourImpulses",
     [] { return SineBlock(50.0, 10000.0); },
     4,
     {7058, 7085, 2125, 16, 457, 7513, 50.0f, 750, true, false}},
    {"Sine9HzIsTooSlowToBeSteady",
     [] { return SineBlock(9.0, 10000.0); },
     1,
     {7148, 7145, 2143, 2, 2535, 7435, 9.0f, 540, false, false}},
    {"Sine10HzIsSteady",
     [] { return SineBlock(10.0, 10000.0); },
     1,
     {7038, 7074, 2122, 2, 2281, 6691, 10.0f, 600, true, false}},
    {"Edges10HzApartAreSteady",
     [] {
         return EdgesAt({300, 2505, 4710, 6915}, 5000);
     },
     1,
     {5000, 5000, 1500, 3, 300, 6915, 10.0f, 600, true, false}},
    // Edges at 0, 100, 200, 8000 and 8100 and thirty times the level lie outside the window:
    // they raise FullRms only.
    {"OutsideWindowOnlyRaisesFullRms",
     [] { return LouderOutsideWindow(SquareBlock(100, 1000, 0), 30); },
     1,
     {7562, 1000, 300, 76, 300, 7900, 220.5f, 13230, true, false}},
    {"JitterAtToleranceLater",
     [] { return TrainWithOneEdgeMoved(441, 10); },
     1,
     {5000, 5000, 1500, 17, 300, 7797, 50.0f, 3000, true, false}},
    {"JitterAtToleranceEarlier",
     [] { return TrainWithOneEdgeMoved(441, -10); },
     1,
     {5000, 5000, 1500, 17, 300, 7797, 50.0f, 3000, true, false}},
    {"JitterBeyondToleranceLater",
     [] { return TrainWithOneEdgeMoved(441, 11); },
     1,
     {5000, 5000, 1500, 17, 300, 7797, 50.0f, 3000, false, false}},
    {"JitterBeyondToleranceEarlier",
     [] { return TrainWithOneEdgeMoved(441, -11); },
     1,
     {5000, 5000, 1500, 17, 300, 7797, 50.0f, 3000, false, false}},
    // The four changed samples bring MidRms from 1001 to 1000, the threshold to 300. A sample
    // of exactly -300 does not turn the state low, so 1004 is no edge; one of exactly +300
    // does not make an edge, so the edge comes at 3004 instead of 3000.
    {"SamplesExactlyAtThresholdDoNotSwitch",
     [] {
         return WithSamples(EdgesAt({1000, 1004, 3000, 3004}, 1001),
                            {{1002, -300}, {1003, -300}, {3000, 300}, {3001, 300}});
     },
     1,
     {1000, 1000, 300, 1, 1000, 3004, 22050.0f / 2004.0f, 660, true, false}},
    {"SamplesOneBeyondThresholdSwitch",
     [] {
         return WithSamples(EdgesAt({1000, 1004, 3000, 3004}, 1001),
                            {{1002, -301}, {1003, -301}, {3000, 301}, {3001, 301}});
     },
     1,
     {1000, 1000, 300, 3, 1000, 3004, 3.0f * 22050.0f / 2004.0f, 1981, false, false}},
    {"LevelOf16000IsNoOverload",
     [] { return SquareBlock(441, 16000, 300); },
     1,
     {16000, 16000, 4800, 17, 300, 7797, 50.0f, 3000, true, false}},
    {"LevelOf16001IsOverload",
     [] { return SquareBlock(441, 16001, 300); },
     1,
     {16001, 16001, 4800, 17, 300, 7797, 50.0f, 3000, true, true}},
    {"FullScaleStillMeasures",
     [] { return EdgesAt(EvenlySpacedEdges(300, 441, 7935), 32767); },
     2,
     {32767, 32767, 9830, 17, 300, 7797, 50.0f, 1500, true, true}},
    {"HalfRpmRoundsUp",
     [] { return SquareBlock(560, 8000, 300); },
     1,
     {8000, 8000, 2400, 13, 300, 7580, 39.375f, 2363, true, false}},
};

INSTANTIATE_TEST_SUITE_P(Blocks, KnownReadings, testing::ValuesIn(kReadingCases),
                         [](const auto& info) { return info.param.Name; });

// 39.375 Hz gives 2362.5 RPM: the fractions .5, .25, .5, .625, .5 and .75 over the selector's
// counts, each rounded half up.
TEST(ImpulsesPerRevolution, DivideTheRateAndRoundHalfUp) {
    const SampleBlock block = SquareBlock(560, 8000, 300);
    const std::int32_t expectedRpm[] = {2363, 1181, 788, 591, 473, 394};
    for (std::int32_t impulses = 1; impulses <= 6; ++impulses) {
        const BlockReading r = Analyse(block, impulses);
        EXPECT_EQ(r.Frequency, 39.375f);
        EXPECT_EQ(r.Rpm, expectedRpm[impulses - 1]) << impulses << " impulses per revolution";
    }
}

// A count below 1 has no speed: the reading says Rpm 0 and measures everything else as usual.
TEST(ImpulsesPerRevolution, BelowOneGivesNoSpeed) {
    const SampleBlock block = SineBlock(50.0, 10000.0);
    const BlockReading usual = Analyse(block, 1);
    for (const std::int32_t impulses : {0, -1, -6, INT_MIN}) {
        BlockReading r = Analyse(block, impulses);
        EXPECT_EQ(r.Rpm, 0) << impulses;
        r.Rpm = usual.Rpm;
        ExpectIdenticalReadings(r, usual);
    }
    EXPECT_EQ(Analyse(block, INT_MAX).Rpm, 0);
}

TEST(Edges, ListEveryRisingEdgeInOrder) {
    struct Case {
        std::string Name;
        std::vector<int> Positions; // all of them counted
    };
    const std::vector<Case> cases = {
        {"UnevenGaps", {300, 302, 305, 1000, 1063, 1064 + 64, 7935}},
        {"AcrossWordBoundaries", {318, 320, 383, 385, 447, 449}},
        {"AsDenseAsPossible", EvenlySpacedEdges(kWindowFirst + 1, 2, kWindowLast)},
    };
    for (const Case& c : cases) {
        const BlockReading r = Analyse(EdgesAt(c.Positions, 3000));
        ASSERT_EQ(r.EdgeCount, static_cast<std::int32_t>(c.Positions.size())) << c.Name;
        EXPECT_EQ(std::vector<int>(r.Edges.begin(), r.Edges.begin() + r.EdgeCount), c.Positions)
            << c.Name;
    }
    EXPECT_EQ(Analyse(EdgesAt(EvenlySpacedEdges(kWindowFirst + 1, 2, kWindowLast), 3000)).EdgeCount,
              kMaxEdges);
}

// The state starts high: an edge counts only after the signal has been below -threshold
// inside the window, and a block that enters the window high needs a low first.
TEST(Edges, NeedALowSampleInsideTheWindowFirst) {
    struct Case {
        std::string Name;
        std::vector<int> Positions;
        std::int32_t FirstEdge;
    };
    const std::vector<Case> cases = {
        {"EdgeOnFirstWindowSample", {kWindowFirst, 1000}, 1000},
        {"HighAcrossWindowStart", {200, 1000}, 1000},
        {"EdgeJustAfterWindowStart", {kWindowFirst + 1, 1000}, kWindowFirst + 1},
        {"EdgeOnLastWindowSample", {1000, kWindowLast}, 1000},
        {"EdgeJustAfterWindow", {1000, kWindowLast + 1}, 1000},
    };
    for (const Case& c : cases) {
        const BlockReading r = Analyse(EdgesAt(c.Positions, 3000));
        EXPECT_EQ(r.FirstEdge, c.FirstEdge) << c.Name;
    }
    EXPECT_EQ(Analyse(EdgesAt({1000, kWindowLast}, 3000)).LastEdge, kWindowLast);
    EXPECT_EQ(Analyse(EdgesAt({1000, kWindowLast + 1}, 3000)).Periods, 0);
}

// Block levels a sound card can deliver at its limits.
TEST(Levels, ExtremeBlocks) {
    struct Case {
        std::string Name;
        std::int16_t Level;
        std::int32_t Rms;
    };
    for (const Case& c : {Case{"AllMinimum", -32768, 32768}, Case{"AllMaximum", 32767, 32767},
                          Case{"AllMinusOne", -1, 1}, Case{"AllOne", 1, 1}}) {
        SampleBlock block;
        block.fill(c.Level);
        const BlockReading r = Analyse(block);
        EXPECT_EQ(r.FullRms, c.Rms) << c.Name;
        EXPECT_EQ(r.MidRms, c.Rms) << c.Name;
        EXPECT_EQ(r.EdgeCount, 0) << c.Name;
        EXPECT_EQ(r.Overload, c.Rms > 16000) << c.Name;
    }
}

} // namespace
