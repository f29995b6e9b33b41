// Shared set-up of the server-communication tests: a private registry and
// drive, the log captured, the agent settings a request reads, and helpers
// for the WinHTTP doubles.
#pragma once

#include "support/http_server.h"
#include "support/log_capture.h"
#include "support/test_support.h"

#include "http/http_calls.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

namespace httptest {

// Replaces a process-wide text setting with a malloc'd copy (null clears it).
void SetSetting(char*& setting, const char* value);

// Wide text for the calls, and back.
std::u16string W(const std::string& s);
std::string N(const WCHAR* w);

// Reads a registry text value (32-bit view, as the library writes); "" when absent.
std::string ReadRegText(const std::string& key, const std::string& name);
void WriteRegDword(const std::string& key, const std::string& name, DWORD value,
                   bool view64 = false);

class HttpTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    // The host path of a Windows path below the private drive root ("C:\\x" -> ".../c/x").
    std::string Host(const std::string& windowsPath) const;
    // The main server's settings: every address text, the protocol and the port.
    void SetMainServer(const std::string& lastAccess, const std::string& ip,
                       const std::string& secIp, const std::string& name, const std::string& flat,
                       int port, const char* protocol = "http");
    bool Logged(const std::string& message) const { return log_->has(message); }
    // True when some log message contains `part`.
    bool LoggedPart(const std::string& part) const;
    std::vector<std::string> LogMessages() const { return log_->messages(); }

    twtest::ScopedRegistry registry_;
    std::unique_ptr<twtest::LogCapture> log_;
    HttpCalls real_; // the system functions, for doubles that pass calls on
};

// A recorded WinHttpSetOption call.
struct OptionCall {
    DWORD option;
    std::vector<unsigned char> data;
    DWORD dword() const;
    std::u16string text() const;
};

} // namespace httptest
