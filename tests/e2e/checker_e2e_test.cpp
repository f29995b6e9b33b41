// The built program on example machines: exit codes, log lines, registry results.
#include "support/test_support.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

const char kAgentKey[] = "HKLM\\SOFTWARE\\WOW6432Node\\Brightmoor\\Tidewell\\TWAgent";

class Machine : public ::testing::Test {
protected:
    void load(const std::string& example) {
        ASSERT_EQ(reg.importReg(twtest::SourceDir() + "/examples/" + example), 0);
        installDir = reg.dir().file("drives/c/Program Files (x86)/Tidewell/Agent");
        fs::create_directories(installDir);
    }
    // twreg with this machine's database.
    int twreg(const std::vector<std::string>& args) {
        std::vector<std::string> all = {"--registry", reg.dbPath()};
        all.insert(all.end(), args.begin(), args.end());
        return twtest::RunProcess(twtest::ToolPath("twreg"), all).exitCode;
    }
    void setAgent(const std::string& name, const std::string& type, const std::string& data) {
        ASSERT_EQ(twreg({"add", kAgentKey, "/v", name, "/t", type, "/d", data, "/f"}), 0);
    }
    twtest::ProcessResult run(const std::vector<std::string>& args) {
        twtest::ProcessResult r = twtest::RunProcess(
            twtest::ToolPath("twprereqhandler"), args,
            {{"TEMP", reg.dir().path()}}, reg.dir().path());
        log = twtest::ReadFileText(logPath());
        return r;
    }
    std::string logPath() const { return installDir + "/logs/twprereqhandler.log"; }
    bool logHas(const std::string& text) const { return log.find(text) != std::string::npos; }

    // A value as the registry holds it, read in the given view.
    LONG query(const char* key, const WCHAR* name, REGSAM view, DWORD* type,
               std::vector<BYTE>* data) {
        HKEY h = nullptr;
        LONG rc = RegOpenKeyExA(HKEY_LOCAL_MACHINE, key, 0, KEY_QUERY_VALUE | view, &h);
        if (rc != ERROR_SUCCESS)
            return rc;
        DWORD size = 0;
        rc = RegQueryValueExW(h, name, nullptr, type, nullptr, &size);
        if (rc == ERROR_SUCCESS) {
            data->resize(size);
            rc = RegQueryValueExW(h, name, nullptr, type, data->data(), &size);
        }
        RegCloseKey(h);
        return rc;
    }

    twtest::ScopedRegistry reg;
    std::string installDir;
    std::string log;
};

} // namespace

TEST_F(Machine, NoArgumentsOnAWorkstation) {
    load("demo-workstation.reg");
    auto r = run({});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.out.find("gv_RegKey : Software\\Brightmoor\\Tidewell\\TWAgent\n"), std::string::npos) << r.out;
    EXPECT_TRUE(logHas("[INFO] Return code : 0 \n"));
    EXPECT_TRUE(logHas("[INFO] IsServerOS : Os Name Windows 10 Professional Edition (x64)\n"));
    EXPECT_TRUE(logHas("[INFO]  gv_IsWow64 : 1 \n"));
    EXPECT_TRUE(logHas("[INFO] Tidewell Server Port                -> 8383 \n"));
    EXPECT_TRUE(logHas("[INFO] Local Computer Name                       -> DEMO-PC01 \n"));
    EXPECT_FALSE(logHas("enableProtectioninServerOS"));
    EXPECT_EQ(log.rfind("Log open time: ", 0), 0u);
}

TEST_F(Machine, VmwareGuestWithVmCheckEndsWith119) {
    load("vmware-guest.reg");
    auto r = run({"-m", "1", "-r", "1", "-e", "1", "-q", "1"});
    EXPECT_EQ(r.exitCode, 119);
    EXPECT_TRUE(logHas("THE MANUFACTURER OF MACHINE IS VMWARE\n"));
    EXPECT_FALSE(logHas("[INFO]  checkPAE : ")) << "the later checks do not run";
    EXPECT_FALSE(logHas("PAE has been"));
    EXPECT_FALSE(logHas("ECP has been"));
    EXPECT_FALSE(logHas("SSE2 is"));
    EXPECT_NE(log.find("Log close time: "), std::string::npos);
}

