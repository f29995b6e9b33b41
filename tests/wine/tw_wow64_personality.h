// The 32-bit program's view of a 64-bit Windows machine, for the x86_64 build.
//
// The shipped program is a 32-bit process: on 64-bit Windows the registry
// shows it the 32-bit view of redirected keys when it names no view, and
// IsWow64Process answers TRUE. This machine cannot run 32-bit programs, so
// the tests run an x86_64 build under wine64; this header, forced into every
// source of that build (and of no other), gives it the same behaviour as the
// documented WOW64 rules give the 32-bit program:
//   - a registry open, create or delete that names no view gets KEY_WOW64_32KEY;
//   - IsWow64Process on the current process answers TRUE;
//   - GetSystemInfo reports an x86 processor (GetNativeSystemInfo stays true).
// Calls that name a view keep it, so the code's own 64-bit writes stay 64-bit.
// Functions fetched with GetProcAddress get the same wrappers.
#pragma once

#if defined(_WIN64) && !defined(TW_NO_WOW64_PERSONALITY)

#include <windows.h>

#include <string.h>

namespace tw_wow64 {

inline REGSAM View(REGSAM sam) {
    return (sam & (KEY_WOW64_32KEY | KEY_WOW64_64KEY)) != 0 ? sam : sam | KEY_WOW64_32KEY;
}

inline FARPROC RealProc(const char* module, const char* name) {
    HMODULE m = GetModuleHandleA(module);
    return m != nullptr ? GetProcAddress(m, name) : nullptr;
}

inline LONG WINAPI OpenKeyExA(HKEY key, LPCSTR sub, DWORD options, REGSAM sam, PHKEY out) {
    return RegOpenKeyExA(key, sub, options, View(sam), out);
}
inline LONG WINAPI OpenKeyExW(HKEY key, LPCWSTR sub, DWORD options, REGSAM sam, PHKEY out) {
    return RegOpenKeyExW(key, sub, options, View(sam), out);
}
inline LONG WINAPI OpenKeyA(HKEY key, LPCSTR sub, PHKEY out) {
    // No subkey hands back the key itself, as RegOpenKeyA does.
    if (sub == nullptr || *sub == '\0')
        return RegOpenKeyA(key, sub, out);
    return RegOpenKeyExA(key, sub, 0, MAXIMUM_ALLOWED | KEY_WOW64_32KEY, out);
}
inline LONG WINAPI CreateKeyExA(HKEY key, LPCSTR sub, DWORD reserved, LPSTR cls, DWORD options,
                                REGSAM sam, const SECURITY_ATTRIBUTES* sa, PHKEY out,
                                LPDWORD disposition) {
    return RegCreateKeyExA(key, sub, reserved, cls, options, View(sam),
                           const_cast<LPSECURITY_ATTRIBUTES>(sa), out, disposition);
}
inline LONG WINAPI CreateKeyExW(HKEY key, LPCWSTR sub, DWORD reserved, LPWSTR cls, DWORD options,
                                REGSAM sam, const SECURITY_ATTRIBUTES* sa, PHKEY out,
                                LPDWORD disposition) {
    return RegCreateKeyExW(key, sub, reserved, cls, options, View(sam),
                           const_cast<LPSECURITY_ATTRIBUTES>(sa), out, disposition);
}
inline LONG WINAPI DeleteKeyA(HKEY key, LPCSTR sub) {
    return RegDeleteKeyExA(key, sub, KEY_WOW64_32KEY, 0);
}
inline LONG WINAPI DeleteKeyW(HKEY key, LPCWSTR sub) {
    return RegDeleteKeyExW(key, sub, KEY_WOW64_32KEY, 0);
}
inline LONG WINAPI DeleteKeyExA(HKEY key, LPCSTR sub, REGSAM sam, DWORD reserved) {
    return RegDeleteKeyExA(key, sub, View(sam), reserved);
}
inline LONG WINAPI DeleteKeyExW(HKEY key, LPCWSTR sub, REGSAM sam, DWORD reserved) {
    return RegDeleteKeyExW(key, sub, View(sam), reserved);
}

typedef LONG(WINAPI* OpenTransactedFn)(HKEY, LPCSTR, DWORD, REGSAM, PHKEY, HANDLE, PVOID);
typedef LONG(WINAPI* CreateTransactedFn)(HKEY, LPCSTR, DWORD, LPSTR, DWORD, REGSAM,
                                         const SECURITY_ATTRIBUTES*, PHKEY, LPDWORD, HANDLE, PVOID);

inline LONG WINAPI OpenKeyTransactedA(HKEY key, LPCSTR sub, DWORD options, REGSAM sam, PHKEY out,
                                      HANDLE transaction, PVOID extended) {
    auto real = reinterpret_cast<OpenTransactedFn>(
        reinterpret_cast<void*>(RealProc("advapi32.dll", "RegOpenKeyTransactedA")));
    if (real == nullptr)
        return ERROR_CALL_NOT_IMPLEMENTED;
    return real(key, sub, options, View(sam), out, transaction, extended);
}
inline LONG WINAPI CreateKeyTransactedA(HKEY key, LPCSTR sub, DWORD reserved, LPSTR cls,
                                        DWORD options, REGSAM sam, const SECURITY_ATTRIBUTES* sa,
                                        PHKEY out, LPDWORD disposition, HANDLE transaction,
                                        PVOID extended) {
    auto real = reinterpret_cast<CreateTransactedFn>(
        reinterpret_cast<void*>(RealProc("advapi32.dll", "RegCreateKeyTransactedA")));
    if (real == nullptr)
        return ERROR_CALL_NOT_IMPLEMENTED;
    return real(key, sub, reserved, cls, options, View(sam), sa, out, disposition, transaction,
                extended);
}

inline BOOL WINAPI IsWow64(HANDLE process, PBOOL result) {
    if (!IsWow64Process(process, result))
        return FALSE;
    if (process == GetCurrentProcess() || GetProcessId(process) == GetCurrentProcessId())
        *result = TRUE;
    return TRUE;
}

inline void WINAPI SystemInfo(LPSYSTEM_INFO info) {
    GetSystemInfo(info);
    info->wProcessorArchitecture = PROCESSOR_ARCHITECTURE_INTEL;
    info->dwProcessorType = PROCESSOR_INTEL_PENTIUM;
}

inline FARPROC WINAPI ProcAddress(HMODULE module, LPCSTR name) {
    FARPROC real = GetProcAddress(module, name);
    // Ordinals (a "name" below 64 KiB) pass straight through.
    if (real == nullptr || reinterpret_cast<ULONG_PTR>(name) < 0x10000)
        return real;
    struct Swap {
        const char* name;
        FARPROC wrapper;
    };
    static const Swap swaps[] = {
        {"IsWow64Process", reinterpret_cast<FARPROC>(reinterpret_cast<void*>(&IsWow64))},
        {"GetSystemInfo", reinterpret_cast<FARPROC>(reinterpret_cast<void*>(&SystemInfo))},
        {"RegOpenKeyTransactedA",
         reinterpret_cast<FARPROC>(reinterpret_cast<void*>(&OpenKeyTransactedA))},
        {"RegCreateKeyTransactedA",
         reinterpret_cast<FARPROC>(reinterpret_cast<void*>(&CreateKeyTransactedA))},
        {"RegOpenKeyExA", reinterpret_cast<FARPROC>(reinterpret_cast<void*>(&OpenKeyExA))},
        {"RegOpenKeyExW", reinterpret_cast<FARPROC>(reinterpret_cast<void*>(&OpenKeyExW))},
        {"RegCreateKeyExA", reinterpret_cast<FARPROC>(reinterpret_cast<void*>(&CreateKeyExA))},
        {"RegCreateKeyExW", reinterpret_cast<FARPROC>(reinterpret_cast<void*>(&CreateKeyExW))},
    };
    for (const Swap& s : swaps) {
        if (strcmp(s.name, name) == 0)
            return s.wrapper;
    }
    return real;
}

} // namespace tw_wow64

#define RegOpenKeyExA tw_wow64::OpenKeyExA
#define RegOpenKeyExW tw_wow64::OpenKeyExW
#define RegOpenKeyA tw_wow64::OpenKeyA
#define RegCreateKeyExA tw_wow64::CreateKeyExA
#define RegCreateKeyExW tw_wow64::CreateKeyExW
#define RegDeleteKeyA tw_wow64::DeleteKeyA
#define RegDeleteKeyW tw_wow64::DeleteKeyW
#define RegDeleteKeyExA tw_wow64::DeleteKeyExA
#define RegDeleteKeyExW tw_wow64::DeleteKeyExW
#define IsWow64Process tw_wow64::IsWow64
#define GetSystemInfo tw_wow64::SystemInfo
#define GetProcAddress tw_wow64::ProcAddress

#endif
