// The command-line companion's file loading on arbitrary bytes as a file and as a pipe.
//
// The bytes become the contents of an in-memory file, opened by path exactly as a recording on
// disk would be, and every block is read to the end; then the same bytes arrive through a pipe as
// the standard input (analyse -) and are read again. Loading may refuse the input only with the
// companion's clean error (CliError) carrying an exit code documented for bad input and a
// message of one line; anything else (a crash, a hang, another exception, a sanitizer report)
// is a fault. The WAV header probe, which sees every input first, is also checked on its own:
// its figures stay within what a header's fields can say.
#include "tools/cli/ExitCodes.h"
#include "tools/cli/FileSource.h"
#include "tools/cli/InputFile.h"
#include "tools/cli/WavHeader.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <span>
#include <string>

namespace {

[[noreturn]] void Fault(const std::string& what) {
    std::fprintf(stderr, "fuzz_audiofile: %s\n", what.c_str());
    std::abort();
}

// One memory-backed file for the whole run, rewritten for every input; /proc/self/fd/N opens it
// by path, so the loader's own checks (stat, open) run as they do on disk.
class MemoryFile {
public:
    MemoryFile() : Fd(memfd_create("velmorant-fuzz-audio", MFD_CLOEXEC)) {
        if (Fd < 0) {
            Fault("memfd_create failed");
        }
        Path = "/proc/self/fd/" + std::to_string(Fd);
    }
    ~MemoryFile() { close(Fd); }
    MemoryFile(const MemoryFile&) = delete;
    MemoryFile& operator=(const MemoryFile&) = delete;

    const std::string& Hold(const std::uint8_t* data, std::size_t size) {
        if (ftruncate(Fd, 0) != 0) {
            Fault("cannot empty the in-memory file");
        }
        std::size_t written = 0;
        while (written < size) {
            const ssize_t n =
                pwrite(Fd, data + written, size - written, static_cast<off_t>(written));
            if (n <= 0) {
                Fault("cannot write the in-memory file");
            }
            written += static_cast<std::size_t>(n);
        }
        return Path;
    }

private:
    int Fd;
    std::string Path;
};

bool IsBadInputCode(int code) {
    return code == kExitInputUnreadable || code == kExitNotAudio || code == kExitTooShort;
}

void CheckWavHeader(std::span<const std::uint8_t> bytes) {
    const WavHeader header = ProbeWavHeader(bytes);
    if (header.Found && !header.Riff) {
        Fault("a format without a RIFF WAVE start");
    }
    if (header.Channels < 0 || header.Channels > 0xFFFF || header.SampleRate < 0 ||
        header.SampleRate > 0xFFFFFFFFll) {
        Fault("figures beyond their fields: " + std::to_string(header.Channels) + " channels, " +
              std::to_string(header.SampleRate) + " Hz");
    }
    if (header.DataFrames < -1 || (header.DataFrames >= 0 && !header.Found) ||
        header.DataFrames > 0xFFFFFFFFll) {
        Fault("data frames " + std::to_string(header.DataFrames));
    }
    if (header.Riff && (header.RiffBytes < 8 || header.RiffBytes > 0xFFFFFFFFll + 8)) {
        Fault("declared length " + std::to_string(header.RiffBytes));
    }
}

// Reads the whole input block by block; a refusal must be one of the documented ones.
void ReadAll(const std::string& path) {
    try {
        FileSource source(path, 1);
        while (source.NextBlock() != nullptr) {
        }
        if (source.Tail().size() >= static_cast<std::size_t>(kBlockSamples)) {
            Fault("partial block of " + std::to_string(source.Tail().size()) + " samples");
        }
    } catch (const CliError& error) {
        const std::string message = error.what();
        if (!IsBadInputCode(error.Code())) {
            Fault("exit code " + std::to_string(error.Code()) + " for bad input: " + message);
        }
        if (message.empty() || message.find('\n') != std::string::npos) {
            Fault("error message is not one line: " + message);
        }
    } catch (const std::exception& error) {
        Fault(std::string("unexpected exception: ") + error.what());
    }
}

// Puts the bytes into a pipe that becomes the standard input, before reading starts: as much as
// the pipe's buffer holds (a megabyte where the system allows, else 64 KiB), which is all of any
// input the fuzzer makes; a longer one arrives cut off, as from a recorder that stopped.
void PipeIntoStandardInput(const std::uint8_t* data, std::size_t size) {
    int ends[2];
    if (pipe2(ends, O_NONBLOCK) != 0) {
        Fault("cannot create a pipe");
    }
    fcntl(ends[1], F_SETPIPE_SZ, 1 << 20);
    std::size_t written = 0;
    while (written < size) {
        const ssize_t n = write(ends[1], data + written, size - written);
        if (n <= 0) {
            break; // full
        }
        written += static_cast<std::size_t>(n);
    }
    // The reader expects to wait for a pipe, as it would for a recorder.
    fcntl(ends[0], F_SETFL, fcntl(ends[0], F_GETFL) & ~O_NONBLOCK);
    close(ends[1]);
    if (dup2(ends[0], STDIN_FILENO) < 0) {
        Fault("cannot make the pipe the standard input");
    }
    close(ends[0]);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    CheckWavHeader({data, size});
    static MemoryFile file;
    ReadAll(file.Hold(data, size));
    PipeIntoStandardInput(data, size);
    ReadAll(kStandardInputName);
    return 0;
}
