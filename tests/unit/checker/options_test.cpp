#include "checker/options.h"
#include "support/log_capture.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

void parse(std::vector<const char*> args) {
    args.insert(args.begin(), "twprereqhandler");
    ParseArguments(static_cast<int>(args.size()), const_cast<char**>(args.data()));
}

class Options : public ::testing::Test {
  protected:
    void SetUp() override {
        FreeCheckerOptions();
        gv_options = CheckerOptions();
    }
    void TearDown() override { FreeCheckerOptions(); }
};

} // namespace

TEST_F(Options, EachOptionConsumesTheNextArgument) {
    parse({"-m", "-r"});
    EXPECT_EQ(gv_options.checkVM, 1);
    EXPECT_EQ(gv_options.checkPAE, 0) << "-r was the value of -m";
}

TEST_F(Options, AllChecksAndTexts) {
    twtest::LogCapture log(1);
    parse({"-m",   "1",  "-r",  "1",  "-e",      "1",  "-q",  "1",  "-p",  "KB1", "-l",
           "Prod", "-v", "2.0", "-d", "dep.txt", "-x", "x64", "-j", "1.8", "-s",  "ignored"});
    const CheckerOptions& o = gv_options;
    EXPECT_EQ(o.checkVM + o.checkPAE + o.checkECP + o.checkSSE2, 4);
    EXPECT_STREQ(o.patchName, "KB1");
    EXPECT_STREQ(o.productName, "Prod");
    EXPECT_STREQ(o.productVersion, "2.0");
    EXPECT_STREQ(o.dependencyFileName, "dep.txt");
    EXPECT_STREQ(o.javaArchitecture, "x64");
    EXPECT_STREQ(o.javaLatestInstalledVersion, "1.8");
    EXPECT_EQ(o.calledFromSoftwareDeployment, 1);
    EXPECT_TRUE(log.has("checkVM : 1"));
    EXPECT_TRUE(log.has("patchName :KB1"));
    EXPECT_TRUE(log.has("javaLatestInstalledVersion : 1.8"));
    EXPECT_NE(log.text().find("[INFO] called from software deployment"), std::string::npos);
}

TEST_F(Options, RepeatedOptionReplacesTheCopy) {
    twtest::LogCapture log(1);
    parse({"-p", "first", "-p", "second"});
    EXPECT_STREQ(gv_options.patchName, "second");
    EXPECT_TRUE(log.has("patchName :first"));
    EXPECT_TRUE(log.has("patchName :second"));
}

TEST_F(Options, UnknownAndPlainArgumentsAreSkippedAlone) {
    parse({"-z", "-m", "1", "plain", "-M", "-r", "x", "-", "-q", "y"});
    EXPECT_EQ(gv_options.checkVM, 1);
    EXPECT_EQ(gv_options.checkPAE, 1);
    EXPECT_EQ(gv_options.checkSSE2, 1);
}

TEST_F(Options, LettersAfterTheOptionAreIgnored) {
    parse({"-mx", "1"});
    EXPECT_EQ(gv_options.checkVM, 1);
}

TEST_F(Options, LastOptionWithoutValue) {
    parse({"-p", "x", "-m"});
    EXPECT_EQ(gv_options.checkVM, 1) << "a check needs no value";
    parse({"-l"});
    EXPECT_EQ(gv_options.productName, nullptr);
}

TEST_F(Options, ClearJavaDetectionNumbers) {
    EXPECT_EQ(ParseClearJavaDetection("12"), 12);
    EXPECT_EQ(ParseClearJavaDetection("-7"), -7);
    EXPECT_EQ(ParseClearJavaDetection("+3"), 3);
    EXPECT_EQ(ParseClearJavaDetection(""), 0);
    EXPECT_EQ(ParseClearJavaDetection("1a"), -1);
    EXPECT_EQ(ParseClearJavaDetection(" 1"), -1);
    EXPECT_EQ(ParseClearJavaDetection("-"), -1);
    EXPECT_EQ(ParseClearJavaDetection("2147483647"), 2147483647);
    EXPECT_EQ(ParseClearJavaDetection("-2147483648"), -2147483647 - 1);
    EXPECT_EQ(ParseClearJavaDetection("2147483648"), -1);
    EXPECT_EQ(ParseClearJavaDetection("99999999999999999999"), -1);
    parse({"-c", "12"});
    EXPECT_EQ(gv_options.clearJavaDetection, 12);
}
