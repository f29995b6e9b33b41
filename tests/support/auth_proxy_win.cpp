// The challenging proxy for the Windows test programs: run by the server host
// on the Linux side, like the other loopback servers.
#include "support/auth_proxy.h"
#include "support/remote_client.h"

#include <stdexcept>

namespace twtest {

struct AuthProxy::Impl {
    uint64_t id = 0;
    uint16_t port = 0;
};

AuthProxy::AuthProxy(Scheme scheme, const std::string& user, const std::string& password)
    : impl_(new Impl) {
    remote::Reader in = remote::Call(remote::Writer()
                                         .text("authproxy")
                                         .num(scheme == Scheme::Digest ? 1 : 0)
                                         .text(user)
                                         .text(password));
    impl_->id = in.num();
    impl_->port = static_cast<uint16_t>(in.num());
    if (!in.ok())
        throw std::runtime_error("server host: malformed answer");
}

AuthProxy::~AuthProxy() {
    try {
        remote::Call(remote::Writer().text("drop").num(impl_->id));
    } catch (...) {
    }
}

uint16_t AuthProxy::port() const {
    return impl_->port;
}

std::string AuthProxy::address() const {
    return "127.0.0.1:" + std::to_string(impl_->port);
}

std::vector<RecordedRequest> AuthProxy::requests() const {
    remote::Reader in = remote::Call(remote::Writer().text("authproxyrequests").num(impl_->id));
    std::vector<RecordedRequest> out;
    uint64_t n = in.num();
    for (uint64_t i = 0; in.ok() && i < n; ++i)
        out.push_back(in.request());
    if (!in.ok())
        throw std::runtime_error("server host: malformed request list");
    return out;
}

} // namespace twtest
