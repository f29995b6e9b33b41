#include "machine/machine_details.h"
#include "machine/os_name.h"
#include "base/text_helpers.h"
#include "base/format.h"
#include "base/log.h"

#include <dsgetdc.h>
#include <lm.h>
#include <stdlib.h>
#include <string.h>

#include <initializer_list>
#include <string>

char* gv_localIPAddress = nullptr;
char* gv_localMACAddress = nullptr;
char* gv_localSubnetMask = nullptr;
char* gv_domainController = nullptr;
char* gv_localComputerName = nullptr;
char* gv_nameSpace = nullptr;

namespace {

// Every append is bounded so that a list holds at most 32,766 characters.
const size_t kAppendBound = 0x7FFF;

// Appends `sep` (when given) and `item` only when both fit within the bound:
// an address is never cut in half.
void appendBounded(char* list, const char* sep, const char* item) {
    size_t len = strlen(list);
    size_t sepLen = sep ? strlen(sep) : 0;
    size_t itemLen = strlen(item);
    if (len + sepLen + itemLen >= kAppendBound)
        return;
    if (sepLen)
        memcpy(list + len, sep, sepLen);
    memcpy(list + len + sepLen, item, itemLen + 1);
}

std::string formatMac(const IP_ADAPTER_INFO* a) {
    std::string mac;
    UINT n = a->AddressLength;
    if (n > MAX_ADAPTER_ADDRESS_LENGTH)
        n = MAX_ADAPTER_ADDRESS_LENGTH;
    for (UINT i = 0; i < n; ++i) {
        if (i)
            mac += ':';
        mac += TwFormat("%02x", a->Address[i]);
    }
    return mac;
}

void trimWhiteSpace(std::string& s) {
    const char* ws = " \t\r\n\v\f";
    size_t end = s.find_last_not_of(ws);
    s.erase(end == std::string::npos ? 0 : end + 1);
    size_t start = s.find_first_not_of(ws);
    s.erase(0, start == std::string::npos ? s.size() : start);
}

char* copyText(const std::string& s) {
    auto* p = static_cast<char*>(calloc(s.size() + 1, 1));
    if (p != nullptr)
        memcpy(p, s.data(), s.size());
    return p;
}

// A field of a fixed-size record, read no further than the field itself.
std::string boundedText(const char* field, size_t size) {
    size_t n = 0;
    while (n < size && field[n])
        ++n;
    return std::string(field, n);
}

} // namespace

void AppendAdapterAddresses(const IP_ADAPTER_INFO* adapters, char* ipList, char* macList,
                            char* maskList) {
    for (const IP_ADAPTER_INFO* a = adapters; a != nullptr; a = a->Next) {
        std::string mac = formatMac(a);
        for (const IP_ADDR_STRING* ip = &a->IpAddressList; ip != nullptr; ip = ip->Next) {
            std::string addr = boundedText(ip->IpAddress.String, sizeof ip->IpAddress.String);
            std::string mask = boundedText(ip->IpMask.String, sizeof ip->IpMask.String);
            TwPrintf("%-10.d%-10.d%-20.20s%s\n", a->Index, ip->Context, addr.c_str(), mask.c_str());
            LogInfo("ipAddress :%-10.d%-10.d%-20.20s%s\n", a->Index, ip->Context, addr.c_str(),
                    mask.c_str());
            if (_stricmp(addr.c_str(), "0.0.0.0") == 0)
                continue;
            appendBounded(ipList, strlen(ipList) > 2 ? "," : nullptr, addr.c_str());
            if (mac.size() == 17)
                appendBounded(macList, strlen(macList) >= 2 ? "," : nullptr, mac.c_str());
            appendBounded(maskList, strlen(maskList) > 2 ? "," : nullptr, mask.c_str());
        }
    }
}

