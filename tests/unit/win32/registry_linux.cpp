// The Linux registry store's own behaviour: the choices it makes where
// Windows documents nothing, its limits, its database file, and several
// processes sharing it.
#include "support/test_support.h"
#include "win32/advapi32/registry_api.h"
#include "win32/advapi32/registry_store.h"

#include <tw_linux.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <stdlib.h>
#include <string.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

namespace {

std::string Bytes(const std::u16string& text, bool terminator = true) {
    std::string out;
    for (char16_t c : text) {
        out += static_cast<char>(c & 0xff);
        out += static_cast<char>(c >> 8);
    }
    if (terminator)
        out.append(2, '\0');
    return out;
}

class RegistryLinux : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\T", 0, nullptr, 0, KEY_ALL_ACCESS,
                                  nullptr, &key_, nullptr),
                  ERROR_SUCCESS);
    }
    void TearDown() override {
        RegCloseKey(key_);
        TwLinuxSetProcessIs64Bit(0);
    }
    void Set(HKEY key, const char* name, DWORD type, const std::string& data) {
        ASSERT_EQ(RegSetValueExA(key, name, 0, type, reinterpret_cast<const BYTE*>(data.data()),
                                 static_cast<DWORD>(data.size())),
                  ERROR_SUCCESS);
    }
    std::string RawW(HKEY key, const char16_t* name) {
        DWORD size = 0;
        if (RegQueryValueExW(key, name, nullptr, nullptr, nullptr, &size) != ERROR_SUCCESS)
            return "<missing>";
        std::string data(size, '\0');
        RegQueryValueExW(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(data.data()), &size);
        return data;
    }
    std::string RawA(HKEY key, const char* name) {
        DWORD size = 0;
        if (RegQueryValueExA(key, name, nullptr, nullptr, nullptr, &size) != ERROR_SUCCESS)
            return "<missing>";
        std::string data(size, '\0');
        RegQueryValueExA(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(data.data()), &size);
        return data;
    }
    LSTATUS CreateKey(HKEY parent, const std::string& path, REGSAM sam = KEY_ALL_ACCESS) {
        HKEY key = nullptr;
        LSTATUS rc =
            RegCreateKeyExA(parent, path.c_str(), 0, nullptr, 0, sam, nullptr, &key, nullptr);
        if (rc == ERROR_SUCCESS)
            RegCloseKey(key);
        return rc;
    }
    void SetArchitecture(const char* arch) {
        HKEY env = nullptr;
        ASSERT_EQ(
            RegCreateKeyExA(HKEY_LOCAL_MACHINE,
                            "SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Environment", 0,
                            nullptr, 0, KEY_ALL_ACCESS, nullptr, &env, nullptr),
            ERROR_SUCCESS);
        Set(env, "PROCESSOR_ARCHITECTURE", REG_SZ, std::string(arch) + '\0');
        RegCloseKey(env);
    }

    twtest::ScopedRegistry registry_;
    HKEY key_ = nullptr;
};

TEST_F(RegistryLinux, MoreDataLeavesTheCallersBuffersAlone) {
    Set(key_, "Value", REG_BINARY, "0123456789");
    std::string buf(4, '#');
    DWORD size = 4;
    EXPECT_EQ(RegQueryValueExA(key_, "Value", nullptr, nullptr, reinterpret_cast<BYTE*>(buf.data()),
                               &size),
              ERROR_MORE_DATA);
    EXPECT_EQ(buf, "####");
    EXPECT_EQ(size, 10u);

    char name[4] = {'#', '#', '#', '#'};
    DWORD nameLen = 4;
    size = 4;
    EXPECT_EQ(RegEnumValueA(key_, 0, name, &nameLen, nullptr, nullptr,
                            reinterpret_cast<BYTE*>(buf.data()), &size),
              ERROR_MORE_DATA);
    EXPECT_EQ(std::string(name, 4), "####") << "name too small";
    EXPECT_EQ(nameLen, 4u);

    char roomy[16];
    memset(roomy, '#', sizeof roomy);
    nameLen = sizeof roomy;
    EXPECT_EQ(RegEnumValueA(key_, 0, roomy, &nameLen, nullptr, nullptr,
                            reinterpret_cast<BYTE*>(buf.data()), &size),
              ERROR_MORE_DATA);
    EXPECT_EQ(roomy[0], '#') << "data too small: the name is not written either";
    EXPECT_EQ(nameLen, sizeof roomy);
    EXPECT_EQ(size, 10u);
    EXPECT_EQ(buf, "####");

    ASSERT_EQ(CreateKey(key_, "LongName"), ERROR_SUCCESS);
    nameLen = 4;
    EXPECT_EQ(RegEnumKeyExA(key_, 0, name, &nameLen, nullptr, nullptr, nullptr, nullptr),
              ERROR_MORE_DATA);
    EXPECT_EQ(std::string(name, 4), "####");
    EXPECT_EQ(nameLen, 4u);
}

