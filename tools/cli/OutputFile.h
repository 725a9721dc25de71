// An output file that is either complete or not there at all.
//
// The content goes to a hidden temporary file in the target's own folder (so the final rename
// stays on one file system and is atomic); Commit renames it over the target. If the object
// is destroyed without a successful Commit (an error, an exception, Ctrl-C), the temporary is
// removed and any earlier file at the target is left untouched.
//
// Not thread-safe; one thread uses an object. Movable, not copyable.
#pragma once

#include <cstdint>
#include <span>
#include <string>

class AtomicOutputFile {
public:
    // Creates the temporary next to `path`. Throws CliError(kExitOutputUnwritable) naming the
    // path when the folder does not exist or cannot be written, or `path` is a directory.
    explicit AtomicOutputFile(std::string path);
    ~AtomicOutputFile();

    AtomicOutputFile(AtomicOutputFile&& other) noexcept;
    AtomicOutputFile& operator=(AtomicOutputFile&&) = delete;
    AtomicOutputFile(const AtomicOutputFile&) = delete;
    AtomicOutputFile& operator=(const AtomicOutputFile&) = delete;

    // The temporary's open descriptor, for libraries that write through one. Stays owned by
    // this object; valid until Commit or destruction.
    int Descriptor() const { return Fd; }

    const std::string& Path() const { return TargetPath; }

    // Appends bytes. Throws CliError(kExitOutputUnwritable) on a write error (disk full...).
    void Write(std::span<const std::uint8_t> bytes);

    // Flushes the content to disk and renames it over the target. Throws
    // CliError(kExitOutputUnwritable) on failure, in which case the temporary is removed.
    void Commit();

private:
    void Discard() noexcept;
    [[noreturn]] void Fail(int error);

    std::string TargetPath;
    std::string TempPath;
    int Fd = -1;
    bool Committed = false;
};
