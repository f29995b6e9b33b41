// Files for the Linux build: CreateFile with Windows' share modes (tracked
// within the process), reads, writes, file pointers, sizes, byte-range locks,
// and the runtime's shared-open stream.
#include "kernel32/file_io.h"

#include "kernel32/errno_map.h"
#include "kernel32/paths.h"
#include "kernel32/share_modes.h"

#include <share.h>

#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>

namespace tw {

File::~File() {
    ShareRelease(share);
    if (fd >= 0)
        close(fd);
}

File* FileOf(HANDLE h) {
    auto* f = dynamic_cast<File*>(GetKernelObject(h));
    if (f == nullptr)
        SetLastError(ERROR_INVALID_HANDLE);
    return f;
}

namespace {

// How much is written to a file before its disk writes are started (WriteFile).
const uint64_t kWriteBehindBytes = 8u << 20;

bool isDir(const std::string& p) {
    struct stat st;
    return stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

} // namespace

bool PathExists(const std::string& p) {
    struct stat st;
    return stat(p.c_str(), &st) == 0;
}

HANDLE CreateFileHost(const std::string& path, DWORD access, DWORD share, DWORD disposition,
                      DWORD flags) {
    if (path.empty()) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    DWORD bits = ShareBitsOf(access);
    bool wantRead = (bits & FILE_SHARE_READ) != 0;
    bool wantWrite = (bits & FILE_SHARE_WRITE) != 0;
    if (isDir(path)) {
        if (!(flags & FILE_FLAG_BACKUP_SEMANTICS) || wantWrite) {
            SetLastError(ERROR_ACCESS_DENIED);
            return INVALID_HANDLE_VALUE;
        }
        wantWrite = false;
    }
    int oflags = O_CLOEXEC;
    oflags |= wantWrite ? (wantRead ? O_RDWR : O_WRONLY) : O_RDONLY;
    bool existed = PathExists(path);
    switch (disposition) {
    case CREATE_NEW:
        oflags |= O_CREAT | O_EXCL;
        break;
    case CREATE_ALWAYS:
    case OPEN_ALWAYS:
        oflags |= O_CREAT;
        break;
    case OPEN_EXISTING:
        break;
    case TRUNCATE_EXISTING:
        if (!wantWrite) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return INVALID_HANDLE_VALUE;
        }
        break;
    default:
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    if ((oflags & O_CREAT) && !wantWrite) {
        // Creating needs a descriptor that may write the new file.
        oflags = (oflags & ~O_ACCMODE) | O_RDWR;
    }
    int fd = open(path.c_str(), oflags, 0666);
    if (fd < 0) {
        DWORD err = ErrorFromErrno(errno, path);
        if (errno == EEXIST)
            err = ERROR_FILE_EXISTS;
        SetLastError(err);
        return INVALID_HANDLE_VALUE;
    }
    ShareEntry* entry = ShareAcquire(fd, access, share);
    if (entry == nullptr) {
        DWORD err = GetLastError();
        close(fd);
        if (!existed)
            unlink(path.c_str());
        SetLastError(err);
        return INVALID_HANDLE_VALUE;
    }
    // Truncate only once sharing has been granted, so a refused open changes nothing.
    if (disposition == CREATE_ALWAYS || disposition == TRUNCATE_EXISTING) {
        if (ftruncate(fd, 0) != 0) {
            DWORD err = ErrorFromErrno(errno, path);
            ShareRelease(entry);
            close(fd);
            SetLastError(err);
            return INVALID_HANDLE_VALUE;
        }
    }
    auto* f = new File();
    f->fd = fd;
    f->canRead = wantRead;
    f->canWrite = wantWrite;
    f->share = entry;
    SetLastError((existed && (disposition == CREATE_ALWAYS || disposition == OPEN_ALWAYS))
                     ? ERROR_ALREADY_EXISTS
                     : ERROR_SUCCESS);
    return static_cast<KernelObject*>(f);
}

} // namespace tw

using namespace tw;

namespace {

// ---- the runtime's shared-open stream ----

struct Stream {
    int fd;
    ShareEntry* share;
};

ssize_t streamRead(void* cookie, char* buf, size_t size) {
    auto* s = static_cast<Stream*>(cookie);
    ssize_t n;
    do {
        n = read(s->fd, buf, size);
    } while (n < 0 && errno == EINTR);
    return n;
}

ssize_t streamWrite(void* cookie, const char* buf, size_t size) {
    auto* s = static_cast<Stream*>(cookie);
    size_t done = 0;
    while (done < size) {
        ssize_t n = write(s->fd, buf + done, size - done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return done ? static_cast<ssize_t>(done) : -1;
        }
        done += static_cast<size_t>(n);
    }
    return static_cast<ssize_t>(done);
}

int streamSeek(void* cookie, off64_t* pos, int whence) {
    auto* s = static_cast<Stream*>(cookie);
    off64_t r = lseek64(s->fd, *pos, whence);
    if (r < 0)
        return -1;
    *pos = r;
    return 0;
}

int streamClose(void* cookie) {
    auto* s = static_cast<Stream*>(cookie);
    ShareRelease(s->share);
    int r = close(s->fd);
    delete s;
    return r;
}

} // namespace

extern "C" {

HANDLE CreateFileA(LPCSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES, DWORD disposition,
                   DWORD flags, HANDLE) {
    if (path == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    return CreateFileHost(HostPath(path), access, share, disposition, flags);
}

HANDLE CreateFileW(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES,
                   DWORD disposition, DWORD flags, HANDLE) {
    if (path == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    return CreateFileHost(HostPathW(path), access, share, disposition, flags);
}

BOOL ReadFile(HANDLE h, LPVOID buffer, DWORD toRead, LPDWORD readOut, void*) {
    File* f = FileOf(h);
    if (readOut)
        *readOut = 0;
    if (f == nullptr)
        return FALSE;
    if (!f->canRead) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    if (buffer == nullptr && toRead) {
        SetLastError(ERROR_NOACCESS);
        return FALSE;
    }
    DWORD done = 0;
    while (done < toRead) {
        ssize_t n = read(f->fd, static_cast<char*>(buffer) + done, toRead - done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            SetLastError(ErrorFromErrno(errno));
            if (readOut)
                *readOut = done;
            return FALSE;
        }
        if (n == 0)
            break;
        done += static_cast<DWORD>(n);
    }
    if (readOut)
        *readOut = done;
    return TRUE;
}

BOOL WriteFile(HANDLE h, LPCVOID buffer, DWORD toWrite, LPDWORD written, void*) {
    File* f = FileOf(h);
    if (written)
        *written = 0;
    if (f == nullptr)
        return FALSE;
    if (!f->canWrite) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    if (buffer == nullptr && toWrite) {
        SetLastError(ERROR_NOACCESS);
        return FALSE;
    }
    DWORD done = 0;
    while (done < toWrite) {
        ssize_t n = write(f->fd, static_cast<const char*>(buffer) + done, toWrite - done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            SetLastError(ErrorFromErrno(errno));
            if (written)
                *written = done;
            return FALSE;
        }
        done += static_cast<DWORD>(n);
    }
    if (written)
        *written = done;
    // Written behind, as Windows' lazy writer does: every few MiB the disk
    // writes of what is not on disk yet are started, without waiting for
    // them, so that FlushFileBuffers after a large download waits for its
    // last part only instead of all of it.
    f->writtenBehind += done;
    if (f->writtenBehind >= kWriteBehindBytes) {
        f->writtenBehind = 0;
        sync_file_range(f->fd, 0, 0, SYNC_FILE_RANGE_WRITE);
    }
    return TRUE;
}

BOOL FlushFileBuffers(HANDLE h) {
    File* f = FileOf(h);
    if (f == nullptr)
        return FALSE;
    if (fdatasync(f->fd) != 0 && errno != EINVAL) {
        SetLastError(ErrorFromErrno(errno));
        return FALSE;
    }
    return TRUE;
}

BOOL SetEndOfFile(HANDLE h) {
    File* f = FileOf(h);
    if (f == nullptr)
        return FALSE;
    if (!f->canWrite) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    off_t pos = lseek(f->fd, 0, SEEK_CUR);
    if (pos < 0 || ftruncate(f->fd, pos) != 0) {
        SetLastError(ErrorFromErrno(errno));
        return FALSE;
    }
    return TRUE;
}

BOOL SetFilePointerEx(HANDLE h, LARGE_INTEGER distance, PLARGE_INTEGER newPos, DWORD method) {
    File* f = FileOf(h);
    if (f == nullptr)
        return FALSE;
    int whence = method == FILE_BEGIN     ? SEEK_SET
                 : method == FILE_CURRENT ? SEEK_CUR
                 : method == FILE_END     ? SEEK_END
                                          : -1;
    if (whence < 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    off_t cur = lseek(f->fd, 0, SEEK_CUR);
    off_t base = whence == SEEK_SET ? 0 : whence == SEEK_CUR ? cur : lseek(f->fd, 0, SEEK_END);
    lseek(f->fd, cur, SEEK_SET);
    if (base + distance.QuadPart < 0) {
        SetLastError(ERROR_NEGATIVE_SEEK);
        return FALSE;
    }
    off_t r = lseek(f->fd, static_cast<off_t>(base + distance.QuadPart), SEEK_SET);
    if (r < 0) {
        SetLastError(ErrorFromErrno(errno));
        return FALSE;
    }
    if (newPos)
        newPos->QuadPart = r;
    return TRUE;
}

DWORD SetFilePointer(HANDLE h, LONG distance, PLONG distanceHigh, DWORD method) {
    LARGE_INTEGER d, out;
    if (distanceHigh) {
        d.LowPart = static_cast<DWORD>(distance);
        d.HighPart = *distanceHigh;
    } else {
        d.QuadPart = distance;
    }
    if (!SetFilePointerEx(h, d, &out, method))
        return INVALID_SET_FILE_POINTER;
    if (distanceHigh)
        *distanceHigh = out.HighPart;
    SetLastError(ERROR_SUCCESS);
    return out.LowPart;
}

BOOL GetFileSizeEx(HANDLE h, PLARGE_INTEGER size) {
    File* f = FileOf(h);
    if (f == nullptr)
        return FALSE;
    struct stat st;
    if (fstat(f->fd, &st) != 0) {
        SetLastError(ErrorFromErrno(errno));
        return FALSE;
    }
    if (size)
        size->QuadPart = st.st_size;
    return TRUE;
}

// Byte-range locks on open file description locks: other processes and other
// handles of this one see them, and the system drops them when the handle is
// closed or the process dies, as Windows does. Exclusive locks need a handle
// with write access here.
static BOOL rangeLock(HANDLE h, DWORD offsetLow, DWORD offsetHigh, DWORD lengthLow,
                      DWORD lengthHigh, bool lock) {
    File* f = FileOf(h);
    if (f == nullptr)
        return FALSE;
    const uint64_t offset = (static_cast<uint64_t>(offsetHigh) << 32) | offsetLow;
    const uint64_t length = (static_cast<uint64_t>(lengthHigh) << 32) | lengthLow;
    if (length == 0 || offset > static_cast<uint64_t>(INT64_MAX) ||
        length > static_cast<uint64_t>(INT64_MAX) - offset) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    auto held = std::find(f->locks.begin(), f->locks.end(), std::make_pair(offset, length));
    if (lock) {
        // Locks do not nest: a region overlapping one this handle holds is refused.
        for (const auto& r : f->locks)
            if (offset < r.first + r.second && r.first < offset + length) {
                SetLastError(ERROR_LOCK_VIOLATION);
                return FALSE;
            }
        if (!f->canWrite) {
            SetLastError(ERROR_ACCESS_DENIED);
            return FALSE;
        }
    } else if (held == f->locks.end()) {
        SetLastError(ERROR_NOT_LOCKED);
        return FALSE;
    }
    struct flock fl;
    memset(&fl, 0, sizeof fl);
    fl.l_type = lock ? F_WRLCK : F_UNLCK;
    fl.l_whence = SEEK_SET;
    fl.l_start = static_cast<off_t>(offset);
    fl.l_len = static_cast<off_t>(length);
    if (fcntl(f->fd, F_OFD_SETLK, &fl) != 0) {
        SetLastError(errno == EAGAIN || errno == EACCES ? ERROR_LOCK_VIOLATION
                                                        : ErrorFromErrno(errno));
        return FALSE;
    }
    if (lock)
        f->locks.emplace_back(offset, length);
    else
        f->locks.erase(held);
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL LockFile(HANDLE h, DWORD offsetLow, DWORD offsetHigh, DWORD lengthLow, DWORD lengthHigh) {
    return rangeLock(h, offsetLow, offsetHigh, lengthLow, lengthHigh, true);
}

BOOL UnlockFile(HANDLE h, DWORD offsetLow, DWORD offsetHigh, DWORD lengthLow, DWORD lengthHigh) {
    return rangeLock(h, offsetLow, offsetHigh, lengthLow, lengthHigh, false);
}

DWORD GetFileSize(HANDLE h, LPDWORD high) {
    LARGE_INTEGER s;
    if (!GetFileSizeEx(h, &s))
        return INVALID_FILE_SIZE;
    if (high)
        *high = static_cast<DWORD>(s.HighPart);
    SetLastError(ERROR_SUCCESS);
    return s.LowPart;
}

FILE* _fsopen(const char* path, const char* mode, int shflag) {
    if (path == nullptr || mode == nullptr) {
        errno = EINVAL;
        return nullptr;
    }
    bool plus = strchr(mode, '+') != nullptr;
    int oflags = O_CLOEXEC;
    DWORD access = 0;
    switch (mode[0]) {
    case 'r':
        oflags |= plus ? O_RDWR : O_RDONLY;
        access = GENERIC_READ | (plus ? GENERIC_WRITE : 0);
        break;
    case 'w':
        oflags |= (plus ? O_RDWR : O_WRONLY) | O_CREAT;
        access = GENERIC_WRITE | (plus ? GENERIC_READ : 0);
        break;
    case 'a':
        oflags |= (plus ? O_RDWR : O_WRONLY) | O_CREAT | O_APPEND;
        access = GENERIC_WRITE | (plus ? GENERIC_READ : 0);
        break;
    default:
        errno = EINVAL;
        return nullptr;
    }
    DWORD share = 0;
    switch (shflag) {
    case _SH_DENYNO:
        share = FILE_SHARE_READ | FILE_SHARE_WRITE;
        break;
    case _SH_DENYWR:
        share = FILE_SHARE_READ;
        break;
    case _SH_DENYRD:
        share = FILE_SHARE_WRITE;
        break;
    case _SH_DENYRW:
        share = 0;
        break;
    default:
        errno = EINVAL;
        return nullptr;
    }
    std::string host = HostPath(path);
    int fd = open(host.c_str(), oflags, 0666);
    if (fd < 0)
        return nullptr;
    ShareEntry* entry = ShareAcquire(fd, access, share);
    if (entry == nullptr) {
        close(fd);
        errno = EACCES;
        return nullptr;
    }
    if (mode[0] == 'w' && ftruncate(fd, 0) != 0) {
        int e = errno;
        ShareRelease(entry);
        close(fd);
        errno = e;
        return nullptr;
    }
    auto* s = new Stream{fd, entry};
    cookie_io_functions_t io{streamRead, streamWrite, streamSeek, streamClose};
    // glibc's cookie streams take the C mode letters only.
    std::string cmode(1, mode[0]);
    if (plus)
        cmode += '+';
    FILE* f = fopencookie(s, cmode.c_str(), io);
    if (f == nullptr) {
        ShareRelease(entry);
        close(fd);
        delete s;
        return nullptr;
    }
    return f;
}

} // extern "C"
