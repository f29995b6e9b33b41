// What goes on the wire: request lines and headers as the agent sets them up,
// posts with optional data, streamed uploads, redirects.
#include "unit/win32/winhttp_client.h"
#include "support/http_server.h"

#include <gtest/gtest.h>

#include <algorithm>

using namespace winhttp_test;
using twtest::HttpBehavior;
using twtest::HttpServer;
using twtest::RecordedRequest;

namespace {

HttpBehavior Ok(const std::string& body) {
    HttpBehavior b;
    b.body = body;
    return b;
}

} // namespace

TEST(WinHttpRequest, GetSendsExactlyTheAgentsHeaders) {
    HttpServer server;
    server.on("/agentRequest", Ok("hello"));
    Exchange e = Exchange::Open(server.port(), "/agentRequest?name=abc&x=1");
    ASSERT_TRUE(e.request);
    ASSERT_TRUE(e.addHeader("Connection: Keep-Alive"));
    ASSERT_TRUE(e.run()) << GetLastError();
    EXPECT_EQ(StatusOf(e.request.get()), 200u);
    EXPECT_EQ(ReadBody(e.request.get()).data, "hello");

    ASSERT_EQ(server.requestCount(), 1u);
    RecordedRequest r = server.requests()[0];
    EXPECT_EQ(r.requestLine, "GET /agentRequest?name=abc&x=1 HTTP/1.1");
    EXPECT_EQ(r.header("User-Agent"), "TidewellAgent");
    EXPECT_EQ(r.header("Connection"), "Keep-Alive");
    EXPECT_EQ(r.headerCount("Connection"), 1u);
    EXPECT_EQ(r.header("Accept"), "*/*");
    EXPECT_EQ(r.header("Host"), "127.0.0.1:" + std::to_string(server.port()));
    // WINHTTP_FLAG_REFRESH asks caches to step aside.
    EXPECT_EQ(r.header("Pragma"), "no-cache");
    EXPECT_EQ(r.header("Cache-Control"), "no-cache");
    // Nothing the HTTP library would add on its own.
    EXPECT_EQ(r.headerCount("Expect"), 0u);
    EXPECT_EQ(r.headerCount("Content-Type"), 0u);
    EXPECT_EQ(r.headerCount("Content-Length"), 0u);
    EXPECT_EQ(r.headerCount("Proxy-Connection"), 0u);
    EXPECT_EQ(r.headers.size(), 6u);
}

TEST(WinHttpRequest, ConnectionCloseAndRangeGoOutAsAdded) {
    HttpServer server;
    HttpBehavior b = Ok("0123456789");
    server.on("/file.bin", b);
    Exchange e = Exchange::Open(server.port(), "/file.bin");
    ASSERT_TRUE(e.addHeader("Connection: close"));
    ASSERT_TRUE(e.addHeader("Range: bytes=2-5"));
    ASSERT_TRUE(e.run());
    EXPECT_EQ(StatusOf(e.request.get()), 206u);
    EXPECT_EQ(ReadBody(e.request.get()).data, "2345");
    RecordedRequest r = server.requests().at(0);
    EXPECT_EQ(r.header("Connection"), "close");
    EXPECT_EQ(r.headerCount("Connection"), 1u);
    EXPECT_EQ(r.header("Range"), "bytes=2-5");
}

TEST(WinHttpRequest, WithoutAcceptTypesOrAgentNeitherHeaderIsSent) {
    HttpServer server;
    server.on("/x", Ok("x"));
    Exchange e;
    e.session = Handle(WinHttpOpen(nullptr, WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME,
                                   WINHTTP_NO_PROXY_BYPASS, 0));
    e.openRest(TW_W("127.0.0.1"), server.port(), "/x", "GET", 0, false);
    ASSERT_TRUE(e.run());
    RecordedRequest r = server.requests().at(0);
    EXPECT_EQ(r.headerCount("Accept"), 0u);
    EXPECT_EQ(r.headerCount("User-Agent"), 0u);
    EXPECT_EQ(r.headerCount("Pragma"), 0u);
    // WinHTTP keeps connections alive unless told otherwise.
    EXPECT_EQ(r.header("Connection"), "Keep-Alive");
}

TEST(WinHttpRequest, HeadRequestHasNoBody) {
    HttpServer server;
    server.on("/big", Ok(std::string(5000, 'a')));
    Exchange e = Exchange::Open(server.port(), "/big", "HEAD");
    ASSERT_TRUE(e.run());
    EXPECT_EQ(server.requests().at(0).requestLine, "HEAD /big HTTP/1.1");
    Number length = QueryNumber(e.request.get(), WINHTTP_QUERY_CONTENT_LENGTH);
    ASSERT_TRUE(length.ok);
    EXPECT_EQ(length.value, 5000u);
    Body body = ReadBody(e.request.get());
    EXPECT_TRUE(body.ok);
    EXPECT_TRUE(body.data.empty());
}

