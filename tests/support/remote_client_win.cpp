#include "support/remote_client.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <stdlib.h>

#include <mutex>
#include <stdexcept>
#include <string>

namespace twtest::remote {

namespace {

std::mutex gLock;
SOCKET gSocket = INVALID_SOCKET;

void Connect() {
    const char* where = getenv("TW_SERVER_HOST");
    std::string hostPort = where != nullptr ? where : "";
    size_t colon = hostPort.rfind(':');
    if (colon == std::string::npos)
        throw std::runtime_error("TW_SERVER_HOST is not set: the loopback servers run in "
                                 "tw_server_host on the Linux side (tests/wine/run.sh starts it)");
    static WSADATA wsa;
    static int started = WSAStartup(MAKEWORD(2, 2), &wsa);
    if (started != 0)
        throw std::runtime_error("WSAStartup failed");
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<u_short>(atoi(hostPort.c_str() + colon + 1)));
    inet_pton(AF_INET, hostPort.substr(0, colon).c_str(), &addr.sin_addr);
    if (s == INVALID_SOCKET ||
        connect(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == SOCKET_ERROR) {
        if (s != INVALID_SOCKET)
            closesocket(s);
        throw std::runtime_error("cannot reach the server host at " + hostPort);
    }
    gSocket = s;
}

bool SendAll(const std::string& data) {
    size_t done = 0;
    while (done < data.size()) {
        int n = send(gSocket, data.data() + done, static_cast<int>(data.size() - done), 0);
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

bool RecvAll(char* buf, size_t n) {
    while (n > 0) {
        int got = recv(gSocket, buf, static_cast<int>(n), 0);
        if (got <= 0)
            return false;
        buf += got;
        n -= static_cast<size_t>(got);
    }
    return true;
}

} // namespace

Reader Call(const Writer& request) {
    std::lock_guard<std::mutex> hold(gLock);
    if (gSocket == INVALID_SOCKET)
        Connect();
    unsigned char header[4];
    uint32_t length = 0;
    if (!SendAll(Frame(request.bytes())) || !RecvAll(reinterpret_cast<char*>(header), 4) ||
        !FrameLength(header, &length)) {
        closesocket(gSocket);
        gSocket = INVALID_SOCKET;
        throw std::runtime_error("the server host connection broke");
    }
    std::string payload(length, '\0');
    if (length > 0 && !RecvAll(&payload[0], length)) {
        closesocket(gSocket);
        gSocket = INVALID_SOCKET;
        throw std::runtime_error("the server host connection broke");
    }
    Reader in(std::move(payload));
    std::string status = in.text();
    if (status != "ok")
        throw std::runtime_error("server host: " + in.text());
    return in;
}

} // namespace twtest::remote
