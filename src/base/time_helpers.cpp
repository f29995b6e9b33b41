#include "base/time_helpers.h"
#include "base/text_helpers.h"
#include "base/format.h"
#include "base/log.h"

#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <chrono>
#include <string>

namespace {
// The last two decimal digits of n.
void twoDigits(char* out, int n) {
    out[0] = static_cast<char>('0' + (n / 10) % 10);
    out[1] = static_cast<char>('0' + n % 10);
}

struct tm localNow() {
    time_t now = time(nullptr);
    struct tm* t = localtime(&now);
    struct tm copy {};
    if (t != nullptr)
        copy = *t;
    return copy;
}
} // namespace

const char* GetDateText() {
    static char text[9];
    struct tm t = localNow();
    twoDigits(text, t.tm_year);
    text[2] = '-';
    twoDigits(text + 3, t.tm_mon + 1);
    text[5] = '-';
    twoDigits(text + 6, t.tm_mday);
    text[8] = '\0';
    return text;
}

void GetTimeText(bool use24Hour, char** out) {
    if (out == nullptr)
        return;
    auto* text = static_cast<char*>(calloc(13, 1));
    *out = text;
    if (text == nullptr)
        return;
    struct tm t = localNow();
    int hour = t.tm_hour;
    if (!use24Hour) {
        hour %= 12;
        if (hour == 0)
            hour = 12;
    }
    twoDigits(text, hour);
    text[2] = ':';
    twoDigits(text + 3, t.tm_min);
    text[5] = ':';
    twoDigits(text + 6, t.tm_sec);
}

void SystemTimeToUnixSeconds(const SYSTEMTIME& st, LONGLONG* out) {
    if (out == nullptr)
        return;
    FILETIME ft{};
    SystemTimeToFileTime(&st, &ft);
    ULARGE_INTEGER v;
    v.LowPart = ft.dwLowDateTime;
    v.HighPart = ft.dwHighDateTime;
    const LONGLONG kSecondsTo1970 = 11644473600LL;
    *out = static_cast<LONGLONG>(v.QuadPart / 10000000ULL) - kSecondsTo1970;
}

WCHAR* GetCurrentTimeMillisText() {
    SYSTEMTIME st;
    GetSystemTime(&st);
    LONGLONG secs = 0;
    SystemTimeToUnixSeconds(st, &secs);
    auto now = std::chrono::system_clock::now().time_since_epoch();
    LONGLONG millis = std::chrono::duration_cast<std::chrono::milliseconds>(now).count() % 1000;
    auto* text = static_cast<WCHAR*>(calloc(260, 1));
    if (text == nullptr)
        return nullptr;
    TwWideFormat(text, 260 / sizeof(WCHAR), "%lld", secs * 1000 + millis);
    TwPrintf("\nTime = %ws", text);
    return text;
}

int GetTimeInSeconds(SYSTEMTIME st) {
    LONGLONG secs = 0;
    SystemTimeToUnixSeconds(st, &secs);
    _tzset();
    LONGLONG offset = _timezone;
    std::string text = TwFormat("%lld", secs + offset);
    LogDebug("GetTimeInSeconds : retDate :: %s\n", text.c_str());
    // Read back as the runtime's atoi does on Windows: out-of-range values saturate.
    long long parsed = strtoll(text.c_str(), nullptr, 10);
    int value = parsed > 2147483647LL        ? 2147483647
                : parsed < -2147483647LL - 1 ? -2147483647 - 1
                                             : static_cast<int>(parsed);
    LogInfo("GetTimeInSeconds : Time in Second : %d\n", value);
    return value;
}
