// The scripted backend and its control object. This is test machinery, not a real-time path:
// the device thread runs each script step under the script's lock, which also makes a stop from
// the front end a simple matter of taking that lock.
#include "platform/wave/ScriptedWaveDevice.h"

#include "platform/wave/WaveBackend.h"

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct Step {
    enum class Kind { CompleteNext, Deliver, Feed, StopFeeding, Vanish };
    Kind What = Kind::CompleteNext;
    std::vector<std::int16_t> Samples;
    ScriptedWaveDevice::Generator Source;
    bool RealTime = false;
    std::chrono::microseconds PerBuffer{0};
    std::string Reason;
};

WAVEINCAPS DefaultInputCaps() {
    WAVEINCAPS caps{};
    CopyName(caps.szPname, "Scripted input");
    caps.dwFormats = WAVE_FORMAT_2M16;
    caps.wChannels = 1;
    return caps;
}

WAVEOUTCAPS DefaultOutputCaps() {
    WAVEOUTCAPS caps{};
    CopyName(caps.szPname, "Scripted output");
    caps.dwFormats = WAVE_FORMAT_2M16 | WAVE_FORMAT_2S16;
    caps.wChannels = 2;
    return caps;
}

// Everything the control object, the backend and the device thread share; all of it under
// Mutex.
struct Script {
    std::mutex Mutex;
    std::condition_variable Changed;
    WaveInStatistics Counts;

    bool ControlExists = false;
    MMRESULT OpenResult = MMSYSERR_NOERROR;
    std::string OpenText;
    MMRESULT AddResult = MMSYSERR_NOERROR;
    std::int32_t AddSuccessesLeft = 0;
    MMRESULT StartResult = MMSYSERR_NOERROR;
    std::string StartText;
    WAVEINCAPS InputCaps = DefaultInputCaps();
    MMRESULT InputCapsResult = MMSYSERR_NOERROR;
    WAVEOUTCAPS OutputCaps = DefaultOutputCaps();
    MMRESULT OutputCapsResult = MMSYSERR_NOERROR;
    DWORD Volume = 0;
    MMRESULT VolumeResult = MMSYSERR_NOTSUPPORTED;
    std::chrono::milliseconds StallTimeout{0};

    std::deque<Step> Steps;
    bool Feeding = false;
    ScriptedWaveDevice::Generator FeedSource;
    bool FeedRealTime = false;
    std::chrono::microseconds FeedPerBuffer{0};
    std::int64_t FeedIndex = 0;
    std::vector<std::int16_t> FeedScratch;

    // The open device, if any.
    WaveInCore* Core = nullptr;
    DWORD SampleRate = 0;
    bool Started = false;
    bool Quit = false;
    bool HeadTracked = false;
    std::uint64_t TrackedHead = 0;
    Clock::time_point HeadSince{};

    std::int32_t OpenCount = 0;
    std::int32_t CloseCount = 0;
    std::int32_t AddCalls = 0;
    std::int64_t CompletedBase = 0;
    std::int64_t ViolationsBase = 0;

    void ResetBehaviour() {
        OpenResult = MMSYSERR_NOERROR;
        OpenText.clear();
        AddResult = MMSYSERR_NOERROR;
        AddSuccessesLeft = 0;
        StartResult = MMSYSERR_NOERROR;
        StartText.clear();
        InputCaps = DefaultInputCaps();
        InputCapsResult = MMSYSERR_NOERROR;
        OutputCaps = DefaultOutputCaps();
        OutputCapsResult = MMSYSERR_NOERROR;
        Volume = 0;
        VolumeResult = MMSYSERR_NOTSUPPORTED;
        StallTimeout = std::chrono::milliseconds(0);
        Steps.clear();
        Feeding = false;
        FeedSource = nullptr;
    }
};

// Copies whole frames of samples to the start of target; returns the bytes copied.
std::size_t CopyFrames(std::span<char> target, std::span<const std::int16_t> samples,
                       std::size_t frameBytes) {
    std::size_t bytes = std::min(target.size(), samples.size_bytes());
    bytes -= bytes % frameBytes;
    if (bytes > 0) { // an empty target has no address to copy to
        std::memcpy(target.data(), samples.data(), bytes);
    }
    return bytes;
}

// The device thread of one open scripted device.
class ScriptedInStream final : public WaveInStream {
public:
    ScriptedInStream(Script& script, WaveInCore& core) : State(script), Core(core) {
        Thread = std::thread([this] { DeviceThread(); });
    }

    ~ScriptedInStream() override {
        {
            std::lock_guard lock(State.Mutex);
            State.Quit = true;
        }
        State.Changed.notify_all();
        Thread.join();
        std::lock_guard lock(State.Mutex);
        State.Quit = false;
        State.Core = nullptr;
        State.Started = false;
        ++State.CloseCount;
        State.Changed.notify_all();
    }

