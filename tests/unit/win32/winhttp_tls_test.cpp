// HTTPS: the certificate problems the security flags forgive, one flag per
// problem, and the ones no flag forgives.
#include "unit/win32/winhttp_client.h"
#include "support/certs.h"
#include "support/http_server.h"

#include <gtest/gtest.h>

using namespace winhttp_test;
using twtest::Certificates;
using twtest::HttpBehavior;
using twtest::HttpServer;
using twtest::TlsIdentity;

namespace {

constexpr DWORD kLenient = SECURITY_FLAG_IGNORE_UNKNOWN_CA | SECURITY_FLAG_IGNORE_CERT_WRONG_USAGE |
                           SECURITY_FLAG_IGNORE_CERT_CN_INVALID |
                           SECURITY_FLAG_IGNORE_CERT_DATE_INVALID;

// Result of one HTTPS GET with the given security flags: 0 and the status,
// or the error of the call that failed.
struct Outcome {
    DWORD error = 0;
    DWORD status = 0;
    std::string body;
};

Outcome Get(const TlsIdentity& identity, DWORD flags, DWORD secureProtocols = 0) {
    HttpServer server(identity);
    HttpBehavior b;
    b.body = "secret document";
    server.on("/doc", b);
    Exchange e =
        Exchange::Open(server.port(), "/doc", "GET", WINHTTP_FLAG_REFRESH | WINHTTP_FLAG_SECURE);
    Outcome out;
    if (secureProtocols != 0 && !WinHttpSetOption(e.session.get(), WINHTTP_OPTION_SECURE_PROTOCOLS,
                                                  &secureProtocols, sizeof secureProtocols)) {
        out.error = GetLastError();
        return out;
    }
    if (flags != 0 && !e.setDword(WINHTTP_OPTION_SECURITY_FLAGS, flags)) {
        out.error = GetLastError();
        return out;
    }
    if (!e.run()) {
        out.error = GetLastError();
        return out;
    }
    out.status = StatusOf(e.request.get());
    out.body = ReadBody(e.request.get()).data;
    return out;
}

} // namespace

TEST(WinHttpTls, LenientFlagsAcceptUnknownCaWrongNameExpiredAndWrongUsage) {
    for (const TlsIdentity* id :
         {&Certificates().good, &Certificates().selfSigned, &Certificates().wrongHost,
          &Certificates().expired, &Certificates().wrongUsage,
          &Certificates().selfSignedExpiredWrongHost}) {
        Outcome o = Get(*id, kLenient);
        EXPECT_EQ(o.error, 0u);
        EXPECT_EQ(o.status, 200u);
        EXPECT_EQ(o.body, "secret document");
    }
}

TEST(WinHttpTls, WithoutFlagsAnUntrustedCertificateFails) {
    EXPECT_EQ(Get(Certificates().good, 0).error,
              static_cast<DWORD>(ERROR_WINHTTP_SECURE_FAILURE));
    EXPECT_EQ(Get(Certificates().selfSigned, 0).error,
              static_cast<DWORD>(ERROR_WINHTTP_SECURE_FAILURE));
}

// Every refused certificate fails the send with ERROR_WINHTTP_SECURE_FAILURE;
// each of these certificates has exactly one fault, so the flag left out is
// the one that did not forgive it.
TEST(WinHttpTls, EachFlagForgivesOnlyItsOwnProblem) {
    EXPECT_EQ(Get(Certificates().wrongHost, kLenient & ~SECURITY_FLAG_IGNORE_CERT_CN_INVALID).error,
              static_cast<DWORD>(ERROR_WINHTTP_SECURE_FAILURE));
    EXPECT_EQ(Get(Certificates().expired, kLenient & ~SECURITY_FLAG_IGNORE_CERT_DATE_INVALID).error,
              static_cast<DWORD>(ERROR_WINHTTP_SECURE_FAILURE));
    EXPECT_EQ(
        Get(Certificates().wrongUsage, kLenient & ~SECURITY_FLAG_IGNORE_CERT_WRONG_USAGE).error,
        static_cast<DWORD>(ERROR_WINHTTP_SECURE_FAILURE));
    EXPECT_EQ(Get(Certificates().good, kLenient & ~SECURITY_FLAG_IGNORE_UNKNOWN_CA).error,
              static_cast<DWORD>(ERROR_WINHTTP_SECURE_FAILURE));
    // A problem the flags do not name still fails with every flag set.
    EXPECT_EQ(Get(Certificates().wrongHost, SECURITY_FLAG_IGNORE_CERT_CN_INVALID).error,
              static_cast<DWORD>(ERROR_WINHTTP_SECURE_FAILURE));
}

