#include "tools/cli/Cli.h"

#include "tools/cli/Commands.h"
#include "tools/cli/ExitCodes.h"
#include "tools/cli/Plot.h"

#include <CLI/CLI.hpp>

#include <charconv>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <system_error>

#ifndef VELMORANT_VERSION
#error "VELMORANT_VERSION must come from the build"
#endif

namespace {

constexpr const char* kProgram = "velmorant-cli";

constexpr const char* kAnalyseHelp = R"(
Reads any file libsndfile decodes (WAV, FLAC, AIFF, Ogg...), or with FILE - the standard input
(a pipe from another program, in whatever format libsndfile reads from there: WAV, FLAC,
Ogg...; the rows are those of the same file by name), takes one channel and resamples
it to 22050 Hz when the file has another rate, then cuts it into consecutive blocks of 8192
samples (0.372 s) and analyses each exactly as the window does. A final partial block is
reported as skipped, not analysed. Columns: block, start_s, rpm, frequency_hz, steady,
overload, full_rms, mid_rms, periods. rpm is the whole number the window's readout shows;
frequency_hz, to 0.001 Hz, keeps the finer figure (RPM = frequency_hz x 60 / ppr). overload
means mid_rms above 16000, the readout's red: a level, not a test for clipping. The table ends
with a summary; its counts follow the readout's colours (overload wins over steadiness) and its
RPM figures cover steady blocks.
A file cut off before the end its header promises (a copy or a recorder that stopped short)
is analysed as far as it goes, with a note on stderr saying so; the exit code stays 0.

--method tracker reads the file at its own rate, without resampling, through the speed
tracker: it follows every impulse across blocks, times each edge to a fraction of a sample
from the signal's own high and low levels, and takes the speed over whole revolutions. It
reads what the block analysis cannot: slow shafts (down to one impulse in several seconds),
narrow pulses of either polarity, AC-coupled inputs, hum, noise and unevenly spaced magnets.
It gives one row per 8192/22050 s of signal, in line with the block method's rows, in the
same columns: rpm with 3 decimals, frequency_hz (the impulse rate) with 7; full_rms and
mid_rms are empty ('-' in the table, null in JSON lines): the tracker measures no block levels;
periods is the number of impulse intervals the speed was taken over, 0 when no impulse came
in the row.
Such a row repeats the last speed while the next impulse is not yet overdue, then falls as if
an impulse came at the row's end (a stopping shaft), and reads 0 after --timeout seconds
without an impulse. steady: the last three whole revolutions each last within 1 % (plus half
a sample) of their mean. overload: the input clips at full scale.

--clock-ppm P corrects every reading, with either method, for a sound card whose clock runs
P ppm fast (or slow, negative): frequencies and RPM are multiplied by (1 + P/1e6). Measure P
with `calibrate`.
)";

constexpr const char* kCalibrateHelp = R"(
Measures the clock error of the sound card that made a recording of a reference of known
frequency: a tone from a calibrated generator, a GPS receiver's 1 PPS output or the like,
recorded for 10 s or more. The file is read at its own rate by the speed tracker; after the
first second and the first four impulses every reading must be steady and within 0.5 % of
--reference-hz, otherwise the recording is refused (exit code 9). The rate over all impulses
after that gives the error. The last line ends with the error in ppm, e.g. "clock: +148.7 ppm" (positive: the
card's clock runs fast, it reads every frequency that much low); pass it to --clock-ppm of
analyse or listen. --format json prints {"clock_ppm": ...} with what it was measured from.
)";

constexpr const char* kGenerateHelp = R"(
Writes the signal a sensor would give at the given speed: --rpm x --ppr / 60 impulses per
second, below half the sample rate. Analysing the file gives the speed back within the
analysis's resolution.