    MMRESULT Start(std::string& detail) override {
        std::lock_guard lock(State.Mutex);
        if (State.StartResult != MMSYSERR_NOERROR) {
            detail = State.StartText;
            return State.StartResult;
        }
        State.Started = true;
        State.HeadTracked = false;
        State.Changed.notify_all();
        return MMSYSERR_NOERROR;
    }

    void Stop() override {
        // Steps run under the lock, so once it is ours no step is half done, and none touches
        // the core again until Start.
        std::lock_guard lock(State.Mutex);
        State.Started = false;
        State.HeadTracked = false;
    }

    MMRESULT AdmitBuffer(std::string& /*detail*/) override {
        std::lock_guard lock(State.Mutex);
        ++State.AddCalls;
        if (State.AddResult == MMSYSERR_NOERROR) {
            return MMSYSERR_NOERROR;
        }
        if (State.AddSuccessesLeft > 0) {
            --State.AddSuccessesLeft;
            return MMSYSERR_NOERROR;
        }
        return State.AddResult;
    }

    void BufferAdded() override {
        std::lock_guard lock(State.Mutex);
        State.Changed.notify_all();
    }

private:
    void DeviceThread() {
        std::unique_lock lock(State.Mutex);
        while (!State.Quit) {
            Clock::time_point wake = Clock::time_point::max();
            if (Progress(wake)) {
                State.Changed.notify_all();
                continue;
            }
            if (wake == Clock::time_point::max()) {
                State.Changed.wait(lock);
            } else {
                State.Changed.wait_until(lock, wake);
            }
        }
    }

    // Does one thing that is due; false (with the time of the next due thing in wake) when
    // nothing is.
    bool Progress(Clock::time_point& wake) {
        const Clock::time_point now = Clock::now();
        const bool running = State.Started && !Core.Failed();
        const bool holding = running && Core.HeldCount() > 0;
        if (!holding) {
            State.HeadTracked = false;
        } else if (!State.HeadTracked || State.TrackedHead != Core.HeadIndex()) {
            State.HeadTracked = true;
            State.TrackedHead = Core.HeadIndex();
            State.HeadSince = now;
        }

        if (!State.Steps.empty()) {
            Step& step = State.Steps.front();
            switch (step.What) {
            case Step::Kind::Feed:
                State.Feeding = true;
                State.FeedSource = std::move(step.Source);
                State.FeedRealTime = step.RealTime;
                State.FeedPerBuffer = step.PerBuffer;
                State.FeedIndex = 0;
                State.Steps.pop_front();
                return true;
            case Step::Kind::StopFeeding:
                State.Feeding = false;
                State.FeedSource = nullptr;
                State.Steps.pop_front();
                return true;
            case Step::Kind::Vanish:
                if (!running) {
                    break;
                }
                Core.Fail(step.Reason.c_str());
                State.Steps.pop_front();
                return true;
            case Step::Kind::CompleteNext:
                if (!holding) {
                    break;
                }
                CompleteWith(step.Samples);
                State.Steps.pop_front();
                return true;
            case Step::Kind::Deliver:
                if (!running) {
                    break;
                }
                DeliverAll(step.Samples);
                State.Steps.pop_front();
                return true;
            }
        } else if (State.Feeding && holding) {
            const Clock::time_point due = State.HeadSince + FeedDelay();
            if (now >= due) {
                FeedHead();
                return true;
            }
            wake = due;
        }

        if (holding && State.StallTimeout.count() > 0) {
            const Clock::time_point due = State.HeadSince + State.StallTimeout;
            if (now >= due) {
                Core.Fail("it stopped delivering samples");
                return true;
            }
            wake = std::min(wake, due);
        }
        return false;
    }

    std::chrono::microseconds FeedDelay() const {
        if (!State.FeedRealTime) {
            return State.FeedPerBuffer;
        }
        const std::size_t frames = Core.HeadSpace().size() / Core.BlockAlign();
        return std::chrono::microseconds(frames * 1'000'000 / std::max<DWORD>(State.SampleRate, 1));
    }

    void CompleteWith(std::span<const std::int16_t> samples) {
        const std::span<char> space = Core.HeadSpace();
        const std::size_t bytes = CopyFrames(space, samples, Core.BlockAlign());
        if (bytes < space.size()) {
            Core.HeadFilled(bytes);
            Core.CompleteHead();
        } else {
            Core.HeadFilled(bytes);
        }
        State.HeadTracked = false;
    }

    void DeliverAll(std::span<const std::int16_t> samples) {
        while (!samples.empty()) {
            const std::span<char> space = Core.HeadSpace();
            const std::size_t bytes = CopyFrames(space, samples, Core.BlockAlign());
            if (bytes == 0) {
                break; // nothing held: the rest is lost, as with a sound card
            }
            Core.HeadFilled(bytes);
            samples = samples.subspan(bytes / sizeof(std::int16_t));
        }
        State.HeadTracked = false;
    }

