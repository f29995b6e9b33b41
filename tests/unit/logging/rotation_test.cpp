#include "base/lock_table.h"
#include "base/log.h"
#include "logging/logger.h"
#include "logging/rotation.h"
#include "support/log_capture.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <stdlib.h>
#include <string.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <map>
#include <regex>
#include <thread>

namespace fs = std::filesystem;

namespace {

std::string sized(size_t n) {
    return std::string(n, 'x');
}

std::vector<std::string> namesIn(const std::string& dir) {
    std::vector<std::string> out;
    for (const auto& e : fs::directory_iterator(dir))
        out.push_back(e.path().filename().string());
    std::sort(out.begin(), out.end());
    return out;
}

LogRotationConfig* makeConfig(const std::string& folder, const char* name, DWORD limit,
                              DWORD period, LONG maxFiles) {
    auto* c = static_cast<LogRotationConfig*>(calloc(1, sizeof(LogRotationConfig)));
    c->fileName = strdup(name);
    c->folder = strdup(folder.c_str());
    c->maxFileCount = maxFiles;
    c->sizeLimit = limit;
    c->period = period;
    c->openMode = 1;
    c->useTimer = true;
    return c;
}

} // namespace

TEST(Rotation, SizeCheckAtTheLimit) {
    twtest::TempDir dir;
    twtest::WriteFileText(dir.file("a.log"), sized(1999999));
    EXPECT_FALSE(CheckLogSizeReached(dir.file("a.log").c_str(), 2000000));
    twtest::WriteFileText(dir.file("a.log"), sized(2000000));
    EXPECT_TRUE(CheckLogSizeReached(dir.file("a.log").c_str(), 2000000));
    EXPECT_FALSE(CheckLogSizeReached(dir.file("missing.log").c_str(), 1)) << "missing counts as 0";
}

TEST(Rotation, FirstRotationMakesBackupOneAndEmptiesTheLiveLog) {
    twtest::TempDir dir;
    twtest::WriteFileText(dir.file("twprereqhandler.log"), "old content\n");
    std::string names = "twprereqhandler.log";
    EXPECT_EQ(RotateSpecificLogs(dir.path().c_str(), &names[0], 5, 1, 1), 0u);
    EXPECT_EQ(twtest::ReadFileText(dir.file("twprereqhandler1.log")), "old content\n");
    EXPECT_EQ(twtest::ReadFileText(dir.file("twprereqhandler.log")), "");
}

TEST(Rotation, AppendingStreamWritesAtTheStartOfTheEmptiedFile) {
    twtest::TempDir dir;
    InitMutex();
    ASSERT_TRUE(SetLogDefaults());
    ASSERT_TRUE(SetLogConfig("twprereqhandler.log", dir.path().c_str(), 1));
    ASSERT_TRUE(OpenLogFile("a+"));
    LogInfo("before\n");
    std::string names = "twprereqhandler.log";
    RotateSpecificLogs(dir.path().c_str(), &names[0], 5, 1, 1);
    LogInfo("after\n");
    CloseLogFile();
    FreeLogConfig();
    std::string live = twtest::ReadFileText(dir.file("twprereqhandler.log"));
    std::string backup = twtest::ReadFileText(dir.file("twprereqhandler1.log"));
    EXPECT_NE(backup.find("[INFO] before"), std::string::npos);
    EXPECT_EQ(backup.find("after"), std::string::npos);
    EXPECT_EQ(live.rfind("[ ", 0), 0u) << "no hole before the first new line";
    EXPECT_EQ(live.find("before"), std::string::npos);
}

TEST(Rotation, BackupsShiftAndTheOldestFallsAway) {
    twtest::TempDir dir;
    twtest::WriteFileText(dir.file("t.log"), "live");
    for (int i = 1; i <= 4; ++i)
        twtest::WriteFileText(dir.file("t" + std::to_string(i) + ".log"), "b" + std::to_string(i));
    std::string names = "t.log";
    RotateSpecificLogs(dir.path().c_str(), &names[0], 5, 1, 1);
    EXPECT_EQ(namesIn(dir.path()),
              (std::vector<std::string>{"t.log", "t1.log", "t2.log", "t3.log", "t4.log"}));
    EXPECT_EQ(twtest::ReadFileText(dir.file("t1.log")), "live");
    EXPECT_EQ(twtest::ReadFileText(dir.file("t2.log")), "b1");
    EXPECT_EQ(twtest::ReadFileText(dir.file("t3.log")), "b2");
    EXPECT_EQ(twtest::ReadFileText(dir.file("t4.log")), "b3");
}

TEST(Rotation, NameWithoutLogExtensionHasAnEmptyBase) {
    twtest::TempDir dir;
    twtest::WriteFileText(dir.file("agent.txt"), "live");
    std::string names = "agent.txt";
    twtest::LogCapture log(4);
    RotateSpecificLogs(dir.path().c_str(), &names[0], 5, 1, 1);
    EXPECT_EQ(twtest::ReadFileText(dir.file("1.log")), "live");
    // The count takes in every entry of the folder, "." and ".." too.
    EXPECT_TRUE(log.has(
        "RotateSpecificLogs : The return Value from FindNumberOfRepeatedFileNames method is : 3 "))
        << log.text();
}

