#include "http/agent_request.h"
#include "base/settings.h"
#include "base/text_helpers.h"
#include "base/time_helpers.h"
#include "http/downloads.h"
#include "http/http_common.h"
#include "http/posts.h"
#include "base/log.h"
#include "registry/registry_helpers.h"

#include <stdlib.h>
#include <string.h>

#include <mutex>
#include <string>


namespace {

// Guards the replacement of the last-access texts, the only settings written
// after start-up.
std::mutex g_lastAccessLock;

bool isFailoverResult(DWORD r) {
    return r == 400 || r == ERROR_WINHTTP_TIMEOUT || r == ERROR_WINHTTP_INVALID_URL ||
           r == ERROR_WINHTTP_NAME_NOT_RESOLVED || r == ERROR_WINHTTP_CANNOT_CONNECT;
}

bool isSuccessResult(DWORD r) {
    return r == 0 || r == RESULT_NOT_MODIFIED;
}

bool isUsable(const char* address) {
    return address != nullptr && strlen(address) > 2;
}

bool containsNoCase(const std::string& text, const char* what) {
    std::string t = text, w = what;
    for (char& c : t)
        c = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
    for (char& c : w)
        c = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
    return t.find(w) != std::string::npos;
}

WCHAR* toWideOrNull(const char* s) {
    WCHAR* w = nullptr;
    if (s == nullptr || !ChangeToWideStr(s, &w))
        return nullptr;
    return w;
}

// Everything one attempt needs besides the address.
struct Exchange {
    int kind;
    int transferType;
    BYTE proxyFlag;
    const char* protocol;
    int port;
    const WCHAR* proxyServer;
    const WCHAR* proxyBypass;
    const WCHAR* proxyUserName;
    const WCHAR* proxyPassword;
    const WCHAR* objectPath;
    const WCHAR* wideDestination;
    const char* destination; // posts: the data or file name, untouched
    char** dataOutput;
    BYTE keepAlive;
    DWORD postSize;
};

// One attempt with one address; a download kind of a transfer type other
// than 0 and 1 performs no exchange and leaves the result as it was.
DWORD attempt(const Exchange& x, const WCHAR* address, DWORD current) {
    switch (x.kind) {
    case POST_DATA:
    case POST_REQUEST:
    case POST_MULTIPART:
        return InternetSendRequestEx(x.proxyFlag, x.protocol, address, x.port, x.proxyServer,
                                     x.proxyBypass, x.proxyUserName, x.proxyPassword, x.objectPath,
                                     x.destination, x.dataOutput, x.kind, x.keepAlive, x.postSize);
    case UPLOAD_FILE:
        return InternetSendRequestByBitRate(x.proxyFlag, x.protocol, address, x.port, x.proxyServer,
                                            x.proxyBypass, x.proxyUserName, x.proxyPassword,
                                            x.objectPath, x.destination, x.dataOutput, x.kind,
                                            x.keepAlive, x.postSize);
    default:
        if (x.transferType == TRANSFER_PLAIN)
            return InternetGetRequestEx(x.proxyFlag, x.protocol, address, x.port, x.proxyServer,
                                        x.proxyBypass, x.proxyUserName, x.proxyPassword,
                                        x.objectPath, x.wideDestination, x.dataOutput, x.kind,
                                        x.keepAlive);
        if (x.transferType == TRANSFER_THROTTLED)
            return InternetGetRequestByBitrate(x.proxyFlag, x.protocol, address, x.port,
                                               x.proxyServer, x.proxyBypass, x.proxyUserName,
                                               x.proxyPassword, x.objectPath, x.wideDestination,
                                               x.dataOutput, x.kind, x.keepAlive);
        return current;
    }
}

// The URL as sent: slashes, then the rewrite of the product edition.
std::string requestPath(const char* url, bool toMainServer, int kind) {
    std::string path(url);
    for (char& c : path)
        if (c == '\\')
            c = '/';
    const char* code = gv_twProductCode != nullptr ? gv_twProductCode : "";
    if (_stricmp(code, "TWCL") == 0) {
        if (!toMainServer || (kind != GET_DATA && kind != DOWNLOAD_FILE)) {
            LogInfo(
                "AgentSendRequest - gv_twProductCode is [%s], toTWServer is set to [%d]. Request "
                "Type is NOT GET_DATA / DOWNLOAD_FILE and is [%d]\n",
                code, toMainServer ? 1 : 0, kind);
        } else if (containsNoCase(path, "/agentRequest?") || containsNoCase(path, "/agentSlot?") ||
                   containsNoCase(path, "/agenttrayicon?") || containsNoCase(path, "agentinfo?")) {
            LogInfo("AgentSendRequest - gv_twProductCode is [%s], requestType is GET_DATA / "
                    "DOWNLOAD_FILE [%d] and is servlet request \n",
                    code, kind);
        } else {
            path = "clientdatarequest?fileName=" + path;
        }
    } else if (_stricmp(code, "TWPRV") == 0) {
        path = "tw/" + path;
        LogInfo("AgentSendRequest - gv_twProductCode is [%s], requestType is GET_DATA / "
                "DOWNLOAD_FILE [%d] \n",
                code, kind);
    } else {
        LogDebug("AgentSendRequest - Stand Alone / MSP build : gv_twProductCode is [%s] \n", code);
    }
    return path;
}

} // namespace

