// What a RIFF WAVE header declares, read from the bytes themselves: libsndfile rejects impossible
// rates and channel counts with a vague message, and quietly trims a data chunk that runs past
// the end of the file, so the companion reads these figures on its own to say what is wrong.
//
// Pure: no I/O, no allocation, any thread.
#pragma once

#include <cstdint>
#include <span>

struct WavHeader {
    bool Riff = false;            // starts as a RIFF WAVE file
    std::int64_t RiffBytes = 0;   // the whole file's length as the header declares it, bytes
    bool Found = false;           // a RIFF WAVE file with a complete "fmt " chunk
    std::int64_t Channels = 0;    // as declared, 0..65535
    std::int64_t SampleRate = 0;  // as declared, Hz, 0..2^32-1
    std::int64_t DataFrames = -1; // frames the data chunk declares; -1 when unknown
};

// Reads the header from the start of a file. `bytes` may end anywhere (the head of a stream, a
// cut-off file): what lies beyond it counts as absent. Chunks before the data chunk are skipped
// by their declared sizes (padded to even), at most 4096 of them.
WavHeader ProbeWavHeader(std::span<const std::uint8_t> bytes);
