// A software sound device for tests on machines without sound hardware: the default ALSA
// capture device of this process becomes a file of samples that the test chooses, played out in
// real time.
//
// How: a private PulseAudio server (started and reaped by this object, with its own runtime
// directory) provides a null source at 22050 Hz mono s16le as the clock; an ALSA configuration
// written by this object, and named in this process's ALSA_CONFIG_PATH, makes `pcm.!default` a
// `file` plugin whose `infile` is the raw S16_LE sample file and whose slave is that source.
// Capture then returns the file's samples bit-exact from the first one, at 22050 samples per
// second; after the end of the file it returns silence. The PortAudio backend sees one device,
// "default". Settings::Desktop builds a desktop-like server instead (see there).
//
// ALSA_CONFIG_PATH is read whenever PortAudio initialises (the backend does so afresh for every
// look at the devices while no stream is open) and at every device open; create the device
// before the waveIn* calls or device queries that should see it. The environment
// variables set here (ALSA_CONFIG_PATH, PULSE_CLIENTCONFIG, PULSE_COOKIE,
// JACK_NO_START_SERVER) are restored by the destructor.
//
// The server is always reaped: by the destructor (also when a test assertion fails), and by the
// kernel if the test process dies (the server gets SIGKILL when its parent thread ends), so no
// server outlives its test and none lingers as a zombie.
//
// Thread: create, use and destroy on one thread (the test's), before device threads start using
// ALSA. Not copyable.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <span>
#include <string>
#include <vector>

class SoftwareSoundDevice {
public:
    struct Settings {
        // false: ALSA names the server but none is started, so the device has no input (as when
        // the sound server is down).
        bool StartServer = true;
        // Also give the server a null sink and ALSA a pulse mixer ("Master", left and right),
        // so the output's volume can be read and set.
        bool WithMixer = false;
        // Makes the server look like a desktop's: the null sink and source are its defaults,
        // and ALSA's default PCM and mixer are the server itself (`type pulse`, no device
        // named), so ALSA plays to and records from the server's defaults. Capture then gives
        // silence, not the samples. Implies WithMixer.
        bool Desktop = false;
        // What the server's sound settings call the null sink and source (no quotes or
        // backslashes).
        std::string OutputDescription = "Velmorant test speakers";
        std::string InputDescription = "Velmorant test microphone";
        // The server behind the sound server protocol. PipeWire (pipewire, pipewire-pulse and
        // wireplumber, with no hardware monitors and no D-Bus) is offered for Desktop only.
        enum class ServerKind { PulseAudio, PipeWire };
        ServerKind Server = ServerKind::PulseAudio;
    };

    // Builds the device with samples (16-bit mono, 22050 Hz) as its input. On failure returns
    // nullptr and says why in whyNot, for a GTEST_SKIP when the machine cannot host it.
    static std::unique_ptr<SoftwareSoundDevice> Create(std::span<const std::int16_t> samples,
                                                       std::string& whyNot);
    static std::unique_ptr<SoftwareSoundDevice>
    Create(std::span<const std::int16_t> samples, const Settings& settings, std::string& whyNot);

    // Stops and reaps the server, restores the environment and removes the files.
    ~SoftwareSoundDevice();
    SoftwareSoundDevice(const SoftwareSoundDevice&) = delete;
    SoftwareSoundDevice& operator=(const SoftwareSoundDevice&) = delete;

    // The device appears: starts the server of a device created with Settings::StartServer
    // false. False, with the reason in whyNot, when it cannot start or already runs.
    bool StartServerLater(std::string& whyNot);
    // The device vanishes: the server (for PipeWire, pipewire-pulse) is killed (SIGKILL) and
    // reaped.
    void KillServer();
    // The device stalls: the server is frozen (SIGSTOP) until ResumeServer (SIGCONT).
    void PauseServer();
    void ResumeServer();
    // True while the server process exists (reaped or not yet started: false).
    bool ServerRunning() const;
    pid_t ServerPid() const { return Server; }

    // Sets the null sink's volume, 0..65536 per channel (65536 is 100 %). Needs WithMixer.
    // False, with the reason in whyNot, when pactl fails.
    bool SetOutputVolume(std::uint32_t left, std::uint32_t right, std::string& whyNot);
    // Runs pactl with arguments against the server, as a user's sound settings would change it.
    // False, with the reason in whyNot, when pactl fails.
    bool RunPactl(const std::vector<std::string>& arguments, std::string& whyNot);

    const std::filesystem::path& Directory() const { return Dir; }
    std::string ServerAddress() const; // "unix:<directory>/native"
    // What the server printed (warnings, errors); for failure messages.
    std::string ServerLog() const;

private:
    struct Key {
        explicit Key() = default;
    };

public:
    explicit SoftwareSoundDevice(Key) {} // through Create only

private:
    bool Build(std::span<const std::int16_t> samples, const Settings& settings,
               std::string& whyNot);
    bool StartServerProcess(std::string& whyNot);
    bool StartPipeWire(const Settings& settings, std::string& whyNot);
    void StopServer();
    static void StopProcess(pid_t& process); // SIGTERM, SIGKILL after 2 s; reaps
    void SetEnvironment(const char* name, const std::string& value);

    std::filesystem::path Dir;
    std::filesystem::path Socket; // where clients reach the server
    pid_t Server = -1;
    std::vector<pid_t> Helpers; // PipeWire's own daemon and its session manager
    struct SavedVariable {
        std::string Name;
        bool WasSet = false;
        std::string Value;
    };
    std::vector<SavedVariable> SavedEnvironment;
};

// Points this process's ALSA at a configuration file with nothing in it (no card, no devices)
// for as long as it lives, restoring the previous ALSA_CONFIG_PATH afterwards.
class EmptyAlsaConfiguration {
public:
    EmptyAlsaConfiguration();
    ~EmptyAlsaConfiguration();
    EmptyAlsaConfiguration(const EmptyAlsaConfiguration&) = delete;
    EmptyAlsaConfiguration& operator=(const EmptyAlsaConfiguration&) = delete;

private:
    std::filesystem::path Dir;
    bool WasSet = false;
    std::string Previous;
};
