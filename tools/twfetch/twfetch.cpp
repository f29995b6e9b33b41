// twfetch: sends one request through the agent library with the agent's
// configuration from the registry, prints "result: <code>" and exits with it.
// Administrators use it to test an agent's connectivity.
#include "agent/agent_params.h"
#include "base/settings.h"
#include "http/agent_request.h"
#include "http/downloads.h"
#include "base/format.h"
#include "base/log.h"
#include "logging/logger.h"
#include "twfetch_args.h"

#include <windows.h>
#include <winhttp.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#else
#include <tw_linux.h>
#endif

int main(int argc, char** argv) {
#ifndef _WIN32
    // The agent library runs as a 32-bit Windows process; on Linux it sees the registry as one.
    TwLinuxSetProcessIs64Bit(0);
#else
    // Bodies go to standard output byte for byte.
    _setmode(_fileno(stdout), _O_BINARY);
#endif
    FetchCommand cmd;
    std::string error;
    if (!ParseFetchCommand(argc, argv, &cmd, &error)) {
        fprintf(stderr, "%s\n", error.c_str());
        return 2;
    }

    if (StartProgramLog("twfetch.log") != ERROR_SUCCESS)
        fprintf(stderr, "twfetch: TWAgentInstallDir is not in the registry; no log is written\n");

    DWORD rc = InitializeAgentParameters();
    DWORD result;
    if (rc != 0)
        fprintf(stderr, "twfetch: InitializeAgentParameters returned %lu\n",
                static_cast<unsigned long>(rc));
    if (TWServerName == nullptr) {
        // Without the server settings there is nothing to address.
        fprintf(stderr, "twfetch: the agent's server settings are not in the registry\n");
        result = 13;
    } else {
        char* output = nullptr;
        const char* argument = cmd.hasArgument ? cmd.argument.c_str() : nullptr;
        const bool resumable = TakesResumablePath(cmd.url.c_str(), cmd.requestKind, cmd.transferType);
        result = AgentSendRequest(cmd.url.c_str(), argument, &output, cmd.requestKind, 1,
                                  cmd.toMainServer, cmd.size, cmd.transferType);
        if (resumable) {
            // Each save prints its time without a line end: the result line starts afresh.
            fputc('\n', stdout);
            if (result == RESULT_PARTIAL_DOWNLOAD || result == ERROR_WINHTTP_TIMEOUT ||
                result == ERROR_WINHTTP_CANNOT_CONNECT || result == ERROR_WINHTTP_CONNECTION_ERROR)
                fprintf(stderr, "twfetch: the download is incomplete; the same command resumes it "
                                "from the bytes already saved\n");
        }
        if (output != nullptr) {
            size_t n = strlen(output);
            fwrite(output, 1, n, stdout);
            if (n != 0 && output[n - 1] != '\n')
                fputc('\n', stdout);
            free(output);
        }
    }
    TwPrintf("result: %u\n", result);
    ShutdownLogger();
    return static_cast<int>(result);
}
