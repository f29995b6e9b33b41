// The machine's version, edition and architecture as GetVersionExA,
// GetProductInfo and IsWow64Process report them, for the other modules of the
// Linux Win32 layer (not part of the Win32 surface).
#pragma once

#include <windows.h>

#include <string>

namespace tw {

// Version data of the machine profile, as GetVersionExA reports it.
struct MachineVersion {
    DWORD major = 0;
    DWORD minor = 0;
    DWORD build = 0;
    DWORD platform = 0;
    std::string csdVersion; // "Service Pack 1"; at most 127 bytes
    WORD servicePackMajor = 0;
    WORD servicePackMinor = 0;
    WORD suiteMask = 0;
    BYTE productType = 0;
    // Whether GetVersionExA accepts OSVERSIONINFOEXA (NT 4.0 SP6 and later).
    bool extendedInfo = true;
};
MachineVersion ReadMachineVersion();

// The PRODUCT_* number of the profile's EditionID (GetProductInfo).
DWORD MachineProductType();
// This process is 32-bit on an AMD64 machine.
bool MachineIsWow64();

} // namespace tw
