// One request opened, sent and answered: headers, options, proxy, HTTPS
// tolerance and the retry rules.
#include "http_doubles.h"
#include "http_fixture.h"

#include "agent/agent_params.h"
#include "base/text_helpers.h"
#include "http/agent_request.h"
#include "http/request_setup.h"
#include "support/certs.h"
#include "support/proxy.h"

#include <algorithm>

using namespace httptest;
using twtest::HttpBehavior;
using twtest::HttpServer;

namespace {

struct Request {
    std::u16string server = u"127.0.0.1";
    int port = 0;
    std::u16string path = u"/doc";
    const char* protocol = "http";
    BYTE proxyFlag = 0;
    std::u16string proxyServer, proxyBypass = u"<local>";
    const WCHAR* user = nullptr;
    const WCHAR* password = nullptr;
    int kind = GET_DATA;
    BYTE keepAlive = 1;

    DWORD run(InternetRequestHandles* h) const {
        return GetInternetRequestHandle(proxyFlag, protocol, server.c_str(),
                                        static_cast<INTERNET_PORT>(port), proxyServer.c_str(),
                                        proxyBypass.c_str(), user, password, path.c_str(), nullptr,
                                        nullptr, kind, keepAlive, h);
    }
};

class HttpRequestSetup : public HttpTest {
  protected:
    void SetUp() override {
        HttpTest::SetUp();
        server_.on(
            "/doc",
            HttpBehavior{200, "", {{"Last-Modified", "Tue, 04 Mar 2025 10:00:00 GMT"}}, "<doc/>"});
        req_.port = server_.port();
    }
    void TearDown() override {
        CloseInternetHandles(&h_);
        HttpTest::TearDown();
    }
    HttpServer server_;
    Request req_;
    InternetRequestHandles h_ = MakeInternetRequestHandles();
};

TEST_F(HttpRequestSetup, GetSendsTheAgentHeadersAndReportsTheStatus) {
    ASSERT_EQ(req_.run(&h_), 0u);
    EXPECT_EQ(h_.statusCode, 200u);
    ASSERT_EQ(server_.requestCount(), 1u);
    const twtest::RecordedRequest r = server_.requests()[0];
    EXPECT_EQ(r.method, "GET");
    EXPECT_EQ(r.target, "/doc");
    EXPECT_EQ(r.header("User-Agent"), "TidewellAgent");
    EXPECT_EQ(r.header("Accept"), "*/*");
    EXPECT_EQ(r.header("Connection"), "Keep-Alive");
    EXPECT_EQ(g_fake.accessTypes, std::vector<DWORD>{WINHTTP_ACCESS_TYPE_NO_PROXY});
    // The handles stay open for the caller to read the body.
    EXPECT_NE(h_.hRequest, TW_UNSET_HANDLE);
    EXPECT_NE(h_.hConnect, TW_UNSET_HANDLE);
    EXPECT_NE(h_.hSession, TW_UNSET_HANDLE);
}

TEST_F(HttpRequestSetup, ModesChooseVerbAndExtraHeader) {
    req_.keepAlive = 0;
    h_ = MakeInternetRequestHandles(REQUEST_MODE_HEAD);
    ASSERT_EQ(req_.run(&h_), 0u);
    CloseInternetHandles(&h_);
    std::u16string range = u"Range: bytes=2-3";
    h_ = MakeInternetRequestHandles(REQUEST_MODE_GET_WITH_HEADER, range.c_str());
    ASSERT_EQ(req_.run(&h_), 0u);
    EXPECT_EQ(h_.statusCode, 206u);
    auto rs = server_.requests();
    ASSERT_EQ(rs.size(), 2u);
    EXPECT_EQ(rs[0].method, "HEAD");
    EXPECT_EQ(rs[0].header("Range"), "");
    EXPECT_EQ(rs[0].header("Connection"), "close");
    EXPECT_EQ(rs[1].method, "GET");
    EXPECT_EQ(rs[1].header("Range"), "bytes=2-3");
}

TEST_F(HttpRequestSetup, StatusOtherThan407IsLeftToTheCaller) {
    req_.path = u"/missing";
    EXPECT_EQ(req_.run(&h_), 0u);
    EXPECT_EQ(h_.statusCode, 404u);
}

TEST_F(HttpRequestSetup, TimeoutsOnlyForGetData) {
    HTTPConnectionTimeout = 1234;
    HTTPRequestTimeout = 5678;
    ASSERT_EQ(req_.run(&h_), 0u);
    ASSERT_TRUE(g_fake.optionSet(WINHTTP_OPTION_CONNECT_TIMEOUT));
    EXPECT_EQ(g_fake.lastOption(WINHTTP_OPTION_CONNECT_TIMEOUT)->dword(), 1234u);
    EXPECT_EQ(g_fake.lastOption(WINHTTP_OPTION_RECEIVE_TIMEOUT)->dword(), 5678u);
    CloseInternetHandles(&h_);

    InstallDoubles(real_);
    req_.kind = DOWNLOAD_FILE;
    ASSERT_EQ(req_.run(&h_), 0u);
    EXPECT_EQ(h_.statusCode, 200u);
    EXPECT_FALSE(g_fake.optionSet(WINHTTP_OPTION_CONNECT_TIMEOUT));
    EXPECT_FALSE(g_fake.optionSet(WINHTTP_OPTION_RECEIVE_TIMEOUT));
}

TEST_F(HttpRequestSetup, ProxyCredentialsOnlyWithProxyFlagAndNamesLongerThanOneCharacter) {
    std::u16string user = u"agent", password = u"secret", one = u"a";
    req_.user = user.c_str();
    req_.password = password.c_str();
    // Flag 0: direct, no credentials even though a name is given.
    ASSERT_EQ(req_.run(&h_), 0u);
    EXPECT_FALSE(g_fake.optionSet(WINHTTP_OPTION_PROXY_USERNAME));
    EXPECT_FALSE(g_fake.optionSet(WINHTTP_OPTION_PROXY_PASSWORD));
    CloseInternetHandles(&h_);

    // Flag 2: no named proxy, but any non-zero flag sets the credentials.
    InstallDoubles(real_);
    req_.proxyFlag = 2;
    ASSERT_EQ(req_.run(&h_), 0u);
    EXPECT_EQ(g_fake.accessTypes, std::vector<DWORD>{WINHTTP_ACCESS_TYPE_NO_PROXY});
    ASSERT_TRUE(g_fake.optionSet(WINHTTP_OPTION_PROXY_USERNAME));
    EXPECT_EQ(g_fake.lastOption(WINHTTP_OPTION_PROXY_USERNAME)->text(), u"agent");
    EXPECT_EQ(g_fake.lastOption(WINHTTP_OPTION_PROXY_PASSWORD)->text(), u"secret");
    CloseInternetHandles(&h_);

    // A one-character name sets nothing, not even the password.
    InstallDoubles(real_);
    req_.user = one.c_str();
    ASSERT_EQ(req_.run(&h_), 0u);
    EXPECT_FALSE(g_fake.optionSet(WINHTTP_OPTION_PROXY_USERNAME));
    EXPECT_FALSE(g_fake.optionSet(WINHTTP_OPTION_PROXY_PASSWORD));
    CloseInternetHandles(&h_);

    // A one-character password is not set; the name is.
    InstallDoubles(real_);
    req_.user = user.c_str();
    req_.password = one.c_str();
    ASSERT_EQ(req_.run(&h_), 0u);
    EXPECT_TRUE(g_fake.optionSet(WINHTTP_OPTION_PROXY_USERNAME));
    EXPECT_FALSE(g_fake.optionSet(WINHTTP_OPTION_PROXY_PASSWORD));
}

TEST_F(HttpRequestSetup, FailedConnectionClosesTheSessionAndReturnsTheCode) {
    req_.server = u"";
    DWORD rc = req_.run(&h_);
    EXPECT_NE(rc, 0u);
    EXPECT_TRUE(LoggedPart("GetInternetRequestHandle :  Error in WinHttpConnect --> "));
    EXPECT_EQ(h_.hSession, TW_UNSET_HANDLE);
    EXPECT_EQ(h_.hConnect, TW_UNSET_HANDLE);
    EXPECT_EQ(g_fake.closes, 1);
    EXPECT_EQ(server_.requestCount(), 0u);
}

TEST_F(HttpRequestSetup, ConnectionRefusedIsCannotConnect) {
    twtest::RefusingPort refusing;
    req_.port = refusing.port();
    EXPECT_EQ(req_.run(&h_), static_cast<DWORD>(ERROR_WINHTTP_CANNOT_CONNECT));
    EXPECT_TRUE(Logged("GetInternetRequestHandle :  Error in WinHttpSendRequest -> 12029 "));
    EXPECT_TRUE(Logged("HttpGetLastError: The attempt to connect to the server failed."));
}

// ---- HTTPS ----

class HttpRequestSetupTls : public HttpTest {};

TEST_F(HttpRequestSetupTls, CertificateDefectsWithinTheToleranceAreAccepted) {
    const twtest::TestCertificates& certs = twtest::Certificates();
    for (const twtest::TlsIdentity* id :
         {&certs.selfSigned, &certs.wrongHost, &certs.expired, &certs.good, &certs.wrongUsage}) {
        HttpServer server(*id);
        server.on("/doc", HttpBehavior{200, "", {}, "secure"});
        Request req;
        req.port = server.port();
        req.protocol = "HTTPS";
        InternetRequestHandles h = MakeInternetRequestHandles();
        EXPECT_EQ(req.run(&h), 0u);
        EXPECT_EQ(h.statusCode, 200u);
        ASSERT_TRUE(g_fake.optionSet(WINHTTP_OPTION_SECURITY_FLAGS));
        EXPECT_EQ(g_fake.lastOption(WINHTTP_OPTION_SECURITY_FLAGS)->dword() & 0x3300u, 0x3300u);
        CloseInternetHandles(&h);
        ASSERT_EQ(server.requestCount(), 1u);
        EXPECT_TRUE(server.requests()[0].tls);
    }
    EXPECT_TRUE(Logged("GetInternetRequestHandle :  The request is updated with the internet "
                       "option security flags. "));
}

TEST_F(HttpRequestSetupTls, BadSignatureIsNotForgiven) {
    HttpServer server(twtest::Certificates().badSignature);
    server.on("/doc", HttpBehavior{200, "", {}, "secure"});
    Request req;
    req.port = server.port();
    req.protocol = "https";
    InternetRequestHandles h = MakeInternetRequestHandles();
    EXPECT_NE(req.run(&h), 0u);
    EXPECT_EQ(h.statusCode, 0u);
    CloseInternetHandles(&h);
}

TEST_F(HttpRequestSetupTls, SecureProtocolsOnlyOnWindows7And8) {
    const char* key = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";
    WriteRegDword(key, "CurrentMajorVersionNumber", 10, true);
    WriteRegDword(key, "CurrentMinorVersionNumber", 0, true);
    HINTERNET session = real_.Open(TW_W("t"), WINHTTP_ACCESS_TYPE_NO_PROXY, nullptr, nullptr, 0);
    ASSERT_NE(session, nullptr);
    EXPECT_EQ(SetSecureProtocols(session), 1);
    EXPECT_FALSE(g_fake.optionSet(WINHTTP_OPTION_SECURE_PROTOCOLS));
    EXPECT_FALSE(LoggedPart("SetSecureProtocols"));

    WriteRegDword(key, "CurrentMajorVersionNumber", 6, true);
    WriteRegDword(key, "CurrentMinorVersionNumber", 1, true);
    EXPECT_EQ(SetSecureProtocols(session), 1);
    ASSERT_TRUE(g_fake.optionSet(WINHTTP_OPTION_SECURE_PROTOCOLS));
    EXPECT_EQ(g_fake.lastOption(WINHTTP_OPTION_SECURE_PROTOCOLS)->dword(), 0xA80u);
    EXPECT_TRUE(Logged("SetSecureProtocols : Configuring security protocols "));
    EXPECT_TRUE(Logged("SetSecureProtocols :  Security protocols configured successfully "));
    real_.CloseHandle(session);
}

// ---- proxy ----

class HttpRequestSetupProxy : public HttpTest {};

TEST_F(HttpRequestSetupProxy, NamedProxyWithCredentials) {
    twtest::TinyProxy proxy("agent", "s3cret");
    ASSERT_TRUE(proxy.running()) << proxy.error();
    HttpServer server;
    server.on("/doc", HttpBehavior{200, "", {}, "via proxy"});
    std::u16string user = u"agent", good = u"s3cret";
    Request req;
    req.port = server.port();
    req.proxyFlag = 1;
    req.proxyServer = W(proxy.address());
    req.proxyBypass = u"";
    req.user = user.c_str();
    req.password = good.c_str();
    InternetRequestHandles h = MakeInternetRequestHandles();
    EXPECT_EQ(req.run(&h), 0u);
    EXPECT_EQ(h.statusCode, 200u);
    EXPECT_EQ(g_fake.accessTypes, std::vector<DWORD>{WINHTTP_ACCESS_TYPE_NAMED_PROXY});
    EXPECT_TRUE(Logged("GetInternetRequestHandle : Proxy Server Name : " + proxy.address() + " "));
    CloseInternetHandles(&h);
    EXPECT_EQ(server.requestCount(), 1u);

    // Without the credentials the proxy demands them and the server sees nothing.
    req.user = nullptr;
    EXPECT_EQ(req.run(&h), 407u);
    EXPECT_EQ(h.statusCode, 407u);
    CloseInternetHandles(&h);
    EXPECT_EQ(server.requestCount(), 1u);
}

TEST_F(HttpRequestSetupProxy, ProxyAuthenticationRequiredIsTheResult) {
    // A proxy that answers every request with 407.
    HttpServer proxy;
    proxy.otherwise(HttpBehavior{407, "", {{"Proxy-Authenticate", "Basic realm=\"p\""}}, "no"});
    std::u16string user = u"agent", password = u"wrong";
    Request req;
    req.server = u"origin.example";
    req.port = 8080;
    req.proxyFlag = 1;
    req.proxyServer = W("127.0.0.1:" + std::to_string(proxy.port()));
    req.proxyBypass = u"";
    req.user = user.c_str();
    req.password = password.c_str();
    InternetRequestHandles h = MakeInternetRequestHandles();
    EXPECT_EQ(req.run(&h), 407u);
    EXPECT_EQ(h.statusCode, 407u);
    EXPECT_TRUE(Logged("GetInternetRequestHandle : Proxy Credentials are failed to authenticate "
                       "407 "));
    CloseInternetHandles(&h);
    ASSERT_GE(proxy.requestCount(), 1u);
    EXPECT_EQ(proxy.requests()[0].target, "http://origin.example:8080/doc");
}

// ---- retry rules ----

class HttpRetry : public HttpRequestSetup {};

TEST_F(HttpRetry, ResendRequestOnEveryAttemptEndsAfterFiveSendsWithTheHeaderQueryError) {
    g_fake.receiveErrors.assign(10, ERROR_WINHTTP_RESEND_REQUEST);
    DWORD rc = req_.run(&h_);
    EXPECT_EQ(g_fake.sends, 5);
    EXPECT_EQ(g_fake.receives, 5);
    EXPECT_EQ(g_fake.sleeps, std::vector<DWORD>(5, 5000));
    EXPECT_EQ(g_fake.opens, 1);
    // The raw-header query fails on a request without a response; its code is the result.
    ASSERT_FALSE(g_fake.headerQueryErrors.empty());
    EXPECT_EQ(rc, g_fake.headerQueryErrors.back());
    EXPECT_NE(rc, 0u);
    EXPECT_EQ(h_.statusCode, 0u);
    EXPECT_TRUE(Logged("GetInternetRequestHandle : Resending the data to the server 127.0.0.1 "));
    EXPECT_TRUE(LoggedPart("GetInternetRequestHandle :  Error in WinHttpQueryHeaders --> "));
}

TEST_F(HttpRetry, InvalidResponseOnceRestartsAndStillReturnsTheCode) {
    g_fake.receiveErrors = {ERROR_WINHTTP_INVALID_SERVER_RESPONSE};
    EXPECT_EQ(req_.run(&h_), static_cast<DWORD>(ERROR_WINHTTP_INVALID_SERVER_RESPONSE));
    EXPECT_EQ(h_.statusCode, 200u);
    // A new session, connection and request replaced the first ones, which were closed.
    EXPECT_EQ(g_fake.opens, 2);
    EXPECT_EQ(g_fake.connects, 2);
    EXPECT_EQ(g_fake.requestsOpened, 2);
    EXPECT_EQ(g_fake.closes, 3);
    EXPECT_TRUE(g_fake.sleeps.empty());
    EXPECT_TRUE(Logged("GetInternetRequestHandle : Going to close the request handle and going to "
                       "resending the data to the server 127.0.0.1,as the error code received is "
                       "12152 "));
}

TEST_F(HttpRetry, ServerThatClosesWithoutAnswerRestartsFromTheReceive) {
    HttpBehavior closing;
    closing.noResponse = true;
    server_.on("/closing", closing);
    req_.path = u"/closing";
    // The request is written whole each time, so the failure always comes from
    // the receive and its restart rule runs: one restart, then five sends on
    // the new request, whose header query then fails.
    for (int run = 0; run < 10; ++run) {
        SCOPED_TRACE(run);
        InstallDoubles(real_);
        EXPECT_EQ(req_.run(&h_), static_cast<DWORD>(ERROR_WINHTTP_INCORRECT_HANDLE_STATE));
        CloseInternetHandles(&h_);
        EXPECT_EQ(g_fake.opens, 2);
        EXPECT_EQ(g_fake.sends, 6);
        EXPECT_EQ(g_fake.receives, 6);
    }
    EXPECT_TRUE(WaitForRequests(server_, 60));
    const std::string restart = "GetInternetRequestHandle : Going to close the request handle and "
                                "going to resending the data to the server 127.0.0.1,as the error "
                                "code received is 12152 ";
    std::vector<std::string> messages = LogMessages();
    EXPECT_EQ(std::count(messages.begin(), messages.end(), restart), 60);
    EXPECT_FALSE(LoggedPart("Error in WinHttpSendRequest"));
}

TEST_F(HttpRetry, AfterTheRestartAnInvalidResponseResendsOnTheSameHandle) {
    g_fake.receiveErrors = {ERROR_WINHTTP_INVALID_SERVER_RESPONSE, ERROR_WINHTTP_LOGIN_FAILURE,
                            ERROR_WINHTTP_INVALID_SERVER_RESPONSE};
    EXPECT_EQ(req_.run(&h_), static_cast<DWORD>(ERROR_WINHTTP_INVALID_SERVER_RESPONSE));
    EXPECT_EQ(h_.statusCode, 200u);
    EXPECT_EQ(g_fake.opens, 2);
    EXPECT_EQ(g_fake.sends, 4);
    EXPECT_TRUE(g_fake.sleeps.empty());
}

TEST_F(HttpRetry, SendCancelledTwiceRestartsOnceThenFails) {
    g_fake.sendErrors = {ERROR_WINHTTP_OPERATION_CANCELLED, ERROR_WINHTTP_OPERATION_CANCELLED};
    EXPECT_EQ(req_.run(&h_), static_cast<DWORD>(ERROR_WINHTTP_OPERATION_CANCELLED));
    EXPECT_EQ(g_fake.opens, 2);
    EXPECT_EQ(g_fake.sends, 2);
    EXPECT_EQ(g_fake.receives, 0);
    EXPECT_TRUE(Logged("GetInternetRequestHandle :  Error in WinHttpSendRequest -> 12017 "));
    EXPECT_EQ(server_.requestCount(), 0u);
}

TEST_F(HttpRetry, LoginFailureOnSendThenSuccessReturnsTheRecordedCode) {
    g_fake.sendErrors = {ERROR_WINHTTP_LOGIN_FAILURE};
    EXPECT_EQ(req_.run(&h_), static_cast<DWORD>(ERROR_WINHTTP_LOGIN_FAILURE));
    EXPECT_EQ(h_.statusCode, 200u);
    EXPECT_EQ(server_.requestCount(), 1u);
}

TEST_F(HttpRetry, OtherReceiveErrorsEndAtOnce) {
    g_fake.receiveErrors = {ERROR_WINHTTP_CONNECTION_ERROR};
    EXPECT_EQ(req_.run(&h_), static_cast<DWORD>(ERROR_WINHTTP_CONNECTION_ERROR));
    EXPECT_EQ(g_fake.sends, 1);
    EXPECT_EQ(g_fake.opens, 1);
    EXPECT_TRUE(Logged("GetInternetRequestHandle :  Error - WinHttpReceiveResponse --> 12030 "));
}

TEST_F(HttpRetry, ResendThenAnswerReturnsTheResendCode) {
    g_fake.receiveErrors = {ERROR_WINHTTP_RESEND_REQUEST, ERROR_WINHTTP_RESEND_REQUEST};
    EXPECT_EQ(req_.run(&h_), static_cast<DWORD>(ERROR_WINHTTP_RESEND_REQUEST));
    EXPECT_EQ(h_.statusCode, 200u);
    EXPECT_EQ(g_fake.sends, 3);
    EXPECT_EQ(g_fake.sleeps, (std::vector<DWORD>{5000, 5000}));
}

// ---- Last-Modified ----

TEST_F(HttpRequestSetup, LastModifiedHeaderIsReturnedAsNewText) {
    ASSERT_EQ(req_.run(&h_), 0u);
    WCHAR* text = nullptr;
    EXPECT_EQ(GetFilelastmodifiedTime(h_.hRequest, &text), 0u);
    EXPECT_EQ(N(text), "Tue, 04 Mar 2025 10:00:00 GMT");
    free(text);
    CloseInternetHandles(&h_);

    req_.path = u"/missing";
    ASSERT_EQ(req_.run(&h_), 0u);
    text = nullptr;
    EXPECT_EQ(GetFilelastmodifiedTime(h_.hRequest, &text),
              static_cast<DWORD>(ERROR_WINHTTP_HEADER_NOT_FOUND));
    EXPECT_EQ(text, nullptr);
    EXPECT_TRUE(Logged("GetFilelastmodifiedTime: Could n't query HEADER for last modified time"));
}

// ---- error texts ----

TEST_F(HttpRequestSetup, ErrorExplanations) {
    HttpGetLastError(12038);
    HttpGetLastError(12184);
    HttpGetLastError(12169);
    HttpGetLastError(2);
    auto messages = LogMessages();
    ASSERT_GE(messages.size(), 4u);
    EXPECT_TRUE(LoggedPart("HttpGetLastError: SSL certificate common name (host name field) is "
                           "incorrect. For example"));
    EXPECT_TRUE(Logged("HttpGetLastError: The WinHTTP function failed. The desired function can be "
                       "retried on the same request handle "));
    // 12169's text has no line feed, so the next message joins its line.
    EXPECT_TRUE(LoggedPart("CERT_E_MALFORMED and CERT_E_CHAINING)."));
    EXPECT_TRUE(LoggedPart("The system cannot find the file specified."));
}

} // namespace
