// The download access logs: the header once per file, one row per resumable
// download in the success or the failure file, and the row's layout.
#include "resumable_fixture.h"

#include "base/settings.h"
#include "http/access_log.h"
#include "http/agent_request.h"

#include <share.h>
#include <stdio.h>

#include <filesystem>
#include <regex>

using namespace httptest;
using namespace resumabletest;
using twtest::HttpBehavior;

namespace {

const char kHeaderLine[] =
    "DATE\t\t\tSTART_TIME\t                         FILE_NAME\tMODE\t\t\t\tT_BYTES\t"
    "STATUS\tRECEVD_BYTES\tEND_TIME\tSERVER_NAME\t\tPORT\tURL";

std::vector<std::string> Split(const std::string& text, char sep) {
    std::vector<std::string> out;
    size_t start = 0;
    for (;;) {
        size_t at = text.find(sep, start);
        out.push_back(text.substr(start, at - start));
        if (at == std::string::npos)
            return out;
        start = at + 1;
    }
}

class AccessLog : public ResumableTest {
  protected:
    std::string LogFile(bool success) const {
        return Host(std::string("C:\\Program Files\\Agent\\logs\\") +
                    (success ? "downloadSuccessAccess.log" : "downloadFailureAccess.log"));
    }
    std::string Text(bool success) const { return twtest::ReadFileText(LogFile(success)); }
    // The rows of a file: every line after the header that is not the blank
    // line in front of each row.
    std::vector<std::string> Rows(bool success) const {
        std::vector<std::string> rows;
        auto lines = Split(Text(success), '\n');
        for (size_t i = 2; i < lines.size(); ++i)
            if (lines[i] != " ")
                rows.push_back(lines[i]);
        return rows;
    }
    std::string Port() const { return std::to_string(server_.port()); }
};

TEST_F(AccessLog, HeaderIsExactlyTheGivenText) {
    std::string header = kAccessLogHeader;
    EXPECT_EQ(header.size(), 262u);
    EXPECT_EQ(header.substr(0, header.find('\n')), kHeaderLine);
    EXPECT_EQ(header.find('\n'), 119u);
    EXPECT_EQ(header.substr(120), std::string(142, '-'));
}

TEST_F(AccessLog, SuccessFileGetsTheHeaderOnceAndOneRowPerDownload) {
    server_.on("/pkg/setup.msi", File(4096));
    ASSERT_EQ(Ex("/pkg/setup.msi"), 0u);
    ASSERT_EQ(Ex("/pkg/setup.msi"), 0u);
    const std::string text = Text(true);
    EXPECT_EQ(text.rfind(kAccessLogHeader, 0), 0u);
    EXPECT_EQ(text.find("DATE", 1), std::string::npos);
    auto rows = Rows(true);
    ASSERT_EQ(rows.size(), 2u);
    // Each row sits behind a line holding one blank.
    EXPECT_EQ(Split(text, '\n')[2], " ");
    auto f = Split(rows[0], '\t');
    ASSERT_EQ(f.size(), 15u) << rows[0];
    EXPECT_TRUE(std::regex_match(f[0], std::regex(" \\d\\d-\\d\\d-\\d\\d"))) << f[0];
    EXPECT_EQ(f[1], "");
    EXPECT_TRUE(std::regex_match(f[2], std::regex("  \\d\\d:\\d\\d:\\d\\d"))) << f[2];
    EXPECT_EQ(f[3], "");
    EXPECT_EQ(f[4], "");
    EXPECT_EQ(f[5], std::string(30 - 9, ' ') + "setup.msi");
    EXPECT_EQ(f[6], "DownloadFile");
    EXPECT_EQ(f[7], "      4096");
    EXPECT_EQ(f[8], "    0");
    EXPECT_EQ(f[9], "      4096");
    EXPECT_TRUE(std::regex_match(f[10], std::regex("  \\d\\d:\\d\\d:\\d\\d"))) << f[10];
    EXPECT_EQ(f[11], "");
    EXPECT_EQ(f[12], "      127.0.0.1");
    EXPECT_EQ(f[13], std::string(6 - Port().size(), ' ') + Port());
    EXPECT_EQ(f[14], "/pkg/setup.msi");
    EXPECT_FALSE(std::filesystem::exists(LogFile(false)));
}

TEST_F(AccessLog, AFileAnotherWriterHoldsOpenGetsNoSecondHeader) {
    server_.on("/a.msi", File(10));
    ASSERT_EQ(Ex("/a.msi"), 0u);
    // Another download appending its row at the same moment.
    FILE* other =
        _fsopen("C:\\Program Files\\Agent\\logs\\downloadSuccessAccess.log", "a", _SH_DENYNO);
    ASSERT_NE(other, nullptr);
    ASSERT_EQ(Ex("/a.msi"), 0u);
    fclose(other);
    EXPECT_EQ(Text(true).find("DATE", 1), std::string::npos);
    EXPECT_EQ(Rows(true).size(), 2u);
}

TEST_F(AccessLog, EveryOtherResultGoesToTheFailureFile) {
    HttpBehavior notModified;
    notModified.status = 304;
    server_.on("/a.cab", notModified);
    HttpBehavior missing;
    missing.status = 404;
    server_.on("/b.cab", missing);
    server_.on("/c", File(10));
    EXPECT_EQ(Ex("/a.cab"), RESULT_NOT_MODIFIED);
    EXPECT_EQ(Ex("/b.cab"), 404u);
    dest_.clear();
    EXPECT_EQ(Bitrate("/c", GET_DATA), 0u);
    auto rows = Rows(false);
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(Split(rows[0], '\t')[8], "90001");
    EXPECT_EQ(Split(rows[0], '\t')[9], "         0");
    EXPECT_EQ(Split(rows[1], '\t')[8], "  404");
    EXPECT_EQ(Text(false).rfind(kAccessLogHeader, 0), 0u);
    // The GET_DATA download succeeded.
    auto ok = Rows(true);
    ASSERT_EQ(ok.size(), 1u);
    EXPECT_EQ(Split(ok[0], '\t')[6], "     GetData");
}

TEST_F(AccessLog, EmptyFileNameShowsDashesAndPercentStaysAsItIs) {
    server_.on("/pkg/", File(10));
    server_.on("/pkg/a%20b%25s%n.msi", File(10));
    ASSERT_EQ(Ex("/pkg/"), 0u);
    ASSERT_EQ(Ex("/pkg/a%20b%25s%n.msi"), 0u);
    auto rows = Rows(true);
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(Split(rows[0], '\t')[5], std::string(28, ' ') + "--");
    auto f = Split(rows[1], '\t');
    EXPECT_EQ(f[5], std::string(30 - 15, ' ') + "a%20b%25s%n.msi");
    EXPECT_EQ(f[14], "/pkg/a%20b%25s%n.msi");
}

TEST_F(AccessLog, ExistingEmptyFileReceivesTheHeaderFirst) {
    twtest::WriteFileText(LogFile(true), "");
    server_.on("/x.bin", File(10));
    ASSERT_EQ(Ex("/x.bin"), 0u);
    EXPECT_EQ(Text(true).rfind(kAccessLogHeader, 0), 0u);
    EXPECT_EQ(Rows(true).size(), 1u);
}

TEST_F(AccessLog, RowIsWrittenWithTheProgramLogClosed) {
    log_.reset();
    server_.on("/x.bin", File(10));
    ASSERT_EQ(Ex("/x.bin"), 0u);
    EXPECT_EQ(Rows(true).size(), 1u);
}

TEST_F(AccessLog, AppendFormattedToFileFormatsArgumentsAndToleratesMissingFolders) {
    const std::string path = Host("C:\\Program Files\\Agent\\logs\\x.log");
    AppendFormattedToFile("C:\\Program Files\\Agent\\logs\\x.log", "%s|%5u|%S", "a%d", 42u,
                          u"wide");
    AppendFormattedToFile("C:\\Program Files\\Agent\\logs\\x.log", "%s", "\n2");
    EXPECT_EQ(twtest::ReadFileText(path), "a%d|   42|wide\n2");
    AppendFormattedToFile("C:\\No\\Such\\Folder\\x.log", "%s", "lost");
    AppendFormattedToFile(nullptr, "%s", "lost");
    EXPECT_FALSE(std::filesystem::exists(Host("C:\\No")));
}

} // namespace
