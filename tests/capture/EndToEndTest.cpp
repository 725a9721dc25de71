// The whole window against a real sound input: the PortAudio backend reads a software sound
// device (tests/support) that plays a known pulse train in real time, and the readout must show
// the pulse train's speed, steady, within the first blocks.
#include "app/MainForm.h"
#include "platform/forms/Forms.h"
#include "platform/forms/FormsTesting.h"
#include "signal/TestSignal.h"
#include "tests/support/SoftwareSoundDevice.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
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

// The window capturing from a software sound device that plays one machine.
class EndToEndFixture : public ::testing::Test {
protected:
    ~EndToEndFixture() override {
        // A test that failed half way leaves capture running: end it as a window close does.
        TCloseAction action = caHide;
        Form->FormClose(Form.get(), action);
    }

    // Starts capture of the machine's pulse train; skips when the machine cannot host the
    // device. Check IsSkipped() afterwards.
    void StartPlaying(const Machine& machine) {
        std::string whyNot;
        Sound = SoftwareSoundDevice::Create(Recording(machine), whyNot);
        if (Sound == nullptr) {
            GTEST_SKIP() << "no software sound device on this machine: " << whyNot;
        }
        Form->ImpPerRevCombo->SetItemIndex(machine.Impulses - 1);
        Form->Button1->Click();
        ASSERT_EQ(Form->Recording, 1)
            << (Boxes.Records().empty() ? "" : Boxes.Records()[0].Text) << "\n"
            << Sound->ServerLog();
    }

    bool ReadoutShows(const char* text) {
        return Application->ProcessMessagesUntil([&] { return Form->FreqLabel->Caption() == text; },
                                                 kFirstReadingMs);
    }

    std::unique_ptr<SoftwareSoundDevice> Sound;
    MessageBoxRecorder Boxes;
    std::unique_ptr<TForm1> Form = std::make_unique<TForm1>(nullptr);
};

class EndToEnd : public EndToEndFixture, public ::testing::WithParamInterface<Machine> {};

TEST_P(EndToEnd, ReadoutShowsTheMachinesSpeedSteadyThenStops) {
    const Machine& machine = GetParam();
    StartPlaying(machine);
    if (IsSkipped() || HasFatalFailure()) {
        return;
    }
    EXPECT_TRUE(ReadoutShows(machine.Readout)) << "readout shows " << Form->FreqLabel->Caption();
    EXPECT_EQ(Form->FreqLabel->Font().Color(), clLime);

    Form->StopButton->Click();
    EXPECT_EQ(Form->Recording, 0);
    Application->ProcessMessages();
    EXPECT_EQ(Form->FreqLabel->Caption(), machine.Readout);
    EXPECT_TRUE(Boxes.Records().empty());
}

INSTANTIATE_TEST_SUITE_P(Machines, EndToEnd, ::testing::ValuesIn(kMachines),
                         [](const auto& info) { return std::string(info.param.Name); });

using EndToEndFaults = EndToEndFixture;

TEST_F(EndToEndFaults, InputVanishingMidCaptureIsReportedOnceAndEndsCapture) {
    const Machine& machine = kMachines[1];
    StartPlaying(machine);
    if (IsSkipped() || HasFatalFailure()) {
        return;
    }
    ASSERT_TRUE(ReadoutShows(machine.Readout));

    Sound->KillServer(); // the sound card is unplugged
    ASSERT_TRUE(
        Application->ProcessMessagesUntil([&] { return Form->Recording == 0; }, kFirstReadingMs));
    Application->ProcessMessagesUntil([] { return false; }, 500);
    ASSERT_EQ(Boxes.Records().size(), 1u);
    EXPECT_EQ(Boxes.Records()[0].Text, "Failed to read block from device");
    EXPECT_EQ(Form->FreqLabel->Caption(), machine.Readout);
    for (const WAVEHDR& header : Form->WaveHeaders) {
        EXPECT_EQ(header.dwFlags & WHDR_INQUEUE, 0u);
    }

    Form->StopButton->Click(); // harmless
    EXPECT_EQ(Form->Recording, 0);
    // Start tries the device again at once: with the sound server gone, it says so.
    Form->Button1->Click();
    ASSERT_EQ(Boxes.Records().size(), 2u);
    EXPECT_EQ(Boxes.Records()[1].Caption, "Failed to open waveform input device.");
    EXPECT_EQ(Form->Recording, 0);
}

// Runs pactl against the software device's server; false when it fails.
bool Pactl(const SoftwareSoundDevice& sound, const std::string& arguments) {
    const std::string command = "PULSE_SERVER=" + sound.ServerAddress() +
                                " HOME=" + sound.Directory().string() + " pactl " + arguments +
                                " >/dev/null 2>&1";
    return std::system(command.c_str()) == 0;
}

// Counts the completions the form handles while the message loop runs for milliseconds.
int ReadingsWithin(TForm1& form, int milliseconds) {
    int readings = 0;
    std::int32_t last = form.CurrentBuffer;
    Application->ProcessMessagesUntil(
        [&] {
            if (form.CurrentBuffer != last) {
                last = form.CurrentBuffer;
                ++readings;
            }
            return false;
        },
        milliseconds);
    return readings;
}

class SourcePause : public EndToEndFixture, public ::testing::WithParamInterface<int> {};

// A sound server suspends a source (nobody else records, a power-saving timeout, a Bluetooth
// profile switch) and wakes it again: capture goes on, and nothing is reported.
TEST_P(SourcePause, CaptureGoesOnAfterTheSourceResumes) {
    const Machine& machine = kMachines[1];
    StartPlaying(machine);
    if (IsSkipped() || HasFatalFailure()) {
        return;
    }
    ASSERT_TRUE(ReadoutShows(machine.Readout));

    ASSERT_TRUE(Pactl(*Sound, "suspend-source velmorant_source 1"));
    Application->ProcessMessagesUntil([] { return false; }, GetParam());
    ASSERT_TRUE(Pactl(*Sound, "suspend-source velmorant_source 0"));

    EXPECT_GE(ReadingsWithin(*Form, 2000), 2);
    EXPECT_EQ(Form->Recording, 1);
    EXPECT_TRUE(Boxes.Records().empty()) << Boxes.Records()[0].Text;
}

INSTANTIATE_TEST_SUITE_P(Milliseconds, SourcePause, ::testing::Values(500, 1500, 2000),
                         [](const auto& info) { return std::to_string(info.param) + "ms"; });

// A sound server that hangs (here: stopped by a signal) must not hang the window: Stop takes
// the buffers back without waiting for the device.
TEST_F(EndToEndFaults, StopOnAFrozenSoundServerReturnsAtOnce) {
    const Machine& machine = kMachines[1];
    StartPlaying(machine);
    if (IsSkipped() || HasFatalFailure()) {
        return;
    }
    ASSERT_TRUE(ReadoutShows(machine.Readout));
    Sound->PauseServer();
    Application->ProcessMessagesUntil([] { return false; }, 200);

    const auto before = std::chrono::steady_clock::now();
    Form->StopButton->Click();
    const auto took = std::chrono::steady_clock::now() - before;
    Sound->ResumeServer();
    // A structural limit, not a timing goal: two block periods.
    EXPECT_LT(took, std::chrono::milliseconds(743));
    EXPECT_EQ(Form->Recording, 0);
    EXPECT_TRUE(Boxes.Records().empty());
    EXPECT_EQ(Form->FreqLabel->Caption(), machine.Readout);
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
