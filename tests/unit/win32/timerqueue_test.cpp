// Timer queues: one-shot and periodic timers, cancelling, the three ways of
// deleting a queue, and a callback that re-arms itself while its queue is
// being deleted (the log-rotation timer at shutdown). Every ordering is forced
// with events; nothing waits for time to pass.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#ifndef _WIN32
#include "win32/kernel32/timerqueue.h"
#endif

namespace {

struct Probe {
    HANDLE started = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE release = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE finished = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE queue = nullptr;
    bool block = false;      // wait for `release` before finishing
    int rearmUntil = 0;      // re-arm (due 0) until this many runs
    bool rearmOnce = false;  // try one re-arm after being released
    bool deleteSelf = false; // delete its own timer, waiting
    HANDLE self = nullptr;
    std::atomic<int> runs{0};
    std::atomic<bool> done{false};
    int signalAt = 1; // set `finished` when this many runs have ended
    PVOID lastParameter = nullptr;
    BOOLEAN fired = FALSE;
    BOOL rearmResult = 2;
    DWORD rearmError = 0;
    BOOL deleteResult = 2;
    DWORD deleteError = 0;

    ~Probe() {
        CloseHandle(started);
        CloseHandle(release);
        CloseHandle(finished);
    }
};

void CALLBACK OnTimer(PVOID parameter, BOOLEAN fired) {
    auto* p = static_cast<Probe*>(parameter);
    p->lastParameter = parameter;
    p->fired = fired;
    int run = ++p->runs;
    SetEvent(p->started);
    if (p->block)
        WaitForSingleObject(p->release, INFINITE);
    if (p->rearmOnce && run == 1) {
        HANDLE t = nullptr;
        p->rearmResult = CreateTimerQueueTimer(&t, p->queue, OnTimer, p, 0, 0, 0);
        p->rearmError = GetLastError();
    }
    if (run < p->rearmUntil) {
        HANDLE t = nullptr;
        p->rearmResult = CreateTimerQueueTimer(&t, p->queue, OnTimer, p, 0, 0, 0);
    }
    if (p->deleteSelf) {
        p->deleteResult = DeleteTimerQueueTimer(p->queue, p->self, INVALID_HANDLE_VALUE);
        p->deleteError = GetLastError();
    }
    if (run == p->signalAt) {
        p->done = true;
        SetEvent(p->finished); // the last touch of the probe
    }
}

HANDLE StartBlocked(Probe& p) {
    p.queue = CreateTimerQueue();
    EXPECT_NE(nullptr, p.queue);
    p.block = true;
    HANDLE t = nullptr;
    EXPECT_TRUE(CreateTimerQueueTimer(&t, p.queue, OnTimer, &p, 0, 0, WT_EXECUTEDEFAULT));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(p.started, INFINITE));
    return t;
}

#ifndef _WIN32
// Until a DeleteTimerQueueEx that waits has marked the queue and is blocked.
void WaitUntilDeletionBlocks() {
    while (tw::TimerQueueWaitingDeletions() == 0)
        std::this_thread::yield();
}
#endif

} // namespace

TEST(TimerQueueTimers, OneShotRunsOnceWithItsParameter) {
    Probe p;
    p.queue = CreateTimerQueue();
    ASSERT_NE(nullptr, p.queue);
    HANDLE t = nullptr;
    ASSERT_TRUE(CreateTimerQueueTimer(&t, p.queue, OnTimer, &p, 0, 0, WT_EXECUTEDEFAULT));
    ASSERT_NE(nullptr, t);
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(p.finished, INFINITE));
    EXPECT_EQ(&p, p.lastParameter);
    EXPECT_TRUE(p.fired);
    // The expired one-shot timer still has to be deleted, and can be.
    EXPECT_TRUE(DeleteTimerQueueTimer(p.queue, t, INVALID_HANDLE_VALUE));
    EXPECT_TRUE(DeleteTimerQueueEx(p.queue, INVALID_HANDLE_VALUE));
    EXPECT_EQ(1, p.runs.load());
}

