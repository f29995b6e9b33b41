#include "support/http_server.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <string.h>
#include <sys/eventfd.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>

#include <algorithm>
#include <bit>
#include <atomic>
#include <condition_variable>
#include <map>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>

namespace twtest {

namespace {

constexpr size_t kMaxRequestHead = 64 * 1024;
constexpr size_t kDefaultPiece = 256 * 1024;

std::string Lower(std::string s) {
    for (char& c : s)
        c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return s;
}

std::string Trim(const std::string& s) {
    size_t b = s.find_first_not_of(" \t");
    if (b == std::string::npos)
        return std::string();
    size_t e = s.find_last_not_of(" \t");
    return s.substr(b, e - b + 1);
}

const char* Reason(int status) {
    switch (status) {
    case 100:
        return "Continue";
    case 200:
        return "OK";
    case 201:
        return "Created";
    case 204:
        return "No Content";
    case 206:
        return "Partial Content";
    case 301:
        return "Moved Permanently";
    case 302:
        return "Found";
    case 303:
        return "See Other";
    case 304:
        return "Not Modified";
    case 307:
        return "Temporary Redirect";
    case 308:
        return "Permanent Redirect";
    case 400:
        return "Bad Request";
    case 401:
        return "Unauthorized";
    case 403:
        return "Forbidden";
    case 404:
        return "Not Found";
    case 407:
        return "Proxy Authentication Required";
    case 416:
        return "Range Not Satisfiable";
    case 500:
        return "Internal Server Error";
    case 503:
        return "Service Unavailable";
    default:
        return "Status";
    }
}

uint64_t Mix(uint64_t x) {
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

void IgnoreSigpipe() {
    static std::once_flag once;
    std::call_once(once, [] { signal(SIGPIPE, SIG_IGN); });
}

int LoopbackSocket(uint16_t* port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        throw std::runtime_error("socket failed");
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        close(fd);
        throw std::runtime_error("bind failed");
    }
    socklen_t len = sizeof addr;
    getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    *port = ntohs(addr.sin_port);
    return fd;
}

// Parses "bytes=a-b", "bytes=a-" and "bytes=-n" for a body of `total` bytes.
// Returns false when the header is not a single byte range.
bool ParseRange(const std::string& header, uint64_t total, uint64_t* first, uint64_t* last) {
    std::string h = Trim(header);
    if (Lower(h.substr(0, 6)) != "bytes=")
        return false;
    std::string rangeText = h.substr(6);
    if (rangeText.find(',') != std::string::npos)
        return false;
    size_t dash = rangeText.find('-');
    if (dash == std::string::npos)
        return false;
    std::string a = Trim(rangeText.substr(0, dash)), b = Trim(rangeText.substr(dash + 1));
    auto number = [](const std::string& s, uint64_t* out) {
        if (s.empty() || s.size() > 19 || s.find_first_not_of("0123456789") != std::string::npos)
            return false;
        *out = std::stoull(s);
        return true;
    };
    uint64_t x = 0, y = 0;
    if (a.empty()) {
        if (!number(b, &y) || y == 0)
            return false;
        *first = y >= total ? 0 : total - y;
        *last = total == 0 ? 0 : total - 1;
        return true;
    }
    if (!number(a, &x))
        return false;
    *first = x;
    if (b.empty()) {
        *last = total == 0 ? 0 : total - 1;
    } else {
        if (!number(b, &y) || y < x)
            return false;
        *last = total == 0 ? 0 : std::min(y, total - 1);
    }
    return true;
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

void PatternFill(uint64_t offset, char* out, size_t n) {
    while (n > 0) {
        const uint64_t word = Mix(offset >> 3);
        const unsigned skip = static_cast<unsigned>(offset & 7);
        if (skip == 0 && n >= 8 && std::endian::native == std::endian::little) {
            memcpy(out, &word, 8); // the fast path for the benchmarks' large bodies
            out += 8;
            offset += 8;
            n -= 8;
            continue;
        }
        const size_t take = std::min<size_t>(8 - skip, n);
        for (size_t i = 0; i < take; ++i)
            out[i] = static_cast<char>(word >> (8 * (skip + i)));
        out += take;
        offset += take;
        n -= take;
    }
}

std::string PatternBytes(uint64_t offset, size_t n) {
    std::string s(n, '\0');
    PatternFill(offset, s.data(), n);
    return s;
}

namespace {
std::string Hex(const unsigned char* digest, unsigned len) {
    static const char hex[] = "0123456789abcdef";
    std::string out;
    for (unsigned i = 0; i < len; ++i) {
        out += hex[digest[i] >> 4];
        out += hex[digest[i] & 15];
    }
    return out;
}
} // namespace

std::string PatternSha256(uint64_t size) {
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    EVP_DigestInit_ex(ctx, EVP_sha256(), nullptr);
    std::vector<char> buf(1 << 20);
    for (uint64_t off = 0; off < size;) {
        size_t n = static_cast<size_t>(std::min<uint64_t>(buf.size(), size - off));
        PatternFill(off, buf.data(), n);
        EVP_DigestUpdate(ctx, buf.data(), n);
        off += n;
    }
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned len = 0;
    EVP_DigestFinal_ex(ctx, digest, &len);
    EVP_MD_CTX_free(ctx);
    return Hex(digest, len);
}

std::string Sha256Hex(const std::string& data) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned len = 0;
    EVP_Digest(data.data(), data.size(), digest, &len, EVP_sha256(), nullptr);
    return Hex(digest, len);
}

namespace {

// What the connections share with the server object.
struct ServerCore {
    SSL_CTX* ctx = nullptr;
    int listenFd = -1;
    int wakeFd = -1;
    uint16_t port = 0;
    std::atomic<bool> stopping{false};
    std::thread acceptThread;

