// `analyse`: a recording, by name or on the standard input, read by either method.
#include "tools/cli/AnalyseSupport.h"
#include "tools/cli/Commands.h"
#include "tools/cli/ExitCodes.h"
#include "tools/cli/FileSource.h"
#include "tools/cli/OutputFile.h"
#include "tools/cli/Plot.h"
#include "tools/cli/ReadingsLoop.h"

#include <cstdio>
#include <optional>

std::string DescribeRecording(const FileSource& source, std::int32_t channel) {
    const RecordingInfo& info = source.Info();
    std::string text = source.ShortName() + " (" + info.Format + ", " +
                       std::to_string(info.SampleRate) + " Hz, " + std::to_string(info.Channels) +
                       (info.Channels == 1 ? " channel)" : " channels)");
    if (info.Channels > 1) {
        text += ", channel " + std::to_string(channel);
    }
    if (source.Resamples()) {
        text += ", resampled to 22050 Hz";
    }
    return text;
}

std::string TruncationNote(const FileSource& source) {
    const std::int64_t missing = source.MissingFrames();
    if (missing <= 0) {
        return {};
    }
    const std::int64_t declared = source.DeclaredFrames();
    const std::int64_t rate = source.Info().SampleRate;
    char text[192];
    std::snprintf(text, sizeof text,
                  "is truncated: its header promises %lld samples (%.3f s) but the file holds "
                  "%lld (%.3f s)",
                  static_cast<long long>(declared), static_cast<double>(declared) / rate,
                  static_cast<long long>(declared - missing),
                  static_cast<double>(declared - missing) / rate);
    return text;
}

BlockReading WithClockCorrection(BlockReading reading, double clockPpm, std::int32_t ppr) {
    if (clockPpm == 0.0) {
        return reading;
    }
    reading.Frequency = static_cast<float>(reading.Frequency * (1.0 + clockPpm * 1e-6));
    reading.Rpm = ppr < 1 ? 0 : static_cast<std::int32_t>(reading.Frequency * 60.0 / ppr + 0.5);
    return reading;
}

int RunAnalyse(const AnalyseOptions& options, std::ostream& out, std::ostream& err) {
    ReadingsOptions method;
    method.Method = options.Method;
    method.Ppr = options.Ppr;
    method.ClockPpm = options.ClockPpm;
    method.TimeoutSeconds = options.TimeoutSeconds;
    method.Plot = !options.PlotPath.empty();
    CheckReadingsOptions(method);
    const bool tracker = options.Method == AnalysisMethod::Tracker;

    // The tracker reads the file at its own rate.
    FileSource source(options.File, options.Channel, /*fileRate=*/tracker);
    // Claimed, and the plotting module loaded, before the analysis, so that neither fails
    // only after an hour of recording.
    std::optional<AtomicOutputFile> plotFile;
    if (method.Plot) {
        plotFile.emplace(options.PlotPath);
        LoadPlotModule();
    }

    ReadingWriter writer(options.Format, out);
    ReadingsRun run = ReadAll(source, method, writer, out);
    RunSummary& summary = run.Summary;
    const std::int32_t rate = source.SampleRate();
    const std::string truncation = TruncationNote(source);
    if (summary.Blocks == 0) {
        // The length in the header promised a block, but the data ended early.
        const std::string need = tracker ? " Hz; the analysis needs at least 8192/22050 s (0.372 s)"
                                         : " Hz; the analysis needs at least one block of 8192 "
                                           "samples (0.372 s)";
        throw CliError(kExitTooShort, source.Subject() + " is too short: " +
                                          std::to_string(summary.SkippedSamples) + " samples at " +
                                          std::to_string(rate) + need +
                                          (truncation.empty() ? "" : "; the file " + truncation));
    }
    summary.Recording = DescribeRecording(source, options.Channel);
    if (tracker) {
        summary.Recording += ", read by the speed tracker";
    }
    writer.WriteSummary(summary);
    if (summary.SkippedSamples > 0 && options.Format != OutputFormat::Table) {
        char note[128];
        std::snprintf(note, sizeof note,
                      "note: final partial block of %lld samples (%.3f s) not analysed\n",
                      static_cast<long long>(summary.SkippedSamples),
                      static_cast<double>(summary.SkippedSamples) / rate);
        err << note;
    }
    if (!truncation.empty()) {
        // The readings of the blocks that are there are sound; the user must still learn that
        // the recording ends before its header says, on stderr so the rows stay parseable.
        err << "note: " << source.Subject() << " " << truncation << "; the " << summary.Blocks
            << (summary.Blocks == 1 ? " whole block" : " whole blocks") << " in it were analysed\n";
    }
    out.flush();
    if (!out) {
        throw CliError(kExitOutputUnwritable, "cannot write the readings to the standard output");
    }

    if (plotFile) {
        WritePlot(*plotFile,
                  source.ShortName() + ", " + std::to_string(options.Ppr) +
                      (options.Ppr == 1 ? " impulse" : " impulses") + " per revolution" +
                      (tracker ? ", speed tracker" : ""),
                  run);
    }
    return kExitOk;
}