TEST(WinHttpRequest, PathIsEscapedWhereHttpRequiresIt) {
    HttpServer server;
    Exchange e = Exchange::Open(server.port(), "tw/a b/c#d%41");
    ASSERT_TRUE(e.run());
    EXPECT_EQ(server.requests().at(0).target, "/tw/a%20b/c%23d%41");
    EXPECT_EQ(StatusOf(e.request.get()), 404u);
}

TEST(WinHttpRequest, PostSendsOptionalDataWithItsLengthOnly) {
    HttpServer server;
    server.on("/post", Ok("thanks"));
    Exchange e = Exchange::Open(server.port(), "/post", "POST", WINHTTP_FLAG_REFRESH, false);
    ASSERT_TRUE(e.addHeader("Connection: Keep-Alive"));
    ASSERT_TRUE(e.addHeader("Content-Type: multipart/form-data"));
    std::string data = "name=value&other=1";
    ASSERT_TRUE(WinHttpSendRequest(e.request.get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0, data.data(),
                                   static_cast<DWORD>(data.size()), static_cast<DWORD>(data.size()),
                                   0));
    ASSERT_TRUE(e.receive());
    EXPECT_EQ(ReadBody(e.request.get()).data, "thanks");
    RecordedRequest r = server.requests().at(0);
    EXPECT_EQ(r.requestLine, "POST /post HTTP/1.1");
    EXPECT_EQ(r.body, data);
    EXPECT_EQ(r.header("Content-Length"), std::to_string(data.size()));
    EXPECT_EQ(r.header("Content-Type"), "multipart/form-data");
    EXPECT_EQ(r.headerCount("Content-Type"), 1u);
    EXPECT_EQ(r.headerCount("Expect"), 0u);
    EXPECT_EQ(r.headerCount("Transfer-Encoding"), 0u);
}

TEST(WinHttpRequest, PostWithoutDataAnnouncesZeroLength) {
    HttpServer server;
    Exchange e = Exchange::Open(server.port(), "/empty", "POST");
    ASSERT_TRUE(e.run());
    RecordedRequest r = server.requests().at(0);
    EXPECT_EQ(r.header("Content-Length"), "0");
    EXPECT_EQ(r.bodyBytes, 0u);
}

TEST(WinHttpRequest, StreamedUploadSendsEveryWrittenChunkInOrder) {
    HttpServer server;
    server.on("/upload", Ok("stored"));
    Exchange e = Exchange::Open(server.port(), "/upload", "POST", WINHTTP_FLAG_REFRESH, false);
    ASSERT_TRUE(e.addHeader("Connection: Keep-Alive"));
    const std::string file = twtest::PatternBytes(0, 300000);
    WString header =
        W("Content-type: multipart/form-data; filesize=\"" + std::to_string(file.size()) + "\"");
    ASSERT_TRUE(WinHttpSendRequest(e.request.get(), header.c_str(), static_cast<DWORD>(-1),
                                   WINHTTP_NO_REQUEST_DATA, 0, static_cast<DWORD>(file.size()), 0))
        << GetLastError();
    // Chunks of an odd size so that they never line up with internal buffers.
    const size_t chunk = 7777;
    for (size_t at = 0; at < file.size(); at += chunk) {
        DWORD n = static_cast<DWORD>(std::min(chunk, file.size() - at));
        DWORD written = 0;
        ASSERT_TRUE(WinHttpWriteData(e.request.get(), file.data() + at, n, &written))
            << GetLastError();
        ASSERT_EQ(written, n);
    }
    ASSERT_TRUE(e.receive()) << GetLastError();
    EXPECT_EQ(StatusOf(e.request.get()), 200u);
    RecordedRequest r = server.requests().at(0);
    EXPECT_EQ(r.header("Content-Length"), std::to_string(file.size()));
    EXPECT_EQ(r.header("Content-type"), "multipart/form-data; filesize=\"300000\"");
    EXPECT_EQ(r.bodyBytes, file.size());
    EXPECT_TRUE(r.body == file);
}

