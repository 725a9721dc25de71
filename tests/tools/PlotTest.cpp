// Plots of analyse and listen: written whole or not at all, drawn by a module the program loads
// only when a plot is asked for, so a missing module costs only plotting.

#include "tests/tools/CliTestSupport.h"

#include "platform/wave/ScriptedWaveDevice.h"
#include "signal/TestSignal.h"
#include "tools/cli/Cli.h"
#include "tools/cli/Interrupt.h"

#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace {

// Whether the bytes are a PNG file with its end: the signature first, the IEND chunk last.
void ExpectCompletePng(const std::filesystem::path& path) {
    const std::string png = ReadText(path);
    ASSERT_GT(png.size(), 1000u) << path;
    EXPECT_EQ(png.substr(0, 8), std::string("\x89PNG\r\n\x1a\n", 8));
    EXPECT_EQ(png.substr(png.size() - 8, 4), "IEND") << "the PNG is complete";
}

using Plot = CliTest;

TEST_F(Plot, InterruptedAnalyseWritesNoPlot) {
    WriteRecording(Path("in.wav"), 22050, 1, std::vector<std::int16_t>(3 * 8192, 0));
    RequestStop();
    const CliResult result =
        RunCliInProcess({"analyse", Path("in.wav").string(), "--plot", Path("plot.png").string()});
    EXPECT_EQ(result.ExitCode, 130);
    EXPECT_EQ(result.Err, "velmorant-cli: interrupted\n");
    EXPECT_EQ(FolderContents(), std::vector<std::string>{"in.wav"});
}

TEST_F(Plot, LostStandardOutputStopsAnalyseWithoutLeftovers) {
    WriteRecording(Path("in.wav"), 22050, 1, std::vector<std::int16_t>(3 * 8192, 0));
    const std::string input = Path("in.wav").string();
    const std::string plot = Path("plot.png").string();
    const char* argv[] = {"velmorant-cli", "analyse", input.c_str(), "--plot", plot.c_str()};
    std::ostream closed(nullptr); // as stdout behaves once its reader has gone
    std::ostringstream err;
    EXPECT_EQ(RunCli(5, argv, closed, err), 7);
    EXPECT_EQ(err.str(), "velmorant-cli: cannot write the readings to the standard output\n");
    EXPECT_EQ(FolderContents(), std::vector<std::string>{"in.wav"});
}

TEST_F(Plot, AnalysePlotIsACompletePng) {
    ASSERT_EQ(
        RunCliInProcess({"generate", Path("in.wav").string(), "--rpm", "3000", "--seconds", "2"})
            .ExitCode,
        0);
    const CliResult result =
        RunCliInProcess({"analyse", Path("in.wav").string(), "--plot", Path("plot.png").string()});
    ASSERT_EQ(result.ExitCode, 0) << result.Err;
    EXPECT_EQ(result.Err, "") << "no chatter from the drawing library";
    EXPECT_EQ(FolderContents(), (std::vector<std::string>{"in.wav", "plot.png"}));
    ExpectCompletePng(Path("plot.png"));
}

TEST_F(Plot, ListenDrawsTheRunWhenItEnds) {
    ScriptedWaveDevice device;
    PulseTrainSettings sensor;
    sensor.FrequencyHz = 40.0;
    sensor.Shape = PulseShape::Pulse;
    sensor.Amplitude = 9000;
    sensor.BandLimited = true;
    sensor.AcCornerHz = 5.0;
    auto generator = std::make_shared<PulseTrainGenerator>(sensor);
    device.Feed([generator](std::span<std::int16_t> samples, std::int64_t) {
        generator->Generate(samples);
    });
    for (const char* method : {"block", "tracker"}) {
        SCOPED_TRACE(method);
        const auto plot = Path(std::string(method) + ".png");
        const CliResult result = RunCliInProcess({"listen", "--seconds", "1", "--method", method,
                                                  "--format", "csv", "--plot", plot.string()});
        ASSERT_EQ(result.ExitCode, 0) << result.Err;
        EXPECT_EQ(ParseCsv(result.Out).size(), 3u);
        ExpectCompletePng(plot);
    }
}

TEST_F(Plot, ListenKeepsItsPlotWhenTheInputFails) {
    ScriptedWaveDevice device;
    std::vector<std::int16_t> samples(2 * 8192 + 100);
    PulseTrainGenerator(PulseTrainSettings{}).Generate(samples);
    device.Deliver(samples);
    device.Vanish("the sensor cable was pulled");
    const CliResult result =
        RunCliInProcess({"listen", "--format", "jsonl", "--plot", Path("cut.png").string()});
    EXPECT_EQ(result.ExitCode, 8);
    EXPECT_EQ(SplitLines(result.Out).size(), 2u) << result.Out;
    ExpectCompletePng(Path("cut.png"));
}

TEST_F(Plot, ListenThatCannotOpenLeavesNoPlot) {
    ScriptedWaveDevice device;
    device.SetOpenResult(MMSYSERR_NODRIVER, "no sound input here");
    const CliResult result = RunCliInProcess({"listen", "--plot", Path("never.png").string()});
    EXPECT_EQ(result.ExitCode, 8);
    EXPECT_TRUE(FolderContents().empty());
}

using PlotModule = CliTest;

TEST_F(PlotModule, ProgramLoadsItForPlots) {
    ASSERT_EQ(RunCliProgram({"generate", Path("in.wav").string(), "--rpm", "3000"}).ExitCode, 0);
    const CliResult plotted =
        RunCliProgram({"analyse", Path("in.wav").string(), "--plot", Path("plot.png").string()});
    EXPECT_EQ(plotted.ExitCode, 0) << plotted.Err;
    EXPECT_EQ(plotted.Err, "");
    ExpectCompletePng(Path("plot.png"));
}

TEST_F(PlotModule, WithoutItAnalyseWorksAndPlotSaysWhy) {
    // A copy of the program in a folder without the module beside it.
    const auto lonely = Path("velmorant-cli");
    std::filesystem::copy_file(CliProgramPath(), lonely);
    ASSERT_EQ(RunProgram(lonely, {"generate", Path("in.wav").string(), "--rpm", "3000"}).ExitCode,
              0);
    EXPECT_EQ(RunProgram(lonely, {"analyse", Path("in.wav").string()}).ExitCode, 0);

    const CliResult plotted = RunProgram(
        lonely, {"analyse", Path("in.wav").string(), "--plot", Path("plot.png").string()});
    EXPECT_EQ(plotted.ExitCode, 1);
    EXPECT_EQ(plotted.Out, "");
    EXPECT_EQ(plotted.Err.rfind("velmorant-cli: cannot load libvelmorant-cli-plot.so, which "
                                "plotting needs: ",
                                0),
              0u)
        << plotted.Err;
    EXPECT_EQ(plotted.Err.find('\n'), plotted.Err.size() - 1) << "one line: " << plotted.Err;
    EXPECT_EQ(FolderContents(), (std::vector<std::string>{"in.wav", "velmorant-cli"}));
}

} // namespace
