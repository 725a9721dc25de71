// The device capabilities report: what the default sound output and input claim.
#pragma once

#include "diagnostics/CapsFormat.h"

// Queries the default output and input devices and composes their report. The results of
// the queries are not tested: whatever the records hold afterwards is reported, and they
// start zeroed so a failed query reports an empty name and no formats.
// User-interface thread (it calls the waveform-audio layer).
void BuildCapsReport(char (&text)[kCapsReportSize]);
