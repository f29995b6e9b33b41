// Files and folders for the Linux build: CreateFile with Windows' share modes
// (tracked within the process), reads, writes, sizes, find, copy, delete,
// folders, and the runtime's shared-open stream.
#include "kernel32/handles.h"

#include <direct.h>
#include <share.h>
#include <shlobj.h>

#include <ctype.h>
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <mutex>
#include <vector>

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

static std::string parentOf(const std::string& path) {
    std::string p = path;
    while (p.size() > 1 && p.back() == '/')
        p.pop_back();
    size_t slash = p.rfind('/');
    if (slash == std::string::npos)
        return ".";
    if (slash == 0)
        return "/";
    return p.substr(0, slash);
}

DWORD ErrorFromErrno(int err, const std::string& hostPath) {
    switch (err) {
    case 0:
        return ERROR_SUCCESS;
    case ENOENT: {
        if (!hostPath.empty()) {
            struct stat st;
            if (stat(parentOf(hostPath).c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
                return ERROR_PATH_NOT_FOUND;
        }
        return ERROR_FILE_NOT_FOUND;
    }
    case ENOTDIR:
        return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EISDIR:
    case EROFS:
        return ERROR_ACCESS_DENIED;
    case EEXIST:
        return ERROR_ALREADY_EXISTS;
    case ENOTEMPTY:
        return ERROR_DIR_NOT_EMPTY;
    case ENOSPC:
    case EDQUOT:
        return ERROR_DISK_FULL;
    case EMFILE:
    case ENFILE:
        return ERROR_TOO_MANY_OPEN_FILES;
    case ENAMETOOLONG:
        return ERROR_FILENAME_EXCED_RANGE;
    case EBADF:
        return ERROR_INVALID_HANDLE;
    case EINVAL:
        return ERROR_INVALID_PARAMETER;
    case EBUSY:
    case ETXTBSY:
        return ERROR_BUSY;
    case ENOMEM:
        return ERROR_NOT_ENOUGH_MEMORY;
    case EIO:
        return ERROR_GEN_FAILURE;
    default:
        return ERROR_GEN_FAILURE;
    }
}

// ---- share modes ----

struct ShareEntry {
    dev_t dev;
    ino_t ino;
    DWORD access; // FILE_SHARE_* bits standing for read, write, delete access
    DWORD share;
};

namespace {
std::mutex g_shareMutex;
std::multimap<std::pair<dev_t, ino_t>, ShareEntry*>& shareTable() {
    static auto* t = new std::multimap<std::pair<dev_t, ino_t>, ShareEntry*>();
    return *t;
}

// Access rights that take part in sharing, expressed as FILE_SHARE_* bits.
DWORD shareBitsOf(DWORD access) {
    DWORD bits = 0;
    if (access & (GENERIC_READ | GENERIC_ALL | FILE_READ_DATA | FILE_EXECUTE | GENERIC_EXECUTE))
        bits |= FILE_SHARE_READ;
    if (access & (GENERIC_WRITE | GENERIC_ALL | FILE_WRITE_DATA | FILE_APPEND_DATA))
        bits |= FILE_SHARE_WRITE;
    if (access & (DELETE | GENERIC_ALL))
        bits |= FILE_SHARE_DELETE;
    return bits;
}
} // namespace

ShareEntry* ShareAcquire(int fd, DWORD access, DWORD share) {
    struct stat st;
    if (fstat(fd, &st) != 0) {
        SetLastError(ErrorFromErrno(errno));
        return nullptr;
    }
    DWORD bits = shareBitsOf(access);
    auto* e = new ShareEntry{st.st_dev, st.st_ino, bits, share};
    if (bits == 0)
        return e; // attribute-only opens take no part in sharing
    std::lock_guard<std::mutex> g(g_shareMutex);
    auto range = shareTable().equal_range({st.st_dev, st.st_ino});
    for (auto it = range.first; it != range.second; ++it) {
        const ShareEntry* o = it->second;
        if ((bits & ~o->share) != 0 || (o->access & ~share) != 0) {
            delete e;
            SetLastError(ERROR_SHARING_VIOLATION);
            return nullptr;
        }
    }
    shareTable().insert({{st.st_dev, st.st_ino}, e});
    return e;
}

void ShareRelease(ShareEntry* entry) {
    if (entry == nullptr)
        return;
    {
        std::lock_guard<std::mutex> g(g_shareMutex);
        auto range = shareTable().equal_range({entry->dev, entry->ino});
        for (auto it = range.first; it != range.second; ++it) {
            if (it->second == entry) {
                shareTable().erase(it);
                break;
            }
        }
    }
    delete entry;
}

bool ShareBlocksDelete(const std::string& hostPath) {
    struct stat st;
    if (stat(hostPath.c_str(), &st) != 0)
        return false;
    std::lock_guard<std::mutex> g(g_shareMutex);
    auto range = shareTable().equal_range({st.st_dev, st.st_ino});
    for (auto it = range.first; it != range.second; ++it) {
        if (!(it->second->share & FILE_SHARE_DELETE))
            return true;
    }
    return false;
}

} // namespace tw

using namespace tw;

namespace {

struct File : KernelObject {
    int fd = -1;
    bool canRead = false;
    bool canWrite = false;
    ShareEntry* share = nullptr;
    std::vector<std::pair<uint64_t, uint64_t>> locks; // LockFile regions: offset, length
    ~File() override {
        ShareRelease(share);
        if (fd >= 0)
            close(fd);
    }
};

File* fileOf(HANDLE h) {
    auto* f = dynamic_cast<File*>(GetKernelObject(h));
    if (f == nullptr)
        SetLastError(ERROR_INVALID_HANDLE);
    return f;
}

bool isDir(const std::string& p) {
    struct stat st;
    return stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool pathExists(const std::string& p) {
    struct stat st;
    return stat(p.c_str(), &st) == 0;
}

HANDLE createFileHost(const std::string& path, DWORD access, DWORD share, DWORD disposition,
                      DWORD flags) {
    if (path.empty()) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    DWORD bits = shareBitsOf(access);
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
    bool existed = pathExists(path);
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

bool copyHost(const std::string& from, const std::string& to, bool failIfExists) {
    HANDLE src =
        createFileHost(from, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                       OPEN_EXISTING, 0);
    if (src == INVALID_HANDLE_VALUE)
        return false;
    File* s = fileOf(src);
    struct stat sst, dst;
    fstat(s->fd, &sst);
    if (stat(to.c_str(), &dst) == 0 && dst.st_dev == sst.st_dev && dst.st_ino == sst.st_ino) {
        CloseHandle(src);
        SetLastError(ERROR_SHARING_VIOLATION);
        return false;
    }
    bool existed = pathExists(to);
    HANDLE out = createFileHost(to, GENERIC_WRITE, 0, failIfExists ? CREATE_NEW : CREATE_ALWAYS, 0);
    if (out == INVALID_HANDLE_VALUE) {
        DWORD err = GetLastError();
        CloseHandle(src);
        SetLastError(err);
        return false;
    }
    File* d = fileOf(out);
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
    if (!pathExists(from)) {
        SetLastError(ErrorFromErrno(ENOENT, from));
        return false;
    }
    if (pathExists(to) && !(flags & MOVEFILE_REPLACE_EXISTING)) {
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

// ---- find ----

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
    return createFileHost(HostPath(path), access, share, disposition, flags);
}

HANDLE CreateFileW(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES,
                   DWORD disposition, DWORD flags, HANDLE) {
    if (path == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    return createFileHost(HostPathW(path), access, share, disposition, flags);
}

BOOL ReadFile(HANDLE h, LPVOID buffer, DWORD toRead, LPDWORD readOut, void*) {
    File* f = fileOf(h);
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
    File* f = fileOf(h);
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
    return TRUE;
}

BOOL FlushFileBuffers(HANDLE h) {
    File* f = fileOf(h);
    if (f == nullptr)
        return FALSE;
    if (fdatasync(f->fd) != 0 && errno != EINVAL) {
        SetLastError(ErrorFromErrno(errno));
        return FALSE;
    }
    return TRUE;
}

BOOL SetEndOfFile(HANDLE h) {
    File* f = fileOf(h);
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
    File* f = fileOf(h);
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
    File* f = fileOf(h);
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
    File* f = fileOf(h);
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
