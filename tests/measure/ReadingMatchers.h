// Comparing whole readings in tests.
#pragma once

#include "measure/BlockAnalysis.h"

#include <gtest/gtest.h>

#include <bit>
#include <cstddef>
#include <cstdint>
#include <string>

// Every field equal, the frequency to the bit and the whole edge store included.
inline void ExpectIdenticalReadings(const BlockReading& actual, const BlockReading& expected,
                                    const std::string& context = {}) {
    EXPECT_EQ(actual.FullRms, expected.FullRms) << context;
    EXPECT_EQ(actual.MidRms, expected.MidRms) << context;
    EXPECT_EQ(actual.Threshold, expected.Threshold) << context;
    EXPECT_EQ(actual.Periods, expected.Periods) << context;
    EXPECT_EQ(actual.FirstEdge, expected.FirstEdge) << context;
    EXPECT_EQ(actual.LastEdge, expected.LastEdge) << context;
    EXPECT_EQ(actual.EdgeCount, expected.EdgeCount) << context;
    for (std::size_t k = 0; k < actual.Edges.size(); ++k) {
        if (actual.Edges[k] != expected.Edges[k]) {
            ADD_FAILURE() << context << ": edge " << k << " is " << actual.Edges[k] << ", not "
                          << expected.Edges[k];
            break;
        }
    }
    EXPECT_EQ(std::bit_cast<std::uint32_t>(actual.Frequency),
              std::bit_cast<std::uint32_t>(expected.Frequency))
        << context << ": " << actual.Frequency << " vs " << expected.Frequency;
    EXPECT_EQ(actual.Rpm, expected.Rpm) << context;
    EXPECT_EQ(actual.Stable, expected.Stable) << context;
    EXPECT_EQ(actual.Overload, expected.Overload) << context;
}
