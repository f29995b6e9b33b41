// UTF-8 <-> UTF-16 for the other modules of the Linux Win32 layer, without
// Win32 error reporting; a bad sequence becomes U+FFFD (not part of the Win32
// surface).
#pragma once

#include <windows.h>

#include <string>

namespace tw {

std::u16string Utf8ToUtf16(const std::string& s);
std::string Utf16ToUtf8(const std::u16string& s);
std::string Utf16ToUtf8(const WCHAR* s);

} // namespace tw
