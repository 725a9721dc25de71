// The three output formats carry the same readings, which are exactly what the block analysis
// gives for the same blocks, and the table's summary counts them the way the readout colours.

#include "tests/tools/CliTestSupport.h"

#include "measure/BlockAnalysis.h"
#include "signal/TestSignal.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

namespace {

constexpr int kPpr = 2;
constexpr int kLeftOver = 1000; // samples after the last whole block

// One reading as any of the formats states it.
struct Row {
    long long Block = -1;
    double StartSeconds = 0;
    int Rpm = 0;
    double Frequency = 0;
    bool Steady = false;
    bool Overload = false;
    int FullRms = 0;
    int MidRms = 0;
    int Periods = 0;
};

SampleBlock Generated(double frequencyHz, PulseShape shape, double amplitude) {
    PulseTrainSettings settings;
    settings.FrequencyHz = frequencyHz;
    settings.Shape = shape;
    settings.Amplitude = amplitude;
    return GeneratedBlock(settings);
}

class Formats : public CliTest {
protected:
    void SetUp() override {
        CliTest::SetUp();
        // Steady, silent, overloaded, too slow, steady again: every verdict and colour.
        Blocks = {Generated(50, PulseShape::Sine, 8000),
                  Generated(50, PulseShape::Sine, 8000),
                  SampleBlock{},
                  Generated(100, PulseShape::Square, 20000),
                  Generated(100, PulseShape::Square, 20000),
                  Generated(5, PulseShape::Sine, 8000),
                  Generated(75, PulseShape::Sine, 8000)};
        std::vector<std::int16_t> samples;
        for (const SampleBlock& block : Blocks) {
            samples.insert(samples.end(), block.begin(), block.end());
        }
        samples.insert(samples.end(), kLeftOver, 1234);
        WriteRecording(Path("mixed.wav"), 22050, 1, samples);
    }

    CliResult Analyse(const char* format) {
        return RunCliInProcess({"analyse", Path("mixed.wav").string(), "--ppr",
                                std::to_string(kPpr), "--format", format});
    }

    // What the window would have shown for each block.
    void ExpectTheAnalysisOfEveryBlock(const std::vector<Row>& rows) {
        ASSERT_EQ(rows.size(), Blocks.size());
        for (std::size_t i = 0; i < rows.size(); ++i) {
            SCOPED_TRACE("block " + std::to_string(i));
            const BlockReading truth = AnalyseBlock(Blocks[i], kPpr);
            const Row& row = rows[i];
            EXPECT_EQ(row.Block, static_cast<long long>(i));
            EXPECT_NEAR(row.StartSeconds, i * 8192.0 / 22050.0, 0.0005);
            EXPECT_EQ(row.Rpm, truth.Rpm);
            EXPECT_NEAR(row.Frequency, truth.Frequency, 0.0005);
            EXPECT_EQ(row.Steady, truth.Stable);
            EXPECT_EQ(row.Overload, truth.Overload);
            EXPECT_EQ(row.FullRms, truth.FullRms);
            EXPECT_EQ(row.MidRms, truth.MidRms);
            EXPECT_EQ(row.Periods, truth.Periods);
        }
    }

