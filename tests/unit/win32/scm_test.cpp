// Service Control Manager against a listening test service.
#include <windows.h>
#include <winsvc.h>

#include <gtest/gtest.h>

#include <stdlib.h>

#include <filesystem>

#include "support/service_listener.h"
#include "support/test_support.h"

namespace {

class ScmTest : public ::testing::Test {
  protected:
    std::string serviceDir() const { return registry_.dir().file("services"); }

    // Opens the manager and the service; both handles closed by the fixture.
    SC_HANDLE open(const char16_t* name, DWORD access) {
        manager_ = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
        EXPECT_NE(nullptr, manager_);
        service_ = OpenServiceW(manager_, name, access);
        return service_;
    }

    ~ScmTest() override {
        if (service_ != nullptr) {
            EXPECT_TRUE(CloseServiceHandle(service_));
        }
        if (manager_ != nullptr) {
            EXPECT_TRUE(CloseServiceHandle(manager_));
        }
    }

    twtest::ScopedRegistry registry_; // also points TW_SERVICE_DIR at a fresh folder
    SC_HANDLE manager_ = nullptr;
    SC_HANDLE service_ = nullptr;
};

class ScmControl : public ScmTest {};
class ScmOpen : public ScmTest {};

} // namespace

TEST_F(ScmControl, UserCodeReachesTheService) {
    twtest::ServiceListener agent(serviceDir(), "TWAgentService");
    ASSERT_NE(nullptr, open(u"TWAgentService", SERVICE_USER_DEFINED_CONTROL));
    SERVICE_STATUS status{};
    ASSERT_TRUE(ControlService(service_, 147, &status));
    EXPECT_EQ(std::vector<uint32_t>{147}, agent.codes());
    EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), status.dwCurrentState);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS), status.dwServiceType);
    // One connection per control: a second code arrives as well.
    ASSERT_TRUE(ControlService(service_, 255, &status));
    EXPECT_EQ((std::vector<uint32_t>{147, 255}), agent.codes());
}

TEST_F(ScmControl, AccessRightsDecideWhichCodesMayBeSent) {
    twtest::ServiceListener agent(serviceDir(), "Agent");
    ASSERT_NE(nullptr, open(u"Agent", SERVICE_QUERY_STATUS | SERVICE_STOP));
    SERVICE_STATUS status{};
    SetLastError(0);
    EXPECT_FALSE(ControlService(service_, 147, &status));
    EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError());
    EXPECT_FALSE(ControlService(service_, SERVICE_CONTROL_INTERROGATE, &status));
    EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError());
    EXPECT_TRUE(ControlService(service_, SERVICE_CONTROL_STOP, &status));
    EXPECT_EQ(std::vector<uint32_t>{SERVICE_CONTROL_STOP}, agent.codes());

    // GENERIC_EXECUTE includes the user-defined control right.
    SC_HANDLE generic = OpenServiceW(manager_, u"Agent", GENERIC_EXECUTE);
    ASSERT_NE(nullptr, generic);
    EXPECT_TRUE(ControlService(generic, 128, &status));
    EXPECT_TRUE(CloseServiceHandle(generic));
}

TEST_F(ScmControl, CodesApplicationsMayNotSendAreRefusedUnsent) {
    twtest::ServiceListener agent(serviceDir(), "Agent");
    ASSERT_NE(nullptr, open(u"Agent", SERVICE_ALL_ACCESS));
    SERVICE_STATUS status{};
    for (DWORD code : {0u, 5u, 11u, 127u, 256u, 0x10000u + 147u}) {
        SetLastError(0);
        EXPECT_FALSE(ControlService(service_, code, &status)) << code;
        EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError()) << code;
    }
    EXPECT_TRUE(agent.codes().empty());
}

TEST_F(ScmControl, NobodyListeningIsNotActive) {
    twtest::ServiceListener agent(serviceDir(), "Agent");
    ASSERT_NE(nullptr, open(u"Agent", SERVICE_USER_DEFINED_CONTROL));
    agent.stopListening(); // the socket file stays, as after a crash
    SERVICE_STATUS status{};
    status.dwCurrentState = 99;
    SetLastError(0);
    EXPECT_FALSE(ControlService(service_, 147, &status));
    EXPECT_EQ(static_cast<DWORD>(ERROR_SERVICE_NOT_ACTIVE), GetLastError());
    EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), status.dwCurrentState);
}

