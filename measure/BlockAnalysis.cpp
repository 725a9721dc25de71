#include "measure/BlockAnalysis.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

// The analysis must give exactly what the plain sample-by-sample rules give
// (measure/ReferenceAnalysis.cpp); only the way the sums and the edges are found differs.

namespace {

// The shortest and longest distance between consecutive edges.
struct GapRange {
    std::int32_t Shortest;
    std::int32_t Longest;
};

#if defined(__SSE2__)

// Sum of the squares of count samples; count is a multiple of 32.
// _mm_madd_epi16 squares eight samples and adds neighbours into four 32-bit lanes. A lane can
// reach 2 * 32768^2 = 2^31, one more than a signed lane holds, so the lanes are unsigned and
// must be added in 64 bits. Adding the vector as two 64-bit lanes gives lower + 2^32 * upper
// for each pair of 32-bit lanes (modulo 2^64); a second sum of the upper lanes alone recovers
// lower + upper. That is three cheap operations per eight samples instead of a full widening.
std::int64_t SumOfSquares(const std::int16_t* samples, std::int32_t count) {
    __m128i whole0 = _mm_setzero_si128();
    __m128i whole1 = _mm_setzero_si128();
    __m128i upper0 = _mm_setzero_si128();
    __m128i upper1 = _mm_setzero_si128();
    for (std::int32_t i = 0; i < count; i += 32) {
        const auto* at = reinterpret_cast<const __m128i*>(samples + i);
        __m128i x0 = _mm_loadu_si128(at);
        __m128i x1 = _mm_loadu_si128(at + 1);
        __m128i x2 = _mm_loadu_si128(at + 2);
        __m128i x3 = _mm_loadu_si128(at + 3);
        x0 = _mm_madd_epi16(x0, x0);
        x1 = _mm_madd_epi16(x1, x1);
        x2 = _mm_madd_epi16(x2, x2);
        x3 = _mm_madd_epi16(x3, x3);
        whole0 = _mm_add_epi64(whole0, x0);
        whole1 = _mm_add_epi64(whole1, x1);
        whole0 = _mm_add_epi64(whole0, x2);
        whole1 = _mm_add_epi64(whole1, x3);
        upper0 = _mm_add_epi64(upper0, _mm_srli_epi64(x0, 32));
        upper1 = _mm_add_epi64(upper1, _mm_srli_epi64(x1, 32));
        upper0 = _mm_add_epi64(upper0, _mm_srli_epi64(x2, 32));
        upper1 = _mm_add_epi64(upper1, _mm_srli_epi64(x3, 32));
    }
    alignas(16) std::uint64_t whole[2];
    alignas(16) std::uint64_t upper[2];
    _mm_store_si128(reinterpret_cast<__m128i*>(whole), _mm_add_epi64(whole0, whole1));
    _mm_store_si128(reinterpret_cast<__m128i*>(upper), _mm_add_epi64(upper0, upper1));
    const std::uint64_t upperSum = upper[0] + upper[1];
    const std::uint64_t lowerSum = whole[0] + whole[1] - (upperSum << 32);
    return static_cast<std::int64_t>(lowerSum + upperSum);
}

// One bit per sample for 64 consecutive samples, bit k for samples[k].
struct SampleMasks {
    std::uint64_t Below = 0; // sample < -threshold
    std::uint64_t Above = 0; // sample > threshold
};

SampleMasks MasksOf64(const std::int16_t* samples, __m128i negativeThreshold, __m128i threshold) {
    SampleMasks masks;
    for (int part = 0; part < 4; ++part) {
        const std::int16_t* at = samples + 16 * part;
        const __m128i x0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
        const __m128i x1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at + 8));
        // Packing the 16-bit all-ones/all-zeros lanes to bytes keeps them all-ones/all-zeros.
        const __m128i below = _mm_packs_epi16(_mm_cmplt_epi16(x0, negativeThreshold),
                                              _mm_cmplt_epi16(x1, negativeThreshold));
        const __m128i above =
            _mm_packs_epi16(_mm_cmpgt_epi16(x0, threshold), _mm_cmpgt_epi16(x1, threshold));
        const int shift = 16 * part;
        masks.Below |=
            static_cast<std::uint64_t>(static_cast<std::uint32_t>(_mm_movemask_epi8(below)))
            << shift;
        masks.Above |=
            static_cast<std::uint64_t>(static_cast<std::uint32_t>(_mm_movemask_epi8(above)))
            << shift;
    }
    return masks;
}

// The rising edges in each possible byte of a mask: their bit numbers and how many there are.
// Edges are at least two samples apart (each needs a low sample before it), so a byte holds at
// most four.
struct ByteEdgeTable {
    alignas(16) std::int16_t Bits[256][4];
    std::uint8_t Count[256];
};

