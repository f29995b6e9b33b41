#include "agent/service_notify.h"
#include "base/settings.h"
#include "base/text_helpers.h"
#include "base/log.h"

#include <stdlib.h>

int SendServiceMsg(DWORD controlCode, const WCHAR* serviceName) {
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (manager == nullptr) {
        LogError("SendServiceMsg : Failed to open Service Control Manager\n");
        return 0;
    }
    SC_HANDLE service = OpenServiceW(manager, serviceName, SERVICE_USER_DEFINED_CONTROL);
    if (service == nullptr) {
        LogError("SendServiceMsg : Failed to open the Service\n");
        CloseServiceHandle(manager);
        return 0;
    }
    LogInfo("SendServiceMsg : Service %S Opened successfully\n", serviceName);
    SERVICE_STATUS status;
    int result;
    if (ControlService(service, controlCode, &status)) {
        LogInfo("SendServiceMsg : Notification is succeeded\n");
        result = 1;
    } else {
        LogError("SendServiceMsg : Notification failed %d \n", GetLastError());
        result = 0;
    }
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return result;
}

int NotifyAgentService(DWORD controlCode) {
    WCHAR* name = nullptr;
    if (!ChangeToWideStr(AgentServiceName, &name))
        return 0;
    int result = SendServiceMsg(controlCode, name);
    free(name);
    return result;
}
