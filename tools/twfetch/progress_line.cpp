#include "progress_line.h"

#include <stdio.h>

namespace {

std::string Bytes(ULONGLONG n) {
    char buf[32];
    if (n < 1024)
        snprintf(buf, sizeof buf, "%u B", static_cast<unsigned>(n));
    else if (n < (1ull << 20))
        snprintf(buf, sizeof buf, "%.1f KiB", static_cast<double>(n) / 1024);
    else if (n < (1ull << 30))
        snprintf(buf, sizeof buf, "%.1f MiB", static_cast<double>(n) / (1 << 20));
    else
        snprintf(buf, sizeof buf, "%.2f GiB", static_cast<double>(n) / (1 << 30));
    return buf;
}

std::string Duration(ULONGLONG s) {
    const unsigned long long seconds = s;
    char buf[32];
    if (seconds >= 3600)
        snprintf(buf, sizeof buf, "%llu:%02llu:%02llu", seconds / 3600, seconds / 60 % 60,
                 seconds % 60);
    else
        snprintf(buf, sizeof buf, "%llu:%02llu", seconds / 60, seconds % 60);
    return buf;
}

ULONGLONG g_startMs = 0;
size_t g_drawnWidth = 0; // 0: no line on the terminal

} // namespace

std::string ProgressLine(const TransferProgress& p, ULONGLONG elapsedMs) {
    const ULONGLONG moved = p.done > p.resumedFrom ? p.done - p.resumedFrom : 0;
    // Bytes per second; none before a first measurable moment.
    const ULONGLONG rate = elapsedMs == 0 ? 0 : moved * 1000 / elapsedMs;
    std::string line = Bytes(p.done);
    if (p.total != 0) {
        const ULONGLONG done = p.done < p.total ? p.done : p.total;
        line += " of " + Bytes(p.total);
        line += "  " + std::to_string(done * 100 / p.total) + "%";
        line += "  " + Bytes(rate) + "/s";
        if (done == p.total)
            line += "  done";
        else if (rate == 0)
            line += "  --:-- left";
        else
            line += "  " + Duration((p.total - done + rate - 1) / rate) + " left";
    } else {
        line += "  " + Bytes(rate) + "/s";
    }
    if (p.resumedFrom != 0)
        line += "  (resumed at " + Bytes(p.resumedFrom) + ")";
    return line;
}

void StartProgressClock() {
    g_startMs = GetTickCount64();
}

void DrawProgress(const TransferProgress& p) {
    const ULONGLONG size = p.total != 0 ? p.total : p.done;
    if (size < kProgressFromBytes)
        return;
    std::string line = (p.upload ? "upload   " : "download ") +
                       ProgressLine(p, GetTickCount64() - g_startMs);
    // A shorter line than the last one blanks the rest of it.
    const size_t width = line.size();
    if (width < g_drawnWidth)
        line.append(g_drawnWidth - width, ' ');
    fprintf(stderr, "\r%s", line.c_str());
    fflush(stderr);
    g_drawnWidth = width;
}

void EndProgress() {
    if (g_drawnWidth == 0)
        return;
    fputc('\n', stderr);
    fflush(stderr);
    g_drawnWidth = 0;
}
