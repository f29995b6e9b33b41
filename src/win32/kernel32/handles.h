// Shared pieces of the Linux Win32 layer (not part of the Win32 surface).
#pragma once

#include <windows.h>

#include <string>

namespace tw {

// Kernel objects behind HANDLE values. Every live object is registered so that
// a stale or foreign handle is refused with ERROR_INVALID_HANDLE, never used.
struct KernelObject {
    KernelObject();
    virtual ~KernelObject();
    KernelObject(const KernelObject&) = delete;
    KernelObject& operator=(const KernelObject&) = delete;
    // Waits until signalled; returns WAIT_OBJECT_0, WAIT_TIMEOUT or WAIT_FAILED.
    virtual DWORD wait(DWORD milliseconds);
};

// Registers/validates handles of any kind (also used by the other modules of
// this layer for their own handle types).
void RegisterHandle(const void* handle);
void UnregisterHandle(const void* handle);
bool IsRegisteredHandle(const void* handle);
// Returns the object when `handle` is a live kernel object, else null (and sets
// ERROR_INVALID_HANDLE).
KernelObject* GetKernelObject(HANDLE handle);

// Win32 error code for an errno value of a file operation on `hostPath`.
DWORD ErrorFromErrno(int err, const std::string& hostPath = std::string());

// Windows path (backslashes, optional drive letter) to the host path. A drive
// "X:" maps to $TW_DRIVE_ROOT/x (default /var/lib/tidewell/drives/x).
std::string HostPath(const char* winPath);
std::string HostPathW(const WCHAR* winPath);

// UTF-8 <-> UTF-16 without Win32 error reporting.
std::u16string Utf8ToUtf16(const std::string& s);
std::string Utf16ToUtf8(const std::u16string& s);
std::string Utf16ToUtf8(const WCHAR* s);

// In-process share-mode bookkeeping, keyed by the file's device and inode.
struct ShareEntry;
// Returns a token for a granted open, or null with the last error set to
// ERROR_SHARING_VIOLATION when the open conflicts with one already held.
ShareEntry* ShareAcquire(int fd, DWORD access, DWORD share);
void ShareRelease(ShareEntry* entry);
// True when some open of the file does not share delete access.
bool ShareBlocksDelete(const std::string& hostPath);

// Milliseconds since 1970 of the current time.
long long NowUnixMillis();

} // namespace tw
