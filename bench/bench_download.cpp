// Downloads through twfetch side by side with the curl command-line tool:
// a 256 MiB file from a loopback server, throughput of both and their ratio
// (aim 0.8, never below 0.5), and twfetch's peak memory (aim under 16 MiB);
// then the throttled variant's achieved rate against the pacing rule (blocks
// of rate x 500 bytes, block starts at least 600 ms apart). Prints; never fails.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
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
namespace fs = std::filesystem;

namespace {

double nowSeconds() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + ts.tv_nsec / 1e9;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

struct RunResult {
    int exitCode = -1;
    double seconds = 0;
    long maxRssKb = 0;
};

// Runs a program with extra environment entries, standard output discarded.
RunResult run(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env) {
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
    RunResult r;
    double t0 = nowSeconds();
    pid_t pid = 0;
    if (posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), envp.data()) != 0) {
        posix_spawn_file_actions_destroy(&actions);
        return r;
    }
    posix_spawn_file_actions_destroy(&actions);
    int status = 0;
    rusage usage;
    memset(&usage, 0, sizeof usage);
    wait4(pid, &status, 0, &usage);
    r.seconds = nowSeconds() - t0;
    r.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    r.maxRssKb = usage.ru_maxrss;
    return r;
}

// A small HTTP/1.1 file server on 127.0.0.1: GET and HEAD, single ranges,
// keep-alive, bodies sent with sendfile. It notes when each ranged GET arrives.
class FileServer {
  public:
    explicit FileServer(std::map<std::string, std::string> files) : files_(std::move(files)) {
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
            struct stat st;
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
    int fd_ = -1;
    uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread acceptor_;
    std::mutex m_;
    std::vector<std::thread> workers_;
    std::vector<double> rangedStarts_;
};

void writePatternFile(const std::string& path, uint64_t bytes) {
    FILE* f = fopen(path.c_str(), "wb");
    std::vector<unsigned char> block(1 << 20);
    uint64_t x = 0x9E3779B97F4A7C15ull;
    for (uint64_t done = 0; done < bytes;) {
        for (size_t i = 0; i < block.size(); i += 8) {
            x ^= x << 13;
            x ^= x >> 7;
            x ^= x << 17;
            memcpy(&block[i], &x, 8);
        }
        size_t n = static_cast<size_t>(std::min<uint64_t>(block.size(), bytes - done));
        fwrite(block.data(), 1, n, f);
        done += n;
    }
    fclose(f);
}

bool sameFile(const std::string& a, const std::string& b) {
    std::error_code ec;
    if (fs::file_size(a, ec) != fs::file_size(b, ec))
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

} // namespace

int main(int argc, char** argv) {
    const std::string build = TW_BUILD_DIR, source = TW_SOURCE_DIR;
    const std::string twfetch = build + "/tools/twfetch/twfetch";
    const std::string twreg = build + "/tools/twreg/twreg";
    const int rounds = argc > 1 ? std::max(1, atoi(argv[1])) : 3;
    const uint64_t bigBytes = 256ull << 20;

    std::string dir = build + "/bench-download";
    fs::remove_all(dir);
    fs::create_directories(dir + "/drives/c/Agent/logs");
    fs::create_directories(dir + "/drives/c/Temp");
    fs::create_directories(dir + "/drives/c/out");
    fs::create_directories(dir + "/curl");
    std::string big = dir + "/big.bin", small = dir + "/small.bin";
    writePatternFile(big, bigBytes);
    writePatternFile(small, 5ull << 20);

    FileServer server({{"/big.bin", big}, {"/small.bin", small}});
    std::string db = dir + "/registry.db";
    std::map<std::string, std::string> env = {
        {"TW_REGISTRY", db}, {"TW_DRIVE_ROOT", dir + "/drives"}, {"TEMP", "C:\\Temp"}};
    const std::string key = "HKLM\\SOFTWARE\\WOW6432Node\\Brightmoor\\Tidewell\\TWAgent";
    auto reg = [&](std::vector<std::string> args) {
        args.insert(args.begin(), {twreg, "--registry", db});
        return run(args, {}).exitCode;
    };
    if (reg({"import", source + "/tests/data/http/agent-loopback.reg"}) != 0 ||
        reg({"add", key + "\\ServerInfo", "/v", "TWServerPort", "/d", std::to_string(server.port()),
             "/f"}) != 0 ||
        reg({"add", key + "\\ServerInfo", "/v", "TWLastAccessName", "/d", "127.0.0.1", "/f"}) !=
            0 ||
        reg({"add", key, "/v", "TWAgentLogLevel", "/t", "REG_DWORD", "/d", "1", "/f"}) != 0) {
        printf("bench_download: cannot prepare the registry with %s\n", twreg.c_str());
        return 0;
    }

    // Plain download: twfetch and curl, alternately.
    std::string url = "http://127.0.0.1:" + std::to_string(server.port()) + "/big.bin";
    std::vector<double> tw, cu;
    long peakKb = 0;
    bool allSame = true;
    std::vector<double> ratios;
    for (int i = 0; i < rounds; ++i) {
        // Alternate which runs first, so that neither always meets the other's writeback.
        auto fetch = [&] {
            fs::remove(dir + "/drives/c/out/big.bin");
            RunResult a = run({twfetch, "download", "/big.bin", "C:\\out\\big.bin"}, env);
            allSame = allSame && a.exitCode == 0 && sameFile(big, dir + "/drives/c/out/big.bin");
            tw.push_back(a.seconds);
            peakKb = std::max(peakKb, a.maxRssKb);
        };
        auto reference = [&] {
            fs::remove(dir + "/curl/big.bin");
            cu.push_back(run({"curl", "-s", "-o", dir + "/curl/big.bin", url}, {}).seconds);
        };
        if (i % 2 == 0) {
            fetch();
            reference();
        } else {
            reference();
            fetch();
        }
        ratios.push_back(cu.back() / tw.back());
    }
    RunResult startup = run({twfetch, "get", "/small.bin.none"}, env);
    double mb = static_cast<double>(bigBytes) / (1 << 20);
    double twRate = mb / median(tw), cuRate = mb / median(cu);
    printf("download 256 MiB      twfetch %8.1f MiB/s   curl %8.1f MiB/s   ratio %.2f "
           "(aim >= 0.8, never < 0.5)%s\n",
           twRate, cuRate, twRate / cuRate, allSame ? "" : "   [file differs or failed]");
    std::sort(ratios.begin(), ratios.end());
    printf("  per-round ratios over %d rounds: lowest %.2f, median %.2f, highest %.2f\n", rounds,
           ratios.front(), median(ratios), ratios.back());
    printf("twfetch peak RSS      %8.1f MiB (aim < 16 MiB); a run without a body takes %.0f ms\n",
           peakKb / 1024.0, startup.seconds * 1e3);

    // Throttled download of 5 MiB at 1024 KBps: 512000-byte blocks.
    const int rateKBps = 1024;
    reg({"add", key, "/v", "DataTransferRate_KBps", "/d", std::to_string(rateKBps), "/f"});
    server.clearStarts();
    fs::remove(dir + "/drives/c/out/small.bin");
    RunResult t =
        run({twfetch, "download", "/small.bin", "C:\\out\\small.bin", "--throttled"}, env);
    std::vector<double> starts = server.rangedStarts();
    double defined = rateKBps * 500.0 / 0.6; // bytes per second by the pacing rule
    if (t.exitCode != 0 || starts.size() < 2 || !sameFile(small, dir + "/drives/c/out/small.bin")) {
        printf("throttled download failed (exit %d, %zu blocks)\n", t.exitCode, starts.size());
        return 0;
    }
    double span = starts.back() - starts.front();
    double achieved = (starts.size() - 1) * rateKBps * 500.0 / span;
    printf("throttled 5 MiB @ %d KBps  %zu blocks, achieved %.0f B/s vs %.0f B/s by the pacing "
           "rule: ratio %.3f (aim within 5%%); whole run %.2f s\n",
           rateKBps, starts.size(), achieved, defined, achieved / defined, t.seconds);
    fs::remove_all(dir);
    return 0;
}
