// Shared pieces of the machine-facts modules (version, names, domain,
// adapters, services): reading the machine profile from the registry store
// and comparing names as Windows does. Not part of the Win32 surface.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace tw {

// Reads a value below HKEY_LOCAL_MACHINE in the 64-bit view, as the system
// itself reads its own settings. Each returns false when the key or value is
// missing, has another type, or is larger than 64 KiB.
bool ReadMachineString(const char16_t* key, const char16_t* value, std::u16string& out);
bool ReadMachineDword(const char16_t* key, const char16_t* value, DWORD& out);
bool ReadMachineMultiString(const char16_t* key, const char16_t* value,
                            std::vector<std::u16string>& out);

// Case folding of ASCII and Latin-1 letters, enough for the names this layer
// compares (services, modules, editions, product types, domains).
char16_t FoldChar(char16_t c);
bool EqualNoCase(const std::u16string& a, const std::u16string& b);

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

// The host processor as the kernel describes it (/proc/cpuinfo, or the file
// named by TW_CPUINFO): the first processor's identity and feature flags.
struct HostCpu {
    bool valid = false; // the file was read
    bool x86 = false;   // an x86 processor (family/model/stepping known)
    unsigned family = 0;
    unsigned model = 0;
    unsigned stepping = 0;
    std::vector<std::string> flags; // "flags" (x86) or "Features" (Arm) words
    bool hasFlag(const char* flag) const;
};
HostCpu ReadHostCpu();

// The host name as the machine profile or the host gives it: the DNS host
// name (first label) and the primary DNS suffix (may be empty).
std::u16string MachineDnsHostName();
std::u16string MachineDnsDomain();

// Whether a server or machine name given to an API names this computer: empty,
// ".", "localhost", or its NetBIOS, DNS or full name, with or without "\\".
bool IsLocalMachineName(const std::u16string& name);

} // namespace tw