constexpr ByteEdgeTable MakeByteEdgeTable() {
    ByteEdgeTable table{};
    for (int byte = 0; byte < 256; ++byte) {
        int count = 0;
        for (int bit = 0; bit < 8; ++bit) {
            if ((byte >> bit) & 1) {
                if (count < 4) {
                    table.Bits[byte][count] = static_cast<std::int16_t>(bit);
                }
                ++count;
            }
        }
        table.Count[byte] = static_cast<std::uint8_t>(count);
    }
    return table;
}

constexpr ByteEdgeTable kByteEdges = MakeByteEdgeTable();

// Appends the sample indices of the set bits of one 64-sample word at edges[count] and returns
// the new count. A bit-by-bit loop stalls on its own exit branch when edges are dense, so each
// byte writes four entries from the table unconditionally and the count moves on by as many
// as were real; the next byte overwrites the rest. Writes reach edges[count + 31] at most.
std::int32_t StoreEdges(std::uint64_t rising, std::int32_t base, std::int32_t* edges,
                        std::int32_t count) {
    const __m128i zero = _mm_setzero_si128();
    const __m128i eight = _mm_set1_epi32(8);
    __m128i byteBase = _mm_set1_epi32(base);
    for (int byteIndex = 0; byteIndex < 8; ++byteIndex) {
        const auto byte = static_cast<std::uint8_t>(rising >> (8 * byteIndex));
        const __m128i bits =
            _mm_loadl_epi64(reinterpret_cast<const __m128i*>(kByteEdges.Bits[byte]));
        const __m128i positions = _mm_add_epi32(_mm_unpacklo_epi16(bits, zero), byteBase);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(edges + count), positions);
        count += kByteEdges.Count[byte];
        byteBase = _mm_add_epi32(byteBase, eight);
    }
    return count;
}

// The hysteresis search on bit masks, 64 samples at a time. Going low needs a sample below
// -threshold, going high (a rising edge) one above threshold; as the two sets never overlap,
// the state after a sample is decided by the latest sample in either set. So a sample above
// threshold is an edge exactly when the latest such sample before it was below -threshold.
// Adding `below` to `~above` finds those: inside each run of not-above bits that holds a below
// bit the addition carries out into the above bit that ends the run, and nowhere else. The
// carry out of bit 63 is "the state is low" for the next word, the carry into bit 0 the same
// from the word before; the search starts high, so the first carry is 0.
std::int32_t FindRisingEdges(const std::int16_t* window, std::int32_t threshold,
                             std::int32_t* edges) {
    static_assert(kWindowSamples % 64 == 0);
    // threshold is at most 0.3 * 32768, so both bounds fit in 16 bits.
    const __m128i above = _mm_set1_epi16(static_cast<std::int16_t>(threshold));
    const __m128i below = _mm_set1_epi16(static_cast<std::int16_t>(-threshold));
    std::int32_t count = 0;
    std::uint64_t low = 0;
    for (std::int32_t word = 0; word < kWindowSamples; word += 64) {
        const SampleMasks masks = MasksOf64(window + word, below, above);
        const std::uint64_t notAbove = ~masks.Above;
        const std::uint64_t partial = notAbove + masks.Below;
        const std::uint64_t total = partial + low;
        const std::uint64_t carry = (partial < notAbove) | (total < partial);
        std::uint64_t rising = total & masks.Above;
        low = carry;
        if (rising == 0) {
            continue;
        }
        const std::int32_t base = kWindowFirst + word;
        if (count <= kMaxEdges - 32) {
            count = StoreEdges(rising, base, edges, count);
        } else {
            // Too near the end of the store for whole-byte writes.
            while (rising != 0) {
                edges[count++] = base + std::countr_zero(rising);
                rising &= rising - 1;
            }
        }
    }
    // The byte writes may have left up to three stray entries past the last edge.
    for (std::int32_t k = count; k < count + 4 && k < kMaxEdges; ++k) {
        edges[k] = 0;
    }
    return count;
}

// For count >= 2 edges. Distances lie in 2..7679, so they are compared eight at a time as
// 16-bit lanes.
GapRange GapRangeOf(const std::int32_t* edges, std::int32_t count) {
    const std::int32_t gaps = count - 1;
    std::int32_t k = 0;
    std::int32_t shortest = INT32_MAX;
    std::int32_t longest = 0;
    if (gaps >= 8) {
        __m128i shortestLanes = _mm_set1_epi16(INT16_MAX);
        __m128i longestLanes = _mm_setzero_si128();
        for (; k + 8 <= gaps; k += 8) {
            const auto* at = reinterpret_cast<const __m128i*>(edges + k);
            const auto* next = reinterpret_cast<const __m128i*>(edges + k + 1);
            const __m128i low = _mm_sub_epi32(_mm_loadu_si128(next), _mm_loadu_si128(at));
            const __m128i high = _mm_sub_epi32(_mm_loadu_si128(next + 1), _mm_loadu_si128(at + 1));
            const __m128i lanes = _mm_packs_epi32(low, high);
            shortestLanes = _mm_min_epi16(shortestLanes, lanes);
            longestLanes = _mm_max_epi16(longestLanes, lanes);
        }
        alignas(16) std::int16_t shortestOf[8];
        alignas(16) std::int16_t longestOf[8];
        _mm_store_si128(reinterpret_cast<__m128i*>(shortestOf), shortestLanes);
        _mm_store_si128(reinterpret_cast<__m128i*>(longestOf), longestLanes);
        for (int lane = 0; lane < 8; ++lane) {
            shortest = std::min<std::int32_t>(shortest, shortestOf[lane]);
            longest = std::max<std::int32_t>(longest, longestOf[lane]);
        }
    }
    for (; k < gaps; ++k) {
        const std::int32_t gap = edges[k + 1] - edges[k];
        shortest = std::min(shortest, gap);
        longest = std::max(longest, gap);
    }
    return {shortest, longest};
}