    mutable std::mutex mutex;
    std::condition_variable released;
    bool resetsReleased = false;
    struct Route {
        std::vector<HttpBehavior> sequence;
        size_t next = 0;
    };
    std::map<std::string, Route> routes;
    HttpBehavior fallback;
    std::vector<RecordedRequest> records;
    int connections = 0;
    std::vector<std::thread> workers;
    std::set<int> liveFds;
};

} // namespace

namespace {
class Conn;
} // namespace

struct HttpServer::Impl : ServerCore {
    void start();
    void acceptLoop();
    void serve(int fd, int id);
    void serveRequests(Conn& c, int id);
    HttpBehavior behaviorFor(const std::string& target);
};

namespace {

// One accepted connection, plain or TLS, with its read buffer. Every wait also
// watches the server's wake-up descriptor, so stop() ends it.
class Conn {
  public:
    Conn(ServerCore& server, int fd, SSL* ssl) : server_(server), fd_(fd), ssl_(ssl) {}

    bool tls() const { return ssl_ != nullptr; }

    // Waits for input; false when the server stops.
    bool waitReadable() {
        if (ssl_ != nullptr && SSL_pending(ssl_) > 0)
            return true;
        pollfd p[2] = {{fd_, POLLIN, 0}, {server_.wakeFd, POLLIN, 0}};
        for (;;) {
            int rc = poll(p, 2, -1);
            if (rc < 0 && errno == EINTR)
                continue;
            return rc > 0 && !(p[1].revents & POLLIN);
        }
    }

    long readSome(char* buf, size_t n) {
        if (!waitReadable())
            return -1;
        if (ssl_ != nullptr) {
            int rc = SSL_read(ssl_, buf, static_cast<int>(std::min<size_t>(n, 1 << 30)));
            return rc > 0 ? rc : -1;
        }
        ssize_t rc;
        do {
            rc = recv(fd_, buf, n, 0);
        } while (rc < 0 && errno == EINTR);
        return rc > 0 ? static_cast<long>(rc) : -1;
    }

    // Makes sure `n` bytes are buffered; false at the end of the stream.
    bool fill(size_t n) {
        char tmp[16384];
        while (in_.size() < n) {
            long got = readSome(tmp, sizeof tmp);
            if (got <= 0)
                return false;
            in_.append(tmp, static_cast<size_t>(got));
        }
        return true;
    }

