#include "tools/cli/ReadingWriter.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstring>

std::optional<OutputFormat> ParseOutputFormat(std::string_view text) {
    if (text == "table") {
        return OutputFormat::Table;
    }
    if (text == "csv") {
        return OutputFormat::Csv;
    }
    if (text == "jsonl") {
        return OutputFormat::Jsonl;
    }
    return std::nullopt;
}

Verdict VerdictOf(const BlockReading& reading) {
    if (reading.Overload) {
        return Verdict::Overload;
    }
    return reading.Stable ? Verdict::Steady : Verdict::Unsteady;
}

double BlockStartSeconds(std::int64_t index) {
    return static_cast<double>(index) * kBlockSamples / kSampleRate;
}

Verdict VerdictOf(const SpeedReading& reading) {
    if (reading.Overload) {
        return Verdict::Overload;
    }
    return reading.Steady ? Verdict::Steady : Verdict::Unsteady;
}

Verdict ReadingTally::Add(const BlockReading& reading) {
    return Count(VerdictOf(reading), reading.Rpm);
}

Verdict ReadingTally::Add(const SpeedReading& reading) {
    return Count(VerdictOf(reading), reading.Rpm);
}

Verdict ReadingTally::Count(Verdict verdict, double rpm) {
    switch (verdict) {
    case Verdict::Steady:
        ++Counts.Steady;
        SteadyRpm.push_back(rpm);
        break;
    case Verdict::Unsteady:
        ++Counts.Unsteady;
        break;
    case Verdict::Overload:
        ++Counts.Overloaded;
        break;
    }
    ++Counts.Blocks;
    return verdict;
}

RunSummary ReadingTally::Summary(RunSummary summary) {
    summary.Blocks = Counts.Blocks;
    summary.Steady = Counts.Steady;
    summary.Unsteady = Counts.Unsteady;
    summary.Overloaded = Counts.Overloaded;
    summary.HasSteadyRpm = !SteadyRpm.empty();
    if (!summary.HasSteadyRpm) {
        return summary;
    }
    const auto [low, high] = std::minmax_element(SteadyRpm.begin(), SteadyRpm.end());
    summary.MinRpm = *low;
    summary.MaxRpm = *high;
    const std::size_t middle = SteadyRpm.size() / 2;
    std::nth_element(SteadyRpm.begin(), SteadyRpm.begin() + static_cast<std::ptrdiff_t>(middle),
                     SteadyRpm.end());
    const double upper = SteadyRpm[middle];
    if (SteadyRpm.size() % 2 == 1) {
        summary.MedianRpm = upper;
    } else {
        // After nth_element everything before the middle is no larger than it.
        const double lower = *std::max_element(
            SteadyRpm.begin(), SteadyRpm.begin() + static_cast<std::ptrdiff_t>(middle));
        summary.MedianRpm = (lower + upper) / 2.0;
    }
    return summary;
}

namespace {

// Terminal colours nearest the readout's: bright green for lime, green for dark green, red.
const char* ColourOf(Verdict verdict) {
    switch (verdict) {
    case Verdict::Steady:
        return "\x1b[92m";
    case Verdict::Unsteady:
        return "\x1b[32m";
    case Verdict::Overload:
        return "\x1b[91m";
    }
    return "";
}

const char* YesNo(bool value) {
    return value ? "yes" : "no";
}
const char* TrueFalse(bool value) {
    return value ? "true" : "false";
}

} // namespace

void ReadingWriter::WriteHeader() {
    switch (Format) {
    case OutputFormat::Table: {
        char line[128];
        // Same widths as the rows, so headings sit over their columns.
        std::snprintf(line, sizeof line, "%6s %9s %8s %13s %7s %9s %9s %8s %8s\n", "block",
                      "start_s", "rpm", "frequency_hz", "steady", "overload", "full_rms", "mid_rms",
                      "periods");
        Out << line;
        break;
    }
    case OutputFormat::Csv:
        Out << "block,start_s,rpm,frequency_hz,steady,overload,full_rms,mid_rms,periods\n";
        break;
    case OutputFormat::Jsonl:
        break;
    }
}

