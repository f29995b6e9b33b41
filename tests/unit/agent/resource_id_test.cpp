#include "base/settings.h"
#include "agent/agent_params.h"
#include "machine/machine_details.h"
#include "agent/resource_id.h"
#include "registry/registry_helpers.h"
#include "support/http_server.h"
#include "support/log_capture.h"
#include "support/service_listener.h"
#include "support/test_support.h"
#include "tables/table_data.h"

#include <gtest/gtest.h>

#include <stdlib.h>
#include <string.h>

#ifndef _WIN32
#include <tw_linux.h>
#endif

namespace {

const char kDetailsKey[] = "Software\\Brightmoor\\Tidewell\\TWAgent\\SystemDetails";

const char kDocument[] = "<TableData>"
                         "<AgentparamsList>"
                         "<Agentparams PARAM_NAME=\"OTHER\" param_Value=\"x\"/>"
                         "<Agentparams PARAM_NAME=\"RESOURCE_ID\" param_Value=\"424242\"/>"
                         "</AgentparamsList>"
                         "</TableData>";

void setText(char*& slot, const char* value) {
    free(slot);
    slot = value ? strdup(value) : nullptr;
}

void registerAgentparams() {
    static const ColumnSchema columns[] = {
        {"PARAM_NAME", "ORR_SQL_VARCHAR", nullptr, 1, nullptr, "name", 100, 0},
        {"param_Value", "ORR_SQL_VARCHAR", nullptr, 0, nullptr, "value", 100, 1},
    };
    static const char* const keys[] = {"PARAM_NAME"};
    TableSchema schema{"Agentparams", "agent parameters", columns, 2, keys, 1, nullptr, 0};
    ASSERT_EQ(RegisterTableDefn(&schema), 1);
}

// The agent settings the request reads, pointing at the loopback server.
class ResourceId : public ::testing::Test {
  protected:
    void SetUp() override {
#ifndef _WIN32
        TwLinuxSetProcessIs64Bit(0);
#endif
        setText(TWServerName, "127.0.0.1");
        setText(TWServerFlatName, "127.0.0.1");
        setText(TWServerIPAddress, "127.0.0.1");
        setText(TWServerSecIPAddress, nullptr);
        setText(TWLastAccessName, nullptr);
        setText(TWServerProtocol, "http");
        setText(DistributionServerProtocol, "http");
        setText(EnableDistributionServer, "no");
        setText(ProxyEnabled, "NO");
        setText(gv_twProductCode, "TWEX");
        setText(AgentServiceName, "TidewellAgent");
        gv_serverPort = server.port();
        setText(gv_clientDataPath, "client-data/acme-01/domains/corp");
        setText(gv_nameSpace, "CORP");
        setText(gv_localComputerName, "PC-Seventeen");
        snprintf(gv_tempDir, sizeof gv_tempDir, "%s", reg.dir().path().c_str());
    }
    twtest::ScopedRegistry reg;
    twtest::HttpServer server;
};

std::string storedId() {
    char* out = nullptr;
    if (ReadRegSZ(HKEY_LOCAL_MACHINE, kDetailsKey, "TWAgentResourceID", &out) != 0)
        return "<missing>";
    std::string s = out;
    free(out);
    return s;
}

} // namespace

TEST_F(ResourceId, RegistryValueMeansNoRequest) {
    ASSERT_EQ(writeValue(HKEY_LOCAL_MACHINE, kDetailsKey, "TWAgentResourceID", "77", REG_SZ), 0u);
    twtest::LogCapture log(4);
    size_t before = log.text().size();
    char* id = nullptr;
    EXPECT_EQ(GetResourceID(&id), 0u);
    EXPECT_STREQ(id, "77");
    free(id);
    EXPECT_EQ(server.requestCount(), 0u);
    EXPECT_EQ(log.text().find("GetResourceID"), std::string::npos);
    (void)before;
}

