// Resumable downloads with twfetch against the loopback server: runs cut by
// the server or killed are completed by running the same command again, two
// processes on one URL, the records left between runs and the clean state
// after the last one.
#include "support/http_server.h"
#include "support/test_support.h"

#include <windows.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;
using twtest::HttpBehavior;

namespace {

const std::string kAgentKey = "HKLM\\SOFTWARE\\WOW6432Node\\Brightmoor\\Tidewell\\TWAgent";
// The same key as the 32-bit agent sees it.
const std::string kMetaKey = "Software\\Brightmoor\\Tidewell\\TWAgent\\FileMetaData";
const std::string kLastModified = "Wed, 21 Oct 2015 07:28:00 GMT";
const std::string kUrl = "/pkg/bundle.cab";
const std::string kDest = "C:\\Downloads\\bundle.cab";
// The most a save may leave unsaved in memory: the largest chunk WinHTTP hands over.
const long long kMaxUnsaved = 256 * 1024;

HttpBehavior File(uint64_t bytes, const std::string& lastModified = kLastModified) {
    HttpBehavior b;
    b.pattern = true;
    b.patternBytes = bytes;
    b.headers.push_back({"Last-Modified", lastModified});
    return b;
}

HttpBehavior Cut(uint64_t bytes, int64_t after) {
    HttpBehavior b = File(bytes);
    b.cutAfter = after;
    return b;
}

// Sends `after` bytes of the range, then nothing until the client is gone.
HttpBehavior Stalled(uint64_t bytes, int64_t after) {
    HttpBehavior b = File(bytes);
    b.stallAfter = after;
    return b;
}

HttpBehavior Status(int status) {
    HttpBehavior b;
    b.status = status;
    b.body = "status";
    return b;
}

class ResumableFetch : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(reg_.importReg(twtest::SourceDir() + "/tests/data/resumable/agent-resumable.reg"),
                  0);
        drive_ = reg_.dir().file("drives/c");
        fs::create_directories(drive_ + "/Agent/logs");
        fs::create_directories(drive_ + "/Temp");
        ASSERT_EQ(Twreg({"add", kAgentKey + "\\ServerInfo", "/v", "TWServerPort", "/d",
                         std::to_string(server_.port()), "/f"}),
                  0);
    }
    void TearDown() override {
        for (pid_t pid : children_)
            Kill(pid);
    }

    int Twreg(const std::vector<std::string>& args) {
        std::vector<std::string> all = {"--registry", reg_.dbPath()};
        all.insert(all.end(), args.begin(), args.end());
        return twtest::RunProcess(twtest::ToolPath("twreg"), all).exitCode;
    }
    std::vector<std::string> DownloadArgs() const { return {"download", kUrl, kDest}; }
    twtest::ProcessResult Fetch(const std::vector<std::string>& args) {
        return twtest::RunProcess(twtest::ToolPath("twfetch"), args, {{"TEMP", "C:\\Temp"}},
                                  reg_.dir().path());
    }
    // The last line up to its explanation: "result: 503".
    static std::string LastLine(const std::string& out) {
        auto lines = twtest::SplitLines(out);
        std::string last = lines.empty() ? "" : lines.back();
        return last.substr(0, last.find(" ("));
    }
    // twfetch in the background; its output is not kept.
    pid_t Spawn(const std::vector<std::string>& args) {
        const std::string program = twtest::ToolPath("twfetch");
        pid_t pid = fork();
        if (pid == 0) {
            int null = open("/dev/null", O_WRONLY);
            dup2(null, 1);
            dup2(null, 2);
            if (chdir(reg_.dir().path().c_str()) != 0)
                _exit(126);
            setenv("TEMP", "C:\\Temp", 1);
            std::vector<char*> argv{const_cast<char*>(program.c_str())};
            for (const auto& a : args)
                argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            execv(program.c_str(), argv.data());
            _exit(127);
        }
        children_.push_back(pid);
        return pid;
    }
    // Exit status, or 128 + signal.
    int Kill(pid_t pid) {
        kill(pid, SIGKILL);
        int status = 0;
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        children_.erase(std::remove(children_.begin(), children_.end(), pid), children_.end());
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    // Waits until `done` holds, or the child ended. The limit only keeps a
    // broken build from hanging the run; nothing here depends on speed.
    bool WaitFor(pid_t pid, const std::function<bool()>& done) {
        const auto limit = std::chrono::steady_clock::now() + std::chrono::minutes(3);
        while (!done()) {
            int status = 0;
            if (waitpid(pid, &status, WNOHANG) == pid) {
                children_.erase(std::remove(children_.begin(), children_.end(), pid),
                                children_.end());
                return false;
            }
            if (std::chrono::steady_clock::now() > limit) {
                ADD_FAILURE() << "the download never reached the awaited state";
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return true;
    }

    // The record, read as the agent reads it.
    std::string MetaText(const std::string& key, const std::string& name) const {
        HKEY h = nullptr;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_QUERY_VALUE | KEY_WOW64_32KEY,
                          &h) != ERROR_SUCCESS)
            return "";
        char buf[512] = {};
        DWORD size = sizeof(buf) - 1, type = 0;
        LONG rc =
            RegQueryValueExA(h, name.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(buf), &size);
        RegCloseKey(h);
        return rc == ERROR_SUCCESS && type == REG_SZ ? std::string(buf) : "";
    }
    long long MetaDword(const std::string& key, const std::string& name) const {
        HKEY h = nullptr;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_QUERY_VALUE | KEY_WOW64_32KEY,
                          &h) != ERROR_SUCCESS)
            return -1;
        DWORD value = 0, size = sizeof(value), type = 0;
        LONG rc = RegQueryValueExA(h, name.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(&value),
                                   &size);
        RegCloseKey(h);
        return rc == ERROR_SUCCESS && type == REG_DWORD ? static_cast<long long>(value) : -1;
    }
    std::string IdOf() const { return MetaText(kMetaKey, kUrl); }
    std::string Sub(const std::string& id) const { return kMetaKey + "\\" + id; }
    bool SubkeyExists(const std::string& id) const {
        HKEY h = nullptr;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, Sub(id).c_str(), 0, KEY_QUERY_VALUE | KEY_WOW64_32KEY,
                          &h) != ERROR_SUCCESS)
            return false;
        RegCloseKey(h);
        return true;
    }
    // Writes a record as an earlier run leaves it, with its partial file.
    void WriteRecord(const std::string& id, DWORD size, long long fileBytes,
                     long long lastRetryMillis, bool mark) {
        HKEY h = nullptr;
        ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, Sub(id).c_str(), 0, nullptr, 0,
                                  KEY_ALL_ACCESS | KEY_WOW64_32KEY, nullptr, &h, nullptr),
                  ERROR_SUCCESS);
        std::string retry = std::to_string(lastRetryMillis);
        RegSetValueExA(h, "PartialFileSize", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&size),
                       sizeof(size));
        RegSetValueExA(h, "LastModifiedTime", 0, REG_SZ,
                       reinterpret_cast<const BYTE*>(kLastModified.c_str()),
                       static_cast<DWORD>(kLastModified.size() + 1));
        RegSetValueExA(h, "LastRetryTime", 0, REG_SZ, reinterpret_cast<const BYTE*>(retry.c_str()),
                       static_cast<DWORD>(retry.size() + 1));
        if (mark) {
            DWORD one = 1;
            RegSetValueExA(h, "downloadInProgress", 0, REG_DWORD,
                           reinterpret_cast<const BYTE*>(&one), sizeof(one));
        }
        RegCloseKey(h);
        ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kMetaKey.c_str(), 0,
                                KEY_ALL_ACCESS | KEY_WOW64_32KEY, &h),
                  ERROR_SUCCESS);
        RegSetValueExA(h, kUrl.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(id.c_str()),
                       static_cast<DWORD>(id.size() + 1));
        RegCloseKey(h);
        fs::create_directories(Repo());
        twtest::WriteFileText(Repo(id), twtest::PatternBytes(0, static_cast<size_t>(fileBytes)));
    }
    static long long NowMillis() {
        return std::chrono::duration_cast<std::chrono::milliseconds>(
                   std::chrono::system_clock::now().time_since_epoch())
            .count();
    }

    std::string Repo(const std::string& id = "") const {
        return drive_ + "/Agent/DownloadRepository/" + id;
    }
    std::vector<std::string> RepoFiles() const {
        std::vector<std::string> out;
        if (fs::exists(Repo()))
            for (const auto& e : fs::directory_iterator(Repo()))
                out.push_back(e.path().filename().string());
        std::sort(out.begin(), out.end());
        return out;
    }
    long long PartialSize(const std::string& id) const {
        std::error_code ec;
        auto n = fs::file_size(Repo(id), ec);
        return ec ? -1 : static_cast<long long>(n);
    }
    std::string DestSha() const {
        return twtest::Sha256Hex(twtest::ReadFileText(drive_ + "/Downloads/bundle.cab"));
    }
    // The start of the first ranged request among the requests from `from` on; -1 for none.
    long long RangeStartFrom(size_t from) const {
        auto requests = server_.requests();
        for (size_t i = from; i < requests.size(); ++i) {
            std::string range = requests[i].header("Range");
            if (range.rfind("bytes=", 0) == 0)
                return std::stoll(range.substr(6));
        }
        return -1;
    }
    // Where the next run must start, from the record and the partial file as
    // they are now: behind the partial file when both agree, else at byte 0.
    long long ExpectedStart() const {
        const std::string id = IdOf();
        if (id.empty())
            return 0;
        const long long recorded = MetaDword(Sub(id), "PartialFileSize");
        if (recorded < 0 || PartialSize(id) != recorded ||
            MetaText(Sub(id), "LastModifiedTime") != kLastModified)
            return 0;
        const std::string retry = MetaText(Sub(id), "LastRetryTime");
        if (MetaDword(Sub(id), "downloadInProgress") >= 0 &&
            (retry.empty() || NowMillis() - std::stoll(retry) > 90LL * 60 * 1000))
            return 0;
        return recorded;
    }
    // Nothing of the download is left: no URL value, no subkey, no file.
    void ExpectNothingLeft(const std::string& id) {
        EXPECT_EQ(IdOf(), "");
        EXPECT_FALSE(SubkeyExists(id)) << id;
        EXPECT_EQ(RepoFiles(), std::vector<std::string>{});
    }

    twtest::ScopedRegistry reg_;
    twtest::HttpServer server_;
    std::string drive_;
    std::vector<pid_t> children_;
};

