// The speed tracker on arbitrary samples, settings and chunk sizes.
//
// Input: byte 0 picks the impulses per revolution (1..8), byte 1 the sample rate (low rates
// come often, so a short input still spans many reading intervals), byte 2 the clock
// correction and the timeout, byte 3 the chunk sizes the samples are fed in; the rest are the
// samples (little-endian int16). Every reading must be finite, non-negative and in range, the
// intervals must follow one another, and feeding the same samples in one piece must give the
// same readings. A violation aborts with what was wrong, so libFuzzer keeps the input.
#include "measure/SpeedTracker.h"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <vector>

namespace {

[[noreturn]] void Violation(const char* what, const SpeedReading& r) {
    std::fprintf(stderr,
                 "fuzz_speedtracker: %s\n  Index %lld Start %.9g Frequency %.9g Rpm %.9g Steady %d "
                 "Overload %d Source %d Impulses %lld\n",
                 what, static_cast<long long>(r.Index), r.StartSeconds, r.FrequencyHz, r.Rpm,
                 r.Steady, r.Overload, static_cast<int>(r.Source),
                 static_cast<long long>(r.Impulses));
    std::abort();
}

void Require(bool holds, const char* what, const SpeedReading& reading) {
    if (!holds) {
        Violation(what, reading);
    }
}

constexpr std::int32_t kRates[] = {1000,  1000,  2000,  4000,   8000, 8000, 11025, 22050,
                                   44100, 48000, 96000, 768000, 1001, 3333, 22051, 16000};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 4) {
        return 0;
    }
    SpeedTrackerSettings settings;
    settings.ImpulsesPerRevolution = 1 + data[0] % 8;
    settings.SampleRate = kRates[data[1] % std::size(kRates)];
    settings.ClockPpm = (static_cast<int>(data[2] % 16) - 8) * 1000.0;
    settings.TimeoutSeconds = data[2] >= 128 ? 0.01 : 10.0;
    const std::size_t chunkSeed = data[3];

    // Static: the vectors keep their room from one input to the next.
    static std::vector<std::int16_t> samples;
    samples.clear();
    for (std::size_t i = 4; i + 1 < size; i += 2) {
        samples.push_back(static_cast<std::int16_t>(
            static_cast<std::uint16_t>(data[i] | static_cast<std::uint16_t>(data[i + 1]) << 8)));
    }

    static std::vector<SpeedReading> chunked;
    static std::vector<SpeedReading> whole;
    chunked.clear();
    whole.clear();
    const auto check = [&](const SpeedReading& r) {
        Require(r.Index == static_cast<std::int64_t>(chunked.size()), "intervals out of order", r);
        Require(std::isfinite(r.StartSeconds) &&
                    std::abs(r.StartSeconds - r.Index * 8192.0 / 22050.0) < 1e-9,
                "StartSeconds is not the interval's start", r);
        Require(std::isfinite(r.FrequencyHz) && r.FrequencyHz >= 0.0,
                "FrequencyHz not finite and non-negative", r);
        Require(std::isfinite(r.Rpm) && r.Rpm >= 0.0, "Rpm not finite and non-negative", r);
        Require(std::abs(r.Rpm - r.FrequencyHz * 60.0 / settings.ImpulsesPerRevolution) <=
                    1e-9 * r.Rpm,
                "Rpm is not FrequencyHz * 60 / ppr", r);
        Require(r.Impulses >= 0, "Impulses negative", r);
        Require((r.Source == SpeedSource::Measured) == (r.Impulses > 0),
                "Impulses without a measured reading, or none with one", r);
        Require(r.Source != SpeedSource::None || (r.FrequencyHz == 0.0 && !r.Steady),
                "a reading with no speed is not 0 and unsteady", r);
        Require(r.Source != SpeedSource::Falling || !r.Steady, "a falling reading is steady", r);
        chunked.push_back(r);
    };

    SpeedTracker tracker(settings);
    std::span<const std::int16_t> rest(samples);
    for (std::size_t k = 0; !rest.empty(); ++k) {
        // Chunk sizes from 1 to a few hundred, in a pattern the input picks.
        const std::size_t length = 1 + (chunkSeed * (k + 1) * 37 + k * k) % 300;
        const std::size_t count = length < rest.size() ? length : rest.size();
        tracker.FeedAll(rest.first(count), check);
        rest = rest.subspan(count);
    }

    SpeedTracker once(settings);
    once.FeedAll(samples, [&](const SpeedReading& r) { whole.push_back(r); });
    if (whole.size() != chunked.size()) {
        std::fprintf(stderr, "fuzz_speedtracker: %zu readings in chunks, %zu in one piece\n",
                     chunked.size(), whole.size());
        std::abort();
    }
    for (std::size_t k = 0; k < whole.size(); ++k) {
        const SpeedReading& a = chunked[k];
        const SpeedReading& b = whole[k];
        Require(a.FrequencyHz == b.FrequencyHz && a.Steady == b.Steady &&
                    a.Overload == b.Overload && a.Source == b.Source && a.Impulses == b.Impulses,
                "the reading depends on how the samples were chunked", a);
    }
    return 0;
}
