// Certificates made at test time (OpenSSL), for the HTTPS test server.
#pragma once

#include <string>

namespace twtest {

// What an HTTPS server presents: its certificate and key, and the further
// certificates of its chain (PEM; the chain may be empty).
struct TlsIdentity {
    std::string certPem;
    std::string keyPem;
    std::string chainPem;
};

// A local certificate authority (trusted by nobody) and server certificates
// with one defect each. All name 127.0.0.1 and localhost unless said otherwise.
struct TestCertificates {
    std::string caPem;
    TlsIdentity good;                       // issued by the CA; only the CA is unknown to clients
    TlsIdentity selfSigned;                 // its own issuer
    TlsIdentity wrongHost;                  // issued by the CA for "wrong.example"
    TlsIdentity expired;                    // issued by the CA, validity ended yesterday
    TlsIdentity wrongUsage;                 // issued by the CA for client authentication only
    TlsIdentity badSignature;               // names the CA as issuer but is signed by another key
    TlsIdentity selfSignedExpiredWrongHost; // all three defects the lenient rules forgive
};

// Made once per process (elliptic-curve keys, so this is quick).
const TestCertificates& Certificates();

} // namespace twtest