TEST_F(ResumableFetch, DownloadCutSeveralTimesCompletesAcrossRuns) {
    const uint64_t size = 3 * 1024 * 1024 + 12345;
    long long saved = 0;
    std::string id;
    for (int64_t cut : {300000, 700000, 123457, 900000}) {
        // The range is cut; the reopen that follows is refused: the run ends.
        server_.on(kUrl, std::vector<HttpBehavior>{File(size), Cut(size, cut), Status(503)});
        size_t before = server_.requestCount();
        auto r = Fetch(DownloadArgs());
        EXPECT_EQ(LastLine(r.out), "result: 503") << r.out;
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_EQ(RangeStartFrom(before), saved);
        saved += cut;
        id = IdOf();
        ASSERT_FALSE(id.empty());
        EXPECT_EQ(PartialSize(id), saved);
        EXPECT_EQ(MetaDword(Sub(id), "PartialFileSize"), saved);
        EXPECT_FALSE(fs::exists(drive_ + "/Downloads/bundle.cab"));
    }
    server_.on(kUrl, File(size));
    size_t before = server_.requestCount();
    auto r = Fetch(DownloadArgs());
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_EQ(LastLine(r.out), "result: 0");
    EXPECT_EQ(RangeStartFrom(before), saved);
    EXPECT_EQ(DestSha(), twtest::PatternSha256(size));
    ExpectNothingLeft(id);
}

