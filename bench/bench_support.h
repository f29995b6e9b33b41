// What the benchmark rows share: clocks, medians, running a program with its
// time and peak memory, comparing files, a loopback file server, an nginx of
// the benchmark's own, and the report every row goes into.
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

#include <signal.h>
#include <sys/utsname.h>

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

namespace twbench {

inline double nowSeconds() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + ts.tv_nsec / 1e9;
}

// Processor time of the calling thread and of the whole process, user and
// system: what the in-process rows compare, as the machine is shared and wall
// time would measure the neighbours too.
inline double threadCpuSeconds() {
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + ts.tv_nsec / 1e9;
}
inline double processCpuSeconds() {
    timespec ts;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + ts.tv_nsec / 1e9;
}

inline double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    if (v.empty())
        return 0;
    size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// Runs the two sides of round `round` in turn, each starting first every other
// round, so that neither always meets a warm or a cold cache.
template <class A, class B> void inTurn(int round, A&& first, B&& second) {
    if (round % 2 == 0) {
        first();
        second();
    } else {
        second();
        first();
    }
}

struct RunResult {
    int exitCode = -1;
    double seconds = 0;    // wall time, spawn to exit
    double cpuSeconds = 0; // user and system time of the process
    long maxRssKb = 0;
};

// Starts a program (looked up on PATH) and waits for it. Its standard output,
// and standard error unless `keepStderr`, are discarded.
inline RunResult spawnAndWait(std::vector<std::string> argv, std::vector<std::string> envText,
                              bool keepStderr) {
    std::vector<char*> args, envp;
    for (auto& a : argv)
        args.push_back(a.data());
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
    r.cpuSeconds = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                   (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    r.maxRssKb = usage.ru_maxrss;
    return r;
}

// A helper process, forked while the benchmark is still small, that starts
// the programs measured: a child's peak memory as the kernel reports it
// includes the peak of the process it was started from, and the table rows
// leave the benchmark itself hundreds of MiB large.
class Spawner {
  public:
    // Call first thing, before any thread exists.
    static void start() {
        int toHelper[2], fromHelper[2];
        if (pipe(toHelper) != 0 || pipe(fromHelper) != 0)
            return;
        pid_t pid = fork();
        if (pid < 0)
            return;
        if (pid == 0) {
            close(toHelper[1]);
            close(fromHelper[0]);
            serve(toHelper[0], fromHelper[1]);
            _exit(0);
        }
        close(toHelper[0]);
        close(fromHelper[1]);
        instance().to_ = toHelper[1];
        instance().from_ = fromHelper[0];
        instance().pid_ = pid;
    }
    static void stop() {
        Spawner& s = instance();
        if (s.pid_ == 0)
            return;
        close(s.to_);
        close(s.from_);
        waitpid(s.pid_, nullptr, 0);
        s.pid_ = 0;
    }
    static RunResult run(const std::vector<std::string>& argv,
                         const std::vector<std::string>& envText, bool keepStderr) {
        Spawner& s = instance();
        std::lock_guard<std::mutex> g(s.m_);
        if (s.pid_ == 0)
            return spawnAndWait(argv, envText, keepStderr);
        std::string request;
        putList(request, argv);
        putList(request, envText);
        request += keepStderr ? '1' : '0';
        RunResult r;
        if (!writeAll(s.to_, request.data(), request.size()) || !readAll(s.from_, &r, sizeof r))
            r.exitCode = -1;
        return r;
    }

  private:
    static Spawner& instance() {
        static Spawner s;
        return s;
    }
    static void putList(std::string& out, const std::vector<std::string>& list) {
        uint32_t n = static_cast<uint32_t>(list.size());
        out.append(reinterpret_cast<const char*>(&n), sizeof n);
        for (const auto& item : list) {
            uint32_t len = static_cast<uint32_t>(item.size());
            out.append(reinterpret_cast<const char*>(&len), sizeof len);
            out += item;
        }
    }
    static bool readAll(int fd, void* data, size_t n) {
        auto* p = static_cast<char*>(data);
        while (n > 0) {
            ssize_t got = read(fd, p, n);
            if (got <= 0)
                return false;
            p += got;
            n -= static_cast<size_t>(got);
        }
        return true;
    }
    static bool writeAll(int fd, const void* data, size_t n) {
        const auto* p = static_cast<const char*>(data);
        while (n > 0) {
            ssize_t put = write(fd, p, n);
            if (put <= 0)
                return false;
            p += put;
            n -= static_cast<size_t>(put);
        }
        return true;
    }
    static bool getList(int fd, std::vector<std::string>& list) {
        uint32_t n = 0;
        if (!readAll(fd, &n, sizeof n))
            return false;
        for (uint32_t i = 0; i < n; ++i) {
            uint32_t len = 0;
            if (!readAll(fd, &len, sizeof len))
                return false;
            std::string item(len, '\0');
            if (len > 0 && !readAll(fd, item.data(), len))
                return false;
            list.push_back(std::move(item));
        }
        return true;
    }
    static void serve(int in, int out) {
        for (;;) {
            std::vector<std::string> argv, envText;
            char keep = 0;
            if (!getList(in, argv) || !getList(in, envText) || !readAll(in, &keep, 1))
                return;
            RunResult r = spawnAndWait(argv, envText, keep == '1');
            if (!writeAll(out, &r, sizeof r))
                return;
        }
    }
    int to_ = -1, from_ = -1;
    pid_t pid_ = 0;
    std::mutex m_;
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
    return Spawner::run(argv, envText, keepStderr);
}

// ---- the report ---------------------------------------------------------

// One row of the report: our figure beside its reference, their ratio and
// the aim the ratio (or, with `aimOnOurs`, our own figure) is held to.
struct Row {
    std::string name;
    double ours = 0;
    double reference = 0;
    std::string unit;
    std::string referenceName;
    double ratio = 0;
    std::string aim; // "<= 1.2", ">= 0.95", "report"
    double aimValue = 0;
    bool aimOnOurs = false; // the aim holds our figure, not the ratio
    std::string note;       // spread, peak memory, ...
    bool met() const {
        if (aim.rfind("<=", 0) == 0)
            return (aimOnOurs ? ours : ratio) <= aimValue;
        if (aim.rfind(">=", 0) == 0)
            return (aimOnOurs ? ours : ratio) >= aimValue;
        if (aim.rfind("<", 0) == 0)
            return (aimOnOurs ? ours : ratio) < aimValue;
        return true;
    }
};

class Report {
  public:
    void add(Row r) {
        printRow(r);
        rows_.push_back(std::move(r));
    }
    void header() const {
        printf("%-58s %14s  %-22s %7s  %-10s %s\n", "row", "ours", "reference", "ratio", "aim", "");
        printf("%s\n", std::string(124, '-').c_str());
    }
    // Writes every row, and the machine it ran on, as one JSON document.
    bool writeJson(const std::string& path, const std::string& machine) const {
        std::ofstream out(path);
        out << "{\n  \"machine\": " << machine << ",\n  \"rows\": [\n";
        for (size_t i = 0; i < rows_.size(); ++i) {
            const Row& r = rows_[i];
            out << "    {\"name\": " << quote(r.name) << ", \"ours\": " << num(r.ours)
                << ", \"reference\": " << num(r.reference) << ", \"unit\": " << quote(r.unit)
                << ", \"reference_name\": " << quote(r.referenceName)
                << ", \"ratio\": " << num(r.ratio) << ", \"aim\": " << quote(r.aim)
                << ", \"met\": " << (r.met() ? "true" : "false") << ", \"note\": " << quote(r.note)
                << "}" << (i + 1 < rows_.size() ? "," : "") << "\n";
        }
        out << "  ]\n}\n";
        return static_cast<bool>(out);
    }
    static std::string quote(const std::string& s) {
        std::string q = "\"";
        for (char c : s) {
            if (c == '"' || c == '\\')
                q += '\\';
            if (static_cast<unsigned char>(c) >= 0x20)
                q += c;
        }
        return q + "\"";
    }

  private:
    static std::string num(double v) {
        char b[32];
        snprintf(b, sizeof b, "%.4g", v);
        return b;
    }
    static void printRow(const Row& r) {
        // A row without a reference (peak memory) shows its own figure only.
        const bool alone = r.reference == 0 && r.referenceName.empty();
        char ours[40], ref[64], ratio[16];
        snprintf(ours, sizeof ours, "%.3g %s", r.ours, r.unit.c_str());
        snprintf(ref, sizeof ref, "%.3g %s%s%s", r.reference, r.unit.c_str(),
                 r.referenceName.empty() ? "" : " ", r.referenceName.c_str());
        snprintf(ratio, sizeof ratio, "%.2f", r.ratio);
        std::string verdict = r.aim == "report" ? "" : (r.met() ? "met" : "NOT met");
        printf("%-58s %14s  %-22s %7s  %-10s %s\n", r.name.c_str(), ours, alone ? "-" : ref,
               alone ? "-" : ratio, r.aim.c_str(), verdict.c_str());
        if (!r.note.empty())
            printf("    %s\n", r.note.c_str());
        fflush(stdout);
    }
    std::vector<Row> rows_;
};

// The machine the figures come from, as a JSON object and as one line.
inline std::string machineJson(std::string* line) {
    std::string model, memory;
    std::ifstream cpu("/proc/cpuinfo");
    for (std::string l; std::getline(cpu, l);)
        if (l.rfind("model name", 0) == 0) {
            model = l.substr(l.find(':') + 2);
            break;
        }
    std::ifstream mem("/proc/meminfo");
    for (std::string l; std::getline(mem, l);)
        if (l.rfind("MemTotal:", 0) == 0) {
            std::istringstream in(l.substr(9));
            long kb = 0;
            in >> kb;
            memory = std::to_string(kb / 1024 / 1024) + " GiB";
            break;
        }
    utsname u{};
    uname(&u);
    double load[3] = {0, 0, 0};
    getloadavg(load, 3);
    unsigned cores = std::thread::hardware_concurrency();
    char loadText[64];
    snprintf(loadText, sizeof loadText, "%.1f %.1f %.1f", load[0], load[1], load[2]);
    *line = std::to_string(cores) + " cores (" + model + "), " + memory + " RAM, Linux " +
            u.release + ", load average " + loadText;
    return "{\"cores\": " + std::to_string(cores) + ", \"cpu\": " + Report::quote(model) +
           ", \"memory\": " + Report::quote(memory) + ", \"kernel\": " + Report::quote(u.release) +
           ", \"load_average\": " + Report::quote(loadText) + "}";
}

// ---- an nginx of the benchmark's own ------------------------------------

// A port on 127.0.0.1 that was free a moment ago.
inline uint16_t freeLoopbackPort() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    socklen_t len = sizeof addr;
    getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    close(fd);
    return ntohs(addr.sin_port);
}

