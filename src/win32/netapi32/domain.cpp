// Domain and workgroup membership for the Linux build (NetGetJoinInformation,
// DsGetDcNameA, NetApiBufferFree), from registry values a Windows machine
// keeps about its domain:
//
//   HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Group Policy\History
//       MachineDomain  REG_SZ  flat (NetBIOS) name of the domain the machine
//                              is joined to; present and not empty = joined
//       DCName         REG_SZ  the domain controller Group Policy last used,
//                              "\\dc01.corp.example.com" (or an IPv4 address)
//   HKLM\SYSTEM\CurrentControlSet\Services\Tcpip\Parameters
//       Domain         REG_SZ  the domain's DNS name (primary DNS suffix)
//   HKLM\SYSTEM\CurrentControlSet\Services\Netlogon\Parameters
//       SiteName, then DynamicSiteName  REG_SZ  the machine's site
//                              (default "Default-First-Site-Name")
//   HKLM\SYSTEM\CurrentControlSet\Services\VxD\VNETSUP
//       Workgroup      REG_SZ  workgroup of a machine that is not joined
//                              (default "WORKGROUP"; an empty text means
//                              not joined to anything)
//
// Windows NT keeps the workgroup name only in its LSA policy database, which
// has no readable registry value; VNETSUP is where Windows 9x kept it.
#include "kernel32/computer_name.h"
#include "kernel32/machine_profile.h"
#include "kernel32/run_report.h"
#include "kernel32/text.h"

#include <dsgetdc.h>
#include <lm.h>

#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

namespace {

const char16_t kGroupPolicyHistory[] =
    u"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Group Policy\\History";
const char16_t kTcpipParameters[] = u"SYSTEM\\CurrentControlSet\\Services\\Tcpip\\Parameters";
const char16_t kNetlogonParameters[] = u"SYSTEM\\CurrentControlSet\\Services\\Netlogon\\Parameters";
const char16_t kVnetsup[] = u"SYSTEM\\CurrentControlSet\\Services\\VxD\\VNETSUP";

struct Membership {
    bool joined = false;
    std::u16string flatDomain; // joined: the domain; else the workgroup
    std::u16string dnsDomain;  // joined only; falls back to the flat name
    std::u16string dcName;     // DCName without its leading backslashes
    std::u16string site;
};

std::u16string trimBackslashes(std::u16string s) {
    size_t i = 0;
    while (i < s.size() && s[i] == u'\\')
        ++i;
    return s.substr(i);
}

Membership readMembership() {
    Membership m;
    std::u16string domain;
    if (tw::ReadMachineString(kGroupPolicyHistory, u"MachineDomain", domain) && !domain.empty()) {
        m.joined = true;
        m.flatDomain = domain;
        if (!tw::ReadMachineString(kTcpipParameters, u"Domain", m.dnsDomain) || m.dnsDomain.empty())
            m.dnsDomain = domain;
        std::u16string dc;
        if (tw::ReadMachineString(kGroupPolicyHistory, u"DCName", dc))
            m.dcName = trimBackslashes(dc);
        if ((!tw::ReadMachineString(kNetlogonParameters, u"SiteName", m.site) || m.site.empty()) &&
            (!tw::ReadMachineString(kNetlogonParameters, u"DynamicSiteName", m.site) ||
             m.site.empty())) {
            m.site = u"Default-First-Site-Name";
            tw::NoteAssumption(kNetlogonParameters, u"SiteName", m.site,
                               tw::AssumedFrom::DefaultProfile);
        }
        return m;
    }
    if (!tw::ReadMachineString(kVnetsup, u"Workgroup", m.flatDomain)) {
        m.flatDomain = u"WORKGROUP";
        tw::NoteAssumption(kVnetsup, u"Workgroup", m.flatDomain, tw::AssumedFrom::DefaultProfile);
    }
    return m;
}

bool isIpv4(const std::u16string& s) {
    int dots = 0, digits = 0;
    for (char16_t c : s) {
        if (c == u'.') {
            if (digits == 0)
                return false;
            ++dots;
            digits = 0;
        } else if (c >= u'0' && c <= u'9') {
            if (++digits > 3)
                return false;
        } else {
            return false;
        }
    }
    return dots == 3 && digits > 0;
}

// The NetBIOS name Windows derives from a host name: first label, upper case,
// at most 15 characters.
std::u16string netBiosFromDns(const std::u16string& dns) {
    std::u16string n = dns.substr(0, dns.find(u'.'));
    if (n.size() > 15)
        n.resize(15);
    for (auto& c : n)
        if (c >= u'a' && c <= u'z')
            c = static_cast<char16_t>(c - 32);
    return n;
}

std::u16string withoutTrailingDot(std::u16string s) {
    if (!s.empty() && s.back() == u'.')
        s.pop_back();
    return s;
}

} // namespace

