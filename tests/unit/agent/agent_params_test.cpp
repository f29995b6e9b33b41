#include "base/settings.h"
#include "agent/agent_params.h"
#include "machine/machine_details.h"
#include "registry/registry_helpers.h"
#include "support/log_capture.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <stdlib.h>

#include <map>
#include <string>

#ifndef _WIN32
#include <tw_linux.h>
#endif

namespace {

const char kServerKey[] = "Software\\Brightmoor\\Tidewell\\TWAgent\\ServerInfo";
const char kDetailsKey[] = "Software\\Brightmoor\\Tidewell\\TWAgent\\SystemDetails";

using Values = std::map<std::string, std::string>;

void put(const char* key, const Values& values) {
    for (const auto& [name, data] : values)
        ASSERT_EQ(writeValue(HKEY_LOCAL_MACHINE, key, name.c_str(), data.c_str(), REG_SZ), 0u)
            << name;
}

std::string regText(const char* key, const char* name) {
    char* out = nullptr;
    if (ReadRegSZ(HKEY_LOCAL_MACHINE, key, name, &out) != 0)
        return "<missing>";
    std::string s = out;
    free(out);
    return s;
}

class AgentParams : public ::testing::Test {
  protected:
    void SetUp() override {
#ifndef _WIN32
        TwLinuxSetProcessIs64Bit(0);
#endif
        put(kServerKey, {{"TWServerName", "tw.example.com"},
                         {"TWServerInstalledTime", "2026-01-01"},
                         {"TWServerFlatName", "TWSERVER"},
                         {"TWServerIPAddress", "192.0.2.10"},
                         {"TWServerSecIPAddress", "192.0.2.11"},
                         {"TWLastAccessName", "192.0.2.10"},
                         {"TWServerPort", "9000"},
                         {"TWServerProtocol", "https"}});
        put(gv_RegKey, {{"EnableDistributionServer", "no"},
                        {"TWAgentVersion", "11.2"},
                        {"AgentServiceName", "TidewellAgent"},
                        {"MSPName", "MSP"},
                        {"CustomerName", "Acme"},
                        {"CustomerId", "ACME-01"},
                        {"TWProductCode", "TWEX"},
                        {"TWAgentInstallDir", "C:\\Agent\\"},
                        {"DataTransferRate_KBps", "128"},
                        {"EnableDSRoute", "no"}});
        put(kDetailsKey, {{"TWAgentResourceID", "501"}});
    }
    twtest::ScopedRegistry reg;
};

} // namespace

TEST_F(AgentParams, LoadsAndDerivesPortsAndPaths) {
    twtest::LogCapture log(4);
    ASSERT_EQ(InitializeAgentParameters(), 0u);
    EXPECT_STREQ(TWServerName, "tw.example.com");
    EXPECT_EQ(TWServerSecurePort, 9363);
    EXPECT_EQ(gv_serverPort, 9363) << "https with no secure port uses port + 363";
    EXPECT_STREQ(DistributionServerProtocol, "https");
    EXPECT_EQ(gv_distributionServerPort, 9363);
    EXPECT_STREQ(TWAgentResourceID, "501");
    EXPECT_STREQ(ProxyEnabled, "NO");
    EXPECT_EQ(HTTPRequestTimeout, 60000u);
    EXPECT_EQ(HTTPConnectionTimeout, 30000u);
    EXPECT_EQ(DataTransferRate_KBps, 128u);
    EXPECT_EQ(EnableChecksum, 1);
    ASSERT_NE(gv_nameSpace, nullptr);
    std::string expected = std::string("client-data/acme-01/domains/") + gv_nameSpace;
    for (auto& c : expected)
        c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    EXPECT_STREQ(gv_clientDataPath, expected.c_str());
    EXPECT_TRUE(log.has("Tidewell Server Port                -> 9363 "));
    EXPECT_TRUE(log.has("The Agent Machine Resource Id is given by -> 501 "));
    EXPECT_TRUE(log.has("Agent Data Transfer Rate in KBps\t\t   -> 128 "));
    EXPECT_EQ(log.text().find("TW Distribution Server  Name"), std::string::npos);
}

TEST_F(AgentParams, ASecondLoadReplacesEverythingTheFirstHeld) {
    // The leak check of the sanitizer build fails the run if anything is lost.
    ASSERT_EQ(InitializeAgentParameters(), 0u);
    ASSERT_EQ(InitializeAgentParameters(), 0u);
    EXPECT_STREQ(TWServerName, "tw.example.com");
    EXPECT_NE(gv_localComputerName, nullptr);
}