TEST(WinHttpRequest, OptionalDataThenWrittenDataMakeOneBody) {
    HttpServer server;
    Exchange e = Exchange::Open(server.port(), "/upload", "POST");
    std::string head = "HEAD-";
    ASSERT_TRUE(WinHttpSendRequest(e.request.get(), nullptr, 0, head.data(), 5, 5 + 4, 0));
    DWORD written = 0;
    ASSERT_TRUE(WinHttpWriteData(e.request.get(), "TAIL", 4, &written));
    EXPECT_EQ(written, 4u);
    // More than announced is refused rather than corrupting the exchange.
    EXPECT_FALSE(WinHttpWriteData(e.request.get(), "X", 1, &written));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_WINHTTP_INCORRECT_HANDLE_STATE));
    ASSERT_TRUE(e.receive());
    EXPECT_EQ(server.requests().at(0).body, "HEAD-TAIL");
}

TEST(WinHttpRequest, HeadersGivenToSendReplaceEarlierOnesOnResend) {
    HttpServer server;
    Exchange e = Exchange::Open(server.port(), "/again");
    WString first = W("X-Attempt: 1");
    WString second = W("X-Attempt: 2");
    ASSERT_TRUE(WinHttpSendRequest(e.request.get(), first.c_str(), static_cast<DWORD>(-1), nullptr,
                                   0, 0, 0));
    ASSERT_TRUE(e.receive());
    ASSERT_TRUE(WinHttpSendRequest(e.request.get(), second.c_str(), static_cast<DWORD>(-1), nullptr,
                                   0, 0, 0));
    ASSERT_TRUE(e.receive());
    std::vector<RecordedRequest> r = server.requests();
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[0].header("X-Attempt"), "1");
    EXPECT_EQ(r[1].header("X-Attempt"), "2");
    EXPECT_EQ(r[1].headerCount("X-Attempt"), 1u);
}

TEST(WinHttpRequest, RedirectsAreFollowedAndOnlyTheLastResponseIsSeen) {
    HttpServer server;
    HttpBehavior moved;
    moved.status = 302;
    moved.headers = {{"Location", "/second"}};
    moved.body = "moved body";
    server.on("/first", moved);
    HttpBehavior second = Ok("final");
    second.headers = {{"X-Final", "yes"}};
    server.on("/second", second);
    Exchange e = Exchange::Open(server.port(), "/first");
    ASSERT_TRUE(e.addHeader("Range: bytes=0-"));
    ASSERT_TRUE(e.run());
    EXPECT_EQ(StatusOf(e.request.get()), 206u);
    EXPECT_EQ(QueryText(e.request.get(), WINHTTP_QUERY_CUSTOM, TW_W("X-Final")).narrow(), "yes");
    EXPECT_EQ(ReadBody(e.request.get()).data, "final");
    std::vector<RecordedRequest> r = server.requests();
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[1].requestLine, "GET /second HTTP/1.1");
    // The caller's headers travel with the redirect.
    EXPECT_EQ(r[1].header("Range"), "bytes=0-");
    WCHAR url[256];
    DWORD size = sizeof url;
    ASSERT_TRUE(WinHttpQueryOption(e.request.get(), WINHTTP_OPTION_URL, url, &size));
    EXPECT_EQ(Narrow(WString(url)), server.url("/second"));
}

TEST(WinHttpRequest, SeeOtherTurnsAPostIntoAGet) {
    HttpServer server;
    HttpBehavior seeOther;
    seeOther.status = 303;
    seeOther.headers = {{"Location", "/result"}};
    server.on("/form", seeOther);
    server.on("/result", Ok("done"));
    Exchange e = Exchange::Open(server.port(), "/form", "POST");
    std::string data = "a=1";
    ASSERT_TRUE(WinHttpSendRequest(e.request.get(), nullptr, 0, data.data(), 3, 3, 0));
    ASSERT_TRUE(e.receive());
    EXPECT_EQ(ReadBody(e.request.get()).data, "done");
    std::vector<RecordedRequest> r = server.requests();
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[0].body, "a=1");
    EXPECT_EQ(r[1].method, "GET");
    EXPECT_EQ(r[1].headerCount("Content-Length"), 0u);
}

TEST(WinHttpRequest, RedirectsCanBeSwitchedOff) {
    HttpServer server;
    HttpBehavior moved;
    moved.status = 301;
    moved.headers = {{"Location", "/elsewhere"}};
    server.on("/old", moved);
    Exchange e = Exchange::Open(server.port(), "/old");
    DWORD never = WINHTTP_OPTION_REDIRECT_POLICY_NEVER;
    ASSERT_TRUE(
        WinHttpSetOption(e.request.get(), WINHTTP_OPTION_REDIRECT_POLICY, &never, sizeof never));
    ASSERT_TRUE(e.run());
    EXPECT_EQ(StatusOf(e.request.get()), 301u);
    EXPECT_EQ(QueryText(e.request.get(), WINHTTP_QUERY_LOCATION).narrow(), "/elsewhere");
    EXPECT_EQ(server.requestCount(), 1u);
}
