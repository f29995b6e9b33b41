// Timer queues for the Linux build. Each queue owns one thread that runs its
// timers' callbacks one at a time; the default queue (a NULL queue handle) is
// created on first use and lives as long as the process.
#include "kernel32/timerqueue.h"

#include <windows.h>

#include <threadpoollegacyapiset.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_set>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct Queue;

struct Timer {
    Queue* queue = nullptr;
    WAITORTIMERCALLBACK callback = nullptr;
    PVOID parameter = nullptr;
    Clock::time_point due;
    DWORD period = 0;
    bool armed = true;
    // The handle is gone but the callback is still running: the queue thread
    // frees the timer when the callback returns, then signals `completion`.
    bool deleted = false;
    HANDLE completion = nullptr;
};

struct Queue {
    std::thread thread;
    std::thread::id threadId;
    std::condition_variable wake; // the queue thread sleeps here
    std::condition_variable idle; // callers waiting for a callback to end
    std::vector<Timer*> timers;
    Timer* running = nullptr;
    // Callbacks started and ended, so a waiter never mistakes a later callback
    // (perhaps of a new timer at the same address) for the one it waits for.
    unsigned long long started = 0;
    unsigned long long ended = 0;
    int timerWaiters = 0; // DeleteTimerQueueTimer calls waiting on `idle`
    bool deleting = false;
    bool joined = false;         // the deleter joins the thread and frees the queue
    HANDLE completion = nullptr; // signalled when a deleted queue's thread is done
};

// One lock for all queues and timers: the program has one or two queues and a
// few timers, and a single lock makes "check the handle, then use it" atomic.
std::mutex g_lock;
Queue* g_defaultQueue = nullptr;
int g_waitingDeletions = 0;

std::unordered_set<const void*>& liveQueues() {
    static auto* set = new std::unordered_set<const void*>();
    return *set;
}
std::unordered_set<const void*>& liveTimers() {
    static auto* set = new std::unordered_set<const void*>();
    return *set;
}

bool isEvent(HANDLE h) {
    return h != nullptr && h != INVALID_HANDLE_VALUE;
}

void eraseTimer(Queue* q, Timer* t) {
    q->timers.erase(std::remove(q->timers.begin(), q->timers.end(), t), q->timers.end());
}

void runQueue(Queue* q) {
    std::unique_lock<std::mutex> lock(g_lock);
    while (!q->deleting) {
        Timer* next = nullptr;
        for (Timer* t : q->timers)
            if (t->armed && (next == nullptr || t->due < next->due))
                next = t;
        if (next == nullptr) {
            q->wake.wait(lock);
            continue;
        }
        Clock::time_point now = Clock::now();
        if (now < next->due) {
            // A copy: the timer may be deleted while the lock is released.
            Clock::time_point due = next->due;
            q->wake.wait_until(lock, due);
            continue;
        }
        if (next->period != 0) {
            next->due += std::chrono::milliseconds(next->period);
            if (next->due < now)
                next->due = now + std::chrono::milliseconds(next->period);
        } else {
            next->armed = false;
        }
        q->running = next;
        ++q->started;
        lock.unlock();
        try {
            next->callback(next->parameter, TRUE);
        } catch (...) {
            // A callback must not take the queue thread down with it.
        }
        lock.lock();
        q->running = nullptr;
        ++q->ended;
        HANDLE done = nullptr;
        if (next->deleted) {
            done = next->completion;
            eraseTimer(q, next);
            delete next;
        }
        q->idle.notify_all();
        if (done != nullptr) {
            lock.unlock();
            SetEvent(done);
            lock.lock();
        }
    }
    // A timer deletion may still be waiting on `idle`; the queue must outlive it.
    q->idle.wait(lock, [&] { return q->timerWaiters == 0; });
    HANDLE done = q->completion;
    bool joined = q->joined;
    lock.unlock();
    if (!joined)
        delete q; // detached: nobody else refers to the queue any more
    if (done != nullptr)
        SetEvent(done);
}

// Starts the thread of a new queue. Called with g_lock held.
std::unique_ptr<Queue> startQueue() {
    auto q = std::make_unique<Queue>();
    q->thread = std::thread(runQueue, q.get());
    q->threadId = q->thread.get_id();
    return q;
}

// The queue a handle names (NULL: the default queue, created on demand), or
// null. Called with g_lock held.
Queue* findQueue(HANDLE handle, bool create) {
    if (handle == nullptr) {
        if (g_defaultQueue == nullptr && create)
            g_defaultQueue = startQueue().release();
        return g_defaultQueue;
    }
    if (liveQueues().count(handle) == 0)
        return nullptr;
    return static_cast<Queue*>(handle);
}

Timer* findTimer(Queue* q, HANDLE handle) {
    if (q == nullptr || liveTimers().count(handle) == 0)
        return nullptr;
    auto* t = static_cast<Timer*>(handle);
    return t->queue == q ? t : nullptr;
}

} // namespace

namespace tw {

int TimerQueueWaitingDeletions() {
    std::lock_guard<std::mutex> g(g_lock);
    return g_waitingDeletions;
}

} // namespace tw