TEST_F(AgentParams, ProtocolRules) {
    put(kServerKey, {{"TWServerProtocol", "HTTP"}, {"TWServerSecurePort", "443"}});
    ASSERT_EQ(InitializeAgentParameters(), 0u);
    EXPECT_EQ(gv_serverPort, 9000);
    put(kServerKey, {{"TWServerProtocol", "ftp"}});
    ASSERT_EQ(InitializeServerDetailsFromRegistry(), 0u);
    EXPECT_STREQ(TWServerProtocol, "http");
    put(kServerKey, {{"TWServerProtocol", "https"}});
    ASSERT_EQ(InitializeServerDetailsFromRegistry(), 0u);
    EXPECT_EQ(gv_serverPort, 443);
}

TEST_F(AgentParams, ShortSecondaryAddressesAreDropped) {
    put(kServerKey, {{"TWServerSecIPAddress", "abc"}});
    ASSERT_EQ(InitializeServerDetailsFromRegistry(), 0u);
    EXPECT_STREQ(TWServerSecIPAddress, "abc");
    put(kServerKey, {{"TWServerSecIPAddress", "ab"}});
    ASSERT_EQ(InitializeServerDetailsFromRegistry(), 0u);
    EXPECT_EQ(TWServerSecIPAddress, nullptr);
}

TEST_F(AgentParams, MissingServerNameIsFatal) {
    twtest::LogCapture log(4);
    ASSERT_EQ(deleteValue(HKEY_LOCAL_MACHINE, kServerKey, "TWServerName"), 0u);
    EXPECT_EQ(InitializeAgentParameters(), 13u);
    EXPECT_TRUE(log.has(
        "InitializeServerDetailsFromRegistry : Error while fetching server name from registry! "));
    EXPECT_TRUE(
        log.has("InitializeAgentParameters : Error while fetching Server details from registry! "));
    EXPECT_STREQ(gv_twProductCode, "TWEX");
    EXPECT_EQ(HTTPRequestTimeout, 60000u);
}

TEST_F(AgentParams, EmptyCustomerIdIsFatal) {
    twtest::LogCapture log(4);
    put(gv_RegKey, {{"CustomerId", ""}});
    EXPECT_EQ(InitializeAgentParameters(), 13u);
    EXPECT_TRUE(log.has("GetCustomerId: error while retrieving customerid"));
    EXPECT_TRUE(
        log.has("InitializeAgentDetails : Error while fetching customer Id from registry! "));
}

TEST_F(AgentParams, TransferRateWriteBacks) {
    struct Case {
        const char* stored;
        DWORD rate;
        const char* after;
    };
    for (const Case& c :
         {Case{"4000", 0, "0"}, Case{"3072", 3072, "3072"}, Case{"-5", 0, "0"}, Case{"", 0, "0"}}) {
        put(gv_RegKey, {{"DataTransferRate_KBps", c.stored}});
        ASSERT_EQ(InitializeAgentDetails(), 0u);
        EXPECT_EQ(DataTransferRate_KBps, c.rate) << c.stored;
        EXPECT_EQ(regText(gv_RegKey, "DataTransferRate_KBps"), c.after) << c.stored;
    }
    ASSERT_EQ(deleteValue(HKEY_LOCAL_MACHINE, gv_RegKey, "DataTransferRate_KBps"), 0u);
    ASSERT_EQ(InitializeAgentDetails(), 0u);
    EXPECT_EQ(regText(gv_RegKey, "DataTransferRate_KBps"), "0");
}

TEST_F(AgentParams, MissingDsRouteIsWrittenBackAsNo) {
    ASSERT_EQ(deleteValue(HKEY_LOCAL_MACHINE, gv_RegKey, "EnableDSRoute"), 0u);
    ASSERT_EQ(InitializeAgentDetails(), 0u);
    EXPECT_EQ(EnableDSRoute, 0);
    EXPECT_EQ(regText(gv_RegKey, "EnableDSRoute"), "no");
}

