// Host facts: processor features (host or pinned) and the adapter list.
// Linux only: the tests point the layer at their own cpuinfo file and lay out
// adapter lists the build machine does not have.
#include "machine_profile.h"

#include <iphlpapi.h>

#include "win32/iphlpapi/adapters.h"

#include <stdlib.h>
#include <string.h>

#include <set>

using namespace mt;

namespace {

const char16_t kPins[] = u"HARDWARE\\DESCRIPTION\\System\\CentralProcessor\\0\\ProcessorFeatures";

class MachineFeatures : public MachineTest {
  protected:
    // A cpuinfo file with one processor whose flags are `flags`.
    void FakeCpu(const std::string& flags) {
        std::string path = registry_.dir().file("cpuinfo");
        twtest::WriteFileText(path, "processor\t: 0\nvendor_id\t: GenuineIntel\n"
                                    "cpu family\t: 6\nmodel\t\t: 142\nstepping\t: 10\n"
                                    "flags\t\t: " +
                                        flags +
                                        "\n\nprocessor\t: 1\n"
                                        "flags\t\t: sse2 pae nx\n");
        setenv("TW_CPUINFO", path.c_str(), 1);
    }
    ~MachineFeatures() override { unsetenv("TW_CPUINFO"); }
};

class MachineAdapters : public ::testing::Test {};

bool IsDottedQuad(const char* s) {
    int parts = 0;
    while (*s) {
        int digits = 0, value = 0;
        while (*s >= '0' && *s <= '9' && digits < 4) {
            value = value * 10 + (*s++ - '0');
            ++digits;
        }
        if (digits == 0 || digits > 3 || value > 255)
            return false;
        ++parts;
        if (*s == '.')
            ++s;
        else if (*s != '\0')
            return false;
    }
    return parts == 4;
}

tw::HostAdapter Adapter(const std::string& name, DWORD index,
                        std::vector<tw::HostAdapter::Address> addresses,
                        std::vector<BYTE> mac = {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E}) {
    tw::HostAdapter a;
    a.name = name;
    a.index = index;
    a.type = MIB_IF_TYPE_ETHERNET;
    a.hardwareAddress = mac;
    a.addresses = addresses;
    return a;
}

} // namespace

TEST_F(MachineFeatures, HostFlagsFromTheFirstProcessorOnly) {
    FakeCpu("fpu tsc pae mmx sse cx8");
    EXPECT_TRUE(IsProcessorFeaturePresent(PF_PAE_ENABLED));
    EXPECT_TRUE(IsProcessorFeaturePresent(PF_XMMI_INSTRUCTIONS_AVAILABLE));
    // The second processor lists sse2 and nx; only the first one counts.
    EXPECT_FALSE(IsProcessorFeaturePresent(PF_XMMI64_INSTRUCTIONS_AVAILABLE));
    EXPECT_FALSE(IsProcessorFeaturePresent(PF_NX_ENABLED));
    EXPECT_FALSE(IsProcessorFeaturePresent(PF_SSE3_INSTRUCTIONS_AVAILABLE));

    FakeCpu("fpu pae sse sse2 pni nx");
    EXPECT_TRUE(IsProcessorFeaturePresent(PF_XMMI64_INSTRUCTIONS_AVAILABLE));
    EXPECT_TRUE(IsProcessorFeaturePresent(PF_SSE3_INSTRUCTIONS_AVAILABLE));
    EXPECT_TRUE(IsProcessorFeaturePresent(PF_NX_ENABLED));
    EXPECT_FALSE(IsProcessorFeaturePresent(200));
}

TEST_F(MachineFeatures, PinsOverrideTheHost) {
    FakeCpu("fpu pae sse sse2");
    SetDword(kPins, u"10", 0);
    SetDword(kPins, u"13", 1);
    EXPECT_FALSE(IsProcessorFeaturePresent(PF_XMMI64_INSTRUCTIONS_AVAILABLE));
    EXPECT_TRUE(IsProcessorFeaturePresent(PF_SSE3_INSTRUCTIONS_AVAILABLE));
    // Not pinned: still the host's answer.
    EXPECT_TRUE(IsProcessorFeaturePresent(PF_PAE_ENABLED));
    // A pin that is not a DWORD is ignored.
    SetSz(kPins, u"9", u"0");
    EXPECT_TRUE(IsProcessorFeaturePresent(PF_PAE_ENABLED));
}

