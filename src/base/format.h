// printf-style formatting shared by the log writers and standard-output lines.
// Differences from the C library, so that messages read the same on both
// platforms: "%S", "%ws" and "%ls" take UTF-16 text (const WCHAR*), and the
// length modifier "l" means 32 bits as on Windows ("%ld" takes a LONG).
#pragma once

#include <windows.h>
#include <stdarg.h>
#include <string>

void TwVFormat(std::string& out, const char* format, va_list args);
std::string TwFormat(const char* format, ...);
// Formats to standard output.
void TwPrintf(const char* format, ...);
