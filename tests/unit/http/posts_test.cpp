// Posts from memory and file uploads: bodies, headers, sizes, answers, the
// retry rules and the inputs that are refused.
#include "http_doubles.h"
#include "http_fixture.h"

#include "http/agent_request.h"
#include "http/posts.h"
#include "support/certs.h"

#include <filesystem>
#include <string>

using namespace httptest;
using twtest::HttpBehavior;
using twtest::HttpServer;

namespace {

HttpBehavior Answer(const std::string& body, int status = 200) {
    HttpBehavior b;
    b.status = status;
    b.body = body;
    return b;
}

class HttpPost : public HttpTest {
  protected:
    void SetUp() override {
        HttpTest::SetUp();
        server_.on("/agentRequest", Answer("ack"));
    }
    void TearDown() override {
        free(response_);
        HttpTest::TearDown();
    }
    DWORD Post(const char* payload, int kind, BYTE keepAlive = 1, DWORD size = 0,
               bool wantResponse = true, const std::string& path = "/agentRequest") {
        std::u16string p = W(path);
        free(response_);
        response_ = nullptr;
        return InternetSendRequestEx(0, protocol_, server_name_.c_str(), port(), nullptr, nullptr,
                                     nullptr, nullptr, p.c_str(), payload,
                                     wantResponse ? &response_ : nullptr, kind, keepAlive, size);
    }
    DWORD Upload(const char* file, DWORD chunk, BYTE keepAlive = 0,
                 const std::string& path = "/agentRequest") {
        std::u16string p = W(path);
        free(response_);
        response_ = nullptr;
        return InternetSendRequestByBitRate(0, "http", server_name_.c_str(), port(), nullptr,
                                            nullptr, nullptr, nullptr, p.c_str(), file, &response_,
                                            UPLOAD_FILE, keepAlive, chunk);
    }
    virtual int port() const { return server_.port(); }
    // A file of `bytes` pattern bytes at a Windows path.
    void MakeFile(const std::string& windowsPath, size_t bytes) {
        std::filesystem::create_directories(std::filesystem::path(Host(windowsPath)).parent_path());
        twtest::WriteFileText(Host(windowsPath), twtest::PatternBytes(0, bytes));
    }

