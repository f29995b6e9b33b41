#include "twfetch_args.h"
#include "http/agent_request.h"
#include "http/posts.h"

#include <stdlib.h>
#include <string.h>

#include <vector>

const char kFetchUsage[] =
    "usage: twfetch get URL | download URL DEST [--throttled] | post URL DATA "
    "[--request|--multipart] | upload URL FILE [--chunk BYTES]  (each also takes --main, --quiet; "
    "twfetch --help explains)";

const char kFetchHelp[] =
    "usage: twfetch COMMAND URL [ARGUMENT] [OPTIONS]\n"
    "\n"
    "Makes one request through the agent's HTTP library, with the agent's configuration\n"
    "from the registry (server, port, protocol, addresses, proxy, transfer rate).\n"
    "\n"
    "  get URL                               print the body on standard output\n"
    "  download URL DEST [--throttled]       store the body in DEST; --throttled keeps to\n"
    "                                        the agent's DataTransferRate_KBps\n"
    "  post URL DATA [--request|--multipart] post DATA and print the answer\n"
    "  upload URL FILE [--chunk BYTES]       send FILE, BYTES at a time (default 65536)\n"
    "\n"
    "  --main    send to the management server even where a distribution server serves\n"
    "  --quiet   no progress line (shown on standard error when it is a terminal)\n"
    "  -h, --help   this text\n"
    "\n"
    "URL is server-relative (/path?query). DEST and FILE are paths of this system,\n"
    "absolute or relative to the working folder, or Windows paths (C:\\Downloads\\x.zip).\n"
    "\n"
    "Examples:\n"
    "  twfetch get /client-data/resource.xml\n"
    "  twfetch download /files/pkg.bin downloads/pkg.bin\n"
    "  twfetch post /agentRequest state=1 --multipart\n"
    "  twfetch upload /agentRequest inventory.xml --chunk 65536\n"
    "\n"
    "The last line is \"result: CODE (what it means)\". Exit status: 0 when the request\n"
    "succeeded, 1 when it failed (the code is in the result line), 2 for a usage error.\n"
    "The log is twfetch.log in the agent's log folder.\n";

namespace {

// A decimal number of at most 32 bits.
bool parseSize(const char* text, DWORD* out) {
    if (text == nullptr || *text == 0)
        return false;
    unsigned long long v = 0;
    for (const char* p = text; *p; ++p) {
        if (*p < '0' || *p > '9')
            return false;
        v = v * 10 + static_cast<unsigned>(*p - '0');
        if (v > 0xFFFFFFFFull)
            return false;
    }
    *out = static_cast<DWORD>(v);
    return true;
}

} // namespace

bool ParseFetchCommand(int argc, char** argv, FetchCommand* cmd, std::string* error) {
    if (argc < 2) {
        *error = kFetchHelp;
        return false;
    }
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--help") == 0 || strcmp(argv[i], "-h") == 0) {
            cmd->help = true;
            return true;
        }
    }
    std::string verb = argv[1];
    size_t positionalWanted;
    if (verb == "get") {
        cmd->requestKind = GET_DATA;
        positionalWanted = 1;
    } else if (verb == "download") {
        cmd->requestKind = DOWNLOAD_FILE;
        positionalWanted = 2;
    } else if (verb == "post") {
        cmd->requestKind = POST_DATA;
        positionalWanted = 2;
    } else if (verb == "upload") {
        cmd->requestKind = UPLOAD_FILE;
        cmd->size = kDefaultUploadChunk;
        positionalWanted = 2;
    } else {
        *error = "twfetch: unknown command '" + verb + "'; " + kFetchUsage;
        return false;
    }
    std::vector<std::string> positional;
    for (int i = 2; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--main") {
            cmd->toMainServer = 1;
        } else if (a == "--quiet") {
            cmd->quiet = true;
        } else if (a == "--throttled" && verb == "download") {
            cmd->transferType = TRANSFER_THROTTLED;
        } else if (a == "--request" && verb == "post") {
            cmd->requestKind = POST_REQUEST;
        } else if (a == "--multipart" && verb == "post") {
            cmd->requestKind = POST_MULTIPART;
        } else if (a == "--chunk" && verb == "upload") {
            if (i + 1 >= argc || !parseSize(argv[i + 1], &cmd->size)) {
                *error = "twfetch: --chunk needs a number of bytes (0 to 4294967295)";
                return false;
            }
            ++i;
        } else if (a.size() > 2 && a.compare(0, 2, "--") == 0) {
            *error = "twfetch: unknown option '" + a + "' for " + verb + "; " + kFetchUsage;
            return false;
        } else {
            positional.push_back(a);
        }
    }
    if (positional.size() != positionalWanted) {
        *error = "twfetch: " + verb + " takes " + std::to_string(positionalWanted) +
                 (positionalWanted == 1 ? " argument; " : " arguments; ") + kFetchUsage;
        return false;
    }
    cmd->url = positional[0];
    if (positionalWanted == 2) {
        cmd->argument = positional[1];
        cmd->hasArgument = true;
    }
    return true;
}
