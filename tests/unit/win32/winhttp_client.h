// Small helpers for the WinHTTP tests: owned handles, one exchange against a
// loopback server, the pull loop, header queries. Only Win32 calls, so the
// tests also build against a real WinHTTP.
#pragma once

#include <windows.h>
#include <winhttp.h>

#include "base/text_helpers.h" // TW_W

#include <stdint.h>

#include <string>
#include <vector>

namespace winhttp_test {

using WString = std::basic_string<WCHAR>;

// ASCII text to WCHAR text (test data is ASCII).
inline WString W(const std::string& s) {
    WString out;
    for (char c : s)
        out.push_back(static_cast<WCHAR>(static_cast<unsigned char>(c)));
    return out;
}

inline std::string Narrow(const WString& s) {
    std::string out;
    for (WCHAR c : s)
        out.push_back(c < 0x80 ? static_cast<char>(c) : '?');
    return out;
}

class Handle {
  public:
    Handle() = default;
    explicit Handle(HINTERNET h) : h_(h) {}
    ~Handle() { reset(); }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    Handle(Handle&& o) noexcept : h_(o.h_) { o.h_ = nullptr; }
    Handle& operator=(Handle&& o) noexcept {
        if (this != &o) {
            reset();
            h_ = o.h_;
            o.h_ = nullptr;
        }
        return *this;
    }
    HINTERNET get() const { return h_; }
    explicit operator bool() const { return h_ != nullptr; }
    HINTERNET release() {
        HINTERNET h = h_;
        h_ = nullptr;
        return h;
    }
    void reset() {
        if (h_ != nullptr)
            WinHttpCloseHandle(h_);
        h_ = nullptr;
    }

  private:
    HINTERNET h_ = nullptr;
};

inline const WCHAR* kAgent = TW_W("TidewellAgent");

// Session, connection and request, opened the way the agent opens them.
struct Exchange {
    Handle session;
    Handle connect;
    Handle request;

    // Direct session; `acceptAll` passes the one accept type "*/*".
    static Exchange Open(uint16_t port, const std::string& path, const char* verb = "GET",
                         DWORD flags = WINHTTP_FLAG_REFRESH, bool acceptAll = true) {
        Exchange e;
        e.session = Handle(WinHttpOpen(kAgent, WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME,
                                       WINHTTP_NO_PROXY_BYPASS, 0));
        e.openRest(TW_W("127.0.0.1"), port, path, verb, flags, acceptAll);
        return e;
    }

    // Session through a named proxy.
    static Exchange OpenProxied(const std::string& proxy, const std::string& bypass,
                                const std::string& host, uint16_t port, const std::string& path,
                                DWORD flags = WINHTTP_FLAG_REFRESH, const char* verb = "GET") {
        Exchange e;
        WString p = W(proxy), b = W(bypass);
        e.session = Handle(WinHttpOpen(kAgent, WINHTTP_ACCESS_TYPE_NAMED_PROXY, p.c_str(),
                                       bypass.empty() ? WINHTTP_NO_PROXY_BYPASS : b.c_str(), 0));
        e.openRest(W(host).c_str(), port, path, verb, flags, true);
        return e;
    }

    void openRest(const WCHAR* host, uint16_t port, const std::string& path, const char* verb,
                  DWORD flags, bool acceptAll) {
        if (!session)
            return;
        connect = Handle(WinHttpConnect(session.get(), host, port, 0));
        if (!connect)
            return;
        const WCHAR* accept[] = {TW_W("*/*"), nullptr};
        WString wpath = W(path), wverb = W(verb);
        request = Handle(WinHttpOpenRequest(
            connect.get(), wverb.c_str(), wpath.c_str(), nullptr, WINHTTP_NO_REFERER,
            acceptAll ? accept : WINHTTP_DEFAULT_ACCEPT_TYPES, flags));
    }

    bool addHeader(const std::string& line) {
        WString w = W(line);
        return WinHttpAddRequestHeaders(request.get(), w.c_str(), static_cast<DWORD>(-1),
                                        WINHTTP_ADDREQ_FLAG_ADD) != FALSE;
    }

    bool setDword(DWORD option, DWORD value) {
        return WinHttpSetOption(request.get(), option, &value, sizeof value) != FALSE;
    }

    bool send() {
        return WinHttpSendRequest(request.get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0,
                                  WINHTTP_NO_REQUEST_DATA, 0, 0, 0) != FALSE;
    }

    bool receive() { return WinHttpReceiveResponse(request.get(), nullptr) != FALSE; }

    // Send and receive; false with the error in GetLastError().
    bool run() { return send() && receive(); }
};

// Result of draining a body with the pull loop.
struct Body {
    std::string data;
    bool ok = true;
    DWORD error = 0;
    size_t reads = 0;
};

// The agent's loop: ask what is available, read that much (at most `chunk`),
// until nothing is left or a call fails.
inline Body ReadBody(HINTERNET request, size_t chunk = 64 * 1024) {
    Body body;
    std::vector<char> buffer(chunk);
    for (;;) {
        DWORD available = 0;
        if (!WinHttpQueryDataAvailable(request, &available)) {
            body.ok = false;
            body.error = GetLastError();
            return body;
        }
        if (available == 0)
            return body;
        DWORD want = available < chunk ? available : static_cast<DWORD>(chunk);
        DWORD got = 0;
        if (!WinHttpReadData(request, buffer.data(), want, &got)) {
            body.ok = false;
            body.error = GetLastError();
            return body;
        }
        if (got == 0)
            return body;
        body.data.append(buffer.data(), got);
        ++body.reads;
    }
}

// A text header query; `ok` false and `error` set when it fails.
struct Text {
    bool ok = false;
    DWORD error = 0;
    WString value;
    std::string narrow() const { return Narrow(value); }
};

inline Text QueryText(HINTERNET request, DWORD level, const WCHAR* name = nullptr,
                      DWORD* index = nullptr) {
    Text t;
    DWORD size = 0;
    DWORD probeIndex = index != nullptr ? *index : 0;
    if (WinHttpQueryHeaders(request, level, name, nullptr, &size,
                            index != nullptr ? &probeIndex : nullptr)) {
        t.ok = true; // only an empty answer fits in no buffer
        return t;
    }
    t.error = GetLastError();
    if (t.error != ERROR_INSUFFICIENT_BUFFER)
        return t;
    std::vector<WCHAR> buffer(size / sizeof(WCHAR) + 1);
    if (!WinHttpQueryHeaders(request, level, name, buffer.data(), &size, index)) {
        t.error = GetLastError();
        return t;
    }
    t.ok = true;
    t.error = 0;
    t.value.assign(buffer.data(), size / sizeof(WCHAR));
    return t;
}

// A number query (WINHTTP_QUERY_FLAG_NUMBER); ok false with the error otherwise.
struct Number {
    bool ok = false;
    DWORD error = 0;
    DWORD value = 0;
};

inline Number QueryNumber(HINTERNET request, DWORD level) {
    Number n;
    DWORD size = sizeof n.value;
    n.ok = WinHttpQueryHeaders(request, level | WINHTTP_QUERY_FLAG_NUMBER,
                               WINHTTP_HEADER_NAME_BY_INDEX, &n.value, &size,
                               WINHTTP_NO_HEADER_INDEX) != FALSE;
    if (!n.ok)
        n.error = GetLastError();
    return n;
}

inline DWORD StatusOf(HINTERNET request) {
    Number n = QueryNumber(request, WINHTTP_QUERY_STATUS_CODE);
    return n.ok ? n.value : 0;
}

} // namespace winhttp_test
