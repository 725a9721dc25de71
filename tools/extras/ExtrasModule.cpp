// The module velmorant-cli loads for plotting, listening and the device report: its one exported
// symbol hands out the table of the functions it brings.
#include "diagnostics/CapsReport.h"
#include "tools/cli/Extras.h"

namespace {

const CliExtras kExtras{
    kCliExtrasLayout, &RenderRpmPlotPng,    &waveInOpen,        &waveInPrepareHeader,
    &waveInAddBuffer, &waveInStart,         &waveInReset,       &waveInUnprepareHeader,
    &waveInClose,     &waveInGetErrorTextA, &waveInGetDevCapsA, &BuildCapsReport,
};

} // namespace

extern "C" __attribute__((visibility("default"))) const CliExtras* VelmorantCliExtras() {
    return &kExtras;
}
