// The registry fixture on Windows: the tests use the machine's real registry
// (Wine's, in the prefix made for the test run), so the fixture clears the
// keys the tests write, before and after each test.
#include "support/test_support.h"

#include <windows.h>

#include <filesystem>

namespace twtest {

namespace {

// The agent's key and the scratch keys of the tests, in both registry views.
const char* const kTestKeys[] = {"SOFTWARE\\Brightmoor", "SOFTWARE\\TwTests"};

void ClearTestKeys() {
    for (REGSAM view : {KEY_WOW64_32KEY, KEY_WOW64_64KEY}) {
        HKEY software = nullptr;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "", 0, KEY_ALL_ACCESS | view, &software) !=
            ERROR_SUCCESS)
            continue;
        for (const char* key : kTestKeys) {
            HKEY k = nullptr;
            if (RegOpenKeyExA(software, key, 0, KEY_ALL_ACCESS | view, &k) == ERROR_SUCCESS) {
                RegDeleteTreeA(k, nullptr);
                RegCloseKey(k);
                RegDeleteKeyExA(software, key, view, 0);
            }
        }
        RegCloseKey(software);
    }
}

} // namespace

ScopedRegistry::ScopedRegistry() {
    std::filesystem::create_directories(dir_.file("drives"));
    std::filesystem::create_directories(dir_.file("services"));
    ClearTestKeys();
}

ScopedRegistry::~ScopedRegistry() {
    ClearTestKeys();
}

int ScopedRegistry::importReg(const std::string& regFile) const {
    std::string path = regFile;
    for (char& c : path) {
        if (c == '/')
            c = '\\';
    }
    char windows[MAX_PATH] = {};
    GetWindowsDirectoryA(windows, MAX_PATH);
    return RunProcess(std::string(windows) + "\\regedit.exe", {"/S", path}).exitCode;
}

} // namespace twtest
