// Mutexes, events, waits and CloseHandle for the Linux build.
#include "kernel32/handles.h"

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace {

using Clock = std::chrono::steady_clock;

template <class Pred>
bool waitFor(std::condition_variable& cv, std::unique_lock<std::mutex>& lock, DWORD ms, Pred pred) {
    if (ms == INFINITE) {
        cv.wait(lock, pred);
        return true;
    }
    return cv.wait_until(lock, Clock::now() + std::chrono::milliseconds(ms), pred);
}

// A Windows mutex: owned by one thread, re-entrant for its owner.
struct Mutex : tw::KernelObject {
    std::mutex m;
    std::condition_variable cv;
    DWORD owner = 0;
    unsigned count = 0;

    DWORD wait(DWORD ms) override {
        DWORD self = GetCurrentThreadId();
        std::unique_lock<std::mutex> lock(m);
        if (!waitFor(cv, lock, ms, [&] { return count == 0 || owner == self; }))
            return WAIT_TIMEOUT;
        owner = self;
        ++count;
        return WAIT_OBJECT_0;
    }
    bool release() {
        std::lock_guard<std::mutex> lock(m);
        if (count == 0 || owner != GetCurrentThreadId())
            return false;
        if (--count == 0) {
            owner = 0;
            cv.notify_one();
        }
        return true;
    }
};

struct Event : tw::KernelObject {
    std::mutex m;
    std::condition_variable cv;
    bool manual = false;
    bool signalled = false;

    DWORD wait(DWORD ms) override {
        std::unique_lock<std::mutex> lock(m);
        if (!waitFor(cv, lock, ms, [&] { return signalled; }))
            return WAIT_TIMEOUT;
        if (!manual)
            signalled = false;
        return WAIT_OBJECT_0;
    }
    void set(bool on) {
        std::lock_guard<std::mutex> lock(m);
        signalled = on;
        if (on)
            cv.notify_all();
    }
};

} // namespace

extern "C" {

HANDLE CreateMutexA(LPSECURITY_ATTRIBUTES, BOOL initialOwner, LPCSTR name) {
    if (name != nullptr) {
        // Named mutexes are shared between processes on Windows; nothing here needs them.
        SetLastError(ERROR_NOT_SUPPORTED);
        return nullptr;
    }
    auto* m = new Mutex();
    if (initialOwner) {
        m->owner = GetCurrentThreadId();
        m->count = 1;
    }
    SetLastError(ERROR_SUCCESS);
    return static_cast<tw::KernelObject*>(m);
}

HANDLE CreateMutexW(LPSECURITY_ATTRIBUTES sa, BOOL initialOwner, LPCWSTR name) {
    if (name != nullptr) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return nullptr;
    }
    return CreateMutexA(sa, initialOwner, nullptr);
}

BOOL ReleaseMutex(HANDLE handle) {
    auto* m = dynamic_cast<Mutex*>(tw::GetKernelObject(handle));
    if (m == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (!m->release()) {
        SetLastError(ERROR_NOT_OWNER);
        return FALSE;
    }
    return TRUE;
}

HANDLE CreateEventA(LPSECURITY_ATTRIBUTES, BOOL manualReset, BOOL initialState, LPCSTR name) {
    if (name != nullptr) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return nullptr;
    }
    auto* e = new Event();
    e->manual = manualReset != FALSE;
    e->signalled = initialState != FALSE;
    SetLastError(ERROR_SUCCESS);
    return static_cast<tw::KernelObject*>(e);
}

BOOL SetEvent(HANDLE handle) {
    auto* e = dynamic_cast<Event*>(tw::GetKernelObject(handle));
    if (e == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    e->set(true);
    return TRUE;
}

BOOL ResetEvent(HANDLE handle) {
    auto* e = dynamic_cast<Event*>(tw::GetKernelObject(handle));
    if (e == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    e->set(false);
    return TRUE;
}

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
    tw::KernelObject* obj = tw::GetKernelObject(handle);
    if (obj == nullptr)
        return WAIT_FAILED;
    return obj->wait(milliseconds);
}

BOOL CloseHandle(HANDLE handle) {
    tw::KernelObject* obj = tw::GetKernelObject(handle);
    if (obj == nullptr)
        return FALSE;
    delete obj;
    return TRUE;
}

} // extern "C"
