#include "agent/resource_id.h"
#include "base/owned.h"
#include "base/settings.h"
#include "machine/machine_details.h"
#include "agent/agent_params.h"
#include "base/text_helpers.h"
#include "http/agent_request.h"
#include "base/text_support.h"
#include "base/format.h"
#include "base/log.h"
#include "agent/service_notify.h"
#include "registry/registry_helpers.h"
#include "tables/result_data.h"
#include "tables/table_data.h"

#include <stdlib.h>
#include <string.h>

#include <memory>
#include <string>

namespace {

const char kSystemDetailsKey[] = "Software\\Brightmoor\\Tidewell\\TWAgent\\SystemDetails";
// The agent service learns of a new identifier through this control code.
const DWORD kResourceIdChanged = 147;

using Text = Owned<char>;

} // namespace

DWORD GetResourceID(char** out) {
    DWORD rc = ReadRegSZ(HKEY_LOCAL_MACHINE, kSystemDetailsKey, "TWAgentResourceID", out);
    if (rc == ERROR_SUCCESS)
        return ERROR_SUCCESS;
    LogError("GetResourceID : Unable to get the TW Agent Resource ID from Registry , So trying to "
             "get the same from server .\n");
    return GetResourceIDFromServer(out);
}

DWORD GetResourceIDFromServer(char** out) {
    const char* clientDataPath = gv_clientDataPath ? gv_clientDataPath : "";
    const char* computerName = gv_localComputerName ? gv_localComputerName : "";
    LogInfo("gv_clientDataPath: %s\n", clientDataPath);
    LogInfo("gv_localComputerName: %s\n", computerName);
    Text pathCopy(TwTextDup(clientDataPath));
    Text nameCopy(TwTextDup(computerName));
    if (!pathCopy || !nameCopy)
        return ERROR_NOT_ENOUGH_MEMORY;
    LogInfo("clientDataPathTemp: %s\n", pathCopy.get());
    LogInfo("localComputerLwr: %s\n", nameCopy.get());

    char* rawDomain = nullptr;
    if (ReadRegSZEx(HKEY_LOCAL_MACHINE, kSystemDetailsKey, "LocalDomainName", &rawDomain) ==
        ERROR_SUCCESS) {
        Text wideDomain(rawDomain);
        char* domain = nullptr;
        if (ChangeWideToUtf8Str(reinterpret_cast<const WCHAR*>(wideDomain.get()), &domain)) {
            Text domainText(domain);
            LogInfo("domainNameFromReg: %s\n", domainText.get());
            char* replaced = FindAndReplaceWithNoCase(
                pathCopy.get(), gv_nameSpace ? gv_nameSpace : "", domainText.get());
            if (replaced != nullptr)
                pathCopy.reset(replaced);
            LogInfo("clientDataPathTemp: %s\n", pathCopy.get());
        }
    } else {
        free(rawDomain);
    }

    Text lowerPath(ToLowerUtf8(pathCopy.get()));
    Text lowerName(ToLowerUtf8(nameCopy.get()));
    if (!lowerPath || !lowerName)
        return ERROR_NOT_ENOUGH_MEMORY;
    LogInfo("lower_CDPath: %s\n", lowerPath.get());
    LogInfo("lower_compName: %s\n", lowerName.get());

    std::string xmlPath =
        TwFormat("/%s/%s/%s%s", lowerPath.get(), "resources", lowerName.get(), ".xml");
    LogInfo("resourceIdXmlPath: %s\n", xmlPath.c_str());

    char* rawBody = nullptr;
    DWORD rc = AgentSendRequest(xmlPath.c_str(), &rawBody, 1);
    Text body(rawBody);
    if (rc != ERROR_SUCCESS) {
        LogError("GetResourceIDFromServer : Unable to get the reource id xml from %s path and the "
                 "error code is %d \n",
                 xmlPath.c_str(), rc);
        return rc;
    }
    const char* text = body ? body.get() : "";
    size_t length = strlen(text);
    if (length > 0x7FFFFFFF ||
        CreateTableDataFromXmlBuffer(text, static_cast<int32_t>(length)) != 1) {
        DWORD err = GetLastError();
        LogError(
            "GetResourceIDFromServer : Error occured (%d) while loading resource id buffer to the "
            "memory : \n %s \n",
            err, text);
        return err;
    }

    ResultData* result = SelectRows("Agentparams", "PARAM_NAME='RESOURCE_ID'");
    if (result == nullptr) {
        LogError("GetResourceIDFromServer :No rows found corresponding to the resource id in the "
                 "resource id xml .\n");
        return ERROR_SUCCESS;
    }
    if (GotoNextRowObject(result) == nullptr) {
        LogError(
            "GetResourceIDFromServer : No row objects corresponding to the resource id is found "
            "\n");
        FreeResultData(result);
        return ERROR_SUCCESS;
    }
    int32_t valueLength = 0;
    const auto* value =
        static_cast<const char*>(GetColumnValueByName("param_Value", &valueLength, result));
    // A matching row without the column holds no identifier: nothing is stored.
    if (value == nullptr || valueLength < 0) {
        LogError("GetResourceIDFromServer : The resource id row holds no param_Value \n");
        FreeResultData(result);
        return ERROR_SUCCESS;
    }
    auto* id = static_cast<char*>(calloc(static_cast<size_t>(valueLength) + 1, 1));
    if (id == nullptr) {
        LogError("GetResourceIDFromServer : Error while allocating the value of resourceid \n");
        FreeResultData(result);
        return ERROR_SUCCESS;
    }
    memcpy(id, value, static_cast<size_t>(valueLength));
    FreeResultData(result);
    free(*out);
    *out = id;
    LogInfo("GetResourceIDFromServer : The Resource ID from the server is given  by %s \n", id);
    writeValue(HKEY_LOCAL_MACHINE, kSystemDetailsKey, "TWAgentResourceID", id, REG_SZ);
    NotifyAgentService(kResourceIdChanged);
    return ERROR_SUCCESS;
}
