// What the benchmarks share: a monotonic clock, medians, running a program
// with its peak memory, comparing files, and a loopback file server.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <spawn.h>
#include <stdio.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace twbench {

inline double nowSeconds() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + ts.tv_nsec / 1e9;
}

inline double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

struct RunResult {
    int exitCode = -1;
    double seconds = 0;
    long maxRssKb = 0;
};

// Runs a program (looked up on PATH) with extra environment entries; its
// standard output, and standard error unless `keepStderr`, are discarded.
inline RunResult run(const std::vector<std::string>& argv,
                     const std::map<std::string, std::string>& env = {}, bool keepStderr = true) {
    std::vector<std::string> envText;
    for (char** e = environ; *e != nullptr; ++e) {
        std::string entry = *e;
        if (env.count(entry.substr(0, entry.find('='))) == 0)
            envText.push_back(entry);
    }
    for (const auto& [k, v] : env)
        envText.push_back(k + "=" + v);
    std::vector<char*> args, envp;
    for (const auto& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    for (auto& e : envText)
        envp.push_back(e.data());
    envp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    if (!keepStderr)
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    RunResult r;
    const double t0 = nowSeconds();
    pid_t pid = 0;
    int rc = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0)
        return r;
    int status = 0;
    rusage usage;
    memset(&usage, 0, sizeof usage);
    wait4(pid, &status, 0, &usage);
    r.seconds = nowSeconds() - t0;
    r.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    r.maxRssKb = usage.ru_maxrss;
    return r;
}

inline bool sameFile(const std::string& a, const std::string& b) {
    std::error_code ec;
    if (std::filesystem::file_size(a, ec) != std::filesystem::file_size(b, ec))
        return false;
    FILE* fa = fopen(a.c_str(), "rb");
    FILE* fb = fopen(b.c_str(), "rb");
    bool same = fa && fb;
    std::vector<char> ba(1 << 20), bb(1 << 20);
    while (same) {
        size_t na = fread(ba.data(), 1, ba.size(), fa);
        size_t nb = fread(bb.data(), 1, bb.size(), fb);
        if (na != nb || memcmp(ba.data(), bb.data(), na) != 0)
            same = false;
        if (na == 0)
            break;
    }
    if (fa)
        fclose(fa);
    if (fb)
        fclose(fb);
    return same;
}

// A small HTTP/1.1 file server on 127.0.0.1: GET and HEAD of the files it is
// given, single ranges, keep-alive, a fixed Last-Modified when one is given,
// bodies sent with sendfile. It notes when each ranged GET arrives.
class FileServer {
  public:
    explicit FileServer(std::map<std::string, std::string> files, std::string lastModified = "")
        : files_(std::move(files)), lastModified_(std::move(lastModified)) {
        fd_ = socket(AF_INET, SOCK_STREAM, 0);
        int one = 1;
        setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
        socklen_t len = sizeof addr;
        getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len);
        port_ = ntohs(addr.sin_port);
        listen(fd_, 64);
        acceptor_ = std::thread([this] { acceptLoop(); });
    }
    ~FileServer() {
        stop_ = true;
        shutdown(fd_, SHUT_RDWR);
        close(fd_);
        acceptor_.join();
        std::lock_guard<std::mutex> g(m_);
        for (auto& t : workers_)
            t.join();
    }
    FileServer(const FileServer&) = delete;
    FileServer& operator=(const FileServer&) = delete;

    uint16_t port() const { return port_; }
    std::vector<double> rangedStarts() {
        std::lock_guard<std::mutex> g(m_);
        return rangedStarts_;
    }
    void clearStarts() {
        std::lock_guard<std::mutex> g(m_);
        rangedStarts_.clear();
    }

  private:
    void acceptLoop() {
        while (!stop_) {
            int c = accept(fd_, nullptr, nullptr);
            if (c < 0)
                break;
            std::lock_guard<std::mutex> g(m_);
            workers_.emplace_back([this, c] { serve(c); });
        }
    }
    void serve(int c) {
        std::string in;
        char buf[16384];
        for (;;) {
            size_t end;
            while ((end = in.find("\r\n\r\n")) == std::string::npos) {
                ssize_t n = recv(c, buf, sizeof buf, 0);
                if (n <= 0 || in.size() > 65536) {
                    close(c);
                    return;
                }
                in.append(buf, static_cast<size_t>(n));
            }
            std::string head = in.substr(0, end);
            in.erase(0, end + 4);
            std::string method = head.substr(0, head.find(' '));
            size_t t0 = head.find(' ') + 1;
            std::string target = head.substr(t0, head.find(' ', t0) - t0);
            std::string lower = head;
            for (char& ch : lower)
                ch = static_cast<char>(tolower(static_cast<unsigned char>(ch)));
            auto it = files_.find(target);
            if (it == files_.end()) {
                const char* nf = "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n";
                send(c, nf, strlen(nf), MSG_NOSIGNAL);
                continue;
            }
            int file = open(it->second.c_str(), O_RDONLY);
            struct stat st {};
            fstat(file, &st);
            uint64_t size = static_cast<uint64_t>(st.st_size), first = 0,
                     last = size ? size - 1 : 0;
            bool ranged = false;
            size_t r = lower.find("\r\nrange: bytes=");
            if (r != std::string::npos) {
                ranged = true;
                unsigned long long a = 0, b = 0;
                int got = sscanf(lower.c_str() + r + 15, "%llu-%llu", &a, &b);
                first = a;
                if (got == 2 && b < last)
                    last = b;
                if (method == "GET") {
                    std::lock_guard<std::mutex> g(m_);
                    rangedStarts_.push_back(nowSeconds());
                }
            }
            uint64_t length = size == 0 ? 0 : last - first + 1;
            std::string resp = ranged ? "HTTP/1.1 206 Partial Content\r\n" : "HTTP/1.1 200 OK\r\n";
            resp += "Content-Length: " + std::to_string(length) + "\r\n";
            if (ranged)
                resp += "Content-Range: bytes " + std::to_string(first) + "-" +
                        std::to_string(last) + "/" + std::to_string(size) + "\r\n";
            if (!lastModified_.empty())
                resp += "Last-Modified: " + lastModified_ + "\r\n";
            resp += "Accept-Ranges: bytes\r\nConnection: keep-alive\r\n\r\n";
            send(c, resp.data(), resp.size(), MSG_NOSIGNAL);
            if (method == "GET") {
                off_t off = static_cast<off_t>(first);
                uint64_t left = length;
                while (left > 0) {
                    ssize_t n = sendfile(c, file, &off, std::min<uint64_t>(left, 1 << 30));
                    if (n <= 0)
                        break;
                    left -= static_cast<uint64_t>(n);
                }
            }
            close(file);
        }
    }

    std::map<std::string, std::string> files_;
    std::string lastModified_;
    int fd_ = -1;
    uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread acceptor_;
    std::mutex m_;
    std::vector<std::thread> workers_;
    std::vector<double> rangedStarts_;
};

} // namespace twbench
