#include "machine/machine_details.h"
#include "support/log_capture.h"

#include <gtest/gtest.h>

#include <stdlib.h>
#include <string.h>

#include <deque>
#include <string>
#include <vector>

namespace {

// Builds adapter lists as GetAdaptersInfo returns them.
struct Adapters {
    std::deque<IP_ADAPTER_INFO> adapters;
    std::deque<IP_ADDR_STRING> extra;

    IP_ADAPTER_INFO* add(std::vector<BYTE> mac,
                         std::vector<std::pair<std::string, std::string>> ips) {
        IP_ADAPTER_INFO a;
        memset(&a, 0, sizeof a);
        a.AddressLength = static_cast<UINT>(mac.size());
        if (!mac.empty())
            memcpy(a.Address, mac.data(), std::min<size_t>(mac.size(), sizeof a.Address));
        a.Index = static_cast<DWORD>(adapters.size() + 1);
        adapters.push_back(a);
        IP_ADAPTER_INFO* p = &adapters.back();
        IP_ADDR_STRING* slot = &p->IpAddressList;
        for (size_t i = 0; i < ips.size(); ++i) {
            if (i > 0) {
                extra.push_back(IP_ADDR_STRING{});
                slot->Next = &extra.back();
                slot = slot->Next;
            }
            strncpy(slot->IpAddress.String, ips[i].first.c_str(),
                    sizeof slot->IpAddress.String - 1);
            strncpy(slot->IpMask.String, ips[i].second.c_str(), sizeof slot->IpMask.String - 1);
        }
        if (adapters.size() > 1)
            adapters[adapters.size() - 2].Next = p;
        return p;
    }
    const IP_ADAPTER_INFO* head() const { return adapters.empty() ? nullptr : &adapters.front(); }
};

struct Lists {
    std::string ip, mac, mask;
};

Lists run(const Adapters& a) {
    std::vector<char> ip(kAddressListBytes), mac(kAddressListBytes), mask(kAddressListBytes);
    AppendAdapterAddresses(a.head(), ip.data(), mac.data(), mask.data());
    return {ip.data(), mac.data(), mask.data()};
}

const std::vector<BYTE> kMac1 = {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E};
const std::vector<BYTE> kMac2 = {0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF};

} // namespace

TEST(AddressLists, TwoAdaptersOneAddressEach) {
    Adapters a;
    a.add(kMac1, {{"10.0.0.5", "255.255.255.0"}});
    a.add(kMac2, {{"192.168.1.9", "255.255.0.0"}});
    Lists l = run(a);
    EXPECT_EQ(l.ip, "10.0.0.5,192.168.1.9");
    EXPECT_EQ(l.mac, "00:1a:2b:3c:4d:5e,aa:bb:cc:dd:ee:ff");
    EXPECT_EQ(l.mask, "255.255.255.0,255.255.0.0");
}

TEST(AddressLists, OneAdapterTwoAddressesRepeatsItsMac) {
    Adapters a;
    a.add(kMac1, {{"10.0.0.5", "255.0.0.0"}, {"10.0.0.6", "255.0.0.0"}});
    Lists l = run(a);
    EXPECT_EQ(l.ip, "10.0.0.5,10.0.0.6");
    EXPECT_EQ(l.mac, "00:1a:2b:3c:4d:5e,00:1a:2b:3c:4d:5e");
}

TEST(AddressLists, ZeroAddressAddsNothingButIsPrinted) {
    twtest::LogCapture log(1);
    Adapters a;
    a.add(kMac1, {{"0.0.0.0", "0.0.0.0"}});
    Lists l = run(a);
    EXPECT_EQ(l.ip, "");
    EXPECT_EQ(l.mac, "");
    EXPECT_EQ(l.mask, "");
    EXPECT_NE(log.text().find("[INFO] ipAddress :1                   0.0.0.0             0.0.0.0"),
              std::string::npos)
        << log.text();
}

TEST(AddressLists, HardwareAddressOfOtherLengthIsLeftOut) {
    Adapters a;
    a.add({0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08}, {{"10.1.1.1", "255.0.0.0"}});
    a.add({}, {{"10.1.1.2", "255.0.0.0"}});
    Lists l = run(a);
    EXPECT_EQ(l.ip, "10.1.1.1,10.1.1.2");
    EXPECT_EQ(l.mac, "");
    EXPECT_EQ(l.mask, "255.0.0.0,255.0.0.0");
}

TEST(AddressLists, ListsStopBeforeTheBoundWithoutCuttingAnAddress) {
    Adapters a;
    std::vector<std::pair<std::string, std::string>> ips;
    for (int i = 0; i < 3000; ++i)
        ips.push_back({"10.100.200." + std::to_string(i % 250), "255.255.255.255"});
    a.add(kMac1, ips);
    Lists l = run(a);
    EXPECT_LT(l.ip.size(), 0x7FFFu);
    EXPECT_LT(l.mac.size(), 0x7FFFu);
    EXPECT_LT(l.mask.size(), 0x7FFFu);
    EXPECT_EQ(l.mac.size() % 18, 17u) << "whole MAC entries only";
    EXPECT_EQ(l.mask.size() % 16, 15u) << "whole mask entries only";
}

TEST(MachineFacts, OsFamilyOnTheDefaultProfile) {
    twtest::ScopedRegistry reg;
    int family = GetOsFamily();
    EXPECT_GE(family, 0);
    EXPECT_LE(family, 7);
}
