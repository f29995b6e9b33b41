// The Linux WinHTTP's own parts: the error tables row by row, the proxy and
// bypass lists, HTTP dates, and the bound on what a request buffers.
#ifndef _WIN32

#include "unit/win32/winhttp_client.h"
#include "support/http_server.h"
#include "win32/winhttp/errors.h"
#include "win32/winhttp/headers.h"
#include "win32/winhttp/proxy.h"
#include "win32/winhttp/transfer.h"

#include <curl/curl.h>
#include <openssl/x509_vfy.h>

#include <gtest/gtest.h>

using namespace tw::winhttp;

namespace {

struct CurlCase {
    int curl;
    DWORD expected;
};

// Rows that a loopback server provokes are also checked end to end in
// winhttp_failures_test.cpp and winhttp_tls_test.cpp; here every row is pinned.
const CurlCase kCurlCases[] = {
    {CURLE_OK, 0},
    {CURLE_UNSUPPORTED_PROTOCOL, ERROR_WINHTTP_UNRECOGNIZED_SCHEME},
    {CURLE_FAILED_INIT, ERROR_WINHTTP_INTERNAL_ERROR},
    {CURLE_URL_MALFORMAT, ERROR_WINHTTP_INVALID_URL},
    {CURLE_NOT_BUILT_IN, ERROR_WINHTTP_INTERNAL_ERROR},
    {CURLE_COULDNT_RESOLVE_PROXY, ERROR_WINHTTP_NAME_NOT_RESOLVED},
    {CURLE_COULDNT_RESOLVE_HOST, ERROR_WINHTTP_NAME_NOT_RESOLVED},
    {CURLE_COULDNT_CONNECT, ERROR_WINHTTP_CANNOT_CONNECT},
    {CURLE_WEIRD_SERVER_REPLY, ERROR_WINHTTP_INVALID_SERVER_RESPONSE},
    {CURLE_HTTP2, ERROR_WINHTTP_CONNECTION_ERROR},
    {CURLE_PARTIAL_FILE, ERROR_WINHTTP_CONNECTION_ERROR},
    {CURLE_HTTP_RETURNED_ERROR, ERROR_WINHTTP_INVALID_SERVER_RESPONSE},
    {CURLE_WRITE_ERROR, ERROR_WINHTTP_INTERNAL_ERROR},
    {CURLE_UPLOAD_FAILED, ERROR_WINHTTP_CONNECTION_ERROR},
    {CURLE_READ_ERROR, ERROR_WINHTTP_INTERNAL_ERROR},
    {CURLE_OUT_OF_MEMORY, ERROR_NOT_ENOUGH_MEMORY},
    {CURLE_OPERATION_TIMEDOUT, ERROR_WINHTTP_TIMEOUT},
    {CURLE_RANGE_ERROR, ERROR_WINHTTP_INVALID_SERVER_RESPONSE},
    {CURLE_SSL_CONNECT_ERROR, ERROR_WINHTTP_SECURE_FAILURE},
    {CURLE_BAD_DOWNLOAD_RESUME, ERROR_WINHTTP_INVALID_SERVER_RESPONSE},
    {CURLE_ABORTED_BY_CALLBACK, ERROR_WINHTTP_OPERATION_CANCELLED},
    {CURLE_BAD_FUNCTION_ARGUMENT, ERROR_WINHTTP_INTERNAL_ERROR},
    {CURLE_INTERFACE_FAILED, ERROR_WINHTTP_CANNOT_CONNECT},
    {CURLE_TOO_MANY_REDIRECTS, ERROR_WINHTTP_REDIRECT_FAILED},
    {CURLE_UNKNOWN_OPTION, ERROR_WINHTTP_INTERNAL_ERROR},
    {CURLE_GOT_NOTHING, ERROR_WINHTTP_INVALID_SERVER_RESPONSE},
    {CURLE_SSL_ENGINE_NOTFOUND, ERROR_WINHTTP_SECURE_CHANNEL_ERROR},
    {CURLE_SSL_ENGINE_SETFAILED, ERROR_WINHTTP_SECURE_CHANNEL_ERROR},
    {CURLE_SEND_ERROR, ERROR_WINHTTP_CONNECTION_ERROR},
    {CURLE_RECV_ERROR, ERROR_WINHTTP_CONNECTION_ERROR},
    {CURLE_SSL_CERTPROBLEM, ERROR_WINHTTP_CLIENT_AUTH_CERT_NEEDED},
    {CURLE_SSL_CIPHER, ERROR_WINHTTP_SECURE_FAILURE},
    {CURLE_PEER_FAILED_VERIFICATION, ERROR_WINHTTP_SECURE_FAILURE},
    {CURLE_BAD_CONTENT_ENCODING, ERROR_WINHTTP_INVALID_SERVER_RESPONSE},
    {CURLE_FILESIZE_EXCEEDED, ERROR_WINHTTP_INVALID_SERVER_RESPONSE},
    {CURLE_USE_SSL_FAILED, ERROR_WINHTTP_SECURE_FAILURE},
    {CURLE_SEND_FAIL_REWIND, ERROR_WINHTTP_RESEND_REQUEST},
    {CURLE_SSL_ENGINE_INITFAILED, ERROR_WINHTTP_SECURE_CHANNEL_ERROR},
    {CURLE_LOGIN_DENIED, ERROR_WINHTTP_LOGIN_FAILURE},
    {CURLE_SSL_CACERT_BADFILE, ERROR_WINHTTP_SECURE_CHANNEL_ERROR},
    {CURLE_SSL_SHUTDOWN_FAILED, ERROR_WINHTTP_CONNECTION_ERROR},
    {CURLE_AGAIN, ERROR_WINHTTP_CONNECTION_ERROR},
    {CURLE_SSL_CRL_BADFILE, ERROR_WINHTTP_SECURE_CERT_REV_FAILED},
    {CURLE_SSL_ISSUER_ERROR, ERROR_WINHTTP_SECURE_INVALID_CERT},
    {CURLE_NO_CONNECTION_AVAILABLE, ERROR_WINHTTP_CANNOT_CONNECT},
    {CURLE_SSL_PINNEDPUBKEYNOTMATCH, ERROR_WINHTTP_SECURE_FAILURE},
    {CURLE_SSL_INVALIDCERTSTATUS, ERROR_WINHTTP_SECURE_CERT_REV_FAILED},
    {CURLE_HTTP2_STREAM, ERROR_WINHTTP_CONNECTION_ERROR},
    {CURLE_RECURSIVE_API_CALL, ERROR_WINHTTP_INTERNAL_ERROR},
    {CURLE_AUTH_ERROR, ERROR_WINHTTP_LOGIN_FAILURE},
    {CURLE_HTTP3, ERROR_WINHTTP_CONNECTION_ERROR},
    {CURLE_QUIC_CONNECT_ERROR, ERROR_WINHTTP_CANNOT_CONNECT},
    {CURLE_PROXY, ERROR_WINHTTP_CANNOT_CONNECT},
    {CURLE_SSL_CLIENTCERT, ERROR_WINHTTP_CLIENT_AUTH_CERT_NEEDED},
    {CURLE_UNRECOVERABLE_POLL, ERROR_WINHTTP_INTERNAL_ERROR},
    // Codes of other protocols never come from an HTTP transfer.
    {CURLE_REMOTE_ACCESS_DENIED, ERROR_WINHTTP_INTERNAL_ERROR},
    {9999, ERROR_WINHTTP_INTERNAL_ERROR},
};

void PrintTo(const CurlCase& c, std::ostream* os) {
    *os << "curl " << c.curl << " -> " << c.expected;
}

class WinHttpCurlErrorRow : public ::testing::TestWithParam<CurlCase> {};

TEST_P(WinHttpCurlErrorRow, MapsToItsWinHttpError) {
    EXPECT_EQ(ErrorFromCurl(GetParam().curl), GetParam().expected)
        << "curl " << GetParam().curl << ": " << curl_easy_strerror(CURLcode(GetParam().curl));
}

INSTANTIATE_TEST_SUITE_P(Table, WinHttpCurlErrorRow, ::testing::ValuesIn(kCurlCases),
                         [](const ::testing::TestParamInfo<CurlCase>& info) {
                             return "curl" + std::to_string(info.param.curl);
                         });

struct CertCase {
    int x509;
    DWORD forgivenBy;
};

const CertCase kCertCases[] = {
    {X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT, SECURITY_FLAG_IGNORE_UNKNOWN_CA},
    {X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN, SECURITY_FLAG_IGNORE_UNKNOWN_CA},
    {X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY, SECURITY_FLAG_IGNORE_UNKNOWN_CA},
    {X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE, SECURITY_FLAG_IGNORE_UNKNOWN_CA},
    {X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT, SECURITY_FLAG_IGNORE_UNKNOWN_CA},
    {X509_V_ERR_CERT_UNTRUSTED, SECURITY_FLAG_IGNORE_UNKNOWN_CA},
    {X509_V_ERR_CERT_HAS_EXPIRED, SECURITY_FLAG_IGNORE_CERT_DATE_INVALID},
    {X509_V_ERR_CERT_NOT_YET_VALID, SECURITY_FLAG_IGNORE_CERT_DATE_INVALID},
    {X509_V_ERR_HOSTNAME_MISMATCH, SECURITY_FLAG_IGNORE_CERT_CN_INVALID},
    {X509_V_ERR_IP_ADDRESS_MISMATCH, SECURITY_FLAG_IGNORE_CERT_CN_INVALID},
    {X509_V_ERR_INVALID_PURPOSE, SECURITY_FLAG_IGNORE_CERT_WRONG_USAGE},
    {X509_V_ERR_KEYUSAGE_NO_DIGITAL_SIGNATURE, SECURITY_FLAG_IGNORE_CERT_WRONG_USAGE},
    // Revocation and broken chains: no flag forgives them.
    {X509_V_ERR_CERT_REVOKED, 0},
    {X509_V_ERR_UNABLE_TO_GET_CRL, 0},
    {X509_V_ERR_CRL_HAS_EXPIRED, 0},
    {X509_V_ERR_OCSP_VERIFY_FAILED, 0},
    {X509_V_ERR_CERT_SIGNATURE_FAILURE, 0},
    {X509_V_ERR_UNABLE_TO_DECRYPT_CERT_SIGNATURE, 0},
    {X509_V_ERR_INVALID_CA, 0},
    {X509_V_ERR_PATH_LENGTH_EXCEEDED, 0},
    {X509_V_ERR_CERT_CHAIN_TOO_LONG, 0},
    {X509_V_ERR_SUBJECT_ISSUER_MISMATCH, 0},
    {X509_V_ERR_AKID_SKID_MISMATCH, 0},
    {X509_V_ERR_UNHANDLED_CRITICAL_EXTENSION, 0},
    {X509_V_ERR_ERROR_IN_CERT_NOT_AFTER_FIELD, 0},
    {X509_V_ERR_PATH_LOOP, 0},
    // Anything else is a plain secure failure.
    {X509_V_ERR_EE_KEY_TOO_SMALL, 0},
    {X509_V_ERR_APPLICATION_VERIFICATION, 0},
};

void PrintTo(const CertCase& c, std::ostream* os) {
    *os << "x509 " << c.x509 << " forgiven by " << c.forgivenBy;
}

class WinHttpCertErrorRow : public ::testing::TestWithParam<CertCase> {};

TEST_P(WinHttpCertErrorRow, IsForgivenByItsFlagOnly) {
    EXPECT_EQ(IgnoreFlagForCertificate(GetParam().x509), GetParam().forgivenBy)
        << X509_verify_cert_error_string(GetParam().x509);
}

INSTANTIATE_TEST_SUITE_P(Table, WinHttpCertErrorRow, ::testing::ValuesIn(kCertCases),
                         [](const ::testing::TestParamInfo<CertCase>& info) {
                             return "x509_" + std::to_string(info.param.x509);
                         });

std::u16string U(const char* s) {
    return std::u16string(s, s + strlen(s));
}

} // namespace

