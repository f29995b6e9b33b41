#include "base/error_texts.h"
#include "base/text_helpers.h"
#include "base/format.h"
#include "base/log.h"

#include <shlwapi.h>
#include <stdlib.h>
#include <string.h>

#include <string>

namespace {

struct AgentText {
    DWORD code;
    const char* text;
};

// Results of patch deployment that Windows has no message for.
const AgentText kAgentTexts[] = {
    {1508, "The requested operation is successful. Changes will not be effective until the "
           "browser is rebooted."},
    {10001, "tw.db.agent.config.script.powerscript_notfound"},
    {10002, "tw.db.agent.config.run_as_admin.credentials_not_available"},
    {10003, "tw.db.agent.config.returned_zero_failure"},
    {17021, "OfficeUpdateError: Creating temp folder."},
    {17023, "OfficeUpdateError: User cancelled installation."},
    {17024, "OfficeUpdateError: Creating folder failed."},
    {17025, "OfficeUpdateError: Patch already installed."},
    {17026, "OfficeUpdateError: Patch already installed to admin installation."},
    {17027, "OfficeUpdateError: Installation source requires full file update."},
    {17028, "OfficeUpdateError: No product installed for contained patch."},
    {17029, "OfficeUpdateError: Patch failed to install."},
    {17030, "OfficeUpdateError: Invalid CIF format."},
    {17031, "OfficeUpdateError: Invalid baseline."},
    {17034, "OfficeUpdateError: Required patch does not apply to the machine."},
    {17038, "OfficeUpdateError: You do not have sufficient privileges to complete this "
            "installation for all users of the machine. Log on as administrator and then retry "
            "this installation."},
    {17044, "OfficeUpdateError: Installer was unable to run detection for this package."},
    {17048, "OfficeUpdateError : This installation requires Windows Installer 3.1 or greater."},
    {17301, "OfficeUpdateError: General Detection error"},
    {17302, "OfficeUpdateError: Applying patch."},
    {17303, "OfficeUpdateError: Extracting file."},
    {20001, "Patch update delayed since application is used by another process"},
    {2359302, "Patch already Installed and the changes will not be effective until the system is "
              "rebooted."},
    {2359303, "Patch already Uninstalled and the changes will not be effective until the system "
              "is rebooted."},
};

const DWORD kFormatFlags = FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS |
                           FORMAT_MESSAGE_ALLOCATE_BUFFER | 0xFF;
const DWORD kUserDefaultLanguage = 0x400;
const size_t kUnknownTextSize = 4096;

// A zero-filled 4096-byte copy of the agent's text for the code.
char* agentTextCopy(DWORD code) {
    auto* buf = static_cast<char*>(calloc(1, kUnknownTextSize));
    if (buf == nullptr)
        return nullptr;
    bool allocated = false;
    const char* t = GetAgentErrorText(code, &allocated);
    if (t != nullptr)
        strncpy(buf, t, kUnknownTextSize - 1);
    if (allocated)
        free(const_cast<char*>(t));
    return buf;
}

void logText(DWORD code, const char* text) {
    if (code == 0)
        LogInfo("Message : %s \n", text);
    else
        LogError("Error Code : %d , Error Message : %s \n", code, text);
}

} // namespace

const char* GetAgentErrorText(DWORD code, bool* allocated) {
    if (allocated)
        *allocated = false;
    for (const AgentText& t : kAgentTexts) {
        if (t.code == code)
            return t.text;
    }
    auto* buf = static_cast<char*>(calloc(1, kUnknownTextSize));
    if (buf == nullptr)
        return "Unknown Error.";
    std::string s = TwFormat("Unknown Error. Code : %d", code);
    strncpy(buf, s.c_str(), kUnknownTextSize - 1);
    if (allocated)
        *allocated = true;
    return buf;
}

char* LookUpErrorText(DWORD code) {
    WCHAR* sys = nullptr;
    DWORD n = FormatMessageW(kFormatFlags, nullptr, code, kUserDefaultLanguage,
                             reinterpret_cast<LPWSTR>(&sys), 0, nullptr);
    char* text = nullptr;
    if (n != 0 && sys != nullptr)
        text = TwWideToUtf8(sys);
    if (text == nullptr)
        text = agentTextCopy(code);
    if (sys != nullptr)
        LocalFree(sys);
    return text;
}

char* FormatErrorText(DWORD code) {
    char* text = LookUpErrorText(code);
    logText(code, text ? text : "");
    return text;
}

void LogErrorText(DWORD code) {
    free(FormatErrorText(code));
}

DWORD LogErrorTextAnsi(DWORD code) {
    char* sys = nullptr;
    DWORD n = FormatMessageA(kFormatFlags, nullptr, code, kUserDefaultLanguage,
                             reinterpret_cast<LPSTR>(&sys), 0, nullptr);
    char* text = nullptr;
    if (n != 0 && sys != nullptr) {
        size_t len = strlen(sys);
        text = static_cast<char*>(calloc(1, len + 2));
        if (text != nullptr) {
            memcpy(text, sys, len);
            StrTrimA(text, " ");
        }
    }
    if (text == nullptr)
        text = agentTextCopy(code);
    logText(code, text ? text : "");
    if (sys != nullptr)
        LocalFree(sys);
    free(text);
    return 0;
}

void LogLastError() {
    DWORD code = GetLastError();
    char* sys = nullptr;
    FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS |
                       FORMAT_MESSAGE_ALLOCATE_BUFFER,
                   nullptr, code, kUserDefaultLanguage, reinterpret_cast<LPSTR>(&sys), 0, nullptr);
    LogError(" Error Message: %s\n", sys);
    if (sys != nullptr)
        LocalFree(sys);
}
