// Failures provoked for real against loopback servers, each giving the
// ERROR_WINHTTP_* code the callers branch on, from the call that waited.
#include "unit/win32/winhttp_client.h"
#include "support/http_server.h"

#include <gtest/gtest.h>

#include <algorithm>

#include <atomic>
#include <thread>

using namespace winhttp_test;
using twtest::HttpBehavior;
using twtest::HttpServer;

namespace {

constexpr DWORD kShort = 300; // ms; only ever waited for things that never come

DWORD SendError(Exchange& e) {
    if (e.send())
        return 0;
    return GetLastError();
}

// Reads until `count` body bytes arrived.
std::string ReadExactly(HINTERNET request, size_t count) {
    std::string data;
    char buf[4096];
    while (data.size() < count) {
        DWORD want = static_cast<DWORD>(std::min(sizeof buf, count - data.size()));
        DWORD got = 0;
        if (!WinHttpReadData(request, buf, want, &got) || got == 0)
            break;
        data.append(buf, got);
    }
    return data;
}

} // namespace

TEST(WinHttpFailure, NoResponseWithinTheReceiveTimeoutTimesOut) {
    HttpServer server;
    HttpBehavior b;
    b.stallBeforeHeaders = true; // until the client leaves
    server.on("/slow", b);
    Exchange e = Exchange::Open(server.port(), "/slow");
    ASSERT_TRUE(e.setDword(WINHTTP_OPTION_RECEIVE_TIMEOUT, kShort));
    ASSERT_TRUE(e.send());
    EXPECT_FALSE(e.receive());
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_WINHTTP_TIMEOUT));
    // The exchange is over; reading reports the same.
    DWORD available = 0;
    EXPECT_FALSE(WinHttpQueryDataAvailable(e.request.get(), &available));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_WINHTTP_TIMEOUT));
}

TEST(WinHttpFailure, StallInsideTheBodyTimesOutTheWaitingQuery) {
    HttpServer server;
    HttpBehavior b;
    b.body = twtest::PatternBytes(0, 5000);
    b.stallAfter = 1000;
    server.on("/stall", b);
    Exchange e = Exchange::Open(server.port(), "/stall");
    ASSERT_TRUE(e.setDword(WINHTTP_OPTION_RECEIVE_TIMEOUT, kShort));
    ASSERT_TRUE(e.run());
    Body body = ReadBody(e.request.get());
    EXPECT_FALSE(body.ok);
    EXPECT_EQ(body.error, static_cast<DWORD>(ERROR_WINHTTP_TIMEOUT));
    EXPECT_TRUE(body.data == b.body.substr(0, 1000));
}

TEST(WinHttpFailure, SlowPiecesWithinTheTimeoutAreNoTimeout) {
    HttpServer server;
    HttpBehavior b;
    b.body = twtest::PatternBytes(0, 3000);
    b.pieceBytes = 500;
    b.pieceDelayMs = 20; // far below the time-out: every piece is progress
    server.on("/trickle", b);
    Exchange e = Exchange::Open(server.port(), "/trickle");
    ASSERT_TRUE(e.setDword(WINHTTP_OPTION_RECEIVE_TIMEOUT, 10000));
    ASSERT_TRUE(e.run());
    Body body = ReadBody(e.request.get());
    EXPECT_TRUE(body.ok) << body.error;
    EXPECT_TRUE(body.data == b.body);
}

TEST(WinHttpFailure, ConnectTimeout) {
    twtest::BlackholePort hole;
    Exchange e = Exchange::Open(hole.port(), "/");
    ASSERT_TRUE(e.setDword(WINHTTP_OPTION_CONNECT_TIMEOUT, kShort));
    EXPECT_EQ(SendError(e), static_cast<DWORD>(ERROR_WINHTTP_TIMEOUT));
}

TEST(WinHttpFailure, RefusedConnectionCannotConnect) {
    twtest::RefusingPort refusing;
    Exchange e = Exchange::Open(refusing.port(), "/");
    EXPECT_EQ(SendError(e), static_cast<DWORD>(ERROR_WINHTTP_CANNOT_CONNECT));
}

TEST(WinHttpFailure, UnresolvableNameIsNotResolved) {
    Exchange e;
    e.session = Handle(WinHttpOpen(kAgent, WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME,
                                   WINHTTP_NO_PROXY_BYPASS, 0));
    // An empty label: no resolver can answer it, and none is asked.
    e.openRest(TW_W("no..such.invalid"), 80, "/", "GET", 0, true);
    ASSERT_TRUE(e.request) << GetLastError();
    EXPECT_EQ(SendError(e), static_cast<DWORD>(ERROR_WINHTTP_NAME_NOT_RESOLVED));
}