TEST(WinHttpProxyList, PicksTheEntryForTheScheme) {
    EXPECT_EQ(ProxyForScheme(U("proxy:8080"), false), "proxy:8080");
    EXPECT_EQ(ProxyForScheme(U("proxy:8080"), true), "proxy:8080");
    EXPECT_EQ(ProxyForScheme(U("proxy"), false), "proxy:80");
    EXPECT_EQ(ProxyForScheme(U("http=a:1;https=b:2"), false), "a:1");
    EXPECT_EQ(ProxyForScheme(U("http=a:1;https=b:2"), true), "b:2");
    EXPECT_EQ(ProxyForScheme(U("HTTPS=B:2"), true), "B:2");
    EXPECT_EQ(ProxyForScheme(U("http=a:1"), true), "");
    EXPECT_EQ(ProxyForScheme(U("https=b:2 c:3"), false), "c:3");
    EXPECT_EQ(ProxyForScheme(U("a:1 b:2"), false), "a:1");
    EXPECT_EQ(ProxyForScheme(U("  a:1 ;; "), false), "a:1");
    EXPECT_EQ(ProxyForScheme(U("http://a:3128/"), false), "a:3128");
    EXPECT_EQ(ProxyForScheme(U("[::1]:8080"), false), "[::1]:8080");
    EXPECT_EQ(ProxyForScheme(U(""), false), "");
}

