// The WAV header probe reads what a header declares from its bytes alone, whatever they hold:
// the figures that name a damaged header or a cut-off file, and nothing from bytes it was not
// given.

#include "tools/cli/WavHeader.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

void Put(Bytes& bytes, const std::string& text) {
    bytes.insert(bytes.end(), text.begin(), text.end());
}
void Put16(Bytes& bytes, std::uint32_t value) {
    bytes.push_back(static_cast<std::uint8_t>(value));
    bytes.push_back(static_cast<std::uint8_t>(value >> 8));
}
void Put32(Bytes& bytes, std::uint32_t value) {
    Put16(bytes, value & 0xFFFF);
    Put16(bytes, value >> 16);
}

// A chunk with its header; `size` is what the header declares, `body` what follows.
void Chunk(Bytes& bytes, const std::string& id, std::uint32_t size, const Bytes& body = {}) {
    Put(bytes, id);
    Put32(bytes, size);
    bytes.insert(bytes.end(), body.begin(), body.end());
}

Bytes Fmt(std::uint32_t channels, std::uint32_t rate, std::uint32_t bits = 16) {
    Bytes body;
    const std::uint32_t align = channels * bits / 8;
    Put16(body, 1);
    Put16(body, channels);
    Put32(body, rate);
    Put32(body, rate * align);
    Put16(body, align);
    Put16(body, bits);
    return body;
}

Bytes Riff(std::uint32_t declaredBytes, const std::string& form = "WAVE") {
    Bytes bytes;
    Put(bytes, "RIFF");
    Put32(bytes, declaredBytes - 8);
    Put(bytes, form);
    return bytes;
}

// The canonical header of a 16-bit file: RIFF, fmt, data of `dataBytes`.
Bytes Canonical(std::uint32_t channels, std::uint32_t rate, std::uint32_t dataBytes) {
    Bytes bytes = Riff(44 + dataBytes);
    Chunk(bytes, "fmt ", 16, Fmt(channels, rate));
    Chunk(bytes, "data", dataBytes);
    return bytes;
}

struct ProbeCase {
    const char* Name;
    Bytes Input;
    WavHeader Expected;
};

WavHeader Header(bool riff, std::int64_t riffBytes, bool found, std::int64_t channels,
                 std::int64_t rate, std::int64_t frames) {
    WavHeader header;
    header.Riff = riff;
    header.RiffBytes = riffBytes;
    header.Found = found;
    header.Channels = channels;
    header.SampleRate = rate;
    header.DataFrames = frames;
    return header;
}