TEST_F(ResumableFetch, DownloadKilledAtTwentyRandomMomentsCompletes) {
    const uint64_t size = 12 * 1024 * 1024 + 777;
    std::mt19937_64 random(20240611);
    int resumed = 0;
    for (int run = 0; run < 20; ++run) {
        const long long start = ExpectedStart();
        const long long remaining = static_cast<long long>(size) - start;
        // The range stalls at a random byte, so the run cannot end by itself ...
        const long long stallAt =
            std::uniform_int_distribution<long long>(1, std::max(1LL, remaining / 2))(random);
        // ... and is killed at a random point of what it is sure to save: all
        // but the last unsaved chunk of what was sent. The moment is seen in
        // the record, once this run has saved that far (at offset 0: as soon
        // as the range is asked for).
        const long long offset = std::uniform_int_distribution<long long>(
            0, std::max(0LL, stallAt - kMaxUnsaved))(random);
        const std::string retryBefore =
            IdOf().empty() ? "" : MetaText(Sub(IdOf()), "LastRetryTime");
        server_.on(kUrl, std::vector<HttpBehavior>{File(size), Stalled(size, stallAt)});
        const size_t before = server_.requestCount();
        pid_t pid = Spawn(DownloadArgs());
        bool reached = WaitFor(pid, [&] {
            if (RangeStartFrom(before) < 0)
                return false;
            if (offset == 0)
                return true;
            const std::string id = IdOf();
            return !id.empty() && MetaText(Sub(id), "LastRetryTime") != retryBefore &&
                   MetaDword(Sub(id), "PartialFileSize") >= start + offset;
        });
        EXPECT_TRUE(reached) << "run " << run;
        EXPECT_EQ(Kill(pid), 128 + SIGKILL) << "run " << run;
        const long long asked = RangeStartFrom(before);
        if (asked >= 0) {
            EXPECT_EQ(asked, start) << "run " << run;
        }
        resumed += asked > 0;
        EXPECT_FALSE(fs::exists(drive_ + "/Downloads/bundle.cab")) << "run " << run;
    }
    const long long start = ExpectedStart();
    const std::string id = IdOf();
    server_.on(kUrl, File(size));
    const size_t before = server_.requestCount();
    auto r = Fetch(DownloadArgs());
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_EQ(RangeStartFrom(before), start);
    EXPECT_EQ(DestSha(), twtest::PatternSha256(size));
    ExpectNothingLeft(id);
    RecordProperty("resumed_runs", resumed);
}

