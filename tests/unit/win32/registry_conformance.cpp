// How the registry API behaves: keys, values, sizes, enumeration, handles.
// Portable: the same file runs against real Win32 (see registry_conformance_env.h).
#include "registry_conformance_env.h"

#include <string.h>

using namespace twc;

namespace {

class RegistryKeys : public RegistryFixture {};
class RegistryValues : public RegistryFixture {};
class RegistryEnum : public RegistryFixture {};

// ---- keys ----

TEST_F(RegistryKeys, CreateReportsDispositionAndNamesIgnoreCase) {
    DWORD disposition = kDwordPoison;
    HKEY a = nullptr;
    ASSERT_EQ(RegCreateKeyExA(key_, "Alpha\\Beta", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &a,
                              &disposition),
              ERROR_SUCCESS);
    EXPECT_EQ(disposition, static_cast<DWORD>(REG_CREATED_NEW_KEY));
    RegCloseKey(a);

    disposition = kDwordPoison;
    ASSERT_EQ(RegCreateKeyExW(key_, TWC_W("ALPHA\\beta"), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                              &a, &disposition),
              ERROR_SUCCESS);
    EXPECT_EQ(disposition, static_cast<DWORD>(REG_OPENED_EXISTING_KEY));
    RegCloseKey(a);

    EXPECT_TRUE(Exists(key_, "alpha\\BETA"));
    // The key keeps the case it was created with.
    char name[32];
    DWORD len = sizeof name;
    ASSERT_EQ(RegEnumKeyExA(key_, 0, name, &len, nullptr, nullptr, nullptr, nullptr),
              ERROR_SUCCESS);
    EXPECT_STREQ(name, "Alpha");
    EXPECT_EQ(len, 5u);
}

TEST_F(RegistryKeys, OpeningAMissingKeyFailsWithFileNotFound) {
    for (const char* path : {"Missing", "Missing\\Deeper", "Alpha\\Missing"}) {
        HKEY out = HandlePoison();
        PoisonLastError();
        EXPECT_EQ(RegOpenKeyExA(key_, path, 0, KEY_READ, &out), ERROR_FILE_NOT_FOUND) << path;
        EXPECT_EQ(out, nullptr) << "a failed open hands back no handle";
        EXPECT_EQ(GetLastError(), kErrorPoison);
    }
    HKEY out = HandlePoison();
    EXPECT_EQ(RegOpenKeyExW(key_, TWC_W("Missing"), 0, KEY_READ, &out), ERROR_FILE_NOT_FOUND);
}

TEST_F(RegistryKeys, EmptySubkeyOpensTheSameKeyAgain) {
    SetDword(key_, "Marker", 7);
    HKEY again = HandlePoison();
    ASSERT_EQ(RegOpenKeyExA(key_, nullptr, 0, KEY_READ, &again), ERROR_SUCCESS);
    EXPECT_NE(again, key_) << "a new handle, closable on its own";
    DWORD value = 0, size = sizeof value;
    EXPECT_EQ(
        RegQueryValueExA(again, "Marker", nullptr, nullptr, reinterpret_cast<BYTE*>(&value), &size),
        ERROR_SUCCESS);
    EXPECT_EQ(value, 7u);
    EXPECT_EQ(RegCloseKey(again), ERROR_SUCCESS);
    EXPECT_EQ(RegQueryValueExA(key_, "Marker", nullptr, nullptr, nullptr, &size), ERROR_SUCCESS);

    // A predefined key hands back itself.
    HKEY root = HandlePoison();
    ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, TWC_W(""), 0, KEY_READ, &root), ERROR_SUCCESS);
    EXPECT_EQ(root, HKEY_CURRENT_USER);
}

