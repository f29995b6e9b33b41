// Resumable downloads through twfetch side by side with the curl command-line
// tool resuming the same file (-C -): a 256 MiB file from a loopback server,
// each side starting from a partial file holding its first half, then from
// nothing. Prints both throughputs and their ratio (aim 0.8, never below
// 0.5), the registry record updates per MiB saved (at most one per save) and
// twfetch's peak memory (aim under 16 MiB plus the 1 MiB save limit).
// Prints; never fails.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
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
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;
namespace fs = std::filesystem;

namespace {

const char kLastModified[] = "Wed, 21 Oct 2015 07:28:00 GMT";
const uint64_t kFileBytes = 256ull << 20;
const uint64_t kHalf = kFileBytes / 2;
const double kMiB = 1024.0 * 1024.0;

double nowSeconds() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + ts.tv_nsec / 1e9;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

struct Run {
    int exitCode = -1;
    double seconds = 0;
    long maxRssKb = 0;
};

// Runs a program with extra environment entries; its output is discarded.
Run run(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env = {}) {
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
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    Run r;
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

// One file over HTTP/1.1 on 127.0.0.1: GET with or without one range, a fixed
// Last-Modified, one request per connection, the body sent with sendfile.
class RangeServer {
  public:
    explicit RangeServer(std::string path) : path_(std::move(path)) {
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
    ~RangeServer() {
        shutdown(fd_, SHUT_RDWR);
        close(fd_);
        acceptor_.join();
        std::lock_guard<std::mutex> g(m_);
        for (auto& t : workers_)
            t.join();
    }
    uint16_t port() const { return port_; }

  private:
    void acceptLoop() {
        for (;;) {
            int c = accept(fd_, nullptr, nullptr);
            if (c < 0)
                return;
            std::lock_guard<std::mutex> g(m_);
            workers_.emplace_back([this, c] { serve(c); });
        }
    }
    void serve(int c) {
        std::string head;
        char buf[8192];
        while (head.find("\r\n\r\n") == std::string::npos && head.size() < 65536) {
            ssize_t n = recv(c, buf, sizeof buf, 0);
            if (n <= 0)
                break;
            head.append(buf, static_cast<size_t>(n));
        }
        std::string lower = head;
        for (char& ch : lower)
            ch = static_cast<char>(tolower(static_cast<unsigned char>(ch)));
        int file = open(path_.c_str(), O_RDONLY);
        struct stat st {};
        fstat(file, &st);
        const uint64_t size = static_cast<uint64_t>(st.st_size);
        uint64_t first = 0, last = size - 1;
        const size_t r = lower.find("\r\nrange: bytes=");
        const bool ranged = r != std::string::npos;
        if (ranged) {
            unsigned long long a = 0, b = 0;
            int got = sscanf(lower.c_str() + r + 15, "%llu-%llu", &a, &b);
            first = a;
            if (got == 2 && b < last)
                last = b;
        }
        const uint64_t length = last - first + 1;
        std::string resp = ranged ? "HTTP/1.1 206 Partial Content\r\n" : "HTTP/1.1 200 OK\r\n";
        resp += "Content-Length: " + std::to_string(length) + "\r\n";
        if (ranged)
            resp += "Content-Range: bytes " + std::to_string(first) + "-" + std::to_string(last) +
                    "/" + std::to_string(size) + "\r\n";
        resp += std::string("Last-Modified: ") + kLastModified +
                "\r\nAccept-Ranges: bytes\r\nConnection: close\r\n\r\n";
        send(c, resp.data(), resp.size(), MSG_NOSIGNAL);
        off_t off = static_cast<off_t>(first);
        uint64_t left = length;
        while (left > 0) {
            ssize_t n = sendfile(c, file, &off, std::min<uint64_t>(left, 1 << 30));
            if (n <= 0)
                break;
            left -= static_cast<uint64_t>(n);
        }
        close(file);
        shutdown(c, SHUT_WR);
        while (recv(c, buf, sizeof buf, 0) > 0) {
        }
        close(c);
    }

    std::string path_;
    int fd_ = -1;
    uint16_t port_ = 0;
    std::thread acceptor_;
    std::mutex m_;
    std::vector<std::thread> workers_;
};

void writeSourceFile(const std::string& path, uint64_t bytes) {
    FILE* f = fopen(path.c_str(), "wb");
    std::vector<uint64_t> block(1 << 17);
    uint64_t x = 0x9E3779B97F4A7C15ull;
    for (uint64_t done = 0; done < bytes; done += block.size() * 8) {
        for (auto& w : block) {
            x ^= x << 13;
            x ^= x >> 7;
            x ^= x << 17;
            w = x;
        }
        fwrite(block.data(), 1, std::min<uint64_t>(bytes - done, block.size() * 8), f);
    }
    fclose(f);
}

// The first `bytes` of the source file at `path`.
void writePrefix(const std::string& source, const std::string& path, uint64_t bytes) {
    fs::remove(path);
    fs::copy_file(source, path);
    fs::resize_file(path, bytes);
}

bool sameFile(const std::string& a, const std::string& b) {
    if (fs::file_size(a) != fs::file_size(b))
        return false;
    std::ifstream x(a, std::ios::binary), y(b, std::ios::binary);
    std::vector<char> p(1 << 20), q(1 << 20);
    while (x && y) {
        x.read(p.data(), p.size());
        y.read(q.data(), q.size());
        if (x.gcount() != y.gcount() || memcmp(p.data(), q.data(), x.gcount()) != 0)
            return false;
    }
    return true;
}

size_t countLines(const std::string& path, const std::string& part) {
    std::ifstream in(path);
    std::string line;
    size_t n = 0;
    while (std::getline(in, line))
        n += line.find(part) != std::string::npos;
    return n;
}

} // namespace

int main(int argc, char** argv) {
    const std::string build = TW_BUILD_DIR, source = TW_SOURCE_DIR;
    const std::string twfetch = build + "/tools/twfetch/twfetch";
    const std::string twreg = build + "/tools/twreg/twreg";
    const int rounds = argc > 1 ? std::max(1, atoi(argv[1])) : 3;
    // The probe's body is never read: the client leaves while the server sends.
    signal(SIGPIPE, SIG_IGN);

    const std::string dir = build + "/bench-resumable";
    fs::remove_all(dir);
    fs::create_directories(dir + "/drives/c/Agent/logs");
    fs::create_directories(dir + "/drives/c/Agent/DownloadRepository");
    fs::create_directories(dir + "/drives/c/Temp");
    fs::create_directories(dir + "/drives/c/Downloads");
    fs::create_directories(dir + "/curl");
    const std::string file = dir + "/big.bin";
    writeSourceFile(file, kFileBytes);
    RangeServer server(file);

    const std::string db = dir + "/registry.db";
    const std::map<std::string, std::string> env = {
        {"TW_REGISTRY", db}, {"TW_DRIVE_ROOT", dir + "/drives"}, {"TEMP", "C:\\Temp"}};
    const std::string key = "HKLM\\SOFTWARE\\WOW6432Node\\Brightmoor\\Tidewell\\TWAgent";
    const std::string meta = key + "\\FileMetaData";
    const std::string url = "/big.bin";
    const std::string id = "1700000000424242";
    auto reg = [&](std::vector<std::string> args) {
        args.insert(args.begin(), {twreg, "--registry", db});
        return run(args).exitCode;
    };
    auto logLevel = [&](int level) {
        return reg({"add", key, "/v", "TWAgentLogLevel", "/t", "REG_DWORD", "/d",
                    std::to_string(level), "/f"});
    };
    if (reg({"import", source + "/tests/data/resumable/agent-resumable.reg"}) != 0 ||
        reg({"add", key + "\\ServerInfo", "/v", "TWServerPort", "/d", std::to_string(server.port()),
             "/f"}) != 0 ||
        reg({"add", meta, "/v", "InterSaveByteLimit", "/t", "REG_DWORD", "/d", "1048576", "/f"}) !=
            0 ||
        logLevel(1) != 0) {
        printf("bench_resumable: cannot prepare the registry with %s\n", twreg.c_str());
        return 0;
    }
    const std::string partial = dir + "/drives/c/Agent/DownloadRepository/" + id;
    const std::string dest = dir + "/drives/c/Downloads/big.bin";
    // The state an interrupted run leaves: half the file and its record.
    auto prepareOurs = [&](uint64_t bytes) {
        fs::remove(dest);
        if (bytes == 0) {
            fs::remove(partial);
            reg({"delete", meta, "/v", url, "/f"});
            return;
        }
        writePrefix(file, partial, bytes);
        reg({"add", meta, "/v", url, "/d", id, "/f"});
        reg({"add", meta + "\\" + id, "/v", "PartialFileSize", "/t", "REG_DWORD", "/d",
             std::to_string(bytes), "/f"});
        reg({"add", meta + "\\" + id, "/v", "LastModifiedTime", "/d", kLastModified, "/f"});
        reg({"add", meta + "\\" + id, "/v", "LastRetryTime", "/d", "0", "/f"});
    };
    const std::vector<std::string> ours = {twfetch, "download", url, "C:\\Downloads\\big.bin"};
    const std::string curlOut = dir + "/curl/big.bin";
    const std::vector<std::string> curl = {
        "curl",
        "-s",
        "-C",
        "-",
        "-o",
        curlOut,
        "http://127.0.0.1:" + std::to_string(server.port()) + url};

    struct Side {
        std::vector<double> rates;
        bool allSame = true;
        long peakKb = 0;
    };
    for (uint64_t start : {kHalf, uint64_t(0)}) {
        Side tw, cu;
        const double transferred = static_cast<double>(kFileBytes - start) / kMiB;
        for (int i = 0; i < rounds; ++i) {
            prepareOurs(start);
            Run r = run(ours, env);
            tw.rates.push_back(transferred / r.seconds);
            tw.allSame = tw.allSame && r.exitCode == 0 && sameFile(file, dest);
            tw.peakKb = std::max(tw.peakKb, r.maxRssKb);

            if (start == 0)
                fs::remove(curlOut);
            else
                writePrefix(file, curlOut, start);
            r = run(curl);
            cu.rates.push_back(transferred / r.seconds);
            cu.allSame = cu.allSame && r.exitCode == 0 && sameFile(file, curlOut);
        }
        const double ratio = median(tw.rates) / median(cu.rates);
        printf("resume from %3llu MiB of 256: twfetch %8.1f MiB/s   curl -C - %8.1f MiB/s   ratio "
               "%.2f (aim 0.80, floor 0.50)%s%s\n",
               static_cast<unsigned long long>(start >> 20), median(tw.rates), median(cu.rates),
               ratio, tw.allSame ? "" : "   TWFETCH FILE DIFFERS",
               cu.allSame ? "" : "   CURL FILE DIFFERS");
        printf(
            "    twfetch peak memory %.1f MiB (aim under %.1f MiB: 16 MiB plus the save limit)\n",
            tw.peakKb / 1024.0, 16.0 + 1.0);
    }

    // One more resume at debug level, to count the saves and record updates.
    const std::string log = dir + "/drives/c/Agent/logs/twfetch.log";
    logLevel(3);
    prepareOurs(kHalf);
    fs::remove(log);
    Run r = run(ours, env);
    const size_t saves = countLines(log, "Inside ProcessDownloadedBuffer");
    const size_t updates = countLines(log, "updated registry entries");
    const double saved = static_cast<double>(kFileBytes - kHalf) / kMiB;
    printf("registry: %zu record updates for %zu saves of %.0f MiB: %.2f updates per MiB, %.2f "
           "per save (at most 1), each writing 3 values%s\n",
           updates, saves, saved, updates / saved, saves ? double(updates) / saves : 0.0,
           r.exitCode == 0 ? "" : "   (run failed)");
    fs::remove_all(dir);
    return 0;
}
