#include "tools/cli/ReadingsLoop.h"

#include "measure/SpeedTracker.h"
#include "tools/cli/ExitCodes.h"
#include "tools/cli/OutputFile.h"
#include "tools/cli/Plot.h"

#include <algorithm>
#include <cmath>
#include <optional>

namespace {

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

std::int32_t PlotRpm(const BlockReading& reading) {
    return reading.Rpm;
}
std::int32_t PlotRpm(const SpeedReading& reading) {
    return static_cast<std::int32_t>(std::lround(reading.Rpm));
}

double StartOf(std::int64_t index, const BlockReading&) {
    return BlockStartSeconds(index);
}
double StartOf(std::int64_t, const SpeedReading& reading) {
    return reading.StartSeconds;
}

} // namespace

void CheckReadingsOptions(const ReadingsOptions& options) {
    if (options.Method == AnalysisMethod::Tracker &&
        options.Ppr > kTrackerMaxImpulsesPerRevolution) {
        throw CliError(kExitUsage, "--ppr: the speed tracker takes at most 4096 impulses per "
                                   "revolution, not " +
                                       std::to_string(options.Ppr));
    }
}

ReadingsRun ReadAll(BlockSource& source, const ReadingsOptions& options, ReadingWriter& writer,
                    std::ostream& out) {
    CheckReadingsOptions(options);
    const std::int32_t rate = source.SampleRate();

    // Reserved up front so that readings do not allocate; an input that under-reports its length
    // only costs a rare regrowth. Room for a day of readings at most, also for an input of
    // unknown length.
    const std::int64_t expected = source.ExpectedSamples();
    const std::int64_t readings =
        expected < 0 ? kDayOfBlocks
                     : std::min(expected * kSampleRate / std::max(rate, 1) / kBlockSamples + 1,
                                kDayOfBlocks);
    ReadingTally tally(static_cast<std::size_t>(readings));
    ReadingsRun run;
    if (options.Plot) {
        run.Points.reserve(static_cast<std::size_t>(readings));
    }

    std::optional<SpeedTracker> tracker;
    if (options.Method == AnalysisMethod::Tracker) {
        SpeedTrackerSettings settings;
        settings.SampleRate = rate;
        settings.ImpulsesPerRevolution = options.Ppr;
        settings.ClockPpm = options.ClockPpm;
        settings.TimeoutSeconds = options.TimeoutSeconds;
        tracker.emplace(settings);
    }

    if (options.Live) {
        writer.WriteHeader();
        out.flush();
    }
    const auto take = [&](const auto& reading) {
        const std::int64_t index = tally.Blocks();
        if (index == 0 && !options.Live) {
            writer.WriteHeader();
        }
        writer.WriteRow(index, reading);
        if (options.Live) {
            out.flush();
        } else if (!out) {
            throw CliError(kExitOutputUnwritable,
                           "cannot write the readings to the standard output");
        }
        const Verdict verdict = tally.Add(reading);
        if (options.Plot) {
            run.Points.push_back(
                {StartOf(index, reading), PlotRpm(reading), PlotVerdictOf(verdict)});
        }
    };

    std::int64_t blocks = 0;
    while (const SampleBlock* block = source.NextBlock()) {
        ++blocks;
        if (tracker) {
            tracker->FeedAll(*block, take);
        } else {
            take(WithClockCorrection(AnalyseBlock(*block, options.Ppr), options.ClockPpm,
                                     options.Ppr));
        }
    }
    const std::span<const std::int16_t> tail = source.Tail();
    RunSummary& summary = run.Summary;
    summary.Ppr = options.Ppr;
    summary.ClockPpm = options.ClockPpm;
    if (tracker) {
        if (!tail.empty()) {
            tracker->FeedAll(tail, take);
        }
        summary.Tracker = true;
        summary.SampleRate = rate;
        summary.SkippedSamples = tracker->SamplesFed() - TrackerIntervalsEnd(tally.Blocks(), rate);
    } else {
        summary.SkippedSamples = static_cast<std::int64_t>(tail.size());
    }
    summary = tally.Summary(summary);
    run.Seconds =
        static_cast<double>(blocks * kBlockSamples + static_cast<std::int64_t>(tail.size())) / rate;
    return run;
}

void WritePlot(AtomicOutputFile& file, const std::string& title, const ReadingsRun& run) {
    RpmPlotRequest request;
    request.Title = title;
    request.Points = run.Points;
    request.DurationSeconds = run.Seconds;
    std::string error;
    const std::vector<std::uint8_t> png = RenderPlotPng(request, error);
    if (png.empty()) {
        throw CliError(kExitOutputUnwritable, "cannot write '" + file.Path() + "': " + error);
    }
    file.Write(png);
    file.Commit();
}
