// Windows paths on the host, and the folders Windows names by themselves
// (temporary, current).
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

namespace tw {

std::string HostPath(const char* winPath) {
    if (winPath == nullptr)
        return std::string();
    std::string p(winPath);
    std::replace(p.begin(), p.end(), '\\', '/');
    if (p.size() >= 2 && isalpha(static_cast<unsigned char>(p[0])) && p[1] == ':') {
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

DWORD GetCurrentDirectoryA(DWORD size, LPSTR buffer) {
    char cwd[4096];
    if (getcwd(cwd, sizeof cwd) == nullptr) {
        SetLastError(ErrorFromErrno(errno));
        return 0;
    }
    size_t len = strlen(cwd);
    if (buffer == nullptr || size <= len)
        return static_cast<DWORD>(len + 1);
    memcpy(buffer, cwd, len + 1);
    return static_cast<DWORD>(len);
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
