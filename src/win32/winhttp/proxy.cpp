// Named-proxy lists and bypass lists in WinHTTP's syntax, decided per request.
#include "winhttp/proxy.h"

#include "kernel32/text.h"

#include <ctype.h>

#include <string>
#include <vector>

namespace tw::winhttp {

namespace {

std::string Lower(std::string s) {
    for (char& c : s)
        c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return s;
}

// Entries are separated by semicolons or white space.
std::vector<std::string> SplitList(const std::u16string& list) {
    std::vector<std::string> entries;
    std::string text = Utf16ToUtf8(list);
    std::string current;
    for (char c : text) {
        if (c == ';' || c == ' ' || c == '\t' || c == '\r' || c == '\n') {
            if (!current.empty())
                entries.push_back(current);
            current.clear();
        } else {
            current += c;
        }
    }
    if (!current.empty())
        entries.push_back(current);
    return entries;
}

// '*' matches any run of characters, '?' one character; both texts lower case.
bool WildcardMatch(const std::string& pattern, const std::string& text) {
    size_t p = 0, t = 0;
    size_t starP = std::string::npos, starT = 0;
    while (t < text.size()) {
        if (p < pattern.size() && (pattern[p] == '?' || pattern[p] == text[t])) {
            ++p;
            ++t;
        } else if (p < pattern.size() && pattern[p] == '*') {
            starP = p++;
            starT = t;
        } else if (starP != std::string::npos) {
            p = starP + 1;
            t = ++starT;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*')
        ++p;
    return p == pattern.size();
}

// "host", "host:port" or "[v6]:port" to "host:port"; empty when malformed.
std::string NormaliseProxyServer(const std::string& server) {
    std::string host, port;
    if (!server.empty() && server[0] == '[') {
        size_t close = server.find(']');
        if (close == std::string::npos)
            return std::string();
        host = server.substr(0, close + 1);
        if (close + 1 < server.size()) {
            if (server[close + 1] != ':')
                return std::string();
            port = server.substr(close + 2);
        }
    } else {
        size_t colon = server.rfind(':');
        host = server.substr(0, colon);
        if (colon != std::string::npos)
            port = server.substr(colon + 1);
    }
    if (host.empty() || (host.find(':') != std::string::npos && host[0] != '['))
        return std::string();
    if (port.empty())
        return host + ":80"; // WinHTTP's default proxy port, not curl's 1080
    if (port.size() > 5)
        return std::string();
    unsigned long value = 0;
    for (char c : port) {
        if (c < '0' || c > '9')
            return std::string();
        value = value * 10 + static_cast<unsigned long>(c - '0');
    }
    if (value == 0 || value > 65535)
        return std::string();
    return host + ":" + port;
}

} // namespace

std::string ProxyForScheme(const std::u16string& proxyList, bool secure) {
    const std::string wanted = secure ? "https" : "http";
    std::string generic;
    for (const std::string& raw : SplitList(proxyList)) {
        std::string entry = raw;
        std::string forScheme;
        size_t eq = entry.find('=');
        if (eq != std::string::npos) {
            forScheme = Lower(entry.substr(0, eq));
            entry = entry.substr(eq + 1);
        }
        size_t sep = entry.find("://");
        if (sep != std::string::npos) {
            std::string proxyScheme = Lower(entry.substr(0, sep));
            // WinHTTP talks plain HTTP to its proxies; other kinds are skipped.
            if (proxyScheme != "http" && proxyScheme != "https")
                continue;
            entry = entry.substr(sep + 3);
        }
        while (!entry.empty() && entry.back() == '/')
            entry.pop_back();
        std::string server = NormaliseProxyServer(entry);
        if (server.empty())
            continue;
        if (forScheme == wanted)
            return server;
        if (forScheme.empty() && generic.empty())
            generic = server;
    }
    return generic;
}

bool BypassMatches(const std::u16string& bypassList, const std::string& host) {
    const std::string name = Lower(host);
    for (const std::string& raw : SplitList(bypassList)) {
        std::string entry = Lower(raw);
        if (entry == "<local>") {
            if (name.find('.') == std::string::npos && name.find(':') == std::string::npos)
                return true;
            continue;
        }
        size_t sep = entry.find("://");
        if (sep != std::string::npos)
            entry = entry.substr(sep + 3);
        if (!entry.empty() && WildcardMatch(entry, name))
            return true;
    }
    return false;
}

} // namespace tw::winhttp