// nginx serving `root` on 127.0.0.1 from a configuration of its own (one
// process in the foreground, sendfile, no access log), stopped with the object.
class Nginx {
  public:
    Nginx(const std::string& root, const std::string& work) {
        std::filesystem::create_directories(work + "/tmp");
        port_ = freeLoopbackPort();
        std::string conf = work + "/nginx.conf";
        std::ofstream c(conf);
        c << "daemon off;\nmaster_process off;\nworker_processes 1;\npid " << work
          << "/nginx.pid;\nerror_log " << work << "/error.log;\nevents { worker_connections 64; }\n"
          << "http {\n  access_log off;\n  sendfile on;\n  tcp_nopush on;\n"
          << "  keepalive_timeout 30;\n  default_type application/octet-stream;\n"
          << "  client_body_temp_path " << work << "/tmp/body;\n  proxy_temp_path " << work
          << "/tmp/proxy;\n  fastcgi_temp_path " << work << "/tmp/fastcgi;\n  uwsgi_temp_path "
          << work << "/tmp/uwsgi;\n  scgi_temp_path " << work << "/tmp/scgi;\n"
          << "  server { listen 127.0.0.1:" << port_ << "; root " << root << "; }\n}\n";
        c.close();
        std::vector<std::string> argv = {"nginx", "-c", conf, "-p", work};
        std::vector<char*> args;
        for (auto& a : argv)
            args.push_back(a.data());
        args.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 2, (work + "/stderr.log").c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (posix_spawnp(&pid_, "nginx", &actions, nullptr, args.data(), environ) != 0)
            pid_ = 0;
        posix_spawn_file_actions_destroy(&actions);
        // Ready once it accepts a connection.
        for (int i = 0; pid_ != 0 && i < 200 && !ready_; ++i) {
            int fd = socket(AF_INET, SOCK_STREAM, 0);
            sockaddr_in addr{};
            addr.sin_family = AF_INET;
            addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            addr.sin_port = htons(port_);
            ready_ = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
            close(fd);
            if (!ready_)
                usleep(20000);
        }
    }
    ~Nginx() {
        if (pid_ != 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
        }
    }
    Nginx(const Nginx&) = delete;
    Nginx& operator=(const Nginx&) = delete;
    bool ready() const { return ready_; }
    uint16_t port() const { return port_; }

  private:
    pid_t pid_ = 0;
    uint16_t port_ = 0;
    bool ready_ = false;
};

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