    unsigned char peekFirst() const { return in_.empty() ? 0 : static_cast<unsigned char>(in_[0]); }

    bool readUntil(const std::string& marker, size_t limit, std::string* out) {
        char tmp[16384];
        for (;;) {
            size_t at = in_.find(marker);
            if (at != std::string::npos) {
                *out = in_.substr(0, at);
                in_.erase(0, at + marker.size());
                return true;
            }
            if (in_.size() > limit)
                return false;
            long got = readSome(tmp, sizeof tmp);
            if (got <= 0)
                return false;
            in_.append(tmp, static_cast<size_t>(got));
        }
    }

    // Takes up to `n` bytes out of the stream into `sink` (capped), counting all.
    bool consume(uint64_t n, std::string* sink, uint64_t* counted) {
        while (n > 0) {
            if (in_.empty() && !fill(1))
                return false;
            size_t take = static_cast<size_t>(std::min<uint64_t>(n, in_.size()));
            if (sink->size() < RecordedRequest::kMaxRecordedBody)
                sink->append(in_, 0,
                             std::min(take, RecordedRequest::kMaxRecordedBody - sink->size()));
            in_.erase(0, take);
            *counted += take;
            n -= take;
        }
        return true;
    }

    bool writeAll(const char* p, size_t n) {
        while (n > 0) {
            if (server_.stopping)
                return false;
            long rc;
            if (ssl_ != nullptr) {
                rc = SSL_write(ssl_, p, static_cast<int>(std::min<size_t>(n, 1 << 20)));
            } else {
                do {
                    rc = send(fd_, p, n, MSG_NOSIGNAL);
                } while (rc < 0 && errno == EINTR);
            }
            if (rc <= 0)
                return false;
            p += rc;
            n -= static_cast<size_t>(rc);
        }
        return true;
    }
    bool writeAll(const std::string& s) { return writeAll(s.data(), s.size()); }

    bool sendFile(int fileFd, uint64_t offset, uint64_t n) {
        if (ssl_ != nullptr) {
            std::vector<char> buf(256 * 1024);
            while (n > 0) {
                size_t want = static_cast<size_t>(std::min<uint64_t>(n, buf.size()));
                ssize_t got = pread(fileFd, buf.data(), want, static_cast<off_t>(offset));
                if (got <= 0 || !writeAll(buf.data(), static_cast<size_t>(got)))
                    return false;
                offset += static_cast<uint64_t>(got);
                n -= static_cast<uint64_t>(got);
            }
            return true;
        }
        off_t off = static_cast<off_t>(offset);
        while (n > 0) {
            if (server_.stopping)
                return false;
            ssize_t rc =
                sendfile(fd_, fileFd, &off, static_cast<size_t>(std::min<uint64_t>(n, 1 << 30)));
            if (rc < 0 && errno == EINTR)
                continue;
            if (rc <= 0)
                return false;
            n -= static_cast<uint64_t>(rc);
        }
        return true;
    }

    // Waits `ms` (-1: no limit). Returns true when cut short because the
    // client closed its end or the server stops.
    bool stall(int ms) {
        pollfd p[2] = {{fd_, POLLRDHUP, 0}, {server_.wakeFd, POLLIN, 0}};
        for (;;) {
            int rc = poll(p, 2, ms);
            if (rc < 0 && errno == EINTR)
                continue;
            return rc > 0;
        }
    }

    // Pause between pieces, ended early by stop().
    void pause(int ms) {
        pollfd p = {server_.wakeFd, POLLIN, 0};
        poll(&p, 1, ms);
    }

    void shutdownWrite() {
        if (ssl_ != nullptr)
            SSL_shutdown(ssl_);
        shutdown(fd_, SHUT_WR);
    }

