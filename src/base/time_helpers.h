// Date and time texts and conversions.
#pragma once

#include <windows.h>

// YY-MM-DD of the local date, in one static buffer that every call overwrites.
const char* GetDateText();
// HH:MM:SS of the local time into a new 13-byte buffer (24-hour clock when the flag is set).
void GetTimeText(bool use24Hour, char** out);
void SystemTimeToUnixSeconds(const SYSTEMTIME& st, LONGLONG* out);
// Decimal milliseconds since 1970 as a new UTF-16 text (also printed to standard output).
WCHAR* GetCurrentTimeMillisText();
int GetTimeInSeconds(SYSTEMTIME st);
