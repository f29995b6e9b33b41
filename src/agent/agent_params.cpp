#include "agent/agent_params.h"
#include "base/settings.h"
#include "machine/crypto_probe.h"
#include "machine/machine_details.h"
#include "agent/resource_id.h"
#include "base/text_support.h"
#include "base/log.h"
#include "registry/registry_helpers.h"

#include <ctype.h>
#include <stdlib.h>
#include <string.h>

#include <string>

namespace {

const char kServerKey[] = "Software\\Brightmoor\\Tidewell\\TWAgent\\ServerInfo";

char* copyText(const char* s, size_t extra = 0) {
    size_t n = strlen(s);
    auto* p = static_cast<char*>(calloc(n + 1 + extra, 1));
    if (p != nullptr)
        memcpy(p, s, n);
    return p;
}

void replaceText(char*& slot, char* value) {
    free(slot);
    slot = value;
}

// Reads a text value of `key` into `slot` (null on failure, as the reader clears it).
DWORD readText(const char* key, const char* name, char*& slot) {
    char* value = nullptr;
    DWORD rc = ReadRegSZ(HKEY_LOCAL_MACHINE, key, name, &value);
    replaceText(slot, value);
    return rc;
}

// atoi of registry text, bounded: digits beyond the range of int saturate.
int textToInt(const char* s) {
    if (s == nullptr)
        return 0;
    while (isspace(static_cast<unsigned char>(*s)))
        ++s;
    bool neg = false;
    if (*s == '+' || *s == '-')
        neg = *s++ == '-';
    long long v = 0;
    for (; *s >= '0' && *s <= '9'; ++s) {
        v = v * 10 + (*s - '0');
        if (v > 2147483648LL)
            v = 2147483648LL;
    }
    if (neg)
        v = -v;
    if (v > 2147483647LL)
        v = 2147483647LL;
    return static_cast<int>(v);
}

bool isYes(const char* s) {
    return s != nullptr && _stricmp(s, "yes") == 0;
}

// "http" unless a protocol of at least four characters is configured.
void defaultProtocol(DWORD rc, char*& protocol) {
    if (rc != ERROR_SUCCESS || protocol == nullptr || strlen(protocol) < 4)
        replaceText(protocol, copyText("http"));
}

int choosePort(const char* protocol, int port, int securePort) {
    return _stricmp(protocol, "http") == 0 ? port : securePort;
}

void readProxySettings() {
    LogDebug(CheckCryptographicClient() ? "Cryptographic client Ok\r\n"
                                        : "Cryptographic client error\r\n");
    readText(gv_RegKey, "ProxyUserName", ProxyUserName);
    char* stored = nullptr;
    DWORD rc = ReadRegSZ(HKEY_LOCAL_MACHINE, gv_RegKey, "ProxyPassword", &stored);
    // The password is a secret: the log says whether it is set, never what it is.
    size_t storedLen = (rc == ERROR_SUCCESS && stored) ? strlen(stored) : 0;
    LogDebug("Password from registry: %s (%d characters)\n", storedLen ? "set" : "not set",
             static_cast<int>(storedLen));
    readText(gv_RegKey, "ProxyServerName", ProxyServerName);
    readText(gv_RegKey, "ProxyByPass", ProxyByPass);
    LogDebug("Encrypted password is: %s (%d characters)\n", storedLen ? "set" : "not set",
             static_cast<int>(storedLen));
    size_t decodedLen = 0;
    char* decoded =
        (rc == ERROR_SUCCESS && stored) ? DecodeBase64Password(stored, &decodedLen) : nullptr;
    if (rc == ERROR_SUCCESS && stored && decoded == nullptr)
        LogError("Proxy password is not valid Base64; no proxy password is used\n");
    replaceText(ProxyPassword, decoded);
    LogDebug("Decrypted password is: %s (%d characters)\n", decoded ? "set" : "not set",
             static_cast<int>(decodedLen));
    free(stored);
    LogInfo("*********************************************************** \n");
    LogInfo("Proxy Server Name -> %s \n", ProxyServerName);
    LogInfo("Proxy UserName    -> %s \n", ProxyUserName);
    LogInfo("Proxy ByPass List -> %s \n", ProxyByPass);
    LogInfo("*********************************************************** \n");
}

void writeSummary() {
    LogInfo("****************************************************************** \n");
    LogInfo("Tidewell Server Name                -> %s \n", TWServerName);
    LogInfo("Tidewell Server Flat Name           -> %s \n", TWServerFlatName);
    LogInfo("Tidewell Server IPAddress           -> %s \n", TWServerIPAddress);
    LogInfo("Tidewell Server Secondary IPAddress -> %s \n", TWServerSecIPAddress);
    LogInfo("Tidewell Last Access Name           -> %s \n", TWLastAccessName);
    LogInfo("Tidewell Server Port                -> %d \n", gv_serverPort);
    LogInfo("Tidewell Server Protocol            -> %s \n", TWServerProtocol);
    LogInfo("Tidewell Agent Version              -> %s \n", TWAgentVersion);
    LogInfo("Tidewell Agent InstallDir           -> %s \n", gv_agentInstallDir);
    LogInfo("Tidewell Client Namespace           -> %s \n", gv_nameSpace);
    LogInfo("Tidewell Server Data Path           -> %s \n", gv_clientDataPath);
    LogInfo("Tidewell MSP Name\t           -> %s \n", MSPName);
    LogInfo("Tidewell Customer Name\t           -> %s \n", CustomerName);
    LogInfo("Tidewell Customer Id\t\t   -> %s \n", CustomerId);
    LogInfo("Tidewell Product Code               -> %s \n", gv_twProductCode);
    LogInfo("Local Computer Name                       -> %s \n", gv_localComputerName);
    LogInfo("Local Computer IP Address                 -> %s \n", gv_localIPAddress);
    LogInfo("Local Computer MAC Address                -> %s \n", gv_localMACAddress);
    LogInfo("Local Computer Subnet Mask                -> %s \n", gv_localSubnetMask);
    LogInfo("TW Distribution Server Enabled            -> %s \n", EnableDistributionServer);
    LogInfo("The remote office name is                 -> %s \n", RemoteOfficeName);
    LogInfo("Tidewell Agent HTTP Request Timeout -> %d \n", HTTPRequestTimeout);
    LogInfo("Local Computer Domain controller          -> %s \n", gv_domainController);
    LogInfo("The Agent Machine Resource Id is given by -> %s \n", TWAgentResourceID);
    LogInfo("Agent Checksum Enabled\t\t               -> %d \n", EnableChecksum);
    LogInfo("Agent Data Transfer Rate in KBps\t\t   -> %d \n", DataTransferRate_KBps);
    LogInfo("****************************************************************** \n");
}

char* routedCopy(const char* source) {
    return source ? copyText(source, 10) : nullptr;
}

// From here on the HTTP client talks to the distribution server.
void routeThroughDistributionServer() {
    replaceText(TWServerName, routedCopy(DistributionServerName));
    replaceText(TWServerFlatName, routedCopy(DistributionServerName));
    replaceText(TWServerIPAddress, routedCopy(DistributionServerIPAddress));
    replaceText(TWServerSecIPAddress, routedCopy(DistributionServerSecIPAddress));
    replaceText(TWLastAccessName, routedCopy(DistributionLastAccessName));
    replaceText(ProxyEnabled, copyText("NO"));
}

void readDataTransferRate() {
    char* text = nullptr;
    DWORD rc = ReadRegSZ(HKEY_LOCAL_MACHINE, gv_RegKey, "DataTransferRate_KBps", &text);
    bool writeZero = false;
    if (rc != ERROR_SUCCESS || text == nullptr || text[0] == '\0') {
        DataTransferRate_KBps = 0;
        writeZero = true;
    } else {
        DataTransferRate_KBps = static_cast<DWORD>(textToInt(text));
        if (DataTransferRate_KBps > 3072) {
            DataTransferRate_KBps = 0;
            writeZero = true;
        }
    }
    free(text);
    if (writeZero)
        writeValue(HKEY_LOCAL_MACHINE, gv_RegKey, "DataTransferRate_KBps", "0", REG_SZ);
}

void readEnableDSRoute() {
    char* text = nullptr;
    DWORD rc = ReadRegSZ(HKEY_LOCAL_MACHINE, gv_RegKey, "EnableDSRoute", &text);
    EnableDSRoute = 0;
    if (rc == ERROR_SUCCESS) {
        if (text != nullptr && text[0] != '\0')
            EnableDSRoute = isYes(text) ? 1 : 0;
    } else if (writeValue(HKEY_LOCAL_MACHINE, gv_RegKey, "EnableDSRoute", "no", REG_SZ) !=
               ERROR_SUCCESS) {
        LogError(
            "InitializeAgentDetails : Error while fetching GetEnableDSRoute from registry! \n");
    }
    free(text);
}

void readDword(const char* name, DWORD& slot, DWORD fallback) {
    DWORD v = 0;
    if (ReadDwordRegistryData(HKEY_LOCAL_MACHINE, gv_RegKey, name, &v) == ERROR_SUCCESS)
        slot = v;
    else
        slot = fallback;
}

void buildClientDataPath() {
    std::string customer = CustomerId ? CustomerId : "";
    for (char& c : customer)
        c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    char* space = ToLowerUtf8(gv_nameSpace ? gv_nameSpace : "");
    std::string path = "client-data/" + customer + "/domains/" + (space ? space : "");
    free(space);
    replaceText(gv_clientDataPath, copyText(path.c_str()));
}

} // namespace

