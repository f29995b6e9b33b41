// twfetch against a registry, a drive and loopback servers: the agent library
// driven from outside, as administrators use it.
#include "support/http_server.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

const std::string kAgentKey = "HKLM\\SOFTWARE\\WOW6432Node\\Brightmoor\\Tidewell\\TWAgent";

twtest::HttpBehavior Answer(const std::string& body, int status = 200) {
    twtest::HttpBehavior b;
    b.status = status;
    b.body = body;
    return b;
}

class HttpTwfetch : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(reg_.importReg(twtest::SourceDir() + "/tests/data/http/agent-loopback.reg"), 0);
        drive_ = reg_.dir().file("drives/c");
        fs::create_directories(drive_ + "/Agent/logs");
        fs::create_directories(drive_ + "/Temp");
        SetServer("port", std::to_string(server_.port()));
    }
    int Twreg(const std::vector<std::string>& args) {
        std::vector<std::string> all = {"--registry", reg_.dbPath()};
        all.insert(all.end(), args.begin(), args.end());
        return twtest::RunProcess(twtest::ToolPath("twreg"), all).exitCode;
    }
    void SetValue(const std::string& key, const std::string& name, const std::string& data) {
        ASSERT_EQ(Twreg({"add", key, "/v", name, "/d", data, "/f"}), 0);
    }
    void SetServer(const std::string& what, const std::string& data) {
        const char* name = what == "port"   ? "TWServerPort"
                           : what == "last" ? "TWLastAccessName"
                           : what == "ip"   ? "TWServerIPAddress"
                                            : what.c_str();
        SetValue(kAgentKey + "\\ServerInfo", name, data);
    }
    std::string Query(const std::string& key, const std::string& name) {
        auto r = twtest::RunProcess(twtest::ToolPath("twreg"),
                                    {"--registry", reg_.dbPath(), "query", key, "/v", name});
        std::string marker = "REG_SZ    ";
        size_t at = r.out.find(marker);
        if (at == std::string::npos)
            return "";
        std::string v = r.out.substr(at + marker.size());
        return v.substr(0, v.find('\n'));
    }
    twtest::ProcessResult Fetch(const std::vector<std::string>& args) {
        auto r = twtest::RunProcess(twtest::ToolPath("twfetch"), args, {{"TEMP", "C:\\Temp"}},
                                    reg_.dir().path());
        log_ = twtest::ReadFileText(drive_ + "/Agent/logs/twfetch.log");
        return r;
    }
    bool LogHas(const std::string& s) const { return log_.find(s) != std::string::npos; }
    static std::string LastLine(const std::string& out) {
        auto lines = twtest::SplitLines(out);
        return lines.empty() ? "" : lines.back();
    }

    twtest::ScopedRegistry reg_;
    twtest::HttpServer server_;
    std::string drive_;
    std::string log_;
};

TEST_F(HttpTwfetch, UsageErrorsExitWithTwoAndOneLine) {
    for (const std::vector<std::string>& args :
         std::vector<std::vector<std::string>>{{},
                                               {"fetch", "/x"},
                                               {"get"},
                                               {"get", "/a", "/b"},
                                               {"download", "/x"},
                                               {"get", "/x", "--throttled"},
                                               {"upload", "/u", "C:\\f", "--chunk"},
                                               {"upload", "/u", "C:\\f", "--chunk", "12k"},
                                               {"upload", "/u", "C:\\f", "--chunk", "4294967296"},
                                               {"post", "/p", "d", "--bogus"}}) {
        auto r = Fetch(args);
        EXPECT_EQ(r.exitCode, 2) << args.size();
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(twtest::SplitLines(r.err).size(), 1u) << r.err;
    }
    EXPECT_EQ(server_.requestCount(), 0u);
}