TEST_F(MachineFeatures, RealHostHasWhatEveryX64ProcessorHas) {
#if defined(__x86_64__)
    // Long mode needs PAE and every x86-64 processor has SSE2.
    EXPECT_TRUE(IsProcessorFeaturePresent(PF_PAE_ENABLED));
    EXPECT_TRUE(IsProcessorFeaturePresent(PF_XMMI64_INSTRUCTIONS_AVAILABLE));
    SYSTEM_INFO si{};
    GetNativeSystemInfo(&si);
    EXPECT_GE(si.wProcessorLevel, 6); // family of every x86-64 processor
#else
    GTEST_SKIP() << "not an x86-64 host";
#endif
}

TEST_F(MachineAdapters, HostListFollowsTheRules) {
    ULONG size = 0;
    ULONG rc = GetAdaptersInfo(nullptr, &size);
    if (rc == ERROR_NO_DATA)
        GTEST_SKIP() << "the host has no adapter apart from loopback";
    ASSERT_EQ(static_cast<ULONG>(ERROR_BUFFER_OVERFLOW), rc);
    ASSERT_GE(size, sizeof(IP_ADAPTER_INFO));

    std::vector<unsigned char> small(size - 1);
    ULONG smallSize = size - 1;
    EXPECT_EQ(static_cast<ULONG>(ERROR_BUFFER_OVERFLOW),
              GetAdaptersInfo(reinterpret_cast<PIP_ADAPTER_INFO>(small.data()), &smallSize));
    EXPECT_EQ(size, smallSize);

    // Aligned storage for the records.
    std::vector<IP_ADAPTER_INFO> buf(size / sizeof(IP_ADAPTER_INFO) + 1);
    ULONG bufSize = size;
    ASSERT_EQ(static_cast<ULONG>(ERROR_SUCCESS), GetAdaptersInfo(buf.data(), &bufSize));
    auto* begin = reinterpret_cast<unsigned char*>(buf.data());
    auto inside = [&](const void* p) {
        return p >= begin && static_cast<const unsigned char*>(p) < begin + size;
    };
    std::set<DWORD> indexes;
    for (PIP_ADAPTER_INFO a = buf.data(); a != nullptr; a = a->Next) {
        ASSERT_TRUE(inside(a));
        EXPECT_NE(static_cast<UINT>(MIB_IF_TYPE_LOOPBACK), a->Type) << a->AdapterName;
        EXPECT_LE(a->AddressLength, static_cast<UINT>(MAX_ADAPTER_ADDRESS_LENGTH));
        EXPECT_LT(strlen(a->AdapterName), sizeof a->AdapterName);
        EXPECT_TRUE(indexes.insert(a->Index).second) << "index listed twice";
        for (PIP_ADDR_STRING ip = &a->IpAddressList; ip != nullptr; ip = ip->Next) {
            ASSERT_TRUE(inside(ip));
            EXPECT_TRUE(IsDottedQuad(ip->IpAddress.String)) << ip->IpAddress.String;
            EXPECT_TRUE(IsDottedQuad(ip->IpMask.String)) << ip->IpMask.String;
            EXPECT_NE(0, strncmp(ip->IpAddress.String, "127.", 4));
        }
    }
    EXPECT_EQ(static_cast<ULONG>(ERROR_INVALID_PARAMETER), GetAdaptersInfo(buf.data(), nullptr));
}

