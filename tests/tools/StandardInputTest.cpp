// analyse - reads a recording piped into the standard input, as from `cat rec.flac | ...` or a
// recorder writing to stdout, and gives the rows of the same file read by name: for every
// container libsndfile reads from a pipe, resampled or not, short or longer than the start kept
// for libsndfile to look back into, by either method.

#include "tests/tools/CliTestSupport.h"

#include "signal/TestSignal.h"
#include "tools/cli/Interrupt.h"

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace {

// A Hall sensor on a spindle as a sound card delivers it: two magnets, band-limited edges,
// AC coupling, hum and noise; the second channel carries only noise.
std::vector<std::int16_t> SpindleRecording(int rate, int channels, double seconds) {
    PulseTrainSettings sensor;
    sensor.FrequencyHz = 61.3;
    sensor.Shape = PulseShape::Square;
    sensor.Amplitude = 9000;
    sensor.SampleRate = rate;
    sensor.BandLimited = true;
    sensor.AcCornerHz = 8.0;
    sensor.HumFraction = 0.05;
    sensor.NoiseSigma = 150;
    sensor.ImpulsesPerRevolution = 2;
    const auto frames = static_cast<std::size_t>(seconds * rate);
    std::vector<std::int16_t> mono(frames);
    PulseTrainGenerator(sensor).Generate(mono);
    PulseTrainSettings hiss;
    hiss.Amplitude = 0;
    hiss.NoiseSigma = 40;
    hiss.SampleRate = rate;
    hiss.Seed = 7;
    std::vector<std::int16_t> other(frames);
    PulseTrainGenerator(hiss).Generate(other);
    std::vector<std::int16_t> interleaved;
    interleaved.reserve(frames * static_cast<std::size_t>(channels));
    for (std::size_t i = 0; i < frames; ++i) {
        interleaved.push_back(mono[i]);
        if (channels == 2) {
            interleaved.push_back(other[i]);
        }
    }
    return interleaved;
}

struct PipeCase {
    const char* Name;
    const char* File;
    int Rate;
    int Channels;
    double Seconds;
    const char* Method;
};

class AnalyseStandardInput : public CliTest, public ::testing::WithParamInterface<PipeCase> {};

TEST_P(AnalyseStandardInput, GivesTheRowsOfTheSameFileByName) {
    const PipeCase& c = GetParam();
    const auto file = Path(c.File);
    WriteRecording(file, c.Rate, c.Channels, SpindleRecording(c.Rate, c.Channels, c.Seconds));
    const std::vector<std::string> options{"--ppr", "2", "--method", c.Method, "--format", "csv"};

    std::vector<std::string> byName{"analyse", file.string()};
    byName.insert(byName.end(), options.begin(), options.end());
    const CliResult named = RunCliProgram(byName);
    ASSERT_EQ(named.ExitCode, 0) << named.Err;

    std::vector<std::string> piped{"analyse", "-"};
    piped.insert(piped.end(), options.begin(), options.end());
    const CliResult fromPipe = RunCliProgramPipedFrom(file, piped);
    ASSERT_EQ(fromPipe.ExitCode, 0) << fromPipe.Err;
    EXPECT_EQ(fromPipe.Out, named.Out);
    EXPECT_EQ(fromPipe.Err, named.Err) << "the same notes";
    const std::vector<CsvRow> rows = ParseCsv(fromPipe.Out);
    ASSERT_GE(rows.size(), 5u);
    EXPECT_EQ(rows[2].at("rpm").substr(0, 4), "1839") << "61.3 Hz at 2 impulses: 1839 RPM";
}

INSTANTIATE_TEST_SUITE_P(
    Pipes, AnalyseStandardInput,
    ::testing::Values(PipeCase{"Wav", "rec.wav", 22050, 1, 3.0, "block"},
                      PipeCase{"WavTracker", "rec.wav", 22050, 1, 3.0, "tracker"},
                      // 44.1 kHz stereo: a channel is picked and resampled for the block method,
                      // read at its own rate by the tracker.
                      PipeCase{"Flac", "rec.flac", 44100, 2, 3.0, "block"},
                      PipeCase{"FlacTracker", "rec.flac", 44100, 2, 3.0, "tracker"},
                      PipeCase{"Ogg", "rec.ogg", 44100, 1, 3.0, "block"},
                      PipeCase{"OggTracker", "rec.ogg", 44100, 1, 3.0, "tracker"},
                      PipeCase{"Aiff", "rec.aiff", 22050, 2, 3.0, "block"},
                      // More than the megabyte kept from the start of a stream.
                      PipeCase{"LongWav", "long.wav", 22050, 2, 40.0, "block"},
                      PipeCase{"LongFlacTracker", "long.flac", 48000, 1, 20.0, "tracker"}),
    [](const auto& info) { return std::string(info.param.Name); });

TEST_F(CliTest, AnalyseStandardInputNamesItInTheSummary) {
    const auto file = Path("rec.flac");
    WriteRecording(file, 44100, 2, SpindleRecording(44100, 2, 2.0));
    const CliResult result = RunCliProgramPipedFrom(file, {"analyse", "-", "--channel", "2"});
    ASSERT_EQ(result.ExitCode, 0) << result.Err;
    EXPECT_NE(result.Out.find("\nrecording: standard input (FLAC (Free Lossless Audio Codec), "
                              "Signed 16 bit PCM, 44100 Hz, 2 channels), channel 2, resampled to "
                              "22050 Hz\n"),
              std::string::npos)
        << result.Out;
}

TEST_F(CliTest, AnalyseStandardInputTellsACutOffWavAsForTheFile) {
    // A recorder stopped short: the header promises 4 s, 2.5 s follow.
    const auto whole = Path("whole.wav");
    WriteRecording(whole, 22050, 1, SpindleRecording(22050, 1, 4.0));
    std::string bytes;
    {
        std::ifstream in(whole, std::ios::binary);
        bytes.assign(std::istreambuf_iterator<char>(in), {});
    }
    bytes.resize(44 + 2 * 55125);
    const auto cut = Path("cut.wav");
    std::ofstream(cut, std::ios::binary) << bytes;

    const CliResult named = RunCliProgram({"analyse", cut.string(), "--format", "csv"});
    const CliResult piped = RunCliProgramPipedFrom(cut, {"analyse", "-", "--format", "csv"});
    ASSERT_EQ(piped.ExitCode, 0) << piped.Err;
    EXPECT_EQ(piped.Out, named.Out);
    EXPECT_NE(piped.Err.find("note: the standard input is truncated: its header promises 88200 "
                             "samples (4.000 s) but the file holds 55125 (2.500 s); the 6 whole "
                             "blocks in it were analysed\n"),
              std::string::npos)
        << piped.Err;
}

TEST_F(CliTest, AnalyseStandardInputReadsARecorderStreamOfUnknownLength) {
    // A recorder writing to a pipe cannot go back to fill in the data chunk's size, and says
    // "unknown" (all ones) instead.
    const auto file = Path("stream.wav");
    WriteRecording(file, 22050, 1, SpindleRecording(22050, 1, 3.0));
    std::string bytes;
    {
        std::ifstream in(file, std::ios::binary);
        bytes.assign(std::istreambuf_iterator<char>(in), {});
    }
    const auto data = bytes.find("data");
    ASSERT_NE(data, std::string::npos);
    bytes.replace(data + 4, 4, "\xFF\xFF\xFF\xFF");
    std::ofstream(file, std::ios::binary | std::ios::trunc) << bytes;

    const CliResult named = RunCliProgram({"analyse", file.string(), "--format", "csv"});
    const CliResult piped = RunCliProgramPipedFrom(file, {"analyse", "-", "--format", "csv"});
    ASSERT_EQ(piped.ExitCode, 0) << piped.Err;
    EXPECT_EQ(piped.Out, named.Out);
    EXPECT_EQ(ParseCsv(piped.Out).size(), 8u);
    EXPECT_EQ(piped.Err, "note: final partial block of 614 samples (0.028 s) not analysed\n")
        << "nothing said to be cut off";
}

// Makes a pipe this process's standard input for the life of the object; the write end stays
// open, as a recorder's does, until Close().
class PipedStandardInput {
public:
    PipedStandardInput() {
        int ends[2];
        EXPECT_EQ(pipe2(ends, O_CLOEXEC), 0);
        Saved = dup(STDIN_FILENO);
        dup2(ends[0], STDIN_FILENO);
        close(ends[0]);
        Writer = ends[1];
    }
    ~PipedStandardInput() {
        Close();
        dup2(Saved, STDIN_FILENO);
        close(Saved);
    }
    void Write(const std::string& bytes) {
        std::size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = write(Writer, bytes.data() + done, bytes.size() - done);
            if (n <= 0) {
                return;
            }
            done += static_cast<std::size_t>(n);
        }
    }
    void Close() {
        if (Writer >= 0) {
            close(Writer);
            Writer = -1;
        }
    }

private:
    int Saved = -1;
    int Writer = -1;
};