TEST_F(RegistryKeys, ClosedAndForeignHandlesAreRefused) {
    HKEY sub = Create(key_, "Sub");
    ASSERT_EQ(RegCloseKey(sub), ERROR_SUCCESS);
    HANDLE mutex = CreateMutexA(nullptr, FALSE, nullptr);
    ASSERT_NE(mutex, nullptr);
    HKEY foreign = static_cast<HKEY>(mutex);
    HKEY madeUp = reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(0x3FFFFFF0));

    for (HKEY bad : {sub, foreign, madeUp, static_cast<HKEY>(nullptr)}) {
        DWORD one = 1;
        HKEY out = HandlePoison();
        EXPECT_EQ(RegSetValueExA(bad, "x", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&one), 4),
                  ERROR_INVALID_HANDLE);
        EXPECT_EQ(RegOpenKeyExA(bad, "y", 0, KEY_READ, &out), ERROR_INVALID_HANDLE);
        EXPECT_TRUE(out == nullptr || out == HandlePoison());
        EXPECT_EQ(RegDeleteKeyA(bad, "y"), ERROR_INVALID_HANDLE);
        Poisoned buf(8);
        DWORD type = kDwordPoison, size = kDwordPoison;
        EXPECT_EQ(RegQueryValueExA(bad, "x", nullptr, &type, buf.data(), &size),
                  ERROR_INVALID_HANDLE);
        EXPECT_TRUE(buf.untouched());
        EXPECT_TRUE(KeptOrZero(type));
        EXPECT_TRUE(KeptOrZero(size));
    }
    EXPECT_EQ(RegCloseKey(madeUp), ERROR_INVALID_HANDLE);
    CloseHandle(mutex);
}

TEST_F(RegistryKeys, CreateFailureLeavesOutputsAlone) {
    HKEY sub = Create(key_, "Sub");
    RegCloseKey(sub);
    HKEY out = HandlePoison();
    DWORD disposition = kDwordPoison;
    PoisonLastError();
    EXPECT_EQ(
        RegCreateKeyExA(sub, "Child", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &out, &disposition),
        ERROR_INVALID_HANDLE);
    EXPECT_EQ(disposition, kDwordPoison);
    EXPECT_TRUE(out == HandlePoison() || out == nullptr);
    EXPECT_EQ(GetLastError(), kErrorPoison);
}

TEST_F(RegistryKeys, KeyDeletedWhileOpenReportsKeyDeleted) {
    HKEY child = Create(key_, "Doomed");
    SetDword(child, "v", 1);
    ASSERT_EQ(RegDeleteKeyA(key_, "Doomed"), ERROR_SUCCESS);

    DWORD size = kDwordPoison;
    EXPECT_EQ(RegQueryValueExA(child, "v", nullptr, nullptr, nullptr, &size), ERROR_KEY_DELETED);
    EXPECT_TRUE(KeptOrZero(size));
    DWORD one = 1;
    EXPECT_EQ(RegSetValueExA(child, "w", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&one), 4),
              ERROR_KEY_DELETED);
    EXPECT_EQ(RegCloseKey(child), ERROR_SUCCESS);

    // A new key of the same name is a different key.
    HKEY reborn = Create(key_, "Doomed");
    EXPECT_EQ(RegQueryValueExA(reborn, "v", nullptr, nullptr, nullptr, &size),
              ERROR_FILE_NOT_FOUND);
    RegCloseKey(reborn);
}

TEST_F(RegistryKeys, DeletingAKeyWithSubkeysIsDenied) {
    RegCloseKey(Create(key_, "Parent\\Child"));
    PoisonLastError();
    EXPECT_EQ(RegDeleteKeyA(key_, "Parent"), ERROR_ACCESS_DENIED);
    EXPECT_EQ(GetLastError(), kErrorPoison);
    EXPECT_TRUE(Exists(key_, "Parent\\Child"));

    EXPECT_EQ(RegDeleteKeyW(key_, TWC_W("PARENT\\child")), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteKeyA(key_, "parent"), ERROR_SUCCESS);
    EXPECT_FALSE(Exists(key_, "Parent"));
    EXPECT_EQ(RegDeleteKeyA(key_, "Parent"), ERROR_FILE_NOT_FOUND);
}