TEST_F(Machine, VmwareGuestWithoutVmCheckPasses) {
    load("vmware-guest.reg");
    auto r = run({"-r", "1"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_FALSE(logHas("MANUFACTURER"));
}

TEST_F(Machine, PaeAbsentOrOffGives1035) {
    load("demo-workstation.reg");
    ASSERT_EQ(twreg({"delete",
                     "HKLM\\SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Memory Management",
                     "/v", "PhysicalAddressExtension", "/f"}),
              0);
    auto r = run({"-r", "yes"});
    EXPECT_EQ(r.exitCode, 1035 % 256);
    EXPECT_TRUE(logHas("[INFO] PAE has been disabled\n"));
    EXPECT_TRUE(logHas("[INFO] PAE has been disabled returning\n"));
    ASSERT_EQ(twreg({"add",
                     "HKLM\\SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Memory Management",
                     "/v", "PhysicalAddressExtension", "/t", "REG_DWORD", "/d", "0", "/f"}),
              0);
    EXPECT_EQ(run({"-r", "1"}).exitCode, 1035 % 256);
}

TEST_F(Machine, EcpEnabledGives1030) {
    load("demo-workstation.reg");
    ASSERT_EQ(twreg({"add", "HKLM\\SYSTEM\\CurrentControlSet\\Services\\LanmanServer\\Parameters",
                     "/v", "EnableEcp", "/t", "REG_DWORD", "/d", "1", "/f"}),
              0);
    auto r = run({"-e", "1"});
    EXPECT_EQ(r.exitCode, 1030 % 256);
    EXPECT_TRUE(logHas("[ERROR] ECP has been enabled so patch should not be installed\n"));
    EXPECT_TRUE(logHas("ECP has been enabled.....returning"));
}

TEST_F(Machine, MissingSse2Gives1040) {
    load("demo-workstation.reg");
    ASSERT_EQ(twreg({"add",
                     "HKLM\\HARDWARE\\DESCRIPTION\\System\\CentralProcessor\\0\\ProcessorFeatures",
                     "/v", "10", "/t", "REG_DWORD", "/d", "0", "/f"}),
              0);
    auto r = run({"-q", "1"});
    EXPECT_EQ(r.exitCode, 1040 % 256);
    EXPECT_TRUE(logHas("SSE2 is not supported in this machine so should not be installed"));
}

TEST_F(Machine, FirstFailingCheckDecides) {
    load("demo-workstation.reg");
    ASSERT_EQ(twreg({"add",
                     "HKLM\\SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Memory Management",
                     "/v", "PhysicalAddressExtension", "/t", "REG_DWORD", "/d", "0", "/f"}),
              0);
    ASSERT_EQ(twreg({"add", "HKLM\\SYSTEM\\CurrentControlSet\\Services\\LanmanServer\\Parameters",
                     "/v", "EnableEcp", "/t", "REG_DWORD", "/d", "1", "/f"}),
              0);
    auto r = run({"-e", "1", "-r", "1"});
    EXPECT_EQ(r.exitCode, 1035 % 256);
    EXPECT_FALSE(logHas("ECP has been")) << "the ECP check runs after PAE";
}

TEST_F(Machine, ServerWritesTheMitigationSettings) {
    load("server-2016.reg");
    auto r = run({});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_TRUE(logHas("[INFO] IsServerOS : Os Name Windows Server 2016 Standard Edition (x64)\n"));
    EXPECT_TRUE(logHas("[INFO] IsServerOS : TRUE\n"));
    EXPECT_TRUE(logHas("enableProtectioninServerOS : FeatureSettingsOverride : 0 \n"));
    EXPECT_TRUE(logHas("enableProtectioninServerOS : MinVmVersionForCpuBasedMitigations : 0 \n"));
    const char* mm = "SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Memory Management";
    DWORD type = 0;
    std::vector<BYTE> data;
    ASSERT_EQ(query(mm, u"FeatureSettingsOverride", KEY_WOW64_64KEY, &type, &data), 0);
    EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
    EXPECT_EQ(data, (std::vector<BYTE>{0, 0, 0, 0}));
    ASSERT_EQ(query(mm, u"FeatureSettingsOverrideMask", KEY_WOW64_64KEY, &type, &data), 0);
    EXPECT_EQ(data, (std::vector<BYTE>{3, 0, 0, 0}));
    const char* virt = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Virtualization";
    ASSERT_EQ(query(virt, u"MinVmVersionForCpuBasedMitigations", KEY_WOW64_64KEY, &type, &data), 0);
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(data, (std::vector<BYTE>{'1', 0, '.', 0, '0', 0, 0, 0}));
    EXPECT_EQ(query(virt, u"MinVmVersionForCpuBasedMitigations", KEY_WOW64_32KEY, &type, &data),
              ERROR_FILE_NOT_FOUND)
        << "not in the 32-bit view";
}

TEST_F(Machine, ServerWithAFailingCheckWritesNothing) {
    load("server-2016.reg");
    ASSERT_EQ(twreg({"add",
                     "HKLM\\SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Memory Management",
                     "/v", "PhysicalAddressExtension", "/t", "REG_DWORD", "/d", "0", "/f"}),
              0);
    EXPECT_EQ(run({"-r", "1"}).exitCode, 1035 % 256);
    DWORD type = 0;
    std::vector<BYTE> data;
    EXPECT_EQ(query("SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Memory Management",
                    u"FeatureSettingsOverride", KEY_WOW64_64KEY, &type, &data),
              ERROR_FILE_NOT_FOUND);
}

TEST_F(Machine, MissingInstallFolderValueGives13AndNoLog) {
    load("demo-workstation.reg");
    ASSERT_EQ(twreg({"delete", kAgentKey, "/v", "TWAgentInstallDir", "/f"}), 0);
    auto r = run({"-m", "1"});
    EXPECT_EQ(r.exitCode, 13);
    EXPECT_FALSE(twtest::FileExists(installDir + "/logs"));
    EXPECT_TRUE(r.out.empty()) << "nothing runs before the install folder is known";
}

TEST_F(Machine, MissingAgentKeyGives13) {
    auto r = run({});
    EXPECT_EQ(r.exitCode, 13);
}

TEST_F(Machine, IncompleteConfigurationIsLoggedAndChecksStillRun) {
    load("demo-workstation.reg");
    ASSERT_EQ(twreg({"delete", std::string(kAgentKey) + "\\ServerInfo", "/v", "TWServerName", "/f"}), 0);
    auto r = run({"-r", "1"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_TRUE(logHas("[ERROR] Tidewell Agent info is not available in this machine.\n"));
    EXPECT_TRUE(logHas("PAE has been enabled"));
}

TEST_F(Machine, LevelOf256WritesOnlyTheRecords) {
    load("demo-workstation.reg");
    setAgent("TWAgentLogLevel", "REG_DWORD", "256");
    EXPECT_EQ(run({"-m", "1"}).exitCode, 0);
    auto lines = twtest::SplitLines(log);
    ASSERT_EQ(lines.size(), 2u) << log;
    EXPECT_EQ(lines[0].rfind("Log open time: ", 0), 0u);
    EXPECT_EQ(lines[1].rfind("Log close time: ", 0), 0u);
}

TEST_F(Machine, OddCommandLinesNeverCrash) {
    load("demo-workstation.reg");
    std::string huge(100000, 'p'); // one argument may hold at most 128 KiB on Linux
    EXPECT_EQ(run({"-p", huge, "-c", "99999999999999999999", "-", "--", "-\x01", "-m"}).exitCode, 0);
    EXPECT_TRUE(logHas("patchName :" + huge + "\n"));
    EXPECT_EQ(run({"-x"}).exitCode, 0);
    EXPECT_EQ(run({"", "", "-l", ""}).exitCode, 0);
    EXPECT_TRUE(logHas("productName : \n"));
}

TEST_F(Machine, ValuesOfTheWrongTypeOrSize) {
    load("demo-workstation.reg");
    setAgent("TWAgentLogLevel", "REG_SZ", "4");
    setAgent("TWServerName", "REG_DWORD", "7");
    ASSERT_EQ(twreg({"add", "HKLM\\HARDWARE\\DESCRIPTION\\System\\BIOS", "/v", "SystemManufacturer",
                     "/t", "REG_BINARY", "/d", "564d77617265", "/f"}),
              0);
    ASSERT_EQ(twreg({"add",
                     "HKLM\\SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Memory Management",
                     "/v", "PhysicalAddressExtension", "/t", "REG_QWORD", "/d", "1", "/f"}),
              0);
    std::string longName(100000, 'n');
    setAgent("CustomerName", "REG_SZ", longName);
    // The maker is read as raw bytes whatever its type: these spell VMware.
    auto r = run({"-m", "1"});
    EXPECT_EQ(r.exitCode, 119) << r.err;
    EXPECT_TRUE(logHas("THE MANUFACTURER OF MACHINE IS VMWARE"));
    // A QWORD does not fit the 4-byte read, so PAE counts as off.
    EXPECT_EQ(run({"-r", "1"}).exitCode, 1035 % 256);
}
