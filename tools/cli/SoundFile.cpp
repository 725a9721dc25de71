#include "tools/cli/SoundFile.h"

#include "tools/cli/ExitCodes.h"
#include "tools/cli/Interrupt.h"
#include "tools/cli/WavHeader.h"

#include <sndfile.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <poll.h>
#include <span>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

// How much of a stream's start is kept for libsndfile to go back to while it reads the header
// (and, for a short stream, past the data chunk looking for more). A header that needs more
// than this is not read from a pipe.
constexpr sf_count_t kStreamHeadBytes = sf_count_t{1} << 20;
// Read from a stream before probing the header: enough for any ordinary WAV header.
constexpr sf_count_t kProbeBytes = 64 * 1024;
// How long a wait for a stream's next bytes goes without looking for a stop request.
constexpr int kStopPollMs = 100;

struct SndfileCloser {
    void operator()(SNDFILE* file) const { sf_close(file); }
};

// Names what is wrong with a declared rate or channel count that no recording can have.
void CheckDeclaredFormat(const std::string& subject, std::int64_t channels, std::int64_t rate) {
    if (channels <= 0) {
        throw CliError(kExitNotAudio, subject + " is damaged: its header declares " +
                                          std::to_string(channels) + " channels");
    }
    if (rate < kMinFileRate || rate > kMaxFileRate) {
        throw CliError(kExitNotAudio,
                       subject + " is damaged or not a sound recording: its header declares " +
                           std::to_string(rate) + " Hz; recordings from " +
                           std::to_string(kMinFileRate) + " to " + std::to_string(kMaxFileRate) +
                           " Hz can be analysed");
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

// libsndfile reads the already opened input through these callbacks rather than its own
// descriptor opening, which closes the descriptor on some failures and not on others, and which
// cannot decode FLAC from a pipe.
struct FileReader {
    int Fd = -1;
    sf_count_t Position = 0;
};

sf_count_t FileLength(void* user) {
    struct stat status {};
    return fstat(static_cast<FileReader*>(user)->Fd, &status) == 0 ? status.st_size : -1;
}

sf_count_t FileSeek(sf_count_t offset, int whence, void* user) {
    auto& reader = *static_cast<FileReader*>(user);
    sf_count_t base = 0;
    if (whence == SEEK_CUR) {
        base = reader.Position;
    } else if (whence == SEEK_END) {
        base = FileLength(user);
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

sf_count_t FileRead(void* into, sf_count_t count, void* user) {
    auto& reader = *static_cast<FileReader*>(user);
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

sf_count_t NoWrite(const void*, sf_count_t, void*) {
    return 0; // opened for reading only
}

sf_count_t FileTell(void* user) {
    return static_cast<FileReader*>(user)->Position;
}

// Not const only because libsndfile's interface takes it so; never changed.
SF_VIRTUAL_IO kFileIo{&FileLength, &FileSeek, &FileRead, &NoWrite, &FileTell};

// A stream read forward. Every byte taken while the position stays within the first
// kStreamHeadBytes is kept, so libsndfile can go back anywhere in there while it reads the
// header; past them bytes pass straight through.
struct StreamReader {
    int Fd = -1;
    std::vector<std::uint8_t> Head; // the stream's first bytes, all taken while they are kept
    sf_count_t Taken = 0;           // bytes taken from the stream
    sf_count_t Position = 0;        // libsndfile's position
    bool Ended = false;             // the stream has ended
    int Error = 0;                  // errno of a failed read, 0 if none

    // Reads into `into` until `count` bytes came or the stream ended. A writer may keep the pipe
    // open and send nothing for as long as it likes, so the wait looks at the stop request every
    // kStopPollMs; a stop ends the stream with EINTR.
    sf_count_t Take(std::uint8_t* into, sf_count_t count) {
        sf_count_t done = 0;
        while (done < count && !Ended) {
            pollfd ready{Fd, POLLIN, 0};
            const int polled = poll(&ready, 1, kStopPollMs);
            if (StopRequested()) {
                Error = EINTR;
                Ended = true;
                break;
            }
            if (polled == 0 || (polled < 0 && errno == EINTR)) {
                continue;
            }
            const ssize_t got = read(Fd, into + done, static_cast<std::size_t>(count - done));
            if (got < 0 && errno == EINTR) {
                continue;
            }
            if (got <= 0) {
                Error = got < 0 ? errno : 0;
                Ended = true;
                break;
            }
            done += got;
        }
        Taken += done;
        return done;
    }

    // Keeps the stream's bytes up to `end` (at most kStreamHeadBytes), or fewer if it ends.
    void Keep(sf_count_t end) {
        if (end > static_cast<sf_count_t>(Head.size()) &&
            Taken == static_cast<sf_count_t>(Head.size())) {
            const std::size_t kept = Head.size();
            Head.resize(static_cast<std::size_t>(end));
            const sf_count_t got = Take(Head.data() + kept, end - static_cast<sf_count_t>(kept));
            Head.resize(kept + static_cast<std::size_t>(got));
        }
    }

    // Whether everything taken is kept, so any position up to it can be read again.
    bool AllKept() const { return Taken == static_cast<sf_count_t>(Head.size()); }
};

sf_count_t StreamLength(void*) {
    // Unknown until the end: libsndfile then goes by what the header declares.
    return SF_COUNT_MAX;
}

sf_count_t StreamSeek(sf_count_t offset, int whence, void* user) {
    auto& reader = *static_cast<StreamReader*>(user);
    if (whence == SEEK_END) {
        return -1;
    }
    const sf_count_t base = whence == SEEK_CUR ? reader.Position : 0;
    if (offset < -base || offset > SF_COUNT_MAX - base) {
        return -1;
    }
    const sf_count_t target = base + offset;
    if (target == reader.Position) {
        return target;
    }
    // Anywhere within the kept start; nowhere once bytes have passed straight through.
    if (!reader.AllKept() || target > kStreamHeadBytes) {
        return -1;
    }
    reader.Keep(target);
    reader.Position = target;
    return target;
}

sf_count_t StreamRead(void* into, sf_count_t count, void* user) {
    auto& reader = *static_cast<StreamReader*>(user);
    auto* bytes = static_cast<std::uint8_t*>(into);
    if (reader.AllKept() && reader.Position < kStreamHeadBytes) {
        reader.Keep(std::min(reader.Position + count, kStreamHeadBytes));
    }
    sf_count_t done = 0;
    const auto kept = static_cast<sf_count_t>(reader.Head.size());
    if (reader.Position < kept) {
        done = std::min(count, kept - reader.Position);
        std::memcpy(bytes, reader.Head.data() + reader.Position, static_cast<std::size_t>(done));
    }
    // Past the kept bytes only at the stream's own position: what lay between is gone.
    if (done < count && reader.Position + done == reader.Taken) {
        done += reader.Take(bytes + done, count - done);
    }
    reader.Position += done;
    return done;
}

sf_count_t StreamTell(void* user) {
    return static_cast<StreamReader*>(user)->Position;
}

SF_VIRTUAL_IO kStreamIo{&StreamLength, &StreamSeek, &StreamRead, &NoWrite, &StreamTell};

// The whole file's bytes, mapped rather than read: the header probe may look anywhere in it, and
// only what it looks at is read.
class MappedFile {
public:
    MappedFile(int fd, std::int64_t size) {
        if (size > 0) {
            void* address =
                mmap(nullptr, static_cast<std::size_t>(size), PROT_READ, MAP_PRIVATE, fd, 0);
            if (address != MAP_FAILED) {
                Bytes = {static_cast<const std::uint8_t*>(address), static_cast<std::size_t>(size)};
            }
        }
    }
    ~MappedFile() {
        if (!Bytes.empty()) {
            munmap(const_cast<std::uint8_t*>(Bytes.data()), Bytes.size());
        }
    }
    MappedFile(const MappedFile&) = delete;
    MappedFile& operator=(const MappedFile&) = delete;

    std::span<const std::uint8_t> Bytes;
};

} // namespace

struct SoundFile::Impl {
    std::string Subject;
    FileReader File;
    StreamReader Stream;
    RecordingInfo Info;
    std::int64_t Declared = -1;
    std::int64_t FramesRead = 0;
    std::unique_ptr<SNDFILE, SndfileCloser> Sound;

    [[noreturn]] void ReadFailed() const {
        std::string why = sf_strerror(Sound.get());
        if (Stream.Error != 0) {
            why = std::strerror(Stream.Error);
        }
        throw CliError(kExitInputUnreadable, "cannot read " + Subject + ": " + why);
    }

    template <typename Sample>
    std::size_t Read(Sample* out, std::int64_t frames,
                     sf_count_t (*read)(SNDFILE*, Sample*, sf_count_t)) {
        const sf_count_t got = read(Sound.get(), out, frames);
        if (got < frames && (sf_error(Sound.get()) != SF_ERR_NO_ERROR || Stream.Error != 0)) {
            ReadFailed();
        }
        FramesRead += got;
        return static_cast<std::size_t>(got);
    }
};

SoundFile::SoundFile(InputFile& input) : Self(std::make_unique<Impl>()) {
    Impl& s = *Self;
    s.Subject = input.Subject();
    const int fd = input.Descriptor();

    // The header's own figures, from the bytes libsndfile is about to read.
    WavHeader header;
    std::int64_t knownBytes = -1; // the whole input's length, when known
    if (input.Stream()) {
        s.Stream.Fd = fd;
        s.Stream.Keep(kProbeBytes);
        if (StopRequested()) {
            throw CliError(kExitInterrupted, "interrupted");
        }
        if (s.Stream.Error != 0) {
            throw CliError(kExitInputUnreadable,
                           "cannot read " + s.Subject + ": " + std::strerror(s.Stream.Error));
        }
        if (s.Stream.Head.empty()) {
            throw CliError(kExitNotAudio,
                           s.Subject + " is empty (0 bytes), not an audio recording");
        }
        header = ProbeWavHeader(s.Stream.Head);
        if (s.Stream.Ended) {
            knownBytes = static_cast<std::int64_t>(s.Stream.Head.size());
        }
    } else {
        s.File.Fd = fd;
        knownBytes = FileLength(&s.File);
        const MappedFile mapped(fd, knownBytes);
        header = ProbeWavHeader(mapped.Bytes);
    }
    if (header.Found) {
        CheckDeclaredFormat(s.Subject, header.Channels, header.SampleRate);
    }

    SF_INFO info{};
    if (input.Stream()) {
        s.Sound.reset(sf_open_virtual(&kStreamIo, SFM_READ, &info, &s.Stream));
    } else {
        s.Sound.reset(sf_open_virtual(&kFileIo, SFM_READ, &info, &s.File));
    }
    if (!s.Sound) {
        const int error = sf_error(nullptr);
        if (error == SF_ERR_SYSTEM || s.Stream.Error != 0) {
            throw CliError(
                kExitInputUnreadable,
                "cannot read " + s.Subject + ": " +
                    (s.Stream.Error != 0 ? std::strerror(s.Stream.Error) : sf_strerror(nullptr)));
        }
        std::string message =
            s.Subject + " is not an audio file that can be read (" + sf_error_number(error) + ")";
        if (header.Riff && knownBytes >= 0 && knownBytes < header.RiffBytes) {
            message += "; the file is truncated: it holds " + std::to_string(knownBytes) +
                       " of the " + std::to_string(header.RiffBytes) + " bytes its header promises";
        }
        throw CliError(kExitNotAudio, message);
    }
    CheckDeclaredFormat(s.Subject, info.channels, info.samplerate);
    s.Info.SampleRate = info.samplerate;
    s.Info.Channels = info.channels;
    s.Info.Frames = info.frames == SF_COUNT_MAX ? -1 : info.frames;
    // From a stream libsndfile counts what the header declares, and a recorder writing to a pipe
    // declares a WAV's length unknown: it is, and no promise that the end could fall short of.
    if (input.Stream() && header.Found && header.DataFrames < 0) {
        s.Info.Frames = -1;
    }
    s.Info.Format = FormatName(info.format);
    // libsndfile counts only the frames present; the header's own figure tells a cut-off file.
    s.Declared = std::max(s.Info.Frames, header.DataFrames);
    // Float and wide files are clipped to the 16-bit range rather than wrapped around.
    sf_command(s.Sound.get(), SFC_SET_CLIPPING, nullptr, SF_TRUE);
}

SoundFile::~SoundFile() = default;

const RecordingInfo& SoundFile::Info() const {
    return Self->Info;
}

const std::string& SoundFile::Subject() const {
    return Self->Subject;
}

std::int64_t SoundFile::DeclaredFrames() const {
    return Self->Declared;
}

std::int64_t SoundFile::FramesRead() const {
    return Self->FramesRead;
}

std::size_t SoundFile::ReadShort(std::int16_t* out, std::int64_t frames) {
    return Self->Read(out, frames, &sf_readf_short);
}

std::size_t SoundFile::ReadFloat(float* out, std::int64_t frames) {
    return Self->Read(out, frames, &sf_readf_float);
}
