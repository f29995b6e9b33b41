// Computer names, domain or workgroup membership and Windows Sockets start-up.
#include "machine_profile.h"

#include <dsgetdc.h>
#include <lm.h>
#include <winsock2.h>

#include <string.h>

using namespace mt;

namespace {

class MachineComputerName : public MachineTest {};
class MachineDomain : public MachineTest {};
class MachineWinsock : public ::testing::Test {};

const char16_t kGpHistory[] =
    u"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Group Policy\\History";
const char16_t kComputerName[] = u"SYSTEM\\CurrentControlSet\\Control\\ComputerName\\ComputerName";
const char16_t kActiveComputerName[] =
    u"SYSTEM\\CurrentControlSet\\Control\\ComputerName\\ActiveComputerName";

WString NameOf(COMPUTER_NAME_FORMAT format) {
    WCHAR buf[300];
    DWORD size = 300;
    EXPECT_TRUE(GetComputerNameExW(format, buf, &size)) << "format " << format;
    EXPECT_EQ(0, buf[size]);
    return WString(buf, size);
}

void PinnedNames() {
    SetSz(kTcpip, u"Hostname", u"build-agent-07");
    SetSz(kTcpip, u"Domain", u"corp.example.com");
    SetSz(kComputerName, u"ComputerName", u"BUILDAGENT07");
}

void CorpDomain() {
    SetSz(kGpHistory, u"MachineDomain", u"CORP");
    SetSz(kGpHistory, u"DCName", u"\\\\dc01.corp.example.com");
    SetSz(kTcpip, u"Domain", u"corp.example.com");
    SetSz(u"SYSTEM\\CurrentControlSet\\Services\\Netlogon\\Parameters", u"DynamicSiteName",
          u"Headquarters");
}

// A record DsGetDcNameA must leave alone when it fails.
PDOMAIN_CONTROLLER_INFOA Poison() {
    return reinterpret_cast<PDOMAIN_CONTROLLER_INFOA>(static_cast<uintptr_t>(0x5EED5EE0));
}

} // namespace

TEST_F(MachineComputerName, EveryFormatFromThePinnedValues) {
    PinnedNames();
    EXPECT_EQ(u"BUILDAGENT07", NameOf(ComputerNameNetBIOS));
    EXPECT_EQ(u"BUILDAGENT07", NameOf(ComputerNamePhysicalNetBIOS));
    EXPECT_EQ(u"build-agent-07", NameOf(ComputerNameDnsHostname));
    EXPECT_EQ(u"build-agent-07", NameOf(ComputerNamePhysicalDnsHostname));
    EXPECT_EQ(u"corp.example.com", NameOf(ComputerNameDnsDomain));
    EXPECT_EQ(u"corp.example.com", NameOf(ComputerNamePhysicalDnsDomain));
    EXPECT_EQ(u"build-agent-07.corp.example.com", NameOf(ComputerNameDnsFullyQualified));
    EXPECT_EQ(u"build-agent-07.corp.example.com", NameOf(ComputerNamePhysicalDnsFullyQualified));
}

TEST_F(MachineComputerName, RunningNameWinsAndDerivedNetBiosName) {
    SetSz(kTcpip, u"Hostname", u"a-rather-long-host-name");
    // Without a stored NetBIOS name it is the host name, upper case, 15 characters.
    EXPECT_EQ(u"A-RATHER-LONG-H", NameOf(ComputerNameNetBIOS));
    SetSz(kComputerName, u"ComputerName", u"AFTERREBOOT");
    SetSz(kActiveComputerName, u"ComputerName", u"RUNNINGNOW");
    EXPECT_EQ(u"RUNNINGNOW", NameOf(ComputerNameNetBIOS));
}

TEST_F(MachineComputerName, StoredHostNameWithoutDomainHasNoDomain) {
    SetSz(kTcpip, u"Hostname", u"lonely");
    EXPECT_EQ(u"", NameOf(ComputerNameDnsDomain));
    EXPECT_EQ(u"lonely", NameOf(ComputerNameDnsFullyQualified));
}

