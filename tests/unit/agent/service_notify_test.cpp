#include "agent/agent_params.h"
#include "base/text_helpers.h"
#include "agent/service_notify.h"
#include "support/log_capture.h"
#include "support/service_listener.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <stdlib.h>
#include <string.h>

TEST(ServiceNotify, TheAgentServiceReceivesTheCode) {
    twtest::ScopedRegistry reg;
    twtest::ServiceListener service(reg.dir().file("services"), "TidewellAgent");
    free(AgentServiceName);
    AgentServiceName = strdup("tidewellagent");
    twtest::LogCapture log(4);
    EXPECT_EQ(NotifyAgentService(147), 1);
    EXPECT_EQ(service.codes(), std::vector<uint32_t>{147});
    EXPECT_TRUE(log.has("SendServiceMsg : Service tidewellagent Opened successfully"));
    EXPECT_TRUE(log.has("SendServiceMsg : Notification is succeeded"));
}

TEST(ServiceNotify, MissingServiceIsLoggedAndFails) {
    twtest::ScopedRegistry reg;
    twtest::LogCapture log(4);
    EXPECT_EQ(SendServiceMsg(147, TW_W("NoSuchService")), 0);
    EXPECT_TRUE(log.has("SendServiceMsg : Failed to open the Service"));
}

TEST(ServiceNotify, ServiceThatIsNotRunningIsLoggedAndFails) {
    twtest::ScopedRegistry reg;
    twtest::ServiceListener service(reg.dir().file("services"), "TidewellAgent");
    service.stopListening();
    twtest::LogCapture log(4);
    EXPECT_EQ(SendServiceMsg(147, TW_W("TidewellAgent")), 0);
    EXPECT_TRUE(log.has("SendServiceMsg : Notification failed 1062 "));
}

TEST(ServiceNotify, WithoutAServiceNameNothingIsSent) {
    free(AgentServiceName);
    AgentServiceName = nullptr;
    twtest::LogCapture log(4);
    EXPECT_EQ(NotifyAgentService(147), 0);
    EXPECT_TRUE(log.has("ChangeToWideStr: AnsiString is empty! "));
}