DWORD GetMACandIPAddress(char** ipList, char** macList, char** maskList) {
    auto* ips = static_cast<char*>(calloc(kAddressListBytes, 1));
    auto* macs = static_cast<char*>(calloc(kAddressListBytes, 1));
    auto* masks = static_cast<char*>(calloc(kAddressListBytes, 1));
    *ipList = ips;
    *macList = macs;
    *maskList = masks;
    if (ips == nullptr || macs == nullptr || masks == nullptr)
        return ERROR_NOT_ENOUGH_MEMORY;
    ULONG size = 0;
    DWORD rc = GetAdaptersInfo(nullptr, &size);
    if (rc != ERROR_SUCCESS && rc != ERROR_BUFFER_OVERFLOW) {
        LogError("GetMACandIPAddress : GetAdaptersInfo sizing failed with error %d\n", rc);
        return rc;
    }
    auto* info = static_cast<IP_ADAPTER_INFO*>(GlobalAlloc(GPTR, size));
    if (info == nullptr) {
        LogError("GetMACandIPAddress : Memory allocation error\n");
        return GetLastError();
    }
    rc = GetAdaptersInfo(info, &size);
    if (rc != ERROR_SUCCESS) {
        LogError("GetMACandIPAddress : GetAdaptersInfo failed with error %d\n", rc);
        GlobalFree(info);
        return rc;
    }
    AppendAdapterAddresses(info, ips, macs, masks);
    if (macs[0] == '\0')
        memcpy(macs, "--", 3);
    GlobalFree(info);
    LogDebug("GetMACandIPAddress : Local Machine MAC ADDRESS : %s \n", macs);
    LogDebug("GetMACandIPAddress : Local Machine IP ADDRESS  : %s \n", ips);
    LogDebug("GetMACandIPAddress : Local Machine Subnet Mask : %s \n", masks);
    return ERROR_SUCCESS;
}

DWORD GetComputerLogonServer(char** name) {
    PDOMAIN_CONTROLLER_INFOA info = nullptr;
    DWORD rc = DsGetDcNameA(nullptr, nullptr, nullptr, nullptr, DS_RETURN_FLAT_NAME, &info);
    if (rc != ERROR_SUCCESS) {
        LogError("GetComputerLogonServer: Error while fetching DC name! %d \n", rc);
        return rc;
    }
    LogDebug("GetComputerLogonServer : DomainControllerName :%s \n", info->DomainControllerName);
    LogDebug("DomainControllerAddress :%s\n", info->DomainControllerAddress);
    LogDebug("DomainName :%s\n", info->DomainName);
    LogDebug("DnsForestName :%s\n", info->DnsForestName);
    LogDebug("DcSiteName :%s\n", info->DcSiteName);
    LogDebug("ClientSiteName :%s\n", info->ClientSiteName);
    const char* dc = info->DomainControllerName ? info->DomainControllerName : "";
    size_t len = strlen(dc);
    const char* from = len >= 2 ? dc + 2 : dc + len; // without the two leading backslashes
    auto* out = static_cast<char*>(calloc(4 * len + 2, 1));
    if (out != nullptr)
        memcpy(out, from, strlen(from));
    *name = out;
    NetApiBufferFree(info);
    return ERROR_SUCCESS;
}

int GetLocalComputerName(char** name) {
    WSADATA wsa;
    WSAStartup(MAKEWORD(2, 2), &wsa);
    WCHAR buffer[64] = {};
    DWORD size = 64;
    if (!GetComputerNameExW(ComputerNamePhysicalDnsHostname, buffer, &size)) {
        LogError("GetLocalComputerName: Error while getting computername! %d \n",
                 WSAGetLastError());
        WSACleanup();
        return 0;
    }
    LogDebug("GetLocalComputerName: Computer Name: %ws \n", buffer);
    char* utf8 = nullptr;
    if (!ChangeWideToUtf8Str(buffer, &utf8)) {
        WSACleanup();
        return 0;
    }
    *name = utf8;
    LogInfo("GetLocalComputerName : Computer Name : %s\n", utf8);
    WSACleanup();
    return 1;
}