What a real sensor, its cable and a sound card add, for testing with realistic signals:
--band-limited edges as a converter delivers them (rising over about two samples, with
ringing), --ac-hz the corner of the input capacitor's high-pass (2 to 50 Hz on most cards),
--hum mains hum as a fraction of the pulse height at --hum-hz, --polarity negative for pulses
that go down from a high level, --uneven magnets displaced from even spacing (0.025 with
--ppr 4 spaces them 4-5 % unevenly), --ramp-to a speed reached linearly over --ramp-seconds,
--clock-ppm a recording card whose clock runs that fast, --rate the file's sample rate.
)";

constexpr const char* kListenHelp = R"(
Records the default sound input (16-bit mono 22050 Hz) in blocks of 8192 samples, as the
window does, and writes one row per block as it completes, in the same columns as analyse,
coloured by verdict when the output is a terminal (unless NO_COLOR is set). Stops after
--seconds (rounded up to whole blocks) or on Ctrl-C; the table then ends with a summary. The
--record file is complete and valid however listening ends. --method and --clock-ppm work as
for analyse; with the tracker the rows are its readings, one per block (see analyse --help).
)";

constexpr const char* kListenPlotHelp =
    R"(--plot draws the run when listening ends, also after the input failed; like
--record, the file is complete or not there.
)";

constexpr const char* kDevCapsHelp = R"(
Prints the report of the window's DevCaps button: the names of the default output and input
devices, the sample formats each claims at 11.025, 22.05 and 44.1 kHz, the output's volume
control and present volume, and whether it claims sample-accurate position information.
)";

constexpr const char* kExitCodeHelp = R"(
Exit codes:
  0    success
  1    unexpected internal failure
  2    bad command line: unknown command or option, missing argument, bad number or choice,
       or an option this build of the program does not have (--plot without the GUI toolkit)
  3    input file missing, unreadable, or not a regular file (a directory, FIFO, device),
       or analyse - with a terminal as the standard input
  4    input is not audio that can be decoded: an empty file, a damaged header (no
       channels, a sample rate outside 1000..768000 Hz) or one cut off inside its header
  5    the input has no such channel
  6    recording too short: less than one block of 8192 samples at 22050 Hz (0.372 s)
  7    an output file cannot be written (nothing half-written is left behind)
  8    the sound input cannot be opened or failed while listening
  9    calibrate: the recording holds no steady reference of the given frequency
  130  analyse or generate interrupted by Ctrl-C or SIGTERM (nothing half-written is
       left behind; for listen, Ctrl-C is the ordinary end and gives 0)
)";

[[noreturn]] void BadValue(const std::string& option, const std::string& why) {
    throw CliError(kExitUsage, option + ": " + why);
}

std::string Quote(const std::string& text) {
    return "'" + text + "'";
}

// A whole number of at least `minimum`; anything else names the option and the text.
std::int32_t ParseWhole(const std::string& option, const std::string& text, std::int32_t minimum) {
    std::int64_t value = 0;
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value);
    if (text.empty() || stop != end || error == std::errc::invalid_argument) {
        BadValue(option, Quote(text) + " is not a whole number");
    }
    if (error == std::errc::result_out_of_range ||
        value > std::numeric_limits<std::int32_t>::max()) {
        BadValue(option, text + " is too large");
    }
    if (value < minimum) {
        BadValue(option, "must be " + std::to_string(minimum) + " or more, not " + text);
    }
    return static_cast<std::int32_t>(value);
}

// A finite decimal number.
double ParseReal(const std::string& option, const std::string& text) {
    double value = 0.0;
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value);
    if (text.empty() || stop != end || error != std::errc() || !std::isfinite(value)) {
        BadValue(option, Quote(text) + " is not a number");
    }
    return value;
}

// A finite number from `low` to `high`; `rule` says so in words.
double ParseRange(const std::string& option, const std::string& text, double low, double high,
                  const std::string& rule) {
    const double value = ParseReal(option, text);
    if (!(value >= low && value <= high)) {
        BadValue(option, "must be " + rule + ", not " + text);
    }
    return value;
}

