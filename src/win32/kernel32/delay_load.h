// Shared libraries bound on first use, the Linux counterpart of Windows'
// delay-loaded DLLs: a run that never makes a request never pays for loading
// libcurl and OpenSSL with their dependencies, nor for libxml2 when no
// document is read (not part of the Win32 surface).
#pragma once

#include <windows.h>

#include <atomic>

namespace tw {

// One library, named by the soname the build was made against.
struct DelayLoaded {
    const char* soname;
    std::atomic<void*> handle{nullptr};
};

// The libraries the layer binds on first use.
extern DelayLoaded g_libcurl;
extern DelayLoaded g_libssl;
extern DelayLoaded g_libcrypto;

// Loads `lib` unless it is loaded already; false with *error
// ERROR_MOD_NOT_FOUND when it cannot be, as for a missing DLL. A failed load
// is tried again by the next call.
bool DelayLoadLibrary(DelayLoaded& lib, DWORD* error);

// The address of `name` in `lib`, loading it first; null with *error
// ERROR_MOD_NOT_FOUND (no library) or ERROR_PROC_NOT_FOUND (no such entry
// point), as Windows reports a missing DLL or entry point.
void* DelayLoadSymbol(DelayLoaded& lib, const char* name, DWORD* error);

// Loads a library file for LoadLibraryA: by its name through the system's
// search, or from the folder TwLinuxSetLibraryFolder names. Null when it
// cannot be loaded.
void* OpenLibraryFile(const char* file);

} // namespace tw
