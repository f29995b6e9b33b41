// The host processor as the kernel describes it, for GetSystemInfo and
// IsProcessorFeaturePresent (not part of the Win32 surface).
#pragma once

#include <string>
#include <vector>

namespace tw {

// The host processor as the kernel describes it (/proc/cpuinfo, or the file
// named by TW_CPUINFO): the first processor's identity and feature flags.
struct HostCpu {
    bool valid = false; // the file was read
    bool x86 = false;   // an x86 processor (family/model/stepping known)
    unsigned family = 0;
    unsigned model = 0;
    unsigned stepping = 0;
    std::vector<std::string> flags; // "flags" (x86) or "Features" (Arm) words
    bool hasFlag(const char* flag) const;
};
HostCpu ReadHostCpu();

} // namespace tw
