// Mutexes, events, waits and CloseHandle for the Linux build.
#include "kernel32/handles.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <typeinfo>

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

// A Windows mutex: owned by one thread, re-entrant for its owner. Taking a
// free mutex and giving it back are single atomic steps; only a thread that
// finds it taken waits under the lock (the log takes one twice per line).
struct Mutex final : tw::KernelObject {
    std::atomic<DWORD> owner{0};
    unsigned count = 0; // touched by the owner only
    std::atomic<int> waiters{0};
    std::mutex m;
    std::condition_variable cv;

    bool take(DWORD self) {
        DWORD expected = 0;
        if (!owner.compare_exchange_strong(expected, self))
            return false;
        count = 1;
        return true;
    }
    DWORD wait(DWORD ms) override {
        const DWORD self = GetCurrentThreadId();
        if (owner.load(std::memory_order_relaxed) == self) {
            ++count;
            return WAIT_OBJECT_0;
        }
        // Threads already waiting go first: a thread that gives the mutex back
        // and asks again at once must not keep it from them.
        if (waiters.load() == 0 && take(self))
            return WAIT_OBJECT_0;
        std::unique_lock<std::mutex> lock(m);
        ++waiters;
        bool got = waitFor(cv, lock, ms, [&] { return take(self); });
        --waiters;
        return got ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
    }
    bool release() {
        if (owner.load(std::memory_order_relaxed) != GetCurrentThreadId() || count == 0)
            return false;
        if (--count == 0) {
            owner.store(0);
            if (waiters.load() > 0) {
                std::lock_guard<std::mutex> lock(m);
                cv.notify_one();
            }
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
    if (initialOwner)
        m->take(GetCurrentThreadId());
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
    // The exact type, without dynamic_cast's walk: the log releases a mutex
    // twice per line.
    tw::KernelObject* object = tw::GetKernelObject(handle);
    auto* m = object != nullptr && typeid(*object) == typeid(Mutex) ? static_cast<Mutex*>(object)
                                                                    : nullptr;
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
