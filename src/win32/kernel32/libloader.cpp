// LoadLibraryA, GetModuleHandleA, GetProcAddress and FreeLibrary for the
// Linux build. The system modules are a fixed table that names the modules
// the program looks entry points up in, and which of this layer's functions
// each exports. An entry point that came with a later Windows release than
// the machine profile's is not exported, so an old machine's profile takes
// the program's legacy paths (GetProductInfo needs Windows Vista, 6.0).
// Any other name that is a shared object's ("libxml2.so.2") is loaded as
// Windows loads a DLL: from the library folder (kernel32/delay_load.h),
// failing with ERROR_MOD_NOT_FOUND and ERROR_PROC_NOT_FOUND as a missing DLL
// or entry point does.
#include "kernel32/delay_load.h"
#include "kernel32/sysinfo.h"

#include <threadpoollegacyapiset.h>

#include <dlfcn.h>
#include <string.h>

#include <mutex>
#include <set>
#include <string>

namespace {

struct Export {
    const char* name;
    FARPROC proc;
    // First Windows version that has the entry point.
    DWORD major;
    DWORD minor;
};

struct Module {
    const char* name; // without ".dll"
    const Export* exports;
    size_t count;
};

// Through void(*)(void), the generic function pointer type, as GetProcAddress
// callers cast back to the real type.
template <class F> FARPROC proc(F* f) {
    return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)(void)>(f));
}

const Export kKernel32[] = {
    {"GetNativeSystemInfo", proc(&GetNativeSystemInfo), 5, 1},
    {"GetProductInfo", proc(&GetProductInfo), 6, 0},
    {"IsWow64Process", proc(&IsWow64Process), 5, 1},
    {"GetSystemInfo", proc(&GetSystemInfo), 0, 0},
    {"GetVersionExA", proc(&GetVersionExA), 0, 0},
    {"IsProcessorFeaturePresent", proc(&IsProcessorFeaturePresent), 0, 0},
    {"GetComputerNameExW", proc(&GetComputerNameExW), 5, 0},
    {"CreateTimerQueue", proc(&CreateTimerQueue), 5, 0},
    {"CreateTimerQueueTimer", proc(&CreateTimerQueueTimer), 5, 0},
    {"DeleteTimerQueueEx", proc(&DeleteTimerQueueEx), 5, 0},
    {"GetLastError", proc(&GetLastError), 0, 0},
};

// The transacted registry calls (RegOpenKeyTransactedA, RegCreateKeyTransactedA)
// are deliberately absent: the store has no kernel transactions, and callers
// fall back to the plain calls when the lookup fails.
const Export kAdvapi32[] = {
    {"RegOpenKeyExA", proc(&RegOpenKeyExA), 0, 0},
    {"RegCreateKeyExA", proc(&RegCreateKeyExA), 0, 0},
    {"RegQueryValueExA", proc(&RegQueryValueExA), 0, 0},
    {"RegSetValueExA", proc(&RegSetValueExA), 0, 0},
    {"RegCloseKey", proc(&RegCloseKey), 0, 0},
};

const Module kModules[] = {
    {"kernel32", kKernel32, sizeof kKernel32 / sizeof kKernel32[0]},
    {"advapi32", kAdvapi32, sizeof kAdvapi32 / sizeof kAdvapi32[0]},
};

// The program itself, as GetModuleHandleA(NULL) names it; it exports nothing.
const Module kProgram = {"", nullptr, 0};

// Module names compare without regard to case, with or without ".dll", and
// with any folder in front dropped.
const Module* findModule(const char* name) {
    std::string n = name;
    size_t slash = n.find_last_of("\\/");
    if (slash != std::string::npos)
        n = n.substr(slash + 1);
    for (auto& c : n)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    if (n.size() > 4 && n.compare(n.size() - 4, 4, ".dll") == 0)
        n.resize(n.size() - 4);
    for (const auto& m : kModules)
        if (n == m.name)
            return &m;
    return nullptr;
}

const Module* fromHandle(HMODULE module) {
    const void* p = module;
    if (p == &kProgram)
        return &kProgram;
    for (const auto& m : kModules)
        if (p == &m)
            return &m;
    return nullptr;
}

HMODULE toHandle(const Module* m) {
    return reinterpret_cast<HMODULE>(const_cast<Module*>(m));
}

// The shared objects LoadLibraryA has loaded, by their dlopen handles.
std::mutex g_libsMutex;
std::multiset<void*>& loadedLibraries() {
    static auto* s = new std::multiset<void*>();
    return *s;
}

bool isLoadedLibrary(HMODULE module) {
    std::lock_guard<std::mutex> g(g_libsMutex);
    return loadedLibraries().count(module) != 0;
}

bool isSharedObjectName(const char* name) {
    return strstr(name, ".so") != nullptr;
}

} // namespace

extern "C" {

HMODULE LoadLibraryA(LPCSTR name) {
    if (name == nullptr || *name == '\0') {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    try {
        const Module* m = findModule(name);
        if (m != nullptr)
            return toHandle(m);
        void* lib = isSharedObjectName(name) ? tw::OpenLibraryFile(name) : nullptr;
        if (lib == nullptr) {
            SetLastError(ERROR_MOD_NOT_FOUND);
            return nullptr;
        }
        std::lock_guard<std::mutex> g(g_libsMutex);
        loadedLibraries().insert(lib);
        return static_cast<HMODULE>(lib);
    } catch (...) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
}

HMODULE GetModuleHandleA(LPCSTR name) {
    if (name == nullptr)
        return toHandle(&kProgram);
    // Every module of the table is loaded from the start, as the program's
    // imports are on Windows.
    if (name[0] == '\0') {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    try {
        const Module* m = findModule(name);
        if (m == nullptr) {
            SetLastError(ERROR_MOD_NOT_FOUND);
            return nullptr;
        }
        return toHandle(m);
    } catch (...) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
}

FARPROC GetProcAddress(HMODULE module, LPCSTR name) {
    const Module* m = fromHandle(module);
    if (m == nullptr && !isLoadedLibrary(module)) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    // Lookups by ordinal (a value below 0x10000) are not supported.
    if (reinterpret_cast<uintptr_t>(name) < 0x10000) {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    if (m == nullptr) {
        void* p = dlsym(module, name);
        if (p == nullptr)
            SetLastError(ERROR_PROC_NOT_FOUND);
        return reinterpret_cast<FARPROC>(p);
    }
    try {
        for (size_t i = 0; i < m->count; ++i) {
            const Export& e = m->exports[i];
            if (strcmp(e.name, name) != 0)
                continue;
            if (e.major != 0) {
                tw::MachineVersion v = tw::ReadMachineVersion();
                bool present = v.platform == VER_PLATFORM_WIN32_NT &&
                               (v.major > e.major || (v.major == e.major && v.minor >= e.minor));
                if (!present)
                    break;
            }
            return e.proc;
        }
        SetLastError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    } catch (...) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
}

BOOL FreeLibrary(HMODULE module) {
    // The table's modules stay loaded for the life of the process.
    if (fromHandle(module) != nullptr)
        return TRUE;
    {
        std::lock_guard<std::mutex> g(g_libsMutex);
        auto it = loadedLibraries().find(module);
        if (it == loadedLibraries().end()) {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        loadedLibraries().erase(it);
    }
    dlclose(module);
    return TRUE;
}

} // extern "C"
