// The machine profile: the values a Windows machine keeps about itself in its
// registry (version, names, domain, processor), read through the registry
// API as the system reads its own settings, and names compared as Windows
// compares them. Shared by the machine-facts modules of kernel32, advapi32
// and netapi32 (not part of the Win32 surface).
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

} // namespace tw