// A writer that goes quiet and keeps the pipe open: Ctrl-C still ends analyse, before the first
// byte as well as part way through.
class AnalyseStalledStandardInput : public CliTest, public ::testing::WithParamInterface<double> {};

TEST_P(AnalyseStalledStandardInput, StopsOnCtrlC) {
    std::string bytes;
    if (GetParam() > 0.0) {
        const auto file = Path("rec.wav");
        WriteRecording(file, 22050, 1, SpindleRecording(22050, 1, GetParam()));
        std::ifstream in(file, std::ios::binary);
        bytes.assign(std::istreambuf_iterator<char>(in), {});
    }
    PipedStandardInput input;
    std::thread recorder([&input, &bytes] {
        input.Write(bytes); // more than a pipe holds: blocks until read
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        RequestStop();
    });
    const CliResult result = RunCliInProcess({"analyse", "-", "--format", "csv"});
    recorder.join();
    EXPECT_EQ(result.ExitCode, 130);
    EXPECT_EQ(result.Err, "velmorant-cli: interrupted\n");
}

INSTANTIATE_TEST_SUITE_P(Writers, AnalyseStalledStandardInput,
                         ::testing::Values(0.0, 4.0), // silent from the start; after 4 s sent
                         [](const auto& info) {
                             return std::string(info.param > 0.0 ? "AfterSomeData" : "Silent");
                         });

