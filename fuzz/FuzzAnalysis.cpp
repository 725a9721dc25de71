// AnalyseBlock on arbitrary blocks and impulses-per-revolution counts.
//
// Input: the first 4 bytes are the count (little-endian int32, any value, including 0 and
// negatives), the rest are the block's samples (little-endian int16); a short input leaves the
// remaining samples 0 and bytes beyond one block are ignored. Every field of the reading must
// stay within the range the readout, the companion's writers and the scope rely on, and the
// fast analysis must agree bit for bit with the plain one. A violation aborts with the field
// named, so libFuzzer keeps the input.
#include "measure/BlockAnalysis.h"
#include "measure/ReferenceAnalysis.h"

#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

[[noreturn]] void Violation(const char* what, const BlockReading& reading) {
    std::fprintf(stderr,
                 "fuzz_analysis: %s\n  FullRms %d MidRms %d Threshold %d Periods %d FirstEdge %d "
                 "LastEdge %d EdgeCount %d Frequency %.9g Rpm %d Stable %d Overload %d\n",
                 what, reading.FullRms, reading.MidRms, reading.Threshold, reading.Periods,
                 reading.FirstEdge, reading.LastEdge, reading.EdgeCount,
                 static_cast<double>(reading.Frequency), reading.Rpm, reading.Stable,
                 reading.Overload);
    std::abort();
}

void Require(bool holds, const char* what, const BlockReading& reading) {
    if (!holds) {
        Violation(what, reading);
    }
}

bool InWindow(std::int32_t index) {
    return index >= kWindowFirst && index <= kWindowLast;
}

void CheckRanges(const BlockReading& r, std::int32_t impulsesPerRevolution) {
    Require(r.FullRms >= 0 && r.FullRms <= 32768, "FullRms outside 0..32768", r);
    Require(r.MidRms >= 0 && r.MidRms <= 32768, "MidRms outside 0..32768", r);
    Require(r.Threshold == static_cast<std::int32_t>(r.MidRms * 0.3),
            "Threshold is not trunc(MidRms * 0.3)", r);
    Require(r.Periods >= -1 && r.Periods <= kMaxEdges - 1, "Periods outside -1..3839", r);
    Require(r.EdgeCount == r.Periods + 1, "EdgeCount is not Periods + 1", r);

    if (r.EdgeCount == 0) {
        Require(r.FirstEdge == -1, "FirstEdge is not -1 without an edge", r);
        Require(r.LastEdge == 0, "LastEdge is not 0 without an edge", r);
    } else {
        Require(InWindow(r.FirstEdge), "FirstEdge outside 256..7935", r);
        Require(InWindow(r.LastEdge), "LastEdge outside 256..7935", r);
        Require(r.LastEdge >= r.FirstEdge, "LastEdge before FirstEdge", r);
        Require(r.Edges[0] == r.FirstEdge, "first edge position is not FirstEdge", r);
        Require(r.Edges[static_cast<std::size_t>(r.EdgeCount - 1)] == r.LastEdge,
                "last edge position is not LastEdge", r);
    }
    for (std::int32_t k = 0; k < r.EdgeCount; ++k) {
        const std::int32_t edge = r.Edges[static_cast<std::size_t>(k)];
        Require(InWindow(edge), "edge position outside the window", r);
        // Each edge needs a low sample before it, so consecutive edges are at least 2 apart.
        Require(k == 0 || edge - r.Edges[static_cast<std::size_t>(k - 1)] >= 2,
                "edge positions not strictly ascending (2 or more apart)", r);
    }
    for (std::int32_t k = r.EdgeCount; k < kMaxEdges; ++k) {
        Require(r.Edges[static_cast<std::size_t>(k)] == 0, "stray entry after the last edge", r);
    }

    Require(std::isfinite(r.Frequency), "Frequency not finite", r);
    Require(r.Frequency >= 0.0f && r.Frequency <= kSampleRate / 2.0f,
            "Frequency outside 0..11025 Hz", r);
    Require(r.EdgeCount >= 2 || r.Frequency == 0.0f, "Frequency without two edges", r);
    Require(r.Rpm >= 0, "Rpm negative", r);
    Require(impulsesPerRevolution >= 1 || r.Rpm == 0, "Rpm without a valid impulse count", r);
    Require(!r.Stable || r.Frequency >= kMinSteadyFrequency, "Stable below 10 Hz", r);
    Require(r.Overload == (r.MidRms > kOverloadLevel), "Overload is not MidRms > 16000", r);
}

void CheckSameAsReference(const BlockReading& fast, const BlockReading& plain) {
    Require(fast.FullRms == plain.FullRms, "FullRms differs from the reference", fast);
    Require(fast.MidRms == plain.MidRms, "MidRms differs from the reference", fast);
    Require(fast.Threshold == plain.Threshold, "Threshold differs from the reference", fast);
    Require(fast.Periods == plain.Periods, "Periods differs from the reference", fast);
    Require(fast.FirstEdge == plain.FirstEdge, "FirstEdge differs from the reference", fast);
    Require(fast.LastEdge == plain.LastEdge, "LastEdge differs from the reference", fast);
    Require(fast.EdgeCount == plain.EdgeCount, "EdgeCount differs from the reference", fast);
    Require(fast.Edges == plain.Edges, "edge positions differ from the reference", fast);
    Require(std::bit_cast<std::uint32_t>(fast.Frequency) ==
                std::bit_cast<std::uint32_t>(plain.Frequency),
            "Frequency differs from the reference (bits)", fast);
    Require(fast.Rpm == plain.Rpm, "Rpm differs from the reference", fast);
    Require(fast.Stable == plain.Stable, "Stable differs from the reference", fast);
    Require(fast.Overload == plain.Overload, "Overload differs from the reference", fast);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::uint8_t countBytes[4] = {};
    std::memcpy(countBytes, data, size < 4 ? size : 4);
    const auto impulsesPerRevolution = static_cast<std::int32_t>(
        static_cast<std::uint32_t>(countBytes[0]) | static_cast<std::uint32_t>(countBytes[1]) << 8 |
        static_cast<std::uint32_t>(countBytes[2]) << 16 |
        static_cast<std::uint32_t>(countBytes[3]) << 24);

    // Static: a block and two readings are too large for a fuzzer's stack frame to be cheap.
    static SampleBlock block;
    block.fill(0);
    const std::size_t sampleBytes = size > 4 ? size - 4 : 0;
    const std::size_t samples = sampleBytes / 2 < block.size() ? sampleBytes / 2 : block.size();
    for (std::size_t i = 0; i < samples; ++i) {
        block[i] = static_cast<std::int16_t>(static_cast<std::uint16_t>(
            data[4 + 2 * i] | static_cast<std::uint16_t>(data[4 + 2 * i + 1]) << 8));
    }

    static BlockReading fast;
    static BlockReading plain;
    fast = AnalyseBlock(block, impulsesPerRevolution);
    CheckRanges(fast, impulsesPerRevolution);
    plain = AnalyseBlockReference(block, impulsesPerRevolution);
    CheckSameAsReference(fast, plain);
    return 0;
}
