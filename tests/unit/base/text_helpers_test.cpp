#include "base/file_helpers.h"
#include "base/text_helpers.h"
#include "base/time_helpers.h"
#include "base/text_support.h"
#include "support/log_capture.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <stdlib.h>

#include <filesystem>
#include <fstream>

namespace {
std::string own(char* s) {
    std::string r = s ? s : "<null>";
    free(s);
    return r;
}
std::u16string ownW(WCHAR* s) {
    std::u16string r = s ? std::u16string(s) : u"<null>";
    free(s);
    return r;
}
} // namespace

TEST(TextConversions, Utf8AndUtf16RoundTrip) {
    const char* utf8 = "Gr\xC3\xBC\xC3\x9F"
                       "e \xF0\x9F\x98\x80";
    WCHAR* wide = nullptr;
    ASSERT_TRUE(ChangeUtf8ToWideStr(utf8, &wide));
    EXPECT_EQ(std::u16string(wide), u"Grüße 😀");
    char* back = nullptr;
    ASSERT_TRUE(ChangeWideToUtf8Str(wide, &back));
    EXPECT_EQ(own(back), utf8);
    free(wide);
    char* same = nullptr;
    EXPECT_EQ(ChangeAnsiToUTF8Str(utf8, &same), 1);
    EXPECT_EQ(own(same), utf8);
}

TEST(TextConversions, NullInputsFailWithTheirLines) {
    twtest::LogCapture log(4);
    WCHAR* w = nullptr;
    char* n = nullptr;
    EXPECT_FALSE(ChangeUtf8ToWideStr(nullptr, &w));
    EXPECT_EQ(ChangeToWideStr(nullptr, &w), 0);
    EXPECT_EQ(ChangeAnsiToUTF8Str(nullptr, &n), 0);
    EXPECT_EQ(w, nullptr);
    EXPECT_TRUE(log.has("ChangeUtf8ToWideStr: utf8 is empty! "));
    EXPECT_TRUE(log.has("ChangeToWideStr: AnsiString is empty! "));
    EXPECT_TRUE(log.has("ChangeAnsiToUTF8Str: ansiString is empty! "));
}

TEST(PathHelpers, LastElements) {
    EXPECT_EQ(own(GetLastFileName("C:\\a\\b\\file.txt")), "file.txt");
    EXPECT_EQ(own(GetLastFileName("file.txt")), "file.txt");
    EXPECT_EQ(own(GetLastFileName("C:\\a\\")), "");
    EXPECT_EQ(own(GetLastUrlFileName("/x/y/z.zip")), "z.zip");
    EXPECT_EQ(own(GetLastUrlFileName("/x/")), "");
    EXPECT_EQ(GetLastUrlFileName(nullptr), nullptr);
    EXPECT_EQ(own(ConcatStrings("ab", "cd")), "abcd");
}

TEST(CreateFolderRules, DriveLettersAreNeverCreated) {
    twtest::ScopedRegistry reg; // private drive root
    twtest::LogCapture log(4);
    EXPECT_EQ(CreateFolder(TW_W("C:")), 183u);
    EXPECT_EQ(CreateFolder(TW_W("C:\\x")), 183u);
    EXPECT_EQ(CreateFolder(TW_W("C:\\temp\\temp")), 183u);
    EXPECT_TRUE(log.has("CreateFolder : The Drive letter Given.hence it cannot be created "));
    EXPECT_FALSE(twtest::FileExists(reg.dir().file("drives/c/temp")));
}

TEST(CreateFolderRules, CreatesTheFolderOfAFilePath) {
    twtest::ScopedRegistry reg;
    EXPECT_EQ(CreateFolder(TW_W("C:\\logs\\x.log")), 0u);
    EXPECT_TRUE(std::filesystem::is_directory(reg.dir().file("drives/c/logs")));
    EXPECT_FALSE(twtest::FileExists(reg.dir().file("drives/c/logs/x.log")));
    EXPECT_EQ(CreateFolder(TW_W("C:\\logs\\x.log")), 0u) << "an existing folder is success";
    EXPECT_EQ(CreateFolder(TW_W("C:\\deep\\er\\still\\")), 0u);
    EXPECT_TRUE(std::filesystem::is_directory(reg.dir().file("drives/c/deep/er/still")));
    EXPECT_EQ(CreateFolder(nullptr), 13u);
}

TEST(FileProbes, EmptyAndMissingFilesDoNotExist) {
    twtest::TempDir dir;
    twtest::WriteFileText(dir.file("empty"), "");
    twtest::WriteFileText(dir.file("full"), "abc");
    EXPECT_EQ(IsFileExist(dir.file("empty").c_str()), 0);
    EXPECT_EQ(IsFileExist(dir.file("missing").c_str()), 0);
    EXPECT_EQ(IsFileExist(dir.file("full").c_str()), 1);
    LONGLONG size = -1;
    EXPECT_TRUE(GetFileSize64(dir.file("full").c_str(), &size));
    EXPECT_EQ(size, 3);
    EXPECT_FALSE(GetFileSize64(dir.file("missing").c_str(), &size));
    EXPECT_EQ(size, 0);
}

