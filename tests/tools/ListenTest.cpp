// listen against the scripted device (every path, fast) and the software sound device (the
// real PortAudio path, in real time): live rows are the readings analyse gives for the same
// samples, and the recording is a complete WAV however listening ends. devcaps reports what the
// scripted devices claim.

#include "tests/tools/CliTestSupport.h"

#include "diagnostics/CapsFormat.h"
#include "platform/wave/ScriptedWaveDevice.h"
#include "signal/TestSignal.h"
#include "tests/support/SoftwareSoundDevice.h"
#include "tools/cli/Cli.h"
#include "tools/cli/Interrupt.h"

#include <sndfile.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <sstream>
#include <thread>

namespace {

using namespace std::chrono_literals;

PulseTrainSettings Sine50Hz() {
    PulseTrainSettings settings;
    settings.FrequencyHz = 50.0;
    settings.Amplitude = 8000;
    return settings;
}

std::vector<std::int16_t> Samples(const PulseTrainSettings& settings, std::size_t count) {
    std::vector<std::int16_t> samples(count);
    PulseTrainGenerator(settings).Generate(samples);
    return samples;
}

// Frames, rate and channels of a WAV file; frames -1 when it cannot be opened.
struct WavFacts {
    sf_count_t Frames = -1;
    int Rate = 0;
    int Channels = 0;
};

WavFacts FactsOf(const std::filesystem::path& path) {
    SF_INFO info{};
    SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
    if (file == nullptr) {
        return {};
    }
    sf_close(file);
    return {info.frames, info.samplerate, info.channels};
}

// The rows analyse prints for a recording, for comparison with what listen printed live.
std::string AnalysedCsv(const std::filesystem::path& path, const char* ppr) {
    const CliResult result =
        RunCliInProcess({"analyse", path.string(), "--ppr", ppr, "--format", "csv"});
    EXPECT_EQ(result.ExitCode, 0) << result.Err;
    return result.Out;
}

class ListenScripted : public CliTest {
protected:
    ScriptedWaveDevice Device;
};

TEST_F(ListenScripted, ShowsEachBlockAsAnalyseWouldAndRecordsIt) {
    auto generator = std::make_shared<PulseTrainGenerator>(Sine50Hz());
    Device.Feed([generator](std::span<std::int16_t> samples, std::int64_t) {
        generator->Generate(samples);
    });
    const auto wav = Path("live.wav");
    const CliResult result = RunCliInProcess(
        {"listen", "--seconds", "1", "--ppr", "2", "--format", "csv", "--record", wav.string()});
    ASSERT_EQ(result.ExitCode, 0) << result.Err;
    EXPECT_EQ(result.Err, "");
    const std::vector<CsvRow> rows = ParseCsv(result.Out);
    ASSERT_EQ(rows.size(), 3u) << "1 s rounds up to three whole blocks";
    for (const CsvRow& row : rows) {
        EXPECT_EQ(row.at("rpm"), "1500");
        EXPECT_EQ(row.at("steady"), "true");
    }
    const WavFacts facts = FactsOf(wav);
    EXPECT_EQ(facts.Frames, 3 * 8192);
    EXPECT_EQ(facts.Rate, 22050);
    EXPECT_EQ(facts.Channels, 1);
    EXPECT_EQ(AnalysedCsv(wav, "2"), result.Out) << "the recording gives the same readings";
    EXPECT_EQ(Device.Violations(), 0);
    EXPECT_FALSE(Device.IsOpen());
    EXPECT_EQ(FolderContents(), std::vector<std::string>{"live.wav"});
}

TEST_F(ListenScripted, TrackerShowsAReadingPerBlockAsAnalyseWouldWithTheClockCorrected) {
    auto generator = std::make_shared<PulseTrainGenerator>(Sine50Hz());
    Device.Feed([generator](std::span<std::int16_t> samples, std::int64_t) {
        generator->Generate(samples);
    });
    const auto wav = Path("live.wav");
    const CliResult result =
        RunCliInProcess({"listen", "--method", "tracker", "--clock-ppm", "100", "--seconds", "2",
                         "--ppr", "2", "--format", "csv", "--record", wav.string()});
    ASSERT_EQ(result.ExitCode, 0) << result.Err;
    const std::vector<CsvRow> rows = ParseCsv(result.Out);
    ASSERT_EQ(rows.size(), 6u) << "2 s rounds up to six whole blocks";
    EXPECT_EQ(rows.back().at("rpm"), "1500.150");
    EXPECT_EQ(rows.back().at("steady"), "true");
    const CliResult analysed =
        RunCliInProcess({"analyse", wav.string(), "--method", "tracker", "--clock-ppm", "100",
                         "--ppr", "2", "--format", "csv"});
    EXPECT_EQ(analysed.Out, result.Out) << "the recording gives the same readings";
}

TEST_F(ListenScripted, CtrlCEndsNormallyAndKeepsTheTailInTheRecording) {
    // Two whole blocks and a part of the third, then the user stops.
    const std::vector<std::int16_t> input = Samples(Sine50Hz(), 2 * 8192 + 3000);
    Device.Deliver(input);
    std::thread user([this] {
        if (Device.WaitUntilScriptDone(10s)) {
            RequestStop();
        }
    });
    const auto wav = Path("stopped.wav");
    const CliResult result = RunCliInProcess({"listen", "--record", wav.string()});
    user.join();
    ASSERT_EQ(result.ExitCode, 0) << result.Err;
    EXPECT_EQ(FactsOf(wav).Frames, 2 * 8192 + 3000) << "every sample taken in";
    const std::vector<std::string> lines = SplitLines(result.Out);
    ASSERT_GE(lines.size(), 4u);
    EXPECT_EQ(lines[1].substr(0, 6), "     0");
    EXPECT_EQ(lines[2].substr(0, 6), "     1");
    EXPECT_EQ(lines[3], "") << "two blocks, then the summary";
    EXPECT_NE(result.Out.find("blocks:    2 analysed (2 steady, 0 unsteady, 0 overloaded)"),
              std::string::npos)
        << result.Out;
    EXPECT_NE(result.Out.find("skipped:   final partial block of 3000 samples (0.136 s)"),
              std::string::npos)
        << result.Out;
    EXPECT_NE(result.Out.find(", saved to " + wav.string()), std::string::npos) << result.Out;
    EXPECT_FALSE(Device.IsOpen());
}

TEST_F(ListenScripted, VanishingDeviceIsReportedAfterWhatWasRead) {
    Device.Deliver(Samples(Sine50Hz(), 8192 + 4096));
    Device.Vanish("the sensor cable was pulled");
    const auto wav = Path("cut.wav");
    const CliResult result =
        RunCliInProcess({"listen", "--format", "jsonl", "--record", wav.string()});
    EXPECT_EQ(result.ExitCode, 8);
    EXPECT_EQ(SplitLines(result.Out).size(), 1u) << "the one whole block: " << result.Out;
    EXPECT_EQ(result.Err.rfind("velmorant-cli: the sound input failed: ", 0), 0u) << result.Err;
    EXPECT_NE(result.Err.find("the sensor cable was pulled"), std::string::npos) << result.Err;
    EXPECT_EQ(result.Err.find('\n'), result.Err.size() - 1) << "one line: " << result.Err;
    EXPECT_EQ(FactsOf(wav).Frames, 8192 + 4096) << "a complete file of what was read";
    EXPECT_FALSE(Device.IsOpen());
}

TEST_F(ListenScripted, InputThatCannotOpenLeavesNoRecording) {
    Device.SetOpenResult(MMSYSERR_NODRIVER, "no sound input here");
    const CliResult result = RunCliInProcess({"listen", "--record", Path("never.wav").string()});
    EXPECT_EQ(result.ExitCode, 8);
    EXPECT_EQ(result.Out, "");
    EXPECT_EQ(result.Err, "velmorant-cli: cannot open the sound input: no sound input here\n");
    EXPECT_TRUE(FolderContents().empty());
}

TEST_F(ListenScripted, LostStandardOutputStopsListeningWithACompleteRecording) {
    auto generator = std::make_shared<PulseTrainGenerator>(Sine50Hz());
    Device.Feed([generator](std::span<std::int16_t> samples, std::int64_t) {
        generator->Generate(samples);
    });
    const std::string wav = Path("live.wav").string();
    const char* argv[] = {"velmorant-cli", "listen", "--record", wav.c_str()};
    std::ostream closed(nullptr); // as stdout behaves once its reader has gone
    std::ostringstream err;
    EXPECT_EQ(RunCli(4, argv, closed, err), 7);
    EXPECT_EQ(err.str(), "velmorant-cli: cannot write the readings to the standard output; "
                         "listening stopped and the recording is complete\n");
    EXPECT_EQ(FactsOf(wav).Frames % 8192, 0) << "whole blocks, and a valid file";
    EXPECT_FALSE(Device.IsOpen());
}

TEST_F(ListenScripted, RowsAreColouredByVerdictForATerminal) {
    // Loud enough to overload, so the row takes the readout's red.
    PulseTrainSettings loud = Sine50Hz();
    loud.Shape = PulseShape::Square;
    loud.Amplitude = 20000;
    auto generator = std::make_shared<PulseTrainGenerator>(loud);
    Device.Feed([generator](std::span<std::int16_t> samples, std::int64_t) {
        generator->Generate(samples);
    });
    const char* argv[] = {"velmorant-cli", "listen", "--seconds", "0.3", "--format", "csv"};
    std::ostringstream out;
    std::ostringstream err;
    ASSERT_EQ(RunCli(6, argv, out, err, true), 0) << err.str();
    const std::vector<std::string> lines = SplitLines(out.str());
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].find('\x1b'), std::string::npos) << "the header stays plain";
    EXPECT_EQ(lines[1].rfind("\x1b[91m0,", 0), 0u) << lines[1];
    EXPECT_EQ(lines[1].substr(lines[1].size() - 4), "\x1b[0m") << lines[1];
}

