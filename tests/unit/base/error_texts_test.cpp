#include "base/error_texts.h"
#include "support/log_capture.h"

#include <gtest/gtest.h>

#include <stdlib.h>

using twtest::LogCapture;

namespace {
std::string formatted(DWORD code) {
    char* t = FormatErrorText(code);
    std::string s = t ? t : "<null>";
    free(t);
    return s;
}
} // namespace

TEST(ErrorTexts, SuccessIsLoggedAsInformation) {
    LogCapture log(1);
    LogErrorText(0);
    LogErrorText(5);
    std::string text = log.text();
    EXPECT_NE(text.find("[INFO] Message : The operation completed successfully.  \n"),
              std::string::npos);
    EXPECT_EQ(text.find("Access is denied"), std::string::npos)
        << "failures are errors, hidden at level 1";
}

TEST(ErrorTexts, SystemTextsDropTheirLineBreaks) {
    LogCapture log(4);
    EXPECT_EQ(formatted(0), "The operation completed successfully. ");
    EXPECT_EQ(formatted(2), "The system cannot find the file specified. ");
    EXPECT_TRUE(log.has("Message : The operation completed successfully.  "));
    EXPECT_TRUE(
        log.has("Error Code : 2 , Error Message : The system cannot find the file specified.  "));
}

TEST(ErrorTexts, AgentTableForCodesWindowsDoesNotKnow) {
    LogCapture log(4);
    EXPECT_EQ(formatted(17025), "OfficeUpdateError: Patch already installed.");
    EXPECT_TRUE(log.has(
        "Error Code : 17025 , Error Message : OfficeUpdateError: Patch already installed. "));
    EXPECT_EQ(formatted(2359302), "Patch already Installed and the changes will not be effective "
                                  "until the system is rebooted.");
    EXPECT_EQ(formatted(10001), "tw.db.agent.config.script.powerscript_notfound");
}

TEST(ErrorTexts, GapsInTheTableAndUnknownCodesGiveTheUnknownText) {
    for (DWORD code : {17022u, 17032u, 17033u, 17035u, 17047u, 2359304u, 99999u})
        EXPECT_EQ(formatted(code), "Unknown Error. Code : " + std::to_string(code)) << code;
    bool allocated = false;
    const char* t = GetAgentErrorText(17022, &allocated);
    EXPECT_TRUE(allocated);
    free(const_cast<char*>(t));
    t = GetAgentErrorText(17025, &allocated);
    EXPECT_FALSE(allocated);
}

TEST(ErrorTexts, AnsiVariantTrimsBlanks) {
    LogCapture log(4);
    EXPECT_EQ(LogErrorTextAnsi(2), 0u);
    EXPECT_TRUE(
        log.has("Error Code : 2 , Error Message : The system cannot find the file specified. "));
    EXPECT_EQ(LogErrorTextAnsi(17029), 0u);
    EXPECT_TRUE(log.has(
        "Error Code : 17029 , Error Message : OfficeUpdateError: Patch failed to install. "));
}

TEST(ErrorTexts, LastErrorKeepsTheSystemLineBreak) {
    LogCapture log(4);
    SetLastError(5);
    LogLastError();
    EXPECT_NE(log.text().find("[ERROR]  Error Message: Access is denied.\r\n\n"),
              std::string::npos);
    SetLastError(17025); // no system text: a null text
    LogLastError();
    EXPECT_TRUE(log.has(" Error Message: (null)"));
}
