#include "tools/cli/BlockSource.h"

#include "tools/cli/ExitCodes.h"

#include <sndfile.h>
#include <soxr.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <exception>
#include <fcntl.h>
#include <mutex>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

// Samples read from the file per call when a channel must be picked out or resampled: large
// enough to keep calls rare, small enough that the buffers stay small for any channel count
// (a file may have up to 1024) and any sample rate.
constexpr std::int64_t kChunkSamples = 16384;
// Blocks read at a time: 1 MiB.
constexpr std::size_t kChunkBlocks = 64;
static_assert(sizeof(SampleBlock) == kBlockSamples * sizeof(std::int16_t),
              "blocks must be contiguous samples to be read as one run");

struct SndfileCloser {
    void operator()(SNDFILE* file) const { sf_close(file); }
};
struct SoxrDeleter {
    void operator()(soxr* resampler) const { soxr_delete(resampler); }
};

std::string Quoted(const std::string& path) {
    return "'" + path + "'";
}

// Checks what libsndfile reports only vaguely, so each case gets its own clear message.
void CheckInputPath(const std::string& path) {
    struct stat status {};
    if (stat(path.c_str(), &status) != 0) {
        const int error = errno;
        if (error == ENOENT || error == ENOTDIR) {
            throw CliError(kExitInputUnreadable, "cannot read " + Quoted(path) + ": no such file");
        }
        throw CliError(kExitInputUnreadable,
                       "cannot read " + Quoted(path) + ": " + std::strerror(error));
    }
    if (S_ISDIR(status.st_mode)) {
        throw CliError(kExitInputUnreadable,
                       "cannot read " + Quoted(path) + ": it is a directory, not a recording");
    }
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        const int error = errno;
        throw CliError(kExitInputUnreadable,
                       "cannot read " + Quoted(path) + ": " + std::strerror(error));
    }
    close(fd);
    if (S_ISREG(status.st_mode) && status.st_size == 0) {
        throw CliError(kExitNotAudio, Quoted(path) + " is empty (0 bytes), not an audio recording");
    }
}

std::string FormatName(int format) {
    SF_FORMAT_INFO major{};
    major.format = format & SF_FORMAT_TYPEMASK;
    SF_FORMAT_INFO minor{};
    minor.format = format & SF_FORMAT_SUBMASK;
    std::string name;
    if (sf_command(nullptr, SFC_GET_FORMAT_INFO, &major, sizeof(major)) == 0 && major.name) {
        name = major.name;
    }
    if (sf_command(nullptr, SFC_GET_FORMAT_INFO, &minor, sizeof(minor)) == 0 && minor.name) {
        name += name.empty() ? "" : ", ";
        name += minor.name;
    }
    return name;
}

// Full scale of libsndfile's normalised floats is 1.0 = 32768; a value outside the 16-bit
// range (a float file can hold any) is clipped, as an overdriven input would be.
std::int16_t ToSample(float value) {
    if (std::isnan(value)) {
        return 0;
    }
    const float scaled = std::clamp(value * 32768.0f, -32768.0f, 32767.0f);
    return static_cast<std::int16_t>(std::lrint(scaled));
}

} // namespace

struct BlockSource::Impl {
    std::string Path;
    RecordingInfo Info;
    std::int32_t ChannelIndex = 0; // 0-based
    std::int64_t ChunkFrames = 1;  // frames per read when splitting or resampling
    std::unique_ptr<SNDFILE, SndfileCloser> File;
    std::unique_ptr<soxr, SoxrDeleter> Resampler;
    std::int64_t Partial = 0;

    // Blocks are handed out one by one but read a chunk at a time, on a thread of their own:
    // a large read costs far less than many small ones, and the next chunk arrives while the
    // caller analyses this one. Two chunks of a megabyte keep memory flat.
    struct Chunk {
        std::vector<SampleBlock> Blocks = std::vector<SampleBlock>(kChunkBlocks);
        std::size_t Count = 0;    // complete blocks
        std::int64_t Partial = 0; // samples after them, at the end of the recording only
        bool Last = false;        // the recording ends in this chunk
        bool Full = false;        // filled by the reader, not yet handed back by the caller
        std::exception_ptr Error; // the reader's failure, raised again on the caller's side
    };
    std::array<Chunk, 2> Chunks;
    std::size_t Current = 0; // chunk the caller takes blocks from
    bool Holding = false;    // the caller has taken the current chunk from the reader
    std::size_t NextInChunk = 0;
    bool Started = false;
    bool Finished = false;
    std::mutex Lock;
    std::condition_variable Changed;
    bool StopReading = false;
    std::thread Reader;

    // Fills a chunk from the file; returns whether the recording ended in it.
    bool FillChunk(Chunk& chunk) {
        std::int16_t* const first = chunk.Blocks.front().data();
        const std::size_t capacity = chunk.Blocks.size() * kBlockSamples;
        std::size_t filled = 0;
        bool ended = false;
        while (filled < capacity) {
            const std::size_t got = Produce(first + filled, capacity - filled);
            if (got == 0) {
                ended = true;
                break;
            }
            filled += got;
        }
        chunk.Count = filled / kBlockSamples;
        chunk.Partial = static_cast<std::int64_t>(filled % kBlockSamples);
        return ended;
    }

