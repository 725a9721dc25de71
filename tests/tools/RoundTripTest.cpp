// generate writes the signal a sensor would give; analyse must read the same speed back.

#include "tests/tools/CliTestSupport.h"

#include "signal/TestSignal.h"

#include <cmath>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct RoundTripCase {
    const char* Name;
    double Rpm;
    int Ppr;
    const char* Shape;
    double Amplitude;
    double Noise;
    double Jitter;
    bool Steady;              // expected verdict of every block
    bool Overload;            // expected verdict of every block
    double RelativeTolerance; // of the RPM; the analysis resolves about one sample per window
};

class RoundTrip : public CliTest, public ::testing::WithParamInterface<RoundTripCase> {};

TEST_P(RoundTrip, AnalysingAGeneratedSignalGivesItsSpeedBack) {
    const RoundTripCase& c = GetParam();
    const std::string wav = Path("signal.wav");
    const CliResult generated = RunCliInProcess(
        {"generate", wav, "--rpm", std::to_string(c.Rpm), "--ppr", std::to_string(c.Ppr), "--shape",
         c.Shape, "--amplitude", std::to_string(c.Amplitude), "--noise", std::to_string(c.Noise),
         "--jitter", std::to_string(c.Jitter), "--seconds", "3"});
    ASSERT_EQ(generated.ExitCode, 0) << generated.Err;
    EXPECT_EQ(generated.Err, "");

    const CliResult analysed =
        RunCliInProcess({"analyse", wav, "--ppr", std::to_string(c.Ppr), "--format", "csv"});
    ASSERT_EQ(analysed.ExitCode, 0) << analysed.Err;
    const std::vector<CsvRow> rows = ParseCsv(analysed.Out);
    // 3 s is 66150 samples: eight whole blocks and 614 samples over.
    ASSERT_EQ(rows.size(), 8u);
    EXPECT_EQ(analysed.Err, "note: final partial block of 614 samples (0.028 s) not analysed\n");
    const double tolerance = 1.0 + c.Rpm * c.RelativeTolerance;
    for (const CsvRow& row : rows) {
        SCOPED_TRACE("block " + row.at("block"));
        EXPECT_NEAR(std::stod(row.at("rpm")), c.Rpm, tolerance);
        EXPECT_NEAR(std::stod(row.at("frequency_hz")), c.Rpm * c.Ppr / 60.0,
                    tolerance * c.Ppr / 60.0 + 0.001);
        EXPECT_EQ(row.at("steady"), c.Steady ? "true" : "false");
        EXPECT_EQ(row.at("overload"), c.Overload ? "true" : "false");
    }
}

INSTANTIATE_TEST_SUITE_P(
    Signals, RoundTrip,
    ::testing::Values(
        RoundTripCase{"Sine1500RpmTwoImpulses", 1500, 2, "sine", 10000, 0, 0, true, false, 0.001},
        RoundTripCase{"Sine900RpmOneImpulse", 900, 1, "sine", 10000, 0, 0, true, false, 0.001},
        RoundTripCase{"Square3000Rpm", 3000, 1, "square", 8000, 0, 0, true, false, 0.001},
        RoundTripCase{"Pulse12000RpmFourImpulses", 12000, 4, "pulse", 8000, 0, 0, true, false,
                      0.001},
        RoundTripCase{"Square45000RpmSixImpulses", 45000, 6, "square", 8000, 0, 0, true, false,
                      0.001},
        RoundTripCase{"Square100000Rpm", 100000, 1, "square", 8000, 0, 0, true, false, 0.001},
        RoundTripCase{"SevenImpulsesBeyondTheWindowsSelector", 1000, 7, "sine", 10000, 0, 0, true,
                      false, 0.001},
        RoundTripCase{"HundredImpulses", 60, 100, "square", 8000, 0, 0, true, false, 0.001},
        RoundTripCase{"NoisySine", 2400, 3, "sine", 10000, 200, 0, true, false, 0.002},
        RoundTripCase{"NoisyPulse", 6000, 5, "pulse", 8000, 300, 0, true, false, 0.002},
        RoundTripCase{"SlightJitterStaysSteady", 3000, 2, "square", 8000, 0, 0.005, true, false,
                      0.005},
        RoundTripCase{"StrongJitterIsUnsteady", 3000, 1, "square", 8000, 0, 0.2, false, false, 0.1},
        RoundTripCase{"BelowTenImpulsesPerSecondIsUnsteady", 540, 1, "square", 8000, 0, 0, false,
                      false, 0.01},
        RoundTripCase{"LoudSignalIsOverloadedButMeasured", 3000, 1, "square", 20000, 0, 0, true,
                      true, 0.001}),
    [](const auto& info) { return std::string(info.param.Name); });

