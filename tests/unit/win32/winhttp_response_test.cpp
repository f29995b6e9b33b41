// The response side: header queries as WinHTTP answers them, and the pull
// loop over bodies of every shape (pieces, chunks, no length, ranges, 304).
#include "unit/win32/winhttp_client.h"
#include "support/http_server.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

using namespace winhttp_test;
using twtest::HttpBehavior;
using twtest::HttpServer;

namespace {

const char kDate[] = "Wed, 21 Oct 2015 07:28:00 GMT";

struct Fetched {
    HttpServer server;
    Exchange e;
};

// Runs one GET of `path` against a server answering `b`.
void Fetch(Fetched& f, const HttpBehavior& b, const std::string& path = "/r") {
    f.server.on(path, b);
    f.e = Exchange::Open(f.server.port(), path);
    ASSERT_TRUE(f.e.request);
    ASSERT_TRUE(f.e.run()) << GetLastError();
}

} // namespace

TEST(WinHttpHeaders, StatusLengthAndLastModifiedAsNumbersAndText) {
    Fetched f;
    HttpBehavior b;
    b.body = "hello";
    b.headers = {{"Last-Modified", kDate}};
    ASSERT_NO_FATAL_FAILURE(Fetch(f, b));
    HINTERNET r = f.e.request.get();
    EXPECT_EQ(StatusOf(r), 200u);
    EXPECT_EQ(QueryText(r, WINHTTP_QUERY_STATUS_CODE).narrow(), "200");
    EXPECT_EQ(QueryText(r, WINHTTP_QUERY_STATUS_TEXT).narrow(), "OK");
    EXPECT_EQ(QueryText(r, WINHTTP_QUERY_VERSION).narrow(), "HTTP/1.1");
    Number length = QueryNumber(r, WINHTTP_QUERY_CONTENT_LENGTH);
    ASSERT_TRUE(length.ok);
    EXPECT_EQ(length.value, 5u);
    EXPECT_EQ(QueryText(r, WINHTTP_QUERY_LAST_MODIFIED).narrow(), kDate);

    SYSTEMTIME st{};
    DWORD size = sizeof st;
    ASSERT_TRUE(WinHttpQueryHeaders(r, WINHTTP_QUERY_LAST_MODIFIED | WINHTTP_QUERY_FLAG_SYSTEMTIME,
                                    WINHTTP_HEADER_NAME_BY_INDEX, &st, &size,
                                    WINHTTP_NO_HEADER_INDEX));
    EXPECT_EQ(st.wYear, 2015);
    EXPECT_EQ(st.wMonth, 10);
    EXPECT_EQ(st.wDay, 21);
    EXPECT_EQ(st.wDayOfWeek, 3); // Wednesday
    EXPECT_EQ(st.wHour, 7);
    EXPECT_EQ(st.wMinute, 28);
    EXPECT_EQ(st.wSecond, 0);
}

TEST(WinHttpHeaders, RawHeadersAreTheStatusLineAndHeadersEachEndedByCrLf) {
    Fetched f;
    HttpBehavior b;
    b.body = "hello";
    b.headers = {{"Last-Modified", kDate}};
    ASSERT_NO_FATAL_FAILURE(Fetch(f, b));
    const std::string expected =
        std::string("HTTP/1.1 200 OK\r\nLast-Modified: ") + kDate + "\r\nContent-Length: 5\r\n\r\n";
    Text raw = QueryText(f.e.request.get(), WINHTTP_QUERY_RAW_HEADERS_CRLF);
    ASSERT_TRUE(raw.ok) << raw.error;
    EXPECT_EQ(raw.narrow(), expected);
}

