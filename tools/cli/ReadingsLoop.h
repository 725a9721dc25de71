// The one loop that turns blocks into readings for `analyse` and `listen`: each block from a
// source (a recording or the sound input) goes through the chosen method (the window's block
// analysis or the speed tracker), its reading is written as a row and counted for the summary,
// and kept as a point when a plot is wanted.
//
// Main thread only.
#pragma once

#include "platform/plot/RpmPlot.h"
#include "tools/cli/BlockSource.h"
#include "tools/cli/Commands.h"
#include "tools/cli/ReadingWriter.h"

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

class AtomicOutputFile;

struct ReadingsOptions {
    AnalysisMethod Method = AnalysisMethod::Block;
    std::int32_t Ppr = 1; // impulses per revolution, >= 1 (tracker: at most 4096)
    double ClockPpm = 0.0;
    double TimeoutSeconds = kTrackerDefaultTimeoutSeconds; // tracker
    // Rows as they come, for a live input: the heading at once and every row flushed. Otherwise
    // the heading comes with the first row, so an input too short for one leaves the output
    // empty, and a lost output ends the run at once (kExitOutputUnwritable); a live source
    // watches for that itself (LiveSource's stop condition).
    bool Live = false;
    bool Plot = false; // keep a point per reading
};

// Throws CliError(kExitUsage) for settings the method cannot take. Call before opening a source,
// so a bad command line costs nothing.
void CheckReadingsOptions(const ReadingsOptions& options);

struct ReadingsRun {
    // Counts and RPM figures, with the method's fields (Ppr, Tracker, ClockPpm, SampleRate) and
    // SkippedSamples: samples at the end that made no reading. Recording is left to the caller.
    RunSummary Summary;
    std::vector<RpmPoint> Points; // with Plot: one per reading, in the readout's colours
    double Seconds = 0.0;         // of input read, whole blocks and tail
};

// Reads `source` to its end, writing a row per reading to `out` through `writer`. The tracker
// also takes the tail, which may complete a reading at rates other than 22050 Hz. Throws what
// the source throws, and CliError(kExitOutputUnwritable) for a lost output unless Live.
ReadingsRun ReadAll(BlockSource& source, const ReadingsOptions& options, ReadingWriter& writer,
                    std::ostream& out);

// The plot of a run, titled `title`, as PNG bytes, written whole into `file` and put in place.
// Throws CliError(kExitOutputUnwritable) when it cannot be drawn or written, and as
// LoadPlotModule() (tools/cli/Plot.h) when the plot module cannot be loaded.
void WritePlot(AtomicOutputFile& file, const std::string& title, const ReadingsRun& run);
