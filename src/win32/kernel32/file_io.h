// Open files of the Linux Win32 layer, shared by the file calls (not part of
// the Win32 surface).
#pragma once

#include <windows.h>

#include "handles.h"

#include <stdint.h>

#include <string>
#include <utility>
#include <vector>

namespace tw {

struct ShareEntry;

// The object behind a HANDLE that CreateFile returned.
struct File : KernelObject {
    int fd = -1;
    bool canRead = false;
    bool canWrite = false;
    ShareEntry* share = nullptr;
    std::vector<std::pair<uint64_t, uint64_t>> locks; // LockFile regions: offset, length
    uint64_t writtenBehind = 0; // bytes written since the disk writes were last started
    ~File() override;
};

// The file behind `h`, or null with the last error ERROR_INVALID_HANDLE.
File* FileOf(HANDLE h);

// CreateFile on a host path, with Windows' dispositions, share modes and last
// errors.
HANDLE CreateFileHost(const std::string& path, DWORD access, DWORD share, DWORD disposition,
                      DWORD flags);

// True when something exists at the host path.
bool PathExists(const std::string& hostPath);

} // namespace tw
