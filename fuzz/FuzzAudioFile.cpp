// The command-line companion's file loading on arbitrary bytes as a file.
//
// The bytes become the contents of an in-memory file, opened by path exactly as a recording on
// disk would be, and every block is read to the end. Loading may refuse the file only with the
// companion's clean error (CliError) carrying an exit code documented for bad input and a
// message of one line; anything else (a crash, a hang, another exception, a sanitizer report)
// is a fault.
#include "tools/cli/BlockSource.h"
#include "tools/cli/ExitCodes.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
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

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static MemoryFile file;
    const std::string& path = file.Hold(data, size);
    try {
        BlockSource source(path, 1);
        while (source.NextBlock() != nullptr) {
        }
        if (source.PartialSamples() < 0 || source.PartialSamples() >= kBlockSamples) {
            Fault("partial block of " + std::to_string(source.PartialSamples()) + " samples");
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
    return 0;
}
