// Internal view of GetAdaptersInfo, so tests can lay out adapter lists that
// the build machine does not have (not part of the Win32 surface).
#pragma once

#include <iphlpapi.h>

#include <string>
#include <vector>

namespace tw {

struct HostAdapter {
    std::string name; // interface name ("eth0"): AdapterName and Description
    DWORD index = 0;  // kernel interface index
    UINT type = MIB_IF_TYPE_OTHER;
    std::vector<BYTE> hardwareAddress;
    struct Address {
        std::string ip;
        std::string mask;
    };
    std::vector<Address> addresses; // IPv4, in the kernel's order
    std::string gateway;            // default gateway; empty when none
};

// The host's interfaces as GetAdaptersInfo lists them: loopback left out,
// ordered by interface index.
std::vector<HostAdapter> ReadHostAdapters();

// Lays `adapters` out in `buffer` with GetAdaptersInfo's rules and result codes.
ULONG FillAdaptersInfo(const std::vector<HostAdapter>& adapters, PIP_ADAPTER_INFO buffer,
                       PULONG size);

} // namespace tw