TEST(WinHttpFailure, HostThatCannotFormAUrlIsAnInvalidUrl) {
    Handle session(WinHttpOpen(kAgent, WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME,
                               WINHTTP_NO_PROXY_BYPASS, 0));
    Handle connect(WinHttpConnect(session.get(), TW_W("bad host"), 80, 0));
    ASSERT_TRUE(connect);
    HINTERNET request = WinHttpOpenRequest(connect.get(), TW_W("GET"), TW_W("/"), nullptr,
                                           WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES, 0);
    EXPECT_EQ(request, nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_WINHTTP_INVALID_URL));
}

TEST(WinHttpFailure, MalformedStatusLinesAreInvalidResponses) {
    for (const char* raw : {"garbage\r\n\r\n", "HTTP/1.1 abc OK\r\nContent-Length: 0\r\n\r\n",
                            "HTTP/1.1 200 OK\r\nContent-Length: zz\r\n\r\nabc"}) {
        SCOPED_TRACE(raw);
        HttpServer server;
        HttpBehavior b;
        b.rawResponse = raw;
        server.on("/bad", b);
        Exchange e = Exchange::Open(server.port(), "/bad");
        EXPECT_FALSE(e.run());
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_WINHTTP_INVALID_SERVER_RESPONSE));
    }
}

TEST(WinHttpFailure, ConnectionClosedWithoutAnswerIsTheReceivesInvalidResponse) {
    HttpServer server;
    HttpBehavior b;
    b.noResponse = true;
    server.on("/silent", b);
    // The request was written whole, so however soon the server closes, the
    // send succeeds and the receive reports what came after.
    for (int run = 0; run < 10; ++run) {
        SCOPED_TRACE(run);
        Exchange e = Exchange::Open(server.port(), "/silent");
        ASSERT_TRUE(e.send()) << GetLastError();
        EXPECT_FALSE(e.receive());
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_WINHTTP_INVALID_SERVER_RESPONSE));
    }
    EXPECT_EQ(server.requestCount(), 10u);
}

TEST(WinHttpFailure, ConnectionClosedWhileTheRequestIsWrittenFailsTheSend) {
    HttpServer server;
    HttpBehavior b;
    b.readBody = false;
    b.noResponse = true;
    server.on("/closing", b);
    // Far more than the socket buffers hold: the server is gone before it is written.
    std::string data(64u << 20, 'p');
    Exchange e = Exchange::Open(server.port(), "/closing", "POST");
    EXPECT_FALSE(WinHttpSendRequest(e.request.get(), nullptr, 0, data.data(),
                                    static_cast<DWORD>(data.size()),
                                    static_cast<DWORD>(data.size()), 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_WINHTTP_CONNECTION_ERROR));
}

TEST(WinHttpFailure, ResetMidBodyIsAConnectionError) {
    HttpServer server;
    HttpBehavior b;
    b.body = twtest::PatternBytes(0, 5000);
    b.resetAfter = 1000;
    server.on("/reset", b);
    Exchange e = Exchange::Open(server.port(), "/reset");
    ASSERT_TRUE(e.run());
    // Everything before the reset is delivered; the reset comes after.
    EXPECT_TRUE(ReadExactly(e.request.get(), 1000) == b.body.substr(0, 1000));
    server.releaseResets();
    Body rest = ReadBody(e.request.get());
    EXPECT_FALSE(rest.ok);
    EXPECT_EQ(rest.error, static_cast<DWORD>(ERROR_WINHTTP_CONNECTION_ERROR));
    EXPECT_TRUE(rest.data.empty());
}

TEST(WinHttpFailure, BodyCutShortIsAConnectionErrorAfterTheBytesThatCame) {
    HttpServer server;
    HttpBehavior b;
    b.body = twtest::PatternBytes(0, 5000);
    b.cutAfter = 1234;
    server.on("/cut", b);
    Exchange e = Exchange::Open(server.port(), "/cut");
    ASSERT_TRUE(e.run());
    EXPECT_EQ(QueryNumber(e.request.get(), WINHTTP_QUERY_CONTENT_LENGTH).value, 5000u);
    Body body = ReadBody(e.request.get());
    EXPECT_FALSE(body.ok);
    EXPECT_EQ(body.error, static_cast<DWORD>(ERROR_WINHTTP_CONNECTION_ERROR));
    EXPECT_TRUE(body.data == b.body.substr(0, 1234));
}

