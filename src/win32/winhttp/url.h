// URLs of the Linux WinHTTP: the request path as WinHTTP escapes it, the URL
// a request goes to, and URL parsing through curl's own parser (not part of
// the Win32 surface).
#pragma once

#include <windows.h>
#include <winhttp.h>

#include <string>

namespace tw::winhttp {

// UTF-8 of a WinHTTP text argument; empty for null.
std::string Narrow(const WCHAR* s);
std::string LowerAscii(std::string s);

// The object name as it goes into the request line, with a leading '/'.
std::string EscapePath(const WCHAR* objectName, DWORD flags);
// "http[s]://host:port/path", the port made explicit, an IPv6 host bracketed.
std::string BuildUrl(bool secure, const std::string& host, INTERNET_PORT port,
                     const std::string& path);
// Host and scheme (lower-cased) of a URL; false when it does not parse.
bool UrlParts(const std::string& url, std::string* scheme, std::string* host);
// A Location header resolved against the URL it answered.
bool ResolveLocation(const std::string& base, const std::string& location, std::string* out);

} // namespace tw::winhttp
