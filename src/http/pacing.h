// The pacing of throttled transfers: blocks of half a second's worth of the
// configured rate, block starts at least kBlockSpacingMs apart, and a short
// pause only after a block that took kSlowBlockMs or more.
#pragma once

#include <windows.h>

namespace twhttp {

const DWORD kBlockSpacingMs = 600;
const DWORD kSlowBlockMs = 450;
const DWORD kShortPauseMs = 100;
// Blocks in a row that bring no new byte before the paced transfer gives up.
const int kMaxIdleBlocks = 5;

// Bytes per block for DataTransferRate_KBps: the rate times 500, computed wide
// and capped at 32 bits (0 means no pacing: the whole rest in one block).
inline DWORD BlockBytesForRate(DWORD rateKBps) {
    ULONGLONG bytes = static_cast<ULONGLONG>(rateKBps) * 500u;
    return bytes > 0xFFFFFFFFull ? 0xFFFFFFFFu : static_cast<DWORD>(bytes);
}

// The pause after a block that took `elapsedMs` (negative when the clock went back).
inline DWORD PauseAfterBlock(LONGLONG elapsedMs) {
    return elapsedMs < 0 || elapsedMs >= kSlowBlockMs ? kShortPauseMs
                                                      : static_cast<DWORD>(kBlockSpacingMs - elapsedMs);
}

} // namespace twhttp
