// The volatile HARDWARE hive, filled from the host's DMI folder.
#include "support/test_support.h"

#include <tw_linux.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <stdlib.h>

#include <filesystem>
#include <string>

namespace {

const char kBios[] = "HARDWARE\\DESCRIPTION\\System\\BIOS";

class RegistryHostHive : public ::testing::Test {
  protected:
    void SetUp() override {
        dmi_ = registry_.dir().file("dmi");
        std::filesystem::create_directories(dmi_);
        setenv("TW_DMI_DIR", dmi_.c_str(), 1);
    }
    void TearDown() override { unsetenv("TW_DMI_DIR"); }

    void Fact(const std::string& file, const std::string& text) {
        twtest::WriteFileText(dmi_ + "/" + file, text);
    }
    // Reopening is what a new process does: the hive is filled at open.
    std::string Read(const char* name, bool reopen = true) {
        if (reopen)
            TwLinuxRegistryReopen();
        HKEY key = nullptr;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kBios, 0, KEY_READ, &key) != ERROR_SUCCESS)
            return "<no key>";
        char buf[2048];
        DWORD size = sizeof buf, type = 0;
        LSTATUS rc =
            RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(buf), &size);
        RegCloseKey(key);
        if (rc != ERROR_SUCCESS)
            return "<missing>";
        if (type != REG_SZ)
            return "<type " + std::to_string(type) + ">";
        return std::string(buf, size);
    }

    twtest::ScopedRegistry registry_;
    std::string dmi_;
};

TEST_F(RegistryHostHive, EveryDmiFileFillsItsValue) {
    const std::pair<const char*, const char*> mapping[] = {
        {"sys_vendor", "SystemManufacturer"},      {"product_name", "SystemProductName"},
        {"product_family", "SystemFamily"},        {"bios_vendor", "BIOSVendor"},
        {"bios_version", "BIOSVersion"},           {"bios_date", "BIOSReleaseDate"},
        {"board_vendor", "BaseBoardManufacturer"}, {"board_name", "BaseBoardProduct"},
    };
    for (const auto& [file, value] : mapping)
        Fact(file, std::string("fact of ") + file + "\n");
    TwLinuxRegistryReopen();
    for (const auto& [file, value] : mapping)
        EXPECT_EQ(Read(value, false), std::string("fact of ") + file + '\0') << value;
}

TEST_F(RegistryHostHive, NoDmiDataMeansNoKey) {
    EXPECT_EQ(Read("SystemManufacturer"), "<no key>");
    setenv("TW_DMI_DIR", registry_.dir().file("absent").c_str(), 1);
    EXPECT_EQ(Read("SystemManufacturer"), "<no key>");
}

TEST_F(RegistryHostHive, StoredValuesWinAndHostValuesFollowTheHost) {
    Fact("sys_vendor", "QEMU\n");
    Fact("product_name", "Standard PC\n");
    EXPECT_EQ(Read("SystemManufacturer"), std::string("QEMU") + '\0');

    // A value written by anyone pins the fact.
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kBios, 0, KEY_ALL_ACCESS, &key), ERROR_SUCCESS);
    static const char kPinned[] = "VMware, Inc.";
    ASSERT_EQ(RegSetValueExA(key, "SystemManufacturer", 0, REG_SZ,
                             reinterpret_cast<const BYTE*>(kPinned), sizeof kPinned),
              ERROR_SUCCESS);
    RegCloseKey(key);
    Fact("sys_vendor", "Other vendor\n");
    EXPECT_EQ(Read("SystemManufacturer"), std::string(kPinned, sizeof kPinned));

    // Values that came from the host change and vanish with it.
    Fact("product_name", "Changed PC\n");
    EXPECT_EQ(Read("SystemProductName"), std::string("Changed PC") + '\0');
    std::filesystem::remove(dmi_ + "/product_name");
    EXPECT_EQ(Read("SystemProductName"), "<missing>");
    EXPECT_EQ(Read("SystemManufacturer"), std::string(kPinned, sizeof kPinned));
}

TEST_F(RegistryHostHive, OddFactFilesAreBoundedAndTrimmed) {
    Fact("sys_vendor", std::string(100000, 'v'));
    Fact("product_name", "  spaced  \r\n\n");
    Fact("bios_vendor", "");
    Fact("board_name", std::string("bad \xff\xfe utf8"));
    EXPECT_EQ(Read("SystemManufacturer"), std::string(1024, 'v') + '\0');
    EXPECT_EQ(Read("SystemProductName", false), std::string("  spaced") + '\0');
    EXPECT_EQ(Read("BIOSVendor", false), std::string(1, '\0'));
    EXPECT_EQ(Read("BaseBoardProduct", false),
              "bad \xEF\xBF\xBD\xEF\xBF\xBD utf8" + std::string(1, '\0'));
}

} // namespace
