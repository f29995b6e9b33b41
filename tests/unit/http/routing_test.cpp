// AgentSendRequest: server choice, URL rewriting, the failover order across a
// server's addresses and the remembered last-access address.
#include "http_doubles.h"
#include "http_fixture.h"

#include "base/settings.h"
#include "agent/agent_params.h"
#include "http/agent_request.h"

#include <filesystem>
#include <string>

using namespace httptest;
using twtest::HttpBehavior;
using twtest::HttpServer;

namespace {

HttpBehavior Answer(const std::string& body, int status = 200) {
    HttpBehavior b;
    b.status = status;
    b.body = body;
    return b;
}

// Loopback addresses nothing listens on (the test server binds 127.0.0.1 only).
const char kRefusing[] = "127.0.0.2";
const char kRefusing2[] = "127.0.0.3";
const char kUnresolvable[] = "tidewell-test.invalid";

class HttpRouting : public HttpTest {
  protected:
    void SetUp() override {
        HttpTest::SetUp();
        serverInfo_ = std::string(gv_RegKey) + "\\ServerInfo";
    }
    void TearDown() override {
        free(data_);
        HttpTest::TearDown();
    }
    DWORD Get(const char* url, BYTE toMain = 1, int kind = GET_DATA, int transfer = 0) {
        free(data_);
        data_ = nullptr;
        return AgentSendRequest(url, nullptr, &data_, kind, 1, toMain, 0, transfer);
    }
    std::string Data() const { return data_ != nullptr ? data_ : ""; }
    // The Host header of every request, in order.
    std::vector<std::string> Hosts() const {
        std::vector<std::string> out;
        for (const auto& r : server_.requests())
            out.push_back(r.header("Host"));
        return out;
    }
    std::string HostOf(const std::string& address) const {
        return address + ":" + std::to_string(server_.port());
    }
    std::string RegLastAccess() const { return ReadRegText(serverInfo_, "TWLastAccessName"); }