TEST(WinHttpProxyList, SkipsEntriesItCannotUse) {
    EXPECT_EQ(ProxyForScheme(U("socks=s:1080"), false), "");
    EXPECT_EQ(ProxyForScheme(U("socks://s:1080 a:1"), false), "a:1");
    EXPECT_EQ(ProxyForScheme(U("a:99999;b:2"), false), "b:2");
    EXPECT_EQ(ProxyForScheme(U("a:x1;b:2"), false), "b:2");
    EXPECT_EQ(ProxyForScheme(U("a:0"), false), "");
    EXPECT_EQ(ProxyForScheme(U(":8080"), false), "");
    EXPECT_EQ(ProxyForScheme(U("::1:8080"), false), "");
}

TEST(WinHttpBypassList, LocalMeansNoDot) {
    EXPECT_TRUE(BypassMatches(U("<local>"), "server"));
    EXPECT_TRUE(BypassMatches(U("<LOCAL>"), "localhost"));
    EXPECT_FALSE(BypassMatches(U("<local>"), "server.corp"));
    EXPECT_FALSE(BypassMatches(U("<local>"), "127.0.0.1"));
    EXPECT_FALSE(BypassMatches(U("<local>"), "::1"));
}

TEST(WinHttpBypassList, WildcardsAndSeparators) {
    EXPECT_TRUE(BypassMatches(U("*.corp.example"), "a.corp.example"));
    EXPECT_TRUE(BypassMatches(U("*.corp.example"), "A.B.CORP.EXAMPLE"));
    EXPECT_FALSE(BypassMatches(U("*.corp.example"), "corp.example"));
    EXPECT_TRUE(BypassMatches(U("10.*"), "10.1.2.3"));
    EXPECT_FALSE(BypassMatches(U("10.*"), "110.1.2.3"));
    EXPECT_TRUE(BypassMatches(U("host?"), "host1"));
    EXPECT_FALSE(BypassMatches(U("host?"), "host"));
    EXPECT_TRUE(BypassMatches(U("*a*b*"), "xxaxxbxx"));
    EXPECT_FALSE(BypassMatches(U("*a*b"), "xxaxxbxx"));
    EXPECT_TRUE(BypassMatches(U("one;two three\tfour"), "three"));
    EXPECT_TRUE(BypassMatches(U("one;two three\tfour"), "four"));
    EXPECT_TRUE(BypassMatches(U("http://exact.host"), "exact.host"));
    EXPECT_FALSE(BypassMatches(U(""), "anything"));
    EXPECT_FALSE(BypassMatches(U("exact.host"), "exact.host.evil"));
}