TEST_F(MachineComputerName, BufferSizesInCharactersWithMoreData) {
    PinnedNames();
    const WString want = u"build-agent-07"; // 14 characters
    DWORD size = 0;
    SetLastError(0);
    EXPECT_FALSE(GetComputerNameExW(ComputerNameDnsHostname, nullptr, &size));
    EXPECT_EQ(static_cast<DWORD>(ERROR_MORE_DATA), GetLastError());
    EXPECT_EQ(want.size() + 1, size);

    // Room for the characters but not the terminator is too small, and the
    // buffer stays as it was.
    WCHAR buf[32];
    for (auto& c : buf)
        c = u'#';
    size = static_cast<DWORD>(want.size());
    EXPECT_FALSE(GetComputerNameExW(ComputerNameDnsHostname, buf, &size));
    EXPECT_EQ(static_cast<DWORD>(ERROR_MORE_DATA), GetLastError());
    EXPECT_EQ(want.size() + 1, size);
    for (WCHAR c : buf)
        EXPECT_EQ(u'#', c);

    size = static_cast<DWORD>(want.size() + 1);
    ASSERT_TRUE(GetComputerNameExW(ComputerNameDnsHostname, buf, &size));
    EXPECT_EQ(want.size(), size);
    EXPECT_EQ(want, WString(buf));
    EXPECT_EQ(u'#', buf[want.size() + 1]);
}

TEST_F(MachineComputerName, HostNameOfSixtyFourCharactersDoesNotFitSixtyFour) {
    SetSz(kTcpip, u"Hostname", WString(64, u'h'));
    WCHAR buf[64];
    DWORD size = 64;
    SetLastError(0);
    EXPECT_FALSE(GetComputerNameExW(ComputerNamePhysicalDnsHostname, buf, &size));
    EXPECT_EQ(static_cast<DWORD>(ERROR_MORE_DATA), GetLastError());
    EXPECT_EQ(65u, size);
}

TEST_F(MachineComputerName, BadArguments) {
    WCHAR buf[8];
    DWORD size = 8;
    SetLastError(0);
    EXPECT_FALSE(GetComputerNameExW(ComputerNameMax, buf, &size));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
    EXPECT_FALSE(GetComputerNameExW(ComputerNameNetBIOS, buf, nullptr));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
    size = 8; // a size without a buffer
    EXPECT_FALSE(GetComputerNameExW(ComputerNameNetBIOS, nullptr, &size));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
}

TEST_F(MachineDomain, WorkgroupByDefaultAndNoDomainController) {
    LPWSTR name = nullptr;
    NETSETUP_JOIN_STATUS status = NetSetupUnknownStatus;
    ASSERT_EQ(static_cast<NET_API_STATUS>(NERR_Success),
              NetGetJoinInformation(nullptr, &name, &status));
    EXPECT_EQ(NetSetupWorkgroupName, status);
    EXPECT_EQ(u"WORKGROUP", WString(name));
    EXPECT_EQ(static_cast<NET_API_STATUS>(NERR_Success), NetApiBufferFree(name));

    PDOMAIN_CONTROLLER_INFOA info = Poison();
    EXPECT_EQ(static_cast<DWORD>(ERROR_NO_SUCH_DOMAIN),
              DsGetDcNameA(nullptr, nullptr, nullptr, nullptr, DS_RETURN_FLAT_NAME, &info));
    EXPECT_EQ(Poison(), info);
}

TEST_F(MachineDomain, NamedAndEmptyWorkgroups) {
    const char16_t kVnetsup[] = u"SYSTEM\\CurrentControlSet\\Services\\VxD\\VNETSUP";
    SetSz(kVnetsup, u"Workgroup", u"ACCOUNTING");
    LPWSTR name = nullptr;
    NETSETUP_JOIN_STATUS status = NetSetupUnknownStatus;
    ASSERT_EQ(0u, NetGetJoinInformation(u"", &name, &status));
    EXPECT_EQ(NetSetupWorkgroupName, status);
    EXPECT_EQ(u"ACCOUNTING", WString(name));
    NetApiBufferFree(name);

    SetSz(kVnetsup, u"Workgroup", u"");
    ASSERT_EQ(0u, NetGetJoinInformation(nullptr, &name, &status));
    EXPECT_EQ(NetSetupUnjoined, status);
    EXPECT_EQ(u"", WString(name));
    NetApiBufferFree(name);
}

