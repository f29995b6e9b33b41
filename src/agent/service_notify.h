// Control codes sent to Windows services.
#pragma once

#include <windows.h>

// 1 on success, 0 on failure.
int SendServiceMsg(DWORD controlCode, const WCHAR* serviceName);
// Sends the code to the agent service (registry value AgentServiceName).
int NotifyAgentService(DWORD controlCode);
