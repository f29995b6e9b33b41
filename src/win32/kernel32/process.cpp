// Handles, last error, process and thread identity, time, memory and the
// environment, for the Linux build.
#include "kernel32/handles.h"

#include <errno.h>
#include <pthread.h>
#include <sched.h>
#include <stdlib.h>
#include <string.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <mutex>
#include <unordered_set>

namespace tw {

namespace {
std::mutex& handleMutex() {
    static std::mutex m;
    return m;
}
std::unordered_set<const void*>& handleSet() {
    static auto* set = new std::unordered_set<const void*>();
    return *set;
}
// Kernel objects apart from the other modules' handles, so a handle is only
// ever cast to the type it was registered as.
std::unordered_set<const void*>& kernelSet() {
    static auto* set = new std::unordered_set<const void*>();
    return *set;
}
} // namespace

void RegisterHandle(const void* handle) {
    std::lock_guard<std::mutex> g(handleMutex());
    handleSet().insert(handle);
}

void UnregisterHandle(const void* handle) {
    std::lock_guard<std::mutex> g(handleMutex());
    handleSet().erase(handle);
}

bool IsRegisteredHandle(const void* handle) {
    std::lock_guard<std::mutex> g(handleMutex());
    return handleSet().count(handle) != 0;
}

KernelObject::KernelObject() {
    std::lock_guard<std::mutex> g(handleMutex());
    kernelSet().insert(static_cast<HANDLE>(this));
}
KernelObject::~KernelObject() {
    std::lock_guard<std::mutex> g(handleMutex());
    kernelSet().erase(static_cast<HANDLE>(this));
}
DWORD KernelObject::wait(DWORD) {
    SetLastError(ERROR_INVALID_HANDLE);
    return WAIT_FAILED;
}

KernelObject* GetKernelObject(HANDLE handle) {
    bool known = false;
    if (handle != nullptr && handle != INVALID_HANDLE_VALUE) {
        std::lock_guard<std::mutex> g(handleMutex());
        known = kernelSet().count(handle) != 0;
    }
    if (!known) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return static_cast<KernelObject*>(handle);
}

long long NowUnixMillis() {
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

} // namespace tw

using namespace tw;

static thread_local DWORD t_lastError = 0;

extern "C" {

DWORD GetLastError(void) {
    return t_lastError;
}
void SetLastError(DWORD code) {
    t_lastError = code;
}

// The id is asked of the kernel once per thread; a forked child starts afresh.
static thread_local DWORD t_threadId = 0;
static void forgetThreadId() {
    t_threadId = 0;
}

DWORD GetCurrentThreadId(void) {
    if (t_threadId == 0) {
        static bool atforkSet = (pthread_atfork(nullptr, nullptr, forgetThreadId), true);
        (void)atforkSet;
        t_threadId = static_cast<DWORD>(syscall(SYS_gettid));
    }
    return t_threadId;
}
DWORD GetCurrentProcessId(void) {
    return static_cast<DWORD>(getpid());
}
HANDLE GetCurrentProcess(void) {
    return reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-1));
}
HANDLE GetCurrentThread(void) {
    return reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-2));
}

ULONGLONG GetTickCount64(void) {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<ULONGLONG>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}
DWORD GetTickCount(void) {
    return static_cast<DWORD>(GetTickCount64());
}

