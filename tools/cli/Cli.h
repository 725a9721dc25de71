// velmorant-cli's command line: parses the arguments, runs the command, turns every failure
// into one line on `err` and a documented exit code (tools/cli/ExitCodes.h).
//
// main() is a thin wrapper around RunCli, so tests can run the whole program in-process.
// Main thread only.
#pragma once

#include <ostream>

// What this build of the program can do beyond reading and writing files.
struct CliFeatures {
    bool Plot = true; // --plot of analyse and listen (the GUI toolkit's painting)
};

// The features of this build.
CliFeatures BuiltFeatures();

// Runs the program with argv[0..argc) (argv[0] is the program's name and is ignored). Normal
// output and --help/--version go to `out`; error lines and notes go to `err`. With `colour`,
// live readings are coloured by verdict (pass true only when `out` is a terminal). Returns the
// exit code.
int RunCli(int argc, const char* const* argv, std::ostream& out, std::ostream& err,
           bool colour = false);

// The same, offering only `features` (at most those of the build): a feature left out is not
// listed in the help, and asking for it is refused as a bad command line naming what is missing.
int RunCli(int argc, const char* const* argv, std::ostream& out, std::ostream& err, bool colour,
           const CliFeatures& features);