AnalysisMethod ToMethod(const std::string& text) {
    if (text == "block") {
        return AnalysisMethod::Block;
    }
    if (text == "tracker") {
        return AnalysisMethod::Tracker;
    }
    BadValue("--method", Quote(text) + " is not one of block, tracker");
}

double ToClockPpm(const std::string& text) {
    return ParseRange("--clock-ppm", text, -kTrackerMaxClockPpm, kTrackerMaxClockPpm,
                      "from -100000 to 100000");
}

double ToTimeout(const std::string& text) {
    return ParseRange("--timeout", text, 0.01, 86400.0, "from 0.01 to 86400 seconds");
}

// Options arrive as text so that every bad value gets a message in the program's own words.
struct AnalyseArgs {
    std::string File;
    std::string Ppr = "1";
    std::string Channel = "1";
    std::string Format = "table";
    std::string Plot;
    std::string Method = "block";
    std::string ClockPpm = "0";
    std::string Timeout = "10";
};

struct CalibrateArgs {
    std::string File;
    std::string ReferenceHz;
    std::string Channel = "1";
    std::string Format = "text";
};

struct GenerateArgs {
    std::string Out;
    std::string Rpm;
    std::string Ppr = "1";
    std::string Seconds = "10";
    std::string Shape = "sine";
    std::string Amplitude = "10000";
    std::string Noise = "0";
    std::string Jitter = "0";
    std::string Duty = "0.1";
    bool BandLimited = false;
    std::string AcHz = "0";
    std::string Hum = "0";
    std::string HumHz = "50";
    std::string Polarity = "positive";
    std::string Uneven = "0";
    std::string RampTo;
    std::string RampSeconds;
    std::string ClockPpm = "0";
    std::string Rate = "22050";
};

OutputFormat ToFormat(const std::string& text) {
    const auto format = ParseOutputFormat(text);
    if (!format) {
        BadValue("--format", Quote(text) + " is not one of table, csv, jsonl");
    }
    return *format;
}

AnalyseOptions ToOptions(const AnalyseArgs& args) {
    AnalyseOptions options;
    options.File = args.File;
    options.Ppr = ParseWhole("--ppr", args.Ppr, 1);
    options.Channel = ParseWhole("--channel", args.Channel, 1);
    options.Format = ToFormat(args.Format);
    options.PlotPath = args.Plot;
    options.Method = ToMethod(args.Method);
    options.ClockPpm = ToClockPpm(args.ClockPpm);
    options.TimeoutSeconds = ToTimeout(args.Timeout);
    return options;
}

CalibrateOptions ToOptions(const CalibrateArgs& args) {
    CalibrateOptions options;
    options.File = args.File;
    options.Channel = ParseWhole("--channel", args.Channel, 1);
    options.ReferenceHz = ParseReal("--reference-hz", args.ReferenceHz);
    if (!(options.ReferenceHz > 0.0)) {
        BadValue("--reference-hz", "must be more than 0, not " + args.ReferenceHz);
    }
    if (args.Format == "json") {
        options.Json = true;
    } else if (args.Format != "text") {
        BadValue("--format", Quote(args.Format) + " is not one of text, json");
    }
    return options;
}

struct ListenArgs {
    std::string Ppr = "1";
    std::string Seconds;
    std::string Format = "table";
    std::string Record;
    std::string Plot;
    std::string Method = "block";
    std::string ClockPpm = "0";
    std::string Timeout = "10";
};

ListenOptions ToOptions(const ListenArgs& args, bool colour) {
    ListenOptions options;
    options.Ppr = ParseWhole("--ppr", args.Ppr, 1);
    if (!args.Seconds.empty()) {
        options.Seconds = ParseReal("--seconds", args.Seconds);
        if (!(options.Seconds > 0.0)) {
            BadValue("--seconds", "must be more than 0, not " + args.Seconds);
        }
    }
    options.Format = ToFormat(args.Format);
    options.RecordPath = args.Record;
    options.PlotPath = args.Plot;
    options.Colour = colour;
    options.Method = ToMethod(args.Method);
    options.ClockPpm = ToClockPpm(args.ClockPpm);
    options.TimeoutSeconds = ToTimeout(args.Timeout);
    return options;
}

