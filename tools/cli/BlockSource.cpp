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

// Rates a sound card or a recorder can produce. Outside them a header is damaged: 1 Hz would be
// resampled into hours of nonsense, 4 GHz would take the resampler an age to bring down.
constexpr std::int64_t kMinFileRate = 1000;
constexpr std::int64_t kMaxFileRate = 768000;

// A data chunk size of these means "unknown" (a recorder that could not go back and fill it in),
// not a promise of so many bytes.
constexpr std::uint32_t kUnknownSizes[] = {0u, 0xFFFFFFFFu};

// Opens the input without ever blocking and keeps only regular files: a FIFO without a writer
// would hold open() forever, and a device or socket is no recording. The check is made on the
// opened descriptor, so the path cannot be swapped for something else in between.
int OpenInput(const std::string& path) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        const int error = errno;
        if (error == ENOENT || error == ENOTDIR) {
            throw CliError(kExitInputUnreadable, "cannot read " + Quoted(path) + ": no such file");
        }
        throw CliError(kExitInputUnreadable,
                       "cannot read " + Quoted(path) + ": " + std::strerror(error));
    }
    struct stat status {};
    if (fstat(fd, &status) != 0) {
        const int error = errno;
        close(fd);
        throw CliError(kExitInputUnreadable,
                       "cannot read " + Quoted(path) + ": " + std::strerror(error));
    }
    if (!S_ISREG(status.st_mode)) {
        close(fd);
        const char* what = S_ISDIR(status.st_mode)    ? "it is a directory"
                           : S_ISFIFO(status.st_mode) ? "it is a FIFO (named pipe)"
                           : S_ISSOCK(status.st_mode) ? "it is a socket"
                                                      : "it is a device";
        throw CliError(kExitInputUnreadable,
                       "cannot read " + Quoted(path) + ": " + what + ", not a recording");
    }
    if (status.st_size == 0) {
        close(fd);
        throw CliError(kExitNotAudio, Quoted(path) + " is empty (0 bytes), not an audio recording");
    }
    // Reads from a regular file never wait anyway; blocking mode is what libsndfile expects.
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}

// What a RIFF WAVE header declares, read by hand: libsndfile rejects impossible rates and channel
// counts with a vague message, and quietly trims a data chunk that runs past the end of the file.
struct WavHeader {
    bool Riff = false;            // starts as a RIFF WAVE file
    std::int64_t RiffBytes = 0;   // the whole file's length as the header declares it
    bool Found = false;           // a RIFF WAVE file with a complete "fmt " chunk
    std::int64_t Channels = 0;    // as declared
    std::int64_t SampleRate = 0;  // as declared, Hz
    std::int64_t DataFrames = -1; // frames the data chunk declares; -1 when unknown
};

std::uint32_t LittleEndian32(const unsigned char* bytes) {
    return bytes[0] | (bytes[1] << 8) | (bytes[2] << 16) | (std::uint32_t{bytes[3]} << 24);
}

bool ReadAt(int fd, unsigned char* into, std::size_t size, off_t offset) {
    return pread(fd, into, size, offset) == static_cast<ssize_t>(size);
}

WavHeader InspectWavHeader(int fd) {
    WavHeader header;
    unsigned char riff[12];
    if (!ReadAt(fd, riff, sizeof riff, 0) || std::memcmp(riff, "RIFF", 4) != 0 ||
        std::memcmp(riff + 8, "WAVE", 4) != 0) {
        return header;
    }
    header.Riff = true;
    header.RiffBytes = std::int64_t{LittleEndian32(riff + 4)} + 8;
    std::int64_t blockAlign = 0;
    off_t offset = 12;
    // Bounded, so a file of countless empty chunks cannot keep us here.
    for (int chunks = 0; chunks < 4096; ++chunks) {
        unsigned char chunk[8];
        if (!ReadAt(fd, chunk, sizeof chunk, offset)) {
            break;
        }
        const std::uint32_t size = LittleEndian32(chunk + 4);
        if (std::memcmp(chunk, "fmt ", 4) == 0) {
            unsigned char fmt[16];
            if (size < sizeof fmt || !ReadAt(fd, fmt, sizeof fmt, offset + 8)) {
                break;
            }
            header.Found = true;
            header.Channels = fmt[2] | (fmt[3] << 8);
            header.SampleRate = LittleEndian32(fmt + 4);
            blockAlign = fmt[12] | (fmt[13] << 8);
        } else if (std::memcmp(chunk, "data", 4) == 0) {
            const bool known = std::find(std::begin(kUnknownSizes), std::end(kUnknownSizes),
                                         size) == std::end(kUnknownSizes);
            if (header.Found && known && blockAlign > 0) {
                header.DataFrames = size / blockAlign;
            }
            break;
        }
        // Chunks are padded to an even size.
        offset += 8 + static_cast<off_t>(size) + (size & 1u);
    }
    return header;
}

