// Shared pieces of the registry conformance tests. Those tests state how the
// Win32 registry behaves and run unchanged against the Linux store and
// against real Win32 (Wine): everything platform-specific is in the fixture
// section below.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#ifdef _WIN32
#define TWC_W_(s) L##s
#else
#define TWC_W_(s) u##s
#endif
#define TWC_W(s) TWC_W_(s)

namespace twc {

using WString = std::basic_string<WCHAR>;

// ---- fixture section: the only code that differs between platforms ----
#ifdef _WIN32

// Scratch keys named after the process, removed afterwards in both views.
class ScratchEnv {
  public:
    ScratchEnv() = default;
    ~ScratchEnv() {
        RegDeleteTreeA(HKEY_CURRENT_USER, UserScratch().c_str());
        for (REGSAM view : {KEY_WOW64_32KEY, KEY_WOW64_64KEY}) {
            HKEY software = nullptr;
            if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE", 0, KEY_ALL_ACCESS | view,
                              &software) == ERROR_SUCCESS) {
                RegDeleteTreeA(software, MachineScratch().c_str());
                RegCloseKey(software);
            }
        }
    }
    static std::string Id() { return std::to_string(GetCurrentProcessId()); }
    static std::string UserScratch() { return "Software\\TwConformance\\" + Id(); }
    static std::string MachineScratch() { return "TwConformance\\" + Id(); }
    static bool ProcessIs32Bit() { return sizeof(void*) == 4; }
};

#else
} // namespace twc
#include "support/test_support.h"
#include <tw_linux.h>
namespace twc {

// A fresh registry database per test, describing an AMD64 machine (as every
// machine with a WOW64 view is).
class ScratchEnv {
  public:
    ScratchEnv() {
        HKEY env = nullptr;
        if (RegCreateKeyExA(HKEY_LOCAL_MACHINE,
                            "SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Environment", 0,
                            nullptr, 0, KEY_ALL_ACCESS, nullptr, &env, nullptr) == ERROR_SUCCESS) {
            static const char kArch[] = "AMD64";
            RegSetValueExA(env, "PROCESSOR_ARCHITECTURE", 0, REG_SZ,
                           reinterpret_cast<const BYTE*>(kArch), sizeof kArch);
            RegCloseKey(env);
        }
    }
    static std::string Id() { return std::to_string(GetCurrentProcessId()); }
    static std::string UserScratch() { return "Software\\TwConformance\\" + Id(); }
    static std::string MachineScratch() { return "TwConformance\\" + Id(); }
    static bool ProcessIs32Bit() { return TwLinuxProcessIs64Bit() == 0; }

  private:
    twtest::ScopedRegistry registry_;
};

#endif
// ---- end of the fixture section ----

// What the tests write into every output before a call, so that they can
// tell whether the call touched it.
const DWORD kErrorPoison = 0x2468ACE0;
const BYTE kBytePoison = 0xA5;
const DWORD kDwordPoison = 0xDEADBEEF;
inline HKEY HandlePoison() {
    return reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(0x5EED5EE0));
}

// After a failed query Win32 leaves a size or type output either as it was or
// zeroed (it differs between the narrow and wide forms); never anything else.
inline bool KeptOrZero(DWORD value) {
    return value == kDwordPoison || value == 0;
}

// A buffer of `size` poisoned bytes followed by poisoned canary bytes.
class Poisoned {
  public:
    explicit Poisoned(size_t size) : bytes_(size + kCanary, kBytePoison), size_(size) {}
    BYTE* data() { return bytes_.data(); }
    DWORD size() const { return static_cast<DWORD>(size_); }
    bool canaryIntact() const {
        for (size_t i = size_; i < bytes_.size(); ++i) {
            if (bytes_[i] != kBytePoison)
                return false;
        }
        return true;
    }
    bool untouched() const {
        for (BYTE b : bytes_) {
            if (b != kBytePoison)
                return false;
        }
        return true;
    }
    std::string text(size_t n) const { return std::string(bytes_.begin(), bytes_.begin() + n); }

  private:
    static const size_t kCanary = 16;
    std::vector<BYTE> bytes_;
    size_t size_;
};

// UTF-16LE bytes of a wide text, terminator included when asked.
inline std::string Utf16Bytes(const WString& text, bool terminator = true) {
    std::string out;
    for (WCHAR c : text) {
        out += static_cast<char>(c & 0xff);
        out += static_cast<char>((c >> 8) & 0xff);
    }
    if (terminator)
        out.append(2, '\0');
    return out;
}

// A test that owns a fresh, empty scratch key under HKEY_CURRENT_USER.
class RegistryFixture : public ::testing::Test {
  protected:
    void SetUp() override {
        env_ = std::make_unique<ScratchEnv>();
        path_ = ScratchEnv::UserScratch();
        ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, path_.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                                  nullptr, &key_, nullptr),
                  ERROR_SUCCESS);
    }
    void TearDown() override {
        if (key_ != nullptr)
            RegCloseKey(key_);
        key_ = nullptr;
        env_.reset();
    }

    static void PoisonLastError() { SetLastError(kErrorPoison); }

    void SetBytes(HKEY key, const char* name, DWORD type, const std::string& data) {
        ASSERT_EQ(RegSetValueExA(key, name, 0, type, reinterpret_cast<const BYTE*>(data.data()),
                                 static_cast<DWORD>(data.size())),
                  ERROR_SUCCESS);
    }
    void SetDword(HKEY key, const char* name, DWORD value) {
        ASSERT_EQ(RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                                 sizeof value),
                  ERROR_SUCCESS);
    }
    // The value's raw bytes through the wide API ("<missing>" when absent).
    std::string RawValue(HKEY key, const WCHAR* name, DWORD* type = nullptr) {
        DWORD size = 0;
        if (RegQueryValueExW(key, name, nullptr, type, nullptr, &size) != ERROR_SUCCESS)
            return "<missing>";
        std::string data(size, '\0');
        if (size != 0 && RegQueryValueExW(key, name, nullptr, type,
                                          reinterpret_cast<BYTE*>(&data[0]), &size) != 0)
            return "<unreadable>";
        return data;
    }
    HKEY Create(HKEY parent, const char* path, REGSAM sam = KEY_ALL_ACCESS) {
        HKEY key = nullptr;
        EXPECT_EQ(RegCreateKeyExA(parent, path, 0, nullptr, 0, sam, nullptr, &key, nullptr),
                  ERROR_SUCCESS)
            << path;
        return key;
    }
    bool Exists(HKEY parent, const char* path, REGSAM sam = KEY_READ) {
        HKEY key = nullptr;
        if (RegOpenKeyExA(parent, path, 0, sam, &key) != ERROR_SUCCESS)
            return false;
        RegCloseKey(key);
        return true;
    }

    std::unique_ptr<ScratchEnv> env_;
    std::string path_;
    HKEY key_ = nullptr;
};

} // namespace twc