// Stricter than Win32 promises (Wine zeroes some outputs, sets the last error
// after a failed query and sorts values by name): this store is exact.
TEST_F(RegistryLinux, FailuresLeaveOutputsAndTheLastErrorAlone) {
    const DWORD poison = 0xDEADBEEF;
    HKEY closed = nullptr;
    ASSERT_EQ(RegOpenKeyExA(key_, nullptr, 0, KEY_READ, &closed), ERROR_SUCCESS);
    ASSERT_EQ(RegCloseKey(closed), ERROR_SUCCESS);
    for (HKEY key : {key_, closed}) {
        DWORD type = poison, size = poison;
        SetLastError(poison);
        EXPECT_NE(RegQueryValueExA(key, "Nope", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
        EXPECT_NE(RegQueryValueExW(key, u"Nope", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
        EXPECT_NE(RegDeleteValueA(key, "Nope"), ERROR_SUCCESS);
        EXPECT_NE(RegDeleteKeyA(key, "Nope"), ERROR_SUCCESS);
        EXPECT_EQ(type, poison);
        EXPECT_EQ(size, poison);
        EXPECT_EQ(GetLastError(), poison);
    }
    EXPECT_EQ(RegCloseKey(closed), ERROR_INVALID_HANDLE) << "closing twice";
    EXPECT_EQ(RegOpenKeyExA(key_, "Sub", 0, KEY_READ, nullptr), ERROR_INVALID_PARAMETER);
    HKEY out = reinterpret_cast<HKEY>(1);
    EXPECT_EQ(RegOpenKeyExA(nullptr, "Sub", 0, KEY_READ, &out), ERROR_INVALID_HANDLE);
    EXPECT_EQ(out, nullptr);
}

TEST_F(RegistryLinux, ValuesEnumerateInCreationOrder) {
    Set(key_, "zeta", REG_DWORD, std::string(4, '\1'));
    Set(key_, "alpha", REG_BINARY, "12345");
    Set(key_, nullptr, REG_SZ, std::string("d\0", 2));
    Set(key_, "Mid", REG_DWORD, std::string(4, '\3'));
    Set(key_, "ALPHA", REG_BINARY, "1234567"); // an overwrite keeps its place
    ASSERT_EQ(RegDeleteValueA(key_, "zeta"), ERROR_SUCCESS);
    Set(key_, "Zeta", REG_DWORD, std::string(4, '\2')); // a new value goes last
    std::vector<std::string> seen;
    for (DWORD i = 0;; ++i) {
        char name[16];
        DWORD len = sizeof name;
        LSTATUS rc = RegEnumValueA(key_, i, name, &len, nullptr, nullptr, nullptr, nullptr);
        if (rc == ERROR_NO_MORE_ITEMS)
            break;
        ASSERT_EQ(rc, ERROR_SUCCESS);
        seen.push_back(name);
    }
    EXPECT_EQ(seen, (std::vector<std::string>{"alpha", "", "Mid", "Zeta"}));
}

// Enumeration follows each handle's last index so that a walk in order is not
// quadratic; an index still names the item at that place now, whatever
// changed in between.
TEST_F(RegistryLinux, EnumerationIndexesStayExactWhenTheKeyChangesBetweenCalls) {
    for (const char* name : {"a", "b", "c", "d", "e"})
        Set(key_, name, REG_DWORD, std::string(4, '\0'));
    for (const char* name : {"k1", "k2", "k3", "k4"}) {
        HKEY sub = nullptr;
        ASSERT_EQ(RegCreateKeyExA(key_, name, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &sub,
                                  nullptr),
                  ERROR_SUCCESS);
        RegCloseKey(sub);
    }
    auto value = [&](DWORD i) {
        char name[8];
        DWORD len = sizeof name;
        LSTATUS rc = RegEnumValueA(key_, i, name, &len, nullptr, nullptr, nullptr, nullptr);
        return rc == ERROR_SUCCESS ? std::string(name) : "rc " + std::to_string(rc);
    };
    auto subkey = [&](DWORD i) {
        char name[8];
        DWORD len = sizeof name;
        LSTATUS rc = RegEnumKeyExA(key_, i, name, &len, nullptr, nullptr, nullptr, nullptr);
        return rc == ERROR_SUCCESS ? std::string(name) : "rc " + std::to_string(rc);
    };
    EXPECT_EQ(value(0), "a");
    EXPECT_EQ(value(1), "b");
    HKEY other = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\T", 0, KEY_ALL_ACCESS, &other),
              ERROR_SUCCESS);
    ASSERT_EQ(RegDeleteValueA(other, "a"), ERROR_SUCCESS);
    EXPECT_EQ(value(2), "d") << "b, c, d, e are left";
    EXPECT_EQ(value(2), "d") << "the same index again";
    EXPECT_EQ(value(3), "e");
    EXPECT_EQ(value(4), "rc 259");
    EXPECT_EQ(subkey(0), "k1");
    EXPECT_EQ(subkey(1), "k2");
    ASSERT_EQ(RegDeleteKeyA(other, "k1"), ERROR_SUCCESS);
    EXPECT_EQ(subkey(2), "k4");
    RegCloseKey(other);
}

TEST_F(RegistryLinux, NarrowFormsSpeakUtf8) {
    Set(key_, "Text", REG_SZ, std::string("h\xC3\xA9llo w\xC3\xB6rld") + '\0');
    EXPECT_EQ(RawW(key_, u"Text"), Bytes(u"h\u00e9llo w\u00f6rld"));

    // Wider in UTF-8 than in UTF-16: sizes follow the converted form.
    std::string jp = Bytes(u"\u65e5\u672c");
    ASSERT_EQ(RegSetValueExW(key_, u"Jp", 0, REG_SZ, reinterpret_cast<const BYTE*>(jp.data()),
                             static_cast<DWORD>(jp.size())),
              ERROR_SUCCESS);
    DWORD size = 0;
    ASSERT_EQ(RegQueryValueExA(key_, "Jp", nullptr, nullptr, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(size, 7u);
    std::string buf(6, '#');
    size = 6;
    EXPECT_EQ(
        RegQueryValueExA(key_, "Jp", nullptr, nullptr, reinterpret_cast<BYTE*>(buf.data()), &size),
        ERROR_MORE_DATA);
    EXPECT_EQ(size, 7u);
    EXPECT_EQ(RawA(key_, "Jp"), "\xE6\x97\xA5\xE6\x9C\xAC" + std::string(1, '\0'));

    // A lone surrogate cannot be UTF-8: it reads as U+FFFD.
    std::string lone = Bytes(std::u16string(1, char16_t(0xD800)));
    ASSERT_EQ(RegSetValueExW(key_, u"Lone", 0, REG_SZ, reinterpret_cast<const BYTE*>(lone.data()),
                             static_cast<DWORD>(lone.size())),
              ERROR_SUCCESS);
    EXPECT_EQ(RawA(key_, "Lone"), std::string("\xEF\xBF\xBD\0", 4));
    EXPECT_EQ(RawW(key_, u"Lone"), lone) << "the stored bytes stay as written";

    // Names: UTF-8 in, case folded beyond ASCII.
    ASSERT_EQ(CreateKey(key_, "Cl\xC3\xA9"), ERROR_SUCCESS);
    HKEY k = nullptr;
    EXPECT_EQ(RegOpenKeyExW(key_, u"CL\u00c9", 0, KEY_READ, &k), ERROR_SUCCESS);
    RegCloseKey(k);
    ASSERT_EQ(CreateKey(key_, "\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82"), ERROR_SUCCESS);
    EXPECT_EQ(RegOpenKeyExW(key_, u"\u041f\u0420\u0418\u0412\u0415\u0422", 0, KEY_READ, &k),
              ERROR_SUCCESS);
    RegCloseKey(k);
    EXPECT_EQ(RegOpenKeyExW(key_, u"\u03a3\u03b1", 0, KEY_READ, &k), ERROR_FILE_NOT_FOUND);
}

TEST_F(RegistryLinux, OddAndMalformedTextDataReadsWithoutHarm) {
    // An odd byte count: the narrow form drops the half character.
    Set(key_, "Odd", REG_BINARY, std::string("a\0b\0c", 5));
    HKEY k = key_;
    std::string odd("a\0b\0c", 5);
    ASSERT_EQ(RegSetValueExW(k, u"OddSz", 0, REG_SZ, reinterpret_cast<const BYTE*>(odd.data()), 5),
              ERROR_SUCCESS);
    EXPECT_EQ(RawA(key_, "OddSz"), "ab");
    EXPECT_EQ(RawW(key_, u"OddSz"), odd);
    // A multi-string with no terminators at all converts character for character.
    std::string bare = Bytes(u"xy", false);
    ASSERT_EQ(
        RegSetValueExW(k, u"Bare", 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(bare.data()), 4),
        ERROR_SUCCESS);
    EXPECT_EQ(RawA(key_, "Bare"), "xy");
    // A one-byte string.
    ASSERT_EQ(RegSetValueExW(k, u"One", 0, REG_SZ, reinterpret_cast<const BYTE*>("z"), 1),
              ERROR_SUCCESS);
    EXPECT_EQ(RawA(key_, "One"), "");
}

TEST_F(RegistryLinux, LimitsAreEnforced) {
    EXPECT_EQ(CreateKey(key_, std::string(256, 'k')), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(CreateKey(key_, "ok\\" + std::string(256, 'k')), ERROR_INVALID_PARAMETER);
    HKEY k = nullptr;
    EXPECT_EQ(RegOpenKeyExA(key_, "ok", 0, KEY_READ, &k), ERROR_FILE_NOT_FOUND)
        << "a failed create leaves no part of the path behind";

    std::string deep;
    for (int i = 0; i < 511; ++i)
        deep += "d\\";
    EXPECT_EQ(CreateKey(HKEY_CURRENT_USER, "Software\\" + deep), ERROR_SUCCESS); // 512 levels
    EXPECT_EQ(CreateKey(HKEY_CURRENT_USER, "Software\\" + deep + "d"), ERROR_INVALID_PARAMETER);

    std::string longName(16384, 'n');
    DWORD v = 1;
    EXPECT_EQ(
        RegSetValueExA(key_, longName.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&v), 4),
        ERROR_INVALID_PARAMETER);
    DWORD size = 0;
    EXPECT_EQ(RegQueryValueExA(key_, longName.c_str(), nullptr, nullptr, nullptr, &size),
              ERROR_FILE_NOT_FOUND);

    std::vector<BYTE> huge((16u << 20) + 1, 0x41);
    EXPECT_EQ(
        RegSetValueExA(key_, "Huge", 0, REG_BINARY, huge.data(), static_cast<DWORD>(huge.size())),
        ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegSetValueExA(key_, "Huge", 0, REG_BINARY, huge.data(), 16u << 20), ERROR_SUCCESS);
    EXPECT_EQ(RegQueryValueExA(key_, "Huge", nullptr, nullptr, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(size, 16u << 20);

    EXPECT_EQ(RegSetValueExA(key_, "Null", 0, REG_BINARY, nullptr, 4), ERROR_NOACCESS);
    EXPECT_EQ(RawA(key_, "Null"), "<missing>");
    DWORD reserved = 0;
    EXPECT_EQ(RegQueryValueExA(key_, "Huge", &reserved, nullptr, nullptr, &size),
              ERROR_INVALID_PARAMETER);
}

TEST_F(RegistryLinux, PathSyntaxAndViewFlags) {
    HKEY k = reinterpret_cast<HKEY>(1);
    EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "\\Software", 0, KEY_READ, &k), ERROR_BAD_PATHNAME);
    EXPECT_EQ(k, nullptr);
    EXPECT_EQ(CreateKey(key_, "a\\\\b"), ERROR_BAD_PATHNAME);
    EXPECT_EQ(CreateKey(key_, "a\\"), ERROR_SUCCESS);
    EXPECT_EQ(RegOpenKeyExA(key_, "A", 0, KEY_READ, &k), ERROR_SUCCESS);
    RegCloseKey(k);

    const REGSAM both = KEY_WOW64_32KEY | KEY_WOW64_64KEY;
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE", 0, KEY_READ | both, &k),
              ERROR_INVALID_PARAMETER);
    EXPECT_EQ(CreateKey(key_, "b", KEY_ALL_ACCESS | both), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegDeleteKeyExA(key_, "a", both, 0), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegCreateKeyExA(key_, nullptr, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, nullptr),
              ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegDeleteKeyA(key_, nullptr), ERROR_INVALID_PARAMETER);
}

TEST_F(RegistryLinux, RootsAndMachineHivesCannotBeCreatedOrDeleted) {
    EXPECT_EQ(CreateKey(HKEY_LOCAL_MACHINE, "NewHive"), ERROR_ACCESS_DENIED);
    EXPECT_EQ(CreateKey(HKEY_LOCAL_MACHINE, "SOFTWARE\\NewKey"), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "HARDWARE"), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, ""), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegDeleteKeyA(HKEY_CURRENT_USER, ""), ERROR_ACCESS_DENIED);
    // Nor the 32-bit view's home, even when empty and named from the 32-bit view.
    SetArchitecture("AMD64");
    EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE"), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegDeleteKeyExA(HKEY_LOCAL_MACHINE, "software\\wow6432node", KEY_WOW64_64KEY, 0),
              ERROR_ACCESS_DENIED);
    HKEY node = nullptr;
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE", 0, KEY_READ, &node), ERROR_SUCCESS);
    RegCloseKey(node);

    // An empty name deletes the handle's own key, given DELETE access.
    ASSERT_EQ(CreateKey(key_, "Self"), ERROR_SUCCESS);
    HKEY self = nullptr;
    ASSERT_EQ(RegOpenKeyExA(key_, "Self", 0, KEY_READ, &self), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteKeyA(self, ""), ERROR_ACCESS_DENIED);
    RegCloseKey(self);
    ASSERT_EQ(RegOpenKeyExA(key_, "Self", 0, KEY_ALL_ACCESS, &self), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteKeyA(self, ""), ERROR_SUCCESS);
    DWORD size = 0;
    EXPECT_EQ(RegQueryValueExA(self, "x", nullptr, nullptr, nullptr, &size), ERROR_KEY_DELETED);
    RegCloseKey(self);
}

TEST_F(RegistryLinux, HandlesAreNeverReusedAndDieWithTheDatabase) {
    HKEY first = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software", 0, KEY_READ, &first), ERROR_SUCCESS);
    RegCloseKey(first);
    HKEY second = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software", 0, KEY_READ, &second), ERROR_SUCCESS);
    EXPECT_NE(first, second);
    DWORD size = 0;
    EXPECT_EQ(RegQueryValueExA(first, "x", nullptr, nullptr, nullptr, &size), ERROR_INVALID_HANDLE);

    // A handle of one database is nothing in the next one.
    TwLinuxRegistryReopen();
    EXPECT_EQ(RegQueryValueExA(second, "x", nullptr, nullptr, nullptr, &size),
              ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegCloseKey(second), ERROR_INVALID_HANDLE);
    key_ = HKEY_CURRENT_USER; // the fixture's handle went with it
}

TEST_F(RegistryLinux, ProcessBitnessChoosesTheDefaultView) {
    SetArchitecture("AMD64");
    TwLinuxSetProcessIs64Bit(1);
    ASSERT_EQ(CreateKey(HKEY_LOCAL_MACHINE, "SOFTWARE\\Bits64"), ERROR_SUCCESS);
    HKEY k = nullptr;
    EXPECT_EQ(
        RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Bits64", 0, KEY_READ | KEY_WOW64_64KEY, &k),
        ERROR_SUCCESS);
    RegCloseKey(k);
    TwLinuxSetProcessIs64Bit(0);
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Bits64", 0, KEY_READ, &k),
              ERROR_FILE_NOT_FOUND);
}

