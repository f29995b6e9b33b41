// twreplay run as a program on the example fleet and on machines written
// here: each machine's answer, the report forms, nothing left behind, and no
// connection to any server.
#include "support/http_server.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

std::string Fleet() {
    return twtest::SourceDir() + "/examples/fleet";
}

// Runs twreplay with its work folders in `tmp`.
twtest::ProcessResult Replay(const twtest::TempDir& tmp, std::vector<std::string> args) {
    return twtest::RunProcess(twtest::ToolPath("twreplay"), args, {{"TMPDIR", tmp.path()}});
}

bool Has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// The fields of one CSV record (quoted fields may hold commas and quotes).
std::vector<std::string> CsvFields(const std::string& line) {
    std::vector<std::string> out(1);
    bool quoted = false;
    for (size_t i = 0; i < line.size(); ++i) {
        char c = line[i];
        if (quoted && c == '"' && i + 1 < line.size() && line[i + 1] == '"') {
            out.back() += '"';
            ++i;
        } else if (c == '"') {
            quoted = !quoted;
        } else if (c == ',' && !quoted) {
            out.emplace_back();
        } else if (c != '\r') {
            out.back() += c;
        }
    }
    return out;
}

bool Empty(const std::string& dir) {
    return fs::is_empty(dir);
}

TEST(Twreplay, FleetGivesEachMachineItsAnswerAndLeavesNothingBehind) {
    twtest::TempDir tmp;
    auto r = Replay(tmp, {"--json", "-j", "3", Fleet()});
    // The malformed machine is reported; the run says not every machine replayed.
    EXPECT_EQ(r.exitCode, 1) << r.err;
    EXPECT_EQ(r.err, "");
    auto lines = twtest::SplitLines(r.out);
    ASSERT_EQ(lines.size(), 6u) << r.out;

    // In the fleet's name order, whatever order the replays finished in.
    const std::string& appsrv = lines[0];
    EXPECT_TRUE(Has(appsrv, "\"computer\":\"APPSRV02\",\"computer_from\":\"export\"")) << appsrv;
    EXPECT_TRUE(Has(appsrv, "\"os\":\"Windows Server 2016 Standard Edition (x64)\"")) << appsrv;
    EXPECT_TRUE(Has(appsrv, "\"checks\":{\"vm\":\"pass\",\"pae\":\"pass\",\"ecp\":\"pass\","
                            "\"sse2\":\"pass\"},\"exit_code\":0,"))
        << appsrv;
    // The server's mitigation settings, as the run wrote them.
    EXPECT_TRUE(Has(appsrv, "\"value\":\"\\\"FeatureSettingsOverride\\\"=dword:00000000\""))
        << appsrv;
    EXPECT_TRUE(Has(appsrv, "\"value\":\"\\\"FeatureSettingsOverrideMask\\\"=dword:00000003\""))
        << appsrv;
    EXPECT_TRUE(Has(appsrv, "\"value\":\"\\\"MinVmVersionForCpuBasedMitigations\\\"=\\\"1.0\\\"\""))
        << appsrv;
    // The exports hold no processor features: this host's processor answered.
    EXPECT_TRUE(Has(appsrv, "\"value\":\"10\",\"answer\":\"1\",\"source\":\"this host\""))
        << appsrv;

    // Full exit codes, not their low eight bits; no writes off the passing path.
    EXPECT_TRUE(Has(lines[1], "\"computer\":\"FILESERV01\"") && Has(lines[1], "\"ecp\":\"fail\"") &&
                Has(lines[1], "\"exit_code\":1030,") && Has(lines[1], "\"writes\":[]"))
        << lines[1];
    EXPECT_TRUE(Has(lines[2], "\"computer\":\"KIOSK-07\"") && Has(lines[2], "\"exit_code\":13,"))
        << lines[2];
    EXPECT_TRUE(Has(lines[3], "\"computer\":\"LEGACY-PC03\"") &&
                Has(lines[3], "\"os\":\"Windows 7 Professional") &&
                Has(lines[3], "\"pae\":\"fail\"") && Has(lines[3], "\"exit_code\":1035,"))
        << lines[3];
    EXPECT_TRUE(Has(lines[4], "\"status\":\"malformed\"") &&
                Has(lines[4], "reception-pc/agent.reg\",\"line\":22,"
                              "\"reason\":\"continuation at end of file\"}"))
        << lines[4];
    EXPECT_TRUE(Has(lines[5], "\"computer\":\"VDI-PC17\"") && Has(lines[5], "\"vm\":\"fail\"") &&
                Has(lines[5], "\"exit_code\":119,"))
        << lines[5];

    EXPECT_TRUE(Empty(tmp.path()));
}