TEST(WinHttpDates, TheThreeHttpFormsAndBadOnes) {
    SYSTEMTIME st{};
    ASSERT_TRUE(ParseHttpDate("Sun, 06 Nov 1994 08:49:37 GMT", &st));
    EXPECT_EQ(st.wYear, 1994);
    EXPECT_EQ(st.wMonth, 11);
    EXPECT_EQ(st.wDay, 6);
    EXPECT_EQ(st.wDayOfWeek, 0);
    EXPECT_EQ(st.wHour, 8);
    EXPECT_EQ(st.wMinute, 49);
    EXPECT_EQ(st.wSecond, 37);
    SYSTEMTIME rfc850{}, asctime{};
    ASSERT_TRUE(ParseHttpDate("Sunday, 06-Nov-94 08:49:37 GMT", &rfc850));
    ASSERT_TRUE(ParseHttpDate("Sun Nov  6 08:49:37 1994", &asctime));
    for (const SYSTEMTIME* t : {&rfc850, &asctime}) {
        EXPECT_EQ(t->wYear, 1994);
        EXPECT_EQ(t->wMonth, 11);
        EXPECT_EQ(t->wDay, 6);
        EXPECT_EQ(t->wSecond, 37);
    }
    ASSERT_TRUE(ParseHttpDate("Thu, 29 Feb 2024 23:59:59 GMT", &st));
    EXPECT_EQ(st.wDayOfWeek, 4);
    EXPECT_FALSE(ParseHttpDate("Fri, 29 Feb 2023 10:00:00 GMT", &st));
    EXPECT_FALSE(ParseHttpDate("yesterday", &st));
    EXPECT_FALSE(ParseHttpDate("Sun, 06 Nov 1994 25:00:00 GMT", &st));
    EXPECT_FALSE(ParseHttpDate("Sun, 06 Nov 1994 08:49 GMT", &st));
    EXPECT_FALSE(ParseHttpDate("", &st));
}

TEST(WinHttpBuffer, LargeBodyThroughASmallBufferStaysWithinTheBound) {
    using namespace winhttp_test;
    const uint64_t size = 32u << 20;
    twtest::HttpServer server;
    twtest::HttpBehavior b;
    b.pattern = true;
    b.patternBytes = size;
    server.on("/large", b);
    ResetPeakBufferedBytes();
    Exchange e = Exchange::Open(server.port(), "/large");
    ASSERT_TRUE(e.run());
    // Read and check piece by piece, so the test itself keeps no copy either.
    std::vector<char> buffer(4096);
    uint64_t total = 0;
    bool same = true;
    for (;;) {
        DWORD got = 0;
        ASSERT_TRUE(WinHttpReadData(e.request.get(), buffer.data(), 4096, &got)) << GetLastError();
        if (got == 0)
            break;
        same = same && twtest::PatternBytes(total, got) == std::string(buffer.data(), got);
        total += got;
    }
    EXPECT_EQ(total, size);
    EXPECT_TRUE(same);
    EXPECT_GT(PeakBufferedBytes(), 0u);
    EXPECT_LE(PeakBufferedBytes(), kReceiveBufferBytes);
}

#endif // !_WIN32
