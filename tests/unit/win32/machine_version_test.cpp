// Machine identity from the registry profile: version, product type, suite,
// edition, the module table and the architecture a process sees.
#include "machine_profile.h"

#include <tw_linux.h>

#include <string.h>

using namespace mt;

namespace {

class MachineVersion : public MachineTest {};
class MachineProduct : public MachineTest {};
class MachineLoader : public MachineTest {};
class MachineArchitecture : public MachineTest {
  protected:
    ~MachineArchitecture() override { TwLinuxSetProcessIs64Bit(0); }
};

void Windows7Sp1Server() {
    SetSz(kNtCurrentVersion, u"CurrentVersion", u"6.1");
    SetSz(kNtCurrentVersion, u"CurrentBuildNumber", u"7601");
    SetSz(kNtCurrentVersion, u"CSDVersion", u"Service Pack 1");
    SetDword(u"SYSTEM\\CurrentControlSet\\Control\\Windows", u"CSDVersion", 0x0100);
    SetSz(kProductOptions, u"ProductType", u"ServerNT");
    SetMultiSz(kProductOptions, u"ProductSuite", {u"Enterprise", u"Terminal Server"});
    SetSz(kNtCurrentVersion, u"EditionID", u"ServerEnterprise");
}

} // namespace

TEST_F(MachineVersion, EmptyStoreIsTheDefaultWindows10ProWorkstation) {
    OSVERSIONINFOEXA v = VersionEx();
    EXPECT_EQ(10u, v.dwMajorVersion);
    EXPECT_EQ(0u, v.dwMinorVersion);
    EXPECT_EQ(19045u, v.dwBuildNumber);
    EXPECT_EQ(static_cast<DWORD>(VER_PLATFORM_WIN32_NT), v.dwPlatformId);
    EXPECT_STREQ("", v.szCSDVersion);
    EXPECT_EQ(VER_NT_WORKSTATION, v.wProductType);
    EXPECT_EQ(VER_SUITE_TERMINAL | VER_SUITE_SINGLEUSERTS, v.wSuiteMask);
    EXPECT_EQ(static_cast<DWORD>(PRODUCT_PROFESSIONAL), ProductInfo());
}

TEST_F(MachineVersion, Windows10NumbersWinOverTheCompatibilityText) {
    // Windows 10 keeps "6.3" in CurrentVersion for old callers.
    SetSz(kNtCurrentVersion, u"CurrentVersion", u"6.3");
    SetDword(kNtCurrentVersion, u"CurrentMajorVersionNumber", 10);
    SetDword(kNtCurrentVersion, u"CurrentMinorVersionNumber", 0);
    SetSz(kNtCurrentVersion, u"CurrentBuildNumber", u"22631");
    OSVERSIONINFOEXA v = VersionEx();
    EXPECT_EQ(10u, v.dwMajorVersion);
    EXPECT_EQ(0u, v.dwMinorVersion);
    EXPECT_EQ(22631u, v.dwBuildNumber);
}

TEST_F(MachineVersion, OlderSystemFromCurrentVersionTextWithServicePack) {
    Windows7Sp1Server();
    OSVERSIONINFOEXA v = VersionEx();
    EXPECT_EQ(6u, v.dwMajorVersion);
    EXPECT_EQ(1u, v.dwMinorVersion);
    EXPECT_EQ(7601u, v.dwBuildNumber);
    EXPECT_STREQ("Service Pack 1", v.szCSDVersion);
    EXPECT_EQ(1, v.wServicePackMajor);
    EXPECT_EQ(0, v.wServicePackMinor);
    EXPECT_EQ(VER_NT_SERVER, v.wProductType);
    EXPECT_EQ(VER_SUITE_ENTERPRISE | VER_SUITE_TERMINAL | VER_SUITE_SINGLEUSERTS, v.wSuiteMask);
}

TEST_F(MachineVersion, ServicePackNumberFromTheTextWhenNoDwordIsKept) {
    SetSz(kNtCurrentVersion, u"CurrentVersion", u"5.1");
    SetSz(kNtCurrentVersion, u"CSDVersion", u"Service Pack 3");
    OSVERSIONINFOEXA v = VersionEx();
    EXPECT_EQ(3, v.wServicePackMajor);
    EXPECT_EQ(0, v.wServicePackMinor);
}

