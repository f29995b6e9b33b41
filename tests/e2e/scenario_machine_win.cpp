// Scenarios on Windows (under Wine): one machine, its real registry and drive
// C:. Before each scenario every value that an example machine or a scenario
// writes is removed, the agent's keys go and so does its installation folder;
// then the example machine is imported with regedit.
#include "scenario_machine.h"

#include <windows.h>

#include <filesystem>
#include <set>
#include <utility>

namespace twe2e {

namespace {

const char kAgentRoot[] = "SOFTWARE\\Brightmoor";
const char kAgentFolder[] = "C:\\Program Files (x86)\\Tidewell";

using ValueRef = std::pair<std::string, std::string>; // "HKLM\\key", value name

// The values a .reg file sets ("@" is the default value).
void CollectRegFile(const std::string& path, std::set<ValueRef>* out) {
    std::string key;
    for (const std::string& raw : twtest::SplitLines(twtest::ReadFileText(path))) {
        std::string line = raw;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.size() > 2 && line[0] == '[' && line.back() == ']') {
            key = line.substr(1, line.size() - 2);
            const std::string longRoot = "HKEY_LOCAL_MACHINE";
            if (key.compare(0, longRoot.size(), longRoot) == 0)
                key = "HKLM" + key.substr(longRoot.size());
        } else if (!key.empty() && line.size() > 1 && line[0] == '"') {
            size_t end = line.find("\"=");
            if (end != std::string::npos)
                out->insert({key, line.substr(1, end - 1)});
        } else if (!key.empty() && line.compare(0, 2, "@=") == 0) {
            out->insert({key, ""});
        }
    }
}

// The C runtime's text mode writes "\r\n" for "\n"; the checks compare lines as on Linux.
std::string WithoutCarriageReturns(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (!(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n'))
            out += text[i];
    }
    return out;
}

bool SplitKey(const std::string& full, HKEY* root, std::string* path) {
    size_t slash = full.find('\\');
    std::string head = full.substr(0, slash);
    *path = slash == std::string::npos ? "" : full.substr(slash + 1);
    if (head == "HKLM" || head == "HKEY_LOCAL_MACHINE")
        *root = HKEY_LOCAL_MACHINE;
    else if (head == "HKCU" || head == "HKEY_CURRENT_USER")
        *root = HKEY_CURRENT_USER;
    else
        return false;
    return true;
}

void DeleteValueEverywhere(const ValueRef& v) {
    HKEY root;
    std::string path;
    if (!SplitKey(v.first, &root, &path))
        return;
    for (REGSAM view : {KEY_WOW64_32KEY, KEY_WOW64_64KEY}) {
        HKEY k = nullptr;
        if (RegOpenKeyExA(root, path.c_str(), 0, KEY_SET_VALUE | view, &k) == ERROR_SUCCESS) {
            RegDeleteValueA(k, v.second.c_str());
            RegCloseKey(k);
        }
    }
}

void DeleteTreeEverywhere(HKEY root, const char* path) {
    for (REGSAM view : {KEY_WOW64_32KEY, KEY_WOW64_64KEY}) {
        HKEY k = nullptr;
        if (RegOpenKeyExA(root, path, 0, KEY_ALL_ACCESS | view, &k) == ERROR_SUCCESS) {
            RegDeleteTreeA(k, nullptr);
            RegCloseKey(k);
            RegDeleteKeyExA(root, path, view, 0);
        }
    }
}

// The program under test: this build's, or the file TW_SCENARIO_PROGRAM names
// (the shipped 32-bit program, when tests/wine/shipped.sh runs the scenarios).
std::string ProgramPath() {
    char path[MAX_PATH] = {};
    DWORD n = GetEnvironmentVariableA("TW_SCENARIO_PROGRAM", path, MAX_PATH);
    if (n > 0 && n < MAX_PATH)
        return path;
    return twtest::ToolPath("twprereqhandler");
}

} // namespace

struct ScenarioMachine::Impl {
    std::set<ValueRef> touched;
    twtest::TempDir work;
};

ScenarioMachine::ScenarioMachine(const std::vector<Scenario>& all) : impl_(new Impl) {
    std::set<std::string> machines;
    for (const Scenario& s : all) {
        if (!s.machine.empty())
            machines.insert(s.machine);
        for (const Step& st : s.steps) {
            if (st.kind != Step::Kind::Run)
                impl_->touched.insert({st.fields[0], st.fields[1]});
            for (const Check& c : st.checks) {
                if (c.what == "reg" || c.what == "no-reg")
                    impl_->touched.insert({c.fields[0], c.fields[2]});
            }
        }
    }
    for (const std::string& m : machines)
        CollectRegFile(twtest::SourceDir() + "/examples/" + m, &impl_->touched);
    for (const ValueRef& v : impl_->touched)
        DeleteValueEverywhere(v);
    DeleteTreeEverywhere(HKEY_LOCAL_MACHINE, kAgentRoot);
    std::error_code ec;
    std::filesystem::remove_all(kAgentFolder, ec);
}

ScenarioMachine::~ScenarioMachine() = default;

std::string ScenarioMachine::Load(const std::string& regFile) {
    std::string path = twtest::SourceDir() + "/examples/" + regFile;
    for (char& c : path) {
        if (c == '/')
            c = '\\';
    }
    char windows[MAX_PATH] = {};
    GetWindowsDirectoryA(windows, MAX_PATH);
    int rc = twtest::RunProcess(std::string(windows) + "\\regedit.exe", {"/S", path}).exitCode;
    return rc == 0 ? "" : "regedit /S " + regFile + " ended with " + std::to_string(rc);
}

std::string ScenarioMachine::HostPath(const std::string& windowsPath) const {
    return windowsPath;
}

twtest::ProcessResult ScenarioMachine::Run(const std::vector<std::string>& args,
                                           bool withoutXmlLibrary) {
    const std::string& dir = impl_->work.path();
    std::string program = ProgramPath();
    if (withoutXmlLibrary) {
        // LoadLibrary looks beside the program first; this copy has nothing beside it.
        std::string alone = dir + "/twprereqhandler.exe";
        if (!CopyFileA(program.c_str(), alone.c_str(), FALSE)) {
            twtest::ProcessResult failed;
            failed.err = "cannot copy the program: " + std::to_string(GetLastError());
            return failed;
        }
        program = alone;
    }
    twtest::ProcessResult r = twtest::RunProcess(program, args, {{"TEMP", dir}}, dir);
    r.out = WithoutCarriageReturns(r.out);
    return r;
}

std::string ScenarioMachine::ReadText(const std::string& hostPath) {
    return WithoutCarriageReturns(twtest::ReadFileText(hostPath));
}

bool ScenarioMachine::ExitMatches(long long expected, int actual) {
    return static_cast<DWORD>(expected) == static_cast<DWORD>(actual);
}

} // namespace twe2e
