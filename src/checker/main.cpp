// twprereqhandler: checks a managed computer's prerequisites before the agent
// installs a patch or deploys a package, and answers with its exit code.
#include "base/settings.h"
#include "agent/agent_params.h"
#include "machine/os_name.h"
#include "checker/checks.h"
#include "checker/options.h"
#include "base/format.h"
#include "base/log.h"
#include "logging/logger.h"

#include <stdlib.h>

#ifndef _WIN32
#include <tw_linux.h>
#endif

int main(int argc, char** argv) {
#ifndef _WIN32
    // The product is a 32-bit Windows program; on Linux it sees the registry as one.
    TwLinuxSetProcessIs64Bit(0);
#endif
    if (StartProgramLog("twprereqhandler.log") != ERROR_SUCCESS)
        return 13;
    if (InitializeAgentParameters() != 0)
        LogError("Tidewell Agent info is not available in this machine.\n");

    TwPrintf("gv_RegKey : %s\n", gv_RegKey);
    ParseArguments(argc, argv);
    free(GetOSNameEx());
    LogInfo(" gv_IsWow64 : %d \n", gv_IsWow64);
    bool server = IsServerOS();

    const CheckerOptions& o = gv_options;
    int rc = 0;
    LogInfo(" checkVM : %d \n", o.checkVM);
    if (o.checkVM && IsVirtualMachine()) {
        rc = 119;
    } else {
        LogInfo(" checkPAE : %d \n", o.checkPAE);
        if (o.checkPAE && !IsPAEEnabled()) {
            LogInfo("PAE has been disabled returning\n");
            rc = 1035;
        } else if (o.checkECP && IsECPEnabled()) {
            LogInfo("ECP has been enabled.....returning\n");
            rc = 1030;
        } else if (o.checkSSE2 && !IsSSE2Supported()) {
            LogInfo("SSE2 is not in the processor.....returning\n");
            rc = 1040;
        } else {
            if (server)
                enableProtectioninServerOS();
            LogInfo("Return code : 0 \n");
        }
    }
    ShutdownLogger();
    FreeCheckerOptions();
    return rc;
}