TEST_F(MachineVersion, ProductTypeTextsIgnoreCase) {
    const struct {
        const char16_t* text;
        BYTE type;
    } rows[] = {{u"WinNT", VER_NT_WORKSTATION},
                {u"ServerNT", VER_NT_SERVER},
                {u"LanmanNT", VER_NT_DOMAIN_CONTROLLER},
                {u"SERVERNT", VER_NT_SERVER},
                {u"lanmannt", VER_NT_DOMAIN_CONTROLLER}};
    for (const auto& row : rows) {
        SetSz(kProductOptions, u"ProductType", row.text);
        EXPECT_EQ(row.type, VersionEx().wProductType);
    }
}

TEST_F(MachineVersion, SuiteMaskFollowsProductSuite) {
    SetMultiSz(kProductOptions, u"ProductSuite", {u"Personal", u"Terminal Server"});
    EXPECT_EQ(VER_SUITE_PERSONAL | VER_SUITE_TERMINAL | VER_SUITE_SINGLEUSERTS,
              VersionEx().wSuiteMask);
    SetMultiSz(kProductOptions, u"ProductSuite", {u"Blade", u"DataCenter", u"Unknown Thing"});
    EXPECT_EQ(VER_SUITE_BLADE | VER_SUITE_DATACENTER, VersionEx().wSuiteMask);
    // Present but empty: no suite at all (NT 4.0 workstations).
    SetMultiSz(kProductOptions, u"ProductSuite", {});
    EXPECT_EQ(0, VersionEx().wSuiteMask);
}

TEST_F(MachineVersion, StructureSizesAsWindowsChecksThem) {
    SetSz(kNtCurrentVersion, u"CurrentVersion", u"6.2");
    // The basic structure is filled without touching what follows it.
    unsigned char buf[sizeof(OSVERSIONINFOEXA)];
    memset(buf, 0xA5, sizeof buf);
    auto* basic = reinterpret_cast<LPOSVERSIONINFOA>(buf);
    basic->dwOSVersionInfoSize = sizeof(OSVERSIONINFOA);
    ASSERT_TRUE(GetVersionExA(basic));
    EXPECT_EQ(6u, basic->dwMajorVersion);
    EXPECT_EQ(2u, basic->dwMinorVersion);
    for (size_t i = sizeof(OSVERSIONINFOA); i < sizeof buf; ++i)
        EXPECT_EQ(0xA5, buf[i]) << "byte " << i;

    OSVERSIONINFOA wrong{};
    wrong.dwOSVersionInfoSize = sizeof(OSVERSIONINFOA) - 4;
    SetLastError(0);
    EXPECT_FALSE(GetVersionExA(&wrong));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER), GetLastError());
}

TEST_F(MachineVersion, ExtendedStructureNeedsNt4ServicePack6) {
    SetSz(kNtCurrentVersion, u"CurrentVersion", u"4.0");
    SetSz(kNtCurrentVersion, u"CSDVersion", u"Service Pack 5");
    OSVERSIONINFOEXA ex{};
    ex.dwOSVersionInfoSize = sizeof ex;
    EXPECT_FALSE(GetVersionExA(reinterpret_cast<LPOSVERSIONINFOA>(&ex)));
    OSVERSIONINFOA basic{};
    basic.dwOSVersionInfoSize = sizeof basic;
    ASSERT_TRUE(GetVersionExA(&basic));
    EXPECT_EQ(4u, basic.dwMajorVersion);
    EXPECT_STREQ("Service Pack 5", basic.szCSDVersion);

    SetSz(kNtCurrentVersion, u"CSDVersion", u"Service Pack 6");
    EXPECT_TRUE(GetVersionExA(reinterpret_cast<LPOSVERSIONINFOA>(&ex)));
}

