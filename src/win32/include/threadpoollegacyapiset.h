// Timer queues (kernel32) for the Linux build: one thread per queue runs the
// queue's callbacks one at a time.
#pragma once

#include "windef.h"

#ifdef __cplusplus
extern "C" {
#endif

// Flags of CreateTimerQueueTimer (winnt.h on Windows). Every callback runs on
// the queue's own thread here, whatever the flags ask for.
#define WT_EXECUTEDEFAULT 0x00000000
#define WT_EXECUTEINIOTHREAD 0x00000001
#define WT_EXECUTEINUITHREAD 0x00000002
#define WT_EXECUTEINWAITTHREAD 0x00000004
#define WT_EXECUTEONLYONCE 0x00000008
#define WT_EXECUTELONGFUNCTION 0x00000010
#define WT_EXECUTEINTIMERTHREAD 0x00000020
#define WT_EXECUTEINPERSISTENTIOTHREAD 0x00000040
#define WT_EXECUTEINPERSISTENTTHREAD 0x00000080
#define WT_TRANSFER_IMPERSONATION 0x00000100

typedef void(CALLBACK* WAITORTIMERCALLBACK)(PVOID parameter, BOOLEAN timerOrWaitFired);

HANDLE CreateTimerQueue(void);
BOOL CreateTimerQueueTimer(PHANDLE newTimer, HANDLE timerQueue, WAITORTIMERCALLBACK callback,
                           PVOID parameter, DWORD dueTime, DWORD period, ULONG flags);
BOOL ChangeTimerQueueTimer(HANDLE timerQueue, HANDLE timer, ULONG dueTime, ULONG period);
BOOL DeleteTimerQueueTimer(HANDLE timerQueue, HANDLE timer, HANDLE completionEvent);
BOOL DeleteTimerQueue(HANDLE timerQueue);
BOOL DeleteTimerQueueEx(HANDLE timerQueue, HANDLE completionEvent);

#ifdef __cplusplus
}
#endif
