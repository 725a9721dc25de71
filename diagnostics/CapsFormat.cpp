#include "diagnostics/CapsFormat.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {

// Appends to a fixed buffer; once it is full, further text is dropped, never written beyond.
class ReportWriter {
public:
    explicit ReportWriter(char (&text)[kCapsReportSize]) : Text(text) { Text[0] = '\0'; }

    void Append(const char* format, ...) __attribute__((format(printf, 2, 3))) {
        if (Length >= kCapsReportSize - 1) {
            return;
        }
        va_list args;
        va_start(args, format);
        const int written = std::vsnprintf(Text + Length, kCapsReportSize - Length, format, args);
        va_end(args);
        if (written > 0) {
            Length = std::min(Length + static_cast<std::size_t>(written), kCapsReportSize - 1);
        }
    }

private:
    char (&Text)[kCapsReportSize];
    std::size_t Length = 0;
};

struct RateGroup {
    const char* Heading;
    DWORD Mono8, Stereo8, Mono16, Stereo16;
};

constexpr RateGroup kRateGroups[] = {
    {" 11.025kHz :", WAVE_FORMAT_1M08, WAVE_FORMAT_1S08, WAVE_FORMAT_1M16, WAVE_FORMAT_1S16},
    {" 22.050kHz :", WAVE_FORMAT_2M08, WAVE_FORMAT_2S08, WAVE_FORMAT_2M16, WAVE_FORMAT_2S16},
    {" 44.100kHz :", WAVE_FORMAT_4M08, WAVE_FORMAT_4S08, WAVE_FORMAT_4M16, WAVE_FORMAT_4S16},
};

void AppendFormats(ReportWriter& report, DWORD formats) {
    for (const RateGroup& group : kRateGroups) {
        if ((formats & (group.Mono8 | group.Stereo8 | group.Mono16 | group.Stereo16)) == 0) {
            continue;
        }
        report.Append("%s", group.Heading);
        if (formats & group.Mono8) {
            report.Append(" 8bit mono");
        }
        if (formats & group.Mono16) {
            report.Append(" 16bit mono");
        }
        if (formats & group.Stereo8) {
            report.Append(" 8bit stereo");
        }
        if (formats & group.Stereo16) {
            report.Append(" 16bit stereo");
        }
        report.Append("\n");
    }
}

// A device name fills its 32-character field and may lack the NUL a driver should have put there.
int NameLength(const char (&name)[32]) {
    return static_cast<int>(strnlen(name, sizeof name));
}

} // namespace

void FormatCapsReport(const WAVEOUTCAPS& output, DWORD outputVolume, const WAVEINCAPS& input,
                      char (&text)[kCapsReportSize]) {
    ReportWriter report(text);
    report.Append("WaveOut driver: %.*s\n", NameLength(output.szPname), output.szPname);
    AppendFormats(report, output.dwFormats);

    if (output.dwSupport & WAVECAPS_VOLUME) {
        report.Append(" Supports volume control");
    }
    if (output.dwSupport & WAVECAPS_LRVOLUME) {
        report.Append(" (L/R independent)");
    }
    report.Append("\n");

    if (output.dwSupport & WAVECAPS_VOLUME) {
        const unsigned left = outputVolume & 0xFFFFu;
        const unsigned right = (outputVolume >> 16) & 0xFFFFu;
        if (output.dwSupport & WAVECAPS_LRVOLUME) {
            report.Append(" Present volume: L:%#x R:%#x\n", left, right);
        } else {
            report.Append(" Present volume: %#x\n", left);
        }
    }

    if (output.dwSupport & WAVECAPS_SAMPLEACCURATE) {
        report.Append(" Claims sample-accurate position information\n");
    } else {
        report.Append(" /!\\ Does NOT claim sample-accurate position information\n");
    }

    report.Append("\nWaveIn driver: %.*s\n", NameLength(input.szPname), input.szPname);
    AppendFormats(report, input.dwFormats);
}
