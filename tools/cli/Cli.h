// velmorant-cli's command line: parses the arguments, runs the command, turns every failure
// into one line on `err` and a documented exit code (tools/cli/ExitCodes.h).
//
// main() is a thin wrapper around RunCli, so tests can run the whole program in-process.
// Main thread only.
#pragma once

#include <ostream>

// Runs the program with argv[0..argc) (argv[0] is the program's name and is ignored). Normal
// output and --help/--version go to `out`; error lines and notes go to `err`. With `colour`,
// live readings are coloured by verdict (pass true only when `out` is a terminal). Returns the
// exit code.
int RunCli(int argc, const char* const* argv, std::ostream& out, std::ostream& err,
           bool colour = false);
