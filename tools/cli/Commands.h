// The commands of velmorant-cli, callable without the command line for tests and tools.
//
// Each returns an exit code from tools/cli/ExitCodes.h and throws CliError for a failure the
// user can act on. Main thread only (the plot may start a Qt application object).
#pragma once

#include "measure/SpeedTracker.h"
#include "signal/TestSignal.h"
#include "tools/cli/ReadingWriter.h"

#include <cstdint>
#include <ostream>
#include <string>

// How readings are made: the window's block analysis, or the speed tracker
// (measure/SpeedTracker.h), which follows every impulse across blocks.
enum class AnalysisMethod { Block, Tracker };

struct AnalyseOptions {
    std::string File;         // "-": the standard input
    std::int32_t Ppr = 1;     // impulses per revolution, >= 1 (tracker: at most 4096)
    std::int32_t Channel = 1; // 1-based
    OutputFormat Format = OutputFormat::Table;
    std::string PlotPath; // empty: no plot
    AnalysisMethod Method = AnalysisMethod::Block;
    double ClockPpm = 0.0;                                 // the card's clock error, ppm
    double TimeoutSeconds = kTrackerDefaultTimeoutSeconds; // tracker: no impulse this long is 0
};

// Analyses a recording (File "-": the standard input) block by block and writes one row per
// block to `out`; notes (such as a skipped partial block in CSV or JSON lines) go to `err`.
// Nothing is written to `out` before the first block is complete, so a recording too short for
// one block leaves `out` empty. With the tracker, the file is read at its own rate and the rows
// are the tracker's readings, one per block-length interval.
int RunAnalyse(const AnalyseOptions& options, std::ostream& out, std::ostream& err);

// A block reading as a card whose clock runs `clockPpm` fast would have given it corrected:
// the frequency times (1 + clockPpm / 1e6), the RPM worked out again from it.
BlockReading WithClockCorrection(BlockReading reading, double clockPpm, std::int32_t ppr);

struct CalibrateOptions {
    std::string File;
    std::int32_t Channel = 1; // 1-based
    double ReferenceHz = 0.0; // > 0
    bool Json = false;        // {"clock_ppm": ...} instead of lines for people
};

// Measures the recording card's clock error from a recording of a reference of known
// frequency: writes what was measured and, last, "clock: +148.7 ppm". Throws
// CliError(kExitNoReference) when the recording holds no steady reference of that frequency.
int RunCalibrate(const CalibrateOptions& options, std::ostream& out);

struct GenerateOptions {
    std::string OutPath;
    double Rpm = 0.0;      // revolutions per minute, > 0
    std::int32_t Ppr = 1;  // impulses per revolution, >= 1
    double Seconds = 10.0; // > 0, at most kMaxGenerateSeconds
    PulseShape Shape = PulseShape::Sine;
    double Amplitude = 10000.0; // peak, sample units, 0..32767
    double Noise = 0.0;         // Gaussian sigma, sample units, >= 0
    double Jitter = 0.0;        // largest period deviation, fraction, 0..<1
    // What a real sensor and sound card add (signal/TestSignal.h).
    double Duty = 0.1;        // pulse: high fraction of a period, >0..<1
    bool BandLimited = false; // edges as a sound card's converter delivers them
    double AcCornerHz = 0.0;  // 0: DC-coupled
    double Hum = 0.0;         // fraction of the pulse height
    double HumHz = 50.0;
    PulsePolarity Polarity = PulsePolarity::Positive;
    double Uneven = 0.0;    // magnets' displacement, fraction of their spacing
    double RampToRpm = 0.0; // 0: constant speed
    double RampSeconds = 0.0;
    double ClockPpm = 0.0;                 // the simulated card's clock error
    std::int32_t SampleRate = kSampleRate; // of the file written, Hz
};

// Longest signal `generate` writes: a day, which keeps a 16-bit WAV under its 4 GiB limit.
inline constexpr double kMaxGenerateSeconds = 86400.0;

// Writes the test signal as 16-bit mono WAV (22050 Hz unless asked otherwise) and a one-line
// confirmation to `out`.
int RunGenerate(const GenerateOptions& options, std::ostream& out);

struct ListenOptions {
    std::int32_t Ppr = 1; // impulses per revolution, >= 1
    double Seconds = 0.0; // > 0: stop after this long, rounded up to whole blocks; 0: no end
    OutputFormat Format = OutputFormat::Table;
    std::string RecordPath; // empty: no recording
    std::string PlotPath;   // empty: no plot
    bool Colour = false;    // colour rows by verdict (for a terminal)
    AnalysisMethod Method = AnalysisMethod::Block;
    double ClockPpm = 0.0;
    double TimeoutSeconds = kTrackerDefaultTimeoutSeconds;
};

// Reads the default sound input block by block through the waveform-audio layer, writing one
// row per block to `out` as it completes, until the time is up or a stop is requested
// (Ctrl-C, an ordinary end here). The recording, if asked for, holds every sample taken in,
// also the short tail caught while stopping (reported as skipped, as analyse would); it is
// renamed into place when listening ends, also after the device failed, and so is always a
// complete WAV file; so is the plot, drawn when listening ends. Throws CliError(kExitSoundInput)
// when the input cannot be opened or fails, after writing what was read before the failure.
int RunListen(const ListenOptions& options, std::ostream& out);

// Prints the DevCaps button's report on the default sound output and input devices. Like the
// button, it reports whatever the devices claim and fails only when the report cannot be made.
int RunDevCaps(std::ostream& out);
