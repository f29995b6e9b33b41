#include "checker/checks.h"
#include "machine/os_name.h"
#include "base/log.h"
#include "registry/registry_helpers.h"

#include <ctype.h>
#include <stdlib.h>
#include <string.h>

namespace {
const char kMemoryManagementKey[] =
    "SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Memory Management";
}

bool IsServerOS() {
    char* name = GetOSNameEx();
    // No name at all (the version could not be read): not known to be a server.
    LogInfo("IsServerOS : Os Name %s\n", name ? name : "");
    bool server = name != nullptr && strstr(name, "Windows Server") != nullptr;
    free(name);
    LogInfo(server ? "IsServerOS : TRUE\n" : "IsServerOS : FALSE\n");
    return server;
}

bool IsVirtualMachine() {
    char* maker = nullptr;
    DWORD rc = ReadRegSZ(HKEY_LOCAL_MACHINE, "HARDWARE\\DESCRIPTION\\System\\BIOS",
                         "SystemManufacturer", &maker);
    if (rc != ERROR_SUCCESS) {
        free(maker);
        LogInfo("The registry could not be opened due to error %d\n", rc);
        return false;
    }
    for (char* p = maker; *p; ++p)
        *p = static_cast<char>(tolower(static_cast<unsigned char>(*p)));
    bool vmware = strstr(maker, "vmware") != nullptr;
    free(maker);
    if (vmware) {
        LogInfo("THE MANUFACTURER OF MACHINE IS VMWARE\n");
        return true;
    }
    LogInfo("THE MANUFACTURER OF MACHINE IS NOT VMWARE\n");
    return false;
}

bool IsPAEEnabled() {
    DWORD value = 0;
    DWORD rc = ReadDwordRegistryData(HKEY_LOCAL_MACHINE, kMemoryManagementKey,
                                     "PhysicalAddressExtension", &value);
    if (rc == ERROR_SUCCESS && value != 0) {
        LogInfo("PAE has been enabled\n");
        return true;
    }
    LogInfo("PAE has been disabled\n");
    return false;
}

bool IsECPEnabled() {
    DWORD value = 0;
    DWORD rc = ReadDwordRegistryData(
        HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Services\\LanmanServer\\Parameters",
        "EnableEcp", &value);
    if (rc == ERROR_SUCCESS && value != 0) {
        LogError("ECP has been enabled so patch should not be installed\n");
        return true;
    }
    LogInfo("ECP has been disabled\n");
    return false;
}

bool IsSSE2Supported() {
    if (IsProcessorFeaturePresent(PF_XMMI64_INSTRUCTIONS_AVAILABLE)) {
        LogInfo("SSE2 is supported in this machine\n");
        return true;
    }
    LogError("SSE2 is not supported in this machine so should not be installed\n");
    return false;
}

void enableProtectioninServerOS() {
    DWORD rc = writeValue(HKEY_LOCAL_MACHINE, kMemoryManagementKey, "FeatureSettingsOverride", "0",
                          REG_DWORD);
    LogInfo("enableProtectioninServerOS : FeatureSettingsOverride : %d \n", rc);
    rc = writeValue(HKEY_LOCAL_MACHINE, kMemoryManagementKey, "FeatureSettingsOverrideMask", "3",
                    REG_DWORD);
    LogInfo("enableProtectioninServerOS : FeatureSettingsOverrideMask : %d \n", rc);
    // The operating system reads this setting as the text "1.0"; a number here
    // would leave the mitigation for virtual machines switched off.
    rc = writeValueEx(HKEY_LOCAL_MACHINE,
                      "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Virtualization",
                      "MinVmVersionForCpuBasedMitigations", "1.0", REG_SZ);
    LogInfo("enableProtectioninServerOS : MinVmVersionForCpuBasedMitigations : %d \n", rc);
}
