// Plotting and listening come from a module the program loads only when a command needs them:
// the plot is written whole or not at all, and a missing module costs only those commands.

#include "tests/tools/CliTestSupport.h"

#include "tests/support/SoftwareSoundDevice.h"
#include "tools/cli/Cli.h"
#include "tools/cli/Interrupt.h"

#include <sstream>
#include <string>
#include <vector>

namespace {

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

TEST_F(Plot, PlotIsACompletePng) {
    ASSERT_EQ(
        RunCliInProcess({"generate", Path("in.wav").string(), "--rpm", "3000", "--seconds", "2"})
            .ExitCode,
        0);
    const CliResult result =
        RunCliInProcess({"analyse", Path("in.wav").string(), "--plot", Path("plot.png").string()});
    ASSERT_EQ(result.ExitCode, 0) << result.Err;
    EXPECT_EQ(result.Err, "") << "no chatter from the drawing library";
    EXPECT_EQ(FolderContents(), (std::vector<std::string>{"in.wav", "plot.png"}));
    const std::string png = ReadText(Path("plot.png"));
    ASSERT_GT(png.size(), 8u);
    EXPECT_EQ(png.substr(0, 8), std::string("\x89PNG\r\n\x1a\n", 8));
    EXPECT_EQ(png.substr(png.size() - 8, 4), "IEND") << "the PNG is complete";
}

using Module = CliTest;

TEST_F(Module, ProgramLoadsItForPlotListenAndDevCaps) {
    ASSERT_EQ(RunCliProgram({"generate", Path("in.wav").string(), "--rpm", "3000"}).ExitCode, 0);
    const CliResult plotted =
        RunCliProgram({"analyse", Path("in.wav").string(), "--plot", Path("plot.png").string()});
    EXPECT_EQ(plotted.ExitCode, 0) << plotted.Err;
    EXPECT_EQ(plotted.Err, "");
    EXPECT_GT(std::filesystem::file_size(Path("plot.png")), 1000u);

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

TEST_F(Module, WithoutItAnalyseWorksAndPlotSaysWhy) {
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
    EXPECT_EQ(plotted.Err.rfind("velmorant-cli: cannot load libvelmorant-cli-extras.so, which "
                                "plotting and listening need: ",
                                0),
              0u)
        << plotted.Err;
    EXPECT_EQ(plotted.Err.find('\n'), plotted.Err.size() - 1) << "one line: " << plotted.Err;
    EXPECT_EQ(FolderContents(), (std::vector<std::string>{"in.wav", "velmorant-cli"}));
}

} // namespace
