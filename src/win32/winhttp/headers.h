// Internals of the Linux WinHTTP (not part of the Win32 surface): the error
// tables, the proxy choice, header handling and buffer statistics, exported so
// that tests can check them piece by piece.
#pragma once

#include <windows.h>
#include <winhttp.h>

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

namespace tw::winhttp {

// ---- errors ----

// The WinHTTP error for a libcurl result code (CURLcode). One table; the
// transfer code adds what only the context can tell (a refused certificate,
// a status line that was not HTTP, a redirect that failed).
DWORD ErrorFromCurl(int curlCode);

// The SECURITY_FLAG_IGNORE_* flag that forgives an OpenSSL certificate
// verification error (X509_V_ERR_*); 0 when no flag does.
DWORD IgnoreFlagForCertificate(int x509Error);

// ---- proxy ----

// The proxy ("host:port", port 80 when none is given) that a named-proxy list
// such as "proxy:8080", "http=a:80;https=b:443" or "a:80 b:81" gives for a
// request of this scheme; empty when the list names none for it.
std::string ProxyForScheme(const std::u16string& proxyList, bool secure);

// True when `host` matches the bypass list: entries separated by ';' or
// blanks, '*' and '?' wildcards, case-insensitive, "<local>" for every name
// without a dot.
bool BypassMatches(const std::u16string& bypassList, const std::string& host);

// ---- headers ----

struct Header {
    std::string name;
    std::string value;
};

// A header block: the first line (status or request line) and the headers in
// the order they came.
struct HeaderBlock {
    std::string firstLine;
    std::string version; // "HTTP/1.1"
    DWORD status = 0;    // responses only
    std::string reason;
    std::vector<Header> headers;
    bool utf8 = false; // request headers are kept as UTF-8, responses as received

    const Header* find(const std::string& name, DWORD index = 0) const;
};

// Parses "HTTP/x.y NNN reason" into the block's version, status and reason.
bool ParseStatusLine(const std::string& line, HeaderBlock& block);

// Applies WinHttpAddRequestHeaders to `headers`: several lines separated by
// CR LF, `length` in characters or (DWORD)-1 for terminated text, the
// WINHTTP_ADDREQ_FLAG_* modifiers. Returns 0 or the error.
DWORD AddHeaders(std::vector<Header>& headers, const WCHAR* text, DWORD length, DWORD modifiers);

// Answers WinHttpQueryHeaders from a header block (response or request).
// Returns 0 or the error; *bufferLength follows WinHTTP's rules.
DWORD QueryHeaderBlock(const HeaderBlock& block, DWORD infoLevel, const WCHAR* name, void* buffer,
                       DWORD* bufferLength, DWORD* index);

// "Sun, 06 Nov 1994 08:49:37 GMT" (and the two older HTTP date forms).
bool ParseHttpDate(const std::string& text, SYSTEMTIME* out);

// ---- receive buffer ----

// Bytes a request buffers at most between the network and WinHttpReadData.
constexpr size_t kReceiveBufferBytes = 256 * 1024;

// The most bytes any request has held in its receive buffer since the last
// reset (process-wide).
size_t PeakBufferedBytes();
void ResetPeakBufferedBytes();

} // namespace tw::winhttp
