// The module velmorant-cli loads to draw plots (tools/cli/Plot.h): the plot library and the GUI
// toolkit under it, kept out of the program so that every other command starts without loading
// the toolkit. Its one exported function carries the program's version in its name, so a module
// left from another version is not found rather than called with another layout.
#include "platform/plot/RpmPlot.h"

extern "C" __attribute__((visibility("default"))) std::vector<std::uint8_t>
VELMORANT_PLOT_ENTRY(const RpmPlotRequest& request, std::string& error) {
    return RenderRpmPlotPng(request, error);
}