DWORD GetEnvironmentVariableA(LPCSTR name, LPSTR buffer, DWORD size) {
    if (name == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const char* value = getenv(name);
    // Windows always defines TEMP and TMP; Linux sessions often do not.
    if ((value == nullptr || *value == '\0') &&
        (strcmp(name, "TEMP") == 0 || strcmp(name, "TMP") == 0)) {
        value = getenv("TMPDIR");
        if (value == nullptr || *value == '\0')
            value = "/tmp";
    }
    if (value == nullptr) {
        SetLastError(ERROR_ENVVAR_NOT_FOUND);
        return 0;
    }
    size_t len = strlen(value);
    if (buffer == nullptr || size <= len)
        return static_cast<DWORD>(len + 1);
    memcpy(buffer, value, len + 1);
    return static_cast<DWORD>(len);
}

// ---- time ----

static void toSystemTime(const struct tm& tm, long millis, LPSYSTEMTIME st) {
    st->wYear = static_cast<WORD>(tm.tm_year + 1900);
    st->wMonth = static_cast<WORD>(tm.tm_mon + 1);
    st->wDayOfWeek = static_cast<WORD>(tm.tm_wday);
    st->wDay = static_cast<WORD>(tm.tm_mday);
    st->wHour = static_cast<WORD>(tm.tm_hour);
    st->wMinute = static_cast<WORD>(tm.tm_min);
    st->wSecond = static_cast<WORD>(tm.tm_sec);
    st->wMilliseconds = static_cast<WORD>(millis);
}

void GetLocalTime(LPSYSTEMTIME st) {
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    struct tm tm;
    localtime_r(&ts.tv_sec, &tm);
    toSystemTime(tm, ts.tv_nsec / 1000000, st);
}

void GetSystemTime(LPSYSTEMTIME st) {
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    struct tm tm;
    gmtime_r(&ts.tv_sec, &tm);
    toSystemTime(tm, ts.tv_nsec / 1000000, st);
}

// 100-ns intervals between 1601-01-01 and 1970-01-01.
static const long long kEpochDiff100ns = 116444736000000000LL;

static long long daysFromCivil(long long y, unsigned m, unsigned d) {
    y -= m <= 2;
    const long long era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<long long>(doe) - 719468;
}

static bool isLeap(unsigned y) {
    return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}

BOOL SystemTimeToFileTime(const SYSTEMTIME* st, LPFILETIME ft) {
    static const unsigned kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (st == nullptr || ft == nullptr || st->wYear < 1601 || st->wYear > 30827 || st->wMonth < 1 ||
        st->wMonth > 12 || st->wDay < 1 || st->wHour > 23 || st->wMinute > 59 || st->wSecond > 59 ||
        st->wMilliseconds > 999) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    unsigned maxDay = kDays[st->wMonth - 1] + (st->wMonth == 2 && isLeap(st->wYear) ? 1 : 0);
    if (st->wDay > maxDay) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    long long days = daysFromCivil(st->wYear, st->wMonth, st->wDay);
    long long secs = days * 86400 + st->wHour * 3600 + st->wMinute * 60 + st->wSecond;
    long long v = secs * 10000000LL + st->wMilliseconds * 10000LL + kEpochDiff100ns;
    ft->dwLowDateTime = static_cast<DWORD>(v & 0xFFFFFFFF);
    ft->dwHighDateTime = static_cast<DWORD>(static_cast<unsigned long long>(v) >> 32);
    return TRUE;
}

BOOL FileTimeToSystemTime(const FILETIME* ft, LPSYSTEMTIME st) {
    if (ft == nullptr || st == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    unsigned long long v =
        (static_cast<unsigned long long>(ft->dwHighDateTime) << 32) | ft->dwLowDateTime;
    if (v >= 0x8000000000000000ULL) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    long long rel = static_cast<long long>(v) - kEpochDiff100ns;
    long long secs = rel >= 0 ? rel / 10000000LL : -((-rel + 9999999) / 10000000LL);
    long long rem100ns = rel - secs * 10000000LL;
    time_t t = static_cast<time_t>(secs);
    struct tm tm;
    gmtime_r(&t, &tm);
    toSystemTime(tm, static_cast<long>(rem100ns / 10000), st);
    return TRUE;
}

void GetSystemTimeAsFileTime(LPFILETIME ft) {
    long long v = NowUnixMillis() * 10000LL + kEpochDiff100ns;
    ft->dwLowDateTime = static_cast<DWORD>(v & 0xFFFFFFFF);
    ft->dwHighDateTime = static_cast<DWORD>(static_cast<unsigned long long>(v) >> 32);
}

// The host's zone as one bias; no transition dates are given, so a caller
// that converts with the returned record gets the offset in force now.
DWORD GetTimeZoneInformation(LPTIME_ZONE_INFORMATION tzi) {
    if (tzi == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return TIME_ZONE_ID_INVALID;
    }
    memset(tzi, 0, sizeof *tzi);
    tzset();
    time_t now = time(nullptr);
    struct tm tm;
    localtime_r(&now, &tm);
    tzi->Bias = static_cast<LONG>(timezone / 60);
    const char* stdName = tzname[0] ? tzname[0] : "";
    const char* dstName = tzname[1] ? tzname[1] : "";
    for (int i = 0; i < 31 && stdName[i]; ++i)
        tzi->StandardName[i] = static_cast<WCHAR>(static_cast<unsigned char>(stdName[i]));
    for (int i = 0; i < 31 && dstName[i]; ++i)
        tzi->DaylightName[i] = static_cast<WCHAR>(static_cast<unsigned char>(dstName[i]));
    if (!daylight)
        return TIME_ZONE_ID_UNKNOWN;
    // Daylight bias: the difference between the current and the standard offset
    // when daylight time is in force, else the usual hour.
    long dstOffset = tm.tm_isdst > 0 ? -tm.tm_gmtoff / 60 : (timezone / 60) - 60;
    tzi->DaylightBias = static_cast<LONG>(dstOffset - tzi->Bias);
    return tm.tm_isdst > 0 ? TIME_ZONE_ID_DAYLIGHT : TIME_ZONE_ID_STANDARD;
}

BOOL SystemTimeToTzSpecificLocalTime(const TIME_ZONE_INFORMATION* tzi, const SYSTEMTIME* utc,
                                     LPSYSTEMTIME local) {
    FILETIME ft;
    if (utc == nullptr || local == nullptr || !SystemTimeToFileTime(utc, &ft))
        return FALSE;
    unsigned long long v =
        (static_cast<unsigned long long>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
    long long unixSecs = (static_cast<long long>(v) - kEpochDiff100ns) / 10000000LL;
    if (tzi == nullptr) {
        time_t t = static_cast<time_t>(unixSecs);
        struct tm tm;
        localtime_r(&t, &tm);
        toSystemTime(tm, utc->wMilliseconds, local);
        return TRUE;
    }
    long long shifted = static_cast<long long>(v) - static_cast<long long>(tzi->Bias) * 600000000LL;
    FILETIME out;
    out.dwLowDateTime = static_cast<DWORD>(shifted & 0xFFFFFFFF);
    out.dwHighDateTime = static_cast<DWORD>(static_cast<unsigned long long>(shifted) >> 32);
    return FileTimeToSystemTime(&out, local);
}

// ---- memory ----

HGLOBAL GlobalAlloc(UINT flags, SIZE_T bytes) {
    void* p = (flags & GMEM_ZEROINIT) ? calloc(1, bytes ? bytes : 1) : malloc(bytes ? bytes : 1);
    if (p == nullptr)
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return p;
}
HGLOBAL GlobalFree(HGLOBAL mem) {
    free(mem);
    return nullptr;
}
HLOCAL LocalAlloc(UINT flags, SIZE_T bytes) {
    return GlobalAlloc(flags, bytes);
}
HLOCAL LocalFree(HLOCAL mem) {
    free(mem);
    return nullptr;
}

void Sleep(DWORD milliseconds) {
    if (milliseconds == 0) {
        sched_yield();
        return;
    }
    timespec ts{static_cast<time_t>(milliseconds / 1000),
                static_cast<long>(milliseconds % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

} // extern "C"