TEST_F(MachineVersion, Windows98SecondEditionProfile) {
    // A 9x machine has no Windows NT key, only these two values.
    SetSz(u"SOFTWARE\\Microsoft\\Windows\\CurrentVersion", u"VersionNumber", u"4.10.2222");
    SetSz(u"SOFTWARE\\Microsoft\\Windows\\CurrentVersion", u"SubVersionNumber", u" A ");
    OSVERSIONINFOA basic{};
    basic.dwOSVersionInfoSize = sizeof basic;
    ASSERT_TRUE(GetVersionExA(&basic));
    EXPECT_EQ(static_cast<DWORD>(VER_PLATFORM_WIN32_WINDOWS), basic.dwPlatformId);
    EXPECT_EQ(4u, basic.dwMajorVersion);
    EXPECT_EQ(10u, basic.dwMinorVersion);
    EXPECT_EQ(2222u, basic.dwBuildNumber & 0xFFFF);
    EXPECT_EQ('A', basic.szCSDVersion[1]);
    OSVERSIONINFOEXA ex{};
    ex.dwOSVersionInfoSize = sizeof ex;
    EXPECT_FALSE(GetVersionExA(reinterpret_cast<LPOSVERSIONINFOA>(&ex)));
}

TEST_F(MachineVersion, BadRegistryDataIsBoundedOrIgnored) {
    // A service-pack text longer than the structure's 128 bytes is cut, not overrun.
    SetSz(kNtCurrentVersion, u"CSDVersion", WString(300, u'x'));
    // A number stored as text is not a DWORD: the text version is used instead.
    SetSz(kNtCurrentVersion, u"CurrentMajorVersionNumber", u"10");
    SetSz(kNtCurrentVersion, u"CurrentVersion", u"6.1");
    unsigned char buf[sizeof(OSVERSIONINFOEXA) + 16];
    memset(buf, 0xA5, sizeof buf);
    auto* ex = reinterpret_cast<LPOSVERSIONINFOEXA>(buf);
    ex->dwOSVersionInfoSize = sizeof(OSVERSIONINFOEXA);
    ASSERT_TRUE(GetVersionExA(reinterpret_cast<LPOSVERSIONINFOA>(ex)));
    EXPECT_EQ(127u, strlen(ex->szCSDVersion));
    EXPECT_EQ(6u, ex->dwMajorVersion);
    for (size_t i = sizeof(OSVERSIONINFOEXA); i < sizeof buf; ++i)
        EXPECT_EQ(0xA5, buf[i]);
}

TEST_F(MachineProduct, EditionIdMapsToProductNumber) {
    const struct {
        const char16_t* edition;
        DWORD product;
    } rows[] = {
        {u"Professional", 0x30},
        {u"professional", 0x30},
        {u"Core", 0x65},
        {u"CoreSingleLanguage", 0x64},
        {u"CoreCountrySpecific", 0x63},
        {u"CoreN", 0x62},
        {u"Enterprise", 0x04},
        {u"EnterpriseS", 0x7D},
        {u"Education", 0x79},
        {u"Ultimate", 0x01},
        {u"HomePremium", 0x03},
        {u"ServerStandard", 0x07},
        {u"ServerDatacenter", 0x08},
        {u"ServerStandardEval", 0x4F},
        {u"ServerSolution", 0x32},
        {u"NoSuchEdition", PRODUCT_UNDEFINED},
    };
    for (size_t i = 0; i < sizeof rows / sizeof rows[0]; ++i) {
        SetSz(kNtCurrentVersion, u"EditionID", rows[i].edition);
        EXPECT_EQ(rows[i].product, ProductInfo()) << "row " << i;
    }
}

TEST_F(MachineProduct, WithoutEditionIdTheProductTypeDecides) {
    SetSz(kProductOptions, u"ProductType", u"ServerNT");
    EXPECT_EQ(static_cast<DWORD>(PRODUCT_STANDARD_SERVER), ProductInfo());
    SetSz(kProductOptions, u"ProductType", u"WinNT");
    EXPECT_EQ(static_cast<DWORD>(PRODUCT_PROFESSIONAL), ProductInfo());
}

TEST_F(MachineProduct, VersionsBeforeVistaAreRefused) {
    DWORD product = 0xDEADBEEF;
    EXPECT_FALSE(GetProductInfo(5, 1, 3, 0, &product));
    EXPECT_EQ(static_cast<DWORD>(PRODUCT_UNDEFINED), product);
}

