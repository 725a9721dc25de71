// The names a user knows the default sound devices by, for the device report.
//
// PortAudio names ALSA's default device "default", which tells a user nothing. Where ALSA's
// default leads to a sound server (PulseAudio, or PipeWire through pipewire-pulse), the server's
// default output and input are named by the descriptions its sound settings show, asked through
// libpulse. Where it leads to a card, the card's long name and the PCM's name are used. Anything
// else keeps the name PortAudio gave.
//
// Threads: any thread; calls are serialised internally. Only the PortAudio backend calls this
// (under the front end's lock), from the thread that asks for the report, which is usually the
// window's.
#pragma once

#include <chrono>
#include <string>
#include <string_view>

enum class DeviceDirection { Output, Input };

// Where an ALSA PCM leads once its plugins are followed (for "asym", the branch of the given
// direction).
struct AlsaRoute {
    enum class Kind { Unknown, SoundServer, Card };
    Kind Leads = Kind::Unknown;
    std::string Server; // SoundServer: address the PCM names ("unix:/path"); empty: the usual one
    std::string Device; // SoundServer: sink or source the PCM names; empty: the server's default
    std::string Card;   // Card: index or id, as configured
    int PcmDevice = 0;  // Card: device number on the card
};

// The route of pcmName in the system's ALSA configuration. Opens no device.
AlsaRoute RouteOfPcm(std::string_view pcmName, DeviceDirection direction);
// The same in a configuration given as text (what an asound.conf holds); Unknown if the text
// does not parse or does not define pcmName.
AlsaRoute RouteOfPcmInConfiguration(std::string_view configuration, std::string_view pcmName,
                                    DeviceDirection direction);

// The descriptions a sound server gives its sinks and sources.
struct ServerDeviceNames {
    bool Answered = false; // the server answered within the time allowed
    // Not answered because the time ran out (a server that is frozen or overloaded), rather than
    // because none was there to ask. Anything opened through such a server waits for it.
    bool TimedOut = false;
    std::string Output;     // description of the default sink (or the one asked for); may be empty
    std::string Input;      // description of the default source (or the one asked for)
    std::string OutputName; // the server's own name of that sink; empty where it has none
    std::string InputName;  // the server's own name of that source
};

// Asks the server at address (empty: where libpulse looks by default) for the descriptions of
// the named sink and source, or of its defaults where a name is empty. Never starts a server
// and never takes longer than budget, however the server behaves (a hung server's answer is
// abandoned).
ServerDeviceNames AskSoundServer(const std::string& address, const std::string& sinkName,
                                 const std::string& sourceName, std::chrono::milliseconds budget);

// A card's PCM as one name: the card's long name without its bus location (" at 0xf7f10000 irq
// 32", " at usb-0000:00:14.0-1, full speed"), then ": " and the PCM's name unless the card's
// name already says it. Either part may be empty.
std::string CardDeviceName(std::string_view cardLongName, std::string_view pcmName);

// What the report needs to know about PortAudio's default device of one direction.
struct UserDevice {
    // The name to report: see the top of this file. Never empty when portAudioName is not.
    std::string Name;
    // Tells the real device behind the PCM from another behind the same PCM: the server's sink
    // or source name, or the card's name. Empty where it cannot be told (then nothing learnt
    // about the PCM can be trusted to still hold for it).
    std::string Identity;
    // The PCM leads to a sound server that did not answer in time: opening the PCM would wait
    // for that server with no limit.
    bool ServerSilent = false;
};

// Describes PortAudio's default device of the given direction, which PortAudio calls
// portAudioName. A sound server is asked at most once a second for the same devices, so the
// output and input of one report share one question where ALSA names the server's defaults; it
// is never waited for longer than 100 ms. Opens no sound device.
UserDevice DescribeDevice(DeviceDirection direction, std::string_view portAudioName);
// DescribeDevice's Name.
std::string UserDeviceName(DeviceDirection direction, std::string_view portAudioName);
