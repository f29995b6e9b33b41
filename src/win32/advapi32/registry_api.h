// What the Reg* functions of registry_api.cpp share with the rest of the Linux
// Win32 layer, and the key handles and call frame they lend the value
// functions of registry_values.cpp (not part of the Win32 surface).
#pragma once

#include <windows.h>

// Beside this header, so that it compiles wherever it is included from.
#include "registry_store.h"

#include <string.h>

#include <new>
#include <string>
#include <vector>

namespace tw {

// True when the machine the registry describes is AMD64: the stored
// PROCESSOR_ARCHITECTURE under HKLM\SYSTEM\CurrentControlSet\Control\Session
// Manager\Environment, else the host (x86_64 is AMD64). Decides whether the
// WOW64 view exists at all.
bool MachineIsAmd64();

namespace reg {

// Forgets every open key handle (the store is being closed).
void ForgetAllHandles();

// ---- for the value functions ----

// The key an open handle stands for.
struct OpenKey {
    long long id = 0;
    long long root = 0;
    std::vector<std::u16string> path; // below the root, as it was reached
    REGSAM access = 0;
};

// The key behind `key`; a predefined key has every access right.
// ERROR_INVALID_HANDLE when `key` is not open.
DWORD LookupKey(HKEY key, OpenKey& out);
// Inside a transaction: ERROR_KEY_DELETED once the handle's key is gone.
DWORD CheckAlive(const OpenKey& key);
// Where RegEnumValue stands on the handle `key`; RegCloseKey drops it.
EnumCursor& ValueCursor(HKEY key);

// The name argument of a W or an A form as UTF-16 (NULL: empty).
std::u16string FromWideArg(const WCHAR* s);
std::u16string FromNarrowArg(const char* s);

// A key's path as a person reads it ("HKLM\\SOFTWARE\\..."), for the run report.
std::u16string KeyPathText(long long root, const std::vector<std::u16string>& path);

// Runs the body of one Reg* call under the registry lock; no exception leaves.
template <typename F> LSTATUS Guarded(F&& body) {
    try {
        LockGuard lock;
        return static_cast<LSTATUS>(body());
    } catch (const std::bad_alloc&) {
        return ERROR_NOT_ENOUGH_MEMORY;
    } catch (...) {
        return ERROR_REGISTRY_IO_FAILED;
    }
}

// A name fits a buffer of `count` characters when its terminator does too.
template <typename C> bool NameFits(const std::basic_string<C>& text, DWORD count) {
    return text.size() < count;
}
// Copies the name and its terminator; the count becomes the length without it.
template <typename C> void CopyName(const std::basic_string<C>& text, C* buf, LPDWORD count) {
    memcpy(buf, text.data(), text.size() * sizeof(C));
    buf[text.size()] = 0;
    *count = static_cast<DWORD>(text.size());
}

} // namespace reg
} // namespace tw
