#include "machine/os_name.h"
#include "base/log.h"
#include "registry/registry_helpers.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace {

const size_t kNameSize = 100;

struct Edition {
    DWORD number;
    const char* text;
};

const Edition kEditions[] = {
    {1, "Ultimate Edition"},
    {2, "Home Basic Edition"},
    {3, "Home Premium Edition"},
    {4, "Enterprise Edition"},
    {5, "Home Basic Edition"},
    {6, "Business Edition"},
    {7, "Standard Edition"},
    {8, "Datacenter Edition"},
    {9, "Small Business Server"},
    {10, "Enterprise Edition"},
    {11, "Starter"},
    {12, "Datacenter Edition (core installation)"},
    {13, "Enterprise Edition (core installation)"},
    {14, "Standard Edition (core installation)"},
    {16, "Business Edition"},
    {17, "Web Server Edition"},
    {20, "Storage Server Express Edition"},
    {21, "Storage Server Standard Edition"},
    {22, "Storage Server Workgroup Edition"},
    {23, "Storage Server Enterprise Edition"},
    {25, "Small Business Server Premium Edition"},
    {26, "Home Premium Edition"},
    {27, "Enterprise Edition"},
    {28, "Ultimate Edition"},
    {29, "Web Server Edition"},
    {33, "Foundation Edition"},
    {36, "Standard Edition without Hyper-V"},
    {37, "Datacenter Edition without Hyper-V"},
    {38, "Enterprise Edition without Hyper-V"},
    {39, "Datacenter Edition without Hyper-V (core installation)"},
    {40, "Standard Edition without Hyper-V (core installation)"},
    {41, "Enterprise Edition without Hyper-V (core installation)"},
    {47, "Starter"},
    {48, "Professional Edition"},
    {49, "Professional Edition"},
    {50, "Essentials Edition"},
    {65, "Embedded Standard Edition"},
    {66, "Starter"},
    {69, "Professional Edition"},
    {79, "Server Standard (evaluation installation) Edition"},
    {101, "Home"},
    {103, "Professional with Media Center Edition"},
    {121, "Education"},
    {122, "Education N"},
    {123, "IoT Core"},
    {125, "Enterprise 2015 LTSB"},
    {126, "Enterprise 2015 LTSB N"},
    {129, "Enterprise 2015 LTSB Evaluation"},
    {130, "Enterprise 2015 LTSB N Evaluation"},
    {131, "IoT Core Commercial"},
};

const char* editionText(DWORD number) {
    for (const Edition& e : kEditions) {
        if (e.number == number)
            return e.text;
    }
    return nullptr;
}

// Format by version: workstation (x86, x64), server (x86, x64).
struct FormatRow {
    DWORD major, minor;
    const char* formats[4];
};

const FormatRow kFormats[] = {
    {6,
     0,
     {"Windows Vista %s", "Windows Vista %s (x64)", "Windows Server 2008 %s",
      "Windows Server 2008 %s (x64)"}},
    {6,
     1,
     {"Windows 7 %s", "Windows 7 %s (x64)", "Windows Server 2008 R2 %s",
      "Windows Server 2008 R2 %s (x64)"}},
    {6,
     2,
     {"Windows 8 %s", "Windows 8 %s (x64)", "Windows Server 2012 %s (x64)",
      "Windows Server 2012 %s (x64)"}},
    {6,
     3,
     {"Windows 8.1 %s", "Windows 8.1 %s (x64)", "Windows Server 2012 R2 %s (x64)",
      "Windows Server 2012 R2 %s (x64)"}},
    {10,
     0,
     {"Windows 10 %s", "Windows 10 %s (x64)", "Windows Server 2016 %s (x64)",
      "Windows Server 2016 %s (x64)"}},
};

char* newName() {
    return static_cast<char*>(calloc(kNameSize, 1));
}

