// The built checker program on the example machines, one test per scenario of
// scenarios.txt. The same file and this same runner run on Linux and, built
// for Windows, under Wine; only ScenarioMachine differs.
#include "scenario_file.h"
#include "scenario_machine.h"
#include "support/http_server.h"
#include "support/test_support.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

namespace twe2e {

// Failures name the scenario rather than dump its bytes.
void PrintTo(const Scenario& s, std::ostream* os) {
    *os << s.name;
}

namespace {

// Every example machine installs the agent here.
const char kInstallDir[] = "C:\\Program Files (x86)\\Tidewell\\Agent";

#ifdef _WIN32
const char kPlatform[] = "windows";
#else
const char kPlatform[] = "linux";
#endif

std::string WithPort(std::string text, const twtest::HttpServer* server) {
    const std::string mark = "{{port}}";
    for (size_t at; server != nullptr && (at = text.find(mark)) != std::string::npos;)
        text.replace(at, mark.size(), std::to_string(server->port()));
    return text;
}

using WideName = std::basic_string<WCHAR>;

std::string ScenarioPath() {
    return twtest::SourceDir() + "/tests/e2e/scenarios.txt";
}

const std::vector<Scenario>& AllScenarios() {
    static const std::vector<Scenario> all = [] {
        std::vector<Scenario> out;
        std::string error;
        if (!ParseScenarios(twtest::ReadFileText(ScenarioPath()), &out, &error))
            out.clear(); // ScenarioFile.IsValid reports why
        return out;
    }();
    return all;
}

WideName Wide(const std::string& utf8) {
    unsigned long type;
    std::string bytes;
    EncodeRegistryData("REG_SZ", utf8, &type, &bytes);
    WideName out;
    for (size_t i = 0; i + 1 < bytes.size(); i += 2)
        out += static_cast<WCHAR>(static_cast<unsigned char>(bytes[i]) |
                                  (static_cast<unsigned char>(bytes[i + 1]) << 8));
    while (!out.empty() && out.back() == 0)
        out.pop_back();
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

// Scenario keys are written in the 64-bit view, the agent's with its WOW6432Node.
LONG SetValue(const std::vector<std::string>& f) {
    HKEY root;
    std::string path;
    unsigned long type;
    std::string bytes;
    if (!SplitKey(f[0], &root, &path) || !EncodeRegistryData(f[2], f[3], &type, &bytes))
        return ERROR_INVALID_PARAMETER;
    HKEY key = nullptr;
    LONG rc = RegCreateKeyExA(root, path.c_str(), 0, nullptr, 0, KEY_SET_VALUE | KEY_WOW64_64KEY,
                              nullptr, &key, nullptr);
    if (rc != ERROR_SUCCESS)
        return rc;
    WideName name = Wide(f[1]);
    rc = RegSetValueExW(key, name.c_str(), 0, static_cast<DWORD>(type),
                        reinterpret_cast<const BYTE*>(bytes.data()),
                        static_cast<DWORD>(bytes.size()));
    RegCloseKey(key);
    return rc;
}

LONG DeleteValue(const std::vector<std::string>& f) {
    HKEY root;
    std::string path;
    if (!SplitKey(f[0], &root, &path))
        return ERROR_INVALID_PARAMETER;
    HKEY key = nullptr;
    LONG rc = RegOpenKeyExA(root, path.c_str(), 0, KEY_SET_VALUE | KEY_WOW64_64KEY, &key);
    if (rc != ERROR_SUCCESS)
        return rc;
    rc = RegDeleteValueW(key, Wide(f[1]).c_str());
    RegCloseKey(key);
    return rc;
}

// A value's type and raw bytes as the registry holds them, in the given view.
LONG QueryValue(const std::string& full, const std::string& view, const std::string& name,
                DWORD* type, std::string* data) {
    HKEY root;
    std::string path;
    if (!SplitKey(full, &root, &path))
        return ERROR_INVALID_PARAMETER;
    REGSAM sam = KEY_QUERY_VALUE | (view == "32" ? KEY_WOW64_32KEY : KEY_WOW64_64KEY);
    HKEY key = nullptr;
    LONG rc = RegOpenKeyExA(root, path.c_str(), 0, sam, &key);
    if (rc != ERROR_SUCCESS)
        return rc;
    WideName wname = Wide(name);
    DWORD size = 0;
    rc = RegQueryValueExW(key, wname.c_str(), nullptr, type, nullptr, &size);
    if (rc == ERROR_SUCCESS) {
        data->assign(size, '\0');
        rc = RegQueryValueExW(key, wname.c_str(), nullptr, type,
                              reinterpret_cast<BYTE*>(&(*data)[0]), &size);
        data->resize(size);
    }
    RegCloseKey(key);
    return rc;
}

std::string Shown(const std::string& text) {
    const size_t kMax = 300;
    return text.size() <= kMax
               ? text
               : text.substr(0, kMax) + "... (" + std::to_string(text.size()) + " bytes)";
}

void CheckRun(const Check& c, const twtest::ProcessResult& r, const std::string& installDir,
              const std::string& log, const twtest::HttpServer* server) {
    SCOPED_TRACE("scenarios.txt line " + std::to_string(c.line) + ": " + c.what);
    const std::string& v = c.fields[0];
    if (c.what == "exit") {
        long long expected = std::stoll(v);
        EXPECT_TRUE(ScenarioMachine::ExitMatches(expected, r.exitCode))
            << "exit code " << r.exitCode << ", expected " << expected << "\n"
            << Shown(r.err);
    } else if (c.what == "stdout-has") {
        EXPECT_NE(r.out.find(v), std::string::npos) << Shown(r.out);
    } else if (c.what == "stdout-empty") {
        EXPECT_TRUE(r.out.empty()) << Shown(r.out);
    } else if (c.what == "log-has") {
        EXPECT_NE(log.find(v), std::string::npos) << "missing: " << Shown(v);
    } else if (c.what == "log-lacks") {
        EXPECT_EQ(log.find(v), std::string::npos) << "present: " << Shown(v);
    } else if (c.what == "log-starts") {
        EXPECT_EQ(log.rfind(v, 0), 0u) << Shown(log);
    } else if (c.what == "log-lines") {
        EXPECT_EQ(twtest::SplitLines(log).size(), std::stoul(v)) << Shown(log);
    } else if (c.what == "log-line") {
        std::vector<std::string> lines = twtest::SplitLines(log);
        size_t n = std::stoul(v);
        ASSERT_GE(lines.size(), n) << Shown(log);
        ASSERT_GE(n, 1u);
        EXPECT_EQ(lines[n - 1].rfind(c.fields[1], 0), 0u) << lines[n - 1];
    } else if (c.what == "no-file") {
        EXPECT_FALSE(twtest::FileExists(installDir + "/" + v)) << v;
    } else if (c.what == "reg") {
        unsigned long type;
        std::string bytes;
        ASSERT_TRUE(EncodeRegistryData(c.fields[3], c.fields[4], &type, &bytes));
        DWORD gotType = 0;
        std::string got;
        ASSERT_EQ(QueryValue(v, c.fields[1], c.fields[2], &gotType, &got), ERROR_SUCCESS);
        EXPECT_EQ(gotType, static_cast<DWORD>(type));
        EXPECT_EQ(got, bytes);
    } else if (c.what == "requests") {
        ASSERT_NE(server, nullptr) << "the scenario declares no server";
        EXPECT_EQ(server->requestCount(), std::stoul(v));
    } else if (c.what == "no-reg") {
        DWORD type = 0;
        std::string got;
        LONG rc = QueryValue(v, c.fields[1], c.fields[2], &type, &got);
        EXPECT_TRUE(rc == ERROR_FILE_NOT_FOUND) << "query gave " << rc;
    } else {
        ADD_FAILURE() << "unknown check " << c.what;
    }
}

class Scenarios : public ::testing::TestWithParam<Scenario> {};

TEST_P(Scenarios, Run) {
    const Scenario& s = GetParam();
    ScenarioMachine machine(AllScenarios());
    std::string installDir = machine.HostPath(kInstallDir);
    if (!s.machine.empty()) {
        ASSERT_EQ(machine.Load(s.machine), "");
        ASSERT_TRUE(twtest::FileExists(installDir) || [&] {
            std::error_code ec;
            std::filesystem::create_directories(installDir, ec);
            return !ec;
        }());
    }
    std::unique_ptr<twtest::HttpServer> server;
    if (!s.server.empty()) {
        server = std::make_unique<twtest::HttpServer>();
        twtest::HttpBehavior answer;
        answer.status = std::stoi(s.server[1]);
        answer.body = s.server[2];
        if (s.server[0] == "*")
            server->otherwise(answer);
        else
            server->on(s.server[0], answer);
    }
    for (const Step& step : s.steps) {
        SCOPED_TRACE("scenarios.txt line " + std::to_string(step.line));
        if (step.kind == Step::Kind::Set) {
            std::vector<std::string> fields = step.fields;
            fields[3] = WithPort(fields[3], server.get());
            ASSERT_EQ(SetValue(fields), ERROR_SUCCESS) << step.fields[0];
        } else if (step.kind == Step::Kind::Delete) {
            ASSERT_EQ(DeleteValue(step.fields), ERROR_SUCCESS) << step.fields[0];
        } else {
            twtest::ProcessResult r = machine.Run(step.args, s.withoutXmlLibrary);
            std::string log = ScenarioMachine::ReadText(installDir + "/logs/twprereqhandler.log");
            for (const Check& c : step.checks) {
                if (c.platform.empty() || c.platform == kPlatform)
                    CheckRun(c, r, installDir, log, server.get());
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Checker, Scenarios, ::testing::ValuesIn(AllScenarios()),
                         [](const ::testing::TestParamInfo<Scenario>& info) {
                             return info.param.name;
                         });
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(Scenarios);

TEST(ScenarioFile, IsValidAndKeepsEveryCase) {
    std::vector<Scenario> all;
    std::string error;
    ASSERT_TRUE(ParseScenarios(twtest::ReadFileText(ScenarioPath()), &all, &error)) << error;
    EXPECT_GE(all.size(), 17u);
}

} // namespace
} // namespace twe2e