extern "C" {

NET_API_STATUS NetGetJoinInformation(LPCWSTR server, LPWSTR* nameBuffer,
                                     PNETSETUP_JOIN_STATUS bufferType) {
    if (nameBuffer == nullptr || bufferType == nullptr)
        return ERROR_INVALID_PARAMETER;
    try {
        if (server != nullptr && !tw::IsLocalMachineName(server))
            return RPC_S_SERVER_UNAVAILABLE;
        Membership m = readMembership();
        size_t bytes = (m.flatDomain.size() + 1) * sizeof(WCHAR);
        auto* name = static_cast<LPWSTR>(malloc(bytes));
        if (name == nullptr)
            return ERROR_NOT_ENOUGH_MEMORY;
        m.flatDomain.copy(name, m.flatDomain.size());
        name[m.flatDomain.size()] = u'\0';
        *nameBuffer = name;
        if (m.joined)
            *bufferType = NetSetupDomainName;
        else
            *bufferType = m.flatDomain.empty() ? NetSetupUnjoined : NetSetupWorkgroupName;
        return NERR_Success;
    } catch (...) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
}

DWORD DsGetDcNameA(LPCSTR computerName, LPCSTR domainName, GUID* domainGuid, LPCSTR siteName,
                   ULONG flags, PDOMAIN_CONTROLLER_INFOA* domainControllerInfo) {
    if (domainControllerInfo == nullptr)
        return ERROR_INVALID_PARAMETER;
    if (((flags & DS_RETURN_FLAT_NAME) && (flags & DS_RETURN_DNS_NAME)) ||
        ((flags & DS_IS_FLAT_NAME) && (flags & DS_IS_DNS_NAME)))
        return ERROR_INVALID_FLAGS;
    try {
        if (computerName != nullptr && !tw::IsLocalMachineName(tw::Utf8ToUtf16(computerName)))
            return RPC_S_SERVER_UNAVAILABLE;
        Membership m = readMembership();
        // A workgroup has no domain controller; neither has a domain whose
        // controller the machine never learnt.
        if (!m.joined || m.dcName.empty())
            return ERROR_NO_SUCH_DOMAIN;
        if (domainName != nullptr && *domainName != '\0') {
            std::u16string wanted = withoutTrailingDot(tw::Utf8ToUtf16(domainName));
            bool flatOk = !(flags & DS_IS_DNS_NAME) && tw::EqualNoCase(wanted, m.flatDomain);
            bool dnsOk = !(flags & DS_IS_FLAT_NAME) &&
                         tw::EqualNoCase(wanted, withoutTrailingDot(m.dnsDomain));
            if (!flatOk && !dnsOk)
                return ERROR_NO_SUCH_DOMAIN;
        }
        bool flat = (flags & DS_RETURN_FLAT_NAME) != 0;
        bool ip = isIpv4(m.dcName);
        std::u16string dcFlat = ip ? m.dcName : netBiosFromDns(m.dcName);
        std::string texts[6] = {
            tw::Utf16ToUtf8(u"\\\\" + (flat ? dcFlat : m.dcName)),
            tw::Utf16ToUtf8(u"\\\\" + (ip ? m.dcName : dcFlat)),
            tw::Utf16ToUtf8(flat ? m.flatDomain : m.dnsDomain),
            tw::Utf16ToUtf8(m.dnsDomain),
            tw::Utf16ToUtf8(m.site),
            tw::Utf16ToUtf8(m.site),
        };
        size_t bytes = sizeof(DOMAIN_CONTROLLER_INFOA);
        for (const auto& t : texts)
            bytes += t.size() + 1;
        auto* info = static_cast<PDOMAIN_CONTROLLER_INFOA>(calloc(1, bytes));
        if (info == nullptr)
            return ERROR_NOT_ENOUGH_MEMORY;
        char* p = reinterpret_cast<char*>(info + 1);
        LPSTR* slots[6] = {&info->DomainControllerName, &info->DomainControllerAddress,
                           &info->DomainName,           &info->DnsForestName,
                           &info->DcSiteName,           &info->ClientSiteName};
        for (int i = 0; i < 6; ++i) {
            memcpy(p, texts[i].c_str(), texts[i].size() + 1);
            *slots[i] = p;
            p += texts[i].size() + 1;
        }
        info->DomainControllerAddressType = ip ? DS_INET_ADDRESS : DS_NETBIOS_ADDRESS;
        info->Flags = DS_DS_FLAG | DS_LDAP_FLAG | DS_KDC_FLAG | DS_TIMESERV_FLAG |
                      DS_WRITABLE_FLAG | DS_CLOSEST_FLAG;
        if (!flat)
            info->Flags |= DS_DNS_CONTROLLER_FLAG | DS_DNS_DOMAIN_FLAG | DS_DNS_FOREST_FLAG;
        *domainControllerInfo = info;
        return ERROR_SUCCESS;
    } catch (...) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
}

NET_API_STATUS NetApiBufferFree(LPVOID buffer) {
    // Every buffer these calls hand out is a single malloc block.
    free(buffer);
    return NERR_Success;
}

} // extern "C"
