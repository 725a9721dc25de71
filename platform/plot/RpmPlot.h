// A picture of a run: speed over time as a PNG, one point per analysed block.
//
// The header is free of Qt on purpose: the command-line companion includes it without
// depending on the GUI toolkit, which stays an implementation detail of this library.
//
// Thread: call from the program's main thread only. When the process has no Qt application
// object yet, rendering creates one for the duration of the call on the offscreen platform, so
// no display is needed; with an application object already present, it is used as it is.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

// How a reading was judged; the point takes the readout's colour for that verdict.
enum class PlotVerdict : std::uint8_t {
    Steady,   // lime (0, 255, 0)
    Unsteady, // dark green (0, 128, 0)
    Overload, // red (255, 0, 0)
};

struct RpmPoint {
    double TimeSeconds = 0.0; // start of the block, seconds from the start of the recording
    std::int32_t Rpm = 0;     // revolutions per minute, >= 0
    PlotVerdict Verdict = PlotVerdict::Steady;
};

struct RpmPlotRequest {
    std::string Title;                // shown above the plot, UTF-8
    std::span<const RpmPoint> Points; // in any order; not owned, must outlive the call
    double DurationSeconds = 0.0;     // end of the time axis; the axis covers at least the points
    std::int32_t WidthPixels = 1000;  // 320..8000
    std::int32_t HeightPixels = 560;  // 240..8000
};

// Renders the plot and encodes it as PNG. Returns the file's bytes; on failure returns an
// empty vector and puts a one-line reason into `error`.
std::vector<std::uint8_t> RenderRpmPlotPng(const RpmPlotRequest& request, std::string& error);
