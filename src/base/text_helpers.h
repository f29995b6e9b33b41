// Text conversions between UTF-8 and UTF-16, and the small wide-text helpers
// the agent library uses instead of the C library's wide functions (whose
// wchar_t is 32 bits on Linux).
#pragma once

#include <windows.h>
#include <stddef.h>

// Wide literals: WCHAR text on both platforms.
#ifdef _WIN32
#define TW_W_(s) L##s
#else
#define TW_W_(s) u##s
#endif
#define TW_W(s) TW_W_(s)

bool ChangeUtf8ToWideStr(const char* utf8, WCHAR** out);
int ChangeToWideStr(const char* text, WCHAR** out);
bool ChangeWideToUtf8Str(const WCHAR* wide, char** out);
int ChangeAnsiToUTF8Str(const char* text, char** out);

char* ConcatStrings(const char* a, const char* b);
char* TwTextDup(const char* s); // malloc'd copy, null for null or when memory runs out
char* GetLastFileName(const char* path);
char* GetLastUrlFileName(const char* path);

// Wide helpers.
size_t TwWideLen(const WCHAR* s);
int TwWideCmp(const WCHAR* a, const WCHAR* b);
int TwWideICmp(const WCHAR* a, const WCHAR* b); // ASCII letters folded
WCHAR* TwWideDup(const WCHAR* s);               // malloc'd copy, null for null
const WCHAR* TwWideStr(const WCHAR* text, const WCHAR* sub);
void TwWideLower(WCHAR* s); // in place, Unicode-aware for the BMP
// Formats narrow printf-style text (see logging/format.h) into a bounded wide
// buffer of `chars` characters; returns the characters written, or -1 when it
// did not fit (the buffer then holds a terminated prefix).
int TwWideFormat(WCHAR* buffer, size_t chars, const char* format, ...);
// New malloc'd UTF-8 / UTF-16 texts without logging (null on failure).
char* TwWideToUtf8(const WCHAR* s);
WCHAR* TwUtf8ToWide(const char* s);
