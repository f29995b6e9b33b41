// Process-wide values of the agent library. Written once during start-up on
// the main thread, read afterwards.
#pragma once

#include <windows.h>

// The agent's registry key under HKEY_LOCAL_MACHINE.
extern const char* const gv_RegKey;
// The agent installation folder (value TWAgentInstallDir), with its trailing separator.
extern char* gv_agentInstallDir;
// 1 when this 32-bit process runs on 64-bit Windows (set by InitializeAgentParameters).
extern int gv_IsWow64;