TEST(FileProbes, AFileHeldWithoutSharingCountsAsMissing) {
    twtest::TempDir dir;
    twtest::WriteFileText(dir.file("held"), "abc");
    HANDLE h = CreateFileA(dir.file("held").c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(IsFileExist(dir.file("held").c_str()), 0);
    LONGLONG size = 0;
    EXPECT_TRUE(GetFileSize64(dir.file("held").c_str(), &size))
        << "attribute access needs no sharing";
    EXPECT_EQ(size, 3);
    CloseHandle(h);
    EXPECT_EQ(IsFileExist(dir.file("held").c_str()), 1);
}

TEST(FileProbes, FindByPattern) {
    twtest::TempDir dir;
    twtest::WriteFileText(dir.file("a1.log"), "x");
    WCHAR* pattern = TwUtf8ToWide((dir.path() + "\\a*.log").c_str());
    WCHAR* none = TwUtf8ToWide((dir.path() + "\\b*.log").c_str());
    EXPECT_EQ(CheckFileExists(pattern), 0u);
    EXPECT_EQ(CheckFileExists(none), 2u);
    EXPECT_EQ(CheckFileExists(nullptr), 13u);
    free(pattern);
    free(none);
}

TEST(TimeTexts, DateAndTimeShapes) {
    std::string date = GetDateText();
    ASSERT_EQ(date.size(), 8u);
    EXPECT_EQ(date[2], '-');
    EXPECT_EQ(date[5], '-');
    time_t now = time(nullptr);
    struct tm t = *localtime(&now);
    char expect[40];
    snprintf(expect, sizeof expect, "%02d-%02d-%02d", t.tm_year % 100, t.tm_mon + 1, t.tm_mday);
    EXPECT_EQ(date, expect);
    char* tt = nullptr;
    GetTimeText(true, &tt);
    ASSERT_NE(tt, nullptr);
    EXPECT_EQ(strlen(tt), 8u);
    EXPECT_EQ(tt[2], ':');
    free(tt);
}

TEST(TimeTexts, UnixSecondsAndZoneOffset) {
    SYSTEMTIME epoch{1970, 1, 4, 1, 0, 0, 0, 0};
    LONGLONG secs = -1;
    SystemTimeToUnixSeconds(epoch, &secs);
    EXPECT_EQ(secs, 0);
    SYSTEMTIME later{2026, 3, 3, 4, 12, 30, 15, 0};
    SystemTimeToUnixSeconds(later, &secs);
    EXPECT_EQ(secs, 1772627415);
    // One hour east of UTC: the runtime's offset (UTC minus local) is -3600.
    setenv("TZ", "UTC-1", 1);
    EXPECT_EQ(GetTimeInSeconds(epoch), -3600);
    setenv("TZ", "UTC", 1);
    EXPECT_EQ(GetTimeInSeconds(epoch), 0);
}

TEST(TimeTexts, MillisTextIsNow) {
    long long before = static_cast<long long>(time(nullptr)) * 1000;
    std::u16string text = ownW(GetCurrentTimeMillisText());
    long long after = (static_cast<long long>(time(nullptr)) + 1) * 1000;
    std::string narrow(text.begin(), text.end());
    long long v = std::stoll(narrow);
    EXPECT_GE(v, before);
    EXPECT_LE(v, after);
}

TEST(WideHelpers, CompareSearchLowerFormat) {
    EXPECT_EQ(TwWideLen(u"abc"), 3u);
    EXPECT_EQ(TwWideICmp(u"ABC", u"abc"), 0);
    EXPECT_LT(TwWideCmp(u"ABC", u"abc"), 0);
    EXPECT_EQ(std::u16string(TwWideStr(u"hello world", u"wor")), u"world");
    EXPECT_EQ(TwWideStr(u"hello", u"xyz"), nullptr);
    std::u16string s = u"ÄÖÜ ÀÉ Ĳ ĸ ΣΑ ДЖ Ł";
    TwWideLower(&s[0]);
    EXPECT_EQ(s, u"äöü àé ĳ ĸ σα дж ł");
    WCHAR buf[8];
    EXPECT_EQ(TwWideFormat(buf, 8, "%d-%s", 12, "ab"), 5);
    EXPECT_EQ(std::u16string(buf), u"12-ab");
    EXPECT_EQ(TwWideFormat(buf, 4, "%s", "toolong"), -1);
    EXPECT_EQ(std::u16string(buf), u"too") << "a cut text stays terminated";
}

TEST(UrlText, FindAndReplaceWithoutCase) {
    EXPECT_EQ(own(FindAndReplaceWithNoCase("client-data/x/domains/CORP", "corp", "Corp-Net")),
              "client-data/x/domains/Corp-Net");
    EXPECT_EQ(own(FindAndReplaceWithNoCase("aXbxc", "x", "yy")), "aXbxc")
        << "a one-character old text is refused";
    EXPECT_EQ(own(FindAndReplaceWithNoCase("abABab", "ab", "-")), "---");
    EXPECT_EQ(own(FindAndReplaceWithNoCase("abab", "ab", "AB")), "abab");
    EXPECT_EQ(own(FindAndReplaceWithNoCase("a", "ab", "c")), "a");
    EXPECT_EQ(FindAndReplaceWithNoCase(nullptr, "ab", "c"), nullptr);
    EXPECT_EQ(own(ToLowerUtf8("HOST-Ä1")), "host-ä1");
}
