// twfetch's command line: the input is its arguments, separated by zero
// bytes. A command that parses is handed to the agent library as twfetch
// hands it, up to the request on the wire, which never leaves: sending fails
// as with a server that cannot be reached. Downloads and uploads stop after
// the parse, since their paths name files on this machine.
#include "http/agent_request.h"
#include "http/downloads.h"
#include "http/http_calls.h"
#include "base/settings.h"
#include "fuzz_support.h"
#include "twfetch_args.h"

#include <tw_linux.h>

#include <string.h>

namespace {

BOOL WINAPI SendFails(HINTERNET, LPCWSTR, DWORD, LPVOID, DWORD, DWORD, DWORD_PTR) {
    SetLastError(ERROR_WINHTTP_CANNOT_CONNECT);
    return FALSE;
}

void WINAPI NoPause(DWORD) {}

char* Text(const char* s) {
    return strdup(s);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    twfuzz::PrivateFolder();
    TwLinuxSetProcessIs64Bit(0);
    twfuzz::OpenNullLog();
    g_httpCalls.SendRequest = SendFails;
    g_httpCalls.Sleep = NoPause;
    TWServerName = Text("tidewell.example");
    TWServerIPAddress = Text("192.0.2.10");
    TWServerSecIPAddress = Text("192.0.2.11");
    TWServerProtocol = Text("https");
    gv_serverPort = 8383;
    EnableDistributionServer = Text("no");
    ProxyEnabled = Text("no");
    gv_twProductCode = Text("TWCL");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    twfuzz::Arguments args(data, size, "twfetch");
    FetchCommand cmd;
    std::string error;
    if (!ParseFetchCommand(args.argc(), args.argv(), &cmd, &error))
        return 0;
    TakesResumablePath(cmd.url.c_str(), cmd.requestKind, cmd.transferType);
    if (cmd.requestKind == DOWNLOAD_FILE || cmd.requestKind == UPLOAD_FILE)
        return 0;
    char* output = nullptr;
    AgentSendRequest(cmd.url.c_str(), cmd.hasArgument ? cmd.argument.c_str() : nullptr, &output,
                     cmd.requestKind, 1, cmd.toMainServer, cmd.size, cmd.transferType);
    free(output);
    return 0;
}
