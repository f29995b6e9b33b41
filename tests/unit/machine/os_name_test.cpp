#include "machine/os_name.h"
#include "support/log_capture.h"

#include <gtest/gtest.h>

#include <stdlib.h>

namespace {

std::string g_productName;
bool g_productNameOk = false;
int g_productNameReads = 0;
std::string g_productOptions;
bool g_productOptionsOk = false;

bool fakeProductName(std::string& out) {
    ++g_productNameReads;
    out = g_productName;
    return g_productNameOk;
}
bool fakeProductOptions(std::string& out) {
    out = g_productOptions;
    return g_productOptionsOk;
}

OsVersionData modern(DWORD major, DWORD minor, DWORD product, bool workstation, bool x64) {
    OsVersionData v;
    v.majorVersion = major;
    v.minorVersion = minor;
    v.platformId = VER_PLATFORM_WIN32_NT;
    v.productType = workstation ? VER_NT_WORKSTATION : VER_NT_SERVER;
    v.extended = true;
    v.processorArchitecture = x64 ? PROCESSOR_ARCHITECTURE_AMD64 : PROCESSOR_ARCHITECTURE_INTEL;
    v.hasProductInfo = true;
    v.productInfo = product;
    v.prefixQueryOk = true;
    return v;
}

OsVersionData legacyNt(DWORD major, DWORD minor, BYTE type, WORD suite, bool x64) {
    OsVersionData v = modern(major, minor, 0, type == VER_NT_WORKSTATION, x64);
    v.productType = type;
    v.hasProductInfo = false;
    v.suiteMask = suite;
    return v;
}

std::string name(const OsVersionData& v, DWORD major = 0, DWORD minor = 0) {
    OsNameReaders readers;
    readers.productName = fakeProductName;
    readers.productOptionsType = fakeProductOptions;
    char* n = NameOperatingSystem(v, major, minor, readers);
    std::string s = n ? n : "<null>";
    free(n);
    return s;
}

class OsName : public ::testing::Test {
  protected:
    void SetUp() override {
        g_productName.clear();
        g_productNameOk = false;
        g_productNameReads = 0;
        g_productOptionsOk = false;
    }
};

} // namespace

TEST_F(OsName, ModernRowsOfTheFormatTable) {
    EXPECT_EQ(name(modern(10, 0, 48, true, true)), "Windows 10 Professional Edition (x64)");
    EXPECT_EQ(name(modern(10, 0, 7, false, true)), "Windows Server 2016 Standard Edition (x64)");
    EXPECT_EQ(name(modern(10, 0, 7, false, false)), "Windows Server 2016 Standard Edition (x64)");
    EXPECT_EQ(name(modern(6, 2, 8, false, false)), "Windows Server 2012 Datacenter Edition (x64)");
    EXPECT_EQ(name(modern(6, 3, 10, false, false)),
              "Windows Server 2012 R2 Enterprise Edition (x64)");
    EXPECT_EQ(name(modern(6, 1, 7, false, false)), "Windows Server 2008 R2 Standard Edition");
    EXPECT_EQ(name(modern(6, 0, 1, true, false)), "Windows Vista Ultimate Edition");
    EXPECT_EQ(name(modern(6, 1, 1, true, true)), "Windows 7 Ultimate Edition (x64)");
    EXPECT_EQ(name(modern(6, 0, 12, false, true)),
              "Windows Server 2008 Datacenter Edition (core installation) (x64)");
}

TEST_F(OsName, EditionsAndTheirNumbers) {
    EXPECT_EQ(name(modern(10, 0, 101, true, true)), "Windows 10 Home (x64)");
    EXPECT_EQ(name(modern(10, 0, 121, true, false)), "Windows 10 Education");
    EXPECT_EQ(name(modern(10, 0, 79, false, true)),
              "Windows Server 2016 Server Standard (evaluation installation) Edition (x64)");
    EXPECT_EQ(name(modern(10, 0, 131, true, true)), "Windows 10 IoT Core Commercial (x64)");
    EXPECT_EQ(name(modern(10, 0, 39, false, true)),
              "Windows Server 2016 Datacenter Edition without Hyper-V (core installation) (x64)");
}

TEST_F(OsName, NinetyEightToOneHundredNameTheWholeSystem) {
    g_productNameOk = true;
    g_productName = "Windows 10 Insider Preview";
    EXPECT_EQ(name(modern(6, 3, 100, true, false)), "Windows 8.1");
    EXPECT_EQ(name(modern(6, 2, 98, true, true)), "Windows 8 (x64)");
    EXPECT_EQ(name(modern(10, 0, 99, true, true)), "Windows 10 (x64)");
    EXPECT_EQ(g_productNameReads, 0) << "no registry read on this path";
    // On a server they name no edition.
    g_productNameOk = false;
    EXPECT_EQ(name(modern(10, 0, 100, false, true)), "Windows Server 2016  (x64)");
}

TEST_F(OsName, UnknownNumberIsBeta) {
    twtest::LogCapture log(4);
    EXPECT_EQ(name(modern(6, 1, 0x80, true, true)), "Windows 7 Beta (x64)");
    EXPECT_TRUE(log.has("Edition can't be retrieved. So Assuming it as Beta"));
    EXPECT_TRUE(log.has("dwPlatformInfo : 128"));
}

