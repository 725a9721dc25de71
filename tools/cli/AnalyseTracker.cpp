// `analyse --method tracker`: the file at its own rate through the speed tracker.
#include "measure/SpeedTracker.h"
#include "tools/cli/AnalyseSupport.h"
#include "tools/cli/BlockSource.h"
#include "tools/cli/Commands.h"
#include "tools/cli/ExitCodes.h"
#include "tools/cli/Extras.h"
#include "tools/cli/Interrupt.h"
#include "tools/cli/OutputFile.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <optional>
#include <span>
#include <vector>

int RunAnalyseTracker(const AnalyseOptions& options, std::ostream& out, std::ostream& err) {
    if (options.Ppr > kTrackerMaxImpulsesPerRevolution) {
        throw CliError(kExitUsage, "--ppr: the speed tracker takes at most 4096 impulses per "
                                   "revolution, not " +
                                       std::to_string(options.Ppr));
    }
    BlockSource source(options.File, options.Channel, /*fileRate=*/true);
    const std::int32_t rate = source.Info().SampleRate;
    std::optional<AtomicOutputFile> plotFile;
    const CliExtras* extras = nullptr;
    if (!options.PlotPath.empty()) {
        plotFile.emplace(options.PlotPath);
        extras = &Extras();
    }

    SpeedTrackerSettings settings;
    settings.SampleRate = rate;
    settings.ImpulsesPerRevolution = options.Ppr;
    settings.ClockPpm = options.ClockPpm;
    settings.TimeoutSeconds = options.TimeoutSeconds;
    SpeedTracker tracker(settings);

    // Reserved up front, as for the block analysis, so readings do not allocate.
    const std::int64_t expected = std::max<std::int64_t>(source.ExpectedSamples(), 0);
    const auto expectedReadings = static_cast<std::size_t>(
        std::min(expected * kSampleRate / std::max(rate, 1) / kBlockSamples + 1, kDayOfBlocks));
    ReadingTally tally(expectedReadings);
    std::vector<RpmPoint> points;
    if (plotFile) {
        points.reserve(expectedReadings);
    }

    ReadingWriter writer(options.Format, out);
    const auto take = [&](const SpeedReading& reading) {
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
            points.push_back({reading.StartSeconds,
                              static_cast<std::int32_t>(std::lround(reading.Rpm)),
                              PlotVerdictOf(verdict)});
        }
    };
    while (const SampleBlock* block = source.NextBlock()) {
        if (StopRequested()) {
            throw CliError(kExitInterrupted, "interrupted");
        }
        tracker.FeedAll(*block, take);
    }
    // Samples after the last whole block may still complete an interval at this rate.
    if (source.PartialSamples() > 0 && source.PartialData() != nullptr) {
        tracker.FeedAll(
            std::span(source.PartialData(), static_cast<std::size_t>(source.PartialSamples())),
            take);
    }

    RunSummary summary;
    summary.Ppr = options.Ppr;
    summary.Tracker = true;
    summary.ClockPpm = options.ClockPpm;
    summary.SampleRate = rate;
    summary.SkippedSamples = tracker.SamplesFed() - TrackerIntervalsEnd(tally.Blocks(), rate);
    const std::string truncation = TruncationNote(source);
    if (tally.Blocks() == 0) {
        throw CliError(kExitTooShort,
                       "'" + options.File +
                           "' is too short: " + std::to_string(summary.SkippedSamples) +
                           " samples at " + std::to_string(rate) +
                           " Hz; the analysis needs at least 8192/22050 s (0.372 s)" +
                           (truncation.empty() ? "" : "; the file " + truncation));
    }
    summary.Recording = DescribeRecording(options, source) + ", read by the speed tracker";
    summary = tally.Summary(summary);
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
                        (options.Ppr == 1 ? " impulse" : " impulses") +
                        " per revolution, speed tracker";
        request.Points = points;
        request.DurationSeconds = static_cast<double>(tracker.SamplesFed()) / rate;
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