    std::vector<SampleBlock> Blocks;
};

TEST_F(Formats, CsvHasAHeaderAndOneRowPerBlock) {
    const CliResult result = Analyse("csv");
    ASSERT_EQ(result.ExitCode, 0) << result.Err;
    EXPECT_EQ(SplitLines(result.Out).front(),
              "block,start_s,rpm,frequency_hz,steady,overload,full_rms,mid_rms,periods");
    std::vector<Row> rows;
    for (const CsvRow& fields : ParseCsv(result.Out)) {
        const auto flag = [&](const char* name) {
            EXPECT_TRUE(fields.at(name) == "true" || fields.at(name) == "false");
            return fields.at(name) == "true";
        };
        rows.push_back({std::stoll(fields.at("block")), std::stod(fields.at("start_s")),
                        std::stoi(fields.at("rpm")), std::stod(fields.at("frequency_hz")),
                        flag("steady"), flag("overload"), std::stoi(fields.at("full_rms")),
                        std::stoi(fields.at("mid_rms")), std::stoi(fields.at("periods"))});
    }
    ExpectTheAnalysisOfEveryBlock(rows);
    EXPECT_EQ(result.Err, "note: final partial block of 1000 samples (0.045 s) not analysed\n");
}

TEST_F(Formats, JsonLinesHoldOneObjectPerBlock) {
    const CliResult result = Analyse("jsonl");
    ASSERT_EQ(result.ExitCode, 0) << result.Err;
    std::vector<Row> rows;
    for (const std::string& line : SplitLines(result.Out)) {
        const nlohmann::json object = nlohmann::json::parse(line);
        ASSERT_TRUE(object.is_object()) << line;
        EXPECT_EQ(object.size(), 9u) << line;
        EXPECT_TRUE(object.at("steady").is_boolean());
        EXPECT_TRUE(object.at("overload").is_boolean());
        rows.push_back({object.at("block").get<long long>(), object.at("start_s").get<double>(),
                        object.at("rpm").get<int>(), object.at("frequency_hz").get<double>(),
                        object.at("steady").get<bool>(), object.at("overload").get<bool>(),
                        object.at("full_rms").get<int>(), object.at("mid_rms").get<int>(),
                        object.at("periods").get<int>()});
    }
    ExpectTheAnalysisOfEveryBlock(rows);
    EXPECT_EQ(result.Err, "note: final partial block of 1000 samples (0.045 s) not analysed\n");
}

TEST_F(Formats, TableIsAlignedAndEndsWithASummary) {
    const CliResult result = Analyse("table");
    ASSERT_EQ(result.ExitCode, 0) << result.Err;
    EXPECT_EQ(result.Err, "");
    const std::vector<std::string> lines = SplitLines(result.Out);
    ASSERT_GT(lines.size(), Blocks.size() + 2);
    const std::string& header = lines.front();
    EXPECT_EQ(header, " block   start_s      rpm  frequency_hz  steady  overload  full_rms  "
                      "mid_rms  periods");
    std::vector<Row> rows;
    for (std::size_t i = 1; i <= Blocks.size(); ++i) {
        // Aligned: every row as wide as the header, each value ending under its heading.
        EXPECT_EQ(lines[i].size(), header.size()) << lines[i];
        std::istringstream in(lines[i]);
        Row row;
        std::string steady;
        std::string overload;
        in >> row.Block >> row.StartSeconds >> row.Rpm >> row.Frequency >> steady >> overload >>
            row.FullRms >> row.MidRms >> row.Periods;
        EXPECT_TRUE(in) << lines[i];
        row.Steady = steady == "yes";
        row.Overload = overload == "yes";
        rows.push_back(row);
    }
    ExpectTheAnalysisOfEveryBlock(rows);

    // Readout colours: overload wins over steadiness; the RPM figures cover steady blocks.
    int steady = 0;
    int unsteady = 0;
    int overloaded = 0;
    std::vector<int> steadyRpm;
    for (const SampleBlock& block : Blocks) {
        const BlockReading reading = AnalyseBlock(block, kPpr);
        if (reading.Overload) {
            ++overloaded;
        } else if (reading.Stable) {
            ++steady;
            steadyRpm.push_back(reading.Rpm);
        } else {
            ++unsteady;
        }
    }
    ASSERT_EQ(steadyRpm.size(), 3u) << "the fixture has three steady blocks";
    ASSERT_EQ(overloaded, 2) << "the fixture has two overloaded blocks";
    std::sort(steadyRpm.begin(), steadyRpm.end());
    const std::vector<std::string> summary(lines.begin() + static_cast<long>(Blocks.size()) + 1,
                                           lines.end());
    const std::vector<std::string> expected{
        "",
        "recording: mixed.wav (WAV (Microsoft), Signed 16 bit PCM, 22050 Hz, 1 channel)",
        "ppr:       2 impulses per revolution",
        "blocks:    7 analysed (" + std::to_string(steady) + " steady, " +
            std::to_string(unsteady) + " unsteady, " + std::to_string(overloaded) + " overloaded)",
        "rpm:       min " + std::to_string(steadyRpm[0]) + ", median " +
            std::to_string(steadyRpm[1]) + ", max " + std::to_string(steadyRpm[2]) +
            " (steady blocks)",
        "skipped:   final partial block of 1000 samples (0.045 s), not analysed"};
    EXPECT_EQ(summary, expected);
}

TEST_F(Formats, RecordingOfWholeBlocksSkipsNothing) {
    std::vector<std::int16_t> samples;
    for (int i = 0; i < 2; ++i) {
        samples.insert(samples.end(), Blocks[0].begin(), Blocks[0].end());
    }
    WriteRecording(Path("whole.wav"), 22050, 1, samples);
    for (const char* format : {"table", "csv", "jsonl"}) {
        const CliResult result =
            RunCliInProcess({"analyse", Path("whole.wav").string(), "--format", format});
        ASSERT_EQ(result.ExitCode, 0) << result.Err;
        EXPECT_EQ(result.Err, "") << format;
        EXPECT_EQ(result.Out.find("skipped"), std::string::npos) << format;
    }
}

TEST_F(Formats, SummaryWithoutSteadyBlocksSaysSo) {
    std::vector<std::int16_t> silence(2 * 8192, 0);
    WriteRecording(Path("silence.wav"), 22050, 1, silence);
    const CliResult result = RunCliInProcess({"analyse", Path("silence.wav").string()});
    ASSERT_EQ(result.ExitCode, 0) << result.Err;
    EXPECT_NE(result.Out.find("blocks:    2 analysed (0 steady, 2 unsteady, 0 overloaded)\n"
                              "rpm:       no steady block\n"),
              std::string::npos)
        << result.Out;
}

} // namespace

namespace {

TEST_F(Formats, MedianOfAnEvenCountKeepsItsHalf) {
    // With 60 impulses per revolution the RPM equals the impulse rate: 50 and 51.
    std::vector<std::int16_t> samples;
    for (const double hz : {50.0, 51.0}) {
        const SampleBlock block = Generated(hz, PulseShape::Sine, 8000);
        samples.insert(samples.end(), block.begin(), block.end());
    }
    WriteRecording(Path("two.wav"), 22050, 1, samples);
    const CliResult result = RunCliInProcess({"analyse", Path("two.wav").string(), "--ppr", "60"});
    ASSERT_EQ(result.ExitCode, 0) << result.Err;
    EXPECT_NE(result.Out.find("rpm:       min 50, median 50.5, max 51 (steady blocks)\n"),
              std::string::npos)
        << result.Out;
}

} // namespace