// A file analysed at another rate or from another channel than capture would deliver.
struct RecordingCase {
    const char* Name;
    const char* File;
    int SampleRate;
    int Channels;
    int Channel; // 1-based, the one analysed
};

// Channel k of every fixture carries its own speed, so the wrong channel cannot pass.
constexpr double kChannelHz[] = {50.0, 120.0, 75.0};

class Recordings : public CliTest, public ::testing::WithParamInterface<RecordingCase> {};

TEST_P(Recordings, SelectedChannelIsResampledAndCutIntoBlocks) {
    const RecordingCase& c = GetParam();
    const int frames = c.SampleRate * 3; // 3 s: eight blocks at 22050 Hz
    std::vector<std::int16_t> interleaved(static_cast<std::size_t>(frames * c.Channels));
    for (int channel = 0; channel < c.Channels; ++channel) {
        PulseTrainSettings settings;
        settings.FrequencyHz = kChannelHz[channel];
        settings.Shape = channel == 1 ? PulseShape::Square : PulseShape::Sine;
        settings.Amplitude = 8000;
        settings.SampleRate = c.SampleRate;
        PulseTrainGenerator generator(settings);
        std::vector<std::int16_t> mono(static_cast<std::size_t>(frames));
        generator.Generate(mono);
        for (int i = 0; i < frames; ++i) {
            interleaved[static_cast<std::size_t>(i * c.Channels + channel)] =
                mono[static_cast<std::size_t>(i)];
        }
    }
    WriteRecording(Path(c.File), c.SampleRate, c.Channels, interleaved);

    const CliResult result =
        RunCliInProcess({"analyse", Path(c.File).string(), "--channel", std::to_string(c.Channel)});
    ASSERT_EQ(result.ExitCode, 0) << result.Err;
    const std::vector<std::string> lines = SplitLines(result.Out);
    ASSERT_GE(lines.size(), 9u);
    const double expectedRpm = kChannelHz[c.Channel - 1] * 60.0;
    for (int block = 0; block < 8; ++block) {
        std::istringstream row(lines[static_cast<std::size_t>(block + 1)]);
        int index = -1;
        double start = 0;
        double rpm = 0;
        double frequency = 0;
        std::string steady;
        row >> index >> start >> rpm >> frequency >> steady;
        EXPECT_EQ(index, block);
        EXPECT_NEAR(rpm, expectedRpm, 1.0 + expectedRpm * 0.001) << lines[block + 1];
        EXPECT_EQ(steady, "yes") << lines[block + 1];
    }
    EXPECT_EQ(lines[9], "") << "eight blocks, then the summary";
    EXPECT_NE(result.Out.find("blocks:    8 analysed (8 steady, 0 unsteady, 0 overloaded)"),
              std::string::npos)
        << result.Out;
    const bool resampled = result.Out.find("resampled to 22050 Hz") != std::string::npos;
    EXPECT_EQ(resampled, c.SampleRate != 22050) << result.Out;
}

INSTANTIATE_TEST_SUITE_P(
    Files, Recordings,
    ::testing::Values(RecordingCase{"Wav44100StereoFirstChannel", "stereo.wav", 44100, 2, 1},
                      RecordingCase{"Wav44100StereoSecondChannel", "stereo.wav", 44100, 2, 2},
                      RecordingCase{"Flac48000Mono", "mono.flac", 48000, 1, 1},
                      RecordingCase{"Aiff11025Mono", "mono.aiff", 11025, 1, 1},
                      RecordingCase{"Wav1000MonoFarBelow", "slow.wav", 1000, 1, 1},
                      RecordingCase{"Wav192000StereoFarAbove", "fast.wav", 192000, 2, 2},
                      RecordingCase{"Wav22050ThirdOfThreeChannels", "three.wav", 22050, 3, 3}),
    [](const auto& info) { return std::string(info.param.Name); });

} // namespace
