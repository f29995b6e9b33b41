// The operating system's display name, e.g. "Windows 10 Professional Edition (x64)".
#pragma once

#include <windows.h>

#include <string>

// What Windows reports about itself, gathered by the platform query.
struct OsVersionData {
    DWORD majorVersion = 0;
    DWORD minorVersion = 0;
    DWORD platformId = 0;
    char csdVersion[128] = {};
    WORD servicePackMajor = 0;
    WORD servicePackMinor = 0;
    WORD suiteMask = 0;
    BYTE productType = 0;  // VER_NT_WORKSTATION, ...
    bool extended = false; // the extended structure was read
    WORD processorArchitecture = 0;
    bool hasProductInfo = false; // GetProductInfo exists and answered
    DWORD productInfo = 0;       // its product-type number
    bool prefixQueryOk = false;  // a fresh extended query succeeded (legacy NT prefix)
};

// Registry reads the naming may need; each returns false when the value cannot be read.
struct OsNameReaders {
    // "ProductName" of SOFTWARE\Microsoft\Windows NT\CurrentVersion.
    bool (*productName)(std::string& out) = nullptr;
    // "ProductType" of SYSTEM\CurrentControlSet\Control\ProductOptions (at most 1024 bytes).
    bool (*productOptionsType)(std::string& out) = nullptr;
};

// The naming itself, a pure function of the version data (and the two reads).
// Returns a new zero-filled 100-byte text, or null when no name can be had.
char* NameOperatingSystem(const OsVersionData& v, DWORD major, DWORD minor,
                          const OsNameReaders& readers);

// Queries the platform; null when the version cannot be read.
bool QueryOsVersionData(OsVersionData& v);

// Both 0: the running system's version; otherwise the pair replaces the
// version in the edition and format choice.
char* GetOSNameEx(DWORD major = 0, DWORD minor = 0);
