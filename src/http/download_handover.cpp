#include "http/download_handover.h"
#include "agent/agent_globals.h"
#include "agent/text_helpers.h"
#include "http/agent_request.h"
#include "http/resumable_request.h"
#include "logging/format.h"
#include "logging/log.h"
#include "registry/registry_helpers.h"

#include <new>
#include <string>

bool CheckDownloadHandOver(DownloadVariant variant, const DownloadCall& call, DWORD* result) {
    // Documents (".xml", ".json", case-sensitive) always take the plain path.
    if (call.objectPath != nullptr && (TwWideStr(call.objectPath, TW_W(".xml")) != nullptr ||
                                       TwWideStr(call.objectPath, TW_W(".json")) != nullptr))
        return false;
    LogInfo("InternetGetDownloader : Tidewell Server & Port -> %S : %d \n", call.server, call.port);
    std::string settingsKey = std::string(gv_RegKey) + "\\Settings";
    DWORD mode = 0;
    if (ReadDwordRegistryData(HKEY_LOCAL_MACHINE, settingsKey.c_str(), "DownloadMode", &mode) !=
        ERROR_SUCCESS)
        mode = 0;
    if (mode == 1 && (variant == DownloadVariant::Throttled || call.requestKind == DOWNLOAD_FILE) &&
        HandOverToResumableDownload(variant, call, result))
        return true;
    LogInfo("InternetGetDownloader : Download Mode %d\n", mode);
    return false;
}

bool HandOverToResumableDownload(DownloadVariant variant, const DownloadCall& call, DWORD* result) {
    ResumableRequest* request = new (std::nothrow) ResumableRequest();
    if (request == nullptr) {
        LogError("InternetGetDownloader : No memory for the resumable download \n");
        *result = ERROR_NOT_ENOUGH_MEMORY;
        return true;
    }
    if (variant == DownloadVariant::Plain)
        *result = request->ResumeGetRequestEx(
            call.proxyFlag, call.protocol, call.server, call.port, call.proxyServer,
            call.proxyBypass, call.proxyUserName, call.proxyPassword, call.objectPath,
            call.destinationPath, call.dataOutput, call.requestKind, call.keepAlive);
    else
        *result = request->ResumeGetRequestByBitrate(
            call.proxyFlag, call.protocol, call.server, call.port, call.proxyServer,
            call.proxyBypass, call.proxyUserName, call.proxyPassword, call.objectPath,
            call.destinationPath, call.dataOutput, call.requestKind, call.keepAlive);
    delete request;
    return true;
}
