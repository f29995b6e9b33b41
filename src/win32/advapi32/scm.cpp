// Service Control Manager for the Linux build. A service is a Unix-domain
// socket "<name>.ctl" in $TW_SERVICE_DIR (default /run/tidewell); the wire
// format is described in winsvc.h.
#include "kernel32/computer_name.h"
#include "kernel32/machine_profile.h"
#include "kernel32/text.h"

#include <winsvc.h>

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

namespace {

// Windows waits this long for a service's control handler before it gives
// ERROR_SERVICE_REQUEST_TIMEOUT.
const int kReplyTimeoutMs = 30000;
const size_t kMaxServiceName = 256;

struct ScObject {
    bool manager = false;
    DWORD access = 0;
    std::string socketPath; // services only
};

std::mutex g_lock;
std::unordered_map<const void*, std::unique_ptr<ScObject>>& objects() {
    static auto* map = new std::unordered_map<const void*, std::unique_ptr<ScObject>>();
    return *map;
}

SC_HANDLE registerObject(std::unique_ptr<ScObject> obj) {
    std::lock_guard<std::mutex> g(g_lock);
    const void* key = obj.get();
    objects()[key] = std::move(obj);
    return static_cast<SC_HANDLE>(const_cast<void*>(key));
}

// A copy of the object behind a handle, so that no lock is held while the
// caller talks to the service.
bool lookup(SC_HANDLE handle, ScObject& out) {
    std::lock_guard<std::mutex> g(g_lock);
    auto it = objects().find(handle);
    if (it == objects().end())
        return false;
    out = *it->second;
    return true;
}

std::string serviceDir() {
    const char* dir = getenv("TW_SERVICE_DIR");
    return dir != nullptr && *dir != '\0' ? dir : "/run/tidewell";
}

bool isSocket(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode);
}

// The socket of a service, found without regard to case; empty when none.
std::string findServiceSocket(const std::u16string& name) {
    std::string dir = serviceDir();
    std::string exact = dir + "/" + tw::Utf16ToUtf8(name) + ".ctl";
    if (isSocket(exact))
        return exact;
    DIR* d = opendir(dir.c_str());
    if (d == nullptr)
        return std::string();
    std::u16string wanted = name + u".ctl";
    std::string found;
    while (dirent* e = readdir(d)) {
        if (tw::EqualNoCase(tw::Utf8ToUtf16(e->d_name), wanted)) {
            std::string path = dir + "/" + e->d_name;
            if (isSocket(path)) {
                found = path;
                break;
            }
        }
    }
    closedir(d);
    return found;
}