TEST_F(RegistryKeys, AccessMaskLimitsWhatAHandleMayDo) {
    SetDword(key_, "Existing", 5);
    RegCloseKey(Create(key_, "Sub"));

    HKEY readOnly = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, path_.c_str(), 0, KEY_QUERY_VALUE, &readOnly),
              ERROR_SUCCESS);
    DWORD v = 9;
    EXPECT_EQ(RegSetValueExA(readOnly, "New", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&v), 4),
              ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegDeleteValueA(readOnly, "Existing"), ERROR_ACCESS_DENIED);
    char name[16];
    DWORD len = sizeof name;
    EXPECT_EQ(RegEnumKeyExA(readOnly, 0, name, &len, nullptr, nullptr, nullptr, nullptr),
              ERROR_ACCESS_DENIED);
    DWORD size = sizeof v;
    EXPECT_EQ(RegQueryValueExA(readOnly, "Existing", nullptr, nullptr, reinterpret_cast<BYTE*>(&v),
                               &size),
              ERROR_SUCCESS);
    EXPECT_EQ(v, 5u);
    RegCloseKey(readOnly);
    EXPECT_EQ(RawValue(key_, TWC_W("New")), "<missing>");

    HKEY writeOnly = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, path_.c_str(), 0, KEY_SET_VALUE, &writeOnly),
              ERROR_SUCCESS);
    size = sizeof v;
    EXPECT_EQ(RegQueryValueExA(writeOnly, "Existing", nullptr, nullptr, nullptr, &size),
              ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegSetValueExA(writeOnly, "New", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&v), 4),
              ERROR_SUCCESS);
    RegCloseKey(writeOnly);
}

