// GetAdaptersInfo for the Linux build, from the host's interfaces
// (getifaddrs: IPv4 addresses and masks, hardware addresses and types from
// AF_PACKET; /sys/class/net for wireless; /proc/net/route for the gateway).
#include "iphlpapi/adapters.h"

#include <windows.h>

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if_arp.h>
#include <netpacket/packet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <sstream>

namespace tw {

namespace {

UINT typeFromArp(unsigned arpType, const std::string& name) {
    switch (arpType) {
    case ARPHRD_ETHER: {
        struct stat st;
        std::string wireless = "/sys/class/net/" + name + "/wireless";
        return stat(wireless.c_str(), &st) == 0 ? IF_TYPE_IEEE80211 : MIB_IF_TYPE_ETHERNET;
    }
    case ARPHRD_PPP:
        return MIB_IF_TYPE_PPP;
    case ARPHRD_IEEE802_TR:
        return MIB_IF_TYPE_TOKENRING;
    case ARPHRD_FDDI:
        return MIB_IF_TYPE_FDDI;
    case ARPHRD_SLIP:
        return MIB_IF_TYPE_SLIP;
    case ARPHRD_LOOPBACK:
        return MIB_IF_TYPE_LOOPBACK;
    default:
        return MIB_IF_TYPE_OTHER;
    }
}

std::string ipv4Text(const sockaddr* sa) {
    char buf[INET_ADDRSTRLEN] = {};
    if (sa == nullptr || sa->sa_family != AF_INET)
        return "0.0.0.0";
    inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(sa)->sin_addr, buf, sizeof buf);
    return buf;
}

// Default gateways by interface name, from the kernel's IPv4 routing table.
std::map<std::string, std::string> defaultGateways() {
    std::map<std::string, std::string> result;
    std::ifstream in("/proc/net/route");
    std::string line;
    std::getline(in, line); // header
    int lines = 0;
    while (std::getline(in, line) && ++lines < 100000) {
        std::istringstream fields(line);
        std::string iface, dest, gateway, flags;
        if (!(fields >> iface >> dest >> gateway >> flags))
            continue;
        unsigned long f = strtoul(flags.c_str(), nullptr, 16);
        if (dest != "00000000" || (f & 0x2) == 0 || result.count(iface)) // RTF_GATEWAY
            continue;
        in_addr addr;
        addr.s_addr = static_cast<in_addr_t>(strtoul(gateway.c_str(), nullptr, 16));
        char buf[INET_ADDRSTRLEN] = {};
        inet_ntop(AF_INET, &addr, buf, sizeof buf);
        result[iface] = buf;
    }
    return result;
}

void copyText(char* dst, size_t dstSize, const std::string& src) {
    size_t n = std::min(src.size(), dstSize - 1);
    memcpy(dst, src.data(), n);
    dst[n] = '\0';
}

void setAddr(IP_ADDR_STRING& entry, const std::string& ip, const std::string& mask, DWORD context) {
    entry.Next = nullptr;
    copyText(entry.IpAddress.String, sizeof entry.IpAddress.String, ip);
    copyText(entry.IpMask.String, sizeof entry.IpMask.String, mask);
    entry.Context = context;
}

} // namespace

std::vector<HostAdapter> ReadHostAdapters() {
    std::vector<HostAdapter> adapters;
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0)
        return adapters;
    std::map<std::string, HostAdapter> byName;
    std::map<std::string, bool> loopback;
    for (ifaddrs* ifa = list; ifa != nullptr; ifa = ifa->ifa_next) {
        if (ifa->ifa_name == nullptr)
            continue;
        std::string name = ifa->ifa_name;
        // Alias labels ("eth0:1") belong to their interface.
        std::string base = name.substr(0, name.find(':'));
        if (ifa->ifa_flags & IFF_LOOPBACK) {
            loopback[base] = true;
            continue;
        }
        HostAdapter& a = byName[base];
        a.name = base;
        if (ifa->ifa_addr == nullptr)
            continue;
        if (ifa->ifa_addr->sa_family == AF_PACKET) {
            auto* ll = reinterpret_cast<const sockaddr_ll*>(ifa->ifa_addr);
            size_t len = std::min<size_t>(ll->sll_halen, sizeof ll->sll_addr);
            a.hardwareAddress.assign(ll->sll_addr, ll->sll_addr + len);
            a.type = typeFromArp(ll->sll_hatype, base);
            if (a.type == MIB_IF_TYPE_LOOPBACK)
                loopback[base] = true;
        } else if (ifa->ifa_addr->sa_family == AF_INET) {
            a.addresses.push_back({ipv4Text(ifa->ifa_addr), ipv4Text(ifa->ifa_netmask)});
        }
    }
    freeifaddrs(list);
    std::map<std::string, std::string> gateways = defaultGateways();
    for (auto& [name, a] : byName) {
        if (loopback.count(name))
            continue;
        a.index = if_nametoindex(name.c_str());
        auto gw = gateways.find(name);
        if (gw != gateways.end())
            a.gateway = gw->second;
        adapters.push_back(a);
    }
    std::sort(adapters.begin(), adapters.end(),
              [](const HostAdapter& x, const HostAdapter& y) { return x.index < y.index; });
    return adapters;
}