TEST(Rotation, CountOfFilesNeverExceedsTheMaximum) {
    twtest::TempDir dir;
    for (int round = 0; round < 8; ++round) {
        twtest::WriteFileText(dir.file("r.log"), "round " + std::to_string(round));
        std::string names = "r.log";
        RotateSpecificLogs(dir.path().c_str(), &names[0], 5, 1, 1);
        EXPECT_LE(namesIn(dir.path()).size(), 5u);
    }
    EXPECT_EQ(twtest::ReadFileText(dir.file("r1.log")), "round 7");
    EXPECT_EQ(twtest::ReadFileText(dir.file("r4.log")), "round 4");
}

TEST(Rotation, ModeZeroMovesOnlyFilesAboveTheLimit) {
    twtest::TempDir dir;
    twtest::WriteFileText(dir.file("a.log"), "12345");
    twtest::WriteFileText(dir.file("b.log"), "123");
    std::string names = "a.log;b.log;missing.log";
    twtest::LogCapture log(4);
    EXPECT_EQ(RotateSpecificLogs(dir.path().c_str(), &names[0], 5, 4, 0), 0u);
    EXPECT_FALSE(twtest::FileExists(dir.file("a.log")));
    EXPECT_EQ(twtest::ReadFileText(dir.file("a1.log")), "12345");
    EXPECT_TRUE(twtest::FileExists(dir.file("b.log")));
    EXPECT_FALSE(twtest::FileExists(dir.file("b1.log")));
    EXPECT_NE(log.text().find("hFile is NULL or not AVAILABLE (Errorcode : 2)"), std::string::npos);
}

TEST(Rotation, StartupCheckRotatesBeforeTheOpenRecord) {
    twtest::ScopedRegistry reg;
    twtest::TempDir dir;
    twtest::WriteFileText(dir.file("twprereqhandler.log"), sized(2000000));
    LogRotationConfig* c = makeConfig(dir.path(), "twprereqhandler.log", 2000000, 900000, 5);
    EXPECT_EQ(StartLoggerTimer(c), 0u);
    ShutdownLogger();
    EXPECT_EQ(fs::file_size(dir.file("twprereqhandler1.log")), 2000000u);
    std::string live = twtest::ReadFileText(dir.file("twprereqhandler.log"));
    EXPECT_EQ(live.rfind("Log open time: ", 0), 0u) << live.substr(0, 80);
}

TEST(Rotation, TimerRotatesWhileWritersRunAndNoLineIsLost) {
    twtest::ScopedRegistry reg;
    twtest::TempDir dir;
    // A small limit and a short period: many rotations under load; enough
    // backups are kept that nothing falls away.
    LogRotationConfig* c = makeConfig(dir.path(), "load.log", 16000, 1, 100000);
    ASSERT_EQ(StartLoggerTimer(c), 0u);
    auto writer = [](char id) {
        for (int i = 0; i < 4000; ++i)
            LogInfo("writer %c line %05d end\n", id, i);
    };
    std::thread a(writer, 'A'), b(writer, 'B');
    a.join();
    b.join();
    ShutdownLogger();
    std::map<std::string, int> seen;
    std::regex re(R"(\[INFO\] writer ([AB]) line (\d{5}) end$)");
    size_t files = 0;
    for (const auto& name : namesIn(dir.path())) {
        ++files;
        for (const auto& line : twtest::SplitLines(twtest::ReadFileText(dir.file(name)))) {
            std::smatch m;
            if (std::regex_search(line, m, re))
                ++seen[m[1].str() + m[2].str()];
        }
    }
    EXPECT_GT(files, 2u) << "the timer rotated the log";
    EXPECT_EQ(seen.size(), 8000u);
    for (const auto& [k, n] : seen)
        ASSERT_EQ(n, 1) << k;
}

TEST(Rotation, ShutdownWaitsForARunningCheck) {
    twtest::ScopedRegistry reg;
    twtest::TempDir dir;
    LogRotationConfig* c = makeConfig(dir.path(), "s.log", 1, 1, 5);
    ASSERT_EQ(StartLoggerTimer(c), 0u);
    LogInfo("some content\n");
    // Hold the log's key so that the next check stops inside the rotation.
    BYTE* key = gv_logLock;
    ASSERT_NE(key, nullptr);
    LockObject(key);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    std::atomic<bool> done{false};
    std::thread stopper([&] {
        ShutdownLogger();
        done = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    UnlockObject(key);
    stopper.join();
    EXPECT_TRUE(done);
    EXPECT_EQ(gv_logFilePtr, nullptr);
    // Nothing runs after the shutdown: the last line of the live log is its close record.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    auto lines = twtest::SplitLines(twtest::ReadFileText(dir.file("s.log")));
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back().rfind("Log close time: ", 0), 0u) << lines.back();
}