TEST(Twreplay, TableAndCsvCarryTheSameAnswers) {
    twtest::TempDir tmp;
    auto table = Replay(tmp, {Fleet()});
    EXPECT_EQ(table.exitCode, 1);
    auto rows = twtest::SplitLines(table.out);
    ASSERT_FALSE(rows.empty());
    EXPECT_EQ(rows[0].rfind("COMPUTER", 0), 0u) << rows[0];
    bool legacy = false, broken = false;
    for (const auto& row : rows) {
        legacy = legacy ||
                 (row.rfind("LEGACY-PC03 ", 0) == 0 && Has(row, " FAIL ") && Has(row, " 1035 "));
        broken = broken || (row.rfind("reception-pc ", 0) == 0 && Has(row, "malformed: ") &&
                            Has(row, "agent.reg:22: "));
    }
    EXPECT_TRUE(legacy && broken) << table.out;

    auto csv = Replay(tmp, {"--csv", Fleet()});
    EXPECT_EQ(csv.exitCode, 1);
    auto records = twtest::SplitLines(csv.out);
    ASSERT_EQ(records.size(), 7u) << csv.out;
    auto header = CsvFields(records[0]);
    ASSERT_EQ(header.size(), 15u);
    EXPECT_EQ(header[10], "exit_code");
    std::vector<std::string> codes;
    for (size_t i = 1; i < records.size(); ++i) {
        auto f = CsvFields(records[i]);
        ASSERT_EQ(f.size(), header.size()) << records[i];
        codes.push_back(f[10]);
    }
    EXPECT_EQ(codes, (std::vector<std::string>{"0", "1030", "13", "1035", "", "119"}));
    EXPECT_TRUE(Empty(tmp.path()));
}

// A machine whose agent has no resource identity asks its server for one:
// the example fleet's legacy-pc03, its server moved to a loopback server by
// one more export merged after its own. Replayed, it must not reach it; the
// kept log shows the failure a machine without a network logs.
TEST(Twreplay, AReplayNeverReachesTheServer) {
    twtest::HttpServer server;
    twtest::TempDir tmp, keep;
    const std::string machine = tmp.file("legacy-pc03");
    fs::copy(Fleet() + "/legacy-pc03", machine);
    const std::string port = std::to_string(server.port());
    twtest::WriteFileText(
        machine + "/zz-loopback.reg",
        "Windows Registry Editor Version 5.00\r\n\r\n"
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Brightmoor\\Tidewell\\TWAgent\\ServerInfo]\r\n"
        "\"TWServerName\"=\"127.0.0.1\"\r\n"
        "\"TWServerIPAddress\"=\"127.0.0.1\"\r\n"
        "\"TWServerSecIPAddress\"=\"127.0.0.1\"\r\n"
        "\"TWLastAccessName\"=\"127.0.0.1\"\r\n"
        "\"TWServerPort\"=\"" +
            port +
            "\"\r\n"
            "\"TWServerSecurePort\"=\"" +
            port +
            "\"\r\n"
            "\"TWServerProtocol\"=\"http\"\r\n\r\n");
    auto r = twtest::RunProcess(twtest::ToolPath("twreplay"),
                                {"--json", "--keep", keep.path(), machine, "--", "-r", "1"},
                                {{"TMPDIR", tmp.path()}});
    ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_TRUE(Has(r.out, "\"exit_code\":1035,")) << r.out;
    EXPECT_EQ(server.connectionCount(), 0);
    const std::string kept = keep.file("legacy-pc03");
    const std::string log =
        kept + "/drives/c/Program Files/Tidewell/Agent/logs/twprereqhandler.log";
    EXPECT_TRUE(Has(r.out, "\"log\":\"" + log + "\"")) << r.out;
    EXPECT_TRUE(Has(twtest::ReadFileText(log), "Error in WinHttpSendRequest -> 12029"));
    // Nothing but the machine's exports is left in the temporary folder.
    EXPECT_EQ(std::distance(fs::directory_iterator(tmp.path()), fs::directory_iterator()), 1);

    // The same store without the switch does reach the server: the test can see a connection.
    twtest::RunProcess(twtest::ToolPath("twprereqhandler"), {"-r", "1"},
                       {{"TW_REGISTRY", kept + "/registry.db"},
                        {"TW_DRIVE_ROOT", kept + "/drives"},
                        {"TW_SERVICE_DIR", kept + "/services"}});
    EXPECT_TRUE(twtest::WaitForRequests(server, 1));
}

} // namespace