TEST_F(ResumableFetch, ChangedFileOrMismatchingPartialFileRestartsAtByteZero) {
    const uint64_t size = 2 * 1024 * 1024;
    server_.on(kUrl, std::vector<HttpBehavior>{File(size), Cut(size, 600000), Status(503)});
    ASSERT_EQ(LastLine(Fetch(DownloadArgs()).out), "result: 503");
    const std::string id = IdOf();
    ASSERT_EQ(PartialSize(id), 600000);

    // The server's file has a new Last-Modified.
    HttpBehavior changed = File(size, "Fri, 23 Oct 2015 10:00:00 GMT");
    HttpBehavior changedCut = changed;
    changedCut.cutAfter = 400000;
    server_.on(kUrl, std::vector<HttpBehavior>{changed, changedCut, Status(503)});
    size_t before = server_.requestCount();
    ASSERT_EQ(LastLine(Fetch(DownloadArgs()).out), "result: 503");
    EXPECT_EQ(RangeStartFrom(before), 0);
    EXPECT_EQ(PartialSize(id), 400000);

    // The partial file lost a byte: it no longer agrees with its record.
    fs::resize_file(Repo(id), 399999);
    server_.on(kUrl, changed);
    before = server_.requestCount();
    auto r = Fetch(DownloadArgs());
    EXPECT_EQ(LastLine(r.out), "result: 0");
    EXPECT_EQ(RangeStartFrom(before), 0);
    EXPECT_EQ(DestSha(), twtest::PatternSha256(size));
    ExpectNothingLeft(id);
}

TEST_F(ResumableFetch, CompletePartialFileIsDeliveredWithoutATransfer) {
    const uint64_t size = 700000;
    WriteRecord("1700000000111", size, size, NowMillis(), false);
    server_.on(kUrl, File(size));
    auto r = Fetch(DownloadArgs());
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_EQ(server_.requestCount(), 1u);
    EXPECT_EQ(RangeStartFrom(0), -1);
    EXPECT_EQ(DestSha(), twtest::PatternSha256(size));
    ExpectNothingLeft("1700000000111");
}

