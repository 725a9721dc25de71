// What the block analysis and the speed tracker paths of `analyse` (and `calibrate`) say alike
// about a recording. Main thread only.
#pragma once

#include "platform/plot/RpmPlot.h"
#include "tools/cli/BlockSource.h"
#include "tools/cli/Commands.h"

#include <string>

// The file name without its folders.
std::string BaseName(const std::string& path);

// One line naming the file, its format, rate and channels, the channel read, and whether it
// was resampled.
std::string DescribeRecording(const AnalyseOptions& options, const BlockSource& source);

PlotVerdict PlotVerdictOf(Verdict verdict);

// "is truncated: ..." when the file holds fewer frames than its header promises, else empty.
// Call once the source has reached its end.
std::string TruncationNote(const BlockSource& source);
