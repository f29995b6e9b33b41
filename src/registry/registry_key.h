// A registry key handle with its view bits, used by the download bookkeeping.
#pragma once

#include <windows.h>

class RegistryKey {
  public:
    RegistryKey() = default;
    ~RegistryKey();
    RegistryKey(const RegistryKey&) = delete;
    RegistryKey& operator=(const RegistryKey&) = delete;

    // Binds the object to a transaction; `fallback` lets an unbound handle use
    // the plain calls. No key in this program is bound.
    void BindTransaction(HANDLE transaction, bool fallback);

    LONG Open(HKEY parent, const char* path, REGSAM access);
    LONG Create(HKEY parent, const char* path, char* keyClass, DWORD options, REGSAM access,
                SECURITY_ATTRIBUTES* security, DWORD* disposition);
    LONG QueryDWORDValue(const char* name, DWORD* value);
    // `bytes` is the buffer size in, the byte count out.
    LONG QueryStringValue(const char* name, char* buffer, DWORD* bytes);
    LONG SetStringValue(const char* name, const char* text, DWORD type = REG_SZ);
    LONG Close();

    HKEY Handle() const { return handle_; }
    REGSAM ViewBits() const { return view_; }

  private:
    HKEY handle_ = nullptr;
    REGSAM view_ = 0;
    HANDLE transaction_ = nullptr;
    bool bound_ = false;
    bool fallback_ = false;
};
