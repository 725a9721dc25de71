// Small helpers shared by the waveform-audio layer's tests.
#pragma once

#include "platform/wave/WaveAudio.h"

#include <array>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <thread>
#include <vector>

// The program's format: 16-bit mono PCM at 22050 Hz.
inline constexpr WAVEFORMATEX kProgramFormat{WAVE_FORMAT_PCM, 1, 22050, 44100, 2, 16, 0};
inline constexpr std::size_t kBufferSamples = 8192;

// One capture buffer and its header, armed the way the program arms them.
struct CaptureBuffer {
    std::array<std::int16_t, kBufferSamples> Samples{};
    WAVEHDR Header{};

    void Arm() {
        Header = WAVEHDR{};
        Header.lpData = reinterpret_cast<char*>(Samples.data());
        Header.dwBufferLength = sizeof Samples;
    }
    // Arms, prepares and queues the buffer; the result of waveInAddBuffer.
    MMRESULT Queue(HWAVEIN device) {
        Arm();
        waveInPrepareHeader(device, &Header, sizeof Header);
        return waveInAddBuffer(device, &Header, sizeof Header);
    }
    LPARAM Address() const { return reinterpret_cast<LPARAM>(&Header); }
};

// first, first + 1, ... (wrapping in 16 bits): every sample tells where it came from.
inline std::vector<std::int16_t> Ramp(std::int32_t first, std::size_t count) {
    std::vector<std::int16_t> samples(count);
    for (std::size_t i = 0; i < count; ++i) {
        samples[i] = static_cast<std::int16_t>(first + static_cast<std::int32_t>(i));
    }
    return samples;
}

// Calls waveInUnprepareHeader until it stops answering WAVERR_STILLPLAYING, as the program's
// busy wait does, but gives up after timeout so that a broken device fails the test instead of
// hanging it. Returns the last result.
inline MMRESULT UnprepareWhenReleased(HWAVEIN device, WAVEHDR& header,
                                      std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    MMRESULT result = WAVERR_STILLPLAYING;
    while ((result = waveInUnprepareHeader(device, &header, sizeof header)) ==
               WAVERR_STILLPLAYING &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::yield();
    }
    return result;
}

// Fills a record with 0xAB bytes, to see which bytes a call writes.
template <class Record> void Smear(Record& record) {
    std::memset(static_cast<void*>(&record), 0xAB, sizeof record);
}

inline std::string ErrorText(MMRESULT code) {
    char text[256] = {};
    waveInGetErrorTextA(code, text, sizeof text);
    return text;
}