TEST(WinHttpFailure, EndlessRedirectsFail) {
    HttpServer server;
    HttpBehavior loop;
    loop.status = 302;
    loop.headers = {{"Location", "/loop"}};
    server.on("/loop", loop);
    Exchange e = Exchange::Open(server.port(), "/loop");
    ASSERT_TRUE(e.setDword(WINHTTP_OPTION_MAX_HTTP_AUTOMATIC_REDIRECTS, 3));
    EXPECT_FALSE(e.run());
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_WINHTTP_REDIRECT_FAILED));
    EXPECT_EQ(server.requestCount(), 4u);
}

TEST(WinHttpFailure, RedirectToAnotherSchemeFails) {
    HttpServer server;
    HttpBehavior ftp;
    ftp.status = 301;
    ftp.headers = {{"Location", "ftp://127.0.0.1/file"}};
    server.on("/ftp", ftp);
    Exchange e = Exchange::Open(server.port(), "/ftp");
    EXPECT_FALSE(e.run());
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_WINHTTP_REDIRECT_FAILED));
}

TEST(WinHttpFailure, RedirectThatNeedsTheBodyAgainAsksForAResend) {
    HttpServer server;
    HttpBehavior temp;
    temp.status = 307;
    temp.headers = {{"Location", "/other"}};
    server.on("/post", temp);
    Exchange e = Exchange::Open(server.port(), "/post", "POST");
    std::string data = "payload";
    ASSERT_TRUE(WinHttpSendRequest(e.request.get(), nullptr, 0, data.data(), 7, 7, 0));
    EXPECT_FALSE(e.receive());
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_WINHTTP_RESEND_REQUEST));
}

TEST(WinHttpFailure, ServerThatStopsReadingTimesOutTheUpload) {
    HttpServer server;
    HttpBehavior b;
    b.readBody = false;
    b.stallBeforeHeaders = true;
    server.on("/sink", b);
    Exchange e = Exchange::Open(server.port(), "/sink", "POST");
    ASSERT_TRUE(e.setDword(WINHTTP_OPTION_SEND_TIMEOUT, kShort));
    const DWORD chunk = 1 << 20;
    const DWORD total = 256u << 20; // far more than any socket buffers
    ASSERT_TRUE(WinHttpSendRequest(e.request.get(), nullptr, 0, nullptr, 0, total, 0));
    std::string data(chunk, 'u');
    DWORD error = 0;
    for (DWORD sent = 0; sent < total && error == 0; sent += chunk) {
        DWORD written = 0;
        if (!WinHttpWriteData(e.request.get(), data.data(), chunk, &written))
            error = GetLastError();
    }
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_WINHTTP_TIMEOUT));
}

TEST(WinHttpFailure, OversizedResponseHeadersAreRefused) {
    HttpServer server;
    HttpBehavior b;
    for (int i = 0; i < 20; ++i)
        b.headers.push_back({"X-Filler-" + std::to_string(i), std::string(4000, 'f')});
    server.on("/fat", b);
    Exchange e = Exchange::Open(server.port(), "/fat");
    EXPECT_FALSE(e.run());
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_WINHTTP_HEADER_SIZE_OVERFLOW));
}

TEST(WinHttpFailure, ClosingTheRequestReleasesACallBlockedOnIt) {
    HttpServer server;
    HttpBehavior b;
    b.stallBeforeHeaders = true;
    server.on("/forever", b);
    Exchange e = Exchange::Open(server.port(), "/forever");
    ASSERT_TRUE(e.setDword(WINHTTP_OPTION_RECEIVE_TIMEOUT, INFINITE));
    ASSERT_TRUE(e.send());
    HINTERNET request = e.request.release();
    std::atomic<bool> closed{false};
    std::thread closer([&] {
        // Once the server holds the request, the other thread is at or in
        // ReceiveResponse; nothing but the close can end that wait.
        while (server.requestCount() == 0)
            std::this_thread::yield();
        closed = WinHttpCloseHandle(request) != FALSE;
    });
    BOOL ok = WinHttpReceiveResponse(request, nullptr);
    DWORD error = GetLastError();
    closer.join();
    EXPECT_TRUE(closed);
    EXPECT_FALSE(ok);
    // Cancelled while waiting, or closed just before the call began.
    EXPECT_TRUE(error == ERROR_WINHTTP_OPERATION_CANCELLED || error == ERROR_INVALID_HANDLE)
        << error;
}
