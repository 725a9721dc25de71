// Writes block readings as a table for people, CSV or JSON lines, and the table's summary.
//
// Columns, in this order in every format: block (0-based), start_s (seconds from the start of
// the recording), rpm, frequency_hz, steady, overload, full_rms and mid_rms (sample units,
// 0..32768), periods (-1 when no edge was found).
//
// The speed tracker's readings go in the same columns, one per block-length interval: rpm to
// 3 decimals, frequency_hz to 7, full_rms the interval's RMS, mid_rms empty (the tracker has no
// analysis window: '-' in the table, null in JSON lines), periods the impulse intervals the speed
// was taken over (0 when the reading is held, falling or zero).
//
// Writing a row formats into a fixed buffer and allocates nothing. Not thread-safe.
#pragma once

#include "measure/BlockAnalysis.h"
#include "measure/SpeedTracker.h"

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

enum class OutputFormat { Table, Csv, Jsonl };

// Parses "table", "csv" or "jsonl"; nothing for any other text.
std::optional<OutputFormat> ParseOutputFormat(std::string_view text);

// How a reading is judged, as the readout's colour shows it: overload wins over steadiness.
enum class Verdict { Steady, Unsteady, Overload };
Verdict VerdictOf(const BlockReading& reading);
Verdict VerdictOf(const SpeedReading& reading);

// Blocks in a day: the most that summaries reserve room for at once.
inline constexpr std::int64_t kDayOfBlocks = std::int64_t{86400} * kSampleRate / kBlockSamples + 1;

// Seconds from the start of the recording to the first sample of block `index`.
double BlockStartSeconds(std::int64_t index);

struct RunSummary {
    std::string Recording;                 // one-line description of the input and how it was read
    std::int32_t Ppr = 1;                  // impulses per revolution
    std::int64_t Blocks = 0;               // analysed
    std::int64_t Steady = 0;               // lime: steady, not overloaded
    std::int64_t Unsteady = 0;             // dark green: unsteady, not overloaded
    std::int64_t Overloaded = 0;           // red
    bool HasSteadyRpm = false;             // false when no block was steady
    double MinRpm = 0.0;                   // over steady blocks
    double MedianRpm = 0.0;                // over steady blocks; a half when their count is even
    double MaxRpm = 0.0;                   // over steady blocks
    std::int64_t SkippedSamples = 0;       // of the final partial block, at SampleRate
    std::int32_t SampleRate = kSampleRate; // of the samples counted in SkippedSamples, Hz
    bool Tracker = false;                  // speed tracker readings: RPM with decimals
    double ClockPpm = 0.0;                 // correction applied to every reading, ppm
};

// Counts readings by verdict and keeps the steady ones' RPM for the summary. Add allocates
// nothing while the blocks stay within the number given at construction.
class ReadingTally {
public:
    explicit ReadingTally(std::size_t expectedBlocks) { SteadyRpm.reserve(expectedBlocks); }

    Verdict Add(const BlockReading& reading);
    Verdict Add(const SpeedReading& reading);
    std::int64_t Blocks() const { return Counts.Blocks; }
    // The counts with min, median and max RPM over steady blocks; the other fields as given.
    RunSummary Summary(RunSummary summary);

private:
    Verdict Count(Verdict verdict, double rpm);

    RunSummary Counts;
    std::vector<double> SteadyRpm;
};

class ReadingWriter {
public:
    // With `colour`, each row is wrapped in the terminal colour of its verdict, as the readout
    // would show it (for a terminal only; the escape codes are not part of the data).
    ReadingWriter(OutputFormat format, std::ostream& out, bool colour = false)
        : Format(format), Out(out), Colour(colour) {}

    // Column headings (table and CSV); nothing for JSON lines.
    void WriteHeader();
    void WriteRow(std::int64_t index, const BlockReading& reading);
    void WriteRow(std::int64_t index, const SpeedReading& reading);
    // The table's closing summary; nothing for CSV and JSON lines, which stay uniform rows.
    void WriteSummary(const RunSummary& summary);

private:
    OutputFormat Format;
    std::ostream& Out;
    bool Colour;
};
