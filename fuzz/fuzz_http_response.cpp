// HTTP responses as the Linux WinHTTP reads them: the input is everything a
// server sends back (status line, header block, body), served from a
// loopback socket to one request made through the WinHTTP calls. The answer
// is then read as the agent reads answers: status, every header query form,
// Content-Length and Content-Range as its downloads parse them, the body.
// Redirects are not followed, so nothing leaves this machine.
#include "http/http_common.h"
#include "http/resumable_internal.h"
#include "base/text_helpers.h"

#include <windows.h>
#include <winhttp.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <unistd.h>

#include <vector>

namespace {

int g_listener = -1;
int g_port = 0;

void Listen() {
    g_listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (g_listener < 0 || bind(g_listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        listen(g_listener, 16) != 0 ||
        getsockname(g_listener, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
        abort();
    g_port = ntohs(addr.sin_port);
}

// Takes the connection the request came on (the kernel accepted it while the
// request was sent), drops what the request wrote and sends the answer.
void Answer(const uint8_t* data, size_t size, int waitMs) {
    pollfd p{g_listener, POLLIN, 0};
    if (poll(&p, 1, waitMs) != 1)
        return;
    int fd = accept4(g_listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0)
        return;
    int big = 1 << 20;
    setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &big, sizeof big);
    char sink[4096];
    while (recv(fd, sink, sizeof sink, MSG_DONTWAIT) > 0) {
    }
    for (size_t sent = 0; sent < size;) {
        ssize_t n = send(fd, data + sent, size - sent, MSG_NOSIGNAL);
        if (n <= 0)
            break;
        sent += static_cast<size_t>(n);
    }
    shutdown(fd, SHUT_WR);
    close(fd);
}

void QueryEveryWay(HINTERNET request) {
    static const DWORD kLevels[] = {
        WINHTTP_QUERY_STATUS_CODE,    WINHTTP_QUERY_STATUS_TEXT,   WINHTTP_QUERY_VERSION,
        WINHTTP_QUERY_CONTENT_LENGTH, WINHTTP_QUERY_CONTENT_TYPE,  WINHTTP_QUERY_LAST_MODIFIED,
        WINHTTP_QUERY_RAW_HEADERS,    WINHTTP_QUERY_RAW_HEADERS_CRLF, WINHTTP_QUERY_LOCATION,
        WINHTTP_QUERY_PROXY_AUTHENTICATE, WINHTTP_QUERY_CONTENT_RANGE, WINHTTP_QUERY_DATE,
    };
    for (DWORD level : kLevels) {
        for (DWORD modifier : {0u, static_cast<DWORD>(WINHTTP_QUERY_FLAG_NUMBER),
                               static_cast<DWORD>(WINHTTP_QUERY_FLAG_SYSTEMTIME)}) {
            DWORD size = 0;
            WinHttpQueryHeaders(request, level | modifier, WINHTTP_HEADER_NAME_BY_INDEX, nullptr,
                                &size, WINHTTP_NO_HEADER_INDEX);
            std::vector<char> buffer(size + 2);
            DWORD index = 0;
            size = static_cast<DWORD>(buffer.size());
            WinHttpQueryHeaders(request, level | modifier, WINHTTP_HEADER_NAME_BY_INDEX,
                                buffer.data(), &size, &index);
            size = 3; // too small for most answers
            WinHttpQueryHeaders(request, level | modifier, WINHTTP_HEADER_NAME_BY_INDEX,
                                buffer.data(), &size, WINHTTP_NO_HEADER_INDEX);
        }
    }
    // Every header of one name, by index.
    WCHAR text[256];
    for (DWORD index = 0; index < 64;) {
        DWORD size = sizeof text;
        DWORD before = index;
        if (!WinHttpQueryHeaders(request, WINHTTP_QUERY_CUSTOM, TW_W("Set-Cookie"), text, &size,
                                 &index) ||
            index == before)
            break;
    }
    DWORD length = 0;
    twhttp::QueryContentLength(request, &length);
    char range[512] = {};
    DWORD size = sizeof text;
    if (WinHttpQueryHeaders(request, WINHTTP_QUERY_CONTENT_RANGE, WINHTTP_HEADER_NAME_BY_INDEX,
                            text, &size, WINHTTP_NO_HEADER_INDEX)) {
        for (size_t i = 0; i < size / sizeof(WCHAR) && i + 1 < sizeof range; ++i)
            range[i] = static_cast<char>(text[i] < 0x80 ? text[i] : '?');
        ULONGLONG first = 0, last = 0, total = 0;
        twresume::ParseContentRange(range, &first, &last, &total);
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    Listen();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    HINTERNET session = WinHttpOpen(TW_W("TidewellAgent"), WINHTTP_ACCESS_TYPE_NO_PROXY,
                                    WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0);
    HINTERNET connect =
        session ? WinHttpConnect(session, TW_W("127.0.0.1"), static_cast<INTERNET_PORT>(g_port), 0)
                : nullptr;
    HINTERNET request = connect ? WinHttpOpenRequest(connect, TW_W("GET"), TW_W("/file"), nullptr,
                                                     WINHTTP_NO_REFERER,
                                                     WINHTTP_DEFAULT_ACCEPT_TYPES, 0)
                                : nullptr;
    if (request != nullptr) {
        DWORD never = WINHTTP_OPTION_REDIRECT_POLICY_NEVER;
        WinHttpSetOption(request, WINHTTP_OPTION_REDIRECT_POLICY, &never, sizeof never);
        WinHttpSetTimeouts(request, 2000, 2000, 2000, 2000);
        if (WinHttpSendRequest(request, WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA,
                               0, 0, 0)) {
            Answer(data, size, 2000);
            if (WinHttpReceiveResponse(request, nullptr)) {
                QueryEveryWay(request);
                char body[8192];
                DWORD available = 0, read = 0;
                while (WinHttpQueryDataAvailable(request, &available) && available > 0 &&
                       WinHttpReadData(request, body, sizeof body, &read) && read > 0) {
                }
            }
        } else {
            Answer(nullptr, 0, 0); // a connection the send left behind
        }
    }
    for (HINTERNET h : {request, connect, session})
        if (h != nullptr)
            WinHttpCloseHandle(h);
    return 0;
}