TEST_F(MachineAdapters, LayoutOfSeveralAddressesAndNone) {
    std::vector<tw::HostAdapter> list = {
        Adapter("eth0", 2, {{"192.168.1.10", "255.255.255.0"}, {"10.0.0.5", "255.0.0.0"}}),
        Adapter("wlan0", 3, {}),
        Adapter("ib0", 4, {{"172.16.0.1", "255.255.0.0"}}, std::vector<BYTE>(20, 0xAB)),
    };
    list[0].gateway = "192.168.1.1";
    ULONG size = 0;
    ASSERT_EQ(static_cast<ULONG>(ERROR_BUFFER_OVERFLOW),
              tw::FillAdaptersInfo(list, nullptr, &size));
    ASSERT_EQ(3 * sizeof(IP_ADAPTER_INFO) + sizeof(IP_ADDR_STRING), size);

    // One byte more than needed, to show nothing is written past the layout.
    std::vector<IP_ADAPTER_INFO> buf(4);
    auto* bytes = reinterpret_cast<unsigned char*>(buf.data());
    memset(bytes, 0xA5, buf.size() * sizeof(IP_ADAPTER_INFO));
    ULONG have = size;
    ASSERT_EQ(static_cast<ULONG>(ERROR_SUCCESS), tw::FillAdaptersInfo(list, buf.data(), &have));
    for (size_t i = size; i < buf.size() * sizeof(IP_ADAPTER_INFO); ++i)
        ASSERT_EQ(0xA5, bytes[i]) << "byte " << i;

    PIP_ADAPTER_INFO eth = buf.data();
    EXPECT_STREQ("eth0", eth->AdapterName);
    EXPECT_EQ(6u, eth->AddressLength);
    EXPECT_EQ(0x5E, eth->Address[5]);
    EXPECT_STREQ("192.168.1.10", eth->IpAddressList.IpAddress.String);
    EXPECT_STREQ("255.255.255.0", eth->IpAddressList.IpMask.String);
    ASSERT_NE(nullptr, eth->IpAddressList.Next);
    EXPECT_STREQ("10.0.0.5", eth->IpAddressList.Next->IpAddress.String);
    EXPECT_STREQ("255.0.0.0", eth->IpAddressList.Next->IpMask.String);
    EXPECT_EQ(nullptr, eth->IpAddressList.Next->Next);
    EXPECT_NE(eth->IpAddressList.Context, eth->IpAddressList.Next->Context);
    EXPECT_STREQ("192.168.1.1", eth->GatewayList.IpAddress.String);

    PIP_ADAPTER_INFO wlan = eth->Next;
    ASSERT_EQ(&buf[1], wlan);
    EXPECT_STREQ("0.0.0.0", wlan->IpAddressList.IpAddress.String);
    EXPECT_EQ(nullptr, wlan->IpAddressList.Next);
    EXPECT_STREQ("0.0.0.0", wlan->GatewayList.IpAddress.String);

    PIP_ADAPTER_INFO ib = wlan->Next;
    ASSERT_EQ(&buf[2], ib);
    EXPECT_EQ(8u, ib->AddressLength); // hardware addresses are cut to 8 bytes
    EXPECT_EQ(nullptr, ib->Next);
}

TEST_F(MachineAdapters, EmptyListLongNamesAndNullBuffer) {
    ULONG size = 1000;
    EXPECT_EQ(static_cast<ULONG>(ERROR_NO_DATA), tw::FillAdaptersInfo({}, nullptr, &size));
    std::vector<tw::HostAdapter> list = {Adapter(std::string(400, 'n'), 7, {})};
    size = sizeof(IP_ADAPTER_INFO);
    // Room enough but no buffer.
    EXPECT_EQ(static_cast<ULONG>(ERROR_INVALID_PARAMETER),
              tw::FillAdaptersInfo(list, nullptr, &size));
    IP_ADAPTER_INFO info;
    ASSERT_EQ(static_cast<ULONG>(ERROR_SUCCESS), tw::FillAdaptersInfo(list, &info, &size));
    EXPECT_EQ(sizeof info.AdapterName - 1, strlen(info.AdapterName));
    EXPECT_EQ(sizeof info.Description - 1, strlen(info.Description));
}
