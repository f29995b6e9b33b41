// Version, product, architecture and WOW64 queries for the Linux build. The
// answers come from the registry values a Windows machine keeps about itself,
// so a .reg export of a real machine reproduces its identity; without them
// the machine is the default profile: 64-bit Windows 10 Pro (10.0.19045),
// workstation, EditionID "Professional".
#include "kernel32/sysinfo.h"

#include "advapi32/registry_api.h"
#include "kernel32/machine_profile.h"
#include "kernel32/run_report.h"
#include "kernel32/sysinfo_cpu.h"
#include "kernel32/text.h"

#include <tw_linux.h>

#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace tw {

namespace {

const char16_t kNtCurrentVersion[] = u"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";
const char16_t kWin9xCurrentVersion[] = u"SOFTWARE\\Microsoft\\Windows\\CurrentVersion";
const char16_t kProductOptions[] = u"SYSTEM\\CurrentControlSet\\Control\\ProductOptions";
const char16_t kWindowsControl[] = u"SYSTEM\\CurrentControlSet\\Control\\Windows";
const char16_t kEnvironment[] = u"SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Environment";

// Parses "6.1" or "4.10.2222" (9x VersionNumber): up to three decimal parts.
bool parseDotted(const std::u16string& text, DWORD parts[3], int& count) {
    count = 0;
    parts[0] = parts[1] = parts[2] = 0;
    size_t i = 0;
    while (i < text.size() && text[i] == u' ')
        ++i;
    while (count < 3) {
        if (i >= text.size() || text[i] < u'0' || text[i] > u'9')
            break;
        unsigned long long v = 0;
        while (i < text.size() && text[i] >= u'0' && text[i] <= u'9') {
            v = v * 10 + static_cast<unsigned>(text[i] - u'0');
            if (v > 0xFFFFFFFFull)
                return false;
            ++i;
        }
        parts[count++] = static_cast<DWORD>(v);
        if (i < text.size() && text[i] == u'.')
            ++i;
        else
            break;
    }
    return count >= 2;
}

DWORD parseNumber(const std::u16string& text) {
    DWORD parts[3];
    int count = 0;
    parseDotted(text + u".0", parts, count);
    return count >= 1 ? parts[0] : 0;
}

// The narrow form of registry text for the A structures: UTF-8, cut on a
// character boundary so that it fits `maxBytes`.
std::string narrowBounded(const std::u16string& text, size_t maxBytes) {
    std::string s = Utf16ToUtf8(text);
    if (s.size() > maxBytes) {
        size_t cut = maxBytes;
        while (cut > 0 && (static_cast<unsigned char>(s[cut]) & 0xC0) == 0x80)
            --cut;
        s.resize(cut);
    }
    return s;
}

struct SuiteName {
    const char16_t* name;
    WORD bits;
};

// ProductSuite names as Windows writes them, and the VER_SUITE_ bits they set.
// "Terminal Server" also sets single-user mode: the application-server mode
// that would clear it is not modelled.
const SuiteName kSuites[] = {
    {u"Small Business", VER_SUITE_SMALLBUSINESS},
    {u"Enterprise", VER_SUITE_ENTERPRISE},
    {u"BackOffice", VER_SUITE_BACKOFFICE},
    {u"CommunicationServer", 0x0008},
    {u"Terminal Server", VER_SUITE_TERMINAL | VER_SUITE_SINGLEUSERTS},
    {u"Small Business(Restricted)", VER_SUITE_SMALLBUSINESS_RESTRICTED},
    {u"EmbeddedNT", 0x0040},
    {u"DataCenter", VER_SUITE_DATACENTER},
    {u"Personal", VER_SUITE_PERSONAL},
    {u"Blade", VER_SUITE_BLADE},
    {u"Embedded(Restricted)", 0x0800},
    {u"Security Appliance", 0x1000},
    {u"Storage Server", 0x2000},
    {u"Compute Server", 0x4000},
    {u"WH Server", 0x8000},
};

WORD suiteFromProductSuite(const std::vector<std::u16string>& names) {
    WORD mask = 0;
    for (const auto& n : names)
        for (const auto& s : kSuites)
            if (EqualNoCase(n, s.name))
                mask = static_cast<WORD>(mask | s.bits);
    return mask;
}

BYTE productTypeFromText(const std::u16string& text) {
    if (EqualNoCase(text, u"LanmanNT"))
        return VER_NT_DOMAIN_CONTROLLER;
    if (EqualNoCase(text, u"ServerNT"))
        return VER_NT_SERVER;
    return VER_NT_WORKSTATION; // "WinNT", and anything unknown
}

} // namespace

