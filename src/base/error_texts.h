// Readable texts for result codes, written to the log.
#pragma once

#include <windows.h>

// The agent's own text for codes Windows does not know: a static table text,
// or a new "Unknown Error. Code : %d" buffer (4096 bytes) owned by the caller.
// `allocated` tells which.
const char* GetAgentErrorText(DWORD code, bool* allocated = nullptr);
// The system's text of a code (line breaks dropped), else the agent's text:
// a new UTF-8 text freed with free, and nothing logged. FormatErrorText is
// this text logged.
char* LookUpErrorText(DWORD code);
char* FormatErrorText(DWORD code);
void LogErrorText(DWORD code);
DWORD LogErrorTextAnsi(DWORD code);
void LogLastError();
