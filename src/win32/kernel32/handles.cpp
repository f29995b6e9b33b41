// The handle registry: every live object behind a HANDLE of this layer is
// known, so a stale or foreign handle is refused, never used.
#include "kernel32/handles.h"

#include <atomic>
#include <mutex>
#include <unordered_set>

namespace tw {

namespace {
std::mutex& handleMutex() {
    static std::mutex m;
    return m;
}
std::unordered_set<const void*>& handleSet() {
    static auto* set = new std::unordered_set<const void*>();
    return *set;
}
// Kernel objects apart from the other modules' handles, so a handle is only
// ever cast to the type it was registered as.
std::unordered_set<const void*>& kernelSet() {
    static auto* set = new std::unordered_set<const void*>();
    return *set;
}
} // namespace

void RegisterHandle(const void* handle) {
    std::lock_guard<std::mutex> g(handleMutex());
    handleSet().insert(handle);
}

void UnregisterHandle(const void* handle) {
    std::lock_guard<std::mutex> g(handleMutex());
    handleSet().erase(handle);
}

bool IsRegisteredHandle(const void* handle) {
    std::lock_guard<std::mutex> g(handleMutex());
    return handleSet().count(handle) != 0;
}

// Grows whenever a kernel object ends, so that a thread may keep the last
// handle it found alive without asking the registry again (every log line
// waits on and releases the same mutex twice).
std::atomic<unsigned long long> g_kernelEnded{0};

KernelObject::KernelObject() {
    std::lock_guard<std::mutex> g(handleMutex());
    kernelSet().insert(static_cast<HANDLE>(this));
}
KernelObject::~KernelObject() {
    std::lock_guard<std::mutex> g(handleMutex());
    kernelSet().erase(static_cast<HANDLE>(this));
    g_kernelEnded.fetch_add(1, std::memory_order_release);
}
DWORD KernelObject::wait(DWORD) {
    SetLastError(ERROR_INVALID_HANDLE);
    return WAIT_FAILED;
}

KernelObject* GetKernelObject(HANDLE handle) {
    thread_local HANDLE lastAlive = nullptr;
    thread_local unsigned long long endedThen = 0;
    if (handle != nullptr && handle == lastAlive &&
        g_kernelEnded.load(std::memory_order_acquire) == endedThen)
        return static_cast<KernelObject*>(handle);
    bool known = false;
    if (handle != nullptr && handle != INVALID_HANDLE_VALUE) {
        std::lock_guard<std::mutex> g(handleMutex());
        known = kernelSet().count(handle) != 0;
        if (known) {
            lastAlive = handle;
            endedThen = g_kernelEnded.load(std::memory_order_relaxed);
        }
    }
    if (!known) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return static_cast<KernelObject*>(handle);
}

} // namespace tw
