// The waveform-audio layer's cost per block: the hand-over of a filled buffer from the device
// thread to the caller and back, and the CPU the PortAudio backend spends while capturing in
// real time (goal: a small fraction of the program's budget of 1 % of one core).
#include "platform/wave/ScriptedWaveDevice.h"
#include "platform/wave/WaveAudio.h"
#include "platform/wave/WaveBackend.h"
#include "signal/TestSignal.h"
#ifdef VELMORANT_BENCH_SOFTWARE_SOUND
#include "tests/support/SoftwareSoundDevice.h"
#endif

#include <benchmark/benchmark.h>

#include <sys/resource.h>

#include <array>
#include <chrono>
#include <thread>

namespace {

constexpr WAVEFORMATEX kFormat{WAVE_FORMAT_PCM, 1, 22050, 44100, 2, 16, 0};

struct Buffer {
    std::array<std::int16_t, 8192> Samples{};
    WAVEHDR Header{};

    MMRESULT Queue(HWAVEIN device) {
        Header = WAVEHDR{};
        Header.lpData = reinterpret_cast<char*>(Samples.data());
        Header.dwBufferLength = sizeof Samples;
        waveInPrepareHeader(device, &Header, sizeof Header);
        return waveInAddBuffer(device, &Header, sizeof Header);
    }
};

// One block through the layer with the device as fast as it can be: completion on the device
// thread, release seen by the caller's busy wait, re-queue. The layer's own overhead per block.
void BM_ScriptedBlockRoundTrip(benchmark::State& state) {
    ScriptedWaveDevice scripted;
    HWAVEIN device = nullptr;
    if (waveInOpen(&device, WAVE_MAPPER, &kFormat, 0, 0, CALLBACK_NULL) != MMSYSERR_NOERROR) {
        state.SkipWithError("the scripted device did not open");
        return;
    }
    std::array<Buffer, 2> buffers;
    for (Buffer& buffer : buffers) {
        buffer.Queue(device);
    }
    scripted.Feed({});
    waveInStart(device);
    int current = 0;
    for (auto _ : state) {
        WAVEHDR& header = buffers[current].Header;
        while (waveInUnprepareHeader(device, &header, sizeof header) == WAVERR_STILLPLAYING) {
        }
        buffers[current].Queue(device);
        current = 1 - current;
    }
    waveInReset(device);
    waveInClose(device);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ScriptedBlockRoundTrip);

#ifdef VELMORANT_BENCH_SOFTWARE_SOUND
double CpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// Ten seconds of real-time capture from the software sound device through PortAudio, the
// caller checking every 50 ms (so that its own share is negligible). Reports the process's CPU
// use as a percentage of one core; the sound server's own share is not included.
void BM_PortAudioCaptureCpu(benchmark::State& state) {
    PulseTrainSettings settings;
    settings.FrequencyHz = 40.0;
    settings.Shape = PulseShape::Pulse;
    std::vector<std::int16_t> samples(30 * 22050);
    PulseTrainGenerator(settings).Generate(samples);
    std::string whyNot;
    auto sound = SoftwareSoundDevice::Create(samples, whyNot);
    if (sound == nullptr) {
        state.SkipWithError(("no software sound device: " + whyNot).c_str());
        return;
    }
    InstallWaveBackend(nullptr); // the system's input, whatever ran before
    constexpr int kBlocks = 27;
    double cpuPercent = 0.0;
    for (auto _ : state) {
        HWAVEIN device = nullptr;
        if (waveInOpen(&device, WAVE_MAPPER, &kFormat, 0, 0, CALLBACK_NULL) != MMSYSERR_NOERROR) {
            state.SkipWithError("the software sound device did not open");
            return;
        }
        std::array<Buffer, 2> buffers;
        for (Buffer& buffer : buffers) {
            buffer.Queue(device);
        }
        const double cpuBefore = CpuSeconds();
        const auto wallBefore = std::chrono::steady_clock::now();
        waveInStart(device);
        int current = 0;
        for (int block = 0; block < kBlocks; ++block) {
            WAVEHDR& header = buffers[current].Header;
            while (waveInUnprepareHeader(device, &header, sizeof header) == WAVERR_STILLPLAYING) {
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
            }
            buffers[current].Queue(device);
            current = 1 - current;
        }
        const double wall =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - wallBefore).count();
        cpuPercent = 100.0 * (CpuSeconds() - cpuBefore) / wall;
        waveInReset(device);
        waveInClose(device);
        state.SetIterationTime(wall);
    }
    state.counters["cpu_percent"] = cpuPercent;
}
BENCHMARK(BM_PortAudioCaptureCpu)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);
#endif

} // namespace