TEST(WinHttpTls, BrokenChainFailsWhateverTheFlags) {
    EXPECT_EQ(Get(Certificates().badSignature, kLenient).error,
              static_cast<DWORD>(ERROR_WINHTTP_SECURE_FAILURE));
}

TEST(WinHttpTls, SecurityFlagsQueryOrSetRoundTrip) {
    HttpServer server(Certificates().good);
    server.on("/doc", HttpBehavior());
    Exchange e =
        Exchange::Open(server.port(), "/doc", "GET", WINHTTP_FLAG_REFRESH | WINHTTP_FLAG_SECURE);
    DWORD flags = 0xFFFF;
    DWORD size = sizeof flags;
    ASSERT_TRUE(WinHttpQueryOption(e.request.get(), WINHTTP_OPTION_SECURITY_FLAGS, &flags, &size));
    EXPECT_EQ(flags, 0u);
    flags |= kLenient;
    ASSERT_TRUE(e.setDword(WINHTTP_OPTION_SECURITY_FLAGS, flags));
    ASSERT_TRUE(e.run());
    ASSERT_TRUE(WinHttpQueryOption(e.request.get(), WINHTTP_OPTION_SECURITY_FLAGS, &flags, &size));
    EXPECT_EQ(flags & kLenient, kLenient);
    EXPECT_NE(flags & SECURITY_FLAG_SECURE, 0u);
    // What the query reports can be set back as it is.
    EXPECT_TRUE(e.setDword(WINHTTP_OPTION_SECURITY_FLAGS, flags));
    // Flags that forgive nothing WinHTTP knows of are refused.
    EXPECT_FALSE(e.setDword(WINHTTP_OPTION_SECURITY_FLAGS, 0x4));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_TRUE(server.requests().at(0).tls);
}

TEST(WinHttpTls, SecureProtocolsLimitTheTlsVersions) {
    const DWORD upTo12 = WINHTTP_FLAG_SECURE_PROTOCOL_TLS1 | WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_1 |
                         WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2;
    EXPECT_EQ(Get(Certificates().good, kLenient, upTo12).status, 200u);
    EXPECT_EQ(Get(Certificates().good, kLenient, WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_3).status, 200u);
    // Protocols nobody speaks any more cannot make a connection.
    EXPECT_EQ(Get(Certificates().good, kLenient, WINHTTP_FLAG_SECURE_PROTOCOL_SSL3).error,
              static_cast<DWORD>(ERROR_WINHTTP_SECURE_FAILURE));
    EXPECT_EQ(Get(Certificates().good, kLenient, 0x4000000).error,
              static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST(WinHttpTls, BodyInPiecesOverTls) {
    HttpServer server(Certificates().good);
    HttpBehavior b;
    b.body = twtest::PatternBytes(3, 200000);
    b.pieceBytes = 9000;
    b.pieceDelayMs = 1;
    server.on("/big", b);
    Exchange e =
        Exchange::Open(server.port(), "/big", "GET", WINHTTP_FLAG_REFRESH | WINHTTP_FLAG_SECURE);
    ASSERT_TRUE(e.setDword(WINHTTP_OPTION_SECURITY_FLAGS, kLenient));
    ASSERT_TRUE(e.run());
    Body body = ReadBody(e.request.get(), 4096);
    ASSERT_TRUE(body.ok) << body.error;
    EXPECT_TRUE(body.data == b.body);
}

TEST(WinHttpTls, TlsToAPlainServerIsASecureFailure) {
    HttpServer plain;
    Exchange e =
        Exchange::Open(plain.port(), "/", "GET", WINHTTP_FLAG_REFRESH | WINHTTP_FLAG_SECURE);
    ASSERT_TRUE(e.setDword(WINHTTP_OPTION_SECURITY_FLAGS, kLenient));
    EXPECT_FALSE(e.send());
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_WINHTTP_SECURE_FAILURE));
}
