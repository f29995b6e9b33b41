#include "support/auth_proxy.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <openssl/evp.h>
#include <openssl/rand.h>

#include <atomic>
#include <map>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>

namespace twtest {

namespace {

constexpr size_t kMaxHead = 64 * 1024;
constexpr uint64_t kMaxBody = 16u << 20;
const char kRealm[] = "tw-proxy";
const char kOrigin[] = "http://127.0.0.1:"; // the only origins it forwards to

std::string Lower(std::string s) {
    for (char& c : s)
        c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return s;
}

std::string Trim(const std::string& s) {
    size_t b = s.find_first_not_of(" \t");
    if (b == std::string::npos)
        return std::string();
    return s.substr(b, s.find_last_not_of(" \t") - b + 1);
}

std::string Hex(const unsigned char* p, size_t n) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (size_t i = 0; i < n; ++i) {
        out += digits[p[i] >> 4];
        out += digits[p[i] & 15];
    }
    return out;
}

std::string Md5Hex(const std::string& s) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned len = 0;
    EVP_Digest(s.data(), s.size(), digest, &len, EVP_md5(), nullptr);
    return Hex(digest, len);
}

std::string Base64(const std::string& s) {
    std::string out(4 * ((s.size() + 2) / 3) + 1, '\0');
    int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                            reinterpret_cast<const unsigned char*>(s.data()),
                            static_cast<int>(s.size()));
    out.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return out;
}

// The name=value and name="value" pairs of a Digest credential, names in lower case.
std::map<std::string, std::string> DigestParams(const std::string& text) {
    std::map<std::string, std::string> out;
    size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && (text[i] == ' ' || text[i] == ',' || text[i] == '\t'))
            ++i;
        size_t eq = text.find('=', i);
        if (eq == std::string::npos)
            break;
        std::string name = Lower(Trim(text.substr(i, eq - i)));
        std::string value;
        i = eq + 1;
        if (i < text.size() && text[i] == '"') {
            for (++i; i < text.size() && text[i] != '"'; ++i) {
                if (text[i] == '\\' && i + 1 < text.size())
                    ++i;
                value += text[i];
            }
            ++i;
        } else {
            size_t end = text.find(',', i);
            value = Trim(text.substr(i, end == std::string::npos ? std::string::npos : end - i));
            i = end == std::string::npos ? text.size() : end;
        }
        out[name] = value;
    }
    return out;
}