struct BadPipeCase {
    const char* Name;
    std::string Bytes;
    int ExitCode;
    const char* Message;
};

class AnalyseBadStandardInput : public CliTest,
                                public ::testing::WithParamInterface<BadPipeCase> {};

TEST_P(AnalyseBadStandardInput, IsRefusedInOneLine) {
    const BadPipeCase& c = GetParam();
    const auto file = Path("input");
    std::ofstream(file, std::ios::binary) << c.Bytes;
    const CliResult result = RunCliProgramPipedFrom(file, {"analyse", "-"});
    EXPECT_EQ(result.ExitCode, c.ExitCode) << result.Err;
    EXPECT_EQ(result.Out, "");
    EXPECT_EQ(result.Err.rfind(std::string("velmorant-cli: ") + c.Message, 0), 0u) << result.Err;
    EXPECT_EQ(result.Err.find('\n'), result.Err.size() - 1) << "one line: " << result.Err;
}

std::vector<BadPipeCase> BadPipes() {
    // A WAV header declaring 1 Hz, with enough data after it.
    std::string oneHertz("RIFF\x24\x00\x01\x00WAVEfmt \x10\x00\x00\x00\x01\x00\x01\x00"
                         "\x01\x00\x00\x00\x02\x00\x00\x00\x02\x00\x10\x00"
                         "data\x00\x00\x01\x00",
                         44);
    oneHertz += std::string(65536, '\0');
    return {
        {"Empty", "", 4, "the standard input is empty (0 bytes), not an audio recording"},
        {"Text", std::string(5000, 'x'), 4,
         "the standard input is not an audio file that can be read ("},
        {"ImpossibleRate", oneHertz, 4,
         "the standard input is damaged or not a sound recording: its header declares 1 Hz"},
    };
}

INSTANTIATE_TEST_SUITE_P(Pipes, AnalyseBadStandardInput, ::testing::ValuesIn(BadPipes()),
                         [](const auto& info) { return std::string(info.param.Name); });

} // namespace