char* modernName(const OsVersionData& v, DWORD majorArg, DWORD minorArg,
                 const OsNameReaders& readers) {
    bool x64 = v.processorArchitecture == PROCESSOR_ARCHITECTURE_AMD64;
    bool workstation = v.productType == VER_NT_WORKSTATION;
    LogDebug("GetOSNameEx : dwMinorVersion : %d\n", minorArg);
    LogDebug("GetOSNameEx : dwMajorVersion : %d\n", majorArg);
    LogDebug("osvi.dwMajorVersion : %d\n", v.majorVersion);
    LogDebug("osvi.dwMinorVersion : %d\n", v.minorVersion);
    LogDebug("osvi.wServicePackMajor : %d\n", v.servicePackMajor);
    LogDebug("osvi.wServicePackMinor : %d\n", v.servicePackMinor);
    LogDebug("dwPlatformInfo : %d\n", v.productInfo);
    LogDebug("si.wProcessorArchitecture : %d\n", v.processorArchitecture);

    DWORD major = v.majorVersion, minor = v.minorVersion;
    if (majorArg != 0 || minorArg != 0) {
        major = majorArg;
        minor = minorArg;
    }
    char* name = newName();
    if (name == nullptr)
        return nullptr;

    const char* edition;
    DWORD number = v.productInfo;
    if (number >= 98 && number <= 100) {
        const char* whole = nullptr;
        if (workstation && major == 6 && minor == 2)
            whole = x64 ? "Windows 8 (x64)" : "Windows 8";
        else if (workstation && major == 6 && minor == 3)
            whole = x64 ? "Windows 8.1 (x64)" : "Windows 8.1";
        else if (workstation && major == 10 && minor == 0)
            whole = x64 ? "Windows 10 (x64)" : "Windows 10";
        if (whole != nullptr) {
            snprintf(name, kNameSize, "%s", whole);
            LogDebug("Returning with OS Name %s\n", name);
            return name;
        }
        // These editions name no edition text of their own anywhere else.
        edition = "";
    } else {
        edition = editionText(number);
        if (edition == nullptr) {
            LogInfo("dwPlatformInfo : %d\n", number);
            LogInfo("dwMajorVersion : %d\n", major);
            LogInfo("dwMinorVersion : %d\n", minor);
            LogError("Edition can't be retrieved. So Assuming it as Beta\n");
            edition = "Beta";
        }
    }

    std::string productName;
    if (readers.productName != nullptr && readers.productName(productName) &&
        productName.find("Preview") != std::string::npos) {
        LogInfo("OS Name detected from registry is : %s\n", productName.c_str());
        edition = "Beta";
    }

    for (const FormatRow& row : kFormats) {
        if (row.major == major && row.minor == minor) {
            int column = (workstation ? 0 : 2) + (x64 ? 1 : 0);
            snprintf(name, kNameSize, row.formats[column], edition);
            break;
        }
    }
    return name;
}

const char* ntPrefix(const OsVersionData& v) {
    if (!v.prefixQueryOk)
        return "UnSupported";
    bool x64 = v.processorArchitecture == PROCESSOR_ARCHITECTURE_AMD64;
    DWORD major = v.majorVersion, minor = v.minorVersion;
    if (major == 5 && minor == 2)
        return (x64 && v.productType == VER_NT_WORKSTATION) ? "Windows XP " : "Windows Server 2003";
    if (major == 5 && minor == 1)
        return "Windows XP ";
    if (major == 5 && minor == 0)
        return "Windows 2000 ";
    if (major <= 4)
        return "Windows NT ";
    return ""; // no prefix is known for these versions
}

