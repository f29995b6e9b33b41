// The built program asks the loopback management server for its resource
// document when the registry lacks the identifier.
#include "support/http_server.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

const std::string kAgentKey = "HKLM\\SOFTWARE\\WOW6432Node\\Brightmoor\\Tidewell\\TWAgent";

class ResourceIdRun : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(reg.importReg(twtest::SourceDir() + "/examples/demo-workstation.reg"), 0);
        installDir = reg.dir().file("drives/c/Program Files (x86)/Tidewell/Agent");
        fs::create_directories(installDir);
        ASSERT_EQ(twreg({"delete", kAgentKey + "\\SystemDetails", "/v", "TWAgentResourceID", "/f"}),
                  0);
    }
    int twreg(const std::vector<std::string>& args) {
        std::vector<std::string> all = {"--registry", reg.dbPath()};
        all.insert(all.end(), args.begin(), args.end());
        return twtest::RunProcess(twtest::ToolPath("twreg"), all).exitCode;
    }
    void pointServerAt(uint16_t port) {
        for (const char* name : {"TWServerName", "TWServerFlatName", "TWServerIPAddress",
                                 "TWServerSecIPAddress", "TWLastAccessName"})
            ASSERT_EQ(
                twreg({"add", kAgentKey + "\\ServerInfo", "/v", name, "/d", "127.0.0.1", "/f"}), 0);
        ASSERT_EQ(twreg({"add", kAgentKey + "\\ServerInfo", "/v", "TWServerPort", "/d",
                         std::to_string(port), "/f"}),
                  0);
        ASSERT_EQ(twreg({"add", kAgentKey + "\\ServerInfo", "/v", "TWServerProtocol", "/d", "http",
                         "/f"}),
                  0);
    }
    twtest::ProcessResult run(const std::vector<std::string>& args) {
        auto r = twtest::RunProcess(twtest::ToolPath("twprereqhandler"), args,
                                    {{"TEMP", reg.dir().path()}}, reg.dir().path());
        log = twtest::ReadFileText(installDir + "/logs/twprereqhandler.log");
        return r;
    }
    bool logHas(const std::string& s) const { return log.find(s) != std::string::npos; }

    twtest::ScopedRegistry reg;
    std::string installDir;
    std::string log;
};

} // namespace

TEST_F(ResourceIdRun, AsksForTheLowerCasedDocumentAndGoesOnWhenItDoesNotLoad) {
    twtest::HttpServer server;
    const std::string path = "/client-data/contoso-0042/domains/workgroup/resources/demo-pc01.xml";
    server.on(
        path,
        twtest::HttpBehavior{
            200, "", {}, "<r><Agentparams PARAM_NAME=\"RESOURCE_ID\" param_Value=\"9\"/></r>"});
    pointServerAt(server.port());
    auto r = run({"-r", "1"});
    EXPECT_EQ(r.exitCode, 0);
    ASSERT_EQ(server.requestCount(), 1u);
    EXPECT_EQ(server.requests()[0].target, path);
    EXPECT_EQ(server.requests()[0].header("User-Agent"), "TidewellAgent");
    EXPECT_TRUE(logHas("GetResourceID : Unable to get the TW Agent Resource ID from Registry , So "
                       "trying to get the same from server .\n"));
    EXPECT_TRUE(logHas("resourceIdXmlPath: " + path + "\n"));
    EXPECT_TRUE(logHas("Cannot construct table data from XML buffer.\n"));
    EXPECT_TRUE(logHas("GetResourceIDFromServer : Error occured ("));
    EXPECT_TRUE(logHas("PAE has been enabled")) << "the checks still run";
    EXPECT_TRUE(logHas("The Agent Machine Resource Id is given by -> (null) \n"));
}

TEST_F(ResourceIdRun, LocalDomainNameReplacesTheNameSpace) {
    twtest::HttpServer server;
    pointServerAt(server.port());
    ASSERT_EQ(twreg({"add", kAgentKey + "\\SystemDetails", "/v", "LocalDomainName", "/d",
                     "Corp-Net", "/f"}),
              0);
    ASSERT_EQ(twreg({"add", "HKLM\\SYSTEM\\CurrentControlSet\\Services\\VxD\\VNETSUP", "/v",
                     "Workgroup", "/d", "CORP", "/f"}),
              0);
    run({});
    ASSERT_EQ(server.requestCount(), 1u);
    EXPECT_EQ(server.requests()[0].target,
              "/client-data/contoso-0042/domains/corp-net/resources/demo-pc01.xml");
}

TEST_F(ResourceIdRun, IdentifierInTheRegistryMeansNoRequest) {
    twtest::HttpServer server;
    pointServerAt(server.port());
    ASSERT_EQ(
        twreg({"add", kAgentKey + "\\SystemDetails", "/v", "TWAgentResourceID", "/d", "55", "/f"}),
        0);
    EXPECT_EQ(run({}).exitCode, 0);
    EXPECT_EQ(server.requestCount(), 0u);
    EXPECT_TRUE(logHas("The Agent Machine Resource Id is given by -> 55 \n"));
}

TEST_F(ResourceIdRun, UnreachableServerIsLoggedAndTheRunGoesOn) {
    twtest::RefusingPort refusing;
    pointServerAt(refusing.port());
    auto r = run({"-r", "1"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_TRUE(logHas("GetResourceIDFromServer : Unable to get the reource id xml from "
                       "/client-data/contoso-0042/domains/workgroup/resources/demo-pc01.xml path "
                       "and the error code is 12029 \n"))
        << log;
    EXPECT_TRUE(logHas("HttpGetLastError: The attempt to connect to the server failed.\n"));
    EXPECT_TRUE(logHas("Return code : 0"));
}
