// The speed tracker on signals as a sound card delivers them (band-limited edges, AC coupling,
// hum, noise), all from the reference generator: the accuracy each kind of signal must reach,
// the rules for shafts that slow down and stop, and that the way a signal is split into chunks
// changes nothing.
#include "measure/SpeedTracker.h"
#include "signal/TestSignal.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <string>
#include <vector>

namespace {

constexpr double kIntervalSeconds = 8192.0 / 22050.0;

std::vector<std::int16_t> Generate(const PulseTrainSettings& settings, double seconds) {
    std::vector<std::int16_t> samples(static_cast<std::size_t>(seconds * settings.SampleRate));
    PulseTrainGenerator(settings).Generate(samples);
    return samples;
}

std::vector<SpeedReading> Track(std::span<const std::int16_t> samples,
                                const SpeedTrackerSettings& settings, std::size_t chunk = 4096) {
    SpeedTracker tracker(settings);
    std::vector<SpeedReading> readings;
    for (std::size_t at = 0; at < samples.size(); at += chunk) {
        tracker.FeedAll(samples.subspan(at, std::min(chunk, samples.size() - at)),
                        [&](const SpeedReading& reading) { readings.push_back(reading); });
    }
    return readings;
}

// A sensor's square wave as the card delivers it: 20000 from low to high, 40 dB SNR.
PulseTrainSettings Sensor(double frequencyHz) {
    PulseTrainSettings settings;
    settings.FrequencyHz = frequencyHz;
    settings.Shape = PulseShape::Square;
    settings.BandLimited = true;
    settings.NoiseSigma = 200.0;
    return settings;
}

double Ppm(double measured, double truth) {
    return (measured / truth - 1.0) * 1e6;
}

struct SignalCase {
    std::string Name;
    std::function<void(PulseTrainSettings&)> Impair;
    double FrequencyHz; // impulse rate
    std::int32_t Ppr;
    double Seconds;
    double SkipSeconds; // readings before this are not judged
    double BoundPpm;
    double SteadyFromSeconds = 0.0; // steadiness needs three whole revolutions
};

std::ostream& operator<<(std::ostream& out, const SignalCase& c) {
    return out << c.Name;
}

class TrackerAccuracy : public testing::TestWithParam<SignalCase> {};

TEST_P(TrackerAccuracy, EveryReadingIsWithinItsBoundAndSteady) {
    const SignalCase& c = GetParam();
    PulseTrainSettings signal = Sensor(c.FrequencyHz);
    signal.ImpulsesPerRevolution = c.Ppr;
    c.Impair(signal);
    const auto samples = Generate(signal, c.Seconds);
    SpeedTrackerSettings settings;
    settings.SampleRate = signal.SampleRate;
    settings.ImpulsesPerRevolution = c.Ppr;
    const auto readings = Track(samples, settings);

    int judged = 0;
    int steady = 0;
    double worst = 0.0;
    for (const SpeedReading& reading : readings) {
        if (reading.StartSeconds < c.SkipSeconds) {
            continue;
        }
        if (reading.StartSeconds >= c.SteadyFromSeconds) {
            ++judged;
            steady += reading.Steady ? 1 : 0;
        }
        const double error = Ppm(reading.FrequencyHz, c.FrequencyHz);
        worst = std::max(worst, std::abs(error));
        EXPECT_LE(std::abs(error), c.BoundPpm)
            << "reading " << reading.Index << " at " << reading.StartSeconds
            << " s: " << reading.FrequencyHz << " Hz";
        EXPECT_NEAR(reading.Rpm, reading.FrequencyHz * 60.0 / c.Ppr, 1e-9 * reading.Rpm);
        EXPECT_FALSE(reading.Overload);
    }
    ASSERT_GT(judged, 5);
    EXPECT_GE(steady, judged * 9 / 10) << "worst error " << worst << " ppm";
}

const SignalCase kSignals[] = {
    {"Clean47Hz", [](auto&) {}, 47.3, 1, 8, 1, 20},
    {"Slow2HzOnePerRevolution", [](auto&) {}, 2.0, 1, 12, 3, 20},
    // The impulse at 0 s comes before the noise estimate has settled; the third one after it
    // is at 6 s, the fourth (three whole revolutions) at 8 s.
    {"ThirtyRpmOneEveryTwoSeconds", [](auto&) {}, 0.5, 1, 16, 6, 100, 8},
    {"Fast2000Hz", [](auto&) {}, 2000.0, 1, 4, 1, 20},
    {"NarrowPulses1Percent",
     [](auto& s) {
         s.Shape = PulseShape::Pulse;
         s.DutyCycle = 0.01;
     },
     20.0, 1, 8, 1, 20},
    {"WidePulses99PercentAcCoupled2Hz",
     [](auto& s) {
         s.Shape = PulseShape::Pulse;
         s.DutyCycle = 0.99;
         s.AcCornerHz = 2.0;
     },
     200.0, 1, 6, 1, 20},
    {"SlowSquareAcCoupled50Hz", [](auto& s) { s.AcCornerHz = 50.0; }, 2.0, 1, 12, 3, 20},
    {"DcOffset", [](auto& s) { s.Offset = 8000.0; }, 123.4, 1, 6, 1, 20},
    {"FourMagnetsUneven", [](auto& s) { s.Uneven = 0.025; }, 100.0, 4, 6, 1, 20},
    {"SixStripsUneven", [](auto& s) { s.Uneven = 0.02; }, 300.0, 6, 6, 1, 20},
    // Still 40 dB above the noise at the end.
    {"AmplitudeFalling20dBIn10s",
     [](auto& s) {
         s.GainDbPerSecond = -2.0;
         s.NoiseSigma = 20.0;
     },
     50.0, 1, 10, 1, 20},
    {"At48kHz", [](auto& s) { s.SampleRate = 48000; }, 47.3, 1, 6, 1, 20},
    {"NegativeNarrowPulsesWithHum20Percent",
     [](auto& s) {
         s.Shape = PulseShape::Pulse;
         s.DutyCycle = 0.03;
         s.Polarity = PulsePolarity::Negative;
         s.HumFraction = 0.2;
     },
     37.0, 1, 10, 1, 200},
    {"Hum60HzAcCoupled",
     [](auto& s) {
         s.HumFraction = 0.2;
         s.HumHz = 60.0;
         s.AcCornerHz = 10.0;
     },
     25.0, 1, 10, 1, 200},
    {"Noise20dB", [](auto& s) { s.NoiseSigma = 2000.0; }, 50.0, 2, 10, 1, 200},
    {"NarrowPulsesNoise20dB",
     [](auto& s) {
         s.Shape = PulseShape::Pulse;
         s.DutyCycle = 0.2;
         s.NoiseSigma = 2000.0;
     },
     37.0, 1, 10, 1, 200},
};

INSTANTIATE_TEST_SUITE_P(Signals, TrackerAccuracy, testing::ValuesIn(kSignals),
                         [](const auto& info) { return info.param.Name; });

TEST(SpeedTracker, ReadingsDoNotDependOnHowTheSignalIsChunked) {
    for (const std::int32_t rate : {22050, 48000}) {
        PulseTrainSettings signal = Sensor(37.0);
        signal.SampleRate = rate;
        signal.HumFraction = 0.1;
        signal.NoiseSigma = 1000.0;
        signal.Jitter = 0.05;
        const auto samples = Generate(signal, 6.0);
        SpeedTrackerSettings settings;
        settings.SampleRate = rate;
        settings.ImpulsesPerRevolution = 2;
        const auto whole = Track(samples, settings, samples.size());
        ASSERT_EQ(whole.size(), static_cast<std::size_t>(6.0 / kIntervalSeconds));
        for (const std::size_t chunk : {1u, 7u, 8192u, 100000u}) {
            const auto chunked = Track(samples, settings, chunk);
            ASSERT_EQ(chunked.size(), whole.size()) << rate << " Hz, chunks of " << chunk;
            for (std::size_t k = 0; k < whole.size(); ++k) {
                const std::string where = std::to_string(rate) + " Hz, chunks of " +
                                          std::to_string(chunk) + ", reading " + std::to_string(k);
                EXPECT_EQ(chunked[k].FrequencyHz, whole[k].FrequencyHz) << where;
                EXPECT_EQ(chunked[k].Steady, whole[k].Steady) << where;
                EXPECT_EQ(chunked[k].Source, whole[k].Source) << where;
                EXPECT_EQ(chunked[k].Impulses, whole[k].Impulses) << where;
                EXPECT_EQ(chunked[k].Overload, whole[k].Overload) << where;
            }
        }
    }
}

TEST(SpeedTracker, ReadingsLineUpWithTheBlockAnalysisRows) {
    for (const std::int32_t rate : {22050, 44100, 48000, 8000}) {
        SpeedTrackerSettings settings;
        settings.SampleRate = rate;
        SpeedTracker tracker(settings);
        std::vector<std::int16_t> silence(static_cast<std::size_t>(rate) * 3);
        std::vector<SpeedReading> readings;
        tracker.FeedAll(silence, [&](const SpeedReading& r) { readings.push_back(r); });
        // Three seconds hold eight whole intervals of 8192 / 22050 s, the ninth is cut off.
        ASSERT_EQ(readings.size(), 8u) << rate << " Hz";
        for (std::size_t k = 0; k < readings.size(); ++k) {
            EXPECT_EQ(readings[k].Index, static_cast<std::int64_t>(k));
            EXPECT_DOUBLE_EQ(readings[k].StartSeconds, k * kIntervalSeconds);
            EXPECT_EQ(readings[k].FrequencyHz, 0.0);
            EXPECT_EQ(readings[k].Source, SpeedSource::None);
        }
    }
}

TEST(SpeedTracker, NoiseAloneMakesNoEdge) {
    for (const double sigma : {1.0, 30.0, 300.0, 3000.0}) {
        PulseTrainSettings noise;
        noise.Amplitude = 0.0;
        noise.NoiseSigma = sigma;
        noise.Seed = 7;
        const auto samples = Generate(noise, 60.0);
        SpeedTracker tracker({});
        tracker.FeedAll(samples, [&](const SpeedReading& reading) {
            EXPECT_EQ(reading.FrequencyHz, 0.0) << "sigma " << sigma;
        });
        EXPECT_EQ(tracker.EdgeCount(), 0) << "sigma " << sigma;
    }
}

// Between impulses two seconds apart the signal is seconds of noise; the levels must hold so
// that none of it counts.
TEST(SpeedTracker, NoiseBetweenSlowImpulsesMakesNoEdge) {
    PulseTrainSettings signal = Sensor(0.5);
    signal.Shape = PulseShape::Pulse;
    signal.DutyCycle = 0.02;
    signal.NoiseSigma = 1000.0;
    const auto samples = Generate(signal, 20.0);
    SpeedTracker tracker({});
    tracker.FeedAll(samples, [](const SpeedReading&) {});
    // Impulses begin at 0, 2, ..., 18 s; the first comes before the noise estimate settles.
    EXPECT_GE(tracker.EdgeCount(), 9);
    EXPECT_LE(tracker.EdgeCount(), 10);
}

// A shaft turning at 10 Hz stops dead at 4 s: the reading is held while the next impulse is
// not yet overdue, then falls as if an impulse came at the end of each interval, and reads 0
// once no impulse has come for the timeout.
TEST(SpeedTracker, StoppingShaftReadsFallingThenZero) {
    for (const double timeout : {10.0, 2.5}) {
        PulseTrainSettings signal = Sensor(10.0);
        // The last rising edge is at 3.9 s; from 3.97 s, in the low half, only noise: the
        // sensor sits low.
        auto samples = Generate(signal, 3.97);
        PulseTrainSettings rest;
        rest.Amplitude = 0.0;
        rest.Offset = -10000.0;
        rest.NoiseSigma = 200.0;
        rest.BandLimited = true;
        const auto still = Generate(rest, 16.0);
        samples.insert(samples.end(), still.begin(), still.end());

        SpeedTrackerSettings settings;
        settings.TimeoutSeconds = timeout;
        const auto readings = Track(samples, settings);
        const double lastEdge = 3.9;
        double previous = 1e9;
        for (const SpeedReading& reading : readings) {
            const double end = reading.StartSeconds + kIntervalSeconds - 1.0 / kSampleRate;
            const std::string where = "timeout " + std::to_string(timeout) + " s, reading at " +
                                      std::to_string(reading.StartSeconds) + " s";
            if (reading.StartSeconds < 1.0 || end < lastEdge) {
                continue;
            }
            if (reading.StartSeconds <= lastEdge || end - lastEdge <= 0.1) {
                EXPECT_NEAR(reading.FrequencyHz, 10.0, 0.01) << where;
            } else if (end - lastEdge > timeout) {
                EXPECT_EQ(reading.Source, SpeedSource::None) << where;
                EXPECT_EQ(reading.FrequencyHz, 0.0) << where;
            } else {
                EXPECT_EQ(reading.Source, SpeedSource::Falling) << where;
                EXPECT_NEAR(reading.FrequencyHz, 1.0 / (end - lastEdge), 1e-3) << where;
                EXPECT_LT(reading.FrequencyHz, previous) << where;
                EXPECT_FALSE(reading.Steady) << where;
            }
            previous = reading.FrequencyHz;
        }
    }
}

// One impulse every two seconds: most intervals see none, and they repeat the last speed
// rather than falling, because the next impulse is not yet overdue.
TEST(SpeedTracker, SlowShaftHoldsItsReadingBetweenImpulses) {
    const auto samples = Generate(Sensor(0.5), 20.0);
    const auto readings = Track(samples, {});
    int held = 0;
    for (const SpeedReading& reading : readings) {
        if (reading.StartSeconds < 5.0) {
            continue;
        }
        EXPECT_NE(reading.Source, SpeedSource::Falling) << reading.StartSeconds << " s";
        EXPECT_NE(reading.Source, SpeedSource::None) << reading.StartSeconds << " s";
        held += reading.Source == SpeedSource::Held ? 1 : 0;
    }
    EXPECT_GT(held, 30);
}

// 1000 to 3000 RPM in 10 s with two impulses per revolution: every reading within 1 % of the
// speeds during its interval, which a lost or doubled impulse would break.
TEST(SpeedTracker, RampIsFollowedWithoutDropoutOrDoubleCount) {
    const std::int32_t ppr = 2;
    const double from = 1000.0 * ppr / 60.0;
    const double to = 3000.0 * ppr / 60.0;
    PulseTrainSettings signal = Sensor(from);
    signal.Shape = PulseShape::Pulse;
    signal.DutyCycle = 0.3;
    signal.RampToHz = to;
    signal.RampSeconds = 10.0;
    const auto samples = Generate(signal, 12.0);
    SpeedTrackerSettings settings;
    settings.ImpulsesPerRevolution = ppr;
    const auto readings = Track(samples, settings);
    const auto rateAt = [&](double t) { return from + (to - from) * std::min(t, 10.0) / 10.0; };
    for (const SpeedReading& reading : readings) {
        if (reading.StartSeconds < 1.0) {
            continue;
        }
        const double low = rateAt(reading.StartSeconds);
        const double high = rateAt(reading.StartSeconds + kIntervalSeconds);
        EXPECT_EQ(reading.Source, SpeedSource::Measured) << reading.StartSeconds << " s";
        EXPECT_GE(reading.FrequencyHz, low * 0.99) << reading.StartSeconds << " s";
        EXPECT_LE(reading.FrequencyHz, high * 1.01) << reading.StartSeconds << " s";
    }
}

TEST(SpeedTracker, ClockCorrectionAppliesToEveryReading) {
    // The card's clock runs 150 ppm fast: it reads every rate 150 ppm low.
    PulseTrainSettings signal = Sensor(60.0);
    signal.ClockPpm = 150.0;
    const auto samples = Generate(signal, 5.0);
    SpeedTrackerSettings corrected;
    corrected.ClockPpm = 150.0;
    const auto plain = Track(samples, {});
    const auto fixed = Track(samples, corrected);
    ASSERT_EQ(plain.size(), fixed.size());
    for (std::size_t k = 3; k < plain.size(); ++k) {
        EXPECT_NEAR(Ppm(plain[k].FrequencyHz, 60.0), -150.0, 20.0) << "reading " << k;
        EXPECT_NEAR(Ppm(fixed[k].FrequencyHz, 60.0), 0.0, 20.0) << "reading " << k;
        EXPECT_DOUBLE_EQ(fixed[k].FrequencyHz, plain[k].FrequencyHz * (1.0 + 150e-6));
    }
}

TEST(SpeedTracker, ReferenceToneMeasuresTheClockWithinOnePpm) {
    for (const double ppm : {-230.0, 0.0, 148.7}) {
        PulseTrainSettings tone = Sensor(1000.0);
        tone.Shape = PulseShape::Sine;
        tone.ClockPpm = ppm;
        const auto samples = Generate(tone, 10.0);
        SpeedTracker tracker({});
        tracker.FeedAll(samples, [](const SpeedReading&) {});
        EXPECT_NEAR(ClockPpmFrom(1000.0, tracker.MeanFrequencyHz()), ppm, 1.0);
    }
}

TEST(SpeedTracker, SteadyWhenPeriodsAgreeNotWithJitter) {
    const auto share = [](double jitter) {
        PulseTrainSettings signal = Sensor(50.0);
        signal.Jitter = jitter;
        const auto readings = Track(Generate(signal, 10.0), {});
        int steady = 0;
        for (const SpeedReading& reading : readings) {
            steady += reading.Steady ? 1 : 0;
        }
        return static_cast<double>(steady) / static_cast<double>(readings.size());
    };
    EXPECT_GT(share(0.0), 0.9);
    EXPECT_LT(share(0.15), 0.1);
}

TEST(SpeedTracker, ClippingIsOverloadAndStillMeasured) {
    PulseTrainSettings loud = Sensor(50.0);
    loud.Amplitude = 32767.0; // the converter's ringing goes past full scale
    const auto clipped = Track(Generate(loud, 3.0), {});
    PulseTrainSettings fine = Sensor(50.0);
    fine.Amplitude = 28000.0;
    const auto unclipped = Track(Generate(fine, 3.0), {});
    for (std::size_t k = 3; k < clipped.size(); ++k) {
        EXPECT_TRUE(clipped[k].Overload) << "reading " << k;
        EXPECT_NEAR(Ppm(clipped[k].FrequencyHz, 50.0), 0.0, 50.0) << "reading " << k;
        EXPECT_FALSE(unclipped[k].Overload) << "reading " << k;
    }
}

TEST(SpeedTracker, RejectsSettingsOutOfRange) {
    const std::vector<std::function<void(SpeedTrackerSettings&)>> bad = {
        [](auto& s) { s.SampleRate = 999; },
        [](auto& s) { s.SampleRate = 768001; },
        [](auto& s) { s.ImpulsesPerRevolution = 0; },
        [](auto& s) { s.ImpulsesPerRevolution = 4097; },
        [](auto& s) { s.ClockPpm = NAN; },
        [](auto& s) { s.ClockPpm = 100001.0; },
        [](auto& s) { s.TimeoutSeconds = 0.0; },
        [](auto& s) { s.TimeoutSeconds = INFINITY; },
    };
    for (std::size_t k = 0; k < bad.size(); ++k) {
        SpeedTrackerSettings settings;
        bad[k](settings);
        EXPECT_THROW(SpeedTracker{settings}, std::invalid_argument) << "case " << k;
    }
}

} // namespace