TEST_F(RegistryLinux, MachineArchitectureDecidesWhetherThereIsA32BitView) {
    // A 32-bit machine has one view: no flag writes the key itself.
    SetArchitecture("x86");
    EXPECT_FALSE(tw::MachineIsAmd64());
    ASSERT_EQ(CreateKey(HKEY_LOCAL_MACHINE, "SOFTWARE\\On32"), ERROR_SUCCESS);
    HKEY k = nullptr;
    EXPECT_EQ(
        RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\On32", 0, KEY_READ | KEY_WOW64_64KEY, &k),
        ERROR_SUCCESS);
    RegCloseKey(k);

    SetArchitecture("amd64");
    EXPECT_TRUE(tw::MachineIsAmd64());
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\On32", 0, KEY_READ, &k),
              ERROR_FILE_NOT_FOUND);

    // Without a stored value the host decides.
    ASSERT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE,
                            "SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Environment"),
              ERROR_SUCCESS);
    struct utsname u;
    ASSERT_EQ(uname(&u), 0);
    EXPECT_EQ(tw::MachineIsAmd64(), strcmp(u.machine, "x86_64") == 0);
}

TEST_F(RegistryLinux, BatchAppliesAllOrNothing) {
    ASSERT_EQ(tw::RegistryBeginBatch(), ERROR_SUCCESS);
    EXPECT_EQ(tw::RegistryBeginBatch(), ERROR_INVALID_FUNCTION) << "not nestable";
    Set(key_, "Dropped", REG_DWORD, std::string(4, '\1'));
    EXPECT_EQ(CreateKey(key_, "DroppedKey"), ERROR_SUCCESS);
    EXPECT_EQ(tw::RegistryEndBatch(false), ERROR_SUCCESS);
    EXPECT_EQ(RawA(key_, "Dropped"), "<missing>");
    HKEY k = nullptr;
    EXPECT_EQ(RegOpenKeyExA(key_, "DroppedKey", 0, KEY_READ, &k), ERROR_FILE_NOT_FOUND);

    ASSERT_EQ(tw::RegistryBeginBatch(), ERROR_SUCCESS);
    Set(key_, "Kept", REG_DWORD, std::string(4, '\2'));
    // A call that fails inside the batch does not spoil the rest of it.
    EXPECT_EQ(CreateKey(HKEY_LOCAL_MACHINE, "NewHive\\Below"), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegDeleteValueA(key_, "Absent"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(CreateKey(key_, "After"), ERROR_SUCCESS);
    EXPECT_EQ(tw::RegistryEndBatch(true), ERROR_SUCCESS);
    EXPECT_EQ(RawA(key_, "Kept"), std::string(4, '\2'));
    EXPECT_EQ(RegOpenKeyExA(key_, "After", 0, KEY_READ, &k), ERROR_SUCCESS);
    RegCloseKey(k);
    EXPECT_EQ(tw::RegistryEndBatch(true), ERROR_INVALID_FUNCTION);
}

// ---- the database file ----

TEST(RegistryDatabase, UnopenableDatabaseGivesRegistryIoFailure) {
    twtest::ScopedRegistry registry;
    std::string blocker = registry.dir().file("blocker");
    twtest::WriteFileText(blocker, "a file where a folder should be");
    setenv("TW_REGISTRY", (blocker + "/sub/registry.db").c_str(), 1);
    TwLinuxRegistryReopen();
    HKEY k = reinterpret_cast<HKEY>(1);
    EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software", 0, KEY_READ, &k),
              ERROR_REGISTRY_IO_FAILED);
    EXPECT_EQ(k, nullptr);
    DWORD size = 0;
    EXPECT_EQ(RegQueryValueExA(HKEY_CURRENT_USER, "x", nullptr, nullptr, nullptr, &size),
              ERROR_REGISTRY_IO_FAILED);

    // The failure is not remembered: a usable path works at the next call.
    setenv("TW_REGISTRY", registry.dir().file("a/b/c/registry.db").c_str(), 1);
    TwLinuxRegistryReopen();
    EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software", 0, KEY_READ, &k), ERROR_SUCCESS);
    RegCloseKey(k);
    EXPECT_TRUE(twtest::FileExists(registry.dir().file("a/b/c/registry.db")));
}

TEST(RegistryDatabase, AFileThatIsNoDatabaseIsRefusedAndLeftAlone) {
    twtest::ScopedRegistry registry;
    std::string text(5000, 'x');
    twtest::WriteFileText(registry.dbPath(), text);
    TwLinuxRegistryReopen();
    HKEY k = nullptr;
    EXPECT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\New", 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, &k, nullptr),
              ERROR_REGISTRY_CORRUPT);
    EXPECT_EQ(twtest::ReadFileText(registry.dbPath()), text);
}

