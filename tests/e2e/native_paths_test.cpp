// The programs given paths of this system, as a Linux administrator types
// them: the agent's installation folder in the registry, download
// destinations and upload files, absolute or relative to the working folder.
// Drive Z: is the host's root; nothing else of a native path may end up under
// TW_DRIVE_ROOT.
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
const char kLastModified[] = "Wed, 21 Oct 2015 07:28:00 GMT";

class NativePaths : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(reg_.importReg(twtest::SourceDir() + "/tests/data/http/agent-loopback.reg"), 0);
        root_ = reg_.dir().path();
        agent_ = root_ + "/opt/tidewell/agent";
        // Written as an administrator writes it; the folder does not exist yet.
        Twreg({"add", kAgentKey, "/v", "TWAgentInstallDir", "/d", agent_ + "/", "/f"});
        Twreg({"add", kAgentKey + "\\ServerInfo", "/v", "TWServerPort", "/d",
               std::to_string(server_.port()), "/f"});
        Twreg({"add", kAgentKey + "\\ServerInfo", "/v", "TWLastAccessName", "/d", "127.0.0.1",
               "/f"});
        fs::create_directories(root_ + "/temp");
    }
    void Twreg(const std::vector<std::string>& args) {
        std::vector<std::string> all = {"--registry", reg_.dbPath()};
        all.insert(all.end(), args.begin(), args.end());
        auto r = twtest::RunProcess(twtest::ToolPath("twreg"), all);
        ASSERT_EQ(r.exitCode, 0) << r.err;
    }
    // Run in the test's folder, with a native temporary folder.
    twtest::ProcessResult Run(const std::string& program, const std::vector<std::string>& args) {
        return twtest::RunProcess(twtest::ToolPath(program), args, {{"TEMP", root_ + "/temp"}},
                                  root_);
    }
    static twtest::HttpBehavior File(uint64_t bytes, int64_t cutAfter = -1) {
        twtest::HttpBehavior b;
        b.pattern = true;
        b.patternBytes = bytes;
        b.cutAfter = cutAfter;
        b.headers.push_back({"Last-Modified", kLastModified});
        return b;
    }
    static std::vector<std::string> Names(const std::string& folder) {
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(folder))
            names.push_back(e.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }
    bool NothingUnderTheDrives() const { return fs::is_empty(root_ + "/drives"); }

    twtest::ScopedRegistry reg_;
    twtest::HttpServer server_;
    std::string root_;
    std::string agent_;
};

TEST_F(NativePaths, PlainAndThrottledDownloadsAndAnUpload) {
    server_.on("/files/pkg.bin", File(300000));
    // The absolute destination: the file lands there, not a folder of its name.
    auto r = Run("twfetch", {"download", "/files/pkg.bin", root_ + "/out/pkg.bin"});
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_EQ(twtest::ReadFileText(root_ + "/out/pkg.bin"), twtest::PatternBytes(0, 300000));
    // The log went to the native installation folder, created on the way.
    EXPECT_TRUE(twtest::FileExists(agent_ + "/logs/twfetch.log"));

    // Relative to the working folder, with "." and "..", at the agent's rate.
    Twreg({"add", kAgentKey, "/v", "DataTransferRate_KBps", "/d", "1000", "/f"});
    r = Run("twfetch", {"download", "/files/pkg.bin", "./in/../out/slow.bin", "--throttled"});
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_EQ(twtest::ReadFileText(root_ + "/out/slow.bin"), twtest::PatternBytes(0, 300000));
    EXPECT_FALSE(fs::exists(root_ + "/in"));
    EXPECT_EQ(Names(root_ + "/out"), (std::vector<std::string>{"pkg.bin", "slow.bin"}));

    server_.on("/agentRequest", twtest::HttpBehavior{});
    r = Run("twfetch", {"upload", "/agentRequest", "out/pkg.bin"});
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_EQ(server_.requests().back().body, twtest::PatternBytes(0, 300000));

    // A body cut short: words, status 1, and neither folder nor temporary file.
    server_.on("/files/cut.bin", File(300000, 100000));
    r = Run("twfetch", {"download", "/files/cut.bin", root_ + "/fresh/deeper/cut.bin"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.out.find("result: 12030 (The connection with the server has been terminated"),
              std::string::npos)
        << r.out;
    EXPECT_FALSE(fs::exists(root_ + "/fresh"));
    EXPECT_TRUE(fs::is_empty(root_ + "/temp"));
    EXPECT_TRUE(NothingUnderTheDrives());
}

TEST_F(NativePaths, ResumableDownloadKeepsItsPartsInTheNativeInstallationFolder) {
    Twreg({"add", kAgentKey + "\\Settings", "/v", "DownloadMode", "/t", "REG_DWORD", "/d", "1",
           "/f"});
    // The size probe, a range cut short, a refused reopen: the run ends.
    twtest::HttpBehavior refused;
    refused.status = 503;
    server_.on("/files/big.bin",
               std::vector<twtest::HttpBehavior>{File(900000), File(900000, 400000), refused});
    auto r = Run("twfetch", {"download", "/files/big.bin", "dl/big.bin"});
    EXPECT_EQ(r.exitCode, 1) << r.out;
    // The bytes wait in the repository below the installation folder.
    ASSERT_FALSE(fs::is_empty(agent_ + "/DownloadRepository"));
    EXPECT_FALSE(fs::exists(root_ + "/dl/big.bin"));

    server_.on("/files/big.bin", File(900000));
    r = Run("twfetch", {"download", "/files/big.bin", "dl/big.bin"});
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_EQ(twtest::ReadFileText(root_ + "/dl/big.bin"), twtest::PatternBytes(0, 900000));
    EXPECT_TRUE(fs::is_empty(agent_ + "/DownloadRepository"));
    // One access-log row per run, beside the log.
    EXPECT_TRUE(twtest::FileExists(agent_ + "/logs/downloadFailureAccess.log"));
    EXPECT_TRUE(twtest::FileExists(agent_ + "/logs/downloadSuccessAccess.log"));
    EXPECT_TRUE(NothingUnderTheDrives());
}

TEST_F(NativePaths, CheckerLogsAndRotatesInTheNativeInstallationFolder) {
    // twreg makes the folder from its native path and says where it is.
    auto r = Run("twreg", {"--registry", reg_.dbPath(), "mkpath", "opt/tidewell/agent/logs"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, agent_ + "/logs\n");
    // A log at the rotation size from an earlier run.
    const std::string old(2000000, 'x');
    twtest::WriteFileText(agent_ + "/logs/twprereqhandler.log", old);
    r = Run("twprereqhandler", {"-q", "1"});
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_EQ(twtest::ReadFileText(agent_ + "/logs/twprereqhandler1.log"), old);
    const std::string log = twtest::ReadFileText(agent_ + "/logs/twprereqhandler.log");
    EXPECT_NE(log.find("Log close time"), std::string::npos) << log.substr(0, 400);
    EXPECT_TRUE(NothingUnderTheDrives());
}

} // namespace