TEST_F(ResumableFetch, SecondProcessOnTheSameUrlWorksInATemporaryFile) {
    const uint64_t size = 4 * 1024 * 1024;
    // The first process stalls after 1.5 MB; the second one gets the whole file.
    server_.on(kUrl, std::vector<HttpBehavior>{File(size), Stalled(size, 1500000), File(size)});
    pid_t first = Spawn(DownloadArgs());
    std::string firstId;
    ASSERT_TRUE(WaitFor(first, [&] {
        firstId = IdOf();
        return !firstId.empty() && PartialSize(firstId) >= 1500000 - kMaxUnsaved;
    }));

    auto r = Fetch({"download", kUrl, "C:\\Downloads\\second.cab"});
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_EQ(twtest::Sha256Hex(twtest::ReadFileText(drive_ + "/Downloads/second.cab")),
              twtest::PatternSha256(size));
    EXPECT_EQ(RangeStartFrom(2), 0);
    // The first process's record and files are as it keeps them; the second
    // one kept no record and left no file.
    EXPECT_EQ(IdOf(), firstId);
    EXPECT_TRUE(SubkeyExists(firstId));
    EXPECT_GE(MetaDword(Sub(firstId), "PartialFileSize"), 1500000 - kMaxUnsaved);
    EXPECT_EQ(RepoFiles(), (std::vector<std::string>{firstId, firstId + ".lock"}));
    const std::string log = twtest::ReadFileText(drive_ + "/Agent/logs/twfetch.log");
    EXPECT_NE(log.find("Another download in progress - hence procedding for temporary download"),
              std::string::npos);

    // The first process dies; the same command resumes its partial file.
    EXPECT_EQ(Kill(first), 128 + SIGKILL);
    const long long start = ExpectedStart();
    server_.on(kUrl, File(size));
    const size_t before = server_.requestCount();
    r = Fetch(DownloadArgs());
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_EQ(RangeStartFrom(before), start);
    EXPECT_EQ(DestSha(), twtest::PatternSha256(size));
    ExpectNothingLeft(firstId);
}

TEST_F(ResumableFetch, StaleInProgressMarkIsCleanedAndTheDownloadStartsAfresh) {
    const uint64_t size = 900000;
    WriteRecord("1700000000222", 300000, 300000, NowMillis() - 91LL * 60 * 1000, true);
    server_.on(kUrl, File(size));
    auto r = Fetch(DownloadArgs());
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_EQ(RangeStartFrom(0), 0);
    EXPECT_EQ(DestSha(), twtest::PatternSha256(size));
    ExpectNothingLeft("1700000000222");
}

TEST_F(ResumableFetch, NotModifiedIs90001WithAFailureRow) {
    HttpBehavior notModified;
    notModified.status = 304;
    server_.on(kUrl, notModified);
    auto r = Fetch(DownloadArgs());
    EXPECT_EQ(LastLine(r.out), "result: 90001");
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(server_.requestCount(), 1u);
    const std::string failures =
        twtest::ReadFileText(drive_ + "/Agent/logs/downloadFailureAccess.log");
    auto lines = twtest::SplitLines(failures);
    ASSERT_EQ(lines.size(), 4u) << failures;
    EXPECT_EQ(lines[0].rfind("DATE\t\t\tSTART_TIME\t", 0), 0u);
    EXPECT_NE(lines[3].find("\tDownloadFile\t         0\t90001\t         0\t"), std::string::npos)
        << lines[3];
    EXPECT_NE(lines[3].find("\t/pkg/bundle.cab"), std::string::npos);
    EXPECT_FALSE(fs::exists(drive_ + "/Agent/logs/downloadSuccessAccess.log"));
}

TEST_F(ResumableFetch, ThrottledDownloadResumesToo) {
    const uint64_t size = 1500000;
    server_.on(kUrl, std::vector<HttpBehavior>{File(size), Cut(size, 500000), Status(503)});
    auto r = Fetch({"download", kUrl, kDest, "--throttled"});
    EXPECT_EQ(LastLine(r.out), "result: 503");
    server_.on(kUrl, File(size));
    const size_t before = server_.requestCount();
    r = Fetch({"download", kUrl, kDest, "--throttled"});
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_EQ(RangeStartFrom(before), 500000);
    EXPECT_EQ(DestSha(), twtest::PatternSha256(size));
    EXPECT_EQ(RepoFiles(), std::vector<std::string>{});
}

TEST_F(ResumableFetch, IncompleteRunSaysTheSameCommandResumesIt) {
    const uint64_t size = 800000;
    HttpBehavior early = File(size);
    early.length = HttpBehavior::Length::Absent;
    early.cutAfter = 300000;
    server_.on(kUrl, std::vector<HttpBehavior>{File(size), early});
    auto r = Fetch(DownloadArgs());
    EXPECT_EQ(LastLine(r.out), "result: 707");
    EXPECT_NE(r.err.find("the same command resumes it"), std::string::npos) << r.err;
    EXPECT_FALSE(fs::exists(drive_ + "/Downloads/bundle.cab"));
    EXPECT_EQ(PartialSize(IdOf()), 300000);
}

} // namespace
