#include "support/certs.h"

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <memory>
#include <mutex>
#include <stdexcept>
#include <vector>

namespace twtest {

namespace {

struct KeyFree {
    void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};
struct CertFree {
    void operator()(X509* c) const { X509_free(c); }
};
using Key = std::unique_ptr<EVP_PKEY, KeyFree>;
using Cert = std::unique_ptr<X509, CertFree>;

void Check(bool ok, const char* what) {
    if (!ok)
        throw std::runtime_error(std::string("certificate generation failed: ") + what);
}

Key NewKey() {
    Key key(EVP_EC_gen("P-256"));
    Check(key != nullptr, "EC key");
    return key;
}

void AddExtension(X509* cert, X509* issuer, int nid, const char* value) {
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
    X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
    Check(ext != nullptr, "extension");
    Check(X509_add_ext(cert, ext, -1) == 1, "add extension");
    X509_EXTENSION_free(ext);
}

struct CertShape {
    std::string commonName;
    std::string altNames; // subjectAltName value, empty for none
    bool ca = false;
    std::string extendedUsage; // extendedKeyUsage value, empty for none
    long notBeforeDays = -1;
    long notAfterDays = 365;
};

// Makes a certificate for `key` described by `shape`, naming `issuerCert` (or
// itself) as issuer and signed with `signer`.
Cert MakeCert(const CertShape& shape, EVP_PKEY* key, X509* issuerCert, EVP_PKEY* signer) {
    Cert cert(X509_new());
    Check(cert != nullptr, "X509_new");
    Check(X509_set_version(cert.get(), 2) == 1, "version");
    unsigned char serial[16];
    Check(RAND_bytes(serial, sizeof serial) == 1, "serial");
    serial[0] &= 0x7F;
    BIGNUM* bn = BN_bin2bn(serial, sizeof serial, nullptr);
    Check(bn != nullptr && BN_to_ASN1_INTEGER(bn, X509_get_serialNumber(cert.get())) != nullptr,
          "serial number");
    BN_free(bn);
    X509_NAME* name = X509_get_subject_name(cert.get());
    X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>("Tidewell Test"), -1, -1, 0);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>(shape.commonName.c_str()), -1,
                               -1, 0);
    X509* issuer = issuerCert != nullptr ? issuerCert : cert.get();
    Check(X509_set_issuer_name(cert.get(), X509_get_subject_name(issuer)) == 1, "issuer");
    Check(X509_time_adj_ex(X509_getm_notBefore(cert.get()), static_cast<int>(shape.notBeforeDays), 0,
                           nullptr) != nullptr,
          "not before");
    Check(X509_time_adj_ex(X509_getm_notAfter(cert.get()), static_cast<int>(shape.notAfterDays), 0,
                           nullptr) != nullptr,
          "not after");
    Check(X509_set_pubkey(cert.get(), key) == 1, "public key");
    if (shape.ca) {
        AddExtension(cert.get(), issuer, NID_basic_constraints, "critical,CA:TRUE");
        AddExtension(cert.get(), issuer, NID_key_usage, "critical,keyCertSign,cRLSign");
        AddExtension(cert.get(), issuer, NID_subject_key_identifier, "hash");
    } else if (issuerCert != nullptr) {
        // No authority key identifier: the chain is found by the issuer's name,
        // so a certificate signed by the wrong key still meets "its" CA.
        AddExtension(cert.get(), issuer, NID_basic_constraints, "CA:FALSE");
        AddExtension(cert.get(), issuer, NID_key_usage, "critical,digitalSignature");
    }
    if (!shape.extendedUsage.empty())
        AddExtension(cert.get(), issuer, NID_ext_key_usage, shape.extendedUsage.c_str());
    if (!shape.altNames.empty())
        AddExtension(cert.get(), issuer, NID_subject_alt_name, shape.altNames.c_str());
    Check(X509_sign(cert.get(), signer, EVP_sha256()) > 0, "sign");
    return cert;
}

std::string CertPem(X509* cert) {
    BIO* bio = BIO_new(BIO_s_mem());
    Check(bio != nullptr && PEM_write_bio_X509(bio, cert) == 1, "PEM certificate");
    char* data = nullptr;
    long len = BIO_get_mem_data(bio, &data);
    std::string pem(data, static_cast<size_t>(len));
    BIO_free(bio);
    return pem;
}

std::string KeyPem(EVP_PKEY* key) {
    BIO* bio = BIO_new(BIO_s_mem());
    Check(bio != nullptr &&
              PEM_write_bio_PrivateKey(bio, key, nullptr, nullptr, 0, nullptr, nullptr) == 1,
          "PEM key");
    char* data = nullptr;
    long len = BIO_get_mem_data(bio, &data);
    std::string pem(data, static_cast<size_t>(len));
    BIO_free(bio);
    return pem;
}

const char kLoopbackNames[] = "IP:127.0.0.1,DNS:localhost";

TestCertificates Generate() {
    TestCertificates out;
    Key caKey = NewKey();
    CertShape caSpec;
    caSpec.commonName = "Tidewell Test CA";
    caSpec.ca = true;
    caSpec.notAfterDays = 3650;
    Cert ca = MakeCert(caSpec, caKey.get(), nullptr, caKey.get());
    out.caPem = CertPem(ca.get());

    auto issued = [&](const CertShape& shape, EVP_PKEY* signer) {
        Key key = NewKey();
        Cert cert = MakeCert(shape, key.get(), ca.get(), signer != nullptr ? signer : caKey.get());
        return TlsIdentity{CertPem(cert.get()), KeyPem(key.get()), out.caPem};
    };

    CertShape server;
    server.commonName = "127.0.0.1";
    server.altNames = kLoopbackNames;
    server.extendedUsage = "serverAuth";
    out.good = issued(server, nullptr);

    CertShape wrongHost = server;
    wrongHost.commonName = "wrong.example";
    wrongHost.altNames = "DNS:wrong.example";
    out.wrongHost = issued(wrongHost, nullptr);

    CertShape expired = server;
    expired.notBeforeDays = -30;
    expired.notAfterDays = -1;
    out.expired = issued(expired, nullptr);

    CertShape usage = server;
    usage.extendedUsage = "clientAuth";
    out.wrongUsage = issued(usage, nullptr);

    Key stranger = NewKey();
    out.badSignature = issued(server, stranger.get());

    Key selfKey = NewKey();
    CertShape self = server;
    Cert selfCert = MakeCert(self, selfKey.get(), nullptr, selfKey.get());
    out.selfSigned = TlsIdentity{CertPem(selfCert.get()), KeyPem(selfKey.get()), std::string()};

    Key oddKey = NewKey();
    CertShape odd = expired;
    odd.commonName = "wrong.example";
    odd.altNames = "DNS:wrong.example";
    Cert oddCert = MakeCert(odd, oddKey.get(), nullptr, oddKey.get());
    out.selfSignedExpiredWrongHost =
        TlsIdentity{CertPem(oddCert.get()), KeyPem(oddKey.get()), std::string()};
    return out;
}

} // namespace

const TestCertificates& Certificates() {
    static std::once_flag once;
    static TestCertificates* certs = nullptr;
    std::call_once(once, [] { certs = new TestCertificates(Generate()); });
    return *certs;
}

} // namespace twtest