// Connects to a Unix-domain socket; a path longer than sun_path is reached
// through its folder's descriptor. Returns the socket or -1 with errno set.
int connectUnix(const std::string& path) {
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::string target = path;
    int dirFd = -1;
    if (target.size() >= sizeof addr.sun_path) {
        size_t slash = path.rfind('/');
        dirFd = open(path.substr(0, slash).c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
        if (dirFd < 0) {
            int err = errno;
            close(fd);
            errno = err;
            return -1;
        }
        target = "/proc/self/fd/" + std::to_string(dirFd) + path.substr(slash);
        if (target.size() >= sizeof addr.sun_path) {
            close(dirFd);
            close(fd);
            errno = ENAMETOOLONG;
            return -1;
        }
    }
    memcpy(addr.sun_path, target.c_str(), target.size() + 1);
    int rc;
    do {
        rc = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    } while (rc != 0 && errno == EINTR);
    int err = errno;
    if (dirFd >= 0)
        close(dirFd);
    if (rc != 0) {
        close(fd);
        errno = err;
        return -1;
    }
    return fd;
}

bool sendAll(int fd, const unsigned char* data, size_t size) {
    while (size > 0) {
        ssize_t n = send(fd, data, size, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

// Reads exactly `size` bytes within the reply time-out.
bool receiveAll(int fd, unsigned char* data, size_t size) {
    while (size > 0) {
        pollfd p{fd, POLLIN, 0};
        int r = poll(&p, 1, kReplyTimeoutMs);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            return false;
        ssize_t n = recv(fd, data, size, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

DWORD readLe(const unsigned char* p) {
    return static_cast<DWORD>(p[0]) | (static_cast<DWORD>(p[1]) << 8) |
           (static_cast<DWORD>(p[2]) << 16) | (static_cast<DWORD>(p[3]) << 24);
}

// Rights that GENERIC_* requests stand for on a service object.
DWORD mapServiceAccess(DWORD access) {
    if (access & (GENERIC_ALL | MAXIMUM_ALLOWED))
        access |= SERVICE_ALL_ACCESS;
    if (access & GENERIC_READ)
        access |= STANDARD_RIGHTS_READ | SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS |
                  SERVICE_INTERROGATE | SERVICE_ENUMERATE_DEPENDENTS;
    if (access & GENERIC_WRITE)
        access |= STANDARD_RIGHTS_WRITE | SERVICE_CHANGE_CONFIG;
    if (access & GENERIC_EXECUTE)
        access |= STANDARD_RIGHTS_EXECUTE | SERVICE_START | SERVICE_STOP | SERVICE_PAUSE_CONTINUE |
                  SERVICE_USER_DEFINED_CONTROL;
    return access;
}

// The access right a control code needs; 0 for a code applications may not send.
DWORD rightForControl(DWORD control) {
    if (control >= 128 && control <= 255)
        return SERVICE_USER_DEFINED_CONTROL;
    switch (control) {
    case SERVICE_CONTROL_STOP:
        return SERVICE_STOP;
    case SERVICE_CONTROL_PAUSE:
    case SERVICE_CONTROL_CONTINUE:
    case SERVICE_CONTROL_PARAMCHANGE:
    case SERVICE_CONTROL_NETBINDADD:
    case SERVICE_CONTROL_NETBINDREMOVE:
    case SERVICE_CONTROL_NETBINDENABLE:
    case SERVICE_CONTROL_NETBINDDISABLE:
        return SERVICE_PAUSE_CONTINUE;
    case SERVICE_CONTROL_INTERROGATE:
        return SERVICE_INTERROGATE;
    default:
        return 0;
    }
}

std::u16string wideOrEmpty(LPCWSTR s) {
    return s != nullptr ? std::u16string(s) : u"";
}

} // namespace

extern "C" {

SC_HANDLE OpenSCManagerW(LPCWSTR machineName, LPCWSTR databaseName, DWORD desiredAccess) {
    try {
        // Only this machine's manager is reachable; there is no remote RPC.
        if (!tw::IsLocalMachineName(wideOrEmpty(machineName))) {
            SetLastError(RPC_S_SERVER_UNAVAILABLE);
            return nullptr;
        }
        if (databaseName != nullptr && !tw::EqualNoCase(databaseName, SERVICES_ACTIVE_DATABASEW)) {
            SetLastError(ERROR_DATABASE_DOES_NOT_EXIST);
            return nullptr;
        }
        auto obj = std::make_unique<ScObject>();
        obj->manager = true;
        obj->access = desiredAccess | SC_MANAGER_CONNECT;
        SetLastError(ERROR_SUCCESS);
        return registerObject(std::move(obj));
    } catch (...) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
}

SC_HANDLE OpenSCManagerA(LPCSTR machineName, LPCSTR databaseName, DWORD desiredAccess) {
    try {
        std::u16string machine = machineName ? tw::Utf8ToUtf16(machineName) : u"";
        std::u16string db = databaseName ? tw::Utf8ToUtf16(databaseName) : u"";
        return OpenSCManagerW(machineName ? machine.c_str() : nullptr,
                              databaseName ? db.c_str() : nullptr, desiredAccess);
    } catch (...) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
}

SC_HANDLE OpenServiceW(SC_HANDLE manager, LPCWSTR serviceName, DWORD desiredAccess) {
    try {
        ScObject m;
        if (!lookup(manager, m) || !m.manager) {
            SetLastError(ERROR_INVALID_HANDLE);
            return nullptr;
        }
        std::u16string name = wideOrEmpty(serviceName);
        if (name.empty() || name.size() > kMaxServiceName ||
            name.find_first_of(u"/\\") != std::u16string::npos) {
            SetLastError(ERROR_INVALID_NAME);
            return nullptr;
        }
        std::string path = findServiceSocket(name);
        if (path.empty()) {
            SetLastError(ERROR_SERVICE_DOES_NOT_EXIST);
            return nullptr;
        }
        DWORD access = mapServiceAccess(desiredAccess);
        // Controlling the service means writing to its socket.
        if ((access & ~(STANDARD_RIGHTS_READ | SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS |
                        SERVICE_ENUMERATE_DEPENDENTS)) != 0 &&
            ::access(path.c_str(), W_OK) != 0) {
            SetLastError(ERROR_ACCESS_DENIED);
            return nullptr;
        }
        auto obj = std::make_unique<ScObject>();
        obj->access = access;
        obj->socketPath = path;
        SetLastError(ERROR_SUCCESS);
        return registerObject(std::move(obj));
    } catch (...) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
}

SC_HANDLE OpenServiceA(SC_HANDLE manager, LPCSTR serviceName, DWORD desiredAccess) {
    try {
        if (serviceName == nullptr)
            return OpenServiceW(manager, nullptr, desiredAccess);
        std::u16string name = tw::Utf8ToUtf16(serviceName);
        return OpenServiceW(manager, name.c_str(), desiredAccess);
    } catch (...) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
}

BOOL ControlService(SC_HANDLE service, DWORD control, LPSERVICE_STATUS status) {
    try {
        ScObject s;
        if (!lookup(service, s) || s.manager) {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        if (status == nullptr) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        DWORD right = rightForControl(control);
        if (right == 0) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        if ((s.access & right) == 0) {
            SetLastError(ERROR_ACCESS_DENIED);
            return FALSE;
        }
        int fd = connectUnix(s.socketPath);
        if (fd < 0) {
            if (errno == EACCES || errno == EPERM) {
                SetLastError(ERROR_ACCESS_DENIED);
                return FALSE;
            }
            // No socket any more, or nobody accepting on it: the service is
            // installed but not running.
            memset(status, 0, sizeof *status);
            status->dwServiceType = SERVICE_WIN32_OWN_PROCESS;
            status->dwCurrentState = SERVICE_STOPPED;
            SetLastError(ERROR_SERVICE_NOT_ACTIVE);
            return FALSE;
        }
        unsigned char request[4] = {static_cast<unsigned char>(control & 0xFF),
                                    static_cast<unsigned char>((control >> 8) & 0xFF),
                                    static_cast<unsigned char>((control >> 16) & 0xFF),
                                    static_cast<unsigned char>((control >> 24) & 0xFF)};
        unsigned char reply[32];
        bool answered = sendAll(fd, request, sizeof request) && receiveAll(fd, reply, sizeof reply);
        close(fd);
        if (!answered) {
            // The service took the connection but gave no complete answer.
            SetLastError(ERROR_SERVICE_REQUEST_TIMEOUT);
            return FALSE;
        }
        DWORD result = readLe(reply);
        // The manager reports the status only with these results.
        if (result == ERROR_SUCCESS || result == ERROR_INVALID_SERVICE_CONTROL ||
            result == ERROR_SERVICE_CANNOT_ACCEPT_CTRL || result == ERROR_SERVICE_NOT_ACTIVE) {
            status->dwServiceType = readLe(reply + 4);
            status->dwCurrentState = readLe(reply + 8);
            status->dwControlsAccepted = readLe(reply + 12);
            status->dwWin32ExitCode = readLe(reply + 16);
            status->dwServiceSpecificExitCode = readLe(reply + 20);
            status->dwCheckPoint = readLe(reply + 24);
            status->dwWaitHint = readLe(reply + 28);
        }
        if (result != ERROR_SUCCESS) {
            SetLastError(result);
            return FALSE;
        }
        return TRUE;
    } catch (...) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
}

BOOL CloseServiceHandle(SC_HANDLE handle) {
    std::lock_guard<std::mutex> g(g_lock);
    if (objects().erase(handle) == 0) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}

} // extern "C"