TEST_F(ListenScripted, DevCapsPrintsTheButtonsReport) {
    WAVEOUTCAPS output{};
    std::strcpy(output.szPname, "Scripted speakers");
    output.dwFormats = WAVE_FORMAT_4S16;
    output.dwSupport = WAVECAPS_VOLUME | WAVECAPS_LRVOLUME;
    WAVEINCAPS input{};
    std::strcpy(input.szPname, "Scripted line in");
    input.dwFormats = WAVE_FORMAT_2M16;
    Device.SetOutputCaps(output);
    Device.SetInputCaps(input);
    Device.SetVolume(0x8000FFFF);

    const CliResult result = RunCliInProcess({"devcaps"});
    ASSERT_EQ(result.ExitCode, 0) << result.Err;
    EXPECT_EQ(result.Err, "");
    char expected[kCapsReportSize];
    FormatCapsReport(output, 0x8000FFFF, input, expected);
    EXPECT_EQ(result.Out, expected);
    EXPECT_EQ(result.Out.rfind("WaveOut driver: Scripted speakers\n", 0), 0u) << result.Out;
    EXPECT_NE(result.Out.find(" Present volume: L:0xffff R:0x8000\n"), std::string::npos)
        << result.Out;
}

TEST_F(CliTest, ListenThroughTheSystemSoundInput) {
    const std::vector<std::int16_t> input = Samples(Sine50Hz(), 3 * 8192);
    std::string whyNot;
    const auto sound = SoftwareSoundDevice::Create(input, whyNot);
    if (!sound) {
        GTEST_SKIP() << "no software sound device on this machine: " << whyNot;
    }
    WriteRecording(Path("input.wav"), 22050, 1, input);
    const auto wav = Path("live.wav");
    const CliResult result =
        RunCliInProcess({"listen", "--seconds", "1", "--format", "csv", "--record", wav.string()});
    ASSERT_EQ(result.ExitCode, 0) << result.Err;
    EXPECT_EQ(result.Out, AnalysedCsv(Path("input.wav"), "1"))
        << "the sound input delivers the samples bit-exact";
    EXPECT_EQ(FactsOf(wav).Frames, 3 * 8192);
}

