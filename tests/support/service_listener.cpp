#include "support/service_listener.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <stdexcept>

namespace twtest {

namespace {

void putLe(unsigned char* p, uint32_t v) {
    p[0] = static_cast<unsigned char>(v);
    p[1] = static_cast<unsigned char>(v >> 8);
    p[2] = static_cast<unsigned char>(v >> 16);
    p[3] = static_cast<unsigned char>(v >> 24);
}

// Reads exactly `size` bytes, giving up after 10 s of silence.
bool readFull(int fd, unsigned char* data, size_t size) {
    while (size > 0) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 10000) <= 0)
            return false;
        ssize_t n = read(fd, data, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

} // namespace

ServiceListener::ServiceListener(const std::string& dir, const std::string& name)
    : path_(dir + "/" + name + ".ctl") {
    listenFd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listenFd_ < 0 || pipe2(wakeFd_, O_CLOEXEC) != 0)
        throw std::runtime_error("service listener: socket failed");
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    // A long path is bound through its folder's descriptor.
    std::string target = path_;
    int dirFd = -1;
    if (target.size() >= sizeof addr.sun_path) {
        dirFd = open(dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
        target = "/proc/self/fd/" + std::to_string(dirFd) + "/" + name + ".ctl";
    }
    if (target.size() >= sizeof addr.sun_path)
        throw std::runtime_error("service listener: path too long");
    memcpy(addr.sun_path, target.c_str(), target.size() + 1);
    unlink(path_.c_str());
    int rc = bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    if (dirFd >= 0)
        close(dirFd);
    if (rc != 0 || listen(listenFd_, 16) != 0)
        throw std::runtime_error("service listener: bind failed: " + path_);
    thread_ = std::thread([this] { run(); });
}

ServiceListener::~ServiceListener() {
    stopListening();
    unlink(path_.c_str());
    close(wakeFd_[0]);
    close(wakeFd_[1]);
}

void ServiceListener::setResult(uint32_t result) {
    std::lock_guard<std::mutex> g(mutex_);
    result_ = result;
}

void ServiceListener::setMode(Mode mode) {
    std::lock_guard<std::mutex> g(mutex_);
    mode_ = mode;
}

void ServiceListener::stopListening() {
    if (!thread_.joinable())
        return;
    char c = 1;
    if (write(wakeFd_[1], &c, 1) != 1) {
        // The pipe cannot be full: one byte is ever written.
    }
    thread_.join();
    close(listenFd_);
    listenFd_ = -1;
}

std::vector<uint32_t> ServiceListener::codes() const {
    std::lock_guard<std::mutex> g(mutex_);
    return codes_;
}

void ServiceListener::run() {
    for (;;) {
        pollfd p[2] = {{listenFd_, POLLIN, 0}, {wakeFd_[0], POLLIN, 0}};
        if (poll(p, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        if (p[1].revents != 0)
            return;
        if (p[0].revents & POLLIN) {
            int client = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (client >= 0) {
                serve(client);
                close(client);
            }
        }
    }
}

void ServiceListener::serve(int client) {
    unsigned char request[4];
    if (!readFull(client, request, sizeof request))
        return;
    uint32_t code = request[0] | (request[1] << 8) | (request[2] << 16) |
                    (static_cast<uint32_t>(request[3]) << 24);
    uint32_t result;
    Mode mode;
    {
        // Recorded before the answer, so the caller sees it once ControlService returns.
        std::lock_guard<std::mutex> g(mutex_);
        codes_.push_back(code);
        result = result_;
        mode = mode_;
    }
    if (mode == Mode::HangUp)
        return;
    unsigned char reply[32] = {};
    putLe(reply, result);
    putLe(reply + 4, 0x10); // SERVICE_WIN32_OWN_PROCESS
    putLe(reply + 8, 4);    // SERVICE_RUNNING
    putLe(reply + 12, 0x1); // SERVICE_ACCEPT_STOP
    ssize_t n = send(client, reply, sizeof reply, MSG_NOSIGNAL);
    (void)n;
}

} // namespace twtest