    void FeedHead() {
        const std::span<char> space = Core.HeadSpace();
        std::vector<std::int16_t>& scratch = State.FeedScratch;
        scratch.assign(space.size() / sizeof(std::int16_t), 0);
        if (State.FeedSource) {
            State.FeedSource(scratch, State.FeedIndex);
        }
        ++State.FeedIndex;
        Core.HeadFilled(CopyFrames(space, scratch, Core.BlockAlign()));
        State.HeadTracked = false;
    }

    Script& State;
    WaveInCore& Core;
    std::thread Thread;
};

class ScriptedBackend final : public WaveBackend {
public:
    MMRESULT OpenInput(const WAVEFORMATEX& format, WaveInCore& core,
                       std::unique_ptr<WaveInStream>& stream, std::string& detail) override {
        std::lock_guard lock(State.Mutex);
        if (State.OpenResult != MMSYSERR_NOERROR) {
            detail = State.OpenText;
            return State.OpenResult;
        }
        if (format.wBitsPerSample != 16) {
            detail = "The sound input device cannot record in this format: the scripted device "
                     "records 16-bit samples only";
            return WAVERR_BADFORMAT;
        }
        if (State.Core != nullptr) {
            detail = "The sound input device is already in use: the scripted device is open";
            return MMSYSERR_ALLOCATED;
        }
        State.Core = &core;
        State.SampleRate = format.nSamplesPerSec;
        State.Started = false;
        State.HeadTracked = false;
        ++State.OpenCount;
        stream = std::make_unique<ScriptedInStream>(State, core);
        return MMSYSERR_NOERROR;
    }

    MMRESULT InputCaps(WAVEINCAPS& caps, std::string& /*detail*/) override {
        std::lock_guard lock(State.Mutex);
        caps = State.InputCaps;
        return State.InputCapsResult;
    }

    MMRESULT OutputCaps(WAVEOUTCAPS& caps, std::string& /*detail*/) override {
        std::lock_guard lock(State.Mutex);
        caps = State.OutputCaps;
        return State.OutputCapsResult;
    }

    MMRESULT OutputVolume(DWORD& volume, std::string& detail) override {
        std::lock_guard lock(State.Mutex);
        if (State.VolumeResult == MMSYSERR_NOTSUPPORTED) {
            detail = "The sound output has no readable volume control";
        }
        volume = State.Volume;
        return State.VolumeResult;
    }

    WaveInStatistics& Statistics() override { return State.Counts; }

    Script State;
};

ScriptedBackend& TheBackend() {
    static ScriptedBackend backend;
    return backend;
}
Script& TheScript() {
    return TheBackend().State;
}

// Every accessor of the control object: runs `use` on the script under its lock and returns
// what it returns.
template <class Use> auto Locked(Use use) {
    Script& script = TheScript();
    std::lock_guard lock(script.Mutex);
    return use(script);
}

// Changes that a waiting device thread must notice: made under the lock, announced after it.
template <class Change> void LockedAndAnnounced(Change change) {
    Locked(change);
    TheScript().Changed.notify_all();
}

void Append(Step step) {
    LockedAndAnnounced([&](Script& script) { script.Steps.push_back(std::move(step)); });
}

} // namespace

ScriptedWaveDevice::ScriptedWaveDevice() {
    Locked([](Script& script) {
        if (script.ControlExists) {
            throw std::logic_error("only one ScriptedWaveDevice may exist at a time");
        }
        script.ControlExists = true;
    });
    // Outside the script's lock: the front end takes its own lock first, then the script's.
    if (!InstallWaveBackend(&TheBackend())) {
        Locked([](Script& script) { script.ControlExists = false; });
        throw std::logic_error("an input device of another backend is still open");
    }
    Locked([](Script& script) {
        script.ResetBehaviour();
        script.OpenCount = 0;
        script.CloseCount = 0;
        script.AddCalls = 0;
        script.CompletedBase = script.Counts.Completed.load();
        script.ViolationsBase = script.Counts.Violations.load();
    });
}

ScriptedWaveDevice::~ScriptedWaveDevice() {
    LockedAndAnnounced([](Script& script) {
        script.ResetBehaviour();
        script.ControlExists = false;
    });
    InstallWaveBackend(nullptr);
}

void ScriptedWaveDevice::SetOpenResult(MMRESULT result, std::string text) {
    Locked([&](Script& script) {
        script.OpenResult = result;
        script.OpenText = std::move(text);
    });
}

void ScriptedWaveDevice::SetAddBufferResult(MMRESULT result, std::int32_t successesFirst) {
    Locked([&](Script& script) {
        script.AddResult = result;
        script.AddSuccessesLeft = std::max(successesFirst, 0);
    });
}

