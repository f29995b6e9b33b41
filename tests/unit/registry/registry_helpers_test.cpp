#include "base/settings.h"
#include "registry/registry_helpers.h"
#include "registry/registry_key.h"
#include "support/log_capture.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <stdlib.h>
#include <string.h>

#include <vector>

#ifndef _WIN32
#include <tw_linux.h>
#endif

namespace {

const char kKey[] = "Software\\Brightmoor\\Tidewell\\TWAgent\\Test";

struct RawValue {
    LONG rc = -1;
    DWORD type = 0;
    std::vector<BYTE> data;
};

RawValue readRaw(const char* key, const WCHAR* name, REGSAM view = 0) {
    RawValue v;
    HKEY h = nullptr;
    v.rc = RegOpenKeyExA(HKEY_LOCAL_MACHINE, key, 0, KEY_QUERY_VALUE | view, &h);
    if (v.rc != ERROR_SUCCESS)
        return v;
    DWORD size = 0;
    v.rc = RegQueryValueExW(h, name, nullptr, &v.type, nullptr, &size);
    if (v.rc == ERROR_SUCCESS) {
        v.data.resize(size);
        v.rc = RegQueryValueExW(h, name, nullptr, &v.type, v.data.data(), &size);
    }
    RegCloseKey(h);
    return v;
}

std::vector<BYTE> utf16(const std::u16string& s, bool terminator = true) {
    std::vector<BYTE> out;
    for (char16_t c : s) {
        out.push_back(static_cast<BYTE>(c & 0xFF));
        out.push_back(static_cast<BYTE>(c >> 8));
    }
    if (terminator) {
        out.push_back(0);
        out.push_back(0);
    }
    return out;
}

DWORD dwordOf(const RawValue& v) {
    DWORD d = 0;
    memcpy(&d, v.data.data(), sizeof d);
    return d;
}

class RegistryHelpers : public ::testing::Test {
  protected:
    void SetUp() override {
#ifndef _WIN32
        TwLinuxSetProcessIs64Bit(0);
#endif
        gv_IsWow64 = 0;
    }
    twtest::ScopedRegistry reg;
};

} // namespace

TEST_F(RegistryHelpers, ReadRegSZMissingValueIsSilentMissingKeyIsLogged) {
    twtest::LogCapture log(4);
    ASSERT_EQ(addRegistryKey(HKEY_LOCAL_MACHINE, kKey), 0u);
    size_t before = log.messages().size();
    char* out = reinterpret_cast<char*>(0x1);
    EXPECT_EQ(ReadRegSZ(HKEY_LOCAL_MACHINE, kKey, "nothing", &out), 2u);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(log.messages().size(), before);
    EXPECT_EQ(ReadRegSZ(HKEY_LOCAL_MACHINE, "Software\\Nowhere", "x", &out), 2u);
    EXPECT_TRUE(log.has(
        "ReadRegSZ: Error while opening registry key Software\\Nowhere ,and the error is  2 "));
}

TEST_F(RegistryHelpers, ReadRegSZGivesTextAndFiveSpareZeros) {
    ASSERT_EQ(writeValue(HKEY_LOCAL_MACHINE, kKey, "empty", "--", REG_SZ), 0u);
    ASSERT_EQ(writeValue(HKEY_LOCAL_MACHINE, kKey, "name", "Grüße", REG_SZ), 0u);
    ASSERT_EQ(writeValue(HKEY_LOCAL_MACHINE, kKey, "num", "7", REG_DWORD), 0u);
    char* out = nullptr;
    ASSERT_EQ(ReadRegSZ(HKEY_LOCAL_MACHINE, kKey, "empty", &out), 0u);
    ASSERT_NE(out, nullptr);
    EXPECT_STREQ(out, "");
    free(out);
    ASSERT_EQ(ReadRegSZ(HKEY_LOCAL_MACHINE, kKey, "name", &out), 0u);
    EXPECT_STREQ(out, "Grüße");
    free(out);
    // The type is not checked: a DWORD reads as its four bytes, then zeros.
    ASSERT_EQ(ReadRegSZ(HKEY_LOCAL_MACHINE, kKey, "num", &out), 0u);
    EXPECT_EQ(out[0], 7);
    EXPECT_EQ(out[1], 0);
    free(out);
    ASSERT_EQ(ReadRegSZEx(HKEY_LOCAL_MACHINE, kKey, "name", &out), 0u);
    EXPECT_EQ(std::u16string(reinterpret_cast<char16_t*>(out)), u"Grüße");
    free(out);
}

