#include "diagnostics/CapsReport.h"

#include "platform/wave/WaveAudio.h"

#include <cstdint>

void BuildCapsReport(char (&text)[kCapsReportSize]) {
    WAVEOUTCAPS output{};
    waveOutGetDevCapsA(WAVE_MAPPER, &output, sizeof output);
    DWORD volume = 0;
    if (output.dwSupport & WAVECAPS_VOLUME) {
        waveOutGetVolume(reinterpret_cast<HWAVEOUT>(static_cast<std::intptr_t>(-1)), &volume);
    }
    WAVEINCAPS input{};
    waveInGetDevCapsA(WAVE_MAPPER, &input, sizeof input);
    FormatCapsReport(output, volume, input, text);
}