// ---- several processes ----

TEST(RegistryProcesses, AnotherProcessChangingTheKeyMovesTheIndexesOfAWalk) {
    twtest::ScopedRegistry registry;
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\Walk", 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, &key, nullptr),
              ERROR_SUCCESS);
    for (const char* name : {"a", "b", "c", "d"})
        ASSERT_EQ(RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>("x"), 2),
                  ERROR_SUCCESS);
    RegCloseKey(key);
    int walked[2], changed[2];
    ASSERT_EQ(pipe(walked), 0);
    ASSERT_EQ(pipe(changed), 0);
    // No connection may be open across fork(): each process opens its own.
    TwLinuxRegistryReopen();
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        HKEY k = nullptr;
        char name[8];
        DWORD len = sizeof name;
        if (RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Walk", 0, KEY_READ, &k) != 0 ||
            RegEnumValueA(k, 1, name, &len, nullptr, nullptr, nullptr, nullptr) != 0 ||
            strcmp(name, "b") != 0)
            _exit(2);
        char byte = 0;
        if (write(walked[1], "w", 1) != 1 || read(changed[0], &byte, 1) != 1)
            _exit(3);
        len = sizeof name;
        // a went away: c, d are at 1 and 2 now.
        if (RegEnumValueA(k, 2, name, &len, nullptr, nullptr, nullptr, nullptr) != 0)
            _exit(4);
        _exit(strcmp(name, "d") == 0 ? 0 : 5);
    }
    char byte = 0;
    ASSERT_EQ(read(walked[0], &byte, 1), 1);
    ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Walk", 0, KEY_SET_VALUE, &key),
              ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteValueA(key, "a"), ERROR_SUCCESS);
    RegCloseKey(key);
    ASSERT_EQ(write(changed[1], "c", 1), 1);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

