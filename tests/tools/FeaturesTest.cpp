// A build without the GUI toolkit (VELMORANT_BUILD_GUI=OFF) has no plot: its help does not offer
// --plot, and asking for it is refused as a bad command line that says why, before anything is
// read, opened or written. The rest of the program is the same.

#include "tests/tools/CliTestSupport.h"

#include "tools/cli/Cli.h"

#include <sstream>
#include <string>
#include <vector>

namespace {

CliFeatures NoPlot() {
    CliFeatures features;
    features.Plot = false;
    return features;
}

class WithoutPlot : public CliTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(WithoutPlot, HelpDoesNotOfferIt) {
    const CliResult help = RunCliInProcess({GetParam(), "--help"}, NoPlot());
    ASSERT_EQ(help.ExitCode, 0) << help.Err;
    // Only the exit codes, the same in every build, may name it.
    const std::string body = help.Out.substr(0, help.Out.find("Exit codes:"));
    EXPECT_EQ(body.find("--plot"), std::string::npos) << help.Out;
    EXPECT_NE(help.Out.find("--format"), std::string::npos) << "the other options stay";
    if (BuiltFeatures().Plot) {
        const CliResult full = RunCliInProcess({GetParam(), "--help"}, BuiltFeatures());
        EXPECT_NE(full.Out.find("--plot OUT.png"), std::string::npos) << full.Out;
    }
}

TEST_P(WithoutPlot, AskingForItIsRefusedBeforeAnythingHappens) {
    WriteRecording(Path("in.wav"), 22050, 1, std::vector<std::int16_t>(3 * 8192, 0));
    std::vector<std::string> args{GetParam()};
    if (std::string(GetParam()) == "analyse") {
        args.push_back(Path("in.wav").string());
    }
    args.insert(args.end(), {"--plot", Path("plot.png").string()});
    const CliResult result = RunCliInProcess(args, NoPlot());
    EXPECT_EQ(result.ExitCode, 2);
    EXPECT_EQ(result.Out, "");
    EXPECT_EQ(result.Err,
              "velmorant-cli: --plot: this build of velmorant-cli cannot draw plots (it "
              "was built without the GUI toolkit, VELMORANT_BUILD_GUI=OFF)\n");
    EXPECT_EQ(FolderContents(), std::vector<std::string>{"in.wav"});
}

INSTANTIATE_TEST_SUITE_P(Commands, WithoutPlot, ::testing::Values("analyse", "listen"));

TEST_F(CliTest, WithoutPlotTheCommandsAndExitCodesStayListed) {
    const CliResult help = RunCliInProcess({"--help"}, NoPlot());
    ASSERT_EQ(help.ExitCode, 0);
    for (const char* command : {"analyse", "listen", "calibrate", "generate", "devcaps"}) {
        EXPECT_NE(help.Out.find(std::string("  ") + command), std::string::npos) << command;
    }
    EXPECT_NE(help.Out.find("an option this build of the program does not have"), std::string::npos)
        << help.Out;
}

} // namespace