ULONG FillAdaptersInfo(const std::vector<HostAdapter>& adapters, PIP_ADAPTER_INFO buffer,
                       PULONG size) {
    if (size == nullptr)
        return ERROR_INVALID_PARAMETER;
    if (adapters.empty())
        return ERROR_NO_DATA;
    // The records first, then the second and later addresses of each adapter.
    size_t extra = 0;
    for (const auto& a : adapters)
        if (a.addresses.size() > 1)
            extra += a.addresses.size() - 1;
    unsigned long long needed =
        adapters.size() * sizeof(IP_ADAPTER_INFO) + extra * sizeof(IP_ADDR_STRING);
    if (needed > 0xFFFFFFFFull)
        return ERROR_NOT_ENOUGH_MEMORY;
    if (*size < needed) {
        *size = static_cast<ULONG>(needed);
        return ERROR_BUFFER_OVERFLOW;
    }
    if (buffer == nullptr)
        return ERROR_INVALID_PARAMETER;
    memset(buffer, 0, static_cast<size_t>(needed));
    auto* more = reinterpret_cast<IP_ADDR_STRING*>(buffer + adapters.size());
    for (size_t i = 0; i < adapters.size(); ++i) {
        const HostAdapter& a = adapters[i];
        IP_ADAPTER_INFO& out = buffer[i];
        out.Next = i + 1 < adapters.size() ? &buffer[i + 1] : nullptr;
        out.ComboIndex = a.index;
        copyText(out.AdapterName, sizeof out.AdapterName, a.name);
        copyText(out.Description, sizeof out.Description, a.name);
        size_t hw = std::min(a.hardwareAddress.size(), sizeof out.Address);
        out.AddressLength = static_cast<UINT>(hw);
        if (hw != 0)
            memcpy(out.Address, a.hardwareAddress.data(), hw);
        out.Index = a.index;
        out.Type = a.type;
        // Each address gets a context value of its own: adapter index and position.
        if (a.addresses.empty()) {
            setAddr(out.IpAddressList, "0.0.0.0", "0.0.0.0", a.index << 8);
        } else {
            setAddr(out.IpAddressList, a.addresses[0].ip, a.addresses[0].mask, a.index << 8);
            IP_ADDR_STRING* tail = &out.IpAddressList;
            for (size_t k = 1; k < a.addresses.size(); ++k) {
                setAddr(*more, a.addresses[k].ip, a.addresses[k].mask,
                        (a.index << 8) | static_cast<DWORD>(k & 0xFF));
                tail->Next = more;
                tail = more++;
            }
        }
        if (a.gateway.empty())
            setAddr(out.GatewayList, "0.0.0.0", "0.0.0.0", 0);
        else
            setAddr(out.GatewayList, a.gateway, "255.255.255.255", 0);
    }
    return ERROR_SUCCESS;
}

} // namespace tw

extern "C" {

ULONG GetAdaptersInfo(PIP_ADAPTER_INFO adapterInfo, PULONG sizePointer) {
    if (sizePointer == nullptr)
        return ERROR_INVALID_PARAMETER;
    // Callers ask for the size first and then fill a buffer of that size: the
    // adapters a size was measured from serve the thread's next call, made
    // soon after, so the host is read once per pair and the buffer fits what
    // it receives.
    struct Measured {
        std::vector<tw::HostAdapter> adapters;
        ULONGLONG at = 0;
        bool held = false;
    };
    thread_local Measured measured;
    const ULONGLONG kHeldMs = 1000;
    try {
        std::vector<tw::HostAdapter> adapters;
        if (measured.held && GetTickCount64() - measured.at < kHeldMs)
            adapters.swap(measured.adapters);
        else
            adapters = tw::ReadHostAdapters();
        measured.held = false;
        measured.adapters.clear();
        ULONG rc = tw::FillAdaptersInfo(adapters, adapterInfo, sizePointer);
        if (rc == ERROR_BUFFER_OVERFLOW) {
            measured.adapters.swap(adapters);
            measured.at = GetTickCount64();
            measured.held = true;
        }
        return rc;
    } catch (...) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
}

} // extern "C"
