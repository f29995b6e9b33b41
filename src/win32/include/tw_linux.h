// Controls of the Linux implementation that have no Windows counterpart.
// Only tools and tests include this; subsystem code never does.
#pragma once

#include <windows.h>

#include <stddef.h>

// Lengths of registry names in characters, without the terminator, as Windows
// documents them: one key name (a path component) and a value name.
#define TW_REG_MAX_KEY_NAME 255
#define TW_REG_MAX_VALUE_NAME 16383

#ifdef __cplusplus
extern "C" {
#endif

// The program is a 32-bit Windows process; twreg behaves like a 64-bit tool.
// Decides the default registry view and what IsWow64Process answers.
void TwLinuxSetProcessIs64Bit(int is64);
int TwLinuxProcessIs64Bit(void);

// Closes the registry database so that the next call opens the one named by
// TW_REGISTRY afresh (tests switch databases within one process).
void TwLinuxRegistryReopen(void);

// Why the registry database could not be opened or created, for a person:
// the file and the reason ("/var/lib/tidewell/registry.db: unable to open
// database file (Permission denied)"). Registry calls then answer
// ERROR_REGISTRY_IO_FAILED or ERROR_REGISTRY_CORRUPT. Copies as snprintf does
// and returns the whole length; 0 when the last open succeeded or none was tried.
size_t TwLinuxRegistryOpenProblem(char* buffer, size_t size);

// Why this thread's last registry call that answered ERROR_REGISTRY_IO_FAILED
// or ERROR_REGISTRY_CORRUPT failed, in words ("the registry database is busy:
// another process held it for 10 s"); empty before any such failure. The text
// stays valid until the thread's next registry call.
const char* TwLinuxRegistryFailure(void);

// Groups every registry call the calling thread makes until
// TwLinuxRegistryEndBatch into one transaction of the registry database: all
// of them take effect or none does. Other threads wait until the batch ends.
// Not nestable: a second begin answers ERROR_INVALID_FUNCTION.
LSTATUS TwLinuxRegistryBeginBatch(void);
// Commits (commit TRUE) or rolls back the batch; returns the commit's result.
LSTATUS TwLinuxRegistryEndBatch(BOOL commit);

// Upper-cases `length` characters of a key or value name in place, as the
// registry does when it compares names: two names are the same name when
// their folded forms are equal.
void TwLinuxRegistryFoldName(WCHAR* name, size_t length);

// The host path of a Windows path: backslashes become slashes, drive "Z:" is
// the host's root (as under Wine) and another drive "X:" maps to
// $TW_DRIVE_ROOT/x (default /var/lib/tidewell/drives/x), as the file calls map
// it. (GetFullPathNameA goes the other way: a path of this system becomes
// "Z:\...".) Writes at most `size` bytes, terminator included, and
// returns the length of the whole path without its terminator, as snprintf
// does; 0 when the path cannot be mapped.
size_t TwLinuxHostPath(const char* windowsPath, char* buffer, size_t size);

// The machine-profile values this process had to assume because the
// registry store lacks them, each once, in the order first met: the key below
// HKEY_LOCAL_MACHINE, the value, the answer given in its place and where that
// came from ("default profile" or "this host"). Forget starts the list afresh.
// A process started with TW_RUN_REPORT naming a file writes there, as it
// exits, its full 32-bit exit code and this list (see kernel32/run_report.cpp).
typedef void (*TwLinuxAssumptionFn)(void* context, const char* key, const char* value,
                                    const char* answer, const char* source);
void TwLinuxListProfileAssumptions(TwLinuxAssumptionFn fn, void* context);
void TwLinuxForgetProfileAssumptions(void);

// The folder the layer loads its on-demand libraries from (libcurl and
// OpenSSL behind WinHTTP and CryptoAPI, and what LoadLibraryA loads) instead
// of the system's search; NULL restores the system's. Applies to libraries
// not loaded yet: an empty folder shows what a machine without them does.
void TwLinuxSetLibraryFolder(const char* path);

#ifdef __cplusplus
}
#endif