char* DecodeBase64Password(const char* text, size_t* decodedLength) {
    if (decodedLength)
        *decodedLength = 0;
    if (text == nullptr)
        return nullptr;
    size_t len = strlen(text);
    size_t start = 0;
    while (start < len && isspace(static_cast<unsigned char>(text[start])))
        ++start;
    size_t end = len;
    while (end > start && isspace(static_cast<unsigned char>(text[end - 1])))
        --end;
    size_t n = end - start;
    if (n % 4 != 0)
        return nullptr;
    auto* out = static_cast<char*>(calloc(len / 4 * 3 + 2, 1));
    if (out == nullptr)
        return nullptr;
    auto value = [](unsigned char c) -> int {
        if (c >= 'A' && c <= 'Z')
            return c - 'A';
        if (c >= 'a' && c <= 'z')
            return c - 'a' + 26;
        if (c >= '0' && c <= '9')
            return c - '0' + 52;
        if (c == '+')
            return 62;
        if (c == '/')
            return 63;
        return -1;
    };
    size_t o = 0;
    for (size_t i = start; i < end; i += 4) {
        const auto* g = reinterpret_cast<const unsigned char*>(text + i);
        int a = value(g[0]), b = value(g[1]);
        if (a < 0 || b < 0) {
            free(out);
            return nullptr;
        }
        if (g[2] == '=' && g[3] == '=') {
            out[o++] = static_cast<char>((a << 2) | (b >> 4));
            break;
        }
        int c = value(g[2]);
        if (c < 0) {
            free(out);
            return nullptr;
        }
        if (g[3] == '=') {
            out[o++] = static_cast<char>((a << 2) | (b >> 4));
            out[o++] = static_cast<char>(((b & 0xF) << 4) | (c >> 2));
            break;
        }
        int d = value(g[3]);
        if (d < 0) {
            free(out);
            return nullptr;
        }
        out[o++] = static_cast<char>((a << 2) | (b >> 4));
        out[o++] = static_cast<char>(((b & 0xF) << 4) | (c >> 2));
        out[o++] = static_cast<char>(((c & 0x3) << 6) | d);
    }
    out[o] = '\0';
    if (decodedLength)
        *decodedLength = o;
    return out;
}