TEST_F(MachineLoader, ModuleNamesIgnoreCaseExtensionAndFolder) {
    HMODULE k = LoadLibraryA("kernel32.dll");
    ASSERT_NE(nullptr, k);
    EXPECT_EQ(k, LoadLibraryA("KERNEL32.DLL"));
    EXPECT_EQ(k, GetModuleHandleA("kernel32"));
    EXPECT_EQ(k, GetModuleHandleA("C:\\Windows\\System32\\Kernel32.dll"));
    EXPECT_NE(k, GetModuleHandleA("Advapi32.dll"));
    EXPECT_TRUE(FreeLibrary(k));

    SetLastError(0);
    EXPECT_EQ(nullptr, LoadLibraryA("nosuchmodule.dll"));
    EXPECT_EQ(static_cast<DWORD>(ERROR_MOD_NOT_FOUND), GetLastError());
    SetLastError(0);
    EXPECT_EQ(nullptr, GetModuleHandleA("kernel32x"));
    EXPECT_EQ(static_cast<DWORD>(ERROR_MOD_NOT_FOUND), GetLastError());
}

TEST_F(MachineLoader, EntryPointsAreTheRealFunctions) {
    HMODULE k = GetModuleHandleA("kernel32");
    using Native = void (*)(LPSYSTEM_INFO);
    using Wow = BOOL (*)(HANDLE, PBOOL);
    // Through void(*)(void), as callers cast FARPROC to the real type.
    using Plain = void (*)(void);
    auto native =
        reinterpret_cast<Native>(reinterpret_cast<Plain>(GetProcAddress(k, "GetNativeSystemInfo")));
    auto wow = reinterpret_cast<Wow>(reinterpret_cast<Plain>(GetProcAddress(k, "IsWow64Process")));
    ASSERT_NE(nullptr, native);
    ASSERT_NE(nullptr, wow);
    SYSTEM_INFO direct{}, through{};
    GetNativeSystemInfo(&direct);
    native(&through);
    EXPECT_EQ(direct.wProcessorArchitecture, through.wProcessorArchitecture);
    BOOL a = 2, b = 3;
    ASSERT_TRUE(wow(GetCurrentProcess(), &a));
    ASSERT_TRUE(IsWow64Process(GetCurrentProcess(), &b));
    EXPECT_EQ(a, b);
    // Export names are case-sensitive.
    SetLastError(0);
    EXPECT_EQ(nullptr, GetProcAddress(k, "getnativesysteminfo"));
    EXPECT_EQ(static_cast<DWORD>(ERROR_PROC_NOT_FOUND), GetLastError());
}

TEST_F(MachineLoader, TransactedRegistryCallsAreNotExported) {
    HMODULE advapi = GetModuleHandleA("Advapi32.dll");
    ASSERT_NE(nullptr, advapi);
    EXPECT_NE(nullptr, GetProcAddress(advapi, "RegOpenKeyExA"));
    for (const char* name : {"RegOpenKeyTransactedA", "RegCreateKeyTransactedA"}) {
        SetLastError(0);
        EXPECT_EQ(nullptr, GetProcAddress(advapi, name)) << name;
        EXPECT_EQ(static_cast<DWORD>(ERROR_PROC_NOT_FOUND), GetLastError());
    }
}

TEST_F(MachineLoader, GetProductInfoExistsFromVistaOn) {
    HMODULE k = GetModuleHandleA("kernel32");
    SetSz(kNtCurrentVersion, u"CurrentVersion", u"5.2");
    SetLastError(0);
    EXPECT_EQ(nullptr, GetProcAddress(k, "GetProductInfo"));
    EXPECT_EQ(static_cast<DWORD>(ERROR_PROC_NOT_FOUND), GetLastError());
    // Present since XP: the legacy naming path still finds these.
    EXPECT_NE(nullptr, GetProcAddress(k, "GetNativeSystemInfo"));
    SetSz(kNtCurrentVersion, u"CurrentVersion", u"6.0");
    EXPECT_NE(nullptr, GetProcAddress(k, "GetProductInfo"));
}

