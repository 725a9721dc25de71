// Which backend serves the waveform-audio functions of platform/wave/WaveAudio.h.
//
// The window program never calls this and so always uses the system's sound input; tests and
// the command-line companion pick another backend explicitly. A device keeps the backend it was
// opened with. May be called from any thread.
#pragma once

#include <optional>
#include <span>
#include <string_view>

enum class WaveBackendKind {
    PortAudio, // the system's default sound input and output (the default)
    Scripted,  // the scripted test device of platform/wave/ScriptedWaveDevice.h
};

// Makes kind serve later opens and device queries. Switching is refused (false) while any input
// device is open, so one program never mixes devices of two backends; selecting the backend
// already selected always succeeds.
bool SelectWaveBackend(WaveBackendKind kind);
WaveBackendKind SelectedWaveBackend();

// The backends by name ("portaudio", "scripted"), in a fixed order, for choosing from text.
std::span<const std::string_view> WaveBackendNames();
std::optional<WaveBackendKind> WaveBackendByName(std::string_view name);
std::string_view WaveBackendName(WaveBackendKind kind);
