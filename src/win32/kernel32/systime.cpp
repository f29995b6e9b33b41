// Clocks, system time, FILETIME conversions and the time zone for the Linux
// build, and the runtime's time zone globals.
#include "kernel32/systime.h"

#include <windows.h>

#include <string.h>
#include <time.h>

namespace tw {

long long NowUnixMillis() {
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

} // namespace tw

using namespace tw;

extern "C" {

ULONGLONG GetTickCount64(void) {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<ULONGLONG>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}
DWORD GetTickCount(void) {
    return static_cast<DWORD>(GetTickCount64());
}

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
    // Converting to local time costs more than the rest of a log line; the
    // result holds for the whole second unless the time zone is set anew.
    thread_local struct {
        time_t second = -1;
        long zone = 0;
        const char* zoneName = nullptr;
        struct tm tm;
    } last;
    if (ts.tv_sec != last.second || timezone != last.zone || tzname[0] != last.zoneName) {
        localtime_r(&ts.tv_sec, &last.tm);
        last.second = ts.tv_sec;
        last.zone = timezone;
        last.zoneName = tzname[0];
    }
    toSystemTime(last.tm, ts.tv_nsec / 1000000, st);
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

// ---- the runtime's time zone ----

void _tzset(void) {
    tzset();
}

long* __tw_timezone(void) {
    static thread_local long value;
    value = timezone;
    return &value;
}

} // extern "C"
