// The waveform-audio capability records and their bits: what a device query fills in and what
// the capabilities report reads. Types and constants only, so the report's composition needs
// no sound system.
#pragma once

#include "platform/wintypes/WinTypes.h"

// Format bits of dwFormats: rate 1 = 11.025 kHz, 2 = 22.05 kHz, 4 = 44.1 kHz;
// M/S = mono/stereo; 08/16 = bits per sample.
inline constexpr DWORD WAVE_FORMAT_1M08 = 0x001;
inline constexpr DWORD WAVE_FORMAT_1S08 = 0x002;
inline constexpr DWORD WAVE_FORMAT_1M16 = 0x004;
inline constexpr DWORD WAVE_FORMAT_1S16 = 0x008;
inline constexpr DWORD WAVE_FORMAT_2M08 = 0x010;
inline constexpr DWORD WAVE_FORMAT_2S08 = 0x020;
inline constexpr DWORD WAVE_FORMAT_2M16 = 0x040;
inline constexpr DWORD WAVE_FORMAT_2S16 = 0x080;
inline constexpr DWORD WAVE_FORMAT_4M08 = 0x100;
inline constexpr DWORD WAVE_FORMAT_4S08 = 0x200;
inline constexpr DWORD WAVE_FORMAT_4M16 = 0x400;
inline constexpr DWORD WAVE_FORMAT_4S16 = 0x800;

// Feature bits of WAVEOUTCAPS::dwSupport.
inline constexpr DWORD WAVECAPS_PITCH = 0x0001;
inline constexpr DWORD WAVECAPS_PLAYBACKRATE = 0x0002;
inline constexpr DWORD WAVECAPS_VOLUME = 0x0004;
inline constexpr DWORD WAVECAPS_LRVOLUME = 0x0008;
inline constexpr DWORD WAVECAPS_SYNC = 0x0010;
inline constexpr DWORD WAVECAPS_SAMPLEACCURATE = 0x0020;

struct WAVEINCAPS {
    WORD wMid = 0;
    WORD wPid = 0;
    DWORD vDriverVersion = 0;
    char szPname[32] = {}; // device name, NUL-terminated, at most 31 characters
    DWORD dwFormats = 0;   // WAVE_FORMAT_* bits
    WORD wChannels = 0;
    WORD wReserved1 = 0;
};
static_assert(sizeof(WAVEINCAPS) == 48);

struct WAVEOUTCAPS {
    WORD wMid = 0;
    WORD wPid = 0;
    DWORD vDriverVersion = 0;
    char szPname[32] = {};
    DWORD dwFormats = 0;
    WORD wChannels = 0;
    WORD wReserved1 = 0;
    DWORD dwSupport = 0; // WAVECAPS_* bits
};
static_assert(sizeof(WAVEOUTCAPS) == 52);
