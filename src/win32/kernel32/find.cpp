// FindFirstFile, FindNextFile and FindClose for the Linux build: Windows
// wildcards without regard to case, names in NTFS order.
#include "kernel32/errno_map.h"
#include "kernel32/handles.h"
#include "kernel32/paths.h"
#include "kernel32/text.h"

#include <ctype.h>
#include <dirent.h>
#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>

#include <algorithm>
#include <string>
#include <vector>

using namespace tw;

namespace {

int foldChar(unsigned char c) {
    return tolower(c);
}

// Windows wildcards: '*' any run, '?' one character, without regard to case.
bool wildMatch(const char* pat, const char* name) {
    const char* starP = nullptr;
    const char* starN = nullptr;
    while (*name) {
        if (*pat == '*') {
            starP = pat++;
            starN = name;
        } else if (*pat == '?' || (*pat && foldChar(*pat) == foldChar(*name))) {
            ++pat;
            ++name;
        } else if (starP) {
            pat = starP + 1;
            name = ++starN;
        } else {
            return false;
        }
    }
    while (*pat == '*')
        ++pat;
    return *pat == '\0';
}

bool windowsMatch(const std::string& pattern, const std::string& name) {
    if (wildMatch(pattern.c_str(), name.c_str()))
        return true;
    // As on Windows, a trailing ".*" also matches names without an extension.
    if (pattern.size() >= 2 && pattern.compare(pattern.size() - 2, 2, ".*") == 0)
        return wildMatch(pattern.substr(0, pattern.size() - 2).c_str(), name.c_str());
    return false;
}

struct FindState : KernelObject {
    std::string dir;
    std::vector<std::string> names;
    size_t next = 0;
};

void fillFind(const FindState& fs, const std::string& name, WIN32_FIND_DATAA* a,
              WIN32_FIND_DATAW* w) {
    struct stat st;
    std::string full = fs.dir + "/" + name;
    bool ok = stat(full.c_str(), &st) == 0;
    DWORD attrs = ok && S_ISDIR(st.st_mode) ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE;
    unsigned long long size =
        ok && !S_ISDIR(st.st_mode) ? static_cast<unsigned long long>(st.st_size) : 0;
    FILETIME ft{};
    if (ok) {
        long long v = static_cast<long long>(st.st_mtim.tv_sec) * 10000000LL +
                      st.st_mtim.tv_nsec / 100 + 116444736000000000LL;
        ft.dwLowDateTime = static_cast<DWORD>(v & 0xFFFFFFFF);
        ft.dwHighDateTime = static_cast<DWORD>(static_cast<unsigned long long>(v) >> 32);
    }
    if (a) {
        memset(a, 0, sizeof *a);
        a->dwFileAttributes = attrs;
        a->ftCreationTime = a->ftLastAccessTime = a->ftLastWriteTime = ft;
        a->nFileSizeHigh = static_cast<DWORD>(size >> 32);
        a->nFileSizeLow = static_cast<DWORD>(size & 0xFFFFFFFF);
        snprintf(a->cFileName, sizeof a->cFileName, "%s", name.c_str());
    }
    if (w) {
        memset(w, 0, sizeof *w);
        w->dwFileAttributes = attrs;
        w->ftCreationTime = w->ftLastAccessTime = w->ftLastWriteTime = ft;
        w->nFileSizeHigh = static_cast<DWORD>(size >> 32);
        w->nFileSizeLow = static_cast<DWORD>(size & 0xFFFFFFFF);
        std::u16string n16 = Utf8ToUtf16(name);
        size_t n = std::min<size_t>(n16.size(), MAX_PATH - 1);
        memcpy(w->cFileName, n16.data(), n * sizeof(WCHAR));
    }
}

HANDLE findFirstHost(const std::string& hostPattern, WIN32_FIND_DATAA* a, WIN32_FIND_DATAW* w) {
    size_t slash = hostPattern.rfind('/');
    std::string dir = slash == std::string::npos ? "." : hostPattern.substr(0, slash);
    if (dir.empty())
        dir.assign(1, '/');
    std::string pattern = slash == std::string::npos ? hostPattern : hostPattern.substr(slash + 1);
    if (pattern.empty()) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    DIR* d = opendir(dir.c_str());
    if (d == nullptr) {
        SetLastError(errno == ENOENT || errno == ENOTDIR ? ERROR_PATH_NOT_FOUND
                                                         : ErrorFromErrno(errno, dir));
        return INVALID_HANDLE_VALUE;
    }
    auto* fs = new FindState();
    fs->dir = dir;
    while (dirent* e = readdir(d)) {
        std::string name = e->d_name;
        // A drive's root has no "." and ".." entries on Windows.
        if ((name == "." || name == "..") && dir == "/")
            continue;
        if (windowsMatch(pattern, name))
            fs->names.push_back(name);
    }
    closedir(d);
    // NTFS lists a folder in case-insensitive name order.
    std::sort(fs->names.begin(), fs->names.end(), [](const std::string& x, const std::string& y) {
        return strcasecmp(x.c_str(), y.c_str()) < 0;
    });
    if (fs->names.empty()) {
        delete fs;
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    fillFind(*fs, fs->names[0], a, w);
    fs->next = 1;
    SetLastError(ERROR_SUCCESS);
    return static_cast<KernelObject*>(fs);
}

BOOL findNext(HANDLE h, WIN32_FIND_DATAA* a, WIN32_FIND_DATAW* w) {
    auto* fs = dynamic_cast<FindState*>(GetKernelObject(h));
    if (fs == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (fs->next >= fs->names.size()) {
        SetLastError(ERROR_NO_MORE_FILES);
        return FALSE;
    }
    fillFind(*fs, fs->names[fs->next++], a, w);
    return TRUE;
}

} // namespace

extern "C" {

HANDLE FindFirstFileA(LPCSTR pattern, LPWIN32_FIND_DATAA data) {
    if (!pattern || !data) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    return findFirstHost(HostPath(pattern), data, nullptr);
}

HANDLE FindFirstFileW(LPCWSTR pattern, LPWIN32_FIND_DATAW data) {
    if (!pattern || !data) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    return findFirstHost(HostPathW(pattern), nullptr, data);
}

BOOL FindNextFileA(HANDLE h, LPWIN32_FIND_DATAA data) {
    return findNext(h, data, nullptr);
}
BOOL FindNextFileW(HANDLE h, LPWIN32_FIND_DATAW data) {
    return findNext(h, nullptr, data);
}

BOOL FindClose(HANDLE h) {
    auto* fs = dynamic_cast<FindState*>(GetKernelObject(h));
    if (fs == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    delete fs;
    return TRUE;
}

} // extern "C"