TEST_F(CliTest, ListenPlotsThroughTheSystemSoundInput) {
    const std::vector<std::int16_t> input = Samples(Sine50Hz(), 3 * 8192);
    std::string whyNot;
    const auto sound = SoftwareSoundDevice::Create(input, whyNot);
    if (!sound) {
        GTEST_SKIP() << "no software sound device on this machine: " << whyNot;
    }
    const auto plot = Path("live.png");
    const CliResult result =
        RunCliProgram({"listen", "--seconds", "1", "--format", "csv", "--plot", plot.string()});
    ASSERT_EQ(result.ExitCode, 0) << result.Err;
    EXPECT_EQ(ParseCsv(result.Out).size(), 3u);
    const std::string png = ReadText(plot);
    ASSERT_GT(png.size(), 1000u);
    EXPECT_EQ(png.substr(0, 8), std::string("\x89PNG\r\n\x1a\n", 8));
    EXPECT_EQ(png.substr(png.size() - 8, 4), "IEND") << "the PNG is complete";
}

TEST_F(CliTest, ProgramWithoutSoundDevicesRefusesListenAndStillReports) {
    // A sound system without devices, whatever this machine has.
    const EmptyAlsaConfiguration noDevices;
    const CliResult listened = RunCliProgram({"listen", "--seconds", "1"});
    EXPECT_EQ(listened.ExitCode, 8);
    EXPECT_EQ(listened.Out, "");
    EXPECT_EQ(listened.Err.rfind("velmorant-cli: cannot open the sound input: ", 0), 0u)
        << listened.Err;
    // Like the button, the report shows whatever the devices claim, even nothing.
    const CliResult report = RunCliProgram({"devcaps"});
    EXPECT_EQ(report.ExitCode, 0) << report.Err;
    EXPECT_EQ(report.Out.rfind("WaveOut driver: ", 0), 0u) << report.Out;
    EXPECT_NE(report.Out.find("\nWaveIn driver: "), std::string::npos) << report.Out;
}

TEST_F(CliTest, DevCapsNamesTheDevicesAsTheSoundSettingsDo) {
    SoftwareSoundDevice::Settings settings;
    settings.Desktop = true;
    settings.OutputDescription = "Werkstatt Lautsprecher";
    settings.InputDescription = "Drehbank Sensor (Line In)";
    std::string whyNot;
    const auto sound = SoftwareSoundDevice::Create({}, settings, whyNot);
    if (!sound) {
        GTEST_SKIP() << "no software sound device on this machine: " << whyNot;
    }
    const CliResult report = RunCliProgram({"devcaps"});
    ASSERT_EQ(report.ExitCode, 0) << report.Err;
    EXPECT_EQ(report.Out.rfind("WaveOut driver: Werkstatt Lautsprecher\n", 0), 0u) << report.Out;
    EXPECT_NE(report.Out.find("\n\nWaveIn driver: Drehbank Sensor (Line In)\n"), std::string::npos)
        << report.Out;
}

} // namespace
