#include "http_doubles.h"

#include <string.h>

namespace httptest {

Fake g_fake;

namespace {

HttpCalls g_passOn;

std::u16string text(const WCHAR* w) {
    return w != nullptr ? std::u16string(reinterpret_cast<const char16_t*>(w)) : u"";
}

BOOL failWith(DWORD error) {
    SetLastError(error);
    return FALSE;
}

} // namespace

bool Fake::optionSet(DWORD option) const {
    return lastOption(option) != nullptr;
}

const OptionCall* Fake::lastOption(DWORD option) const {
    for (auto it = options.rbegin(); it != options.rend(); ++it)
        if (it->option == option)
            return &*it;
    return nullptr;
}

SYSTEMTIME ClockAt(int hour, int minute, int second, int millisecond) {
    SYSTEMTIME t;
    memset(&t, 0, sizeof t);
    t.wYear = 2025;
    t.wMonth = 3;
    t.wDay = 14;
    t.wHour = static_cast<WORD>(hour);
    t.wMinute = static_cast<WORD>(minute);
    t.wSecond = static_cast<WORD>(second);
    t.wMilliseconds = static_cast<WORD>(millisecond);
    return t;
}

void InstallDoubles(const HttpCalls& real) {
    g_fake = Fake();
    g_passOn = real;
    HttpCalls& c = g_httpCalls;
    c.Open = [](LPCWSTR agent, DWORD access, LPCWSTR proxy, LPCWSTR bypass,
                DWORD flags) -> HINTERNET {
        ++g_fake.opens;
        g_fake.accessTypes.push_back(access);
        return g_passOn.Open(agent, access, proxy, bypass, flags);
    };
    c.Connect = [](HINTERNET s, LPCWSTR server, INTERNET_PORT port, DWORD r) -> HINTERNET {
        ++g_fake.connects;
        return g_passOn.Connect(s, server, port, r);
    };
    c.OpenRequest = [](HINTERNET h, LPCWSTR verb, LPCWSTR object, LPCWSTR version, LPCWSTR referrer,
                       LPCWSTR* accept, DWORD flags) -> HINTERNET {
        ++g_fake.requestsOpened;
        g_fake.verbs.push_back(text(verb));
        g_fake.objectNames.push_back(text(object));
        return g_passOn.OpenRequest(h, verb, object, version, referrer, accept, flags);
    };
    c.AddRequestHeaders = [](HINTERNET h, LPCWSTR headers, DWORD length, DWORD mods) -> BOOL {
        g_fake.headersAdded.push_back(text(headers));
        return g_passOn.AddRequestHeaders(h, headers, length, mods);
    };
    c.SetOption = [](HINTERNET h, DWORD option, LPVOID buffer, DWORD length) -> BOOL {
        OptionCall call{option, {}};
        // Text options give their length in characters.
        size_t bytes =
            (option == WINHTTP_OPTION_PROXY_USERNAME || option == WINHTTP_OPTION_PROXY_PASSWORD)
                ? length * sizeof(WCHAR)
                : length;
        const auto* p = static_cast<const unsigned char*>(buffer);
        if (p != nullptr)
            call.data.assign(p, p + bytes);
        g_fake.options.push_back(call);
        return g_passOn.SetOption(h, option, buffer, length);
    };
    c.SendRequest = [](HINTERNET h, LPCWSTR headers, DWORD hl, LPVOID optional, DWORD ol,
                       DWORD total, DWORD_PTR context) -> BOOL {
        ++g_fake.sends;
        if (!g_fake.sendErrors.empty()) {
            DWORD e = g_fake.sendErrors.front();
            g_fake.sendErrors.pop_front();
            if (e != 0)
                return failWith(e);
        }
        return g_passOn.SendRequest(h, headers, hl, optional, ol, total, context);
    };
    c.WriteData = [](HINTERNET h, LPCVOID buffer, DWORD n, LPDWORD written) -> BOOL {
        ++g_fake.writes;
        return g_passOn.WriteData(h, buffer, n, written);
    };
    c.ReceiveResponse = [](HINTERNET h, LPVOID reserved) -> BOOL {
        ++g_fake.receives;
        if (!g_fake.receiveErrors.empty()) {
            DWORD e = g_fake.receiveErrors.front();
            g_fake.receiveErrors.pop_front();
            if (e != 0)
                return failWith(e);
        }
        return g_passOn.ReceiveResponse(h, reserved);
    };
    c.QueryHeaders = [](HINTERNET h, DWORD level, LPCWSTR name, LPVOID buffer, LPDWORD length,
                        LPDWORD index) -> BOOL {
        if (g_fake.fakeContentLength &&
            level == (WINHTTP_QUERY_CONTENT_LENGTH | WINHTTP_QUERY_FLAG_NUMBER)) {
            memcpy(buffer, &g_fake.contentLength, sizeof(DWORD));
            return TRUE;
        }
        BOOL ok = g_passOn.QueryHeaders(h, level, name, buffer, length, index);
        if (!ok)
            g_fake.headerQueryErrors.push_back(GetLastError());
        return ok;
    };
    c.QueryDataAvailable = [](HINTERNET h, LPDWORD available) -> BOOL {
        if (g_fake.dataFailures > 0 && g_fake.bytesRead >= g_fake.dataFailAfter) {
            --g_fake.dataFailures;
            g_fake.readAtDataFailure.push_back(g_fake.bytesRead);
            return failWith(g_fake.dataError);
        }
        return g_passOn.QueryDataAvailable(h, available);
    };
    c.ReadData = [](HINTERNET h, LPVOID buffer, DWORD n, LPDWORD read) -> BOOL {
        BOOL ok = g_passOn.ReadData(h, buffer, n, read);
        if (ok) {
            g_fake.bytesRead += *read;
            if (g_fake.onRead)
                g_fake.onRead();
        }
        return ok;
    };
    c.CloseHandle = [](HINTERNET h) -> BOOL {
        ++g_fake.closes;
        return g_passOn.CloseHandle(h);
    };
    c.Sleep = [](DWORD ms) { g_fake.sleeps.push_back(ms); };
    c.GetLocalTime = [](LPSYSTEMTIME t) {
        if (!g_fake.times.empty()) {
            *t = g_fake.times.front();
            g_fake.times.pop_front();
            return;
        }
        g_passOn.GetLocalTime(t);
    };
}

} // namespace httptest
