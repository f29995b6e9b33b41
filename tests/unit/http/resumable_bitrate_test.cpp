// The paced resumable variant: block ranges, the pause between blocks, the
// second attempt of a block, the buffer that grows to a large chunk, and
// block answers that must not be appended.
#include "resumable_fixture.h"

#include "agent/agent_params.h"
#include "http/agent_request.h"

#include <filesystem>

using namespace httptest;
using namespace resumabletest;
using twtest::HttpBehavior;
using twtest::PatternBytes;

namespace {

const std::string kUrl = "/pkg/patch.cab";
const std::string kId = "1700000000654321";

class ResumableBitrate : public ResumableTest {};

TEST_F(ResumableBitrate, BlocksFollowTheRateAndArePaced) {
    DataTransferRate_KBps = 1; // 500-byte blocks
    server_.on(kUrl, File(1300));
    // Block 1 takes 100 ms, block 2 450 ms, block 3 ends "before" it began.
    for (const SYSTEMTIME& t :
         {ClockAt(10, 0, 0, 0), ClockAt(10, 0, 0, 100), ClockAt(10, 0, 1, 0),
          ClockAt(10, 0, 1, 450), ClockAt(10, 0, 2, 0), ClockAt(10, 0, 1, 900)})
        g_fake.times.push_back(t);
    ASSERT_EQ(Bitrate(kUrl), 0u);
    EXPECT_EQ(Dest(), PatternBytes(0, 1300));
    EXPECT_EQ(Ranges(), (std::vector<std::string>{"GET ", "GET bytes=0-499", "GET bytes=500-999",
                                                  "GET bytes=1000-1300"}));
    EXPECT_EQ(g_fake.sleeps, (std::vector<DWORD>{500, 100, 100}));
    EXPECT_TRUE(Logged("ResumeGetRequestByBitrate: Block of bytes to read: 500"));
    EXPECT_TRUE(RepoFiles().empty());
}

TEST_F(ResumableBitrate, RateOf1024AsksForBlocksOf512000Bytes) {
    DataTransferRate_KBps = 1024;
    Record(kUrl, kId, 100000, kLastModified, 100000, NowMillis(), false);
    server_.on(kUrl, File(1200000));
    ASSERT_EQ(Bitrate(kUrl), 0u);
    EXPECT_EQ(Ranges(),
              (std::vector<std::string>{"GET ", "GET bytes=100000-611999",
                                        "GET bytes=612000-1123999", "GET bytes=1124000-1200000"}));
    EXPECT_EQ(Dest(), PatternBytes(0, 1200000));
}

TEST_F(ResumableBitrate, RateOfZeroAsksForTheWholeRemainder) {
    DataTransferRate_KBps = 0;
    Record(kUrl, kId, 700, kLastModified, 700, NowMillis(), false);
    server_.on(kUrl, File(5000));
    ASSERT_EQ(Bitrate(kUrl), 0u);
    EXPECT_EQ(Ranges(), (std::vector<std::string>{"GET ", "GET bytes=700-5000"}));
    EXPECT_EQ(Dest(), PatternBytes(0, 5000));
}

TEST_F(ResumableBitrate, TimedOutBlockIsAskedForOnceMoreWithoutAPause) {
    DataTransferRate_KBps = 1;
    server_.on(kUrl, File(1300));
    g_fake.dataError = ERROR_WINHTTP_TIMEOUT;
    g_fake.dataFailures = 1;
    g_fake.dataFailAfter = 500;
    ASSERT_EQ(Bitrate(kUrl), 0u);
    EXPECT_EQ(Dest(), PatternBytes(0, 1300));
    // The failure comes with the query after the first block's bytes: the
    // block is asked for again from the bytes received, at once.
    EXPECT_EQ(Ranges(), (std::vector<std::string>{"GET ", "GET bytes=0-499", "GET bytes=500-999",
                                                  "GET bytes=1000-1300"}));
    EXPECT_EQ(g_fake.sleeps.size(), 2u);
    EXPECT_TRUE(Logged("ResumeGetRequestByBitrate : second attempt of the previous request"));
}

TEST_F(ResumableBitrate, SecondFailureInARowEndsTheTransferAndKeepsTheBytes) {
    DataTransferRate_KBps = 1;
    server_.on(kUrl, File(1300));
    g_fake.dataError = ERROR_WINHTTP_CONNECTION_ERROR;
    g_fake.dataFailures = 2;
    g_fake.dataFailAfter = 500;
    EXPECT_EQ(Bitrate(kUrl), static_cast<DWORD>(ERROR_WINHTTP_CONNECTION_ERROR));
    EXPECT_FALSE(DestExists());
    const std::string id = IdOf(kUrl);
    EXPECT_EQ(RecordDword(id, "PartialFileSize"), 500);
    EXPECT_EQ(twtest::ReadFileText(Repo(id)), PatternBytes(0, 500));

    g_fake.dataFailures = 0;
    ASSERT_EQ(Bitrate(kUrl), 0u);
    EXPECT_EQ(Ranges().back(), "GET bytes=1000-1300");
    EXPECT_EQ(Dest(), PatternBytes(0, 1300));
}

TEST_F(ResumableBitrate, WholeFileAnsweringABlockIsTakenFromByteZero) {
    DataTransferRate_KBps = 1;
    Record(kUrl, kId, 500, kLastModified, 500, NowMillis(), false);
    HttpBehavior ignoring = File(1300);
    ignoring.honourRange = false;
    server_.on(kUrl, ignoring);
    ASSERT_EQ(Bitrate(kUrl), 0u);
    EXPECT_EQ(Ranges(), (std::vector<std::string>{"GET ", "GET bytes=500-999"}));
    EXPECT_EQ(Dest(), PatternBytes(0, 1300));
}

TEST_F(ResumableBitrate, BlockStartingElsewhereIsNotAppended) {
    DataTransferRate_KBps = 1;
    Record(kUrl, kId, 500, kLastModified, 500, NowMillis(), false);
    server_.on(kUrl, std::vector<HttpBehavior>{
                         File(1300), Raw206("bytes 0-499/1300", 500, PatternBytes(0, 500))});
    EXPECT_EQ(Bitrate(kUrl), static_cast<DWORD>(ERROR_WINHTTP_INVALID_SERVER_RESPONSE));
    EXPECT_EQ(twtest::ReadFileText(Repo(kId)), PatternBytes(0, 500));
}

TEST_F(ResumableBitrate, EmptyBlocksEndTheTransferAfterFiveInARow) {
    DataTransferRate_KBps = 1;
    server_.on(kUrl, std::vector<HttpBehavior>{File(1300), Raw206("bytes 0-499/1300", 0, "")});
    EXPECT_EQ(Bitrate(kUrl), RESULT_PARTIAL_DOWNLOAD);
    EXPECT_EQ(Ranges().size(), 6u);
    EXPECT_FALSE(DestExists());
}

TEST_F(ResumableBitrate, ChunkLargerThanTheSaveLimitGrowsTheBuffer) {
    SetMetaDword("InterSaveByteLimit", 4096);
    DataTransferRate_KBps = 0;
    server_.on(kUrl, File(600000));
    ASSERT_EQ(Bitrate(kUrl), 0u);
    EXPECT_EQ(Dest(), PatternBytes(0, 600000));
    EXPECT_TRUE(LoggedPart("Reallocating buffer to "));
    EXPECT_GT(request_->Handler().SaveLimit(), 4096u);
}

TEST_F(ResumableBitrate, ProbeFailureEndsBeforeAnyBlock) {
    HttpBehavior notModified;
    notModified.status = 304;
    server_.on(kUrl, notModified);
    EXPECT_EQ(Bitrate(kUrl), RESULT_NOT_MODIFIED);
    EXPECT_EQ(Ranges(), std::vector<std::string>{"GET "});
    EXPECT_TRUE(g_fake.sleeps.empty());
}

} // namespace