TEST_F(MachineDomain, JoinedMachineReportsItsDomainAndController) {
    CorpDomain();
    LPWSTR name = nullptr;
    NETSETUP_JOIN_STATUS status = NetSetupUnknownStatus;
    ASSERT_EQ(0u, NetGetJoinInformation(nullptr, &name, &status));
    EXPECT_EQ(NetSetupDomainName, status);
    EXPECT_EQ(u"CORP", WString(name));
    NetApiBufferFree(name);

    PDOMAIN_CONTROLLER_INFOA info = nullptr;
    ASSERT_EQ(0u, DsGetDcNameA(nullptr, nullptr, nullptr, nullptr, DS_RETURN_FLAT_NAME, &info));
    ASSERT_NE(nullptr, info);
    EXPECT_STREQ("\\\\DC01", info->DomainControllerName);
    EXPECT_STREQ("DC01", info->DomainControllerName + 2); // what the agent keeps
    EXPECT_STREQ("\\\\DC01", info->DomainControllerAddress);
    EXPECT_EQ(static_cast<ULONG>(DS_NETBIOS_ADDRESS), info->DomainControllerAddressType);
    EXPECT_STREQ("CORP", info->DomainName);
    EXPECT_STREQ("corp.example.com", info->DnsForestName);
    EXPECT_STREQ("Headquarters", info->DcSiteName);
    EXPECT_STREQ("Headquarters", info->ClientSiteName);
    EXPECT_EQ(0u, info->Flags & DS_DNS_CONTROLLER_FLAG);
    EXPECT_EQ(0u, NetApiBufferFree(info));

    ASSERT_EQ(0u, DsGetDcNameA(nullptr, nullptr, nullptr, nullptr, DS_RETURN_DNS_NAME, &info));
    EXPECT_STREQ("\\\\dc01.corp.example.com", info->DomainControllerName);
    EXPECT_STREQ("corp.example.com", info->DomainName);
    EXPECT_NE(0u, info->Flags & DS_DNS_CONTROLLER_FLAG);
    NetApiBufferFree(info);
}

TEST_F(MachineDomain, DomainNameArgumentMustNameTheOwnDomain) {
    CorpDomain();
    PDOMAIN_CONTROLLER_INFOA info = nullptr;
    for (const char* domain : {"corp", "CORP.example.com.", "corp.example.com"}) {
        ASSERT_EQ(0u, DsGetDcNameA(nullptr, domain, nullptr, nullptr, 0, &info)) << domain;
        NetApiBufferFree(info);
    }
    info = Poison();
    EXPECT_EQ(static_cast<DWORD>(ERROR_NO_SUCH_DOMAIN),
              DsGetDcNameA(nullptr, "OTHER", nullptr, nullptr, 0, &info));
    // A flat name given as a DNS name does not match.
    EXPECT_EQ(static_cast<DWORD>(ERROR_NO_SUCH_DOMAIN),
              DsGetDcNameA(nullptr, "CORP", nullptr, nullptr, DS_IS_DNS_NAME, &info));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_FLAGS),
              DsGetDcNameA(nullptr, nullptr, nullptr, nullptr,
                           DS_RETURN_FLAT_NAME | DS_RETURN_DNS_NAME, &info));
    EXPECT_EQ(Poison(), info);
}

