#include "http_fixture.h"
#include "http_doubles.h"

#include "base/settings.h"
#include "agent/agent_params.h"
#include "base/text_helpers.h"

#include <stdlib.h>
#include <string.h>

#include <filesystem>

namespace httptest {

void SetSetting(char*& setting, const char* value) {
    free(setting);
    setting = value != nullptr ? strdup(value) : nullptr;
}

std::u16string W(const std::string& s) {
    WCHAR* w = TwUtf8ToWide(s.c_str());
    std::u16string out(reinterpret_cast<const char16_t*>(w));
    free(w);
    return out;
}

std::string N(const WCHAR* w) {
    if (w == nullptr)
        return "";
    char* n = TwWideToUtf8(w);
    std::string out(n ? n : "");
    free(n);
    return out;
}

std::string ReadRegText(const std::string& key, const std::string& name) {
    HKEY h = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_QUERY_VALUE, &h) != ERROR_SUCCESS)
        return "";
    char buf[1024] = {};
    DWORD size = sizeof(buf) - 1;
    DWORD type = 0;
    LSTATUS rc =
        RegQueryValueExA(h, name.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(buf), &size);
    RegCloseKey(h);
    return rc == ERROR_SUCCESS ? std::string(buf) : std::string();
}

void WriteRegDword(const std::string& key, const std::string& name, DWORD value, bool view64) {
    HKEY h = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, 0,
                              KEY_ALL_ACCESS | (view64 ? KEY_WOW64_64KEY : 0), nullptr, &h,
                              nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExA(h, name.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                             sizeof(value)),
              ERROR_SUCCESS);
    RegCloseKey(h);
}

DWORD OptionCall::dword() const {
    DWORD v = 0;
    if (data.size() >= sizeof(v))
        memcpy(&v, data.data(), sizeof(v));
    return v;
}

std::u16string OptionCall::text() const {
    return std::u16string(reinterpret_cast<const char16_t*>(data.data()),
                          data.size() / sizeof(char16_t));
}

void HttpTest::SetUp() {
    RestoreHttpCalls();
    real_ = g_httpCalls;
    // Every test runs with the double so that no pause is ever waited out.
    InstallDoubles(real_);
    log_ = std::make_unique<twtest::LogCapture>(4);
    strcpy(gv_tempDir, "C:\\Temp");
    std::filesystem::create_directories(Host("C:\\Temp"));
    HTTPRequestTimeout = 60000;
    HTTPConnectionTimeout = 30000;
    DataTransferRate_KBps = 0;
    SetSetting(gv_twProductCode, "TWEX");
    SetSetting(EnableDistributionServer, "no");
    SetSetting(ProxyEnabled, "NO");
    SetSetting(TWServerProtocol, "http");
    SetSetting(DistributionServerProtocol, "http");
}

void HttpTest::TearDown() {
    RestoreHttpCalls();
    log_.reset();
}

std::string HttpTest::Host(const std::string& windowsPath) const {
    std::string rest = windowsPath.substr(2);
    for (char& c : rest)
        if (c == '\\')
            c = '/';
    std::string drive(1, static_cast<char>(tolower(static_cast<unsigned char>(windowsPath[0]))));
    return registry_.dir().file("drives") + "/" + drive + rest;
}

void HttpTest::SetMainServer(const std::string& lastAccess, const std::string& ip,
                             const std::string& secIp, const std::string& name,
                             const std::string& flat, int port, const char* protocol) {
    SetSetting(TWLastAccessName, lastAccess.c_str());
    SetSetting(TWServerIPAddress, ip.c_str());
    SetSetting(TWServerSecIPAddress, secIp.c_str());
    SetSetting(TWServerName, name.c_str());
    SetSetting(TWServerFlatName, flat.c_str());
    SetSetting(TWServerProtocol, protocol);
    gv_serverPort = port;
}

bool HttpTest::LoggedPart(const std::string& part) const {
    for (const std::string& m : log_->messages())
        if (m.find(part) != std::string::npos)
            return true;
    return false;
}

} // namespace httptest
