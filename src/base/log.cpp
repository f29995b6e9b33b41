// The log state, the four writers, opening and closing the file.
#include "base/log.h"
#include "base/format.h"
#include "base/lock_table.h"

#include <direct.h>
#include <errno.h>
#include <share.h>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

FILE* gv_logFilePtr = nullptr;
BYTE* gv_logLock = nullptr;

namespace {
size_t formatStamp(char* out);
size_t formatInt(char* out, int value);
char* g_fileName = nullptr;
char* g_folder = nullptr;
char* g_fullPath = nullptr;
BYTE g_level = 3;

char* dupText(const char* s) {
    size_t n = strlen(s) + 1;
    auto* p = static_cast<char*>(malloc(n));
    if (p != nullptr)
        memcpy(p, s, n);
    return p;
}

void writeLine(BYTE threshold, const char* tag, const char* format, va_list args) {
    if (gv_logFilePtr == nullptr)
        return;
    if (g_level == 0 || g_level < threshold)
        return;
    BYTE* key = gv_logLock;
    if (key == nullptr)
        return;
    // Format before taking the lock: the lock is held only for the write, so
    // the rotation on the timer thread finds the log free often enough. The
    // line's buffer stays with the thread, so a line costs no allocation.
    thread_local std::string line;
    line.clear();
    char head[96];
    char* p = head;
    *p++ = '[';
    *p++ = ' ';
    p += formatStamp(p);
    memcpy(p, " ] [ ", 5);
    p += 5;
    p += formatInt(p, static_cast<int>(GetCurrentThreadId()));
    memcpy(p, " ] ", 3);
    p += 3;
    size_t tagLength = strlen(tag);
    memcpy(p, tag, tagLength);
    p += tagLength;
    *p++ = ' ';
    line.append(head, static_cast<size_t>(p - head));
    TwVFormat(line, format, args);
    LockObject(key);
    // The log may have been closed while this thread waited.
    if (gv_logFilePtr != nullptr) {
        fwrite(line.data(), 1, line.size(), gv_logFilePtr);
        fflush(gv_logFilePtr);
    }
    UnlockObject(key);
}
} // namespace

void LogInfo(const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    writeLine(1, "[INFO]", format, ap);
    va_end(ap);
}

void LogError(const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    writeLine(2, "[ERROR]", format, ap);
    va_end(ap);
}

void LogDebug(const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    writeLine(3, "[DEBUG]", format, ap);
    va_end(ap);
}

void LogTrace(const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    writeLine(4, "[TRACE]", format, ap);
    va_end(ap);
}

namespace {
// "%d-%02d-%02d %02d:%02d:%02d:%03d" of the local time, written digit by digit:
// every log line needs one.
size_t formatStamp(char* out) {
    SYSTEMTIME st;
    GetLocalTime(&st);
    char* p = out;
    // The year as "%d": four digits from year 1000 on, otherwise the general way.
    if (st.wYear >= 1000 && st.wYear <= 9999) {
        unsigned y = st.wYear;
        p[0] = static_cast<char>('0' + y / 1000);
        p[1] = static_cast<char>('0' + y / 100 % 10);
        p[2] = static_cast<char>('0' + y / 10 % 10);
        p[3] = static_cast<char>('0' + y % 10);
        p += 4;
    } else {
        p += formatInt(p, st.wYear);
    }
    auto two = [&p](unsigned v, char after) {
        if (v > 99) { // wider than its field, as "%02d" prints it
            p += formatInt(p, static_cast<int>(v));
        } else {
            p[0] = static_cast<char>('0' + v / 10);
            p[1] = static_cast<char>('0' + v % 10);
            p += 2;
        }
        *p++ = after;
    };
    *p++ = '-';
    two(st.wMonth, '-');
    two(st.wDay, ' ');
    two(st.wHour, ':');
    two(st.wMinute, ':');
    two(st.wSecond, ':');
    unsigned ms = st.wMilliseconds;
    if (ms > 999) {
        p += formatInt(p, static_cast<int>(ms));
    } else {
        p[0] = static_cast<char>('0' + ms / 100);
        p[1] = static_cast<char>('0' + ms / 10 % 10);
        p[2] = static_cast<char>('0' + ms % 10);
        p += 3;
    }
    *p = '\0';
    return static_cast<size_t>(p - out);
}
} // namespace

