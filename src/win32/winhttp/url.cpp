// URLs of the Linux WinHTTP: request paths, request URLs, and parsing through
// curl's own parser, so that what is checked here is what curl will use.
#include "winhttp/url.h"

#include "kernel32/text.h"

#include <curl/curl.h>

#include <string.h>

namespace tw::winhttp {

std::string Narrow(const WCHAR* s) {
    return s == nullptr ? std::string() : Utf16ToUtf8(s);
}

std::string LowerAscii(std::string s) {
    for (char& c : s) {
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    }
    return s;
}

// WinHTTP escapes what cannot travel in a request line; characters curl would
// otherwise reinterpret ('#') are escaped as well so the path arrives as given.
std::string EscapePath(const WCHAR* objectName, DWORD flags) {
    std::string raw = Narrow(objectName);
    if (raw.empty() || raw[0] != '/')
        raw.insert(raw.begin(), '/');
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(raw.size());
    for (char ch : raw) {
        unsigned char c = static_cast<unsigned char>(ch);
        bool escape = c <= 0x20 || c >= 0x7F || strchr("\"<>\\^`{|}#", c) != nullptr;
        if (c == '%' && (flags & WINHTTP_FLAG_ESCAPE_PERCENT))
            escape = true;
        if (escape) {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        } else {
            out += ch;
        }
    }
    return out;
}

std::string BuildUrl(bool secure, const std::string& host, INTERNET_PORT port,
                     const std::string& path) {
    std::string url = secure ? "https://" : "http://";
    bool bracket = host.find(':') != std::string::npos && host[0] != '[';
    if (bracket)
        url += '[';
    url += host;
    if (bracket)
        url += ']';
    unsigned effective = port != INTERNET_DEFAULT_PORT ? port : (secure ? 443u : 80u);
    url += ':';
    url += std::to_string(effective);
    url += path;
    return url;
}

// Host and scheme of a URL through curl's own parser.
bool UrlParts(const std::string& url, std::string* scheme, std::string* host) {
    CURLU* u = curl_url();
    if (u == nullptr)
        return false;
    bool ok = curl_url_set(u, CURLUPART_URL, url.c_str(), 0) == CURLUE_OK;
    char* s = nullptr;
    char* h = nullptr;
    ok = ok && curl_url_get(u, CURLUPART_SCHEME, &s, 0) == CURLUE_OK &&
         curl_url_get(u, CURLUPART_HOST, &h, 0) == CURLUE_OK;
    if (ok) {
        *scheme = LowerAscii(s);
        *host = h;
        if (host->size() > 2 && (*host)[0] == '[')
            *host = host->substr(1, host->size() - 2);
    }
    curl_free(s);
    curl_free(h);
    curl_url_cleanup(u);
    return ok;
}

// A Location header resolved against the URL it answered.
bool ResolveLocation(const std::string& base, const std::string& location, std::string* out) {
    CURLU* u = curl_url();
    if (u == nullptr)
        return false;
    char* full = nullptr;
    bool ok = curl_url_set(u, CURLUPART_URL, base.c_str(), 0) == CURLUE_OK &&
              curl_url_set(u, CURLUPART_URL, location.c_str(),
                           CURLU_NON_SUPPORT_SCHEME | CURLU_URLENCODE) == CURLUE_OK &&
              curl_url_get(u, CURLUPART_URL, &full, 0) == CURLUE_OK;
    if (ok)
        *out = full;
    curl_free(full);
    curl_url_cleanup(u);
    return ok;
}

} // namespace tw::winhttp
