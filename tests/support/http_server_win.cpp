// The loopback test servers for the Windows test programs: each object here
// stands for one that the server host runs on the Linux side (the same
// server, certificates and faults as the Linux tests get), reached through
// remote_client. The client under test talks to the real server directly.
#include "support/http_server.h"
#include "support/remote_client.h"

#include <ctype.h>
#include <string.h>

#include <stdexcept>
#include <tuple>
#include <utility>

namespace twtest {

using remote::Call;
using remote::Reader;
using remote::Writer;

namespace {

std::string Lower(const std::string& s) {
    std::string out = s;
    for (char& c : out)
        c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return out;
}

// Destructors never throw: a lost host only leaves its objects to it.
void Drop(uint64_t id) {
    try {
        Call(Writer().text("drop").num(id));
    } catch (...) {
    }
}

} // namespace

std::string RecordedRequest::header(const std::string& name) const {
    const std::string wanted = Lower(name);
    for (const auto& [n, v] : headers) {
        if (Lower(n) == wanted)
            return v;
    }
    return std::string();
}

size_t RecordedRequest::headerCount(const std::string& name) const {
    const std::string wanted = Lower(name);
    size_t count = 0;
    for (const auto& h : headers)
        count += Lower(h.first) == wanted;
    return count;
}

struct HttpServer::Impl {
    uint64_t id = 0;
    uint16_t port = 0;
    bool tls = false;
};

namespace {

// Asks the host for a server; hands back its identifier and port.
std::pair<uint64_t, uint16_t> Start(bool tls, const TlsIdentity& identity) {
    Reader in = Call(Writer().text("server").num(tls).identity(identity));
    uint64_t id = in.num();
    uint16_t port = static_cast<uint16_t>(in.num());
    if (!in.ok())
        throw std::runtime_error("server host: malformed answer");
    return {id, port};
}

} // namespace

HttpServer::HttpServer() : impl_(new Impl) {
    std::tie(impl_->id, impl_->port) = Start(false, TlsIdentity());
}

HttpServer::HttpServer(const TlsIdentity& tls) : impl_(new Impl) {
    std::tie(impl_->id, impl_->port) = Start(true, tls);
    impl_->tls = true;
}

HttpServer::~HttpServer() {
    Drop(impl_->id);
}

void HttpServer::on(const std::string& target, const HttpBehavior& behavior) {
    on(target, std::vector<HttpBehavior>{behavior});
}

void HttpServer::on(const std::string& target, const std::vector<HttpBehavior>& sequence) {
    Writer w;
    w.text("on").num(impl_->id).text(target).num(sequence.size());
    for (const HttpBehavior& b : sequence)
        w.behavior(b);
    Call(w);
}

void HttpServer::otherwise(const HttpBehavior& behavior) {
    Call(Writer().text("otherwise").num(impl_->id).num(1).behavior(behavior));
}

uint16_t HttpServer::port() const {
    return impl_->port;
}

std::string HttpServer::url(const std::string& target) const {
    return std::string(impl_->tls ? "https" : "http") +
           "://127.0.0.1:" + std::to_string(impl_->port) + target;
}

std::vector<RecordedRequest> HttpServer::requests() const {
    Reader in = Call(Writer().text("requests").num(impl_->id));
    std::vector<RecordedRequest> out;
    uint64_t n = in.num();
    for (uint64_t i = 0; in.ok() && i < n; ++i)
        out.push_back(in.request());
    if (!in.ok())
        throw std::runtime_error("server host: malformed request list");
    return out;
}

size_t HttpServer::requestCount() const {
    return static_cast<size_t>(Call(Writer().text("count").num(impl_->id)).num());
}

int HttpServer::connectionCount() const {
    return static_cast<int>(Call(Writer().text("connections").num(impl_->id)).num());
}

void HttpServer::releaseResets() {
    Call(Writer().text("release").num(impl_->id));
}
void HttpServer::stop() {
    Call(Writer().text("stop").num(impl_->id));
}

void PatternFill(uint64_t offset, char* out, size_t n) {
    std::string bytes = PatternBytes(offset, n);
    memcpy(out, bytes.data(), n);
}

std::string PatternBytes(uint64_t offset, size_t n) {
    std::string bytes = Call(Writer().text("pattern").num(offset).num(n)).text();
    if (bytes.size() != n)
        throw std::runtime_error("server host: short pattern");
    return bytes;
}

std::string PatternSha256(uint64_t size) {
    return Call(Writer().text("patternsha").num(size)).text();
}

std::string Sha256Hex(const std::string& data) {
    return Call(Writer().text("sha").text(data)).text();
}

// The identifier on the host stands where the Linux side keeps its socket.
RefusingPort::RefusingPort() {
    Reader in = Call(Writer().text("refusing"));
    fd_ = static_cast<int>(in.num());
    port_ = static_cast<uint16_t>(in.num());
}
RefusingPort::~RefusingPort() {
    Drop(static_cast<uint64_t>(fd_));
}

BlackholePort::BlackholePort() {
    Reader in = Call(Writer().text("blackhole"));
    fd_ = static_cast<int>(in.num());
    port_ = static_cast<uint16_t>(in.num());
}
BlackholePort::~BlackholePort() {
    Drop(static_cast<uint64_t>(fd_));
}

} // namespace twtest
