// Size-based rotation of the program log, checked at start-up and then on a
// one-shot timer that re-arms itself.
#pragma once

#include <windows.h>

struct LogRotationConfig {
    char* fileName; // names separated by ";"
    char* folder;
    LONG maxFileCount; // the live file plus at most maxFileCount - 1 backups
    DWORD sizeLimit;   // bytes
    DWORD period;      // milliseconds between the end of one check and the next
    DWORD openMode;    // passed to InitializeLog
    bool useTimer;
};

DWORD StartLoggerTimer(LogRotationConfig* config);
DWORD LoggerTimerMethod(LogRotationConfig* config);
void CALLBACK LoggerTimerRoutine(PVOID parameter, BOOLEAN fired);
DWORD RotateLoggerForEverRunningProcess(const char* folder, const char* fileName, LONG maxFileCount,
                                        DWORD sizeLimit);
bool CheckLogSizeReached(const char* path, DWORD sizeLimit);
DWORD RotateSpecificLogs(const char* folder, char* fileNames, LONG maxFileCount, DWORD sizeLimit,
                         DWORD mode);
int FindNoOfRepeatedFileNames(const char* folder, const char* base);

// Stops the rotation timer, waiting for a check that is running on the timer
// thread; returns the failing call's code or 0.
DWORD StopLoggerTimer();
