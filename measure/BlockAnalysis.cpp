#include "measure/BlockAnalysis.h"

#include <bit>
#include <cmath>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

// The analysis must give exactly what the plain sample-by-sample rules give
// (measure/ReferenceAnalysis.cpp); only the way the sums and the edges are found differs.

namespace {

#if defined(__SSE2__)

// Sum of the squares of count samples; count is a multiple of 16.
// _mm_madd_epi16 squares eight samples and adds neighbours into four 32-bit lanes. A lane can
// reach 2 * 32768^2 = 2^31, one more than a signed lane holds, so the lanes are read as
// unsigned and widened to 64 bits before they are added up.
std::int64_t SumOfSquares(const std::int16_t* samples, std::int32_t count) {
    const __m128i zero = _mm_setzero_si128();
    __m128i low = zero;
    __m128i high = zero;
    for (std::int32_t i = 0; i < count; i += 16) {
        const __m128i x0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(samples + i));
        const __m128i x1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(samples + i + 8));
        const __m128i pairs0 = _mm_madd_epi16(x0, x0);
        const __m128i pairs1 = _mm_madd_epi16(x1, x1);
        low = _mm_add_epi64(low, _mm_unpacklo_epi32(pairs0, zero));
        high = _mm_add_epi64(high, _mm_unpackhi_epi32(pairs0, zero));
        low = _mm_add_epi64(low, _mm_unpacklo_epi32(pairs1, zero));
        high = _mm_add_epi64(high, _mm_unpackhi_epi32(pairs1, zero));
    }
    const __m128i both = _mm_add_epi64(low, high);
    alignas(16) std::int64_t lanes[2];
    _mm_store_si128(reinterpret_cast<__m128i*>(lanes), both);
    return lanes[0] + lanes[1];
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
        const std::int32_t base = kWindowFirst + word;
        while (rising != 0) {
            edges[count++] = base + std::countr_zero(rising);
            rising &= rising - 1;
        }
    }
    return count;
}

#else

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

#endif

std::int32_t RootOfMean(std::int64_t sumOfSquares, std::int32_t count) {
    return static_cast<std::int32_t>(std::sqrt(static_cast<double>(sumOfSquares / count)));
}

} // namespace

BlockReading AnalyseBlock(const SampleBlock& block, std::int32_t impulsesPerRevolution) {
    static_assert(kWindowFirst % 16 == 0 && kWindowSamples % 16 == 0 &&
                  (kBlockSamples - kWindowLast - 1) % 16 == 0);
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
        // |gap - average| <= tolerance as one unsigned range check, so the loop vectorises.
        const std::uint32_t width = 2u * static_cast<std::uint32_t>(tolerance);
        const std::int32_t* edges = reading.Edges.data();
        std::uint32_t outside = 0;
        for (std::int32_t k = 0; k < reading.Periods; ++k) {
            const std::int32_t offset = edges[k + 1] - edges[k] - averagePeriod + tolerance;
            outside |= static_cast<std::uint32_t>(offset > static_cast<std::int32_t>(width)) |
                       static_cast<std::uint32_t>(offset < 0);
        }
        stable = stable && outside == 0;
    }
    reading.Stable = stable;

    reading.Overload = reading.MidRms > kOverloadLevel;
    return reading;
}
