// The default sound input as consecutive blocks of 8192 samples at 22050 Hz, 16-bit mono, read
// through the waveform-audio layer as the window reads it (four buffers queued, so a slow
// terminal or disk may hold up the reader for more than a second before a sample is lost).
//
// A stop request (Ctrl-C), or the caller's own stop condition, ends the input like its end: the
// blocks that completed while stopping still come, then the short rest as the tail. A failing
// input ends it the same way, and Failure() tells why.
//
// Not thread-safe; one thread uses an object.
#pragma once

#include "tools/cli/BlockSource.h"
#include "tools/cli/ExitCodes.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>

class LiveSource : public BlockSource {
public:
    // Receives every sample taken in, in order: whole blocks, the part a failing input handed
    // back, the tail caught while stopping. May throw, which ends the run.
    using Tap = std::function<void(std::span<const std::int16_t> samples)>;

    // Opens the default input and starts capturing. `blockLimit` > 0 ends the input after so many
    // blocks (no tail), < 0 never. `stopWhen` is asked between blocks; true ends the input as a
    // stop request does. Throws CliError(kExitSoundInput) when the input cannot be opened or
    // started.
    LiveSource(std::int64_t blockLimit, std::function<bool()> stopWhen, Tap tap);
    // Closes the input; waits for nothing, since reset hands every buffer back at once.
    ~LiveSource() override;
    LiveSource(const LiveSource&) = delete;
    LiveSource& operator=(const LiveSource&) = delete;

    std::int32_t SampleRate() const override { return kSampleRate; }
    // The blocks asked for, or -1 when listening has no set end.
    std::int64_t ExpectedSamples() const override;
    // Waits for the next block, polling the device (the sleeps are short beside a block's
    // 371 ms).
    const SampleBlock* NextBlock() override;
    std::span<const std::int16_t> Tail() const override { return TailSamples; }

    // The input's name as the device claims it; empty when it does not say.
    const std::string& DeviceName() const { return Name; }
    // Once NextBlock() has returned nullptr: why the input failed, if it did.
    const std::optional<CliError>& Failure() const { return Failed; }

    struct Device;

private:
    void Release();

    std::int64_t Limit;
    std::function<bool()> StopWhen;
    Tap Take;
    std::unique_ptr<Device> Input;
    std::string Name;
    std::int64_t Delivered = 0;
    std::size_t Next = 0;                // the buffer the device returns next
    std::optional<std::size_t> Returned; // handed to the caller, to be queued again
    bool Draining = false;
    std::size_t DrainLeft = 0;
    bool Ended = false;
    std::span<const std::int16_t> TailSamples;
    std::optional<CliError> Failed;
};
