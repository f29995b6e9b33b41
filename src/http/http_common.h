// Pieces shared by the request set-up, the downloads and the posts.
#pragma once

#include <windows.h>
#include <winhttp.h>
#include <stdlib.h>

#include "base/owned.h"

namespace twhttp {

extern const WCHAR kUserAgent[];
extern const WCHAR kKeepAliveHeader[];
extern const WCHAR kCloseHeader[];

// "https" without regard to case.
bool IsHttps(const char* protocol);
// Present and longer than `minChars` characters.
bool LongerThan(const WCHAR* text, size_t minChars);
bool IsUnset(HINTERNET h);

// The certificate-error tolerance for HTTPS: the request's security flags
// (0 when they cannot be read) or-ed with 0x3300. 0 or the error of the set.
DWORD ApplyCertificateTolerance(HINTERNET hRequest);
// Proxy user name and password when the proxy flag is set and the name is
// longer than one character (the password likewise). 0 or the error.
DWORD SetProxyCredentials(HINTERNET hRequest, BYTE proxyFlag, const WCHAR* userName,
                          const WCHAR* password);
// A DWORD option. 0 or the error.
DWORD SetDwordOption(HINTERNET h, DWORD option, DWORD value);
// Adds one header line with the ADD flag and length -1. 0 or the error.
DWORD AddHeader(HINTERNET hRequest, const WCHAR* header);

// The raw response headers (CRLF form) into a new zero-filled buffer of four
// times the reported size plus 8 bytes. 0 or the error of the second query.
DWORD QueryRawHeaders(HINTERNET hRequest, Owned<WCHAR>* out);
// The status code as a number. 0 or the error; *status is 0 on failure.
DWORD QueryStatusCode(HINTERNET hRequest, DWORD* status);
// The Content-Length header as a 32-bit number. TRUE on success; the last
// error tells why otherwise.
BOOL QueryContentLength(HINTERNET hRequest, DWORD* length);

// The error code of the call that just failed, never 0: a failed call that
// left no code is reported as an internal error.
DWORD LastErrorOf();

} // namespace twhttp
