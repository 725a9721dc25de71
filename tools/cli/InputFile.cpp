#include "tools/cli/InputFile.h"

#include "tools/cli/ExitCodes.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const char* KindOf(mode_t mode) {
    return S_ISDIR(mode)    ? "it is a directory"
           : S_ISFIFO(mode) ? "it is a FIFO (named pipe)"
           : S_ISSOCK(mode) ? "it is a socket"
                            : "it is a device";
}

std::string FileNameOf(const std::string& path) {
    const auto slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

} // namespace

InputFile::InputFile(const std::string& path) {
    const bool standardInput = path == kStandardInputName;
    Named = standardInput ? "the standard input" : "'" + path + "'";
    Short = standardInput ? "standard input" : FileNameOf(path);
    const auto unreadable = [this](const std::string& why) {
        return CliError(kExitInputUnreadable, "cannot read " + Named + ": " + why);
    };

    if (standardInput) {
        if (isatty(STDIN_FILENO)) {
            throw unreadable("it is a terminal; pipe a recording into it (... | velmorant-cli "
                             "analyse -) or name the file");
        }
        // A copy of its own, so closing it here leaves the process's standard input alone.
        Fd = fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, 0);
    } else {
        Fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    }
    if (Fd < 0) {
        const int error = errno;
        if (error == ENOENT || error == ENOTDIR) {
            throw unreadable("no such file");
        }
        throw unreadable(std::strerror(error));
    }
    // Checked on the opened descriptor, so the path cannot be swapped for something else in
    // between.
    struct stat status {};
    if (fstat(Fd, &status) != 0) {
        const int error = errno;
        close(Fd);
        throw unreadable(std::strerror(error));
    }
    const bool regular = S_ISREG(status.st_mode);
    const bool stream = S_ISFIFO(status.st_mode) || S_ISSOCK(status.st_mode);
    if (!regular && !(standardInput && stream)) {
        close(Fd);
        throw unreadable(std::string(KindOf(status.st_mode)) + ", not a recording");
    }
    if (regular && status.st_size == 0) {
        close(Fd);
        throw CliError(kExitNotAudio, Named + " is empty (0 bytes), not an audio recording");
    }
    IsStream = !regular;
    if (!standardInput) {
        // Reads from a regular file never wait anyway; blocking mode is what the reader expects.
        fcntl(Fd, F_SETFL, fcntl(Fd, F_GETFL) & ~O_NONBLOCK);
    }
}

InputFile::~InputFile() {
    close(Fd);
}
