// Exit codes of velmorant-cli and the error that carries one to the program's exit.
//
// The codes are part of the program's interface (scripts test them) and are listed in --help;
// a code keeps its meaning once published.
#pragma once

#include <stdexcept>
#include <string>

inline constexpr int kExitOk = 0;
inline constexpr int kExitInternal = 1;         // a failure the program did not foresee
inline constexpr int kExitUsage = 2;            // bad command line: option, number, choice
inline constexpr int kExitInputUnreadable = 3;  // input missing, unreadable, not a regular file
inline constexpr int kExitNotAudio = 4;         // not audio libsndfile can decode, damaged header
inline constexpr int kExitNoSuchChannel = 5;    // the input has no such channel
inline constexpr int kExitTooShort = 6;         // fewer samples than one 8192-sample block
inline constexpr int kExitOutputUnwritable = 7; // an output file could not be written
inline constexpr int kExitSoundInput = 8;       // the sound input cannot be used or failed
inline constexpr int kExitNoReference = 9;      // calibrate: no steady reference in the recording
inline constexpr int kExitInterrupted = 130;    // stopped by SIGINT or SIGTERM

// A failure the user can act on. The message is one line without the program's name and
// without a final full stop; the top level prefixes the name and prints it on stderr.
class CliError : public std::runtime_error {
public:
    CliError(int exitCode, const std::string& message)
        : std::runtime_error(message), ExitCode(exitCode) {}

    int Code() const { return ExitCode; }

private:
    int ExitCode;
};