TEST(TimerQueueTimers, PeriodicRepeatsAndStopsWhenDeleted) {
    Probe p;
    p.signalAt = 3;
    p.queue = CreateTimerQueue();
    HANDLE t = nullptr;
    ASSERT_TRUE(CreateTimerQueueTimer(&t, p.queue, OnTimer, &p, 0, 1, WT_EXECUTEDEFAULT));
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(p.finished, INFINITE));
    ASSERT_TRUE(DeleteTimerQueueTimer(p.queue, t, INVALID_HANDLE_VALUE));
    int after = p.runs.load();
    EXPECT_GE(after, 3);
    ASSERT_TRUE(DeleteTimerQueueEx(p.queue, INVALID_HANDLE_VALUE));
    EXPECT_EQ(after, p.runs.load());
}

TEST(TimerQueueTimers, CancelledTimerNeverRunsAndItsHandleDies) {
    Probe p;
    p.queue = CreateTimerQueue();
    HANDLE t = nullptr;
    ASSERT_TRUE(CreateTimerQueueTimer(&t, p.queue, OnTimer, &p, 3600000, 0, WT_EXECUTEDEFAULT));
    EXPECT_TRUE(DeleteTimerQueueTimer(p.queue, t, INVALID_HANDLE_VALUE));
    SetLastError(0);
    EXPECT_FALSE(DeleteTimerQueueTimer(p.queue, t, INVALID_HANDLE_VALUE));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
    ASSERT_TRUE(DeleteTimerQueueEx(p.queue, INVALID_HANDLE_VALUE));
    EXPECT_EQ(0, p.runs.load());
}

TEST(TimerQueueTimers, DeletingARunningTimerWithoutWaitingIsPending) {
    Probe p;
    HANDLE t = StartBlocked(p);
    SetLastError(0);
    EXPECT_FALSE(DeleteTimerQueueTimer(p.queue, t, nullptr));
    EXPECT_EQ(static_cast<DWORD>(ERROR_IO_PENDING), GetLastError());
    EXPECT_FALSE(p.done);
    SetEvent(p.release);
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(p.finished, INFINITE));
    EXPECT_TRUE(DeleteTimerQueueEx(p.queue, INVALID_HANDLE_VALUE));
}

TEST(TimerQueueTimers, CallbackDeletingItsOwnTimerDoesNotDeadlock) {
    Probe p;
    p.queue = CreateTimerQueue();
    p.block = true;
    p.deleteSelf = true;
    ASSERT_TRUE(CreateTimerQueueTimer(&p.self, p.queue, OnTimer, &p, 0, 0, WT_EXECUTEDEFAULT));
    SetEvent(p.release);
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(p.finished, INFINITE));
    // It cannot wait for itself: the deletion completes when it returns.
    EXPECT_FALSE(p.deleteResult);
    EXPECT_EQ(static_cast<DWORD>(ERROR_IO_PENDING), p.deleteError);
    EXPECT_TRUE(DeleteTimerQueueEx(p.queue, INVALID_HANDLE_VALUE));
}

TEST(TimerQueueTimers, CallbackMayRearmItselfWhileTheQueueLives) {
    Probe p;
    p.rearmUntil = 3;
    p.signalAt = 3;
    p.queue = CreateTimerQueue();
    HANDLE t = nullptr;
    ASSERT_TRUE(CreateTimerQueueTimer(&t, p.queue, OnTimer, &p, 0, 0, WT_EXECUTEONLYONCE));
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(p.finished, INFINITE));
    EXPECT_TRUE(p.rearmResult);
    ASSERT_TRUE(DeleteTimerQueueEx(p.queue, INVALID_HANDLE_VALUE));
    EXPECT_EQ(3, p.runs.load());
}

TEST(TimerQueueTimers, DefaultQueueAndBadArguments) {
    Probe p;
    HANDLE t = nullptr;
    // A NULL queue is the process's default queue.
    ASSERT_TRUE(CreateTimerQueueTimer(&t, nullptr, OnTimer, &p, 0, 0, WT_EXECUTEDEFAULT));
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(p.finished, INFINITE));
    EXPECT_TRUE(DeleteTimerQueueTimer(nullptr, t, INVALID_HANDLE_VALUE));
    SetLastError(0);
    EXPECT_FALSE(DeleteTimerQueueEx(nullptr, INVALID_HANDLE_VALUE));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
    SetLastError(0);
    EXPECT_FALSE(CreateTimerQueueTimer(nullptr, nullptr, OnTimer, &p, 0, 0, 0));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());

    HANDLE q = CreateTimerQueue();
    ASSERT_TRUE(DeleteTimerQueueEx(q, INVALID_HANDLE_VALUE));
    SetLastError(0);
    EXPECT_FALSE(DeleteTimerQueue(q));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
    SetLastError(0);
    EXPECT_FALSE(CreateTimerQueueTimer(&t, q, OnTimer, &p, 0, 0, 0));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
}

