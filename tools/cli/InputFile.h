// Opening a recording for reading: a file by name, or the standard input ("-"), a pipe from
// another program. Never waits while opening.
//
// Main thread; the opened input then belongs to one reader at a time.
#pragma once

#include <cstdint>
#include <string>

// The name that stands for the standard input on the command line.
inline constexpr const char* kStandardInputName = "-";

class InputFile {
public:
    // Opens `path`, or takes the standard input for "-". A name opens only a regular file, and
    // never in a way that could wait: a FIFO without a writer would hold open() for ever, and a
    // device or socket is no recording. The standard input may also be a pipe or a socket, but
    // not a terminal. Throws CliError with kExitInputUnreadable (missing, directory, FIFO,
    // device, terminal, unreadable) or kExitNotAudio (an empty file).
    explicit InputFile(const std::string& path);
    ~InputFile();
    InputFile(const InputFile&) = delete;
    InputFile& operator=(const InputFile&) = delete;

    // The descriptor, owned here (a duplicate of the standard input's).
    int Descriptor() const { return Fd; }
    // A stream (pipe, socket) reads forward only; a file can be read anywhere.
    bool Stream() const { return IsStream; }
    // How messages name the input: "'rec.wav'" or "the standard input".
    const std::string& Subject() const { return Named; }
    // What the input is called in a description: the file name without its folders, or
    // "standard input".
    const std::string& ShortName() const { return Short; }

private:
    int Fd = -1;
    bool IsStream = false;
    std::string Named;
    std::string Short;
};
