// Where the companion's readings come from: consecutive blocks of 8192 samples, from a recording
// (tools/cli/FileSource.h) or from the sound input (tools/cli/LiveSource.h), read by one readings
// loop (tools/cli/ReadingsLoop.h).
//
// Not thread-safe; one thread uses an object.
#pragma once

#include "measure/BlockAnalysis.h"

#include <cstdint>
#include <span>

class BlockSource {
public:
    virtual ~BlockSource() = default;

    // Samples per second of the blocks, Hz.
    virtual std::int32_t SampleRate() const = 0;

    // Samples the whole input should give, at SampleRate(); -1 when unknown or endless.
    virtual std::int64_t ExpectedSamples() const = 0;

    // The next 8192 samples, or nullptr at the end of the input. The block belongs to the
    // source and stays valid until the next call. Allocates nothing of its own (a live source's
    // tap may, see LiveSource). Throws CliError when the
    // input fails in a way that ends the run, or when a stop is requested and the source cannot
    // end there (kExitInterrupted).
    virtual const SampleBlock* NextBlock() = 0;

    // Once NextBlock() has returned nullptr: the samples after the last whole block (0..8191),
    // not analysed as a block, valid until the source goes. Empty before.
    virtual std::span<const std::int16_t> Tail() const = 0;
};