TEST_F(AgentParams, DistributionServerRouting) {
    twtest::LogCapture log(4);
    put(gv_RegKey,
        {{"EnableDistributionServer", "YES"}, {"EnableDSRoute", "YES"}, {"ProxyEnabled", "yes"}});
    put(kServerKey, {{"DistributionServerName", "ds.branch.example"},
                     {"DistributionServerPort", "8080"},
                     {"DistributionServerIPAddress", "198.51.100.7"},
                     {"DistributionServerSecIPAddress", "1.2"},
                     {"DistributionLastAccessName", "198.51.100.7"}});
    ASSERT_EQ(InitializeAgentParameters(), 0u);
    EXPECT_TRUE(log.has("Tidewell Server Name                -> tw.example.com "))
        << "the summary shows the management server";
    EXPECT_STREQ(TWServerName, "ds.branch.example");
    EXPECT_STREQ(TWServerFlatName, "ds.branch.example");
    EXPECT_STREQ(TWServerIPAddress, "198.51.100.7");
    EXPECT_EQ(TWServerSecIPAddress, nullptr) << "three characters or fewer are dropped";
    EXPECT_STREQ(ProxyEnabled, "NO");
    EXPECT_EQ(gv_distributionServerPort, 8443)
        << "the distribution server takes the https protocol";
    EXPECT_EQ(regText(kServerKey, "DistributionServerProtocol"), "https");
    EXPECT_TRUE(log.has("Enable Distribution Server Route                       -> 1 "));
}

TEST_F(AgentParams, ImagedComputerLoadsEverythingAndSaysSo) {
    ASSERT_EQ(writeValue(HKEY_LOCAL_MACHINE, gv_RegKey, "ImagedComputer", "1", REG_DWORD), 0u);
    twtest::LogCapture log(4);
    EXPECT_EQ(InitializeAgentParameters(), 10047u);
    EXPECT_TRUE(log.has("InitializeAgentParameters : Computer is detected as imaged One .. "));
    EXPECT_TRUE(log.has("Tidewell Agent Version              -> 11.2 "));
}

TEST_F(AgentParams, ProxyPasswordNeverReachesTheLog) {
    // "s3cr3t-pw" in Base64, surrounded by blanks.
    put(gv_RegKey, {{"ProxyEnabled", "Yes"},
                    {"ProxyUserName", "proxyuser"},
                    {"ProxyPassword", "  czNjcjN0LXB3  "},
                    {"ProxyServerName", "proxy:3128"}});
    twtest::LogCapture log(4);
    ASSERT_EQ(InitializeAgentParameters(), 0u);
    EXPECT_STREQ(ProxyPassword, "s3cr3t-pw");
    std::string text = log.text();
    EXPECT_EQ(text.find("s3cr3t-pw"), std::string::npos);
    EXPECT_EQ(text.find("czNjcjN0LXB3"), std::string::npos);
    EXPECT_NE(text.find("Decrypted password is: set (9 characters)"), std::string::npos);
    EXPECT_TRUE(log.has("Proxy UserName    -> proxyuser "));
}

TEST_F(AgentParams, InvalidStoredPasswordMeansNoPassword) {
    put(gv_RegKey, {{"ProxyEnabled", "yes"}, {"ProxyPassword", "abc"}});
    ASSERT_EQ(InitializeAgentParameters(), 0u);
    EXPECT_EQ(ProxyPassword, nullptr);
}

TEST(Base64Password, DecodingRules) {
    auto dec = [](const char* s) {
        size_t n = 0;
        char* out = DecodeBase64Password(s, &n);
        std::string r = out ? std::string(out, n) : "<invalid>";
        free(out);
        return r;
    };
    EXPECT_EQ(dec("cGFzcw=="), "pass");
    EXPECT_EQ(dec("cGFzc3c="), "passw");
    EXPECT_EQ(dec("cGFzc3dk"), "passwd");
    EXPECT_EQ(dec(" \tcGFzc3dk\r\n"), "passwd");
    EXPECT_EQ(dec(""), "");
    EXPECT_EQ(dec("cGFzc3d"), "<invalid>") << "length not a multiple of 4";
    EXPECT_EQ(dec("cGF*c3dk"), "<invalid>");
    EXPECT_EQ(dec("cG\xC3\xA9" "c3dk"), "<invalid>") << "bytes above 127";
    EXPECT_EQ(dec("cA==ZZZZ"), "p") << "padding ends the decoding";
    EXPECT_EQ(dec("=AAA"), "<invalid>");
    EXPECT_EQ(DecodeBase64Password(nullptr, nullptr), nullptr);
}
