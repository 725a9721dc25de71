// The program's start-up: the platform's `main` (target forms_entry) creates the application
// object and calls the program's WinMain.
//
// Thread: the process's main thread, once.
#pragma once

struct InstanceTag;
using HINSTANCE = InstanceTag*;
using LPSTR = char*;

inline constexpr int SW_SHOWDEFAULT = 10;

// The program's entry, defined by the program. `instance` names the running program,
// `previousInstance` is always nullptr, `commandLine` holds the arguments after the program's
// name separated by single spaces, `showCommand` says how to show the first window. Runs with
// the global Application in place; returns the process's exit status.
int WinMain(HINSTANCE instance, HINSTANCE previousInstance, LPSTR commandLine, int showCommand);

// Creates the application object for this command line, records the program's version
// (e.g. "1.2.2.0"), calls WinMain and returns its result. Call from `main`.
// desktopId, when given, names the program's desktop entry (without ".desktop"), so desktops
// that match windows to entries by it (Wayland's) show the entry's name and icon.
int RunWinMain(int argc, char** argv, const char* version, const char* desktopId = nullptr);
