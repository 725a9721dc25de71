// A minute of listen on the real PortAudio path at real-time pace: every block arrives, in
// order, analysed right, and the recording is exactly what the sound input delivered.

#include "tests/tools/CliTestSupport.h"

#include "signal/TestSignal.h"
#include "tests/support/SoftwareSoundDevice.h"

#include <sndfile.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

namespace {

constexpr int kSeconds = 60;
// --seconds rounds up to whole blocks of 8192 samples.
constexpr std::int64_t kBlocks = (std::int64_t{kSeconds} * 22050 + 8191) / 8192;

// Every sample of a WAV file as 16-bit, or nothing when it cannot be opened.
std::vector<std::int16_t> SamplesOf(const std::filesystem::path& path, int& rate, int& channels) {
    SF_INFO info{};
    SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
    if (file == nullptr) {
        return {};
    }
    std::vector<std::int16_t> samples(static_cast<std::size_t>(info.frames * info.channels));
    const sf_count_t got =
        sf_read_short(file, samples.data(), static_cast<sf_count_t>(samples.size()));
    sf_close(file);
    samples.resize(static_cast<std::size_t>(got));
    rate = info.samplerate;
    channels = info.channels;
    return samples;
}

std::string StartOf(std::int64_t block) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3f", static_cast<double>(block) * 8192.0 / 22050.0);
    return text;
}

TEST_F(CliTest, ListenForAMinuteDropsNoBlockAndRecordsEverySample) {
    // Short pulses at 50 Hz, two per revolution: 1500 RPM. A few seconds more than the run, so
    // the input never falls silent while listening.
    PulseTrainSettings settings;
    settings.FrequencyHz = 50.0;
    settings.Shape = PulseShape::Pulse;
    settings.Amplitude = 12000;
    std::vector<std::int16_t> input(static_cast<std::size_t>((kSeconds + 5) * 22050));
    PulseTrainGenerator(settings).Generate(input);

    std::string whyNot;
    const auto sound = SoftwareSoundDevice::Create(input, whyNot);
    if (!sound) {
        GTEST_SKIP() << "no software sound device on this machine: " << whyNot;
    }
    const auto wav = Path("soak.wav");
    const CliResult result =
        RunCliInProcess({"listen", "--seconds", std::to_string(kSeconds), "--ppr", "2", "--format",
                         "csv", "--record", wav.string()});
    ASSERT_EQ(result.ExitCode, 0) << result.Err;
    EXPECT_EQ(result.Err, "");

    const std::vector<CsvRow> rows = ParseCsv(result.Out);
    ASSERT_EQ(static_cast<std::int64_t>(rows.size()), kBlocks) << "a row for every block";
    for (std::int64_t i = 0; i < kBlocks; ++i) {
        const CsvRow& row = rows[static_cast<std::size_t>(i)];
        SCOPED_TRACE("block " + std::to_string(i));
        EXPECT_EQ(row.at("block"), std::to_string(i)) << "consecutive block numbers";
        EXPECT_EQ(row.at("start_s"), StartOf(i)) << "8192 samples after the one before";
        EXPECT_EQ(row.at("rpm"), "1500");
        EXPECT_EQ(row.at("steady"), "true");
        EXPECT_EQ(row.at("overload"), "false");
    }

    int rate = 0;
    int channels = 0;
    const std::vector<std::int16_t> recorded = SamplesOf(wav, rate, channels);
    EXPECT_EQ(rate, 22050);
    EXPECT_EQ(channels, 1);
    ASSERT_EQ(static_cast<std::int64_t>(recorded.size()), kBlocks * 8192)
        << "exactly the samples captured";
    // Compared whole, so one report names the first difference rather than thousands of lines.
    const auto [mine, theirs] = std::mismatch(recorded.begin(), recorded.end(), input.begin());
    EXPECT_EQ(mine, recorded.end())
        << "the recording differs from the input from sample " << (mine - recorded.begin());
    EXPECT_EQ(FolderContents(), std::vector<std::string>{"soak.wav"});
}

} // namespace
