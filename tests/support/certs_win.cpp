// The test certificates for the Windows test programs: the server host's own
// set, so that the servers it runs and the tests agree on them.
#include "support/certs.h"
#include "support/remote_client.h"

namespace twtest {

const TestCertificates& Certificates() {
    static const TestCertificates certs = [] {
        remote::Reader in = remote::Call(remote::Writer().text("certs"));
        TestCertificates c;
        c.caPem = in.text();
        for (TlsIdentity* id : {&c.good, &c.selfSigned, &c.wrongHost, &c.expired, &c.wrongUsage,
                                &c.badSignature, &c.selfSignedExpiredWrongHost})
            *id = in.identity();
        return c;
    }();
    return certs;
}

} // namespace twtest