TEST_F(RegistryHelpers, ReadDwordLeavesTheVariableAloneWhenMissing) {
    twtest::LogCapture log(4);
    DWORD v = 0xABCD;
    EXPECT_EQ(ReadDwordRegistryData(HKEY_LOCAL_MACHINE, "Software\\Nowhere", "x", &v), 2u);
    EXPECT_EQ(v, 0xABCDu);
    EXPECT_NE(log.text().find("[DEBUG] ReadDwordRegistryData:  value  x Not found: 2 "),
              std::string::npos);
    EXPECT_EQ(log.text().find("[ERROR]"), std::string::npos);
    ASSERT_EQ(writeValue(HKEY_LOCAL_MACHINE, kKey, "big", "123456", REG_SZ), 0u);
    EXPECT_EQ(ReadDwordRegistryData(HKEY_LOCAL_MACHINE, kKey, "big", &v), 234u);
    EXPECT_EQ(v, 0xABCDu);
    EXPECT_TRUE(log.has("ReadDwordRegistryData: Error while reading DWORD value of big : 234 "));
    ASSERT_EQ(writeValue(HKEY_LOCAL_MACHINE, kKey, "n", "-2", REG_DWORD), 0u);
    EXPECT_EQ(ReadDwordRegistryData(HKEY_LOCAL_MACHINE, kKey, "n", &v), 0u);
    EXPECT_EQ(v, 0xFFFFFFFEu);
}

TEST_F(RegistryHelpers, DefaultValueAndEmptyData) {
    twtest::LogCapture log(4);
    ASSERT_EQ(writeValue(HKEY_LOCAL_MACHINE, kKey, "--", "default text", REG_SZ), 0u);
    RawValue v = readRaw(kKey, u"");
    ASSERT_EQ(v.rc, ERROR_SUCCESS);
    EXPECT_EQ(v.data, utf16(u"default text"));
    EXPECT_TRUE(log.has("writeValue : going to add the (default) value ."));
    ASSERT_EQ(writeValue(HKEY_LOCAL_MACHINE, kKey, "zero", "--", REG_DWORD), 0u);
    v = readRaw(kKey, u"zero");
    EXPECT_EQ(v.type, static_cast<DWORD>(REG_DWORD));
    EXPECT_EQ(dwordOf(v), 0u);
    EXPECT_TRUE(log.has("writeValue : going to add the value data as 0 value ."));
    EXPECT_TRUE(log.has("Message : The operation completed successfully.  "));
}

TEST_F(RegistryHelpers, NullNameOrDataTouchesNothing) {
    twtest::LogCapture log(4);
    EXPECT_EQ(writeValue(HKEY_LOCAL_MACHINE, kKey, nullptr, "x", REG_SZ), 13u);
    EXPECT_EQ(writeValueEx(HKEY_LOCAL_MACHINE, kKey, "x", nullptr, REG_SZ), 13u);
    HKEY h = nullptr;
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kKey, 0, KEY_READ, &h), ERROR_FILE_NOT_FOUND);
    EXPECT_NE(log.text().find("[INFO] writeValue : Valuename or Valuedata is Empty "),
              std::string::npos);
    EXPECT_NE(log.text().find("[ERROR] writeValueEx : Valuename or Valuedata is Empty "),
              std::string::npos);
}

