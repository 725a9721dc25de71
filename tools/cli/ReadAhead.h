// Hands out samples as consecutive blocks of 8192 while a thread of its own reads the next
// megabyte: a large read costs far less than many small ones, and the next chunk arrives while
// the caller analyses this one. Two chunks of a megabyte keep memory flat however long the input.
//
// The object's calls belong to one thread; `produce` runs on the reading thread only.
#pragma once

#include "measure/BlockAnalysis.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <span>

class ReadAhead {
public:
    // Puts up to `wanted` samples into `out` and returns how many; 0 means the end. May throw;
    // NextBlock() raises the exception again in place of the chunk being read (up to 64 blocks
    // read before the failure in that chunk are not handed out).
    using Producer = std::function<std::size_t(std::int16_t* out, std::size_t wanted)>;

    // Reading starts with the first NextBlock().
    explicit ReadAhead(Producer produce);
    // Stops the reading thread and waits for it.
    ~ReadAhead();
    ReadAhead(const ReadAhead&) = delete;
    ReadAhead& operator=(const ReadAhead&) = delete;

    // The next 8192 samples, or nullptr at the end, when Tail() holds what was left over. The
    // block stays valid until the next call. Allocates nothing.
    const SampleBlock* NextBlock();

    // The samples after the last whole block (0..8191 of them), once NextBlock() returned
    // nullptr; valid until the object goes. Empty before.
    std::span<const std::int16_t> Tail() const;

    struct Impl;

private:
    std::unique_ptr<Impl> Self;
};
