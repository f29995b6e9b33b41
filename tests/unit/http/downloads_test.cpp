// Plain and throttled downloads: delivery, the temporary file, the failure
// paths that must leave the destination alone, read-time-out recovery, ranged
// blocks and their pacing, and the hand-over check.
#include "http_doubles.h"
#include "http_fixture.h"

#include "base/settings.h"
#include "agent/agent_params.h"
#include "http/agent_request.h"
#include "http/downloads.h"

#include <filesystem>
#include <string>

using namespace httptest;
using twtest::HttpBehavior;
using twtest::HttpServer;

namespace {

HttpBehavior Pattern(uint64_t bytes) {
    HttpBehavior b;
    b.pattern = true;
    b.patternBytes = bytes;
    return b;
}

HttpBehavior Body(const std::string& body, int status = 200) {
    HttpBehavior b;
    b.status = status;
    b.body = body;
    return b;
}

class HttpDownload : public HttpTest {
  protected:
    void SetUp() override {
        HttpTest::SetUp();
        tid_ = std::to_string(GetCurrentThreadId());
    }
    void TearDown() override {
        free(data_);
        HttpTest::TearDown();
    }

    DWORD Plain(const std::string& path, int kind = DOWNLOAD_FILE) {
        std::u16string p = W(path), d = W(dest_);
        return InternetGetRequestEx(0, "http", u"127.0.0.1", server_.port(), nullptr, nullptr,
                                    nullptr, nullptr, p.c_str(),
                                    dest_.empty() ? nullptr : d.c_str(), &data_, kind, 1);
    }
    DWORD Throttled(const std::string& path, int kind = DOWNLOAD_FILE) {
        std::u16string p = W(path), d = W(dest_);
        return InternetGetRequestByBitrate(0, "http", u"127.0.0.1", server_.port(), nullptr,
                                           nullptr, nullptr, nullptr, p.c_str(),
                                           dest_.empty() ? nullptr : d.c_str(), &data_, kind, 1);
    }
    std::string Dest() const { return twtest::ReadFileText(Host(dest_)); }
    // Files the download left in the destination's folder besides the destination.
    std::vector<std::string> Leftovers() const {
        std::vector<std::string> out;
        std::filesystem::path folder = std::filesystem::path(Host(dest_)).parent_path();
        if (!std::filesystem::exists(folder))
            return out;
        for (const auto& e : std::filesystem::directory_iterator(folder))
            if (e.path().filename() != std::filesystem::path(Host(dest_)).filename())
                out.push_back(e.path().filename().string());
        return out;
    }
    std::vector<std::string> Ranges() const {
        std::vector<std::string> out;
        for (const auto& r : server_.requests())
            out.push_back(r.method + " " + r.header("Range"));
        return out;
    }