bool SendAll(int fd, const std::string& data) {
    size_t done = 0;
    while (done < data.size()) {
        ssize_t n = send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

} // namespace

struct AuthProxy::Impl {
    Scheme scheme;
    std::string user, password, nonce;
    int listenFd = -1;
    int wakeFd = -1;
    uint16_t port = 0;
    std::thread acceptThread;
    mutable std::mutex mutex;
    std::vector<RecordedRequest> records;
    std::vector<std::thread> workers;
    std::set<int> liveFds;
    int connections = 0;

    // Reads more of `fd` into `in`; false at its end or when the proxy stops.
    bool readMore(int fd, std::string* in) {
        pollfd p[2] = {{fd, POLLIN, 0}, {wakeFd, POLLIN, 0}};
        int rc;
        do {
            rc = poll(p, 2, -1);
        } while (rc < 0 && errno == EINTR);
        if (rc <= 0 || (p[1].revents & POLLIN))
            return false;
        char buf[16384];
        ssize_t n;
        do {
            n = recv(fd, buf, sizeof buf, 0);
        } while (n < 0 && errno == EINTR);
        if (n <= 0)
            return false;
        in->append(buf, static_cast<size_t>(n));
        return true;
    }

    bool authorized(const RecordedRequest& req) const {
        const std::string given = req.header("Proxy-Authorization");
        if (scheme == Scheme::Basic)
            return given == "Basic " + Base64(user + ":" + password);
        if (Lower(given.substr(0, 7)) != "digest ")
            return false;
        std::map<std::string, std::string> p = DigestParams(given.substr(7));
        if (p["username"] != user || p["realm"] != kRealm || p["nonce"] != nonce)
            return false;
        const std::string ha1 = Md5Hex(user + ":" + kRealm + ":" + password);
        const std::string ha2 = Md5Hex(req.method + ":" + p["uri"]);
        const std::string expected =
            p["qop"] == "auth"
                ? Md5Hex(ha1 + ":" + nonce + ":" + p["nc"] + ":" + p["cnonce"] + ":auth:" + ha2)
                : Md5Hex(ha1 + ":" + nonce + ":" + ha2);
        return Lower(p["response"]) == expected;
    }

    std::string challenge() const {
        if (scheme == Scheme::Basic)
            return std::string("Basic realm=\"") + kRealm + "\"";
        return std::string("Digest realm=\"") + kRealm + "\", qop=\"auth\", nonce=\"" + nonce +
               "\", algorithm=MD5";
    }

    // Passes the request to its origin and the whole answer back; the client's
    // connection ends with it.
    void forward(int client, const RecordedRequest& req, const std::string& body) {
        // The absolute URL a proxy is given; a path alone (as Wine 8 sends it)
        // takes the origin from the Host header.
        const std::string t = req.target.rfind("/", 0) == 0
                                  ? "http://" + req.header("Host") + req.target
                                  : req.target;
        size_t slash = t.find('/', sizeof kOrigin - 1);
        int originPort = 0;
        if (t.rfind(kOrigin, 0) == 0)
            originPort = atoi(t.substr(sizeof kOrigin - 1, slash - (sizeof kOrigin - 1)).c_str());
        int origin = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = htons(static_cast<uint16_t>(originPort));
        if (originPort <= 0 || originPort > 65535 || origin < 0 ||
            connect(origin, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
            SendAll(client, "HTTP/1.1 502 Bad Gateway\r\nContent-Length: 0\r\nConnection: "
                            "close\r\n\r\n");
            if (origin >= 0)
                close(origin);
            return;
        }
        std::string out = req.method + " " + (slash == std::string::npos ? "/" : t.substr(slash)) +
                          " " + req.version + "\r\n";
        for (const auto& [name, value] : req.headers) {
            const std::string n = Lower(name);
            if (n != "proxy-authorization" && n != "proxy-connection" && n != "connection")
                out += name + ": " + value + "\r\n";
        }
        out += "Connection: close\r\n\r\n" + body;
        std::string answer;
        if (SendAll(origin, out)) {
            while (readMore(origin, &answer)) {
                if (!SendAll(client, answer))
                    break;
                answer.clear();
            }
        }
        close(origin);
    }

    // Answers requests on one connection until it ends or a request is forwarded.
    void serveRequests(int fd, int id) {
        std::string in;
        for (;;) {
            size_t end;
            while ((end = in.find("\r\n\r\n")) == std::string::npos) {
                if (in.size() > kMaxHead || !readMore(fd, &in))
                    return;
            }
            RecordedRequest req;
            req.connection = id;
            const std::string head = in.substr(0, end);
            in.erase(0, end + 4);
            size_t eol = head.find("\r\n");
            req.requestLine = head.substr(0, eol);
            size_t s1 = req.requestLine.find(' '), s2 = req.requestLine.rfind(' ');
            if (s1 == std::string::npos || s2 == s1)
                return;
            req.method = req.requestLine.substr(0, s1);
            req.target = req.requestLine.substr(s1 + 1, s2 - s1 - 1);
            req.version = req.requestLine.substr(s2 + 1);
            for (size_t pos = eol; pos != std::string::npos && pos < head.size();) {
                size_t next = head.find("\r\n", pos + 2);
                std::string line = head.substr(
                    pos + 2, next == std::string::npos ? std::string::npos : next - pos - 2);
                size_t colon = line.find(':');
                if (colon != std::string::npos)
                    req.headers.emplace_back(line.substr(0, colon), Trim(line.substr(colon + 1)));
                pos = next;
            }
            const uint64_t length = strtoull(req.header("Content-Length").c_str(), nullptr, 10);
            if (length > kMaxBody)
                return;
            while (in.size() < length) {
                if (!readMore(fd, &in))
                    return;
            }
            const std::string body = in.substr(0, static_cast<size_t>(length));
            in.erase(0, static_cast<size_t>(length));
            req.bodyBytes = length;
            {
                std::lock_guard<std::mutex> g(mutex);
                records.push_back(req);
            }
            if (authorized(req)) {
                forward(fd, req, body);
                return;
            }
            const std::string text = "proxy credentials required";
            if (!SendAll(fd, "HTTP/1.1 407 Proxy Authentication Required\r\nProxy-Authenticate: " +
                                 challenge() + "\r\nContent-Type: text/plain\r\nContent-Length: " +
                                 std::to_string(text.size()) + "\r\n\r\n" +
                                 (req.method == "HEAD" ? std::string() : text)))
                return;
        }
    }

    void serve(int fd, int id) {
        serveRequests(fd, id);
        std::lock_guard<std::mutex> g(mutex);
        liveFds.erase(fd);
        close(fd);
    }

    void acceptLoop() {
        for (;;) {
            pollfd p[2] = {{listenFd, POLLIN, 0}, {wakeFd, POLLIN, 0}};
            int rc = poll(p, 2, -1);
            if (rc < 0 && errno == EINTR)
                continue;
            if (rc <= 0 || (p[1].revents & POLLIN))
                return;
            int fd = accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0)
                continue;
            std::lock_guard<std::mutex> g(mutex);
            liveFds.insert(fd);
            int id = ++connections;
            workers.emplace_back([this, fd, id] { serve(fd, id); });
        }
    }
};

AuthProxy::AuthProxy(Scheme scheme, const std::string& user, const std::string& password)
    : impl_(std::make_unique<Impl>()) {
    signal(SIGPIPE, SIG_IGN);
    Impl& s = *impl_;
    s.scheme = scheme;
    s.user = user;
    s.password = password;
    unsigned char random[16];
    if (RAND_bytes(random, sizeof random) != 1)
        throw std::runtime_error("no random nonce");
    s.nonce = Hex(random, sizeof random);
    s.wakeFd = eventfd(0, EFD_CLOEXEC);
    s.listenFd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (s.wakeFd < 0 || s.listenFd < 0 ||
        bind(s.listenFd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        listen(s.listenFd, 16) != 0 ||
        getsockname(s.listenFd, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
        throw std::runtime_error("the proxy cannot listen");
    s.port = ntohs(addr.sin_port);
    s.acceptThread = std::thread([&s] { s.acceptLoop(); });
}

AuthProxy::~AuthProxy() {
    Impl& s = *impl_;
    uint64_t one = 1;
    if (write(s.wakeFd, &one, sizeof one) < 0) {
        // The descriptor is ours and valid; nothing else can be done here.
    }
    s.acceptThread.join();
    {
        std::lock_guard<std::mutex> g(s.mutex);
        for (int fd : s.liveFds)
            shutdown(fd, SHUT_RDWR);
    }
    for (std::thread& t : s.workers)
        t.join();
    close(s.listenFd);
    close(s.wakeFd);
}

uint16_t AuthProxy::port() const {
    return impl_->port;
}

std::string AuthProxy::address() const {
    return "127.0.0.1:" + std::to_string(impl_->port);
}

std::vector<RecordedRequest> AuthProxy::requests() const {
    std::lock_guard<std::mutex> g(impl_->mutex);
    return impl_->records;
}

} // namespace twtest
