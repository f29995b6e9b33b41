#include "base/format.h"
#include "base/lock_table.h"
#include "base/log.h"
#include "logging/logger.h"
#include "support/log_capture.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <errno.h>
#include <filesystem>
#include <regex>
#include <set>
#include <thread>

using twtest::LogCapture;

namespace {

std::vector<std::string> headerLines(const std::string& text) {
    std::vector<std::string> out;
    for (const auto& l : twtest::SplitLines(text))
        if (l.rfind("[ ", 0) == 0)
            out.push_back(l);
    return out;
}

} // namespace

TEST(LogLayout, LineHasStampThreadTagAndMessage) {
    LogCapture log(1);
    LogInfo("hello %d\n", 42);
    auto lines = headerLines(log.text());
    ASSERT_EQ(lines.size(), 1u);
    std::regex re(
        R"(^\[ \d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}:\d{3} \] \[ -?\d+ \] \[INFO\] hello 42$)");
    EXPECT_TRUE(std::regex_match(lines[0], re)) << lines[0];
    EXPECT_NE(lines[0].find("[ " + std::to_string(static_cast<int>(GetCurrentThreadId())) + " ]"),
              std::string::npos);
}

TEST(LogLayout, OpenAndCloseRecordsHaveNoHeader) {
    twtest::TempDir dir;
    InitMutex();
    ASSERT_TRUE(SetLogDefaults());
    ASSERT_TRUE(SetLogConfig("x.log", dir.path().c_str(), 0));
    ASSERT_TRUE(OpenLogFile("a+"));
    LogInfo("never\n");
    LogError("never\n");
    CloseLogFile();
    FreeLogConfig();
    auto lines = twtest::SplitLines(twtest::ReadFileText(dir.file("x.log")));
    ASSERT_EQ(lines.size(), 2u);
    std::regex open(R"(^Log open time: \d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}:\d{3}$)");
    std::regex close(R"(^Log close time: \d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}:\d{3}$)");
    EXPECT_TRUE(std::regex_match(lines[0], open)) << lines[0];
    EXPECT_TRUE(std::regex_match(lines[1], close)) << lines[1];
}

class LogLevels : public ::testing::TestWithParam<std::pair<int, std::string>> {};

TEST_P(LogLevels, WritersAboveTheLevelAreSilent) {
    auto [level, expected] = GetParam();
    LogCapture log(static_cast<unsigned char>(level));
    LogInfo("i\n");
    LogError("e\n");
    LogDebug("d\n");
    LogTrace("t\n");
    std::string got;
    for (const auto& m : log.messages())
        if (m.size() == 1)
            got += m;
    EXPECT_EQ(got, expected);
}

INSTANTIATE_TEST_SUITE_P(Thresholds, LogLevels,
                         ::testing::Values(std::make_pair(0, ""), std::make_pair(1, "i"),
                                           std::make_pair(2, "ie"), std::make_pair(3, "ied"),
                                           std::make_pair(4, "iedt"), std::make_pair(255, "iedt")));

TEST(LogLayout, TagsPerWriter) {
    LogCapture log(4);
    LogInfo("a\n");
    LogError("b\n");
    LogDebug("c\n");
    LogTrace("d\n");
    std::string t = log.text();
    EXPECT_NE(t.find("] [INFO] a"), std::string::npos);
    EXPECT_NE(t.find("] [ERROR] b"), std::string::npos);
    EXPECT_NE(t.find("] [DEBUG] c"), std::string::npos);
    EXPECT_NE(t.find("] [TRACE] d"), std::string::npos);
}

TEST(LogLayout, MessageWithoutLineEndRunsIntoTheNextHeader) {
    LogCapture log(1);
    LogInfo("first");
    LogInfo("second\n");
    auto lines = headerLines(log.text());
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("[INFO] first[ "), std::string::npos) << lines[0];
}

TEST(LogLayout, WideTextIsWrittenAsUtf8) {
    LogCapture log(1);
    const WCHAR name[] = {'K', 0x00F6, 'l', 'n', ' ', 0x65E5, 0};
    LogInfo("%S|%ws|%s\n", name, name, "narrow");
    EXPECT_TRUE(log.has("K\xC3\xB6ln \xE6\x97\xA5|K\xC3\xB6ln \xE6\x97\xA5|narrow"));
}

TEST(LogState, SecondOpenKeepsTheFirstStream) {
    LogCapture log(4);
    FILE* first = gv_logFilePtr;
    EXPECT_TRUE(OpenLogFile("w"));
    EXPECT_EQ(gv_logFilePtr, first);
    EXPECT_TRUE(log.has("gv_logFilePtr already Set"));
}

TEST(LogState, WritersAfterShutdownWriteNothing) {
    twtest::TempDir dir;
    InitMutex();
    ASSERT_TRUE(SetLogDefaults());
    ASSERT_TRUE(SetLogConfig("x.log", dir.path().c_str(), 4));
    ASSERT_TRUE(OpenLogFile("a+"));
    ShutdownLogger();
    LogInfo("late\n");
    LogError("late\n");
    EXPECT_EQ(twtest::ReadFileText(dir.file("x.log")).find("late"), std::string::npos);
    EXPECT_EQ(gv_logFilePtr, nullptr);
    EXPECT_EQ(gv_logLock, nullptr);
}

