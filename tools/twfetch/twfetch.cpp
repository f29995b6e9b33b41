// twfetch: sends one request through the agent library with the agent's
// configuration from the registry, prints "result: <code> (<what it means>)"
// and exits with 0 (success), 1 (the request failed) or 2 (usage error).
// Administrators use it to test an agent's connectivity.
#include "agent/agent_params.h"
#include "base/settings.h"
#include "http/agent_request.h"
#include "http/downloads.h"
#include "http/progress.h"
#include "base/format.h"
#include "base/log.h"
#include "logging/logger.h"
#include "progress_line.h"
#include "twfetch_args.h"

#include <windows.h>
#include <winhttp.h>

#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#ifdef _WIN32
#include <io.h>
static const char kNullDevice[] = "NUL";
#else
#include <tw_linux.h>
#include <unistd.h>
static const char kNullDevice[] = "/dev/null";
#endif

namespace {

// Standard output carries the body and the result line only: what the library
// prints to the console while it works (adapter tables, save times) is not
// for this tool's reader.
class QuietStdout {
  public:
    QuietStdout() {
        fflush(stdout);
        saved_ = dup(fileno(stdout));
        int null = open(kNullDevice, O_WRONLY);
        if (saved_ >= 0 && null >= 0)
            dup2(null, fileno(stdout));
        if (null >= 0)
            close(null);
    }
    ~QuietStdout() {
        fflush(stdout);
        if (saved_ >= 0) {
            dup2(saved_, fileno(stdout));
            close(saved_);
        }
    }
    QuietStdout(const QuietStdout&) = delete;
    QuietStdout& operator=(const QuietStdout&) = delete;

  private:
    int saved_ = -1;
};

// A destination or upload file as the library takes it: a full Windows path,
// whose backslashes separate its folders. Relative paths are below the working
// folder; on Linux a path of this system lies on drive Z:, the host's root.
bool FullPath(std::string* path) {
    DWORD need = GetFullPathNameA(path->c_str(), 0, nullptr, nullptr);
    if (need == 0)
        return false;
    std::string full(need, '\0');
    DWORD n = GetFullPathNameA(path->c_str(), need, &full[0], nullptr);
    if (n == 0 || n >= need)
        return false;
    full.resize(n);
    *path = full;
    return true;
}

// The folders above a download's destination that do not exist yet, deepest
// first: a failed download takes away those it made.
std::vector<std::string> MissingFolders(const std::string& destination) {
    std::vector<std::string> missing;
    std::string folder = destination;
    for (;;) {
        size_t sep = folder.rfind('\\');
        if (sep == std::string::npos || sep == 0)
            break;
        folder.resize(sep);
        // "C:" and "Z:" are drives, which are always there.
        if (folder.size() <= 2 || GetFileAttributesA(folder.c_str()) != INVALID_FILE_ATTRIBUTES)
            break;
        missing.push_back(folder);
    }
    return missing;
}

void RemoveFoldersMade(const std::vector<std::string>& folders) {
    // Only empty folders go; one the download did not make stays whatever happens.
    for (const std::string& f : folders) {
        if (!RemoveDirectoryA(f.c_str()))
            break;
    }
}

} // namespace

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
    if (cmd.help) {
        fputs(kFetchHelp, stdout);
        return 0;
    }
    if ((cmd.requestKind == DOWNLOAD_FILE || cmd.requestKind == UPLOAD_FILE) &&
        !FullPath(&cmd.argument)) {
        fprintf(stderr, "twfetch: %s is not a usable path\n", cmd.argument.c_str());
        return 2;
    }

    if (StartProgramLog("twfetch.log") != ERROR_SUCCESS)
        fprintf(stderr, "twfetch: TWAgentInstallDir is not in the registry; no log is written\n");

    DWORD rc;
    {
        QuietStdout quiet;
        rc = InitializeAgentParameters();
    }
    DWORD result;
    if (rc != 0)
        fprintf(stderr, "twfetch: InitializeAgentParameters returned %lu\n",
                static_cast<unsigned long>(rc));
    if (TWServerName == nullptr) {
        // Without the server settings there is nothing to address.
        fprintf(stderr, "twfetch: the agent's server settings are not in the registry\n");
        result = RESULT_INVALID_INPUT;
    } else {
        char* output = nullptr;
        const char* argument = cmd.hasArgument ? cmd.argument.c_str() : nullptr;
        const bool resumable = TakesResumablePath(cmd.url.c_str(), cmd.requestKind, cmd.transferType);
        std::vector<std::string> made;
        if (cmd.requestKind == DOWNLOAD_FILE)
            made = MissingFolders(cmd.argument);
        if (!cmd.quiet && isatty(fileno(stderr))) {
            StartProgressClock();
            SetTransferListener(DrawProgress);
        }
        {
            QuietStdout quiet;
            result = AgentSendRequest(cmd.url.c_str(), argument, &output, cmd.requestKind, 1,
                                      cmd.toMainServer, cmd.size, cmd.transferType);
        }
        SetTransferListener(nullptr);
        EndProgress();
        if (result != 0 && result != RESULT_NOT_MODIFIED)
            RemoveFoldersMade(made);
        if (resumable && (result == RESULT_PARTIAL_DOWNLOAD || result == ERROR_WINHTTP_TIMEOUT ||
                          result == ERROR_WINHTTP_CANNOT_CONNECT ||
                          result == ERROR_WINHTTP_CONNECTION_ERROR))
            fprintf(stderr, "twfetch: the download is incomplete; the same command resumes it "
                            "from the bytes already saved\n");
        if (output != nullptr) {
            size_t n = strlen(output);
            fwrite(output, 1, n, stdout);
            if (n != 0 && output[n - 1] != '\n')
                fputc('\n', stdout);
            free(output);
        }
    }
    TwPrintf("result: %u (%s)\n", result, RequestResultText(result).c_str());
    ShutdownLogger();
    return result == 0 || result == RESULT_NOT_MODIFIED ? 0 : 1;
}