void ScriptedWaveDevice::SetStartResult(MMRESULT result, std::string text) {
    Locked([&](Script& script) {
        script.StartResult = result;
        script.StartText = std::move(text);
    });
}

void ScriptedWaveDevice::SetInputCaps(const WAVEINCAPS& caps, MMRESULT result) {
    Locked([&](Script& script) {
        script.InputCaps = caps;
        script.InputCapsResult = result;
    });
}

void ScriptedWaveDevice::SetOutputCaps(const WAVEOUTCAPS& caps, MMRESULT result) {
    Locked([&](Script& script) {
        script.OutputCaps = caps;
        script.OutputCapsResult = result;
    });
}

void ScriptedWaveDevice::SetVolume(DWORD volume, MMRESULT result) {
    Locked([&](Script& script) {
        script.Volume = volume;
        script.VolumeResult = result;
    });
}

void ScriptedWaveDevice::SetStallTimeout(std::chrono::milliseconds timeout) {
    LockedAndAnnounced([&](Script& script) { script.StallTimeout = timeout; });
}

void ScriptedWaveDevice::CompleteNext(std::span<const std::int16_t> samples) {
    Step step;
    step.What = Step::Kind::CompleteNext;
    step.Samples.assign(samples.begin(), samples.end());
    Append(std::move(step));
}

void ScriptedWaveDevice::Deliver(std::span<const std::int16_t> samples) {
    Step step;
    step.What = Step::Kind::Deliver;
    step.Samples.assign(samples.begin(), samples.end());
    Append(std::move(step));
}

void ScriptedWaveDevice::Feed(Generator generator, Pace pace) {
    Step step;
    step.What = Step::Kind::Feed;
    step.Source = std::move(generator);
    step.RealTime = pace == Pace::RealTime;
    Append(std::move(step));
}

void ScriptedWaveDevice::Feed(Generator generator, std::chrono::microseconds perBuffer) {
    Step step;
    step.What = Step::Kind::Feed;
    step.Source = std::move(generator);
    step.PerBuffer = std::max(perBuffer, std::chrono::microseconds(0));
    Append(std::move(step));
}

void ScriptedWaveDevice::StopFeeding() {
    Step step;
    step.What = Step::Kind::StopFeeding;
    Append(std::move(step));
}

void ScriptedWaveDevice::Vanish(std::string reason) {
    Step step;
    step.What = Step::Kind::Vanish;
    step.Reason = std::move(reason);
    Append(std::move(step));
}

void ScriptedWaveDevice::ClearScript() {
    Locked([](Script& script) {
        script.Steps.clear();
        script.Feeding = false;
        script.FeedSource = nullptr;
    });
}

std::int32_t ScriptedWaveDevice::HeldBuffers() const {
    return Locked([](const Script& script) {
        return script.Core == nullptr ? 0 : static_cast<std::int32_t>(script.Core->HeldCount());
    });
}

std::int64_t ScriptedWaveDevice::CompletedBuffers() const {
    return Locked([](const Script& s) { return s.Counts.Completed.load() - s.CompletedBase; });
}

std::int64_t ScriptedWaveDevice::Violations() const {
    return Locked([](const Script& s) { return s.Counts.Violations.load() - s.ViolationsBase; });
}

std::int32_t ScriptedWaveDevice::OpenCount() const {
    return Locked([](const Script& script) { return script.OpenCount; });
}

std::int32_t ScriptedWaveDevice::CloseCount() const {
    return Locked([](const Script& script) { return script.CloseCount; });
}

bool ScriptedWaveDevice::IsOpen() const {
    return Locked([](const Script& script) { return script.Core != nullptr; });
}

bool ScriptedWaveDevice::IsStarted() const {
    return Locked([](const Script& script) { return script.Started; });
}

std::int32_t ScriptedWaveDevice::PendingSteps() const {
    return Locked([](const Script& s) { return static_cast<std::int32_t>(s.Steps.size()); });
}

std::int32_t ScriptedWaveDevice::AddBufferCalls() const {
    return Locked([](const Script& script) { return script.AddCalls; });
}

bool ScriptedWaveDevice::WaitUntilScriptDone(std::chrono::milliseconds timeout) const {
    Script& script = TheScript();
    std::unique_lock lock(script.Mutex);
    return script.Changed.wait_for(lock, timeout, [&] { return script.Steps.empty(); });
}

bool ScriptedWaveDevice::WaitForHeldBuffers(std::int32_t count,
                                            std::chrono::milliseconds timeout) const {
    Script& script = TheScript();
    std::unique_lock lock(script.Mutex);
    return script.Changed.wait_for(lock, timeout, [&] {
        return script.Core != nullptr &&
               static_cast<std::int32_t>(script.Core->HeldCount()) >= count;
    });
}