TEST(LogState, ModeWTruncatesModeAPlusAppends) {
    twtest::TempDir dir;
    twtest::WriteFileText(dir.file("x.log"), "old line\n");
    InitMutex();
    ASSERT_TRUE(SetLogDefaults());
    ASSERT_TRUE(SetLogConfig("x.log", dir.path().c_str(), 1));
    ASSERT_TRUE(OpenLogFile("a+"));
    CloseLogFile();
    EXPECT_EQ(twtest::ReadFileText(dir.file("x.log")).rfind("old line\n", 0), 0u);
    ASSERT_TRUE(OpenLogFile("w"));
    CloseLogFile();
    FreeLogConfig();
    EXPECT_EQ(twtest::ReadFileText(dir.file("x.log")).find("old line"), std::string::npos);
}

TEST(LogState, DefaultsOnlyResetTheLevelOfAnOpenLog) {
    LogCapture log(1);
    const char* path = GetLogFullPath();
    ASSERT_TRUE(SetLogDefaults());
    EXPECT_EQ(GetLogLevel(), 3);
    EXPECT_EQ(GetLogFullPath(), path);
}

TEST(LogState, WithoutFolderTheLogGoesToDotDotLogs) {
    twtest::TempDir dir;
    auto cwd = std::filesystem::current_path();
    std::string sub = dir.file("run");
    ASSERT_TRUE(std::filesystem::create_directory(sub));
    std::filesystem::current_path(sub);
    FreeLogConfig();
    ASSERT_TRUE(SetLogDefaults());
    bool opened = OpenLogFile("a+");
    CloseLogFile();
    FreeLogConfig();
    std::filesystem::current_path(cwd);
    ASSERT_TRUE(opened);
    EXPECT_TRUE(twtest::FileExists(dir.file("logs/tabrix.log")));
}

TEST(LogConcurrency, TwoThreadsTenThousandLinesEachStayWhole) {
    LogCapture log(1);
    auto writer = [](char id) {
        for (int i = 0; i < 10000; ++i)
            LogInfo("writer %c line %05d end\n", id, i);
    };
    std::thread a(writer, 'A');
    std::thread b(writer, 'B');
    a.join();
    b.join();
    std::regex whole(R"(^\[ [0-9: -]+ \] \[ -?\d+ \] \[INFO\] writer ([AB]) line (\d{5}) end$)");
    std::set<std::string> seen;
    size_t count = 0;
    for (const auto& line : headerLines(log.text())) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(line, m, whole)) << "torn line: " << line;
        EXPECT_TRUE(seen.insert(m[1].str() + m[2].str()).second);
        ++count;
    }
    EXPECT_EQ(count, 20000u);
}

TEST(LockTable, KeysAreHeldUntilReleased) {
    int a = 0, b = 0;
    EXPECT_EQ(LockObject(&a), 1);
    EXPECT_EQ(LockObject(&b), 1);
    EXPECT_EQ(UnlockObject(&a), 4);
    EXPECT_EQ(UnlockObject(&a), 2);
    EXPECT_EQ(UnlockObject(&b), 4);
}

TEST(LockTable, SecondThreadWaitsForTheKey) {
    InitMutex();
    int key = 0;
    std::atomic<int> stage{0};
    ASSERT_EQ(LockObject(&key), 1);
    std::thread t([&] {
        stage = 1;
        LockObject(&key);
        stage = 2;
        UnlockObject(&key);
    });
    while (stage.load() == 0)
        std::this_thread::yield();
    // The other thread cannot pass while the key is held.
    for (int i = 0; i < 1000; ++i)
        std::this_thread::yield();
    EXPECT_EQ(stage.load(), 1);
    EXPECT_EQ(UnlockObject(&key), 4);
    t.join();
    EXPECT_EQ(stage.load(), 2);
    CloseLockMutex();
}

TEST(LogFolder, CreatesMissingParentsBySlash) {
    twtest::TempDir dir;
    std::string deep = dir.file("a/b/c");
    EXPECT_EQ(CreateLogFolder(deep.c_str()), 0);
    EXPECT_TRUE(twtest::FileExists(deep));
    EXPECT_EQ(CreateLogFolder(deep.c_str()), 1);
    EXPECT_EQ(CreateLogFolder((deep + "//").c_str()), 1);
}

TEST(LogFolder, PathWithoutSlashHasNoParentToCreate) {
    twtest::TempDir dir;
    auto cwd = std::filesystem::current_path();
    std::filesystem::current_path(dir.path());
    int missingParent = CreateLogFolder("nothere\\logs");
    int plain = CreateLogFolder("plain");
    std::filesystem::current_path(cwd);
    EXPECT_EQ(missingParent, ENOENT);
    EXPECT_EQ(plain, 0);
}

TEST(LogFormat, ConversionsMatchWindowsWidths) {
    EXPECT_EQ(TwFormat("%ld|%lu|%lld", static_cast<LONG>(-5), static_cast<DWORD>(4000000000u),
                       static_cast<long long>(1) << 40),
              "-5|4000000000|1099511627776");
    EXPECT_EQ(TwFormat("%-10.d|%5s|%%|%x", 0, "ab", 255), "          |   ab|%|ff");
    EXPECT_EQ(
        TwFormat("%s|%S", static_cast<const char*>(nullptr), static_cast<const WCHAR*>(nullptr)),
        "(null)|(null)");
    EXPECT_EQ(TwFormat("trailing %"), "trailing %");
    // Bare conversions, which are written without the C library.
    EXPECT_EQ(TwFormat("%d|%i|%u|%x|%X|%c|%s|%%", INT_MIN, 0, 4294967295u, 0xbeefu, 0xbeefu, 'q',
                       static_cast<const char*>(nullptr)),
              "-2147483648|0|4294967295|beef|BEEF|q|(null)|%");
    std::string big(5000, 'x');
    EXPECT_EQ(TwFormat("<%s>", big.c_str()).size(), big.size() + 2);
}
