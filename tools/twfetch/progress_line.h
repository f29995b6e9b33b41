// The progress line twfetch draws on a terminal while a large transfer runs.
#pragma once

#include "http/progress.h"

#include <string>

// Transfers below this size show no line: they are over before one helps.
constexpr ULONGLONG kProgressFromBytes = 4ull << 20;

// "12.0 MiB of 40.0 MiB  30%  8.0 MiB/s  0:03 left", with "(resumed at ...)"
// for a resumed download; without a total, the bytes and the rate only.
// `elapsedMs` is the time since the transfer started; the rate counts the
// bytes of this run only.
std::string ProgressLine(const TransferProgress& p, ULONGLONG elapsedMs);

// Draws the line on standard error from the library's reports (SetTransferListener).
void DrawProgress(const TransferProgress& p);
// Ends a drawn line with a line break; nothing when none was drawn.
void EndProgress();
// Where the elapsed time of DrawProgress counts from.
void StartProgressClock();
