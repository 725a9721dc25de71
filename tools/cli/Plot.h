// The companion's plot of a run: RPM over time as a PNG, points in the readout's colours.
//
// The drawing needs the GUI toolkit, whose loading would cost every command tens of
// milliseconds; it lives in a module (libvelmorant-cli-plot.so) loaded on first use, beside the
// program in a build tree or in the installation's private library folder. A build without the
// GUI toolkit has no plot (kHavePlot false).
//
// Main thread only.
#pragma once

#include "platform/plot/RpmPlot.h"

#include <cstdint>
#include <string>
#include <vector>

#ifndef VELMORANT_HAVE_PLOT
#error "VELMORANT_HAVE_PLOT must come from the build"
#endif

// Whether this build can draw plots at all.
inline constexpr bool kHavePlot = VELMORANT_HAVE_PLOT;

// The file the program loads.
inline constexpr const char* kPlotModule = "libvelmorant-cli-plot.so";

// Loads the module now, so that a broken installation fails before a long analysis rather than
// after it. Throws CliError(kExitInternal) naming the module and the loader's reason, or
// CliError(kExitUsage) in a build without the plot.
void LoadPlotModule();

// Renders through the module (loading it if need be). Returns the PNG's bytes; on failure an
// empty vector and a one-line reason in `error`. Throws as LoadPlotModule().
std::vector<std::uint8_t> RenderPlotPng(const RpmPlotRequest& request, std::string& error);

// Makes RenderPlotPng() call `render` instead of loading the module: for tests that link the plot
// library themselves. nullptr goes back to the module.
using PlotRenderer = std::vector<std::uint8_t> (*)(const RpmPlotRequest&, std::string&);
void UsePlotRenderer(PlotRenderer render);
