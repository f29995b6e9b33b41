#include "http/http_common.h"
#include "base/text_helpers.h"
#include "http/http_calls.h"
#include "http/request_setup.h"

#include <string.h>

namespace twhttp {

const WCHAR kUserAgent[] = TW_W("TidewellAgent");
const WCHAR kKeepAliveHeader[] = TW_W("Connection: Keep-Alive");
const WCHAR kCloseHeader[] = TW_W("Connection: close");

namespace {
const DWORD kCertificateTolerance =
    SECURITY_FLAG_IGNORE_UNKNOWN_CA | SECURITY_FLAG_IGNORE_CERT_WRONG_USAGE |
    SECURITY_FLAG_IGNORE_CERT_CN_INVALID | SECURITY_FLAG_IGNORE_CERT_DATE_INVALID;
// WinHTTP refuses response headers beyond 64 KB by default; a reported size
// far above that is not trusted for an allocation.
const DWORD kMaxRawHeaderBytes = 4u << 20;
} // namespace

bool IsHttps(const char* protocol) {
    return protocol != nullptr && _stricmp(protocol, "https") == 0;
}

bool LongerThan(const WCHAR* text, size_t minChars) {
    return text != nullptr && TwWideLen(text) > minChars;
}

bool IsUnset(HINTERNET h) {
    return h == nullptr || h == TW_UNSET_HANDLE;
}

DWORD LastErrorOf() {
    DWORD e = GetLastError();
    return e != 0 ? e : static_cast<DWORD>(ERROR_WINHTTP_INTERNAL_ERROR);
}

DWORD ApplyCertificateTolerance(HINTERNET hRequest) {
    DWORD flags = 0;
    DWORD size = sizeof(flags);
    if (!g_httpCalls.QueryOption(hRequest, WINHTTP_OPTION_SECURITY_FLAGS, &flags, &size))
        flags = 0;
    flags |= kCertificateTolerance;
    if (!g_httpCalls.SetOption(hRequest, WINHTTP_OPTION_SECURITY_FLAGS, &flags, sizeof(flags)))
        return LastErrorOf();
    return 0;
}

DWORD SetProxyCredentials(HINTERNET hRequest, BYTE proxyFlag, const WCHAR* userName,
                          const WCHAR* password) {
    if (proxyFlag == 0 || !LongerThan(userName, 1))
        return 0;
    if (!g_httpCalls.SetOption(hRequest, WINHTTP_OPTION_PROXY_USERNAME,
                               const_cast<WCHAR*>(userName),
                               static_cast<DWORD>(TwWideLen(userName))))
        return LastErrorOf();
    if (LongerThan(password, 1) && !g_httpCalls.SetOption(hRequest, WINHTTP_OPTION_PROXY_PASSWORD,
                                                          const_cast<WCHAR*>(password),
                                                          static_cast<DWORD>(TwWideLen(password))))
        return LastErrorOf();
    return 0;
}

DWORD SetDwordOption(HINTERNET h, DWORD option, DWORD value) {
    if (!g_httpCalls.SetOption(h, option, &value, sizeof(value)))
        return LastErrorOf();
    return 0;
}

DWORD AddHeader(HINTERNET hRequest, const WCHAR* header) {
    if (header == nullptr)
        return ERROR_INVALID_PARAMETER;
    if (!g_httpCalls.AddRequestHeaders(hRequest, header, static_cast<DWORD>(-1),
                                       WINHTTP_ADDREQ_FLAG_ADD))
        return LastErrorOf();
    return 0;
}

DWORD QueryRawHeaders(HINTERNET hRequest, Owned<WCHAR>* out) {
    DWORD size = 0;
    // The first query only learns the size; its failure (normally 122) is expected.
    g_httpCalls.QueryHeaders(hRequest, WINHTTP_QUERY_RAW_HEADERS_CRLF, WINHTTP_HEADER_NAME_BY_INDEX,
                             WINHTTP_NO_OUTPUT_BUFFER, &size, WINHTTP_NO_HEADER_INDEX);
    if (size > kMaxRawHeaderBytes)
        size = kMaxRawHeaderBytes;
    DWORD bytes = size * 4 + 8;
    Owned<WCHAR> buffer(static_cast<WCHAR*>(calloc(bytes, 1)));
    if (!buffer)
        return ERROR_NOT_ENOUGH_MEMORY;
    // Keep two zero characters at the end so the text is terminated whatever is written.
    DWORD length = bytes - 2 * sizeof(WCHAR);
    if (!g_httpCalls.QueryHeaders(hRequest, WINHTTP_QUERY_RAW_HEADERS_CRLF,
                                  WINHTTP_HEADER_NAME_BY_INDEX, buffer.get(), &length,
                                  WINHTTP_NO_HEADER_INDEX))
        return LastErrorOf();
    *out = std::move(buffer);
    return 0;
}

DWORD QueryStatusCode(HINTERNET hRequest, DWORD* status) {
    DWORD value = 0;
    DWORD size = sizeof(value);
    if (!g_httpCalls.QueryHeaders(hRequest, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                                  WINHTTP_HEADER_NAME_BY_INDEX, &value, &size,
                                  WINHTTP_NO_HEADER_INDEX)) {
        *status = 0;
        return LastErrorOf();
    }
    *status = value;
    return 0;
}

BOOL QueryContentLength(HINTERNET hRequest, DWORD* length) {
    DWORD size = sizeof(*length);
    return g_httpCalls.QueryHeaders(
        hRequest, WINHTTP_QUERY_CONTENT_LENGTH | WINHTTP_QUERY_FLAG_NUMBER,
        WINHTTP_HEADER_NAME_BY_INDEX, length, &size, WINHTTP_NO_HEADER_INDEX);
}

} // namespace twhttp
