// The machine profile: the values a Windows machine keeps about itself in its
// registry (version, names, domain, processor), read from the registry store
// in its 64-bit view as the system reads its own settings, and names compared
// as Windows compares them. Shared by the machine-facts modules of kernel32,
// advapi32 and netapi32 (not part of the Win32 surface).
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace tw {

// While one lives on a thread, that thread's profile reads share one read
// transaction of the store: an answer built from several values sees them as
// they were at one moment, and pays for one transaction instead of one per
// value. May nest.
class ProfileSnapshot {
  public:
    ProfileSnapshot();
    ~ProfileSnapshot();
    ProfileSnapshot(const ProfileSnapshot&) = delete;
    ProfileSnapshot& operator=(const ProfileSnapshot&) = delete;

  private:
    void* txn_ = nullptr; // the outermost snapshot's transaction
};

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