MachineVersion ReadMachineVersion() {
    ProfileSnapshot snapshot;
    MachineVersion v;
    v.platform = VER_PLATFORM_WIN32_NT;
    DWORD parts[3];
    int count = 0;
    std::u16string text;
    DWORD major = 0;
    bool fromProfile = true;
    if (ReadMachineDword(kNtCurrentVersion, u"CurrentMajorVersionNumber", major)) {
        // Windows 10 and later; "CurrentVersion" there stays "6.3" for old callers.
        v.major = major;
        DWORD minor = 0;
        ReadMachineDword(kNtCurrentVersion, u"CurrentMinorVersionNumber", minor);
        v.minor = minor;
    } else if (ReadMachineString(kNtCurrentVersion, u"CurrentVersion", text) &&
               parseDotted(text, parts, count)) {
        v.major = parts[0];
        v.minor = parts[1];
    } else if (ReadMachineString(kWin9xCurrentVersion, u"VersionNumber", text) &&
               parseDotted(text, parts, count)) {
        // Windows 95/98/Me keep "4.10.2222" here and the release letter in
        // "SubVersionNumber" (" A " for 98 SE); they know no extended structure.
        v.platform = VER_PLATFORM_WIN32_WINDOWS;
        v.major = parts[0];
        v.minor = parts[1];
        v.build = count >= 3 ? parts[2] : 0;
        std::u16string sub;
        if (ReadMachineString(kWin9xCurrentVersion, u"SubVersionNumber", sub))
            v.csdVersion = narrowBounded(sub, 127);
        v.extendedInfo = false;
        return v;
    } else {
        fromProfile = false;
        v.major = 10;
        v.minor = 0;
        NoteAssumption(kNtCurrentVersion, u"CurrentMajorVersionNumber", u"10",
                       AssumedFrom::DefaultProfile);
        NoteAssumption(kNtCurrentVersion, u"CurrentMinorVersionNumber", u"0",
                       AssumedFrom::DefaultProfile);
    }

    if (ReadMachineString(kNtCurrentVersion, u"CurrentBuildNumber", text) ||
        ReadMachineString(kNtCurrentVersion, u"CurrentBuild", text)) {
        v.build = parseNumber(text);
    } else {
        if (!fromProfile)
            v.build = 19045;
        NoteAssumption(kNtCurrentVersion, u"CurrentBuildNumber",
                       Utf8ToUtf16(std::to_string(v.build)), AssumedFrom::DefaultProfile);
    }

    if (ReadMachineString(kNtCurrentVersion, u"CSDVersion", text))
        v.csdVersion = narrowBounded(text, 127);
    DWORD csd = 0;
    if (ReadMachineDword(kWindowsControl, u"CSDVersion", csd)) {
        // 0x0100 is Service Pack 1.0: major in the high byte, minor in the low.
        v.servicePackMajor = static_cast<WORD>((csd >> 8) & 0xFF);
        v.servicePackMinor = static_cast<WORD>(csd & 0xFF);
    } else {
        const std::string prefix = "Service Pack ";
        if (v.csdVersion.compare(0, prefix.size(), prefix) == 0)
            v.servicePackMajor =
                static_cast<WORD>(parseNumber(Utf8ToUtf16(v.csdVersion.substr(prefix.size()))));
    }

    if (ReadMachineString(kProductOptions, u"ProductType", text)) {
        v.productType = productTypeFromText(text);
    } else {
        v.productType = VER_NT_WORKSTATION;
        NoteAssumption(kProductOptions, u"ProductType", u"WinNT", AssumedFrom::DefaultProfile);
    }

    std::vector<std::u16string> suite;
    if (!ReadMachineMultiString(kProductOptions, u"ProductSuite", suite)) {
        suite = {u"Terminal Server"};
        NoteAssumption(kProductOptions, u"ProductSuite", suite[0], AssumedFrom::DefaultProfile);
    }
    v.suiteMask = suiteFromProductSuite(suite);

    // OSVERSIONINFOEX came with NT 4.0 Service Pack 6.
    v.extendedInfo = v.major > 4 || (v.major == 4 && v.servicePackMajor >= 6);
    return v;
}

