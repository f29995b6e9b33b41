// The named-proxy choice of the Linux WinHTTP (proxy.cpp; not part of the
// Win32 surface).
#pragma once

#include <windows.h>

#include <string>

namespace tw::winhttp {

// The proxy ("host:port", port 80 when none is given) that a named-proxy list
// such as "proxy:8080", "http=a:80;https=b:443" or "a:80 b:81" gives for a
// request of this scheme; empty when the list names none for it.
std::string ProxyForScheme(const std::u16string& proxyList, bool secure);

// True when `host` matches the bypass list: entries separated by ';' or
// blanks, '*' and '?' wildcards, case-insensitive, "<local>" for every name
// without a dot.
bool BypassMatches(const std::u16string& bypassList, const std::string& host);

} // namespace tw::winhttp