    // A reset instead of an orderly close.
    void setResetOnClose() {
        linger l{1, 0};
        setsockopt(fd_, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    }

    // Waits for releaseResets() (or stop); true when released.
    bool awaitRelease() {
        std::unique_lock<std::mutex> lock(server_.mutex);
        server_.released.wait(lock, [&] { return server_.resetsReleased || server_.stopping; });
        return server_.resetsReleased && !server_.stopping;
    }

  private:
    ServerCore& server_;
    int fd_;
    SSL* ssl_;
    std::string in_;
};

bool ReadRequest(Conn& c, RecordedRequest* req) {
    std::string head;
    if (!c.readUntil("\r\n\r\n", kMaxRequestHead, &head))
        return false;
    size_t eol = head.find("\r\n");
    req->requestLine = head.substr(0, eol);
    size_t s1 = req->requestLine.find(' ');
    size_t s2 = req->requestLine.rfind(' ');
    if (s1 == std::string::npos || s2 == s1)
        return false;
    req->method = req->requestLine.substr(0, s1);
    req->target = req->requestLine.substr(s1 + 1, s2 - s1 - 1);
    req->version = req->requestLine.substr(s2 + 1);
    size_t pos = eol == std::string::npos ? head.size() : eol + 2;
    while (pos < head.size()) {
        size_t end = head.find("\r\n", pos);
        if (end == std::string::npos)
            end = head.size();
        std::string line = head.substr(pos, end - pos);
        pos = end + 2;
        size_t colon = line.find(':');
        if (colon == std::string::npos)
            continue;
        req->headers.emplace_back(line.substr(0, colon), Trim(line.substr(colon + 1)));
    }
    return true;
}

bool ReadBody(Conn& c, RecordedRequest* req) {
    if (Lower(req->header("Transfer-Encoding")).find("chunked") != std::string::npos) {
        for (;;) {
            std::string line;
            if (!c.readUntil("\r\n", 1024, &line))
                return false;
            unsigned long long size = strtoull(line.c_str(), nullptr, 16);
            if (size == 0)
                break;
            if (!c.consume(size, &req->body, &req->bodyBytes))
                return false;
            std::string crlf;
            if (!c.readUntil("\r\n", 16, &crlf))
                return false;
        }
        std::string trailer;
        do {
            if (!c.readUntil("\r\n", kMaxRequestHead, &trailer))
                return false;
        } while (!trailer.empty());
        return true;
    }
    std::string length = req->header("Content-Length");
    if (length.empty())
        return true;
    return c.consume(std::stoull(length), &req->body, &req->bodyBytes);
}

bool WantsKeepAlive(const RecordedRequest& req) {
    std::string connection = Lower(req.header("Connection"));
    if (req.version == "HTTP/1.0")
        return connection.find("keep-alive") != std::string::npos;
    return connection.find("close") == std::string::npos;
}

// Sends the answer; returns whether the connection stays open.
bool Respond(Conn& c, const RecordedRequest& req, const HttpBehavior& b) {
    if (b.noResponse) {
        c.shutdownWrite();
        return false;
    }
    if (!b.rawResponse.empty()) {
        c.writeAll(b.rawResponse);
        c.shutdownWrite();
        return false;
    }
    int fileFd = -1;
    uint64_t total = b.body.size();
    if (b.pattern) {
        total = b.patternBytes;
    } else if (!b.bodyFile.empty()) {
        fileFd = open(b.bodyFile.c_str(), O_RDONLY | O_CLOEXEC);
        struct stat st {};
        if (fileFd < 0 || fstat(fileFd, &st) != 0)
            return false;
        total = static_cast<uint64_t>(st.st_size);
    }
    struct FileCloser {
        int fd;
        ~FileCloser() {
            if (fd >= 0)
                close(fd);
        }
    } closer{fileFd};

    int status = b.status;
    uint64_t start = 0, count = total;
    std::string contentRange;
    const std::string range = req.header("Range");
    if (status == 200 && b.honourRange && !range.empty()) {
        uint64_t first = 0, last = 0;
        if (ParseRange(range, total, &first, &last)) {
            if (first >= total) {
                status = 416;
                count = 0;
                contentRange = "bytes */" + std::to_string(total);
            } else {
                status = 206;
                start = first;
                count = last - first + 1;
                contentRange = "bytes " + std::to_string(first) + "-" + std::to_string(last) + "/" +
                               std::to_string(total);
            }
        }
    }
    const bool noBody = status == 204 || status == 304 || (status >= 100 && status < 200);
    const bool head = req.method == "HEAD";
    if (noBody)
        count = 0;
    bool keepOpen = WantsKeepAlive(req) && !b.closeAfter && b.readBody &&
                    b.length != HttpBehavior::Length::Absent &&
                    b.length != HttpBehavior::Length::Custom && b.cutAfter < 0 && b.resetAfter < 0;

    std::string text = "HTTP/1.1 " + std::to_string(status) + " " +
                       (b.reason.empty() || status != b.status ? Reason(status) : b.reason) +
                       "\r\n";
    for (const auto& [name, value] : b.headers)
        text += name + ": " + value + "\r\n";
    if (!contentRange.empty())
        text += "Content-Range: " + contentRange + "\r\n";
    if (!noBody) {
        switch (b.length) {
        case HttpBehavior::Length::Exact:
            text += "Content-Length: " + std::to_string(count) + "\r\n";
            break;
        case HttpBehavior::Length::Absent:
            break;
        case HttpBehavior::Length::Chunked:
            text += "Transfer-Encoding: chunked\r\n";
            break;
        case HttpBehavior::Length::Custom:
            text += "Content-Length: " + std::to_string(b.customLength) + "\r\n";
            break;
        }
    }
    if (!keepOpen)
        text += "Connection: close\r\n";
    text += "\r\n";

    if (b.stallBeforeHeaders && c.stall(b.stallMs))
        return false;
    if (!c.writeAll(text))
        return false;
    const bool chunked = b.length == HttpBehavior::Length::Chunked && !noBody && !head;
    if (head)
        count = 0;

    const size_t piece = b.pieceBytes > 0 ? b.pieceBytes : kDefaultPiece;
    std::vector<char> buf;
    bool stalled = false;
    uint64_t sent = 0;
    // Faults happen when `sent` reaches their byte count, also at the very end.
    auto faults = [&]() -> int { // 0: go on, 1: connection over
        if (b.stallAfter >= 0 && !stalled && sent == static_cast<uint64_t>(b.stallAfter)) {
            stalled = true;
            if (c.stall(b.stallMs))
                return 1;
        }
        if (b.cutAfter >= 0 && sent == static_cast<uint64_t>(b.cutAfter)) {
            c.shutdownWrite();
            return 1;
        }
        if (b.resetAfter >= 0 && sent == static_cast<uint64_t>(b.resetAfter)) {
            if (c.awaitRelease())
                c.setResetOnClose();
            return 1;
        }
        return 0;
    };
    while (sent < count) {
        if (faults())
            return false;
        uint64_t n = std::min<uint64_t>(piece, count - sent);
        for (int64_t limit : {stalled ? int64_t(-1) : b.stallAfter, b.cutAfter, b.resetAfter}) {
            if (limit >= 0 && static_cast<uint64_t>(limit) > sent)
                n = std::min<uint64_t>(n, static_cast<uint64_t>(limit) - sent);
        }
        if (chunked) {
            char size[32];
            snprintf(size, sizeof size, "%llx\r\n", static_cast<unsigned long long>(n));
            if (!c.writeAll(size, strlen(size)))
                return false;
        }
        bool ok;
        if (b.pattern) {
            buf.resize(static_cast<size_t>(n));
            PatternFill(start + sent, buf.data(), buf.size());
            ok = c.writeAll(buf.data(), buf.size());
        } else if (fileFd >= 0) {
            ok = c.sendFile(fileFd, start + sent, n);
        } else {
            ok = c.writeAll(b.body.data() + start + sent, static_cast<size_t>(n));
        }
        if (!ok || (chunked && !c.writeAll("\r\n", 2)))
            return false;
        sent += n;
        if (b.pieceDelayMs > 0 && sent < count)
            c.pause(b.pieceDelayMs);
    }
    if (faults())
        return false;
    if (chunked && !c.writeAll("0\r\n\r\n", 5))
        return false;
    if (!keepOpen)
        c.shutdownWrite();
    return keepOpen;
}

} // namespace

HttpBehavior HttpServer::Impl::behaviorFor(const std::string& target) {
    std::lock_guard<std::mutex> g(mutex);
    auto it = routes.find(target);
    if (it == routes.end()) {
        size_t q = target.find('?');
        if (q != std::string::npos)
            it = routes.find(target.substr(0, q));
    }
    if (it == routes.end())
        return fallback;
    ServerCore::Route& route = it->second;
    const HttpBehavior& b = route.sequence[std::min(route.next, route.sequence.size() - 1)];
    ++route.next;
    return b;
}

void HttpServer::Impl::serveRequests(Conn& c, int id) {
    for (;;) {
        RecordedRequest req;
        if (!ReadRequest(c, &req))
            return;
        req.connection = id;
        req.tls = c.tls();
        HttpBehavior b = behaviorFor(req.target);
        if (b.readBody) {
            if (Lower(req.header("Expect")) == "100-continue" &&
                !c.writeAll(std::string("HTTP/1.1 100 Continue\r\n\r\n")))
                return;
            if (!ReadBody(c, &req))
                return;
        }
        {
            std::lock_guard<std::mutex> g(mutex);
            records.push_back(req);
        }
        if (!Respond(c, req, b))
            return;
    }
}

void HttpServer::Impl::serve(int fd, int id) {
    SSL* ssl = nullptr;
    bool ok = true;
    if (ctx != nullptr) {
        ssl = SSL_new(ctx);
        ok = ssl != nullptr && SSL_set_fd(ssl, fd) == 1 && SSL_accept(ssl) == 1;
    }
    if (ok) {
        Conn c(*this, fd, ssl);
        // A TLS handshake sent to a plain server gets what a web server answers.
        if (ssl == nullptr && c.fill(1) && c.peekFirst() == 0x16)
            c.writeAll(std::string("HTTP/1.1 400 Bad Request\r\nConnection: close\r\n\r\n"));
        else
            serveRequests(c, id);
    }
    if (ssl != nullptr)
        SSL_free(ssl);
    std::lock_guard<std::mutex> g(mutex);
    liveFds.erase(fd);
    close(fd);
}

void HttpServer::Impl::acceptLoop() {
    while (!stopping) {
        pollfd p[2] = {{listenFd, POLLIN, 0}, {wakeFd, POLLIN, 0}};
        int rc = poll(p, 2, -1);
        if (rc < 0 && errno == EINTR)
            continue;
        if (rc <= 0 || (p[1].revents & POLLIN))
            break;
        int fd = accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
            continue;
        int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        std::lock_guard<std::mutex> g(mutex);
        if (stopping) {
            close(fd);
            break;
        }
        liveFds.insert(fd);
        int id = ++connections;
        workers.emplace_back([this, fd, id] { serve(fd, id); });
    }
}

void HttpServer::Impl::start() {
    IgnoreSigpipe();
    fallback.status = 404;
    fallback.body = "not found";
    wakeFd = eventfd(0, EFD_CLOEXEC);
    listenFd = LoopbackSocket(&port);
    if (wakeFd < 0 || listen(listenFd, 64) != 0)
        throw std::runtime_error("listen failed");
    acceptThread = std::thread([this] { acceptLoop(); });
}

HttpServer::HttpServer() : impl_(std::make_unique<Impl>()) {
    impl_->start();
}

HttpServer::HttpServer(const TlsIdentity& tls) : impl_(std::make_unique<Impl>()) {
    SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
    if (ctx == nullptr)
        throw std::runtime_error("SSL_CTX_new failed");
    impl_->ctx = ctx;
    auto readPem = [](const std::string& pem, bool key) -> void* {
        BIO* bio = BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size()));
        void* out =
            key ? static_cast<void*>(PEM_read_bio_PrivateKey(bio, nullptr, nullptr, nullptr))
                : static_cast<void*>(PEM_read_bio_X509(bio, nullptr, nullptr, nullptr));
        BIO_free(bio);
        return out;
    };
    X509* cert = static_cast<X509*>(readPem(tls.certPem, false));
    EVP_PKEY* key = static_cast<EVP_PKEY*>(readPem(tls.keyPem, true));
    bool ok = cert != nullptr && key != nullptr && SSL_CTX_use_certificate(ctx, cert) == 1 &&
              SSL_CTX_use_PrivateKey(ctx, key) == 1;
    X509_free(cert);
    EVP_PKEY_free(key);
    if (ok && !tls.chainPem.empty()) {
        BIO* bio = BIO_new_mem_buf(tls.chainPem.data(), static_cast<int>(tls.chainPem.size()));
        while (X509* extra = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr)) {
            ok = ok && SSL_CTX_add1_chain_cert(ctx, extra) == 1;
            X509_free(extra);
        }
        ERR_clear_error(); // the end of the PEM data reads as an error
        BIO_free(bio);
    }
    if (!ok)
        throw std::runtime_error("TLS identity rejected");
    impl_->start();
}

