// Block analysis: one captured block of samples in, one reading out.
//
// Pure computation with no side effects and no allocation; safe to call from any thread,
// including several at once. Depends on nothing but the standard library, so the window,
// the command-line companion, the tests and the fuzzers all measure with the same code.
#pragma once

#include <array>
#include <cstdint>

// One completed capture buffer: 8192 signed 16-bit mono PCM samples at 22050 Hz,
// indices 0 to 8191, about 0.3715 s. Exactly 16384 bytes, so a capture buffer can be
// copied into it byte for byte.
using SampleBlock = std::array<std::int16_t, 8192>;
static_assert(sizeof(SampleBlock) == 16384);

inline constexpr std::int32_t kBlockSamples = 8192;
inline constexpr std::int32_t kSampleRate = 22050; // Hz
inline constexpr std::int32_t kWindowFirst = 256;  // first analysed sample
inline constexpr std::int32_t kWindowLast = 7935;  // last analysed sample, inclusive
inline constexpr std::int32_t kWindowSamples = kWindowLast - kWindowFirst + 1; // 7680
// Every rising edge needs at least one low sample before it inside the window.
inline constexpr std::int32_t kMaxEdges = kWindowSamples / 2; // 3840
inline constexpr std::int32_t kOverloadLevel = 16000;         // window RMS above this is overload
inline constexpr float kMinSteadyFrequency = 10.0f;           // Hz

// The result of analysing one block. A plain value; ranges are those any block can produce.
struct BlockReading {
    std::int32_t FullRms = 0;    // RMS of all 8192 samples, truncated; 0..32768
    std::int32_t MidRms = 0;     // RMS of samples 256..7935, truncated; 0..32768
    std::int32_t Threshold = 0;  // hysteresis threshold, trunc(MidRms * 0.3); 0..9830
    std::int32_t Periods = -1;   // rising edges found minus 1; -1 when none; up to kMaxEdges - 1
    std::int32_t FirstEdge = -1; // sample index of the first rising edge; -1 when none
    std::int32_t LastEdge = 0;   // sample index of the last rising edge; 0 when none
    std::int32_t EdgeCount = 0;  // number of valid entries in Edges (Periods + 1)
    // Sample index of every rising edge, ascending; entries from EdgeCount on are 0.
    std::array<std::int32_t, kMaxEdges> Edges{};
    float Frequency = 0.0f; // impulse rate in Hz; 0 when it cannot be measured
    std::int32_t Rpm = 0;   // revolutions per minute, rounded half up
    bool Stable = false;    // steady enough to be trusted
    bool Overload = false;  // input level too high
};

// Analyses one block for the given impulses per revolution (the window's selector gives 1 to
// 6). The block is only read. A count below 1 gives Rpm 0 and leaves every other field as
// usual: there is no speed to divide out, and dividing by zero would make the conversion of the
// result to an integer undefined.
//
// Frequency is Periods * 22050 / (LastEdge - FirstEdge) divided in double precision and rounded
// once to float, which for every count and span a window can hold is the exact quotient
// correctly rounded. Rpm is trunc(Frequency * 60 / impulsesPerRevolution + 0.5) in double.
BlockReading AnalyseBlock(const SampleBlock& block, std::int32_t impulsesPerRevolution);
