#include "logging/rotation.h"
#include "base/settings.h"
#include "base/error_texts.h"
#include "base/file_helpers.h"
#include "base/format.h"
#include "base/lock_table.h"
#include "base/log.h"
#include "logging/logger.h"
#include "registry/registry_helpers.h"

#include <stdlib.h>
#include <string.h>

#include <mutex>
#include <string>

namespace {

// The settings of the running rotation: the timer callback holds them for
// the rest of the process.
LogRotationConfig* g_rotationConfig = nullptr;
HANDLE g_rotationQueue = nullptr;
HANDLE g_rotationTimer = nullptr;
bool g_rotationStopping = false;
// Guards the timer handles and the stop flag: shutdown sets the flag and
// takes the handles in one step, so no timer is armed after it has looked.
std::mutex g_rotationMutex;

std::string baseOf(const char* fileName) {
    const char* at = strstr(fileName, ".log");
    return at ? std::string(fileName, static_cast<size_t>(at - fileName)) : std::string();
}

std::string backupName(const std::string& folder, const std::string& base, long n) {
    return TwFormat("%s\\%s%d.log", folder.c_str(), base.c_str(), static_cast<int>(n));
}

void deleteAndLog(const std::string& path, bool liveFile) {
    if (DeleteFileA(path.c_str())) {
        LogInfo("RotateSpecificLogs : The file %s was successfully deleted..:\n", path.c_str());
    } else if (liveFile) {
        LogInfo("RotateSpecificLogs : Unable to delete the file %s and the error code is  :%d\n",
                path.c_str(), GetLastError());
    } else {
        LogInfo("RotateSpecificLogs : Unable to delete the file %s and the error code is :%d\n",
                path.c_str(), GetLastError());
    }
}

// Empties the live log in place; the log's stream, opened for appending,
// goes on writing at the start of the emptied file.
DWORD truncateLive(const std::string& live) {
    HANDLE h = CreateFileA(live.c_str(), GENERIC_READ | GENERIC_WRITE,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           TRUNCATE_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return GetLastError();
    CloseHandle(h);
    return ERROR_SUCCESS;
}

void rotateOne(const std::string& folder, const char* name, LONG maxFileCount, DWORD sizeLimit,
               DWORD mode) {
    LogInfo("RotateSpecificLogs : Log File Name : %s\n", name);
    std::string live = TwFormat("%s\\%s", folder.c_str(), name);
    LONGLONG size = 0;
    if (mode == 0) {
        HANDLE h = CreateFileA(live.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h == INVALID_HANDLE_VALUE || GetLastError() == ERROR_FILE_NOT_FOUND) {
            LogError("RotateSpecificLogs : hFile is NULL or not AVAILABLE (Errorcode : %d) for the "
                     "file name %s . \n",
                     GetLastError(), live.c_str());
            if (h != INVALID_HANDLE_VALUE)
                CloseHandle(h);
            return;
        }
        if (GetFileSize64(live.c_str(), &size)) {
            LogInfo("RotateSpecificLogs : Sucessfully got the %s File size = %lld \n", live.c_str(),
                    size);
        } else {
            LogInfo("RotateSpecificLogs : The %s File size detection is failed and the error code "
                    "is %d \n",
                    live.c_str(), GetLastError());
            size = 0;
            deleteAndLog(live, true);
        }
        CloseHandle(h);
    }
    if (!(size > static_cast<LONGLONG>(sizeLimit) || mode == 1))
        return;

    std::string base = baseOf(name);
    int count = FindNoOfRepeatedFileNames(folder.c_str(), base.c_str());
    LogInfo("RotateSpecificLogs : The return Value from FindNumberOfRepeatedFileNames method is : "
            "%d \n",
            count);
    // Shift backups from the highest number down; a count below 1 (the search
    // failed) leaves the files alone.
    long n = count;
    while (n >= 1) {
        long k = n - 1;
        std::string source = backupName(folder, base, k);
        LogInfo("RotateSpecificLogs : The tempFileName1 : %s . \n", source.c_str());
        if (n >= maxFileCount) {
            deleteAndLog(source, false);
            n = maxFileCount - 1;
            k = n - 1;
            source = backupName(folder, base, k);
        }
        std::string dest = backupName(folder, base, n);
        LogInfo("RotateSpecificLogs : The tempFileName2 : %s . \n", dest.c_str());
        if (n == 1 && mode == 0) {
            if (CopyFileA(live.c_str(), dest.c_str(), FALSE)) {
                LogInfo("RotateSpecificLogs : File successfully copied from %s to  %s . \n",
                        live.c_str(), dest.c_str());
                deleteAndLog(live, true);
            } else {
                LogInfo("RotateSpecificLogs : CopyFile failed to move from %s to  %s and the error "
                        "code is %d \n",
                        live.c_str(), dest.c_str(), GetLastError());
            }
        } else if (n == 1 && mode == 1) {
            // The log's lock is held from the copy to the truncation, so every
            // line lands either in the backup or in the emptied live log. No
            // line may be logged while it is held.
            BYTE* key = gv_logLock;
            if (key != nullptr)
                LockObject(key);
            BOOL copied = CopyFileA(live.c_str(), dest.c_str(), FALSE);
            DWORD copyError = copied ? ERROR_SUCCESS : GetLastError();
            DWORD truncateError = copied ? truncateLive(live) : ERROR_SUCCESS;
            if (key != nullptr)
                UnlockObject(key);
            if (!copied) {
                LogInfo("RotateSpecificLogs : CopyFile failed to move from %s to  %s and the error "
                        "code is %d \n",
                        live.c_str(), dest.c_str(), copyError);
            } else {
                LogInfo("RotateSpecificLogs : File successfully copied from %s to  %s , the live "
                        "file is truncated . \n",
                        live.c_str(), dest.c_str());
                if (truncateError != ERROR_SUCCESS)
                    TwPrintf("RotateSpecificLogs : Unable to truncate the file %s and the error "
                             "code is %d \n",
                             live.c_str(), truncateError);
            }
        } else {
            if (CopyFileA(source.c_str(), dest.c_str(), FALSE)) {
                LogInfo("RotateSpecificLogs : File copied from %s to  %s . \n", source.c_str(),
                        dest.c_str());
                deleteAndLog(source, false);
            } else {
                LogInfo("RotateSpecificLogs : CopyFile failed to move from %s to  %s and the error "
                        "code is %d \n",
                        source.c_str(), dest.c_str(), GetLastError());
            }
        }
        n = k;
    }
}

} // namespace

int FindNoOfRepeatedFileNames(const char* folder, const char* base) {
    LogDebug("@@@@@@@@@@@@Inside FindNoOfRepeatedFileNames Method @@@@@@@@@\n");
    std::string pattern = TwFormat("%s\\%s*.*", folder, base);
    WIN32_FIND_DATAA data;
    HANDLE find = FindFirstFileA(pattern.c_str(), &data);
    int count;
    if (find == INVALID_HANDLE_VALUE) {
        LogErrorText(GetLastError());
        LogError("FindNumberOfRepeatedFileNames : Unable to find the files/folder.\n");
        count = -1;
    } else {
        count = 1;
        while (FindNextFileA(find, &data))
            ++count;
        DWORD err = GetLastError();
        if (err != ERROR_NO_MORE_FILES) {
            LogErrorText(err);
            LogError("FindNumberOfRepeatedFileNames : Couldn't find next file :%d\n", err);
            count = -1;
        }
        FindClose(find);
    }
    LogDebug("@@@@@@@@@@@@End of FindNoOfRepeatedFileNames Method with return value of No of file "
             "count : %d\t  @@@@@@@@@\n",
             count);
    return count;
}

bool CheckLogSizeReached(const char* path, DWORD sizeLimit) {
    LONGLONG size = 0;
    HANDLE h = CreateFileA(path, GENERIC_READ | GENERIC_WRITE,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        LogError("CheckLogSizeReached : Unable to get the file handle \n");
        LogErrorTextAnsi(GetLastError());
    } else {
        LARGE_INTEGER li;
        if (GetFileSizeEx(h, &li))
            size = li.QuadPart;
        else
            LogError("CheckLogSizeReached : Error occurred in getting the size %d \n",
                     GetLastError());
        CloseHandle(h);
    }
    LogInfo("CheckLogSizeReached : The log file size of %s is given by %ld \n", path,
            static_cast<LONG>(size & 0xFFFFFFFF));
    if (size >= static_cast<LONGLONG>(sizeLimit)) {
        LogInfo("CheckLogSizeReached : The size is greater than the given size .........\n");
        return true;
    }
    LogDebug("CheckLogSizeReached : The size is less the required size \n");
    return false;
}

DWORD RotateSpecificLogs(const char* folder, char* fileNames, LONG maxFileCount, DWORD sizeLimit,
                         DWORD mode) {
    LogInfo("\n @@@@@@@@@@@@@@@Inside RotateSpecificLogs Method @@@@@@@@@@@@@\n");
    std::string dir;
    if (folder != nullptr) {
        dir = folder;
    } else {
        char* install = nullptr;
        DWORD rc = ReadRegSZ(HKEY_LOCAL_MACHINE, gv_RegKey, "TWAgentInstallDir", &install);
        if (rc != ERROR_SUCCESS) {
            free(install);
            TwPrintf("RotateSpecificLogs : Unable to get the agent installed directory %d \n", rc);
            return rc;
        }
        dir = TwFormat("%slogs\\", install);
        free(install);
    }
    if (fileNames != nullptr) {
        // The list is split in place.
        char* name = fileNames;
        while (name != nullptr) {
            char* sep = strchr(name, ';');
            if (sep != nullptr)
                *sep = '\0';
            rotateOne(dir, name, maxFileCount, sizeLimit, mode);
            name = sep ? sep + 1 : nullptr;
        }
    }
    LogInfo(
        "\n @@@@@@@@@@@@@@@ End of RotateSpecificLogs Method with error code %d @@@@@@@@@@@@@\n",
        0);
    return 0;
}

DWORD RotateLoggerForEverRunningProcess(const char* folder, const char* fileName, LONG maxFileCount,
                                        DWORD sizeLimit) {
    std::string dir = folder ? TwFormat("%s\\", folder)
                             : TwFormat("%slogs\\", gv_agentInstallDir ? gv_agentInstallDir : "");
    std::string path = dir + (fileName ? fileName : "");
    LogInfo("RotateLoggerForEverRunningProcess : cSfileName : %s \n", path.c_str());
    if (!CheckLogSizeReached(path.c_str(), sizeLimit))
        return 0;
    std::string names = fileName ? fileName : "";
    return RotateSpecificLogs(dir.c_str(), &names[0], maxFileCount, sizeLimit, 1);
}

DWORD LoggerTimerMethod(LogRotationConfig* config) {
    RotateLoggerForEverRunningProcess(config->folder, config->fileName, config->maxFileCount,
                                      config->sizeLimit);
    std::lock_guard<std::mutex> guard(g_rotationMutex);
    if (g_rotationStopping)
        return 0; // shutdown has begun: no further check
    HANDLE timer = nullptr;
    if (!CreateTimerQueueTimer(&timer, g_rotationQueue, LoggerTimerRoutine, config, config->period,
                               0, WT_EXECUTEDEFAULT)) {
        DWORD err = GetLastError();
        LogError("LoggerTimerMethod : CreateTimerQueueTimer failed due to following error \n");
        LogErrorText(err);
        return err;
    }
    g_rotationTimer = timer;
    LogDebug("LoggerTimerMethod : Registered the TimerRoutime callback in next %d minutes . \n",
             config->period / 60000);
    return 0;
}

void CALLBACK LoggerTimerRoutine(PVOID parameter, BOOLEAN) {
    LogInfo("LoggerTimerRoutine : Inside LoggerTimerRoutine Method\n");
    LoggerTimerMethod(static_cast<LogRotationConfig*>(parameter));
    LogInfo("LoggerTimerRoutine : End of LoggerTimerRoutine Method\n");
}

DWORD StartLoggerTimer(LogRotationConfig* config) {
    g_rotationConfig = config;
    if (config->useTimer) {
        HANDLE queue = CreateTimerQueue();
        if (queue != nullptr) {
            LogInfo("ServiceMain : TimerQueue is created successfully \n");
        } else {
            DWORD err = GetLastError();
            LogError("ServiceMain : CreateTimerQueue is failed due to following error !! \n");
            LogErrorText(err);
        }
        {
            std::lock_guard<std::mutex> guard(g_rotationMutex);
            g_rotationQueue = queue;
            g_rotationStopping = false;
        }
        LoggerTimerMethod(config);
    } else {
        RotateLoggerForEverRunningProcess(config->folder, config->fileName, config->maxFileCount,
                                          config->sizeLimit);
    }
    return InitializeLog(config->fileName, config->folder, config->openMode);
}

DWORD StopLoggerTimer() {
    HANDLE queue, timer;
    {
        std::lock_guard<std::mutex> guard(g_rotationMutex);
        g_rotationStopping = true;
        queue = g_rotationQueue;
        timer = g_rotationTimer;
        g_rotationQueue = nullptr;
        g_rotationTimer = nullptr;
    }
    // Deleting with INVALID_HANDLE_VALUE waits for a check running on the
    // timer thread, so the log is never closed under it.
    BOOL ok = TRUE;
    if (queue != nullptr)
        ok = DeleteTimerQueueEx(queue, INVALID_HANDLE_VALUE);
    else if (timer != nullptr)
        ok = DeleteTimerQueueTimer(nullptr, timer, INVALID_HANDLE_VALUE);
    if (!ok) {
        DWORD err = GetLastError();
        // A pending deletion still completes before the call returns.
        if (err != ERROR_IO_PENDING) {
            LogError("ServiceMain : DeleteTimerQueue is failed due to following error !! \n");
            LogErrorText(err);
            return err;
        }
    }
    return 0;
}