DWORD AgentSendRequest(const char* url, const char* destination, char** dataOutput, int requestKind,
                       BYTE keepAlive, BYTE toMainServer, DWORD postSize, int transferType) {
    if (url == nullptr) {
        LogError("AgentSendRequest : No URL given \n");
        return RESULT_INVALID_INPUT;
    }
    // Step 1: the server.
    const bool mainServer = toMainServer == 1 || EnableDistributionServer == nullptr ||
                            _stricmp(EnableDistributionServer, "yes") != 0;
    const char* protocolSetting = mainServer ? TWServerProtocol : DistributionServerProtocol;
    std::string protocol = protocolSetting != nullptr ? protocolSetting : "http";
    const int port = mainServer ? gv_serverPort : gv_distributionServerPort;
    if (port < 0 || port > 65535) {
        LogError("AgentSendRequest : The server port %d is not a valid port \n", port);
        return RESULT_INVALID_INPUT;
    }

    // Steps 2 to 4: the object path.
    std::string path = requestPath(url, mainServer, requestKind);
    char* utf8Raw = nullptr;
    if (!ChangeAnsiToUTF8Str(path.c_str(), &utf8Raw) || utf8Raw == nullptr)
        return RESULT_INVALID_INPUT;
    Owned<char> utf8(utf8Raw);
    LogInfo("AgentSendRequest : The url to get / send in UTF8 format is given by %s \n",
            utf8.get());
    WCHAR* objectRaw = nullptr;
    if (!ChangeUtf8ToWideStr(utf8.get(), &objectRaw) || objectRaw == nullptr)
        return RESULT_INVALID_INPUT;
    Owned<WCHAR> objectPath(objectRaw);

    // Step 5: the destination of the downloading kinds.
    Owned<WCHAR> wideDestination;
    if (transferType != TRANSFER_NONE && destination != nullptr) {
        WCHAR* w = nullptr;
        if (requestKind == GET_DATA && ChangeUtf8ToWideStr(destination, &w))
            wideDestination.reset(w);
        else if (requestKind == DOWNLOAD_FILE && ChangeToWideStr(destination, &w))
            wideDestination.reset(w);
    }

    // Step 6: the addresses, in the order tried. The last-access text is taken
    // as it is now; another thread may replace it meanwhile.
    char** lastAccessSetting = mainServer ? &TWLastAccessName : &DistributionLastAccessName;
    Owned<char> lastAccess;
    {
        std::lock_guard<std::mutex> lock(g_lastAccessLock);
        lastAccess.reset(TwTextDup(*lastAccessSetting));
    }
    const char* addresses[5] = {
        lastAccess.get(),
        mainServer ? TWServerIPAddress : DistributionServerIPAddress,
        mainServer ? TWServerSecIPAddress : DistributionServerSecIPAddress,
        mainServer ? TWServerName : DistributionServerName,
        mainServer ? TWServerFlatName : DistributionServerFlatName,
    };
    Owned<WCHAR> wideAddresses[5];
    for (int i = 0; i < 5; ++i)
        if (isUsable(addresses[i]))
            wideAddresses[i].reset(toWideOrNull(addresses[i]));

    // Step 7: the proxy (never towards the distribution server).
    BYTE proxyFlag = 0;
    Owned<WCHAR> proxyUser, proxyPassword, proxyServer, proxyBypass;
    if (ProxyEnabled != nullptr && _stricmp(ProxyEnabled, "yes") == 0) {
        proxyFlag = mainServer ? 1 : 0;
        proxyUser.reset(toWideOrNull(ProxyUserName));
        proxyPassword.reset(toWideOrNull(ProxyPassword));
        proxyServer.reset(toWideOrNull(ProxyServerName));
        proxyBypass.reset(toWideOrNull(ProxyByPass));
    }

    const Exchange x{requestKind,
                     transferType,
                     proxyFlag,
                     protocol.c_str(),
                     port,
                     proxyServer.get(),
                     proxyBypass.get(),
                     proxyUser.get(),
                     proxyPassword.get(),
                     objectPath.get(),
                     wideDestination.get(),
                     destination,
                     dataOutput,
                     keepAlive,
                     postSize};

    // Step 8: failover across the addresses.
    DWORD result = ERROR_WINHTTP_NAME_NOT_RESOLVED;
    int reached = -1; // the address that becomes the last-access address
    auto tryAddress = [&](int i) -> bool {
        if (!isUsable(addresses[i]) || !wideAddresses[i])
            return false;
        result = attempt(x, wideAddresses[i].get(), result);
        return true;
    };
    bool stop = false;
    if (tryAddress(0) && !isFailoverResult(result))
        stop = true;
    if (!stop && tryAddress(1) && isSuccessResult(result)) {
        reached = 1;
        stop = true;
    }
    for (int i = 2; i <= 4 && !stop; ++i) {
        if (!tryAddress(i))
            continue;
        if (isSuccessResult(result))
            reached = i;
        if (i == 4 || !isFailoverResult(result))
            stop = true;
    }
    if (reached > 0) {
        std::lock_guard<std::mutex> lock(g_lastAccessLock);
        char* copy = TwTextDup(addresses[reached]);
        if (copy != nullptr) {
            free(*lastAccessSetting);
            *lastAccessSetting = copy;
        }
    }

    // Step 9: remember the address that answered.
    if (isSuccessResult(result)) {
        std::string key = std::string(gv_RegKey) + "\\ServerInfo";
        const char* valueName = mainServer ? "TWLastAccessName" : "DistributionLastAccessName";
        Owned<char> text;
        {
            std::lock_guard<std::mutex> lock(g_lastAccessLock);
            text.reset(TwTextDup(*lastAccessSetting));
        }
        if (text) {
            writeValue(HKEY_LOCAL_MACHINE, key.c_str(), valueName, text.get(), REG_SZ);
            LogInfo("AgentSendRequest : Last Access Address is %s \n", text.get());
        }
    }
    return result;
}

DWORD AgentSendRequest(const char* url, char** dataOutput, BYTE keepAlive) {
    return AgentSendRequest(url, nullptr, dataOutput, GET_DATA, keepAlive, 1, 0, TRANSFER_PLAIN);
}

int GetLocalTimeInSeconds() {
    TIME_ZONE_INFORMATION tzi;
    memset(&tzi, 0, sizeof(tzi));
    if (GetTimeZoneInformation(&tzi) == TIME_ZONE_ID_DAYLIGHT)
        tzi.Bias -= tzi.DaylightBias;
    SYSTEMTIME utc, local;
    GetSystemTime(&utc);
    if (!SystemTimeToTzSpecificLocalTime(&tzi, &utc, &local))
        local = utc;
    return GetTimeInSeconds(local);
}