    void ReadAhead() {
        for (std::size_t index = 0;; index = 1 - index) {
            Chunk& chunk = Chunks[index];
            {
                std::unique_lock guard(Lock);
                Changed.wait(guard, [&] { return StopReading || !chunk.Full; });
                if (StopReading) {
                    return;
                }
            }
            bool last = true;
            std::exception_ptr error;
            try {
                last = FillChunk(chunk);
            } catch (...) {
                error = std::current_exception();
            }
            {
                const std::lock_guard guard(Lock);
                chunk.Last = last;
                chunk.Error = error;
                chunk.Full = true;
            }
            Changed.notify_all();
            if (last) {
                return;
            }
        }
    }

    void StopReader() {
        if (Reader.joinable()) {
            {
                const std::lock_guard guard(Lock);
                StopReading = true;
            }
            Changed.notify_all();
            Reader.join();
        }
    }

    ~Impl() { StopReader(); }

    // Interleaved frames straight from the file, when more than one channel must be split.
    std::vector<std::int16_t> ShortFrames;
    std::vector<float> FloatFrames;
    // Resampler input (the selected channel) and output, each with a read position.
    std::vector<float> ResamplerIn;
    std::size_t InPos = 0;
    std::size_t InCount = 0;
    std::vector<float> ResamplerOut;
    std::size_t OutPos = 0;
    std::size_t OutCount = 0;
    bool FileDone = false;
    bool Drained = false;

    [[noreturn]] void ReadFailed() const {
        throw CliError(kExitInputUnreadable,
                       "cannot read " + Quoted(Path) + ": " + sf_strerror(File.get()));
    }

    // Reads up to `frames` frames, returning how many came. Zero means the end of the file.
    std::size_t ReadShort(std::int16_t* out, std::int64_t frames) {
        const sf_count_t got = sf_readf_short(File.get(), out, frames);
        if (got < frames && sf_error(File.get()) != SF_ERR_NO_ERROR) {
            ReadFailed();
        }
        return static_cast<std::size_t>(got);
    }

    std::size_t ProduceDirect(std::int16_t* out, std::size_t wanted) {
        if (Info.Channels == 1) {
            return ReadShort(out, static_cast<std::int64_t>(wanted));
        }
        const auto frames = std::min<std::int64_t>(static_cast<std::int64_t>(wanted), ChunkFrames);
        const std::size_t got = ReadShort(ShortFrames.data(), frames);
        const auto stride = static_cast<std::size_t>(Info.Channels);
        for (std::size_t i = 0; i < got; ++i) {
            out[i] = ShortFrames[i * stride + static_cast<std::size_t>(ChannelIndex)];
        }
        return got;
    }

    void RefillResamplerInput() {
        const sf_count_t got = sf_readf_float(File.get(), FloatFrames.data(), ChunkFrames);
        if (got < ChunkFrames && sf_error(File.get()) != SF_ERR_NO_ERROR) {
            ReadFailed();
        }
        const auto stride = static_cast<std::size_t>(Info.Channels);
        for (std::size_t i = 0; i < static_cast<std::size_t>(got); ++i) {
            ResamplerIn[i] = FloatFrames[i * stride + static_cast<std::size_t>(ChannelIndex)];
        }
        InPos = 0;
        InCount = static_cast<std::size_t>(got);
        FileDone = got == 0;
    }

    std::size_t ProduceResampled(std::int16_t* out, std::size_t wanted) {
        while (OutPos == OutCount) {
            if (Drained) {
                return 0;
            }
            if (InPos == InCount && !FileDone) {
                RefillResamplerInput();
            }
            std::size_t used = 0;
            std::size_t made = 0;
            soxr_error_t error = nullptr;
            if (InPos < InCount) {
                error = soxr_process(Resampler.get(), ResamplerIn.data() + InPos, InCount - InPos,
                                     &used, ResamplerOut.data(), ResamplerOut.size(), &made);
            } else {
                // End of input: ask for the samples still inside the filter.
                error = soxr_process(Resampler.get(), nullptr, 0, nullptr, ResamplerOut.data(),
                                     ResamplerOut.size(), &made);
                Drained = made == 0;
            }
            if (error != nullptr) {
                throw CliError(kExitInputUnreadable,
                               "cannot resample " + Quoted(Path) + ": " + error);
            }
            InPos += used;
            OutPos = 0;
            OutCount = made;
        }
        const std::size_t count = std::min(wanted, OutCount - OutPos);
        for (std::size_t i = 0; i < count; ++i) {
            out[i] = ToSample(ResamplerOut[OutPos + i]);
        }
        OutPos += count;
        return count;
    }

    std::size_t Produce(std::int16_t* out, std::size_t wanted) {
        return Resampler ? ProduceResampled(out, wanted) : ProduceDirect(out, wanted);
    }
};