DWORD GetCustomerId(char** out) {
    char* value = nullptr;
    DWORD rc = ReadRegSZ(HKEY_LOCAL_MACHINE, gv_RegKey, "CustomerId", &value);
    if (rc != ERROR_SUCCESS || value == nullptr || value[0] == '\0') {
        free(value);
        LogError("GetCustomerId: error while retrieving customerid\n");
        return ERROR_INVALID_DATA;
    }
    replaceText(*out, value);
    return ERROR_SUCCESS;
}

DWORD InitializeServerDetailsFromRegistry() {
    const char* fn = "InitializeServerDetailsFromRegistry";
    const char* nameLine = "%s : Error while fetching server name from registry! \n";
    if (readText(kServerKey, "TWServerName", TWServerName) != ERROR_SUCCESS) {
        LogError(nameLine, fn);
        return ERROR_INVALID_DATA;
    }
    if (readText(kServerKey, "TWServerInstalledTime", TWServerInstalledTime) != ERROR_SUCCESS)
        LogError("%s : Error while fetching server installed time from registry! \n", fn);
    if (readText(kServerKey, "TWServerFlatName", TWServerFlatName) != ERROR_SUCCESS)
        LogError(nameLine, fn);
    if (readText(kServerKey, "TWServerIPAddress", TWServerIPAddress) != ERROR_SUCCESS)
        LogError("%s : Error while fetching server ipaddress from registry! \n", fn);
    if (readText(kServerKey, "TWServerSecIPAddress", TWServerSecIPAddress) != ERROR_SUCCESS)
        LogError("%s : Error while fetching server Secondary ipaddress from registry! \n", fn);
    else if (TWServerSecIPAddress && strlen(TWServerSecIPAddress) <= 2)
        replaceText(TWServerSecIPAddress, nullptr);
    if (readText(kServerKey, "TWLastAccessName", TWLastAccessName) != ERROR_SUCCESS)
        LogError(nameLine, fn);
    char* text = nullptr;
    if (ReadRegSZ(HKEY_LOCAL_MACHINE, kServerKey, "TWServerPort", &text) != ERROR_SUCCESS) {
        free(text);
        LogError("%s : Error while fetching server port from registry! \n", fn);
        return ERROR_INVALID_DATA;
    }
    TWServerPort = textToInt(text);
    free(text);
    text = nullptr;
    if (ReadRegSZ(HKEY_LOCAL_MACHINE, kServerKey, "TWServerSecurePort", &text) == ERROR_SUCCESS)
        TWServerSecurePort = textToInt(text);
    else
        TWServerSecurePort = TWServerPort + 363;
    free(text);
    DWORD rc = readText(kServerKey, "TWServerProtocol", TWServerProtocol);
    defaultProtocol(rc, TWServerProtocol);
    gv_serverPort = choosePort(TWServerProtocol, TWServerPort, TWServerSecurePort);
    return ERROR_SUCCESS;
}

