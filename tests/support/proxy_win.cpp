// tinyproxy for the Windows test programs: started by the server host on the
// Linux side; the identifier on the host stands where Linux keeps the pid.
#include "support/proxy.h"
#include "support/remote_client.h"

namespace twtest {

TinyProxy::TinyProxy(const std::string& user, const std::string& password) {
    remote::Reader in = remote::Call(remote::Writer().text("proxy").text(user).text(password));
    uint64_t id = in.num();
    port_ = static_cast<uint16_t>(in.num());
    bool running = in.num() != 0;
    error_ = in.text();
    pid_ = running ? static_cast<int>(id) : -static_cast<int>(id);
}

TinyProxy::~TinyProxy() {
    try {
        remote::Call(
            remote::Writer().text("drop").num(static_cast<uint64_t>(pid_ > 0 ? pid_ : -pid_)));
    } catch (...) {
    }
}

std::string TinyProxy::address() const {
    return "127.0.0.1:" + std::to_string(port_);
}

std::string TinyProxy::log() const {
    return remote::Call(remote::Writer()
                            .text("proxylog")
                            .num(static_cast<uint64_t>(pid_ > 0 ? pid_ : -pid_)))
        .text();
}

} // namespace twtest
