// The command line of twfetch.
#pragma once

#include <windows.h>

#include <string>

struct FetchCommand {
    int requestKind = 0;  // GET_DATA, DOWNLOAD_FILE, POST_*, UPLOAD_FILE
    int transferType = 0; // downloads: 0 plain, 1 throttled
    std::string url;
    std::string argument; // destination, data or file, by command
    bool hasArgument = false;
    BYTE toMainServer = 0;
    DWORD size = 0;     // upload chunk size
    bool quiet = false; // no progress line
    bool help = false;  // print kFetchHelp and do nothing else
};

// Fills `cmd` from argv; false with a one-line message in `error` for a usage
// error. Without arguments that message is the whole help text.
bool ParseFetchCommand(int argc, char** argv, FetchCommand* cmd, std::string* error);

// The usage line, and the whole help with one example per command.
extern const char kFetchUsage[];
extern const char kFetchHelp[];
