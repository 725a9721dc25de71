// The commands of velmorant-cli, callable without the command line for tests and tools.
//
// Each returns an exit code from tools/cli/ExitCodes.h and throws CliError for a failure the
// user can act on. Main thread only (the plot may start a Qt application object).
#pragma once

#include "signal/TestSignal.h"
#include "tools/cli/ReadingWriter.h"

#include <cstdint>
#include <ostream>
#include <string>

struct AnalyseOptions {
    std::string File;
    std::int32_t Ppr = 1;     // impulses per revolution, >= 1
    std::int32_t Channel = 1; // 1-based
    OutputFormat Format = OutputFormat::Table;
    std::string PlotPath; // empty: no plot
};

// Analyses a recording block by block and writes one row per block to `out`; notes (such as a
// skipped partial block in CSV or JSON lines) go to `err`. Nothing is written to `out` before
// the first block is complete, so a recording too short for one block leaves `out` empty.
int RunAnalyse(const AnalyseOptions& options, std::ostream& out, std::ostream& err);

struct GenerateOptions {
    std::string OutPath;
    double Rpm = 0.0;      // revolutions per minute, > 0
    std::int32_t Ppr = 1;  // impulses per revolution, >= 1
    double Seconds = 10.0; // > 0, at most kMaxGenerateSeconds
    PulseShape Shape = PulseShape::Sine;
    double Amplitude = 10000.0; // peak, sample units, 0..32767
    double Noise = 0.0;         // Gaussian sigma, sample units, >= 0
    double Jitter = 0.0;        // largest period deviation, fraction, 0..<1
};

// Longest signal `generate` writes: a day, which keeps a 16-bit WAV under its 4 GiB limit.
inline constexpr double kMaxGenerateSeconds = 86400.0;

// Writes the test signal as 16-bit mono 22050 Hz WAV and a one-line confirmation to `out`.
int RunGenerate(const GenerateOptions& options, std::ostream& out);

struct ListenOptions {
    std::int32_t Ppr = 1; // impulses per revolution, >= 1
    double Seconds = 0.0; // > 0: stop after this long, rounded up to whole blocks; 0: no end
    OutputFormat Format = OutputFormat::Table;
    std::string RecordPath; // empty: no recording
    bool Colour = false;    // colour rows by verdict (for a terminal)
};

// Reads the default sound input block by block through the waveform-audio layer, writing one
// row per block to `out` as it completes, until the time is up or a stop is requested
// (Ctrl-C, an ordinary end here). The recording, if asked for, holds every sample taken in,
// also the short tail caught while stopping (reported as skipped, as analyse would); it is
// renamed into place when listening ends, also after the device failed, and so is always a
// complete WAV file. Throws CliError(kExitSoundInput) when the input cannot be opened or
// fails, after writing what was read before the failure.
int RunListen(const ListenOptions& options, std::ostream& out);

// Prints the DevCaps button's report on the default sound output and input devices. Like the
// button, it reports whatever the devices claim and fails only when the report cannot be made.
int RunDevCaps(std::ostream& out);