TEST(WinHttpHeaders, BufferSizesCountBytesAndTheTerminator) {
    Fetched f;
    HttpBehavior b;
    b.headers = {{"X-Name", "abcd"}};
    ASSERT_NO_FATAL_FAILURE(Fetch(f, b));
    HINTERNET r = f.e.request.get();
    const WCHAR* name = TW_W("X-Name");

    DWORD size = 0;
    EXPECT_FALSE(WinHttpQueryHeaders(r, WINHTTP_QUERY_CUSTOM, name, nullptr, &size, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(size, 5 * sizeof(WCHAR));

    WCHAR buffer[8];
    size = 4 * sizeof(WCHAR); // no room for the terminator
    EXPECT_FALSE(WinHttpQueryHeaders(r, WINHTTP_QUERY_CUSTOM, name, buffer, &size, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(size, 5 * sizeof(WCHAR));

    size = 5 * sizeof(WCHAR);
    ASSERT_TRUE(WinHttpQueryHeaders(r, WINHTTP_QUERY_CUSTOM, name, buffer, &size, nullptr));
    EXPECT_EQ(size, 4 * sizeof(WCHAR)); // the answer's length leaves the terminator out
    EXPECT_EQ(Narrow(WString(buffer)), "abcd");

    DWORD number = 0;
    size = 2;
    EXPECT_FALSE(WinHttpQueryHeaders(r, WINHTTP_QUERY_CONTENT_LENGTH | WINHTTP_QUERY_FLAG_NUMBER,
                                     nullptr, &number, &size, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(size, sizeof(DWORD));
}

TEST(WinHttpHeaders, MissingHeadersAndRepeatedOnesByIndex) {
    Fetched f;
    HttpBehavior b;
    b.length = HttpBehavior::Length::Chunked;
    b.body = "x";
    b.headers = {{"Set-Cookie", "a=1"}, {"Set-Cookie", "b=2"}};
    ASSERT_NO_FATAL_FAILURE(Fetch(f, b));
    HINTERNET r = f.e.request.get();

    Number length = QueryNumber(r, WINHTTP_QUERY_CONTENT_LENGTH);
    EXPECT_FALSE(length.ok);
    EXPECT_EQ(length.error, static_cast<DWORD>(ERROR_WINHTTP_HEADER_NOT_FOUND));
    Text missing = QueryText(r, WINHTTP_QUERY_LAST_MODIFIED);
    EXPECT_FALSE(missing.ok);
    EXPECT_EQ(missing.error, static_cast<DWORD>(ERROR_WINHTTP_HEADER_NOT_FOUND));

    DWORD index = 0;
    EXPECT_EQ(QueryText(r, WINHTTP_QUERY_SET_COOKIE, nullptr, &index).narrow(), "a=1");
    EXPECT_EQ(index, 1u);
    EXPECT_EQ(QueryText(r, WINHTTP_QUERY_SET_COOKIE, nullptr, &index).narrow(), "b=2");
    EXPECT_EQ(index, 2u);
    Text third = QueryText(r, WINHTTP_QUERY_SET_COOKIE, nullptr, &index);
    EXPECT_FALSE(third.ok);
    EXPECT_EQ(third.error, static_cast<DWORD>(ERROR_WINHTTP_HEADER_NOT_FOUND));
}

TEST(WinHttpHeaders, ValuesAreTrimmedAndHighBytesKept) {
    Fetched f;
    HttpBehavior b;
    b.headers = {{"X-Pad", "  v  "}, {"X-Latin", "caf\xe9"}};
    ASSERT_NO_FATAL_FAILURE(Fetch(f, b));
    EXPECT_EQ(QueryText(f.e.request.get(), WINHTTP_QUERY_CUSTOM, TW_W("x-pad")).narrow(), "v");
    Text latin = QueryText(f.e.request.get(), WINHTTP_QUERY_CUSTOM, TW_W("X-Latin"));
    ASSERT_EQ(latin.value.size(), 4u);
    EXPECT_EQ(latin.value[3], static_cast<WCHAR>(0xE9));
}

TEST(WinHttpHeaders, LengthsBeyondThirtyTwoBits) {
    Fetched f;
    HttpBehavior b;
    b.length = HttpBehavior::Length::Custom;
    b.customLength = 5000000000ull;
    b.body = "abc";
    ASSERT_NO_FATAL_FAILURE(Fetch(f, b));
    uint64_t wide = 0;
    DWORD size = sizeof wide;
    ASSERT_TRUE(WinHttpQueryHeaders(f.e.request.get(),
                                    WINHTTP_QUERY_CONTENT_LENGTH | WINHTTP_QUERY_FLAG_NUMBER64,
                                    nullptr, &wide, &size, nullptr));
    EXPECT_EQ(wide, 5000000000ull);
    Number narrow = QueryNumber(f.e.request.get(), WINHTTP_QUERY_CONTENT_LENGTH);
    ASSERT_TRUE(narrow.ok);
    EXPECT_EQ(narrow.value, 0xFFFFFFFFu); // saturated, never wrapped
}

TEST(WinHttpHeaders, ResponseQueriesNeedAReceivedResponse) {
    HttpServer server;
    Exchange e = Exchange::Open(server.port(), "/r");
    Number status = QueryNumber(e.request.get(), WINHTTP_QUERY_STATUS_CODE);
    EXPECT_FALSE(status.ok);
    EXPECT_EQ(status.error, static_cast<DWORD>(ERROR_WINHTTP_INCORRECT_HANDLE_STATE));
    ASSERT_TRUE(e.send());
    status = QueryNumber(e.request.get(), WINHTTP_QUERY_STATUS_CODE);
    EXPECT_EQ(status.error, static_cast<DWORD>(ERROR_WINHTTP_INCORRECT_HANDLE_STATE));
    DWORD available = 0;
    EXPECT_FALSE(WinHttpQueryDataAvailable(e.request.get(), &available));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_WINHTTP_INCORRECT_HANDLE_STATE));
    ASSERT_TRUE(e.receive());
    EXPECT_EQ(StatusOf(e.request.get()), 404u);
}

TEST(WinHttpHeaders, AddedRequestHeadersFollowTheModifiers) {
    HttpServer server;
    Exchange e = Exchange::Open(server.port(), "/r");
    HINTERNET r = e.request.get();
    auto add = [&](const char* line, DWORD flags) {
        WString w = W(line);
        return WinHttpAddRequestHeaders(r, w.c_str(), static_cast<DWORD>(-1), flags) != FALSE;
    };
    const DWORD query = WINHTTP_QUERY_CUSTOM | WINHTTP_QUERY_FLAG_REQUEST_HEADERS;
    ASSERT_TRUE(add("X-A: 1\r\nX-B: 2", WINHTTP_ADDREQ_FLAG_ADD));
    EXPECT_FALSE(add("X-A: 9", WINHTTP_ADDREQ_FLAG_ADD_IF_NEW));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_WINHTTP_HEADER_ALREADY_EXISTS));
    ASSERT_TRUE(add("X-A: 3", WINHTTP_ADDREQ_FLAG_COALESCE_WITH_COMMA));
    EXPECT_EQ(QueryText(r, query, TW_W("X-A")).narrow(), "1, 3");
    ASSERT_TRUE(add("X-B: 4", WINHTTP_ADDREQ_FLAG_REPLACE));
    EXPECT_EQ(QueryText(r, query, TW_W("X-B")).narrow(), "4");
    ASSERT_TRUE(add("X-B:", WINHTTP_ADDREQ_FLAG_REPLACE)); // empty value removes
    EXPECT_EQ(QueryText(r, query, TW_W("X-B")).error,
              static_cast<DWORD>(ERROR_WINHTTP_HEADER_NOT_FOUND));
    EXPECT_FALSE(add("no colon here", WINHTTP_ADDREQ_FLAG_ADD));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_WINHTTP_INVALID_HEADER));
    // A bad line anywhere adds nothing at all.
    EXPECT_FALSE(add("X-C: 5\r\nbroken", WINHTTP_ADDREQ_FLAG_ADD));
    EXPECT_EQ(QueryText(r, query, TW_W("X-C")).error,
              static_cast<DWORD>(ERROR_WINHTTP_HEADER_NOT_FOUND));
    // A length in characters stops the text there.
    WString line = W("X-D: 12345");
    ASSERT_TRUE(WinHttpAddRequestHeaders(r, line.c_str(), 8, WINHTTP_ADDREQ_FLAG_ADD));
    EXPECT_EQ(QueryText(r, query, TW_W("X-D")).narrow(), "123");

    ASSERT_TRUE(e.run());
    twtest::RecordedRequest sent = server.requests().at(0);
    EXPECT_EQ(sent.header("X-A"), "1, 3");
    EXPECT_EQ(sent.headerCount("X-B"), 0u);
    EXPECT_EQ(sent.header("X-D"), "123");
}

