// The plain resumable variant against a loopback server: where each attempt
// starts, what the server's answers may and may not do to the partial file,
// the delivery, and the results of the failures.
#include "resumable_fixture.h"

#include "base/settings.h"
#include "http/agent_request.h"
#include "http/resumable_internal.h"

#include <filesystem>

using namespace httptest;
using namespace resumabletest;
using twtest::HttpBehavior;
using twtest::PatternBytes;

namespace {

const std::string kUrl = "/pkg/setup.msi";
const std::string kId = "1700000000123456";

class ResumableTransfer : public ResumableTest {};

// ---- where an attempt starts ----

TEST_F(ResumableTransfer, FirstDownloadAsksForTheWholeFileAndCleansUp) {
    server_.on(kUrl, File(300000));
    ASSERT_EQ(Ex(kUrl), 0u);
    EXPECT_EQ(Dest(), PatternBytes(0, 300000));
    // The probe without a range, then one range to the content length itself.
    EXPECT_EQ(Ranges(), (std::vector<std::string>{"GET ", "GET bytes=0-300000"}));
    EXPECT_EQ(request_->ContentLength(), 300000u);
    EXPECT_EQ(request_->BytesReceived(), 300000u);
    // Nothing of the download remains: no partial file, no URL value, no subkey.
    EXPECT_EQ(IdOf(kUrl), "");
    EXPECT_FALSE(SubkeyExists(request_->Handler().UniqueId()));
    EXPECT_TRUE(RepoFiles().empty());
    EXPECT_TRUE(Logged("PreDownloadHandling : Content Length of the request file: 300000 Bytes"));
    EXPECT_TRUE(Logged("ResumeGetRequestEx : Bytes read reached the contenlength"));
}

TEST_F(ResumableTransfer, ConsistentPartialFileResumesBehindItsBytes) {
    Record(kUrl, kId, 120000, kLastModified, 120000, NowMillis(), false);
    server_.on(kUrl, File(300000));
    ASSERT_EQ(Ex(kUrl), 0u);
    EXPECT_EQ(Ranges(), (std::vector<std::string>{"GET ", "GET bytes=120000-300000"}));
    EXPECT_EQ(Dest(), PatternBytes(0, 300000));
    EXPECT_EQ(IdOf(kUrl), "");
    EXPECT_FALSE(SubkeyExists(kId));
    EXPECT_TRUE(RepoFiles().empty());
}

TEST_F(ResumableTransfer, RecordThatDoesNotFitThePartialFileStartsAtByteZero) {
    // Last-Modified changed on the server; the record is otherwise consistent.
    Record(kUrl, kId, 120000, kOtherLastModified, 120000, NowMillis(), false);
    server_.on(kUrl, File(300000));
    ASSERT_EQ(Ex(kUrl), 0u);
    EXPECT_EQ(Ranges().back(), "GET bytes=0-300000");
    EXPECT_EQ(Dest(), PatternBytes(0, 300000));
    EXPECT_TRUE(Logged("Performing PreDownloadCleaningOfPartialFile"));

    // The partial file is one byte short of its record.
    Record(kUrl, kId, 120000, kLastModified, 119999, NowMillis(), false);
    ASSERT_EQ(Ex(kUrl), 0u);
    EXPECT_EQ(Ranges().back(), "GET bytes=0-300000");
    EXPECT_EQ(Dest(), PatternBytes(0, 300000));

    // The partial file is gone.
    Record(kUrl, kId, 120000, kLastModified, -1, NowMillis(), false);
    ASSERT_EQ(Ex(kUrl), 0u);
    EXPECT_EQ(Ranges().back(), "GET bytes=0-300000");

    // A record that claims more than the file has now.
    Record(kUrl, kId, 400000, kLastModified, 400000, NowMillis(), false);
    ASSERT_EQ(Ex(kUrl), 0u);
    EXPECT_EQ(Ranges().back(), "GET bytes=0-300000");
    EXPECT_EQ(Dest(), PatternBytes(0, 300000));
    EXPECT_TRUE(RepoFiles().empty());
}

TEST_F(ResumableTransfer, CompletePartialFileIsDeliveredWithoutATransfer) {
    Record(kUrl, kId, 5000, kLastModified, 5000, NowMillis(), false);
    server_.on(kUrl, File(5000));
    ASSERT_EQ(Ex(kUrl), 0u);
    EXPECT_EQ(Ranges(), std::vector<std::string>{"GET "});
    EXPECT_EQ(Dest(), PatternBytes(0, 5000));
    EXPECT_TRUE(
        Logged("@@@@@@@@ End Of ResumeGetRequestEx Method @@@@@@@@ Full File already exist"));
    EXPECT_EQ(IdOf(kUrl), "");
    EXPECT_TRUE(RepoFiles().empty());
}

TEST_F(ResumableTransfer, EmptyFileIsDeliveredEmpty) {
    server_.on(kUrl, File(0));
    ASSERT_EQ(Ex(kUrl), 0u);
    EXPECT_TRUE(DestExists());
    EXPECT_EQ(Dest(), "");
    EXPECT_EQ(Ranges(), std::vector<std::string>{"GET "});
}

// ---- answers that must not be appended ----

TEST_F(ResumableTransfer, WholeFileAnsweringARangeIsReadFromByteZero) {
    Record(kUrl, kId, 100000, kLastModified, 100000, NowMillis(), false);
    HttpBehavior ignoring = File(250000);
    ignoring.honourRange = false;
    server_.on(kUrl, ignoring);
    ASSERT_EQ(Ex(kUrl), 0u);
    EXPECT_EQ(Ranges(), (std::vector<std::string>{"GET ", "GET bytes=100000-250000"}));
    // Appended behind the 100000 bytes it would be 350000 bytes long.
    EXPECT_EQ(Dest(), PatternBytes(0, 250000));
    EXPECT_TRUE(
        LoggedPart("The server sent the whole file (250000 bytes), reading it from byte 0"));
}

TEST_F(ResumableTransfer, RangeAnswerStartingElsewhereIsNeverAppended) {
    Record(kUrl, kId, 500, kLastModified, 500, NowMillis(), false);
    server_.on(kUrl, std::vector<HttpBehavior>{
                         File(1000), Raw206("bytes 0-499/1000", 500, PatternBytes(0, 500))});
    EXPECT_EQ(Ex(kUrl), static_cast<DWORD>(ERROR_WINHTTP_INVALID_SERVER_RESPONSE));
    EXPECT_FALSE(DestExists());
    // The partial file and its record are as they were: the next attempt resumes.
    EXPECT_EQ(twtest::ReadFileText(Repo(kId)), PatternBytes(0, 500));
    EXPECT_EQ(RecordDword(kId, "PartialFileSize"), 500);
    EXPECT_EQ(IdOf(kUrl), kId);
    EXPECT_TRUE(LoggedPart("The server sent bytes from 0 where 500 were asked for"));

    server_.on(kUrl, File(1000));
    ASSERT_EQ(Ex(kUrl), 0u);
    EXPECT_EQ(Ranges().back(), "GET bytes=500-1000");
    EXPECT_EQ(Dest(), PatternBytes(0, 1000));
}

TEST_F(ResumableTransfer, RangeAnswerWithoutUsableContentRangeFails) {
    Record(kUrl, kId, 500, kLastModified, 500, NowMillis(), false);
    for (const char* range : {"bytes 500-999", "bytes 500-999/*", "items 500-999/1000",
                              "bytes 999-500/1000", "bytes 500-1000/1000"}) {
        server_.on(kUrl, std::vector<HttpBehavior>{File(1000),
                                                   Raw206(range, 500, PatternBytes(500, 500))});
        EXPECT_EQ(Ex(kUrl), static_cast<DWORD>(ERROR_WINHTTP_INVALID_SERVER_RESPONSE)) << range;
        EXPECT_EQ(twtest::ReadFileText(Repo(kId)), PatternBytes(0, 500)) << range;
    }
}

TEST_F(ResumableTransfer, FileThatChangedSizeBetweenProbeAndRangeStartsOver) {
    Record(kUrl, kId, 4000, kLastModified, 4000, NowMillis(), false);
    // The probe still sees the old 10000 bytes; the ranges come from a 7000-byte file.
    server_.on(kUrl, std::vector<HttpBehavior>{File(10000), File(7000, kOtherLastModified)});
    ASSERT_EQ(Ex(kUrl), 0u);
    EXPECT_EQ(Ranges(),
              (std::vector<std::string>{"GET ", "GET bytes=4000-10000", "GET bytes=0-7000"}));
    EXPECT_EQ(Dest(), PatternBytes(0, 7000));
    EXPECT_EQ(request_->ContentLength(), 7000u);
}

TEST_F(ResumableTransfer, FileThatKeepsChangingEndsTheAttempt) {
    server_.on(kUrl, std::vector<HttpBehavior>{File(10000), File(7000), File(6000), File(5000)});
    EXPECT_EQ(Ex(kUrl), static_cast<DWORD>(ERROR_WINHTTP_INVALID_SERVER_RESPONSE));
    EXPECT_FALSE(DestExists());
    EXPECT_EQ(Ranges(), (std::vector<std::string>{"GET ", "GET bytes=0-10000", "GET bytes=0-7000",
                                                  "GET bytes=0-6000"}));
}

TEST_F(ResumableTransfer, NoByteBeyondTheContentLengthReachesThePartialFile) {
    // The range answer's body runs 20 bytes past the end the probe gave.
    std::string body = PatternBytes(0, 1000) + std::string(20, 'X');
    server_.on(
        kUrl, std::vector<HttpBehavior>{File(1000), Raw206("bytes 0-999/1000", body.size(), body)});
    ASSERT_EQ(Ex(kUrl), 0u);
    EXPECT_EQ(Dest(), PatternBytes(0, 1000));
    EXPECT_EQ(request_->BytesReceived(), 1000u);
}

// ---- how attempts end ----

TEST_F(ResumableTransfer, EarlyEndWithoutErrorKeepsThePartialFileAndFails) {
    HttpBehavior cut = File(200000);
    cut.length = HttpBehavior::Length::Absent; // the end of the body is the connection's end
    cut.cutAfter = 70000;
    server_.on(kUrl, std::vector<HttpBehavior>{File(200000), cut, File(200000)});
    EXPECT_EQ(Ex(kUrl), RESULT_PARTIAL_DOWNLOAD);
    EXPECT_FALSE(DestExists());
    std::string id = IdOf(kUrl);
    ASSERT_FALSE(id.empty());
    EXPECT_EQ(std::filesystem::file_size(Repo(id)), 70000u);
    EXPECT_EQ(RecordDword(id, "PartialFileSize"), 70000);
    EXPECT_EQ(RecordDword("", "DownloadFailureCount"), 1);
    EXPECT_TRUE(LoggedPart("The transfer ended at 70000 of 200000 bytes"));

    ASSERT_EQ(Ex(kUrl), 0u);
    EXPECT_EQ(Ranges().back(), "GET bytes=70000-200000");
    EXPECT_EQ(Dest(), PatternBytes(0, 200000));
    EXPECT_EQ(RecordDword("", "DownloadFailureCount"), 1);
}

TEST_F(ResumableTransfer, CutConnectionIsReopenedBehindTheBytesReceived) {
    HttpBehavior cut = File(600000);
    cut.cutAfter = 250000;
    server_.on(kUrl, std::vector<HttpBehavior>{File(600000), cut, File(600000)});
    ASSERT_EQ(Ex(kUrl), 0u);
    EXPECT_EQ(Dest(), PatternBytes(0, 600000));
    auto ranges = Ranges();
    ASSERT_EQ(ranges.size(), 3u);
    EXPECT_EQ(ranges[1], "GET bytes=0-600000");
    EXPECT_EQ(ranges[2], "GET bytes=250000-600000");
    EXPECT_TRUE(Logged("ResumeGetRequestEx : second attempt to recover from previous error"));
}

TEST_F(ResumableTransfer, ReopenRefusedSavesWhatWasReadForTheNextAttempt) {
    HttpBehavior cut = File(600000);
    cut.cutAfter = 250000;
    HttpBehavior busy;
    busy.status = 503;
    busy.body = "busy";
    server_.on(kUrl, std::vector<HttpBehavior>{File(600000), cut, busy});
    EXPECT_EQ(Ex(kUrl), 503u);
    EXPECT_FALSE(DestExists());
    std::string id = IdOf(kUrl);
    ASSERT_FALSE(id.empty());
    EXPECT_EQ(std::filesystem::file_size(Repo(id)), 250000u);
    EXPECT_EQ(RecordDword(id, "PartialFileSize"), 250000);
    EXPECT_EQ(RecordText(id, "LastModifiedTime"), kLastModified);
    // The attempt ended: its mark is gone and it is counted.
    EXPECT_EQ(RecordDword(id, "downloadInProgress"), -1);
    EXPECT_EQ(RecordDword(id, "RetryCount"), 1);

    server_.on(kUrl, File(600000));
    ASSERT_EQ(Ex(kUrl), 0u);
    EXPECT_EQ(Ranges().back(), "GET bytes=250000-600000");
    EXPECT_EQ(Dest(), PatternBytes(0, 600000));
}

TEST_F(ResumableTransfer, UrlBeyondAsciiKeepsAndCleansItsRecord) {
    const std::string url = "/pkg/\xc3\xb1"
                            "and\xc3\xba-\xe6\x9b\xb4\xe6\x96\xb0.msi";
    // The request line carries it percent-encoded.
    const std::string target = "/pkg/%C3%B1and%C3%BA-%E6%9B%B4%E6%96%B0.msi";
    HttpBehavior cut = File(50000);
    cut.cutAfter = 20000;
    HttpBehavior busy;
    busy.status = 503;
    server_.on(target, std::vector<HttpBehavior>{File(50000), cut, busy});
    EXPECT_EQ(Ex(url), 503u);
    const std::string id = IdOf(url);
    ASSERT_FALSE(id.empty());
    server_.on(target, File(50000));
    ASSERT_EQ(Ex(url), 0u);
    EXPECT_EQ(Ranges().back(), "GET bytes=20000-50000");
    EXPECT_EQ(Dest(), PatternBytes(0, 50000));
    EXPECT_EQ(IdOf(url), "");
    EXPECT_FALSE(SubkeyExists(id));
    EXPECT_TRUE(RepoFiles().empty());
}

TEST_F(ResumableTransfer, ReadTimeOutIsAnsweredWithARangeFromTheBytesReceived) {
    server_.on(kUrl, File(400000));
    g_fake.dataError = ERROR_WINHTTP_TIMEOUT;
    g_fake.dataFailures = 1;
    g_fake.dataFailAfter = 100000;
    ASSERT_EQ(Ex(kUrl), 0u);
    EXPECT_EQ(Dest(), PatternBytes(0, 400000));
    ASSERT_EQ(g_fake.readAtDataFailure.size(), 1u);
    EXPECT_EQ(Ranges().back(),
              "GET bytes=" + std::to_string(g_fake.readAtDataFailure[0]) + "-400000");
}

TEST_F(ResumableTransfer, OtherDataErrorEndsTheAttemptAndKeepsTheBytes) {
    server_.on(kUrl, File(400000));
    g_fake.dataError = ERROR_WINHTTP_INVALID_SERVER_RESPONSE;
    g_fake.dataFailures = 1;
    g_fake.dataFailAfter = 100000;
    EXPECT_EQ(Ex(kUrl), static_cast<DWORD>(ERROR_WINHTTP_INVALID_SERVER_RESPONSE));
    EXPECT_FALSE(DestExists());
    ASSERT_EQ(g_fake.readAtDataFailure.size(), 1u);
    std::string id = IdOf(kUrl);
    EXPECT_EQ(RecordDword(id, "PartialFileSize"),
              static_cast<long long>(g_fake.readAtDataFailure[0]));
    EXPECT_EQ(twtest::ReadFileText(Repo(id)),
              PatternBytes(0, static_cast<size_t>(g_fake.readAtDataFailure[0])));
}

TEST_F(ResumableTransfer, ProbeResultsEndTheDownloadBeforeAnyRecord) {
    HttpBehavior notModified;
    notModified.status = 304;
    server_.on(kUrl, notModified);
    EXPECT_EQ(Ex(kUrl), RESULT_NOT_MODIFIED);
    EXPECT_EQ(Ranges(), std::vector<std::string>{"GET "});
    EXPECT_TRUE(Logged("PreDownloadHandling :File not modified since the time: "));

    HttpBehavior missing;
    missing.status = 404;
    missing.body = "no";
    server_.on(kUrl, missing);
    EXPECT_EQ(Ex(kUrl), 404u);
    EXPECT_TRUE(Logged("PreDownloadHandling : Failed with the http status code, 404 "));

    // No size, no resuming.
    HttpBehavior chunked = File(1000);
    chunked.length = HttpBehavior::Length::Chunked;
    server_.on(kUrl, chunked);
    EXPECT_EQ(Ex(kUrl), static_cast<DWORD>(ERROR_WINHTTP_HEADER_NOT_FOUND));

    // Larger than a 32-bit length.
    HttpBehavior huge;
    huge.rawResponse = "HTTP/1.1 200 OK\r\nContent-Length: 5000000000\r\n\r\n";
    server_.on(kUrl, huge);
    EXPECT_EQ(Ex(kUrl), static_cast<DWORD>(ERROR_FILE_TOO_LARGE));

    EXPECT_FALSE(DestExists());
    EXPECT_EQ(IdOf(kUrl), "");
    EXPECT_TRUE(RepoFiles().empty());
}

TEST_F(ResumableTransfer, RangeRequestStatusOtherThan200Or206IsTheResult) {
    HttpBehavior gone;
    gone.status = 410;
    gone.body = "gone";
    server_.on(kUrl, std::vector<HttpBehavior>{File(1000), gone});
    EXPECT_EQ(Ex(kUrl), 410u);
    EXPECT_FALSE(DestExists());
}

TEST_F(ResumableTransfer, InvalidRequestsAreRefusedBeforeAnyExchange) {
    dest_.clear();
    EXPECT_EQ(Ex(kUrl), RESULT_INVALID_INPUT);
    dest_ = "C:\\downloads\\file.bin";
    SetSetting(gv_agentInstallDir, nullptr);
    EXPECT_EQ(Ex(kUrl), RESULT_INVALID_INPUT);
    EXPECT_EQ(server_.requestCount(), 0u);
}

TEST_F(ResumableTransfer, GetDataComesBackInMemory) {
    HttpBehavior text;
    text.body = "line one\r\nline two\r\n";
    text.headers.push_back({"Last-Modified", kLastModified});
    server_.on("/data/config", text);
    dest_.clear();
    ASSERT_EQ(Bitrate("/data/config", GET_DATA), 0u);
    ASSERT_NE(data_, nullptr);
    EXPECT_EQ(std::string(data_), "line one\nline two\n");
    EXPECT_TRUE(RepoFiles().empty());
    EXPECT_EQ(IdOf("/data/config"), "");
}

TEST_F(ResumableTransfer, DestinationAtADriveRootIsDelivered) {
    dest_ = "C:\\setup.msi";
    server_.on(kUrl, File(3000));
    ASSERT_EQ(Ex(kUrl), 0u);
    EXPECT_EQ(Dest(), PatternBytes(0, 3000));
}

TEST_F(ResumableTransfer, DestinationThatCannotBeWrittenKeepsTheFinishedPartialFile) {
    server_.on(kUrl, File(3000));
    // A folder holds the destination's name.
    std::filesystem::create_directories(Host(dest_) + "/inside");
    DWORD rc = Ex(kUrl);
    EXPECT_NE(rc, 0u);
    std::string id = IdOf(kUrl);
    ASSERT_FALSE(id.empty());
    EXPECT_EQ(twtest::ReadFileText(Repo(id)), PatternBytes(0, 3000));

    std::filesystem::remove_all(Host(dest_));
    ASSERT_EQ(Ex(kUrl), 0u);
    EXPECT_EQ(Ranges().back(), "GET ");
    EXPECT_EQ(Dest(), PatternBytes(0, 3000));
}

// ---- Content-Range texts ----

TEST(ResumableParse, ContentRange) {
    ULONGLONG first = 0, last = 0, total = 0;
    EXPECT_TRUE(twresume::ParseContentRange("bytes 500-999/1000", &first, &last, &total));
    EXPECT_EQ(first, 500u);
    EXPECT_EQ(last, 999u);
    EXPECT_EQ(total, 1000u);
    EXPECT_TRUE(twresume::ParseContentRange("BYTES 0-0/1", &first, &last, &total));
    EXPECT_TRUE(
        twresume::ParseContentRange("bytes 0-4294967295/4294967296", &first, &last, &total));
    EXPECT_EQ(total, 4294967296u);
    for (const char* bad : {"", "bytes", "bytes 5-4/10", "bytes 0-10/10", "bytes 0-9/*",
                            "bytes */10", "bytes 0-9/10x", "bytes -9/10", "bytes 0-9",
                            "bytes 0-9/10 11", "bytes 0-9/9999999999999", "bytes0-9/10"})
        EXPECT_FALSE(twresume::ParseContentRange(bad, &first, &last, &total)) << bad;
    EXPECT_FALSE(twresume::ParseContentRange(nullptr, &first, &last, &total));
}

} // namespace
