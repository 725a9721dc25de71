// The speed tracker through the companion: analyse --method tracker on files written by
// generate (the signals a real sensor and sound card give), the clock correction of both
// methods, calibrate and its refusals, and the new options' bad values.

#include "tests/tools/CliTestSupport.h"

#include <nlohmann/json.hpp>

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

namespace {

using Tracker = CliTest;

double Number(const CsvRow& row, const char* column) {
    return std::stod(row.at(column));
}

std::size_t Decimals(const std::string& text) {
    const auto dot = text.find('.');
    return dot == std::string::npos ? 0 : text.size() - dot - 1;
}

struct TrackedSignal {
    std::string Name;
    std::vector<std::string> GenerateArgs; // after the file name
    double Rpm;
    std::string Ppr;
    double BoundPpm;
    std::size_t Rows; // whole intervals of 8192/22050 s in the file
};

class TrackerSignals : public CliTest, public testing::WithParamInterface<TrackedSignal> {};

TEST_P(TrackerSignals, EveryRowAfterTheFirstSecondsIsWithinItsBound) {
    const TrackedSignal& c = GetParam();
    const std::string wav = Path("signal.wav").string();
    std::vector<std::string> args = {"generate", wav, "--ppr", c.Ppr, "--band-limited"};
    args.insert(args.end(), c.GenerateArgs.begin(), c.GenerateArgs.end());
    const CliResult generated = RunCliInProcess(args);
    ASSERT_EQ(generated.ExitCode, 0) << generated.Err;

    const CliResult result =
        RunCliInProcess({"analyse", wav, "--method", "tracker", "--ppr", c.Ppr, "--format", "csv"});
    ASSERT_EQ(result.ExitCode, 0) << result.Err;
    const std::vector<CsvRow> rows = ParseCsv(result.Out);
    ASSERT_EQ(rows.size(), c.Rows);
    for (std::size_t k = 0; k < rows.size(); ++k) {
        const CsvRow& row = rows[k];
        EXPECT_EQ(row.at("block"), std::to_string(k));
        EXPECT_NEAR(Number(row, "start_s"), k * 8192.0 / 22050.0, 0.0005);
        EXPECT_EQ(Decimals(row.at("rpm")), 3u) << row.at("rpm");
        EXPECT_EQ(Decimals(row.at("frequency_hz")), 7u) << row.at("frequency_hz");
        EXPECT_EQ(row.at("full_rms"), "");
        EXPECT_EQ(row.at("mid_rms"), "");
        if (Number(row, "start_s") < 3.0) {
            continue;
        }
        const double errorPpm = (Number(row, "rpm") / c.Rpm - 1.0) * 1e6;
        EXPECT_LE(std::abs(errorPpm), c.BoundPpm) << "row " << k << ": " << row.at("rpm");
        EXPECT_EQ(row.at("steady"), "true") << "row " << k;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Signals, TrackerSignals,
    testing::Values(
        // 10 s: 26 intervals at any rate.
        TrackedSignal{"SlowShaft120Rpm",
                      {"--rpm", "120", "--shape", "square", "--noise", "100"},
                      120.0,
                      "1",
                      20,
                      26},
        TrackedSignal{"NegativeNarrowPulsesWithHumAt48kHz",
                      {"--rpm", "2220", "--shape", "pulse", "--duty", "0.03", "--polarity",
                       "negative", "--hum", "0.2", "--rate", "48000"},
                      2220.0,
                      "1",
                      200,
                      26},
        TrackedSignal{"FourUnevenMagnetsAcCoupled",
                      {"--rpm", "1500", "--shape", "square", "--uneven", "0.025", "--ac-hz", "20"},
                      1500.0,
                      "4",
                      20,
                      26}),
    [](const auto& info) { return info.param.Name; });

TEST_F(Tracker, TableShowsTheTrackersReadingsAndSaysHowTheyWereMade) {
    const std::string wav = Path("t.wav").string();
    ASSERT_EQ(RunCliInProcess({"generate", wav, "--rpm", "3000", "--seconds", "2", "--band-limited",
                               "--shape", "square"})
                  .ExitCode,
              0);
    const CliResult result = RunCliInProcess({"analyse", wav, "--method", "tracker"});
    ASSERT_EQ(result.ExitCode, 0) << result.Err;
    const std::vector<std::string> lines = SplitLines(result.Out);
    ASSERT_GE(lines.size(), 6u);
    EXPECT_EQ(lines[0], " block   start_s      rpm  frequency_hz  steady  overload  full_rms  "
                        "mid_rms  periods");
    EXPECT_NE(result.Out.find("     4     1.486 3000.000    50.0000000     yes        no"),
              std::string::npos)
        << result.Out;
    EXPECT_NE(result.Out.find(", read by the speed tracker\n"), std::string::npos);
    const auto summary = result.Out.find("\nrpm:       min ");
    ASSERT_NE(summary, std::string::npos) << result.Out;
    double low = 0.0;
    double median = 0.0;
    double high = 0.0;
    ASSERT_EQ(std::sscanf(result.Out.c_str() + summary,
                          "\nrpm:       min %lf, median %lf, max %lf (steady readings)", &low,
                          &median, &high),
              3)
        << result.Out;
    EXPECT_NEAR(low, 3000.0, 0.01);
    EXPECT_NEAR(median, 3000.0, 0.01);
    EXPECT_NEAR(high, 3000.0, 0.01);
}

TEST_F(Tracker, ClockCorrectionAppliesToBothMethods) {
    // Recorded by a card whose clock runs 400 ppm fast: it reads 1000 Hz as 999.6 Hz.
    const std::string wav = Path("fast-clock.wav").string();
    ASSERT_EQ(RunCliInProcess({"generate", wav, "--rpm", "60000", "--seconds", "3",
                               "--band-limited", "--clock-ppm", "400"})
                  .ExitCode,
              0);
    for (const char* method : {"block", "tracker"}) {
        SCOPED_TRACE(method);
        const CliResult plain =
            RunCliInProcess({"analyse", wav, "--method", method, "--format", "csv"});
        const CliResult corrected = RunCliInProcess(
            {"analyse", wav, "--method", method, "--format", "csv", "--clock-ppm", "400"});
        ASSERT_EQ(plain.ExitCode, 0) << plain.Err;
        ASSERT_EQ(corrected.ExitCode, 0) << corrected.Err;
        const auto plainRows = ParseCsv(plain.Out);
        const auto correctedRows = ParseCsv(corrected.Out);
        ASSERT_EQ(plainRows.size(), correctedRows.size());
        const bool tracker = std::string(method) == "tracker";
        for (std::size_t k = 3; k < plainRows.size(); ++k) {
            const double read = Number(plainRows[k], "frequency_hz");
            // The block method's whole-sample timing reads 1000 Hz within about 0.1 Hz.
            EXPECT_NEAR(read, 999.6, 0.15) << "row " << k;
            EXPECT_NEAR(Number(correctedRows[k], "frequency_hz"), read * 1.0004, 0.0015)
                << "row " << k;
            if (tracker) {
                EXPECT_NEAR(Number(correctedRows[k], "frequency_hz"), 1000.0, 0.02) << "row " << k;
            }
        }
    }
    const CliResult table = RunCliInProcess({"analyse", wav, "--clock-ppm", "400"});
    EXPECT_NE(table.Out.find("clock:     readings corrected by +400.0 ppm\n"), std::string::npos)
        << table.Out;
}

TEST_F(Tracker, CalibrateMeasuresTheClockFromAReference) {
    struct Case {
        const char* Ppm;
        std::vector<std::string> Shape;
        const char* Rate;
        double ReferenceHz;
        const char* Rpm;
    };
    for (const Case& c : {Case{"148.7", {"--shape", "sine"}, "22050", 1000.0, "60000"},
                          Case{"-62.5", {"--shape", "square"}, "48000", 1000.0, "60000"},
                          Case{"35", {"--shape", "pulse", "--duty", "0.1"}, "44100", 1.0, "60"}}) {
        SCOPED_TRACE(c.Ppm);
        const std::string wav = Path("reference.wav").string();
        std::vector<std::string> args = {
            "generate", wav,  "--rpm",       c.Rpm, "--seconds", "10",  "--band-limited",
            "--noise",  "30", "--clock-ppm", c.Ppm, "--rate",    c.Rate};
        args.insert(args.end(), c.Shape.begin(), c.Shape.end());
        ASSERT_EQ(RunCliInProcess(args).ExitCode, 0);
        const std::string reference = std::to_string(c.ReferenceHz);

        const CliResult text = RunCliInProcess({"calibrate", wav, "--reference-hz", reference});
        ASSERT_EQ(text.ExitCode, 0) << text.Err;
        const std::vector<std::string> lines = SplitLines(text.Out);
        ASSERT_FALSE(lines.empty());
        const std::string& last = lines.back();
        ASSERT_EQ(last.substr(0, 7), "clock: ");
        ASSERT_EQ(last.substr(last.size() - 4), " ppm");
        EXPECT_NEAR(std::stod(last.substr(7)), std::stod(c.Ppm), 1.0) << last;

        const CliResult json =
            RunCliInProcess({"calibrate", wav, "--reference-hz", reference, "--format", "json"});
        ASSERT_EQ(json.ExitCode, 0) << json.Err;
        EXPECT_NEAR(nlohmann::json::parse(json.Out).at("clock_ppm").get<double>(), std::stod(c.Ppm),
                    1.0);
    }
}

TEST_F(Tracker, CalibrateRefusesARecordingWithoutASteadyReference) {
    const std::string tone = Path("tone.wav").string();
    const std::string noise = Path("noise.wav").string();
    const std::string jittery = Path("jittery.wav").string();
    const std::string brief = Path("brief.wav").string();
    ASSERT_EQ(RunCliInProcess({"generate", tone, "--rpm", "60000", "--seconds", "4"}).ExitCode, 0);
    ASSERT_EQ(RunCliInProcess({"generate", noise, "--rpm", "60000", "--seconds", "4", "--amplitude",
                               "0", "--noise", "500"})
                  .ExitCode,
              0);
    ASSERT_EQ(RunCliInProcess(
                  {"generate", jittery, "--rpm", "60000", "--seconds", "4", "--jitter", "0.2"})
                  .ExitCode,
              0);
    ASSERT_EQ(RunCliInProcess({"generate", brief, "--rpm", "60000", "--seconds", "1.5"}).ExitCode,
              0);
    struct Case {
        std::string File;
        std::string ReferenceHz;
        std::string Says;
    };
    for (const Case& c :
         {Case{tone, "50", "more than 0.5 % away"}, Case{tone, "1010", "more than 0.5 % away"},
          Case{noise, "1000", "no impulse"}, Case{jittery, "1000", "not steady"},
          Case{brief, "1000", "at least 2.2 s"},
          Case{tone, "20000", "carries only frequencies below"}}) {
        const CliResult result =
            RunCliInProcess({"calibrate", c.File, "--reference-hz", c.ReferenceHz});
        SCOPED_TRACE(c.File + " at " + c.ReferenceHz + " Hz");
        EXPECT_EQ(result.ExitCode, 9);
        EXPECT_EQ(result.Out, "");
        EXPECT_NE(result.Err.find("holds no steady " + c.ReferenceHz + " Hz reference"),
                  std::string::npos)
            << result.Err;
        EXPECT_NE(result.Err.find(c.Says), std::string::npos) << result.Err;
    }
}

TEST_F(Tracker, BadOptionsAreUsageErrors) {
    const std::string wav = Path("ok.wav").string();
    ASSERT_EQ(RunCliInProcess({"generate", wav, "--rpm", "600", "--seconds", "1"}).ExitCode, 0);
    struct Case {
        std::vector<std::string> Args;
        std::string Says;
    };
    const std::vector<Case> cases = {
        {{"analyse", wav, "--method", "fast"}, "not one of block, tracker"},
        {{"analyse", wav, "--clock-ppm", "lots"}, "not a number"},
        {{"analyse", wav, "--clock-ppm", "200000"}, "from -100000 to 100000"},
        {{"analyse", wav, "--method", "tracker", "--timeout", "0"}, "from 0.01 to 86400"},
        {{"analyse", wav, "--method", "tracker", "--ppr", "5000"}, "at most 4096"},
        {{"listen", "--method", "both"}, "not one of block, tracker"},
        {{"calibrate", wav}, "--reference-hz is required"},
        {{"calibrate", wav, "--reference-hz", "0"}, "more than 0"},
        {{"calibrate", wav, "--reference-hz", "1000", "--format", "xml"}, "not one of text, json"},
        {{"generate", wav, "--rpm", "60", "--duty", "1"}, "--duty"},
        {{"generate", wav, "--rpm", "60", "--polarity", "up"}, "positive, negative"},
        {{"generate", wav, "--rpm", "60", "--ramp-to", "120"}, "go together"},
        {{"generate", wav, "--rpm", "60", "--uneven", "0.5"}, "from 0 to 0.2"},
        {{"generate", wav, "--rpm", "60", "--hum", "2"}, "from 0 to 1"},
        {{"generate", wav, "--rpm", "60", "--ac-hz", "0.01"}, "--ac-hz"},
        {{"generate", wav, "--rpm", "60", "--rate", "500"}, "--rate"},
        {{"generate", wav, "--rpm", "60", "--ramp-to", "2000000", "--ramp-seconds", "1"},
         "--ramp-to"},
    };
    for (const Case& c : cases) {
        const CliResult result = RunCliInProcess(c.Args);
        SCOPED_TRACE(c.Args.front() + " " + c.Args.back());
        EXPECT_EQ(result.ExitCode, 2);
        EXPECT_NE(result.Err.find(c.Says), std::string::npos) << result.Err;
    }
}

TEST_F(Tracker, GenerateWithRampGivesReadingsThatFollowIt) {
    const std::string wav = Path("ramp.wav").string();
    ASSERT_EQ(RunCliInProcess({"generate", wav, "--rpm", "1000", "--ramp-to", "3000",
                               "--ramp-seconds", "10", "--seconds", "10", "--ppr", "2", "--shape",
                               "pulse", "--duty", "0.3", "--band-limited"})
                  .ExitCode,
              0);
    const CliResult result =
        RunCliInProcess({"analyse", wav, "--method", "tracker", "--ppr", "2", "--format", "jsonl"});
    ASSERT_EQ(result.ExitCode, 0) << result.Err;
    double previous = 0.0;
    for (const std::string& line : SplitLines(result.Out)) {
        const auto row = nlohmann::json::parse(line);
        EXPECT_TRUE(row.at("full_rms").is_null());
        EXPECT_TRUE(row.at("mid_rms").is_null());
        const double start = row.at("start_s").get<double>();
        const double rpm = row.at("rpm").get<double>();
        if (start < 1.0) {
            continue;
        }
        EXPECT_GE(rpm, (1000.0 + 200.0 * start) * 0.99) << start;
        EXPECT_LE(rpm, (1000.0 + 200.0 * (start + 0.372)) * 1.01) << start;
        EXPECT_GT(rpm, previous) << start;
        previous = rpm;
    }
}

} // namespace