const char* ntProductText(const OsVersionData& v) {
    bool x64 = v.processorArchitecture == PROCESSOR_ARCHITECTURE_AMD64;
    DWORD major = v.majorVersion, minor = v.minorVersion;
    WORD suite = v.suiteMask;
    if (v.productType == VER_NT_WORKSTATION) {
        if (!x64) {
            if (major == 4)
                return "Workstation 4.0";
            if (suite & VER_SUITE_PERSONAL)
                return "Home Edition ";
            return "Professional";
        }
        // An x64 workstation other than 5.2 still is a Professional edition.
        return (major == 5 && minor == 2) ? "Professional x64 Edition" : "Professional";
    }
    if (v.productType != VER_NT_SERVER && v.productType != VER_NT_DOMAIN_CONTROLLER)
        return "";
    if (major == 5 && minor == 2) {
        if (x64) {
            if (suite & VER_SUITE_ENTERPRISE)
                return ", Enterprise x64 Edition";
            if (suite & VER_SUITE_DATACENTER)
                return ", Datacenter x64 Edition";
            return ", Standard x64 Edition";
        }
        if (suite & VER_SUITE_DATACENTER)
            return ", Datacenter Edition";
        if (suite & VER_SUITE_ENTERPRISE)
            return ", Enterprise Edition";
        if (suite & VER_SUITE_BLADE)
            return ", Web Edition";
        if (suite & (VER_SUITE_SMALLBUSINESS | VER_SUITE_SMALLBUSINESS_RESTRICTED))
            return " for Small Business Server";
        return ", Standard Edition";
    }
    if (major == 5 && minor == 0) {
        if (suite & VER_SUITE_DATACENTER)
            return "Datacenter Server";
        if (suite & VER_SUITE_ENTERPRISE)
            return "Advanced Server";
        return "Server";
    }
    if (suite & VER_SUITE_TERMINAL)
        return "Server 4.0, Terminal Server Edition";
    return "Server 4.0";
}

char* legacyName(const OsVersionData& v, const OsNameReaders& readers) {
    char* name = newName();
    if (name == nullptr)
        return nullptr;
    switch (v.platformId) {
    case VER_PLATFORM_WIN32s:
        snprintf(name, kNameSize, "Win32s");
        break;
    case VER_PLATFORM_WIN32_WINDOWS:
        if (v.majorVersion == 4) {
            if (v.minorVersion == 0)
                snprintf(name, kNameSize, "Windows 95");
            else if (v.minorVersion == 10)
                snprintf(name, kNameSize, v.csdVersion[1] == 'A' ? "Windows 98 SE" : "Windows 98");
            else if (v.minorVersion == 90)
                snprintf(name, kNameSize, "Windows Millennium Edition");
        }
        break;
    case VER_PLATFORM_WIN32_NT:
        if (v.extended) {
            snprintf(name, kNameSize, "%s%s", ntPrefix(v), ntProductText(v));
        } else {
            std::string type;
            if (readers.productOptionsType == nullptr || !readers.productOptionsType(type)) {
                free(name);
                return nullptr;
            }
            const char* product = "";
            if (_stricmp(type.c_str(), "WINNT") == 0)
                product = "Workstation";
            else if (_stricmp(type.c_str(), "LANMANNT") == 0)
                product = "Server";
            else if (_stricmp(type.c_str(), "SERVERNT") == 0)
                product = "Advanced Server";
            snprintf(name, kNameSize, "%s%s %d.%d", ntPrefix(v), product,
                     static_cast<int>(v.majorVersion), static_cast<int>(v.minorVersion));
        }
        break;
    default:
        break;
    }
    return name;
}

bool readProductName(std::string& out) {
    char* text = nullptr;
    DWORD rc = ReadRegSZ(HKEY_LOCAL_MACHINE, "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion",
                         "ProductName", &text);
    if (rc == ERROR_SUCCESS && text != nullptr)
        out = text;
    free(text);
    return rc == ERROR_SUCCESS;
}

bool readProductOptionsType(std::string& out) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Control\\ProductOptions", 0,
                      KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
        return false;
    char buffer[1024 + 1] = {};
    DWORD size = 1024;
    LONG rc = RegQueryValueExA(key, "ProductType", nullptr, nullptr,
                               reinterpret_cast<LPBYTE>(buffer), &size);
    RegCloseKey(key);
    if (rc != ERROR_SUCCESS || size > 1024)
        return false;
    out.assign(buffer);
    return true;
}

