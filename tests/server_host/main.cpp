// The server host: runs the tests' loopback servers (HTTP/HTTPS test server,
// tinyproxy, the challenging proxy, refusing and black-hole ports) on Linux for the Windows test
// programs under Wine, which reach it over one loopback connection each (see
// support/remote_codec.h). Everything a connection made ends with it.
//   tw_server_host <file to write the control port into>
#include "support/auth_proxy.h"
#include "support/certs.h"
#include "support/http_server.h"
#include "support/proxy.h"
#include "support/remote_codec.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdio.h>
#include <sys/socket.h>
#include <unistd.h>

#include <exception>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <thread>

using twtest::remote::Reader;
using twtest::remote::Writer;

namespace {

bool ReadAll(int fd, void* buf, size_t n) {
    auto* p = static_cast<char*>(buf);
    while (n > 0) {
        ssize_t got = read(fd, p, n);
        if (got <= 0)
            return false;
        p += got;
        n -= static_cast<size_t>(got);
    }
    return true;
}

bool WriteAll(int fd, const std::string& data) {
    size_t done = 0;
    while (done < data.size()) {
        ssize_t n = send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

// A Windows path under Wine's drive Z: is the Linux path itself.
std::string HostPath(const std::string& path) {
    std::string p = path;
    if (p.size() >= 2 && (p[0] == 'Z' || p[0] == 'z') && p[1] == ':')
        p = p.substr(2);
    for (char& c : p) {
        if (c == '\\')
            c = '/';
    }
    return p;
}

const twtest::TlsIdentity* NamedIdentity(const std::string& name) {
    const twtest::TestCertificates& c = twtest::Certificates();
    if (name == "good")
        return &c.good;
    if (name == "selfSigned")
        return &c.selfSigned;
    if (name == "wrongHost")
        return &c.wrongHost;
    if (name == "expired")
        return &c.expired;
    if (name == "wrongUsage")
        return &c.wrongUsage;
    if (name == "badSignature")
        return &c.badSignature;
    if (name == "selfSignedExpiredWrongHost")
        return &c.selfSignedExpiredWrongHost;
    return nullptr;
}

// The objects of one client, by the identifiers handed out.
struct Session {
    uint64_t next = 1;
    std::map<uint64_t, std::unique_ptr<twtest::HttpServer>> servers;
    std::map<uint64_t, std::unique_ptr<twtest::TinyProxy>> proxies;
    std::map<uint64_t, std::unique_ptr<twtest::AuthProxy>> authProxies;
    std::map<uint64_t, std::unique_ptr<twtest::RefusingPort>> refusing;
    std::map<uint64_t, std::unique_ptr<twtest::BlackholePort>> blackholes;

    twtest::HttpServer* server(uint64_t id) {
        auto it = servers.find(id);
        return it == servers.end() ? nullptr : it->second.get();
    }

    // One request to one answer; a fault becomes an "error" answer.
    std::string Handle(Reader& in) {
        std::string cmd = in.text();
        Writer out;
        out.text("ok");
        if (cmd == "certs") {
            const twtest::TestCertificates& c = twtest::Certificates();
            out.text(c.caPem);
            for (const char* n : {"good", "selfSigned", "wrongHost", "expired", "wrongUsage",
                                  "badSignature", "selfSignedExpiredWrongHost"})
                out.identity(*NamedIdentity(n));
        } else if (cmd == "server") {
            bool tls = in.num() != 0;
            twtest::TlsIdentity id = in.identity();
            if (!in.ok())
                return Error("malformed server request");
            auto s = tls ? std::make_unique<twtest::HttpServer>(id)
                         : std::make_unique<twtest::HttpServer>();
            out.num(next).num(s->port());
            servers[next++] = std::move(s);
        } else if (cmd == "on" || cmd == "otherwise") {
            twtest::HttpServer* s = server(in.num());
            std::string target = cmd == "on" ? in.text() : "";
            uint64_t count = in.num();
            std::vector<twtest::HttpBehavior> seq;
            for (uint64_t i = 0; in.ok() && i < count && i < 100000; ++i) {
                seq.push_back(in.behavior());
                if (!seq.back().bodyFile.empty())
                    seq.back().bodyFile = HostPath(seq.back().bodyFile);
            }
            if (s == nullptr || !in.ok() || seq.empty())
                return Error("malformed " + cmd + " request");
            if (cmd == "otherwise")
                s->otherwise(seq[0]);
            else
                s->on(target, seq);
        } else if (cmd == "requests" || cmd == "count" || cmd == "connections" ||
                   cmd == "release" || cmd == "stop") {
            twtest::HttpServer* s = server(in.num());
            if (s == nullptr)
                return Error("no such server");
            if (cmd == "requests") {
                std::vector<twtest::RecordedRequest> all = s->requests();
                out.num(all.size());
                for (const auto& r : all)
                    out.request(r);
            } else if (cmd == "count") {
                out.num(s->requestCount());
            } else if (cmd == "connections") {
                out.num(static_cast<uint64_t>(s->connectionCount()));
            } else if (cmd == "release") {
                s->releaseResets();
            } else {
                s->stop();
            }
        } else if (cmd == "proxy") {
            std::string user = in.text();
            std::string password = in.text();
            auto p = std::make_unique<twtest::TinyProxy>(user, password);
            out.num(next).num(p->port()).num(p->running()).text(p->error());
            proxies[next++] = std::move(p);
        } else if (cmd == "proxylog") {
            auto it = proxies.find(in.num());
            if (it == proxies.end())
                return Error("no such proxy");
            out.text(it->second->log());
        } else if (cmd == "authproxy") {
            auto scheme = in.num() != 0 ? twtest::AuthProxy::Scheme::Digest
                                        : twtest::AuthProxy::Scheme::Basic;
            std::string user = in.text();
            std::string password = in.text();
            if (!in.ok())
                return Error("malformed authproxy request");
            auto p = std::make_unique<twtest::AuthProxy>(scheme, user, password);
            out.num(next).num(p->port());
            authProxies[next++] = std::move(p);
        } else if (cmd == "authproxyrequests") {
            auto it = authProxies.find(in.num());
            if (it == authProxies.end())
                return Error("no such proxy");
            std::vector<twtest::RecordedRequest> all = it->second->requests();
            out.num(all.size());
            for (const auto& r : all)
                out.request(r);
        } else if (cmd == "refusing") {
            auto p = std::make_unique<twtest::RefusingPort>();
            out.num(next).num(p->port());
            refusing[next++] = std::move(p);
        } else if (cmd == "blackhole") {
            auto p = std::make_unique<twtest::BlackholePort>();
            out.num(next).num(p->port());
            blackholes[next++] = std::move(p);
        } else if (cmd == "drop") {
            uint64_t id = in.num();
            servers.erase(id);
            proxies.erase(id);
            authProxies.erase(id);
            refusing.erase(id);
            blackholes.erase(id);
        } else if (cmd == "pattern") {
            uint64_t offset = in.num();
            uint64_t n = in.num();
            if (n > twtest::remote::kMaxMessage / 2)
                return Error("pattern too long");
            out.text(twtest::PatternBytes(offset, static_cast<size_t>(n)));
        } else if (cmd == "patternsha") {
            out.text(twtest::PatternSha256(in.num()));
        } else if (cmd == "sha") {
            out.text(twtest::Sha256Hex(in.text()));
        } else {
            return Error("unknown command " + cmd);
        }
        if (!in.ok())
            return Error("malformed " + cmd + " request");
        return out.bytes();
    }

    static std::string Error(const std::string& why) {
        return Writer().text("error").text(why).bytes();
    }
};

void Serve(int fd) {
    Session session;
    while (true) {
        unsigned char header[4];
        uint32_t length = 0;
        if (!ReadAll(fd, header, 4) || !twtest::remote::FrameLength(header, &length))
            break;
        std::string payload(length, '\0');
        if (length > 0 && !ReadAll(fd, payload.data(), length))
            break;
        Reader in(std::move(payload));
        std::string answer;
        try {
            answer = session.Handle(in);
        } catch (const std::exception& e) {
            answer = Session::Error(e.what());
        }
        if (!WriteAll(fd, twtest::remote::Frame(answer)))
            break;
    }
    close(fd);
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: tw_server_host <port file>\n");
        return 2;
    }
    signal(SIGPIPE, SIG_IGN);
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (listener < 0 || bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        listen(listener, 16) != 0 ||
        getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        perror("tw_server_host");
        return 1;
    }
    {
        std::string tmp = std::string(argv[1]) + ".tmp";
        std::ofstream(tmp) << ntohs(addr.sin_port) << "\n";
        rename(tmp.c_str(), argv[1]);
    }
    while (true) {
        int fd = accept(listener, nullptr, nullptr);
        if (fd < 0)
            continue;
        std::thread(Serve, fd).detach();
    }
}