GenerateOptions ToOptions(const GenerateArgs& args) {
    GenerateOptions options;
    options.OutPath = args.Out;
    options.Rpm = ParseReal("--rpm", args.Rpm);
    if (!(options.Rpm > 0.0)) {
        BadValue("--rpm", "must be more than 0, not " + args.Rpm);
    }
    options.Ppr = ParseWhole("--ppr", args.Ppr, 1);
    options.Seconds = ParseReal("--seconds", args.Seconds);
    if (!(options.Seconds > 0.0 && options.Seconds <= kMaxGenerateSeconds)) {
        BadValue("--seconds", "must be more than 0 and at most 86400 (a day), not " + args.Seconds);
    }
    if (args.Shape == "sine") {
        options.Shape = PulseShape::Sine;
    } else if (args.Shape == "square") {
        options.Shape = PulseShape::Square;
    } else if (args.Shape == "pulse") {
        options.Shape = PulseShape::Pulse;
    } else {
        BadValue("--shape", Quote(args.Shape) + " is not one of sine, square, pulse");
    }
    options.Amplitude = ParseReal("--amplitude", args.Amplitude);
    if (!(options.Amplitude >= 0.0 && options.Amplitude <= 32767.0)) {
        BadValue("--amplitude", "must be from 0 to 32767, not " + args.Amplitude);
    }
    options.Noise = ParseReal("--noise", args.Noise);
    if (!(options.Noise >= 0.0)) {
        BadValue("--noise", "must be 0 or more, not " + args.Noise);
    }
    options.Jitter = ParseReal("--jitter", args.Jitter);
    if (!(options.Jitter >= 0.0 && options.Jitter < 1.0)) {
        BadValue("--jitter", "must be 0 or more and less than 1, not " + args.Jitter);
    }
    options.Duty = ParseReal("--duty", args.Duty);
    if (!(options.Duty > 0.0 && options.Duty < 1.0)) {
        BadValue("--duty", "must be more than 0 and less than 1, not " + args.Duty);
    }
    options.BandLimited = args.BandLimited;
    options.AcCornerHz = ParseReal("--ac-hz", args.AcHz);
    if (!(options.AcCornerHz == 0.0 ||
          (options.AcCornerHz >= 0.1 && options.AcCornerHz <= 1000.0))) {
        BadValue("--ac-hz", "must be 0 (DC-coupled) or from 0.1 to 1000, not " + args.AcHz);
    }
    options.Hum = ParseRange("--hum", args.Hum, 0.0, 1.0, "from 0 to 1");
    options.HumHz = ParseRange("--hum-hz", args.HumHz, 1.0, 1000.0, "from 1 to 1000");
    if (args.Polarity == "positive") {
        options.Polarity = PulsePolarity::Positive;
    } else if (args.Polarity == "negative") {
        options.Polarity = PulsePolarity::Negative;
    } else {
        BadValue("--polarity", Quote(args.Polarity) + " is not one of positive, negative");
    }
    options.Uneven = ParseRange("--uneven", args.Uneven, 0.0, 0.2, "from 0 to 0.2");
    if (args.RampTo.empty() != args.RampSeconds.empty()) {
        BadValue(args.RampTo.empty() ? "--ramp-seconds" : "--ramp-to",
                 "--ramp-to and --ramp-seconds go together");
    }
    if (!args.RampTo.empty()) {
        options.RampToRpm = ParseReal("--ramp-to", args.RampTo);
        if (!(options.RampToRpm > 0.0)) {
            BadValue("--ramp-to", "must be more than 0, not " + args.RampTo);
        }
        options.RampSeconds = ParseReal("--ramp-seconds", args.RampSeconds);
        if (!(options.RampSeconds > 0.0)) {
            BadValue("--ramp-seconds", "must be more than 0, not " + args.RampSeconds);
        }
    }
    options.ClockPpm = ToClockPpm(args.ClockPpm);
    options.SampleRate = ParseWhole("--rate", args.Rate, 1000);
    if (options.SampleRate > 768000) {
        BadValue("--rate", "must be from 1000 to 768000, not " + args.Rate);
    }
    return options;
}

