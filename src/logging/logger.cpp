// Starting and stopping the log: folder and level from the registry.
#include "base/log.h"
#include "logging/logger.h"
#include "base/lock_table.h"
#include "logging/rotation.h"
#include "base/settings.h"
#include "registry/registry_helpers.h"

#include <stdlib.h>
#include <string.h>

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
    // Never freed: the timer callback holds it for the rest of the process.
    auto* config = static_cast<LogRotationConfig*>(calloc(1, sizeof(LogRotationConfig)));
    if (config == nullptr)
        return ERROR_NOT_ENOUGH_MEMORY;
    config->fileName = static_cast<char*>(calloc(strlen(fileName ? fileName : "") + 1, 1));
    config->folder = static_cast<char*>(calloc(folder.size() + 1, 1));
    if (config->fileName == nullptr || config->folder == nullptr)
        return ERROR_NOT_ENOUGH_MEMORY;
    strcpy(config->fileName, fileName ? fileName : "");
    strcpy(config->folder, folder.c_str());
    config->maxFileCount = 5;
    config->sizeLimit = 2000000;
    config->period = 900000;
    config->openMode = 1;
    config->useTimer = true;
    StartLoggerTimer(config);
    return ERROR_SUCCESS;
}

DWORD StartProgramLog(const char* fileName) {
    DWORD rc = ReadRegSZ(HKEY_LOCAL_MACHINE, gv_RegKey, "TWAgentInstallDir", &gv_agentInstallDir);
    if (rc != ERROR_SUCCESS)
        return rc;
    StartLogger(fileName);
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
    StopLoggerTimer();
    CloseLogFile();
    FreeLogConfig();
    CloseLockMutex();
    return 0;
}