int GetComputerNameSpace(char** name, BOOL* joinedToDomain) {
    LPWSTR joinName = nullptr;
    NETSETUP_JOIN_STATUS status = NetSetupUnknownStatus;
    NET_API_STATUS rc = NetGetJoinInformation(nullptr, &joinName, &status);
    if (rc != NERR_Success) {
        LogError("GetComputerNameSpace : Failed to retrive the namespace -> %d \n", rc);
        return 0;
    }
    char* utf8 = nullptr;
    bool converted = ChangeWideToUtf8Str(reinterpret_cast<const WCHAR*>(joinName), &utf8);
    NetApiBufferFree(joinName);
    if (!converted)
        return 0;
    *name = utf8;
    BOOL joined = FALSE;
    switch (status) {
    case NetSetupUnknownStatus:
        LogInfo("GetComputerNameSpace : The status is unknown. \n");
        break;
    case NetSetupUnjoined:
        LogInfo("GetComputerNameSpace :The computer is not joined. \n");
        break;
    case NetSetupWorkgroupName:
        LogInfo("GetComputerNameSpace :The computer is joined to a workgroup. \n");
        break;
    case NetSetupDomainName:
        LogInfo("GetComputerNameSpace :The computer is joined to a domain. \n");
        joined = TRUE;
        break;
    default:
        LogInfo("GetComputerNameSpace : The status is not determined .\n");
        break;
    }
    if (joinedToDomain != nullptr)
        *joinedToDomain = joined;
    return 1;
}

DWORD InitializeLocalMachineDetails() {
    // A second load of the configuration replaces the facts of the first.
    for (char** fact : {&gv_localIPAddress, &gv_localMACAddress, &gv_localSubnetMask,
                        &gv_domainController, &gv_localComputerName, &gv_nameSpace}) {
        free(*fact);
        *fact = nullptr;
    }
    if (GetMACandIPAddress(&gv_localIPAddress, &gv_localMACAddress, &gv_localSubnetMask) !=
        ERROR_SUCCESS)
        LogError("InitializeLocalMachineDetails : Error while fetching Local machine IP and MAC "
                 "Addresses! \n");
    if (GetComputerLogonServer(&gv_domainController) != ERROR_SUCCESS)
        LogError(
            "InitializeLocalMachineDetails : Error while fetching computer domain controller ! "
            "\n");
    if (!GetLocalComputerName(&gv_localComputerName)) {
        LogError(
            "InitializeLocalMachineDetails : Error occured while retrieving the local computer "
            "name !!! \n");
        return ERROR_INVALID_DATA;
    }
    char* space = nullptr;
    BOOL joined = FALSE;
    if (!GetComputerNameSpace(&space, &joined)) {
        LogError(
            "InitializeLocalMachineDetails : Error occured while retrieving the name space !!! "
            "\n");
        return ERROR_INVALID_DATA;
    }
    std::string trimmed(space);
    free(space);
    trimWhiteSpace(trimmed);
    gv_nameSpace = copyText(trimmed);
    return gv_nameSpace ? ERROR_SUCCESS : ERROR_NOT_ENOUGH_MEMORY;
}

int GetOsFamily() {
    OSVERSIONINFOEXA osvi;
    memset(&osvi, 0, sizeof osvi);
    osvi.dwOSVersionInfoSize = sizeof osvi;
    if (!GetVersionExA(reinterpret_cast<OSVERSIONINFOA*>(&osvi))) {
        LogError("GetOsFamily : Unable to find the OSVersion , Errorcode %d \n", GetLastError());
        return 1;
    }
    if (osvi.dwPlatformId != VER_PLATFORM_WIN32_NT || osvi.dwMajorVersion <= 4) {
        LogError("GetOsFamily :The windows is unable to found . \n");
        return -1;
    }
    DWORD major = osvi.dwMajorVersion, minor = osvi.dwMinorVersion;
    if (major == 5)
        return minor == 0 ? 0 : 1;
    if (major == 6 && minor <= 3)
        return static_cast<int>(2 + minor);
    if (major == 10 && minor == 0)
        return 6;
    return 7;
}

int isWin7orWin8() {
    char* name = GetOSNameEx();
    LogDebug("isWin7orWin8 : GetOSName %s\n", name ? name : "");
    free(name);
    int family = GetOsFamily();
    if (family == 3 || family == 4) {
        LogDebug("isWin7orWin8 : TRUE\n");
        return 1;
    }
    LogDebug("isWin7orWin8 : FALSE\n");
    return 0;
}