DWORD InitializeDSServerDetailsFromRegistry() {
    const char* fn = "InitializeDSServerDetailsFromRegistry";
    LogDebug("%s : Reading reporting server regsirty entries\n", fn);
    if (readText(kServerKey, "DistributionServerName", DistributionServerName) != ERROR_SUCCESS) {
        LogError("%s : Error while fetching Reporting server name from registry! \n", fn);
        return ERROR_INVALID_DATA;
    }
    if (readText(kServerKey, "DistributionServerFlatName", DistributionServerFlatName) !=
        ERROR_SUCCESS)
        LogError("%s : Error while fetching Reporting server flat name from registry! \n", fn);
    if (readText(kServerKey, "DistributionLastAccessName", DistributionLastAccessName) !=
        ERROR_SUCCESS)
        LogError("%s : Error while fetching Reporting server last access name from registry! \n",
                 fn);
    char* text = nullptr;
    if (ReadRegSZ(HKEY_LOCAL_MACHINE, kServerKey, "DistributionServerPort", &text) !=
        ERROR_SUCCESS) {
        free(text);
        LogError("%s : Error while fetching Reporting server port from registry! \n", fn);
        return ERROR_INVALID_DATA;
    }
    DistributionServerPort = textToInt(text);
    free(text);
    text = nullptr;
    if (ReadRegSZ(HKEY_LOCAL_MACHINE, kServerKey, "DistributionServerSecurePort", &text) ==
        ERROR_SUCCESS)
        DistributionServerSecurePort = textToInt(text);
    else
        DistributionServerSecurePort = DistributionServerPort + 363;
    free(text);
    if (readText(kServerKey, "DistributionServerIPAddress", DistributionServerIPAddress) !=
        ERROR_SUCCESS)
        LogError("%s : Error while fetching Reporting server ipaddress from registry! \n", fn);
    if (readText(kServerKey, "DistributionServerSecIPAddress", DistributionServerSecIPAddress) !=
        ERROR_SUCCESS)
        LogError("%s : Error while fetching Reporting secondary server ipaddress from registry! \n",
                 fn);
    else if (DistributionServerSecIPAddress && strlen(DistributionServerSecIPAddress) <= 3)
        replaceText(DistributionServerSecIPAddress, nullptr);
    // The distribution server always speaks the management server's protocol.
    writeValue(HKEY_LOCAL_MACHINE, kServerKey, "DistributionServerProtocol",
               TWServerProtocol ? TWServerProtocol : "http", REG_SZ);
    DWORD rc = readText(kServerKey, "DistributionServerProtocol", DistributionServerProtocol);
    defaultProtocol(rc, DistributionServerProtocol);
    gv_distributionServerPort = choosePort(DistributionServerProtocol, DistributionServerPort,
                                           DistributionServerSecurePort);
    return ERROR_SUCCESS;
}

