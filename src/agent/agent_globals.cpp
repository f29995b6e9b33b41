#include "agent/agent_globals.h"

const char* const gv_RegKey = "Software\\Brightmoor\\Tidewell\\TWAgent";
char* gv_agentInstallDir = nullptr;
int gv_IsWow64 = 0;
