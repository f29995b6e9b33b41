// Header blocks of the Linux WinHTTP (headers.cpp): parsing status lines and
// dates, WinHttpAddRequestHeaders and WinHttpQueryHeaders on a block (not
// part of the Win32 surface).
#pragma once

#include <windows.h>
#include <winhttp.h>

#include <string>
#include <vector>

namespace tw::winhttp {

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

} // namespace tw::winhttp
