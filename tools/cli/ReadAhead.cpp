#include "tools/cli/ReadAhead.h"

#include <array>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

namespace {

// Blocks read at a time: 1 MiB.
constexpr std::size_t kChunkBlocks = 64;
static_assert(sizeof(SampleBlock) == kBlockSamples * sizeof(std::int16_t),
              "blocks must be contiguous samples to be read as one run");

} // namespace

struct ReadAhead::Impl {
    Producer Produce;

    struct Chunk {
        std::vector<SampleBlock> Blocks = std::vector<SampleBlock>(kChunkBlocks);
        std::size_t Count = 0;    // complete blocks
        std::int64_t Partial = 0; // samples after them, at the end of the input only
        bool Last = false;        // the input ends in this chunk
        bool Full = false;        // filled by the reader, not yet handed back by the caller
        std::exception_ptr Error; // the reader's failure, raised again on the caller's side
    };
    std::array<Chunk, 2> Chunks;
    std::size_t Current = 0; // chunk the caller takes blocks from
    bool Holding = false;    // the caller has taken the current chunk from the reader
    std::size_t NextInChunk = 0;
    bool Started = false;
    bool Finished = false;
    std::span<const std::int16_t> Tail;
    std::mutex Lock;
    std::condition_variable Changed;
    bool StopReading = false;
    std::thread Reader;

    // Fills a chunk; returns whether the input ended in it.
    bool FillChunk(Chunk& chunk) {
        std::int16_t* const first = chunk.Blocks.front().data();
        const std::size_t capacity = chunk.Blocks.size() * kBlockSamples;
        std::size_t filled = 0;
        bool ended = false;
        while (filled < capacity) {
            const std::size_t got = Produce(first + filled, capacity - filled);
            if (got == 0) {
                ended = true;
                break;
            }
            filled += got;
        }
        chunk.Count = filled / kBlockSamples;
        chunk.Partial = static_cast<std::int64_t>(filled % kBlockSamples);
        return ended;
    }

    void ReadChunks() {
        for (std::size_t index = 0;; index = 1 - index) {
            Chunk& chunk = Chunks[index];
            {
                std::unique_lock guard(Lock);
                Changed.wait(guard, [&] { return StopReading || !chunk.Full; });
                if (StopReading) {
                    return;
                }
            }
            bool last = true;
            std::exception_ptr error;
            try {
                last = FillChunk(chunk);
            } catch (...) {
                error = std::current_exception();
            }
            {
                const std::lock_guard guard(Lock);
                chunk.Last = last;
                chunk.Error = error;
                chunk.Full = true;
            }
            Changed.notify_all();
            if (last) {
                return;
            }
        }
    }

    void StopReader() {
        if (Reader.joinable()) {
            {
                const std::lock_guard guard(Lock);
                StopReading = true;
            }
            Changed.notify_all();
            Reader.join();
        }
    }
};

ReadAhead::ReadAhead(Producer produce) : Self(std::make_unique<Impl>()) {
    Self->Produce = std::move(produce);
}

ReadAhead::~ReadAhead() {
    Self->StopReader();
}

const SampleBlock* ReadAhead::NextBlock() {
    Impl& s = *Self;
    if (s.Finished) {
        return nullptr;
    }
    if (!s.Started) {
        s.Started = true;
        s.Reader = std::thread([&s] { s.ReadChunks(); });
    }
    for (;;) {
        Impl::Chunk& chunk = s.Chunks[s.Current];
        if (!s.Holding) {
            std::unique_lock guard(s.Lock);
            s.Changed.wait(guard, [&chunk] { return chunk.Full; });
            s.Holding = true;
            s.NextInChunk = 0;
        }
        if (chunk.Error) {
            s.Finished = true;
            std::rethrow_exception(chunk.Error);
        }
        if (s.NextInChunk < chunk.Count) {
            return &chunk.Blocks[s.NextInChunk++];
        }
        if (chunk.Last) {
            // What is left over at the end is the partial block.
            s.Finished = true;
            if (chunk.Count < chunk.Blocks.size()) {
                s.Tail = {chunk.Blocks[chunk.Count].data(),
                          static_cast<std::size_t>(chunk.Partial)};
            }
            s.StopReader();
            return nullptr;
        }
        // Done with this chunk: hand it back for reading and go on with the other.
        {
            const std::lock_guard guard(s.Lock);
            chunk.Full = false;
        }
        s.Changed.notify_all();
        s.Current = 1 - s.Current;
        s.Holding = false;
    }
}

std::span<const std::int16_t> ReadAhead::Tail() const {
    return Self->Tail;
}
