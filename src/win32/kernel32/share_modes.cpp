// Windows' share modes, kept within the process: an open that conflicts with
// one already held is refused with ERROR_SHARING_VIOLATION.
#include "kernel32/share_modes.h"

#include "kernel32/errno_map.h"

#include <errno.h>
#include <sys/stat.h>

#include <map>
#include <mutex>

namespace tw {

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
} // namespace

// Access rights that take part in sharing, expressed as FILE_SHARE_* bits.
DWORD ShareBitsOf(DWORD access) {
    DWORD bits = 0;
    if (access & (GENERIC_READ | GENERIC_ALL | FILE_READ_DATA | FILE_EXECUTE | GENERIC_EXECUTE))
        bits |= FILE_SHARE_READ;
    if (access & (GENERIC_WRITE | GENERIC_ALL | FILE_WRITE_DATA | FILE_APPEND_DATA))
        bits |= FILE_SHARE_WRITE;
    if (access & (DELETE | GENERIC_ALL))
        bits |= FILE_SHARE_DELETE;
    return bits;
}

ShareEntry* ShareAcquire(int fd, DWORD access, DWORD share) {
    struct stat st;
    if (fstat(fd, &st) != 0) {
        SetLastError(ErrorFromErrno(errno));
        return nullptr;
    }
    DWORD bits = ShareBitsOf(access);
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
