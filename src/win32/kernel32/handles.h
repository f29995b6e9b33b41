// The handle registry of the Linux Win32 layer (not part of the Win32 surface).
#pragma once

#include <windows.h>

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

} // namespace tw
