#include "registry/registry_key.h"

#include <string.h>

namespace {

typedef LONG(WINAPI* OpenTransactedFn)(HKEY, LPCSTR, DWORD, REGSAM, PHKEY, HANDLE, PVOID);
typedef LONG(WINAPI* CreateTransactedFn)(HKEY, LPCSTR, DWORD, LPSTR, DWORD, REGSAM,
                                         const SECURITY_ATTRIBUTES*, PHKEY, LPDWORD, HANDLE, PVOID);

template <class Fn> Fn lookupAdvapi(const char* name) {
    HMODULE m = GetModuleHandleA("Advapi32.dll");
    if (m == nullptr)
        return nullptr;
    return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(m, name)));
}

} // namespace

RegistryKey::~RegistryKey() {
    Close();
}

void RegistryKey::BindTransaction(HANDLE transaction, bool fallback) {
    bound_ = true;
    transaction_ = transaction;
    fallback_ = fallback;
}

LONG RegistryKey::Open(HKEY parent, const char* path, REGSAM access) {
    HKEY key = nullptr;
    LONG rc;
    if (!bound_) {
        rc = RegOpenKeyExA(parent, path, 0, access, &key);
    } else if (transaction_ != nullptr) {
        auto fn = lookupAdvapi<OpenTransactedFn>("RegOpenKeyTransactedA");
        if (fn == nullptr)
            return 1;
        rc = fn(parent, path, 0, access, &key, transaction_, nullptr);
    } else if (fallback_) {
        rc = RegOpenKeyExA(parent, path, 0, access, &key);
    } else {
        return 1;
    }
    if (rc == ERROR_SUCCESS) {
        Close();
        handle_ = key;
        view_ = access & (KEY_WOW64_32KEY | KEY_WOW64_64KEY);
    }
    return rc;
}

LONG RegistryKey::Create(HKEY parent, const char* path, char* keyClass, DWORD options,
                         REGSAM access, SECURITY_ATTRIBUTES* security, DWORD* disposition) {
    HKEY key = nullptr;
    DWORD disp = 0;
    LONG rc;
    if (!bound_) {
        rc = RegCreateKeyExA(parent, path, 0, keyClass, options, access, security, &key, &disp);
    } else if (transaction_ != nullptr) {
        auto fn = lookupAdvapi<CreateTransactedFn>("RegCreateKeyTransactedA");
        if (fn == nullptr)
            return 1;
        rc = fn(parent, path, 0, keyClass, options, access, security, &key, &disp, transaction_,
                nullptr);
    } else if (fallback_) {
        rc = RegCreateKeyExA(parent, path, 0, keyClass, options, access, security, &key, &disp);
    } else {
        return 1;
    }
    if (disposition != nullptr)
        *disposition = disp;
    if (rc == ERROR_SUCCESS) {
        Close();
        handle_ = key;
        view_ = access & (KEY_WOW64_32KEY | KEY_WOW64_64KEY);
    }
    return rc;
}

LONG RegistryKey::QueryDWORDValue(const char* name, DWORD* value) {
    DWORD type = 0;
    DWORD v = 0;
    DWORD size = sizeof v;
    LONG rc = RegQueryValueExA(handle_, name, nullptr, &type, reinterpret_cast<LPBYTE>(&v), &size);
    if (rc != ERROR_SUCCESS)
        return rc;
    if (type != REG_DWORD)
        return ERROR_INVALID_DATA;
    if (value != nullptr)
        *value = v;
    return ERROR_SUCCESS;
}

LONG RegistryKey::QueryStringValue(const char* name, char* buffer, DWORD* bytes) {
    if (bytes == nullptr)
        return ERROR_INVALID_DATA;
    DWORD type = 0;
    DWORD size = *bytes;
    LONG rc =
        RegQueryValueExA(handle_, name, nullptr, &type, reinterpret_cast<LPBYTE>(buffer), &size);
    if (rc != ERROR_SUCCESS)
        return rc;
    if (type != REG_SZ && type != REG_EXPAND_SZ)
        return ERROR_INVALID_DATA;
    if (buffer != nullptr) {
        if (size == 0) {
            if (*bytes > 0)
                buffer[0] = '\0';
        } else if (buffer[size - 1] != '\0') {
            // Unterminated text is refused rather than read past its end.
            return ERROR_INVALID_DATA;
        }
    }
    *bytes = size;
    return ERROR_SUCCESS;
}

LONG RegistryKey::SetStringValue(const char* name, const char* text, DWORD type) {
    if (text == nullptr)
        return ERROR_INVALID_DATA;
    return RegSetValueExA(handle_, name, 0, type, reinterpret_cast<const BYTE*>(text),
                          static_cast<DWORD>(strlen(text) + 1));
}

LONG RegistryKey::Close() {
    LONG rc = ERROR_SUCCESS;
    if (handle_ != nullptr) {
        rc = RegCloseKey(handle_);
        handle_ = nullptr;
    }
    view_ = 0;
    return rc;
}
