#include "measure/ReferenceAnalysis.h"

#include <cmath>
#include <cstdlib>

namespace {

std::int32_t RmsOf(const std::int16_t* first, std::int32_t count) {
    std::int64_t sumOfSquares = 0;
    for (std::int32_t i = 0; i < count; ++i) {
        const std::int32_t x = first[i];
        sumOfSquares += x * x;
    }
    const std::int64_t meanSquare = sumOfSquares / count;
    return static_cast<std::int32_t>(std::sqrt(static_cast<double>(meanSquare)));
}

} // namespace

BlockReading AnalyseBlockReference(const SampleBlock& block, std::int32_t impulsesPerRevolution) {
    BlockReading reading;
    reading.FullRms = RmsOf(block.data(), kBlockSamples);
    reading.MidRms = RmsOf(block.data() + kWindowFirst, kWindowSamples);
    reading.Threshold = static_cast<std::int32_t>(reading.MidRms * 0.3);

    const std::int32_t threshold = reading.Threshold;
    bool high = true;
    for (std::int32_t i = kWindowFirst; i <= kWindowLast; ++i) {
        const std::int32_t x = block[i];
        if (high && x < -threshold) {
            high = false;
        } else if (!high && x > threshold) {
            high = true;
            reading.Edges[reading.EdgeCount++] = i;
        }
    }
    reading.Periods = reading.EdgeCount - 1;
    if (reading.EdgeCount > 0) {
        reading.FirstEdge = reading.Edges[0];
        reading.LastEdge = reading.Edges[reading.EdgeCount - 1];
    }

    if (reading.LastEdge != reading.FirstEdge && reading.LastEdge > 0) {
        const std::int32_t product = reading.Periods * kSampleRate;
        const std::int32_t span = reading.LastEdge - reading.FirstEdge;
        reading.Frequency =
            static_cast<float>(static_cast<double>(product) / static_cast<double>(span));
    }

    if (impulsesPerRevolution >= 1) {
        reading.Rpm = static_cast<std::int32_t>(
            static_cast<double>(reading.Frequency) * 60.0 / impulsesPerRevolution + 0.5);
    }

    reading.Stable = !(reading.Frequency < kMinSteadyFrequency);
    if (reading.Periods >= 1) {
        const std::int32_t averagePeriod = (reading.LastEdge - reading.FirstEdge) / reading.Periods;
        const std::int32_t tolerance = averagePeriod / 50 + 2;
        for (std::int32_t k = 0; k < reading.Periods; ++k) {
            const std::int32_t deviation = reading.Edges[k + 1] - reading.Edges[k] - averagePeriod;
            if (std::abs(deviation) > tolerance) {
                reading.Stable = false;
            }
        }
    }

    reading.Overload = reading.MidRms > kOverloadLevel;
    return reading;
}