DWORD InitializeAgentDetails() {
    const char* fn = "InitializeAgentDetails";
    if (readText(gv_RegKey, "TWAgentVersion", TWAgentVersion) != ERROR_SUCCESS) {
        LogError("%s : Error while fetching server name from registry! \n", fn);
        return ERROR_INVALID_DATA;
    }
    if (readText(gv_RegKey, "AgentServiceName", AgentServiceName) != ERROR_SUCCESS) {
        LogError("%s : Error while fetching agent service name from registry! \n", fn);
        return ERROR_INVALID_DATA;
    }
    if (readText(gv_RegKey, "MSPName", MSPName) != ERROR_SUCCESS) {
        LogError("%s : Error while fetching msp name from registry! \n", fn);
        return ERROR_INVALID_DATA;
    }
    if (readText(gv_RegKey, "CustomerName", CustomerName) != ERROR_SUCCESS) {
        LogError("%s : Error while fetching customer name from registry! \n", fn);
        return ERROR_INVALID_DATA;
    }
    if (GetCustomerId(&CustomerId) != ERROR_SUCCESS) {
        LogError("%s : Error while fetching customer Id from registry! \n", fn);
        return ERROR_INVALID_DATA;
    }
    char* product = nullptr;
    if (ReadRegSZ(HKEY_LOCAL_MACHINE, gv_RegKey, "TWProductCode", &product) != ERROR_SUCCESS) {
        free(product);
        LogError("%s : Error while fetching product Code from registry! \n", fn);
        return ERROR_INVALID_DATA;
    }
    replaceText(gv_twProductCode, product);
    if (readText(gv_RegKey, "TWAgentInstallDir", gv_agentInstallDir) != ERROR_SUCCESS) {
        LogError("%s : Error occured while retrieving the local computer name !!! \n", fn);
        return ERROR_INVALID_DATA;
    }
    if (readText(gv_RegKey, "RemoteOfficeName", RemoteOfficeName) != ERROR_SUCCESS)
        LogError("%s : Error while fetching branch office Name from registry! \n", fn);
    if (readText(gv_RegKey, "RemoteOfficeID", RemoteOfficeID) != ERROR_SUCCESS)
        LogError("%s : Error while fetching branch office ID from registry! \n", fn);
    if (readText(gv_RegKey, "EnableRemoteOfficeMgmt", EnableRemoteOfficeMgmt) != ERROR_SUCCESS)
        replaceText(EnableRemoteOfficeMgmt, copyText("NO"));
    readDword("HTTPRequestTimeout", HTTPRequestTimeout, 60000);
    readDword("HTTPConnectionTimeout", HTTPConnectionTimeout, 30000);
    readDataTransferRate();
    readEnableDSRoute();
    readDword("BlockCrashedConfig", BlockCrashedConfig, 0);
    LogDebug("%s : Some configuration is crashed (if value is one) : %d \n", fn,
             BlockCrashedConfig);
    readDword("ShutdownBlocked", ShutdownBlocked, 0);
    LogInfo("%s : BlockedShutdown value : %d \n", fn, ShutdownBlocked);
    buildClientDataPath();
    replaceText(TWAgentResourceID, nullptr);
    GetResourceID(&TWAgentResourceID);
    char* checksum = nullptr;
    if (ReadRegSZ(HKEY_LOCAL_MACHINE, gv_RegKey, "EnableChecksum", &checksum) == ERROR_SUCCESS)
        EnableChecksum = isYes(checksum) ? 1 : 0;
    else
        EnableChecksum = 1;
    free(checksum);
    return ERROR_SUCCESS;
}

