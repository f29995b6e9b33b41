// Copying, moving and deleting files, folders and attributes for the Linux
// build, and the runtime's and the shell's folder calls.
#include <direct.h>
#include <shlobj.h>

#include "kernel32/errno_map.h"
#include "kernel32/file_io.h"
#include "kernel32/paths.h"
#include "kernel32/share_modes.h"
#include "kernel32/text.h"

#include <ctype.h>
#include <errno.h>
#include <stdio.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>

using namespace tw;

namespace {

bool copyHost(const std::string& from, const std::string& to, bool failIfExists) {
    HANDLE src =
        CreateFileHost(from, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                       OPEN_EXISTING, 0);
    if (src == INVALID_HANDLE_VALUE)
        return false;
    File* s = FileOf(src);
    struct stat sst, dst;
    fstat(s->fd, &sst);
    if (stat(to.c_str(), &dst) == 0 && dst.st_dev == sst.st_dev && dst.st_ino == sst.st_ino) {
        CloseHandle(src);
        SetLastError(ERROR_SHARING_VIOLATION);
        return false;
    }
    bool existed = PathExists(to);
    HANDLE out = CreateFileHost(to, GENERIC_WRITE, 0, failIfExists ? CREATE_NEW : CREATE_ALWAYS, 0);
    if (out == INVALID_HANDLE_VALUE) {
        DWORD err = GetLastError();
        CloseHandle(src);
        SetLastError(err);
        return false;
    }
    File* d = FileOf(out);
    off_t remaining = sst.st_size;
    DWORD err = ERROR_SUCCESS;
    while (remaining > 0) {
        ssize_t n = copy_file_range(s->fd, nullptr, d->fd, nullptr,
                                    static_cast<size_t>(std::min<off_t>(remaining, 1 << 30)), 0);
        if (n < 0 && (errno == EXDEV || errno == ENOSYS || errno == EINVAL))
            n = sendfile(d->fd, s->fd, nullptr,
                         static_cast<size_t>(std::min<off_t>(remaining, 1 << 30)));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            err = ErrorFromErrno(errno, to);
            break;
        }
        if (n == 0)
            break; // the source shrank while copying
        remaining -= n;
    }
    fchmod(d->fd, sst.st_mode & 07777);
    CloseHandle(out);
    CloseHandle(src);
    if (err != ERROR_SUCCESS) {
        // A failed copy leaves no half-written destination behind.
        if (!existed)
            unlink(to.c_str());
        SetLastError(err);
        return false;
    }
    SetLastError(ERROR_SUCCESS);
    return true;
}

bool deleteHost(const std::string& path) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) {
        SetLastError(ErrorFromErrno(errno, path));
        return false;
    }
    if (S_ISDIR(st.st_mode)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return false;
    }
    if (ShareBlocksDelete(path)) {
        SetLastError(ERROR_SHARING_VIOLATION);
        return false;
    }
    if (unlink(path.c_str()) != 0) {
        SetLastError(ErrorFromErrno(errno, path));
        return false;
    }
    return true;
}

bool moveHost(const std::string& from, const std::string& to, DWORD flags) {
    if (!PathExists(from)) {
        SetLastError(ErrorFromErrno(ENOENT, from));
        return false;
    }
    if (PathExists(to) && !(flags & MOVEFILE_REPLACE_EXISTING)) {
        SetLastError(ERROR_ALREADY_EXISTS);
        return false;
    }
    if (rename(from.c_str(), to.c_str()) == 0)
        return true;
    if (errno == EXDEV && (flags & MOVEFILE_COPY_ALLOWED)) {
        if (!copyHost(from, to, false))
            return false;
        return deleteHost(from);
    }
    SetLastError(ErrorFromErrno(errno, to));
    return false;
}

bool mkdirHost(const std::string& path) {
    if (mkdir(path.c_str(), 0777) != 0) {
        SetLastError(ErrorFromErrno(errno, path));
        return false;
    }
    return true;
}

bool rmdirHost(const std::string& path) {
    if (rmdir(path.c_str()) != 0) {
        SetLastError(errno == ENOTDIR ? ERROR_DIRECTORY : ErrorFromErrno(errno, path));
        return false;
    }
    return true;
}