    HttpServer server_;
    std::u16string server_name_ = u"127.0.0.1";
    const char* protocol_ = "http";
    char* response_ = nullptr;
};

TEST_F(HttpPost, PostDataSendsThePayloadAndReadsTheAnswer) {
    ASSERT_EQ(Post("status=ok&id=7", POST_DATA), 0u);
    ASSERT_NE(response_, nullptr);
    EXPECT_EQ(std::string(response_), "ack");
    ASSERT_EQ(server_.requestCount(), 1u);
    const twtest::RecordedRequest r = server_.requests()[0];
    EXPECT_EQ(r.method, "POST");
    EXPECT_EQ(r.body, "status=ok&id=7");
    EXPECT_EQ(r.header("Content-Length"), "14");
    EXPECT_EQ(r.header("Connection"), "Keep-Alive");
    EXPECT_EQ(r.header("User-Agent"), "TidewellAgent");
    EXPECT_TRUE(g_fake.optionSet(WINHTTP_OPTION_CONNECT_TIMEOUT));
    EXPECT_TRUE(g_fake.optionSet(WINHTTP_OPTION_RECEIVE_TIMEOUT));
    EXPECT_TRUE(Logged("InternetSendRequestEx : Successfully posted the data to the server "
                       "127.0.0.1 "));
    EXPECT_TRUE(Logged("InternetSendRequestEx : dwPostSize: 14 "));
}

TEST_F(HttpPost, PostRequestHonoursKeepAliveFlagAndSetsNoTimeouts) {
    ASSERT_EQ(Post("x=1", POST_REQUEST, 0), 0u);
    ASSERT_EQ(server_.requestCount(), 1u);
    EXPECT_EQ(server_.requests()[0].header("Connection"), "close");
    EXPECT_EQ(server_.requests()[0].header("Content-Type"), "");
    EXPECT_FALSE(g_fake.optionSet(WINHTTP_OPTION_CONNECT_TIMEOUT));
    EXPECT_FALSE(g_fake.optionSet(WINHTTP_OPTION_RECEIVE_TIMEOUT));
}

TEST_F(HttpPost, MultipartPostsTheGivenSizeOrThePayloadLength) {
    const char payload[] = "ab\0cd";
    ASSERT_EQ(Post(payload, POST_MULTIPART, 1, 5), 0u);
    ASSERT_EQ(Post(payload, POST_MULTIPART, 1, 0), 0u);
    auto rs = server_.requests();
    ASSERT_EQ(rs.size(), 2u);
    EXPECT_EQ(rs[0].body, std::string("ab\0cd", 5));
    EXPECT_EQ(rs[0].header("Content-Type"), "multipart/form-data");
    EXPECT_EQ(rs[1].body, "ab");
    EXPECT_TRUE(Logged("InternetSendRequestEx : dwPostSize: 2 "));
}

TEST_F(HttpPost, AbsentPayloadOpensNothingAndEmptyPayloadPostsAnEmptyBody) {
    EXPECT_EQ(Post(nullptr, POST_DATA), RESULT_INVALID_INPUT);
    EXPECT_EQ(g_fake.opens, 0);
    EXPECT_EQ(server_.requestCount(), 0u);
    ASSERT_EQ(Post("", POST_DATA), 0u);
    ASSERT_EQ(server_.requestCount(), 1u);
    EXPECT_EQ(server_.requests()[0].bodyBytes, 0u);
}

TEST_F(HttpPost, StatusOtherThan200IsTheResult) {
    server_.on("/broken", Answer("boom", 500));
    EXPECT_EQ(Post("a", POST_DATA, 1, 0, true, "/broken"), 500u);
    EXPECT_EQ(response_, nullptr);
    EXPECT_TRUE(Logged("InternetSendRequestEx : Failed to post the data to the server 127.0.0.1 "
                       "with http status code 500 "));
}

TEST_F(HttpPost, AnswerIsReadOnlyWhenAskedFor) {
    ASSERT_EQ(Post("a", POST_DATA, 1, 0, false), 0u);
    EXPECT_EQ(g_fake.bytesRead, 0u);
    EXPECT_FALSE(LoggedPart("Reading the response"));
}

TEST_F(HttpPost, AnswerBufferIsBoundedWhateverTheContentLengthSays) {
    g_fake.fakeContentLength = true;
    g_fake.contentLength = 0xFFFFFFF0u;
    ASSERT_EQ(Post("a", POST_DATA), 0u);
    ASSERT_NE(response_, nullptr);
    EXPECT_EQ(std::string(response_), "ack");
    EXPECT_TRUE(LoggedPart("is longer than 16777216 bytes"));
}

TEST_F(HttpPost, AnswerWithoutContentLengthFailsTheLengthQuery) {
    HttpBehavior chunked = Answer("streamed");
    chunked.length = HttpBehavior::Length::Chunked;
    server_.on("/chunked", chunked);
    EXPECT_EQ(Post("a", POST_DATA, 1, 0, true, "/chunked"),
              static_cast<DWORD>(ERROR_WINHTTP_HEADER_NOT_FOUND));
    // Without an output the answer is not needed, so the post succeeds.
    EXPECT_EQ(Post("a", POST_DATA, 1, 0, false, "/chunked"), 0u);
}

TEST_F(HttpPost, ResendAfterResendRequestError) {
    g_fake.receiveErrors = {ERROR_WINHTTP_RESEND_REQUEST};
    ASSERT_EQ(Post("again", POST_DATA), 0u);
    EXPECT_EQ(g_fake.sleeps, std::vector<DWORD>{5000});
    ASSERT_TRUE(twtest::WaitForRequests(server_, 2));
    auto rs = server_.requests();
    ASSERT_EQ(rs.size(), 2u);
    EXPECT_EQ(rs[0].body, "again");
    EXPECT_EQ(rs[1].body, "again");
    EXPECT_TRUE(Logged("InternetSendRequestEx : Resending the data to the server 127.0.0.1 "));
}

TEST_F(HttpPost, RestartOpensANewRequestOnTheSameConnection) {
    g_fake.receiveErrors = {ERROR_WINHTTP_INVALID_SERVER_RESPONSE};
    ASSERT_EQ(Post("x", POST_MULTIPART), 0u);
    EXPECT_EQ(g_fake.opens, 1);
    EXPECT_EQ(g_fake.connects, 1);
    EXPECT_EQ(g_fake.requestsOpened, 2);
    // The header step runs again on the new request.
    size_t multipart = 0;
    for (const auto& h : g_fake.headersAdded)
        multipart += h == u"Content-Type: multipart/form-data";
    EXPECT_EQ(multipart, 2u);
    EXPECT_EQ(g_fake.closes, 4); // first request, then request, connection and session
}

TEST_F(HttpPost, SendCancelledTwiceFailsAfterOneRestart) {
    g_fake.sendErrors = {ERROR_WINHTTP_OPERATION_CANCELLED, ERROR_WINHTTP_OPERATION_CANCELLED};
    EXPECT_EQ(Post("x", POST_DATA), static_cast<DWORD>(ERROR_WINHTTP_OPERATION_CANCELLED));
    EXPECT_EQ(g_fake.requestsOpened, 2);
    EXPECT_TRUE(Logged("InternetSendRequestEx :  Error in WinHttpSendRequest -> 12017 "));
    EXPECT_EQ(server_.requestCount(), 0u);
}

TEST_F(HttpPost, ResendOnEveryAttemptFailsAtTheHeaderQuery) {
    g_fake.receiveErrors.assign(10, ERROR_WINHTTP_RESEND_REQUEST);
    DWORD rc = Post("x", POST_DATA);
    EXPECT_NE(rc, 0u);
    EXPECT_EQ(g_fake.sends, 5);
    EXPECT_EQ(g_fake.sleeps.size(), 5u);
    ASSERT_FALSE(g_fake.headerQueryErrors.empty());
    EXPECT_EQ(rc, g_fake.headerQueryErrors.back());
}

TEST_F(HttpPost, ProxyRefusingCredentialsGives407) {
    HttpServer proxy;
    proxy.otherwise(Answer("auth", 407));
    std::u16string proxyName = W("127.0.0.1:" + std::to_string(proxy.port()));
    std::u16string user = u"agent", password = u"pw", path = u"/agentRequest";
    EXPECT_EQ(InternetSendRequestEx(1, "http", u"origin.example", 80, proxyName.c_str(), u"",
                                    user.c_str(), password.c_str(), path.c_str(), "x", &response_,
                                    POST_DATA, 1, 0),
              407u);
    EXPECT_TRUE(
        Logged("InternetSendRequestEx : Proxy Server Name : " + N(proxyName.c_str()) + " "));
    EXPECT_TRUE(
        Logged("InternetSendRequestEx : Proxy Credentials are failed to authenticate 407 "));
    EXPECT_EQ(g_fake.lastOption(WINHTTP_OPTION_PROXY_USERNAME)->text(), u"agent");
}

TEST_F(HttpPost, HttpsToASelfSignedServer) {
    HttpServer tls(twtest::Certificates().selfSigned);
    tls.on("/agentRequest", Answer("secure ack"));
    std::u16string path = u"/agentRequest";
    ASSERT_EQ(InternetSendRequestEx(0, "https", u"127.0.0.1", tls.port(), nullptr, nullptr, nullptr,
                                    nullptr, path.c_str(), "x", &response_, POST_REQUEST, 1, 0),
              0u);
    EXPECT_EQ(std::string(response_), "secure ack");
    EXPECT_TRUE(Logged("InternetSendRequestEx :  The request is updated with the internet option "
                       "security flags. "));
}

// ---- uploads ----

class HttpUpload : public HttpPost {};

TEST_F(HttpUpload, FileIsSentInChunksWithItsSizeAnnounced) {
    MakeFile("C:\\up\\report.bin", 100000);
    ASSERT_EQ(Upload("C:\\up\\report.bin", 7000), 0u);
    EXPECT_EQ(std::string(response_), "ack");
    ASSERT_EQ(server_.requestCount(), 1u);
    const twtest::RecordedRequest r = server_.requests()[0];
    EXPECT_EQ(r.method, "POST");
    EXPECT_EQ(r.body, twtest::PatternBytes(0, 100000));
    EXPECT_EQ(r.header("Content-type"), "multipart/form-data; filesize=\"100000\"");
    EXPECT_EQ(r.header("Connection"), "Keep-Alive");
    EXPECT_EQ(g_fake.writes, 15); // 14 chunks of 7000 and the rest
    EXPECT_FALSE(g_fake.optionSet(WINHTTP_OPTION_RECEIVE_TIMEOUT));
    EXPECT_TRUE(LoggedPart("InternetSendRequestByBitRate: Header buffer: Content-type: "
                           "multipart/form-data; filesize=\"100000\""));
}

TEST_F(HttpUpload, ChunkSizeZeroOrHugeIsBounded) {
    MakeFile("C:\\up\\a.bin", 100000);
    ASSERT_EQ(Upload("C:\\up\\a.bin", 0), 0u);
    EXPECT_EQ(g_fake.writes, 2); // 65536 and the rest
    InstallDoubles(real_);
    ASSERT_EQ(Upload("C:\\up\\a.bin", 0xFFFFFFFFu), 0u);
    EXPECT_EQ(g_fake.writes, 1);
    auto rs = server_.requests();
    ASSERT_EQ(rs.size(), 2u);
    EXPECT_EQ(rs[0].body, twtest::PatternBytes(0, 100000));
    EXPECT_EQ(rs[1].body, twtest::PatternBytes(0, 100000));
}

TEST_F(HttpUpload, FilesThatCannotBeUploadedAreRefused) {
    MakeFile("C:\\up\\empty.bin", 0);
    EXPECT_EQ(Upload("C:\\up\\empty.bin", 100), RESULT_INVALID_INPUT);
    EXPECT_TRUE(Logged("InternetSendRequestByBitRate: File Size is zero: 0"));
    auto zeroLines = [&] {
        size_t n = 0;
        for (const auto& m : LogMessages())
            n += m == "InternetSendRequestByBitRate: File Size is zero: 0";
        return n;
    };
    // A file that is not there has no size either.
    EXPECT_EQ(Upload("C:\\up\\nothing-here.bin", 100), RESULT_INVALID_INPUT);
    EXPECT_EQ(zeroLines(), 2u);
    // No path at all is refused without that line.
    EXPECT_EQ(Upload(nullptr, 100), RESULT_INVALID_INPUT);
    EXPECT_EQ(Upload("", 100), RESULT_INVALID_INPUT);
    EXPECT_EQ(zeroLines(), 2u);

    // The size travels as a signed 32-bit number: larger files are refused, not cut.
    MakeFile("C:\\up\\huge.bin", 0);
    std::filesystem::resize_file(Host("C:\\up\\huge.bin"), 0x100000010ull);
    EXPECT_EQ(Upload("C:\\up\\huge.bin", 100), RESULT_INVALID_INPUT);
    EXPECT_TRUE(LoggedPart("InternetSendRequestByBitRate: File Size is too large: 4294967312"));
    EXPECT_EQ(g_fake.opens, 0);
    EXPECT_EQ(server_.requestCount(), 0u);
}

TEST_F(HttpUpload, ResendReadsTheFileAgainFromItsStart) {
    MakeFile("C:\\up\\r.bin", 20000);
    g_fake.receiveErrors = {ERROR_WINHTTP_RESEND_REQUEST};
    ASSERT_EQ(Upload("C:\\up\\r.bin", 3000), 0u);
    ASSERT_TRUE(twtest::WaitForRequests(server_, 2));
    auto rs = server_.requests();
    ASSERT_EQ(rs.size(), 2u);
    EXPECT_EQ(rs[0].body, twtest::PatternBytes(0, 20000));
    EXPECT_EQ(rs[1].body, twtest::PatternBytes(0, 20000));
    // The header line has no line feed, so this message follows it on the same line.
    EXPECT_TRUE(LoggedPart("InternetSendRequestByBitRate : Resending the data to the server "
                           "127.0.0.1 "));
}

} // namespace
