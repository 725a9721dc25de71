// `calibrate`: the sound card's clock error from a recording of a reference of known frequency.
#include "measure/SpeedTracker.h"
#include "tools/cli/AnalyseSupport.h"
#include "tools/cli/Commands.h"
#include "tools/cli/ExitCodes.h"
#include "tools/cli/FileSource.h"

#include <cmath>
#include <cstdio>
#include <optional>
#include <string>

namespace {

// The tracker settles on the reference over its first second and its first four impulses
// (three whole periods make a steady verdict); after that every reading must be steady and
// within this of the reference, or it is not the reference.
constexpr double kSettleSeconds = 1.0;
constexpr std::int64_t kSettleEdges = 4;
constexpr double kLargestErrorPpm = 5000.0;
constexpr std::int64_t kLeastReadings = 3;

std::string Hz(double value) {
    char text[48];
    std::snprintf(text, sizeof text, "%.7g Hz", value);
    return text;
}

} // namespace

int RunCalibrate(const CalibrateOptions& options, std::ostream& out) {
    FileSource source(options.File, options.Channel, /*fileRate=*/true);
    const std::int32_t rate = source.Info().SampleRate;
    const std::string refused =
        source.Subject() + " holds no steady " + Hz(options.ReferenceHz) + " reference: ";
    if (!(options.ReferenceHz < rate / 2.0)) {
        throw CliError(kExitNoReference, refused + "a recording at " + std::to_string(rate) +
                                             " Hz carries only frequencies below " +
                                             Hz(rate / 2.0));
    }
    SpeedTrackerSettings settings;
    settings.SampleRate = rate;
    SpeedTracker tracker(settings);

    struct Mark {
        std::int64_t Edges = 0;
        double Seconds = 0.0;
    };
    std::optional<Mark> first;
    std::int64_t judged = 0;
    const auto take = [&](const SpeedReading& reading) {
        if (reading.StartSeconds < kSettleSeconds || tracker.EdgeCount() < kSettleEdges) {
            return;
        }
        char where[64];
        std::snprintf(where, sizeof where, " at %.3f s", reading.StartSeconds);
        if (reading.FrequencyHz == 0.0) {
            throw CliError(kExitNoReference, refused + "no impulse" + where);
        }
        const double errorPpm = ClockPpmFrom(options.ReferenceHz, reading.FrequencyHz);
        if (std::abs(errorPpm) > kLargestErrorPpm) {
            throw CliError(kExitNoReference,
                           refused + "it reads " + Hz(reading.FrequencyHz) + where +
                               ", more than 0.5 % away (a clock is off by far less)");
        }
        if (!reading.Steady) {
            throw CliError(kExitNoReference, refused + "its period is not steady" + where);
        }
        if (!first) {
            first = Mark{tracker.EdgeCount(), tracker.LastEdgeSeconds()};
        }
        ++judged;
    };
    while (const SampleBlock* block = source.NextBlock()) {
        tracker.FeedAll(*block, take);
    }
    if (!source.Tail().empty()) {
        tracker.FeedAll(source.Tail(), take);
    }
    const Mark last{tracker.EdgeCount(), tracker.LastEdgeSeconds()};
    if (last.Edges == 0) {
        throw CliError(kExitNoReference, refused + "no impulse in it");
    }
    if (judged < kLeastReadings || !first || last.Edges - first->Edges < 2) {
        throw CliError(kExitNoReference,
                       refused +
                           "it needs at least 2.2 s of the reference, and 4 of its "
                           "periods, after the first second (" +
                           std::to_string(last.Edges) + " impulses found)");
    }
    const double periods = static_cast<double>(last.Edges - first->Edges);
    const double seconds = last.Seconds - first->Seconds;
    const double measured = periods / seconds;
    const double ppm = ClockPpmFrom(options.ReferenceHz, measured);

    char line[256];
    if (options.Json) {
        std::snprintf(line, sizeof line,
                      "{\"clock_ppm\":%.1f,\"reference_hz\":%.9g,\"measured_hz\":%.9g,"
                      "\"seconds\":%.3f,\"periods\":%lld}\n",
                      ppm, options.ReferenceHz, measured, seconds, static_cast<long long>(periods));
        out << line;
    } else {
        out << "recording: " << DescribeRecording(source, options.Channel) << '\n';
        std::snprintf(line, sizeof line,
                      "reference: %.9g Hz, read as %.9g Hz over %.3f s (%lld periods)\n",
                      options.ReferenceHz, measured, seconds, static_cast<long long>(periods));
        out << line;
        std::snprintf(line, sizeof line, "clock: %+.1f ppm\n", ppm);
        out << line;
    }
    out.flush();
    if (!out) {
        throw CliError(kExitOutputUnwritable, "cannot write the result to the standard output");
    }
    return kExitOk;
}