namespace {

// Assembles one output line in a fixed buffer. std::to_chars is used rather than printf: an
// hour of recording is ten thousand rows, and printf's float formatting alone would cost more
// than their analysis.
class Line {
public:
    Line& Whole(long long value) { return Put(value); }
    Line& Fixed3(double value) { return Put(value, std::chars_format::fixed, 3); }
    Line& Fixed(double value, int decimals) {
        return Put(value, std::chars_format::fixed, decimals);
    }
    // Literals copy with a size known when compiling, which needs no library call.
    template <std::size_t Size> Line& Text(const char (&text)[Size]) {
        std::memcpy(End, text, Size - 1);
        End += Size - 1;
        return *this;
    }
    Line& Text(std::string_view text) {
        End = std::copy(text.begin(), text.end(), End);
        return *this;
    }
    // Right-aligns what was put since `start` in a field of `width` characters.
    Line& AlignRight(char* start, int width) {
        const auto length = static_cast<int>(End - start);
        if (length < width) {
            std::copy_backward(start, End, End + (width - length));
            std::fill(start, start + (width - length), ' ');
            End += width - length;
        }
        return *this;
    }
    char* Mark() const { return End; }
    Line& Backspace() {
        --End;
        return *this;
    }
    void WriteTo(std::ostream& out) const { out.write(Buffer, End - Buffer); }

private:
    template <typename... Args> Line& Put(Args... args) {
        // Every field fits: the longest is a 64-bit integer or a float to three decimals.
        End = std::to_chars(End, Buffer + sizeof Buffer, args...).ptr;
        return *this;
    }

    char Buffer[512];
    char* End = Buffer;
};

} // namespace

void ReadingWriter::WriteRow(std::int64_t index, const BlockReading& reading) {
    Line line;
    if (Colour) {
        line.Text(std::string_view(ColourOf(VerdictOf(reading))));
    }
    const double start = BlockStartSeconds(index);
    const double frequency = reading.Frequency;
    switch (Format) {
    case OutputFormat::Table: {
        // Widths match the headings of WriteHeader.
        const auto field = [&line](int width, auto put) {
            char* const start = line.Mark();
            put();
            line.AlignRight(start, width);
        };
        field(6, [&] { line.Whole(index); });
        field(10, [&] { line.Fixed3(start); });
        field(9, [&] { line.Whole(reading.Rpm); });
        field(14, [&] { line.Fixed3(frequency); });
        field(8, [&] { line.Text(YesNo(reading.Stable)); });
        field(10, [&] { line.Text(YesNo(reading.Overload)); });
        field(10, [&] { line.Whole(reading.FullRms); });
        field(9, [&] { line.Whole(reading.MidRms); });
        field(9, [&] { line.Whole(reading.Periods); });
        line.Text("\n");
        break;
    }
    case OutputFormat::Csv:
        line.Whole(index).Text(",").Fixed3(start).Text(",").Whole(reading.Rpm).Text(",");
        line.Fixed3(frequency).Text(",").Text(TrueFalse(reading.Stable)).Text(",");
        line.Text(TrueFalse(reading.Overload)).Text(",").Whole(reading.FullRms).Text(",");
        line.Whole(reading.MidRms).Text(",").Whole(reading.Periods).Text("\n");
        break;
    case OutputFormat::Jsonl:
        line.Text("{\"block\":").Whole(index).Text(",\"start_s\":").Fixed3(start);
        line.Text(",\"rpm\":").Whole(reading.Rpm).Text(",\"frequency_hz\":").Fixed3(frequency);
        line.Text(",\"steady\":").Text(TrueFalse(reading.Stable));
        line.Text(",\"overload\":").Text(TrueFalse(reading.Overload));
        line.Text(",\"full_rms\":").Whole(reading.FullRms);
        line.Text(",\"mid_rms\":").Whole(reading.MidRms);
        line.Text(",\"periods\":").Whole(reading.Periods).Text("}\n");
        break;
    }
    if (Colour) {
        // The reset goes before the line break, so a stopped program leaves no colour behind.
        line.Backspace().Text("\x1b[0m\n");
    }
    line.WriteTo(Out);
}

