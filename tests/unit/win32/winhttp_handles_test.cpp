// Handles and options: validation, closing in any order, what each option
// accepts and answers, and what handles inherit.
#include "unit/win32/winhttp_client.h"
#include "support/http_server.h"

#include <gtest/gtest.h>

using namespace winhttp_test;
using twtest::HttpBehavior;
using twtest::HttpServer;

namespace {

DWORD QueryDword(HINTERNET h, DWORD option, BOOL* ok = nullptr) {
    DWORD value = 0;
    DWORD size = sizeof value;
    BOOL result = WinHttpQueryOption(h, option, &value, &size);
    if (ok != nullptr)
        *ok = result;
    return value;
}

bool SetDword(HINTERNET h, DWORD option, DWORD value) {
    return WinHttpSetOption(h, option, &value, sizeof value) != FALSE;
}

} // namespace

TEST(WinHttpHandles, ClosedHandlesAreInvalidEverywhere) {
    HttpServer server;
    Exchange e = Exchange::Open(server.port(), "/");
    HINTERNET request = e.request.release();
    ASSERT_TRUE(WinHttpCloseHandle(request));
    EXPECT_FALSE(WinHttpCloseHandle(request));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(WinHttpSendRequest(request, nullptr, 0, nullptr, 0, 0, 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(WinHttpReceiveResponse(request, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    DWORD n = 0;
    EXPECT_FALSE(WinHttpQueryDataAvailable(request, &n));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    char buf[4];
    EXPECT_FALSE(WinHttpReadData(request, buf, sizeof buf, &n));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(WinHttpWriteData(request, buf, sizeof buf, &n));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(WinHttpAddRequestHeaders(request, TW_W("A: b"), static_cast<DWORD>(-1), 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(
        WinHttpQueryHeaders(request, WINHTTP_QUERY_STATUS_CODE, nullptr, buf, &n, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(SetDword(request, WINHTTP_OPTION_RECEIVE_TIMEOUT, 1));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(WinHttpCloseHandle(nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    int notAHandle = 0;
    EXPECT_FALSE(WinHttpCloseHandle(&notAHandle));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST(WinHttpHandles, AHandleOfTheWrongKindIsRefused) {
    HttpServer server;
    Exchange e = Exchange::Open(server.port(), "/");
    EXPECT_EQ(WinHttpConnect(e.request.get(), TW_W("127.0.0.1"), 80, 0), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_WINHTTP_INCORRECT_HANDLE_TYPE));
    EXPECT_EQ(WinHttpOpenRequest(e.session.get(), nullptr, TW_W("/"), nullptr, nullptr, nullptr, 0),
              nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_WINHTTP_INCORRECT_HANDLE_TYPE));
    EXPECT_FALSE(WinHttpSendRequest(e.connect.get(), nullptr, 0, nullptr, 0, 0, 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_WINHTTP_INCORRECT_HANDLE_TYPE));
    EXPECT_FALSE(SetDword(e.session.get(), WINHTTP_OPTION_SECURITY_FLAGS, 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_WINHTTP_INCORRECT_HANDLE_TYPE));
    EXPECT_FALSE(SetDword(e.request.get(), WINHTTP_OPTION_SECURE_PROTOCOLS,
                          WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_WINHTTP_INCORRECT_HANDLE_TYPE));
    EXPECT_FALSE(WinHttpSetTimeouts(e.connect.get(), 0, 1, 1, 1));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_WINHTTP_INCORRECT_HANDLE_TYPE));
    BOOL ok = TRUE;
    EXPECT_EQ(QueryDword(e.session.get(), WINHTTP_OPTION_HANDLE_TYPE, &ok),
              static_cast<DWORD>(WINHTTP_HANDLE_TYPE_SESSION));
    EXPECT_EQ(QueryDword(e.connect.get(), WINHTTP_OPTION_HANDLE_TYPE),
              static_cast<DWORD>(WINHTTP_HANDLE_TYPE_CONNECT));
    EXPECT_EQ(QueryDword(e.request.get(), WINHTTP_OPTION_HANDLE_TYPE),
              static_cast<DWORD>(WINHTTP_HANDLE_TYPE_REQUEST));
}

TEST(WinHttpHandles, ClosingParentsFirstLeavesTheRequestWorking) {
    HttpServer server;
    HttpBehavior b;
    b.body = "still here";
    server.on("/x", b);
    Exchange e = Exchange::Open(server.port(), "/x");
    e.session.reset();
    e.connect.reset();
    ASSERT_TRUE(e.run()) << GetLastError();
    EXPECT_EQ(ReadBody(e.request.get()).data, "still here");
}

TEST(WinHttpHandles, ClosingMidBodyIsSafe) {
    HttpServer server;
    HttpBehavior b;
    b.pattern = true;
    b.patternBytes = 8 << 20;
    server.on("/big", b);
    Exchange e = Exchange::Open(server.port(), "/big");
    ASSERT_TRUE(e.run());
    char buf[1000];
    DWORD got = 0;
    ASSERT_TRUE(WinHttpReadData(e.request.get(), buf, sizeof buf, &got));
    EXPECT_TRUE(WinHttpCloseHandle(e.request.release()));
    EXPECT_TRUE(WinHttpCloseHandle(e.connect.release()));
    EXPECT_TRUE(WinHttpCloseHandle(e.session.release()));
}

TEST(WinHttpHandles, OpenRefusesWhatItCannotDo) {
    EXPECT_EQ(WinHttpOpen(kAgent, WINHTTP_ACCESS_TYPE_NAMED_PROXY, WINHTTP_NO_PROXY_NAME,
                          WINHTTP_NO_PROXY_BYPASS, 0),
              nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(WinHttpOpen(kAgent, 7, nullptr, nullptr, 0), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    Handle session(WinHttpOpen(kAgent, WINHTTP_ACCESS_TYPE_NO_PROXY, nullptr, nullptr, 0));
    ASSERT_TRUE(session);
    EXPECT_EQ(WinHttpConnect(session.get(), nullptr, 80, 0), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(WinHttpConnect(session.get(), TW_W(""), 80, 0), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST(WinHttpOptions, TimeoutsStartAtWinHttpsDefaults) {
    HttpServer server;
    Exchange e = Exchange::Open(server.port(), "/");
    EXPECT_EQ(QueryDword(e.request.get(), WINHTTP_OPTION_RESOLVE_TIMEOUT), 0u);
    EXPECT_EQ(QueryDword(e.request.get(), WINHTTP_OPTION_CONNECT_TIMEOUT), 60000u);
    EXPECT_EQ(QueryDword(e.request.get(), WINHTTP_OPTION_SEND_TIMEOUT), 30000u);
    EXPECT_EQ(QueryDword(e.request.get(), WINHTTP_OPTION_RECEIVE_TIMEOUT), 30000u);
}

TEST(WinHttpOptions, HandlesInheritTimeoutsSetBeforeTheyWereOpened) {
    Handle session(WinHttpOpen(kAgent, WINHTTP_ACCESS_TYPE_NO_PROXY, nullptr, nullptr, 0));
    ASSERT_TRUE(WinHttpSetTimeouts(session.get(), 100, 200, 300, 400));
    Handle connect(WinHttpConnect(session.get(), TW_W("127.0.0.1"), 80, 0));
    Handle first(
        WinHttpOpenRequest(connect.get(), nullptr, TW_W("/"), nullptr, nullptr, nullptr, 0));
    EXPECT_EQ(QueryDword(first.get(), WINHTTP_OPTION_RESOLVE_TIMEOUT), 100u);
    EXPECT_EQ(QueryDword(first.get(), WINHTTP_OPTION_CONNECT_TIMEOUT), 200u);
    EXPECT_EQ(QueryDword(first.get(), WINHTTP_OPTION_SEND_TIMEOUT), 300u);
    EXPECT_EQ(QueryDword(first.get(), WINHTTP_OPTION_RECEIVE_TIMEOUT), 400u);
    // Later changes reach handles opened later, not the ones already open.
    ASSERT_TRUE(SetDword(connect.get(), WINHTTP_OPTION_RECEIVE_TIMEOUT, 999));
    Handle second(
        WinHttpOpenRequest(connect.get(), nullptr, TW_W("/"), nullptr, nullptr, nullptr, 0));
    EXPECT_EQ(QueryDword(second.get(), WINHTTP_OPTION_RECEIVE_TIMEOUT), 999u);
    EXPECT_EQ(QueryDword(first.get(), WINHTTP_OPTION_RECEIVE_TIMEOUT), 400u);
    EXPECT_FALSE(WinHttpSetTimeouts(session.get(), -2, 0, 0, 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST(WinHttpOptions, BufferSizesAndUnknownOptions) {
    HttpServer server;
    Exchange e = Exchange::Open(server.port(), "/");
    WORD small = 5;
    EXPECT_FALSE(
        WinHttpSetOption(e.request.get(), WINHTTP_OPTION_RECEIVE_TIMEOUT, &small, sizeof small));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    DWORD size = 0;
    EXPECT_FALSE(
        WinHttpQueryOption(e.request.get(), WINHTTP_OPTION_RECEIVE_TIMEOUT, nullptr, &size));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(size, sizeof(DWORD));
    EXPECT_FALSE(SetDword(e.request.get(), 0x7777, 1));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_WINHTTP_INVALID_OPTION));
    EXPECT_FALSE(SetDword(e.request.get(), WINHTTP_OPTION_HANDLE_TYPE, 1));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_WINHTTP_OPTION_NOT_SETTABLE));

    WCHAR url[128];
    size = 2; // too small for anything
    EXPECT_FALSE(WinHttpQueryOption(e.request.get(), WINHTTP_OPTION_URL, url, &size));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    const std::string expected = server.url("/");
    EXPECT_EQ(size, (expected.size() + 1) * sizeof(WCHAR));
    ASSERT_TRUE(WinHttpQueryOption(e.request.get(), WINHTTP_OPTION_URL, url, &size));
    EXPECT_EQ(Narrow(WString(url)), expected);
}

TEST(WinHttpOptions, ProxyCredentialsTakeTheirLengthInCharacters) {
    HttpServer server;
    Exchange e = Exchange::Open(server.port(), "/");
    WString name = W("agentXXXX");
    ASSERT_TRUE(WinHttpSetOption(e.request.get(), WINHTTP_OPTION_PROXY_USERNAME,
                                 const_cast<WCHAR*>(name.c_str()), 5));
    WCHAR out[32];
    DWORD size = sizeof out;
    ASSERT_TRUE(WinHttpQueryOption(e.request.get(), WINHTTP_OPTION_PROXY_USERNAME, out, &size));
    EXPECT_EQ(Narrow(WString(out)), "agent");
    EXPECT_FALSE(WinHttpSetOption(e.session.get(), WINHTTP_OPTION_PROXY_PASSWORD,
                                  const_cast<WCHAR*>(name.c_str()), 5));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_WINHTTP_INCORRECT_HANDLE_TYPE));
}

TEST(WinHttpOptions, ReceiveTimeoutSetBeforeEachSendApplies) {
    HttpServer server;
    HttpBehavior slow;
    slow.stallBeforeHeaders = true;
    server.on("/slow", slow);
    Exchange e = Exchange::Open(server.port(), "/slow");
    // The agent sets the option again before every send; the latest value counts.
    ASSERT_TRUE(SetDword(e.request.get(), WINHTTP_OPTION_RECEIVE_TIMEOUT, 60000));
    ASSERT_TRUE(SetDword(e.request.get(), WINHTTP_OPTION_RECEIVE_TIMEOUT, 200));
    ASSERT_TRUE(e.send());
    EXPECT_FALSE(e.receive());
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_WINHTTP_TIMEOUT));
    // A new send on the same handle starts a new exchange.
    HttpBehavior fine;
    fine.body = "ok";
    server.on("/slow", fine);
    ASSERT_TRUE(e.run()) << GetLastError();
    EXPECT_EQ(ReadBody(e.request.get()).data, "ok");
}
