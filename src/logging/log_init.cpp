// Starting and stopping the log: folder and level from the registry.
#include "logging/log.h"
#include "logging/lock_table.h"
#include "agent/agent_globals.h"
#include "registry/registry_helpers.h"

#include <stdlib.h>

#include <string>

DWORD StartLogger(const char* fileName) {
    char* installDir = nullptr;
    DWORD rc = ReadRegSZ(HKEY_LOCAL_MACHINE, gv_RegKey, "TWAgentInstallDir", &installDir);
    if (rc != ERROR_SUCCESS) {
        free(installDir);
        return rc;
    }
    free(gv_agentInstallDir);
    gv_agentInstallDir = installDir;
    std::string folder = std::string(gv_agentInstallDir) + "logs";
    InitializeLog(fileName, folder.c_str(), 1);
    return ERROR_SUCCESS;
}

DWORD InitializeLog(const char* fileName, const char* folder, DWORD openMode) {
    InitMutex();
    if (!SetLogDefaults())
        return ERROR_INVALID_DATA;
    DWORD level = 2;
    if (ReadDwordRegistryData(HKEY_LOCAL_MACHINE, gv_RegKey, "TWAgentLogLevel", &level) !=
        ERROR_SUCCESS)
        level = 2;
    if (!SetLogConfig(fileName, folder, static_cast<BYTE>(level & 0xFF)))
        return ERROR_INVALID_DATA;
    if (!OpenLogFile(openMode == 2 ? "w" : "a+"))
        return ERROR_INVALID_DATA;
    return ERROR_SUCCESS;
}

DWORD ShutdownLogger() {
    CloseLogFile();
    FreeLogConfig();
    CloseLockMutex();
    return 0;
}