BlockSource::BlockSource(const std::string& path, std::int32_t channel)
    : Self(std::make_unique<Impl>()) {
    Impl& s = *Self;
    s.Path = path;
    CheckInputPath(path);

    SF_INFO info{};
    s.File.reset(sf_open(path.c_str(), SFM_READ, &info));
    if (!s.File) {
        const int error = sf_error(nullptr);
        if (error == SF_ERR_SYSTEM) {
            throw CliError(kExitInputUnreadable,
                           "cannot read " + Quoted(path) + ": " + sf_strerror(nullptr));
        }
        throw CliError(kExitNotAudio, Quoted(path) + " is not an audio file that can be read (" +
                                          sf_error_number(error) + ")");
    }
    s.Info.SampleRate = info.samplerate;
    s.Info.Channels = info.channels;
    s.Info.Frames = info.frames == SF_COUNT_MAX ? -1 : info.frames;
    s.Info.Format = FormatName(info.format);
    if (info.samplerate <= 0 || info.channels <= 0) {
        throw CliError(kExitNotAudio, Quoted(path) + " declares no sample rate or no channels");
    }
    if (channel < 1 || channel > info.channels) {
        throw CliError(kExitNoSuchChannel, Quoted(path) + " has " + std::to_string(info.channels) +
                                               (info.channels == 1 ? " channel" : " channels") +
                                               "; there is no channel " + std::to_string(channel));
    }
    s.ChannelIndex = channel - 1;
    // Float and wide files are clipped to the 16-bit range rather than wrapped around.
    sf_command(s.File.get(), SFC_SET_CLIPPING, nullptr, SF_TRUE);

    const std::int64_t expected = ExpectedSamples();
    if (expected >= 0 && expected < kBlockSamples) {
        char text[160];
        std::snprintf(text, sizeof text,
                      " is too short: %lld samples at %d Hz (%.3f s); the analysis needs at least "
                      "one block of 8192 samples at 22050 Hz (0.372 s)",
                      static_cast<long long>(info.frames), info.samplerate,
                      static_cast<double>(info.frames) / info.samplerate);
        throw CliError(kExitTooShort, Quoted(path) + text);
    }

    s.ChunkFrames = std::max<std::int64_t>(1, kChunkSamples / info.channels);
    const auto buffered = static_cast<std::size_t>(s.ChunkFrames * info.channels);
    if (info.samplerate == kSampleRate) {
        if (info.channels > 1) {
            s.ShortFrames.resize(buffered);
        }
        return;
    }
    s.FloatFrames.resize(buffered);
    s.ResamplerIn.resize(static_cast<std::size_t>(s.ChunkFrames));
    // The resampler fills at most this much per call and keeps the rest of its input for the
    // next, so the size need not follow the rate ratio.
    s.ResamplerOut.resize(static_cast<std::size_t>(kChunkSamples));
    soxr_error_t error = nullptr;
    const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
    const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
    s.Resampler.reset(soxr_create(info.samplerate, kSampleRate, 1, &error, &io, &quality, nullptr));
    if (!s.Resampler || error != nullptr) {
        throw CliError(kExitInternal, "cannot resample from " + std::to_string(info.samplerate) +
                                          " Hz: " + (error ? error : "unknown error"));
    }
}

BlockSource::~BlockSource() = default;

const RecordingInfo& BlockSource::Info() const {
    return Self->Info;
}

bool BlockSource::Resamples() const {
    return Self->Resampler != nullptr;
}

std::int64_t BlockSource::ExpectedSamples() const {
    const RecordingInfo& info = Self->Info;
    if (info.Frames < 0 || info.SampleRate <= 0) {
        return -1;
    }
    if (info.SampleRate == kSampleRate) {
        return info.Frames;
    }
    return static_cast<std::int64_t>(static_cast<double>(info.Frames) * kSampleRate /
                                     info.SampleRate);
}

const SampleBlock* BlockSource::NextBlock() {
    Impl& s = *Self;
    if (s.Finished) {
        return nullptr;
    }
    if (!s.Started) {
        s.Started = true;
        s.Reader = std::thread([&s] { s.ReadAhead(); });
    }
    for (;;) {
        Impl::Chunk& chunk = s.Chunks[s.Current];
        if (!s.Holding) {
            std::unique_lock guard(s.Lock);
            s.Changed.wait(guard, [&chunk] { return chunk.Full; });
            s.Holding = true;
            s.NextInChunk = 0;
        }
        if (chunk.Error) {
            s.Finished = true;
            std::rethrow_exception(chunk.Error);
        }
        if (s.NextInChunk < chunk.Count) {
            return &chunk.Blocks[s.NextInChunk++];
        }
        if (chunk.Last) {
            // What is left over at the end is the partial block.
            s.Finished = true;
            s.Partial = chunk.Partial;
            s.StopReader();
            return nullptr;
        }
        // Done with this chunk: hand it back for reading and go on with the other.
        {
            const std::lock_guard guard(s.Lock);
            chunk.Full = false;
        }
        s.Changed.notify_all();
        s.Current = 1 - s.Current;
        s.Holding = false;
    }
}

std::int64_t BlockSource::PartialSamples() const {
    return Self->Partial;
}
