// Names of the Microsoft C runtime that the program uses, for the Linux build.
// On Windows they come from <string.h> and <stdlib.h>.
#pragma once

#ifdef __cplusplus
extern "C" {
#endif
int _stricmp(const char* a, const char* b);
int _strnicmp(const char* a, const char* b, unsigned long n);
#ifdef __cplusplus
}
#endif

// The runtime's time-zone set-up: _timezone is UTC minus standard local time, in seconds.
#ifdef __cplusplus
extern "C" {
#endif
void _tzset(void);
long* __tw_timezone(void);
#ifdef __cplusplus
}
#endif
#define _timezone (*__tw_timezone())
