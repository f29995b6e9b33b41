#include "base/lock_table.h"
#include "base/log.h"

#include <stdlib.h>

#include <atomic>
#include <stdint.h>

namespace {

struct HeldKey {
    const void* key;
    HeldKey* next;
};

HANDLE g_lockMutex = nullptr;
HeldKey* g_heldHead = nullptr;
HeldKey* g_heldTail = nullptr;
// The entry the last release freed, kept for the next acquire: every log line
// takes and releases the log's key, and need not allocate to do so.
HeldKey* g_spare = nullptr;
// Shared by every waiter and never reset: the longer the process has waited
// overall, the longer each further wait sleeps.
std::atomic<LONG> g_waitCounter{0};
// A long-lived process must not end up sleeping for minutes per wait, nor
// wrap the counter around: the counter saturates and a wait sleeps 1 s at most.
const LONG kMaxWaitSleepMs = 1000;

// One attempt under the table's mutex. Before the mutex exists (the first
// rotation check runs on the main thread alone) the attempt runs without it.
template <class Fn> bool underMutex(Fn fn) {
    HANDLE m = g_lockMutex;
    if (m != nullptr)
        WaitForSingleObject(m, INFINITE);
    bool r = fn();
    if (m != nullptr)
        ReleaseMutex(m);
    return r;
}

bool tryAcquire(const void* key) {
    return underMutex([key] {
        for (HeldKey* k = g_heldHead; k != nullptr; k = k->next) {
            if (k->key == key)
                return false;
        }
        HeldKey* entry = g_spare;
        g_spare = nullptr;
        if (entry == nullptr)
            entry = static_cast<HeldKey*>(malloc(sizeof(HeldKey)));
        if (entry == nullptr)
            return false;
        entry->key = key;
        entry->next = nullptr;
        if (g_heldTail != nullptr)
            g_heldTail->next = entry;
        else
            g_heldHead = entry;
        g_heldTail = entry;
        return true;
    });
}

bool release(const void* key) {
    return underMutex([key] {
        HeldKey* prev = nullptr;
        for (HeldKey* k = g_heldHead; k != nullptr; prev = k, k = k->next) {
            if (k->key != key)
                continue;
            if (prev != nullptr)
                prev->next = k->next;
            else
                g_heldHead = k->next;
            if (g_heldTail == k)
                g_heldTail = prev;
            if (g_spare == nullptr)
                g_spare = k;
            else
                free(k);
            return true;
        }
        return false;
    });
}

} // namespace

void InitMutex() {
    LogTrace("\n\t@@@@@ Inside InitMutex() @@@@@\n");
    // One table mutex for the life of the log; a second initialisation keeps it.
    if (g_lockMutex == nullptr)
        g_lockMutex = CreateMutexA(nullptr, FALSE, nullptr);
}

void CloseLockMutex() {
    if (g_lockMutex != nullptr) {
        CloseHandle(g_lockMutex);
        g_lockMutex = nullptr;
    }
}

int LockObject(const void* key) {
    while (!tryAcquire(key)) {
        LONG cur = g_waitCounter.load();
        LONG next;
        do {
            next = cur > INT32_MAX - 10 ? cur : cur + 10;
            if (next == 0)
                next = 10;
        } while (!g_waitCounter.compare_exchange_weak(cur, next));
        LONG ms = next / 1000;
        if (ms < 0)
            ms = 0;
        Sleep(static_cast<DWORD>(ms > kMaxWaitSleepMs ? kMaxWaitSleepMs : ms));
    }
    return 1;
}

int UnlockObject(const void* key) {
    return release(key) ? 4 : 2;
}
