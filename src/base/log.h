// The program's levelled log: one file, four writers, an exact line layout.
#pragma once

#include <windows.h>
#include <stdio.h>

// Process-wide log state. The writers write nothing while gv_logFilePtr or
// gv_logLock is null.
extern FILE* gv_logFilePtr;
extern BYTE* gv_logLock;

void LogInfo(const char* format, ...);
void LogError(const char* format, ...);
void LogDebug(const char* format, ...);
void LogTrace(const char* format, ...);

bool SetLogDefaults();
bool SetLogConfig(const char* fileName, const char* folder, BYTE level);
bool OpenLogFile(const char* mode);
void CloseLogFile();
void FreeLogConfig();
char* GetLogTimeStamp();
int CreateLogFolder(const char* path);

// Current level and names, for the rotation code and tests.
BYTE GetLogLevel();
const char* GetLogFullPath();
