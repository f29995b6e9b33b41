#include "http/access_log.h"
#include "base/settings.h"
#include "base/file_helpers.h"
#include "base/text_helpers.h"
#include "base/time_helpers.h"
#include "http/agent_request.h"
#include "http/resumable_internal.h"
#include "http/resumable_request.h"
#include "base/format.h"
#include "base/log.h"

#include <share.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>

#include <string>

const char kAccessLogHeader[] =
    "DATE\t\t\tSTART_TIME\t                         FILE_NAME\tMODE\t\t\t\tT_BYTES\tSTATUS\t"
    "RECEVD_BYTES\tEND_TIME\tSERVER_NAME\t\tPORT\tURL\n"
    "------------------------------------------------------------------------------------------"
    "----------------------------------------------------";

void AppendFormattedToFile(const char* path, const char* format, ...) {
    if (path == nullptr || format == nullptr)
        return;
    FILE* file = _fsopen(path, "a", _SH_DENYNO);
    if (file == nullptr)
        return;
    try {
        std::string text;
        va_list args;
        va_start(args, format);
        TwVFormat(text, format, args);
        va_end(args);
        fwrite(text.data(), 1, text.size(), file);
    } catch (...) {
        // Out of memory: the row is lost, as when the file cannot be opened.
    }
    fclose(file);
}

void ResumableRequest::PrintHTTPAccessLog(DWORD result) {
    try {
        const char* install = gv_agentInstallDir != nullptr ? gv_agentInstallDir : "";
        const std::string path = TwFormat(result != 0 ? "%slogs\\downloadFailureAccess.log"
                                                      : "%slogs\\downloadSuccessAccess.log",
                                          install);
        LogDebug("downloadaccesslog : %s \n", path.c_str());
        if (!IsFileExist(path.c_str())) {
            FILE* file = _fsopen(path.c_str(), "a", _SH_DENYNO);
            if (file != nullptr) {
                fputs(kAccessLogHeader, file);
                fclose(file);
            }
        }

        const WCHAR* objectPath = objectPath_ ? objectPath_.get() : TW_W("");
        const std::string url = twresume::Narrow(objectPath);
        Owned<char> name(GetLastUrlFileName(url.c_str()));
        const char* fileName = name && name.get()[0] != '\0' ? name.get() : "--";
        char* endTime = nullptr;
        GetTimeText(true, &endTime);
        std::string row = TwFormat("\n %20s\t", startStamp_.c_str());
        row += TwFormat("\t%30s", fileName);
        row += TwFormat("\t%12s", requestKind_ == DOWNLOAD_FILE ? "DownloadFile" : "GetData");
        row += TwFormat("\t%10u\t%5ld\t%10u", contentLength_, static_cast<LONG>(result),
                        bytesReceived_);
        row += TwFormat("\t%10s\t", endTime != nullptr ? endTime : "");
        row += TwFormat("\t%15S\t%6d\t%S", server_ ? server_.get() : TW_W(""), port_, objectPath);
        free(endTime);
        // The row is data, not a format: a "%" in a URL reaches the file unchanged.
        AppendFormattedToFile(path.c_str(), "%s", row.c_str());
    } catch (...) {
        LogError("Error caught in PrintHTTPAccessLog\n");
    }
}