// Names what is wrong with a declared rate or channel count that no recording can have.
void CheckDeclaredFormat(const std::string& path, std::int64_t channels, std::int64_t rate) {
    if (channels <= 0) {
        throw CliError(kExitNotAudio, Quoted(path) + " is damaged: its header declares " +
                                          std::to_string(channels) + " channels");
    }
    if (rate < kMinFileRate || rate > kMaxFileRate) {
        throw CliError(kExitNotAudio,
                       Quoted(path) + " is damaged or not a sound recording: its header declares " +
                           std::to_string(rate) + " Hz; recordings from " +
                           std::to_string(kMinFileRate) + " to " + std::to_string(kMaxFileRate) +
                           " Hz can be analysed");
    }
}

std::string Seconds(std::int64_t samples, std::int64_t rate) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3f s",
                  rate > 0 ? static_cast<double>(samples) / static_cast<double>(rate) : 0.0);
    return text;
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

// libsndfile reads the already opened input through these. Its own descriptor opening closes
// the descriptor on some failures and not on others, so it cannot say who must close it.
struct DescriptorReader {
    int Fd = -1;
    sf_count_t Position = 0;
};

sf_count_t IoLength(void* user) {
    struct stat status {};
    return fstat(static_cast<DescriptorReader*>(user)->Fd, &status) == 0 ? status.st_size : -1;
}

sf_count_t IoSeek(sf_count_t offset, int whence, void* user) {
    auto& reader = *static_cast<DescriptorReader*>(user);
    sf_count_t base = 0;
    if (whence == SEEK_CUR) {
        base = reader.Position;
    } else if (whence == SEEK_END) {
        base = IoLength(user);
        if (base < 0) {
            return -1;
        }
    }
    if (offset < -base) {
        return -1;
    }
    reader.Position = base + offset;
    return reader.Position;
}

sf_count_t IoRead(void* into, sf_count_t count, void* user) {
    auto& reader = *static_cast<DescriptorReader*>(user);
    auto* bytes = static_cast<char*>(into);
    sf_count_t done = 0;
    while (done < count) {
        const ssize_t got = pread(reader.Fd, bytes + done, static_cast<std::size_t>(count - done),
                                  static_cast<off_t>(reader.Position + done));
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            break;
        }
        done += got;
    }
    reader.Position += done;
    return done;
}

sf_count_t IoWrite(const void*, sf_count_t, void*) {
    return 0; // opened for reading only
}

sf_count_t IoTell(void* user) {
    return static_cast<DescriptorReader*>(user)->Position;
}

// Not const only because libsndfile's interface takes it so; never changed.
SF_VIRTUAL_IO kDescriptorIo{&IoLength, &IoSeek, &IoRead, &IoWrite, &IoTell};

} // namespace

struct BlockSource::Impl {
    std::string Path;
    int Fd = -1; // the input, owned here; libsndfile reads it through Io and never closes it
    DescriptorReader Io;
    RecordingInfo Info;
    std::int64_t Declared = -1;    // frames the header promises; -1 when it does not say
    std::int64_t FramesRead = 0;   // frames taken from the file so far (reader thread)
    std::int32_t ChannelIndex = 0; // 0-based
    std::int64_t ChunkFrames = 1;  // frames per read when splitting or resampling
    std::unique_ptr<SNDFILE, SndfileCloser> File;
    std::unique_ptr<soxr, SoxrDeleter> Resampler;
    bool FileRate = false;
    std::int64_t Partial = 0;
    const std::int16_t* PartialData = nullptr;

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

