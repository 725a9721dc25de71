#include "tools/cli/Cli.h"

#include "tools/cli/Commands.h"
#include "tools/cli/ExitCodes.h"

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
Reads any file libsndfile decodes (WAV, FLAC, AIFF, Ogg...), takes one channel and resamples
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
)";

constexpr const char* kGenerateHelp = R"(
Writes the signal a sensor would give at the given speed: --rpm x --ppr / 60 impulses per
second, below 11025. Analysing the file gives the speed back within the analysis's resolution.
)";

constexpr const char* kListenHelp = R"(
Records the default sound input (16-bit mono 22050 Hz) in blocks of 8192 samples, as the
window does, and writes one row per block as it completes, in the same columns as analyse,
coloured by verdict when the output is a terminal (unless NO_COLOR is set). Stops after
--seconds (rounded up to whole blocks) or on Ctrl-C; the table then ends with a summary. The
--record file is complete and valid however listening ends.
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
  2    bad command line: unknown command or option, missing argument, bad number or choice
  3    input file missing, unreadable, or not a regular file (a directory, FIFO, device)
  4    input is not audio that can be decoded: an empty file, a damaged header (no
       channels, a sample rate outside 1000..768000 Hz) or one cut off inside its header
  5    the input has no such channel
  6    recording too short: less than one block of 8192 samples at 22050 Hz (0.372 s)
  7    an output file cannot be written (nothing half-written is left behind)
  8    the sound input cannot be opened or failed while listening
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

// Options arrive as text so that every bad value gets a message in the program's own words.
struct AnalyseArgs {
    std::string File;
    std::string Ppr = "1";
    std::string Channel = "1";
    std::string Format = "table";
    std::string Plot;
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
    return options;
}

struct ListenArgs {
    std::string Ppr = "1";
    std::string Seconds;
    std::string Format = "table";
    std::string Record;
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
    options.Colour = colour;
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
    return options;
}

} // namespace

int RunCli(int argc, const char* const* argv, std::ostream& out, std::ostream& err, bool colour) {
    CLI::App app("Velmorant companion: analyse tachometer recordings, show live readings, "
                 "generate test signals and report the sound devices.",
                 kProgram);
    app.set_version_flag("--version", VELMORANT_VERSION, "Print the version and exit");
    app.require_subcommand(1);
    app.footer(kExitCodeHelp);

    AnalyseArgs analyse;
    CLI::App* analyseCommand = app.add_subcommand(
        "analyse", "Measure the speed in every 8192-sample block of a recording");
    analyseCommand->add_option("FILE", analyse.File, "Recording to analyse")->required();
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
    analyseCommand
        ->add_option("--plot", analyse.Plot,
                     "Also write a PNG of RPM over time, points coloured like the readout "
                     "(lime steady, dark green unsteady, red overload)")
        ->type_name("OUT.png");
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
    listenCommand->footer(std::string(kListenHelp) + kExitCodeHelp);

    GenerateArgs generate;
    CLI::App* generateCommand =
        app.add_subcommand("generate", "Write a test pulse train as 16-bit mono 22050 Hz WAV");
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
            return RunAnalyse(ToOptions(analyse), out, err);
        }
        if (listenCommand->parsed()) {
            return RunListen(ToOptions(listen, colour), out);
        }
        if (devcapsCommand->parsed()) {
            return RunDevCaps(out);
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
