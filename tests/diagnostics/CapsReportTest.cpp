#include "diagnostics/CapsReport.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

WAVEOUTCAPS Output(const char* name, DWORD formats, DWORD support) {
    WAVEOUTCAPS caps{};
    std::strncpy(caps.szPname, name, sizeof caps.szPname - 1);
    caps.dwFormats = formats;
    caps.dwSupport = support;
    return caps;
}

WAVEINCAPS Input(const char* name, DWORD formats) {
    WAVEINCAPS caps{};
    std::strncpy(caps.szPname, name, sizeof caps.szPname - 1);
    caps.dwFormats = formats;
    return caps;
}

std::string Report(const WAVEOUTCAPS& output, DWORD volume, const WAVEINCAPS& input) {
    char text[kCapsReportSize];
    std::memset(text, 'x', sizeof text);
    FormatCapsReport(output, volume, input, text);
    return text;
}

constexpr DWORD kAllFormats = 0xFFF;

struct ReportCase {
    const char* Name;
    WAVEOUTCAPS Output;
    DWORD Volume;
    WAVEINCAPS Input;
    const char* Expected;
};

class CapsReportTest : public ::testing::TestWithParam<ReportCase> {};

TEST_P(CapsReportTest, ComposesTheReport) {
    const ReportCase& c = GetParam();
    EXPECT_EQ(Report(c.Output, c.Volume, c.Input), c.Expected);
}

const ReportCase kCases[] = {
    {"FullOutputAndMonoInput",
     Output("Speakers", kAllFormats, WAVECAPS_VOLUME | WAVECAPS_LRVOLUME | WAVECAPS_SAMPLEACCURATE),
     0xFFFFFFFF, Input("Line In", WAVE_FORMAT_2M16),
     "WaveOut driver: Speakers\n"
     " 11.025kHz : 8bit mono 16bit mono 8bit stereo 16bit stereo\n"
     " 22.050kHz : 8bit mono 16bit mono 8bit stereo 16bit stereo\n"
     " 44.100kHz : 8bit mono 16bit mono 8bit stereo 16bit stereo\n"
     " Supports volume control (L/R independent)\n"
     " Present volume: L:0xffff R:0xffff\n"
     " Claims sample-accurate position information\n"
     "\n"
     "WaveIn driver: Line In\n"
     " 22.050kHz : 16bit mono\n"},
    {"NoVolumeLeavesAnEmptyLine", Output("Out", WAVE_FORMAT_4S16, 0), 0x12345678, Input("In", 0),
     "WaveOut driver: Out\n"
     " 44.100kHz : 16bit stereo\n"
     "\n"
     " /!\\ Does NOT claim sample-accurate position information\n"
     "\n"
     "WaveIn driver: In\n"},
    {"LeftRightWithoutVolumeHasNoVolumeLine", Output("Out", 0, WAVECAPS_LRVOLUME), 0x12345678,
     Input("In", WAVE_FORMAT_1M08 | WAVE_FORMAT_4M08),
     "WaveOut driver: Out\n"
     " (L/R independent)\n"
     " /!\\ Does NOT claim sample-accurate position information\n"
     "\n"
     "WaveIn driver: In\n"
     " 11.025kHz : 8bit mono\n"
     " 44.100kHz : 8bit mono\n"},
    {"MonoVolumeShowsTheLowWordOnly", Output("Out", 0, WAVECAPS_VOLUME), 0xABCD1234, Input("In", 0),
     "WaveOut driver: Out\n"
     " Supports volume control\n"
     " Present volume: 0x1234\n"
     " /!\\ Does NOT claim sample-accurate position information\n"
     "\n"
     "WaveIn driver: In\n"},
    {"ZeroVolumeHasNoPrefix", Output("Out", 0, WAVECAPS_VOLUME | WAVECAPS_LRVOLUME), 0x00008000,
     Input("In", 0),
     "WaveOut driver: Out\n"
     " Supports volume control (L/R independent)\n"
     " Present volume: L:0x8000 R:0\n"
     " /!\\ Does NOT claim sample-accurate position information\n"
     "\n"
     "WaveIn driver: In\n"},
    {"BitsAboveTheThreeRatesAreNotReported", Output("Out", 0xFFFFF000, 0), 0,
     Input("In", 0xFFFFF000 | WAVE_FORMAT_2S08),
     "WaveOut driver: Out\n"
     "\n"
     " /!\\ Does NOT claim sample-accurate position information\n"
     "\n"
     "WaveIn driver: In\n"
     " 22.050kHz : 8bit stereo\n"},
};

INSTANTIATE_TEST_SUITE_P(Cases, CapsReportTest, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.Name); });

TEST(CapsReport, NamesWithoutTerminatorAreCutAtTheirField) {
    WAVEOUTCAPS output{};
    std::memset(output.szPname, 'O', sizeof output.szPname);
    WAVEINCAPS input{};
    std::memset(input.szPname, 'I', sizeof input.szPname);
    const std::string text = Report(output, 0, input);
    EXPECT_NE(text.find("WaveOut driver: " + std::string(32, 'O') + "\n"), std::string::npos);
    EXPECT_NE(text.find("WaveIn driver: " + std::string(32, 'I') + "\n"), std::string::npos);
}

TEST(CapsReport, LongestReportFitsTheBuffer) {
    const std::string name(31, 'N');
    const std::string text =
        Report(Output(name.c_str(), kAllFormats, WAVECAPS_VOLUME | WAVECAPS_LRVOLUME), 0xFFFFFFFF,
               Input(name.c_str(), kAllFormats));
    EXPECT_LT(text.size(), kCapsReportSize - 1);
    EXPECT_EQ(text.substr(text.size() - 13), "16bit stereo\n");
}

} // namespace