HttpServer::~HttpServer() {
    stop();
}

void HttpServer::stop() {
    Impl& s = *impl_;
    if (!s.acceptThread.joinable())
        return;
    s.stopping = true;
    uint64_t one = 1;
    if (write(s.wakeFd, &one, sizeof one) < 0) {
        // The descriptor is ours and valid; nothing else can be done here.
    }
    {
        std::lock_guard<std::mutex> g(s.mutex);
        for (int fd : s.liveFds)
            shutdown(fd, SHUT_RDWR);
    }
    s.released.notify_all();
    s.acceptThread.join();
    for (std::thread& t : s.workers)
        t.join();
    s.workers.clear();
    close(s.listenFd);
    close(s.wakeFd);
    if (s.ctx != nullptr)
        SSL_CTX_free(s.ctx);
    s.ctx = nullptr;
}

void HttpServer::on(const std::string& target, const HttpBehavior& behavior) {
    on(target, std::vector<HttpBehavior>{behavior});
}

void HttpServer::on(const std::string& target, const std::vector<HttpBehavior>& sequence) {
    if (sequence.empty())
        throw std::invalid_argument("empty behaviour sequence");
    std::lock_guard<std::mutex> g(impl_->mutex);
    impl_->routes[target] = ServerCore::Route{sequence, 0};
}