    ~Impl() {
        StopReader();
        File.reset();
        if (Fd >= 0) {
            close(Fd);
        }
    }

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
        FramesRead += got;
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
        FramesRead += got;
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

BlockSource::BlockSource(const std::string& path, std::int32_t channel, bool fileRate)
    : Self(std::make_unique<Impl>()) {
    Impl& s = *Self;
    s.Path = path;
    s.FileRate = fileRate;
    s.Fd = OpenInput(path);
    const WavHeader header = InspectWavHeader(s.Fd);
    if (header.Found) {
        CheckDeclaredFormat(path, header.Channels, header.SampleRate);
    }

    SF_INFO info{};
    s.Io.Fd = s.Fd;
    s.File.reset(sf_open_virtual(&kDescriptorIo, SFM_READ, &info, &s.Io));
    if (!s.File) {
        const int error = sf_error(nullptr);
        if (error == SF_ERR_SYSTEM) {
            throw CliError(kExitInputUnreadable,
                           "cannot read " + Quoted(path) + ": " + sf_strerror(nullptr));
        }
        std::string message = Quoted(path) + " is not an audio file that can be read (" +
                              sf_error_number(error) + ")";
        struct stat status {};
        if (header.Riff && fstat(s.Fd, &status) == 0 && status.st_size < header.RiffBytes) {
            message += "; the file is truncated: it holds " + std::to_string(status.st_size) +
                       " of the " + std::to_string(header.RiffBytes) + " bytes its header promises";
        }
        throw CliError(kExitNotAudio, message);
    }
    CheckDeclaredFormat(path, info.channels, info.samplerate);
    s.Info.SampleRate = info.samplerate;
    s.Info.Channels = info.channels;
    s.Info.Frames = info.frames == SF_COUNT_MAX ? -1 : info.frames;
    s.Info.Format = FormatName(info.format);
    // libsndfile counts only the frames present; the header's own figure tells a cut-off file.
    s.Declared = std::max(s.Info.Frames, header.DataFrames);
    if (channel < 1 || channel > info.channels) {
        throw CliError(kExitNoSuchChannel, Quoted(path) + " has " + std::to_string(info.channels) +
                                               (info.channels == 1 ? " channel" : " channels") +
                                               "; there is no channel " + std::to_string(channel));
    }
    s.ChannelIndex = channel - 1;
    // Float and wide files are clipped to the 16-bit range rather than wrapped around.
    sf_command(s.File.get(), SFC_SET_CLIPPING, nullptr, SF_TRUE);

    const std::int64_t expected = ExpectedSamples();
    // A block's length in time: 8192 samples at 22050 Hz, or as long at the file's rate.
    const std::int64_t needed =
        fileRate ? (std::int64_t{kBlockSamples} * info.samplerate + kSampleRate - 1) / kSampleRate
                 : kBlockSamples;
    if (expected >= 0 && expected < needed) {
        char text[160];
        std::snprintf(text, sizeof text,
                      " is too short: %lld samples at %d Hz (%.3f s); the analysis needs at least "
                      "one block of 8192 samples at 22050 Hz (0.372 s)",
                      static_cast<long long>(info.frames), info.samplerate,
                      static_cast<double>(info.frames) / info.samplerate);
        std::string message = Quoted(path) + text;
        if (s.Declared > s.Info.Frames) {
            message += "; the file is truncated: its header promises " +
                       std::to_string(s.Declared) + " samples (" +
                       Seconds(s.Declared, info.samplerate) + ")";
        }
        throw CliError(kExitTooShort, message);
    }

    s.ChunkFrames = std::max<std::int64_t>(1, kChunkSamples / info.channels);
    const auto buffered = static_cast<std::size_t>(s.ChunkFrames * info.channels);
    if (info.samplerate == kSampleRate || fileRate) {
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
    if (info.SampleRate == kSampleRate || Self->FileRate) {
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
            s.PartialData =
                chunk.Count < chunk.Blocks.size() ? chunk.Blocks[chunk.Count].data() : nullptr;
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

const std::int16_t* BlockSource::PartialData() const {
    return Self->PartialData;
}

std::int64_t BlockSource::MissingFrames() const {
    const Impl& s = *Self;
    if (!s.Finished || s.Declared < 0) {
        return 0;
    }
    return std::max<std::int64_t>(0, s.Declared - s.FramesRead);
}

std::int64_t BlockSource::DeclaredFrames() const {
    return Self->Declared;
}