#else // Plain versions where SSE2 is missing.

std::int64_t SumOfSquares(const std::int16_t* samples, std::int32_t count) {
    std::int64_t sum = 0;
    for (std::int32_t i = 0; i < count; ++i) {
        const std::int32_t x = samples[i];
        sum += x * x;
    }
    return sum;
}

std::int32_t FindRisingEdges(const std::int16_t* window, std::int32_t threshold,
                             std::int32_t* edges) {
    std::int32_t count = 0;
    bool high = true;
    for (std::int32_t i = 0; i < kWindowSamples; ++i) {
        const std::int32_t x = window[i];
        if (high && x < -threshold) {
            high = false;
        } else if (!high && x > threshold) {
            high = true;
            edges[count++] = kWindowFirst + i;
        }
    }
    return count;
}

GapRange GapRangeOf(const std::int32_t* edges, std::int32_t count) {
    GapRange range{INT32_MAX, 0};
    for (std::int32_t k = 0; k + 1 < count; ++k) {
        const std::int32_t gap = edges[k + 1] - edges[k];
        range.Shortest = std::min(range.Shortest, gap);
        range.Longest = std::max(range.Longest, gap);
    }
    return range;
}

#endif

std::int32_t RootOfMean(std::int64_t sumOfSquares, std::int32_t count) {
    return static_cast<std::int32_t>(std::sqrt(static_cast<double>(sumOfSquares / count)));
}

} // namespace

BlockReading AnalyseBlock(const SampleBlock& block, std::int32_t impulsesPerRevolution) {
    static_assert(kWindowFirst % 32 == 0 && kWindowSamples % 32 == 0 &&
                  (kBlockSamples - kWindowLast - 1) % 32 == 0);
    BlockReading reading;

    // Head, window and tail in one pass; the full sum is theirs together.
    const std::int16_t* samples = block.data();
    const std::int64_t head = SumOfSquares(samples, kWindowFirst);
    const std::int64_t window = SumOfSquares(samples + kWindowFirst, kWindowSamples);
    const std::int64_t tail =
        SumOfSquares(samples + kWindowLast + 1, kBlockSamples - kWindowLast - 1);
    reading.FullRms = RootOfMean(head + window + tail, kBlockSamples);
    reading.MidRms = RootOfMean(window, kWindowSamples);
    reading.Threshold = static_cast<std::int32_t>(reading.MidRms * 0.3);

    reading.EdgeCount =
        FindRisingEdges(samples + kWindowFirst, reading.Threshold, reading.Edges.data());
    reading.Periods = reading.EdgeCount - 1;
    if (reading.EdgeCount > 0) {
        reading.FirstEdge = reading.Edges[0];
        reading.LastEdge = reading.Edges[reading.EdgeCount - 1];
    }

    if (reading.LastEdge != reading.FirstEdge && reading.LastEdge > 0) {
        // Both integers are exact in double; one division and one rounding to float give the
        // correctly rounded quotient for every period count and span a window can hold.
        const std::int32_t product = reading.Periods * kSampleRate;
        const std::int32_t span = reading.LastEdge - reading.FirstEdge;
        reading.Frequency =
            static_cast<float>(static_cast<double>(product) / static_cast<double>(span));
    }

    // Below 1 the count would divide by zero or turn the speed negative; there is no speed.
    if (impulsesPerRevolution >= 1) {
        reading.Rpm = static_cast<std::int32_t>(
            static_cast<double>(reading.Frequency) * 60.0 / impulsesPerRevolution + 0.5);
    }

    bool stable = reading.Frequency >= kMinSteadyFrequency;
    if (reading.Periods >= 1) {
        const std::int32_t averagePeriod = (reading.LastEdge - reading.FirstEdge) / reading.Periods;
        const std::int32_t tolerance = averagePeriod / 50 + 2;
        // Some distance strays from the average by more than the tolerance exactly when the
        // shortest or the longest one does.
        const GapRange gaps = GapRangeOf(reading.Edges.data(), reading.EdgeCount);
        stable = stable && gaps.Longest - averagePeriod <= tolerance &&
                 averagePeriod - gaps.Shortest <= tolerance;
    }
    reading.Stable = stable;

    reading.Overload = reading.MidRms > kOverloadLevel;
    return reading;
}