namespace {
// "%d" of `value`, without the C library's format parsing.
size_t formatInt(char* out, int value) {
    char tmp[12];
    size_t n = 0;
    unsigned v = value < 0 ? 0u - static_cast<unsigned>(value) : static_cast<unsigned>(value);
    do {
        tmp[n++] = static_cast<char>('0' + v % 10);
        v /= 10;
    } while (v != 0);
    size_t len = 0;
    if (value < 0)
        out[len++] = '-';
    while (n > 0)
        out[len++] = tmp[--n];
    return len;
}
} // namespace

char* GetLogTimeStamp() {
    char stamp[40];
    formatStamp(stamp);
    return dupText(stamp);
}

BYTE GetLogLevel() {
    return g_level;
}
const char* GetLogFullPath() {
    return g_fullPath;
}

bool SetLogDefaults() {
    if (gv_logFilePtr != nullptr) {
        g_level = 3;
        return true;
    }
    if (g_fileName != nullptr)
        return true;
    char* name = dupText("tabrix.log");
    auto* lock = static_cast<BYTE*>(malloc(1));
    if (name == nullptr || lock == nullptr) {
        free(name);
        free(lock);
        return false;
    }
    free(gv_logLock);
    gv_logLock = lock;
    g_fileName = name;
    free(g_folder);
    g_folder = nullptr;
    free(g_fullPath);
    g_fullPath = nullptr;
    g_level = 3;
    return true;
}

bool SetLogConfig(const char* fileName, const char* folder, BYTE level) {
    if (fileName == nullptr || folder == nullptr)
        return false;
    char* name = dupText(fileName);
    char* dir = dupText(folder);
    if (name == nullptr || dir == nullptr) {
        free(name);
        free(dir);
        return false;
    }
    free(g_fileName);
    free(g_folder);
    g_fileName = name;
    g_folder = dir;
    g_level = level;
    return true;
}

int CreateLogFolder(const char* path) {
    if (path == nullptr)
        return EINVAL;
    // Missing parents are made first, walking up by '/' only; done without
    // recursion so that a path of many levels cannot exhaust the stack.
    struct Step {
        std::string path;
        bool retried;
    };
    std::vector<Step> chain{{path, false}};
    int result = 0;
    for (;;) {
        Step& cur = chain.back();
        if (_mkdir(cur.path.c_str()) == 0) {
            result = 0;
        } else if (errno == EEXIST) {
            result = 1;
        } else if (errno == ENOENT && !cur.retried) {
            std::string p = cur.path;
            while (!p.empty() && p.back() == '/')
                p.pop_back();
            size_t slash = p.rfind('/');
            if (slash == std::string::npos || slash == 0) {
                result = ENOENT;
            } else {
                chain.push_back({p.substr(0, slash), false});
                continue;
            }
        } else {
            result = errno;
        }
        chain.pop_back();
        if (chain.empty())
            return result;
        if (result != 0 && result != 1)
            return result;
        chain.back().retried = true;
    }
}

bool OpenLogFile(const char* mode) {
    if (gv_logFilePtr != nullptr) {
        LogTrace("gv_logFilePtr already Set\n");
        return true;
    }
    if (mode == nullptr || g_fileName == nullptr)
        return false;
    const char* folder = g_folder != nullptr ? g_folder : "../logs";
    CreateLogFolder(folder);
    std::string path = TwFormat("%s/%s", folder, g_fileName);
    free(g_fullPath);
    g_fullPath = dupText(path.c_str());
    FILE* f = _fsopen(path.c_str(), mode, _SH_DENYNO);
    if (f == nullptr)
        return false;
    char* stamp = GetLogTimeStamp();
    fprintf(f, "Log open time: %s\n", stamp ? stamp : "");
    free(stamp);
    fflush(f);
    gv_logFilePtr = f;
    return true;
}

void CloseLogFile() {
    if (gv_logFilePtr == nullptr)
        return;
    BYTE* key = gv_logLock;
    if (key != nullptr)
        LockObject(key);
    FILE* f = gv_logFilePtr;
    char* stamp = GetLogTimeStamp();
    fprintf(f, "Log close time: %s\n", stamp ? stamp : "");
    free(stamp);
    fflush(f);
    gv_logFilePtr = nullptr;
    fclose(f);
    if (key != nullptr)
        UnlockObject(key);
}

void FreeLogConfig() {
    free(g_fileName);
    g_fileName = nullptr;
    free(g_folder);
    g_folder = nullptr;
    free(g_fullPath);
    g_fullPath = nullptr;
    free(gv_logLock);
    gv_logLock = nullptr;
}