    HttpServer server_;
    std::string dest_ = "C:\\downloads\\file.bin";
    char* data_ = nullptr;
    std::string tid_;
};

// ---- InternetGetRequestEx ----

TEST_F(HttpDownload, GetDataReturnsTheBodyInMemoryWithLineEndsTranslated) {
    server_.on("/doc.xml", Body("<a>\r\n<b/>\r\n\r\n</a>\r"));
    dest_.clear();
    bool sawTemp = false;
    g_fake.onRead = [&] { sawTemp |= twtest::FileExists(Host("C:\\Temp\\tw" + tid_ + ".tmp")); };
    ASSERT_EQ(Plain("/doc.xml", GET_DATA), 0u);
    ASSERT_NE(data_, nullptr);
    EXPECT_EQ(std::string(data_), "<a>\n<b/>\n\n</a>\r");
    EXPECT_TRUE(sawTemp);
    EXPECT_FALSE(twtest::FileExists(Host("C:\\Temp\\tw" + tid_ + ".tmp")));
    EXPECT_TRUE(Logged("InternetGetRequestEx : File completely downloaded..!"));
    // Documents never consult the download mode.
    EXPECT_FALSE(LoggedPart("InternetGetDownloader"));
}

TEST_F(HttpDownload, FileGoesThroughATemporaryFileBesideTheDestination) {
    server_.on("/pkg/setup.exe", Pattern(300000));
    bool sawTemp = false;
    g_fake.onRead = [&] { sawTemp |= twtest::FileExists(Host(dest_ + tid_ + ".tmp")); };
    ASSERT_EQ(Plain("/pkg/setup.exe"), 0u);
    EXPECT_TRUE(sawTemp);
    EXPECT_EQ(Dest(), twtest::PatternBytes(0, 300000));
    EXPECT_TRUE(Leftovers().empty());
    EXPECT_TRUE(
        Logged("InternetGetRequestEx : Successfully downloaded the file /pkg/setup.exe from "
               "the server 127.0.0.1 to the destination file C:\\downloads\\file.bin "));
    EXPECT_TRUE(Logged("InternetGetDownloader : Download Mode 0"));
}

TEST_F(HttpDownload, ReplacesAnExistingDestination) {
    std::filesystem::create_directories(std::filesystem::path(Host(dest_)).parent_path());
    twtest::WriteFileText(Host(dest_), std::string(500000, 'x'));
    server_.on("/f", Body("new"));
    ASSERT_EQ(Plain("/f"), 0u);
    EXPECT_EQ(Dest(), "new");
}

TEST_F(HttpDownload, FailuresLeaveTheDestinationAndRemoveTheTemporaryFile) {
    std::filesystem::create_directories(std::filesystem::path(Host(dest_)).parent_path());
    twtest::WriteFileText(Host(dest_), "old contents");
    HttpBehavior cut = Pattern(100000);
    cut.cutAfter = 40000;
    HttpBehavior reset = Pattern(100000);
    reset.resetAfter = 30000;
    HttpBehavior lying = Body("short");
    lying.length = HttpBehavior::Length::Custom;
    lying.customLength = 100;
    server_.on("/missing", Body("not here", 404));
    server_.on("/error", Body("oops", 500));
    server_.on("/cut", cut);
    server_.on("/reset", reset);
    server_.on("/lying", lying);
    server_.on("/same", Body("", 304));
    server_.releaseResets();

    EXPECT_EQ(Plain("/missing"), 404u);
    EXPECT_TRUE(Logged("InternetGetRequestEx : Failed with the http status code, 404 "));
    EXPECT_EQ(Plain("/error"), 500u);
    EXPECT_EQ(Plain("/same"), RESULT_NOT_MODIFIED);
    EXPECT_NE(Plain("/cut"), 0u);
    EXPECT_NE(Plain("/reset"), 0u);
    EXPECT_NE(Plain("/lying"), 0u);
    EXPECT_EQ(Dest(), "old contents");
    EXPECT_TRUE(Leftovers().empty());
}

TEST_F(HttpDownload, BodyWithoutLengthIsPartialUnlessEmpty) {
    HttpBehavior absent = Body("some bytes");
    absent.length = HttpBehavior::Length::Absent;
    HttpBehavior chunked = Pattern(70000);
    chunked.length = HttpBehavior::Length::Chunked;
    HttpBehavior empty = Body("");
    empty.length = HttpBehavior::Length::Absent;
    server_.on("/absent", absent);
    server_.on("/chunked", chunked);
    server_.on("/empty", empty);

    EXPECT_EQ(Plain("/absent"), RESULT_PARTIAL_DOWNLOAD);
    EXPECT_TRUE(
        Logged("InternetGetRequestEx : Only partial file downloaded. GetFileSize returns :  "
               "10"));
    EXPECT_EQ(Plain("/chunked"), RESULT_PARTIAL_DOWNLOAD);
    EXPECT_FALSE(twtest::FileExists(Host(dest_)));
    EXPECT_EQ(Plain("/empty"), 0u);
    EXPECT_TRUE(twtest::FileExists(Host(dest_)));
    EXPECT_EQ(Dest(), "");
    EXPECT_TRUE(Leftovers().empty());
}

TEST_F(HttpDownload, ReadTimeoutAsksForTheRestWithARange) {
    server_.on("/big", Pattern(600000));
    g_fake.dataError = ERROR_WINHTTP_TIMEOUT;
    g_fake.dataFailures = 1;
    g_fake.dataFailAfter = 100000;
    ASSERT_EQ(Plain("/big"), 0u);
    EXPECT_EQ(Dest(), twtest::PatternBytes(0, 600000));
    ASSERT_EQ(g_fake.readAtDataFailure.size(), 1u);
    std::string from = std::to_string(g_fake.readAtDataFailure[0]);
    EXPECT_EQ(Ranges(), (std::vector<std::string>{"GET ", "GET bytes=" + from + "-600000"}));
    EXPECT_TRUE(Logged("Total Bytes read so far:" + from));
    EXPECT_TRUE(Logged("InternetGetRequestEx : second attempt to recover from previous error"));
}

TEST_F(HttpDownload, ReadTimeoutBeforeAnyByteAsksFromTheStart) {
    server_.on("/big", Pattern(5000));
    g_fake.dataError = ERROR_WINHTTP_TIMEOUT;
    g_fake.dataFailures = 1;
    ASSERT_EQ(Plain("/big"), 0u);
    EXPECT_EQ(Ranges(), (std::vector<std::string>{"GET ", "GET bytes=0-5000"}));
    EXPECT_EQ(Dest(), twtest::PatternBytes(0, 5000));
}

TEST_F(HttpDownload, RecoveryFromAServerThatIgnoresRangesRestartsTheFile) {
    HttpBehavior b = Pattern(400000);
    b.honourRange = false;
    server_.on("/big", b);
    g_fake.dataError = ERROR_WINHTTP_TIMEOUT;
    g_fake.dataFailures = 1;
    g_fake.dataFailAfter = 50000;
    ASSERT_EQ(Plain("/big"), 0u);
    EXPECT_EQ(Dest(), twtest::PatternBytes(0, 400000));
}

TEST_F(HttpDownload, RecoveryAnsweredWithAnErrorStatusFails) {
    server_.on("/big", std::vector<HttpBehavior>{Pattern(400000), Body("gone", 404)});
    g_fake.dataError = ERROR_WINHTTP_TIMEOUT;
    g_fake.dataFailures = 1;
    g_fake.dataFailAfter = 50000;
    EXPECT_EQ(Plain("/big"), 404u);
    EXPECT_FALSE(twtest::FileExists(Host(dest_)));
    EXPECT_TRUE(Leftovers().empty());
}

TEST_F(HttpDownload, TimeoutAgainRightAfterTheRecoveryEndsTheDownload) {
    server_.on("/big", Pattern(400000));
    g_fake.dataError = ERROR_WINHTTP_TIMEOUT;
    g_fake.dataFailures = 2;
    g_fake.dataFailAfter = 50000;
    EXPECT_EQ(Plain("/big"), static_cast<DWORD>(ERROR_WINHTTP_TIMEOUT));
    EXPECT_EQ(server_.requestCount(), 2u);
    EXPECT_FALSE(twtest::FileExists(Host(dest_)));
    EXPECT_TRUE(Leftovers().empty());
}

TEST_F(HttpDownload, StallingServerCostsAFewTimeoutsPerAddressNotTen) {
    // Headers and 100 bytes, then silence; a Range is ignored.
    HttpBehavior stall = Pattern(100000);
    stall.honourRange = false;
    stall.stallAfter = 100;
    server_.on("/stall.xml", stall);
    HTTPRequestTimeout = 200;
    DataTransferRate_KBps = 0;
    SetMainServer("", "127.0.0.1", "localhost", "127.0.0.1", "localhost", server_.port());
    // Per address: the request and one recovery that brings no new byte; the
    // throttled path asks for the size first.
    const size_t perAddress[] = {2, 3};
    for (int transfer : {TRANSFER_PLAIN, TRANSFER_THROTTLED}) {
        SCOPED_TRACE(transfer);
        const size_t before = server_.requestCount();
        char* data = nullptr;
        EXPECT_EQ(AgentSendRequest("stall.xml", nullptr, &data, GET_DATA, 1, 1, 0, transfer),
                  static_cast<DWORD>(ERROR_WINHTTP_TIMEOUT));
        EXPECT_EQ(data, nullptr);
        EXPECT_EQ(server_.requestCount() - before, 4 * perAddress[transfer]);
    }
}

TEST_F(HttpDownload, OtherDataErrorsEndWithoutRecovery) {
    server_.on("/big", Pattern(400000));
    g_fake.dataError = ERROR_WINHTTP_CONNECTION_ERROR;
    g_fake.dataFailures = 1;
    g_fake.dataFailAfter = 50000;
    EXPECT_EQ(Plain("/big"), static_cast<DWORD>(ERROR_WINHTTP_CONNECTION_ERROR));
    EXPECT_EQ(server_.requestCount(), 1u);
    EXPECT_TRUE(Logged("InternetGetRequestEx : Error occured in WinHttpQueryDataAvailable --> "
                       "12030 "));
}

TEST_F(HttpDownload, RequestsThatCannotBeServedAreRefusedBeforeAnyExchange) {
    server_.on("/f", Body("x"));
    std::string dest = dest_;
    dest_.clear();
    EXPECT_EQ(Plain("/f", DOWNLOAD_FILE), RESULT_INVALID_INPUT);
    std::u16string p = u"/f";
    EXPECT_EQ(InternetGetRequestEx(0, "http", u"127.0.0.1", server_.port(), nullptr, nullptr,
                                   nullptr, nullptr, p.c_str(), nullptr, nullptr, GET_DATA, 1),
              RESULT_INVALID_INPUT);
    EXPECT_EQ(InternetGetRequestEx(0, "http", u"127.0.0.1", 70000, nullptr, nullptr, nullptr,
                                   nullptr, p.c_str(), nullptr, &data_, GET_DATA, 1),
              RESULT_INVALID_INPUT);
    EXPECT_EQ(server_.requestCount(), 0u);
}

TEST_F(HttpDownload, TemporaryFileThatCannotBeCreatedIsTheResult) {
    server_.on("/f", Body("x"));
    // The temporary file's name is taken by a folder.
    std::filesystem::create_directories(Host(dest_ + tid_ + ".tmp"));
    EXPECT_NE(Plain("/f"), 0u);
    EXPECT_TRUE(LoggedPart("InternetGetRequestEx : Error occured while creating the file --> "));
    EXPECT_FALSE(twtest::FileExists(Host(dest_)));
}

// ---- the hand-over check ----

TEST_F(HttpDownload, DownloadModeOneHandsTheFileDownloadOver) {
    WriteRegDword(std::string(gv_RegKey) + "\\Settings", "DownloadMode", 1);
    SetSetting(gv_agentInstallDir, "C:\\Agent\\");
    std::filesystem::create_directories(Host("C:\\Agent"));
    server_.on("/pkg.msi", Body("package"));
    ASSERT_EQ(Plain("/pkg.msi"), 0u);
    EXPECT_EQ(Dest(), "package");
    EXPECT_TRUE(Logged("InternetGetDownloader : Tidewell Server & Port -> 127.0.0.1 : " +
                       std::to_string(server_.port()) + " "));
    EXPECT_TRUE(Logged("@@@@@@@@ Inside ResumeGetRequestEx Method @@@@@@@@ "));
    EXPECT_FALSE(LoggedPart("InternetGetDownloader : Download Mode"));
    EXPECT_FALSE(LoggedPart("Inside InternetGetRequestEx Method"));
}

TEST_F(HttpDownload, HandOverCheckByKindAndVariant) {
    WriteRegDword(std::string(gv_RegKey) + "\\Settings", "DownloadMode", 1);
    SetSetting(gv_agentInstallDir, "C:\\Agent\\");
    std::filesystem::create_directories(Host("C:\\Agent"));
    server_.on("/data", Body("in memory"));
    // The plain variant hands over only file downloads.
    std::string dest = dest_;
    dest_.clear();
    ASSERT_EQ(Plain("/data", GET_DATA), 0u);
    EXPECT_FALSE(LoggedPart("Inside ResumeGetRequestEx Method"));
    EXPECT_TRUE(Logged("InternetGetDownloader : Download Mode 1"));
    free(data_);
    data_ = nullptr;
    // The throttled variant hands over any kind.
    ASSERT_EQ(Throttled("/data", GET_DATA), 0u);
    EXPECT_EQ(std::string(data_), "in memory");
    EXPECT_TRUE(LoggedPart("Inside ResumeGetRequestByBitrate Method"));
}

TEST_F(HttpDownload, JsonAndXmlNeverReadTheDownloadMode) {
    WriteRegDword(std::string(gv_RegKey) + "\\Settings", "DownloadMode", 1);
    SetSetting(gv_agentInstallDir, "C:\\Agent\\");
    std::filesystem::create_directories(Host("C:\\Agent"));
    server_.on("/a.json", Body("{}"));
    server_.on("/b.XML", Body("<b/>"));
    ASSERT_EQ(Plain("/a.json"), 0u);
    EXPECT_FALSE(LoggedPart("InternetGetDownloader"));
    // The test is case-sensitive: ".XML" is handed over.
    ASSERT_EQ(Plain("/b.XML"), 0u);
    EXPECT_EQ(Dest(), "<b/>");
    EXPECT_TRUE(LoggedPart("InternetGetDownloader : Tidewell Server & Port"));
}

// ---- the GET_DATA temporary file ----

TEST_F(HttpDownload, DataFileNameAndLoading) {
    char* path = GetTmpDataFilePath();
    ASSERT_NE(path, nullptr);
    EXPECT_EQ(std::string(path), "C:\\Temp\\tw" + tid_ + ".tmp");
    free(path);

    char* out = nullptr;
    EXPECT_EQ(LoadDatafromFile(&out), 0);
    EXPECT_EQ(out, nullptr);

    std::string host = Host("C:\\Temp\\tw" + tid_ + ".tmp");
    twtest::WriteFileText(host, "");
    ASSERT_EQ(LoadDatafromFile(&out), 1);
    EXPECT_EQ(std::string(out), "");
    free(out);
    out = nullptr;

    // A body larger than memory may hold is refused, not allocated.
    std::filesystem::resize_file(host, static_cast<uintmax_t>(kMaxInMemoryBody) + 1);
    EXPECT_EQ(LoadDatafromFile(&out), 0);
    EXPECT_EQ(out, nullptr);
    std::filesystem::remove(host);
}

// ---- InternetGetRequestByBitrate ----

class HttpThrottled : public HttpDownload {};

TEST_F(HttpThrottled, BlocksOfRateTimes500BytesWithExactRanges) {
    DataTransferRate_KBps = 1024;
    server_.on("/pkg.bin", Pattern(1200000));
    ASSERT_EQ(Throttled("/pkg.bin"), 0u);
    EXPECT_EQ(Ranges(),
              (std::vector<std::string>{"HEAD ", "GET bytes=0-511999", "GET bytes=512000-1023999",
                                        "GET bytes=1024000-1200000"}));
    EXPECT_EQ(Dest(), twtest::PatternBytes(0, 1200000));
    EXPECT_EQ(g_fake.sleeps.size(), 3u);
    EXPECT_TRUE(Logged("InternetGetRequestByBitrate: Block of bytes to read: 512000"));
    EXPECT_TRUE(Logged("InternetGetRequestByBitrate: Total bytes read = 1200000"));
    EXPECT_TRUE(Leftovers().empty());
    for (const auto& r : server_.requests())
        EXPECT_EQ(r.header("Connection"), "Keep-Alive");
}

TEST_F(HttpThrottled, RateZeroFetchesEverythingInOneBlock) {
    DataTransferRate_KBps = 0;
    server_.on("/pkg.bin", Pattern(70001));
    ASSERT_EQ(Throttled("/pkg.bin"), 0u);
    EXPECT_EQ(Ranges(), (std::vector<std::string>{"HEAD ", "GET bytes=0-70001"}));
    EXPECT_EQ(Dest(), twtest::PatternBytes(0, 70001));
}

TEST_F(HttpThrottled, EmptyBodyRequestsNoBlockAndDeliversAnEmptyFile) {
    DataTransferRate_KBps = 1024;
    server_.on("/empty.bin", Body(""));
    ASSERT_EQ(Throttled("/empty.bin"), 0u);
    EXPECT_EQ(Ranges(), (std::vector<std::string>{"HEAD "}));
    EXPECT_TRUE(twtest::FileExists(Host(dest_)));
    EXPECT_EQ(Dest(), "");
    EXPECT_TRUE(g_fake.sleeps.empty());
}

TEST_F(HttpThrottled, SizeRequestFailures) {
    HttpBehavior noLength = Body("abc");
    noLength.length = HttpBehavior::Length::Chunked;
    server_.on("/chunked", noLength);
    server_.on("/missing", Body("no", 404));
    server_.on("/same", Body("", 304));
    EXPECT_EQ(Throttled("/chunked"), static_cast<DWORD>(ERROR_WINHTTP_HEADER_NOT_FOUND));
    EXPECT_TRUE(Logged("InternetGetRequestByBitrate :  Error in Content Length Header -> 12150 "));
    EXPECT_EQ(Throttled("/missing"), 404u);
    EXPECT_TRUE(Logged("InternetGetRequestByBitrate : Failed with the http status code: 404 "));
    EXPECT_EQ(Throttled("/same"), RESULT_NOT_MODIFIED);
    EXPECT_EQ(Ranges(), (std::vector<std::string>{"HEAD ", "HEAD ", "HEAD "}));
    EXPECT_FALSE(twtest::FileExists(Host(dest_)));
}

TEST_F(HttpThrottled, PacingKeepsBlockStartsAtLeast600msApart) {
    DataTransferRate_KBps = 1; // 500-byte blocks
    server_.on("/pkg.bin", Pattern(2000));
    g_fake.times = {ClockAt(10, 0, 0, 0),     ClockAt(10, 0, 0, 100),  // fast block
                    ClockAt(10, 0, 1, 0),     ClockAt(10, 0, 1, 450),  // slow block
                    ClockAt(10, 0, 2, 0),     ClockAt(10, 0, 2, 449),  // just under
                    ClockAt(18, 12, 15, 900), ClockAt(18, 12, 16, 0)}; // 16-bit seconds wrap
    ASSERT_EQ(Throttled("/pkg.bin"), 0u);
    EXPECT_EQ(g_fake.sleeps, (std::vector<DWORD>{500, 100, 151, 100}));
    EXPECT_EQ(Dest(), twtest::PatternBytes(0, 2000));
}

TEST_F(HttpThrottled, ServerIgnoringARangeMidwayRestartsTheFile) {
    DataTransferRate_KBps = 1;
    HttpBehavior ranged = Pattern(1700);
    HttpBehavior whole = Pattern(1700);
    whole.honourRange = false;
    server_.on("/pkg.bin", std::vector<HttpBehavior>{ranged, ranged, whole});
    ASSERT_EQ(Throttled("/pkg.bin"), 0u);
    EXPECT_EQ(Dest(), twtest::PatternBytes(0, 1700));
    EXPECT_EQ(Ranges(),
              (std::vector<std::string>{"HEAD ", "GET bytes=0-499", "GET bytes=500-999"}));
}

TEST_F(HttpThrottled, BlockFailuresLeaveTheDestination) {
    DataTransferRate_KBps = 1;
    std::filesystem::create_directories(std::filesystem::path(Host(dest_)).parent_path());
    twtest::WriteFileText(Host(dest_), "old");
    server_.on("/pkg.bin",
               std::vector<HttpBehavior>{Pattern(1700), Pattern(1700), Body("gone", 404)});
    EXPECT_EQ(Throttled("/pkg.bin"), 404u);
    EXPECT_TRUE(Logged("InternetGetRequestByBitrate : Failed with the http status code 404 "));
    EXPECT_EQ(Dest(), "old");
    EXPECT_TRUE(Leftovers().empty());
}

TEST_F(HttpThrottled, ATimeoutGoesOnAtOnceWithTheNextBlockFromTheNewTotal) {
    DataTransferRate_KBps = 1;
    server_.on("/pkg.bin", Pattern(1500));
    // The data query after the first block's bytes times out.
    g_fake.dataError = ERROR_WINHTTP_TIMEOUT;
    g_fake.dataFailures = 1;
    g_fake.dataFailAfter = 500;
    ASSERT_EQ(Throttled("/pkg.bin"), 0u);
    EXPECT_EQ(Ranges(), (std::vector<std::string>{"HEAD ", "GET bytes=0-499", "GET bytes=500-999",
                                                  "GET bytes=1000-1499"}));
    EXPECT_TRUE(Logged("InternetGetRequestByBitrate : second attempt of the previous request"));
    EXPECT_EQ(Dest(), twtest::PatternBytes(0, 1500));
    // No pause after the block that timed out.
    EXPECT_EQ(g_fake.sleeps.size(), 2u);
}

TEST_F(HttpThrottled, TwoTimeoutsInARowEndTheDownload) {
    DataTransferRate_KBps = 1;
    server_.on("/pkg.bin", Pattern(1500));
    g_fake.dataError = ERROR_WINHTTP_TIMEOUT;
    g_fake.dataFailures = 2;
    g_fake.dataFailAfter = 500;
    EXPECT_EQ(Throttled("/pkg.bin"), static_cast<DWORD>(ERROR_WINHTTP_TIMEOUT));
    EXPECT_FALSE(twtest::FileExists(Host(dest_)));
    EXPECT_TRUE(Leftovers().empty());
}

TEST_F(HttpThrottled, BlocksThatBringNothingAreNotRepeatedForever) {
    DataTransferRate_KBps = 1;
    server_.on("/pkg.bin", Pattern(1500));
    g_fake.dataError = ERROR_WINHTTP_CONNECTION_ERROR;
    g_fake.dataFailures = 1000;
    EXPECT_EQ(Throttled("/pkg.bin"), static_cast<DWORD>(ERROR_WINHTTP_CONNECTION_ERROR));
    EXPECT_EQ(server_.requestCount(), 6u); // the size request and five blocks
    EXPECT_FALSE(twtest::FileExists(Host(dest_)));
}

TEST_F(HttpThrottled, BlockRequestTimeoutEndsTheDownload) {
    DataTransferRate_KBps = 1;
    server_.on("/pkg.bin", Pattern(1500));
    g_fake.receiveErrors = {0, ERROR_WINHTTP_TIMEOUT};
    EXPECT_EQ(Throttled("/pkg.bin"), static_cast<DWORD>(ERROR_WINHTTP_TIMEOUT));
    EXPECT_FALSE(twtest::FileExists(Host(dest_)));
}

} // namespace
