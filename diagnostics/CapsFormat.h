// Composition of the device capabilities report from capability records already read.
//
// Only the records' types are used (platform/wintypes/WaveCaps.h); nothing here calls the
// waveform-audio layer, so the composition builds and links without the sound system (the
// fuzzer and the command-line companion use it on their own).
#pragma once

#include "platform/wintypes/WaveCaps.h"

#include <cstddef>

inline constexpr std::size_t kCapsReportSize = 1024; // bytes, including the terminating NUL

// Composes the report from capability records already read. `outputVolume` (left in the low
// word, right in the high word) is reported only when `output` claims WAVECAPS_VOLUME.
// Works on any record contents: names that lack their NUL are cut at 32 characters, and the
// text is always terminated and never longer than kCapsReportSize - 1 characters.
// Pure; any thread.
void FormatCapsReport(const WAVEOUTCAPS& output, DWORD outputVolume, const WAVEINCAPS& input,
                      char (&text)[kCapsReportSize]);