TEST_F(ResourceId, SelectsStoresAndNotifies) {
    registerAgentparams();
    server.on("/client-data/acme-01/domains/corp/resources/pc-seventeen.xml",
              twtest::HttpBehavior{200, "", {}, kDocument});
    twtest::ServiceListener service(reg.dir().file("services"), "TidewellAgent");
    twtest::LogCapture log(4);
    char* id = nullptr;
    EXPECT_EQ(GetResourceID(&id), 0u);
    EXPECT_STREQ(id, "424242");
    free(id);
    EXPECT_EQ(storedId(), "424242");
    EXPECT_EQ(service.codes(), std::vector<uint32_t>{147});
    ASSERT_EQ(server.requestCount(), 1u);
    EXPECT_EQ(server.requests()[0].target,
              "/client-data/acme-01/domains/corp/resources/pc-seventeen.xml");
    EXPECT_TRUE(
        log.has("GetResourceIDFromServer : The Resource ID from the server is given  by 424242 "));
    EXPECT_TRUE(log.has("SendServiceMsg : Notification is succeeded"));
}

TEST_F(ResourceId, LocalDomainNameReplacesTheNameSpaceWithoutCase) {
    registerAgentparams();
    ASSERT_EQ(writeValue(HKEY_LOCAL_MACHINE, kDetailsKey, "LocalDomainName", "Corp-Net", REG_SZ),
              0u);
    server.on("/client-data/acme-01/domains/corp-net/resources/pc-seventeen.xml",
              twtest::HttpBehavior{200, "", {}, kDocument});
    twtest::LogCapture log(4);
    char* id = nullptr;
    EXPECT_EQ(GetResourceIDFromServer(&id), 0u);
    EXPECT_STREQ(id, "424242");
    free(id);
    EXPECT_TRUE(log.has("domainNameFromReg: Corp-Net"));
    EXPECT_TRUE(log.has("lower_CDPath: client-data/acme-01/domains/corp-net"));
    EXPECT_TRUE(log.has(
        "resourceIdXmlPath: /client-data/acme-01/domains/corp-net/resources/pc-seventeen.xml"));
}

TEST_F(ResourceId, WithoutDefinitionsTheDocumentDoesNotLoad) {
    server.on(
        "/client-data/acme-01/domains/corp/resources/pc-seventeen.xml",
        twtest::HttpBehavior{
            200, "", {}, "<r><Agentparams PARAM_NAME=\"RESOURCE_ID\" param_Value=\"1\"/></r>"});
    twtest::LogCapture log(4);
    char* id = nullptr;
    GetResourceIDFromServer(&id);
    EXPECT_EQ(id, nullptr);
    EXPECT_EQ(storedId(), "<missing>");
    EXPECT_NE(log.text().find("GetResourceIDFromServer : Error occured ("), std::string::npos);
    EXPECT_TRUE(log.has("Cannot construct table data from XML buffer."));
}

TEST_F(ResourceId, NoMatchingRowWritesNothing) {
    registerAgentparams();
    server.on("/client-data/acme-01/domains/corp/resources/pc-seventeen.xml",
              twtest::HttpBehavior{
                  200, "", {}, "<r><Agentparams PARAM_NAME=\"OTHER\" param_Value=\"1\"/></r>"});
    twtest::LogCapture log(4);
    char* id = nullptr;
    EXPECT_EQ(GetResourceIDFromServer(&id), 0u);
    EXPECT_EQ(id, nullptr);
    EXPECT_EQ(storedId(), "<missing>");
    EXPECT_TRUE(log.has(
        "GetResourceIDFromServer : No row objects corresponding to the resource id is found "));
}

TEST_F(ResourceId, ServerErrorIsTheResult) {
    twtest::LogCapture log(4);
    char* id = nullptr;
    EXPECT_EQ(GetResourceIDFromServer(&id), 404u);
    EXPECT_EQ(id, nullptr);
    EXPECT_TRUE(log.has("GetResourceIDFromServer : Unable to get the reource id xml from "
                        "/client-data/acme-01/domains/corp/resources/pc-seventeen.xml path and the "
                        "error code is 404 "));
}