TEST_F(HttpTwfetch, GetPrintsTheBodyThenTheResult) {
    server_.on("/client-data/list.xml", Answer("<rows>\r\n<row/>\r\n</rows>"));
    auto r = Fetch({"get", "/client-data/list.xml"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.out.find("<rows>\n<row/>\n</rows>\nresult: 0\n"), std::string::npos) << r.out;
    EXPECT_EQ(LastLine(r.out), "result: 0");
    // The address that answered is remembered.
    EXPECT_EQ(Query(kAgentKey + "\\ServerInfo", "TWLastAccessName"), "127.0.0.1");
    EXPECT_TRUE(LogHas("AgentSendRequest : Last Access Address is 127.0.0.1"));
    EXPECT_TRUE(LogHas("InternetGetRequestEx : File completely downloaded..!"));
}

TEST_F(HttpTwfetch, FailoverFromARefusingLastAccessAddress) {
    server_.on("/doc.xml", Answer("<doc/>"));
    SetServer("last", "127.0.0.9");
    SetServer("ip", "127.0.0.1");
    auto r = Fetch({"get", "/doc.xml"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(Query(kAgentKey + "\\ServerInfo", "TWLastAccessName"), "127.0.0.1");
    EXPECT_TRUE(LogHas("GetInternetRequestHandle :  Error in WinHttpSendRequest -> 12029"));
}

TEST_F(HttpTwfetch, DownloadPlainAndThrottled) {
    twtest::HttpBehavior pkg;
    pkg.pattern = true;
    pkg.patternBytes = 1200;
    server_.on("/pkg/setup.msi", pkg);
    auto r = Fetch({"download", "/pkg/setup.msi", "C:\\Downloads\\setup.msi"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(LastLine(r.out), "result: 0");
    EXPECT_EQ(twtest::ReadFileText(drive_ + "/Downloads/setup.msi"), twtest::PatternBytes(0, 1200));

    SetValue(kAgentKey, "DataTransferRate_KBps", "1");
    r = Fetch({"download", "/pkg/setup.msi", "C:\\Downloads\\slow.msi", "--throttled"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(twtest::ReadFileText(drive_ + "/Downloads/slow.msi"), twtest::PatternBytes(0, 1200));
    std::vector<std::string> ranges;
    for (const auto& q : server_.requests())
        ranges.push_back(q.method + " " + q.header("Range"));
    EXPECT_EQ(ranges, (std::vector<std::string>{"GET ", "HEAD ", "GET bytes=0-499",
                                                "GET bytes=500-999", "GET bytes=1000-1200"}));
    // Only the two destinations are left: no temporary file.
    size_t files = 0;
    for (const auto& e : fs::directory_iterator(drive_ + "/Downloads")) {
        (void)e;
        ++files;
    }
    EXPECT_EQ(files, 2u);
}

TEST_F(HttpTwfetch, StatusIsTheResultAndTheExitCodeModulo256) {
    server_.on("/gone.bin", Answer("gone", 404));
    // A status from the last-access address ends the failover at once.
    SetServer("last", "127.0.0.1");
    auto r = Fetch({"download", "/gone.bin", "C:\\Downloads\\gone.bin"});
    EXPECT_EQ(LastLine(r.out), "result: 404");
    EXPECT_EQ(r.exitCode, 404 % 256);
    EXPECT_FALSE(twtest::FileExists(drive_ + "/Downloads/gone.bin"));
}

TEST_F(HttpTwfetch, PostAndUpload) {
    server_.on("/agentRequest", Answer("accepted"));
    auto r = Fetch({"post", "/agentRequest", "state=1", "--multipart"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.out.find("accepted\nresult: 0\n"), std::string::npos) << r.out;

    twtest::WriteFileText(drive_ + "/Temp/inventory.xml", twtest::PatternBytes(0, 5000));
    r = Fetch({"upload", "/agentRequest", "C:\\Temp\\inventory.xml", "--chunk", "999"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    auto rs = server_.requests();
    ASSERT_EQ(rs.size(), 2u);
    EXPECT_EQ(rs[0].body, "state=1");
    EXPECT_EQ(rs[0].header("Content-Type"), "multipart/form-data");
    EXPECT_EQ(rs[1].body, twtest::PatternBytes(0, 5000));
    EXPECT_EQ(rs[1].header("Content-type"), "multipart/form-data; filesize=\"5000\"");

    r = Fetch({"upload", "/agentRequest", "C:\\Temp\\absent.xml"});
    EXPECT_EQ(LastLine(r.out), "result: 13");
    EXPECT_EQ(r.exitCode, 13);
}

TEST_F(HttpTwfetch, WithoutServerSettingsNothingIsSent) {
    ASSERT_EQ(Twreg({"delete", kAgentKey + "\\ServerInfo", "/v", "TWServerName", "/f"}), 0);
    server_.on("/doc.xml", Answer("<doc/>"));
    auto r = Fetch({"get", "/doc.xml"});
    EXPECT_EQ(r.exitCode, 13);
    EXPECT_EQ(LastLine(r.out), "result: 13");
    EXPECT_NE(r.err.find("InitializeAgentParameters returned 13"), std::string::npos) << r.err;
    EXPECT_EQ(server_.requestCount(), 0u);
}

} // namespace
