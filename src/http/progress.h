// Progress of the transfer under way, for a program that shows it to a person.
// The library reports where downloaded bytes are written and upload bytes are
// sent; a listener hears at most one report per 100 ms, plus the report of
// the last byte, so a transfer pays one clock read per chunk at most. Without
// a listener a report costs one test.
#pragma once

#include <windows.h>

struct TransferProgress {
    ULONGLONG done;        // bytes of the body so far, those resumed from included
    ULONGLONG total;       // the body's length; 0 when the server did not say
    ULONGLONG resumedFrom; // where a resumed download started this run, else 0
    bool upload;
};

using TransferListener = void (*)(const TransferProgress& progress);

// Set once by the program before its requests, on the thread that makes them;
// null stops the reports.
void SetTransferListener(TransferListener listener);

// Called where bytes are written or sent.
void ReportTransfer(ULONGLONG done, ULONGLONG total, ULONGLONG resumedFrom = 0,
                    bool upload = false);