TEST_F(ScmControl, ServiceAnswersAndSilence) {
    twtest::ServiceListener agent(serviceDir(), "Agent");
    ASSERT_NE(nullptr, open(u"Agent", SERVICE_USER_DEFINED_CONTROL));
    SERVICE_STATUS status{};
    agent.setResult(ERROR_INVALID_SERVICE_CONTROL);
    SetLastError(0);
    EXPECT_FALSE(ControlService(service_, 147, &status));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_SERVICE_CONTROL), GetLastError());
    EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), status.dwCurrentState);

    agent.setMode(twtest::ServiceListener::Mode::HangUp);
    SetLastError(0);
    EXPECT_FALSE(ControlService(service_, 147, &status));
    EXPECT_EQ(static_cast<DWORD>(ERROR_SERVICE_REQUEST_TIMEOUT), GetLastError());
    EXPECT_EQ(2u, agent.codes().size());
}

TEST_F(ScmOpen, MissingServiceAndNamesWithoutCase) {
    twtest::ServiceListener agent(serviceDir(), "TWAgentService");
    manager_ = OpenSCManagerW(nullptr, SERVICES_ACTIVE_DATABASEW, SC_MANAGER_CONNECT);
    ASSERT_NE(nullptr, manager_);
    SetLastError(0);
    EXPECT_EQ(nullptr, OpenServiceW(manager_, u"NoSuchService", SERVICE_USER_DEFINED_CONTROL));
    EXPECT_EQ(static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST), GetLastError());
    service_ = OpenServiceW(manager_, u"twagentSERVICE", SERVICE_USER_DEFINED_CONTROL);
    ASSERT_NE(nullptr, service_);
    SERVICE_STATUS status{};
    EXPECT_TRUE(ControlService(service_, 147, &status));
    EXPECT_EQ(1u, agent.codes().size());

    // A plain file of that name is not a service.
    twtest::WriteFileText(serviceDir() + "/Plain.ctl", "x");
    EXPECT_EQ(nullptr, OpenServiceW(manager_, u"Plain", SERVICE_USER_DEFINED_CONTROL));
    EXPECT_EQ(static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST), GetLastError());
}

TEST_F(ScmOpen, BadNamesMachinesDatabasesAndHandles) {
    manager_ = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    ASSERT_NE(nullptr, manager_);
    for (const char16_t* bad : {u"", u"a/b", u"..\\x"}) {
        SetLastError(0);
        EXPECT_EQ(nullptr, OpenServiceW(manager_, bad, SERVICE_USER_DEFINED_CONTROL));
        EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_NAME), GetLastError());
    }
    SetLastError(0);
    EXPECT_EQ(nullptr, OpenSCManagerW(u"\\\\elsewhere.example", nullptr, SC_MANAGER_CONNECT));
    EXPECT_EQ(static_cast<DWORD>(RPC_S_SERVER_UNAVAILABLE), GetLastError());
    EXPECT_EQ(nullptr, OpenSCManagerW(nullptr, u"ServicesFailed", SC_MANAGER_CONNECT));
    EXPECT_EQ(static_cast<DWORD>(ERROR_DATABASE_DOES_NOT_EXIST), GetLastError());
    SC_HANDLE local = OpenSCManagerW(u"\\\\localhost", nullptr, SC_MANAGER_CONNECT);
    ASSERT_NE(nullptr, local);

    // A manager handle is no service handle; a closed one is nothing.
    SERVICE_STATUS status{};
    EXPECT_FALSE(ControlService(local, 147, &status));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
    EXPECT_TRUE(CloseServiceHandle(local));
    EXPECT_FALSE(CloseServiceHandle(local));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
    EXPECT_EQ(nullptr, OpenServiceW(local, u"Agent", SERVICE_USER_DEFINED_CONTROL));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
}

TEST_F(ScmOpen, ServiceFolderLongerThanASocketPath) {
    // Unix socket paths hold about 108 bytes; the service folder may be longer.
    std::string deep = serviceDir() + "/" + std::string(60, 'd') + "/" + std::string(60, 'e');
    std::filesystem::create_directories(deep);
    setenv("TW_SERVICE_DIR", deep.c_str(), 1);
    twtest::ServiceListener agent(deep, "Agent");
    ASSERT_NE(nullptr, open(u"Agent", SERVICE_USER_DEFINED_CONTROL));
    SERVICE_STATUS status{};
    EXPECT_TRUE(ControlService(service_, 200, &status));
    EXPECT_EQ(std::vector<uint32_t>{200}, agent.codes());
}