// Adds --plot to a command. Without the feature it is still recognised, so that asking for it
// gets a message saying why it is not there, but it is not listed.
void AddPlotOption(CLI::App* command, std::string& path, bool offered) {
    CLI::Option* option =
        command
            ->add_option("--plot", path,
                         "Also write a PNG of RPM over time, points coloured like the readout "
                         "(lime steady, dark green unsteady, red overload)")
            ->type_name("OUT.png");
    if (!offered) {
        option->group("");
    }
}

void RefuseMissingPlot(const std::string& path, bool offered) {
    if (!path.empty() && !offered) {
        BadValue("--plot", "this build of velmorant-cli cannot draw plots (it was built without "
                           "the GUI toolkit, VELMORANT_BUILD_GUI=OFF)");
    }
}

} // namespace

CliFeatures BuiltFeatures() {
    CliFeatures features;
    features.Plot = kHavePlot;
    return features;
}

int RunCli(int argc, const char* const* argv, std::ostream& out, std::ostream& err, bool colour) {
    return RunCli(argc, argv, out, err, colour, BuiltFeatures());
}

int RunCli(int argc, const char* const* argv, std::ostream& out, std::ostream& err, bool colour,
           const CliFeatures& wanted) {
    const bool plot = wanted.Plot && kHavePlot;

    CLI::App app("Velmorant companion: analyse tachometer recordings, show live readings, "
                 "generate test signals, measure a sound card's clock and report the sound "
                 "devices.",
                 kProgram);
    app.set_version_flag("--version", VELMORANT_VERSION, "Print the version and exit");
    app.require_subcommand(1);
    app.footer(kExitCodeHelp);

    AnalyseArgs analyse;
    CLI::App* analyseCommand = app.add_subcommand(
        "analyse", "Measure the speed in every 8192-sample block of a recording");
    analyseCommand
        ->add_option("FILE", analyse.File,
                     "Recording to analyse; - reads it from the standard input")
        ->required();
    analyseCommand
        ->add_option("--ppr", analyse.Ppr, "Impulses per revolution, a whole number from 1 up")
        ->type_name("N")
        ->capture_default_str();
    analyseCommand->add_option("--channel", analyse.Channel, "Channel to analyse, counted from 1")
        ->type_name("C")
        ->capture_default_str();
    analyseCommand
        ->add_option("--format", analyse.Format,
                     "Output: table (aligned, with a summary), csv (with a header row) or jsonl "
                     "(one JSON object per line)")
        ->type_name("table|csv|jsonl")
        ->capture_default_str();
    AddPlotOption(analyseCommand, analyse.Plot, plot);
    analyseCommand
        ->add_option("--method", analyse.Method,
                     "block: the window's analysis of each block; tracker: the speed tracker, "
                     "which follows every impulse at the file's own rate (see below)")
        ->type_name("block|tracker")
        ->capture_default_str();
    analyseCommand
        ->add_option("--clock-ppm", analyse.ClockPpm,
                     "The recording card's clock runs P ppm fast (negative: slow); readings are "
                     "corrected. Measure it with calibrate")
        ->type_name("P")
        ->capture_default_str();
    analyseCommand
        ->add_option("--timeout", analyse.Timeout,
                     "Tracker: seconds without an impulse after which the speed reads 0")
        ->type_name("S")
        ->capture_default_str();
    analyseCommand->footer(std::string(kAnalyseHelp) + kExitCodeHelp);

    ListenArgs listen;
    CLI::App* listenCommand =
        app.add_subcommand("listen", "Show live readings from the default sound input");
    listenCommand
        ->add_option("--ppr", listen.Ppr, "Impulses per revolution, a whole number from 1 up")
        ->type_name("N")
        ->capture_default_str();
    listenCommand
        ->add_option("--seconds", listen.Seconds,
                     "Stop after this many seconds (> 0); without it, run until Ctrl-C")
        ->type_name("S");
    listenCommand
        ->add_option("--format", listen.Format,
                     "Output: table (aligned, with a summary), csv (with a header row) or jsonl "
                     "(one JSON object per line)")
        ->type_name("table|csv|jsonl")
        ->capture_default_str();
    listenCommand
        ->add_option("--record", listen.Record,
                     "Also save the raw input as 16-bit mono 22050 Hz WAV")
        ->type_name("OUT.wav");
    AddPlotOption(listenCommand, listen.Plot, plot);
    listenCommand
        ->add_option("--method", listen.Method,
                     "block: the window's analysis of each block; tracker: the speed tracker "
                     "(see analyse --help)")
        ->type_name("block|tracker")
        ->capture_default_str();
    listenCommand
        ->add_option("--clock-ppm", listen.ClockPpm,
                     "The sound card's clock runs P ppm fast (negative: slow); readings are "
                     "corrected. Measure it with calibrate")
        ->type_name("P")
        ->capture_default_str();
    listenCommand
        ->add_option("--timeout", listen.Timeout,
                     "Tracker: seconds without an impulse after which the speed reads 0")
        ->type_name("S")
        ->capture_default_str();
    listenCommand->footer(std::string(kListenHelp) + (plot ? kListenPlotHelp : "") + kExitCodeHelp);

    CalibrateArgs calibrate;
    CLI::App* calibrateCommand = app.add_subcommand(
        "calibrate", "Measure the sound card's clock error from a recorded reference");
    calibrateCommand->add_option("FILE", calibrate.File, "Recording of the reference")->required();
    calibrateCommand
        ->add_option("--reference-hz", calibrate.ReferenceHz,
                     "The reference's true frequency, Hz (> 0)")
        ->type_name("F")
        ->required();
    calibrateCommand->add_option("--channel", calibrate.Channel, "Channel to read, counted from 1")
        ->type_name("C")
        ->capture_default_str();
    calibrateCommand
        ->add_option("--format", calibrate.Format,
                     "Output: text (lines for people, the last ending in ppm) or json")
        ->type_name("text|json")
        ->capture_default_str();
    calibrateCommand->footer(std::string(kCalibrateHelp) + kExitCodeHelp);

    GenerateArgs generate;
    CLI::App* generateCommand = app.add_subcommand(
        "generate", "Write a test pulse train as 16-bit mono WAV (22050 Hz unless --rate)");
    generateCommand->add_option("OUT", generate.Out, "WAV file to write")
        ->type_name("OUT.wav")
        ->required();
    generateCommand->add_option("--rpm", generate.Rpm, "Speed, revolutions per minute (> 0)")
        ->type_name("R")
        ->required();
    generateCommand
        ->add_option("--ppr", generate.Ppr, "Impulses per revolution, a whole number from 1 up")
        ->type_name("N")
        ->capture_default_str();
    generateCommand
        ->add_option("--seconds", generate.Seconds, "Length in seconds (> 0, at most 86400)")
        ->type_name("S")
        ->capture_default_str();
    generateCommand->add_option("--shape", generate.Shape, "Impulse shape")
        ->type_name("sine|square|pulse")
        ->capture_default_str();
    generateCommand
        ->add_option("--amplitude", generate.Amplitude, "Peak level in sample units, 0 to 32767")
        ->type_name("A")
        ->capture_default_str();
    generateCommand
        ->add_option("--noise", generate.Noise,
                     "Standard deviation of added Gaussian noise, in sample units")
        ->type_name("SIGMA")
        ->capture_default_str();
    generateCommand
        ->add_option("--jitter", generate.Jitter,
                     "Largest random deviation of each period, as a fraction of it (0 to <1)")
        ->type_name("J")
        ->capture_default_str();
    generateCommand
        ->add_option("--duty", generate.Duty,
                     "Pulse shape: high fraction of each period (more than 0, less than 1)")
        ->type_name("D")
        ->capture_default_str();
    generateCommand->add_flag("--band-limited", generate.BandLimited,
                              "Edges as a sound card's converter delivers them");
    generateCommand
        ->add_option("--ac-hz", generate.AcHz,
                     "AC coupling: corner of a first-order high-pass, Hz (0: DC-coupled)")
        ->type_name("F")
        ->capture_default_str();
    generateCommand
        ->add_option("--hum", generate.Hum, "Mains hum, as a fraction of the pulse height (0 to 1)")
        ->type_name("H")
        ->capture_default_str();
    generateCommand->add_option("--hum-hz", generate.HumHz, "Mains frequency, Hz (50 or 60)")
        ->type_name("F")
        ->capture_default_str();
    generateCommand
        ->add_option("--polarity", generate.Polarity,
                     "positive: pulses go up; negative: they go down from a high level")
        ->type_name("positive|negative")
        ->capture_default_str();
    generateCommand
        ->add_option("--uneven", generate.Uneven,
                     "Magnets displaced from even spacing by up to this fraction of it (0 to "
                     "0.2); the revolution stays whole")
        ->type_name("U")
        ->capture_default_str();
    generateCommand
        ->add_option("--ramp-to", generate.RampTo,
                     "Speed to reach, RPM, rising or falling linearly from --rpm")
        ->type_name("R");
    generateCommand
        ->add_option("--ramp-seconds", generate.RampSeconds,
                     "Length of the ramp in seconds; the speed stays at --ramp-to after it")
        ->type_name("S");
    generateCommand
        ->add_option("--clock-ppm", generate.ClockPpm,
                     "Record as a card whose clock runs P ppm fast (negative: slow)")
        ->type_name("P")
        ->capture_default_str();
    generateCommand->add_option("--rate", generate.Rate, "Sample rate of the file, Hz")
        ->type_name("HZ")
        ->capture_default_str();
    generateCommand->footer(std::string(kGenerateHelp) + kExitCodeHelp);

    CLI::App* devcapsCommand = app.add_subcommand(
        "devcaps", "Print what the default sound output and input devices claim");
    devcapsCommand->footer(std::string(kDevCapsHelp) + kExitCodeHelp);

    // Left to itself the parser would call an unknown command a missing one.
    if (argc >= 2 && argv[1][0] != '-' &&
        app.get_subcommands([&](const CLI::App* command) { return command->get_name() == argv[1]; })
            .empty()) {
        std::string names;
        for (const CLI::App* command : app.get_subcommands({})) {
            names += (names.empty() ? "" : ", ") + command->get_name();
        }
        err << kProgram << ": unknown command '" << argv[1] << "'; the commands are " << names
            << " (see " << kProgram << " --help)\n";
        return kExitUsage;
    }
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        if (error.get_exit_code() == static_cast<int>(CLI::ExitCodes::Success)) {
            return app.exit(error, out, err); // --help, --version
        }
        err << kProgram << ": " << error.what() << " (see " << kProgram << " --help)\n";
        return kExitUsage;
    }

    try {
        if (analyseCommand->parsed()) {
            RefuseMissingPlot(analyse.Plot, plot);
            return RunAnalyse(ToOptions(analyse), out, err);
        }
        if (listenCommand->parsed()) {
            RefuseMissingPlot(listen.Plot, plot);
            return RunListen(ToOptions(listen, colour), out);
        }
        if (devcapsCommand->parsed()) {
            return RunDevCaps(out);
        }
        if (calibrateCommand->parsed()) {
            return RunCalibrate(ToOptions(calibrate), out);
        }
        return RunGenerate(ToOptions(generate), out);
    } catch (const CliError& error) {
        out.flush();
        err << kProgram << ": " << error.what() << '\n';
        return error.Code();
    } catch (const std::exception& error) {
        out.flush();
        err << kProgram << ": internal error: " << error.what() << '\n';
        return kExitInternal;
    }
}
