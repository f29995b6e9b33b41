// Starting and stopping the program log: its folder under the agent's
// installation folder, its level from the registry, its rotation timer.
#pragma once

#include <windows.h>

// How every program of the agent starts: reads TWAgentInstallDir from the
// agent key into gv_agentInstallDir and, when it is there, starts the program's
// log `fileName` in the agent's "logs" folder. Returns the read's result;
// without the folder no log is written.
DWORD StartProgramLog(const char* fileName);
// Reads TWAgentInstallDir, starts the rotation (which opens the log) and its timer.
DWORD StartLogger(const char* fileName);
// Opens the log with the level of TWAgentLogLevel (default 2).
DWORD InitializeLog(const char* fileName, const char* folder, DWORD openMode);
// Stops the rotation timer, then closes the log and the lock table's mutex.
DWORD ShutdownLogger();
