#include "http/progress.h"

namespace {

const ULONGLONG kReportEveryMs = 100;

TransferListener g_listener = nullptr;
// The transfers are made on the thread that set the listener.
ULONGLONG g_lastReport = 0;

} // namespace

void SetTransferListener(TransferListener listener) {
    g_listener = listener;
    g_lastReport = 0;
}

void ReportTransfer(ULONGLONG done, ULONGLONG total, ULONGLONG resumedFrom, bool upload) {
    if (g_listener == nullptr)
        return;
    const bool last = total != 0 && done >= total;
    const ULONGLONG now = GetTickCount64();
    if (!last && g_lastReport != 0 && now - g_lastReport < kReportEveryMs)
        return;
    g_lastReport = now;
    g_listener(TransferProgress{done, total, resumedFrom, upload});
}
