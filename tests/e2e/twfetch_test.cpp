// twfetch against a registry, a drive and loopback servers: the agent library
// driven from outside, as administrators use it.
#include "support/http_server.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
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
    // The result line of a success.
    static constexpr const char* kSuccess = "result: 0 (The operation completed successfully.)";
    static std::string LastLine(const std::string& out) {
        auto lines = twtest::SplitLines(out);
        return lines.empty() ? "" : lines.back();
    }

    twtest::ScopedRegistry reg_;
    twtest::HttpServer server_;
    std::string drive_;
    std::string log_;
};

TEST_F(HttpTwfetch, HelpShowsAnExamplePerCommand) {
    for (const char* flag : {"--help", "-h"}) {
        auto r = Fetch({"download", flag});
        EXPECT_EQ(r.exitCode, 0);
        EXPECT_EQ(r.err, "");
        for (const char* example : {"\n  twfetch get /", "\n  twfetch download /",
                                    "\n  twfetch post /", "\n  twfetch upload /"})
            EXPECT_NE(r.out.find(example), std::string::npos) << example << "\n" << r.out;
        EXPECT_NE(r.out.find("Exit status: 0 when the request\nsucceeded, 1 when it failed"),
                  std::string::npos);
    }
    // Without arguments the same text is the usage error.
    auto r = Fetch({});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("\n  twfetch upload /"), std::string::npos) << r.err;
    EXPECT_EQ(server_.requestCount(), 0u);
}

TEST_F(HttpTwfetch, UsageErrorsExitWithTwoAndOneLine) {
    for (const std::vector<std::string>& args :
         std::vector<std::vector<std::string>>{{"fetch", "/x"},
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
    // Standard output holds the body and the result line, nothing else.
    EXPECT_EQ(r.out, std::string("<rows>\n<row/>\n</rows>\n") + kSuccess + "\n");
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
    EXPECT_EQ(LastLine(r.out), kSuccess);
    // Standard error is no terminal: no progress line.
    EXPECT_EQ(r.err, "");
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

TEST_F(HttpTwfetch, AFailedRequestSaysWhyAndExitsWithOne) {
    server_.on("/gone.bin", Answer("gone", 404));
    twtest::HttpBehavior cut;
    cut.pattern = true;
    cut.patternBytes = 100000;
    cut.cutAfter = 30000;
    server_.on("/cut.bin", cut);
    // A status from the last-access address ends the failover at once.
    SetServer("last", "127.0.0.1");
    auto r = Fetch({"download", "/gone.bin", "C:\\Downloads\\gone.bin"});
    EXPECT_EQ(LastLine(r.out), "result: 404 (The server answered with HTTP status 404.)");
    EXPECT_EQ(r.exitCode, 1);
    // A body that ends early: the folders the download made go with its temporary file.
    r = Fetch({"download", "/cut.bin", "C:\\Downloads\\new\\deeper\\cut.bin"});
    EXPECT_EQ(LastLine(r.out), "result: 12030 (The connection with the server has been "
                               "terminated or an incompatible SSL protocol was encountered .)");
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_FALSE(fs::exists(drive_ + "/Downloads/new"));
    EXPECT_TRUE(fs::is_empty(drive_ + "/Temp"));

    // Only the name is left, and it does not resolve.
    SetServer("last", "");
    SetServer("ip", "");
    r = Fetch({"get", "/doc.xml"});
    EXPECT_EQ(LastLine(r.out), "result: 12007 (The server name could not be resolved.)");
    EXPECT_EQ(r.exitCode, 1);
}

TEST_F(HttpTwfetch, PostAndUpload) {
    server_.on("/agentRequest", Answer("accepted"));
    auto r = Fetch({"post", "/agentRequest", "state=1", "--multipart"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, std::string("accepted\n") + kSuccess + "\n");

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
    EXPECT_EQ(LastLine(r.out), "result: 13 (The data is invalid.)");
    EXPECT_EQ(r.exitCode, 1);
}

TEST_F(HttpTwfetch, ProgressLineOnATerminalUnlessQuiet) {
    const uint64_t size = 6u << 20;
    twtest::HttpBehavior pkg;
    pkg.pattern = true;
    pkg.patternBytes = size;
    pkg.headers.push_back({"Last-Modified", "Wed, 21 Oct 2015 07:28:00 GMT"});
    server_.on("/pkg/big.bin", pkg);
    server_.on("/agentRequest", Answer("accepted"));
    auto onTerminal = [&](const std::vector<std::string>& args) {
        return twtest::RunProcessOnTerminal(twtest::ToolPath("twfetch"), args,
                                            {{"TEMP", "C:\\Temp"}}, reg_.dir().path());
    };
    // One line, redrawn in place and ended once; standard output keeps the result only.
    auto r = onTerminal({"download", "/pkg/big.bin", "C:\\Downloads\\big.bin"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, std::string(kSuccess) + "\n");
    EXPECT_EQ(r.err.rfind("\rdownload ", 0), 0u) << r.err;
    EXPECT_NE(r.err.find("6.0 MiB of 6.0 MiB  100%"), std::string::npos) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;

    r = onTerminal({"upload", "/agentRequest", "C:\\Downloads\\big.bin", "--chunk", "1048576"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_NE(r.err.find("upload   6.0 MiB of 6.0 MiB  100%"), std::string::npos) << r.err;

    r = onTerminal({"download", "/pkg/big.bin", "C:\\Downloads\\quiet.bin", "--quiet"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.err, "");

    // A resumable download cut at 2 MiB, then completed: the line says where it resumed.
    ASSERT_EQ(Twreg({"add", kAgentKey + "\\Settings", "/v", "DownloadMode", "/t", "REG_DWORD",
                     "/d", "1", "/f"}),
              0);
    twtest::HttpBehavior cut = pkg;
    cut.cutAfter = 2 << 20;
    twtest::HttpBehavior refused = Answer("busy", 503);
    server_.on("/pkg/big.bin", std::vector<twtest::HttpBehavior>{pkg, cut, refused});
    r = Fetch({"download", "/pkg/big.bin", "C:\\Downloads\\resumed.bin"});
    EXPECT_EQ(r.exitCode, 1);
    server_.on("/pkg/big.bin", pkg);
    r = onTerminal({"download", "/pkg/big.bin", "C:\\Downloads\\resumed.bin"});
    EXPECT_EQ(r.exitCode, 0) << r.out;
    EXPECT_NE(r.err.find("6.0 MiB of 6.0 MiB  100%"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("(resumed at 2.0 MiB)"), std::string::npos) << r.err;
    EXPECT_EQ(twtest::ReadFileText(drive_ + "/Downloads/resumed.bin"),
              twtest::PatternBytes(0, size));
}

TEST_F(HttpTwfetch, WithoutServerSettingsNothingIsSent) {
    ASSERT_EQ(Twreg({"delete", kAgentKey + "\\ServerInfo", "/v", "TWServerName", "/f"}), 0);
    server_.on("/doc.xml", Answer("<doc/>"));
    auto r = Fetch({"get", "/doc.xml"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(LastLine(r.out), "result: 13 (The data is invalid.)");
    EXPECT_NE(r.err.find("InitializeAgentParameters returned 13"), std::string::npos) << r.err;
    EXPECT_EQ(server_.requestCount(), 0u);
}

} // namespace