TEST(RegistryProcesses, TwoProcessesWritingAtOnceLoseNothing) {
    twtest::ScopedRegistry registry;
    const int kPerProcess = 150;
    int go[2];
    ASSERT_EQ(pipe(go), 0);
    // No connection may be open across fork(): each child opens its own.
    TwLinuxRegistryReopen();
    pid_t children[2];
    for (int c = 0; c < 2; ++c) {
        children[c] = fork();
        ASSERT_GE(children[c], 0);
        if (children[c] == 0) {
            close(go[1]);
            char byte;
            if (read(go[0], &byte, 1) != 1)
                _exit(3);
            int failures = 0;
            for (int i = 0; i < kPerProcess; ++i) {
                HKEY key = nullptr;
                std::string sub = "Software\\Race\\P" + std::to_string(c) + "_" + std::to_string(i);
                if (RegCreateKeyExA(HKEY_CURRENT_USER, sub.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                                    nullptr, &key, nullptr) != ERROR_SUCCESS) {
                    ++failures;
                    continue;
                }
                RegCloseKey(key);
                if (RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Race", 0, KEY_SET_VALUE, &key) !=
                    ERROR_SUCCESS) {
                    ++failures;
                    continue;
                }
                DWORD v = static_cast<DWORD>(c * 1000 + i);
                std::string name = "v" + std::to_string(c) + "_" + std::to_string(i);
                if (RegSetValueExA(key, name.c_str(), 0, REG_DWORD,
                                   reinterpret_cast<const BYTE*>(&v), 4) != ERROR_SUCCESS)
                    ++failures;
                RegCloseKey(key);
            }
            _exit(failures == 0 ? 0 : 1);
        }
    }
    close(go[0]);
    ASSERT_EQ(write(go[1], "gg", 2), 2);
    close(go[1]);
    for (pid_t child : children) {
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    }

    HKEY race = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Race", 0, KEY_READ, &race),
              ERROR_SUCCESS);
    DWORD subKeys = 0, values = 0;
    ASSERT_EQ(RegQueryInfoKeyW(race, nullptr, nullptr, nullptr, &subKeys, nullptr, nullptr, &values,
                               nullptr, nullptr, nullptr, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(subKeys, 2u * kPerProcess);
    EXPECT_EQ(values, 2u * kPerProcess);
    for (int c = 0; c < 2; ++c) {
        for (int i = 0; i < kPerProcess; ++i) {
            std::string name = "v" + std::to_string(c) + "_" + std::to_string(i);
            DWORD v = 0, size = 4;
            ASSERT_EQ(RegQueryValueExA(race, name.c_str(), nullptr, nullptr,
                                       reinterpret_cast<BYTE*>(&v), &size),
                      ERROR_SUCCESS)
                << name;
            EXPECT_EQ(v, static_cast<DWORD>(c * 1000 + i));
        }
    }
    RegCloseKey(race);
}

TEST(RegistryProcesses, AnotherProcessesChangesShowAtTheNextCall) {
    twtest::ScopedRegistry registry;
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\Shared", 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, &key, nullptr),
              ERROR_SUCCESS);
    auto twreg = [&](std::vector<std::string> args) {
        args.insert(args.begin(), {"--registry", registry.dbPath()});
        return twtest::RunProcess(twtest::ToolPath("twreg"), args).exitCode;
    };
    ASSERT_EQ(
        twreg({"add", "HKCU\\Software\\Shared", "/v", "FromTool", "/t", "REG_DWORD", "/d", "77"}),
        0);
    DWORD v = 0, size = 4;
    EXPECT_EQ(
        RegQueryValueExA(key, "FromTool", nullptr, nullptr, reinterpret_cast<BYTE*>(&v), &size),
        ERROR_SUCCESS);
    EXPECT_EQ(v, 77u);
    // A value this process has read, changed by another: the new data at once.
    ASSERT_EQ(twreg({"add", "HKCU\\Software\\Shared", "/v", "FromTool", "/t", "REG_DWORD", "/d",
                     "78", "/f"}),
              0);
    EXPECT_EQ(
        RegQueryValueExA(key, "FromTool", nullptr, nullptr, reinterpret_cast<BYTE*>(&v), &size),
        ERROR_SUCCESS);
    EXPECT_EQ(v, 78u);

    ASSERT_EQ(twreg({"delete", "HKCU\\Software\\Shared", "/f"}), 0);
    EXPECT_EQ(RegQueryValueExA(key, "FromTool", nullptr, nullptr, nullptr, &size),
              ERROR_KEY_DELETED);
    RegCloseKey(key);
}

} // namespace