DWORD attributesHost(const std::string& path) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) {
        SetLastError(ErrorFromErrno(errno, path));
        return INVALID_FILE_ATTRIBUTES;
    }
    DWORD a = S_ISDIR(st.st_mode) ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE;
    if (access(path.c_str(), W_OK) != 0 && !S_ISDIR(st.st_mode))
        a |= FILE_ATTRIBUTE_READONLY;
    return a;
}

} // namespace

extern "C" {

BOOL DeleteFileA(LPCSTR path) {
    return path && deleteHost(HostPath(path));
}
BOOL DeleteFileW(LPCWSTR path) {
    return path && deleteHost(HostPathW(path));
}

BOOL CopyFileA(LPCSTR from, LPCSTR to, BOOL failIfExists) {
    if (!from || !to) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return copyHost(HostPath(from), HostPath(to), failIfExists != FALSE);
}

BOOL CopyFileW(LPCWSTR from, LPCWSTR to, BOOL failIfExists) {
    if (!from || !to) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return copyHost(HostPathW(from), HostPathW(to), failIfExists != FALSE);
}

BOOL MoveFileExA(LPCSTR from, LPCSTR to, DWORD flags) {
    if (!from || !to) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return moveHost(HostPath(from), HostPath(to), flags);
}

BOOL MoveFileExW(LPCWSTR from, LPCWSTR to, DWORD flags) {
    if (!from || !to) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return moveHost(HostPathW(from), HostPathW(to), flags);
}

BOOL CreateDirectoryA(LPCSTR path, LPSECURITY_ATTRIBUTES) {
    return path && mkdirHost(HostPath(path));
}
BOOL CreateDirectoryW(LPCWSTR path, LPSECURITY_ATTRIBUTES) {
    return path && mkdirHost(HostPathW(path));
}
BOOL RemoveDirectoryA(LPCSTR path) {
    return path && rmdirHost(HostPath(path));
}
BOOL RemoveDirectoryW(LPCWSTR path) {
    return path && rmdirHost(HostPathW(path));
}

DWORD GetFileAttributesA(LPCSTR path) {
    if (!path) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_FILE_ATTRIBUTES;
    }
    return attributesHost(HostPath(path));
}
DWORD GetFileAttributesW(LPCWSTR path) {
    if (!path) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_FILE_ATTRIBUTES;
    }
    return attributesHost(HostPathW(path));
}

int _mkdir(const char* path) {
    if (path == nullptr) {
        errno = EINVAL;
        return -1;
    }
    return mkdir(HostPath(path).c_str(), 0777);
}

int SHCreateDirectoryExW(HWND, LPCWSTR path, const SECURITY_ATTRIBUTES*) {
    if (path == nullptr)
        return ERROR_BAD_PATHNAME;
    std::string win = Utf16ToUtf8(path);
    bool absolute =
        (win.size() >= 2 && isalpha(static_cast<unsigned char>(win[0])) && win[1] == ':') ||
        (!win.empty() && (win[0] == '/' || win[0] == '\\'));
    if (!absolute)
        return ERROR_BAD_PATHNAME;
    std::string host = HostPath(win.c_str());
    while (host.size() > 1 && host.back() == '/')
        host.pop_back();
    struct stat st;
    if (stat(host.c_str(), &st) == 0)
        return S_ISDIR(st.st_mode) ? ERROR_ALREADY_EXISTS : ERROR_FILE_EXISTS;
    // Create each missing level from the top down.
    for (size_t i = 1; i <= host.size(); ++i) {
        if (i == host.size() || host[i] == '/') {
            std::string part = host.substr(0, i);
            if (stat(part.c_str(), &st) == 0) {
                if (!S_ISDIR(st.st_mode))
                    return ERROR_PATH_NOT_FOUND;
                continue;
            }
            if (mkdir(part.c_str(), 0777) != 0 && errno != EEXIST)
                return static_cast<int>(ErrorFromErrno(errno, part));
        }
    }
    return ERROR_SUCCESS;
}

} // extern "C"
