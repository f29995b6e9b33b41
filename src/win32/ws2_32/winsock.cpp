// Windows Sockets start-up for the Linux build: version negotiation and the
// start-up count, as ws2_32 keeps them. The socket calls themselves are not
// part of this layer.
#include <windows.h>
#include <winsock2.h>

#include <string.h>

#include <mutex>

namespace {

std::mutex g_lock;
unsigned g_startups = 0;

} // namespace

extern "C" {

int WSAStartup(WORD versionRequested, LPWSADATA data) {
    if (data == nullptr)
        return WSAEFAULT;
    BYTE major = LOBYTE(versionRequested);
    BYTE minor = HIBYTE(versionRequested);
    // Versions 1.0 to 2.2 exist; a later request gets 2.2, an earlier one fails.
    if (major == 0)
        return WSAVERNOTSUPPORTED;
    WORD granted = versionRequested;
    if (major > 2 || (major == 2 && minor > 2))
        granted = MAKEWORD(2, 2);
    else if (major == 1 && minor > 1)
        granted = MAKEWORD(1, 1);
    memset(data, 0, sizeof *data);
    data->wVersion = granted;
    data->wHighVersion = MAKEWORD(2, 2);
    strcpy(data->szDescription, "WinSock 2.0");
    strcpy(data->szSystemStatus, "Running");
    std::lock_guard<std::mutex> g(g_lock);
    ++g_startups;
    return 0;
}

int WSACleanup(void) {
    std::lock_guard<std::mutex> g(g_lock);
    if (g_startups == 0) {
        SetLastError(WSANOTINITIALISED);
        return SOCKET_ERROR;
    }
    --g_startups;
    return 0;
}

// Windows keeps the sockets error in the thread's last-error slot.
int WSAGetLastError(void) {
    return static_cast<int>(GetLastError());
}
void WSASetLastError(int error) {
    SetLastError(static_cast<DWORD>(error));
}

} // extern "C"
