// Every bad input gets one clear line on stderr, its documented exit code, and leaves no
// output file behind, half-written or otherwise.

#include "tests/tools/CliTestSupport.h"

#include "tools/cli/Cli.h"
#include "tools/cli/Interrupt.h"

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct BadInputCase {
    const char* Name;
    std::vector<std::string> Args; // "{}" stands for the test's folder
    int ExitCode;
    const char* Message; // part of the error line
};

class BadInput : public CliTest, public ::testing::WithParamInterface<BadInputCase> {
protected:
    void SetUp() override {
        CliTest::SetUp();
        std::ofstream(Path("empty.wav")).flush();
        std::ofstream(Path("notes.wav")) << "these are not samples\n";
        std::filesystem::create_directory(Path("folder"));
        WriteRecording(Path("short.wav"), 22050, 1, std::vector<std::int16_t>(8191, 100));
        // Enough frames at 48 kHz, but fewer than a block once at 22050 Hz.
        WriteRecording(Path("short48k.wav"), 48000, 1, std::vector<std::int16_t>(16000, 100));
        WriteRecording(Path("stereo.wav"), 22050, 2, std::vector<std::int16_t>(2 * 8192, 100));
        WriteRecording(Path("good.wav"), 22050, 1, std::vector<std::int16_t>(8192, 100));
    }

    std::vector<std::string> Arguments() const {
        std::vector<std::string> args = GetParam().Args;
        for (std::string& arg : args) {
            if (const auto at = arg.find("{}"); at != std::string::npos) {
                arg.replace(at, 2, Folder.string());
            }
        }
        return args;
    }
};

