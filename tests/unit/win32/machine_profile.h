// Test helpers for the machine-facts tests: a private registry store per test
// and writers for the values a Windows machine keeps about itself.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/test_support.h"

namespace mt {

using WString = std::u16string;

inline const char16_t kNtCurrentVersion[] = u"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";
inline const char16_t kProductOptions[] = u"SYSTEM\\CurrentControlSet\\Control\\ProductOptions";
inline const char16_t kEnvironment[] =
    u"SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Environment";
inline const char16_t kTcpip[] = u"SYSTEM\\CurrentControlSet\\Services\\Tcpip\\Parameters";

inline void SetValue(const char16_t* key, const char16_t* name, DWORD type, const void* data,
                     DWORD size) {
    HKEY h = nullptr;
    ASSERT_EQ(ERROR_SUCCESS,
              RegCreateKeyExW(HKEY_LOCAL_MACHINE, key, 0, nullptr, 0,
                              KEY_SET_VALUE | KEY_WOW64_64KEY, nullptr, &h, nullptr));
    EXPECT_EQ(ERROR_SUCCESS,
              RegSetValueExW(h, name, 0, type, static_cast<const BYTE*>(data), size));
    RegCloseKey(h);
}

inline void SetSz(const char16_t* key, const char16_t* name, const WString& text,
                  DWORD type = REG_SZ) {
    SetValue(key, name, type, text.c_str(), static_cast<DWORD>((text.size() + 1) * 2));
}

inline void SetDword(const char16_t* key, const char16_t* name, DWORD v) {
    SetValue(key, name, REG_DWORD, &v, sizeof v);
}

inline void SetMultiSz(const char16_t* key, const char16_t* name,
                       const std::vector<WString>& items) {
    WString data;
    for (const auto& i : items)
        data += i + u'\0';
    data += u'\0';
    SetValue(key, name, REG_MULTI_SZ, data.data(), static_cast<DWORD>(data.size() * 2));
}

// Every test gets an empty store: the default profile unless it writes one.
class MachineTest : public ::testing::Test {
  protected:
    twtest::ScopedRegistry registry_;
};

inline OSVERSIONINFOEXA VersionEx() {
    OSVERSIONINFOEXA v{};
    v.dwOSVersionInfoSize = sizeof v;
    EXPECT_TRUE(GetVersionExA(reinterpret_cast<LPOSVERSIONINFOA>(&v)));
    return v;
}

inline DWORD ProductInfo() {
    DWORD product = 0xDEADBEEF;
    EXPECT_TRUE(GetProductInfo(6, 0, 0, 0, &product));
    return product;
}

} // namespace mt
