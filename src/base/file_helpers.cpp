#include "base/file_helpers.h"
#include "base/owned.h"
#include "base/error_texts.h"
#include "base/text_helpers.h"
#include "base/log.h"

#include <shlobj.h>
#include <stdlib.h>
#include <string.h>

#include <memory>

namespace {
// Position of the first occurrence of `pat` in `text`, compared character by
// character; after a mismatch the pattern restarts at the next character of
// the text without looking at the mismatched one again.
const char* findElement(const char* text, const char* pat) {
    size_t plen = strlen(pat);
    if (plen == 0)
        return nullptr;
    size_t matched = 0;
    for (const char* p = text; *p; ++p) {
        if (*p == pat[matched]) {
            if (++matched == plen)
                return p - plen + 1;
        } else {
            matched = 0;
        }
    }
    return nullptr;
}
} // namespace

DWORD CreateFolder(const WCHAR* path) {
    LogDebug("CreateFolder : CreateFolder function called with %S\n", path);
    char* raw = nullptr;
    if (path == nullptr || !ChangeWideToUtf8Str(path, &raw) || raw == nullptr) {
        LogError("CreateFolder : The directory to create is NULL . \n");
        return ERROR_INVALID_DATA;
    }
    Owned<char> text(raw);
    size_t len = strlen(text.get());
    DWORD code;
    if (len >= 1 && len <= 3) {
        LogInfo("CreateFolder : The Drive letter Given.hence it cannot be created \n");
        code = ERROR_ALREADY_EXISTS;
    } else {
        Owned<char> last(GetLastFileName(text.get()));
        const char* at = last ? findElement(text.get(), last.get()) : nullptr;
        size_t candidateLen = at ? static_cast<size_t>(at - text.get()) : 0;
        if (candidateLen >= 1 && candidateLen <= 3) {
            LogInfo("CreateFolder : The Drive letter Given.hence it cannot be created \n");
            code = ERROR_ALREADY_EXISTS;
        } else {
            if (candidateLen > 3)
                text.get()[candidateLen] = '\0';
            LogInfo("CreateFolder : The Directory to create is %s \n", text.get());
            Owned<WCHAR> wide(TwUtf8ToWide(text.get()));
            if (!wide) {
                code = ERROR_NOT_ENOUGH_MEMORY;
            } else {
                int rc = SHCreateDirectoryExW(nullptr, wide.get(), nullptr);
                code = rc == ERROR_ALREADY_EXISTS ? ERROR_SUCCESS : static_cast<DWORD>(rc);
            }
        }
    }
    LogDebug("CreateFolder function returns Error code %d \n", code);
    if (code != ERROR_SUCCESS)
        LogErrorText(code);
    return code;
}

int IsFileExist(const char* path) {
    if (path == nullptr)
        return 0;
    // Shares everything, so that a file another writer holds open (an access
    // log being appended to) is not taken for a missing one.
    HANDLE h = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE || GetLastError() == ERROR_FILE_NOT_FOUND) {
        LogDebug("IsFileExist : The File Name %s is not found %d\n", path, GetLastError());
        if (h != INVALID_HANDLE_VALUE)
            CloseHandle(h);
        return 0;
    }
    DWORD size = GetFileSize(h, nullptr);
    LogDebug("IsFileExist : The File %s size is given by : %d\n", path, size);
    CloseHandle(h);
    if (size == 0) {
        LogDebug("IsFileExist : The required file (%s) size is 0 bytes. Hence returning file not "
                 "found.\n",
                 path);
        return 0;
    }
    return 1;
}

BOOL GetFileSize64(const char* path, LONGLONG* size) {
    if (path == nullptr || size == nullptr)
        return FALSE;
    *size = 0;
    HANDLE h = CreateFileA(path, READ_CONTROL, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return FALSE;
    LARGE_INTEGER li;
    BOOL ok = GetFileSizeEx(h, &li);
    if (ok)
        *size = li.QuadPart;
    CloseHandle(h);
    return ok;
}

DWORD CheckFileExists(const WCHAR* name) {
    LogDebug("@@@@@@@@ Inside CheckFileExists Method @@@@@@@@ \n");
    if (name == nullptr)
        return ERROR_INVALID_DATA;
    LogDebug("FileName to search -> %S \n", name);
    WIN32_FIND_DATAW data;
    HANDLE h = FindFirstFileW(name, &data);
    if (h == INVALID_HANDLE_VALUE) {
        LogError("CheckFileExists -> Invalid File Handle. %d \n", GetLastError());
        LogDebug("@@@@@@@@ End Of CheckFileExists Method @@@@@@@@ \n");
        return ERROR_FILE_NOT_FOUND;
    }
    FindClose(h);
    LogDebug("@@@@@@@@ End Of CheckFileExists Method @@@@@@@@ \n");
    return ERROR_SUCCESS;
}
