// The WOW64 registry views of HKLM\SOFTWARE on an AMD64 machine.
// Portable: the same file runs against real Win32 (see registry_conformance_env.h).
#include "registry_conformance_env.h"

using namespace twc;

namespace {

// Tests that name the view explicitly; they hold for 32- and 64-bit processes.
class RegistryViewFlags : public RegistryFixture {
  protected:
    std::string Machine(const std::string& rest) {
        return "SOFTWARE\\" + ScratchEnv::MachineScratch() + rest;
    }
    DWORD ReadBits(HKEY root, const std::string& path, REGSAM sam) {
        HKEY key = nullptr;
        LSTATUS rc = RegOpenKeyExA(root, path.c_str(), 0, KEY_READ | sam, &key);
        if (rc != ERROR_SUCCESS)
            return 1000 + static_cast<DWORD>(rc);
        DWORD v = 0, size = sizeof v;
        rc = RegQueryValueExA(key, "Bits", nullptr, nullptr, reinterpret_cast<BYTE*>(&v), &size);
        RegCloseKey(key);
        return rc == ERROR_SUCCESS ? v : 2000 + static_cast<DWORD>(rc);
    }
    void WriteBits(const std::string& path, REGSAM sam, DWORD bits) {
        HKEY key = Create(HKEY_LOCAL_MACHINE, path.c_str(), KEY_ALL_ACCESS | sam);
        ASSERT_NE(key, nullptr);
        SetDword(key, "Bits", bits);
        RegCloseKey(key);
    }
};

// Tests of the default view, which only a 32-bit process has.
class RegistryDefaultView32 : public RegistryViewFlags {
  protected:
    void SetUp() override {
        RegistryViewFlags::SetUp();
        if (!ScratchEnv::ProcessIs32Bit())
            GTEST_SKIP() << "the default view is the 32-bit one only in a 32-bit process";
    }
};

TEST_F(RegistryViewFlags, The32And64BitViewsAreSeparateTrees) {
    WriteBits(Machine("\\K"), KEY_WOW64_32KEY, 32);
    WriteBits(Machine("\\K"), KEY_WOW64_64KEY, 64);
    EXPECT_EQ(ReadBits(HKEY_LOCAL_MACHINE, Machine("\\K"), KEY_WOW64_32KEY), 32u);
    EXPECT_EQ(ReadBits(HKEY_LOCAL_MACHINE, Machine("\\k"), KEY_WOW64_64KEY), 64u);
    // The 32-bit view lives under WOW6432Node, reachable by name from either view.
    std::string node = "SOFTWARE\\WOW6432Node\\" + ScratchEnv::MachineScratch() + "\\K";
    EXPECT_EQ(ReadBits(HKEY_LOCAL_MACHINE, node, KEY_WOW64_64KEY), 32u);
    EXPECT_EQ(ReadBits(HKEY_LOCAL_MACHINE, node, KEY_WOW64_32KEY), 32u);
}

TEST_F(RegistryViewFlags, HandlesOfEitherViewReachTheirOwnSubkeys) {
    WriteBits(Machine("\\K"), KEY_WOW64_32KEY, 32);
    WriteBits(Machine("\\K"), KEY_WOW64_64KEY, 64);
    HKEY software = nullptr;
    ASSERT_EQ(
        RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE", 0, KEY_READ | KEY_WOW64_64KEY, &software),
        ERROR_SUCCESS);
    std::string rest = ScratchEnv::MachineScratch() + "\\K";
    EXPECT_EQ(ReadBits(software, rest, KEY_WOW64_64KEY), 64u);
    RegCloseKey(software);
    ASSERT_EQ(
        RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE", 0, KEY_READ | KEY_WOW64_32KEY, &software),
        ERROR_SUCCESS);
    EXPECT_EQ(ReadBits(software, rest, KEY_WOW64_32KEY), 32u);
    RegCloseKey(software);
}

TEST_F(RegistryViewFlags, DeleteKeyExDeletesInTheNamedViewOnly) {
    WriteBits(Machine("\\K"), KEY_WOW64_32KEY, 32);
    WriteBits(Machine("\\K"), KEY_WOW64_64KEY, 64);
    EXPECT_EQ(RegDeleteKeyExA(HKEY_LOCAL_MACHINE, Machine("\\K").c_str(), KEY_WOW64_32KEY, 0),
              ERROR_SUCCESS);
    EXPECT_EQ(ReadBits(HKEY_LOCAL_MACHINE, Machine("\\K"), KEY_WOW64_32KEY),
              1000u + ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(ReadBits(HKEY_LOCAL_MACHINE, Machine("\\K"), KEY_WOW64_64KEY), 64u);
    EXPECT_EQ(RegDeleteKeyExA(HKEY_LOCAL_MACHINE, Machine("\\K").c_str(), KEY_WOW64_32KEY, 0),
              ERROR_FILE_NOT_FOUND);
}

TEST_F(RegistryViewFlags, KeysOutsideSoftwareAreShared) {
    std::string path = path_ + "\\Shared";
    HKEY key = Create(HKEY_CURRENT_USER, path.c_str(), KEY_ALL_ACCESS | KEY_WOW64_32KEY);
    SetDword(key, "Bits", 1);
    RegCloseKey(key);
    EXPECT_EQ(ReadBits(HKEY_CURRENT_USER, path, KEY_WOW64_64KEY), 1u);
}

TEST_F(RegistryDefaultView32, NoFlagMeansThe32BitView) {
    HKEY key = Create(HKEY_LOCAL_MACHINE, Machine("\\D").c_str());
    SetDword(key, "Bits", 32);
    RegCloseKey(key);
    EXPECT_EQ(ReadBits(HKEY_LOCAL_MACHINE, Machine("\\D"), 0), 32u);
    EXPECT_EQ(ReadBits(HKEY_LOCAL_MACHINE, Machine("\\D"), KEY_WOW64_32KEY), 32u);
    EXPECT_EQ(ReadBits(HKEY_LOCAL_MACHINE, Machine("\\D"), KEY_WOW64_64KEY),
              1000u + ERROR_FILE_NOT_FOUND);
    std::string node = "SOFTWARE\\WOW6432Node\\" + ScratchEnv::MachineScratch() + "\\D";
    EXPECT_EQ(ReadBits(HKEY_LOCAL_MACHINE, node, KEY_WOW64_64KEY), 32u);
}

TEST_F(RegistryDefaultView32, A64BitHandleDoesNotCarryItsViewToSubkeys) {
    WriteBits(Machine("\\Only64"), KEY_WOW64_64KEY, 64);
    HKEY software = nullptr;
    ASSERT_EQ(
        RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE", 0, KEY_READ | KEY_WOW64_64KEY, &software),
        ERROR_SUCCESS);
    std::string rest = ScratchEnv::MachineScratch() + "\\Only64";
    EXPECT_EQ(ReadBits(software, rest, 0), 1000u + ERROR_FILE_NOT_FOUND)
        << "without the flag the subkey is looked up in the 32-bit view";
    EXPECT_EQ(ReadBits(software, rest, KEY_WOW64_64KEY), 64u);
    RegCloseKey(software);
}

} // namespace
