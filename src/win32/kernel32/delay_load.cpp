// Binding libraries on first use (see delay_load.h).
#include "kernel32/delay_load.h"

#include <tw_linux.h>

#include <dlfcn.h>

#include <mutex>
#include <string>

#ifndef TW_LIBCURL_SONAME
#error "the build names the libcurl soname"
#endif

namespace tw {

namespace {
std::mutex& folderMutex();
std::string& folder();
} // namespace

DelayLoaded g_libcurl{TW_LIBCURL_SONAME};
DelayLoaded g_libssl{TW_LIBSSL_SONAME};
DelayLoaded g_libcrypto{TW_LIBCRYPTO_SONAME};

namespace {

std::mutex& folderMutex() {
    static auto* m = new std::mutex();
    return *m;
}
std::string& folder() {
    static auto* f = new std::string();
    return *f;
}

} // namespace

void* OpenLibraryFile(const char* file) {
    std::string path;
    {
        std::lock_guard<std::mutex> g(folderMutex());
        if (!folder().empty())
            path = folder() + "/" + file;
    }
    return dlopen(path.empty() ? file : path.c_str(), RTLD_NOW | RTLD_LOCAL);
}

bool DelayLoadLibrary(DelayLoaded& lib, DWORD* error) {
    if (lib.handle.load(std::memory_order_acquire) != nullptr)
        return true;
    // dlopen counts its references: a second thread that loads at the same
    // time gets the same handle and the spare reference is dropped.
    void* h = OpenLibraryFile(lib.soname);
    if (h == nullptr) {
        *error = ERROR_MOD_NOT_FOUND;
        return false;
    }
    void* expected = nullptr;
    if (!lib.handle.compare_exchange_strong(expected, h, std::memory_order_acq_rel))
        dlclose(h);
    return true;
}

void* DelayLoadSymbol(DelayLoaded& lib, const char* name, DWORD* error) {
    if (!DelayLoadLibrary(lib, error))
        return nullptr;
    void* p = dlsym(lib.handle.load(std::memory_order_acquire), name);
    if (p == nullptr)
        *error = ERROR_PROC_NOT_FOUND;
    return p;
}

} // namespace tw

extern "C" void TwLinuxSetLibraryFolder(const char* path) {
    try {
        std::lock_guard<std::mutex> g(tw::folderMutex());
        tw::folder() = path != nullptr ? path : "";
    } catch (...) {
    }
}
