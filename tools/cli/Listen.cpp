// `listen`: the default sound input, read by either method, as rows while it runs.
#include "tools/cli/Commands.h"
#include "tools/cli/ExitCodes.h"
#include "tools/cli/LiveSource.h"
#include "tools/cli/OutputFile.h"
#include "tools/cli/Plot.h"
#include "tools/cli/ReadingsLoop.h"

#include <sndfile.h>

#include <cmath>
#include <memory>
#include <optional>
#include <string>

namespace {

struct SndfileCloser {
    void operator()(SNDFILE* file) const { sf_close(file); }
};

// The raw input as 16-bit mono 22050 Hz WAV, renamed into place when listening ends.
class Recording {
public:
    explicit Recording(const std::string& path) : File(path) {
        SF_INFO info{};
        info.samplerate = kSampleRate;
        info.channels = 1;
        info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
        Wav.reset(sf_open_fd(File.Descriptor(), SFM_WRITE, &info, SF_FALSE));
        if (!Wav) {
            throw CliError(kExitOutputUnwritable,
                           "cannot write '" + path + "': " + sf_strerror(nullptr));
        }
    }

    void Append(std::span<const std::int16_t> samples) {
        const auto wanted = static_cast<sf_count_t>(samples.size());
        if (sf_write_short(Wav.get(), samples.data(), wanted) != wanted) {
            throw CliError(kExitOutputUnwritable,
                           "cannot write '" + File.Path() + "': " + sf_strerror(Wav.get()));
        }
    }

    void Finish() {
        if (sf_close(Wav.release()) != 0) {
            throw CliError(kExitOutputUnwritable,
                           "cannot write '" + File.Path() + "': finishing the WAV header failed");
        }
        File.Commit();
    }

    const std::string& Path() const { return File.Path(); }

private:
    AtomicOutputFile File;
    std::unique_ptr<SNDFILE, SndfileCloser> Wav;
};

} // namespace

int RunListen(const ListenOptions& options, std::ostream& out) {
    ReadingsOptions method;
    method.Method = options.Method;
    method.Ppr = options.Ppr;
    method.ClockPpm = options.ClockPpm;
    method.TimeoutSeconds = options.TimeoutSeconds;
    method.Live = true;
    method.Plot = !options.PlotPath.empty();
    CheckReadingsOptions(method);

    // Claimed first, so an unwritable path fails before the device is opened.
    std::optional<Recording> recording;
    if (!options.RecordPath.empty()) {
        recording.emplace(options.RecordPath);
    }
    std::optional<AtomicOutputFile> plotFile;
    if (method.Plot) {
        plotFile.emplace(options.PlotPath);
        LoadPlotModule();
    }
    // --seconds counts whole blocks, rounded up.
    const std::int64_t blockLimit =
        options.Seconds > 0.0
            ? static_cast<std::int64_t>(std::ceil(options.Seconds * kSampleRate / kBlockSamples))
            : -1;

    // A reader of the rows that went away (`| head`) ends listening like Ctrl-C; the recording
    // is still finished, and the lost output reported at the end.
    const auto outputLost = [&out] { return !out; };
    LiveSource source(blockLimit, outputLost, [&recording](std::span<const std::int16_t> samples) {
        if (recording) {
            recording->Append(samples);
        }
    });
    ReadingWriter writer(options.Format, out, options.Colour);
    ReadingsRun run = ReadAll(source, method, writer, out);

    RunSummary& summary = run.Summary;
    summary.Recording = "live from the sound input";
    if (!source.DeviceName().empty()) {
        summary.Recording += " '" + source.DeviceName() + "'";
    }
    summary.Recording += " (16-bit mono 22050 Hz)";
    if (options.Method == AnalysisMethod::Tracker) {
        summary.Recording += ", read by the speed tracker";
    }
    if (recording) {
        recording->Finish();
        summary.Recording += ", saved to " + recording->Path();
    }
    writer.WriteSummary(summary);
    out.flush();
    // The plot, like the recording, shows whatever was read, also before a failure.
    if (plotFile) {
        WritePlot(*plotFile,
                  "sound input" + (source.DeviceName().empty() ? "" : " " + source.DeviceName()) +
                      ", " + std::to_string(options.Ppr) +
                      (options.Ppr == 1 ? " impulse" : " impulses") + " per revolution" +
                      (options.Method == AnalysisMethod::Tracker ? ", speed tracker" : ""),
                  run);
    }
    if (source.Failure()) {
        throw *source.Failure();
    }
    if (outputLost()) {
        throw CliError(kExitOutputUnwritable,
                       "cannot write the readings to the standard output; listening stopped" +
                           std::string(recording ? " and the recording is complete" : ""));
    }
    return kExitOk;
}