TEST_F(RegistryHelpers, DwordTextRules) {
    ASSERT_EQ(writeValue(HKEY_LOCAL_MACHINE, kKey, "a", " 42abc", REG_DWORD), 0u);
    EXPECT_EQ(dwordOf(readRaw(kKey, u"a")), 42u);
    ASSERT_EQ(writeValue(HKEY_LOCAL_MACHINE, kKey, "b", "abc", REG_DWORD), 0u);
    EXPECT_EQ(dwordOf(readRaw(kKey, u"b")), 0u);
    ASSERT_EQ(writeValueEx(HKEY_LOCAL_MACHINE, kKey, "c", "1.0", REG_DWORD), 0u);
    EXPECT_EQ(dwordOf(readRaw(kKey, u"c")), 1u);
    ASSERT_EQ(writeValueEx(HKEY_LOCAL_MACHINE, kKey, "d", "--", REG_DWORD), 0u);
    EXPECT_EQ(dwordOf(readRaw(kKey, u"d")), 0u);
    ASSERT_EQ(writeValue(HKEY_LOCAL_MACHINE, kKey, "e", "99999999999", REG_DWORD), 0u);
    EXPECT_EQ(dwordOf(readRaw(kKey, u"e")), 0x7FFFFFFFu) << "out of range saturates";
}

TEST_F(RegistryHelpers, MultiStringListRule) {
    twtest::LogCapture log(4);
    ASSERT_EQ(writeValueEx(HKEY_LOCAL_MACHINE, kKey, "m", "a;b^;c", REG_MULTI_SZ), 0u);
    RawValue v = readRaw(kKey, u"m");
    EXPECT_EQ(v.type, static_cast<DWORD>(REG_MULTI_SZ));
    EXPECT_EQ(v.data.size(), 14u);
    EXPECT_EQ(v.data, utf16(std::u16string(u"a\0b;c\0", 6)));
    EXPECT_TRUE(log.has("writeValueEx:  Data type is REG_MULTI_SZ: 14"));
    ASSERT_EQ(writeValueEx(HKEY_LOCAL_MACHINE, kKey, "m2", "x^^y;;z^", REG_MULTI_SZ), 0u);
    EXPECT_EQ(readRaw(kKey, u"m2").data, utf16(std::u16string(u"x^y\0\0z\0\0", 8)));
}

TEST_F(RegistryHelpers, QwordDecimalRule) {
    ASSERT_EQ(writeValueEx(HKEY_LOCAL_MACHINE, kKey, "q", "12", REG_QWORD), 0u);
    RawValue v = readRaw(kKey, u"q");
    ASSERT_EQ(v.data.size(), 8u);
    uint64_t q = 0;
    memcpy(&q, v.data.data(), 8);
    EXPECT_EQ(q, 12u);
    ASSERT_EQ(writeValueEx(HKEY_LOCAL_MACHINE, kKey, "q2", "1a", REG_QWORD), 0u);
    memcpy(&q, readRaw(kKey, u"q2").data.data(), 8);
    EXPECT_EQ(q, 10u + ('a' - '0')) << "no character is rejected";
}

TEST_F(RegistryHelpers, BinaryDiffersBetweenTheWriters) {
    ASSERT_EQ(writeValue(HKEY_LOCAL_MACHINE, kKey, "b1", "ab", REG_BINARY), 0u);
    EXPECT_EQ(readRaw(kKey, u"b1").data, utf16(u"ab"));
    ASSERT_EQ(writeValueEx(HKEY_LOCAL_MACHINE, kKey, "b2", "ab", REG_BINARY), 0u);
    EXPECT_EQ(readRaw(kKey, u"b2").data, (std::vector<BYTE>{'a', 'b', 0}));
    EXPECT_EQ(writeValue(HKEY_LOCAL_MACHINE, kKey, "odd", "x", REG_LINK), 13u);
}

