#include "tools/cli/OutputFile.h"

#include "tools/cli/ExitCodes.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

std::string FolderOf(const std::string& path) {
    const auto slash = path.find_last_of('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string NameOf(const std::string& path) {
    const auto slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

} // namespace

AtomicOutputFile::AtomicOutputFile(std::string path) : TargetPath(std::move(path)) {
    if (TargetPath.empty()) {
        throw CliError(kExitOutputUnwritable, "cannot write output: the file name is empty");
    }
    struct stat status {};
    if (stat(TargetPath.c_str(), &status) == 0 && S_ISDIR(status.st_mode)) {
        throw CliError(kExitOutputUnwritable,
                       "cannot write '" + TargetPath + "': it is a directory");
    }
    if (TargetPath.back() == '/') {
        throw CliError(kExitOutputUnwritable,
                       "cannot write '" + TargetPath + "': the name ends in a folder separator");
    }
    std::string pattern = FolderOf(TargetPath) + "/." + NameOf(TargetPath) + ".XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    Fd = mkstemp(buffer.data());
    if (Fd < 0) {
        const int error = errno;
        throw CliError(kExitOutputUnwritable,
                       "cannot write '" + TargetPath + "': " + std::strerror(error));
    }
    TempPath = buffer.data();
    // mkstemp makes the file private; the finished file gets the usual permissions.
    const mode_t mask = umask(0);
    umask(mask);
    fchmod(Fd, 0666 & ~mask);
}

AtomicOutputFile::AtomicOutputFile(AtomicOutputFile&& other) noexcept
    : TargetPath(std::move(other.TargetPath)), TempPath(std::move(other.TempPath)),
      Fd(std::exchange(other.Fd, -1)), Committed(std::exchange(other.Committed, true)) {}

AtomicOutputFile::~AtomicOutputFile() {
    if (!Committed) {
        Discard();
    }
}

void AtomicOutputFile::Discard() noexcept {
    if (Fd >= 0) {
        close(Fd);
        Fd = -1;
    }
    if (!TempPath.empty()) {
        unlink(TempPath.c_str());
        TempPath.clear();
    }
}

void AtomicOutputFile::Fail(int error) {
    Discard();
    Committed = true; // nothing left to clean up
    throw CliError(kExitOutputUnwritable,
                   "cannot write '" + TargetPath + "': " + std::strerror(error));
}

void AtomicOutputFile::Write(std::span<const std::uint8_t> bytes) {
    while (!bytes.empty()) {
        const ssize_t written = write(Fd, bytes.data(), bytes.size());
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            Fail(errno);
        }
        bytes = bytes.subspan(static_cast<std::size_t>(written));
    }
}

void AtomicOutputFile::Commit() {
    // A rename without a flush could leave an empty file under the final name after a crash.
    if (fsync(Fd) != 0 && errno != EINVAL) {
        Fail(errno);
    }
    if (close(std::exchange(Fd, -1)) != 0) {
        Fail(errno);
    }
    if (rename(TempPath.c_str(), TargetPath.c_str()) != 0) {
        Fail(errno);
    }
    TempPath.clear();
    Committed = true;
}