TEST(WinHttpBody, SmallDelayedPiecesArriveWholeThroughManyReads) {
    Fetched f;
    HttpBehavior b;
    b.body = twtest::PatternBytes(0, 20000);
    b.pieceBytes = 700;
    b.pieceDelayMs = 2;
    ASSERT_NO_FATAL_FAILURE(Fetch(f, b));
    Body body = ReadBody(f.e.request.get());
    ASSERT_TRUE(body.ok) << body.error;
    EXPECT_TRUE(body.data == b.body);
    EXPECT_GT(body.reads, 1u);
}

TEST(WinHttpBody, ReadsSmallerThanWhatIsAvailableLoseNothing) {
    Fetched f;
    HttpBehavior b;
    b.body = twtest::PatternBytes(5, 100000);
    ASSERT_NO_FATAL_FAILURE(Fetch(f, b));
    std::string data;
    char buf[333];
    for (;;) {
        DWORD got = 0;
        ASSERT_TRUE(WinHttpReadData(f.e.request.get(), buf, sizeof buf, &got)) << GetLastError();
        if (got == 0)
            break;
        data.append(buf, got);
    }
    EXPECT_TRUE(data == b.body);
    // After the end every read and query keeps answering "nothing".
    DWORD available = 1;
    ASSERT_TRUE(WinHttpQueryDataAvailable(f.e.request.get(), &available));
    EXPECT_EQ(available, 0u);
}