TEST_F(RegistryKeys, LongestKeyNameWorksAndLongerOnesCreateNothing) {
    std::string longest(255, 'k');
    HKEY k = Create(key_, longest.c_str());
    RegCloseKey(k);
    EXPECT_TRUE(Exists(key_, longest.c_str()));

    std::string tooLong(1000, 'k');
    HKEY out = HandlePoison();
    EXPECT_NE(RegCreateKeyExA(key_, tooLong.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &out,
                              nullptr),
              ERROR_SUCCESS);
    EXPECT_FALSE(Exists(key_, tooLong.c_str()));
    DWORD subKeys = kDwordPoison;
    ASSERT_EQ(RegQueryInfoKeyW(key_, nullptr, nullptr, nullptr, &subKeys, nullptr, nullptr, nullptr,
                               nullptr, nullptr, nullptr, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(subKeys, 1u);
}

// ---- values ----

TEST_F(RegistryValues, NamesIgnoreCaseAndKeepTheirFirstSpelling) {
    SetDword(key_, "MixedCase", 1);
    SetDword(key_, "MIXEDCASE", 2);
    DWORD v = 0, size = sizeof v, type = kDwordPoison;
    ASSERT_EQ(RegQueryValueExW(key_, TWC_W("mixedcase"), nullptr, &type,
                               reinterpret_cast<BYTE*>(&v), &size),
              ERROR_SUCCESS);
    EXPECT_EQ(v, 2u);
    EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
    WCHAR name[32];
    DWORD len = 32;
    ASSERT_EQ(RegEnumValueW(key_, 0, name, &len, nullptr, nullptr, nullptr, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(WString(name, len), WString(TWC_W("MixedCase")));
    len = 32;
    EXPECT_EQ(RegEnumValueW(key_, 1, name, &len, nullptr, nullptr, nullptr, nullptr),
              ERROR_NO_MORE_ITEMS);
}

TEST_F(RegistryValues, DefaultValueIsTheEmptyName) {
    DWORD size = kDwordPoison;
    EXPECT_EQ(RegQueryValueExA(key_, nullptr, nullptr, nullptr, nullptr, &size),
              ERROR_FILE_NOT_FOUND)
        << "a new key has no default value";
    EXPECT_EQ(RegQueryValueExA(key_, "", nullptr, nullptr, nullptr, &size), ERROR_FILE_NOT_FOUND);
    EXPECT_TRUE(KeptOrZero(size));

    SetBytes(key_, nullptr, REG_SZ, std::string("dflt\0", 5));
    DWORD type = 0;
    EXPECT_EQ(RawValue(key_, TWC_W(""), &type), Utf16Bytes(TWC_W("dflt")));
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(RawValue(key_, nullptr), Utf16Bytes(TWC_W("dflt")));

    WCHAR name[8];
    DWORD len = 8;
    ASSERT_EQ(RegEnumValueW(key_, 0, name, &len, nullptr, nullptr, nullptr, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(len, 0u);
    EXPECT_EQ(name[0], 0);

    EXPECT_EQ(RegDeleteValueA(key_, ""), ERROR_SUCCESS);
    EXPECT_EQ(RawValue(key_, nullptr), "<missing>");
    EXPECT_EQ(RegDeleteValueW(key_, nullptr), ERROR_FILE_NOT_FOUND);
}

TEST_F(RegistryValues, MissingValueWritesNoData) {
    for (bool wide : {false, true}) {
        Poisoned buf(64);
        DWORD type = kDwordPoison, size = kDwordPoison;
        // The size is poisoned too: an implementation that wrote a value's size would show.
        LSTATUS rc = wide ? RegQueryValueExW(key_, TWC_W("Nope"), nullptr, &type, nullptr, &size)
                          : RegQueryValueExA(key_, "Nope", nullptr, &type, nullptr, &size);
        EXPECT_EQ(rc, ERROR_FILE_NOT_FOUND);
        EXPECT_TRUE(KeptOrZero(type));
        EXPECT_TRUE(KeptOrZero(size));
        size = buf.size();
        rc = wide ? RegQueryValueExW(key_, TWC_W("Nope"), nullptr, &type, buf.data(), &size)
                  : RegQueryValueExA(key_, "Nope", nullptr, &type, buf.data(), &size);
        EXPECT_EQ(rc, ERROR_FILE_NOT_FOUND);
        EXPECT_TRUE(size == buf.size() || size == 0);
        EXPECT_TRUE(buf.untouched());
    }
    // Argument faults are found before anything is written.
    Poisoned buf(8);
    DWORD type = kDwordPoison, reserved = 0;
    EXPECT_EQ(RegQueryValueExA(key_, "Nope", &reserved, &type, buf.data(), nullptr),
              ERROR_INVALID_PARAMETER);
    EXPECT_EQ(type, kDwordPoison);
    PoisonLastError();
    EXPECT_EQ(RegDeleteValueA(key_, "Nope"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(GetLastError(), kErrorPoison);
}

TEST_F(RegistryValues, SizesWithAndWithoutABuffer) {
    const std::string stored = Utf16Bytes(TWC_W("abc")); // 8 bytes
    ASSERT_EQ(RegSetValueExW(key_, TWC_W("Text"), 0, REG_SZ,
                             reinterpret_cast<const BYTE*>(stored.data()), 8),
              ERROR_SUCCESS);

    // No buffer: the size only.
    DWORD type = kDwordPoison, size = kDwordPoison;
    PoisonLastError();
    ASSERT_EQ(RegQueryValueExW(key_, TWC_W("Text"), nullptr, &type, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(size, 8u);
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(GetLastError(), kErrorPoison);

    // Exactly large enough.
    Poisoned exact(8);
    size = exact.size();
    ASSERT_EQ(RegQueryValueExW(key_, TWC_W("Text"), nullptr, nullptr, exact.data(), &size),
              ERROR_SUCCESS);
    EXPECT_EQ(size, 8u);
    EXPECT_EQ(exact.text(8), stored);
    EXPECT_TRUE(exact.canaryIntact());

    // One byte short, and no room at all: ERROR_MORE_DATA with the needed size.
    for (DWORD room : {7u, 0u}) {
        Poisoned small(room);
        size = room;
        type = kDwordPoison;
        EXPECT_EQ(RegQueryValueExW(key_, TWC_W("Text"), nullptr, &type, small.data(), &size),
                  ERROR_MORE_DATA);
        EXPECT_EQ(size, 8u);
        EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
        EXPECT_TRUE(small.canaryIntact()) << "nothing written past the buffer";
    }

    // A data pointer needs a size; neither is needed to learn the type.
    Poisoned buf(16);
    EXPECT_EQ(RegQueryValueExW(key_, TWC_W("Text"), nullptr, nullptr, buf.data(), nullptr),
              ERROR_INVALID_PARAMETER);
    EXPECT_TRUE(buf.untouched());
    type = kDwordPoison;
    EXPECT_EQ(RegQueryValueExW(key_, TWC_W("Text"), nullptr, &type, nullptr, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
}

TEST_F(RegistryValues, StoredBytesAreKeptExactlyWhateverTheType) {
    // Text without its terminator stays without it; empty data stays empty.
    const std::string longer = Utf16Bytes(TWC_W("abcd"));
    ASSERT_EQ(RegSetValueExW(key_, TWC_W("Bare"), 0, REG_SZ,
                             reinterpret_cast<const BYTE*>(longer.data()), 6),
              ERROR_SUCCESS);
    EXPECT_EQ(RawValue(key_, TWC_W("Bare")), Utf16Bytes(TWC_W("abc"), false));
    ASSERT_EQ(RegSetValueExW(key_, TWC_W("Empty"), 0, REG_BINARY, nullptr, 0), ERROR_SUCCESS);
    DWORD type = kDwordPoison;
    EXPECT_EQ(RawValue(key_, TWC_W("Empty"), &type), "");
    EXPECT_EQ(type, static_cast<DWORD>(REG_BINARY));

    // A DWORD of the wrong size and an unusual type number come back as written.
    SetBytes(key_, "Short", REG_DWORD, std::string("\x01\x02\x03", 3));
    EXPECT_EQ(RawValue(key_, TWC_W("Short")), std::string("\x01\x02\x03", 3));
    SetBytes(key_, "Odd", 0x12345, std::string("\0\xff", 2));
    EXPECT_EQ(RawValue(key_, TWC_W("Odd"), &type), std::string("\0\xff", 2));
    EXPECT_EQ(type, 0x12345u);
    unsigned long long q = 0x1122334455667788ULL;
    SetBytes(key_, "Q", REG_QWORD, std::string(reinterpret_cast<const char*>(&q), 8));
    EXPECT_EQ(RawValue(key_, TWC_W("Q")), std::string(reinterpret_cast<const char*>(&q), 8));

    // Overwriting replaces type and data.
    SetDword(key_, "Q", 3);
    EXPECT_EQ(RawValue(key_, TWC_W("Q"), &type), std::string("\x03\0\0\0", 4));
    EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
}

TEST_F(RegistryValues, NarrowTextIsStoredAsUtf16) {
    SetBytes(key_, "Sz", REG_SZ, std::string("abc\0", 4));
    SetBytes(key_, "Expand", REG_EXPAND_SZ, std::string("%X%\0", 4));
    SetBytes(key_, "Multi", REG_MULTI_SZ, std::string("a\0bc\0\0", 6));
    SetBytes(key_, "Bin", REG_BINARY, std::string("ab\0", 3));
    EXPECT_EQ(RawValue(key_, TWC_W("Sz")), Utf16Bytes(TWC_W("abc")));
    EXPECT_EQ(RawValue(key_, TWC_W("Expand")), Utf16Bytes(TWC_W("%X%")));
    EXPECT_EQ(RawValue(key_, TWC_W("Multi")),
              Utf16Bytes(WString(TWC_W("a\0bc\0"), 5))); // plus the terminator
    EXPECT_EQ(RawValue(key_, TWC_W("Bin")), std::string("ab\0", 3)) << "binary is not converted";
}

TEST_F(RegistryValues, NarrowQueryConvertsWithExactSizes) {
    const std::string wide = Utf16Bytes(TWC_W("hello"));
    ASSERT_EQ(RegSetValueExW(key_, TWC_W("Text"), 0, REG_SZ,
                             reinterpret_cast<const BYTE*>(wide.data()),
                             static_cast<DWORD>(wide.size())),
              ERROR_SUCCESS);

    DWORD size = kDwordPoison, type = kDwordPoison;
    ASSERT_EQ(RegQueryValueExA(key_, "Text", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(size, 6u);
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));

    Poisoned exact(6);
    size = exact.size();
    ASSERT_EQ(RegQueryValueExA(key_, "Text", nullptr, nullptr, exact.data(), &size), ERROR_SUCCESS);
    EXPECT_EQ(size, 6u);
    EXPECT_EQ(exact.text(6), std::string("hello\0", 6));
    EXPECT_TRUE(exact.canaryIntact());

    Poisoned small(5);
    size = small.size();
    EXPECT_EQ(RegQueryValueExA(key_, "Text", nullptr, nullptr, small.data(), &size),
              ERROR_MORE_DATA);
    EXPECT_EQ(size, 6u);
    EXPECT_TRUE(small.canaryIntact());

    const std::string multi = Utf16Bytes(WString(TWC_W("x\0yz\0"), 5));
    ASSERT_EQ(RegSetValueExW(key_, TWC_W("Multi"), 0, REG_MULTI_SZ,
                             reinterpret_cast<const BYTE*>(multi.data()),
                             static_cast<DWORD>(multi.size())),
              ERROR_SUCCESS);
    Poisoned list(16);
    size = list.size();
    ASSERT_EQ(RegQueryValueExA(key_, "Multi", nullptr, nullptr, list.data(), &size), ERROR_SUCCESS);
    EXPECT_EQ(size, 6u);
    EXPECT_EQ(list.text(6), std::string("x\0yz\0\0", 6));
}

TEST_F(RegistryValues, LongestValueNameWorks) {
    std::string longest(16383, 'n');
    SetDword(key_, longest.c_str(), 42);
    DWORD v = 0, size = sizeof v;
    ASSERT_EQ(RegQueryValueExA(key_, longest.c_str(), nullptr, nullptr, reinterpret_cast<BYTE*>(&v),
                               &size),
              ERROR_SUCCESS);
    EXPECT_EQ(v, 42u);
    DWORD maxName = kDwordPoison;
    ASSERT_EQ(RegQueryInfoKeyW(key_, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                               &maxName, nullptr, nullptr, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(maxName, 16383u);
}

// ---- enumeration and key information ----

TEST_F(RegistryEnum, SubkeysComeInCaseInsensitiveOrder) {
    for (const char* name : {"gamma", "Alpha", "delta1", "beta", "ALPHA2", "Delta0"})
        RegCloseKey(Create(key_, name));
    std::vector<std::string> seen;
    for (DWORD i = 0;; ++i) {
        char name[64];
        DWORD len = sizeof name;
        FILETIME written = {kDwordPoison, kDwordPoison};
        LSTATUS rc = RegEnumKeyExA(key_, i, name, &len, nullptr, nullptr, nullptr, &written);
        if (rc == ERROR_NO_MORE_ITEMS)
            break;
        ASSERT_EQ(rc, ERROR_SUCCESS);
        EXPECT_EQ(len, strlen(name));
        EXPECT_NE(written.dwHighDateTime, kDwordPoison);
        seen.push_back(name);
    }
    EXPECT_EQ(seen,
              (std::vector<std::string>{"Alpha", "ALPHA2", "beta", "Delta0", "delta1", "gamma"}));
}

TEST_F(RegistryEnum, SubkeyNameBuffersAreSizedExactly) {
    RegCloseKey(Create(key_, "Child"));
    // Room for the name and its terminator: success, length without it.
    Poisoned exact(6);
    DWORD len = 6;
    ASSERT_EQ(RegEnumKeyExA(key_, 0, reinterpret_cast<char*>(exact.data()), &len, nullptr, nullptr,
                            nullptr, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(len, 5u);
    EXPECT_EQ(exact.text(6), std::string("Child\0", 6));
    EXPECT_TRUE(exact.canaryIntact());

    Poisoned small(5);
    len = 5;
    EXPECT_EQ(RegEnumKeyExA(key_, 0, reinterpret_cast<char*>(small.data()), &len, nullptr, nullptr,
                            nullptr, nullptr),
              ERROR_MORE_DATA);
    EXPECT_TRUE(small.canaryIntact());

    Poisoned wide(6 * sizeof(WCHAR));
    len = 6;
    ASSERT_EQ(RegEnumKeyExW(key_, 0, reinterpret_cast<WCHAR*>(wide.data()), &len, nullptr, nullptr,
                            nullptr, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(len, 5u);
    EXPECT_TRUE(wide.canaryIntact());

    Poisoned none(8);
    len = 8;
    PoisonLastError();
    EXPECT_EQ(RegEnumKeyExA(key_, 1, reinterpret_cast<char*>(none.data()), &len, nullptr, nullptr,
                            nullptr, nullptr),
              ERROR_NO_MORE_ITEMS);
    EXPECT_EQ(len, 8u);
    EXPECT_TRUE(none.untouched());
    EXPECT_EQ(GetLastError(), kErrorPoison);

    char old[6];
    EXPECT_EQ(RegEnumKeyA(key_, 0, old, sizeof old), ERROR_SUCCESS);
    EXPECT_STREQ(old, "Child");
}

TEST_F(RegistryEnum, ValueEnumerationSizesAreExact) {
    SetBytes(key_, "alpha", REG_BINARY, "12345");
    SetBytes(key_, "ALPHA", REG_BINARY, "1234567"); // the same value

    char name[16];
    DWORD len = sizeof name, type = kDwordPoison, dataSize = kDwordPoison;
    ASSERT_EQ(RegEnumValueA(key_, 0, name, &len, nullptr, &type, nullptr, &dataSize),
              ERROR_SUCCESS);
    EXPECT_STREQ(name, "alpha");
    EXPECT_EQ(len, 5u);
    EXPECT_EQ(dataSize, 7u);
    EXPECT_EQ(type, static_cast<DWORD>(REG_BINARY));

    // Data too small: the needed size, nothing past the buffer.
    len = sizeof name;
    Poisoned small(3);
    dataSize = small.size();
    EXPECT_EQ(RegEnumValueA(key_, 0, name, &len, nullptr, &type, small.data(), &dataSize),
              ERROR_MORE_DATA);
    EXPECT_EQ(dataSize, 7u);
    EXPECT_TRUE(small.canaryIntact());

    // Name too small (no room for the terminator).
    Poisoned shortName(5);
    len = 5;
    EXPECT_EQ(RegEnumValueA(key_, 0, reinterpret_cast<char*>(shortName.data()), &len, nullptr,
                            nullptr, nullptr, nullptr),
              ERROR_MORE_DATA);
    EXPECT_TRUE(shortName.canaryIntact());

    // Past the end: nothing touched.
    Poisoned data(8);
    WCHAR wname[16];
    len = 16;
    dataSize = data.size();
    type = kDwordPoison;
    PoisonLastError();
    EXPECT_EQ(RegEnumValueW(key_, 1, wname, &len, nullptr, &type, data.data(), &dataSize),
              ERROR_NO_MORE_ITEMS);
    EXPECT_EQ(type, kDwordPoison);
    EXPECT_EQ(dataSize, 8u);
    EXPECT_EQ(len, 16u);
    EXPECT_TRUE(data.untouched());
    EXPECT_EQ(GetLastError(), kErrorPoison);

    // Wide enumeration returns the stored bytes, exactly sized.
    len = 16;
    Poisoned bytes(7);
    dataSize = bytes.size();
    ASSERT_EQ(RegEnumValueW(key_, 0, wname, &len, nullptr, &type, bytes.data(), &dataSize),
              ERROR_SUCCESS);
    EXPECT_EQ(WString(wname, len), WString(TWC_W("alpha")));
    EXPECT_EQ(bytes.text(dataSize), "1234567");
    EXPECT_TRUE(bytes.canaryIntact());
}

TEST_F(RegistryEnum, KeyInformationCountsAndMaxima) {
    RegCloseKey(Create(key_, "abc"));
    RegCloseKey(Create(key_, "abcdefg"));
    SetDword(key_, "a", 1);
    SetBytes(key_, "value", REG_BINARY, "0123456789");
    SetBytes(key_, nullptr, REG_BINARY, "");

    DWORD subKeys = kDwordPoison, maxSub = kDwordPoison, values = kDwordPoison,
          maxName = kDwordPoison, maxData = kDwordPoison;
    FILETIME written = {0, 0};
    PoisonLastError();
    ASSERT_EQ(RegQueryInfoKeyW(key_, nullptr, nullptr, nullptr, &subKeys, &maxSub, nullptr, &values,
                               &maxName, &maxData, nullptr, &written),
              ERROR_SUCCESS);
    EXPECT_EQ(subKeys, 2u);
    EXPECT_EQ(maxSub, 7u);
    EXPECT_EQ(values, 3u);
    EXPECT_EQ(maxName, 5u);
    EXPECT_EQ(maxData, 10u);
    EXPECT_NE(written.dwHighDateTime, 0u);
    EXPECT_EQ(GetLastError(), kErrorPoison);
}

} // namespace
