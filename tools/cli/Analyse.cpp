#include "platform/plot/RpmPlot.h"
#include "tools/cli/AnalyseSupport.h"
#include "tools/cli/BlockSource.h"
#include "tools/cli/Commands.h"
#include "tools/cli/ExitCodes.h"
#include "tools/cli/Extras.h"
#include "tools/cli/Interrupt.h"
#include "tools/cli/OutputFile.h"

#include <algorithm>
#include <cstdio>
#include <optional>
#include <vector>

std::string BaseName(const std::string& path) {
    const auto slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string DescribeRecording(const AnalyseOptions& options, const BlockSource& source) {
    const RecordingInfo& info = source.Info();
    std::string text = BaseName(options.File) + " (" + info.Format + ", " +
                       std::to_string(info.SampleRate) + " Hz, " + std::to_string(info.Channels) +
                       (info.Channels == 1 ? " channel)" : " channels)");
    if (info.Channels > 1) {
        text += ", channel " + std::to_string(options.Channel);
    }
    if (source.Resamples()) {
        text += ", resampled to 22050 Hz";
    }
    return text;
}

PlotVerdict PlotVerdictOf(Verdict verdict) {
    switch (verdict) {
    case Verdict::Steady:
        return PlotVerdict::Steady;
    case Verdict::Unsteady:
        return PlotVerdict::Unsteady;
    case Verdict::Overload:
        return PlotVerdict::Overload;
    }
    return PlotVerdict::Unsteady;
}

// "is truncated: ..." when the file holds fewer frames than its header promises, else empty.
std::string TruncationNote(const BlockSource& source) {
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
    if (options.Method == AnalysisMethod::Tracker) {
        return RunAnalyseTracker(options, out, err);
    }
    BlockSource source(options.File, options.Channel);
    // Claimed, and the plotting module loaded, before the analysis, so that neither fails
    // only after an hour of recording.
    std::optional<AtomicOutputFile> plotFile;
    const CliExtras* extras = nullptr;
    if (!options.PlotPath.empty()) {
        plotFile.emplace(options.PlotPath);
        extras = &Extras();
    }

    // Reserved up front so the per-block path does not allocate; a file that under-reports its
    // length only costs a rare regrowth. A header claiming more than a day reserves only that.
    const std::int64_t expected = std::max<std::int64_t>(source.ExpectedSamples(), 0);
    const auto expectedBlocks =
        static_cast<std::size_t>(std::min(expected / kBlockSamples + 1, kDayOfBlocks));
    ReadingTally tally(expectedBlocks);
    std::vector<RpmPoint> points;
    if (plotFile) {
        points.reserve(expectedBlocks);
    }

    ReadingWriter writer(options.Format, out);
    while (const SampleBlock* block = source.NextBlock()) {
        if (StopRequested()) {
            throw CliError(kExitInterrupted, "interrupted");
        }
        const BlockReading reading =
            WithClockCorrection(AnalyseBlock(*block, options.Ppr), options.ClockPpm, options.Ppr);
        const std::int64_t index = tally.Blocks();
        if (index == 0) {
            writer.WriteHeader();
        }
        writer.WriteRow(index, reading);
        if (!out) {
            throw CliError(kExitOutputUnwritable,
                           "cannot write the readings to the standard output");
        }
        const Verdict verdict = tally.Add(reading);
        if (plotFile) {
            points.push_back({BlockStartSeconds(index), reading.Rpm, PlotVerdictOf(verdict)});
        }
    }
    RunSummary summary;
    summary.Ppr = options.Ppr;
    summary.ClockPpm = options.ClockPpm;
    summary.SkippedSamples = source.PartialSamples();
    const std::string truncation = TruncationNote(source);
    if (tally.Blocks() == 0) {
        // The length in the header promised a block, but the data ended early.
        throw CliError(kExitTooShort,
                       "'" + options.File +
                           "' is too short: " + std::to_string(summary.SkippedSamples) +
                           " samples at 22050 Hz; the analysis needs at least one block of "
                           "8192 samples (0.372 s)" +
                           (truncation.empty() ? "" : "; the file " + truncation));
    }
    summary.Recording = DescribeRecording(options, source);
    summary = tally.Summary(summary);
    writer.WriteSummary(summary);
    if (summary.SkippedSamples > 0 && options.Format != OutputFormat::Table) {
        char note[128];
        std::snprintf(note, sizeof note,
                      "note: final partial block of %lld samples (%.3f s) not analysed\n",
                      static_cast<long long>(summary.SkippedSamples),
                      static_cast<double>(summary.SkippedSamples) / kSampleRate);
        err << note;
    }
    if (!truncation.empty()) {
        // The readings of the blocks that are there are sound; the user must still learn that
        // the recording ends before its header says, on stderr so the rows stay parseable.
        err << "note: '" << options.File << "' " << truncation << "; the " << summary.Blocks
            << (summary.Blocks == 1 ? " whole block" : " whole blocks") << " in it were analysed\n";
    }
    out.flush();
    if (!out) {
        throw CliError(kExitOutputUnwritable, "cannot write the readings to the standard output");
    }

    if (plotFile) {
        RpmPlotRequest request;
        request.Title = BaseName(options.File) + ", " + std::to_string(options.Ppr) +
                        (options.Ppr == 1 ? " impulse" : " impulses") + " per revolution";
        request.Points = points;
        request.DurationSeconds =
            static_cast<double>(summary.Blocks * kBlockSamples + summary.SkippedSamples) /
            kSampleRate;
        std::string error;
        const std::vector<std::uint8_t> png = extras->RenderRpmPlotPng(request, error);
        if (png.empty()) {
            throw CliError(kExitOutputUnwritable,
                           "cannot write '" + options.PlotPath + "': " + error);
        }
        plotFile->Write(png);
        plotFile->Commit();
    }
    return kExitOk;
}
