// Every bad input gets one clear line on stderr, its documented exit code, and leaves no
// output file behind, half-written or otherwise.

#include "tests/tools/CliTestSupport.h"

#include "tools/cli/Cli.h"
#include "tools/cli/Interrupt.h"

#include <sys/stat.h>

#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

// A canonical 44-byte-header WAV of 16-bit samples, written by hand so that its header can say
// what no writer would: `declaredSamples` in the data chunk however many samples follow.
std::string WavBytes(std::uint16_t channels, std::uint32_t rate, std::uint32_t declaredSamples,
                     const std::vector<std::int16_t>& samples) {
    const auto put16 = [](std::string& bytes, std::uint16_t value) {
        bytes += static_cast<char>(value & 0xFF);
        bytes += static_cast<char>(value >> 8);
    };
    const auto put32 = [&put16](std::string& bytes, std::uint32_t value) {
        put16(bytes, static_cast<std::uint16_t>(value & 0xFFFF));
        put16(bytes, static_cast<std::uint16_t>(value >> 16));
    };
    const std::uint32_t dataBytes = declaredSamples * 2;
    const std::uint16_t blockAlign = static_cast<std::uint16_t>(2 * channels);
    std::string bytes = "RIFF";
    put32(bytes, 36 + dataBytes);
    bytes += "WAVEfmt ";
    put32(bytes, 16);
    put16(bytes, 1); // integer PCM
    put16(bytes, channels);
    put32(bytes, rate);
    put32(bytes, rate * blockAlign);
    put16(bytes, blockAlign);
    put16(bytes, 16);
    bytes += "data";
    put32(bytes, dataBytes);
    for (const std::int16_t sample : samples) {
        put16(bytes, static_cast<std::uint16_t>(sample));
    }
    return bytes;
}

void WriteBytes(const std::filesystem::path& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

// A 25 Hz square wave: steady readings of 1500 RPM at one impulse per revolution.
std::vector<std::int16_t> SquareWave(std::size_t count) {
    std::vector<std::int16_t> samples(count);
    for (std::size_t i = 0; i < count; ++i) {
        samples[i] = (i % 882) < 441 ? 8000 : -8000;
    }
    return samples;
}

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

        const std::string whole = WavBytes(1, 22050, 44100, SquareWave(44100));
        // Cut inside the RIFF header, the fmt chunk, the data chunk's header, and right after it.
        for (const std::size_t cut : {12u, 20u, 30u, 40u, 44u}) {
            WriteBytes(Path("cut" + std::to_string(cut) + ".wav"), whole.substr(0, cut));
        }
        // A header promising two seconds over less than a block of samples.
        WriteBytes(Path("promises.wav"), WavBytes(1, 22050, 44100, SquareWave(5000)));
        WriteBytes(Path("nochannels.wav"), WavBytes(0, 22050, 8192, SquareWave(8192)));
        WriteBytes(Path("rate0.wav"), WavBytes(1, 0, 8192, SquareWave(8192)));
        WriteBytes(Path("rate1.wav"), WavBytes(1, 1, 8192, SquareWave(8192)));
        WriteBytes(Path("rate4g.wav"), WavBytes(1, 4000000000u, 8192, SquareWave(8192)));
        // A FIFO nobody writes to: opening it for reading in the usual way waits for ever.
        ASSERT_EQ(mkfifo(Path("fifo.wav").c_str(), 0600), 0) << std::strerror(errno);
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
        BadInputCase{"Fifo", {"analyse", "{}/fifo.wav"}, 3, "it is a FIFO (named pipe)"},
        BadInputCase{"Device", {"analyse", "/dev/null"}, 3, "it is a device, not a recording"},
        BadInputCase{"CutInRiffHeader",
                     {"analyse", "{}/cut12.wav"},
                     4,
                     "truncated: it holds 12 of the 88244 bytes its header promises"},
        BadInputCase{"CutInFmtChunk",
                     {"analyse", "{}/cut20.wav"},
                     4,
                     "truncated: it holds 20 of the 88244 bytes"},
        BadInputCase{"CutAfterFmtChunk",
                     {"analyse", "{}/cut30.wav"},
                     4,
                     "truncated: it holds 30 of the 88244 bytes"},
        BadInputCase{"CutInDataChunkHeader",
                     {"analyse", "{}/cut40.wav"},
                     4,
                     "truncated: it holds 40 of the 88244 bytes"},
        BadInputCase{"CutBeforeTheFirstSample",
                     {"analyse", "{}/cut44.wav"},
                     6,
                     "too short: 0 samples at 22050 Hz (0.000 s); the analysis needs at least one "
                     "block of 8192 samples at 22050 Hz (0.372 s); the file is truncated: its "
                     "header promises 44100 samples (2.000 s)"},
        BadInputCase{"CutToLessThanABlock",
                     {"analyse", "{}/promises.wav"},
                     6,
                     "too short: 5000 samples at 22050 Hz"},
        BadInputCase{"CutFileAskedForAPlot",
                     {"analyse", "{}/cut40.wav", "--plot", "{}/plot.png"},
                     4,
                     "truncated"},
        BadInputCase{"NoChannels", {"analyse", "{}/nochannels.wav"}, 4, "declares 0 channels"},
        BadInputCase{"RateZero",
                     {"analyse", "{}/rate0.wav"},
                     4,
                     "its header declares 0 Hz; recordings from 1000 to 768000 Hz"},
        BadInputCase{"RateOneHertz", {"analyse", "{}/rate1.wav"}, 4, "its header declares 1 Hz"},
        BadInputCase{"RateFourGigahertz",
                     {"analyse", "{}/rate4g.wav"},
                     4,
                     "its header declares 4000000000 Hz"},
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

TEST_F(Outputs, CutOffRecordingIsAnalysedAsFarAsItGoesWithANote) {
    // The header promises two seconds; the file holds two whole blocks and 100 samples.
    WriteBytes(Path("cut.wav"), WavBytes(1, 22050, 44100, SquareWave(2 * 8192 + 100)));
    const CliResult result = RunCliInProcess({"analyse", Path("cut.wav").string(), "--format",
                                              "csv", "--plot", Path("cut.png").string()});
    ASSERT_EQ(result.ExitCode, 0) << result.Err;
    const std::vector<CsvRow> rows = ParseCsv(result.Out);
    ASSERT_EQ(rows.size(), 2u);
    for (const CsvRow& row : rows) {
        EXPECT_EQ(row.at("rpm"), "1500");
        EXPECT_EQ(row.at("steady"), "true");
    }
    EXPECT_EQ(SplitLines(result.Err),
              (std::vector<std::string>{
                  "note: final partial block of 100 samples (0.005 s) not analysed",
                  "note: '" + Path("cut.wav").string() +
                      "' is truncated: its header promises 44100 samples (2.000 s) but the file "
                      "holds 16484 (0.748 s); the 2 whole blocks in it were analysed"}));
    EXPECT_EQ(FolderContents(), (std::vector<std::string>{"cut.png", "cut.wav"}));
}

TEST_F(Outputs, WholeRecordingGetsNoTruncationNote) {
    WriteBytes(Path("whole.wav"), WavBytes(1, 22050, 2 * 8192, SquareWave(2 * 8192)));
    const CliResult result =
        RunCliInProcess({"analyse", Path("whole.wav").string(), "--format", "csv"});
    ASSERT_EQ(result.ExitCode, 0) << result.Err;
    EXPECT_EQ(result.Err, "");
    EXPECT_EQ(ParseCsv(result.Out).size(), 2u);
}

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