void ReadingWriter::WriteRow(std::int64_t index, const SpeedReading& reading) {
    Line line;
    if (Colour) {
        line.Text(std::string_view(ColourOf(VerdictOf(reading))));
    }
    const double start = BlockStartSeconds(index);
    switch (Format) {
    case OutputFormat::Table: {
        // Widths match the headings of WriteHeader; the wider numbers push the row right.
        const auto field = [&line](int width, auto put) {
            char* const start = line.Mark();
            put();
            line.AlignRight(start, width);
        };
        field(6, [&] { line.Whole(index); });
        field(10, [&] { line.Fixed3(start); });
        field(9, [&] { line.Fixed(reading.Rpm, 3); });
        field(14, [&] { line.Fixed(reading.FrequencyHz, 7); });
        field(8, [&] { line.Text(YesNo(reading.Steady)); });
        field(10, [&] { line.Text(YesNo(reading.Overload)); });
        field(10, [&] { line.Text("-"); });
        field(9, [&] { line.Text("-"); });
        field(9, [&] { line.Whole(reading.Impulses); });
        line.Text("\n");
        break;
    }
    case OutputFormat::Csv:
        line.Whole(index).Text(",").Fixed3(start).Text(",").Fixed(reading.Rpm, 3).Text(",");
        line.Fixed(reading.FrequencyHz, 7).Text(",").Text(TrueFalse(reading.Steady)).Text(",");
        line.Text(TrueFalse(reading.Overload)).Text(",,,");
        line.Whole(reading.Impulses).Text("\n");
        break;
    case OutputFormat::Jsonl:
        line.Text("{\"block\":").Whole(index).Text(",\"start_s\":").Fixed3(start);
        line.Text(",\"rpm\":").Fixed(reading.Rpm, 3);
        line.Text(",\"frequency_hz\":").Fixed(reading.FrequencyHz, 7);
        line.Text(",\"steady\":").Text(TrueFalse(reading.Steady));
        line.Text(",\"overload\":").Text(TrueFalse(reading.Overload));
        line.Text(",\"full_rms\":null,\"mid_rms\":null");
        line.Text(",\"periods\":").Whole(reading.Impulses).Text("}\n");
        break;
    }
    if (Colour) {
        line.Backspace().Text("\x1b[0m\n");
    }
    line.WriteTo(Out);
}

void ReadingWriter::WriteSummary(const RunSummary& summary) {
    if (Format != OutputFormat::Table) {
        return;
    }
    char line[256];
    Out << "\nrecording: " << summary.Recording << '\n';
    std::snprintf(line, sizeof line, "ppr:       %d impulse%s per revolution\n", summary.Ppr,
                  summary.Ppr == 1 ? "" : "s");
    Out << line;
    if (summary.ClockPpm != 0.0) {
        std::snprintf(line, sizeof line, "clock:     readings corrected by %+.1f ppm\n",
                      summary.ClockPpm);
        Out << line;
    }
    std::snprintf(line, sizeof line,
                  "blocks:    %lld analysed (%lld steady, %lld unsteady, %lld overloaded)\n",
                  static_cast<long long>(summary.Blocks), static_cast<long long>(summary.Steady),
                  static_cast<long long>(summary.Unsteady),
                  static_cast<long long>(summary.Overloaded));
    Out << line;
    if (summary.HasSteadyRpm && summary.Tracker) {
        std::snprintf(line, sizeof line,
                      "rpm:       min %.3f, median %.3f, max %.3f (steady readings)\n",
                      summary.MinRpm, summary.MedianRpm, summary.MaxRpm);
        Out << line;
    } else if (summary.HasSteadyRpm) {
        // A median between two whole readings keeps its half rather than pretending.
        const bool whole =
            summary.MedianRpm == static_cast<double>(static_cast<std::int64_t>(summary.MedianRpm));
        std::snprintf(line, sizeof line,
                      "rpm:       min %.0f, median %.*f, max %.0f (steady blocks)\n",
                      summary.MinRpm, whole ? 0 : 1, summary.MedianRpm, summary.MaxRpm);
        Out << line;
    } else {
        Out << (summary.Tracker ? "rpm:       no steady reading\n"
                                : "rpm:       no steady block\n");
    }
    if (summary.SkippedSamples > 0) {
        std::snprintf(line, sizeof line,
                      "skipped:   final partial block of %lld samples (%.3f s), not analysed\n",
                      static_cast<long long>(summary.SkippedSamples),
                      static_cast<double>(summary.SkippedSamples) / summary.SampleRate);
        Out << line;
    }
}
