// The module velmorant-cli loads for plotting and listening: its one exported symbol hands out
// the table of the functions it brings.
#include "tools/cli/Extras.h"

namespace {

const CliExtras kExtras{
    kCliExtrasLayout, &RenderRpmPlotPng,    &waveInOpen,        &waveInPrepareHeader,
    &waveInAddBuffer, &waveInStart,         &waveInReset,       &waveInUnprepareHeader,
    &waveInClose,     &waveInGetErrorTextA, &waveInGetDevCapsA,
};

} // namespace

extern "C" __attribute__((visibility("default"))) const CliExtras* VelmorantCliExtras() {
    return &kExtras;
}
