// The test helpers on Windows (the tests built for Windows run under Wine):
// folders, child processes through CreateProcess, small file utilities.
#include "support/test_support.h"

#include <windows.h>

#include <atomic>
#include <filesystem>
#include <stdexcept>
#include <thread>

namespace twtest {

std::string BuildDir() {
    return TW_BUILD_DIR;
}
std::string SourceDir() {
    return TW_SOURCE_DIR;
}

std::string ToolPath(const std::string& name) {
    if (name == "twprereqhandler")
        return BuildDir() + "/twprereqhandler.exe";
    return BuildDir() + "/tools/" + name + "/" + name + ".exe";
}

TempDir::TempDir() {
    static std::atomic<int> counter{0};
    std::string base = BuildDir() + "/tmp";
    std::filesystem::create_directories(base);
    for (int attempt = 0; attempt < 1000; ++attempt) {
        std::string candidate = base + "/w" + std::to_string(GetCurrentProcessId()) + "_" +
                                std::to_string(counter++) + "_" + std::to_string(GetTickCount());
        if (CreateDirectoryA(candidate.c_str(), nullptr)) {
            path_ = candidate;
            return;
        }
        if (GetLastError() != ERROR_ALREADY_EXISTS)
            break;
    }
    throw std::runtime_error("cannot make a temporary folder under " + base);
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

namespace {

std::wstring Widen(const std::string& text) {
    if (text.empty())
        return std::wstring();
    int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring out(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], n);
    return out;
}

// One argument quoted so that CommandLineToArgvW and the C runtime give it back unchanged.
void AppendQuoted(std::wstring& line, const std::wstring& arg) {
    if (!arg.empty() && arg.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
        line += arg;
        return;
    }
    line += L'"';
    size_t backslashes = 0;
    for (wchar_t c : arg) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        if (c == L'"')
            line.append(backslashes * 2 + 1, L'\\');
        else
            line.append(backslashes, L'\\');
        backslashes = 0;
        line += c;
    }
    line.append(backslashes * 2, L'\\');
    line += L'"';
}

// This process's environment with the given entries replaced or added, as a
// CreateProcessW block (names compared without case, as Windows does).
std::wstring EnvironmentBlock(const std::map<std::string, std::string>& extra) {
    std::vector<std::wstring> entries;
    if (wchar_t* env = GetEnvironmentStringsW()) {
        for (const wchar_t* p = env; *p; p += lstrlenW(p) + 1)
            entries.emplace_back(p);
        FreeEnvironmentStringsW(env);
    }
    for (const auto& [name, value] : extra) {
        std::wstring wname = Widen(name);
        for (auto it = entries.begin(); it != entries.end();) {
            if (it->size() > wname.size() && (*it)[wname.size()] == L'=' &&
                CompareStringOrdinal(it->c_str(), static_cast<int>(wname.size()), wname.c_str(),
                                     static_cast<int>(wname.size()), TRUE) == CSTR_EQUAL)
                it = entries.erase(it);
            else
                ++it;
        }
        entries.push_back(wname + L"=" + Widen(value));
    }
    std::wstring block;
    for (const std::wstring& e : entries) {
        block += e;
        block += L'\0';
    }
    block += L'\0';
    return block;
}

void DrainPipe(HANDLE pipe, std::string* out) {
    char buf[65536];
    DWORD got = 0;
    while (ReadFile(pipe, buf, sizeof buf, &got, nullptr) && got > 0)
        out->append(buf, got);
}

} // namespace

ProcessResult RunProcess(const std::string& program, const std::vector<std::string>& args,
                         const std::map<std::string, std::string>& env,
                         const std::string& workDir) {
    SECURITY_ATTRIBUTES sa = {sizeof sa, nullptr, TRUE};
    HANDLE outRead = nullptr, outWrite = nullptr, errRead = nullptr, errWrite = nullptr;
    if (!CreatePipe(&outRead, &outWrite, &sa, 0) || !CreatePipe(&errRead, &errWrite, &sa, 0))
        throw std::runtime_error("CreatePipe failed");
    SetHandleInformation(outRead, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(errRead, HANDLE_FLAG_INHERIT, 0);

    std::wstring line;
    AppendQuoted(line, Widen(program));
    for (const std::string& a : args) {
        line += L' ';
        AppendQuoted(line, Widen(a));
    }
    std::wstring block = EnvironmentBlock(env);
    std::wstring dir = Widen(workDir);

    STARTUPINFOW si = {};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = INVALID_HANDLE_VALUE;
    si.hStdOutput = outWrite;
    si.hStdError = errWrite;
    PROCESS_INFORMATION pi = {};
    BOOL started = CreateProcessW(nullptr, &line[0], nullptr, nullptr, TRUE,
                                  CREATE_UNICODE_ENVIRONMENT | CREATE_NO_WINDOW, &block[0],
                                  dir.empty() ? nullptr : dir.c_str(), &si, &pi);
    DWORD startError = GetLastError();
    CloseHandle(outWrite);
    CloseHandle(errWrite);
    ProcessResult r;
    if (!started) {
        CloseHandle(outRead);
        CloseHandle(errRead);
        r.exitCode = -1;
        r.err = "CreateProcess failed: " + std::to_string(startError);
        return r;
    }
    // Both pipes are read at once so that a child filling one never blocks.
    std::thread errReader(DrainPipe, errRead, &r.err);
    DrainPipe(outRead, &r.out);
    errReader.join();
    CloseHandle(outRead);
    CloseHandle(errRead);
    WaitForSingleObject(pi.hProcess, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(pi.hProcess, &code);
    r.exitCode = static_cast<int>(code);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return r;
}

bool FileExists(const std::string& path) {
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

} // namespace twtest