    HttpServer server_;
    std::string serverInfo_;
    char* data_ = nullptr;
};

TEST_F(HttpRouting, EmptyLastAccessGoesToTheIpAddressWhichIsThenRemembered) {
    server_.on("/doc.xml", Answer("<doc/>"));
    SetMainServer("", "127.0.0.1", "", "", "", server_.port());
    ASSERT_EQ(Get("/doc.xml"), 0u);
    EXPECT_EQ(Data(), "<doc/>");
    EXPECT_EQ(Hosts(), std::vector<std::string>{HostOf("127.0.0.1")});
    EXPECT_STREQ(TWLastAccessName, "127.0.0.1");
    EXPECT_EQ(RegLastAccess(), "127.0.0.1");
    EXPECT_TRUE(Logged("AgentSendRequest : Last Access Address is 127.0.0.1 "));
    EXPECT_TRUE(Logged("AgentSendRequest : The url to get / send in UTF8 format is given by "
                       "/doc.xml "));
}

TEST_F(HttpRouting, AStatusFromTheIpAddressStillTriesTheSecondary) {
    server_.on("/doc.xml", std::vector<HttpBehavior>{Answer("no", 404), Answer("<doc/>")});
    SetMainServer("", "127.0.0.1", "localhost", "", "", server_.port());
    ASSERT_EQ(Get("/doc.xml"), 0u);
    EXPECT_EQ(Hosts(), (std::vector<std::string>{HostOf("127.0.0.1"), HostOf("localhost")}));
    EXPECT_STREQ(TWLastAccessName, "localhost");
    EXPECT_EQ(RegLastAccess(), "localhost");
}

TEST_F(HttpRouting, AStatusFromTheSecondaryEndsTheFailover) {
    server_.on("/doc.xml",
               std::vector<HttpBehavior>{Answer("no", 404), Answer("no", 404), Answer("<doc/>")});
    SetMainServer("", "127.0.0.1", "localhost", "127.0.0.1", "127.0.0.1", server_.port());
    EXPECT_EQ(Get("/doc.xml"), 404u);
    EXPECT_EQ(server_.requestCount(), 2u);
    EXPECT_STREQ(TWLastAccessName, "");
    EXPECT_EQ(RegLastAccess(), "");
    EXPECT_FALSE(LoggedPart("Last Access Address"));
}

TEST_F(HttpRouting, AStatusFromTheLastAccessAddressIsFinal) {
    server_.on("/doc.xml", std::vector<HttpBehavior>{Answer("no", 404), Answer("<doc/>")});
    SetMainServer("127.0.0.1", "localhost", "", "", "", server_.port());
    EXPECT_EQ(Get("/doc.xml"), 404u);
    EXPECT_EQ(server_.requestCount(), 1u);
}

TEST_F(HttpRouting, RefusedAndUnresolvedAddressesPassToTheNext) {
    server_.on("/doc.xml", Answer("<doc/>"));
    // Last access refuses (12029), the IP does not resolve (12007), the secondary
    // refuses, the server name answers; the flat name is never tried.
    SetMainServer(kRefusing, kUnresolvable, kRefusing2, "127.0.0.1", "localhost", server_.port());
    ASSERT_EQ(Get("/doc.xml"), 0u);
    EXPECT_EQ(Hosts(), std::vector<std::string>{HostOf("127.0.0.1")});
    EXPECT_STREQ(TWLastAccessName, "127.0.0.1");
    EXPECT_EQ(RegLastAccess(), "127.0.0.1");
    EXPECT_EQ(g_fake.opens, 4);
}

TEST_F(HttpRouting, TheFlatNameIsTheLastChanceAndItsResultStands) {
    server_.on("/doc.xml", Answer("<doc/>"));
    SetMainServer(kRefusing, kRefusing, kRefusing2, kUnresolvable, kRefusing2, server_.port());
    EXPECT_EQ(Get("/doc.xml"), static_cast<DWORD>(ERROR_WINHTTP_CANNOT_CONNECT));
    EXPECT_EQ(g_fake.opens, 5);
    EXPECT_EQ(server_.requestCount(), 0u);
    EXPECT_STREQ(TWLastAccessName, kRefusing);

    SetMainServer(kRefusing, kRefusing, kRefusing2, kRefusing2, "127.0.0.1", server_.port());
    ASSERT_EQ(Get("/doc.xml"), 0u);
    EXPECT_EQ(RegLastAccess(), "127.0.0.1");
}

TEST_F(HttpRouting, AddressesOfTwoCharactersOrFewerAreSkipped) {
    server_.on("/doc.xml", Answer("<doc/>"));
    SetMainServer("ab", "", "x", "", "", server_.port());
    EXPECT_EQ(Get("/doc.xml"), static_cast<DWORD>(ERROR_WINHTTP_NAME_NOT_RESOLVED));
    EXPECT_EQ(g_fake.opens, 0);
    EXPECT_EQ(RegLastAccess(), "");

    SetMainServer("ab", "", "", "", "127.0.0.1", server_.port());
    ASSERT_EQ(Get("/doc.xml"), 0u);
    EXPECT_STREQ(TWLastAccessName, "127.0.0.1");
}

TEST_F(HttpRouting, NotModifiedCountsAsSuccess) {
    server_.on("/pkg.bin", Answer("", 304));
    SetMainServer("", "127.0.0.1", "", "", "", server_.port());
    std::string dest = "C:\\dl\\pkg.bin";
    EXPECT_EQ(AgentSendRequest("/pkg.bin", dest.c_str(), nullptr, DOWNLOAD_FILE, 1, 1, 0, 0),
              RESULT_NOT_MODIFIED);
    EXPECT_EQ(RegLastAccess(), "127.0.0.1");
}

TEST_F(HttpRouting, DistributionServerIsUsedWithoutProxy) {
    HttpServer proxy;
    proxy.otherwise(Answer("from the proxy"));
    server_.on("/pkg.xml", Answer("from the distribution server"));
    SetSetting(EnableDistributionServer, "YES");
    SetSetting(ProxyEnabled, "yes");
    SetSetting(ProxyServerName, ("127.0.0.1:" + std::to_string(proxy.port())).c_str());
    SetSetting(DistributionLastAccessName, "");
    SetSetting(DistributionServerIPAddress, "127.0.0.1");
    SetSetting(DistributionServerSecIPAddress, nullptr);
    SetSetting(DistributionServerName, "ds.example");
    SetSetting(DistributionServerFlatName, "DS01");
    SetSetting(DistributionServerProtocol, "http");
    gv_distributionServerPort = server_.port();
    SetMainServer("", kRefusing, "", "", "", 1);

    ASSERT_EQ(Get("/pkg.xml", 0), 0u);
    EXPECT_EQ(Data(), "from the distribution server");
    EXPECT_EQ(g_fake.accessTypes, std::vector<DWORD>{WINHTTP_ACCESS_TYPE_NO_PROXY});
    EXPECT_EQ(proxy.requestCount(), 0u);
    EXPECT_STREQ(DistributionLastAccessName, "127.0.0.1");
    EXPECT_EQ(ReadRegText(serverInfo_, "DistributionLastAccessName"), "127.0.0.1");
    EXPECT_EQ(RegLastAccess(), "");
    EXPECT_STREQ(TWLastAccessName, "");
}

TEST_F(HttpRouting, MainServerGoesThroughTheConfiguredProxy) {
    HttpServer proxy;
    proxy.otherwise(Answer("from the proxy"));
    SetSetting(ProxyEnabled, "Yes");
    SetSetting(ProxyServerName, ("127.0.0.1:" + std::to_string(proxy.port())).c_str());
    SetSetting(ProxyByPass, "");
    SetSetting(ProxyUserName, "agent");
    SetSetting(ProxyPassword, "pw12");
    SetMainServer("", "server.example", "", "", "", 8020);
    // The distribution server is enabled, but the main-server flag forces the main server.
    SetSetting(EnableDistributionServer, "yes");
    ASSERT_EQ(Get("/doc.xml", 1), 0u);
    EXPECT_EQ(Data(), "from the proxy");
    ASSERT_EQ(proxy.requestCount(), 1u);
    EXPECT_EQ(proxy.requests()[0].target, "http://server.example:8020/doc.xml");
    // A proxy that never asks for the credentials never sees them.
    EXPECT_EQ(proxy.requests()[0].headerCount("Proxy-Authorization"), 0u);
    EXPECT_EQ(RegLastAccess(), "server.example");
}

TEST_F(HttpRouting, EditionRewritesOfTheUrl) {
    server_.otherwise(Answer("ok"));
    SetMainServer("127.0.0.1", "", "", "", "", server_.port());
    auto lastObject = [] {
        return N(reinterpret_cast<const WCHAR*>(g_fake.objectNames.back().c_str()));
    };

    SetSetting(gv_twProductCode, "twcl");
    ASSERT_EQ(Get("files\\sub\\list.xml"), 0u);
    EXPECT_EQ(lastObject(), "clientdatarequest?fileName=files/sub/list.xml");
    ASSERT_EQ(Get("/servlet/AGENTSLOT?id=1"), 0u);
    EXPECT_EQ(lastObject(), "/servlet/AGENTSLOT?id=1");
    EXPECT_TRUE(Logged("AgentSendRequest - gv_twProductCode is [twcl], requestType is GET_DATA / "
                       "DOWNLOAD_FILE [11001] and is servlet request "));
    ASSERT_EQ(Get("x/agentinfo?a=b"), 0u);
    EXPECT_EQ(lastObject(), "x/agentinfo?a=b");
    free(data_);
    data_ = nullptr;
    ASSERT_EQ(AgentSendRequest("files\\up", "payload", &data_, POST_DATA, 1, 1, 0, 0), 0u);
    EXPECT_EQ(lastObject(), "files/up");
    EXPECT_TRUE(Logged("AgentSendRequest - gv_twProductCode is [twcl], toTWServer is set to [1]. "
                       "Request Type is NOT GET_DATA / DOWNLOAD_FILE and is [11002]"));

    SetSetting(gv_twProductCode, "TWPRV");
    ASSERT_EQ(Get("files/a.xml"), 0u);
    EXPECT_EQ(lastObject(), "tw/files/a.xml");

    SetSetting(gv_twProductCode, "TWEX");
    ASSERT_EQ(Get("files\\a.xml"), 0u);
    EXPECT_EQ(lastObject(), "files/a.xml");
    EXPECT_TRUE(Logged("AgentSendRequest - Stand Alone / MSP build : gv_twProductCode is [TWEX] "));
}

TEST_F(HttpRouting, TwclKeepsTheUrlTowardsTheDistributionServer) {
    server_.otherwise(Answer("ok"));
    SetSetting(gv_twProductCode, "TWCL");
    SetSetting(EnableDistributionServer, "yes");
    SetSetting(DistributionLastAccessName, "127.0.0.1");
    gv_distributionServerPort = server_.port();
    ASSERT_EQ(Get("files/a.xml", 0), 0u);
    EXPECT_EQ(N(reinterpret_cast<const WCHAR*>(g_fake.objectNames.back().c_str())), "files/a.xml");
    EXPECT_TRUE(Logged("AgentSendRequest - gv_twProductCode is [TWCL], toTWServer is set to [0]. "
                       "Request Type is NOT GET_DATA / DOWNLOAD_FILE and is [11001]"));
}

TEST_F(HttpRouting, TransferTypeTwoMakesNoExchange) {
    server_.on("/doc.xml", Answer("<doc/>"));
    SetMainServer("127.0.0.1", "127.0.0.1", "", "", "", server_.port());
    EXPECT_EQ(Get("/doc.xml", 1, DOWNLOAD_FILE, TRANSFER_NONE),
              static_cast<DWORD>(ERROR_WINHTTP_NAME_NOT_RESOLVED));
    EXPECT_EQ(server_.requestCount(), 0u);
}

TEST_F(HttpRouting, ResourceIdentityFormFetchesDataFromTheMainServer) {
    server_.on("/client-data/x.xml", Answer("<rows/>"));
    SetSetting(EnableDistributionServer, "yes");
    SetSetting(DistributionLastAccessName, kRefusing);
    SetMainServer("127.0.0.1", "", "", "", "", server_.port());
    ASSERT_EQ(AgentSendRequest("/client-data/x.xml", &data_, 1), 0u);
    EXPECT_EQ(Data(), "<rows/>");
    ASSERT_EQ(server_.requestCount(), 1u);
    EXPECT_EQ(server_.requests()[0].header("Connection"), "Keep-Alive");
}

TEST_F(HttpRouting, FilesAndPostsTravelThroughTheSameEntry) {
    server_.on("/pkg/a.bin", twtest::HttpBehavior{200, "", {}, std::string(3000, 'z')});
    server_.on("/upload", Answer("stored"));
    SetMainServer("127.0.0.1", "", "", "", "", server_.port());
    DataTransferRate_KBps = 1;
    ASSERT_EQ(AgentSendRequest("/pkg/a.bin", "C:\\dl\\a.bin", nullptr, DOWNLOAD_FILE, 0, 1, 0, 0),
              0u);
    ASSERT_EQ(AgentSendRequest("/pkg/a.bin", "C:\\dl\\b.bin", nullptr, DOWNLOAD_FILE, 0, 1, 0, 1),
              0u);
    EXPECT_EQ(twtest::ReadFileText(Host("C:\\dl\\a.bin")), std::string(3000, 'z'));
    EXPECT_EQ(twtest::ReadFileText(Host("C:\\dl\\b.bin")), std::string(3000, 'z'));

    twtest::WriteFileText(Host("C:\\dl\\up.txt"), "report");
    ASSERT_EQ(AgentSendRequest("/upload", "C:\\dl\\up.txt", &data_, UPLOAD_FILE, 0, 1, 2, 0), 0u);
    EXPECT_EQ(Data(), "stored");
    free(data_);
    data_ = nullptr;
    ASSERT_EQ(AgentSendRequest("/upload", "k=v", &data_, POST_REQUEST, 0, 1, 0, 0), 0u);
    auto rs = server_.requests();
    ASSERT_GE(rs.size(), 2u);
    EXPECT_EQ(rs[rs.size() - 2].body, "report");
    EXPECT_EQ(rs.back().body, "k=v");
    EXPECT_EQ(rs.back().header("Connection"), "close");
}

TEST_F(HttpRouting, InvalidInputsAreRefused) {
    SetMainServer("127.0.0.1", "", "", "", "", 70000);
    EXPECT_EQ(Get("/doc.xml"), RESULT_INVALID_INPUT);
    gv_serverPort = 80;
    EXPECT_EQ(AgentSendRequest(nullptr, nullptr, &data_, GET_DATA, 1, 1, 0, 0),
              RESULT_INVALID_INPUT);
    EXPECT_EQ(g_fake.opens, 0);
}

} // namespace