TEST_F(MachineLoader, ProgramModuleAndBadHandles) {
    HMODULE self = GetModuleHandleA(nullptr);
    ASSERT_NE(nullptr, self);
    EXPECT_EQ(nullptr, GetProcAddress(self, "GetProductInfo"));
    int notAModule = 0;
    EXPECT_EQ(nullptr, GetProcAddress(reinterpret_cast<HMODULE>(&notAModule), "GetSystemInfo"));
    EXPECT_FALSE(FreeLibrary(reinterpret_cast<HMODULE>(&notAModule)));
    // Ordinals are not supported.
    EXPECT_EQ(nullptr, GetProcAddress(GetModuleHandleA("kernel32"), reinterpret_cast<LPCSTR>(5)));
}

TEST_F(MachineArchitecture, ThirtyTwoBitProcessOnAmd64IsWow64) {
    SetSz(kEnvironment, u"PROCESSOR_ARCHITECTURE", u"AMD64");
    TwLinuxSetProcessIs64Bit(0);
    BOOL wow = FALSE;
    ASSERT_TRUE(IsWow64Process(GetCurrentProcess(), &wow));
    EXPECT_TRUE(wow);
    SYSTEM_INFO seen{}, native{};
    GetSystemInfo(&seen);
    GetNativeSystemInfo(&native);
    EXPECT_EQ(PROCESSOR_ARCHITECTURE_INTEL, seen.wProcessorArchitecture);
    EXPECT_EQ(PROCESSOR_ARCHITECTURE_AMD64, native.wProcessorArchitecture);
    EXPECT_EQ(reinterpret_cast<LPVOID>(static_cast<uintptr_t>(0x7FFEFFFF)),
              seen.lpMaximumApplicationAddress);
    EXPECT_GE(seen.dwNumberOfProcessors, 1u);
    EXPECT_LE(seen.dwNumberOfProcessors, 32u);
    EXPECT_EQ(4096u, seen.dwPageSize);
    EXPECT_EQ(65536u, seen.dwAllocationGranularity);
}

TEST_F(MachineArchitecture, SixtyFourBitProcessIsNotWow64) {
    SetSz(kEnvironment, u"PROCESSOR_ARCHITECTURE", u"AMD64");
    TwLinuxSetProcessIs64Bit(1);
    BOOL wow = TRUE;
    ASSERT_TRUE(IsWow64Process(GetCurrentProcess(), &wow));
    EXPECT_FALSE(wow);
    SYSTEM_INFO seen{};
    GetSystemInfo(&seen);
    EXPECT_EQ(PROCESSOR_ARCHITECTURE_AMD64, seen.wProcessorArchitecture);
}

TEST_F(MachineArchitecture, X86MachineHasNoWow64) {
    SetSz(kEnvironment, u"PROCESSOR_ARCHITECTURE", u"x86");
    TwLinuxSetProcessIs64Bit(0);
    BOOL wow = TRUE;
    ASSERT_TRUE(IsWow64Process(GetCurrentProcess(), &wow));
    EXPECT_FALSE(wow);
    SYSTEM_INFO seen{}, native{};
    GetSystemInfo(&seen);
    GetNativeSystemInfo(&native);
    EXPECT_EQ(PROCESSOR_ARCHITECTURE_INTEL, seen.wProcessorArchitecture);
    EXPECT_EQ(PROCESSOR_ARCHITECTURE_INTEL, native.wProcessorArchitecture);
}

TEST_F(MachineArchitecture, OtherArchitecturesAndBadHandles) {
    SetSz(kEnvironment, u"PROCESSOR_ARCHITECTURE", u"ARM64");
    SYSTEM_INFO native{};
    GetNativeSystemInfo(&native);
    EXPECT_EQ(PROCESSOR_ARCHITECTURE_ARM64, native.wProcessorArchitecture);
    BOOL wow = 7;
    SetLastError(0);
    EXPECT_FALSE(IsWow64Process(reinterpret_cast<HANDLE>(0x1234), &wow));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
    EXPECT_EQ(7, wow);
}