void HttpServer::otherwise(const HttpBehavior& behavior) {
    std::lock_guard<std::mutex> g(impl_->mutex);
    impl_->fallback = behavior;
}

uint16_t HttpServer::port() const {
    return impl_->port;
}

std::string HttpServer::url(const std::string& target) const {
    return std::string(impl_->ctx != nullptr ? "https" : "http") +
           "://127.0.0.1:" + std::to_string(impl_->port) + target;
}

std::vector<RecordedRequest> HttpServer::requests() const {
    std::lock_guard<std::mutex> g(impl_->mutex);
    return impl_->records;
}

size_t HttpServer::requestCount() const {
    std::lock_guard<std::mutex> g(impl_->mutex);
    return impl_->records.size();
}

int HttpServer::connectionCount() const {
    std::lock_guard<std::mutex> g(impl_->mutex);
    return impl_->connections;
}

void HttpServer::releaseResets() {
    {
        std::lock_guard<std::mutex> g(impl_->mutex);
        impl_->resetsReleased = true;
    }
    impl_->released.notify_all();
}

RefusingPort::RefusingPort() {
    fd_ = LoopbackSocket(&port_);
}
RefusingPort::~RefusingPort() {
    close(fd_);
}

BlackholePort::BlackholePort() {
    fd_ = LoopbackSocket(&port_);
    if (listen(fd_, 0) != 0)
        throw std::runtime_error("listen failed");
    // The first connection fills the queue; the kernel drops later handshakes.
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(port_);
    for (int i = 0; i < 3; ++i) {
        int s = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (s < 0)
            continue;
        connect(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
        fillers_.push_back(s);
    }
}

BlackholePort::~BlackholePort() {
    for (int s : fillers_)
        close(s);
    close(fd_);
}

} // namespace twtest