TEST_F(MachineDomain, ControllerAddressAndMissingController) {
    SetSz(kGpHistory, u"MachineDomain", u"LAB");
    PDOMAIN_CONTROLLER_INFOA info = Poison();
    // Joined, but the machine never learnt a controller.
    EXPECT_EQ(static_cast<DWORD>(ERROR_NO_SUCH_DOMAIN),
              DsGetDcNameA(nullptr, nullptr, nullptr, nullptr, DS_RETURN_FLAT_NAME, &info));
    EXPECT_EQ(Poison(), info);

    SetSz(kGpHistory, u"DCName", u"\\\\10.1.2.3");
    ASSERT_EQ(0u, DsGetDcNameA(nullptr, nullptr, nullptr, nullptr, DS_RETURN_FLAT_NAME, &info));
    EXPECT_STREQ("\\\\10.1.2.3", info->DomainControllerAddress);
    EXPECT_EQ(static_cast<ULONG>(DS_INET_ADDRESS), info->DomainControllerAddressType);
    EXPECT_STREQ("LAB", info->DomainName);
    EXPECT_STREQ("LAB", info->DnsForestName); // no DNS name kept: the flat one stands in
    EXPECT_STREQ("Default-First-Site-Name", info->DcSiteName);
    NetApiBufferFree(info);
}

TEST_F(MachineDomain, OnlyThisComputerAnswers) {
    PinnedNames();
    CorpDomain();
    LPWSTR name = nullptr;
    NETSETUP_JOIN_STATUS status;
    EXPECT_EQ(static_cast<NET_API_STATUS>(RPC_S_SERVER_UNAVAILABLE),
              NetGetJoinInformation(u"\\\\elsewhere", &name, &status));
    ASSERT_EQ(0u, NetGetJoinInformation(u"\\\\buildagent07", &name, &status));
    NetApiBufferFree(name);
    PDOMAIN_CONTROLLER_INFOA info = nullptr;
    EXPECT_EQ(static_cast<DWORD>(RPC_S_SERVER_UNAVAILABLE),
              DsGetDcNameA("elsewhere", nullptr, nullptr, nullptr, 0, &info));
    ASSERT_EQ(0u,
              DsGetDcNameA("build-agent-07.corp.example.com", nullptr, nullptr, nullptr, 0, &info));
    NetApiBufferFree(info);
    EXPECT_EQ(static_cast<NET_API_STATUS>(ERROR_INVALID_PARAMETER),
              NetGetJoinInformation(nullptr, nullptr, &status));
    EXPECT_EQ(0u, NetApiBufferFree(nullptr));
}

TEST_F(MachineWinsock, StartupCountsAndCleanupWithoutStartup) {
    WSADATA data;
    memset(&data, 0xA5, sizeof data);
    ASSERT_EQ(0, WSAStartup(MAKEWORD(2, 2), &data));
    EXPECT_EQ(MAKEWORD(2, 2), data.wVersion);
    EXPECT_EQ(MAKEWORD(2, 2), data.wHighVersion);
    EXPECT_LT(strlen(data.szDescription), sizeof data.szDescription);
    ASSERT_EQ(0, WSAStartup(MAKEWORD(2, 2), &data));
    EXPECT_EQ(0, WSACleanup());
    EXPECT_EQ(0, WSACleanup());
    WSASetLastError(0);
    EXPECT_EQ(SOCKET_ERROR, WSACleanup());
    EXPECT_EQ(WSANOTINITIALISED, WSAGetLastError());
}

TEST_F(MachineWinsock, VersionNegotiation) {
    WSADATA data;
    EXPECT_EQ(WSAVERNOTSUPPORTED, WSAStartup(MAKEWORD(0, 9), &data));
    EXPECT_EQ(WSAEFAULT, WSAStartup(MAKEWORD(2, 2), nullptr));
    // A later version than exists gets the highest; an older one gets itself.
    ASSERT_EQ(0, WSAStartup(MAKEWORD(3, 0), &data));
    EXPECT_EQ(MAKEWORD(2, 2), data.wVersion);
    ASSERT_EQ(0, WSAStartup(MAKEWORD(1, 1), &data));
    EXPECT_EQ(MAKEWORD(1, 1), data.wVersion);
    EXPECT_EQ(MAKEWORD(2, 2), data.wHighVersion);
    EXPECT_EQ(0, WSACleanup());
    EXPECT_EQ(0, WSACleanup());
}
