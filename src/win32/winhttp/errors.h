// The error tables of the Linux WinHTTP (errors.cpp; not part of the Win32
// surface).
#pragma once

#include <windows.h>

namespace tw::winhttp {

// The WinHTTP error for a libcurl result code (CURLcode). One table; the
// transfer code adds what only the context can tell (a refused certificate,
// a status line that was not HTTP, a redirect that failed).
DWORD ErrorFromCurl(int curlCode);

// The SECURITY_FLAG_IGNORE_* flag that forgives an OpenSSL certificate
// verification error (X509_V_ERR_*); 0 when no flag does.
DWORD IgnoreFlagForCertificate(int x509Error);

} // namespace tw::winhttp
