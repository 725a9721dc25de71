// What `analyse` and `calibrate` say alike about a recording. Main thread only.
#pragma once

#include "tools/cli/FileSource.h"

#include <string>

// One line naming the recording, its format, rate and channels, the channel read, and whether it
// was resampled.
std::string DescribeRecording(const FileSource& source, std::int32_t channel);

// "is truncated: ..." when the file holds fewer frames than its header promises, else empty.
// Call once the source has reached its end.
std::string TruncationNote(const FileSource& source);
