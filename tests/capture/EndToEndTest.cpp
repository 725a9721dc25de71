// The whole window against a real sound input: the PortAudio backend reads a software sound
// device (tests/support) that plays a known pulse train in real time, and the readout must show
// the pulse train's speed, steady, within the first blocks.
#include "app/MainForm.h"
#include "platform/forms/Forms.h"
#include "signal/TestSignal.h"
#include "tests/support/SoftwareSoundDevice.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

namespace {

// Generous: the first block arrives 0.5 to 0.8 s after Start, each further one 0.37 s later.
constexpr int kFirstReadingMs = 6000;

struct Machine {
    const char* Name;
    double FrequencyHz; // impulses per second; each a whole number of samples per period
    int Impulses;       // impulses per revolution
    PulseShape Shape;
    const char* Readout;
};

const Machine kMachines[] = {
    {"Fan1500Rpm", 25.0, 1, PulseShape::Pulse, "1500"},
    {"Spindle3000Rpm", 50.0, 1, PulseShape::Square, "3000"},
    {"Shaft2700RpmTwoMagnets", 90.0, 2, PulseShape::Pulse, "2700"},
    {"Motor12600Rpm", 210.0, 1, PulseShape::Sine, "12600"},
    {"Lathe1050RpmSixStrips", 105.0, 6, PulseShape::Pulse, "1050"},
};

void PrintTo(const Machine& machine, std::ostream* out) {
    *out << machine.Name;
}

std::vector<std::int16_t> Recording(const Machine& machine) {
    PulseTrainSettings settings;
    settings.FrequencyHz = machine.FrequencyHz;
    settings.Shape = machine.Shape;
    settings.Amplitude = 9000.0;
    settings.DutyCycle = 0.25;
    settings.NoiseSigma = 150.0;
    PulseTrainGenerator generator(settings);
    std::vector<std::int16_t> samples(10 * 22050);
    generator.Generate(samples);
    return samples;
}

class EndToEnd : public ::testing::TestWithParam<Machine> {};

TEST_P(EndToEnd, ReadoutShowsTheMachinesSpeedSteadyThenStops) {
    const Machine& machine = GetParam();
    std::string whyNot;
    const auto sound = SoftwareSoundDevice::Create(Recording(machine), whyNot);
    if (sound == nullptr) {
        GTEST_SKIP() << "no software sound device on this machine: " << whyNot;
    }
    MessageBoxRecorder boxes;
    auto form = std::make_unique<TForm1>(nullptr);
    form->ImpPerRevCombo->SetItemIndex(machine.Impulses - 1);

    form->Button1->Click();
    ASSERT_EQ(form->Recording, 1) << (boxes.Records().empty() ? "" : boxes.Records()[0].Text)
                                  << "\n"
                                  << sound->ServerLog();
    const bool shown = Application->ProcessMessagesUntil(
        [&] { return form->FreqLabel->Caption() == machine.Readout; }, kFirstReadingMs);
    EXPECT_TRUE(shown) << "readout shows " << form->FreqLabel->Caption();
    EXPECT_EQ(form->FreqLabel->Font().Color(), clLime);

    form->StopButton->Click();
    EXPECT_EQ(form->Recording, 0);
    Application->ProcessMessages();
    EXPECT_EQ(form->FreqLabel->Caption(), machine.Readout);
    EXPECT_TRUE(boxes.Records().empty());
}

INSTANTIATE_TEST_SUITE_P(Machines, EndToEnd, ::testing::ValuesIn(kMachines),
                         [](const auto& info) { return std::string(info.param.Name); });

TEST(EndToEndFaults, InputVanishingMidCaptureIsReportedOnceAndStopWorksAtOnce) {
    const Machine& machine = kMachines[1];
    std::string whyNot;
    const auto sound = SoftwareSoundDevice::Create(Recording(machine), whyNot);
    if (sound == nullptr) {
        GTEST_SKIP() << "no software sound device on this machine: " << whyNot;
    }
    MessageBoxRecorder boxes;
    auto form = std::make_unique<TForm1>(nullptr);
    form->Button1->Click();
    ASSERT_TRUE(Application->ProcessMessagesUntil(
        [&] { return form->FreqLabel->Caption() == machine.Readout; }, kFirstReadingMs));

    sound->KillServer(); // the sound card is unplugged
    ASSERT_TRUE(Application->ProcessMessagesUntil([&] { return !boxes.Records().empty(); },
                                                  kFirstReadingMs));
    Application->ProcessMessagesUntil([] { return false; }, 500);
    ASSERT_EQ(boxes.Records().size(), 1u);
    EXPECT_EQ(boxes.Records()[0].Text, "Failed to read block from device");
    EXPECT_EQ(form->FreqLabel->Caption(), machine.Readout);

    const auto start = std::chrono::steady_clock::now();
    form->StopButton->Click();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(100));
    EXPECT_EQ(form->Recording, 0);
}

TEST(EndToEndWithoutInput, StartShowsTheSoundSystemsReasonAndStaysIdle) {
    SoftwareSoundDevice::Settings settings;
    settings.StartServer = false; // the sound server is down: no input device at all
    std::string whyNot;
    const auto sound = SoftwareSoundDevice::Create({}, settings, whyNot);
    ASSERT_NE(sound, nullptr) << whyNot;
    MessageBoxRecorder boxes;
    auto form = std::make_unique<TForm1>(nullptr);

    form->Button1->Click();

    ASSERT_EQ(boxes.Records().size(), 1u);
    EXPECT_EQ(boxes.Records()[0].Caption, "Failed to open waveform input device.");
    EXPECT_EQ(boxes.Records()[0].Text.rfind("No sound input device: ", 0), 0u)
        << boxes.Records()[0].Text;
    EXPECT_EQ(boxes.Records()[0].Flags, MB_OK | MB_ICONWARNING);
    EXPECT_EQ(form->Recording, 0);
    EXPECT_EQ(form->FreqLabel->Caption(), "0");
}

} // namespace
