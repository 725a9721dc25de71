// Reads the playback volume of the default ALSA mixer, where there is one. Used by the
// PortAudio backend for the output's volume claims.
//
// Called from the front end only (under its lock). Opens and closes the mixer on every call;
// nothing is kept.
#pragma once

#include "platform/wintypes/WinTypes.h"

#include <string>

struct MixerVolume {
    bool Readable = false;    // a "Master" or "PCM" playback volume could be read
    bool Independent = false; // left and right have separate volumes
    DWORD Packed = 0;         // left in the low word, right in the high word, 0..0xFFFF each
    std::string Problem;      // why nothing could be read, when Readable is false
};

MixerVolume ReadDefaultMixerVolume();

// Routes alsa-lib's diagnostic printing away from stderr. Idempotent.
void QuietAlsaDiagnostics();
