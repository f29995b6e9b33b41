#include "support/proxy.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <fstream>

namespace twtest {

namespace {

uint16_t FreeLoopbackPort() {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return 0;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    uint16_t port = 0;
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0)
        port = ntohs(addr.sin_port);
    close(fd);
    return port;
}

bool Accepts(uint16_t port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(port);
    bool ok = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    close(fd);
    return ok;
}

void SleepMs(int ms) {
    timespec ts{ms / 1000, (ms % 1000) * 1000000L};
    nanosleep(&ts, nullptr);
}

} // namespace

TinyProxy::TinyProxy(const std::string& user, const std::string& password) {
    if (access(kProgram, X_OK) != 0) {
        error_ = std::string(kProgram) + " is not installed";
        return;
    }
    // Another process may take the free port between the probe and the start.
    for (int attempt = 0; attempt < 3 && pid_ <= 0; ++attempt)
        startOnce(user, password);
}

bool TinyProxy::startOnce(const std::string& user, const std::string& password) {
    port_ = FreeLoopbackPort();
    if (port_ == 0) {
        error_ = "no free port";
        return false;
    }
    const std::string conf = dir_.file("tinyproxy.conf");
    {
        std::ofstream out(conf, std::ios::trunc);
        out << "Port " << port_ << "\n"
            << "Listen 127.0.0.1\n"
            << "Timeout 600\n"
            << "MaxClients 64\n"
            << "Allow 127.0.0.1\n"
            << "LogFile \"" << dir_.file("tinyproxy.log") << "\"\n"
            << "LogLevel Info\n"
            << "PidFile \"" << dir_.file("tinyproxy.pid") << "\"\n"
            << "DisableViaHeader Yes\n";
        if (!user.empty())
            out << "BasicAuth " << user << " " << password << "\n";
    }
    const std::string output = dir_.file("tinyproxy.out");
    pid_t pid = fork();
    if (pid < 0) {
        error_ = "fork failed";
        return false;
    }
    if (pid == 0) {
        int fd = open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd >= 0) {
            dup2(fd, 1);
            dup2(fd, 2);
        }
        execl(kProgram, kProgram, "-d", "-c", conf.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    // Ready when the port accepts connections; a proxy that exits has failed.
    for (int waited = 0; waited < 10000; waited += 20) {
        int status = 0;
        if (waitpid(pid, &status, WNOHANG) == pid) {
            error_ = "tinyproxy exited: " + ReadFileText(output);
            return false;
        }
        if (Accepts(port_)) {
            pid_ = pid;
            return true;
        }
        SleepMs(20);
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    error_ = "tinyproxy did not start listening";
    return false;
}

TinyProxy::~TinyProxy() {
    if (pid_ <= 0)
        return;
    kill(pid_, SIGTERM);
    for (int waited = 0; waited < 5000; waited += 20) {
        if (waitpid(pid_, nullptr, WNOHANG) == pid_)
            return;
        SleepMs(20);
    }
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
}

std::string TinyProxy::address() const {
    return "127.0.0.1:" + std::to_string(port_);
}

std::string TinyProxy::log() const {
    const std::string path = dir_.file("tinyproxy.log");
    return FileExists(path) ? ReadFileText(path) : std::string();
}

} // namespace twtest
