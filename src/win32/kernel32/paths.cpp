// Windows paths on the host, and the folders Windows names by themselves
// (temporary, current). As under Wine, drive Z: is the host's root folder and
// the current folder lies on it, so a rooted path without a drive ("/opt/x",
// "\opt\x") is the host path it reads as; the other letters live under
// TW_DRIVE_ROOT. Both slashes separate, as in Windows' file calls.
#include "kernel32/paths.h"

#include <tw_linux.h>

#include "kernel32/errno_map.h"
#include "kernel32/text.h"

#include <ctype.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <errno.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

namespace tw {

namespace {

bool HasDrive(const std::string& p) {
    return p.size() >= 2 && isalpha(static_cast<unsigned char>(p[0])) && p[1] == ':';
}

// "/a/./b//c/../d" as "/a/b/d": what GetFullPathName does to the names, without
// asking the file system. ".." at the root stays at the root.
std::string Normalised(const std::string& rooted) {
    std::vector<std::string> parts;
    size_t at = 0;
    while (at <= rooted.size()) {
        size_t end = rooted.find('/', at);
        if (end == std::string::npos)
            end = rooted.size();
        std::string part = rooted.substr(at, end - at);
        if (part == "..") {
            if (!parts.empty())
                parts.pop_back();
        } else if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        at = end + 1;
    }
    std::string out;
    for (const std::string& part : parts)
        out += "/" + part;
    // A trailing separator names a folder and stays.
    if (!parts.empty() && !rooted.empty() && rooted.back() == '/')
        out += '/';
    return out.empty() ? "/" : out;
}

} // namespace

std::string HostPath(const char* winPath) {
    if (winPath == nullptr)
        return std::string();
    std::string p(winPath);
    std::replace(p.begin(), p.end(), '\\', '/');
    if (HasDrive(p) && (p[0] == 'z' || p[0] == 'Z')) {
        // "Z:x" is relative to Z:'s current folder, which is the process's own.
        std::string rest = p.substr(2);
        return rest.empty() ? "/" : rest;
    }
    if (HasDrive(p)) {
        const char* root = getenv("TW_DRIVE_ROOT");
        std::string out = (root && *root) ? root : "/var/lib/tidewell/drives";
        out += '/';
        out += static_cast<char>(tolower(static_cast<unsigned char>(p[0])));
        std::string rest = p.substr(2);
        if (!rest.empty() && rest[0] != '/')
            out += '/';
        out += rest;
        return out;
    }
    return p;
}

std::string HostPathW(const WCHAR* winPath) {
    if (winPath == nullptr)
        return std::string();
    return HostPath(Utf16ToUtf8(winPath).c_str());
}

std::string FullWindowsPath(const std::string& path) {
    std::string p = path;
    std::replace(p.begin(), p.end(), '\\', '/');
    std::string drive = "Z:";
    if (HasDrive(p)) {
        drive = p.substr(0, 2);
        p = p.substr(2);
        // Other drives keep no current folder of their own: "C:x" is "C:\x".
        if (drive != "Z:" && drive != "z:" && (p.empty() || p[0] != '/'))
            p = "/" + p;
    }
    if (p.empty() || p[0] != '/') {
        char cwd[4096];
        if (getcwd(cwd, sizeof cwd) == nullptr)
            return std::string();
        p = std::string(cwd) + "/" + p;
    }
    std::string out = drive + Normalised(p);
    std::replace(out.begin(), out.end(), '/', '\\');
    return out;
}

} // namespace tw

using namespace tw;

extern "C" {

DWORD GetTempPathA(DWORD size, LPSTR buffer) {
    char tmp[4096];
    DWORD n = GetEnvironmentVariableA("TEMP", tmp, sizeof tmp);
    if (n == 0 || n >= sizeof tmp - 1)
        snprintf(tmp, sizeof tmp, "/tmp");
    std::string t = tmp;
    if (t.back() != '/' && t.back() != '\\')
        t += '/';
    if (buffer == nullptr || size <= t.size())
        return static_cast<DWORD>(t.size() + 1);
    memcpy(buffer, t.c_str(), t.size() + 1);
    return static_cast<DWORD>(t.size());
}

// The size with the terminator when the buffer is too small, else the length.
static DWORD handOut(const std::string& text, DWORD size, LPSTR buffer) {
    if (buffer == nullptr || size <= text.size())
        return static_cast<DWORD>(text.size() + 1);
    memcpy(buffer, text.c_str(), text.size() + 1);
    return static_cast<DWORD>(text.size());
}

DWORD GetCurrentDirectoryA(DWORD size, LPSTR buffer) {
    try {
        std::string cwd = FullWindowsPath(".");
        if (cwd.empty()) {
            SetLastError(ErrorFromErrno(errno));
            return 0;
        }
        // The root keeps its separator; other folders have none at the end.
        if (cwd.size() > 3 && cwd.back() == '\\')
            cwd.pop_back();
        return handOut(cwd, size, buffer);
    } catch (...) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return 0;
    }
}

DWORD GetFullPathNameA(LPCSTR path, DWORD size, LPSTR buffer, LPSTR* filePart) {
    if (path == nullptr || path[0] == '\0') {
        SetLastError(ERROR_INVALID_NAME);
        return 0;
    }
    try {
        std::string full = FullWindowsPath(path);
        if (full.empty()) {
            SetLastError(ErrorFromErrno(errno));
            return 0;
        }
        DWORD n = handOut(full, size, buffer);
        if (filePart != nullptr && n == full.size()) {
            size_t last = full.rfind('\\');
            *filePart = last + 1 < full.size() ? buffer + last + 1 : nullptr;
        }
        return n;
    } catch (...) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return 0;
    }
}

size_t TwLinuxHostPath(const char* windowsPath, char* buffer, size_t size) {
    try {
        std::string host = HostPath(windowsPath);
        if (buffer != nullptr && size > 0) {
            size_t n = std::min(host.size(), size - 1);
            memcpy(buffer, host.data(), n);
            buffer[n] = '\0';
        }
        return host.size();
    } catch (...) {
        return 0;
    }
}

} // extern "C"