typedef void(WINAPI* NativeSystemInfoFn)(LPSYSTEM_INFO);
typedef BOOL(WINAPI* ProductInfoFn)(DWORD, DWORD, DWORD, DWORD, PDWORD);

void querySystemInfo(SYSTEM_INFO& si) {
    memset(&si, 0, sizeof si);
    HMODULE k32 = GetModuleHandleA("kernel32.dll");
    auto native = k32 ? reinterpret_cast<NativeSystemInfoFn>(
                            reinterpret_cast<void*>(GetProcAddress(k32, "GetNativeSystemInfo")))
                      : nullptr;
    if (native != nullptr)
        native(&si);
    else
        GetSystemInfo(&si);
}

bool queryVersion(OSVERSIONINFOEXA& osvi, bool& extended) {
    memset(&osvi, 0, sizeof osvi);
    osvi.dwOSVersionInfoSize = sizeof(OSVERSIONINFOEXA);
    extended = GetVersionExA(reinterpret_cast<OSVERSIONINFOA*>(&osvi)) != FALSE;
    if (extended)
        return true;
    memset(&osvi, 0, sizeof osvi);
    osvi.dwOSVersionInfoSize = sizeof(OSVERSIONINFOA);
    return GetVersionExA(reinterpret_cast<OSVERSIONINFOA*>(&osvi)) != FALSE;
}

} // namespace

char* NameOperatingSystem(const OsVersionData& v, DWORD major, DWORD minor,
                          const OsNameReaders& readers) {
    if (v.hasProductInfo)
        return modernName(v, major, minor, readers);
    return legacyName(v, readers);
}

bool QueryOsVersionData(OsVersionData& v) {
    HMODULE k32 = LoadLibraryA("kernel32.dll");
    SYSTEM_INFO si;
    querySystemInfo(si);
    OSVERSIONINFOEXA osvi;
    bool extended = false;
    if (!queryVersion(osvi, extended)) {
        if (k32 != nullptr)
            FreeLibrary(k32);
        return false;
    }
    v.majorVersion = osvi.dwMajorVersion;
    v.minorVersion = osvi.dwMinorVersion;
    v.platformId = osvi.dwPlatformId;
    memcpy(v.csdVersion, osvi.szCSDVersion, sizeof v.csdVersion);
    v.csdVersion[sizeof v.csdVersion - 1] = '\0';
    v.extended = extended;
    if (extended) {
        v.servicePackMajor = osvi.wServicePackMajor;
        v.servicePackMinor = osvi.wServicePackMinor;
        v.suiteMask = osvi.wSuiteMask;
        v.productType = osvi.wProductType;
    }
    v.processorArchitecture = si.wProcessorArchitecture;
    v.hasProductInfo = false;
    if (k32 != nullptr) {
        auto productInfo = reinterpret_cast<ProductInfoFn>(
            reinterpret_cast<void*>(GetProcAddress(k32, "GetProductInfo")));
        DWORD type = 0;
        if (productInfo != nullptr &&
            productInfo(osvi.dwMajorVersion, osvi.dwMinorVersion, osvi.wServicePackMajor,
                        osvi.wServicePackMinor, &type)) {
            v.hasProductInfo = true;
            v.productInfo = type;
        }
        FreeLibrary(k32);
    }
    if (!v.hasProductInfo && v.platformId == VER_PLATFORM_WIN32_NT) {
        // The old naming asks again for the prefix, with its own fresh query.
        OSVERSIONINFOEXA again;
        bool ext2 = false;
        v.prefixQueryOk = queryVersion(again, ext2) && ext2;
    }
    return true;
}

char* GetOSNameEx(DWORD major, DWORD minor) {
    OsVersionData v;
    if (!QueryOsVersionData(v))
        return nullptr;
    OsNameReaders readers;
    readers.productName = readProductName;
    readers.productOptionsType = readProductOptionsType;
    return NameOperatingSystem(v, major, minor, readers);
}