TEST_F(RegistryHelpers, WriterViews) {
    const char* key = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Virtualization";
    gv_IsWow64 = 1;
    ASSERT_EQ(writeValueEx(HKEY_LOCAL_MACHINE, key, "v64", "1.0", REG_SZ), 0u);
    ASSERT_EQ(writeValue(HKEY_LOCAL_MACHINE, key, "v32", "x", REG_SZ), 0u);
    EXPECT_EQ(readRaw(key, u"v64", KEY_WOW64_64KEY).data, utf16(u"1.0"));
    EXPECT_EQ(readRaw(key, u"v64", KEY_WOW64_32KEY).rc, ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(readRaw(key, u"v32", KEY_WOW64_32KEY).rc, ERROR_SUCCESS);
    EXPECT_EQ(readRaw(key, u"v32", KEY_WOW64_64KEY).rc, ERROR_FILE_NOT_FOUND);
}

TEST_F(RegistryHelpers, DeleteValueNarrowAndWide) {
    twtest::LogCapture log(4);
    ASSERT_EQ(writeValue(HKEY_LOCAL_MACHINE, kKey, "--", "d", REG_SZ), 0u);
    ASSERT_EQ(writeValue(HKEY_LOCAL_MACHINE, kKey, "n", "x", REG_SZ), 0u);
    EXPECT_EQ(deleteValue(HKEY_LOCAL_MACHINE, kKey, "--"), 0u);
    EXPECT_EQ(readRaw(kKey, u"").rc, ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(deleteValue(HKEY_LOCAL_MACHINE, kKey, "n"), 0u);
    EXPECT_EQ(deleteValue(HKEY_LOCAL_MACHINE, kKey, "n"), 2u);
    EXPECT_TRUE(log.has("deleteValue:  Delete value n failure! "));
    EXPECT_EQ(deleteValue(HKEY_LOCAL_MACHINE, "Software\\Nowhere", "n"), 2u);
    EXPECT_TRUE(log.has("deleteValue:  Software\\Nowhere Key not found!: 2  "));
    ASSERT_EQ(writeValue(HKEY_LOCAL_MACHINE, kKey, "wide", "x", REG_SZ), 0u);
    std::u16string wkey(kKey, kKey + strlen(kKey));
    EXPECT_EQ(deleteValue(HKEY_LOCAL_MACHINE, reinterpret_cast<const WCHAR*>(wkey.c_str()),
                          reinterpret_cast<const WCHAR*>(u"wide")),
              0u);
    EXPECT_TRUE(log.has("deleteValue:  Delete value wide success! "));
}

TEST_F(RegistryHelpers, DeleteKeyTree) {
    ASSERT_EQ(writeValue(HKEY_LOCAL_MACHINE, "Software\\T\\a\\b\\c", "v", "1", REG_SZ), 0u);
    ASSERT_EQ(writeValue(HKEY_LOCAL_MACHINE, "Software\\T\\a\\d", "v", "1", REG_SZ), 0u);
    ASSERT_EQ(writeValue(HKEY_LOCAL_MACHINE, "Software\\T\\e", "v", "1", REG_SZ), 0u);
    EXPECT_TRUE(deleteKeyTree(HKEY_LOCAL_MACHINE, "Software\\T"));
    HKEY h = nullptr;
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\T", 0, KEY_READ, &h),
              ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(deleteKeyTree(HKEY_LOCAL_MACHINE, "Software\\T"));
}

TEST_F(RegistryHelpers, DeepTreeIsDeletedWithoutRecursion) {
    std::string path = "Software\\Deep";
    for (int i = 0; i < 200; ++i)
        path += "\\k";
    ASSERT_EQ(addRegistryKey(HKEY_LOCAL_MACHINE, path.c_str()), 0u);
    EXPECT_TRUE(deleteKeyTree(HKEY_LOCAL_MACHINE, "Software\\Deep"));
}

TEST_F(RegistryHelpers, AddKeyDispositionLines) {
    twtest::LogCapture log(4);
    EXPECT_EQ(addRegistryKey(HKEY_LOCAL_MACHINE, kKey), 0u);
    EXPECT_TRUE(log.has("addRegistryKey:  Create registry key function successfull: 1 "));
    EXPECT_EQ(addRegistryKey(HKEY_LOCAL_MACHINE, kKey), 0u);
    EXPECT_TRUE(log.has("addRegistryKey:  Opened already existing key! "));
    EXPECT_EQ(addRegistryKeyEx(HKEY_LOCAL_MACHINE, kKey), 0u);
    EXPECT_TRUE(log.has("addRegistryKeyEx: Inside addRegistryKey method ...... "));
}

TEST_F(RegistryHelpers, KeyObjectRules) {
    ASSERT_EQ(writeValue(HKEY_LOCAL_MACHINE, kKey, "d", "5", REG_DWORD), 0u);
    ASSERT_EQ(writeValue(HKEY_LOCAL_MACHINE, kKey, "s", "text", REG_SZ), 0u);
    ASSERT_EQ(writeValue(HKEY_LOCAL_MACHINE, kKey, "e", "--", REG_SZ), 0u);
    ASSERT_EQ(writeValue(HKEY_LOCAL_MACHINE, kKey, "t", "a", REG_SZ), 0u);
    {
        HKEY h = nullptr;
        ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kKey, 0, KEY_SET_VALUE, &h), 0);
        const BYTE raw[] = {'a', 'b'};
        ASSERT_EQ(RegSetValueExA(h, "unterminated", 0, REG_SZ, raw, 2), 0);
        RegCloseKey(h);
    }
    RegistryKey key;
    ASSERT_EQ(key.Open(HKEY_LOCAL_MACHINE, kKey, KEY_ALL_ACCESS | KEY_WOW64_32KEY), 0);
    EXPECT_EQ(key.ViewBits(), static_cast<REGSAM>(KEY_WOW64_32KEY));
    DWORD d = 0;
    EXPECT_EQ(key.QueryDWORDValue("d", &d), 0);
    EXPECT_EQ(d, 5u);
    EXPECT_EQ(key.QueryDWORDValue("s", &d), ERROR_MORE_DATA) << "the query's error comes first";
    EXPECT_EQ(key.QueryDWORDValue("t", &d), 13) << "a text that fits is still the wrong type";
    EXPECT_EQ(key.QueryDWORDValue("missing", &d), 2);
    char buf[64];
    DWORD bytes = sizeof buf;
    EXPECT_EQ(key.QueryStringValue("s", buf, &bytes), 0);
    EXPECT_STREQ(buf, "text");
    EXPECT_EQ(bytes, 5u);
    bytes = sizeof buf;
    EXPECT_EQ(key.QueryStringValue("d", buf, &bytes), 13);
    bytes = sizeof buf;
    EXPECT_EQ(key.QueryStringValue("unterminated", buf, &bytes), 13);
    bytes = 2;
    EXPECT_EQ(key.QueryStringValue("s", buf, &bytes), ERROR_MORE_DATA);
    EXPECT_EQ(key.SetStringValue("new", nullptr), 13);
    EXPECT_EQ(key.SetStringValue("new", "v"), 0);
    EXPECT_EQ(key.Close(), 0);
    EXPECT_EQ(key.Handle(), nullptr);
    EXPECT_EQ(key.ViewBits(), 0u);

    RegistryKey bound;
    bound.BindTransaction(nullptr, false);
    EXPECT_EQ(bound.Open(HKEY_LOCAL_MACHINE, kKey, KEY_READ), 1);
    bound.BindTransaction(nullptr, true);
    EXPECT_EQ(bound.Open(HKEY_LOCAL_MACHINE, kKey, KEY_READ), 0);
    DWORD disp = 0;
    RegistryKey created;
    EXPECT_EQ(created.Create(HKEY_LOCAL_MACHINE, "Software\\Fresh", nullptr, 0, KEY_ALL_ACCESS,
                             nullptr, &disp),
              0);
    EXPECT_EQ(disp, static_cast<DWORD>(REG_CREATED_NEW_KEY));
}