TEST(WinHttpBody, ChunkedBody) {
    Fetched f;
    HttpBehavior b;
    b.body = twtest::PatternBytes(0, 50000);
    b.length = HttpBehavior::Length::Chunked;
    b.pieceBytes = 4096;
    ASSERT_NO_FATAL_FAILURE(Fetch(f, b));
    Body body = ReadBody(f.e.request.get());
    ASSERT_TRUE(body.ok);
    EXPECT_TRUE(body.data == b.body);
}

TEST(WinHttpBody, BodyWithoutLengthEndsWithTheConnection) {
    Fetched f;
    HttpBehavior b;
    b.body = twtest::PatternBytes(0, 30000);
    b.length = HttpBehavior::Length::Absent;
    ASSERT_NO_FATAL_FAILURE(Fetch(f, b));
    EXPECT_EQ(QueryNumber(f.e.request.get(), WINHTTP_QUERY_CONTENT_LENGTH).error,
              static_cast<DWORD>(ERROR_WINHTTP_HEADER_NOT_FOUND));
    Body body = ReadBody(f.e.request.get());
    ASSERT_TRUE(body.ok);
    EXPECT_TRUE(body.data == b.body);
}

TEST(WinHttpBody, NotModifiedHasNoBody) {
    Fetched f;
    HttpBehavior b;
    b.status = 304;
    b.headers = {{"Last-Modified", kDate}};
    ASSERT_NO_FATAL_FAILURE(Fetch(f, b));
    EXPECT_EQ(StatusOf(f.e.request.get()), 304u);
    DWORD available = 99;
    ASSERT_TRUE(WinHttpQueryDataAvailable(f.e.request.get(), &available));
    EXPECT_EQ(available, 0u);
}

TEST(WinHttpBody, RangeHonouredGivesPartialContent) {
    Fetched f;
    HttpBehavior b;
    b.body = twtest::PatternBytes(0, 10000);
    f.server.on("/f", b);
    f.e = Exchange::Open(f.server.port(), "/f");
    ASSERT_TRUE(f.e.addHeader("Range: bytes=4000-10000"));
    ASSERT_TRUE(f.e.run());
    EXPECT_EQ(StatusOf(f.e.request.get()), 206u);
    EXPECT_EQ(QueryText(f.e.request.get(), WINHTTP_QUERY_CONTENT_RANGE).narrow(),
              "bytes 4000-9999/10000");
    EXPECT_EQ(QueryNumber(f.e.request.get(), WINHTTP_QUERY_CONTENT_LENGTH).value, 6000u);
    EXPECT_TRUE(ReadBody(f.e.request.get()).data == b.body.substr(4000));
}