namespace {

struct EditionRow {
    const char16_t* editionId;
    DWORD product;
};

// EditionID (HKLM\SOFTWARE\Microsoft\Windows NT\CurrentVersion) to the
// PRODUCT_* number GetProductInfo reports for it.
const EditionRow kEditions[] = {
    {u"Ultimate", 0x01},
    {u"HomeBasic", 0x02},
    {u"HomePremium", 0x03},
    {u"Enterprise", 0x04},
    {u"HomeBasicN", 0x05},
    {u"Business", 0x06},
    {u"ServerStandard", 0x07},
    {u"ServerDatacenter", 0x08},
    {u"ServerSBSStandard", 0x09},
    {u"ServerEnterprise", 0x0A},
    {u"Starter", 0x0B},
    {u"ServerDatacenterCore", 0x0C},
    {u"ServerStandardCore", 0x0D},
    {u"ServerEnterpriseCore", 0x0E},
    {u"ServerEnterpriseIA64", 0x0F},
    {u"BusinessN", 0x10},
    {u"ServerWeb", 0x11},
    {u"ServerComputeCluster", 0x12},
    {u"ServerHome", 0x13},
    {u"ServerStorageExpress", 0x14},
    {u"ServerStorageStandard", 0x15},
    {u"ServerStorageWorkgroup", 0x16},
    {u"ServerStorageEnterprise", 0x17},
    {u"ServerForSmallBusiness", 0x18},
    {u"ServerSBSPremium", 0x19},
    {u"HomePremiumN", 0x1A},
    {u"EnterpriseN", 0x1B},
    {u"UltimateN", 0x1C},
    {u"ServerWebCore", 0x1D},
    {u"ServerFoundation", 0x21},
    {u"ServerHomePremium", 0x22},
    {u"ServerStandardV", 0x24},
    {u"ServerDatacenterV", 0x25},
    {u"ServerEnterpriseV", 0x26},
    {u"ServerDatacenterVCore", 0x27},
    {u"ServerStandardVCore", 0x28},
    {u"ServerEnterpriseVCore", 0x29},
    {u"ServerHyperCore", 0x2A},
    {u"StarterN", 0x2F},
    {u"Professional", 0x30},
    {u"ProfessionalN", 0x31},
    {u"ServerSolution", 0x32},
    {u"Embedded", 0x41},
    {u"StarterE", 0x42},
    {u"HomeBasicE", 0x43},
    {u"HomePremiumE", 0x44},
    {u"ProfessionalE", 0x45},
    {u"EnterpriseE", 0x46},
    {u"UltimateE", 0x47},
    {u"EnterpriseEval", 0x48},
    {u"ServerStandardEval", 0x4F},
    {u"ServerDatacenterEval", 0x50},
    {u"EnterpriseNEval", 0x54},
    {u"ServerStorageWorkgroupEval", 0x5F},
    {u"ServerStorageStandardEval", 0x60},
    {u"CoreARM", 0x61},
    {u"CoreN", 0x62},
    {u"CoreCountrySpecific", 0x63},
    {u"CoreSingleLanguage", 0x64},
    {u"Core", 0x65},
    {u"ProfessionalWMC", 0x67},
    {u"ServerCloudStorage", 0x6E},
    {u"Education", 0x79},
    {u"EducationN", 0x7A},
    {u"IoTUAP", 0x7B},
    {u"EnterpriseS", 0x7D},
    {u"EnterpriseSN", 0x7E},
    {u"EnterpriseSEval", 0x81},
    {u"EnterpriseSNEval", 0x82},
    {u"IoTUAPCommercial", 0x83},
    {u"ProfessionalWorkstation", 0xA1},
    {u"ProfessionalWorkstationN", 0xA2},
    {u"ProfessionalEducation", 0xA4},
    {u"ProfessionalEducationN", 0xA5},
    {u"ServerRdsh", 0xAF},
};

// PROCESSOR_ARCHITECTURE as Windows spells it in the environment.
WORD architectureFromText(const std::u16string& text, bool& known) {
    known = true;
    if (EqualNoCase(text, u"AMD64"))
        return PROCESSOR_ARCHITECTURE_AMD64;
    if (EqualNoCase(text, u"x86"))
        return PROCESSOR_ARCHITECTURE_INTEL;
    if (EqualNoCase(text, u"IA64"))
        return PROCESSOR_ARCHITECTURE_IA64;
    if (EqualNoCase(text, u"ARM64"))
        return PROCESSOR_ARCHITECTURE_ARM64;
    if (EqualNoCase(text, u"ARM"))
        return PROCESSOR_ARCHITECTURE_ARM;
    known = false;
    return PROCESSOR_ARCHITECTURE_UNKNOWN;
}

WORD hostArchitecture() {
#if defined(__x86_64__)
    return PROCESSOR_ARCHITECTURE_AMD64;
#elif defined(__i386__)
    return PROCESSOR_ARCHITECTURE_INTEL;
#elif defined(__aarch64__)
    return PROCESSOR_ARCHITECTURE_ARM64;
#elif defined(__arm__)
    return PROCESSOR_ARCHITECTURE_ARM;
#else
    return PROCESSOR_ARCHITECTURE_UNKNOWN;
#endif
}

WORD machineArchitecture() {
    // The registry store decides AMD64 (and with it the WOW64 view); ask it,
    // so that the view and these answers never disagree.
    if (MachineIsAmd64())
        return PROCESSOR_ARCHITECTURE_AMD64;
    std::u16string text;
    bool known = false;
    if (ReadMachineString(kEnvironment, u"PROCESSOR_ARCHITECTURE", text)) {
        WORD arch = architectureFromText(text, known);
        if (known)
            return arch;
    }
    WORD host = hostArchitecture();
    // The store said "not AMD64", so an x86-64 host stands for an x86 machine.
    return host == PROCESSOR_ARCHITECTURE_AMD64 ? PROCESSOR_ARCHITECTURE_INTEL : host;
}

void fillSystemInfo(LPSYSTEM_INFO info, WORD arch, bool view32) {
    memset(info, 0, sizeof *info);
    info->wProcessorArchitecture = arch;
    info->dwPageSize = 4096;
    info->dwAllocationGranularity = 65536;
    info->lpMinimumApplicationAddress = reinterpret_cast<LPVOID>(static_cast<uintptr_t>(0x10000));
    uintptr_t maxAddress = 0x7FFEFFFF;
    if (!view32 && sizeof(void*) == 8)
        maxAddress = static_cast<uintptr_t>(0x00007FFFFFFEFFFFull);
    info->lpMaximumApplicationAddress = reinterpret_cast<LPVOID>(maxAddress);

    long online = sysconf(_SC_NPROCESSORS_ONLN);
    DWORD cpus = online > 0 ? static_cast<DWORD>(online) : 1;
    DWORD limit = view32 ? 32 : static_cast<DWORD>(sizeof(DWORD_PTR) * 8);
    if (cpus > limit)
        cpus = limit;
    info->dwNumberOfProcessors = cpus;
    info->dwActiveProcessorMask = cpus >= sizeof(DWORD_PTR) * 8
                                      ? ~static_cast<DWORD_PTR>(0)
                                      : ((static_cast<DWORD_PTR>(1) << cpus) - 1);

    HostCpu cpu = ReadHostCpu();
    switch (arch) {
    case PROCESSOR_ARCHITECTURE_INTEL:
        info->dwProcessorType = 586; // PROCESSOR_INTEL_PENTIUM
        break;
    case PROCESSOR_ARCHITECTURE_AMD64:
        info->dwProcessorType = 8664; // PROCESSOR_AMD_X8664
        break;
    case PROCESSOR_ARCHITECTURE_IA64:
        info->dwProcessorType = 2200; // PROCESSOR_INTEL_IA64
        break;
    default:
        info->dwProcessorType = 0;
        break;
    }
    if (cpu.x86) {
        info->wProcessorLevel = static_cast<WORD>(cpu.family);
        info->wProcessorRevision =
            static_cast<WORD>(((cpu.model & 0xFF) << 8) | (cpu.stepping & 0xFF));
    }
}

} // namespace