TEST_F(OsName, PreviewProductNameMeansBeta) {
    g_productNameOk = true;
    g_productName = "Windows 10 Pro Insider Preview";
    EXPECT_EQ(name(modern(10, 0, 48, true, true)), "Windows 10 Beta (x64)");
    g_productName = "Windows 10 Pro preview"; // case-sensitive
    EXPECT_EQ(name(modern(10, 0, 48, true, true)), "Windows 10 Professional Edition (x64)");
}

TEST_F(OsName, VersionsOutsideTheTableGiveEmptyText) {
    EXPECT_EQ(name(modern(6, 4, 48, true, true)), "");
    EXPECT_EQ(name(modern(5, 1, 48, true, false)), "");
}

TEST_F(OsName, VersionArgumentsReplaceTheReportedOnes) {
    EXPECT_EQ(name(modern(10, 0, 48, true, true), 6, 1), "Windows 7 Professional Edition (x64)");
    EXPECT_EQ(name(modern(6, 1, 100, true, true), 10, 0), "Windows 10 (x64)");
}

TEST_F(OsName, LegacyNineXAndWin32s) {
    OsVersionData v;
    v.platformId = VER_PLATFORM_WIN32s;
    EXPECT_EQ(name(v), "Win32s");
    v.platformId = VER_PLATFORM_WIN32_WINDOWS;
    v.majorVersion = 4;
    v.minorVersion = 0;
    EXPECT_EQ(name(v), "Windows 95");
    v.minorVersion = 10;
    EXPECT_EQ(name(v), "Windows 98");
    v.csdVersion[0] = ' ';
    v.csdVersion[1] = 'A';
    EXPECT_EQ(name(v), "Windows 98 SE");
    v.minorVersion = 90;
    EXPECT_EQ(name(v), "Windows Millennium Edition");
    v.minorVersion = 3;
    EXPECT_EQ(name(v), "");
    v.platformId = 7;
    EXPECT_EQ(name(v), "");
}

TEST_F(OsName, LegacyNtProducts) {
    EXPECT_EQ(name(legacyNt(5, 1, VER_NT_WORKSTATION, VER_SUITE_PERSONAL, false)),
              "Windows XP Home Edition ");
    EXPECT_EQ(name(legacyNt(5, 1, VER_NT_WORKSTATION, 0, false)), "Windows XP Professional");
    EXPECT_EQ(name(legacyNt(5, 2, VER_NT_WORKSTATION, 0, true)),
              "Windows XP Professional x64 Edition");
    EXPECT_EQ(
        name(legacyNt(5, 2, VER_NT_SERVER, VER_SUITE_ENTERPRISE | VER_SUITE_DATACENTER, true)),
        "Windows Server 2003, Enterprise x64 Edition");
    EXPECT_EQ(
        name(legacyNt(5, 2, VER_NT_SERVER, VER_SUITE_ENTERPRISE | VER_SUITE_DATACENTER, false)),
        "Windows Server 2003, Datacenter Edition");
    EXPECT_EQ(name(legacyNt(5, 2, VER_NT_DOMAIN_CONTROLLER, VER_SUITE_BLADE, false)),
              "Windows Server 2003, Web Edition");
    EXPECT_EQ(name(legacyNt(5, 2, VER_NT_SERVER, VER_SUITE_SMALLBUSINESS_RESTRICTED, false)),
              "Windows Server 2003 for Small Business Server");
    EXPECT_EQ(name(legacyNt(5, 2, VER_NT_SERVER, 0, false)),
              "Windows Server 2003, Standard Edition");
    EXPECT_EQ(name(legacyNt(5, 0, VER_NT_SERVER, VER_SUITE_ENTERPRISE, false)),
              "Windows 2000 Advanced Server");
    EXPECT_EQ(name(legacyNt(4, 0, VER_NT_WORKSTATION, 0, false)), "Windows NT Workstation 4.0");
    EXPECT_EQ(name(legacyNt(4, 0, VER_NT_SERVER, VER_SUITE_TERMINAL, false)),
              "Windows NT Server 4.0, Terminal Server Edition");
}

TEST_F(OsName, LegacyNtWithoutExtendedData) {
    OsVersionData v = legacyNt(4, 0, 0, 0, false);
    v.extended = false;
    v.prefixQueryOk = false;
    g_productOptionsOk = true;
    g_productOptions = "lanmanNT";
    EXPECT_EQ(name(v), "UnSupportedServer 4.0");
    g_productOptions = "WinNT";
    EXPECT_EQ(name(v), "UnSupportedWorkstation 4.0");
    g_productOptionsOk = false;
    EXPECT_EQ(name(v), "<null>");
}

TEST_F(OsName, LiveQueryOnTheDefaultProfileNamesAWindowsSystem) {
    twtest::ScopedRegistry reg;
    char* n = GetOSNameEx();
    ASSERT_NE(n, nullptr);
    EXPECT_EQ(std::string(n).rfind("Windows", 0), 0u) << n;
    free(n);
}
