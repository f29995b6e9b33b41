#include "base/settings.h"
#include "base/error_texts.h"
#include "base/text_helpers.h"
#include "http/agent_request.h"
#include "http/download_internal.h"
#include "http/downloads.h"
#include "http/http_calls.h"
#include "base/log.h"

#include <share.h>
#include <stdio.h>
#include <string.h>

namespace twhttp {

DWORD CheckDownloadArguments(const char* function, const DownloadCall& call) {
    const char* problem = nullptr;
    if (call.objectPath == nullptr)
        problem = "no URL to get";
    else if (call.port < 0 || call.port > 65535)
        problem = "the port is out of range";
    else if (call.requestKind == GET_DATA && call.dataOutput == nullptr)
        problem = "no place for the data in memory";
    else if (call.requestKind != GET_DATA &&
             (call.destinationPath == nullptr || call.destinationPath[0] == 0))
        problem = "no destination file";
    if (problem == nullptr)
        return 0;
    LogError("%s : Invalid request, %s (port %d) \n", function, problem, call.port);
    return RESULT_INVALID_INPUT;
}

WCHAR* MakeTempFilePath(const DownloadCall& call) {
    if (call.requestKind == GET_DATA) {
        Owned<char> narrow(GetTmpDataFilePath());
        WCHAR* wide = nullptr;
        if (!narrow || !ChangeToWideStr(narrow.get(), &wide))
            return nullptr;
        return wide;
    }
    size_t chars = TwWideLen(call.destinationPath);
    size_t bytes = chars * 4 + 30;
    auto* path = static_cast<WCHAR*>(calloc(bytes, 1));
    if (path == nullptr)
        return nullptr;
    if (TwWideFormat(path, bytes / sizeof(WCHAR), "%S%d.tmp", call.destinationPath,
                     static_cast<int>(GetCurrentThreadId())) < 0) {
        free(path);
        return nullptr;
    }
    return path;
}

HANDLE CreateTempFile(const WCHAR* path) {
    SECURITY_ATTRIBUTES sa;
    sa.nLength = sizeof(sa);
    sa.lpSecurityDescriptor = nullptr;
    sa.bInheritHandle = FALSE;
    return CreateFileW(path, GENERIC_WRITE, FILE_SHARE_READ, &sa, CREATE_ALWAYS,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}

bool RewindFile(HANDLE file) {
    if (SetFilePointer(file, 0, nullptr, FILE_BEGIN) == INVALID_SET_FILE_POINTER)
        return false;
    return SetEndOfFile(file) != FALSE;
}

DWORD RequestFor(const DownloadCall& call, BYTE keepAlive, InternetRequestHandles* handles) {
    return GetInternetRequestHandle(
        call.proxyFlag, call.protocol, call.server, static_cast<INTERNET_PORT>(call.port),
        call.proxyServer, call.proxyBypass, call.proxyUserName, call.proxyPassword, call.objectPath,
        call.destinationPath, call.dataOutput, call.requestKind, keepAlive, handles);
}

void CloseHandlesLogged(const char* function, InternetRequestHandles* handles) {
    struct Slot {
        HINTERNET* h;
        const char* name;
    } slots[] = {{&handles->hRequest, "hRequest"},
                 {&handles->hConnect, "hConnect"},
                 {&handles->hSession, "hSession"}};
    for (Slot& s : slots) {
        if (IsUnset(*s.h))
            continue;
        if (!g_httpCalls.CloseHandle(*s.h)) {
            DWORD e = GetLastError();
            LogError("%s :  Error in WinHttpCloseHandle %s --> %d \n", function, s.name, e);
            HttpGetLastError(e);
        }
        *s.h = TW_UNSET_HANDLE;
    }
}

void CloseHandlesQuietly(InternetRequestHandles* handles) {
    for (HINTERNET* h : {&handles->hRequest, &handles->hConnect, &handles->hSession}) {
        if (!IsUnset(*h))
            g_httpCalls.CloseHandle(*h);
        *h = TW_UNSET_HANDLE;
    }
}

DWORD WriteAll(HANDLE file, const void* data, DWORD size) {
    DWORD written = 0;
    if (!WriteFile(file, data, size, &written, nullptr))
        return LastErrorOf();
    return written == size ? 0 : static_cast<DWORD>(ERROR_WRITE_FAULT);
}

DWORD DeliverDownload(DownloadVariant variant, const DownloadCall& call, const WCHAR* tempPath) {
    const bool plain = variant == DownloadVariant::Plain;
    if (call.requestKind == GET_DATA) {
        if (LoadDatafromFile(call.dataOutput) == 1) {
            LogDebug("Data in memory : %s\n", *call.dataOutput);
            return 0;
        }
        LogError(plain ? "InternetGetRequestEx: could n't read the data from .tmp file \n"
                       : "InternetGetRequestByBitrate: could n't read the data from .tmp file \n");
        return RESULT_DATA_NOT_READABLE;
    }
    // The temporary file lies beside the destination, so renaming it over the
    // destination replaces the file at once without copying the data again; a
    // destination that cannot be replaced that way gets a copy.
    bool done = MoveFileExW(tempPath, call.destinationPath, MOVEFILE_REPLACE_EXISTING) ||
                CopyFileW(tempPath, call.destinationPath, FALSE);
    if (done) {
        if (plain)
            LogInfo("InternetGetRequestEx : Successfully downloaded the file %S from the server %S "
                    "to the destination file %S \n",
                    call.objectPath, call.server, call.destinationPath);
        else
            LogInfo("InternetGetRequestByBitrate : Successfully downloaded the file %S from the "
                    "server %S\n",
                    call.objectPath, call.server);
        return 0;
    }
    DWORD e = LastErrorOf();
    if (plain) {
        LogError("InternetGetRequestEx : could n't copy from %S file to %S ,\n", tempPath,
                 call.destinationPath);
        LogErrorText(e);
    } else {
        LogError("InternetGetRequestByBitrate : could n't copy from .tmp file, errorcode --> %d \n",
                 e);
    }
    return e;
}

DWORD PacingMillis(const SYSTEMTIME& t) {
    WORD seconds = static_cast<WORD>((t.wHour * 60u + t.wMinute) * 60u + t.wSecond);
    return static_cast<DWORD>(seconds) * 1000u + t.wMilliseconds;
}

} // namespace twhttp

char* GetTmpDataFilePath() {
    size_t bytes = strlen(gv_tempDir) + 24;
    auto* path = static_cast<char*>(calloc(bytes, 1));
    if (path == nullptr)
        return nullptr;
    snprintf(path, bytes, "%s\\tw%d.tmp", gv_tempDir, static_cast<int>(GetCurrentThreadId()));
    return path;
}

int LoadDatafromFile(char** dataOutput) {
    Owned<char> path(GetTmpDataFilePath());
    if (!path || dataOutput == nullptr)
        return 0;
    LogDebug("LoadDatafromFile: tmpDataFilePath, %s\n", path.get());
    // Read untranslated and turn CR LF into LF here, so both platforms give the
    // same text and no byte of the body ends it early.
    FILE* f = _fsopen(path.get(), "rb", _SH_DENYNO);
    if (f == nullptr)
        return 0;
    long size = -1;
    if (fseek(f, 0, SEEK_END) == 0)
        size = ftell(f);
    if (size < 0 || static_cast<unsigned long>(size) > kMaxInMemoryBody ||
        fseek(f, 0, SEEK_SET) != 0) {
        LogError("LoadDatafromFile: the data file cannot be held in memory (%ld bytes) \n", size);
        fclose(f);
        return 0;
    }
    auto* text = static_cast<char*>(calloc(static_cast<size_t>(size) + 1, 1));
    if (text == nullptr) {
        fclose(f);
        return 0;
    }
    size_t got = size > 0 ? fread(text, 1, static_cast<size_t>(size), f) : 0;
    fclose(f);
    size_t out = 0;
    for (size_t i = 0; i < got; ++i) {
        if (text[i] == '\r' && i + 1 < got && text[i + 1] == '\n')
            continue;
        text[out++] = text[i];
    }
    memset(text + out, 0, static_cast<size_t>(size) + 1 - out);
    *dataOutput = text;
    return 1;
}
