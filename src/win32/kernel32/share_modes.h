// In-process share-mode bookkeeping, keyed by the file's device and inode
// (not part of the Win32 surface).
#pragma once

#include <windows.h>

#include <string>

namespace tw {

struct ShareEntry;

// Access rights that take part in sharing, expressed as FILE_SHARE_* bits.
DWORD ShareBitsOf(DWORD access);
// Returns a token for a granted open, or null with the last error set to
// ERROR_SHARING_VIOLATION when the open conflicts with one already held.
ShareEntry* ShareAcquire(int fd, DWORD access, DWORD share);
void ShareRelease(ShareEntry* entry);
// True when some open of the file does not share delete access.
bool ShareBlocksDelete(const std::string& hostPath);

} // namespace tw