DWORD InitializeAgentParameters() {
    LogDebug("@@@@@@@ Inside InitializeAgentParameters Method @@@@@@@@ \n");
    if (ProxyEnabled == nullptr)
        ProxyEnabled = copyText("NO");
    if (ProxyUserName == nullptr)
        ProxyUserName = copyText("");
    if (ProxyByPass == nullptr)
        ProxyByPass = copyText("<local>");
    if (gv_twProductCode == nullptr)
        gv_twProductCode = copyText("TWEX");

    typedef BOOL(WINAPI * IsWow64Fn)(HANDLE, PBOOL);
    HMODULE k32 = LoadLibraryA("kernel32.dll");
    HMODULE k32Loaded = GetModuleHandleA("kernel32");
    auto isWow64 = k32Loaded ? reinterpret_cast<IsWow64Fn>(reinterpret_cast<void*>(
                                   GetProcAddress(k32Loaded, "IsWow64Process")))
                             : nullptr;
    BOOL wow64 = FALSE;
    gv_IsWow64 = (isWow64 != nullptr && isWow64(GetCurrentProcess(), &wow64) && wow64) ? 1 : 0;
    if (k32 != nullptr)
        FreeLibrary(k32);

    // At most 254 characters; a longer TEMP leaves the folder empty rather than cut.
    memset(gv_tempDir, 0, sizeof gv_tempDir);
    DWORD n = GetEnvironmentVariableA("TEMP", gv_tempDir, sizeof gv_tempDir);
    if (n >= sizeof gv_tempDir)
        memset(gv_tempDir, 0, sizeof gv_tempDir);

    if (InitializeServerDetailsFromRegistry() != ERROR_SUCCESS) {
        LogError(
            "InitializeAgentParameters : Error while fetching Server details from registry! \n");
        return ERROR_INVALID_DATA;
    }
    if (readText(gv_RegKey, "EnableDistributionServer", EnableDistributionServer) !=
        ERROR_SUCCESS) {
        LogError("InitializeAgentParameters : Error while fetching Master Agent entry from "
                 "registry! \n");
        return ERROR_INVALID_DATA;
    }
    bool distribution = isYes(EnableDistributionServer);
    if (distribution) {
        if (InitializeDSServerDetailsFromRegistry() != ERROR_SUCCESS) {
            LogError("InitializeAgentParameters : Error while fetching DS Server details from "
                     "registry! \n");
            return ERROR_INVALID_DATA;
        }
    } else {
        replaceText(DistributionServerProtocol, copyText(TWServerProtocol));
        gv_distributionServerPort = gv_serverPort;
    }
    if (InitializeLocalMachineDetails() != ERROR_SUCCESS) {
        LogError("InitializeAgentParameters : Error while the local machine details ! \n");
        return ERROR_INVALID_DATA;
    }
    char* proxy = nullptr;
    if (ReadRegSZ(HKEY_LOCAL_MACHINE, gv_RegKey, "ProxyEnabled", &proxy) == ERROR_SUCCESS)
        replaceText(ProxyEnabled, proxy);
    else
        free(proxy);
    if (isYes(ProxyEnabled))
        readProxySettings();
    if (InitializeAgentDetails() != ERROR_SUCCESS) {
        LogError("InitializeAgentParameters : Error while the Agent details ! \n");
        return ERROR_INVALID_DATA;
    }
    writeSummary();
    if (distribution) {
        LogInfo("TW Distribution Server  Name      \t\t\t-> %s \n", DistributionServerName);
        LogInfo("TW Distribution Server  IPAddress \t\t\t-> %s \n", DistributionServerIPAddress);
        LogInfo("TW Distribution Server  Sec IPAddress         \t\t-> %s \n",
                DistributionServerSecIPAddress);
        LogInfo("TW Distribution Server  Port      \t\t\t-> %d \n", gv_distributionServerPort);
        LogInfo("TW Distribution Server  Last Access Name\t\t-> %s \n", DistributionLastAccessName);
        LogInfo("TW Distribution Server  Protocol  \t\t\t-> %s \n", DistributionServerProtocol);
        LogInfo("Remote Office ID                          -> %s \n", RemoteOfficeID);
        LogInfo("****************************************************************** \n");
        if (EnableDSRoute == 1) {
            routeThroughDistributionServer();
            LogInfo("Enable Distribution Server Route                       -> %d \n", 1);
            LogInfo("****************************************************************** \n");
        }
    }
    DWORD imaged = 0;
    if (ReadDwordRegistryData(HKEY_LOCAL_MACHINE, gv_RegKey, "ImagedComputer", &imaged) ==
            ERROR_SUCCESS &&
        imaged == 1) {
        LogInfo("InitializeAgentParameters : Computer is detected as imaged One .. \n");
        return 10047;
    }
    LogDebug("InitializeAgentParameters : Computer is not an imaged one .. \n");
    LogDebug("@@@@@@@@ End Of InitializeAgentParameters Method @@@@@@@@ \n");
    return ERROR_SUCCESS;
}