TEST_P(BadInput, FailsWithOneClearLineAndItsExitCode) {
    const std::vector<std::string> before = FolderContents();
    const CliResult result = RunCliInProcess(Arguments());
    EXPECT_EQ(result.ExitCode, GetParam().ExitCode) << result.Err;
    EXPECT_EQ(result.Out, "");
    ASSERT_FALSE(result.Err.empty());
    EXPECT_EQ(result.Err.rfind("velmorant-cli: ", 0), 0u) << result.Err;
    EXPECT_EQ(result.Err.find('\n'), result.Err.size() - 1) << "one line: " << result.Err;
    EXPECT_NE(result.Err.find(GetParam().Message), std::string::npos) << result.Err;
    EXPECT_EQ(FolderContents(), before) << "nothing written, nothing left over";
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BadInput,
    ::testing::Values(
        BadInputCase{"MissingFile", {"analyse", "{}/missing.wav"}, 3, "no such file"},
        BadInputCase{"Directory", {"analyse", "{}/folder"}, 3, "is a directory"},
        BadInputCase{"EmptyFile", {"analyse", "{}/empty.wav"}, 4, "empty (0 bytes)"},
        BadInputCase{"NotAudio", {"analyse", "{}/notes.wav"}, 4, "not an audio file"},
        BadInputCase{"OneSampleShortOfABlock", {"analyse", "{}/short.wav"}, 6, "too short"},
        BadInputCase{"ShortAfterResampling", {"analyse", "{}/short48k.wav"}, 6, "too short"},
        BadInputCase{"NoSuchChannel",
                     {"analyse", "{}/stereo.wav", "--channel", "3"},
                     5,
                     "has 2 channels; there is no channel 3"},
        BadInputCase{"ChannelZero",
                     {"analyse", "{}/good.wav", "--channel", "0"},
                     2,
                     "--channel: must be 1 or more, not 0"},
        BadInputCase{"PprZero",
                     {"analyse", "{}/good.wav", "--ppr", "0"},
                     2,
                     "--ppr: must be 1 or more, not 0"},
        BadInputCase{"PprNegative",
                     {"analyse", "{}/good.wav", "--ppr", "-2"},
                     2,
                     "--ppr: must be 1 or more, not -2"},
        BadInputCase{"PprText",
                     {"analyse", "{}/good.wav", "--ppr", "two"},
                     2,
                     "--ppr: 'two' is not a whole number"},
        BadInputCase{"PprFraction",
                     {"analyse", "{}/good.wav", "--ppr", "1.5"},
                     2,
                     "--ppr: '1.5' is not a whole number"},
        BadInputCase{"PprTooLarge",
                     {"analyse", "{}/good.wav", "--ppr", "99999999999"},
                     2,
                     "--ppr: 99999999999 is too large"},
        BadInputCase{"UnknownFormat",
                     {"analyse", "{}/good.wav", "--format", "xml"},
                     2,
                     "--format: 'xml' is not one of table, csv, jsonl"},
        BadInputCase{"PlotIntoMissingFolder",
                     {"analyse", "{}/good.wav", "--plot", "{}/nowhere/plot.png"},
                     7,
                     "cannot write"},
        BadInputCase{"PlotOntoAFolder",
                     {"analyse", "{}/good.wav", "--plot", "{}/folder"},
                     7,
                     "is a directory"},
        BadInputCase{"AnalyseWithoutFile", {"analyse"}, 2, "FILE is required"},
        BadInputCase{"UnknownOption", {"analyse", "{}/good.wav", "--fast"}, 2, "--fast"},
        BadInputCase{"UnknownCommand", {"frobnicate"}, 2, "unknown command 'frobnicate'"},
        BadInputCase{"NoCommand", {}, 2, "subcommand is required"},
        BadInputCase{"ListenSecondsZero",
                     {"listen", "--seconds", "0"},
                     2,
                     "--seconds: must be more than 0, not 0"},
        BadInputCase{"ListenSecondsText",
                     {"listen", "--seconds", "long"},
                     2,
                     "--seconds: 'long' is not a number"},
        BadInputCase{"ListenPprZero", {"listen", "--ppr", "0"}, 2, "--ppr: must be 1 or more"},
        BadInputCase{"ListenUnknownFormat",
                     {"listen", "--format", "xml"},
                     2,
                     "--format: 'xml' is not one of table, csv, jsonl"},
        BadInputCase{"RecordIntoMissingFolder",
                     {"listen", "--record", "{}/nowhere/live.wav"},
                     7,
                     "cannot write"},
        BadInputCase{"RecordOntoAFolder", {"listen", "--record", "{}/folder"}, 7, "is a directory"},
        BadInputCase{"DevCapsTakesNoArguments", {"devcaps", "now"}, 2, "now"},
        BadInputCase{"GenerateWithoutRpm", {"generate", "{}/out.wav"}, 2, "--rpm is required"},
        BadInputCase{"RpmText",
                     {"generate", "{}/out.wav", "--rpm", "fast"},
                     2,
                     "--rpm: 'fast' is not a number"},
        BadInputCase{
            "RpmZero", {"generate", "{}/out.wav", "--rpm", "0"}, 2, "--rpm: must be more than 0"},
        BadInputCase{"RpmNotANumber",
                     {"generate", "{}/out.wav", "--rpm", "nan"},
                     2,
                     "--rpm: 'nan' is not a number"},
        BadInputCase{"ImpulsesBeyondHalfTheSampleRate",
                     {"generate", "{}/out.wav", "--rpm", "400000", "--ppr", "2"},
                     2,
                     "fewer than 11025"},
        BadInputCase{"GeneratePprZero",
                     {"generate", "{}/out.wav", "--rpm", "100", "--ppr", "0"},
                     2,
                     "--ppr: must be 1 or more"},
        BadInputCase{"SecondsZero",
                     {"generate", "{}/out.wav", "--rpm", "100", "--seconds", "0"},
                     2,
                     "--seconds: must be more than 0"},
        BadInputCase{"SecondsBeyondADay",
                     {"generate", "{}/out.wav", "--rpm", "100", "--seconds", "90000"},
                     2,
                     "at most 86400"},
        BadInputCase{"UnknownShape",
                     {"generate", "{}/out.wav", "--rpm", "100", "--shape", "triangle"},
                     2,
                     "--shape: 'triangle' is not one of sine, square, pulse"},
        BadInputCase{"AmplitudeBeyondFullScale",
                     {"generate", "{}/out.wav", "--rpm", "100", "--amplitude", "40000"},
                     2,
                     "--amplitude: must be from 0 to 32767"},
        BadInputCase{"NegativeNoise",
                     {"generate", "{}/out.wav", "--rpm", "100", "--noise", "-1"},
                     2,
                     "--noise: must be 0 or more"},
        BadInputCase{"JitterOfAWholePeriod",
                     {"generate", "{}/out.wav", "--rpm", "100", "--jitter", "1"},
                     2,
                     "--jitter: must be 0 or more and less than 1"},
        BadInputCase{"OutputInMissingFolder",
                     {"generate", "{}/nowhere/out.wav", "--rpm", "100"},
                     7,
                     "cannot write"},
        BadInputCase{
            "OutputOntoAFolder", {"generate", "{}/folder", "--rpm", "100"}, 7, "is a directory"}),
    [](const auto& info) { return std::string(info.param.Name); });

using Outputs = CliTest;

TEST_F(Outputs, GenerateReplacesAnEarlierFileWhole) {
    std::ofstream(Path("out.wav")) << "an older file";
    const CliResult result =
        RunCliInProcess({"generate", Path("out.wav").string(), "--rpm", "1500", "--seconds", "1"});
    ASSERT_EQ(result.ExitCode, 0) << result.Err;
    EXPECT_EQ(result.Out, "wrote " + Path("out.wav").string() +
                              ": 1.000 s of sine at 1500 RPM x 1 impulse per revolution = "
                              "25.000 Hz (22050 samples, 16-bit mono 22050 Hz)\n");
    EXPECT_EQ(FolderContents(), std::vector<std::string>{"out.wav"});
    // 44-byte header and two bytes per sample.
    EXPECT_EQ(std::filesystem::file_size(Path("out.wav")), 44u + 2u * 22050u);
}

TEST_F(Outputs, InterruptedGenerateLeavesTheEarlierFileAndNoTemporary) {
    std::ofstream(Path("out.wav")) << "an older file";
    RequestStop();
    const CliResult result =
        RunCliInProcess({"generate", Path("out.wav").string(), "--rpm", "1500"});
    EXPECT_EQ(result.ExitCode, 130);
    EXPECT_EQ(result.Err, "velmorant-cli: interrupted\n");
    EXPECT_EQ(FolderContents(), std::vector<std::string>{"out.wav"});
    EXPECT_EQ(ReadText(Path("out.wav")), "an older file");
}

} // namespace