extern "C" {

HANDLE CreateTimerQueue(void) {
    try {
        std::lock_guard<std::mutex> g(g_lock);
        Queue* q = startQueue().release();
        liveQueues().insert(q);
        SetLastError(ERROR_SUCCESS);
        return static_cast<HANDLE>(q);
    } catch (...) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
}

BOOL CreateTimerQueueTimer(PHANDLE newTimer, HANDLE timerQueue, WAITORTIMERCALLBACK callback,
                           PVOID parameter, DWORD dueTime, DWORD period, ULONG flags) {
    if (newTimer == nullptr || callback == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    try {
        std::lock_guard<std::mutex> g(g_lock);
        // A queue being deleted is no longer registered, so a callback that
        // re-arms itself during the deletion is refused here.
        Queue* q = findQueue(timerQueue, true);
        if (q == nullptr) {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        auto t = std::make_unique<Timer>();
        t->queue = q;
        t->callback = callback;
        t->parameter = parameter;
        t->due = Clock::now() + std::chrono::milliseconds(dueTime);
        t->period = (flags & WT_EXECUTEONLYONCE) ? 0 : period;
        q->timers.push_back(t.get());
        liveTimers().insert(t.get());
        *newTimer = static_cast<HANDLE>(t.release());
        q->wake.notify_all();
        return TRUE;
    } catch (...) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
}

BOOL ChangeTimerQueueTimer(HANDLE timerQueue, HANDLE timer, ULONG dueTime, ULONG period) {
    try {
        std::lock_guard<std::mutex> g(g_lock);
        Timer* t = findTimer(findQueue(timerQueue, false), timer);
        if (t == nullptr) {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        // A one-shot timer that has expired stays expired.
        if (t->period == 0 && !t->armed)
            return TRUE;
        t->due = Clock::now() + std::chrono::milliseconds(dueTime);
        t->period = period;
        t->armed = true;
        t->queue->wake.notify_all();
        return TRUE;
    } catch (...) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
}

BOOL DeleteTimerQueueTimer(HANDLE timerQueue, HANDLE timer, HANDLE completionEvent) {
    try {
        std::unique_lock<std::mutex> lock(g_lock);
        Queue* q = findQueue(timerQueue, false);
        Timer* t = findTimer(q, timer);
        if (t == nullptr) {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        liveTimers().erase(t);
        t->armed = false;
        if (q->running != t) {
            eraseTimer(q, t);
            delete t;
            lock.unlock();
            if (isEvent(completionEvent))
                SetEvent(completionEvent);
            return TRUE;
        }
        t->deleted = true;
        bool onQueueThread = std::this_thread::get_id() == q->threadId;
        if (completionEvent == INVALID_HANDLE_VALUE && !onQueueThread) {
            unsigned long long running = q->started;
            ++q->timerWaiters;
            q->idle.wait(lock, [&] { return q->ended >= running; });
            --q->timerWaiters;
            q->idle.notify_all();
            return TRUE;
        }
        if (isEvent(completionEvent)) {
            t->completion = completionEvent;
            return TRUE;
        }
        // No waiting (or a callback deleting its own timer, which cannot wait
        // for itself): the timer goes when its callback returns.
        SetLastError(ERROR_IO_PENDING);
        return FALSE;
    } catch (...) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
}

BOOL DeleteTimerQueueEx(HANDLE timerQueue, HANDLE completionEvent) {
    try {
        std::unique_lock<std::mutex> lock(g_lock);
        if (timerQueue == nullptr || liveQueues().count(timerQueue) == 0) {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        auto* q = static_cast<Queue*>(timerQueue);
        liveQueues().erase(q);
        q->deleting = true;
        std::vector<Timer*> keep;
        for (Timer* t : q->timers) {
            liveTimers().erase(t);
            if (t == q->running) {
                t->deleted = true;
                keep.push_back(t);
            } else {
                delete t;
            }
        }
        q->timers.swap(keep);
        bool pending = q->running != nullptr;
        bool onQueueThread = std::this_thread::get_id() == q->threadId;
        q->wake.notify_all();
        // Waiting is for a callback that runs: with none running the queue
        // thread is left to end on its own, so the caller does not wait for
        // a thread to be scheduled only to see it exit.
        if (completionEvent == INVALID_HANDLE_VALUE && !onQueueThread && pending) {
            q->joined = true;
            ++g_waitingDeletions;
            lock.unlock();
            q->thread.join();
            lock.lock();
            --g_waitingDeletions;
            lock.unlock();
            delete q;
            return TRUE;
        }
        // Not waiting (nothing to wait for, or asked to wait from the queue's
        // own callback, which would wait for itself): the thread frees the
        // queue when it is done.
        q->completion = isEvent(completionEvent) ? completionEvent : nullptr;
        q->thread.detach();
        if (pending && !isEvent(completionEvent)) {
            SetLastError(ERROR_IO_PENDING);
            return FALSE;
        }
        return TRUE;
    } catch (...) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
}

BOOL DeleteTimerQueue(HANDLE timerQueue) {
    return DeleteTimerQueueEx(timerQueue, nullptr);
}

} // extern "C"
