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