std::vector<ProbeCase> Cases() {
    std::vector<ProbeCase> cases;
    cases.push_back(
        {"MonoFile", Canonical(1, 22050, 44100), Header(true, 44144, true, 1, 22050, 22050)});
    cases.push_back({"StereoFramesCountBothChannels", Canonical(2, 44100, 40000),
                     Header(true, 40044, true, 2, 44100, 10000)});
    cases.push_back({"ImpossibleFiguresAreReportedAsDeclared", Canonical(0, 4000000000u, 100),
                     Header(true, 144, true, 0, 4000000000, -1)});
    cases.push_back(
        {"DataSizeZeroIsUnknown", Canonical(1, 22050, 0), Header(true, 44, true, 1, 22050, -1)});
    {
        Bytes bytes = Canonical(1, 22050, 0);
        bytes[40] = bytes[41] = bytes[42] = bytes[43] = 0xFF;
        cases.push_back({"DataSizeAllOnesIsUnknown", bytes, Header(true, 44, true, 1, 22050, -1)});
    }
    cases.push_back({"NotRiff", Bytes{'f', 'L', 'a', 'C', 0, 0, 0, 34, 1, 2, 3, 4, 5},
                     Header(false, 0, false, 0, 0, -1)});
    cases.push_back({"RiffButNotWave", Riff(12, "AVI "), Header(false, 0, false, 0, 0, -1)});
    cases.push_back({"ShorterThanTheRiffHeader", Bytes{'R', 'I', 'F', 'F', 4, 0, 0, 0, 'W', 'A'},
                     Header(false, 0, false, 0, 0, -1)});
    {
        Bytes bytes = Riff(1000);
        Chunk(bytes, "LIST", 5, Bytes{1, 2, 3, 4, 5, 0}); // odd: one pad byte follows
        Chunk(bytes, "fmt ", 16, Fmt(1, 8000));
        Chunk(bytes, "data", 800);
        cases.push_back({"OddChunkIsPaddedToEven", bytes, Header(true, 1000, true, 1, 8000, 400)});
    }
    {
        Bytes bytes = Riff(1000);
        Chunk(bytes, "fmt ", 18, [] {
            Bytes body = Fmt(1, 48000);
            body.insert(body.end(), {0, 0});
            return body;
        }());
        Chunk(bytes, "data", 960);
        cases.push_back(
            {"LongerFmtChunkIsSkippedWhole", bytes, Header(true, 1000, true, 1, 48000, 480)});
    }
    {
        Bytes bytes = Riff(100);
        Chunk(bytes, "fmt ", 14, Bytes(14, 1));
        Chunk(bytes, "data", 50);
        cases.push_back({"FmtTooShortIsNoHeader", bytes, Header(true, 100, false, 0, 0, -1)});
    }
    {
        Bytes bytes = Riff(100);
        Chunk(bytes, "data", 50);
        Chunk(bytes, "fmt ", 16, Fmt(1, 22050));
        cases.push_back({"DataBeforeFmtEndsTheProbe", bytes, Header(true, 100, false, 0, 0, -1)});
    }
    {
        Bytes bytes = Canonical(1, 22050, 1000);
        bytes.resize(30); // cut inside the fmt chunk
        cases.push_back({"CutInsideFmt", bytes, Header(true, 1044, false, 0, 0, -1)});
    }
    {
        Bytes bytes = Canonical(1, 22050, 1000);
        bytes.resize(40); // the data chunk's size is missing
        cases.push_back({"CutInsideDataHeader", bytes, Header(true, 1044, true, 1, 22050, -1)});
    }
    {
        Bytes bytes = Riff(100);
        Chunk(bytes, "fmt ", 16, Fmt(1, 22050));
        Chunk(bytes, "JUNK", 0xFFFFFFF0u); // skips far past the bytes
        Chunk(bytes, "data", 100);
        cases.push_back({"HugeChunkSkipsPastTheEnd", bytes, Header(true, 100, true, 1, 22050, -1)});
    }
    {
        Bytes bytes = Canonical(1, 22050, 1000);
        bytes[32] = bytes[33] = 0; // block align 0
        cases.push_back(
            {"ZeroBlockAlignLeavesFramesUnknown", bytes, Header(true, 1044, true, 1, 22050, -1)});
    }
    {
        Bytes bytes = Riff(100000);
        Chunk(bytes, "fmt ", 16, Fmt(1, 22050));
        for (int i = 0; i < 5000; ++i) {
            Chunk(bytes, "pad ", 0);
        }
        Chunk(bytes, "data", 100);
        cases.push_back(
            {"CountlessEmptyChunksAreNotAllRead", bytes, Header(true, 100000, true, 1, 22050, -1)});
    }
    return cases;
}

class WavHeaderProbe : public ::testing::TestWithParam<ProbeCase> {};

TEST_P(WavHeaderProbe, ReadsWhatTheHeaderDeclares) {
    const ProbeCase& c = GetParam();
    // A copy of exactly its size, so reading past the given bytes shows under the sanitizers.
    const std::vector<std::uint8_t> bytes = c.Input;
    const WavHeader header = ProbeWavHeader(bytes);
    EXPECT_EQ(header.Riff, c.Expected.Riff);
    EXPECT_EQ(header.RiffBytes, c.Expected.RiffBytes);
    EXPECT_EQ(header.Found, c.Expected.Found);
    EXPECT_EQ(header.Channels, c.Expected.Channels);
    EXPECT_EQ(header.SampleRate, c.Expected.SampleRate);
    EXPECT_EQ(header.DataFrames, c.Expected.DataFrames);
}

INSTANTIATE_TEST_SUITE_P(Headers, WavHeaderProbe, ::testing::ValuesIn(Cases()),
                         [](const auto& info) { return std::string(info.param.Name); });

} // namespace
