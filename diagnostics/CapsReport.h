// The device capabilities report: what the default sound output and input claim.
#pragma once

#include "platform/wave/WaveAudio.h"

#include <cstddef>

inline constexpr std::size_t kCapsReportSize = 1024; // bytes, including the terminating NUL

// Composes the report from capability records already read. `outputVolume` (left in the low
// word, right in the high word) is reported only when `output` claims WAVECAPS_VOLUME.
// Works on any record contents: names that lack their NUL are cut at 32 characters, and the
// text is always terminated and never longer than kCapsReportSize - 1 characters.
// Pure; any thread.
void FormatCapsReport(const WAVEOUTCAPS& output, DWORD outputVolume, const WAVEINCAPS& input,
                      char (&text)[kCapsReportSize]);

// Queries the default output and input devices and composes their report. The results of
// the queries are not tested: whatever the records hold afterwards is reported, and they
// start zeroed so a failed query reports an empty name and no formats.
// User-interface thread (it calls the waveform-audio layer).
void BuildCapsReport(char (&text)[kCapsReportSize]);
