// The parts of velmorant-cli that need large libraries: the plot (the GUI toolkit), and the sound
// input and the device report (the sound system and, through the form library, the widget
// toolkit).
//
// They live in a module of their own that the program loads only when a command asks for them,
// so analysing or generating a file starts without loading either toolkit (on this project's
// machines that cuts the program's start from about 40 ms to under 10). The module is looked for
// beside the program (a build tree), then in the installation's private library folder.
//
// Main thread only.
#pragma once

#include "diagnostics/CapsFormat.h"
#include "platform/plot/RpmPlot.h"
#include "platform/wave/WaveAudio.h"

#include <cstdint>
#include <string>
#include <vector>

// The module's functions. A plain table of pointers, filled by the module, so that nothing but
// one symbol name crosses the boundary.
struct CliExtras {
    // Identifies the layout of this table; a module of another build is refused.
    std::uint32_t Layout = 0;

    std::vector<std::uint8_t> (*RenderRpmPlotPng)(const RpmPlotRequest& request,
                                                  std::string& error) = nullptr;

    MMRESULT(*WaveInOpen)
    (HWAVEIN* phwi, UINT uDeviceID, const WAVEFORMATEX* pwfx, DWORD_PTR dwCallback,
     DWORD_PTR dwInstance, DWORD fdwOpen) = nullptr;
    MMRESULT (*WaveInPrepareHeader)(HWAVEIN hwi, WAVEHDR* pwh, UINT cbwh) = nullptr;
    MMRESULT (*WaveInAddBuffer)(HWAVEIN hwi, WAVEHDR* pwh, UINT cbwh) = nullptr;
    MMRESULT (*WaveInStart)(HWAVEIN hwi) = nullptr;
    MMRESULT (*WaveInReset)(HWAVEIN hwi) = nullptr;
    MMRESULT (*WaveInUnprepareHeader)(HWAVEIN hwi, WAVEHDR* pwh, UINT cbwh) = nullptr;
    MMRESULT (*WaveInClose)(HWAVEIN hwi) = nullptr;
    MMRESULT (*WaveInGetErrorTextA)(MMRESULT mmrError, char* pszText, UINT cchText) = nullptr;
    MMRESULT (*WaveInGetDevCapsA)(UINT_PTR uDeviceID, WAVEINCAPS* pwic, UINT cbwic) = nullptr;

    // The DevCaps button's report on the default output and input devices.
    void (*BuildCapsReport)(char (&text)[kCapsReportSize]) = nullptr;
};

// Changes whenever CliExtras changes; the module and the program must agree on it.
inline constexpr std::uint32_t kCliExtrasLayout = 0x5645'0002;

// The name the program asks the dynamic loader for.
inline constexpr const char* kCliExtrasModule = "libvelmorant-cli-extras.so";

// The table, loading the module on first use. Throws CliError naming the module and the
// loader's reason when it cannot be loaded (kExitInternal: the installation is broken), or when
// this build has no module (kExitUsage).
const CliExtras& Extras();

// Makes Extras() return this table instead of loading the module: for tests that link the parts
// themselves, so that the program and the test share one sound layer. The table must outlive
// its use.
void UseExtras(const CliExtras* extras);