DWORD MachineProductType() {
    ProfileSnapshot snapshot;
    std::u16string edition;
    if (ReadMachineString(kNtCurrentVersion, u"EditionID", edition)) {
        for (const auto& row : kEditions)
            if (EqualNoCase(edition, row.editionId))
                return row.product;
        return PRODUCT_UNDEFINED;
    }
    // Without an EditionID the edition follows the product type.
    bool workstation = ReadMachineVersion().productType == VER_NT_WORKSTATION;
    NoteAssumption(kNtCurrentVersion, u"EditionID",
                   workstation ? u"Professional" : u"ServerStandard", AssumedFrom::DefaultProfile);
    return workstation ? PRODUCT_PROFESSIONAL : PRODUCT_STANDARD_SERVER;
}

bool MachineIsWow64() {
    return MachineIsAmd64() && !TwLinuxProcessIs64Bit();
}

} // namespace tw

using namespace tw;

extern "C" {

BOOL GetVersionExA(LPOSVERSIONINFOA info) {
    if (info == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    DWORD size = info->dwOSVersionInfoSize;
    if (size != sizeof(OSVERSIONINFOA) && size != sizeof(OSVERSIONINFOEXA)) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    try {
        MachineVersion v = ReadMachineVersion();
        if (size == sizeof(OSVERSIONINFOEXA) && !v.extendedInfo) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        info->dwMajorVersion = v.major;
        info->dwMinorVersion = v.minor;
        // 9x keeps the version in the high word of the build number.
        info->dwBuildNumber =
            v.platform == VER_PLATFORM_WIN32_WINDOWS
                ? ((v.major & 0xFF) << 24) | ((v.minor & 0xFF) << 16) | (v.build & 0xFFFF)
                : v.build;
        info->dwPlatformId = v.platform;
        memset(info->szCSDVersion, 0, sizeof info->szCSDVersion);
        memcpy(info->szCSDVersion, v.csdVersion.data(), v.csdVersion.size());
        if (size == sizeof(OSVERSIONINFOEXA)) {
            auto* ex = reinterpret_cast<LPOSVERSIONINFOEXA>(info);
            ex->wServicePackMajor = v.servicePackMajor;
            ex->wServicePackMinor = v.servicePackMinor;
            ex->wSuiteMask = v.suiteMask;
            ex->wProductType = v.productType;
            ex->wReserved = 0;
        }
        return TRUE;
    } catch (...) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
}

BOOL GetProductInfo(DWORD osMajor, DWORD osMinor, DWORD spMajor, DWORD spMinor,
                    PDWORD productType) {
    if (productType == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    try {
        // The function answers for Windows Vista (6.0) and later only.
        if (osMajor < 6) {
            *productType = PRODUCT_UNDEFINED;
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        *productType = MachineProductType();
        return TRUE;
    } catch (...) {
        *productType = PRODUCT_UNDEFINED;
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
}

void GetNativeSystemInfo(LPSYSTEM_INFO info) {
    if (info == nullptr)
        return;
    try {
        // The machine's architecture; addresses and processor count as a
        // process of this bitness sees them.
        fillSystemInfo(info, machineArchitecture(), !TwLinuxProcessIs64Bit());
    } catch (...) {
        memset(info, 0, sizeof *info);
    }
}

void GetSystemInfo(LPSYSTEM_INFO info) {
    if (info == nullptr)
        return;
    try {
        WORD arch = machineArchitecture();
        // A 32-bit process on a 64-bit machine sees an x86 machine.
        bool process32 = !TwLinuxProcessIs64Bit();
        if (process32 && arch == PROCESSOR_ARCHITECTURE_AMD64)
            arch = PROCESSOR_ARCHITECTURE_INTEL;
        fillSystemInfo(info, arch, process32);
    } catch (...) {
        memset(info, 0, sizeof *info);
    }
}

BOOL IsWow64Process(HANDLE process, PBOOL wow64) {
    if (wow64 == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    // Only this process can be asked about: it is the only one this layer knows.
    if (process != GetCurrentProcess()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    try {
        *wow64 = MachineIsWow64() ? TRUE : FALSE;
        return TRUE;
    } catch (...) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
}

} // extern "C"
