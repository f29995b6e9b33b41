// The registry record of a resumable download: its creation and defaults,
// the saves, the in-progress mark with its 90-minute rule and the lock that
// tells a live download from a dead one, and registry values that must not
// be trusted.
#include "resumable_fixture.h"

#include "base/settings.h"
#include "base/text_helpers.h"
#include "http/agent_request.h"
#include "http/download_resume_handler.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>

using namespace httptest;
using namespace resumabletest;
using twtest::HttpBehavior;
using twtest::PatternBytes;

namespace {

const std::string kUrl = "/pkg/setup.msi";
const std::string kId = "1700000000123456";
const long long kMinute = 60 * 1000;

HttpBehavior Cut(uint64_t bytes, int64_t after) {
    HttpBehavior b = File(bytes);
    b.cutAfter = after;
    return b;
}

HttpBehavior Busy() {
    HttpBehavior b;
    b.status = 503;
    b.body = "busy";
    return b;
}

// Holds the lock of a partial file as a live download does.
class HeldLock {
  public:
    explicit HeldLock(const std::string& windowsPath) {
        std::u16string p = W(windowsPath);
        handle_ = CreateFileW(p.c_str(), GENERIC_READ | GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        locked_ = handle_ != INVALID_HANDLE_VALUE && LockFile(handle_, 0, 1, 1, 0);
    }
    ~HeldLock() {
        if (handle_ != INVALID_HANDLE_VALUE)
            CloseHandle(handle_);
    }
    bool locked() const { return locked_; }

  private:
    HANDLE handle_ = INVALID_HANDLE_VALUE;
    bool locked_ = false;
};

class ResumableRecord : public ResumableTest {
  protected:
    std::string LockPath(const std::string& id) const {
        return "C:\\Program Files\\Agent\\DownloadRepository\\" + id + ".lock";
    }
    std::vector<std::string> Sorted(std::vector<std::string> v) const {
        std::sort(v.begin(), v.end());
        return v;
    }
};

TEST_F(ResumableRecord, APartialFileChangedBehindTheDownloadIsNeverAppendedTo) {
    DownloadResumeHandler handler;
    ASSERT_EQ(handler.Initialize(W(dest_).c_str(), kLastModified, W(kUrl).c_str()), 0u);
    ASSERT_EQ(handler.ProcessDownloadedBuffer("abc", 3, true), 0u);
    const std::string id = handler.UniqueId();
    twtest::WriteFileText(Repo(id), "abcX"); // someone else wrote to it
    EXPECT_EQ(handler.ProcessDownloadedBuffer("def", 3, true),
              static_cast<DWORD>(ERROR_FILE_INVALID));
    EXPECT_EQ(twtest::ReadFileText(Repo(id)), "abcX");
    EXPECT_EQ(RecordDword(id, "PartialFileSize"), 3);
}

TEST_F(ResumableRecord, FirstUseCreatesTheKeyWithItsDefaults) {
    server_.on(kUrl, std::vector<HttpBehavior>{File(300000), Cut(300000, 100000), Busy()});
    EXPECT_EQ(Ex(kUrl), 503u);
    EXPECT_EQ(ReadRegText(MetaKey(), "IntermediateRepositoryName"), "DownloadRepository\\");
    EXPECT_EQ(RecordDword("", "InterSaveByteLimit"), 1048576);
    // No count on the first use.
    EXPECT_EQ(RecordDword("", "DownloadCount"), -1);
    const std::string id = IdOf(kUrl);
    ASSERT_FALSE(id.empty());
    EXPECT_EQ(id.find_first_not_of("-0123456789"), std::string::npos) << id;
    EXPECT_EQ(RecordDword(id, "PartialFileSize"), 100000);
    EXPECT_EQ(RecordText(id, "LastModifiedTime"), kLastModified);
    const long long retry = std::stoll(RecordText(id, "LastRetryTime"));
    EXPECT_LE(std::llabs(retry - NowMillis()), 10 * kMinute);
    EXPECT_EQ(RecordDword(id, "RetryCount"), 1);

    // The next attempt counts, marks itself in progress and keeps the id.
    server_.on(kUrl, std::vector<HttpBehavior>{File(300000), Cut(300000, 50000), Busy()});
    EXPECT_EQ(Ex(kUrl), 503u);
    EXPECT_EQ(RecordDword("", "DownloadCount"), 1);
    EXPECT_EQ(IdOf(kUrl), id);
    EXPECT_EQ(RecordDword(id, "PartialFileSize"), 150000);
    EXPECT_EQ(RecordDword(id, "RetryCount"), 2);
    EXPECT_EQ(RecordDword(id, "downloadInProgress"), -1);
    EXPECT_EQ(Ranges().back(), "GET bytes=150000-300000");
}

TEST_F(ResumableRecord, EverySaveLeavesRecordAndFileInAgreement) {
    SetMetaDword("InterSaveByteLimit", 65536);
    server_.on(kUrl, File(3000000));
    std::string id;
    int checks = 0, mismatches = 0;
    long long lastRecorded = 0;
    bool shrank = false;
    g_fake.onRead = [&] {
        if (id.empty())
            id = IdOf(kUrl);
        long long recorded = RecordDword(id, "PartialFileSize");
        if (recorded < 0)
            return;
        ++checks;
        std::error_code ec;
        auto onDisk = std::filesystem::file_size(Repo(id), ec);
        if (ec || static_cast<long long>(onDisk) != recorded)
            ++mismatches;
        shrank |= recorded < lastRecorded;
        lastRecorded = recorded;
    };
    ASSERT_EQ(Ex(kUrl), 0u);
    EXPECT_EQ(Dest(), PatternBytes(0, 3000000));
    EXPECT_GE(checks, 3);
    EXPECT_EQ(mismatches, 0);
    EXPECT_FALSE(shrank);
    // One record update per save, and saves never larger than the limit.
    int saves = 0, updates = 0;
    for (const std::string& m : LogMessages()) {
        saves += m == "Inside ProcessDownloadedBuffer";
        updates += m.rfind("updated registry entries  ", 0) == 0;
    }
    EXPECT_GE(saves, 3);
    EXPECT_EQ(updates, saves);
}

TEST_F(ResumableRecord, LiveDownloadOfTheSameUrlSendsThisOneToATemporaryFile) {
    Record(kUrl, kId, 2000, kLastModified, 2000, NowMillis(), true);
    HeldLock live(LockPath(kId));
    ASSERT_TRUE(live.locked());
    server_.on(kUrl, File(9000));
    ASSERT_EQ(Ex(kUrl), 0u);
    EXPECT_EQ(Dest(), PatternBytes(0, 9000));
    EXPECT_EQ(Ranges().back(), "GET bytes=0-9000");
    EXPECT_TRUE(Logged("Another download in progress - hence procedding for temporary download"));
    EXPECT_NE(request_->Handler().UniqueId(), kId);
    // The live download's record and files are untouched; the temporary file is gone.
    EXPECT_EQ(IdOf(kUrl), kId);
    EXPECT_EQ(RecordDword(kId, "PartialFileSize"), 2000);
    EXPECT_EQ(RecordDword(kId, "downloadInProgress"), 1);
    EXPECT_EQ(twtest::ReadFileText(Repo(kId)), PatternBytes(0, 2000));
    EXPECT_EQ(Sorted(RepoFiles()), (std::vector<std::string>{kId, kId + ".lock"}));

    // A temporary attempt that fails leaves nothing behind either, even
    // without the mark and with a mark older than 90 minutes.
    Record(kUrl, kId, 2000, kLastModified, 2000, NowMillis() - 200 * kMinute, true);
    server_.on(kUrl, std::vector<HttpBehavior>{File(9000), Cut(9000, 4000), Busy()});
    EXPECT_EQ(Ex(kUrl), 503u);
    const std::string temporaryId = request_->Handler().UniqueId();
    delete request_;
    request_ = nullptr;
    EXPECT_EQ(IdOf(kUrl), kId);
    EXPECT_EQ(Sorted(RepoFiles()), (std::vector<std::string>{kId, kId + ".lock"}));
    EXPECT_FALSE(SubkeyExists(temporaryId));
}

TEST_F(ResumableRecord, MarkOlderThanNinetyMinutesIsCleanedAndTheDownloadStartsAfresh) {
    Record(kUrl, kId, 2000, kLastModified, 2000, NowMillis() - 91 * kMinute, true);
    server_.on(kUrl, File(9000));
    ASSERT_EQ(Ex(kUrl), 0u);
    EXPECT_TRUE(Logged("GetFileDataFromRegistry - download in progress flag was set before 90 mins "
                       "so cleaning files and proceeding"));
    EXPECT_EQ(Ranges().back(), "GET bytes=0-9000");
    EXPECT_EQ(Dest(), PatternBytes(0, 9000));
    EXPECT_FALSE(SubkeyExists(kId));
    EXPECT_EQ(IdOf(kUrl), "");
    EXPECT_TRUE(RepoFiles().empty());
}

TEST_F(ResumableRecord, MarkOfADownloadThatDiedIsTakenOverAndResumed) {
    // A killed download leaves its mark; nobody holds its lock any more.
    Record(kUrl, kId, 2000, kLastModified, 2000, NowMillis() - 10 * kMinute, true);
    server_.on(kUrl, File(9000));
    ASSERT_EQ(Ex(kUrl), 0u);
    EXPECT_TRUE(Logged("GetFileDataFromRegistry - dwonload in progress flag is set"));
    EXPECT_TRUE(LoggedPart("has ended, continuing its partial file"));
    EXPECT_EQ(Ranges().back(), "GET bytes=2000-9000");
    EXPECT_EQ(Dest(), PatternBytes(0, 9000));
    EXPECT_TRUE(RepoFiles().empty());
}

TEST_F(ResumableRecord, AttemptThatEndsRemovesItsMarkAndKeepsItsRecord) {
    Record(kUrl, kId, 2000, kLastModified, 2000, NowMillis(), false);
    HttpBehavior gone;
    gone.status = 410;
    server_.on(kUrl, std::vector<HttpBehavior>{File(9000), gone});
    EXPECT_EQ(Ex(kUrl), 410u);
    EXPECT_EQ(RecordDword(kId, "downloadInProgress"), 1); // the record object still lives
    delete request_;
    request_ = nullptr;
    EXPECT_EQ(RecordDword(kId, "downloadInProgress"), -1);
    EXPECT_EQ(IdOf(kUrl), kId);
    EXPECT_EQ(RecordDword(kId, "PartialFileSize"), 2000);
}

TEST_F(ResumableRecord, RegistryTextsThatWouldLeaveTheRepositoryAreNotUsed) {
    SetMeta("IntermediateRepositoryName", "..\\..\\Windows\\");
    SetMeta(kUrl, "..\\..\\boot");
    server_.on(kUrl, File(5000));
    ASSERT_EQ(Ex(kUrl), 0u);
    EXPECT_EQ(Dest(), PatternBytes(0, 5000));
    EXPECT_EQ(ReadRegText(MetaKey(), "IntermediateRepositoryName"), "DownloadRepository\\");
    EXPECT_TRUE(LoggedPart("The recorded unique id ..\\..\\boot is not usable"));
    EXPECT_FALSE(std::filesystem::exists(Host("C:\\Windows")));
    EXPECT_FALSE(std::filesystem::exists(Host("C:\\boot")));

    for (const char* bad : {"C:\\Temp\\", "\\\\server\\share\\", "a/b\\", "Repo*\\", ""}) {
        SetMeta("IntermediateRepositoryName", bad);
        ASSERT_EQ(Ex(kUrl), 0u) << bad;
        EXPECT_EQ(ReadRegText(MetaKey(), "IntermediateRepositoryName"), "DownloadRepository\\")
            << bad;
    }
    // A plain folder name is used, with its separator added.
    SetMeta("IntermediateRepositoryName", "Cache");
    server_.on(kUrl, std::vector<HttpBehavior>{File(5000), Cut(5000, 1000), Busy()});
    EXPECT_EQ(Ex(kUrl), 503u);
    EXPECT_EQ(twtest::ReadFileText(Host("C:\\Program Files\\Agent\\Cache\\" + IdOf(kUrl))),
              PatternBytes(0, 1000));
}

TEST_F(ResumableRecord, SaveLimitIsKeptWithinBounds) {
    SetMetaDword("InterSaveByteLimit", 0);
    server_.on(kUrl, File(5000));
    ASSERT_EQ(Ex(kUrl), 0u);
    EXPECT_TRUE(Logged("Download folder = DownloadRepository\\\tperiodic save limit = 4096"));
    SetMetaDword("InterSaveByteLimit", 0xFFFFFFFF);
    ASSERT_EQ(Ex(kUrl), 0u);
    EXPECT_TRUE(Logged("Download folder = DownloadRepository\\\tperiodic save limit = 67108864"));
    EXPECT_EQ(Dest(), PatternBytes(0, 5000));
    // A value of the wrong type is replaced by the default.
    SetMeta("InterSaveByteLimit", "lots");
    ASSERT_EQ(Ex(kUrl), 0u);
    EXPECT_EQ(RecordDword("", "InterSaveByteLimit"), 1048576);
}

TEST_F(ResumableRecord, UnreadableRetryTimeMakesAMarkStale) {
    Record(kUrl, kId, 2000, kLastModified, 2000, 0, true);
    HKEY h = nullptr;
    ASSERT_EQ(
        RegOpenKeyExA(HKEY_LOCAL_MACHINE, (MetaKey() + "\\" + kId).c_str(), 0, KEY_ALL_ACCESS, &h),
        ERROR_SUCCESS);
    const char junk[] = "12x45";
    RegSetValueExA(h, "LastRetryTime", 0, REG_SZ, reinterpret_cast<const BYTE*>(junk),
                   sizeof(junk));
    RegCloseKey(h);
    server_.on(kUrl, File(9000));
    ASSERT_EQ(Ex(kUrl), 0u);
    EXPECT_TRUE(LoggedPart("set before 90 mins so cleaning files"));
    EXPECT_EQ(Ranges().back(), "GET bytes=0-9000");
}

TEST_F(ResumableRecord, FailureCounterCountsShortPlainAttemptsOnly) {
    HttpBehavior shortBody = File(9000);
    shortBody.length = HttpBehavior::Length::Absent;
    shortBody.cutAfter = 3000;
    server_.on(kUrl, std::vector<HttpBehavior>{File(9000), shortBody});
    EXPECT_EQ(Ex(kUrl), RESULT_PARTIAL_DOWNLOAD);
    EXPECT_TRUE(Logged("The DownloadFailureCount value could not be read.Resetting to 1"));
    server_.on(kUrl, std::vector<HttpBehavior>{File(9000), shortBody});
    EXPECT_EQ(Ex(kUrl), RESULT_PARTIAL_DOWNLOAD);
    EXPECT_EQ(RecordDword("", "DownloadFailureCount"), 2);
    EXPECT_TRUE(Logged("DownloadFailureCount set to 2"));
    // The paced variant never counts.
    server_.on(kUrl, std::vector<HttpBehavior>{File(9000), Cut(9000, 1000), Busy()});
    EXPECT_EQ(Bitrate(kUrl), 503u);
    EXPECT_EQ(RecordDword("", "DownloadFailureCount"), 2);
}

// ---- the lock under the mark ----

TEST(ResumableLock, LockFileRegionsDoNotNestAndBlockOtherHandles) {
    twtest::ScopedRegistry registry;
    std::filesystem::create_directories(registry.dir().file("drives/c"));
    std::u16string path = W("C:\\lockfile");
    auto open = [&] {
        return CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    };
    HANDLE a = open();
    HANDLE b = open();
    ASSERT_NE(a, INVALID_HANDLE_VALUE);
    ASSERT_NE(b, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(LockFile(a, 0, 1, 1, 0));
    EXPECT_FALSE(LockFile(a, 0, 1, 1, 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_LOCK_VIOLATION));
    EXPECT_FALSE(LockFile(b, 0, 1, 1, 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_LOCK_VIOLATION));
    // Other regions stay free.
    EXPECT_TRUE(LockFile(b, 0, 0, 100, 0));
    EXPECT_FALSE(UnlockFile(a, 0, 1, 2, 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_LOCKED));
    EXPECT_FALSE(LockFile(a, 0, 0, 0, 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_TRUE(UnlockFile(a, 0, 1, 1, 0));
    EXPECT_TRUE(LockFile(b, 0, 1, 1, 0));
    // Closing a handle drops its locks.
    CloseHandle(b);
    EXPECT_TRUE(LockFile(a, 0, 1, 1, 0));
    CloseHandle(a);
}

TEST(ResumableLock, LockOfAProcessThatDiesIsReleased) {
    twtest::ScopedRegistry registry;
    std::filesystem::create_directories(registry.dir().file("drives/c"));
    std::u16string path = W("C:\\lockfile");
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    // The child never outlives the test, whatever fails.
    struct Reaper {
        pid_t pid;
        ~Reaper() {
            if (pid > 0) {
                kill(pid, SIGKILL);
                waitpid(pid, nullptr, 0);
            }
        }
    } reaper{child};
    if (child == 0) {
        HANDLE h = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                               FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
        char ok = h != INVALID_HANDLE_VALUE && LockFile(h, 0, 1, 1, 0) ? '1' : '0';
        if (write(ready[1], &ok, 1) != 1)
            _exit(1);
        for (;;)
            pause();
    }
    char ok = 0;
    ASSERT_EQ(read(ready[0], &ok, 1), 1);
    ASSERT_EQ(ok, '1');
    HANDLE h =
        CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(LockFile(h, 0, 1, 1, 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_LOCK_VIOLATION));
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    reaper.pid = 0;
    EXPECT_TRUE(LockFile(h, 0, 1, 1, 0));
    CloseHandle(h);
    close(ready[0]);
    close(ready[1]);
}

} // namespace
