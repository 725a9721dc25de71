// The window's work per block and its cost over real-time capture.
//
// BM_CompletionToDrawn: from the device completing a buffer to the readout and scope updated
// (message post, dispatch, copy, analysis, readout, scope), with the scripted device. Goal: 2 ms
// or less; the block period is 371 ms.
// BM_CaptureCpuShare: the window capturing from the software sound device in real time for
// VELMORANT_BENCH_SECONDS (default 60); reports the process's CPU time as a share of one core.
// Goal: under 1 %.
#include "app/MainForm.h"
#include "platform/forms/Forms.h"
#include "platform/forms/FormsTesting.h"
#include "platform/wave/ScriptedWaveDevice.h"
#include "signal/TestSignal.h"
#include "tests/support/SoftwareSoundDevice.h"

#include <benchmark/benchmark.h>

#include <sys/resource.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <vector>

namespace {

double ProcessCpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

void BM_CompletionToDrawn(benchmark::State& state) {
    ScriptedWaveDevice device;
    auto form = std::make_unique<TForm1>(nullptr);
    const SampleBlock blocks[] = {SineBlock(50.0, 10000.0), SineBlock(75.0, 9000.0)};
    form->Button1->Click();
    std::int64_t handled = 0;
    for (auto _ : state) {
        const std::int32_t expected = 1 - form->CurrentBuffer;
        device.CompleteNext(blocks[handled % 2]);
        // The device has returned the buffer and posted its message; time its handling only.
        while (device.HeldBuffers() != 1) {
        }
        const auto start = std::chrono::steady_clock::now();
        while (form->CurrentBuffer != expected) {
            Application->ProcessMessages();
        }
        state.SetIterationTime(
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
        ++handled;
    }
    state.SetItemsProcessed(handled);
    form->Button1->Click();
    TCloseAction action = caHide;
    form->FormClose(form.get(), action);
}
BENCHMARK(BM_CompletionToDrawn)->Unit(benchmark::kMicrosecond)->UseManualTime();

void BM_CaptureCpuShare(benchmark::State& state) {
    const char* seconds = std::getenv("VELMORANT_BENCH_SECONDS");
    const int durationMs = 1000 * (seconds != nullptr ? std::atoi(seconds) : 60);
    PulseTrainSettings settings;
    settings.FrequencyHz = 50.0;
    settings.Shape = PulseShape::Pulse;
    PulseTrainGenerator generator(settings);
    std::vector<std::int16_t> samples(std::size_t(durationMs / 1000 + 5) * 22050);
    generator.Generate(samples);
    std::string whyNot;
    const auto sound = SoftwareSoundDevice::Create(samples, whyNot);
    if (sound == nullptr) {
        state.SkipWithError(("no software sound device: " + whyNot).c_str());
        return;
    }
    // The real message loop, as the program runs it, ended by a timer: a polling wait would
    // measure its own polling.
    Application->CreateForm(Form1);
    TForm1* form = Form1;
    for (auto _ : state) {
        form->Button1->Click();
        const double cpuBefore = ProcessCpuSeconds();
        const auto start = std::chrono::steady_clock::now();
        TestWatchdog stopAfter(durationMs);
        Application->Run();
        const double wall =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        const double cpu = ProcessCpuSeconds() - cpuBefore;
        form->StopButton->Click();
        state.counters["cpu_percent_of_one_core"] = 100.0 * cpu / wall;
        state.counters["readout_rpm"] = std::atof(form->FreqLabel->Caption().c_str());
    }
}
BENCHMARK(BM_CaptureCpuShare)->Iterations(1)->Unit(benchmark::kSecond);

} // namespace

int main(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    TApplication application(argc, argv);
    application.Initialize();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
