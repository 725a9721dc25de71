#include "tools/cli/WavHeader.h"

#include <algorithm>
#include <cstring>

namespace {

// A data chunk size of these means "unknown" (a recorder that could not go back and fill it in),
// not a promise of so many bytes.
constexpr std::uint32_t kUnknownSizes[] = {0u, 0xFFFFFFFFu};

// Bounded, so a file of countless empty chunks cannot keep us here.
constexpr int kMostChunks = 4096;

std::uint32_t LittleEndian32(const std::uint8_t* bytes) {
    return bytes[0] | (bytes[1] << 8) | (bytes[2] << 16) | (std::uint32_t{bytes[3]} << 24);
}

std::uint32_t LittleEndian16(const std::uint8_t* bytes) {
    return bytes[0] | (bytes[1] << 8);
}

bool Holds(std::span<const std::uint8_t> bytes, std::uint64_t offset, std::uint64_t size) {
    return offset <= bytes.size() && size <= bytes.size() - offset;
}

bool Is(const std::uint8_t* bytes, const char (&tag)[5]) {
    return std::memcmp(bytes, tag, 4) == 0;
}

} // namespace

WavHeader ProbeWavHeader(std::span<const std::uint8_t> bytes) {
    WavHeader header;
    if (!Holds(bytes, 0, 12) || !Is(bytes.data(), "RIFF") || !Is(bytes.data() + 8, "WAVE")) {
        return header;
    }
    header.Riff = true;
    header.RiffBytes = std::int64_t{LittleEndian32(bytes.data() + 4)} + 8;
    std::int64_t blockAlign = 0;
    // 64 bits: a chunk may declare up to 4 GiB, so the next offset may lie far past the bytes.
    std::uint64_t offset = 12;
    for (int chunks = 0; chunks < kMostChunks && Holds(bytes, offset, 8); ++chunks) {
        const std::uint8_t* chunk = bytes.data() + offset;
        const std::uint32_t size = LittleEndian32(chunk + 4);
        if (Is(chunk, "fmt ")) {
            if (size < 16 || !Holds(bytes, offset + 8, 16)) {
                break;
            }
            const std::uint8_t* fmt = chunk + 8;
            header.Found = true;
            header.Channels = LittleEndian16(fmt + 2);
            header.SampleRate = LittleEndian32(fmt + 4);
            blockAlign = LittleEndian16(fmt + 12);
        } else if (Is(chunk, "data")) {
            const bool known = std::find(std::begin(kUnknownSizes), std::end(kUnknownSizes),
                                         size) == std::end(kUnknownSizes);
            if (header.Found && known && blockAlign > 0) {
                header.DataFrames = size / blockAlign;
            }
            break;
        }
        // Chunks are padded to an even size.
        offset += 8 + std::uint64_t{size} + (size & 1u);
    }
    return header;
}