TEST(WinHttpBody, RangeIgnoredGivesTheWholeBodyWith200) {
    Fetched f;
    HttpBehavior b;
    b.body = twtest::PatternBytes(0, 10000);
    b.honourRange = false;
    f.server.on("/f", b);
    f.e = Exchange::Open(f.server.port(), "/f");
    ASSERT_TRUE(f.e.addHeader("Range: bytes=4000-10000"));
    ASSERT_TRUE(f.e.run());
    EXPECT_EQ(StatusOf(f.e.request.get()), 200u);
    EXPECT_EQ(QueryText(f.e.request.get(), WINHTTP_QUERY_CONTENT_RANGE).error,
              static_cast<DWORD>(ERROR_WINHTTP_HEADER_NOT_FOUND));
    EXPECT_TRUE(ReadBody(f.e.request.get()).data == b.body);
}

TEST(WinHttpBody, RangePastTheEndIsNotSatisfiable) {
    Fetched f;
    HttpBehavior b;
    b.body = "short";
    f.server.on("/f", b);
    f.e = Exchange::Open(f.server.port(), "/f");
    ASSERT_TRUE(f.e.addHeader("Range: bytes=5-9"));
    ASSERT_TRUE(f.e.run());
    EXPECT_EQ(StatusOf(f.e.request.get()), 416u);
    EXPECT_TRUE(ReadBody(f.e.request.get()).data.empty());
}

TEST(WinHttpBody, KeepAliveConnectionServesTheNextSendOnTheSameHandle) {
    HttpServer server;
    HttpBehavior b;
    b.body = "one";
    server.on("/k", b);
    Exchange e = Exchange::Open(server.port(), "/k");
    ASSERT_TRUE(e.run());
    EXPECT_EQ(ReadBody(e.request.get()).data, "one");
    ASSERT_TRUE(e.run());
    EXPECT_EQ(ReadBody(e.request.get()).data, "one");
    EXPECT_EQ(server.requestCount(), 2u);
    EXPECT_EQ(server.connectionCount(), 1);
}

TEST(WinHttpHeaders, FoldedHeaderLinesJoinThePreviousValue) {
    HttpServer server;
    HttpBehavior b;
    b.rawResponse = "HTTP/1.1 200 OK\r\nX-Fold: first\r\n  second\r\n \t \r\nContent-Length: 2\r\n"
                    "Connection: close\r\n\r\nok";
    server.on("/fold", b);
    Exchange e = Exchange::Open(server.port(), "/fold");
    ASSERT_TRUE(e.run()) << GetLastError();
    EXPECT_EQ(QueryText(e.request.get(), WINHTTP_QUERY_CUSTOM, TW_W("X-Fold")).narrow(),
              "first second");
    EXPECT_EQ(ReadBody(e.request.get()).data, "ok");
}

TEST(WinHttpBody, GeneratedBodyMatchesItsPublishedDigest) {
    Fetched f;
    HttpBehavior b;
    b.pattern = true;
    b.patternBytes = 3000001; // not a multiple of the pattern's word size
    b.length = HttpBehavior::Length::Chunked;
    ASSERT_NO_FATAL_FAILURE(Fetch(f, b));
    Body body = ReadBody(f.e.request.get());
    ASSERT_TRUE(body.ok);
    EXPECT_EQ(body.data.size(), 3000001u);
    EXPECT_EQ(twtest::Sha256Hex(body.data), twtest::PatternSha256(3000001));
}

TEST(WinHttpBody, FileBodyWithARange) {
    twtest::TempDir dir;
    const std::string content = twtest::PatternBytes(11, 700000);
    twtest::WriteFileText(dir.file("served.bin"), content);
    Fetched f;
    HttpBehavior b;
    b.bodyFile = dir.file("served.bin");
    f.server.on("/file", b);
    f.e = Exchange::Open(f.server.port(), "/file");
    ASSERT_TRUE(f.e.addHeader("Range: bytes=123457-"));
    ASSERT_TRUE(f.e.run());
    EXPECT_EQ(StatusOf(f.e.request.get()), 206u);
    Body body = ReadBody(f.e.request.get());
    ASSERT_TRUE(body.ok);
    EXPECT_TRUE(body.data == content.substr(123457));
}
