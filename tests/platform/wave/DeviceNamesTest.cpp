// How the device report finds the names a user knows: where an ALSA configuration's PCM leads,
// and how a card's PCM is named. The sound-server path is tested against a running server in
// PortAudioBackendTest.cpp.
#include "platform/wave/DeviceNames.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using Kind = AlsaRoute::Kind;

struct RouteCase {
    const char* Name;
    const char* Configuration;
    DeviceDirection Direction;
    Kind Leads;
    const char* Server = "";
    const char* Device = "";
    const char* Card = "";
    int PcmDevice = 0;
};

void PrintTo(const RouteCase& routeCase, std::ostream* out) {
    *out << routeCase.Name;
}

// What desktops and hand-written asound.conf files put behind "default".
const RouteCase kRouteCases[] = {
    {"PulseOfTheUsualServer", "pcm.!default { type pulse }", DeviceDirection::Input,
     Kind::SoundServer},
    {"PulseWithServerAndDevice",
     R"(pcm.!default { type pulse server "unix:/run/a/native" device "alsa_input.usb-mic" })",
     DeviceDirection::Input, Kind::SoundServer, "unix:/run/a/native", "alsa_input.usb-mic"},
    {"PipeWire", "pcm.!default { type pipewire }", DeviceDirection::Output, Kind::SoundServer},
    {"PlugOverANamedPulsePcm",
     R"(pcm.pulse { type pulse } pcm.!default { type plug slave.pcm "pulse" })",
     DeviceDirection::Output, Kind::SoundServer},
    {"FileOverPulse",
     R"(pcm.!default { type file slave.pcm { type pulse device "src" } file "/dev/null" })",
     DeviceDirection::Input, Kind::SoundServer, "", "src"},
    {"AsymInputTakesTheCaptureBranch",
     R"(pcm.!default { type asym
            playback.pcm { type dmix slave.pcm { type hw card 1 device 0 } }
            capture.pcm { type dsnoop slave.pcm { type hw card 1 device 2 } } })",
     DeviceDirection::Input, Kind::Card, "", "", "1", 2},
    {"AsymOutputTakesThePlaybackBranch",
     R"(pcm.!default { type asym
            playback.pcm { type dmix slave.pcm { type hw card 1 device 0 } }
            capture.pcm { type pulse } })",
     DeviceDirection::Output, Kind::Card, "", "", "1", 0},
    {"CardById", R"(pcm.!default { type plug slave.pcm { type hw card "PCH" } })",
     DeviceDirection::Output, Kind::Card, "", "", "PCH", 0},
    {"NamedPcmWithArguments",
     R"(pcm.card { @args [ CARD ] @args.CARD { type string default "2" }
                   type hw card $CARD device 1 }
        pcm.!default { type plug slave.pcm "card:CARD=3" })",
     DeviceDirection::Input, Kind::Card, "", "", "3", 1},
    {"NullLeadsNowhere", "pcm.!default { type null }", DeviceDirection::Input, Kind::Unknown},
    {"SlaveLoopEnds",
     R"(pcm.a { type plug slave.pcm "b" } pcm.b { type plug slave.pcm "a" }
        pcm.!default { type plug slave.pcm "a" })",
     DeviceDirection::Input, Kind::Unknown},
    {"MissingSlave", R"(pcm.!default { type plug slave.pcm "nowhere" })", DeviceDirection::Input,
     Kind::Unknown},
    {"Undefined", "pcm.other { type pulse }", DeviceDirection::Input, Kind::Unknown},
    {"Unparsable", "pcm.!default { type pulse", DeviceDirection::Input, Kind::Unknown},
};

class RouteOfDefault : public ::testing::TestWithParam<RouteCase> {};

TEST_P(RouteOfDefault, LeadsWhereTheConfigurationSays) {
    const RouteCase& expected = GetParam();
    const AlsaRoute route =
        RouteOfPcmInConfiguration(expected.Configuration, "default", expected.Direction);
    EXPECT_EQ(route.Leads, expected.Leads);
    EXPECT_EQ(route.Server, expected.Server);
    EXPECT_EQ(route.Device, expected.Device);
    EXPECT_EQ(route.Card, expected.Card);
    EXPECT_EQ(route.PcmDevice, expected.PcmDevice);
}

INSTANTIATE_TEST_SUITE_P(Configurations, RouteOfDefault, ::testing::ValuesIn(kRouteCases),
                         [](const auto& info) { return std::string(info.param.Name); });

struct CardNameCase {
    const char* LongName;
    const char* PcmName;
    const char* Expected;
};

TEST(CardDeviceName, DropsTheBusLocationAndRepeats) {
    const CardNameCase cases[] = {
        {"HDA Intel PCH at 0xf7f10000 irq 32", "ALC892 Analog", "HDA Intel PCH: ALC892 Analog"},
        {"C-Media Electronics Inc. USB Audio Device at usb-0000:00:14.0-1, full speed", "USB Audio",
         "C-Media Electronics Inc. USB Audio Device"},
        {"Loopback 1", "Loopback PCM", "Loopback 1: Loopback PCM"},
        {"", "ALC892 Analog", "ALC892 Analog"},
        {"HDA Intel PCH at 0xf7f10000 irq 32", "", "HDA Intel PCH"},
        {"", "", ""},
    };
    for (const CardNameCase& c : cases) {
        EXPECT_EQ(CardDeviceName(c.LongName, c.PcmName), c.Expected)
            << "'" << c.LongName << "' + '" << c.PcmName << "'";
    }
}

TEST(UserDeviceName, KeepsPortAudiosNameWhereNothingBetterIsKnown) {
    // "hw:9,9" is no PCM name a configuration defines as such; nothing is found for it.
    EXPECT_EQ(UserDeviceName(DeviceDirection::Input, "No such PCM (hw:9,9)"),
              "No such PCM (hw:9,9)");
}

} // namespace