TEST(TimerQueueDelete, WithoutWaitingReturnsWhileTheCallbackRuns) {
    Probe p;
    StartBlocked(p);
    // The callback is blocked, so returning at all shows that nothing waited.
    SetLastError(0);
    EXPECT_FALSE(DeleteTimerQueue(p.queue));
    EXPECT_EQ(static_cast<DWORD>(ERROR_IO_PENDING), GetLastError());
    EXPECT_FALSE(p.done);
    SetEvent(p.release);
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(p.finished, INFINITE));
}

TEST(TimerQueueDelete, PendingTimersAreCancelled) {
    Probe p;
    p.queue = CreateTimerQueue();
    HANDLE t = nullptr;
    ASSERT_TRUE(CreateTimerQueueTimer(&t, p.queue, OnTimer, &p, 3600000, 0, WT_EXECUTEDEFAULT));
    EXPECT_TRUE(DeleteTimerQueue(p.queue)); // nothing running: nothing pending
    EXPECT_EQ(0, p.runs.load());
}

TEST(TimerQueueDelete, CompletionEventIsSignalledAfterTheCallback) {
    Probe p;
    StartBlocked(p);
    HANDLE gone = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    EXPECT_TRUE(DeleteTimerQueueEx(p.queue, gone));
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(gone, 0));
    SetEvent(p.release);
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(gone, INFINITE));
    EXPECT_TRUE(p.done);
    CloseHandle(gone);
}

TEST(TimerQueueDelete, RearmWhileAnEventDeletionIsUnderwayIsRefused) {
    Probe p;
    p.rearmOnce = true;
    StartBlocked(p);
    HANDLE gone = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ASSERT_TRUE(DeleteTimerQueueEx(p.queue, gone));
    SetEvent(p.release); // the callback now tries to arm its next timer
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(gone, INFINITE));
    EXPECT_FALSE(p.rearmResult);
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), p.rearmError);
    EXPECT_EQ(1, p.runs.load());
    CloseHandle(gone);
}

#ifndef _WIN32
TEST(TimerQueueDelete, WaitingDeletionWaitsForTheRunningCallback) {
    Probe p;
    StartBlocked(p);
    std::atomic<bool> returned{false};
    bool finishedBeforeReturn = false;
    std::thread deleter([&] {
        EXPECT_TRUE(DeleteTimerQueueEx(p.queue, INVALID_HANDLE_VALUE));
        finishedBeforeReturn = p.done;
        returned = true;
    });
    WaitUntilDeletionBlocks();
    EXPECT_FALSE(returned); // still held by the blocked callback
    SetEvent(p.release);
    deleter.join();
    EXPECT_TRUE(finishedBeforeReturn);
}

TEST(TimerQueueDelete, RearmDuringWaitingDeletionNeitherDeadlocksNorRunsLater) {
    // The log-rotation pattern: the callback arms its next one-shot timer on
    // its own queue while shutdown deletes that queue and waits for it.
    Probe p;
    p.rearmOnce = true;
    StartBlocked(p);
    bool finishedBeforeReturn = false;
    int runsAtReturn = 0;
    std::thread deleter([&] {
        EXPECT_TRUE(DeleteTimerQueueEx(p.queue, INVALID_HANDLE_VALUE));
        finishedBeforeReturn = p.done;
        runsAtReturn = p.runs;
    });
    WaitUntilDeletionBlocks();
    SetEvent(p.release);
    deleter.join();
    EXPECT_TRUE(finishedBeforeReturn);
    EXPECT_FALSE(p.rearmResult);
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), p.rearmError);
    EXPECT_EQ(1, runsAtReturn);
    EXPECT_EQ(1, p.runs.load());
}
#endif
