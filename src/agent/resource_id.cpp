#include "agent/resource_id.h"
#include "agent/agent_globals.h"
#include "logging/log.h"
#include "registry/registry_helpers.h"

#include <stdlib.h>

namespace {
const char kSystemDetailsKey[] = "Software\\Brightmoor\\Tidewell\\TWAgent\\SystemDetails";
}

DWORD GetResourceID(char** out) {
    DWORD rc = ReadRegSZ(HKEY_LOCAL_MACHINE, kSystemDetailsKey, "TWAgentResourceID", out);
    if (rc == ERROR_SUCCESS)
        return ERROR_SUCCESS;
    LogError("GetResourceID : Unable to get the TW Agent Resource ID from Registry , So trying to "
             "get the same from server .\n");
    return GetResourceIDFromServer(out);
}
