// Cooperative stop on Ctrl-C: the signal handler only raises a flag, and the long loops poll
// it between blocks so they can remove their temporary files and leave nothing half-written.
#pragma once

// Installs handlers for SIGINT, SIGTERM and SIGHUP that call RequestStop, and ignores SIGPIPE
// so that a closed output shows as a failed write. Call once from main().
void InstallStopHandlers();

// Async-signal-safe; may be called from any thread or a signal handler.
void RequestStop();

// True once a stop was requested. Any thread; lock-free.
bool StopRequested();

// Clears the flag, for tests that run several commands in one process. Main thread only.
void ClearStopRequest();
