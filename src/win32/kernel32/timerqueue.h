// Internal view of the timer queues, for tests that must order their threads
// against a deletion that is waiting (not part of the Win32 surface).
#pragma once

namespace tw {

// Number of DeleteTimerQueueEx calls, in the whole process, that are blocked
// waiting for a running callback to end.
int TimerQueueWaitingDeletions();

} // namespace tw
